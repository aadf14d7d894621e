// Statement attributes, cursor names and transactions. Attributes live on
// the server statement; the driver mirrors those it needs for moving data
// (array sizes, bind types and offsets, status and count pointers, the fetch
// bookmark pointer, the descriptors) and answers those from its mirror.
#include <cstring>
#include <string>

#include "driver_attr.h"
#include "remote.h"
#include "api.h"
#include "block_fetch.h"
#include "statements.h"
#include "trace.h"

using namespace kyvek::driver;

namespace {

constexpr uint32_t kFlagNoParamStatus = 0x100;

enum class AttrClass { kInteger, kAutoDesc, kBookmarkPtr, kPointer, kAppDesc, kOther };

AttrClass classify(SQLINTEGER a) {
  switch (a) {
    case 14:
    case SQL_ATTR_IMP_ROW_DESC:
    case SQL_ATTR_IMP_PARAM_DESC: return AttrClass::kAutoDesc;
    case SQL_ATTR_FETCH_BOOKMARK_PTR: return AttrClass::kBookmarkPtr;
    case SQL_ATTR_PARAM_BIND_OFFSET_PTR:
    case SQL_ATTR_PARAM_OPERATION_PTR:
    case SQL_ATTR_PARAM_STATUS_PTR:
    case SQL_ATTR_PARAMS_PROCESSED_PTR:
    case SQL_ATTR_ROW_BIND_OFFSET_PTR:
    case SQL_ATTR_ROW_OPERATION_PTR:
    case SQL_ATTR_ROW_STATUS_PTR:
    case SQL_ATTR_ROWS_FETCHED_PTR: return AttrClass::kPointer;
    case SQL_ATTR_APP_ROW_DESC:
    case SQL_ATTR_APP_PARAM_DESC: return AttrClass::kAppDesc;
    default: break;
  }
  if ((a >= 0 && a <= 12) || a == 15 || a == 18 || a == 22 || a == 27 || a == 1232 || a == 10014 || a == -2 || a == -1)
    return AttrClass::kInteger;
  return AttrClass::kOther;
}

// Attributes whose values are 32-bit quantities: one of a few constants
// (cursor type, concurrency, scrollability, sensitivity, on/off switches) or
// a bind type (by column, or the size of one row's structure).
bool thirty_two_bit_attr(SQLINTEGER a) {
  switch (a) {
    case SQL_ATTR_ASYNC_ENABLE:
    case SQL_ATTR_CONCURRENCY:
    case SQL_ATTR_CURSOR_TYPE:
    case SQL_ATTR_NOSCAN:
    case SQL_ATTR_RETRIEVE_DATA:
    case SQL_ATTR_SIMULATE_CURSOR:
    case SQL_ATTR_USE_BOOKMARKS:
    case SQL_ATTR_CURSOR_SCROLLABLE:
    case SQL_ATTR_CURSOR_SENSITIVITY:
    case SQL_ATTR_ENABLE_AUTO_IPD:
    case SQL_ATTR_METADATA_ID:
    case SQL_ATTR_ROW_BIND_TYPE:
    case SQL_ATTR_PARAM_BIND_TYPE: return true;
    default: return false;
  }
}

// Slot of a mirrored attribute outside 0..12 in client_stmt::attr_copies.
int copy_slot(SQLINTEGER a) {
  switch (a) {
    case SQL_ATTR_ENABLE_AUTO_IPD: return 0;
    case SQL_ATTR_CURSOR_SENSITIVITY: return 1;
    case SQL_ATTR_CURSOR_SCROLLABLE: return 2;
    case SQL_ATTR_METADATA_ID: return 3;
    default: return -1;
  }
}

void mirror(StmtCall& c, SQLINTEGER attr, SQLULEN v, void* p) {
  client_desc *apd = cur_desc(c.stmt, DESC_APD), *ard = cur_desc(c.stmt, DESC_ARD);
  client_desc *ipd = cur_desc(c.stmt, DESC_IPD), *ird = cur_desc(c.stmt, DESC_IRD);
  if (attr >= 0 && attr <= 12) c.x->options[attr] = v;
  if (int s = copy_slot(attr); s >= 0) c.x->attr_copies[s] = v;
  switch (attr) {
    case SQL_ATTR_FETCH_BOOKMARK_PTR: c.x->fetch_bookmark_ptr = p; break;
    case SQL_ATTR_ROW_BIND_TYPE:
      if (ard) ard->bind_type = v;
      break;
    case SQL_ROWSET_SIZE:
      if (ard) ard->rowset_size = v;
      break;
    case SQL_ATTR_ROW_ARRAY_SIZE:
      if (ard) ard->array_size = v;
      break;
    case SQL_ATTR_ROW_BIND_OFFSET_PTR:
      if (ard) ard->bind_offset_ptr = static_cast<SQLLEN*>(p);
      break;
    case SQL_ATTR_ROW_OPERATION_PTR:
      if (ard) ard->array_status_ptr = static_cast<SQLUSMALLINT*>(p);
      break;
    case SQL_ATTR_PARAM_BIND_OFFSET_PTR:
      if (apd) apd->bind_offset_ptr = static_cast<SQLLEN*>(p);
      break;
    case SQL_ATTR_PARAM_BIND_TYPE:
      if (apd) apd->bind_type = v;
      break;
    case SQL_ATTR_PARAM_OPERATION_PTR:
      if (apd) apd->array_status_ptr = static_cast<SQLUSMALLINT*>(p);
      break;
    case SQL_ATTR_PARAMSET_SIZE:
      if (apd) apd->array_size = v;
      break;
    case SQL_ATTR_PARAM_STATUS_PTR:
      if (ipd) ipd->array_status_ptr = static_cast<SQLUSMALLINT*>(p);
      break;
    case SQL_ATTR_PARAMS_PROCESSED_PTR:
      if (ipd) ipd->rows_processed_ptr = static_cast<SQLULEN*>(p);
      break;
    case SQL_ATTR_ROW_STATUS_PTR:
      if (ird) ird->array_status_ptr = static_cast<SQLUSMALLINT*>(p);
      break;
    case SQL_ATTR_ROWS_FETCHED_PTR:
      if (ird) ird->rows_processed_ptr = static_cast<SQLULEN*>(p);
      break;
    default: break;
  }
}

// The server accepted a changed value (01S02): mirror what it keeps.
SQLULEN value_kept(StmtCall& c, SQLINTEGER attr, SQLULEN sent) {
  SQLLEN v = 0;
  if (rc_ok(remote_sql_get_stmt_attr_integer(c.rpc(), c.server(), attr, &v))) return static_cast<SQLULEN>(v);
  return sent;
}

// Reads a driver-defined attribute from the target: a number in the width
// StringLength asks, or the bytes the target wrote.
SQLRETURN get_driver_stmt_attr(StmtCall& c, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen,
                               SQLINTEGER* out_len) {
  SQLRETURN rc;
  switch (driver_attr_form(buflen)) {
    case DriverAttrForm::kRefused: return c.fail(0, sqlstate::kHY092.state, driver_attr_refusal(attr, buflen).c_str());
    case DriverAttrForm::kNumber: {
      SQLLEN v = 0;
      rc = remote_sql_get_stmt_attr_integer(c.rpc(), c.server(), attr, &v);
      if (rc_ok(rc)) {
        const SQLINTEGER width = put_driver_attr_number(value, buflen, v);
        if (out_len) *out_len = width;
      }
      return rc;
    }
    case DriverAttrForm::kBytes: break;
  }
  const int32_t n = value && buflen > 0 ? buflen : 0;
  int32_t got = n, full = 0;
  rc = remote_sql_get_stmt_attr_binary(c.rpc(), c.server(), attr, &got, value, n, &full);
  if (rc_ok(rc)) {
    // A text the target wrote whole gets its NUL; the bytes are as it wrote them.
    if (value && got >= 0 && got < n) static_cast<char*>(value)[got] = '\0';
    if (out_len) *out_len = full;
  }
  return rc;
}

}  // namespace

namespace kyvek::driver::api {

SQLRETURN set_stmt_attr(SQLHSTMT handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER len) {
  TRACE(kTraceEntry, "SQLSetStmtAttr(%p,%ld,%p,%ld)\n", handle, static_cast<long>(attr), value, static_cast<long>(len));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (SetStmtAttr)");
  if (rc != SQL_SUCCESS) return rc;
  for (int i = 0; i < c.dbc->ignored_count && i < kMaxIgnoredStmtAttrs; ++i)
    if (c.dbc->ignored_stmt_attrs[i] == attr) return SQL_SUCCESS;
  const auto v = reinterpret_cast<SQLULEN>(value);
  if (attr == SQL_ATTR_ROW_ARRAY_SIZE && block_fetch_keeps_array_size(c.stmt, v)) return SQL_SUCCESS;
  RpcHandle* h = c.rpc();
  void* s = c.server();
  switch (classify(attr)) {
    case AttrClass::kInteger: rc = remote_sql_set_stmt_attr_integer(h, s, attr, static_cast<SQLLEN>(v), len); break;
    case AttrClass::kAutoDesc: return c.fail(0, sqlstate::kHY017);
    case AttrClass::kBookmarkPtr: {
      int crc =
          remote_set_config_param(h, reinterpret_cast<void*>(c.dbc->server_dbc), 2, c.dbc->bookmark_size, 0, nullptr);
      if (!rc_ok(crc)) return static_cast<SQLRETURN>(crc);
      rc = remote_sql_set_stmt_attr_integer(h, s, attr, value ? 1 : 0, len);
      break;
    }
    case AttrClass::kPointer: rc = remote_sql_set_stmt_attr_integer(h, s, attr, value ? 1 : 0, len); break;
    case AttrClass::kAppDesc: {
      const int slot = attr == SQL_ATTR_APP_ROW_DESC ? DESC_ARD : DESC_APD;
      auto* d = static_cast<client_desc*>(value);
      if (d) {
        if (vekc_chk_handle(kDesc, d)) return c.fail(0, sqlstate::kHY024);
        if (d->alloc_type == 1) {
          if (c.stmt->implicit_desc[slot] != d) return c.fail(0, sqlstate::kHY017);
        } else if (d->dbc != c.dbc) {
          // The application's own descriptors serve statements of their connection.
          return c.fail(0, sqlstate::kHY024);
        }
      }
      rc = remote_sql_set_stmt_attr_handle(h, s, attr, d ? reinterpret_cast<void*>(d->server_desc) : nullptr, len);
      if (rc_ok(rc)) {
        client_desc* now = d ? d : c.stmt->implicit_desc[slot];
        c.stmt->current_desc[slot] = (now);
        client_desc* imp = cur_desc(c.stmt, slot == DESC_ARD ? DESC_IRD : DESC_IPD);
        if (now && now->n_descrec > 0 && imp) vekc_expand_desc_recs(imp, now->n_descrec - 1);
      }
      return rc;
    }
    case AttrClass::kOther:
      if (driver_defined_attr(attr)) {
        switch (driver_attr_form(len)) {
          case DriverAttrForm::kRefused:
            return c.fail(0, sqlstate::kHY092.state, driver_attr_refusal(attr, len).c_str());
          case DriverAttrForm::kNumber:
            rc = remote_sql_set_stmt_attr_integer(h, s, attr, static_cast<SQLLEN>(v), len);
            break;
          case DriverAttrForm::kBytes: {
            if (!value) return c.fail(0, sqlstate::kHY009);
            // The block always ends in a NUL: an empty value still travels as a block.
            std::string block = len == SQL_NTS ? std::string(static_cast<const char*>(value))
                                               : std::string(static_cast<const char*>(value), static_cast<size_t>(len));
            block += '\0';
            rc = remote_sql_set_stmt_attr_strbin(h, s, attr, static_cast<int32_t>(block.size()), block.data(), len);
            break;
          }
        }
      } else if (len == SQL_IS_INTEGER || len == SQL_IS_UINTEGER) {
        rc = remote_sql_set_stmt_attr_integer(h, s, attr, static_cast<SQLLEN>(v), len);
      } else if (len == SQL_IS_POINTER) {
        return c.fail(23, sqlstate::kHY000.state,
                      "General error: Driver specific SQL_POINTER valuenot supported (SetStmtAttr)");
      } else if (!value) {
        return c.fail(0, sqlstate::kHY009);
      } else if (len == SQL_NTS || len >= 0) {
        const int32_t n = len == SQL_NTS ? static_cast<int32_t>(std::strlen(static_cast<char*>(value)) + 1) : len;
        rc = remote_sql_set_stmt_attr_strbin(h, s, attr, n, value, len);
      } else if (len <= -100) {
        rc = remote_sql_set_stmt_attr_strbin(h, s, attr, -len - 100, value, len);
      } else {
        return c.fail(21, sqlstate::kHY000.state, "General error: Invalid binary length (SetStmtAttr)");
      }
      break;
  }
  if (!rc_ok(rc)) {
    if (attr == SQL_ATTR_PARAM_STATUS_PTR) {
      // The server keeps no status array: the driver fills it itself.
      c.dbc->client_flags |= kFlagNoParamStatus;
      rc = SQL_SUCCESS;
    } else {
      return rc;
    }
  }
  SQLULEN kept = v;
  if (rc == SQL_SUCCESS_WITH_INFO && classify(attr) == AttrClass::kInteger) kept = value_kept(c, attr, v);
  mirror(c, attr, kept, value);
  return rc;
}

SQLRETURN get_stmt_attr(SQLHSTMT handle, SQLINTEGER attr, SQLPOINTER value, SQLINTEGER buflen, SQLINTEGER* out_len) {
  TRACE(kTraceEntry, "SQLGetStmtAttr(%p,%ld,%p,%ld,%p)\n", handle, static_cast<long>(attr), value,
        static_cast<long>(buflen), static_cast<void*>(out_len));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (SQLGetStmtAttr)");
  if (rc != SQL_SUCCESS) return rc;
  client_desc *apd = cur_desc(c.stmt, DESC_APD), *ard = cur_desc(c.stmt, DESC_ARD);
  client_desc *ipd = cur_desc(c.stmt, DESC_IPD), *ird = cur_desc(c.stmt, DESC_IRD);
  auto put_ptr = [&](const void* p) {
    if (value) std::memcpy(value, &p, sizeof p);
    if (out_len) *out_len = sizeof(void*);
    TRACE(kTraceExit, "-SQLGetStmtAttr()=SQL_SUCCESS (%p)\n", p);
    return SQL_SUCCESS;
  };
  // Answered from what the driver holds: the same values the server would give.
  switch (attr) {
    case SQL_ATTR_FETCH_BOOKMARK_PTR: return put_ptr(c.x->fetch_bookmark_ptr);
    case SQL_ATTR_PARAM_BIND_OFFSET_PTR: return put_ptr(apd ? apd->bind_offset_ptr : nullptr);
    case SQL_ATTR_PARAM_OPERATION_PTR: return put_ptr(apd ? apd->array_status_ptr : nullptr);
    case SQL_ATTR_PARAM_STATUS_PTR: return put_ptr(ipd ? ipd->array_status_ptr : nullptr);
    case SQL_ATTR_PARAMS_PROCESSED_PTR: return put_ptr(ipd ? ipd->rows_processed_ptr : nullptr);
    case SQL_ATTR_ROW_BIND_OFFSET_PTR: return put_ptr(ard ? ard->bind_offset_ptr : nullptr);
    case SQL_ATTR_ROW_OPERATION_PTR: return put_ptr(ard ? ard->array_status_ptr : nullptr);
    case SQL_ATTR_ROW_STATUS_PTR: return put_ptr(ird ? ird->array_status_ptr : nullptr);
    case SQL_ATTR_ROWS_FETCHED_PTR: return put_ptr(ird ? ird->rows_processed_ptr : nullptr);
    case SQL_ATTR_APP_ROW_DESC: return put_ptr(ard);
    case SQL_ATTR_APP_PARAM_DESC: return put_ptr(apd);
    case SQL_ATTR_IMP_ROW_DESC: return put_ptr(ird);
    case SQL_ATTR_IMP_PARAM_DESC: return put_ptr(ipd);
    default: break;
  }
  if (SQLULEN hidden = 0; block_fetch_hides(c.stmt, attr, &hidden)) {
    if (value) std::memcpy(value, &hidden, sizeof hidden);
    if (out_len) *out_len = sizeof hidden;
    return SQL_SUCCESS;
  }
  RpcHandle* h = c.rpc();
  void* s = c.server();
  if (driver_defined_attr(attr)) return get_driver_stmt_attr(c, attr, value, buflen, out_len);
  const bool integer = (attr >= 0 && attr <= 12) || attr == 14 || attr == 15 || attr == 18 || attr == 22 ||
                       attr == 27 || attr == 10014 || attr == -2 || attr == -1 || buflen == SQL_IS_INTEGER ||
                       buflen == SQL_IS_UINTEGER;
  if (integer) {
    SQLLEN v = 0;
    rc = remote_sql_get_stmt_attr_integer(h, s, attr, &v);
    if (rc_ok(rc)) {
      // 32-bit quantities go into 32 bits, as common drivers write them: a
      // program that reads one into an SQLINTEGER keeps its neighbour, and a
      // zero-initialised SQLULEN still reads the value. Counts, lengths and
      // time-outs stay pointer-wide.
      const bool narrow = buflen == SQL_IS_INTEGER || buflen == SQL_IS_UINTEGER || thirty_two_bit_attr(attr);
      if (value) {
        if (narrow) {
          const auto u = static_cast<SQLUINTEGER>(v);
          std::memcpy(value, &u, sizeof u);
        } else {
          const auto u = static_cast<SQLULEN>(v);
          std::memcpy(value, &u, sizeof u);
        }
      }
      if (out_len) *out_len = narrow ? sizeof(SQLUINTEGER) : sizeof(SQLULEN);
      TRACE(kTraceExit, "-SQLGetStmtAttr()=%d (0X%lx)\n", rc, static_cast<unsigned long>(v));
    }
    return rc;
  }
  if (buflen == SQL_IS_POINTER) {
    void* p = nullptr;
    rc = remote_sql_get_stmt_attr_handle(h, s, attr, &p);
    if (rc_ok(rc)) {
      if (value) std::memcpy(value, &p, sizeof p);
      if (out_len) *out_len = sizeof p;
    }
    return rc;
  }
  int32_t full = 0;
  if (buflen == SQL_NTS || buflen >= 0) {
    int32_t cap = value && buflen > 0 ? buflen : 0;
    rc = remote_sql_get_stmt_attr_string(h, s, attr, &cap, value, buflen > 0 ? buflen : 0, &full);
    if (rc_ok(rc) && value && buflen > 0) static_cast<char*>(value)[cap < buflen ? cap : buflen - 1] = '\0';
  } else {
    const int32_t n = buflen <= -100 ? -buflen - 100 : 0;
    int32_t cap = value ? n : 0;
    rc = remote_sql_get_stmt_attr_binary(h, s, attr, &cap, value, n, &full);
    TRACE(kTraceExit, "-SQLGetStmtAttr()=%d (**BINARY DATA**)\n", rc);
  }
  if (rc_ok(rc) && out_len) *out_len = full;
  return rc;
}

SQLRETURN get_cursor_name(SQLHSTMT handle, SQLCHAR* name, SQLSMALLINT buflen, SQLSMALLINT* name_len) {
  TRACE(kTraceEntry, "SQLGetCursorName(%p,%p,%d,%p)\n", handle, static_cast<void*>(name), buflen,
        static_cast<void*>(name_len));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (GetCursorName)");
  if (rc != SQL_SUCCESS) return rc;
  if (buflen < 0) return c.fail(0, sqlstate::kHY090);
  int32_t cap = name && buflen > 0 ? buflen : 0;
  int16_t full = 0;
  c.stmt->flags |= kStmtCursorNamed;  // positioned statements may follow: no reading ahead
  rc = remote_sql_get_cursor_name(c.rpc(), c.server(), &cap, name, name ? buflen : 0, &full);
  if (!rc_ok(rc)) return rc;
  if (name && buflen > 0) name[cap < buflen ? cap : buflen - 1] = '\0';
  if (name_len) *name_len = full;
  if ((c.stmt->flags & kStmtBlockFetchOn) && !(c.x->block && c.x->block->automatic)) {
    // A warning: the call itself succeeded.
    post_client(c.diags(), c.dbc, 31, sqlstate::k01000.state, false,
                "General warning: Cursor operations in block fetch mode will not work (GetCursorName)");
    set_return_code(c.diags(), SQL_SUCCESS_WITH_INFO);
    return SQL_SUCCESS_WITH_INFO;
  }
  return rc;
}

SQLRETURN set_cursor_name(SQLHSTMT handle, SQLCHAR* name, SQLSMALLINT len) {
  TRACE(kTraceEntry, "SQLSetCursorName(%p,%p,%d)\n", handle, static_cast<void*>(name), len);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (SetCursorName)");
  if (rc != SQL_SUCCESS) return rc;
  if (!name) return c.fail(0, sqlstate::kHY009);
  if (len < 0 && len != SQL_NTS) return c.fail(0, sqlstate::kHY090);
  // The server's procedure takes a terminated text.
  std::string text = len == SQL_NTS ? std::string(reinterpret_cast<char*>(name))
                                    : std::string(reinterpret_cast<char*>(name), static_cast<size_t>(len));
  c.stmt->flags |= kStmtCursorNamed;  // positioned statements may follow: no reading ahead
  return remote_sql_set_cursor_name(c.rpc(), c.server(), static_cast<int32_t>(text.size() + 1), text.c_str());
}

SQLRETURN end_tran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion) {
  TRACE(kTraceEntry, "SQLEndTran(%d,%p,%d)\n", type, handle, completion);
  if (type == SQL_HANDLE_DBC) {
    if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
    auto* dbc = static_cast<client_dbc*>(handle);
    clear_errors(&dbc->diag);
    if (!is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
    if (completion != SQL_COMMIT && completion != SQL_ROLLBACK)
      return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY012);
    return remote_sql_end_tran(dbc->rpc, SQL_HANDLE_DBC, reinterpret_cast<void*>(dbc->server_dbc), completion);
  }
  if (type != SQL_HANDLE_ENV) return SQL_ERROR;
  if (vekc_chk_handle(kEnv, handle)) return SQL_INVALID_HANDLE;
  auto* env = static_cast<client_env*>(handle);
  clear_errors(&env->diag);
  if (completion != SQL_COMMIT && completion != SQL_ROLLBACK)
    return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY012);
  std::lock_guard<std::recursive_mutex> g(env->lock);
  SQLRETURN result = SQL_SUCCESS;
  for (client_dbc* d = env->connections; d; d = d->next) {
    if (vekc_chk_handle(kDbc, d))
      return post_rc(&env->diag, nullptr, SQL_ERROR, 2, sqlstate::kHY000.state,
                     "General error: Internal client error (EndTran)");
    if (!is_connected(d)) continue;
    // Each connection on its own: the server environment may be shared.
    int rc = remote_sql_end_tran(d->rpc, SQL_HANDLE_DBC, reinterpret_cast<void*>(d->server_dbc), completion);
    if (!rc_ok(rc)) result = static_cast<SQLRETURN>(rc);
  }
  if (result != SQL_SUCCESS) {
    post_client(&env->diag, nullptr, 0, sqlstate::k25S01, true);
    set_return_code(&env->diag, result);
  }
  return result;
}

}  // namespace kyvek::driver::api
