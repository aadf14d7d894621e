// SQLGetFunctions through the bridge: the driver claims exactly the functions
// it exports (kyvekcnt.map), in the single and both array forms, whatever the
// data source's driver claims; so the Driver Manager lets an application call
// each of them.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <vector>
#include <string>

#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

// The ODBC functions by name, as SQLGetFunctions numbers them.
const std::map<std::string, SQLUSMALLINT>& function_ids() {
  static const std::map<std::string, SQLUSMALLINT> ids = {
      {"SQLAllocHandle", SQL_API_SQLALLOCHANDLE},
      {"SQLBindCol", SQL_API_SQLBINDCOL},
      {"SQLBindParameter", SQL_API_SQLBINDPARAMETER},
      {"SQLBrowseConnect", SQL_API_SQLBROWSECONNECT},
      {"SQLBulkOperations", SQL_API_SQLBULKOPERATIONS},
      {"SQLCancel", SQL_API_SQLCANCEL},
      {"SQLCloseCursor", SQL_API_SQLCLOSECURSOR},
      {"SQLColAttribute", SQL_API_SQLCOLATTRIBUTE},
      {"SQLColumnPrivileges", SQL_API_SQLCOLUMNPRIVILEGES},
      {"SQLColumns", SQL_API_SQLCOLUMNS},
      {"SQLConnect", SQL_API_SQLCONNECT},
      {"SQLCopyDesc", SQL_API_SQLCOPYDESC},
      {"SQLDescribeCol", SQL_API_SQLDESCRIBECOL},
      {"SQLDescribeParam", SQL_API_SQLDESCRIBEPARAM},
      {"SQLDisconnect", SQL_API_SQLDISCONNECT},
      {"SQLDriverConnect", SQL_API_SQLDRIVERCONNECT},
      {"SQLEndTran", SQL_API_SQLENDTRAN},
      {"SQLExecDirect", SQL_API_SQLEXECDIRECT},
      {"SQLExecute", SQL_API_SQLEXECUTE},
      {"SQLExtendedFetch", SQL_API_SQLEXTENDEDFETCH},
      {"SQLFetch", SQL_API_SQLFETCH},
      {"SQLFetchScroll", SQL_API_SQLFETCHSCROLL},
      {"SQLForeignKeys", SQL_API_SQLFOREIGNKEYS},
      {"SQLFreeHandle", SQL_API_SQLFREEHANDLE},
      {"SQLFreeStmt", SQL_API_SQLFREESTMT},
      {"SQLGetConnectAttr", SQL_API_SQLGETCONNECTATTR},
      {"SQLGetCursorName", SQL_API_SQLGETCURSORNAME},
      {"SQLGetData", SQL_API_SQLGETDATA},
      {"SQLGetDescField", SQL_API_SQLGETDESCFIELD},
      {"SQLGetDescRec", SQL_API_SQLGETDESCREC},
      {"SQLGetDiagField", SQL_API_SQLGETDIAGFIELD},
      {"SQLGetDiagRec", SQL_API_SQLGETDIAGREC},
      {"SQLGetEnvAttr", SQL_API_SQLGETENVATTR},
      {"SQLGetFunctions", SQL_API_SQLGETFUNCTIONS},
      {"SQLGetInfo", SQL_API_SQLGETINFO},
      {"SQLGetStmtAttr", SQL_API_SQLGETSTMTATTR},
      {"SQLGetTypeInfo", SQL_API_SQLGETTYPEINFO},
      {"SQLMoreResults", SQL_API_SQLMORERESULTS},
      {"SQLNativeSql", SQL_API_SQLNATIVESQL},
      {"SQLNumParams", SQL_API_SQLNUMPARAMS},
      {"SQLNumResultCols", SQL_API_SQLNUMRESULTCOLS},
      {"SQLParamData", SQL_API_SQLPARAMDATA},
      {"SQLPrepare", SQL_API_SQLPREPARE},
      {"SQLPrimaryKeys", SQL_API_SQLPRIMARYKEYS},
      {"SQLProcedureColumns", SQL_API_SQLPROCEDURECOLUMNS},
      {"SQLProcedures", SQL_API_SQLPROCEDURES},
      {"SQLPutData", SQL_API_SQLPUTDATA},
      {"SQLRowCount", SQL_API_SQLROWCOUNT},
      {"SQLSetConnectAttr", SQL_API_SQLSETCONNECTATTR},
      {"SQLSetCursorName", SQL_API_SQLSETCURSORNAME},
      {"SQLSetDescField", SQL_API_SQLSETDESCFIELD},
      {"SQLSetDescRec", SQL_API_SQLSETDESCREC},
      {"SQLSetEnvAttr", SQL_API_SQLSETENVATTR},
      {"SQLSetPos", SQL_API_SQLSETPOS},
      {"SQLSetStmtAttr", SQL_API_SQLSETSTMTATTR},
      {"SQLSpecialColumns", SQL_API_SQLSPECIALCOLUMNS},
      {"SQLStatistics", SQL_API_SQLSTATISTICS},
      {"SQLTablePrivileges", SQL_API_SQLTABLEPRIVILEGES},
      {"SQLTables", SQL_API_SQLTABLES},
      // ODBC 2 functions the Driver Manager maps onto ODBC 3 ones.
      {"SQLAllocConnect", SQL_API_SQLALLOCCONNECT},
      {"SQLAllocEnv", SQL_API_SQLALLOCENV},
      {"SQLAllocStmt", SQL_API_SQLALLOCSTMT},
      {"SQLColAttributes", SQL_API_SQLCOLATTRIBUTES},
      {"SQLError", SQL_API_SQLERROR},
      {"SQLFreeConnect", SQL_API_SQLFREECONNECT},
      {"SQLFreeEnv", SQL_API_SQLFREEENV},
      {"SQLGetConnectOption", SQL_API_SQLGETCONNECTOPTION},
      {"SQLGetStmtOption", SQL_API_SQLGETSTMTOPTION},
      {"SQLParamOptions", SQL_API_SQLPARAMOPTIONS},
      {"SQLSetConnectOption", SQL_API_SQLSETCONNECTOPTION},
      {"SQLSetParam", SQL_API_SQLSETPARAM},
      {"SQLSetScrollOptions", SQL_API_SQLSETSCROLLOPTIONS},
      {"SQLSetStmtOption", SQL_API_SQLSETSTMTOPTION},
      {"SQLTransact", SQL_API_SQLTRANSACT},
  };
  return ids;
}

// The numbers of the functions the driver's export map lists.
std::set<SQLUSMALLINT> exported_ids() {
  const char* src = std::getenv("KYVEK_SOURCE_DIR");
  std::ifstream map(std::string(src ? src : ".") + "/client/driver/kyvekcnt.map");
  std::set<SQLUSMALLINT> ids;
  std::string word;
  while (map >> word) {
    if (word.rfind("SQL", 0) != 0) continue;
    std::string name = word.substr(0, word.find(';'));
    // A wide function counts as its narrow one.
    if (function_ids().count(name) == 0 && name.back() == 'W') name.pop_back();
    auto it = function_ids().find(name);
    EXPECT_NE(it, function_ids().end()) << name;
    if (it != function_ids().end()) ids.insert(it->second);
  }
  return ids;
}

bool in_bitmap(const SQLUSMALLINT* bits, SQLUSMALLINT id) { return (bits[id >> 4] & (1u << (id & 0xF))) != 0; }

TEST(FunctionsE2e, TheDriverClaimsItsOwnExportsInEveryForm) {
  ASSERT_NE(World::get(), nullptr);
  const std::set<SQLUSMALLINT> exported = exported_ids();
  ASSERT_GT(exported.size(), 50u);
  std::vector<std::string> targets = {World::bridge()};
  ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
  targets.push_back(World::pg_bridge());
  for (const std::string& target : targets) {
    SCOPED_TRACE(target);
    Conn c(target);
    ASSERT_TRUE(c.ok()) << c.error();

    // The driver's own answer, asked of the driver's export on its own
    // connection handle.
    SQLHDBC own = nullptr;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLGetInfo(c.dbc(), SQL_DRIVER_HDBC, &own, sizeof own, nullptr)));
    void* lib = dlopen("libkyvekcnt.so", RTLD_NOW | RTLD_NOLOAD);
    if (lib == nullptr) {
      const char* bin = std::getenv("KYVEK_BINARY_DIR");
      lib = dlopen((std::string(bin ? bin : ".") + "/lib/libkyvekcnt.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
    ASSERT_NE(lib, nullptr) << dlerror();
    auto get_functions = reinterpret_cast<decltype(&SQLGetFunctions)>(dlsym(lib, "SQLGetFunctions"));
    ASSERT_NE(get_functions, nullptr);

    SQLUSMALLINT bits[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE];
    std::fill(std::begin(bits), std::end(bits), 0xFFFF);
    ASSERT_EQ(get_functions(own, SQL_API_ODBC3_ALL_FUNCTIONS, bits), SQL_SUCCESS);
    SQLUSMALLINT odbc2[100];
    std::fill(std::begin(odbc2), std::end(odbc2), 7);
    ASSERT_EQ(get_functions(own, SQL_API_ALL_FUNCTIONS, odbc2), SQL_SUCCESS);
    for (SQLUSMALLINT id = 0; id < SQL_API_ODBC3_ALL_FUNCTIONS_SIZE * 16; ++id) {
      const bool want = exported.count(id) != 0;
      if (id != SQL_API_ALL_FUNCTIONS && id != SQL_API_ODBC3_ALL_FUNCTIONS) {
        SQLUSMALLINT one = 7;
        ASSERT_EQ(get_functions(own, id, &one), SQL_SUCCESS);
        EXPECT_EQ(one, want ? SQL_TRUE : SQL_FALSE) << id;
      }
      EXPECT_EQ(in_bitmap(bits, id), want) << id;
      if (id < 100) {
        EXPECT_EQ(odbc2[id], want ? SQL_TRUE : SQL_FALSE) << id;
      }
    }
    dlclose(lib);

    // What the application sees through the Driver Manager: every export is
    // there, the descriptor records included.
    for (SQLUSMALLINT id : exported) {
      SQLUSMALLINT one = 0;
      EXPECT_TRUE(SQL_SUCCEEDED(SQLGetFunctions(c.dbc(), id, &one)));
      EXPECT_EQ(one, SQL_TRUE) << id;
    }
  }
}

}  // namespace
}  // namespace kyvek::e2e
