// Catalog handlers against the SQLite ODBC driver.
#include <cstring>

#include "handler_fixture.h"

namespace kytest {
namespace {

class Catalog : public HandlersTest {
 protected:
  void SetUp() override {
    HandlersTest::SetUp();
    dbc_ = link_.connected();
    stmt_ = link_.stmt(dbc_);
    ASSERT_EQ(exec_direct(stmt_, "DROP TABLE IF EXISTS cat_t"), SQL_SUCCESS);
    ASSERT_EQ(exec_direct(stmt_, "CREATE TABLE cat_t (k INTEGER PRIMARY KEY, v TEXT)"), SQL_SUCCESS);
  }
  // The text of column col of the current row.
  std::string text(int16_t col) {
    char buf[128] = {0};
    int32_t block = sizeof(buf);
    SQLLEN ind = 0;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_get_data(stmt_, col, SQL_C_CHAR, &block, buf, sizeof(buf), &ind)));
    return ind == SQL_NULL_DATA ? "<null>" : buf;
  }
  RpcLink link_;
  void* dbc_ = nullptr;
  void* stmt_ = nullptr;
};

TEST_F(Catalog, TablesAfterASelectAreDescribedAfresh) {
  ASSERT_EQ(exec_direct(stmt_, "SELECT k FROM cat_t"), SQL_SUCCESS);
  ASSERT_EQ(sql_close_cursor(stmt_), SQL_SUCCESS);
  char table[] = "cat_t";
  ASSERT_EQ(sql_tables(stmt_, 0, nullptr, 0, 0, nullptr, 0, sizeof(table), table, SQL_NTS, 0, nullptr, 0), SQL_SUCCESS);
  auto* s = static_cast<statement_t*>(stmt_);
  EXPECT_GE(s->result_columns, 5);
  EXPECT_STREQ(s->implicit_desc[DESC_IRD]->records[3].name, "TABLE_NAME");
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(text(3), "cat_t");
  EXPECT_EQ(sql_fetch(stmt_), SQL_NO_DATA);
  sql_close_cursor(stmt_);

  ASSERT_EQ(sql_columns(stmt_, 0, nullptr, 0, 0, nullptr, 0, sizeof(table), table, SQL_NTS, 0, nullptr, 0), SQL_SUCCESS);
  int rows = 0;
  while (sql_fetch(stmt_) == SQL_SUCCESS) ++rows;
  EXPECT_EQ(rows, 2);
  sql_close_cursor(stmt_);

  ASSERT_EQ(sql_primary_keys(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, 5), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(text(4), "k");
  sql_close_cursor(stmt_);

  ASSERT_EQ(sql_get_type_info(stmt_, SQL_ALL_TYPES), SQL_SUCCESS);
  EXPECT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  sql_close_cursor(stmt_);
}

TEST_F(Catalog, NameLengthsStayInsideTheirBlocks) {
  char table[5] = {'c', 'a', 't', '_', 't'};  // no NUL
  EXPECT_EQ(sql_tables(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, SQL_NTS, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt_, 1), "HY090");
  EXPECT_EQ(sql_columns(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, 500, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(sql_tables(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, 5, 0, nullptr, 0), SQL_SUCCESS);
  // Column privileges pass the driver's own answer through.
  EXPECT_NE(sql_column_privileges(stmt_, 0, nullptr, 0, nullptr, 5, table, 0, nullptr), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_tables(dbc_, 0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0), SQL_INVALID_HANDLE);
}

}  // namespace
}  // namespace kytest
