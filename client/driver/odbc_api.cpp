// The driver's exported ODBC functions, one line each, and the entry guard
// that every one of them goes through. The work is done by the internal
// functions of api.h; nothing here knows what a call does.
//
// API functions: SQLAllocHandle, SQLBindCol, SQLBindParameter,
// SQLBulkOperations, SQLCancel, SQLCloseCursor, SQLColAttribute, SQLConnect,
// SQLDescribeCol, SQLDescribeParam, SQLDisconnect, SQLDriverConnect,
// SQLEndTran, SQLExecDirect, SQLExecute, SQLExtendedFetch, SQLFetch,
// SQLFetchScroll, SQLFreeHandle, SQLFreeStmt, SQLGetConnectAttr,
// SQLGetCursorName, SQLGetData, SQLGetDiagField, SQLGetDiagRec,
// SQLGetEnvAttr, SQLGetFunctions, SQLGetInfo, SQLGetStmtAttr,
// SQLMoreResults, SQLNativeSql, SQLNumParams, SQLNumResultCols,
// SQLParamData, SQLPrepare, SQLPutData, SQLRowCount, SQLSetConnectAttr,
// SQLSetCursorName, SQLSetEnvAttr, SQLSetPos, SQLSetStmtAttr; the catalog
// functions SQLColumnPrivileges, SQLColumns, SQLForeignKeys, SQLGetTypeInfo,
// SQLPrimaryKeys, SQLProcedureColumns, SQLProcedures, SQLSpecialColumns,
// SQLStatistics, SQLTablePrivileges, SQLTables; the descriptor functions
// SQLCopyDesc, SQLGetDescField, SQLGetDescRec, SQLSetDescField, SQLSetDescRec;
// SQLBrowseConnect; the ODBC 2 functions SQLAllocConnect, SQLAllocEnv,
// SQLAllocStmt, SQLColAttributes, SQLError, SQLFreeConnect, SQLFreeEnv,
// SQLGetConnectOption, SQLGetStmtOption, SQLParamOptions, SQLSetConnectOption,
// SQLSetScrollOptions, SQLSetStmtOption, SQLTransact.
// The wide (UTF-16) forms of the functions that take or give text follow
// them (wide.cpp). kyvekcnt.map is the list of exports: the linker exports
// what it names, SQLGetFunctions answers from it (a wide function counts as
// its narrow one), and a test holds this file to it.
//
// The guard, in this order:
//  1. The handle is looked up in the registry of live records (handles.cpp)
//     with its kind and tag: a null, freed or wrong-kind handle answers
//     SQL_INVALID_HANDLE before a byte of it is read.
//  2. The handle's call lock is taken for the whole call, so that calls on
//     one handle from several threads run one after the other. A handle
//     freed while the call waited answers SQL_INVALID_HANDLE.
//  3. The handle's diagnostics are cleared, except by the diagnostic
//     functions (they read them: SQLGetDiagRec, SQLGetDiagField, SQLError)
//     and SQLCancel (below).
//  4. The internal function runs. A std::bad_alloc becomes "HY001" "Memory
//     allocation error" on the handle, any other exception "HY000"; nothing
//     unwinds into the Driver Manager.
//  5. The exit line "-SQLxxx()=rc" is traced (bit 0x2). Entry lines, with
//     the arguments, are the internal functions' own: they know which
//     arguments are secrets (SQLConnect, SQLDriverConnect).
//
// Locks, and what each guards:
//  - registry lock (handles.cpp): the registry map only, shared by look-ups;
//    never held across a call. A thread trusts the few handles it found live
//    last for as long as no handle anywhere has been freed since, and then
//    checks them without the lock.
//  - call lock, one per live handle (a statement's is client_stmt::lock,
//    recursive): everything the call reads or writes in that handle's record,
//    and the statement's client_stmt. Held by the guard; stmt_enter takes it
//    again on the same thread. It is shared with the registry, so a call
//    that frees its own handle still releases it. One call holds one call
//    lock, except SQLDisconnect and SQLFreeHandle of a connection, which
//    take each statement's in turn before freeing it (connection, then
//    statement: never the other way round).
//  - client_env::lock and client_dbc::lock (recursive): the lists of
//    connections, statements and descriptors, and a connection's
//    information cache. Held briefly, never across a remote call.
//  - RpcHandle::call_lock (rpc): one request and its answer on the link.
//
// Cancel: SQLCancel takes no call lock. When no other call is running on the
// statement it behaves like any statement call; when one is (a fetch in
// another thread), it only sends the server's cancel and touches nothing of
// the statement record, which belongs to the running call. It waits at most
// for the round trip that the running call has on the link at that moment,
// never for the whole call.
#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <mutex>
#include <new>

#include "api.h"
#include "driver.h"
#include "statements.h"
#include "trace.h"
#include "wide.h"

namespace kyvek::driver {
namespace {

constexpr int kNoHandle = 0;

// How the guard treats one entry point.
struct Entry {
  bool lock = true;      // hold the handle's call lock
  bool clear = true;     // clear the handle's diagnostics
  bool null_ok = false;  // a null handle goes on to the function (process-wide attributes)
};
constexpr Entry kCall{};
constexpr Entry kDiagRead{true, false, false};
constexpr Entry kCancel{false, false, false};
constexpr Entry kProcessWide{true, true, true};

// Kind of a handle named by an ODBC handle type; kNoHandle for others.
int kind_of(SQLSMALLINT type) {
  switch (type) {
    case SQL_HANDLE_ENV: return kEnv;
    case SQL_HANDLE_DBC: return kDbc;
    case SQL_HANDLE_STMT: return kStmt;
    case SQL_HANDLE_DESC: return kDesc;
    default: return kNoHandle;
  }
}

// SQLError and SQLTransact name the handle they act on by which of their
// handles is given: the statement, else the connection, else the environment.
int kind_of_first(SQLHANDLE stmt, SQLHANDLE dbc, SQLHANDLE env, SQLHANDLE* chosen) {
  *chosen = stmt ? stmt : dbc ? dbc : env;
  return stmt ? kStmt : dbc ? kDbc : env ? kEnv : kNoHandle;
}

// SQLEndTran ends transactions of an environment or a connection; any other
// type is refused by the function itself (SQL_ERROR).
int tran_kind_of(SQLSMALLINT type) {
  return type == SQL_HANDLE_ENV || type == SQL_HANDLE_DBC ? kind_of(type) : kNoHandle;
}

// The input handle of SQLAllocHandle: the environment of a connection, the
// connection of a statement or descriptor, none for an environment.
int parent_kind_of(SQLSMALLINT type) {
  switch (type) {
    case SQL_HANDLE_DBC: return kEnv;
    case SQL_HANDLE_STMT:
    case SQL_HANDLE_DESC: return kDbc;
    default: return kNoHandle;
  }
}

}  // namespace

// The diagnostic list of a live handle, and the connection that names it.
diag_header* handle_diag(int kind, void* h, const client_dbc** dbc) {
  *dbc = nullptr;
  switch (kind) {
    case kEnv: return &static_cast<client_env*>(h)->diag;
    case kDbc: *dbc = static_cast<client_dbc*>(h); return &static_cast<client_dbc*>(h)->diag;
    case kStmt: {
      auto* stmt = static_cast<client_stmt*>(h);
      if (vekc_chk_handle(kDbc, stmt->owner) == 0) *dbc = static_cast<client_dbc*>(stmt->owner);
      return &stmt->diags;
    }
    case kDesc: {
      auto* desc = static_cast<client_desc*>(h);
      if (vekc_chk_handle(kDbc, desc->dbc) == 0) *dbc = desc->dbc;
      return &desc->diag;
    }
    default: return nullptr;
  }
}

namespace {

// An exception stopped the call: a record on the handle when it still lives.
SQLRETURN post_failure(const char* name, int kind, void* h, bool no_memory) noexcept {
  if (kind == kNoHandle || vekc_chk_handle(kind, h) != 0) return SQL_ERROR;
  const client_dbc* dbc = nullptr;
  diag_header* hdr = handle_diag(kind, h, &dbc);
  if (no_memory)
    post_client(hdr, dbc, 0, sqlstate::kHY001, false);
  else
    post_client(hdr, dbc, 2, sqlstate::kHY000.state, false, "General error: Internal client error (%s)", name + 3);
  return SQL_ERROR;
}

SQLRETURN leave(const char* name, SQLRETURN rc) noexcept {
  TRACE(kTraceExit, "-%s()=%d\n", name, rc);
  return rc;
}

template <class Fn>
SQLRETURN guard(const char* name, int kind, void* h, Entry entry, Fn&& fn) noexcept {
  try {
    std::shared_ptr<std::recursive_mutex> call;
    std::unique_lock<std::recursive_mutex> held;
    if (kind != kNoHandle && !(entry.null_ok && !h)) {
      const uint64_t frees = handle_frees();
      call = handle_call_lock(kind, h);
      if (!call) return leave(name, SQL_INVALID_HANDLE);
      if (entry.lock) {
        held = std::unique_lock<std::recursive_mutex>(*call);
        // Freed while this call waited for the lock? Only a free can tell.
        if (handle_frees() != frees && handle_call_lock(kind, h) != call) return leave(name, SQL_INVALID_HANDLE);
      }
      if (entry.clear) {
        const client_dbc* dbc = nullptr;
        clear_errors(handle_diag(kind, h, &dbc));
      }
    }
    SQLRETURN rc;
    try {
      rc = fn();
    } catch (const std::bad_alloc&) {
      rc = post_failure(name, kind, h, true);
    } catch (...) {
      rc = post_failure(name, kind, h, false);
    }
    return leave(name, rc);
  } catch (...) {
    // The lock itself failed (std::system_error): the call never ran.
    return leave(name, post_failure(name, kind, h, false));
  }
}

}  // namespace
}  // namespace kyvek::driver

using namespace kyvek::driver;
#define G(name, kind, h, entry, call) guard(#name, kind, h, entry, [&] { return api::call; })

extern "C" {

SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT t, SQLHANDLE in, SQLHANDLE* out) {
  return G(SQLAllocHandle, parent_kind_of(t), in, kCall, alloc_handle(t, in, out));
}
SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT t, SQLHANDLE h) {
  return G(SQLFreeHandle, kind_of(t), h, kCall, free_handle(t, h));
}
SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT h, SQLUSMALLINT option) {
  return G(SQLFreeStmt, kStmt, h, kCall, free_stmt(h, option));
}

SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  return G(SQLSetEnvAttr, kEnv, h, kProcessWide, set_env_attr(h, a, v, n));
}
SQLRETURN SQL_API SQLGetEnvAttr(SQLHENV h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER cap, SQLINTEGER* n) {
  return G(SQLGetEnvAttr, kEnv, h, kCall, get_env_attr(h, a, v, cap, n));
}
SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  return G(SQLSetConnectAttr, kDbc, h, kProcessWide, set_connect_attr(h, a, v, n));
}
SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER cap, SQLINTEGER* n) {
  return G(SQLGetConnectAttr, kDbc, h, kProcessWide, get_connect_attr(h, a, v, cap, n));
}

SQLRETURN SQL_API SQLDriverConnect(SQLHDBC h, SQLHWND w, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT cap,
                                   SQLSMALLINT* outlen, SQLUSMALLINT completion) {
  return G(SQLDriverConnect, kDbc, h, kCall, driver_connect(h, w, in, inlen, out, cap, outlen, completion));
}
SQLRETURN SQL_API SQLConnect(SQLHDBC h, SQLCHAR* dsn, SQLSMALLINT dsn_len, SQLCHAR* uid, SQLSMALLINT uid_len,
                             SQLCHAR* pwd, SQLSMALLINT pwd_len) {
  return G(SQLConnect, kDbc, h, kCall, connect(h, dsn, dsn_len, uid, uid_len, pwd, pwd_len));
}
SQLRETURN SQL_API SQLDisconnect(SQLHDBC h) { return G(SQLDisconnect, kDbc, h, kCall, disconnect(h)); }
SQLRETURN SQL_API SQLGetFunctions(SQLHDBC h, SQLUSMALLINT id, SQLUSMALLINT* supported) {
  return G(SQLGetFunctions, kDbc, h, kCall, get_functions(h, id, supported));
}
SQLRETURN SQL_API SQLGetInfo(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER v, SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetInfo, kDbc, h, kCall, get_info(h, type, v, cap, n));
}
SQLRETURN SQL_API SQLNativeSql(SQLHDBC h, SQLCHAR* in, SQLINTEGER inlen, SQLCHAR* out, SQLINTEGER cap,
                               SQLINTEGER* outlen) {
  return G(SQLNativeSql, kDbc, h, kCall, native_sql(h, in, inlen, out, cap, outlen));
}
SQLRETURN SQL_API SQLEndTran(SQLSMALLINT t, SQLHANDLE h, SQLSMALLINT completion) {
  return G(SQLEndTran, tran_kind_of(t), h, kCall, end_tran(t, h, completion));
}

SQLRETURN SQL_API SQLPrepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER n) {
  return G(SQLPrepare, kStmt, h, kCall, prepare(h, text, n));
}
SQLRETURN SQL_API SQLExecDirect(SQLHSTMT h, SQLCHAR* text, SQLINTEGER n) {
  return G(SQLExecDirect, kStmt, h, kCall, exec_direct(h, text, n));
}
SQLRETURN SQL_API SQLExecute(SQLHSTMT h) { return G(SQLExecute, kStmt, h, kCall, execute(h)); }
SQLRETURN SQL_API SQLBindParameter(SQLHSTMT h, SQLUSMALLINT number, SQLSMALLINT io, SQLSMALLINT ctype,
                                   SQLSMALLINT sqltype, SQLULEN size, SQLSMALLINT digits, SQLPOINTER v, SQLLEN cap,
                                   SQLLEN* ind) {
  return G(SQLBindParameter, kStmt, h, kCall, bind_parameter(h, number, io, ctype, sqltype, size, digits, v, cap, ind));
}
SQLRETURN SQL_API SQLDescribeParam(SQLHSTMT h, SQLUSMALLINT number, SQLSMALLINT* type, SQLULEN* size,
                                   SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  return G(SQLDescribeParam, kStmt, h, kCall, describe_param(h, number, type, size, digits, nullable));
}
SQLRETURN SQL_API SQLNumParams(SQLHSTMT h, SQLSMALLINT* n) {
  return G(SQLNumParams, kStmt, h, kCall, num_params(h, n));
}
SQLRETURN SQL_API SQLParamData(SQLHSTMT h, SQLPOINTER* v) { return G(SQLParamData, kStmt, h, kCall, param_data(h, v)); }
SQLRETURN SQL_API SQLPutData(SQLHSTMT h, SQLPOINTER data, SQLLEN n) {
  return G(SQLPutData, kStmt, h, kCall, put_data(h, data, n));
}
SQLRETURN SQL_API SQLMoreResults(SQLHSTMT h) { return G(SQLMoreResults, kStmt, h, kCall, more_results(h)); }
SQLRETURN SQL_API SQLRowCount(SQLHSTMT h, SQLLEN* n) { return G(SQLRowCount, kStmt, h, kCall, row_count(h, n)); }
SQLRETURN SQL_API SQLCancel(SQLHSTMT h) { return G(SQLCancel, kStmt, h, kCancel, cancel(h)); }
SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT h) { return G(SQLCloseCursor, kStmt, h, kCall, close_cursor(h)); }

SQLRETURN SQL_API SQLBindCol(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT type, SQLPOINTER v, SQLLEN cap, SQLLEN* ind) {
  return guard("SQLBindCol", kStmt, h, kCall, [&] { return bind_col(h, col, type, v, cap, ind, 0); });
}
SQLRETURN SQL_API SQLFetch(SQLHSTMT h) { return G(SQLFetch, kStmt, h, kCall, fetch(h)); }
SQLRETURN SQL_API SQLFetchScroll(SQLHSTMT h, SQLSMALLINT orientation, SQLLEN offset) {
  return G(SQLFetchScroll, kStmt, h, kCall, fetch_scroll(h, orientation, offset));
}
SQLRETURN SQL_API SQLExtendedFetch(SQLHSTMT h, SQLUSMALLINT orientation, SQLLEN offset, SQLULEN* rows,
                                   SQLUSMALLINT* status) {
  return G(SQLExtendedFetch, kStmt, h, kCall, extended_fetch(h, orientation, offset, rows, status));
}
SQLRETURN SQL_API SQLSetPos(SQLHSTMT h, SQLSETPOSIROW row, SQLUSMALLINT op, SQLUSMALLINT lock) {
  return G(SQLSetPos, kStmt, h, kCall, set_pos(h, row, op, lock));
}
SQLRETURN SQL_API SQLBulkOperations(SQLHSTMT h, SQLSMALLINT op) {
  return G(SQLBulkOperations, kStmt, h, kCall, bulk_operations(h, op));
}
SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT h, SQLSMALLINT* n) {
  return G(SQLNumResultCols, kStmt, h, kCall, num_result_cols(h, n));
}
SQLRETURN SQL_API SQLDescribeCol(SQLHSTMT h, SQLUSMALLINT col, SQLCHAR* name, SQLSMALLINT cap, SQLSMALLINT* name_len,
                                 SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits, SQLSMALLINT* nullable) {
  return G(SQLDescribeCol, kStmt, h, kCall, describe_col(h, col, name, cap, name_len, type, size, digits, nullable));
}
SQLRETURN SQL_API SQLColAttribute(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                                  SQLSMALLINT* n, SQLLEN* num) {
  return G(SQLColAttribute, kStmt, h, kCall, col_attribute(h, col, field, buf, cap, n, num));
}
SQLRETURN SQL_API SQLGetData(SQLHSTMT h, SQLUSMALLINT col, SQLSMALLINT type, SQLPOINTER v, SQLLEN cap, SQLLEN* ind) {
  return G(SQLGetData, kStmt, h, kCall, get_data(h, col, type, v, cap, ind));
}

SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  return G(SQLSetStmtAttr, kStmt, h, kCall, set_stmt_attr(h, a, v, n));
}
SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER cap, SQLINTEGER* n) {
  return G(SQLGetStmtAttr, kStmt, h, kCall, get_stmt_attr(h, a, v, cap, n));
}
SQLRETURN SQL_API SQLGetCursorName(SQLHSTMT h, SQLCHAR* name, SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetCursorName, kStmt, h, kCall, get_cursor_name(h, name, cap, n));
}
SQLRETURN SQL_API SQLSetCursorName(SQLHSTMT h, SQLCHAR* name, SQLSMALLINT n) {
  return G(SQLSetCursorName, kStmt, h, kCall, set_cursor_name(h, name, n));
}

SQLRETURN SQL_API SQLGetDescField(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT f, SQLPOINTER v, SQLINTEGER cap,
                                  SQLINTEGER* len) {
  return G(SQLGetDescField, kDesc, h, kCall, get_desc_field(h, n, f, v, cap, len));
}
SQLRETURN SQL_API SQLGetDescRec(SQLHDESC h, SQLSMALLINT n, SQLCHAR* name, SQLSMALLINT cap, SQLSMALLINT* nl,
                                SQLSMALLINT* t, SQLSMALLINT* sub, SQLLEN* len, SQLSMALLINT* p, SQLSMALLINT* sc,
                                SQLSMALLINT* nul) {
  return G(SQLGetDescRec, kDesc, h, kCall, get_desc_rec(h, n, name, cap, nl, t, sub, len, p, sc, nul));
}
SQLRETURN SQL_API SQLSetDescField(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT f, SQLPOINTER v, SQLINTEGER len) {
  return G(SQLSetDescField, kDesc, h, kCall, set_desc_field(h, n, f, v, len));
}
SQLRETURN SQL_API SQLSetDescRec(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT t, SQLSMALLINT sub, SQLLEN len, SQLSMALLINT p,
                                SQLSMALLINT sc, SQLPOINTER d, SQLLEN* ol, SQLLEN* ind) {
  return G(SQLSetDescRec, kDesc, h, kCall, set_desc_rec(h, n, t, sub, len, p, sc, d, ol, ind));
}
SQLRETURN SQL_API SQLCopyDesc(SQLHDESC src, SQLHDESC dst) {
  return G(SQLCopyDesc, kDesc, src, kCall, copy_desc(src, dst));
}
SQLRETURN SQL_API SQLTables(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                            SQLSMALLINT tn, SQLCHAR* y, SQLSMALLINT yn) {
  return G(SQLTables, kStmt, h, kCall, tables(h, c, cn, s, sn, t, tn, y, yn));
}
SQLRETURN SQL_API SQLColumns(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                             SQLSMALLINT tn, SQLCHAR* o, SQLSMALLINT on) {
  return G(SQLColumns, kStmt, h, kCall, columns(h, c, cn, s, sn, t, tn, o, on));
}
SQLRETURN SQL_API SQLColumnPrivileges(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                                      SQLSMALLINT tn, SQLCHAR* o, SQLSMALLINT on) {
  return G(SQLColumnPrivileges, kStmt, h, kCall, column_privileges(h, c, cn, s, sn, t, tn, o, on));
}
SQLRETURN SQL_API SQLTablePrivileges(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                                     SQLSMALLINT tn) {
  return G(SQLTablePrivileges, kStmt, h, kCall, table_privileges(h, c, cn, s, sn, t, tn));
}
SQLRETURN SQL_API SQLPrimaryKeys(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                                 SQLSMALLINT tn) {
  return G(SQLPrimaryKeys, kStmt, h, kCall, primary_keys(h, c, cn, s, sn, t, tn));
}
SQLRETURN SQL_API SQLProcedures(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* p,
                                SQLSMALLINT pn) {
  return G(SQLProcedures, kStmt, h, kCall, procedures(h, c, cn, s, sn, p, pn));
}
SQLRETURN SQL_API SQLStatistics(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                                SQLSMALLINT tn, SQLUSMALLINT unique, SQLUSMALLINT reserved) {
  return G(SQLStatistics, kStmt, h, kCall, statistics(h, c, cn, s, sn, t, tn, unique, reserved));
}
SQLRETURN SQL_API SQLSpecialColumns(SQLHSTMT h, SQLUSMALLINT id, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn,
                                    SQLCHAR* t, SQLSMALLINT tn, SQLUSMALLINT scope, SQLUSMALLINT nullable) {
  return G(SQLSpecialColumns, kStmt, h, kCall, special_columns(h, id, c, cn, s, sn, t, tn, scope, nullable));
}
SQLRETURN SQL_API SQLProcedureColumns(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* p,
                                      SQLSMALLINT pn, SQLCHAR* o, SQLSMALLINT on) {
  return G(SQLProcedureColumns, kStmt, h, kCall, procedure_columns(h, c, cn, s, sn, p, pn, o, on));
}
SQLRETURN SQL_API SQLForeignKeys(SQLHSTMT h, SQLCHAR* pc, SQLSMALLINT pcn, SQLCHAR* ps, SQLSMALLINT psn, SQLCHAR* pt,
                                 SQLSMALLINT ptn, SQLCHAR* fc, SQLSMALLINT fcn, SQLCHAR* fs, SQLSMALLINT fsn,
                                 SQLCHAR* ft, SQLSMALLINT ftn) {
  return G(SQLForeignKeys, kStmt, h, kCall, foreign_keys(h, pc, pcn, ps, psn, pt, ptn, fc, fcn, fs, fsn, ft, ftn));
}
SQLRETURN SQL_API SQLGetTypeInfo(SQLHSTMT h, SQLSMALLINT type) {
  return G(SQLGetTypeInfo, kStmt, h, kCall, get_type_info(h, type));
}

SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT t, SQLHANDLE h, SQLSMALLINT rec, SQLCHAR* state, SQLINTEGER* native,
                                SQLCHAR* msg, SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetDiagRec, kind_of(t), h, kDiagRead, get_diag_rec(t, h, rec, state, native, msg, cap, n));
}
SQLRETURN SQL_API SQLBrowseConnect(SQLHDBC h, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT cap,
                                   SQLSMALLINT* outlen) {
  return G(SQLBrowseConnect, kDbc, h, kCall, browse_connect(h, in, inlen, out, cap, outlen));
}

// ODBC 2.
SQLRETURN SQL_API SQLAllocEnv(SQLHENV* out) { return G(SQLAllocEnv, kNoHandle, nullptr, kCall, odbc2_alloc_env(out)); }
SQLRETURN SQL_API SQLAllocConnect(SQLHENV h, SQLHDBC* out) {
  return G(SQLAllocConnect, kEnv, h, kCall, odbc2_alloc_connect(h, out));
}
SQLRETURN SQL_API SQLAllocStmt(SQLHDBC h, SQLHSTMT* out) {
  return G(SQLAllocStmt, kDbc, h, kCall, odbc2_alloc_stmt(h, out));
}
SQLRETURN SQL_API SQLFreeEnv(SQLHENV h) { return G(SQLFreeEnv, kEnv, h, kCall, odbc2_free_env(h)); }
SQLRETURN SQL_API SQLFreeConnect(SQLHDBC h) { return G(SQLFreeConnect, kDbc, h, kCall, odbc2_free_connect(h)); }
SQLRETURN SQL_API SQLTransact(SQLHENV env, SQLHDBC dbc, SQLUSMALLINT completion) {
  SQLHANDLE h;
  const int kind = kind_of_first(nullptr, dbc, env, &h);
  return G(SQLTransact, kind, h, kCall, transact(env, dbc, completion));
}
SQLRETURN SQL_API SQLColAttributes(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                                   SQLSMALLINT* n, SQLLEN* num) {
  return G(SQLColAttributes, kStmt, h, kCall, col_attributes(h, col, field, buf, cap, n, num));
}
SQLRETURN SQL_API SQLParamOptions(SQLHSTMT h, SQLULEN rows, SQLULEN* processed) {
  return G(SQLParamOptions, kStmt, h, kCall, param_options(h, rows, processed));
}
SQLRETURN SQL_API SQLSetStmtOption(SQLHSTMT h, SQLUSMALLINT option, SQLULEN v) {
  return G(SQLSetStmtOption, kStmt, h, kCall, set_stmt_option(h, option, v));
}
SQLRETURN SQL_API SQLGetStmtOption(SQLHSTMT h, SQLUSMALLINT option, SQLPOINTER v) {
  return G(SQLGetStmtOption, kStmt, h, kCall, get_stmt_option(h, option, v));
}
SQLRETURN SQL_API SQLSetConnectOption(SQLHDBC h, SQLUSMALLINT option, SQLULEN v) {
  return G(SQLSetConnectOption, kDbc, h, kCall, set_connect_option(h, option, v));
}
SQLRETURN SQL_API SQLGetConnectOption(SQLHDBC h, SQLUSMALLINT option, SQLPOINTER v) {
  return G(SQLGetConnectOption, kDbc, h, kCall, get_connect_option(h, option, v));
}
SQLRETURN SQL_API SQLSetScrollOptions(SQLHSTMT h, SQLUSMALLINT concurrency, SQLLEN keyset, SQLUSMALLINT rowset) {
  return G(SQLSetScrollOptions, kStmt, h, kCall, set_scroll_options(h, concurrency, keyset, rowset));
}
SQLRETURN SQL_API SQLError(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLCHAR* state, SQLINTEGER* native, SQLCHAR* msg,
                           SQLSMALLINT cap, SQLSMALLINT* n) {
  SQLHANDLE h;
  const int kind = kind_of_first(stmt, dbc, env, &h);
  return G(SQLError, kind, h, kDiagRead, error(env, dbc, stmt, state, native, msg, cap, n));
}

SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT t, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT id, SQLPOINTER v,
                                  SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetDiagField, kind_of(t), h, kDiagRead, get_diag_field(t, h, rec, id, v, cap, n));
}

// Wide (UTF-16) entry points: the same guard, then wide.cpp's conversions
// around the narrow function.
SQLRETURN SQL_API SQLConnectW(SQLHDBC h, SQLWCHAR* dsn, SQLSMALLINT dsn_len, SQLWCHAR* uid, SQLSMALLINT uid_len,
                              SQLWCHAR* pwd, SQLSMALLINT pwd_len) {
  return G(SQLConnectW, kDbc, h, kCall, connect_w(h, dsn, dsn_len, uid, uid_len, pwd, pwd_len));
}
SQLRETURN SQL_API SQLDriverConnectW(SQLHDBC h, SQLHWND w, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out,
                                    SQLSMALLINT cap, SQLSMALLINT* outlen, SQLUSMALLINT completion) {
  return G(SQLDriverConnectW, kDbc, h, kCall, driver_connect_w(h, w, in, inlen, out, cap, outlen, completion));
}
SQLRETURN SQL_API SQLBrowseConnectW(SQLHDBC h, SQLWCHAR* in, SQLSMALLINT inlen, SQLWCHAR* out, SQLSMALLINT cap,
                                    SQLSMALLINT* outlen) {
  return G(SQLBrowseConnectW, kDbc, h, kCall, browse_connect_w(h, in, inlen, out, cap, outlen));
}
SQLRETURN SQL_API SQLExecDirectW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER n) {
  return G(SQLExecDirectW, kStmt, h, kCall, exec_direct_w(h, text, n));
}
SQLRETURN SQL_API SQLPrepareW(SQLHSTMT h, SQLWCHAR* text, SQLINTEGER n) {
  return G(SQLPrepareW, kStmt, h, kCall, prepare_w(h, text, n));
}
SQLRETURN SQL_API SQLNativeSqlW(SQLHDBC h, SQLWCHAR* in, SQLINTEGER inlen, SQLWCHAR* out, SQLINTEGER cap,
                                SQLINTEGER* outlen) {
  return G(SQLNativeSqlW, kDbc, h, kCall, native_sql_w(h, in, inlen, out, cap, outlen));
}
SQLRETURN SQL_API SQLDescribeColW(SQLHSTMT h, SQLUSMALLINT col, SQLWCHAR* name, SQLSMALLINT cap,
                                  SQLSMALLINT* name_len, SQLSMALLINT* type, SQLULEN* size, SQLSMALLINT* digits,
                                  SQLSMALLINT* nullable) {
  return G(SQLDescribeColW, kStmt, h, kCall, describe_col_w(h, col, name, cap, name_len, type, size, digits, nullable));
}
SQLRETURN SQL_API SQLColAttributeW(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf, SQLSMALLINT cap,
                                   SQLSMALLINT* n, SQLLEN* num) {
  return G(SQLColAttributeW, kStmt, h, kCall, col_attribute_w(h, col, field, buf, cap, n, num));
}
SQLRETURN SQL_API SQLColAttributesW(SQLHSTMT h, SQLUSMALLINT col, SQLUSMALLINT field, SQLPOINTER buf,
                                    SQLSMALLINT cap, SQLSMALLINT* n, SQLLEN* num) {
  return G(SQLColAttributesW, kStmt, h, kCall, col_attributes_w(h, col, field, buf, cap, n, num));
}
SQLRETURN SQL_API SQLGetDiagRecW(SQLSMALLINT t, SQLHANDLE h, SQLSMALLINT rec, SQLWCHAR* state, SQLINTEGER* native,
                                 SQLWCHAR* msg, SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetDiagRecW, kind_of(t), h, kDiagRead, get_diag_rec_w(t, h, rec, state, native, msg, cap, n));
}
SQLRETURN SQL_API SQLGetDiagFieldW(SQLSMALLINT t, SQLHANDLE h, SQLSMALLINT rec, SQLSMALLINT id, SQLPOINTER v,
                                   SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetDiagFieldW, kind_of(t), h, kDiagRead, get_diag_field_w(t, h, rec, id, v, cap, n));
}
SQLRETURN SQL_API SQLErrorW(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt, SQLWCHAR* state, SQLINTEGER* native,
                            SQLWCHAR* msg, SQLSMALLINT cap, SQLSMALLINT* n) {
  SQLHANDLE h;
  const int kind = kind_of_first(stmt, dbc, env, &h);
  return G(SQLErrorW, kind, h, kDiagRead, error_w(env, dbc, stmt, state, native, msg, cap, n));
}
SQLRETURN SQL_API SQLGetInfoW(SQLHDBC h, SQLUSMALLINT type, SQLPOINTER v, SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetInfoW, kDbc, h, kCall, get_info_w(h, type, v, cap, n));
}
SQLRETURN SQL_API SQLSetConnectAttrW(SQLHDBC h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  return G(SQLSetConnectAttrW, kDbc, h, kProcessWide, set_connect_attr_w(h, a, v, n));
}
SQLRETURN SQL_API SQLGetConnectAttrW(SQLHDBC h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER cap, SQLINTEGER* n) {
  return G(SQLGetConnectAttrW, kDbc, h, kProcessWide, get_connect_attr_w(h, a, v, cap, n));
}
SQLRETURN SQL_API SQLSetStmtAttrW(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER n) {
  // No statement attribute holds text: the narrow function serves.
  return G(SQLSetStmtAttrW, kStmt, h, kCall, set_stmt_attr(h, a, v, n));
}
SQLRETURN SQL_API SQLGetStmtAttrW(SQLHSTMT h, SQLINTEGER a, SQLPOINTER v, SQLINTEGER cap, SQLINTEGER* n) {
  return G(SQLGetStmtAttrW, kStmt, h, kCall, get_stmt_attr(h, a, v, cap, n));
}
SQLRETURN SQL_API SQLGetCursorNameW(SQLHSTMT h, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* n) {
  return G(SQLGetCursorNameW, kStmt, h, kCall, get_cursor_name_w(h, name, cap, n));
}
SQLRETURN SQL_API SQLSetCursorNameW(SQLHSTMT h, SQLWCHAR* name, SQLSMALLINT n) {
  return G(SQLSetCursorNameW, kStmt, h, kCall, set_cursor_name_w(h, name, n));
}
SQLRETURN SQL_API SQLGetDescFieldW(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT f, SQLPOINTER v, SQLINTEGER cap,
                                   SQLINTEGER* len) {
  return G(SQLGetDescFieldW, kDesc, h, kCall, get_desc_field_w(h, n, f, v, cap, len));
}
SQLRETURN SQL_API SQLSetDescFieldW(SQLHDESC h, SQLSMALLINT n, SQLSMALLINT f, SQLPOINTER v, SQLINTEGER len) {
  return G(SQLSetDescFieldW, kDesc, h, kCall, set_desc_field_w(h, n, f, v, len));
}
SQLRETURN SQL_API SQLGetDescRecW(SQLHDESC h, SQLSMALLINT n, SQLWCHAR* name, SQLSMALLINT cap, SQLSMALLINT* nl,
                                 SQLSMALLINT* t, SQLSMALLINT* sub, SQLLEN* len, SQLSMALLINT* p, SQLSMALLINT* sc,
                                 SQLSMALLINT* nul) {
  return G(SQLGetDescRecW, kDesc, h, kCall, get_desc_rec_w(h, n, name, cap, nl, t, sub, len, p, sc, nul));
}
SQLRETURN SQL_API SQLSetConnectOptionW(SQLHDBC h, SQLUSMALLINT option, SQLULEN v) {
  return G(SQLSetConnectOptionW, kDbc, h, kCall, set_connect_option_w(h, option, v));
}
SQLRETURN SQL_API SQLGetConnectOptionW(SQLHDBC h, SQLUSMALLINT option, SQLPOINTER v) {
  return G(SQLGetConnectOptionW, kDbc, h, kCall, get_connect_option_w(h, option, v));
}
SQLRETURN SQL_API SQLTablesW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                             SQLSMALLINT tn, SQLWCHAR* y, SQLSMALLINT yn) {
  return G(SQLTablesW, kStmt, h, kCall, tables_w(h, c, cn, s, sn, t, tn, y, yn));
}
SQLRETURN SQL_API SQLColumnsW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                              SQLSMALLINT tn, SQLWCHAR* o, SQLSMALLINT on) {
  return G(SQLColumnsW, kStmt, h, kCall, columns_w(h, c, cn, s, sn, t, tn, o, on));
}
SQLRETURN SQL_API SQLColumnPrivilegesW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn,
                                       SQLWCHAR* t, SQLSMALLINT tn, SQLWCHAR* o, SQLSMALLINT on) {
  return G(SQLColumnPrivilegesW, kStmt, h, kCall, column_privileges_w(h, c, cn, s, sn, t, tn, o, on));
}
SQLRETURN SQL_API SQLTablePrivilegesW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn,
                                      SQLWCHAR* t, SQLSMALLINT tn) {
  return G(SQLTablePrivilegesW, kStmt, h, kCall, table_privileges_w(h, c, cn, s, sn, t, tn));
}
SQLRETURN SQL_API SQLPrimaryKeysW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                                  SQLSMALLINT tn) {
  return G(SQLPrimaryKeysW, kStmt, h, kCall, primary_keys_w(h, c, cn, s, sn, t, tn));
}
SQLRETURN SQL_API SQLProceduresW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* p,
                                 SQLSMALLINT pn) {
  return G(SQLProceduresW, kStmt, h, kCall, procedures_w(h, c, cn, s, sn, p, pn));
}
SQLRETURN SQL_API SQLStatisticsW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn, SQLWCHAR* t,
                                 SQLSMALLINT tn, SQLUSMALLINT unique, SQLUSMALLINT reserved) {
  return G(SQLStatisticsW, kStmt, h, kCall, statistics_w(h, c, cn, s, sn, t, tn, unique, reserved));
}
SQLRETURN SQL_API SQLSpecialColumnsW(SQLHSTMT h, SQLUSMALLINT id, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s,
                                     SQLSMALLINT sn, SQLWCHAR* t, SQLSMALLINT tn, SQLUSMALLINT scope,
                                     SQLUSMALLINT nullable) {
  return G(SQLSpecialColumnsW, kStmt, h, kCall, special_columns_w(h, id, c, cn, s, sn, t, tn, scope, nullable));
}
SQLRETURN SQL_API SQLProcedureColumnsW(SQLHSTMT h, SQLWCHAR* c, SQLSMALLINT cn, SQLWCHAR* s, SQLSMALLINT sn,
                                       SQLWCHAR* p, SQLSMALLINT pn, SQLWCHAR* o, SQLSMALLINT on) {
  return G(SQLProcedureColumnsW, kStmt, h, kCall, procedure_columns_w(h, c, cn, s, sn, p, pn, o, on));
}
SQLRETURN SQL_API SQLForeignKeysW(SQLHSTMT h, SQLWCHAR* pc, SQLSMALLINT pcn, SQLWCHAR* ps, SQLSMALLINT psn,
                                  SQLWCHAR* pt, SQLSMALLINT ptn, SQLWCHAR* fc, SQLSMALLINT fcn, SQLWCHAR* fs,
                                  SQLSMALLINT fsn, SQLWCHAR* ft, SQLSMALLINT ftn) {
  return G(SQLForeignKeysW, kStmt, h, kCall,
           foreign_keys_w(h, pc, pcn, ps, psn, pt, ptn, fc, fcn, fs, fsn, ft, ftn));
}
SQLRETURN SQL_API SQLGetTypeInfoW(SQLHSTMT h, SQLSMALLINT type) {
  return G(SQLGetTypeInfoW, kStmt, h, kCall, get_type_info(h, type));
}

}  // extern "C"
