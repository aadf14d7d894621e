// Descriptor functions: SQLGetDescField, SQLGetDescRec, SQLSetDescField,
// SQLSetDescRec and SQLCopyDesc.
//
// The server descriptor is the one that counts. The client keeps a mirror of
// what it needs itself to move data (array size, status and rows-processed
// pointers, bind offset and type, and per record the types, lengths and the
// application's data, octet-length and indicator pointers): those fields are
// answered here and kept in step with every successful change; the rest goes
// to the server. Application pointers never leave the client: the server is
// told only whether one is set.
#include <cstring>
#include <vector>

#include "api.h"
#include "remote.h"
#include "sql_types.h"
#include "statements.h"
#include "trace.h"

using namespace kyvek::driver;

namespace {

// A descriptor entry point's view of its handles.
struct DescCall {
  client_desc* desc = nullptr;
  client_dbc* dbc = nullptr;
  RpcHandle* rpc() const { return dbc->rpc; }
  void* server() const { return reinterpret_cast<void*>(desc->server_desc); }
  SQLRETURN fail(int32_t native, const char* state, const char* message) const {
    post_client(&desc->diag, dbc, native, state, false, "%s", message);
    return SQL_ERROR;
  }
  SQLRETURN fail(int32_t native, const sqlstate::Row& state) const { return fail(native, state.state, state.text); }
};

SQLRETURN desc_enter(SQLHDESC handle, DescCall& c, const char* text) {
  if (vekc_chk_handle(kDesc, handle)) return SQL_INVALID_HANDLE;
  c.desc = static_cast<client_desc*>(handle);
  clear_errors(&c.desc->diag);
  if (vekc_chk_handle(kDbc, c.desc->dbc)) {
    post_client(&c.desc->diag, nullptr, 2, sqlstate::kHY000.state, false, "%s", text);
    return SQL_ERROR;
  }
  c.dbc = c.desc->dbc;
  if (!is_connected(c.dbc)) return c.fail(3, sqlstate::kHY000.state, text);
  if (c.dbc->dead) return c.fail(45, sqlstate::k08S01);
  return SQL_SUCCESS;
}

// The descriptor's role: the slot (APD 0, ARD 1, IPD 2, IRD 3) in which a
// statement of its connection uses it, or -1.
int role_of(const client_desc* desc) {
  if (desc->stmt != nullptr) {
    for (int slot = 0; slot < DESC_SLOTS; ++slot)
      if (desc->stmt->implicit_desc[slot] == desc) return slot;
  }
  for (client_stmt* s = desc->dbc->statements; s != nullptr; s = s->next) {
    if (vekc_chk_handle(kStmt, s)) break;
    for (int slot = 0; slot < DESC_SLOTS; ++slot)
      if (cur_desc(s, slot) == desc) return slot;
  }
  return -1;
}

enum class Kind { kSmall, kInt, kLen, kText, kPointer, kOther };

// The type of a descriptor field. SQLLEN/SQLULEN fields are pointer wide.
Kind kind_of(SQLSMALLINT field) {
  switch (field) {
    case 2:
    case 8:
    case 9:
    case 10:
    case 13:
    case 33:
    case 35:
    case 1001:
    case 1002:
    case 1005:
    case 1006:
    case 1007:
    case 1008:
    case 1012:
    case 1099: return Kind::kSmall;
    case SQL_DESC_DISPLAY_SIZE:
    case SQL_DESC_ARRAY_SIZE:
    case SQL_DESC_LENGTH:
    case SQL_DESC_OCTET_LENGTH: return Kind::kLen;
    case 11:
    case 12:
    case 25:
    case 26:
    case 32: return Kind::kInt;
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 22:
    case 23:
    case 27:
    case 28:
    case 29:
    case 1011: return Kind::kText;
    case 21:
    case 24:
    case 34:
    case 1004:
    case 1009:
    case 1010: return Kind::kPointer;
    default: return Kind::kOther;
  }
}

bool read_only(SQLSMALLINT field) {
  return field == 6 || (field >= 8 && field <= 18) || field == 22 || field == 23 || (field >= 27 && field <= 29) ||
         field == 1008 || field == 1099;
}

template <class T>
void put(SQLPOINTER value, SQLINTEGER* len, T v) {
  if (value != nullptr) std::memcpy(value, &v, sizeof v);
  if (len != nullptr) *len = sizeof v;
}

// Mirrored fields answered on the client; false when the server must answer.
bool answer_locally(client_desc* d, int role, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER* len) {
  client_desc_rec* rec = desc_rec(d, n);
  if (role == DESC_APD || role == DESC_ARD) {
    switch (field) {
      case SQL_DESC_ARRAY_SIZE: put<SQLULEN>(value, len, d->array_size); return true;
      case SQL_DESC_ARRAY_STATUS_PTR: put<void*>(value, len, d->array_status_ptr); return true;
      case SQL_DESC_BIND_OFFSET_PTR: put<void*>(value, len, d->bind_offset_ptr); return true;
      case SQL_DESC_BIND_TYPE: put<SQLINTEGER>(value, len, static_cast<SQLINTEGER>(d->bind_type)); return true;
      case SQL_DESC_ROWS_PROCESSED_PTR: put<void*>(value, len, d->rows_processed_ptr); return true;
      case SQL_DESC_COUNT: put<SQLSMALLINT>(value, len, d->bound_count); return true;
      case SQL_DESC_ALLOC_TYPE: put<SQLSMALLINT>(value, len, static_cast<SQLSMALLINT>(d->alloc_type)); return true;
      case SQL_DESC_OCTET_LENGTH_PTR: put<void*>(value, len, rec ? rec->octet_length_ptr : nullptr); return true;
      case SQL_DESC_INDICATOR_PTR: put<void*>(value, len, rec ? rec->indicator_ptr : nullptr); return true;
      case SQL_DESC_DATA_PTR: put<void*>(value, len, rec ? rec->data_ptr : nullptr); return true;
      default: return false;
    }
  }
  if (role == DESC_IPD || role == DESC_IRD) {
    switch (field) {
      case SQL_DESC_ARRAY_STATUS_PTR: put<void*>(value, len, d->array_status_ptr); return true;
      case SQL_DESC_ROWS_PROCESSED_PTR: put<void*>(value, len, d->rows_processed_ptr); return true;
      case SQL_DESC_BIND_OFFSET_PTR:
      case SQL_DESC_OCTET_LENGTH_PTR:
      case SQL_DESC_INDICATOR_PTR:
      case SQL_DESC_DATA_PTR: put<void*>(value, len, nullptr); return true;
      default: return false;
    }
  }
  return false;
}

// Concise type from a verbose type and subcode (datetime and interval types).
int16_t concise_of(int16_t type, int16_t sub) {
  if (type == SQL_DATETIME) return static_cast<int16_t>(90 + sub);
  if (type == SQL_INTERVAL) return static_cast<int16_t>(100 + sub);
  return type;
}

// The client's copy of a successful field setting.
void mirror_field(client_desc* d, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value) {
  const auto v = reinterpret_cast<SQLLEN>(value);
  if (field == SQL_DESC_COUNT) {
    if (v == 0) {
      vekc_release_desc_recs(d, 0, 1);
    } else if (v < d->bound_count) {
      vekc_release_desc_recs(d, static_cast<int>(v), 2);
      d->bound_count = static_cast<int16_t>(v);
    } else if (v > d->bound_count && vekc_expand_desc_recs(d, static_cast<int>(v))) {
      d->bound_count = static_cast<int16_t>(v);
    }
    return;
  }
  switch (field) {
    case SQL_DESC_ARRAY_SIZE: d->array_size = static_cast<SQLULEN>(v); return;
    case SQL_DESC_ARRAY_STATUS_PTR: d->array_status_ptr = static_cast<SQLUSMALLINT*>(value); return;
    case SQL_DESC_BIND_OFFSET_PTR: d->bind_offset_ptr = static_cast<SQLLEN*>(value); return;
    case SQL_DESC_BIND_TYPE: d->bind_type = static_cast<SQLULEN>(v); return;
    case SQL_DESC_ROWS_PROCESSED_PTR: d->rows_processed_ptr = static_cast<SQLULEN*>(value); return;
    default: break;
  }
  client_desc_rec* rec = desc_rec(d, n);
  if (rec == nullptr) return;
  switch (field) {
    case SQL_DESC_TYPE:
      rec->type = static_cast<int16_t>(v);
      if (v != SQL_DATETIME && v != SQL_INTERVAL) {
        rec->concise_type = static_cast<int16_t>(v);
        rec->datetime_sub = 0;
      }
      break;
    case SQL_DESC_CONCISE_TYPE:
      rec->concise_type = static_cast<int16_t>(v);
      rec->type = static_cast<int16_t>(v);
      rec->datetime_sub = 0;
      if (is_datetime_type(static_cast<int16_t>(v)))
        split_datetime_type(static_cast<int16_t>(v), &rec->type, nullptr, &rec->datetime_sub, 1);
      else if (is_interval_type(static_cast<int16_t>(v)))
        split_interval_type(static_cast<int16_t>(v), &rec->type, nullptr, &rec->datetime_sub, 1);
      break;
    case SQL_DESC_DATETIME_INTERVAL_CODE:
      rec->datetime_sub = static_cast<int16_t>(v);
      if (rec->type == SQL_DATETIME || rec->type == SQL_INTERVAL)
        rec->concise_type = concise_of(rec->type, rec->datetime_sub);
      break;
    case SQL_DESC_OCTET_LENGTH_PTR: rec->octet_length_ptr = static_cast<SQLLEN*>(value); break;
    case SQL_DESC_INDICATOR_PTR: rec->indicator_ptr = static_cast<SQLLEN*>(value); break;
    case SQL_DESC_DATA_PTR:
      rec->data_ptr = value;
      if (value != nullptr && n > d->bound_count) d->bound_count = n;
      break;
    case SQL_DESC_OCTET_LENGTH: rec->octet_length = v; break;
    case SQL_DESC_LENGTH: rec->length = static_cast<SQLULEN>(v); break;
    case SQL_DESC_PRECISION: rec->precision = static_cast<int16_t>(v); break;
    case SQL_DESC_SCALE: rec->scale = static_cast<int16_t>(v); break;
    case SQL_DESC_PARAMETER_TYPE: rec->parameter_type = static_cast<int16_t>(v); break;
    default: break;
  }
}

// A text cut to the application's buffer warns with 01004, unless the
// server's descriptor already holds a warning (a driver that posts its own).
SQLRETURN warn_cut(DescCall& c, SQLRETURN rc) {
  if (rc == SQL_SUCCESS_WITH_INFO) {
    int32_t records = 0;
    if (rc_ok(remote_sql_get_diag_field_integer(c.rpc(), SQL_HANDLE_DESC, c.server(), 0, SQL_DIAG_NUMBER, &records)) &&
        records > 0)
      return rc;
  } else if (rc != SQL_SUCCESS) {
    return rc;
  }
  post_client(&c.desc->diag, c.dbc, 0, sqlstate::k01004, false);
  return SQL_SUCCESS_WITH_INFO;
}

SQLRETURN get_remote(DescCall& c, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER buflen,
                     SQLINTEGER* len) {
  const bool override_len = (c.dbc->client_flags & kFlagOverrideLength) != 0;
  Kind k = kind_of(field);
  if (k == Kind::kOther) {
    if (buflen == SQL_IS_SMALLINT || buflen == SQL_IS_USMALLINT)
      k = Kind::kSmall;
    else if (buflen == SQL_IS_INTEGER || buflen == SQL_IS_UINTEGER)
      k = Kind::kInt;
    else if (buflen == SQL_IS_POINTER)
      k = Kind::kPointer;
    else if (buflen == SQL_NTS || buflen >= 0)
      k = Kind::kText;
  }
  switch (k) {
    case Kind::kSmall: {
      int16_t v = 0;
      SQLRETURN rc = remote_sql_get_desc_field_smallint(c.rpc(), c.server(), n, field, &v, override_len ? 2 : buflen);
      if (rc_ok(rc)) put<SQLSMALLINT>(value, len, v);
      return rc;
    }
    case Kind::kInt:
    case Kind::kLen: {
      SQLLEN v = 0;
      SQLRETURN rc = remote_sql_get_desc_field_integer(c.rpc(), c.server(), n, field, &v, override_len ? 4 : buflen);
      if (!rc_ok(rc)) return rc;
      if (k == Kind::kLen)
        put<SQLLEN>(value, len, v);
      else
        put<SQLINTEGER>(value, len, static_cast<SQLINTEGER>(v));
      return rc;
    }
    case Kind::kText: {
      if (buflen < 0 && buflen != SQL_NTS) return c.fail(0, sqlstate::kHY090);
      const SQLINTEGER cap = buflen < 0 ? 0 : buflen;
      std::vector<char> buf(static_cast<size_t>(cap) + 1, '\0');
      int32_t block = cap, reported = 0;
      SQLRETURN rc =
          remote_sql_get_desc_field_string(c.rpc(), c.server(), n, field, &block, buf.data(), cap, &reported);
      if (rc_ok(rc)) {
        SQLLEN full = 0;
        buf[static_cast<size_t>(std::min<int32_t>(std::max(block, 0), cap))] = '\0';
        bool cut = copy_out(buf.data(), static_cast<char*>(value), value ? cap : 0, &full);
        if (len != nullptr) *len = reported;
        if (value != nullptr && (cut || reported >= cap)) rc = warn_cut(c, rc);
      }
      return rc;
    }
    case Kind::kPointer: return c.fail(3, sqlstate::kHY000.state, "General error: Not Supported (GetDescField)");
    case Kind::kOther: {
      const int32_t cap = -buflen - 100;
      if (cap < 0) return c.fail(0, sqlstate::kHY090);
      std::vector<char> buf(static_cast<size_t>(cap) + 1, '\0');
      int32_t block = cap, reported = 0;
      SQLRETURN rc =
          remote_sql_get_desc_field_binary(c.rpc(), c.server(), n, field, &block, buf.data(), cap, &reported);
      if (rc_ok(rc)) {
        if (value != nullptr) std::memcpy(value, buf.data(), static_cast<size_t>(std::min(std::max(block, 0), cap)));
        if (len != nullptr) *len = reported;
      }
      return rc;
    }
  }
  return SQL_ERROR;
}

}  // namespace

namespace kyvek::driver::api {

SQLRETURN get_desc_field(SQLHDESC handle, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER buflen,
                         SQLINTEGER* len) {
  TRACE(kTraceEntry, "SQLGetDescField(%p,%d,%d,%p,%d,%p)\n", handle, n, field, value, static_cast<int>(buflen),
        static_cast<void*>(len));
  DescCall c;
  SQLRETURN rc = desc_enter(handle, c, "General error: Internal client error (GetDescField)");
  if (rc != SQL_SUCCESS) return rc;
  if (n < 0) return c.fail(0, sqlstate::k07009);
  if (answer_locally(c.desc, role_of(c.desc), n, field, value, len)) return SQL_SUCCESS;
  rc = get_remote(c, n, field, value, buflen, len);
  TRACE(kTraceExit, "-SQLGetDescField(...)=%d\n", rc);
  return rc;
}

SQLRETURN get_desc_rec(SQLHDESC handle, SQLSMALLINT n, SQLCHAR* name, SQLSMALLINT buflen, SQLSMALLINT* name_len,
                       SQLSMALLINT* type, SQLSMALLINT* subtype, SQLLEN* length, SQLSMALLINT* precision,
                       SQLSMALLINT* scale, SQLSMALLINT* nullable) {
  TRACE(kTraceEntry, "SQLGetDescRec(%p,%d,%p,%d)\n", handle, n, static_cast<void*>(name), buflen);
  DescCall c;
  SQLRETURN rc = desc_enter(handle, c, "General error: Internal client error (GetDescRec)");
  if (rc != SQL_SUCCESS) return rc;
  if (n < 0) return c.fail(0, sqlstate::k07009);
  if (buflen < 0) return c.fail(0, sqlstate::kHY090);
  std::vector<char> buf(static_cast<size_t>(buflen) + 1, '\0');
  int32_t block = buflen;
  int16_t got = 0, t = 0, sub = 0, p = 0, s = 0, nul = 0;
  SQLLEN l = 0;
  rc = remote_sql_get_desc_rec(c.rpc(), c.server(), n, &block, buf.data(), buflen, &got, &t, &sub, &l, &p, &s, &nul);
  if (rc_ok(rc)) {
    buf[static_cast<size_t>(std::min<int32_t>(std::max(block, 0), buflen))] = '\0';
    // The server sends at most what fits; the name's full length tells
    // whether it was cut.
    const bool cut = name != nullptr && copy_out(buf.data(), reinterpret_cast<char*>(name), buflen, nullptr);
    if (cut || (name != nullptr && got >= buflen)) rc = warn_cut(c, rc);
    if (name_len) *name_len = got;
    if (type) *type = t;
    if (subtype) *subtype = sub;
    if (length) *length = l;
    if (precision) *precision = p;
    if (scale) *scale = s;
    if (nullable) *nullable = nul;
  }
  TRACE(kTraceExit, "-SQLGetDescRec(...)=%d\n", rc);
  return rc;
}

SQLRETURN set_desc_field(SQLHDESC handle, SQLSMALLINT n, SQLSMALLINT field, SQLPOINTER value, SQLINTEGER buflen) {
  TRACE(kTraceEntry, "SQLSetDescField(%p,%d,%d,%p,%d)\n", handle, n, field, value, static_cast<int>(buflen));
  DescCall c;
  SQLRETURN rc = desc_enter(handle, c, "General error: Internal client error (SetDescField)");
  if (rc != SQL_SUCCESS) return rc;
  client_desc* d = c.desc;
  if (read_only(field)) return c.fail(0, sqlstate::kHY091);
  if (field == SQL_DESC_UNNAMED && value == nullptr)
    return c.fail(0, sqlstate::kHY092.state, "Option type out of range");
  if (n < 0) return c.fail(0, sqlstate::k07009);
  const int role = role_of(d);
  if (role == DESC_IRD) return c.fail(0, sqlstate::kHY016);
  const auto v = reinterpret_cast<SQLLEN>(value);
  if (field == SQL_DESC_COUNT && v < 0) return c.fail(0, sqlstate::k07009);
  if (!vekc_expand_desc_recs(d, n)) return c.fail(0, sqlstate::kHY001);
  client_desc_rec* rec = desc_rec(d, n);
  Kind k = kind_of(field);
  if (k == Kind::kOther) {
    if (buflen == SQL_IS_SMALLINT || buflen == SQL_IS_USMALLINT)
      k = Kind::kSmall;
    else if (buflen == SQL_IS_INTEGER || buflen == SQL_IS_UINTEGER)
      k = Kind::kInt;
    else if (buflen == SQL_IS_POINTER)
      return c.fail(23, sqlstate::kHY000.state,
                    "General error: Driver specific SQL_POINTER valuenot supported (SetDescField)");
  }
  switch (field == SQL_DESC_BIND_OFFSET_PTR || field == SQL_DESC_BIND_TYPE ? Kind::kOther : k) {
    case Kind::kSmall:
      rc = remote_sql_set_desc_field_smallint(c.rpc(), c.server(), n, field, static_cast<int16_t>(v), buflen);
      break;
    case Kind::kInt:
    case Kind::kLen: rc = remote_sql_set_desc_field_integer(c.rpc(), c.server(), n, field, v, buflen); break;
    case Kind::kPointer: {
      SQLLEN flag = value != nullptr ? 1 : 0;
      // One buffer for both lengths is one server array too.
      if (value != nullptr && ((field == SQL_DESC_OCTET_LENGTH_PTR && value == rec->indicator_ptr) ||
                               (field == SQL_DESC_INDICATOR_PTR && value == rec->octet_length_ptr)))
        flag = 2;
      rc = remote_sql_set_desc_field_integer(c.rpc(), c.server(), n, field, flag, buflen);
      break;
    }
    case Kind::kText:
    case Kind::kOther: {
      if (field == SQL_DESC_BIND_OFFSET_PTR || field == SQL_DESC_BIND_TYPE) {
        rc = SQL_SUCCESS;  // the client applies them itself
        break;
      }
      if (value == nullptr) {
        if (k != Kind::kText) return c.fail(0, sqlstate::kHY092.state, "Option type out of range");
        // A null text clears the field: no block goes, the length as given.
        rc = remote_sql_set_desc_field_strbin(c.rpc(), c.server(), n, field, 0, nullptr, buflen);
        break;
      }
      int32_t bytes;
      if (buflen == SQL_NTS)
        bytes = static_cast<int32_t>(std::strlen(static_cast<char*>(value)) + 1);
      else if (buflen >= 0)
        bytes = buflen;
      else if (buflen <= -100 && field != SQL_DESC_NAME)
        bytes = -buflen - 100;
      else
        return c.fail(0, sqlstate::kHY090);
      rc = remote_sql_set_desc_field_strbin(c.rpc(), c.server(), n, field, bytes, value, buflen);
      break;
    }
  }
  if (rc_ok(rc)) mirror_field(d, n, field, value);
  TRACE(kTraceExit, "-SQLSetDescField(...)=%d\n", rc);
  return rc;
}

SQLRETURN set_desc_rec(SQLHDESC handle, SQLSMALLINT n, SQLSMALLINT type, SQLSMALLINT subtype, SQLLEN length,
                       SQLSMALLINT precision, SQLSMALLINT scale, SQLPOINTER data, SQLLEN* octet_ptr, SQLLEN* ind_ptr) {
  TRACE(kTraceEntry, "SQLSetDescRec(%p,%d,%d,%d,%ld,%d,%d,%p,%p,%p)\n", handle, n, type, subtype,
        static_cast<long>(length), precision, scale, data, static_cast<void*>(octet_ptr), static_cast<void*>(ind_ptr));
  DescCall c;
  SQLRETURN rc = desc_enter(handle, c, "General error: Internal client error (SetDescRec)");
  if (rc != SQL_SUCCESS) return rc;
  client_desc* d = c.desc;
  if (d->dbc->env && d->dbc->env->odbc_version == 2) {
    post_client(&d->diag, c.dbc, 0, sqlstate::kIM001, true);
    return SQL_ERROR;
  }
  if (n < 0) return c.fail(0, sqlstate::k07009);
  if (role_of(d) == DESC_IRD) return c.fail(0, sqlstate::kHY016);
  if (length < INT32_MIN || length > INT32_MAX) return c.fail(0, sqlstate::kHY090);
  // Equal pointers for lengths and indicators are one server array.
  const int32_t octet_flag = octet_ptr ? 1 : 0;
  const int32_t ind_flag = ind_ptr ? (ind_ptr == octet_ptr ? octet_flag : 2) : 0;
  rc = remote_sql_set_desc_rec(c.rpc(), c.server(), n, type, subtype, static_cast<int32_t>(length), precision, scale,
                               data ? 1 : 0, octet_flag, ind_flag);
  if (rc_ok(rc)) {
    client_desc_rec* rec = vekc_expand_desc_recs(d, n);
    if (!rec) return c.fail(0, sqlstate::kHY001);
    rec->data_ptr = data;
    if (data != nullptr && n > d->bound_count) d->bound_count = n;
    rec->type = type;
    rec->datetime_sub = (type == SQL_DATETIME || type == SQL_INTERVAL) ? subtype : 0;
    rec->concise_type = concise_of(type, rec->datetime_sub);
    rec->octet_length_ptr = octet_ptr;
    rec->indicator_ptr = ind_ptr;
    rec->scale = scale;
    rec->precision = precision;
    rec->octet_length = length;
  }
  TRACE(kTraceExit, "-SQLSetDescRec(...)=%d\n", rc);
  return rc;
}

SQLRETURN copy_desc(SQLHDESC source, SQLHDESC target) {
  TRACE(kTraceEntry, "SQLCopyDesc(%p,%p)\n", source, target);
  if (vekc_chk_handle(kDesc, source) || vekc_chk_handle(kDesc, target)) return SQL_INVALID_HANDLE;
  auto* src = static_cast<client_desc*>(source);
  auto* dst = static_cast<client_desc*>(target);
  clear_errors(&src->diag);
  clear_errors(&dst->diag);
  DescCall c;
  SQLRETURN rc = desc_enter(source, c, "General error: Internal client error (SetDescField)");
  if (rc != SQL_SUCCESS) return rc;
  if (vekc_chk_handle(kDbc, dst->dbc) || dst->dbc->rpc != src->dbc->rpc) {
    post_client(&dst->diag, nullptr, 2, sqlstate::kHY000.state, false,
                "General error: Internal client error (SetDescField)");
    return SQL_ERROR;
  }
  rc = remote_sql_copy_desc(c.rpc(), c.server(), reinterpret_cast<void*>(dst->server_desc));
  if (rc_ok(rc) && src != dst) {
    // The target's mirror follows its server descriptor: the application's
    // pointers come along, so binding through the copy moves data.
    dst->array_size = src->array_size;
    dst->bind_type = src->bind_type;
    dst->bind_offset_ptr = src->bind_offset_ptr;
    dst->array_status_ptr = src->array_status_ptr;
    dst->rows_processed_ptr = src->rows_processed_ptr;
    vekc_release_desc_recs(dst, 0, 1);
    if (src->n_descrec > 0 && !vekc_expand_desc_recs(dst, src->n_descrec - 1)) return c.fail(0, sqlstate::kHY001);
    for (int i = 0; i < src->n_descrec; ++i) {
      const client_desc_rec& from = src->records[i];
      client_desc_rec& to = dst->records[i];
      to.data_ptr = from.data_ptr;
      to.octet_length_ptr = from.octet_length_ptr;
      to.indicator_ptr = from.indicator_ptr;
      to.concise_type = from.concise_type;
      to.type = from.type;
      to.datetime_sub = from.datetime_sub;
      to.parameter_type = from.parameter_type;
      to.default_ctype = from.default_ctype;
      to.precision = from.precision;
      to.scale = from.scale;
      to.octet_length = from.octet_length;
      to.length = from.length;
    }
    dst->bound_count = src->bound_count;
  }
  TRACE(kTraceExit, "-SQLCopyDesc(...)=%d\n", rc);
  return rc;
}

}  // namespace kyvek::driver::api
