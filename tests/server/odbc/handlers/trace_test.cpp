// Trace lines of the connection handlers: attribute names and values, the
// function lists of SQLGetFunctions, entry and exit lines, and nothing at all
// while the bits are clear.
#include <filesystem>
#include <fstream>
#include <iterator>

#include "handler_fixture.h"
#include "trace_log.h"

namespace kytest {
namespace {

class Traces : public HandlersTest {
 protected:
  void SetUp() override {
    HandlersTest::SetUp();
    char tmpl[] = "/tmp/kyvek-conntrace-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    log_ = dir_ + "/kyvekserver.log";
  }
  void TearDown() override {
    trace_log_reset_for_tests();
    std::filesystem::remove_all(dir_);
  }
  // Starts a fresh log with the given bits (after the handles exist: an
  // environment allocation reloads the mask from the settings).
  void trace(uint32_t mask) {
    close_log();
    std::filesystem::remove(log_);
    set_log_file(log_.c_str());
    set_trace_mask(mask);
  }
  std::string log_text_now() {
    set_trace_mask(0);
    close_log();
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string dir_, log_;
};

TEST_F(Traces, AttributeNamesAndFunctionListsUnderDetailBit) {
  RpcLink link;
  void* dbc = link.connected();
  trace(kTraceDetail);

  EXPECT_EQ(sql_set_connect_attr_long(dbc, SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF, 0), SQL_SUCCESS);
  SQLLEN value = -1;
  EXPECT_EQ(sql_get_connect_attr_integer(dbc, SQL_ATTR_ACCESS_MODE, &value), SQL_SUCCESS);
  char access[64];
  snprintf(access, sizeof access, "\tACCESS_MODE\t0x%x\n", static_cast<unsigned>(value));
  // A refused attribute writes no line.
  EXPECT_EQ(sql_set_connect_attr_long(dbc, SQL_ATTR_QUIET_MODE, 1, 0), SQL_ERROR);
  // A text attribute read through the integer getter: the line is cut from
  // the value the driver wrote, never read past it (whatever the driver says).
  sql_get_connect_attr_integer(dbc, SQL_ATTR_CURRENT_CATALOG, &value);
  sql_get_connect_attr_handle(dbc, SQL_ATTR_CURRENT_CATALOG, reinterpret_cast<void**>(&value));

  uint16_t bitmap[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE] = {0};
  EXPECT_EQ(sql_get_functions_odbc3_all(dbc, SQL_API_ODBC3_ALL_FUNCTIONS, reinterpret_cast<int16_t*>(bitmap)),
            SQL_SUCCESS);
  uint16_t odbc2[100] = {0};
  EXPECT_EQ(sql_get_functions_all(dbc, SQL_API_ALL_FUNCTIONS, reinterpret_cast<int16_t*>(odbc2)), SQL_SUCCESS);
  int16_t one = 0;
  EXPECT_EQ(sql_get_function(dbc, SQL_API_SQLFETCH, &one), SQL_SUCCESS);
  EXPECT_EQ(one, SQL_TRUE);

  const std::string log = log_text_now();
  EXPECT_NE(log.find("\tAUTOCOMMIT\t0x0\n"), std::string::npos) << log;
  EXPECT_NE(log.find(access), std::string::npos) << log;
  EXPECT_EQ(log.find("QUIET_MODE"), std::string::npos) << log;
  // Both list requests write the supported/unsupported table; the single
  // function its own line.
  size_t tables = 0;
  for (size_t at = log.find("\tSupported\t\t!Supported\n"); at != std::string::npos;
       at = log.find("\tSupported\t\t!Supported\n", at + 1)) {
    ++tables;
  }
  EXPECT_EQ(tables, 2u) << log;
  EXPECT_NE(log.find("\tSQLALLOCHANDLE\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tSQLALLOCCONNECT\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\tSQLFETCH  Supported\n"), std::string::npos) << log;
  // Detail only: no entry or exit lines.
  EXPECT_EQ(log.find("sql_get_function("), std::string::npos) << log;
  EXPECT_EQ(log.find("-sql_get_function()"), std::string::npos) << log;
}

TEST_F(Traces, EntryAndExitLinesAndSilenceWithBitsClear) {
  RpcLink link;
  void* dbc = link.connected();
  trace(0);
  SQLLEN value = 0;
  int16_t one = 0;
  EXPECT_EQ(sql_get_connect_attr_integer(dbc, SQL_ATTR_AUTOCOMMIT, &value), SQL_SUCCESS);
  EXPECT_EQ(sql_get_function(dbc, SQL_API_SQLFETCH, &one), SQL_SUCCESS);
  EXPECT_EQ(log_text_now(), "");
  EXPECT_FALSE(std::filesystem::exists(log_));

  trace(kTraceEntry | kTraceExit);
  EXPECT_EQ(sql_get_connect_attr_integer(dbc, SQL_ATTR_AUTOCOMMIT, &value), SQL_SUCCESS);
  EXPECT_EQ(set_config_param(dbc, 1, 20, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(set_config_param(dbc, 3, 20, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(sql_connect(dbc, 0, nullptr, 0, nullptr, 0, nullptr), SQL_ERROR);
  const std::string log = log_text_now();
  for (const char* line :
       {"sql_get_connect_attr_integer(", "-sql_get_connect_attr_integer()=0\n", "set_config_param(",
        "-set_config_param()=0\n", "-set_config_param()=-1\n", "sql_connect(", "-sql_connect()=-1\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(log.find("AUTOCOMMIT"), std::string::npos) << log;
  EXPECT_EQ(log.find("CONFIG_PARAM"), std::string::npos) << log;
}

// The catalog handlers' entry and exit lines, the driver-failure line of
// sql_tables, and a column-privileges call that writes nothing.
TEST_F(Traces, CatalogEntryAndExitLines) {
  RpcLink link;
  void* dbc = link.connected();
  void* stmt = link.stmt(dbc);
  trace(kTraceEntry | kTraceExit);
  char t[] = "nosuch";
  EXPECT_EQ(sql_get_type_info(stmt, SQL_ALL_TYPES), SQL_SUCCESS);
  sql_close_cursor(stmt);
  EXPECT_EQ(sql_tables(stmt, 0, nullptr, 0, 0, nullptr, 0, 7, t, SQL_NTS, 0, nullptr, 0), SQL_SUCCESS);
  sql_close_cursor(stmt);
  EXPECT_EQ(sql_statistics(stmt, 0, nullptr, 0, 0, nullptr, 0, 7, t, SQL_NTS, 0, 0), SQL_SUCCESS);
  sql_close_cursor(stmt);
  EXPECT_EQ(sql_columns(stmt, 0, nullptr, 0, 0, nullptr, 0, 7, t, SQL_NTS, 0, nullptr, 0), SQL_SUCCESS);
  sql_close_cursor(stmt);
  EXPECT_EQ(sql_procedures(dbc, 0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0), SQL_INVALID_HANDLE);
  sql_column_privileges(dbc, 0, nullptr, 0, nullptr, 7, t, 0, nullptr);
  // While the statement waits for data at execution the Driver Manager refuses it.
  SQLHSTMT h = static_cast<statement_t*>(stmt)->driver_stmt;
  SQLLEN ind = SQL_DATA_AT_EXEC;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(h, (SQLCHAR*)"SELECT ?", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, t, 0, &ind)));
  ASSERT_EQ(SQLExecute(h), SQL_NEED_DATA);
  EXPECT_EQ(sql_tables(stmt, 0, nullptr, 0, 0, nullptr, 0, 7, t, SQL_NTS, 0, nullptr, 0), SQL_ERROR);
  const std::string log = log_text_now();
  for (const char* line : {"sql_get_type_info(", ",0)\n", "-sql_get_type_info()=0\n", "sql_tables(", ",7,",
                           ",-3,0,(nil),0)\n", "-sql_tables()=0\n", "sql_statistics(", ",0,0)\n", "-sql_statistics()=0",
                           "sql_columns()\n", "-sql_columns()=0\n", "-sql_procedures()=SQL_INVALID_HANDLE\n",
                           "\t-sql_tables()=-1 (Drivers SQLTables failed)\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(log.find("sql_column_privileges"), std::string::npos) << log;
}

}  // namespace
}  // namespace kytest
