// What SQLite cannot show, against psqlODBC and a private PostgreSQL: exact
// numerics in both directions, output parameters fetched after an execution,
// and typed data at execution for dates and timestamps.
#include <cmath>

#include "packing.h"
#include "pg_fixture.h"
#include "transfer_fixture.h"

namespace kytest {
namespace {

// Value of a numeric record: magnitude (little-endian) / 10^scale, signed.
double numeric_value(const unsigned char* rec) {
  double mag = 0;
  for (int i = 15; i >= 0; --i) mag = mag * 256 + rec[3 + i];
  double v = mag / std::pow(10.0, static_cast<signed char>(rec[1]));
  return rec[2] == 1 ? v : -v;
}

// The driver's first diagnostic, for failure messages.
std::string driver_error(SQLHSTMT h) {
  SQLCHAR state[6] = {}, msg[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLGetDiagRec(SQL_HANDLE_STMT, h, 1, state, &native, msg, sizeof msg, &len);
  return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(msg);
}

class PgTransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PgCluster::get().ok()) << PgCluster::get().error();
    env_ = link_.env();
    ASSERT_NE(nullptr, env_);
    dbc_ = link_.dbc(env_);
    ASSERT_NE(nullptr, dbc_);
    std::string cs = PgCluster::get().dsn_string();
    SQLRETURN rc = SQLDriverConnect(dbc_->driver_dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0, nullptr,
                                    SQL_DRIVER_NOPROMPT);
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << "connect to the test cluster failed";
    dbc_->connected = 1;
    stmt_ = link_.stmt(dbc_);
    ASSERT_NE(nullptr, stmt_);
  }
  void exec_sql(const std::string& sql) { exec_on(dbc_, sql); }
  descriptor_t* apd() { return stmt_->current_desc[DESC_APD]; }

  Link link_;
  environment_t* env_ = nullptr;
  connection_t* dbc_ = nullptr;
  statement_t* stmt_ = nullptr;
};

TEST_F(PgTransferTest, NumericsBothWays) {
  exec_sql("DROP TABLE IF EXISTS num");
  exec_sql("CREATE TABLE num (k INTEGER, x NUMERIC(10,3))");
  exec_sql("INSERT INTO num VALUES (1, 1234.567), (2, -0.5)");

  // A rowset of two numerics in one call.
  set_rowset(stmt_, 2);
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_NUMERIC, 1, 19, 1));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt_->driver_stmt, (SQLCHAR*)"SELECT x FROM num ORDER BY k", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));
  stmt_->fetch_kind = FETCH_PLAIN;
  RowArray wv;
  wv.add(0, 0);
  wv.add(0, 0);
  wv.add(16, kSqlulenArray);
  wv.add(38, kBlock);
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_colswv(stmt_, wv.count(), wv.data()));
  ASSERT_EQ(38, wv[3].iovec_len);
  auto* recs = static_cast<const unsigned char*>(wv[3].iovec_base);
  EXPECT_NEAR(1234.567, numeric_value(recs), 1.0);
  EXPECT_EQ(1, recs[2]);
  EXPECT_EQ(0, recs[19 + 2]);  // negative
  EXPECT_NEAR(-0.5, numeric_value(recs + 19), 1.0);
  SQLCloseCursor(stmt_->driver_stmt);

  // One value through the typed get-data procedure.
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_NUMERIC, 0, 0, 0));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt_->driver_stmt, (SQLCHAR*)"SELECT x FROM num WHERE k = 1", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));
  char rec[19] = {};
  int32_t n = sizeof rec;
  SQLLEN ind = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(get_data_numeric(stmt_, 1, SQL_C_NUMERIC, &n, rec, &ind)));
  EXPECT_EQ(19, n);
  EXPECT_NEAR(1234.567, numeric_value(reinterpret_cast<unsigned char*>(rec)), 1.0);
  SQLCloseCursor(stmt_->driver_stmt);

  // A numeric sent at execution keeps its scale.
  ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(stmt_->driver_stmt, (SQLCHAR*)"INSERT INTO num VALUES (3, ?)", SQL_NTS)));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_NUMERIC, SQL_NUMERIC, 1, 10, 3, 19, 1));
  apd()->records[1].octet_length_array[0] = SQL_DATA_AT_EXEC;
  // psqlODBC takes precision and scale of a numeric from the application record.
  SQLHDESC apd_driver = nullptr;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetStmtAttr(stmt_->driver_stmt, SQL_ATTR_APP_PARAM_DESC, &apd_driver, 0, nullptr)));
  SQLSetDescField(apd_driver, 1, SQL_DESC_PRECISION, reinterpret_cast<SQLPOINTER>(10), 0);
  SQLSetDescField(apd_driver, 1, SQL_DESC_SCALE, reinterpret_cast<SQLPOINTER>(3), 0);
  SQLSetDescField(apd_driver, 1, SQL_DESC_DATA_PTR, apd()->records[1].data, 0);
  ASSERT_EQ(SQL_NEED_DATA, SQLExecute(stmt_->driver_stmt));
  SQLPOINTER token = nullptr;
  ASSERT_EQ(SQL_NEED_DATA, SQLParamData(stmt_->driver_stmt, &token));
  unsigned char value[19] = {10, 3, 1};
  const uint32_t mag = 7654321;  // 7654.321
  std::memcpy(value + 3, &mag, sizeof mag);
  ASSERT_TRUE(SQL_SUCCEEDED(put_data_numeric(stmt_, sizeof value, reinterpret_cast<char*>(value), 19)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLParamData(stmt_->driver_stmt, &token)));
  EXPECT_EQ((std::vector<std::string>{"7654.321"}), column_texts(dbc_->driver_dbc, "SELECT x FROM num WHERE k = 3"));
}

TEST_F(PgTransferTest, OutputParametersAfterExecution) {
  exec_sql("CREATE OR REPLACE FUNCTION twice(a integer) RETURNS integer AS 'SELECT a * 2' LANGUAGE sql");
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_OUTPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1));
  // The output parameter takes no elements; the input one its three.
  RowArray wv;
  wv.add_lengths({4});
  wv.add_values(std::vector<int32_t>{21}, kBlock);
  ASSERT_EQ(SQL_SUCCESS, synch_bound_paramswv(stmt_, wv.count(), wv.data()));
  // psqlODBC learns a call's output parameters from the bindings in place when it prepares.
  SQLRETURN rc = SQLExecDirect(stmt_->driver_stmt, (SQLCHAR*)"{? = call twice(?)}", SQL_NTS);
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << driver_error(stmt_->driver_stmt);
  while (SQLMoreResults(stmt_->driver_stmt) == SQL_SUCCESS) {
  }
  int32_t out[1] = {};
  int32_t bytes = sizeof out;
  SQLLEN ind[1] = {};
  int32_t ib = sizeof ind;
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_param_integer(stmt_, 1, &bytes, out, nullptr, nullptr, &ib, ind));
  EXPECT_EQ(42, out[0]);
  EXPECT_EQ(4, bytes);
  EXPECT_EQ(8, ib);

  // Character output: the value's length plus its terminator travels.
  SQLFreeStmt(stmt_->driver_stmt, SQL_CLOSE);
  exec_sql("CREATE OR REPLACE FUNCTION greet(a varchar) RETURNS varchar AS $$SELECT 'hi ' || a$$ LANGUAGE sql");
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 20, 0, 21, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 20, 0, 21, 1));
  RowArray in;
  in.add_lengths({SQL_NTS});
  in.add("bob", 4, kBlock);
  ASSERT_EQ(SQL_SUCCESS, synch_bound_paramswv(stmt_, in.count(), in.data()));
  rc = SQLExecDirect(stmt_->driver_stmt, (SQLCHAR*)"{? = call greet(?)}", SQL_NTS);
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << driver_error(stmt_->driver_stmt);
  while (SQLMoreResults(stmt_->driver_stmt) == SQL_SUCCESS) {
  }
  char text[21] = {};
  int32_t tl = sizeof text;
  ib = sizeof ind;
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_param(stmt_, 1, &tl, text, nullptr, nullptr, &ib, ind));
  EXPECT_STREQ("hi bob", text);
  EXPECT_EQ(6, ind[0]);
  EXPECT_EQ(7, tl);
}

TEST_F(PgTransferTest, DateAndTimestampAtExecution) {
  exec_sql("DROP TABLE IF EXISTS stamp");
  exec_sql("CREATE TABLE stamp (d DATE, ts TIMESTAMP(6))");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(stmt_->driver_stmt, (SQLCHAR*)"INSERT INTO stamp VALUES (?, ?)", SQL_NTS)));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 1, 10, 0, 6, 1));
  ASSERT_EQ(SQL_SUCCESS,
            sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 1, 26, 6, 16, 1));
  apd()->records[1].octet_length_array[0] = SQL_DATA_AT_EXEC;
  apd()->records[2].octet_length_array[0] = SQL_DATA_AT_EXEC;
  ASSERT_EQ(SQL_NEED_DATA, SQLExecute(stmt_->driver_stmt));
  SQLPOINTER token = nullptr;
  ASSERT_EQ(SQL_NEED_DATA, SQLParamData(stmt_->driver_stmt, &token));
  int16_t pair[2] = {2, 29};
  ASSERT_TRUE(SQL_SUCCEEDED(put_data_date(stmt_, 2024, pair, 6)));
  ASSERT_EQ(SQL_NEED_DATA, SQLParamData(stmt_->driver_stmt, &token));
  int16_t quint[5] = {12, 10, 14, 30, 15};
  ASSERT_TRUE(SQL_SUCCEEDED(put_data_timestamp(stmt_, 2026, quint, 123456000, 16)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLParamData(stmt_->driver_stmt, &token)));
  EXPECT_EQ((std::vector<std::string>{"2024-02-29"}), column_texts(dbc_->driver_dbc, "SELECT d FROM stamp"));
  EXPECT_EQ((std::vector<std::string>{"2026-12-10 14:30:15.123456"}),
            column_texts(dbc_->driver_dbc, "SELECT ts FROM stamp"));
}

}  // namespace
}  // namespace kytest
