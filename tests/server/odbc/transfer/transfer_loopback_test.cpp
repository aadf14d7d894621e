// The transfer procedures over a real RPC link on 127.0.0.1, called through
// the client stubs: a served connection as the worker sets it up, a rowset of
// three in one reply and a three-row parameter array in one call.
#include <cstring>

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
  std::vector<std::string> texts(const std::string& sql) {
    std::vector<std::string> rows;
    void* s = nullptr;
    if (remote_sql_alloc_handle(h_, 3, SQL_HANDLE_STMT, dbc_, &s) != SQL_SUCCESS) return rows;
    if (remote_sql_exec_direct(h_, s, static_cast<int32_t>(sql.size() + 1), sql.c_str()) == SQL_SUCCESS) {
      while (remote_sql_fetch(h_, s) == SQL_SUCCESS) {
        char text[64] = {};
        int32_t len = sizeof text;
        SQLLEN ind = 0;
        remote_sql_get_data(h_, s, 1, SQL_C_CHAR, &len, text, sizeof text, &ind);
        rows.emplace_back(ind == SQL_NULL_DATA ? "NULL" : text);
      }
    }
    remote_sql_free_handle(h_, SQL_HANDLE_STMT, s);
    return rows;
  }

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

}  // namespace
}  // namespace kytest
