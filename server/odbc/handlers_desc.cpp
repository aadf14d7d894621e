// Descriptor handlers: the client's SQLSetDescRec, SQLSetDescField,
// SQLGetDescField, SQLGetDescRec and SQLCopyDesc on a server descriptor.
//
// The server descriptor wraps the driver's descriptor and keeps its own copy
// of what the data transfer needs: types, lengths and the server-owned data,
// octet-length, indicator and status arrays. Where an application would pass
// a pointer the client sends only whether one is wanted; the server makes its
// own array of the right size and hands that to the driver, so the driver
// never holds client memory or freed server memory. Getters pass through to
// the driver, always into buffers at least as large as anything a driver may
// write for the field.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "handler_util.h"
#include "handlers.h"
#include "record_lists.h"
#include "sql_types.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

#define KY_POST_DESC(desc, state, native, ...) \
  veks_post(&(desc)->diags, (desc)->dbc, state, native __VA_OPT__(, ) __VA_ARGS__)

// Pointer flags of sql_set_desc_field_integer.
enum : SQLLEN { kPtrNone = 0, kPtrNew = 1, kPtrShare = 2 };

// Smallest buffer any getter hands the driver: room for every fixed-size field.
constexpr size_t kMinGetBuffer = 64;

SQLRETURN trace_fail(Exit& exit, const char* why, SQLRETURN rc = SQL_ERROR) {
  exit.because("%s", why);
  return rc;
}

// The descriptor behind a received handle, diagnostics cleared; null (traced
// when asked) for anything that is not a live descriptor of this link.
descriptor_t* enter_desc(void* handle, const char* name, bool trace_invalid = true) {
  return enter<descriptor_t>(handle, name, Diags::clear, trace_invalid ? InvalidLine::traced : InvalidLine::silent);
}

// The owning connection must be a live record of this link with its driver side.
bool owner_ok(descriptor_t* desc, Exit& exit, const char* why) {
  if (veks_chk_handle(VEKS_DBC, desc->dbc) == 0 && desc->driver_desc != nullptr) return true;
  exit.because("%s", why);
  veks_post(&desc->diags, nullptr, sqlstate::kHY000.state, 2, "General error: Internal server error (%s)", exit.name());
  return false;
}

SQLRETURN bad_index(descriptor_t* desc, Exit& exit, const char* why) {
  exit.because("%s", why);
  KY_POST_DESC(desc, sqlstate::k07009, 0);
  return SQL_ERROR;
}

SQLRETURN no_memory(descriptor_t* desc, Exit& exit, const char* why) {
  exit.because("%s", why);
  KY_POST_DESC(desc, sqlstate::kHY001, 0);
  return SQL_ERROR;
}

// Record n of the descriptor, the record array grown to hold it; null after
// posting HY001.
descriptor_record_t* record(descriptor_t* desc, int32_t n, Exit& exit) {
  if (n < desc->alloc_records) return &desc->records[n];
  descriptor_record_t* rec = veks_expand_desc_recs(desc, n);
  if (rec == nullptr) {
    exit.because("Failed to expand descriptors to %d", n);
    KY_POST_DESC(desc, sqlstate::kHY001, 0);
  }
  return rec;
}

// Rows every array of the descriptor is made for.
uint64_t rows_of(const descriptor_t* desc) {
  uint64_t rows = std::max(desc->array_size, desc->ext_rowset_size);
  return rows < 1 ? 1 : rows;
}

// count x size zero-filled bytes within the server's array cap, or null.
void* zeroed(uint64_t count, uint64_t size) {
  if (size != 0 && count > VEKS_MAX_ARRAY_BYTES / size) return nullptr;
  const uint64_t bytes = count * size;
  return calloc(1, bytes != 0 ? bytes : 1);
}

// The statement using desc in one of the slots (current or implicit), or null.
statement_t* user_in_slot(const descriptor_t* desc, int slot, bool implicit_too) {
  for (statement_t* s = desc->dbc->first_stmt; s != nullptr; s = s->next) {
    if (!veks_tag_ok(VEKS_STMT, s)) break;
    if (s->current_desc[slot] == desc || (implicit_too && s->implicit_desc[slot] == desc)) return s;
  }
  return nullptr;
}

bool is_ird(const descriptor_t* desc) { return user_in_slot(desc, DESC_IRD, true) != nullptr; }

// Verbose type and concise type kept as ODBC keeps them: a datetime or
// interval type takes its concise type from the subcode.
void set_verbose_type(descriptor_record_t* rec, int16_t type) {
  rec->type = type;
  if (type != SQL_DATETIME && type != SQL_INTERVAL) {
    rec->concise_type = type;
    rec->datetime_interval_code = 0;
  }
}
void set_subcode(descriptor_record_t* rec, int16_t code) {
  rec->datetime_interval_code = code;
  if (rec->type == SQL_DATETIME)
    rec->concise_type = static_cast<int16_t>(90 + code);
  else if (rec->type == SQL_INTERVAL)
    rec->concise_type = static_cast<int16_t>(100 + code);
}

// Bytes one element of the record's data array takes, or -1.
int64_t element_size(const descriptor_record_t* rec) {
  return get_type_len(rec->concise_type, rec->octet_length, KY_TYPELEN_USE_OCTET);
}

SQLRETURN set_driver_ptr(descriptor_t* desc, int32_t n, SQLSMALLINT field, void* p) {
  return SQLSetDescField(desc->driver_desc, static_cast<SQLSMALLINT>(n), field, p, SQL_IS_POINTER);
}

// After a change of type or length: a data array the driver holds must still
// take what the driver may write into one element. A larger array is made and
// the driver re-pointed before the old one goes.
SQLRETURN keep_data_fitting(descriptor_t* desc, int32_t n, Exit& exit) {
  descriptor_record_t* rec = &desc->records[n];
  if (rec->data == nullptr) return SQL_SUCCESS;
  const int64_t size = element_size(rec);
  if (size < 0 || static_cast<uint64_t>(size) <= rec->element_size) return SQL_SUCCESS;
  const uint64_t rows = rec->row_capacity < 1 ? 1 : rec->row_capacity;
  void* data = zeroed(rows, static_cast<uint64_t>(size));
  if (data == nullptr) return no_memory(desc, exit, "allocation failure");
  SQLRETURN rc = set_driver_ptr(desc, n, SQL_DESC_DATA_PTR, data);
  if (!succeeded(rc)) {
    free(data);
    return rc;
  }
  free(rec->data);
  rec->data = data;
  rec->element_size = static_cast<uint64_t>(size);
  rec->data_alloc_len = rows * static_cast<uint64_t>(size);
  return SQL_SUCCESS;
}

// The driver reports a descriptor function it lacks (IM001, or an error with
// no record at all, as some drivers answer).
bool driver_lacks_function(SQLHDESC h) {
  SQLINTEGER count = 0;
  if (!SQL_SUCCEEDED(SQLGetDiagField(SQL_HANDLE_DESC, h, 0, SQL_DIAG_NUMBER, &count, SQL_IS_INTEGER, nullptr)))
    return false;
  if (count == 0) return true;
  SQLCHAR state[6] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLCHAR msg[8];
  SQLGetDiagRec(SQL_HANDLE_DESC, h, 1, state, &native, msg, sizeof(msg), &len);
  return memcmp(state, sqlstate::kIM001.state, 5) == 0;
}

// SQLSetDescRec as a series of field settings, for drivers without it.
SQLRETURN set_rec_by_fields(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT type, SQLSMALLINT subtype, SQLLEN length,
                            SQLSMALLINT precision, SQLSMALLINT scale, void* data, SQLLEN* octet, SQLLEN* ind) {
  SQLRETURN rc =
      SQLSetDescField(h, n, SQL_DESC_TYPE, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(type)), SQL_IS_SMALLINT);
  auto step = [&](SQLSMALLINT field, SQLPOINTER value, SQLINTEGER len) {
    if (SQL_SUCCEEDED(rc)) {
      SQLRETURN r = SQLSetDescField(h, n, field, value, len);
      if (r != SQL_SUCCESS) rc = r;
    }
  };
  if (type == SQL_DATETIME || type == SQL_INTERVAL)
    step(SQL_DESC_DATETIME_INTERVAL_CODE, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(subtype)), SQL_IS_SMALLINT);
  step(SQL_DESC_OCTET_LENGTH, reinterpret_cast<SQLPOINTER>(length), SQL_IS_INTEGER);
  step(SQL_DESC_PRECISION, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(precision)), SQL_IS_SMALLINT);
  step(SQL_DESC_SCALE, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(scale)), SQL_IS_SMALLINT);
  step(SQL_DESC_OCTET_LENGTH_PTR, octet, SQL_IS_POINTER);
  step(SQL_DESC_INDICATOR_PTR, ind, SQL_IS_POINTER);
  step(SQL_DESC_DATA_PTR, data, SQL_IS_POINTER);
  return rc;
}

// SQLGetDescRec as a series of field readings, for drivers without it.
SQLRETURN get_rec_by_fields(SQLHDESC h, SQLSMALLINT n, SQLCHAR* name, SQLSMALLINT name_cap, SQLSMALLINT* name_len,
                            SQLSMALLINT* type, SQLSMALLINT* subtype, SQLLEN* length, SQLSMALLINT* precision,
                            SQLSMALLINT* scale, SQLSMALLINT* nullable) {
  SQLSMALLINT count = 0;
  SQLRETURN rc = SQLGetDescField(h, 0, SQL_DESC_COUNT, &count, SQL_IS_SMALLINT, nullptr);
  if (!SQL_SUCCEEDED(rc)) return rc;
  if (n > count) return SQL_NO_DATA;
  Scratch v{};
  rc = SQLGetDescField(h, n, SQL_DESC_TYPE, &v, SQL_IS_SMALLINT, nullptr);
  if (!SQL_SUCCEEDED(rc)) return rc;
  *type = v.i16;
  auto small = [&](SQLSMALLINT field) {
    Scratch s{};
    return SQL_SUCCEEDED(SQLGetDescField(h, n, field, &s, SQL_IS_SMALLINT, nullptr)) ? s.i16 : SQLSMALLINT{0};
  };
  *subtype = small(SQL_DESC_DATETIME_INTERVAL_CODE);
  *precision = small(SQL_DESC_PRECISION);
  *scale = small(SQL_DESC_SCALE);
  *nullable = small(SQL_DESC_NULLABLE);
  Scratch len{};
  if (SQL_SUCCEEDED(SQLGetDescField(h, n, SQL_DESC_OCTET_LENGTH, &len, SQL_IS_INTEGER, nullptr))) *length = len.len;
  SQLINTEGER got = 0;
  if (name != nullptr && name_cap > 0) name[0] = '\0';
  if (SQL_SUCCEEDED(SQLGetDescField(h, n, SQL_DESC_NAME, name, name_cap, &got)))
    *name_len = static_cast<SQLSMALLINT>(got);
  else
    *name_len = 0;
  return SQL_SUCCESS;
}

// Fields of 32 bits that the integer getter widens with their sign.
bool is_int32_field(int16_t field) {
  switch (field) {
    case SQL_DESC_AUTO_UNIQUE_VALUE:
    case SQL_DESC_CASE_SENSITIVE:
    case SQL_DESC_BIND_TYPE:
    case SQL_DESC_DATETIME_INTERVAL_PRECISION:
    case SQL_DESC_NUM_PREC_RADIX: return true;
    default: return false;
  }
}

// The header and record pointer fields: never read or written as values.
bool is_pointer_field(int16_t field) {
  switch (field) {
    case SQL_DESC_ARRAY_STATUS_PTR:
    case SQL_DESC_BIND_OFFSET_PTR:
    case SQL_DESC_ROWS_PROCESSED_PTR:
    case SQL_DESC_OCTET_LENGTH_PTR:
    case SQL_DESC_INDICATOR_PTR:
    case SQL_DESC_DATA_PTR: return true;
    default: return false;
  }
}

// A new array size for the descriptor's arrays. A descriptor that is a
// statement's current ARD or APD goes the statement attribute's way (status
// arrays included); any other has its record arrays remade and the driver told.
SQLRETURN set_array_size(descriptor_t* desc, SQLLEN value, int32_t length, Exit& exit) {
  if (value <= 0 || static_cast<uint64_t>(value) > VEKS_MAX_ARRAY_BYTES) {
    KY_POST_DESC(desc, sqlstate::kHY024, 0);
    return trace_fail(exit, "array size");
  }
  if (statement_t* s = user_in_slot(desc, DESC_ARD, false))
    return sql_set_stmt_attr_integer(s, SQL_ATTR_ROW_ARRAY_SIZE, value, length);
  if (statement_t* s = user_in_slot(desc, DESC_APD, false))
    return sql_set_stmt_attr_integer(s, SQL_ATTR_PARAMSET_SIZE, value, length);
  SQLRETURN rc = resize_buffers(nullptr, desc, static_cast<uint64_t>(value));
  if (!succeeded(rc)) return rc;
  rc = SQLSetDescField(desc->driver_desc, 0, SQL_DESC_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(value), length);
  if (succeeded(rc)) desc->array_size = static_cast<uint64_t>(value);
  return rc;
}

// Replaces one of a record's length arrays (the octet-length array, or the
// indicator array) as SQL_DESC_OCTET_LENGTH_PTR / SQL_DESC_INDICATOR_PTR ask.
SQLRETURN set_length_array(descriptor_t* desc, int32_t n, int16_t field, SQLLEN flag, int32_t length, Exit& exit) {
  descriptor_record_t* rec = &desc->records[n];
  const bool octet = field == SQL_DESC_OCTET_LENGTH_PTR;
  SQLLEN*& mine = octet ? rec->octet_length_array : rec->indicator;
  SQLLEN* other = octet ? rec->indicator : rec->octet_length_array;
  SQLLEN* made = nullptr;
  SQLLEN* value = nullptr;
  const uint64_t rows = rows_of(desc);
  if (flag == kPtrShare) {
    value = other;
  } else if (flag != kPtrNone) {
    // A single record of one row keeps its capacity if it has more.
    const uint64_t want = std::max(rows, rec->data != nullptr ? rec->row_capacity : 0);
    made = static_cast<SQLLEN*>(zeroed(want, sizeof(SQLLEN)));
    if (made == nullptr) return no_memory(desc, exit, "allocation failure");
    value = made;
    if (trace_on(kTraceDetail))
      log_printf_tid("\tNew %s array %p\n", octet ? "octet length" : "indicator", (void*)made);
  }
  SQLRETURN rc = SQLSetDescField(desc->driver_desc, static_cast<SQLSMALLINT>(n), field, value, length);
  if (!succeeded(rc)) {
    free(made);
    return rc;
  }
  if (mine != nullptr && mine != other) free(mine);
  mine = value;
  if (made != nullptr && rec->data == nullptr) rec->row_capacity = std::max(rows, rec->row_capacity);
  return rc;
}

SQLRETURN set_data_array(descriptor_t* desc, int32_t n, SQLLEN flag, int32_t length, Exit& exit) {
  descriptor_record_t* rec = &desc->records[n];
  void* made = nullptr;
  int64_t size = 0;
  const uint64_t rows = rows_of(desc);
  if (flag != kPtrNone) {
    size = element_size(rec);
    if (size < 0) {
      exit.because("Cannot determine size of %d data type", rec->concise_type);
      KY_POST_DESC(
          desc, sqlstate::kHY000.state, 5,
          "General error: Cannot determine length of datatype %d, OctetLength=%ld (sql_set_desc_field_integer)",
          rec->concise_type, static_cast<long>(rec->octet_length));
      return SQL_ERROR;
    }
    // Length arrays the record already has must cover the rows too.
    if (rec->octet_length_array != nullptr || rec->indicator != nullptr) {
      if (rec->row_capacity < rows) {
        if (set_length_array(desc, n, SQL_DESC_OCTET_LENGTH_PTR, rec->octet_length_array ? kPtrNew : kPtrNone,
                             SQL_IS_POINTER, exit) != SQL_SUCCESS)
          return SQL_ERROR;
        rec->row_capacity = rows;
      }
    }
    made = zeroed(rows, static_cast<uint64_t>(size));
    if (made == nullptr) return no_memory(desc, exit, "allocation failure");
  }
  SQLRETURN rc = SQLSetDescField(desc->driver_desc, static_cast<SQLSMALLINT>(n), SQL_DESC_DATA_PTR, made, length);
  if (!succeeded(rc)) {
    free(made);
    return rc;
  }
  free(rec->data);
  rec->data = made;
  if (made != nullptr) {
    rec->element_size = static_cast<uint64_t>(size);
    rec->data_alloc_len = rows * static_cast<uint64_t>(size);
    rec->row_capacity = rows;
    if (desc->record_count < n) desc->record_count = static_cast<int16_t>(n);
  } else {
    rec->element_size = 0;
    rec->data_alloc_len = 0;
  }
  return rc;
}

// A header pointer field (status array or rows-processed counter).
SQLRETURN set_header_array(descriptor_t* desc, int16_t field, SQLLEN flag, int32_t length, Exit& exit) {
  const bool status = field == SQL_DESC_ARRAY_STATUS_PTR;
  void* made = nullptr;
  if (flag != kPtrNone) {
    made = status ? zeroed(rows_of(desc), sizeof(uint16_t)) : zeroed(1, sizeof(SQLULEN));
    if (made == nullptr) return no_memory(desc, exit, "allocation failure");
  }
  SQLRETURN rc = SQLSetDescField(desc->driver_desc, 0, field, made, length);
  if (!succeeded(rc)) {
    free(made);
    return rc;
  }
  if (status) {
    free(desc->status_array);
    desc->status_array = static_cast<uint16_t*>(made);
    desc->status_count = made != nullptr ? rows_of(desc) : 0;
  } else {
    free(desc->rows_processed);
    desc->rows_processed = static_cast<SQLULEN*>(made);
  }
  return rc;
}

// Text and binary getters: the driver writes into a buffer of its own size at
// least; at most the peer's capacity goes back.
SQLRETURN get_field_bytes(void* handle, const char* name, int16_t n, int16_t field, int32_t* block, char* buffer,
                          int32_t buffer_length, int32_t* reported, bool text) {
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  descriptor_t* desc = enter_desc(handle, name, false);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    if (!owner_ok(desc, exit, "invalid backwards DBC pointer")) return SQL_ERROR;
    if (is_pointer_field(field)) {
      KY_POST_DESC(desc, sqlstate::kHY091, 0);
      return SQL_ERROR;
    }
    const int64_t len = capped(buffer_length, &cap, buffer);
    std::vector<char> local(static_cast<size_t>(std::max<int64_t>(len, kMinGetBuffer)) + 1, '\0');
    SQLINTEGER got = 0;
    SQLRETURN rc = SQLGetDescField(desc->driver_desc, n, field, local.data(), static_cast<SQLINTEGER>(len), &got);
    if (reported != nullptr) *reported = got;
    if (succeeded(rc) && len > 0) {
      int32_t bytes;
      if (text)
        bytes = text_block(local.data(), len, got);
      else
        bytes = static_cast<int32_t>(got < 0 ? 0 : std::min<int64_t>(got, len));
      memcpy(buffer, local.data(), static_cast<size_t>(bytes));
      if (block != nullptr) *block = bytes;
    }
    return rc;
  });
}

// Reads a field that is not a pointer into v. Empty when the call is refused
// (the record is posted), else the driver's answer.
std::optional<SQLRETURN> read_scalar_field(descriptor_t* desc, Exit& exit, int16_t n, int16_t field, int32_t length,
                                           Scratch& v, SQLINTEGER* got) {
  if (!owner_ok(desc, exit, "invalid backwards DBC pointer")) return std::nullopt;
  if (is_pointer_field(field)) {
    KY_POST_DESC(desc, sqlstate::kHY091, 0);
    return std::nullopt;
  }
  const SQLINTEGER len = length > 0 ? std::min<SQLINTEGER>(length, sizeof(v.bytes)) : length;
  return SQLGetDescField(desc->driver_desc, n, field, &v, len, got);
}

}  // namespace

extern "C" {

int16_t sql_set_desc_rec(void* handle, int16_t n, int16_t type, int16_t subtype, int32_t length, int16_t precision,
                         int16_t scale, int32_t data_flag, int32_t octet_flag, int32_t ind_flag) {
  static const char* kName = KY_HANDLER_NAME(sql_set_desc_rec);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%d,%ld,%d,%d,%ld,%ld,%ld)\n", kName, handle, n, type, subtype, (long)length, precision,
                   scale, (long)data_flag, (long)octet_flag, (long)ind_flag);
  descriptor_t* desc = enter_desc(handle, kName);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (!owner_ok(desc, exit, "invalid backwards DBC pointer")) return SQL_ERROR;
    if (n < 0) return bad_index(desc, exit, "RecNumber < 0");
    if (is_ird(desc)) return bad_index(desc, exit, "desc is IRD");
    const bool implicit_apd = desc->owner != nullptr && desc->owner->implicit_desc[DESC_APD] == desc;
    if (n == 0 && (implicit_apd || user_in_slot(desc, DESC_IPD, true) != nullptr))
      return bad_index(desc, exit, "desc is IPD or implicit APD and RecNumber=0");
    const bool grew = n >= desc->alloc_records;
    descriptor_record_t* rec = record(desc, n, exit);
    if (rec == nullptr) return SQL_ERROR;

    // The new arrays are made first; the record keeps its old ones until the
    // driver has taken the new.
    const uint64_t rows = rows_of(desc);
    void* data = nullptr;
    int64_t size = 0;
    if (data_flag != 0) {
      size = get_type_len(type == SQL_DATETIME || type == SQL_INTERVAL
                              ? static_cast<int16_t>((type == SQL_DATETIME ? 90 : 100) + subtype)
                              : type,
                          length, KY_TYPELEN_USE_OCTET);
      if (size < 0) {
        exit.because("Cannot determine size of %d data type", type);
        KY_POST_DESC(desc, sqlstate::kHY000.state, 5,
                     "General error: Cannot determine length of datatype %d, OctetLength=%ld (%s)", type,
                     static_cast<long>(length), kName);
        return SQL_ERROR;
      }
      data = zeroed(rows, static_cast<uint64_t>(size));
      if (data == nullptr) {
        exit.because("Failed to allocate %d bytes for Data", (int)(rows * size));
        KY_POST_DESC(desc, sqlstate::kHY001, 0);
        return SQL_ERROR;
      }
    }
    // Lengths and NULL markers need an array even for one row: without it they
    // would never reach the driver or come back.
    SQLLEN* octet = nullptr;
    SQLLEN* ind = nullptr;
    if (octet_flag != 0 && (octet = static_cast<SQLLEN*>(zeroed(rows, sizeof(SQLLEN)))) == nullptr) {
      free(data);
      return no_memory(desc, exit, "Failed to allocate bytes for String Length");
    }
    if (ind_flag != 0) {
      if (ind_flag == octet_flag) {
        ind = octet;
      } else if ((ind = static_cast<SQLLEN*>(zeroed(rows, sizeof(SQLLEN)))) == nullptr) {
        free(data);
        free(octet);
        return no_memory(desc, exit, "Failed to allocate bytes for Indicator");
      }
    }
    SQLRETURN rc = SQLSetDescRec(desc->driver_desc, n, type, subtype, length, precision, scale, data, octet, ind);
    if (rc == SQL_ERROR && driver_lacks_function(desc->driver_desc))
      rc = set_rec_by_fields(desc->driver_desc, n, type, subtype, length, precision, scale, data, octet, ind);
    if (!succeeded(rc)) {
      free(data);
      if (ind != octet) free(ind);
      free(octet);
      return rc;
    }
    veks_free_record_arrays(rec);
    if (grew || desc->record_count < n) desc->record_count = n;
    rec->precision = precision;
    rec->scale = scale;
    set_verbose_type(rec, type);
    set_subcode(rec, type == SQL_DATETIME || type == SQL_INTERVAL ? subtype : 0);
    rec->octet_length = length;
    rec->data = data;
    rec->element_size = data != nullptr ? static_cast<uint64_t>(size) : 0;
    rec->data_alloc_len = data != nullptr ? rows * static_cast<uint64_t>(size) : 0;
    rec->octet_length_array = octet;
    rec->indicator = ind;
    rec->row_capacity = (data || octet || ind) ? rows : 0;
    return rc;
  });
}

int16_t sql_set_desc_field_integer(void* handle, int16_t n, int16_t field, SQLLEN value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_desc_field_integer);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%d,%d,%ld)\n", kName, handle, n, field, (long)value);
  descriptor_t* desc = enter_desc(handle, kName);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (!owner_ok(desc, exit, "invalid backwards DBC pointer")) return SQL_ERROR;
    if (n < 0) return bad_index(desc, exit, "RecNumber < 0");
    switch (field) {
      case SQL_DESC_BIND_TYPE: exit.because("BIND_TYPE and ARRAY_SIZE quietly ignored"); return SQL_SUCCESS;
      case SQL_DESC_BIND_OFFSET_PTR: exit.because("BIND_OFFSET quietly ignored"); return SQL_SUCCESS;
      case SQL_DESC_ARRAY_SIZE: return set_array_size(desc, value, length, exit);
      default: break;
    }
    descriptor_record_t* rec = record(desc, n, exit);
    if (rec == nullptr) return SQL_ERROR;
    SQLRETURN rc;
    switch (field) {
      case SQL_DESC_ARRAY_STATUS_PTR:
      case SQL_DESC_ROWS_PROCESSED_PTR: rc = set_header_array(desc, field, value, length, exit); break;
      case SQL_DESC_OCTET_LENGTH_PTR:
      case SQL_DESC_INDICATOR_PTR: rc = set_length_array(desc, n, field, value, length, exit); break;
      case SQL_DESC_DATA_PTR: rc = set_data_array(desc, n, value, length, exit); break;
      case SQL_DESC_DATETIME_INTERVAL_PRECISION:
      case SQL_DESC_NUM_PREC_RADIX:
      case SQL_DESC_LENGTH:
      case SQL_DESC_OCTET_LENGTH:
        rc = SQLSetDescField(desc->driver_desc, n, field, reinterpret_cast<SQLPOINTER>(value), length);
        if (!succeeded(rc)) break;
        if (field == SQL_DESC_DATETIME_INTERVAL_PRECISION)
          rec->datetime_interval_precision = static_cast<int32_t>(value);
        else if (field == SQL_DESC_NUM_PREC_RADIX)
          rec->num_prec_radix = static_cast<int32_t>(value);
        else if (field == SQL_DESC_LENGTH)
          rec->length = value;
        else
          rec->octet_length = value;
        if (field == SQL_DESC_OCTET_LENGTH && !succeeded(keep_data_fitting(desc, n, exit))) return SQL_ERROR;
        break;
      default:
        exit.because("unexpectedly hit default on FieldIdentifier");
        KY_POST_DESC(desc, sqlstate::kHY000.state, 6, "General error: Unexpectedly hit default on FieldIdentifier");
        return SQL_ERROR;
    }
    return rc;
  });
}

int16_t sql_set_desc_field_smallint(void* handle, int16_t n, int16_t field, int16_t value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_desc_field_smallint);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%d,%d,%d)\n", kName, handle, n, field, value);
  descriptor_t* desc = enter_desc(handle, kName);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (!owner_ok(desc, exit, "invalid backwards dbc pointer")) return SQL_ERROR;
    if (n < 0) return bad_index(desc, exit, "RecNumber < 0");
    if (field == SQL_DESC_COUNT && value < 0) return bad_index(desc, exit, "SQL_DESC_COUNT and value < 0");
    descriptor_record_t* rec = field == SQL_DESC_COUNT ? nullptr : record(desc, n, exit);
    if (field != SQL_DESC_COUNT && rec == nullptr) return SQL_ERROR;
    SQLRETURN rc =
        SQLSetDescField(desc->driver_desc, n, field, reinterpret_cast<SQLPOINTER>(static_cast<SQLLEN>(value)), length);
    if (!succeeded(rc)) {
      exit.because("Driver's SQLSetDescField failed");
      return rc;
    }
    switch (field) {
      case SQL_DESC_COUNT:
        if (value == 0) {
          veks_release_desc_recs(desc, 0, RELEASE_ALL);
        } else if (value < desc->record_count) {
          veks_release_desc_recs(desc, value, RELEASE_ABOVE);
          desc->record_count = value;
        } else if (value > desc->record_count) {
          if (record(desc, value, exit) == nullptr) return SQL_ERROR;
          desc->record_count = value;
        }
        break;
      case SQL_DESC_CONCISE_TYPE:
        rec->concise_type = value;
        rec->type = value;
        if (is_datetime_type(value)) {
          rec->type = SQL_DATETIME;
          rec->datetime_interval_code = static_cast<int16_t>(value > 90 ? value - 90 : value - 8);
        } else if (is_interval_type(value)) {
          rec->type = SQL_INTERVAL;
          rec->datetime_interval_code = static_cast<int16_t>(value - 100);
        }
        break;
      case SQL_DESC_TYPE: set_verbose_type(rec, value); break;
      case SQL_DESC_PARAMETER_TYPE: rec->parameter_type = value; break;
      case SQL_DESC_PRECISION: rec->precision = value; break;
      case SQL_DESC_SCALE: rec->scale = value; break;
      case SQL_DESC_DATETIME_INTERVAL_CODE: set_subcode(rec, value); break;
      case SQL_DESC_UNNAMED: rec->unnamed = value; break;
      default:
        exit.because("unexpectedly hit default on FieldIdentifier");
        KY_POST_DESC(desc, sqlstate::kHY000.state, 6, "General error: Unexpectedly hit default on FieldIdentifier");
        return SQL_ERROR;
    }
    if (rec != nullptr && !succeeded(keep_data_fitting(desc, n, exit))) return SQL_ERROR;
    return rc;
  });
}

int16_t sql_set_desc_field_strbin(void* handle, int16_t n, int16_t field, int32_t block_length, char* bytes,
                                  int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_desc_field_strbin);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%p,%ld)\n", kName, handle, n, field, (void*)bytes, (long)length);
  descriptor_t* desc = enter_desc(handle, kName);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (!owner_ok(desc, exit, "invalid backwards DBC pointer")) return SQL_ERROR;
    if (n < 0) return bad_index(desc, exit, "RecNumber < 0");
    // Only the name is a settable text: a driver could keep any other value's
    // address, and the block is gone after the reply.
    if (field != SQL_DESC_NAME) {
      KY_POST_DESC(desc, sqlstate::kHY091, 0);
      return SQL_ERROR;
    }
    // No block: a null pointer, which clears the name (nothing is read).
    if (bytes == nullptr && block_length <= 0) {
      const SQLINTEGER given = length == SQL_NTS ? SQL_NTS : 0;
      return SQLSetDescField(desc->driver_desc, n, field, nullptr, given);
    }
    SQLINTEGER len = 0;
    if (!text_length(bytes, block_length, length, &len)) {
      KY_POST_DESC(desc, sqlstate::kHY090, 0);
      return SQL_ERROR;
    }
    SQLRETURN rc = SQLSetDescField(desc->driver_desc, n, field, bytes, len);
    return rc;
  });
}

int16_t sql_get_desc_field(void* handle, int16_t n, int16_t field, void** value, int32_t length, int32_t* reported) {
  static const char* kName = KY_HANDLER_NAME(sql_get_desc_field);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%p,%ld,%p)\n", kName, handle, n, field, (void*)value, (long)length, (void*)reported);
  descriptor_t* desc = enter_desc(handle, kName, false);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    Scratch v{};
    SQLINTEGER got = 0;
    const std::optional<SQLRETURN> rc = read_scalar_field(desc, exit, n, field, length, v, &got);
    if (!rc) return SQL_ERROR;
    if (value != nullptr) *value = v.ptr;
    if (reported != nullptr) *reported = got;
    return *rc;
  });
}

int16_t sql_get_desc_field_integer(void* handle, int16_t n, int16_t field, SQLLEN* value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_get_desc_field_integer);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%p,%ld)\n", kName, handle, n, field, (void*)value, (long)length);
  descriptor_t* desc = enter_desc(handle, kName, false);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    Scratch v{};
    const std::optional<SQLRETURN> rc = read_scalar_field(desc, exit, n, field, length, v, nullptr);
    if (!rc) return SQL_ERROR;
    if (value != nullptr) *value = is_int32_field(field) ? static_cast<SQLLEN>(v.i32) : v.len;
    exit.because("*ValuePtr=%ld", (long)(value != nullptr ? *value : 0));
    return *rc;
  });
}

int16_t sql_get_desc_field_smallint(void* handle, int16_t n, int16_t field, int16_t* value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_get_desc_field_smallint);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%p,%ld)\n", kName, handle, n, field, (void*)value, (long)length);
  descriptor_t* desc = enter_desc(handle, kName, false);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    Scratch v{};
    const std::optional<SQLRETURN> rc = read_scalar_field(desc, exit, n, field, length, v, nullptr);
    if (!rc) return SQL_ERROR;
    if (value != nullptr) *value = v.i16;
    exit.because("*ValuePtr=%d", value != nullptr ? *value : 0);
    return *rc;
  });
}

int16_t sql_get_desc_field_string(void* handle, int16_t n, int16_t field, int32_t* block, char* buffer, int32_t length,
                                  int32_t* reported) {
  static const char* kName = KY_HANDLER_NAME(sql_get_desc_field_string);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%p,%ld,%p)\n", kName, handle, n, field, (void*)buffer, (long)length, (void*)reported);
  return get_field_bytes(handle, kName, n, field, block, buffer, length, reported, true);
}

int16_t sql_get_desc_field_binary(void* handle, int16_t n, int16_t field, int32_t* block, char* buffer, int32_t length,
                                  int32_t* reported) {
  static const char* kName = KY_HANDLER_NAME(sql_get_desc_field_binary);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%d,%p,%ld,%p)\n", kName, handle, n, field, (void*)buffer, (long)length, (void*)reported);
  return get_field_bytes(handle, kName, n, field, block, buffer, length, reported, false);
}

int16_t sql_get_desc_rec(void* handle, int16_t n, int32_t* block, char* name, int16_t length, int16_t* name_len,
                         int16_t* type, int16_t* subtype, SQLLEN* octets, int16_t* precision, int16_t* scale,
                         int16_t* nullable) {
  static const char* kName = KY_HANDLER_NAME(sql_get_desc_rec);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%d,%p,%p,%d,%p,%p,%p,%p,%p,%p,%p)\n", kName, handle, n, (void*)block, (void*)name, length,
                   (void*)name_len, (void*)type, (void*)subtype, (void*)octets, (void*)precision, (void*)scale,
                   (void*)nullable);
  descriptor_t* desc = enter_desc(handle, kName, false);
  if (desc == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (desc->driver_desc == nullptr) return SQL_ERROR;
    if (n < 0) return bad_index(desc, exit, "RecNumber < 0");
    const int64_t len = capped(length, &cap, name);
    std::vector<char> local(static_cast<size_t>(std::max<int64_t>(len, kMinGetBuffer)) + 1, '\0');
    SQLSMALLINT got = 0, t = 0, sub = 0, p = 0, s = 0, nul = 0;
    SQLLEN l = 0;
    SQLCHAR* text = reinterpret_cast<SQLCHAR*>(local.data());
    SQLRETURN rc =
        SQLGetDescRec(desc->driver_desc, n, text, static_cast<SQLSMALLINT>(len), &got, &t, &sub, &l, &p, &s, &nul);
    if (rc == SQL_ERROR && driver_lacks_function(desc->driver_desc))
      rc = get_rec_by_fields(desc->driver_desc, n, text, static_cast<SQLSMALLINT>(len), &got, &t, &sub, &l, &p, &s,
                             &nul);
    if (succeeded(rc)) {
      if (name_len != nullptr) *name_len = got;
      if (type != nullptr) *type = t;
      if (subtype != nullptr) *subtype = sub;
      if (octets != nullptr) *octets = l;
      if (precision != nullptr) *precision = p;
      if (scale != nullptr) *scale = s;
      if (nullable != nullptr) *nullable = nul;
      if (len > 0 && name != nullptr) {
        const int32_t bytes = text_block(local.data(), len, got);
        memcpy(name, local.data(), static_cast<size_t>(bytes));
        if (block != nullptr) *block = bytes;
      }
    }
    return rc;
  });
}

}  // extern "C"

namespace {

// After the driver copied source into target, the target's driver fields
// point at the source's server arrays. The target gets the source's record
// copy with fresh arrays of its own, and the driver is re-pointed at them, so
// freeing or rebinding either descriptor never leaves the other holding freed
// memory.
SQLRETURN mirror_copy(descriptor_t* src, descriptor_t* dst, Exit& exit) {
  // What the target held is no longer what its driver descriptor points at.
  veks_release_desc_recs(dst, 0, RELEASE_ALL);
  free(dst->status_array);
  dst->status_array = nullptr;
  dst->status_count = 0;
  free(dst->rows_processed);
  dst->rows_processed = nullptr;
  dst->array_size = src->array_size;
  dst->ext_rowset_size = src->ext_rowset_size;
  dst->bind_type = src->bind_type;
  SQLRETURN rc = SQL_SUCCESS;
  auto repoint = [&](int32_t n, SQLSMALLINT field, void* p) {
    if (!SQL_SUCCEEDED(set_driver_ptr(dst, n, field, p))) rc = SQL_ERROR;
  };
  auto clone = [](const void* from, uint64_t bytes) -> void* {
    if (from == nullptr) return nullptr;
    void* p = calloc(1, bytes != 0 ? bytes : 1);
    if (p != nullptr) memcpy(p, from, bytes);
    return p;
  };
  if (src->status_array != nullptr) {
    dst->status_array = static_cast<uint16_t*>(clone(src->status_array, src->status_count * sizeof(uint16_t)));
    dst->status_count = dst->status_array != nullptr ? src->status_count : 0;
    repoint(0, SQL_DESC_ARRAY_STATUS_PTR, dst->status_array);
  }
  if (src->rows_processed != nullptr) {
    dst->rows_processed = static_cast<SQLULEN*>(clone(src->rows_processed, sizeof(SQLULEN)));
    repoint(0, SQL_DESC_ROWS_PROCESSED_PTR, dst->rows_processed);
  }
  if (src->alloc_records > 0 && veks_expand_desc_recs(dst, src->alloc_records - 1) == nullptr)
    return no_memory(dst, exit, "Failed to expand descriptors");
  for (int32_t i = 0; i < src->alloc_records; ++i) {
    const descriptor_record_t* from = &src->records[i];
    descriptor_record_t* to = &dst->records[i];
    memcpy(to, from, sizeof(*to));
    to->data = clone(from->data, from->data_alloc_len);
    const uint64_t len_bytes = (from->row_capacity < 1 ? 1 : from->row_capacity) * sizeof(SQLLEN);
    to->octet_length_array = static_cast<SQLLEN*>(clone(from->octet_length_array, len_bytes));
    to->indicator = from->indicator == from->octet_length_array
                        ? to->octet_length_array
                        : static_cast<SQLLEN*>(clone(from->indicator, len_bytes));
    if ((from->data && !to->data) || (from->octet_length_array && !to->octet_length_array) ||
        (from->indicator && !to->indicator))
      rc = SQL_ERROR;
    if (from->octet_length_array != nullptr) repoint(i, SQL_DESC_OCTET_LENGTH_PTR, to->octet_length_array);
    if (from->indicator != nullptr) repoint(i, SQL_DESC_INDICATOR_PTR, to->indicator);
    if (from->data != nullptr) repoint(i, SQL_DESC_DATA_PTR, to->data);
  }
  dst->record_count = src->record_count;
  if (rc != SQL_SUCCESS) {
    // The driver must not keep the source's arrays: every pointer goes.
    for (int32_t i = 0; i < dst->alloc_records; ++i) {
      set_driver_ptr(dst, i, SQL_DESC_DATA_PTR, nullptr);
      set_driver_ptr(dst, i, SQL_DESC_OCTET_LENGTH_PTR, nullptr);
      set_driver_ptr(dst, i, SQL_DESC_INDICATOR_PTR, nullptr);
    }
    set_driver_ptr(dst, 0, SQL_DESC_ARRAY_STATUS_PTR, nullptr);
    set_driver_ptr(dst, 0, SQL_DESC_ROWS_PROCESSED_PTR, nullptr);
    veks_release_desc_recs(dst, 0, RELEASE_ALL);
    return no_memory(dst, exit, "allocation failure");
  }
  return SQL_SUCCESS;
}

}  // namespace

extern "C" int16_t sql_copy_desc(void* source, void* target) {
  static const char* kName = KY_HANDLER_NAME(sql_copy_desc);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%p)\n", kName, source, target);
  descriptor_t* src = as_desc(source);
  if (src == nullptr) {
    if (trace_on(kTraceExit)) log_printf_tid("-%s(source desc)=SQL_INVALID_HANDLE\n", kName);
    return SQL_INVALID_HANDLE;
  }
  clear_errors(&src->diags);
  descriptor_t* dst = as_desc(target);
  if (dst == nullptr) {
    if (trace_on(kTraceExit)) log_printf_tid("-%s(dest desc)=SQL_INVALID_HANDLE\n", kName);
    return SQL_INVALID_HANDLE;
  }
  clear_errors(&dst->diags);
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    if (veks_chk_handle(VEKS_DBC, src->dbc) != 0 || src->driver_desc == nullptr) {
      exit.because("back ptr to dbc (%p) invalid", (void*)src->dbc);
      veks_post(&src->diags, nullptr, sqlstate::kHY000.state, 2, "General error: Internal server error (%s)", kName);
      return SQL_ERROR;
    }
    if (veks_chk_handle(VEKS_DBC, dst->dbc) != 0 || dst->driver_desc == nullptr) {
      veks_post(&dst->diags, nullptr, sqlstate::kHY000.state, 2, "General error: Internal server error (%s)", kName);
      return SQL_ERROR;
    }
    if (is_ird(dst)) {
      KY_POST_DESC(dst, sqlstate::kHY016, 0);
      return SQL_ERROR;
    }
    // The driver copies between handles of its own only.
    if (dst->dbc != src->dbc && strcmp(dst->dbc->driver_name, src->dbc->driver_name) != 0) {
      KY_POST_DESC(dst, sqlstate::kHY000.state, 0, "General error: descriptors of different drivers cannot be copied");
      return SQL_ERROR;
    }
    if (dst == src) return SQL_SUCCESS;
    SQLRETURN rc = SQLCopyDesc(src->driver_desc, dst->driver_desc);
    if (!succeeded(rc)) {
      if (trace_on(kTraceServerFail)) log_printf_tid("\tDriver's SQLCopyDesc failed\n");
      return rc;
    }
    SQLRETURN mirrored = mirror_copy(src, dst, exit);
    if (!succeeded(mirrored)) rc = mirrored;
    return rc;
  });
}
