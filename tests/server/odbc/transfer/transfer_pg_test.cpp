// What SQLite cannot show, against psqlODBC and a private PostgreSQL: exact
// numerics in both directions, output parameters fetched after an execution,
// typed data at execution for dates and timestamps, and the typed numeric and
// interval procedures with good values over a real RPC link.
#include <cmath>
#include <functional>

#include "packing.h"
#include "pg_fixture.h"
#include "served_link.h"
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

// The typed column and parameter procedures on the numeric and interval
// columns that SQLite does not bind (their refusals are shown on SQLite's
// columns): good values over a real RPC link on 127.0.0.1 through the client
// stubs, on arrays of three rows, read from the database, written into the
// server's arrays and read back, and sent as parameters that reach the table.
class PgTypedTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PgCluster::get().ok()) << PgCluster::get().error();
    std::string why;
    client_ = server_.connect(&why);
    ASSERT_NE(client_, nullptr) << why;
    h_ = client_.get();
    char out[128];
    int32_t out_len = 0;
    ASSERT_NO_FATAL_FAILURE(connect_remote(h_, &dbc_, out, &out_len, PgCluster::get().dsn_string()));
    ASSERT_EQ(remote_sql_alloc_handle(h_, 3, SQL_HANDLE_STMT, dbc_, &stmt_), SQL_SUCCESS);
    ASSERT_EQ(remote_sql_alloc_handle(h_, 3, SQL_HANDLE_STMT, dbc_, &pstmt_), SQL_SUCCESS);
  }
  int16_t exec(void* s, const std::string& sql) {
    return remote_sql_exec_direct(h_, s, static_cast<int32_t>(sql.size() + 1), sql.c_str());
  }
  // First column of every row of a query, as text.
  std::vector<std::string> texts(const std::string& sql) { return first_column_texts(h_, dbc_, sql); }

  ServedLink server_;
  ClientHandle client_;
  RpcHandle* h_ = nullptr;
  void* dbc_ = nullptr;
  void* stmt_ = nullptr;
  void* pstmt_ = nullptr;
};

// A numeric record: precision, scale, sign (1 positive), magnitude little-endian.
std::string numeric_record(uint8_t precision, int8_t scale, bool positive, uint64_t magnitude) {
  std::string rec(KY_NUMERIC_RECORD_BYTES, '\0');
  rec[0] = static_cast<char>(precision);
  rec[1] = static_cast<char>(scale);
  rec[2] = positive ? 1 : 0;
  for (int k = 0; k < 8; ++k) rec[3 + k] = static_cast<char>((magnitude >> (8 * k)) & 0xFF);
  return rec;
}

SQL_INTERVAL_STRUCT day_to_second(bool negative, SQLUINTEGER day, SQLUINTEGER hour, SQLUINTEGER minute,
                                  SQLUINTEGER second) {
  SQL_INTERVAL_STRUCT v{};
  v.interval_type = SQL_IS_DAY_TO_SECOND;
  v.interval_sign = negative ? SQL_TRUE : SQL_FALSE;
  v.intval.day_second = {day, hour, minute, second, 0};
  return v;
}

// "sign day hour:minute:second" of interval fields as fetch_bound_col_dt_int
// sends them: type and sign per row, then each field for every row in turn.
std::vector<std::string> interval_column_texts(const int16_t* types, const int16_t* signs, const int32_t* fields,
                                               int rows) {
  std::vector<std::string> out;
  for (int i = 0; i < rows; ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "%d %s%d %d:%d:%d", types[i], signs[i] ? "-" : "", fields[i], fields[rows + i],
                  fields[2 * rows + i], fields[3 * rows + i]);
    out.emplace_back(text);
  }
  return out;
}

TEST_F(PgTypedTransfers, NumericAndIntervalGoodValues) {
  ASSERT_TRUE(SQL_SUCCEEDED(exec(stmt_, "DROP TABLE IF EXISTS tv")));  // a notice when there is none
  ASSERT_EQ(exec(stmt_, "CREATE TABLE tv (k INTEGER, x NUMERIC(10,3), iv INTERVAL DAY TO SECOND)"), SQL_SUCCESS);
  ASSERT_EQ(exec(stmt_, "INSERT INTO tv VALUES (1, 1234.567, '1 day 02:03:04'), (2, -0.5, '-3 days'), "
                        "(3, 0, '7 days 00:00:05')"),
            SQL_SUCCESS);
  // psqlODBC reads an interval into the structure from the standard's text
  // ("1 2:03:04"), not from PostgreSQL's own.
  ASSERT_EQ(exec(stmt_, "SET intervalstyle = sql_standard"), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_free_stmt(h_, stmt_, SQL_CLOSE), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_set_stmt_attr_integer(h_, stmt_, SQL_ATTR_ROW_ARRAY_SIZE, 3, 0), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_col(h_, stmt_, 1, SQL_C_NUMERIC, 1, KY_NUMERIC_SIZE, 1), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_col(h_, stmt_, 2, SQL_C_INTERVAL_DAY_TO_SECOND, 1, KY_INTERVAL_SIZE, 1), SQL_SUCCESS);
  ASSERT_EQ(exec(stmt_, "SELECT x, iv FROM tv ORDER BY k"), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_fetch(h_, stmt_), SQL_SUCCESS);

  // The parameter statement: three rows of key, numeric and interval.
  ASSERT_EQ(remote_sql_set_stmt_attr_integer(h_, pstmt_, SQL_ATTR_PARAMSET_SIZE, 3, 0), SQL_SUCCESS);
  const std::string insert = "INSERT INTO tv VALUES (?, ?, ?)";
  ASSERT_EQ(remote_sql_prepare(h_, pstmt_, static_cast<int32_t>(insert.size() + 1), insert.c_str(), SQL_NTS),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, pstmt_, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, pstmt_, 2, SQL_PARAM_INPUT, SQL_C_NUMERIC, SQL_NUMERIC, 1, 10, 0,
                                      KY_NUMERIC_SIZE, 1),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, pstmt_, 3, SQL_PARAM_INPUT, SQL_C_INTERVAL_DAY_TO_SECOND,
                                      SQL_INTERVAL_DAY_TO_SECOND, 1, 20, 0, KY_INTERVAL_SIZE, 1),
            SQL_SUCCESS);

  // Values of the client's: three numerics (whole numbers, so the scale the
  // driver takes makes no difference) and three intervals.
  const std::string records = numeric_record(10, 0, true, 7654321) + numeric_record(10, 0, false, 42) +
                              numeric_record(10, 0, true, 0);
  const SQL_INTERVAL_STRUCT intervals[3] = {day_to_second(false, 2, 3, 4, 5), day_to_second(true, 0, 0, 0, 9),
                                            day_to_second(false, 100, 23, 59, 59)};
  diag_header scratch{};
  int32_t* stream = nullptr;
  int16_t* pairs = nullptr;
  int32_t sb = 0, pb = 0;
  ASSERT_EQ(0, pack_intervals(&scratch, intervals, sizeof intervals, 3, &stream, &sb, &pairs, &pb, 0));
  RowArray params;
  params.add_lengths({4, 4, 4});
  params.add_values(std::vector<int32_t>{11, 12, 13}, kBlock);
  params.add_lengths({KY_NUMERIC_SIZE, KY_NUMERIC_SIZE, KY_NUMERIC_SIZE});
  params.add(records.data(), records.size(), kBlock);
  params.add_lengths({KY_INTERVAL_SIZE, KY_INTERVAL_SIZE, KY_INTERVAL_SIZE});
  params.add(pairs, static_cast<size_t>(pb), kInt16Array);
  params.add(stream, static_cast<size_t>(sb), kInt32Array);

  const SQLULEN oct[3] = {KY_NUMERIC_SIZE, KY_NUMERIC_SIZE, KY_NUMERIC_SIZE};
  const SQLLEN ind[3] = {KY_NUMERIC_SIZE, KY_NUMERIC_SIZE, KY_NUMERIC_SIZE};
  const int32_t ob = sizeof oct, ib = sizeof ind;
  SQLULEN oct_out[3] = {};
  SQLLEN ind_out[3] = {};
  int32_t ob_out = sizeof oct_out, ib_out = sizeof ind_out;
  char numeric[KY_NUMERIC_RECORD_BYTES * 3] = {};
  int16_t types[3] = {}, signs[3] = {};
  int32_t fields[15] = {};
  int16_t got_pairs[6] = {};
  int32_t got_stream[15] = {};
  int32_t n = 0, n2 = 0, n3 = 0;
  auto read_numeric = [&] {
    n = KY_NUMERIC_RECORD_BYTES;
    return stub<rows::fetch_bound_col_numeric>(h_, stmt_, 1, &n, numeric, &ob_out, oct_out, &ib_out, ind_out);
  };
  auto read_intervals = [&] {
    n = sizeof types, n2 = sizeof signs, n3 = sizeof fields;
    return stub<rows::fetch_bound_col_dt_int>(h_, stmt_, 2, 0, 0, &n, types, &n2, signs, &n3, fields, &ob_out,
                                              oct_out, &ib_out, ind_out);
  };

  const struct Case {
    const char* name;
    std::function<int16_t()> call;
    std::function<void()> check;
  } cases[] = {
      // Bound columns as the driver filled them.
      {"numeric column read", read_numeric,
       [&] {
         EXPECT_EQ(n, KY_NUMERIC_RECORD_BYTES);
         auto* rec = reinterpret_cast<const unsigned char*>(numeric);
         EXPECT_EQ(1, rec[2]);
         EXPECT_NEAR(1234.567, numeric_value(rec), 1.0);
       }},
      {"interval column read", read_intervals,
       [&] {
         EXPECT_EQ(n, 6);
         EXPECT_EQ(n2, 6);
         EXPECT_EQ(n3, 60);
         EXPECT_EQ(interval_column_texts(types, signs, fields, 3),
                   (std::vector<std::string>{"10 1 2:3:4", "10 -3 0:0:0", "10 7 0:0:5"}));
       }},
      // Values sent into the bound columns' arrays, then read back.
      {"numeric values sent",
       [&] {
         return remote_synch_bound_colin_numeric(h_, stmt_, 1, static_cast<int32_t>(records.size()),
                                                 const_cast<char*>(records.data()), ob, oct, ib, ind);
       },
       [] {}},
      {"numeric values read back", read_numeric,
       [&] { EXPECT_EQ(std::string(numeric, KY_NUMERIC_RECORD_BYTES), records.substr(0, KY_NUMERIC_RECORD_BYTES)); }},
      {"interval values sent",
       [&] { return remote_synch_bound_colin_interval(h_, stmt_, 2, sb, stream, pb, pairs, ob, oct, ib, ind); },
       [] {}},
      {"interval values read back", read_intervals,
       [&] {
         EXPECT_EQ(interval_column_texts(types, signs, fields, 3),
                   (std::vector<std::string>{"10 2 3:4:5", "10 -0 0:0:9", "10 100 23:59:59"}));
       }},
      // Parameters: values in, read back as output parameters are, then executed.
      {"parameter values",
       [&] { return remote_synch_bound_paramswv(h_, pstmt_, params.count(), params.data()); }, [] {}},
      {"numeric parameters",
       [&] {
         n = sizeof numeric;
         return remote_fetch_bound_param_numeric(h_, pstmt_, 2, &n, numeric, &ob_out, oct_out, &ib_out, ind_out);
       },
       [&] {
         EXPECT_EQ(n, 3 * KY_NUMERIC_RECORD_BYTES);
         EXPECT_EQ(std::string(numeric, sizeof numeric), records);
       }},
      {"interval parameters",
       [&] {
         n = sizeof got_pairs, n2 = sizeof got_stream;
         return remote_fetch_bound_param_dt_int(h_, pstmt_, 3, 0, 0, &n, got_pairs, &n2, got_stream, &ob_out,
                                                oct_out, &ib_out, ind_out);
       },
       [&] {
         EXPECT_EQ(n, pb);
         EXPECT_EQ(n2, sb);
         EXPECT_EQ(std::vector<int16_t>(got_pairs, got_pairs + pb / 2), std::vector<int16_t>(pairs, pairs + pb / 2));
         EXPECT_EQ(std::vector<int32_t>(got_stream, got_stream + sb / 4),
                   std::vector<int32_t>(stream, stream + sb / 4));
       }},
      {"parameters executed", [&] { return remote_sql_execute(h_, pstmt_); },
       [&] {
         EXPECT_EQ(texts("SELECT x FROM tv WHERE k > 10 ORDER BY k"),
                   (std::vector<std::string>{"7654321.000", "-42.000", "0.000"}));
         EXPECT_EQ(texts("SELECT iv FROM tv WHERE k > 10 ORDER BY k"),
                   (std::vector<std::string>{"2 3:04:05", "-0:00:09", "100 23:59:59"}));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ob_out = sizeof oct_out, ib_out = sizeof ind_out;
    ASSERT_EQ(c.call(), SQL_SUCCESS);
    c.check();
  }
  std::free(stream);
  std::free(pairs);
}

}  // namespace
}  // namespace kytest
