// The ODBC 2 functions, for applications and Driver Managers that still call
// them: each maps its arguments onto the driver's ODBC 3 functions and, where
// ODBC 2 answers differently, maps the answer back. SQLError walks the
// handle's records one per call; SQLSetConnectOption caches connection
// options and spreads statement options to the connection's statements.
#include <cstring>

#include "api.h"
#include "driver.h"
#include "odbc_names.h"
#include "remote.h"
#include "trace.h"

namespace kyvek::driver {
namespace {

// ODBC 2 SQLColAttributes field numbers that ODBC 3 renumbered.
struct FieldPair {
  SQLUSMALLINT odbc2, odbc3;
};
constexpr FieldPair kColumnFields[] = {
    {SQL_COLUMN_COUNT, SQL_DESC_COUNT},
    {SQL_COLUMN_NAME, SQL_DESC_NAME},
    {SQL_COLUMN_NULLABLE, SQL_DESC_NULLABLE},
};

// ODBC 3 date and time types and their ODBC 2 numbers.
constexpr SQLLEN kDateTypes[][2] = {
    {SQL_TYPE_DATE, SQL_DATE}, {SQL_TYPE_TIME, SQL_TIME}, {SQL_TYPE_TIMESTAMP, SQL_TIMESTAMP}};

// The connection options SQLSetConnectOption keeps in the connection record.
constexpr int32_t kCachedOptions[] = {SQL_ASYNC_ENABLE,  SQL_ACCESS_MODE,      SQL_AUTOCOMMIT,
                                      SQL_LOGIN_TIMEOUT, SQL_TRANSLATE_OPTION, SQL_TXN_ISOLATION,
                                      SQL_ODBC_CURSORS,  SQL_QUIET_MODE,       SQL_PACKET_SIZE};

bool is_statement_option(SQLUSMALLINT option) { return option <= 12 && option != SQL_ASYNC_ENABLE; }
bool is_text_option(SQLUSMALLINT option) {
  return option == SQL_OPT_TRACEFILE || option == SQL_TRANSLATE_DLL || option == SQL_CURRENT_QUALIFIER;
}
bool is_cached_option(SQLUSMALLINT option) {
  for (int32_t o : kCachedOptions)
    if (o == option) return true;
  return false;
}

// Keyset size to cursor type and the SQLGetInfo type of its capabilities.
struct ScrollChoice {
  SQLLEN keyset;
  SQLULEN cursor_type;
  SQLUSMALLINT info;
};
constexpr ScrollChoice kScrollChoices[] = {
    {SQL_SCROLL_STATIC, SQL_CURSOR_STATIC, SQL_STATIC_CURSOR_ATTRIBUTES2},
    {SQL_SCROLL_DYNAMIC, SQL_CURSOR_DYNAMIC, SQL_DYNAMIC_CURSOR_ATTRIBUTES2},
    {SQL_SCROLL_KEYSET_DRIVEN, SQL_CURSOR_KEYSET_DRIVEN, SQL_KEYSET_CURSOR_ATTRIBUTES2},
    {SQL_SCROLL_FORWARD_ONLY, SQL_CURSOR_FORWARD_ONLY, SQL_FORWARD_ONLY_CURSOR_ATTRIBUTES2},
};

// Concurrency to its capability bit (SQL_CA2_*_CONCURRENCY).
constexpr std::pair<SQLUSMALLINT, SQLUINTEGER> kConcurrencyBits[] = {
    {SQL_CONCUR_READ_ONLY, SQL_CA2_READ_ONLY_CONCURRENCY},
    {SQL_CONCUR_LOCK, SQL_CA2_LOCK_CONCURRENCY},
    {SQL_CONCUR_ROWVER, SQL_CA2_OPT_ROWVER_CONCURRENCY},
    {SQL_CONCUR_VALUES, SQL_CA2_OPT_VALUES_CONCURRENCY},
};

// A record of SQLSetScrollOptions: class "ODBC 2.0", native error 0.
SQLRETURN scroll_error(client_stmt* stmt, const char* state, const char* message, const char* exit_line) {
  const client_dbc* dbc = stmt->owner;
  post_error(&stmt->diags, VENDOR_CLIENT, CLASS_ODBC2, 0, nullptr,
             vekc_chk_handle(kDbc, dbc) == 0 ? dbc->dsn_name : nullptr, 0, 0, "ODBC 2.0", state, "%s", message);
  set_return_code(&stmt->diags, SQL_ERROR);
  TRACE(kTraceExit, "%s", exit_line);
  return SQL_ERROR;
}

diag_header* diag_list(SQLSMALLINT type, SQLHANDLE handle) {
  switch (type) {
    case SQL_HANDLE_ENV: return &static_cast<client_env*>(handle)->diag;
    case SQL_HANDLE_DBC: return &static_cast<client_dbc*>(handle)->diag;
    default: return &static_cast<client_stmt*>(handle)->diags;
  }
}

}  // namespace
}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace kyvek::driver::api {

SQLRETURN odbc2_alloc_env(SQLHENV* out) {
  TRACE(kTraceEntry, "SQLAllocEnv(%p)\n", static_cast<void*>(out));
  SQLRETURN rc = alloc_handle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, out);
  if (rc_ok(rc)) {
    if (!out || vekc_chk_handle(kEnv, *out)) return SQL_ERROR;
    auto* env = static_cast<client_env*>(*out);
    env->odbc_version = 2;
    env->set_mask |= kEnvSetVersion;
  }
  if (rc_ok(rc)) TRACE(kTraceDetail, "\tReturned handle = %p\n", *out);
  return rc;
}

SQLRETURN odbc2_alloc_connect(SQLHENV env, SQLHDBC* out) {
  TRACE(kTraceEntry, "SQLAllocConnect(%p,%p)\n", env, static_cast<void*>(out));
  SQLRETURN rc = alloc_handle(SQL_HANDLE_DBC, env, out);
  if (rc_ok(rc)) {
    if (!out || vekc_chk_handle(kDbc, *out)) return SQL_ERROR;
    auto* e = static_cast<client_dbc*>(*out)->env;
    e->odbc_version = 2;
    e->set_mask |= kEnvSetVersion;
  }
  if (rc_ok(rc)) TRACE(kTraceDetail, "\tReturned handle = %p\n", *out);
  return rc;
}

SQLRETURN odbc2_alloc_stmt(SQLHDBC dbc, SQLHSTMT* out) {
  TRACE(kTraceEntry, "SQLAllocStmt(%p,%p)\n", dbc, static_cast<void*>(out));
  return alloc_handle(SQL_HANDLE_STMT, dbc, out);
}

SQLRETURN odbc2_free_env(SQLHENV env) {
  TRACE(kTraceEntry, "SQLFreeEnv(%p)\n", env);
  return free_handle(SQL_HANDLE_ENV, env);
}

SQLRETURN odbc2_free_connect(SQLHDBC dbc) {
  TRACE(kTraceEntry, "SQLFreeConnect(%p)\n", dbc);
  return free_handle(SQL_HANDLE_DBC, dbc);
}

SQLRETURN transact(SQLHENV env, SQLHDBC dbc, SQLUSMALLINT completion) {
  TRACE(kTraceEntry, "SQLTransact(%p,%p,%u)\n", env, dbc, completion);
  SQLRETURN rc = SQL_ERROR;
  if (dbc)
    rc = end_tran(SQL_HANDLE_DBC, dbc, static_cast<SQLSMALLINT>(completion));
  else if (env)
    rc = end_tran(SQL_HANDLE_ENV, env, static_cast<SQLSMALLINT>(completion));
  return rc;
}

SQLRETURN col_attributes(SQLHSTMT stmt, SQLUSMALLINT column, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT buflen,
                         SQLSMALLINT* str_len, SQLLEN* num) {
  TRACE(kTraceEntry, "SQLColAttributes(%p,%u,%u,%p,%d,%p,%p)\n", stmt, column, field, buf, buflen,
        static_cast<void*>(str_len), static_cast<void*>(num));
  SQLUSMALLINT odbc3 = field;
  for (const FieldPair& p : kColumnFields)
    if (p.odbc2 == field) odbc3 = p.odbc3;
  SQLRETURN rc = col_attribute(stmt, column, odbc3, buf, buflen, str_len, num);
  if (rc_ok(rc) && field == SQL_COLUMN_TYPE && num)
    for (const auto& t : kDateTypes)
      if (*num == t[0]) *num = t[1];
  return rc;
}

SQLRETURN param_options(SQLHSTMT stmt, SQLULEN rows, SQLULEN* processed) {
  TRACE(kTraceEntry, "SQLParamOptions(%p,%lu,%p)\n", stmt, static_cast<unsigned long>(rows),
        static_cast<void*>(processed));
  SQLRETURN rc = set_stmt_attr(stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(rows), 0);
  if (rc_ok(rc)) {
    SQLRETURN second = set_stmt_attr(stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, processed, 0);
    if (second != SQL_SUCCESS) rc = second;
  }
  return rc;
}

SQLRETURN set_stmt_option(SQLHSTMT stmt, SQLUSMALLINT option, SQLULEN value) {
  TRACE(kTraceEntry, "SQLSetStmtOption(%p,%u,%lu)\n", stmt, option, static_cast<unsigned long>(value));
  return set_stmt_attr(stmt, option, reinterpret_cast<SQLPOINTER>(value), 0);
}

SQLRETURN get_stmt_option(SQLHSTMT stmt, SQLUSMALLINT option, SQLPOINTER value) {
  TRACE(kTraceEntry, "SQLGetStmtOption(%p,%u,%p)\n", stmt, option, value);
  return get_stmt_attr(stmt, option, value, 0, nullptr);
}

SQLRETURN get_connect_option(SQLHDBC dbc, SQLUSMALLINT option, SQLPOINTER value) {
  TRACE(kTraceEntry, "SQLGetConnectOption(%p,%u,%p)\n", dbc, option, value);
  return get_connect_attr(dbc, option, value, is_text_option(option) ? 256 : 0, nullptr);
}

SQLRETURN set_connect_option(SQLHDBC handle, SQLUSMALLINT option, SQLULEN value) {
  TRACE(kTraceEntry, "SQLSetConnectOption(%p,%u,%lu)\n", handle, option, static_cast<unsigned long>(value));
  if (tracing(kTraceAttr)) log_connect_option(option, value);
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (is_text_option(option)) return set_connect_attr(handle, option, reinterpret_cast<SQLPOINTER>(value), SQL_NTS);
  const bool statement = is_statement_option(option), cached = is_cached_option(option);
  if (!statement && !cached && option != SQL_OPT_TRACE) {
    if (option >= 1000) TRACE(kTraceAttr, "\tDriver-specific option seen\n");
    return set_connect_attr(handle, option, reinterpret_cast<SQLPOINTER>(value), SQL_IS_INTEGER);
  }
  if (statement) TRACE(kTraceAttr, "\tStatement Attribute in SQLSetConnectOption - OK\n");
  SQLRETURN rc = SQL_SUCCESS;
  if (is_connected(dbc)) {
    TRACE(kTraceAttr, "\tHave RPC handle\n");
    rc = static_cast<SQLRETURN>(remote_sql_set_connect_option_integer(
        dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc), static_cast<int16_t>(option), static_cast<SQLLEN>(value)));
    if (!rc_ok(rc)) {
      if (!dbc->dead) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
      TRACE(kTraceExit, "-SQLSetConnectionOption()=%d (Failed sql_set_connect_option_integer)\n", rc);
      return rc;
    }
    if (rc == SQL_SUCCESS_WITH_INFO) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
  }
  // Nothing is kept before the server took the value.
  if (statement) {
    vek_setoption_allstmts(dbc, option, value);
  } else if (cached) {
    cache_connect_option(dbc, option, value);
  } else {
    SQLRETURN trace_rc = set_connect_attr(handle, SQL_ATTR_TRACE, reinterpret_cast<SQLPOINTER>(value), 0);
    if (trace_rc != SQL_SUCCESS) rc = trace_rc;
  }
  return rc;
}

SQLRETURN set_scroll_options(SQLHSTMT handle, SQLUSMALLINT concurrency, SQLLEN keyset, SQLUSMALLINT rowset) {
  if (vekc_chk_handle(kStmt, handle)) return SQL_INVALID_HANDLE;
  TRACE(kTraceEntry, "SQLSetScrollOptions(%p,%u,%ld,%u)\n", handle, concurrency, static_cast<long>(keyset), rowset);
  auto* stmt = static_cast<client_stmt*>(handle);
  clear_errors(&stmt->diags);
  const ScrollChoice* choice = nullptr;
  static constexpr ScrollChoice kKeyset = {0, SQL_CURSOR_KEYSET_DRIVEN, SQL_KEYSET_CURSOR_ATTRIBUTES2};
  if (keyset > 0) {
    if (keyset <= static_cast<SQLLEN>(rowset))
      return scroll_error(stmt, sqlstate::kHY107.odbc2, sqlstate::kHY107.text,
                          "-SQLSetScrollOptions(...)=SQL_ERROR (KeysetSize < RowsetSize)\n");
    choice = &kKeyset;
  } else {
    for (const ScrollChoice& c : kScrollChoices)
      if (c.keyset == keyset) choice = &c;
    if (!choice)
      return scroll_error(stmt, sqlstate::kHY107.odbc2, sqlstate::kHY107.text,
                          "-SQLSetScrollOptions(...)=SQL_ERROR (KeysetSize < RowsetSize)\n");
  }
  SQLUINTEGER capabilities = 0;
  SQLRETURN rc = get_info(stmt->owner, choice->info, &capabilities, sizeof capabilities, nullptr);
  if (!rc_ok(rc)) {
    TRACE(kTraceExit, "-SQLScrollOptions()=%d (SQLGetInfo failed)\n", rc);
    return rc;
  }
  SQLUINTEGER bit = 0;
  for (const auto& c : kConcurrencyBits)
    if (c.first == concurrency) bit = c.second;
  if (!bit)
    return scroll_error(stmt, sqlstate::kHY108.odbc2, sqlstate::kHY108.text,
                        "-SQLSetScrollOptions(...)=SQL_ERROR (Invalid Concurrency)\n");
  if (!(capabilities & bit))
    return scroll_error(stmt, sqlstate::kHYC00.odbc2, "Driver not capable",
                        "-SQLSetScrollOptions(...)=SQL_ERROR (bit not set)\n");
  set_stmt_attr(handle, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(choice->cursor_type), 0);
  set_stmt_attr(handle, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(concurrency)), 0);
  if (keyset >= 0)
    set_stmt_attr(handle, SQL_ATTR_KEYSET_SIZE, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(keyset)), 0);
  rc = set_stmt_attr(handle, SQL_ROWSET_SIZE, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(rowset)), 0);
  TRACE(kTraceExit, "-SQLScrollOptions()=%d\n", rc);
  return rc;
}

SQLRETURN error(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLCHAR* state, SQLINTEGER* native, SQLCHAR* msg,
                SQLSMALLINT buflen, SQLSMALLINT* textlen) {
  TRACE(kTraceEntry, "SQLError(%p,%p,%p,%p,%p,%p,%d,%p)\n", env, dbc, stmt, static_cast<void*>(state),
        static_cast<void*>(native), static_cast<void*>(msg), buflen, static_cast<void*>(textlen));
  SQLSMALLINT type;
  SQLHANDLE handle;
  int kind;
  if (stmt) {
    type = SQL_HANDLE_STMT, handle = stmt, kind = kStmt;
  } else if (dbc) {
    type = SQL_HANDLE_DBC, handle = dbc, kind = kDbc;
  } else if (env) {
    type = SQL_HANDLE_ENV, handle = env, kind = kEnv;
  } else {
    TRACE(kTraceExit, "-SQLError()=SQL_ERROR\n");
    return SQL_ERROR;
  }
  if (vekc_chk_handle(kind, handle)) {
    TRACE(kTraceExit, "-SQLError()=SQL_INVALID_HANDLE\n");
    return SQL_INVALID_HANDLE;
  }
  diag_header* hdr = diag_list(type, handle);
  if (!(hdr->flags & DIAG_ERROR_WALK)) {
    TRACE(kTraceDiag, "\tNo existing SQLError sequence\n");
    SQLINTEGER count = 0;
    SQLRETURN rc = get_diag_field(type, handle, 0, SQL_DIAG_NUMBER, &count, 0, nullptr);
    if (!rc_ok(rc)) {
      TRACE(kTraceExit, "-SQLError()=%d (SQLGetDiagField returns no errors)\n", rc);
      return rc;
    }
    hdr->flags |= DIAG_ERROR_WALK;
    hdr->walk_remaining = count;
    hdr->walk_next = 1;
    TRACE(kTraceDiag, "\t%d errors returned\n", static_cast<int>(count));
  }
  if (hdr->walk_remaining > 0) {
    SQLRETURN rc =
        get_diag_rec(type, handle, static_cast<SQLSMALLINT>(hdr->walk_next), state, native, msg, buflen, textlen);
    --hdr->walk_remaining;
    ++hdr->walk_next;
    if (rc != SQL_NO_DATA) {
      if (rc_ok(rc) && state)
        if (const char* odbc2 = map_sqlstate_odbc2(reinterpret_cast<char*>(state))) std::memcpy(state, odbc2, 5);
      if (rc == SQL_SUCCESS)
        TRACE(kTraceDiag, "\t%.6s %ld\"%s\"\n", state ? reinterpret_cast<char*>(state) : "",
              static_cast<long>(native ? *native : 0), msg ? reinterpret_cast<char*>(msg) : "");
      return rc;
    }
  }
  // No more records: the next call starts over.
  hdr->flags &= ~static_cast<uint32_t>(DIAG_ERROR_WALK);
  if (state) std::memcpy(state, "00000", 6);
  if (msg && buflen > 0) msg[0] = '\0';
  TRACE(kTraceExit, "-SQLError()=SQL_NO_DATA_FOUND\n");
  return SQL_NO_DATA;
}

}  // namespace kyvek::driver::api
