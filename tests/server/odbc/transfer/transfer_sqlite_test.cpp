// Binding, block transfer, status arrays, typed data and column metadata on
// the server's handlers, against unixODBC and the SQLite ODBC driver.
#include "transfer_fixture.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "packing.h"
#include "trace_log.h"

namespace kytest {
namespace {

// With KYTEST_TRACE_ALL set, the whole suite runs again with every trace bit
// on, into a log file of its own: every trace line's arguments are exercised.
class TraceEverything : public ::testing::Environment {
 public:
  void SetUp() override {
    if (getenv("KYTEST_TRACE_ALL") == nullptr) return;
    char tmpl[] = "/tmp/kyvek-trace-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    set_log_file((dir_ + "/kyvekserver.log").c_str());
    set_trace_mask(0xFFFFFFFFu);
  }
  void TearDown() override {
    if (dir_.empty()) return;
    set_trace_mask(0);
    close_log();
    std::ifstream log(dir_ + "/kyvekserver.log");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    if (text.find("fetch_bound_colswv(") == std::string::npos) ADD_FAILURE() << "no trace written";
    std::filesystem::remove_all(dir_);
  }

 private:
  std::string dir_;
};
::testing::Environment* const kTraceEverything = ::testing::AddGlobalTestEnvironment(new TraceEverything);

class BlockTransferTest : public TransferTest {};

// A rowset of 3 with a bookmark, int, char and timestamp arrives in one call,
// with a NULL indicator and the timestamp fields.
TEST_F(BlockTransferTest, RowsetOfThreeInOneCall) {
  exec_sql("DROP TABLE IF EXISTS r");
  exec_sql("CREATE TABLE r (i INTEGER, c VARCHAR(10), ts TIMESTAMP)");
  exec_sql("INSERT INTO r VALUES (1, 'one', '2026-01-02 03:04:05.250')");
  exec_sql("INSERT INTO r VALUES (2, NULL, '1999-12-31 23:59:59')");
  exec_sql("INSERT INTO r VALUES (3, 'three', '2000-02-29 12:00:00')");
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLSetStmtAttr(stmt_->driver_stmt, SQL_ATTR_USE_BOOKMARKS, reinterpret_cast<SQLPOINTER>(SQL_UB_VARIABLE), 0)));
  set_rowset(stmt_, 3);
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 0, SQL_C_VARBOOKMARK, 1, 8, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_LONG, 1, 4, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 2, SQL_C_CHAR, 1, 11, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_TYPE_TIMESTAMP, 1, 16, 1));
  EXPECT_EQ(3, ard()->record_count);
  query("SELECT i, c, ts FROM r ORDER BY i");
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));
  stmt_->fetch_kind = FETCH_PLAIN;

  RowArray wv;
  wv.add(24, kSqlulenArray);  // 0: bookmark lengths (one array with the indicators)
  wv.add(24, kBlock);         // 1: bookmarks
  wv.add(24, kSqlulenArray);  // 2: int lengths
  wv.add(12, kBlock);         // 3: ints
  wv.add(24, kSqlulenArray);  // 4: char lengths
  wv.add(33, kBlock);         // 5: chars at the buffer-length stride
  wv.add(24, kSqlulenArray);  // 6: timestamp lengths
  wv.add(6, kInt16Array);     // 7: years
  wv.add(30, kInt16Array);    // 8: month..second quintuples
  wv.add(12, kInt32Array);    // 9: fractions
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_colswv(stmt_, wv.count(), wv.data()));

  EXPECT_EQ(24, wv[0].iovec_len);
  EXPECT_GT(wv.at<SQLLEN>(0, 0), 0);
  EXPECT_EQ(24, wv[1].iovec_len);
  EXPECT_EQ((std::vector<int32_t>{1, 2, 3}),
            (std::vector<int32_t>{wv.at<int32_t>(3, 0), wv.at<int32_t>(3, 1), wv.at<int32_t>(3, 2)}));
  EXPECT_EQ(3, wv.at<SQLLEN>(4, 0));
  EXPECT_EQ(SQL_NULL_DATA, wv.at<SQLLEN>(4, 1));
  EXPECT_EQ("one", wv.text(5, 0));
  EXPECT_EQ("three", wv.text(5, 22));
  EXPECT_EQ(2026, wv.at<int16_t>(7, 0));
  EXPECT_EQ(1999, wv.at<int16_t>(7, 1));
  // Quintuple of row 2: 12-31 23:59:59; row 1's fraction 0.25 s.
  EXPECT_EQ((std::vector<int16_t>{12, 31, 23, 59, 59}),
            (std::vector<int16_t>{wv.at<int16_t>(8, 5), wv.at<int16_t>(8, 6), wv.at<int16_t>(8, 7),
                                  wv.at<int16_t>(8, 8), wv.at<int16_t>(8, 9)}));
  EXPECT_EQ(250000000, wv.at<int32_t>(9, 0));
  EXPECT_EQ(30, wv[8].iovec_len);

  // Status arrays of the same fetch.
  SQLULEN rows = 0, params = 99;
  EXPECT_EQ(SQL_SUCCESS, fetch_rows_processed(stmt_, &rows, &params));
  EXPECT_EQ(3u, rows);
  EXPECT_EQ(99u, params);  // no parameter counter: left alone
  int16_t status[3] = {9, 9, 9};
  int32_t sb = 6;
  EXPECT_EQ(SQL_SUCCESS, fetch_row_status(stmt_, &sb, status));
  EXPECT_EQ(0, status[0] | status[1] | status[2]);
  sb = 4;
  EXPECT_EQ(SQL_ERROR, fetch_row_status(stmt_, &sb, status));
  EXPECT_EQ("HY000/24", last_diag(&stmt_->diags));
}

// A 3-row parameter array with int, varchar (one NULL), double, date and
// timestamp inserts the rows, with statuses and the processed count.
TEST_F(BlockTransferTest, ParameterArrayOfThreeInserts) {
  exec_sql("DROP TABLE IF EXISTS p");
  exec_sql("CREATE TABLE p (i INTEGER, v VARCHAR(20), d DOUBLE, dt DATE, ts TIMESTAMP)");
  set_paramset(stmt_, 3);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(stmt_->driver_stmt, (SQLCHAR*)"INSERT INTO p VALUES (?,?,?,?,?)", SQL_NTS)));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 20, 0, 21, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 1, 15, 0, 8, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 4, SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 1, 10, 0, 6, 1));
  ASSERT_EQ(SQL_SUCCESS,
            sql_bind_parameter(stmt_, 5, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 1, 23, 3, 16, 1));
  EXPECT_EQ(5, apd()->record_count);

  RowArray wv;
  wv.add_lengths({4, 4, 4});
  wv.add_values(std::vector<int32_t>{10, 20, 30}, kBlock);

  wv.add_lengths({3, SQL_NULL_DATA, SQL_NTS});
  char text[63] = {};
  std::memcpy(text, "abc", 3);
  std::memcpy(text + 42, "seven", 6);
  wv.add(text, sizeof text, kBlock);

  wv.add_lengths({8, 8, 8});
  wv.add_reals({1.5, -2.25, 1e10});

  const SQL_DATE_STRUCT dates[3] = {{2026, 12, 10}, {1970, 1, 1}, {2000, 2, 29}};
  wv.add_lengths({6, 6, 6});
  ASSERT_NO_FATAL_FAILURE(wv.add_dates(dates));

  const SQL_TIMESTAMP_STRUCT ts[3] = {
      {2026, 12, 10, 12, 55, 1, 0}, {1999, 1, 2, 3, 4, 5, 0}, {2001, 9, 9, 1, 46, 40, 0}};
  wv.add_lengths({16, 16, 16});
  ASSERT_NO_FATAL_FAILURE(wv.add_timestamps(ts));  // quintuples first on this path

  ASSERT_EQ(SQL_SUCCESS, synch_bound_paramswv(stmt_, wv.count(), wv.data())) << last_diag(&stmt_->diags);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecute(stmt_->driver_stmt)));

  EXPECT_EQ((std::vector<std::string>{"10", "20", "30"}), column_texts(dbc_->driver_dbc, "SELECT i FROM p ORDER BY i"));
  EXPECT_EQ((std::vector<std::string>{"abc", "NULL", "seven"}),
            column_texts(dbc_->driver_dbc, "SELECT v FROM p ORDER BY i"));
  EXPECT_EQ((std::vector<std::string>{"1.5", "-2.25", "10000000000.0"}),
            column_texts(dbc_->driver_dbc, "SELECT d FROM p ORDER BY i"));
  EXPECT_EQ((std::vector<std::string>{"2026-12-10", "1970-01-01", "2000-02-29"}),
            column_texts(dbc_->driver_dbc, "SELECT dt FROM p ORDER BY i"));
  auto stamps = column_texts(dbc_->driver_dbc, "SELECT ts FROM p ORDER BY i");
  ASSERT_EQ(3u, stamps.size());
  EXPECT_EQ(0u, stamps[1].find("1999-01-02 03:04:05"));

  SQLULEN rows = 0, params = 0;
  EXPECT_EQ(SQL_SUCCESS, fetch_rows_processed(stmt_, &rows, &params));
  EXPECT_EQ(3u, params);
  int16_t status[3] = {9, 9, 9};
  int32_t sb = 6;
  EXPECT_EQ(SQL_SUCCESS, fetch_parameter_status(stmt_, &sb, status));
  EXPECT_EQ((std::vector<int16_t>{SQL_PARAM_SUCCESS, SQL_PARAM_SUCCESS, SQL_PARAM_SUCCESS}),
            std::vector<int16_t>(status, status + 3));
}

// A single-row fetch sends varying-length data at its own length: nothing for
// NULL, the text and its terminator otherwise; a decimal column bound as
// SQL_C_DEFAULT travels as text in one element.
TEST_F(BlockTransferTest, SingleRowLengthsAndDefaultType) {
  exec_sql("DROP TABLE IF EXISTS s1");
  exec_sql("CREATE TABLE s1 (c VARCHAR(10), n DECIMAL(10,2), b VARCHAR(10))");
  exec_sql("INSERT INTO s1 VALUES (NULL, 12.5, 'abc')");
  set_rowset(stmt_, 1);
  query("SELECT c, n, b FROM s1");
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_CHAR, 1, 11, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 2, SQL_C_DEFAULT, 1, 20, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_CHAR, 1, 11, 1));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));
  stmt_->fetch_kind = FETCH_PLAIN;
  RowArray wv;
  wv.add(0, 0);  // unbound bookmark: two empty elements
  wv.add(0, 0);
  wv.add(8, kSqlulenArray);
  wv.add(11, kBlock);
  wv.add(8, kSqlulenArray);
  wv.add(20, kBlock);
  wv.add(8, kSqlulenArray);
  wv.add(11, kBlock);
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_colswv(stmt_, wv.count(), wv.data()));
  EXPECT_EQ(0, wv[0].iovec_len);
  EXPECT_EQ(0, wv[1].iovec_len);
  EXPECT_EQ(SQL_NULL_DATA, wv.at<SQLLEN>(2, 0));
  EXPECT_EQ(0, wv[3].iovec_len);
  EXPECT_EQ("12.5", wv.text(5, 0).substr(0, 4));
  EXPECT_EQ(static_cast<int32_t>(wv.text(5, 0).size() + 1), wv[5].iovec_len);
  EXPECT_EQ(4, wv[7].iovec_len);
  EXPECT_EQ("abc", wv.text(7, 0));
  // The per-column procedure follows the same rule.
  char data[11];
  int32_t dl = sizeof data;
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_col(stmt_, 3, &dl, data, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(4, dl);
}

// Intervals (which neither test driver fetches) from records filled as a
// fetch leaves them: year-month values as pairs and a word stream, day-time
// values as raw structures.
TEST_F(BlockTransferTest, IntervalColumnsByKind) {
  set_rowset(stmt_, 2);
  auto fill = [&](int col, int16_t ctype, const SQL_INTERVAL_STRUCT(&v)[2]) {
    descriptor_record_t* rec = veks_expand_desc_recs(ard(), col);
    ASSERT_NE(nullptr, rec);
    rec->concise_type = ctype;
    rec->octet_length = sizeof(SQL_INTERVAL_STRUCT);
    rec->data = calloc(2, sizeof(SQL_INTERVAL_STRUCT));
    std::memcpy(rec->data, v, sizeof v);
    rec->data_alloc_len = sizeof v;
    rec->element_size = sizeof(SQL_INTERVAL_STRUCT);
    rec->octet_length_array = static_cast<SQLLEN*>(calloc(2, sizeof(SQLLEN)));
    rec->indicator = rec->octet_length_array;
    rec->row_capacity = 2;
    ard()->record_count = static_cast<int16_t>(col);
  };
  SQL_INTERVAL_STRUCT ym[2] = {};
  ym[0].interval_type = SQL_IS_YEAR_TO_MONTH;
  ym[0].intval.year_month = {5, 7};
  ym[1].interval_type = SQL_IS_YEAR_TO_MONTH;
  ym[1].interval_sign = SQL_TRUE;
  ym[1].intval.year_month = {1, 2};
  SQL_INTERVAL_STRUCT ds[2] = {};
  ds[0].interval_type = SQL_IS_DAY_TO_SECOND;
  ds[0].intval.day_second = {1, 2, 3, 4, 5};
  ds[1] = ds[0];
  fill(1, SQL_C_INTERVAL_YEAR_TO_MONTH, ym);
  fill(2, SQL_C_INTERVAL_DAY_TO_SECOND, ds);
  stmt_->fetch_kind = FETCH_PLAIN;
  RowArray wv;
  wv.add(0, 0);
  wv.add(0, 0);
  wv.add(16, kSqlulenArray);
  wv.add(8, kInt16Array);   // pairs
  wv.add(40, kInt32Array);  // stream, 20 bytes per row
  wv.add(16, kSqlulenArray);
  wv.add(56, kBlock);  // raw structures
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_colswv(stmt_, wv.count(), wv.data()));
  EXPECT_EQ((std::vector<int16_t>{7, 0, 7, 1}), (std::vector<int16_t>{wv.at<int16_t>(3, 0), wv.at<int16_t>(3, 1),
                                                                      wv.at<int16_t>(3, 2), wv.at<int16_t>(3, 3)}));
  EXPECT_EQ((std::vector<int32_t>{5, 7, 1, 2, 0}),
            (std::vector<int32_t>{wv.at<int32_t>(4, 0), wv.at<int32_t>(4, 1), wv.at<int32_t>(4, 2),
                                  wv.at<int32_t>(4, 3), wv.at<int32_t>(4, 4)}));
  EXPECT_EQ(56, wv[6].iovec_len);
  EXPECT_EQ(0, std::memcmp(wv[6].iovec_base, ds, sizeof ds));
  // The per-column interval procedure lays the words out in planes of rows.
  int16_t a[2], b[2];
  int32_t c[4];
  int32_t ab = sizeof a, bb = sizeof b, cb = sizeof c;
  ASSERT_EQ(SQL_SUCCESS,
            fetch_bound_col_dt_int(stmt_, 1, 0, 0, &ab, a, &bb, b, &cb, c, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ((std::vector<int32_t>{5, 1, 7, 2}), std::vector<int32_t>(c, c + 4));
  EXPECT_EQ(1, b[1]);
}

// Binding sizes the server's arrays and keeps the descriptor count.
TEST_F(BlockTransferTest, BindingSizesAndCounts) {
  set_rowset(stmt_, 20);
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_LONG, 1, 4, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 2, SQL_C_CHAR, 1, 10, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_TYPE_TIMESTAMP, 1, 0, 1));
  EXPECT_EQ(3, ard()->record_count);
  EXPECT_EQ(11u * 20, ard()->records[2].data_alloc_len);
  EXPECT_EQ(20u, ard()->records[2].row_capacity);
  EXPECT_EQ(16u * 20, ard()->records[3].data_alloc_len);
  EXPECT_EQ(ard()->records[2].indicator, ard()->records[2].octet_length_array);
  // Unbinding the last column drops the count; unbinding a middle one keeps it.
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_TYPE_TIMESTAMP, 0, 0, 0));
  EXPECT_EQ(2, ard()->record_count);
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_TYPE_TIMESTAMP, 1, 0, 1));
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 2, SQL_C_CHAR, 0, 0, 0));
  EXPECT_EQ(3, ard()->record_count);
  EXPECT_EQ(nullptr, ard()->records[2].data);

  // A column bound as SQL_C_DEFAULT over a timestamp gets room for the structure.
  exec_sql("DROP TABLE IF EXISTS dflt");
  exec_sql("CREATE TABLE dflt (ts TIMESTAMP)");
  query("SELECT ts FROM dflt");
  ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_DEFAULT, 1, 2, 1));
  EXPECT_GE(ard()->records[1].data_alloc_len, 16u * 20);
  SQLCloseCursor(stmt_->driver_stmt);

  // Parameters: column size 4, buffer length 0 sizes from 64; -1 binds as SQLSetParam did.
  ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 1, 4, 0, 0, 1));
  EXPECT_EQ(65u, apd()->records[1].data_alloc_len);
  ASSERT_EQ(SQL_SUCCESS,
            sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 1, 4, 0, static_cast<SQLULEN>(-1), 1));
  EXPECT_EQ(0, apd()->records[2].octet_length);
  EXPECT_EQ(SQL_PARAM_INPUT_OUTPUT, desc_of(stmt_, DESC_IPD)->records[2].parameter_type);

  struct Refusal {
    const char* name;
    std::function<int16_t()> call;
    const char* state;
  };
  statement_t* s = stmt_;
  const Refusal refusals[] = {
      {"parameter 0", [&] { return sql_bind_parameter(s, 0, 1, SQL_C_LONG, SQL_INTEGER, 1, 4, 0, 4, 1); }, "07009/0"},
      {"parameter 40000",
       [&] { return sql_bind_parameter(s, static_cast<int16_t>(40000), 1, SQL_C_LONG, SQL_INTEGER, 1, 4, 0, 4, 1); },
       "07009/0"},
      {"io type 3", [&] { return sql_bind_parameter(s, 1, 3, SQL_C_LONG, SQL_INTEGER, 1, 4, 0, 4, 1); }, "HY105/0"},
      {"nothing wanted", [&] { return sql_bind_parameter(s, 1, 1, SQL_C_LONG, SQL_INTEGER, 0, 4, 0, 4, 0); },
       "HY009/0"},
      {"C type 1234", [&] { return sql_bind_parameter(s, 1, 1, 1234, SQL_INTEGER, 1, 4, 0, 4, 1); }, "HY003/0"},
      {"SQL type 1234", [&] { return sql_bind_parameter(s, 1, 1, SQL_C_LONG, 1234, 1, 4, 0, 4, 1); }, "HY004/0"},
      {"negative buffer length",
       [&] { return sql_bind_parameter(s, 1, 1, SQL_C_CHAR, SQL_CHAR, 1, 4, 0, static_cast<SQLULEN>(-7), 1); },
       "HY090/0"},
      {"rows x size past the cap",
       [&] {
         apd()->array_size = 1u << 30;
         int16_t rc = sql_bind_parameter(s, 3, 1, SQL_C_CHAR, SQL_CHAR, 1, 4000, 0, 4000, 1);
         apd()->array_size = 1;
         return rc;
       },
       "HY001/0"},
      {"column 33000", [&] { return sql_bind_col(s, static_cast<int16_t>(33000), SQL_C_LONG, 1, 4, 1); }, "07009/0"},
      {"column C type 1234", [&] { return sql_bind_col(s, 1, 1234, 1, 4, 1); }, "HY003/0"},
      {"char column length 0", [&] { return sql_bind_col(s, 1, SQL_C_CHAR, 1, 0, 1); }, "HY090/0"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(SQL_ERROR, r.call());
    EXPECT_EQ(r.state, last_diag(&stmt_->diags));
  }
  EXPECT_EQ(SQL_ERROR, sql_bind_parameter(stmt_, 1, 3, SQL_C_LONG, SQL_INTEGER, 1, 4, 0, 4, 1));
  const error_record* r = diag_record(&stmt_->diags, 1);
  ASSERT_NE(nullptr, r);
  EXPECT_STREQ("ODBC 3.0", r->subclass_origin);
  EXPECT_EQ(SQL_INVALID_HANDLE, sql_bind_col(reinterpret_cast<void*>(0x1234), 1, SQL_C_LONG, 1, 4, 1));
}

}  // namespace
}  // namespace kytest
