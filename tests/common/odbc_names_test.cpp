// Trace name tables: the function list in its three forms and the attribute
// writers, as they appear in the trace log.
#include <sqlext.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "odbc_names.h"
#include "test_files.h"
#include "trace_log.h"

namespace {

std::vector<std::string> traced(const kytest::TempDir& dir, const std::string& log) {
  std::vector<std::string> out;
  for (const std::string& l : kytest::read_lines(log)) out.push_back(kytest::without_prefix(l));
  return out;
}

TEST(OdbcNames, FunctionsSupported) {
  kytest::TempDir dir;
  std::string log = kytest::fresh_trace_log(dir);
  std::vector<uint16_t> bitmap(SQL_API_ODBC3_ALL_FUNCTIONS_SIZE, 0);
  bitmap[SQL_API_SQLFETCH >> 4] |= uint16_t(1u << (SQL_API_SQLFETCH & 0xF));
  bitmap[SQL_API_SQLALLOCHANDLE >> 4] |= uint16_t(1u << (SQL_API_SQLALLOCHANDLE & 0xF));
  log_functions_supported(SQL_API_ODBC3_ALL_FUNCTIONS, bitmap.data());
  std::vector<std::string> lines = traced(dir, log);
  ASSERT_EQ(lines.size(), 76u);
  EXPECT_EQ(lines[0], "\tSupported\t\t!Supported");
  EXPECT_EQ(lines[1], "\t\t\t\tSQLALLOCCONNECT");
  int supported = 0;
  for (size_t i = 1; i < lines.size(); ++i)
    if (lines[i].rfind("\t\t\t\t", 0) != 0) ++supported;
  EXPECT_EQ(supported, 2);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "\tSQLFETCH"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "\tSQLALLOCHANDLE"), lines.end());

  kytest::fresh_trace_log(dir);
  std::vector<uint16_t> odbc2(100, 1);
  log_functions_supported(SQL_API_ALL_FUNCTIONS, odbc2.data());
  lines = traced(dir, log);
  EXPECT_EQ(std::find(lines.begin(), lines.end(), "\tSQLALLOCHANDLE"), lines.end());  // 1001 is skipped
  EXPECT_NE(std::find(lines.begin(), lines.end(), "\tSQLFETCH"), lines.end());

  kytest::fresh_trace_log(dir);
  uint16_t no = 0, yes = 1;
  log_functions_supported(SQL_API_SQLFETCH, &no);
  log_functions_supported(SQL_API_SQLTABLES, &yes);
  log_functions_supported(4242, &yes);
  lines = traced(dir, log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "\tSQLFETCH NOT Supported");
  EXPECT_EQ(lines[1], "\tSQLTABLES  Supported");
  trace_log_reset_for_tests();
}

TEST(OdbcNames, AttributeLines) {
  kytest::TempDir dir;
  std::string log = kytest::fresh_trace_log(dir);
  log_connect_option(SQL_ACCESS_MODE, 1);
  log_connect_option(SQL_OPT_TRACEFILE, reinterpret_cast<SQLULEN>("/tmp/t.log"));
  log_connect_option(SQL_OPT_TRACEFILE, 0);  // a null text is shown, not read
  log_connect_option(9999, 1);
  SQLLEN n = 10;
  log_col_attribute(2, SQL_DESC_TYPE, nullptr, &n);
  log_col_attribute(2, SQL_COLUMN_NAME, "id", nullptr);
  log_col_attribute(3, 9999, nullptr, nullptr);
  EXPECT_STREQ(log_stmt_attr(SQL_ATTR_ROW_ARRAY_SIZE, 20, KY_NAME_AND_VALUE), "ROW_ARRAY_SIZE");
  EXPECT_STREQ(log_desc_field(SQL_DESC_SCHEMA_NAME, reinterpret_cast<SQLULEN>("main"), KY_NAME_AND_VALUE, nullptr),
               "DESC_SCHEMA_NAME");
  EXPECT_STREQ(log_stmt_attr(12345, 0, KY_NAME_AND_VALUE), KY_UNKNOWN_ATTRIBUTE);
  EXPECT_STREQ(log_stmt_attr(12345, 0, KY_NAME_ONLY), KY_UNKNOWN_ATTRIBUTE);  // writes nothing
  EXPECT_STREQ(log_desc_field(SQL_DESC_COUNT, 0, KY_NAME_ONLY, nullptr), "COUNT");
  std::vector<std::string> lines = traced(dir, log);
  std::vector<std::string> expected = {
      "\tACCESS_MODE\t0x1",
      "\tOPT_TRACEFILE\t/tmp/t.log",
      "\tOPT_TRACEFILE\tNULL",
      "\tUNKNOWN Connection attribute - perhaps a STMT option\tnon-determined-value-type",
      "\tColumn: 2 \tTYPE\t0xa",
      "\tColumn: 2 \tCOLUMN_NAME\tid",
      "\tColumn: 3 \tUNKNOWN\tnon-determined-value-type",
      "\tROW_ARRAY_SIZE\t0x14",
      "\tDESC_SCHEMA_NAME\tmain",
      "UNKNOWN\tnon-determined-value-type",
  };
  EXPECT_EQ(lines, expected);
  trace_log_reset_for_tests();
}

}  // namespace
