// Typed data retrieval and sending against SQLite: values split into the
// field layouts and rebuilt for data at execution.
#include "transfer_fixture.h"

namespace kytest {
namespace {

class TypedDataTest : public TransferTest {};

TEST_F(TypedDataTest, GetDataSplitsStructures) {
  exec_sql("DROP TABLE IF EXISTS g");
  exec_sql("CREATE TABLE g (i INTEGER, d DOUBLE, dt DATE, ts TIMESTAMP, s SMALLINT)");
  exec_sql("INSERT INTO g VALUES (42, 2.5, '2026-12-10', '1999-12-31 23:59:58.125', -7)");
  query("SELECT i, d, dt, ts, s FROM g");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));

  int32_t i = 0;
  SQLLEN ind = 0;
  ASSERT_EQ(SQL_SUCCESS, get_data_long(stmt_, 1, SQL_C_LONG, &i, &ind));
  EXPECT_EQ(42, i);
  EXPECT_EQ(4, ind);
  double d = 0;
  ASSERT_EQ(SQL_SUCCESS, get_data_double(stmt_, 2, SQL_C_DOUBLE, &d, &ind));
  EXPECT_EQ(2.5, d);
  int16_t year = 0, pair[2] = {};
  ASSERT_EQ(SQL_SUCCESS, get_data_date(stmt_, 3, SQL_C_TYPE_DATE, &year, pair, &ind));
  EXPECT_EQ(2026, year);
  EXPECT_EQ(12, pair[0]);
  EXPECT_EQ(10, pair[1]);
  int16_t quint[5] = {};
  int32_t fraction = 0;
  ASSERT_EQ(SQL_SUCCESS, get_data_timestamp(stmt_, 4, SQL_C_TYPE_TIMESTAMP, &year, quint, &fraction, &ind));
  EXPECT_EQ(1999, year);
  EXPECT_EQ((std::vector<int16_t>{12, 31, 23, 59, 58}), std::vector<int16_t>(quint, quint + 5));
  EXPECT_EQ(125000000, fraction);
  int16_t s = 0;
  ASSERT_EQ(SQL_SUCCESS, get_data_short(stmt_, 5, SQL_C_SHORT, &s, &ind));
  EXPECT_EQ(-7, s);
  // Another family's type is refused before the driver writes anything.
  int16_t triple[3] = {1, 1, 1};
  EXPECT_EQ(SQL_ERROR, get_data_time(stmt_, 4, SQL_C_TYPE_TIMESTAMP, triple, &ind));
  EXPECT_EQ("HY003/0", last_diag(&stmt_->diags));
  EXPECT_EQ(1, triple[0]);
}

TEST_F(TypedDataTest, PutDataAtExecution) {
  exec_sql("DROP TABLE IF EXISTS pd");
  exec_sql("CREATE TABLE pd (i INTEGER, d DOUBLE)");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(stmt_->driver_stmt, (SQLCHAR*)"INSERT INTO pd VALUES (?,?)", SQL_NTS)));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 1, 15, 0, 8, 1));
  apd()->records[1].octet_length_array[0] = SQL_DATA_AT_EXEC;
  apd()->records[2].octet_length_array[0] = SQL_LEN_DATA_AT_EXEC(0);
  ASSERT_EQ(SQL_NEED_DATA, SQLExecute(stmt_->driver_stmt));
  SQLPOINTER token = nullptr;
  ASSERT_EQ(SQL_NEED_DATA, SQLParamData(stmt_->driver_stmt, &token));
  EXPECT_EQ(apd()->records[1].data, token);  // the token is the server's own buffer
  EXPECT_EQ(SQL_ERROR, put_data_integer(stmt_, 42, 5));
  ASSERT_EQ(SQL_SUCCESS, put_data_integer(stmt_, 42, 4));
  ASSERT_EQ(SQL_NEED_DATA, SQLParamData(stmt_->driver_stmt, &token));
  ASSERT_EQ(SQL_SUCCESS, put_data_double(stmt_, -0.5, 8));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLParamData(stmt_->driver_stmt, &token)));
  EXPECT_EQ((std::vector<std::string>{"42"}), column_texts(dbc_->driver_dbc, "SELECT i FROM pd"));
  EXPECT_EQ((std::vector<std::string>{"-0.5"}), column_texts(dbc_->driver_dbc, "SELECT d FROM pd"));
}

}  // namespace
}  // namespace kytest
