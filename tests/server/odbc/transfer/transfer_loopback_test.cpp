// The transfer procedures over a real RPC link on 127.0.0.1, called through
// the client stubs: a served connection as the worker sets it up, a rowset of
// three in one reply and a three-row parameter array in one call.
#include <cstring>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "served_link.h"
#include "packing.h"
#include "transfer_fixture.h"

namespace kytest {
namespace {

class TransferLoopback : public HandlersTest {
 protected:
  void SetUp() override {
    HandlersTest::SetUp();
    std::string why;
    client_ = server_.connect(&why);
    ASSERT_NE(client_, nullptr) << why;
    h_ = client_.get();
    char out[128];
    int32_t out_len = 0;
    ASSERT_NO_FATAL_FAILURE(connect_remote(h_, &dbc_, out, &out_len));
    ASSERT_EQ(remote_sql_alloc_handle(h_, 3, SQL_HANDLE_STMT, dbc_, &stmt_), SQL_SUCCESS);
  }
  int16_t exec(const std::string& sql) {
    return remote_sql_exec_direct(h_, stmt_, static_cast<int32_t>(sql.size() + 1), sql.c_str());
  }
  int16_t set_attr(int32_t attr, SQLLEN value) { return remote_sql_set_stmt_attr_integer(h_, stmt_, attr, value, 0); }
  // First column of every row of a query, as text.
  std::vector<std::string> texts(const std::string& sql) { return first_column_texts(h_, dbc_, sql); }

  ServedLink server_;
  ClientHandle client_;
  RpcHandle* h_ = nullptr;
  void* dbc_ = nullptr;
  void* stmt_ = nullptr;
};

TEST_F(TransferLoopback, RowsetOfThreeInOneReply) {
  ASSERT_EQ(exec("DROP TABLE IF EXISTS lr"), SQL_SUCCESS);
  ASSERT_EQ(exec("CREATE TABLE lr (i INTEGER, c VARCHAR(10), ts TIMESTAMP)"), SQL_SUCCESS);
  ASSERT_EQ(exec("INSERT INTO lr VALUES (1, 'one', '2026-01-02 03:04:05.5'), (2, NULL, '1999-12-31 23:59:59'), "
                 "(3, 'three', '2000-02-29 12:00:00')"),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_free_stmt(h_, stmt_, SQL_CLOSE), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_USE_BOOKMARKS, SQL_UB_VARIABLE), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_ROW_ARRAY_SIZE, 3), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_ROW_STATUS_PTR, 1), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_ROWS_FETCHED_PTR, 1), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_col(h_, stmt_, 0, SQL_C_VARBOOKMARK, 1, 8, 1), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_col(h_, stmt_, 1, SQL_C_LONG, 1, 4, 1), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_col(h_, stmt_, 2, SQL_C_CHAR, 1, 11, 1), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_col(h_, stmt_, 3, SQL_C_TYPE_TIMESTAMP, 1, 16, 1), SQL_SUCCESS);
  ASSERT_EQ(exec("SELECT i, c, ts FROM lr ORDER BY i"), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_fetch(h_, stmt_), SQL_SUCCESS);

  RowArray wv;
  wv.add(24, kSqlulenArray);
  wv.add(24, kBlock);
  wv.add(24, kSqlulenArray);
  wv.add(12, kInt32Array);
  wv.add(24, kSqlulenArray);
  wv.add(33, kBlock);
  wv.add(24, kSqlulenArray);
  wv.add(6, kInt16Array);
  wv.add(30, kInt16Array);
  wv.add(12, kInt32Array);
  ASSERT_EQ(remote_fetch_bound_colswv(h_, stmt_, wv.count(), wv.data()), SQL_SUCCESS);
  EXPECT_EQ(3, wv.at<int32_t>(3, 2));
  EXPECT_EQ(SQL_NULL_DATA, wv.at<SQLLEN>(4, 1));
  EXPECT_EQ("three", wv.text(5, 22));
  EXPECT_EQ(2026, wv.at<int16_t>(7, 0));
  EXPECT_EQ(59, wv.at<int16_t>(8, 9));
  EXPECT_EQ(500000000, wv.at<int32_t>(9, 0));
  // The client reads the field arrays back into structures with the same unit.
  SQL_TIMESTAMP_STRUCT ts[3];
  diag_header scratch{};
  ASSERT_EQ(0, unpack_timestamps(&scratch, ts, sizeof ts, 3, static_cast<int16_t*>(wv[7].iovec_base), wv[7].iovec_len,
                                 static_cast<int16_t*>(wv[8].iovec_base), wv[8].iovec_len,
                                 static_cast<int32_t*>(wv[9].iovec_base), wv[9].iovec_len));
  EXPECT_EQ(29, ts[2].day);

  SQLULEN rows = 0, params = 0;
  EXPECT_EQ(remote_fetch_rows_processed(h_, stmt_, &rows, &params), SQL_SUCCESS);
  EXPECT_EQ(3u, rows);
  int16_t status[3] = {9, 9, 9};
  int32_t sb = sizeof status;
  EXPECT_EQ(remote_fetch_row_status(h_, stmt_, &sb, status), SQL_SUCCESS);
  EXPECT_EQ(0, status[0] | status[1] | status[2]);
}

TEST_F(TransferLoopback, ParameterArrayInOneCall) {
  ASSERT_EQ(exec("DROP TABLE IF EXISTS lp"), SQL_SUCCESS);
  ASSERT_EQ(exec("CREATE TABLE lp (i INTEGER, v VARCHAR(20), d DOUBLE, dt DATE, ts TIMESTAMP)"), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_free_stmt(h_, stmt_, SQL_CLOSE), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_PARAMSET_SIZE, 3), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_PARAM_STATUS_PTR, 1), SQL_SUCCESS);
  ASSERT_EQ(set_attr(SQL_ATTR_PARAMS_PROCESSED_PTR, 1), SQL_SUCCESS);
  const std::string sql = "INSERT INTO lp VALUES (?,?,?,?,?)";
  ASSERT_EQ(remote_sql_prepare(h_, stmt_, static_cast<int32_t>(sql.size() + 1), sql.c_str(), SQL_NTS), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, stmt_, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, stmt_, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 20, 0, 21, 1),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, stmt_, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 1, 15, 0, 8, 1),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, stmt_, 4, SQL_PARAM_INPUT, SQL_C_TYPE_DATE, SQL_TYPE_DATE, 1, 10, 0, 6, 1),
            SQL_SUCCESS);
  ASSERT_EQ(remote_sql_bind_parameter(h_, stmt_, 5, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 1, 23, 3,
                                      16, 1),
            SQL_SUCCESS);

  RowArray wv;
  wv.add_lengths({4, 4, 4});
  wv.add_values(std::vector<int32_t>{7, 8, 9}, kBlock);
  wv.add_lengths({2, SQL_NULL_DATA, SQL_NTS});
  char text[63] = {};
  std::memcpy(text, "hi", 2);
  std::memcpy(text + 42, "there", 6);
  wv.add(text, sizeof text, kBlock);
  wv.add_lengths({8, 8, 8});
  wv.add_reals({0.25, 0.5, 0.75});
  const SQL_DATE_STRUCT dates[3] = {{-1, 1, 1}, {2024, 2, 29}, {9999, 12, 31}};
  wv.add_lengths({6, 6, 6});
  ASSERT_NO_FATAL_FAILURE(wv.add_dates(dates));
  const SQL_TIMESTAMP_STRUCT ts[3] = {{2026, 1, 1, 0, 0, 1, 0}, {2026, 1, 1, 0, 0, 2, 0}, {2026, 1, 1, 0, 0, 3, 0}};
  wv.add_lengths({16, 16, 16});
  ASSERT_NO_FATAL_FAILURE(wv.add_timestamps(ts));

  ASSERT_EQ(remote_synch_bound_paramswv(h_, stmt_, wv.count(), wv.data()), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_execute(h_, stmt_), SQL_SUCCESS);
  EXPECT_EQ(texts("SELECT i FROM lp ORDER BY i"), (std::vector<std::string>{"7", "8", "9"}));
  EXPECT_EQ(texts("SELECT v FROM lp ORDER BY i"), (std::vector<std::string>{"hi", "NULL", "there"}));
  EXPECT_EQ(texts("SELECT d FROM lp ORDER BY i"), (std::vector<std::string>{"0.25", "0.5", "0.75"}));
  EXPECT_EQ(texts("SELECT dt FROM lp ORDER BY i").at(1), "2024-02-29");

  SQLULEN rows = 0, params = 0;
  EXPECT_EQ(remote_fetch_rows_processed(h_, stmt_, &rows, &params), SQL_SUCCESS);
  EXPECT_EQ(3u, params);
  int16_t status[3] = {9, 9, 9};
  int32_t sb = sizeof status;
  EXPECT_EQ(remote_fetch_parameter_status(h_, stmt_, &sb, status), SQL_SUCCESS);
  // SQLite writes no status: the server's copy says so, never a success.
  for (int16_t s : status) EXPECT_EQ(s, SQL_PARAM_DIAG_UNAVAILABLE);

  // A value longer than the server's array is refused over the wire too.
  char big[400] = {};
  wv[5].iovec_base = big;
  wv[5].iovec_len = sizeof big;
  EXPECT_EQ(remote_synch_bound_paramswv(h_, stmt_, wv.count(), wv.data()), SQL_ERROR);
}

// A client may send an execution in the same send as its parameter values.
// When the values' transfer fails the execution right after it is refused:
// nothing runs, the answer is SQL_ERROR and the records are the transfer's.
// The mark goes with that execution, and with a close, a new prepare or
// values sent again; an execution whose text has no marker takes no values
// and is not held to it.
TEST_F(TransferLoopback, AnExecutionAfterValuesThatFailedIsRefused) {
  const std::string insert = "INSERT INTO lv VALUES (?)";
  // Text with SQL_NTS; the server's array holds 65 bytes: 100 do not fit.
  auto values = [](const std::string& text) {
    auto wv = std::make_unique<RowArray>();
    wv->add_lengths({SQL_NTS});
    wv->add(text.c_str(), text.size() + 1, kBlock);
    return wv;
  };
  const auto bad = values(std::string(100, 'x')), good = values("ab");
  auto records = [&] {
    std::string out;
    for (int16_t n = 1;; ++n) {
      char state[6] = {}, msg[512] = {};
      int32_t native = 0, msg_len = sizeof msg;
      int16_t text_len = 0;
      if (remote_sql_get_diag_rec(h_, SQL_HANDLE_STMT, stmt_, n, state, &native, &msg_len, msg, sizeof msg,
                                  &text_len) != SQL_SUCCESS)
        return out;
      out += std::string(state) + " " + std::to_string(native) + " " + msg + ";";
    }
  };
  auto execute = [&] { return remote_sql_execute(h_, stmt_); };
  auto direct = [&](const std::string& sql) {
    return remote_sql_exec_direct(h_, stmt_, static_cast<int32_t>(sql.size() + 1), sql.c_str());
  };
  auto send = [&](RowArray& wv) { return remote_synch_bound_paramswv(h_, stmt_, wv.count(), wv.data()); };
  struct Case {
    const char* what;
    std::function<int16_t()> failed_then_executed;  // from the bound statement to the execution's answer
    bool runs;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"the execution right after",
       [&] {
         EXPECT_EQ(send(*bad), SQL_ERROR);
         return execute();
       },
       false,
       {}},
      {"both in one send",
       [&] {
         ::kyproc::client::Queued<::kyproc::rows::synch_bound_paramswv> v(h_, stmt_, bad->count(), bad->data());
         ::kyproc::client::Queued<::kyproc::rows::sql_execute> e(h_, stmt_);
         EXPECT_EQ(v.take(), SQL_ERROR);
         return e.take();
       },
       false,
       {}},
      {"a direct execution with a marker",
       [&] {
         EXPECT_EQ(send(*bad), SQL_ERROR);
         return direct(insert);
       },
       false,
       {}},
      {"a direct execution without a marker",
       [&] {
         EXPECT_EQ(send(*bad), SQL_ERROR);
         return direct("INSERT INTO lv VALUES ('x')");
       },
       true,
       {"x"}},
      {"values sent again",
       [&] {
         EXPECT_EQ(send(*bad), SQL_ERROR);
         EXPECT_EQ(send(*good), SQL_SUCCESS);
         return execute();
       },
       true,
       {"ab"}},
      {"a close in between",
       [&] {
         EXPECT_EQ(send(*bad), SQL_ERROR);
         EXPECT_EQ(remote_sql_free_stmt(h_, stmt_, SQL_CLOSE), SQL_SUCCESS);
         return execute();
       },
       true,
       {""}},
      {"a new prepare in between",
       [&] {
         EXPECT_EQ(send(*bad), SQL_ERROR);
         const std::string other = "INSERT INTO lv VALUES ('p')";
         EXPECT_EQ(remote_sql_prepare(h_, stmt_, static_cast<int32_t>(other.size() + 1), other.c_str(), SQL_NTS),
                   SQL_SUCCESS);
         return execute();
       },
       true,
       {"p"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_EQ(exec("DROP TABLE IF EXISTS lv"), SQL_SUCCESS);
    ASSERT_EQ(exec("CREATE TABLE lv (v VARCHAR(10))"), SQL_SUCCESS);
    ASSERT_EQ(remote_sql_free_stmt(h_, stmt_, SQL_CLOSE), SQL_SUCCESS);
    ASSERT_EQ(remote_sql_prepare(h_, stmt_, static_cast<int32_t>(insert.size() + 1), insert.c_str(), SQL_NTS),
              SQL_SUCCESS);
    ASSERT_EQ(remote_sql_bind_parameter(h_, stmt_, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 10, 0, 4, 1),
              SQL_SUCCESS);
    // What the transfer alone leaves to read.
    ASSERT_EQ(send(*bad), SQL_ERROR);
    const std::string transfer = records();
    EXPECT_NE(transfer.find("HY000 35 "), std::string::npos) << transfer;
    EXPECT_EQ(remote_sql_free_stmt(h_, stmt_, SQL_CLOSE), SQL_SUCCESS);

    const int16_t rc = k.failed_then_executed();
    if (k.runs) {
      EXPECT_EQ(rc, SQL_SUCCESS) << records();
    } else {
      EXPECT_EQ(rc, SQL_ERROR);
      EXPECT_EQ(records(), transfer);
      // The refusal took the mark: the next execution runs with what the
      // server's arrays hold (the lengths arrived, the text did not).
      EXPECT_EQ(execute(), SQL_SUCCESS) << records();
    }
    std::vector<std::string> want = k.rows;
    if (!k.runs) want.push_back("");
    EXPECT_EQ(texts("SELECT v FROM lv"), want);
  }
}

// Any peer may call the typed column and parameter procedures, the ones no
// client of this system calls included: each takes good values and refuses
// sizes that do not match the server's arrays, numbers past them and a handle
// of another kind, over the wire, on arrays of three rows bound on SQLite.
class TypedTransfers : public TransferLoopback {
 protected:
  void SetUp() override {
    TransferLoopback::SetUp();
    ASSERT_EQ(set_attr(SQL_ATTR_ROW_ARRAY_SIZE, 3), SQL_SUCCESS);
    const struct {
      int16_t ctype;
      uint64_t size;
    } cols[] = {{SQL_C_SSHORT, 2},    {SQL_C_FLOAT, 4},     {SQL_C_DOUBLE, 8},
                {SQL_C_TYPE_DATE, 6}, {SQL_C_TYPE_TIME, 6}};
    // SQLite binds neither numeric nor interval columns: the checks of those
    // procedures are shown on the columns it has.
    for (int16_t c = 1; c <= 5; ++c)
      ASSERT_EQ(remote_sql_bind_col(h_, stmt_, c, cols[c - 1].ctype, 1, cols[c - 1].size, 1), SQL_SUCCESS)
          << c << " " << last_message(SQL_HANDLE_STMT, stmt_);
    ASSERT_EQ(remote_sql_alloc_handle(h_, 3, SQL_HANDLE_STMT, dbc_, &pstmt_), SQL_SUCCESS);
    ASSERT_EQ(remote_sql_set_stmt_attr_integer(h_, pstmt_, SQL_ATTR_PARAMSET_SIZE, 3, 0), SQL_SUCCESS);
    ASSERT_EQ(exec("DROP TABLE IF EXISTS tt"), SQL_SUCCESS);
    ASSERT_EQ(exec("CREATE TABLE tt (s SMALLINT, f REAL, d DOUBLE, iv TEXT)"), SQL_SUCCESS);
    const std::string sql = "INSERT INTO tt VALUES (?,?,?,?)";
    ASSERT_EQ(remote_sql_prepare(h_, pstmt_, static_cast<int32_t>(sql.size() + 1), sql.c_str(), SQL_NTS),
              SQL_SUCCESS);
    const struct {
      int16_t ctype, sqltype;
      uint64_t size;
    } params[] = {{SQL_C_SSHORT, SQL_SMALLINT, 2},
                  {SQL_C_FLOAT, SQL_REAL, 4},
                  {SQL_C_DOUBLE, SQL_DOUBLE, 8},
                  {SQL_C_INTERVAL_DAY_TO_SECOND, SQL_VARCHAR, sizeof(SQL_INTERVAL_STRUCT)}};
    for (int16_t p = 1; p <= 4; ++p)
      ASSERT_EQ(remote_sql_bind_parameter(h_, pstmt_, p, SQL_PARAM_INPUT, params[p - 1].ctype, params[p - 1].sqltype,
                                          1, 20, 0, params[p - 1].size, 1),
                SQL_SUCCESS)
          << p;
  }
  // The newest diagnostic of a server handle: "SQLSTATE message".
  std::string last_message(int16_t type, void* handle) {
    std::string last = "none";
    for (int16_t n = 1;; ++n) {
      char state[6] = {}, msg[512] = {};
      int32_t native = 0, msg_len = sizeof msg;
      int16_t text_len = 0;
      if (remote_sql_get_diag_rec(h_, type, handle, n, state, &native, &msg_len, msg, sizeof msg, &text_len) !=
          SQL_SUCCESS)
        return last;
      last = std::string(state) + " " + msg;
    }
  }
  void* pstmt_ = nullptr;
};

TEST_F(TypedTransfers, FromAnyPeer) {
  // Lengths and indicators of three rows, as every variant takes them.
  const SQLULEN oct[3] = {2, 2, 2};
  const SQLLEN ind[3] = {2, 2, 2};
  const int32_t ob = sizeof oct, ib = sizeof ind;
  SQLULEN oct_out[3] = {};
  SQLLEN ind_out[3] = {};
  int32_t ob_out = sizeof oct_out, ib_out = sizeof ind_out;

  const int16_t shorts[4] = {-7, 0, 32767, 5};
  const float floats[4] = {1.5f, -2.25f, 3.0e10f, 4.0f};
  const double doubles[4] = {0.125, -1.0e-300, 6.02214076e23, 8.0};
  const SQL_DATE_STRUCT dates[3] = {{-44, 3, 15}, {2024, 2, 29}, {9999, 12, 31}};
  const SQL_TIME_STRUCT times[4] = {{0, 0, 0}, {12, 30, 45}, {23, 59, 59}, {1, 1, 1}};
  SQL_INTERVAL_STRUCT intervals[3] = {};
  for (int k = 0; k < 3; ++k) {
    intervals[k].interval_type = SQL_IS_DAY_TO_SECOND;
    intervals[k].interval_sign = k == 1 ? SQL_TRUE : SQL_FALSE;
    intervals[k].intval.day_second = {SQLUINTEGER(k * 100), 23, 59, SQLUINTEGER(k), 0};
  }
  diag_header scratch{};
  int16_t* years = nullptr;
  int16_t* pairs = nullptr;
  int32_t yb = 0, pb = 0;
  ASSERT_EQ(0, pack_dates(&scratch, dates, sizeof dates, 3, &years, &yb, &pairs, &pb, 0));
  int16_t triples[12] = {};
  for (int k = 0; k < 4; ++k)
    triples[3 * k] = int16_t(times[k].hour), triples[3 * k + 1] = int16_t(times[k].minute),
                 triples[3 * k + 2] = int16_t(times[k].second);
  int32_t* stream = nullptr;
  int16_t* ipairs = nullptr;
  int32_t sb = 0, ipb = 0;
  ASSERT_EQ(0, pack_intervals(&scratch, intervals, sizeof intervals, 3, &stream, &sb, &ipairs, &ipb, 0));

  // The parameter arrays as a client sends them: lengths, indicators, values.
  RowArray params;
  params.add_lengths({2, 2, 2});
  params.add(shorts, 6, kInt16Array);
  params.add_lengths({4, 4, 4});
  params.add_reals({floats[0], floats[1], floats[2]});
  params.add_lengths({8, 8, 8});
  params.add_reals({doubles[0], doubles[1], doubles[2]});
  params.add_lengths({28, 28, 28});
  params.add(ipairs, static_cast<size_t>(ipb), kInt16Array);
  params.add(stream, static_cast<size_t>(sb), kInt32Array);

  int16_t got_shorts[4] = {};
  float got_floats[4] = {};
  double got_doubles[4] = {};
  char numerics[4 * 19] = {};
  int16_t dt_pairs[6] = {};
  int32_t dt_stream[15] = {};
  int32_t n = 0, n2 = 0;
  void* s = stmt_;
  void* p = pstmt_;
  void* dbc = dbc_;

  const struct Case {
    const char* name;
    std::function<int16_t()> call;
    int16_t rc;
    const char* message;  // part of the statement's newest diagnostic, when it fails
  } cases[] = {
      // Column values sent to the server.
      {"smallint values", [&] { return remote_synch_bound_colin_smallint(h_, s, 1, 6, shorts, ob, oct, ib, ind); },
       SQL_SUCCESS, ""},
      {"smallint, a byte count of no whole value",
       [&] { return remote_synch_bound_colin_smallint(h_, s, 1, 5, shorts, ob, oct, ib, ind); }, SQL_ERROR,
       "Column 1 inconsistency"},
      {"smallint, a value past the rows",
       [&] { return remote_synch_bound_colin_smallint(h_, s, 1, 8, shorts, ob, oct, ib, ind); }, SQL_ERROR,
       "Column 1 inconsistency. (Client provided 4, Server has 3)"},
      {"smallint, a column past the bound ones",
       [&] { return remote_synch_bound_colin_smallint(h_, s, 9, 6, shorts, ob, oct, ib, ind); }, SQL_ERROR,
       "Column 9 not bound"},
      {"smallint, a connection for a statement",
       [&] { return remote_synch_bound_colin_smallint(h_, dbc, 1, 6, shorts, ob, oct, ib, ind); },
       SQL_INVALID_HANDLE, ""},
      {"float values", [&] { return remote_synch_bound_colin_float(h_, s, 2, 3, floats, ob, oct, ib, ind); },
       SQL_SUCCESS, ""},
      {"float, a value past the rows",
       [&] { return remote_synch_bound_colin_float(h_, s, 2, 4, floats, ob, oct, ib, ind); }, SQL_ERROR,
       "Column 2 inconsistency. (Client provided 4, Server says 3)"},
      {"double values", [&] { return remote_synch_bound_colin_double(h_, s, 3, 3, doubles, ob, oct, ib, ind); },
       SQL_SUCCESS, ""},
      {"double into the smallint column's array",
       [&] { return remote_synch_bound_colin_double(h_, s, 1, 3, doubles, ob, oct, ib, ind); }, SQL_ERROR,
       "Column 1 inconsistency"},
      {"date values", [&] { return remote_synch_bound_colin_date(h_, s, 4, yb, years, pb, pairs, ob, oct, ib, ind); },
       SQL_SUCCESS, ""},
      {"date, more years than rows",
       [&] { return remote_synch_bound_colin_date(h_, s, 4, 8, shorts, pb, pairs, ob, oct, ib, ind); }, SQL_ERROR,
       "Column 4 inconsistency. (Client provided 4/3, Server has 3)"},
      {"time values", [&] { return remote_synch_bound_colin_time(h_, s, 5, 18, triples, ob, oct, ib, ind); },
       SQL_SUCCESS, ""},
      {"time, a value past the rows",
       [&] { return remote_synch_bound_colin_time(h_, s, 5, 24, triples, ob, oct, ib, ind); }, SQL_ERROR,
       "column 5 inconsistency. (Client provided 4, Server has 3)"},
      {"interval into the time column",
       [&] { return remote_synch_bound_colin_interval(h_, s, 5, sb, stream, ipb, ipairs, ob, oct, ib, ind); },
       SQL_ERROR, "Column 5 inconsistency. (Client provided 3/3, Server has 3)"},
      {"interval, a column past the bound ones",
       [&] { return remote_synch_bound_colin_interval(h_, s, 6, sb, stream, ipb, ipairs, ob, oct, ib, ind); },
       SQL_ERROR, "column 6 not bound"},
      {"interval, a statement that is a connection",
       [&] { return remote_synch_bound_colin_interval(h_, dbc, 5, sb, stream, ipb, ipairs, ob, oct, ib, ind); },
       SQL_INVALID_HANDLE, ""},
      // Bound columns read back.
      {"float column read back",
       [&] {
         n = 3;
         int16_t rc = stub<rows::fetch_bound_col_float>(h_, s, 2, &n, got_floats, &ob_out, oct_out, &ib_out, ind_out);
         EXPECT_EQ(n, 3);
         EXPECT_EQ(std::vector<float>(got_floats, got_floats + 3), std::vector<float>(floats, floats + 3));
         return rc;
       },
       SQL_SUCCESS, ""},
      {"double column read back",
       [&] {
         n = 3;
         int16_t rc =
             stub<rows::fetch_bound_col_double>(h_, s, 3, &n, got_doubles, &ob_out, oct_out, &ib_out, ind_out);
         EXPECT_EQ(n, 3);
         EXPECT_EQ(std::vector<double>(got_doubles, got_doubles + 3), std::vector<double>(doubles, doubles + 3));
         return rc;
       },
       SQL_SUCCESS, ""},
      {"double read from the float column",
       [&] {
         n = 3;
         return stub<rows::fetch_bound_col_double>(h_, s, 2, &n, got_doubles, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Implied ArraySize 3, expected 3 (fetch_bound_col_double)"},
      {"float, a column past the bound ones",
       [&] {
         n = 3;
         return stub<rows::fetch_bound_col_float>(h_, s, 40, &n, got_floats, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Column 40 not bound"},
      {"numeric, room for less than one record",
       [&] {
         n = 18;
         return stub<rows::fetch_bound_col_numeric>(h_, s, 3, &n, numerics, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Implied ArraySize 0, expected 1 (fetch_bound_col_numeric)"},
      {"numeric from the double column",
       [&] {
         n = 19;
         return stub<rows::fetch_bound_col_numeric>(h_, s, 3, &n, numerics, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Implied ArraySize 1, expected 1 (fetch_bound_col_numeric)"},
      {"numeric, a column past the bound ones",
       [&] {
         n = 19;
         return stub<rows::fetch_bound_col_numeric>(h_, s, 7, &n, numerics, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Column 7 "},
      {"numeric, a connection for a statement",
       [&] {
         n = 19;
         return stub<rows::fetch_bound_col_numeric>(h_, dbc, 3, &n, numerics, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_INVALID_HANDLE, ""},
      // Bound parameters: values in, then read back as output parameters are.
      {"parameter values",
       [&] { return remote_synch_bound_paramswv(h_, p, params.count(), params.data()); }, SQL_SUCCESS, ""},
      {"smallint parameters",
       [&] {
         n = 6;
         int16_t rc =
             remote_fetch_bound_param_smallint(h_, p, 1, &n, got_shorts, &ob_out, oct_out, &ib_out, ind_out);
         EXPECT_EQ(n, 6);
         EXPECT_EQ(std::vector<int16_t>(got_shorts, got_shorts + 3), std::vector<int16_t>(shorts, shorts + 3));
         return rc;
       },
       SQL_SUCCESS, ""},
      {"smallint parameters, room for two sets of three",
       [&] {
         n = 4;
         return remote_fetch_bound_param_smallint(h_, p, 1, &n, got_shorts, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Implied ArraySize 2, expected 3 (fetch_bound_param_smallint)"},
      {"smallint, a parameter past the bound ones",
       [&] {
         n = 6;
         return remote_fetch_bound_param_smallint(h_, p, 5, &n, got_shorts, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Parameter 5 not bound"},
      {"float parameters",
       [&] {
         n = 3;
         std::fill(got_floats, got_floats + 4, 0.0f);
         int16_t rc = remote_fetch_bound_param_float(h_, p, 2, &n, got_floats, &ob_out, oct_out, &ib_out, ind_out);
         EXPECT_EQ(n, 3);
         EXPECT_EQ(std::vector<float>(got_floats, got_floats + 3), std::vector<float>(floats, floats + 3));
         return rc;
       },
       SQL_SUCCESS, ""},
      {"float parameters, four asked",
       [&] {
         n = 4;
         return remote_fetch_bound_param_float(h_, p, 2, &n, got_floats, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Implied ArraySize 4, expected 3 (fetch_bound_param_float)"},
      {"double parameters",
       [&] {
         n = 3;
         std::fill(got_doubles, got_doubles + 4, 0.0);
         int16_t rc =
             remote_fetch_bound_param_double(h_, p, 3, &n, got_doubles, &ob_out, oct_out, &ib_out, ind_out);
         EXPECT_EQ(n, 3);
         EXPECT_EQ(std::vector<double>(got_doubles, got_doubles + 3), std::vector<double>(doubles, doubles + 3));
         return rc;
       },
       SQL_SUCCESS, ""},
      {"double read from the float parameter",
       [&] {
         n = 3;
         return remote_fetch_bound_param_double(h_, p, 2, &n, got_doubles, &ob_out, oct_out, &ib_out, ind_out);
       },
       SQL_ERROR, "Implied ArraySize 3, expected 3 (fetch_bound_param_double)"},
      {"interval parameters",
       [&] {
         n = sizeof dt_pairs, n2 = sizeof dt_stream;
         int16_t rc = remote_fetch_bound_param_dt_int(h_, p, 4, 0, 0, &n, dt_pairs, &n2, dt_stream, &ob_out, oct_out,
                                                      &ib_out, ind_out);
         EXPECT_EQ(n, ipb);
         EXPECT_EQ(n2, sb);
         EXPECT_EQ(std::vector<int16_t>(dt_pairs, dt_pairs + ipb / 2), std::vector<int16_t>(ipairs, ipairs + ipb / 2));
         EXPECT_EQ(std::vector<int32_t>(dt_stream, dt_stream + sb / 4), std::vector<int32_t>(stream, stream + sb / 4));
         return rc;
       },
       SQL_SUCCESS, ""},
      {"interval read from the smallint parameter",
       [&] {
         n = sizeof dt_pairs, n2 = sizeof dt_stream;
         return remote_fetch_bound_param_dt_int(h_, p, 1, 0, 0, &n, dt_pairs, &n2, dt_stream, &ob_out, oct_out,
                                                &ib_out, ind_out);
       },
       SQL_ERROR, "HY003"},
      {"interval, a parameter past the bound ones",
       [&] {
         n = sizeof dt_pairs, n2 = sizeof dt_stream;
         return remote_fetch_bound_param_dt_int(h_, p, 7, 0, 0, &n, dt_pairs, &n2, dt_stream, &ob_out, oct_out,
                                                &ib_out, ind_out);
       },
       SQL_ERROR, "Parameter 7 not bound"},
      {"interval, a connection for a statement",
       [&] {
         n = sizeof dt_pairs, n2 = sizeof dt_stream;
         return remote_fetch_bound_param_dt_int(h_, dbc, 4, 0, 0, &n, dt_pairs, &n2, dt_stream, &ob_out, oct_out,
                                                &ib_out, ind_out);
       },
       SQL_INVALID_HANDLE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ob_out = sizeof oct_out, ib_out = sizeof ind_out;
    EXPECT_EQ(c.call(), c.rc);
    if (c.rc == SQL_ERROR) {
      const bool on_parameters = std::string(c.name).find("parameter") != std::string::npos;
      std::string m = last_message(SQL_HANDLE_STMT, on_parameters ? p : s);
      EXPECT_NE(m.find(c.message), std::string::npos) << m;
    }
  }
  std::free(years);
  std::free(pairs);
  std::free(stream);
  std::free(ipairs);
}

}  // namespace
}  // namespace kytest
