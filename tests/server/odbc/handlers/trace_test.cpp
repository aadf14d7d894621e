// Trace lines of the handlers: attribute names and values, the function lists
// of SQLGetFunctions, entry and exit lines (one exit line for every call,
// whichever way it leaves), and nothing at all while the bits are clear.
#include <filesystem>
#include <functional>
#include <string>

#include "handler_fixture.h"
#include "trace_capture.h"

namespace kytest {
namespace {

class Traces : public HandlersTest {
 protected:
  // Starts a fresh log with the given bits (after the handles exist: an
  // environment allocation reloads the mask from the settings).
  void trace(uint32_t mask) { capture_.start(mask); }
  std::string log_text_now() { return capture_.stop(); }

  TraceCapture capture_;
  const std::string& log_ = capture_.path();
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
                           "-sql_tables()=-1 (Drivers SQLTables failed)\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(log.find("sql_column_privileges"), std::string::npos) << log;
}

// Every exit of a handler, a refusal before the driver as much as success,
// writes the call's one exit line "-name()=rc", or "-name()=rc (reason)".
TEST_F(Traces, EveryExitWritesOneExitLine) {
  RpcLink link;
  void* dbc = link.connected();
  void* stmt = link.stmt(dbc);
  void* spare = link.stmt(dbc);
  auto* s = static_cast<statement_t*>(stmt);
  void* ard = s->implicit_desc[DESC_ARD];
  void* made = nullptr;
  void* got = nullptr;
  int16_t number = 0;
  int32_t value = 0;
  int x = 0;
  char cursor[] = "named_cursor";
  char select[] = "SELECT 1";
  char name[] = "x";
  const struct {
    const char* name;
    int16_t rc;          // the call's result
    const char* reason;  // the reason the line gives, or null for none
    std::function<int16_t()> call;
  } cases[] = {
      // Refused by the handler, then by the driver (SQLite has no cursor names).
      {"sql_set_cursor_name", SQL_ERROR, nullptr, [&] { return sql_set_cursor_name(stmt, 0, nullptr); }},
      {"sql_set_cursor_name", SQL_ERROR, nullptr, [&] { return sql_set_cursor_name(stmt, sizeof cursor, cursor); }},
      {"sql_param_data", SQL_ERROR, nullptr, [&] { return sql_param_data(stmt, &number); }},
      {"sql_prepare", SQL_SUCCESS, nullptr, [&] { return sql_prepare(stmt, sizeof select, select, SQL_NTS); }},
      {"sql_execute", SQL_SUCCESS, nullptr, [&] { return sql_execute(stmt); }},
      {"sql_cancel", SQL_SUCCESS, nullptr, [&] { return sql_cancel(stmt); }},
      {"sql_set_stmt_attr_handle", SQL_ERROR, "invalid descriptor",
       [&] { return sql_set_stmt_attr_handle(stmt, SQL_ATTR_APP_ROW_DESC, &x, 0); }},
      {"sql_set_stmt_attr_handle", SQL_ERROR, "drivers SQLSetStmtAttr failed",
       [&] { return sql_set_stmt_attr_handle(stmt, SQL_ATTR_APP_ROW_DESC, nullptr, 0); }},
      {"sql_get_stmt_attr_handle", SQL_ERROR, nullptr, [&] { return sql_get_stmt_attr_handle(stmt, 9999, &got); }},
      {"sql_get_stmt_attr_handle", SQL_SUCCESS, nullptr,
       [&] { return sql_get_stmt_attr_handle(stmt, SQL_ATTR_APP_ROW_DESC, &got); }},
      {"sql_set_stmt_attr_integer", SQL_ERROR, "RO",
       [&] { return sql_set_stmt_attr_integer(stmt, SQL_ATTR_ROW_NUMBER, 1, 0); }},
      {"sql_set_stmt_attr_integer", SQL_SUCCESS, "ROW_WISE BIND TYPE ignored",
       [&] { return sql_set_stmt_attr_integer(stmt, SQL_ATTR_ROW_BIND_TYPE, 16, 0); }},
      {"sql_end_tran", SQL_ERROR, "HandleType 9", [&] { return sql_end_tran(9, dbc, SQL_COMMIT); }},
      {"sql_end_tran", SQL_SUCCESS, nullptr, [&] { return sql_end_tran(SQL_HANDLE_DBC, dbc, SQL_COMMIT); }},
      {"sql_set_desc_field_integer", SQL_ERROR, "RecNumber < 0",
       [&] { return sql_set_desc_field_integer(ard, -1, SQL_DESC_OCTET_LENGTH, 4, 0); }},
      {"sql_set_desc_field_strbin", SQL_ERROR, nullptr,
       [&] { return sql_set_desc_field_strbin(ard, 1, SQL_DESC_TYPE_NAME, sizeof name, name, SQL_NTS); }},
      {"sql_column_privileges", SQL_ERROR, nullptr,
       [&] { return sql_column_privileges(stmt, -1, nullptr, 0, nullptr, 0, nullptr, 0, nullptr); }},
      {"sql_get_diag_field_integer", SQL_ERROR, "Invalid DiagIdentifier",
       [&] { return sql_get_diag_field_integer(SQL_HANDLE_STMT, stmt, 1, 9999, &value); }},
      {"sql_get_diag_field_smallint", SQL_ERROR,
       "Request for short diag field for something other than SQL_DIAG_RETURNECODE",
       [&] { return sql_get_diag_field_smallint(SQL_HANDLE_STMT, stmt, 0, SQL_DIAG_NUMBER, &number); }},
      {"sql_alloc_handle", SQL_ERROR, "unknown Handle type",
       [&] { return sql_alloc_handle(nullptr, 3, 99, dbc, &made); }},
      {"sql_free_handle", SQL_ERROR, "can't free implicit descriptor",
       [&] { return sql_free_handle(nullptr, SQL_HANDLE_DESC, ard); }},
      {"sql_free_handle", SQL_SUCCESS, nullptr, [&] { return sql_free_handle(nullptr, SQL_HANDLE_STMT, spare); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    trace(kTraceExit);
    const int16_t rc = c.call();
    const std::string log = log_text_now();
    EXPECT_EQ(rc, c.rc);
    const std::vector<std::string> lines = exit_lines(log, c.name);
    EXPECT_EQ(lines.size(), 1u) << log;
    if (lines.empty()) continue;
    std::string want = "-" + std::string(c.name) + "()=" + std::to_string(rc);
    if (c.reason != nullptr) want += std::string(" (") + c.reason + ")";
    EXPECT_EQ(lines[0], want) << log;
  }
}

}  // namespace
}  // namespace kytest
