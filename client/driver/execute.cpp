// Statement execution: SQLPrepare, SQLExecute, SQLExecDirect, SQLBindParameter,
// SQLDescribeParam, SQLNumParams, SQLNativeSql, SQLMoreResults, SQLRowCount,
// SQLCancel, SQLCloseCursor; the statement prologue and the new-result-set step.
// Nothing runs locally: each call goes to the server's twin statement, with
// the bound parameters sent before an execution and the status arrays, counts
// and output parameters brought back after it.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "remote.h"
#include "api.h"
#include "sql_types.h"
#include "statements.h"
#include "trace.h"

namespace kyvek::driver {

SQLRETURN StmtCall::fail(int32_t native, const char* state, const char* message, bool odbc3) const {
  post_client(&stmt->diags, dbc, native, state, odbc3, "%s", message);
  return SQL_ERROR;
}

SQLRETURN StmtCall::failf(int32_t native, const char* state, const char* fmt, ...) const {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return fail(native, state, text);
}

SQLRETURN stmt_enter(SQLHSTMT handle, StmtCall& call, const char* text2, const char* text3) {
  if (vekc_chk_handle(kStmt, handle)) return SQL_INVALID_HANDLE;
  call.stmt = static_cast<client_stmt*>(handle);
  call.x = call.stmt;
  call.lock = std::unique_lock<std::recursive_mutex>(call.x->lock);
  clear_errors(&call.stmt->diags);
  auto* dbc = static_cast<client_dbc*>(call.stmt->owner);
  if (vekc_chk_handle(kDbc, dbc)) {
    post_client(&call.stmt->diags, nullptr, 2, sqlstate::kHY000.state, false, "%s", text2);
    return SQL_ERROR;
  }
  call.dbc = dbc;
  if (!is_connected(dbc)) return call.fail(3, sqlstate::kHY000.state, text3 ? text3 : text2);
  if (dbc->dead) return call.fail(45, sqlstate::k08S01);
  return SQL_SUCCESS;
}

void vek_new_result_set(client_stmt* stmt, int metadata, SQLRETURN result) {
  auto* dbc = static_cast<client_dbc*>(stmt->owner);
  if (result == SQL_SUCCESS_WITH_INFO)
    retrieve_server_diags(dbc, kStmt, stmt, SQL_HANDLE_STMT, reinterpret_cast<uint64_t>(stmt->driver_stmt));
  // Block-fetch mode always ends locally, whatever the server says.
  if (stmt->flags & kStmtBlockFetchOn) block_fetch_stop(stmt);
  block_fetch_new_result(stmt);
  stmt->flags &= ~static_cast<uint32_t>(kStmtBlockFetchOn | kStmtBlockFetchTried);
  stmt->flags |= kStmtNewResult;
  stmt->described.clear();
  stmt->described_asked = false;
  stmt->getdata_count = 0;
  stmt->block_cursor = -1;
  // The column count is asked when first needed (fetch_column_descriptions):
  // most result sets never need it, and it saves a round trip per execution.
  // After a warning it is asked now: the call also clears the server's copy
  // of the records just taken over, so that they are not read twice.
  stmt->result_columns = -1;
  if (result == SQL_SUCCESS_WITH_INFO && dbc && dbc->rpc && !dbc->dead) {
    int16_t n = -1;
    for (int tries = 0; tries < 1000; ++tries)
      if (remote_sql_num_result_cols(dbc->rpc, stmt->driver_stmt, &n) != SQL_STILL_EXECUTING) break;
    stmt->result_columns = n;
  }
  if (metadata & 0x1) {
    stmt->flags |= kStmtMetadata;
    TRACE(kTraceDetail, "\tMetadata result-set\n");
  } else {
    stmt->flags &= ~static_cast<uint32_t>(kStmtMetadata);
  }
}

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace {

bool odbc3(const client_dbc* dbc) { return !dbc->env || dbc->env->odbc_version >= 3; }

// Bytes of a statement text as sent: the length, or the text with its NUL.
int32_t text_bytes(const SQLCHAR* text, SQLINTEGER len) {
  if (len == SQL_NTS) return static_cast<int32_t>(std::strlen(reinterpret_cast<const char*>(text)) + 1);
  return len;
}

// Operation array of the APD, when the application set one.
SQLRETURN send_param_operations(StmtCall& c) {
  client_desc* apd = cur_desc(c.stmt, DESC_APD);
  if (!apd || !apd->array_status_ptr) return SQL_SUCCESS;
  TRACE(kTraceData, "\tsynching param operations array\n");
  SQLULEN n = apd->array_size < 1 ? 1 : apd->array_size;
  if (n * 2 > INT32_MAX) return c.fail(0, sqlstate::kHY001);
  return remote_synch_parameter_operations_array(c.rpc(), c.server(), static_cast<int32_t>(n * 2),
                                                 reinterpret_cast<const int16_t*>(apd->array_status_ptr));
}

SQLRETURN check_text(StmtCall& c, SQLCHAR* text, SQLINTEGER len) {
  if (!text) return c.fail(0, sqlstate::kHY009);
  if (len < 0 && len != SQL_NTS) return c.fail(0, sqlstate::kHY090);
  return SQL_SUCCESS;
}

// The exit line is the guard's (odbc_api.cpp).
SQLRETURN finish(const char*, SQLRETURN rc) { return rc; }

// The parameter values sent with an execution failed (transfer): the server
// refused the execution, whose answer and follow-ups are read and dropped.
// The application sees the transfer's result and records, as when the
// values went alone and nothing followed them.
template <class Execution>
SQLRETURN values_refused(const char* name, SQLRETURN transfer, Execution& e, ExecutionFollowUps& f) {
  e.drop();
  f.drop();
  TRACE(kTraceExit, "-%s()=%d (the parameter values failed; the execution was refused)\n", name, transfer);
  return finish(name, transfer);
}

}  // namespace

namespace kyvek::driver::api {

SQLRETURN prepare(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER len) {
  if (tracing(kTraceStatement) && text) {
    int n = len == SQL_NTS ? static_cast<int>(std::strlen(reinterpret_cast<char*>(text)))
                           : (len > 0 ? static_cast<int>(len) : 0);
    TRACE(kTraceStatement, "SQLPrepare:\n%.*s\n\n", n, reinterpret_cast<char*>(text));
  }
  TRACE(kTraceEntry, "SQLPrepare(%p,%p,%ld)\n", handle, static_cast<void*>(text), static_cast<long>(len));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (Prepare)");
  if (rc != SQL_SUCCESS) return rc;
  c.stmt->flags &= ~static_cast<uint32_t>(kStmtParamCountAsked);
  if ((rc = check_text(c, text, len)) != SQL_SUCCESS) return rc;
  c.x->param_markers = count_param_markers(text, len);
  c.x->param_descs.clear();
  rc = remote_sql_prepare(c.rpc(), c.server(), text_bytes(text, len), text, len);
  if (rc_ok(rc)) {
    vek_new_result_set(c.stmt, 0, rc);
    if (!odbc3(c.dbc)) cache_param_descriptions(c);
  }
  return finish("SQLPrepare", rc);
}

SQLRETURN exec_direct(SQLHSTMT handle, SQLCHAR* text, SQLINTEGER len) {
  if (tracing(kTraceStatement) && text) log_text(len, reinterpret_cast<char*>(text), 0);
  TRACE(kTraceEntry, "SQLExecDirect(%p,%p,%ld)\n", handle, static_cast<void*>(text), static_cast<long>(len));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (ExecDirect)");
  if (rc != SQL_SUCCESS) return rc;
  c.stmt->flags &= ~static_cast<uint32_t>(kStmtParamCountAsked);
  if ((rc = check_text(c, text, len)) != SQL_SUCCESS) return rc;
  c.x->param_markers = count_param_markers(text, len);
  if ((rc = send_param_operations(c)) != SQL_SUCCESS) return rc;
  const int32_t bytes = text_bytes(text, len);
  QueryWait wait(c.dbc, c.x->options[SQL_QUERY_TIMEOUT]);
  ExecutionFollowUps follow_ups(c, false);
  const ExecutionFollowUps* sent = nullptr;
  if (!odbc3(c.dbc) && (c.dbc->client_flags & kFlagMapExecDirect)) {
    bool execute = c.x->last_exec_status == SQL_STILL_EXECUTING;
    QueuedValues values;
    if (!execute) {
      remote_sql_free_stmt(c.rpc(), c.server(), SQL_CLOSE);
      c.x->param_descs.clear();
      rc = remote_sql_prepare(c.rpc(), c.server(), bytes, text, len);
      if (rc_ok(rc)) {
        cache_param_descriptions(c);
        SQLRETURN prc = put_bound_parameters(c, 1, &values);
        if (prc != SQL_SUCCESS) return finish("SQLExecDirect", prc);
        execute = true;
      }
    }
    if (execute) {
      kyproc::client::Queued<kyproc::rows::sql_execute> e(c.rpc(), c.server());
      const SQLRETURN prc = values.take();
      if (prc != SQL_SUCCESS) {
        e.drop();
        return finish("SQLExecDirect", prc);
      }
      rc = e.take();
      c.x->last_exec_status = static_cast<int16_t>(rc);
    }
  } else {
    QueuedValues values;
    SQLRETURN prc = put_bound_parameters(c, 2, &values);
    if (prc != SQL_SUCCESS) {
      TRACE(kTraceExit, "-SQLExecDirect()=SQL_ERROR (put_bound_parameters failed)\n");
      return prc;
    }
    kyproc::client::Queued<kyproc::rows::sql_exec_direct> e(c.rpc(), c.server(), bytes, text);
    if (e.queued()) follow_ups.queue();
    if ((prc = values.take()) != SQL_SUCCESS) return values_refused("SQLExecDirect", prc, e, follow_ups);
    rc = e.take();
    follow_ups.collect(rc);
    sent = &follow_ups;
  }
  if (rc == SQL_NEED_DATA) {
    c.stmt->need_data_source = NEED_DATA_EXEC_DIRECT;
    TRACE(kTraceDetail, "\tNeed Data\n");
    return rc;
  }
  if (rc_ok(rc)) {
    vek_new_result_set(c.stmt, 0, rc);
    SQLRETURN orc = output_phase(c, false, sent);
    if (orc != SQL_SUCCESS) rc = orc;
  }
  return finish("SQLExecDirect", rc);
}

SQLRETURN execute(SQLHSTMT handle) {
  TRACE(kTraceEntry, "SQLExecute(%p)\n", handle);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (Execute)");
  if (rc != SQL_SUCCESS) return rc;
  if ((rc = send_param_operations(c)) != SQL_SUCCESS) return rc;
  QueuedValues values;
  if (c.x->last_exec_status != SQL_STILL_EXECUTING) {
    SQLRETURN prc = put_bound_parameters(c, 1, &values);
    if (prc != SQL_SUCCESS) return finish("SQLExecute", prc);
  } else {
    TRACE(kTraceDetail, "\tOmitting parameters - last status was SQL_STILL_EXECUTING\n");
  }
  QueryWait wait(c.dbc, c.x->options[SQL_QUERY_TIMEOUT]);
  ExecutionFollowUps follow_ups(c, true);
  {
    kyproc::client::Queued<kyproc::rows::sql_execute> e(c.rpc(), c.server());
    if (e.queued()) follow_ups.queue();
    const SQLRETURN prc = values.take();
    if (prc != SQL_SUCCESS) return values_refused("SQLExecute", prc, e, follow_ups);
    rc = e.take();
    follow_ups.collect(rc);
  }
  c.x->last_exec_status = static_cast<int16_t>(rc);
  if (rc == SQL_NEED_DATA) {
    c.stmt->need_data_source = NEED_DATA_EXECUTE;
    return rc;
  }
  if (!rc_ok(rc)) {
    TRACE(kTraceExit, "-SQLExecute()=%d (remote SQLExecute failed)\n", rc);
    return rc;
  }
  c.stmt->flags &= ~static_cast<uint32_t>(kStmtParamsReset);
  // A re-executed prepared statement starts a new result set like any other
  // execution: the block cache and the learnt column types of the last one go.
  vek_new_result_set(c.stmt, 0, rc);
  SQLRETURN orc = output_phase(c, true, &follow_ups);
  if (orc != SQL_SUCCESS) rc = orc;
  return finish("SQLExecute", rc);
}

SQLRETURN bind_parameter(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT io_type, SQLSMALLINT value_type,
                         SQLSMALLINT param_type, SQLULEN column_size, SQLSMALLINT digits, SQLPOINTER value,
                         SQLLEN buflen, SQLLEN* ind) {
  TRACE(kTraceEntry, "SQLBindParameter(%p,%u,%s,%d,%d,%lu,%d,%p,%ld,%p)\n", handle, number,
        io_type == SQL_PARAM_INPUT    ? "Input"
        : io_type == SQL_PARAM_OUTPUT ? "Output"
                                      : "Input/Output",
        value_type, param_type, static_cast<unsigned long>(column_size), digits, value, static_cast<long>(buflen),
        static_cast<void*>(ind));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (BindParameter)");
  if (rc != SQL_SUCCESS) return rc;
  if (number == 0) return c.fail(0, sqlstate::k07009);
  if (io_type != SQL_PARAM_INPUT && io_type != SQL_PARAM_INPUT_OUTPUT && io_type != SQL_PARAM_OUTPUT)
    return c.fail(0, sqlstate::kHY105, true);
  if (!value && !ind && io_type != SQL_PARAM_OUTPUT) return c.fail(0, sqlstate::kHY009);
  // A GUID travels in its own field arrays, as a GUID column does.
  if (value_type != SQL_C_GUID && is_valid_ctype(value_type) != 0) return c.fail(0, sqlstate::kHY003);
  if (is_valid_sqltype(param_type) != 0) return c.fail(0, sqlstate::kHY004);
  client_desc *apd = cur_desc(c.stmt, DESC_APD), *ipd = cur_desc(c.stmt, DESC_IPD);
  client_desc_rec* arec = vekc_expand_desc_recs(apd, number);
  client_desc_rec* irec = arec ? vekc_expand_desc_recs(ipd, number) : nullptr;
  if (!arec || !irec) return c.fail(0, sqlstate::kHY001);
  // The binding is sent unless nothing the server holds would change. The
  // decimal digits count too: a new scale or fraction precision must reach it.
  const bool same = value && ind && !(c.stmt->flags & kStmtParamsReset) && irec->parameter_type == io_type &&
                    arec->concise_type == value_type && irec->concise_type == param_type &&
                    irec->length == column_size && irec->scale == digits && arec->octet_length == buflen &&
                    arec->data_ptr && arec->octet_length_ptr;
  TRACE(kTraceDetail, "\tPassthru:%d\n", same ? 0 : 1);
  SQLSMALLINT sent_type = param_type;
  rc = SQL_SUCCESS;
  if (!same) {
    if ((c.dbc->client_flags & kFlagDecAsNumeric) && param_type == SQL_DECIMAL) {
      TRACE(kTraceDetail, "\tMapping SQL_DECIMAL to SQL_NUMERIC\n");
      sent_type = SQL_NUMERIC;
    }
    rc = remote_sql_bind_parameter(c.rpc(), c.server(), static_cast<int16_t>(number), io_type, value_type, sent_type,
                                   value ? 1 : 0, column_size, digits, static_cast<SQLULEN>(buflen), ind ? 1 : 0);
    if (rc >= 2 || rc < 0) return rc;
  }
  irec->parameter_type = io_type;
  arec->concise_type = value_type;
  arec->type = value_type;
  arec->datetime_sub = 0;
  if (is_datetime_type(value_type))
    split_datetime_type(value_type, &arec->type, nullptr, &arec->datetime_sub, 1);
  else if (is_interval_type(value_type))
    split_interval_type(value_type, &arec->type, nullptr, &arec->datetime_sub, 1);
  irec->concise_type = sent_type;
  irec->type = sent_type;
  irec->datetime_sub = 0;
  if (is_datetime_type(sent_type))
    split_datetime_type(sent_type, &irec->type, nullptr, &irec->datetime_sub, 1);
  else if (is_any_interval_type(sent_type))
    split_interval_type(sent_type, &irec->type, nullptr, &irec->datetime_sub, 1);
  irec->length = column_size;
  irec->scale = digits;
  const bool digits_are_precision = sent_type == SQL_TYPE_TIME || sent_type == SQL_TYPE_TIMESTAMP ||
                                    sent_type == SQL_NUMERIC || sent_type == SQL_DECIMAL ||
                                    is_any_interval_type(sent_type);
  irec->precision = static_cast<int16_t>(digits_are_precision ? digits : static_cast<SQLSMALLINT>(column_size));
  arec->data_ptr = value;
  arec->octet_length = buflen;
  arec->indicator_ptr = ind;
  arec->octet_length_ptr = ind;
  for (client_desc* d : {apd, ipd}) {
    if (number > d->bound_count)
      d->bound_count = static_cast<int16_t>(number);
    else
      vekc_release_desc_recs(d, 0, 0);
  }
  // The IPD keeps the record of every bound parameter (its type fields).
  if (ipd->bound_count < apd->bound_count) ipd->bound_count = apd->bound_count;
  return finish("SQLBindParameter", rc);
}

SQLRETURN describe_param(SQLHSTMT handle, SQLUSMALLINT number, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                         SQLSMALLINT* nullable) {
  TRACE(kTraceEntry, "SQLDescribeParam(%p,%u)\n", handle, number);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (DescribeParam)");
  if (rc != SQL_SUCCESS) return rc;
  if (number == 0) return c.fail(0, sqlstate::k07009);
  if (retrieve_param_description(c, number, type, size, digits, nullable) == 0) return SQL_SUCCESS;
  int16_t t = 0, d = 0, n = 0;
  SQLULEN s = 0;
  rc = remote_sql_describe_param(c.rpc(), c.server(), static_cast<int16_t>(number), &t, &s, &d, &n);
  if (rc_ok(rc)) {
    if (type) *type = t;
    if (size) *size = s;
    if (digits) *digits = d;
    if (nullable) *nullable = n;
  } else {
    TRACE(kTraceServerFail, "\tServer/Driver's SQLDescribeParam failed\n");
  }
  return finish("SQLDescribeParam", rc);
}

SQLRETURN num_params(SQLHSTMT handle, SQLSMALLINT* count) {
  TRACE(kTraceEntry, "SQLNumParams(%p,%p)\n", handle, static_cast<void*>(count));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (NumParams)");
  if (rc != SQL_SUCCESS) return rc;
  // Known from the server while the statement is not prepared again.
  if (c.stmt->flags & kStmtParamCountAsked) {
    if (count) *count = static_cast<SQLSMALLINT>(c.stmt->param_markers);
    return finish("SQLNumParams", SQL_SUCCESS);
  }
  int16_t n = 0;
  rc = remote_sql_num_params(c.rpc(), c.server(), &n);
  if (rc_ok(rc) && count) *count = n;
  if (rc == SQL_SUCCESS) {
    c.stmt->param_markers = n < 0 ? 0 : n;
    c.stmt->flags |= kStmtParamCountAsked;
  }
  return finish("SQLNumParams", rc);
}

SQLRETURN native_sql(SQLHDBC handle, SQLCHAR* in, SQLINTEGER in_len, SQLCHAR* out, SQLINTEGER out_max,
                     SQLINTEGER* out_len) {
  TRACE(kTraceEntry, "SQLNativeSql(%p,%p,%ld,%p,%ld,%p)\n", handle, static_cast<void*>(in), static_cast<long>(in_len),
        static_cast<void*>(out), static_cast<long>(out_max), static_cast<void*>(out_len));
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (!is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY010);
  if (!in) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY009);
  if (in_len < 0 && in_len != SQL_NTS) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
  const int32_t bytes = text_bytes(in, in_len);
  int32_t cap = out && out_max > 0 ? out_max : 0;
  int32_t got = cap;
  int32_t full = 0;
  SQLRETURN rc =
      remote_sql_native_sql(dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc), bytes, in, &got, out, cap, &full);
  if (rc_ok(rc)) {
    if (out && cap > 0) out[got < cap ? got : cap - 1] = '\0';
    if (out_len) *out_len = full;
  }
  return rc;
}

SQLRETURN more_results(SQLHSTMT handle) {
  TRACE(kTraceEntry, "SQLMoreResults(%p)\n", handle);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (MoreResults)");
  if (rc != SQL_SUCCESS) return rc;
  rc = remote_sql_more_results(c.rpc(), c.server());
  if (rc == SQL_NO_DATA) {
    SQLRETURN frc = fetch_bound_parameters(c);
    if (frc >= 2 || frc < 0) rc = frc;
  }
  if (rc_ok(rc)) vek_new_result_set(c.stmt, 0, rc);
  return finish("SQLMoreResults", rc);
}

SQLRETURN row_count(SQLHSTMT handle, SQLLEN* count) {
  TRACE(kTraceEntry, "SQLRowCount(%p,%p)\n", handle, static_cast<void*>(count));
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (RowCount)");
  if (rc != SQL_SUCCESS) return rc;
  SQLLEN n = 0;
  rc = remote_sql_row_count(c.rpc(), c.server(), &n);
  if (rc_ok(rc) && count) *count = n;
  return finish("SQLRowCount", rc);
}

SQLRETURN cancel(SQLHSTMT handle) {
  TRACE(kTraceEntry, "SQLCancel(%p)\n", handle);
  auto* x = static_cast<client_stmt*>(handle);
  std::unique_lock<std::recursive_mutex> idle(x->lock, std::try_to_lock);
  if (!idle.owns_lock()) {
    // Another thread's call runs on the statement and owns its record: only
    // the server's statement is cancelled, once the link is free.
    auto* stmt = static_cast<client_stmt*>(handle);
    auto* dbc = static_cast<client_dbc*>(stmt->owner);
    if (vekc_chk_handle(kDbc, dbc) || !is_connected(dbc) || dbc->dead) return SQL_ERROR;
    TRACE(kTraceDetail, "\tCancelling a running call\n");
    return remote_sql_cancel(dbc->rpc, stmt->driver_stmt);
  }
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (Cancel)");
  if (rc != SQL_SUCCESS) return rc;
  rc = remote_sql_cancel(c.rpc(), c.server());
  if (rc_ok(rc)) c.x->need_data_number = -1;
  return finish("SQLCancel", rc);
}

SQLRETURN close_cursor(SQLHSTMT handle) {
  TRACE(kTraceEntry, "SQLCloseCursor(%p)\n", handle);
  StmtCall c;
  SQLRETURN rc = stmt_enter(handle, c, "General error: Internal client error (CloseCursor)");
  if (rc != SQL_SUCCESS) return rc;
  rc = remote_sql_close_cursor(c.rpc(), c.server());
  c.x->block_cursor = -1;
  if (rc_ok(rc)) block_fetch_closed(c.stmt);
  return finish("SQLCloseCursor", rc);
}

}  // namespace kyvek::driver::api
