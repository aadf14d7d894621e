// Statement preparation and execution: prepare, execute, execute direct,
// data at execution (param data, put data), parameter description, more
// results and row counts.
#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "handle_alloc.h"
#include "handler_util.h"
#include "handlers.h"
#include "link_watch.h"
#include "record_lists.h"
#include "sql_log.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

bool log_failing_on() { return (veks_flags() & VEKS_FLAG_LOG_FAILING_SQL) != 0; }

void trace_time() {
  if (trace_on(kTraceTiming)) log_printf_tid("\ttime:%lu\n", static_cast<unsigned long>(time(nullptr)));
}

// After a statement produced a result set: describe it into the IRD.
SQLRETURN described(statement_t* stmt, Exit& exit, SQLRETURN rc) {
  SQLRETURN d = veks_new_result_set(stmt, rc);
  if (succeeded(d)) return rc;
  KY_POST_STMT(stmt, sqlstate::kHY000.state, 6, "General error: veks_new_result_set() failed");
  exit.because("veks_new_result_set failed");
  return SQL_ERROR;
}

void log_statement(statement_t* stmt, SQLRETURN rc, const char* text, size_t length) {
  stmt->log_next_diag = 1;
  log_failing_sql(veks_stmt_dbc(stmt), rc, text, length);
}

// Before an execution: every entry of the parameter status array reads "no
// status" until the driver writes one. An entry a driver leaves unwritten
// (SQLite writes none) then shows no success it never gave, and the driver
// leaves the application's own value there.
void clear_parameter_status(statement_t* stmt) {
  descriptor_t* ipd = stmt->current_desc[DESC_IPD];
  if (ipd == nullptr || ipd->status_array == nullptr) return;
  for (uint64_t i = 0; i < ipd->status_count; ++i) ipd->status_array[i] = SQL_PARAM_DIAG_UNAVAILABLE;
}

// SQLParamData on an entered statement, and the parameter or column whose data
// the driver asks for next.
SQLRETURN param_data(statement_t* stmt, int16_t* number, Exit& exit) {
  SQLPOINTER token = nullptr;
  SQLRETURN rc = SQLParamData(stmt->driver_stmt, &token);
  if (rc != SQL_NEED_DATA) {
    if (succeeded(rc)) rc = described(stmt, exit, rc);
    return rc;
  }
  if (trace_on(kTraceDetail)) log_printf_tid("\tNEED_DATA\n");
  const bool columns = stmt->need_data_source == NEED_DATA_SETPOS || stmt->need_data_source == NEED_DATA_BULK;
  descriptor_t* desc = stmt->current_desc[columns ? DESC_ARD : DESC_APD];
  // The token is an address inside one of the server's own buffers (with
  // parameter arrays a driver may name the row's element, not the start).
  const char* t = static_cast<const char*>(token);
  for (int32_t i = 1; desc != nullptr && i <= desc->record_count && i < desc->alloc_records; ++i) {
    const descriptor_record_t& r = desc->records[i];
    const char* start = static_cast<const char*>(r.data);
    if (start == nullptr) continue;
    const uint64_t size = r.data_alloc_len != 0 ? r.data_alloc_len : 1;
    if (t >= start && static_cast<uint64_t>(t - start) < size) {
      if (number != nullptr) *number = static_cast<int16_t>(i);
      exit.because("returned parameter/column: %u", (unsigned)i);
      return rc;
    }
  }
  exit.because("Failed to locate parameter");
  KY_POST_STMT(stmt, sqlstate::kHY000.state, 18, "General error: Parameter not bound (ParamData)");
  return SQL_ERROR;
}

// The prologue of an execution. A client may send parameter values and the
// execution in one send; when the values' transfer failed just before
// (STMT_VALUES_REFUSED), the execution is refused: nothing runs, the answer
// is SQL_ERROR and the transfer's records stay for the client to read. The
// mark goes with every execution, refused or run. needs_values: whether the
// execution takes parameter values at all; one that takes none had no
// transfer of its own, so a mark left by an earlier execution's failed
// transfer (from a client that waited for it and went no further) is old.
// Null with *rc set when the call ends here.
statement_t* enter_execution(void* handle, const char* name, bool needs_values, int16_t* rc) {
  statement_t* stmt = enter<statement_t>(handle, name, Diags::keep);
  if (stmt == nullptr) {
    *rc = SQL_INVALID_HANDLE;
    return nullptr;
  }
  const bool refused = (stmt->flags & STMT_VALUES_REFUSED) != 0 && needs_values;
  stmt->flags &= ~static_cast<uint32_t>(STMT_VALUES_REFUSED);
  if (refused) {
    Exit exit(name);
    exit.because("the parameter values did not arrive");
    *rc = exit.leave(SQL_ERROR);
    return nullptr;
  }
  clear_errors(&stmt->diags);
  return stmt;
}

}  // namespace

extern "C" int16_t sql_prepare(void* handle, int32_t block_length, char* text, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_prepare);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%ld,%p,%ld)\n", kName, handle, (long)block_length, (void*)text, (long)length);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->flags &= ~static_cast<uint32_t>(STMT_DESCRIBED | STMT_VALUES_REFUSED);
  if (text == nullptr || block_length <= 0) {
    KY_POST_STMT(stmt, sqlstate::kHY009, 0);
    return leave(kName, SQL_ERROR);
  }
  SQLINTEGER n = 0;
  if (!text_length(text, block_length, length, &n)) {
    KY_POST_STMT(stmt, sqlstate::kHY090, 0);
    return leave(kName, SQL_ERROR);
  }
  if (trace_on(kTraceStatement)) log_text(block_length, text, 0);
  SQLRETURN rc = SQLPrepare(stmt->driver_stmt, reinterpret_cast<SQLCHAR*>(text), n);
  if (log_failing_on()) {
    const size_t bytes = strnlen(text, static_cast<size_t>(block_length));
    if (!succeeded(rc)) {
      log_statement(stmt, rc, text, bytes);
    } else {
      const size_t keep = bytes < 1023 ? bytes : 1023;
      char* copy = static_cast<char*>(malloc(keep + 1));
      if (copy != nullptr) {
        memcpy(copy, text, keep);
        copy[keep] = '\0';
        free(stmt->saved_text);
        stmt->saved_text = copy;
      }
    }
  }
  return leave(kName, rc);
}

extern "C" int16_t sql_execute(void* handle) {
  static const char* kName = KY_HANDLER_NAME(sql_execute);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p)\n", kName, handle);
  int16_t refused = SQL_ERROR;
  statement_t* stmt = enter_execution(handle, kName, true, &refused);
  if (stmt == nullptr) return refused;
  return through_exit(kName, [&](Exit& exit) {
    trace_time();
    clear_parameter_status(stmt);
    SQLRETURN rc;
    {
      LinkWatch watch(stmt->driver_stmt);
      rc = SQLExecute(stmt->driver_stmt);
    }
    trace_time();
    if (rc == SQL_NEED_DATA) stmt->need_data_source = NEED_DATA_EXECUTE;
    if (succeeded(rc)) return described(stmt, exit, rc);
    if (log_failing_on() && stmt->saved_text != nullptr) {
      log_statement(stmt, rc, stmt->saved_text, strlen(stmt->saved_text));
    }
    return rc;
  });
}

extern "C" int16_t sql_exec_direct(void* handle, int32_t block_length, char* text) {
  static const char* kName = KY_HANDLER_NAME(sql_exec_direct);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%ld,%p)\n", kName, handle, (long)block_length, (void*)text);
  // A text without a marker takes no values: clients send none for it.
  const bool markers = text != nullptr && block_length > 0 && memchr(text, '?', static_cast<size_t>(block_length));
  int16_t refused = SQL_ERROR;
  statement_t* stmt = enter_execution(handle, kName, markers, &refused);
  if (stmt == nullptr) return refused;
  stmt->flags &= ~static_cast<uint32_t>(STMT_DESCRIBED);
  if (text == nullptr || block_length <= 0) {
    KY_POST_STMT(stmt, sqlstate::kHY009, 0);
    return leave(kName, SQL_ERROR);
  }
  // The client sends the text with its terminator; the driver gets the text alone.
  SQLINTEGER n = block_length;
  if (text[n - 1] == '\0') --n;
  if (trace_on(kTraceStatement)) log_text(n, text, 0);
  trace_time();
  clear_parameter_status(stmt);
  SQLRETURN rc;
  {
    LinkWatch watch(stmt->driver_stmt);
    rc = SQLExecDirect(stmt->driver_stmt, reinterpret_cast<SQLCHAR*>(text), n);
  }
  trace_time();
  if (rc == SQL_NEED_DATA) stmt->need_data_source = NEED_DATA_EXEC_DIRECT;
  Exit exit(kName);
  if (succeeded(rc)) return exit.leave(described(stmt, exit, rc));
  if (log_failing_on()) log_statement(stmt, rc, text, static_cast<size_t>(n));
  return exit.leave(rc);
}

extern "C" int16_t sql_param_data(void* handle, int16_t* number) {
  static const char* kName = KY_HANDLER_NAME(sql_param_data);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%p)\n", kName, handle, (void*)number);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(kName, [&](Exit& exit) { return param_data(stmt, number, exit); });
}

extern "C" int16_t sql_put_data(void* handle, int32_t block_length, char* data, SQLLEN length) {
  static const char* kName = KY_HANDLER_NAME(sql_put_data);
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%p,%ld,%p,%ld)\n", kName, handle, (long)block_length, (void*)data, (long)length);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  // The driver reads what the length says: never past the block.
  bool ok;
  if (length == SQL_NULL_DATA || length == SQL_DEFAULT_PARAM) {
    ok = true;
  } else if (length == SQL_NTS) {
    ok = data != nullptr && block_length > 0 && memchr(data, '\0', static_cast<size_t>(block_length)) != nullptr;
  } else {
    ok = length >= 0 && length <= block_length && (length == 0 || data != nullptr);
  }
  if (!ok) {
    KY_POST_STMT(stmt, sqlstate::kHY090, 0);
    return leave(kName, SQL_ERROR);
  }
  return leave(kName, SQLPutData(stmt->driver_stmt, data, length));
}

extern "C" int16_t sql_num_params(void* handle, int16_t* count) {
  static const char* kName = KY_HANDLER_NAME(sql_num_params);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  SQLSMALLINT n = 0;
  SQLRETURN rc = SQLNumParams(stmt->driver_stmt, &n);
  if (count != nullptr) *count = n;
  Exit exit(kName);
  exit.because("params=%d", count != nullptr ? n : -1);
  return exit.leave(rc);
}

extern "C" int16_t sql_describe_param(void* handle, int16_t number, int16_t* type, SQLULEN* size, int16_t* digits,
                                      int16_t* nullable) {
  static const char* kName = KY_HANDLER_NAME(sql_describe_param);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  SQLSMALLINT t = 0, d = 0, n = 0;
  SQLULEN s = 0;
  SQLRETURN rc = SQLDescribeParam(stmt->driver_stmt, static_cast<SQLUSMALLINT>(number), &t, &s, &d, &n);
  if (type != nullptr) *type = t;
  if (size != nullptr) *size = s;
  if (digits != nullptr) *digits = d;
  if (nullable != nullptr) *nullable = n;
  return leave(kName, rc);
}

extern "C" int16_t sql_more_results(void* handle) {
  static const char* kName = KY_HANDLER_NAME(sql_more_results);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->flags &= ~static_cast<uint32_t>(STMT_DESCRIBED);
  Exit exit(kName);
  SQLRETURN rc = SQLMoreResults(stmt->driver_stmt);
  if (succeeded(rc)) rc = described(stmt, exit, rc);
  return exit.leave(rc);
}

extern "C" int16_t sql_row_count(void* handle, SQLLEN* count) {
  static const char* kName = KY_HANDLER_NAME(sql_row_count);
  statement_t* stmt = enter<statement_t>(handle, kName, Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  SQLLEN n = 0;
  SQLRETURN rc = SQLRowCount(stmt->driver_stmt, &n);
  if (count != nullptr) *count = n;
  return leave(kName, rc);
}
