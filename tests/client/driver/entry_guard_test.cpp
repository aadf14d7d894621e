// The entry guard of every exported function (odbc_api.cpp), called in
// process: handles that are null, freed or of the wrong kind are refused
// without being read, and an exception inside a call becomes a diagnostic
// on the handle instead of unwinding into the application.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "diag_reader.h"

// Allocations of at least this many bytes fail (0: none). Replacing the global
// allocator is how a test makes memory run out at one chosen allocation.
static std::atomic<std::size_t> g_refuse_from{0};

void* operator new(std::size_t n) {
  const std::size_t limit = g_refuse_from.load(std::memory_order_relaxed);
  if (limit && n >= limit) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return operator new(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
// Out of line: inlined into a delete expression, free() would meet the pointer
// of the operator new beside it, which the optimiser takes for a mismatch.
__attribute__((noipa)) static void release(void* p) noexcept { std::free(p); }
void operator delete(void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

std::vector<kytest::DiagRecord> diags(SQLSMALLINT type, SQLHANDLE h) { return kytest::diag_records(type, h); }

// The SQL functions that the driver's export map lists.
std::set<std::string> exported_names() {
  const char* src = std::getenv("KYVEK_SOURCE_DIR");
  std::ifstream map(std::string(src ? src : ".") + "/client/driver/kyvekcnt.map");
  std::set<std::string> names;
  std::string word;
  while (map >> word)
    if (word.rfind("SQL", 0) == 0) names.insert(word.substr(0, word.find(';')));
  return names;
}

enum class Kind { kEnv, kDbc, kStmt, kDesc, kNone };

struct Export {
  const char* name;
  Kind kind;  // the kind of handle the call is given (kNone: it takes none)
  std::function<SQLRETURN(SQLHANDLE)> call;
  // The answer to a null handle: SQLError and SQLTransact given no handle at
  // all have nothing to call invalid.
  SQLRETURN on_null = SQL_INVALID_HANDLE;
};

std::vector<Export> exports() {
  static SQLCHAR text[64] = "x";
  static SQLCHAR buf[64];
  static SQLSMALLINT s16;
  static SQLINTEGER s32;
  static SQLLEN len;
  static SQLULEN ulen;
  static SQLUSMALLINT u16;
  static SQLPOINTER ptr;
  static SQLHANDLE out;
  static SQLWCHAR wtext[8] = {'x', 0};
  static SQLWCHAR wbuf[64];
  return {
      {"SQLAllocHandle", Kind::kDbc, [](SQLHANDLE h) { return SQLAllocHandle(SQL_HANDLE_STMT, h, &out); }},
      {"SQLAllocHandle", Kind::kDbc, [](SQLHANDLE h) { return SQLAllocHandle(SQL_HANDLE_DESC, h, &out); }},
      {"SQLAllocHandle", Kind::kEnv, [](SQLHANDLE h) { return SQLAllocHandle(SQL_HANDLE_DBC, h, &out); }},
      {"SQLFreeHandle", Kind::kEnv, [](SQLHANDLE h) { return SQLFreeHandle(SQL_HANDLE_ENV, h); }},
      {"SQLFreeHandle", Kind::kDbc, [](SQLHANDLE h) { return SQLFreeHandle(SQL_HANDLE_DBC, h); }},
      {"SQLFreeHandle", Kind::kStmt, [](SQLHANDLE h) { return SQLFreeHandle(SQL_HANDLE_STMT, h); }},
      {"SQLFreeHandle", Kind::kDesc, [](SQLHANDLE h) { return SQLFreeHandle(SQL_HANDLE_DESC, h); }},
      {"SQLFreeStmt", Kind::kStmt, [](SQLHANDLE h) { return SQLFreeStmt(h, SQL_CLOSE); }},
      {"SQLSetEnvAttr", Kind::kEnv,
       [](SQLHANDLE h) { return SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(3), 0); }},
      {"SQLGetEnvAttr", Kind::kEnv,
       [](SQLHANDLE h) { return SQLGetEnvAttr(h, SQL_ATTR_ODBC_VERSION, &s32, 0, nullptr); }},
      {"SQLSetConnectAttr", Kind::kDbc,
       [](SQLHANDLE h) { return SQLSetConnectAttr(h, SQL_ATTR_AUTOCOMMIT, nullptr, 0); }},
      {"SQLGetConnectAttr", Kind::kDbc,
       [](SQLHANDLE h) { return SQLGetConnectAttr(h, SQL_ATTR_AUTOCOMMIT, &s32, 0, nullptr); }},
      {"SQLDriverConnect", Kind::kDbc,
       [](SQLHANDLE h) {
         return SQLDriverConnect(h, nullptr, text, SQL_NTS, buf, sizeof buf, &s16, SQL_DRIVER_NOPROMPT);
       }},
      {"SQLConnect", Kind::kDbc, [](SQLHANDLE h) { return SQLConnect(h, text, SQL_NTS, nullptr, 0, nullptr, 0); }},
      {"SQLDisconnect", Kind::kDbc, [](SQLHANDLE h) { return SQLDisconnect(h); }},
      {"SQLGetFunctions", Kind::kDbc, [](SQLHANDLE h) { return SQLGetFunctions(h, SQL_API_SQLFETCH, &u16); }},
      {"SQLGetInfo", Kind::kDbc, [](SQLHANDLE h) { return SQLGetInfo(h, SQL_DRIVER_NAME, buf, sizeof buf, &s16); }},
      {"SQLNativeSql", Kind::kDbc, [](SQLHANDLE h) { return SQLNativeSql(h, text, SQL_NTS, buf, sizeof buf, &s32); }},
      {"SQLEndTran", Kind::kDbc, [](SQLHANDLE h) { return SQLEndTran(SQL_HANDLE_DBC, h, SQL_COMMIT); }},
      {"SQLEndTran", Kind::kEnv, [](SQLHANDLE h) { return SQLEndTran(SQL_HANDLE_ENV, h, SQL_COMMIT); }},
      {"SQLPrepare", Kind::kStmt, [](SQLHANDLE h) { return SQLPrepare(h, text, SQL_NTS); }},
      {"SQLExecDirect", Kind::kStmt, [](SQLHANDLE h) { return SQLExecDirect(h, text, SQL_NTS); }},
      {"SQLExecute", Kind::kStmt, [](SQLHANDLE h) { return SQLExecute(h); }},
      {"SQLBindParameter", Kind::kStmt,
       [](SQLHANDLE h) {
         return SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 0, 0, &s32, 0, &len);
       }},
      {"SQLDescribeParam", Kind::kStmt, [](SQLHANDLE h) { return SQLDescribeParam(h, 1, &s16, &ulen, &s16, &s16); }},
      {"SQLNumParams", Kind::kStmt, [](SQLHANDLE h) { return SQLNumParams(h, &s16); }},
      {"SQLParamData", Kind::kStmt, [](SQLHANDLE h) { return SQLParamData(h, &ptr); }},
      {"SQLPutData", Kind::kStmt, [](SQLHANDLE h) { return SQLPutData(h, text, 1); }},
      {"SQLMoreResults", Kind::kStmt, [](SQLHANDLE h) { return SQLMoreResults(h); }},
      {"SQLRowCount", Kind::kStmt, [](SQLHANDLE h) { return SQLRowCount(h, &len); }},
      {"SQLCancel", Kind::kStmt, [](SQLHANDLE h) { return SQLCancel(h); }},
      {"SQLCloseCursor", Kind::kStmt, [](SQLHANDLE h) { return SQLCloseCursor(h); }},
      {"SQLBindCol", Kind::kStmt, [](SQLHANDLE h) { return SQLBindCol(h, 1, SQL_C_LONG, &s32, 0, &len); }},
      {"SQLFetch", Kind::kStmt, [](SQLHANDLE h) { return SQLFetch(h); }},
      {"SQLFetchScroll", Kind::kStmt, [](SQLHANDLE h) { return SQLFetchScroll(h, SQL_FETCH_NEXT, 0); }},
      {"SQLExtendedFetch", Kind::kStmt,
       [](SQLHANDLE h) { return SQLExtendedFetch(h, SQL_FETCH_NEXT, 0, &ulen, &u16); }},
      {"SQLSetPos", Kind::kStmt, [](SQLHANDLE h) { return SQLSetPos(h, 1, SQL_POSITION, SQL_LOCK_NO_CHANGE); }},
      {"SQLBulkOperations", Kind::kStmt, [](SQLHANDLE h) { return SQLBulkOperations(h, SQL_ADD); }},
      {"SQLNumResultCols", Kind::kStmt, [](SQLHANDLE h) { return SQLNumResultCols(h, &s16); }},
      {"SQLDescribeCol", Kind::kStmt,
       [](SQLHANDLE h) { return SQLDescribeCol(h, 1, buf, sizeof buf, &s16, &s16, &ulen, &s16, &s16); }},
      {"SQLColAttribute", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColAttribute(h, 1, SQL_DESC_NAME, buf, sizeof buf, &s16, &len); }},
      {"SQLGetData", Kind::kStmt, [](SQLHANDLE h) { return SQLGetData(h, 1, SQL_C_LONG, &s32, 0, &len); }},
      {"SQLSetStmtAttr", Kind::kStmt,
       [](SQLHANDLE h) { return SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0); }},
      {"SQLGetStmtAttr", Kind::kStmt,
       [](SQLHANDLE h) { return SQLGetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, &ulen, 0, nullptr); }},
      {"SQLGetCursorName", Kind::kStmt, [](SQLHANDLE h) { return SQLGetCursorName(h, buf, sizeof buf, &s16); }},
      {"SQLSetCursorName", Kind::kStmt, [](SQLHANDLE h) { return SQLSetCursorName(h, text, SQL_NTS); }},
      {"SQLTables", Kind::kStmt,
       [](SQLHANDLE h) { return SQLTables(h, nullptr, 0, nullptr, 0, text, SQL_NTS, nullptr, 0); }},
      {"SQLColumns", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColumns(h, nullptr, 0, nullptr, 0, text, SQL_NTS, nullptr, 0); }},
      {"SQLColumnPrivileges", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColumnPrivileges(h, nullptr, 0, nullptr, 0, text, SQL_NTS, nullptr, 0); }},
      {"SQLTablePrivileges", Kind::kStmt,
       [](SQLHANDLE h) { return SQLTablePrivileges(h, nullptr, 0, nullptr, 0, text, SQL_NTS); }},
      {"SQLPrimaryKeys", Kind::kStmt,
       [](SQLHANDLE h) { return SQLPrimaryKeys(h, nullptr, 0, nullptr, 0, text, SQL_NTS); }},
      {"SQLProcedures", Kind::kStmt,
       [](SQLHANDLE h) { return SQLProcedures(h, nullptr, 0, nullptr, 0, text, SQL_NTS); }},
      {"SQLStatistics", Kind::kStmt,
       [](SQLHANDLE h) { return SQLStatistics(h, nullptr, 0, nullptr, 0, text, SQL_NTS, SQL_INDEX_ALL, SQL_QUICK); }},
      {"SQLSpecialColumns", Kind::kStmt,
       [](SQLHANDLE h) {
         return SQLSpecialColumns(h, SQL_BEST_ROWID, nullptr, 0, nullptr, 0, text, SQL_NTS, SQL_SCOPE_CURROW,
                                  SQL_NULLABLE);
       }},
      {"SQLProcedureColumns", Kind::kStmt,
       [](SQLHANDLE h) { return SQLProcedureColumns(h, nullptr, 0, nullptr, 0, text, SQL_NTS, nullptr, 0); }},
      {"SQLForeignKeys", Kind::kStmt,
       [](SQLHANDLE h) {
         return SQLForeignKeys(h, nullptr, 0, nullptr, 0, text, SQL_NTS, nullptr, 0, nullptr, 0, nullptr, 0);
       }},
      {"SQLGetTypeInfo", Kind::kStmt, [](SQLHANDLE h) { return SQLGetTypeInfo(h, SQL_ALL_TYPES); }},
      {"SQLGetDescField", Kind::kDesc,
       [](SQLHANDLE h) { return SQLGetDescField(h, 0, SQL_DESC_COUNT, &s16, SQL_IS_SMALLINT, nullptr); }},
      {"SQLSetDescField", Kind::kDesc,
       [](SQLHANDLE h) { return SQLSetDescField(h, 0, SQL_DESC_COUNT, nullptr, SQL_IS_SMALLINT); }},
      {"SQLGetDescRec", Kind::kDesc,
       [](SQLHANDLE h) { return SQLGetDescRec(h, 1, buf, sizeof buf, &s16, &s16, &s16, &len, &s16, &s16, &s16); }},
      {"SQLSetDescRec", Kind::kDesc,
       [](SQLHANDLE h) { return SQLSetDescRec(h, 1, SQL_C_LONG, 0, 4, 0, 0, &s32, &len, &len); }},
      {"SQLCopyDesc", Kind::kDesc, [](SQLHANDLE h) { return SQLCopyDesc(h, h); }},
      {"SQLGetDiagRec", Kind::kDbc,
       [](SQLHANDLE h) { return SQLGetDiagRec(SQL_HANDLE_DBC, h, 1, buf, &s32, buf, sizeof buf, &s16); }},
      {"SQLGetDiagRec", Kind::kStmt,
       [](SQLHANDLE h) { return SQLGetDiagRec(SQL_HANDLE_STMT, h, 1, buf, &s32, buf, sizeof buf, &s16); }},
      {"SQLGetDiagField", Kind::kEnv,
       [](SQLHANDLE h) { return SQLGetDiagField(SQL_HANDLE_ENV, h, 0, SQL_DIAG_NUMBER, &s32, 0, nullptr); }},
      {"SQLGetDiagField", Kind::kDesc,
       [](SQLHANDLE h) { return SQLGetDiagField(SQL_HANDLE_DESC, h, 0, SQL_DIAG_NUMBER, &s32, 0, nullptr); }},
      {"SQLBrowseConnect", Kind::kDbc,
       [](SQLHANDLE h) { return SQLBrowseConnect(h, text, SQL_NTS, buf, sizeof buf, &s16); }},
      // ODBC 2.
      {"SQLAllocEnv", Kind::kNone, [](SQLHANDLE) { return SQLAllocEnv(nullptr); }},
      {"SQLAllocConnect", Kind::kEnv, [](SQLHANDLE h) { return SQLAllocConnect(h, &out); }},
      {"SQLAllocStmt", Kind::kDbc, [](SQLHANDLE h) { return SQLAllocStmt(h, &out); }},
      {"SQLFreeEnv", Kind::kEnv, [](SQLHANDLE h) { return SQLFreeEnv(h); }},
      {"SQLFreeConnect", Kind::kDbc, [](SQLHANDLE h) { return SQLFreeConnect(h); }},
      {"SQLTransact", Kind::kDbc, [](SQLHANDLE h) { return SQLTransact(nullptr, h, SQL_COMMIT); }, SQL_ERROR},
      {"SQLTransact", Kind::kEnv, [](SQLHANDLE h) { return SQLTransact(h, nullptr, SQL_COMMIT); }, SQL_ERROR},
      {"SQLColAttributes", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColAttributes(h, 1, SQL_COLUMN_TYPE, buf, sizeof buf, &s16, &len); }},
      {"SQLParamOptions", Kind::kStmt, [](SQLHANDLE h) { return SQLParamOptions(h, 1, &ulen); }},
      {"SQLSetStmtOption", Kind::kStmt, [](SQLHANDLE h) { return SQLSetStmtOption(h, SQL_MAX_ROWS, 1); }},
      {"SQLGetStmtOption", Kind::kStmt, [](SQLHANDLE h) { return SQLGetStmtOption(h, SQL_MAX_ROWS, &ulen); }},
      {"SQLSetConnectOption", Kind::kDbc, [](SQLHANDLE h) { return SQLSetConnectOption(h, SQL_AUTOCOMMIT, 1); }},
      {"SQLGetConnectOption", Kind::kDbc, [](SQLHANDLE h) { return SQLGetConnectOption(h, SQL_AUTOCOMMIT, &s32); }},
      {"SQLSetScrollOptions", Kind::kStmt,
       [](SQLHANDLE h) { return SQLSetScrollOptions(h, SQL_CONCUR_READ_ONLY, SQL_SCROLL_STATIC, 1); }},
      {"SQLError", Kind::kStmt,
       [](SQLHANDLE h) { return SQLError(nullptr, nullptr, h, buf, &s32, buf, sizeof buf, &s16); }, SQL_ERROR},
      {"SQLError", Kind::kDbc,
       [](SQLHANDLE h) { return SQLError(nullptr, h, nullptr, buf, &s32, buf, sizeof buf, &s16); }, SQL_ERROR},
      {"SQLError", Kind::kEnv,
       [](SQLHANDLE h) { return SQLError(h, nullptr, nullptr, buf, &s32, buf, sizeof buf, &s16); }, SQL_ERROR},
      // Wide forms.
      {"SQLConnectW", Kind::kDbc, [](SQLHANDLE h) { return SQLConnectW(h, wtext, SQL_NTS, nullptr, 0, nullptr, 0); }},
      {"SQLDriverConnectW", Kind::kDbc,
       [](SQLHANDLE h) {
         return SQLDriverConnectW(h, nullptr, wtext, SQL_NTS, wbuf, 64, &s16, SQL_DRIVER_NOPROMPT);
       }},
      {"SQLBrowseConnectW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLBrowseConnectW(h, wtext, SQL_NTS, wbuf, 64, &s16); }},
      {"SQLExecDirectW", Kind::kStmt, [](SQLHANDLE h) { return SQLExecDirectW(h, wtext, SQL_NTS); }},
      {"SQLPrepareW", Kind::kStmt, [](SQLHANDLE h) { return SQLPrepareW(h, wtext, SQL_NTS); }},
      {"SQLNativeSqlW", Kind::kDbc, [](SQLHANDLE h) { return SQLNativeSqlW(h, wtext, SQL_NTS, wbuf, 64, &s32); }},
      {"SQLDescribeColW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLDescribeColW(h, 1, wbuf, 64, &s16, &s16, &ulen, &s16, &s16); }},
      {"SQLColAttributeW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColAttributeW(h, 1, SQL_DESC_NAME, wbuf, sizeof wbuf, &s16, &len); }},
      {"SQLColAttributesW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColAttributesW(h, 1, SQL_COLUMN_NAME, wbuf, sizeof wbuf, &s16, &len); }},
      {"SQLGetDiagRecW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLGetDiagRecW(SQL_HANDLE_STMT, h, 1, wbuf, &s32, wbuf + 8, 32, &s16); }},
      {"SQLGetDiagFieldW", Kind::kDbc,
       [](SQLHANDLE h) {
         return SQLGetDiagFieldW(SQL_HANDLE_DBC, h, 1, SQL_DIAG_MESSAGE_TEXT, wbuf, sizeof wbuf, &s16);
       }},
      {"SQLErrorW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLErrorW(nullptr, h, nullptr, wbuf, &s32, wbuf + 8, 32, &s16); }, SQL_ERROR},
      {"SQLGetInfoW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLGetInfoW(h, SQL_DRIVER_NAME, wbuf, sizeof wbuf, &s16); }},
      {"SQLSetConnectAttrW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLSetConnectAttrW(h, SQL_ATTR_CURRENT_CATALOG, wtext, SQL_NTS); }},
      {"SQLGetConnectAttrW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLGetConnectAttrW(h, SQL_ATTR_CURRENT_CATALOG, wbuf, sizeof wbuf, &s32); }},
      {"SQLSetStmtAttrW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLSetStmtAttrW(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0); }},
      {"SQLGetStmtAttrW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLGetStmtAttrW(h, SQL_ATTR_ROW_ARRAY_SIZE, &ulen, 0, nullptr); }},
      {"SQLGetCursorNameW", Kind::kStmt, [](SQLHANDLE h) { return SQLGetCursorNameW(h, wbuf, 64, &s16); }},
      {"SQLSetCursorNameW", Kind::kStmt, [](SQLHANDLE h) { return SQLSetCursorNameW(h, wtext, SQL_NTS); }},
      {"SQLGetDescFieldW", Kind::kDesc,
       [](SQLHANDLE h) { return SQLGetDescFieldW(h, 1, SQL_DESC_NAME, wbuf, sizeof wbuf, &s32); }},
      {"SQLSetDescFieldW", Kind::kDesc,
       [](SQLHANDLE h) { return SQLSetDescFieldW(h, 1, SQL_DESC_NAME, wtext, SQL_NTS); }},
      {"SQLGetDescRecW", Kind::kDesc,
       [](SQLHANDLE h) { return SQLGetDescRecW(h, 1, wbuf, 64, &s16, &s16, &s16, &len, &s16, &s16, &s16); }},
      {"SQLSetConnectOptionW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLSetConnectOptionW(h, SQL_AUTOCOMMIT, 1); }},
      {"SQLGetConnectOptionW", Kind::kDbc,
       [](SQLHANDLE h) { return SQLGetConnectOptionW(h, SQL_AUTOCOMMIT, &s32); }},
      {"SQLTablesW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLTablesW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS, nullptr, 0); }},
      {"SQLColumnsW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColumnsW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS, nullptr, 0); }},
      {"SQLColumnPrivilegesW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLColumnPrivilegesW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS, nullptr, 0); }},
      {"SQLTablePrivilegesW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLTablePrivilegesW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS); }},
      {"SQLPrimaryKeysW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLPrimaryKeysW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS); }},
      {"SQLProceduresW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLProceduresW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS); }},
      {"SQLStatisticsW", Kind::kStmt,
       [](SQLHANDLE h) {
         return SQLStatisticsW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS, SQL_INDEX_ALL, SQL_QUICK);
       }},
      {"SQLSpecialColumnsW", Kind::kStmt,
       [](SQLHANDLE h) {
         return SQLSpecialColumnsW(h, SQL_BEST_ROWID, nullptr, 0, nullptr, 0, wtext, SQL_NTS, SQL_SCOPE_CURROW,
                                   SQL_NULLABLE);
       }},
      {"SQLProcedureColumnsW", Kind::kStmt,
       [](SQLHANDLE h) { return SQLProcedureColumnsW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS, nullptr, 0); }},
      {"SQLForeignKeysW", Kind::kStmt,
       [](SQLHANDLE h) {
         return SQLForeignKeysW(h, nullptr, 0, nullptr, 0, wtext, SQL_NTS, nullptr, 0, nullptr, 0, nullptr, 0);
       }},
      {"SQLGetTypeInfoW", Kind::kStmt, [](SQLHANDLE h) { return SQLGetTypeInfoW(h, SQL_ALL_TYPES); }},
  };
}

class EntryGuard : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env_), SQL_SUCCESS);
    ASSERT_EQ(SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0), SQL_SUCCESS);
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_SUCCESS);
  }
  void TearDown() override {
    g_refuse_from = 0;
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc_), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env_), SQL_SUCCESS);
  }
  SQLHANDLE env_ = nullptr, dbc_ = nullptr;
};

TEST_F(EntryGuard, TheTableCoversEveryExport) {
  std::set<std::string> tested;
  for (const Export& e : exports()) tested.insert(e.name);
  const std::set<std::string> exported = exported_names();
  ASSERT_FALSE(exported.empty());
  EXPECT_EQ(tested, exported);
}

// Null, freed and wrong-kind handles: SQL_INVALID_HANDLE from every export,
// with nothing read through the handle (ASan would see a freed record read).
TEST_F(EntryGuard, NullFreedAndWrongKindHandlesAreInvalid) {
  SQLHANDLE freed_env = nullptr, freed_dbc = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &freed_env), SQL_SUCCESS);
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, freed_env, &freed_dbc), SQL_SUCCESS);
  ASSERT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, freed_dbc), SQL_SUCCESS);
  ASSERT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, freed_env), SQL_SUCCESS);
  long junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};

  for (const Export& e : exports()) {
    SCOPED_TRACE(e.name);
    if (e.kind == Kind::kNone) continue;
    std::vector<std::pair<const char*, SQLHANDLE>> bad = {
        {"null", nullptr}, {"freed env", freed_env}, {"freed dbc", freed_dbc}, {"junk", junk}};
    // A live handle of another kind.
    if (e.kind != Kind::kEnv) bad.push_back({"live env", env_});
    if (e.kind != Kind::kDbc) bad.push_back({"live dbc", dbc_});
    for (const auto& [what, h] : bad) {
      SCOPED_TRACE(what);
      EXPECT_EQ(e.call(h), h ? SQL_INVALID_HANDLE : e.on_null);
    }
  }
  // The handles that were offered are untouched.
  EXPECT_TRUE(diags(SQL_HANDLE_ENV, env_).empty());
  EXPECT_TRUE(diags(SQL_HANDLE_DBC, dbc_).empty());
}

// Memory running out inside a call gives HY001 on the handle; the call
// returns, and the application goes on using the handle.
TEST_F(EntryGuard, AllocationFailureInACallIsHY001AndTheHandleStaysUsable) {
  const std::string big(1 << 20, 'c');
  const std::string connection = "DRIVER=kyvekcnt;DSN=" + big;
  struct Case {
    const char* name;
    std::function<SQLRETURN(SQLHANDLE)> call;
  } cases[] = {
      {"SQLSetConnectAttr",
       [&](SQLHANDLE h) { return SQLSetConnectAttr(h, SQL_ATTR_CURRENT_CATALOG, (SQLPOINTER)big.c_str(), SQL_NTS); }},
      {"SQLDriverConnect",
       [&](SQLHANDLE h) {
         return SQLDriverConnect(h, nullptr, (SQLCHAR*)connection.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                 SQL_DRIVER_NOPROMPT);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_refuse_from = big.size();
    const SQLRETURN rc = c.call(dbc_);
    g_refuse_from = 0;
    EXPECT_EQ(rc, SQL_ERROR);
    auto d = diags(SQL_HANDLE_DBC, dbc_);
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].state, "HY001");
    EXPECT_EQ(d[0].message, "[Kyronde ODBC (Client)]Memory allocation error");

    EXPECT_EQ(SQLSetConnectAttr(dbc_, SQL_ATTR_CURRENT_CATALOG, (SQLPOINTER) "main", SQL_NTS), SQL_SUCCESS);
    EXPECT_TRUE(diags(SQL_HANDLE_DBC, dbc_).empty());
  }
}

}  // namespace
