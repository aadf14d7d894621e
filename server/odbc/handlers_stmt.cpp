// Statement attributes with server-owned arrays, and result-column
// information (count, description, attributes).
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "handle_alloc.h"
#include "handler_util.h"
#include "handlers.h"
#include "record_lists.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

// Attributes whose value is an address in the application's memory.
bool pointer_attr(int32_t attr) {
  switch (attr) {
    case SQL_ATTR_FETCH_BOOKMARK_PTR:
    case SQL_ATTR_PARAM_BIND_OFFSET_PTR:
    case SQL_ATTR_PARAM_OPERATION_PTR:
    case SQL_ATTR_PARAM_STATUS_PTR:
    case SQL_ATTR_PARAMS_PROCESSED_PTR:
    case SQL_ATTR_ROW_BIND_OFFSET_PTR:
    case SQL_ATTR_ROW_OPERATION_PTR:
    case SQL_ATTR_ROW_STATUS_PTR:
    case SQL_ATTR_ROWS_FETCHED_PTR: return true;
    default: return false;
  }
}

// Integer attributes the driver keeps as they are.
bool plain_attr(int32_t attr) {
  switch (attr) {
    case SQL_ATTR_CURSOR_SENSITIVITY:
    case SQL_ATTR_CURSOR_SCROLLABLE:
    case SQL_ATTR_QUERY_TIMEOUT:
    case SQL_ATTR_MAX_ROWS:
    case SQL_ATTR_NOSCAN:
    case SQL_ATTR_MAX_LENGTH:
    case SQL_ATTR_ASYNC_ENABLE:
    case SQL_ATTR_CURSOR_TYPE:
    case SQL_ATTR_CONCURRENCY:
    case SQL_ATTR_KEYSET_SIZE:
    case SQL_ATTR_SIMULATE_CURSOR:
    case SQL_ATTR_RETRIEVE_DATA:
    case SQL_ATTR_USE_BOOKMARKS:
    case SQL_ATTR_ENABLE_AUTO_IPD:
    case SQL_ATTR_METADATA_ID: return true;
    default: return false;
  }
}

// 0 for a usable array size; 1 (and HY000 19 posted) for 0.
int check_array_size(statement_t* stmt, uint64_t size, const char* name) {
  if (size != 0) return 0;
  KY_POST_STMT(stmt, sqlstate::kHY000.state, 19, "General error: Negative ArraySize (%s)", name);
  set_return_code(&stmt->diags, SQL_ERROR);
  return 1;
}

SQLRETURN memory_error(statement_t* stmt, Exit& exit) {
  KY_POST_STMT(stmt, sqlstate::kHY013, 0);
  exit.because("memory allocation failure");
  return SQL_ERROR;
}

// Rows the column buffers and row status arrays must hold.
uint64_t row_rows(uint64_t array_size, uint64_t rowset) {
  uint64_t rows = std::max(array_size, rowset);
  return rows == 0 ? 1 : rows;
}

// A new array size: the server's buffers grow first (growing is always safe),
// then the driver is told; the driver never holds a size larger than the
// arrays it was given.
SQLRETURN set_array_size(statement_t* stmt, int32_t attr, SQLLEN value, int32_t length, Exit& exit) {
  if (value <= 0 || static_cast<uint64_t>(value) > VEKS_MAX_ARRAY_BYTES) {
    KY_POST_STMT(stmt, sqlstate::kHY024, 0);
    return SQL_ERROR;
  }
  const uint64_t v = static_cast<uint64_t>(value);
  descriptor_t* ard = stmt->current_desc[DESC_ARD];
  descriptor_t* ird = stmt->current_desc[DESC_IRD];
  descriptor_t* apd = stmt->current_desc[DESC_APD];
  descriptor_t* ipd = stmt->current_desc[DESC_IPD];
  SQLRETURN rc;
  if (attr == SQL_ATTR_PARAMSET_SIZE) {
    if (trace_on(kTraceDetail)) {
      log_printf_tid("\tReallocating buffers for bound parameters with array size changed from %lu to %lu\n",
                     (unsigned long)apd->array_size, (unsigned long)v);
    }
    rc = resize_buffers(stmt, apd, v);
    if (!succeeded(rc)) {
      exit.because("resize_buffers failure");
      return SQL_ERROR;
    }
    rc = resize_parameter_status_array(v, stmt, apd, ipd);
    if (!succeeded(rc)) {
      exit.because("resize_parameter_status_array failure");
      return SQL_ERROR;
    }
  } else {
    const uint64_t rows = attr == SQL_ROWSET_SIZE ? row_rows(ard->array_size, v) : row_rows(v, ard->ext_rowset_size);
    if (trace_on(kTraceDetail)) {
      log_printf_tid(attr == SQL_ROWSET_SIZE
                         ? "\tReallocating buffers for bound columns with ROWSET size changed from %lu to %lu\n"
                         : "\tReallocating buffers for bound columns with array size changed from %lu to %lu\n",
                     (unsigned long)(attr == SQL_ROWSET_SIZE ? ard->ext_rowset_size : ard->array_size),
                     (unsigned long)v);
    }
    rc = resize_buffers(stmt, ard, rows);
    if (!succeeded(rc)) {
      exit.because("resize_buffers failure");
      return SQL_ERROR;
    }
    rc = resize_row_status_arrays(rows, stmt, ard, ird);
    if (!succeeded(rc)) {
      exit.because("resize_row_status_array failure");
      return SQL_ERROR;
    }
  }
  rc = SQLSetStmtAttr(stmt->driver_stmt, attr, reinterpret_cast<SQLPOINTER>(value), length);
  if (!succeeded(rc)) return rc;
  if (attr == SQL_ATTR_PARAMSET_SIZE) {
    apd->array_size = ipd->array_size = v;
  } else if (attr == SQL_ROWSET_SIZE) {
    ard->ext_rowset_size = ird->ext_rowset_size = v;
  } else {
    ard->array_size = ird->array_size = v;
  }
  return rc;
}

// A pointer attribute: the driver gets a server buffer of bytes (or null).
SQLRETURN set_pointer(statement_t* stmt, int32_t attr, SQLLEN value, int32_t length, uint64_t bytes, void** field,
                      uint64_t* count, uint64_t elements, Exit& exit) {
  void* buffer = nullptr;
  if (value != 0) {
    buffer = bytes <= VEKS_MAX_ARRAY_BYTES ? calloc(1, bytes != 0 ? bytes : 1) : nullptr;
    if (buffer == nullptr) return memory_error(stmt, exit);
    if (trace_on(kTraceData)) log_printf_tid("\tNew Value %p\n", buffer);
  }
  SQLRETURN rc = SQLSetStmtAttr(stmt->driver_stmt, attr, buffer, length);
  if (!succeeded(rc)) {
    free(buffer);
    exit.because("driver");
    return rc;
  }
  free(*field);
  *field = buffer;
  if (count != nullptr) *count = buffer != nullptr ? elements : 0;
  return rc;
}

// SQLSetStmtAttr with an integer value, on an entered statement.
SQLRETURN set_integer_attr(statement_t* stmt, int32_t attribute, SQLLEN value, int32_t length, Exit& exit) {
  const char* kName = exit.name();
  descriptor_t* ard = stmt->current_desc[DESC_ARD];
  descriptor_t* apd = stmt->current_desc[DESC_APD];
  descriptor_t* ird = stmt->current_desc[DESC_IRD];
  descriptor_t* ipd = stmt->current_desc[DESC_IPD];
  if (ard == nullptr || apd == nullptr || ird == nullptr || ipd == nullptr) return SQL_ERROR;
  SQLRETURN rc;
  switch (attribute) {
    case SQL_ATTR_ROW_BIND_TYPE:
    case SQL_ATTR_PARAM_BIND_TYPE:
      // Row-wise binding is the client's business: the server binds column-wise.
      if (value != 0) {
        exit.because("ROW_WISE BIND TYPE ignored");
        return SQL_SUCCESS;
      }
      rc = SQLSetStmtAttr(stmt->driver_stmt, attribute, nullptr, length);
      if (succeeded(rc)) (attribute == SQL_ATTR_ROW_BIND_TYPE ? ard : apd)->bind_type = 0;
      return rc;
    case SQL_ATTR_ROW_BIND_OFFSET_PTR: exit.because("ROW_BIND_OFFSET_PTR ignored"); return SQL_SUCCESS;
    case SQL_ATTR_PARAM_BIND_OFFSET_PTR: exit.because("PARAM_BIND_OFFSET_PTR ignored"); return SQL_SUCCESS;
    case SQL_ATTR_ROW_NUMBER:
      KY_POST_STMT(stmt, sqlstate::kHY017, 0);
      exit.because("RO");
      return SQL_ERROR;
    case SQL_ROWSET_SIZE:
    case SQL_ATTR_ROW_ARRAY_SIZE:
    case SQL_ATTR_PARAMSET_SIZE: return set_array_size(stmt, attribute, value, length, exit);
    case SQL_ATTR_FETCH_BOOKMARK_PTR: {
      connection_t* dbc = veks_stmt_dbc(stmt);
      const uint64_t size = dbc != nullptr ? dbc->max_bookmark_size : 0;
      if (value != 0 && (size == 0 || size > 0x7fffffffu)) {
        KY_POST_STMT(stmt, sqlstate::kHY000.state, 33, "General error: No maximum bookmark size set");
        exit.because("Bookmark size not set by client");
        return SQL_ERROR;
      }
      uint64_t kept = 0;
      rc = set_pointer(stmt, attribute, value, length, size, &stmt->bookmark_buf, &kept, size, exit);
      if (succeeded(rc)) stmt->bookmark_size = kept;
      return rc;
    }
    case SQL_ATTR_PARAM_OPERATION_PTR:
      if (value != 0 && check_array_size(stmt, apd->array_size, kName)) return SQL_ERROR;
      return set_pointer(stmt, attribute, value, length, apd->array_size * 2,
                         reinterpret_cast<void**>(&apd->status_array), &apd->status_count, apd->array_size, exit);
    case SQL_ATTR_PARAM_STATUS_PTR:
      if (value != 0 && check_array_size(stmt, ipd->array_size, kName)) return SQL_ERROR;
      if (value != 0 && (veks_flags() & VEKS_FLAG_NO_STATUS_ARRAY_RESIZE) && ipd->status_array != nullptr &&
          ipd->status_count >= ipd->array_size) {
        return SQL_SUCCESS;
      }
      return set_pointer(stmt, attribute, value, length, ipd->array_size * 2,
                         reinterpret_cast<void**>(&ipd->status_array), &ipd->status_count, ipd->array_size, exit);
    case SQL_ATTR_PARAMS_PROCESSED_PTR:
      return set_pointer(stmt, attribute, value, length, sizeof(SQLULEN),
                         reinterpret_cast<void**>(&ipd->rows_processed), nullptr, 1, exit);
    case SQL_ATTR_ROW_OPERATION_PTR: {
      const uint64_t rows = row_rows(ard->array_size, ard->ext_rowset_size);
      if (value != 0 && check_array_size(stmt, ard->array_size, kName)) return SQL_ERROR;
      return set_pointer(stmt, attribute, value, length, rows * 2, reinterpret_cast<void**>(&ard->status_array),
                         &ard->status_count, rows, exit);
    }
    case SQL_ATTR_ROW_STATUS_PTR: {
      const uint64_t rows = row_rows(ard->array_size, ard->ext_rowset_size);
      if (value != 0 && check_array_size(stmt, ird->array_size, kName)) return SQL_ERROR;
      return set_pointer(stmt, attribute, value, length, rows * 2, reinterpret_cast<void**>(&ird->status_array),
                         &ird->status_count, rows, exit);
    }
    case SQL_ATTR_ROWS_FETCHED_PTR:
      rc = set_pointer(stmt, attribute, value, length, sizeof(SQLULEN), reinterpret_cast<void**>(&ird->rows_processed),
                       nullptr, 1, exit);
      if (trace_on(kTraceData)) log_printf_tid("\tRows Fetched ptr saved as %p\n", (void*)ird->rows_processed);
      return rc;
    default:
      if (plain_attr(attribute)) {
        return SQLSetStmtAttr(stmt->driver_stmt, attribute, reinterpret_cast<SQLPOINTER>(value), length);
      }
      if (attribute >= SQL_DRIVER_STMT_ATTR_BASE) {
        // Driver-defined: the value itself when the application's StringLength
        // names an integer width; anything else would be read as an address.
        if (length != SQL_IS_INTEGER && length != SQL_IS_UINTEGER && length != SQL_IS_SMALLINT &&
            length != SQL_IS_USMALLINT) {
          KY_POST_STMT(stmt, sqlstate::kHY092, 0);
          refused_before_driver(&stmt->diags);
          exit.because("driver-defined attribute not by value");
          return SQL_ERROR;
        }
        return SQLSetStmtAttr(stmt->driver_stmt, attribute, reinterpret_cast<SQLPOINTER>(value), length);
      }
      // Driver-specific: the value might be read as an address; the driver gets 0.
      rc = SQLSetStmtAttr(stmt->driver_stmt, attribute, nullptr, length);
      exit.because("driver for driver-specific attribute");
      return rc;
  }
}

}  // namespace

extern "C" int16_t sql_set_stmt_attr_integer(void* handle, int32_t attribute, SQLLEN value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_stmt_attr_integer);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%ld,%ld,%ld)\n", kName, handle, (long)attribute, (long)value, (long)length);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) { return set_integer_attr(stmt, attribute, value, length, exit); });
}

extern "C" int16_t sql_set_stmt_attr_handle(void* handle, int32_t attribute, void* value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_stmt_attr_handle);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) -> SQLRETURN {
    int slot;
    if (attribute == SQL_ATTR_APP_ROW_DESC)
      slot = DESC_ARD;
    else if (attribute == SQL_ATTR_APP_PARAM_DESC)
      slot = DESC_APD;
    else {
      KY_POST_STMT(stmt, sqlstate::kHY092, 0);
      refused_before_driver(&stmt->diags);
      return SQL_ERROR;
    }
    descriptor_t* desc = nullptr;
    if (value != nullptr) {
      desc = as_desc(value);
      if (desc == nullptr) {
        exit.because("invalid descriptor");
        return SQL_ERROR;
      }
      // Checked before the driver hears of it, so driver and server always agree.
      if (check_desc_assignable(stmt, attribute, desc) != 0) {
        exit.because("check_descriptor_set_valid (%s) failed", slot == DESC_ARD ? "ARD" : "APD");
        return SQL_ERROR;
      }
    }
    SQLRETURN rc = SQLSetStmtAttr(stmt->driver_stmt, attribute, desc != nullptr ? desc->driver_desc : nullptr, length);
    if (!succeeded(rc)) {
      exit.because("drivers SQLSetStmtAttr failed");
      return rc;
    }
    stmt->current_desc[slot] = desc != nullptr ? desc : stmt->implicit_desc[slot];
    return rc;
  });
}

extern "C" int16_t sql_set_stmt_attr_strbin(void* handle, int32_t attribute, int32_t block_length, char* block,
                                            int32_t length) {
  // Only driver-defined attributes take a block (a string or binary value,
  // which drivers copy): standard pointer attributes are set through the
  // integer form (server buffers).
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_set_stmt_attr_strbin), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (attribute < SQL_DRIVER_STMT_ATTR_BASE) {
    KY_POST_STMT(stmt, sqlstate::kHY092, 0);
    refused_before_driver(&stmt->diags);
    return leave("sql_set_stmt_attr_strbin", SQL_ERROR);
  }
  SQLINTEGER n = 0;
  if (!text_length(block, block_length, length, &n)) {
    KY_POST_STMT(stmt, sqlstate::kHY090, 0);
    refused_before_driver(&stmt->diags);
    return leave("sql_set_stmt_attr_strbin", SQL_ERROR);
  }
  std::string value(block, n == SQL_NTS ? strlen(block) : static_cast<size_t>(n));
  SQLRETURN rc = SQLSetStmtAttr(stmt->driver_stmt, attribute, (SQLPOINTER)value.c_str(), n);
  return leave("sql_set_stmt_attr_strbin", rc);
}

extern "C" int16_t sql_get_stmt_attr_integer(void* handle, int32_t attribute, SQLLEN* value) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_get_stmt_attr_integer), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  Scratch s{};
  SQLRETURN rc = SQLGetStmtAttr(stmt->driver_stmt, attribute, s.bytes, 0, nullptr);
  // Server addresses stay on the server: a pointer attribute reads as set or not.
  if (value != nullptr) *value = pointer_attr(attribute) ? (s.ptr != nullptr ? 1 : 0) : s.len;
  return leave("sql_get_stmt_attr_integer", rc);
}

extern "C" int16_t sql_get_stmt_attr_handle(void* handle, int32_t attribute, void** value) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_get_stmt_attr_handle), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  int slot = -1;
  switch (attribute) {
    case SQL_ATTR_APP_ROW_DESC: slot = DESC_ARD; break;
    case SQL_ATTR_APP_PARAM_DESC: slot = DESC_APD; break;
    case SQL_ATTR_IMP_ROW_DESC: slot = DESC_IRD; break;
    case SQL_ATTR_IMP_PARAM_DESC: slot = DESC_IPD; break;
    default: break;
  }
  if (slot >= 0) {
    if (value != nullptr) *value = stmt->current_desc[slot];
    return leave(KY_HANDLER_NAME(sql_get_stmt_attr_handle), SQL_SUCCESS);
  }
  KY_POST_STMT(stmt, sqlstate::kHY092, 0);
  refused_before_driver(&stmt->diags);
  return leave(KY_HANDLER_NAME(sql_get_stmt_attr_handle), SQL_ERROR);
}

namespace {

SQLRETURN get_stmt_attr_text(void* handle, const char* name, int32_t attribute, int32_t* block, char* buffer,
                             int32_t buffer_length, int32_t* reported, bool binary) {
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  statement_t* stmt = enter<statement_t>(handle, name, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  if (pointer_attr(attribute)) {
    KY_POST_STMT(stmt, sqlstate::kHY092, 0);
    refused_before_driver(&stmt->diags);
    return leave(name, SQL_ERROR);
  }
  const int64_t len = capped(buffer_length, &cap, buffer);
  std::vector<char> scratch(static_cast<size_t>(std::max<int64_t>(len, 64)) + 1, 0);
  SQLINTEGER driver_len = 0;
  SQLRETURN rc =
      SQLGetStmtAttr(stmt->driver_stmt, attribute, scratch.data(), static_cast<SQLINTEGER>(len), &driver_len);
  if (reported != nullptr) *reported = driver_len;
  if (succeeded(rc) && buffer != nullptr && len > 0) {
    memcpy(buffer, scratch.data(), static_cast<size_t>(len));
    if (block != nullptr) {
      *block = binary ? static_cast<int32_t>(std::min<int64_t>(driver_len < 0 ? len : driver_len, len))
                      : text_block(buffer, len, driver_len);
    }
  }
  return leave(name, rc);
}

}  // namespace

extern "C" int16_t sql_get_stmt_attr_string(void* handle, int32_t attribute, int32_t* block, char* buffer,
                                            int32_t buffer_length, int32_t* reported) {
  return get_stmt_attr_text(handle, "sql_get_stmt_attr_string", attribute, block, buffer, buffer_length, reported,
                            false);
}

extern "C" int16_t sql_get_stmt_attr_binary(void* handle, int32_t attribute, int32_t* block, char* buffer,
                                            int32_t buffer_length, int32_t* reported) {
  return get_stmt_attr_text(handle, "sql_get_stmt_attr_binary", attribute, block, buffer, buffer_length, reported,
                            true);
}

extern "C" int16_t sql_num_result_cols(void* handle, int16_t* count) {
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_num_result_cols), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  SQLSMALLINT n = 0;
  SQLRETURN rc = SQLNumResultCols(stmt->driver_stmt, &n);
  if (count != nullptr) *count = n;
  return leave("sql_num_result_cols", rc);
}

extern "C" int16_t sql_describe_col(void* handle, int16_t column, int32_t* block, char* name, int16_t buffer_length,
                                    int16_t* name_length, int16_t* type, SQLULEN* size, int16_t* digits,
                                    int16_t* nullable) {
  static const char* kName = KY_HANDLER_NAME(sql_describe_col);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const int64_t len = capped(buffer_length, &cap, name);
  SQLSMALLINT n = 0, t = 0, d = 0, nl = 0;
  SQLULEN s = 0;
  SQLRETURN rc = SQLDescribeCol(stmt->driver_stmt, static_cast<SQLUSMALLINT>(column),
                                len > 0 ? (SQLCHAR*)name : nullptr, static_cast<SQLSMALLINT>(len), &n, &t, &s, &d, &nl);
  if (name_length != nullptr) *name_length = n;
  if (type != nullptr) *type = t;
  if (size != nullptr) *size = s;
  if (digits != nullptr) *digits = d;
  if (nullable != nullptr) *nullable = nl;
  if (succeeded(rc) && block != nullptr) *block = text_block(name, len, n);
  return leave(kName, rc);
}

extern "C" int16_t sql_col_attribute(void* handle, int16_t column, int16_t field, int32_t* block, char* buffer,
                                     int16_t buffer_length, int16_t* string_length, SQLLEN* numeric) {
  static const char* kName = KY_HANDLER_NAME(sql_col_attribute);
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  const int64_t len = capped(buffer_length, &cap, buffer);
  std::vector<char> scratch(static_cast<size_t>(std::max<int64_t>(len, 64)) + 1, 0);
  SQLSMALLINT sl = 0;
  SQLLEN num = 0;
  SQLRETURN rc = SQLColAttribute(stmt->driver_stmt, static_cast<SQLUSMALLINT>(column), static_cast<SQLUSMALLINT>(field),
                                 scratch.data(), static_cast<SQLSMALLINT>(len), &sl, &num);
  if (string_length != nullptr) *string_length = sl;
  if (numeric != nullptr) *numeric = num;
  if (succeeded(rc) && buffer != nullptr && len > 0) {
    memcpy(buffer, scratch.data(), static_cast<size_t>(len));
    if (block != nullptr && string_length != nullptr) *block = text_block(buffer, len, sl);
  }
  return leave(kName, rc);
}
