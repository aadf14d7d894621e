// Fetching, data retrieval, positioned and bulk operations, cursor names, and
// closing and freeing statements.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "handler_util.h"
#include "handlers.h"
#include "link_watch.h"
#include "record_lists.h"
#include "sql_types.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

// The record of a column in a descriptor, or null when there is none.
const descriptor_record_t* record_of(const descriptor_t* d, int32_t column) {
  if (d == nullptr || column < 0 || column >= d->alloc_records) return nullptr;
  return &d->records[column];
}

// Length in bytes of a NUL-terminated UTF-16 text within size bytes.
int64_t wide_length(const char* buf, int64_t size) {
  int64_t n = 0;
  while (n + 1 < size && !(buf[n] == 0 && buf[n + 1] == 0)) n += 2;
  return n;
}

SQLRETURN get_data(statement_t* stmt, int16_t column, int16_t ctype, int32_t cap, int32_t* block, char* buffer,
                   SQLULEN buffer_length, SQLLEN* indicator, Exit& exit);

}  // namespace

extern "C" int16_t sql_fetch(void* handle) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_fetch), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  SQLRETURN rc;
  {
    LinkWatch watch(stmt->driver_stmt);
    rc = SQLFetch(stmt->driver_stmt);
  }
  stmt->fetch_kind = FETCH_PLAIN;
  return leave("sql_fetch", rc);
}

extern "C" int16_t sql_fetch_scroll(void* handle, int16_t orientation, int32_t offset) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_fetch_scroll), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  SQLRETURN rc = SQLFetchScroll(stmt->driver_stmt, orientation, static_cast<SQLLEN>(offset));
  stmt->fetch_kind = FETCH_SCROLL;
  return leave("sql_fetch_scroll", rc);
}

extern "C" int16_t sql_extended_fetch(void* handle, int16_t orientation, SQLLEN offset, SQLULEN* row_count,
                                      int32_t* status_length, int16_t* status) {
  static const char* kName = KY_HANDLER_NAME(sql_extended_fetch);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (status_length == nullptr) {
    KY_POST_STMT(stmt, sqlstate::kHY000.state, 2, "General error: Internal error (NULL __len_RowStatusArray)");
    return leave(kName, SQL_ERROR);
  }
  const int32_t incoming = *status_length;
  *status_length = 0;
  switch (orientation) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 8: break;
    default:
      post_error(&stmt->diags, VENDOR_SERVER, CLASS_ISO, 0, nullptr, veks_dbc_dsn(veks_stmt_dbc(stmt)), 0, 0,
                 "ODBC 3.0", sqlstate::kHY106);
      return leave(kName, SQL_ERROR);
  }
  descriptor_t* ard = stmt->current_desc[DESC_ARD];
  descriptor_t* ird = stmt->current_desc[DESC_IRD];
  const uint64_t rowset = ard != nullptr && ard->ext_rowset_size > 0 ? ard->ext_rowset_size : 1;
  if (incoming != 0 && static_cast<uint64_t>(incoming) != 2 * rowset) {
    KY_POST_STMT(stmt, sqlstate::kHY000.state, 19,
                 "General error: Internal server error (sql_extended_fetch - ArraySize mismatch %ld and %ld)\n",
                 static_cast<long>(incoming / 2), static_cast<long>(rowset));
    return leave(kName, SQL_ERROR);
  }
  uint16_t* array = rowset * sizeof(uint16_t) <= VEKS_MAX_ARRAY_BYTES
                        ? static_cast<uint16_t*>(calloc(rowset, sizeof(uint16_t)))
                        : nullptr;
  if (array == nullptr || ird == nullptr) {
    free(array);
    KY_POST_STMT(stmt, sqlstate::kHY001, 0);
    return leave(kName, SQL_ERROR);
  }
  free(ird->ext_status_array);
  ird->ext_status_array = array;
  ird->ext_status_count = rowset;
  SQLULEN rows = 0;
  SQLRETURN rc = SQLExtendedFetch(stmt->driver_stmt, static_cast<SQLUSMALLINT>(orientation), offset, &rows, array);
  stmt->fetch_kind = FETCH_EXTENDED;
  if (!succeeded(rc)) return leave(kName, rc);
  if (row_count != nullptr) *row_count = rows;
  if (status != nullptr && incoming != 0) {
    memcpy(status, array, static_cast<size_t>(incoming));
    *status_length = incoming;
  }
  return leave(kName, rc);
}

extern "C" int16_t sql_get_data(void* handle, int16_t column, int16_t ctype, int32_t* block, char* buffer,
                                SQLULEN buffer_length, SQLLEN* indicator) {
  static const char* kName = KY_HANDLER_NAME(sql_get_data);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) {
    return get_data(stmt, column, ctype, cap, block, buffer, buffer_length, indicator, exit);
  });
}

namespace {

// The C type SQLGetData gives a column as: the ARD's type for SQL_ARD_TYPE,
// the column's default type for SQL_C_DEFAULT (numbers as text).
int16_t effective_type(statement_t* stmt, int16_t type, int16_t column) {
  if (type == SQL_ARD_TYPE) {
    const descriptor_record_t* r = record_of(stmt->current_desc[DESC_ARD], column);
    return r != nullptr ? r->concise_type : SQL_C_CHAR;
  }
  if (type == SQL_C_DEFAULT) {
    const descriptor_record_t* r = record_of(stmt->current_desc[DESC_IRD], column);
    const int16_t t = r != nullptr ? r->default_ctype : SQL_C_CHAR;
    return t == SQL_C_NUMERIC ? SQL_C_CHAR : t;
  }
  return type;
}

bool is_variable_type(int16_t type) { return type == SQL_C_CHAR || type == SQL_C_WCHAR || type == SQL_C_BINARY; }

// Of the first `sent` bytes of a text or binary value the driver put into a
// buffer of len bytes, how many it wrote: what the indicator says when the
// value fitted, else up to its terminator (a driver may stop short of a
// character it cannot split).
int64_t written_bytes(int16_t type, const char* buffer, int64_t len, SQLLEN ind) {
  const bool fitted = ind >= 0 && (type == SQL_C_BINARY ? ind <= len : type == SQL_C_WCHAR ? ind + 2 <= len : ind < len);
  if (type == SQL_C_BINARY) return fitted ? ind : len;
  if (type == SQL_C_WCHAR) return fitted ? ind + 2 : std::min<int64_t>(wide_length(buffer, len) + 2, len);
  return fitted ? ind + 1 : std::min<int64_t>(static_cast<int64_t>(strnlen(buffer, static_cast<size_t>(len))) + 1, len);
}

// SQLGetData on an entered statement into the out buffer the client sent
// (cap bytes), and the bytes of it that go back (block). The buffer comes
// unzeroed (the value is written once, straight into what the reply sends):
// every byte that goes back is one the driver wrote or one zeroed here.
SQLRETURN get_data(statement_t* stmt, int16_t column, int16_t ctype, int32_t cap, int32_t* block, char* buffer,
                   SQLULEN buffer_length, SQLLEN* indicator, Exit& exit) {
  connection_t* dbc = veks_stmt_dbc(stmt);
  if (veks_chk_handle(VEKS_DBC, dbc) != 0) {
    KY_POST_STMT(stmt, sqlstate::kHY000.state, 2, "General error: Internal server error (sql_get_data)");
    return SQL_ERROR;
  }
  const int16_t type = map_c_type_odbc2(dbc, ctype);
  // The length the driver is told never exceeds the out buffer.
  int64_t len = buffer_length > static_cast<SQLULEN>(INT32_MAX)
                    ? capped(INT32_MAX, &cap, buffer)
                    : capped(static_cast<int64_t>(buffer_length), &cap, buffer);
  // A fixed-size type ignores the buffer length (as in ODBC) but needs room
  // for the whole value in the out buffer the client really sent.
  const int16_t fixed_type = type == SQL_ARD_TYPE ? effective_type(stmt, type, column) : type;
  const int64_t fixed = fixed_type == SQL_C_DEFAULT ? 0 : get_type_len(fixed_type, 0, 0);
  if (buffer != nullptr && fixed > 0) {
    if (cap < fixed) {
      KY_POST_STMT(stmt, sqlstate::kHY090, 0);
      return SQL_ERROR;
    }
    len = fixed;
  }
  const int16_t effective = effective_type(stmt, type, column);
  // Without a buffer the driver still gets somewhere to point at (length 0).
  char none[64] = {};
  char* target = buffer != nullptr && len > 0 ? buffer : none;
  // A structure the driver fills field by field may leave its padding alone.
  if (target == buffer && !is_variable_type(effective))
    std::memset(buffer, 0, static_cast<size_t>(std::min<int64_t>(len, std::max<int64_t>(fixed, 64))));
  SQLLEN ind = 0;
  SQLRETURN rc = SQLGetData(stmt->driver_stmt, static_cast<SQLUSMALLINT>(column), type, target,
                            static_cast<SQLLEN>(target == buffer ? len : 0), &ind);
  if (indicator != nullptr) *indicator = ind;
  if (!succeeded(rc)) {
    exit.because("driver call failed");
    return rc;
  }
  if (target != buffer || ind == SQL_NULL_DATA) return rc;
  int64_t out = 0;
  if (ind == SQL_NO_TOTAL) {
    out = len;
  } else if (ind < 0 && ind != SQL_NTS) {
    exit.because("can't handle strlen_or_ind=%ld", (long)ind);
    return rc;
  } else if (effective == SQL_C_WCHAR) {
    out = ind == SQL_NTS ? wide_length(buffer, len) + 2 : ind + 2;
  } else if (effective == SQL_C_CHAR || effective == SQL_C_BINARY) {
    out = ind == SQL_NTS ? static_cast<int64_t>(strnlen(buffer, static_cast<size_t>(len))) + 1 : ind + 1;
  } else {
    out = get_type_len(effective, 0, 0);
    if (out < 0) {
      exit.because("Negative length from get_type_len");
      KY_POST_STMT(stmt, sqlstate::kHY000.state, 5,
                   "General error: Cannot determine length of datatype %d, OctetLength=%ld (sql_get_data)", effective,
                   0L);
      return SQL_ERROR;
    }
    // Beyond the zeroed head a fixed value has no bytes of its own.
    out = std::min<int64_t>(out, std::max<int64_t>(fixed, 64));
  }
  const int64_t sent = std::min<int64_t>(out, len);
  if (is_variable_type(effective)) {
    const int64_t written = std::clamp<int64_t>(written_bytes(effective, buffer, len, ind), 0, sent);
    std::memset(buffer + written, 0, static_cast<size_t>(sent - written));
  }
  if (block != nullptr) *block = static_cast<int32_t>(sent);
  exit.because("[%ld]", (long)(block != nullptr ? *block : 0));
  return rc;
}

}  // namespace

extern "C" int16_t sql_setpos(void* handle, int16_t row, int16_t operation, int16_t lock_type) {
  static const char* kName = KY_HANDLER_NAME(sql_setpos);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const uint16_t op = static_cast<uint16_t>(operation);
  const uint16_t lock = static_cast<uint16_t>(lock_type);
  if (op > 4 || lock > 2) {
    KY_POST_STMT(stmt, sqlstate::kHY092.state, 0, "Option type out of range");
    return leave(kName, SQL_ERROR);
  }
  if (row == 0 && op == SQL_POSITION) {
    post_error(&stmt->diags, VENDOR_SERVER, CLASS_ISO, 0, nullptr, veks_dbc_dsn(veks_stmt_dbc(stmt)), 0, 0, "ODBC 3.0",
               sqlstate::kHY109);
    return leave(kName, SQL_ERROR);
  }
  SQLRETURN rc = SQLSetPos(stmt->driver_stmt, static_cast<SQLSETPOSIROW>(static_cast<uint16_t>(row)), op, lock);
  if (rc == SQL_NEED_DATA) stmt->need_data_source = NEED_DATA_SETPOS;
  return leave(kName, rc);
}

extern "C" int16_t sql_bulk_operations(void* handle, int16_t operation) {
  static const char* kName = KY_HANDLER_NAME(sql_bulk_operations);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (operation < SQL_ADD || operation > SQL_FETCH_BY_BOOKMARK) {
    KY_POST_STMT(stmt, sqlstate::kHY092.state, 0, "Option type out of range");
    return leave(kName, SQL_ERROR);
  }
  SQLRETURN rc = SQLBulkOperations(stmt->driver_stmt, operation);
  if (rc == SQL_NEED_DATA) stmt->need_data_source = NEED_DATA_BULK;
  return leave(kName, rc);
}

extern "C" int16_t sql_set_cursor_name(void* handle, int32_t length, char* name) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_set_cursor_name), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (name == nullptr || length <= 0) {
    KY_POST_STMT(stmt, sqlstate::kHY009, 0);
    return leave("sql_set_cursor_name", SQL_ERROR);
  }
  SQLSMALLINT n = static_cast<SQLSMALLINT>(std::min<size_t>(strnlen(name, static_cast<size_t>(length)), 32767));
  return leave("sql_set_cursor_name", SQLSetCursorName(stmt->driver_stmt, (SQLCHAR*)name, n));
}

extern "C" int16_t sql_get_cursor_name(void* handle, int32_t* block, char* buffer, int16_t buffer_length,
                                       int16_t* name_length) {
  static const char* kName = KY_HANDLER_NAME(sql_get_cursor_name);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const int64_t len = capped(buffer_length, &cap, buffer);
  SQLSMALLINT n = 0;
  SQLRETURN rc =
      SQLGetCursorName(stmt->driver_stmt, len > 0 ? (SQLCHAR*)buffer : nullptr, static_cast<SQLSMALLINT>(len), &n);
  if (name_length != nullptr) *name_length = n;
  if (!succeeded(rc)) {
    Exit exit(kName);
    exit.because("drivers SQLGetCursorName failed");
    return exit.leave(rc);
  }
  if (block != nullptr) *block = text_block(buffer, len, n);
  return leave(kName, rc);
}

extern "C" int16_t sql_close_cursor(void* handle) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_close_cursor), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->flags &= ~static_cast<uint32_t>(STMT_VALUES_REFUSED);
  return leave("sql_close_cursor", SQLCloseCursor(stmt->driver_stmt));
}

extern "C" int16_t sql_free_stmt(void* handle, int16_t option) {
  static const char* kName = KY_HANDLER_NAME(sql_free_stmt);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%u)\n", kName, handle, (unsigned)(uint16_t)option);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  // A closed or reset statement starts its next execution afresh.
  stmt->flags &= ~static_cast<uint32_t>(STMT_VALUES_REFUSED);
  SQLRETURN rc = SQLFreeStmt(stmt->driver_stmt, static_cast<SQLUSMALLINT>(option));
  if (!succeeded(rc)) {
    Exit exit(kName);
    exit.because("driver");
    return exit.leave(rc);
  }
  switch (option) {
    case SQL_CLOSE: break;
    case SQL_DROP: {
      connection_t* dbc = veks_stmt_dbc(stmt);
      stmt->driver_stmt = nullptr;  // freed by the driver call above
      if (veks_chk_handle(VEKS_DBC, dbc) != 0) {
        KY_POST_STMT(stmt, sqlstate::kHY000.state, 2, "General error: Internal server error (sql_free_stmt)");
        return leave(kName, SQL_ERROR);
      }
      if (find_statement_in_list(dbc, stmt, nullptr, LIST_REMOVE) != nullptr) {
        KY_POST_STMT(stmt, sqlstate::kHY000.state, 6, "General error: Failed to remove statement");
        return leave(kName, SQL_ERROR);
      }
      break;
    }
    case SQL_UNBIND: {
      descriptor_t* ard = stmt->current_desc[DESC_ARD];
      for (int32_t i = 0; ard != nullptr && i < ard->alloc_records; ++i) {
        veks_free_record_arrays(&ard->records[i]);
        ard->records[i].octet_length = 0;
      }
      if (ard != nullptr) ard->record_count = 0;
      break;
    }
    case SQL_RESET_PARAMS: {
      descriptor_t* apd = stmt->current_desc[DESC_APD];
      if (apd != nullptr) veks_release_desc_recs(apd, 0, RELEASE_ALL);
      break;
    }
    default: KY_POST_STMT(stmt, sqlstate::kHY092.state, 0, "Option type out of range"); return leave(kName, SQL_ERROR);
  }
  return leave(kName, rc);
}
