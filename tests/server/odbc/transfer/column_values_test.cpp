// Column values sent to the server before a positioned update: the driver
// reads the server's arrays that synch_bound_colin filled (SQLite, keyset cursor).
#include "transfer_fixture.h"

namespace kytest {
namespace {

class ColumnValuesTest : public TransferTest {};

TEST_F(ColumnValuesTest, PositionedUpdateReadsTheSentValues) {
  exec_sql("DROP TABLE IF EXISTS u");
  exec_sql("CREATE TABLE u (id INTEGER PRIMARY KEY, v VARCHAR(10), n INTEGER)");
  exec_sql("INSERT INTO u VALUES (1, 'old', 5)");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetStmtAttr(stmt_->driver_stmt, SQL_ATTR_CURSOR_TYPE,
                                           reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0)));
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLSetStmtAttr(stmt_->driver_stmt, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_LOCK), 0)));
  set_rowset(stmt_, 1);
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_LONG, 1, 4, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 2, SQL_C_CHAR, 1, 11, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_LONG, 1, 4, 1));
  query("SELECT id, v, n FROM u");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));

  const char text[] = "new";
  SQLULEN oct[1] = {static_cast<SQLULEN>(SQL_NTS)};
  ASSERT_EQ(SQL_SUCCESS,
            synch_bound_colin(stmt_, 2, sizeof text, const_cast<char*>(text), sizeof oct, oct, 0, nullptr));
  int32_t n[1] = {77};
  SQLULEN four[1] = {4};
  ASSERT_EQ(SQL_SUCCESS, synch_bound_colin_integer(stmt_, 3, sizeof n, n, sizeof four, four, 0, nullptr));
  // Two values for a one-row array are refused and leave the sent one in place.
  int32_t two[2] = {1, 2};
  EXPECT_EQ(SQL_ERROR, synch_bound_colin_integer(stmt_, 3, sizeof two, two, 0, nullptr, 0, nullptr));
  EXPECT_EQ("HY000/19", last_diag(&stmt_->diags));

  SQLRETURN rc = SQLSetPos(stmt_->driver_stmt, 1, SQL_UPDATE, SQL_LOCK_NO_CHANGE);
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << rc;
  SQLCloseCursor(stmt_->driver_stmt);
  EXPECT_EQ((std::vector<std::string>{"new"}), column_texts(dbc_->driver_dbc, "SELECT v FROM u"));
  EXPECT_EQ((std::vector<std::string>{"77"}), column_texts(dbc_->driver_dbc, "SELECT n FROM u"));
}

}  // namespace
}  // namespace kytest
