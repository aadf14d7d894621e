// Undersized, oversized and out-of-range input from a peer, on real bound
// arrays: every call is refused with its diagnostic or cut to the server's
// arrays, and nothing is read or written past a buffer (the suite runs under
// AddressSanitizer).
#include <cstdlib>
#include <functional>
#include <string>

#include "packing.h"
#include "trace_capture.h"
#include "transfer_fixture.h"

namespace kytest {
namespace {

struct Case {
  const char* name;
  std::function<int16_t()> call;
  int16_t rc;
  const char* state;  // last diagnostic after the call, or "none"
};

void run(statement_t* stmt, const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    clear_errors(&stmt->diags);
    EXPECT_EQ(c.rc, c.call());
    EXPECT_EQ(c.state, stmt->diags.record_count == 0 ? std::string("none") : last_diag(&stmt->diags));
  }
}

class AbuseTest : public TransferTest {
 protected:
  void SetUp() override {
    TransferTest::SetUp();
    exec_sql("DROP TABLE IF EXISTS a");
    exec_sql("CREATE TABLE a (i INTEGER, c VARCHAR(10), ts TIMESTAMP)");
    exec_sql("INSERT INTO a VALUES (1, 'one', '2026-01-02 03:04:05'), (2, 'two', NULL), (3, NULL, NULL)");
    set_rowset(stmt_, 3);
    ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 1, SQL_C_LONG, 1, 4, 1));
    ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 2, SQL_C_CHAR, 1, 11, 1));
    ASSERT_EQ(SQL_SUCCESS, sql_bind_col(stmt_, 3, SQL_C_TYPE_TIMESTAMP, 1, 16, 1));
    query("SELECT i, c, ts FROM a ORDER BY i");
    ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt_->driver_stmt)));
    stmt_->fetch_kind = FETCH_PLAIN;
  }
  // The row array a client sends for the unbound bookmark and the three
  // columns, with one element resized.
  RowArray rowset(int resize = -1, size_t bytes = 0) {
    const size_t sizes[] = {0, 0, 24, 12, 24, 33, 24, 6, 30, 12};
    const int32_t kinds[] = {0,           0,           kSqlulenArray, kBlock, kSqlulenArray, kBlock, kSqlulenArray,
                             kInt16Array, kInt16Array, kInt32Array};
    RowArray wv;
    for (int i = 0; i < 10; ++i) wv.add(i == resize ? bytes : sizes[i], kinds[i]);
    return wv;
  }
  descriptor_record_t& col(int n) { return ard()->records[n]; }
};

TEST_F(AbuseTest, BoundColumnsFromThePeer) {
  void* s = stmt_;
  RowArray keep;
  std::vector<Case> cases = {
      {"timestamp years element one row short",
       [&] {
         keep = rowset(7, 4);
         return fetch_bound_colswv(s, keep.count(), keep.data());
       },
       SQL_ERROR, "HY000/7"},
      {"length element of one row is cut, not overrun",
       [&] {
         keep = rowset(2, 8);
         int16_t rc = fetch_bound_colswv(s, keep.count(), keep.data());
         EXPECT_EQ(8, keep[2].iovec_len);
         return rc;
       },
       SQL_SUCCESS, "none"},
      {"char element larger than the server's array sends the array",
       [&] {
         keep = rowset(5, 500);
         int16_t rc = fetch_bound_colswv(s, keep.count(), keep.data());
         EXPECT_EQ(36, keep[5].iovec_len);  // 3 rows of 11 bytes, allocated with a terminator each
         return rc;
       },
       SQL_SUCCESS, "none"},
      {"count ending inside a column",
       [&] {
         keep = rowset();
         return fetch_bound_colswv(s, 5, keep.data());
       },
       SQL_SUCCESS, "none"},
      {"integer column with one row too many",
       [&] {
         int32_t out[4] = {}, bytes = sizeof out;
         return fetch_bound_col_integer(s, 1, &bytes, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"integer column read as smallint",
       [&] {
         int16_t out[3] = {};
         int32_t bytes = sizeof out;
         return fetch_bound_col_smallint(s, 1, &bytes, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"column beyond the count",
       [&] {
         char out[8];
         int32_t n = 8;
         return fetch_bound_col(s, 7, &n, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/11"},
      {"column number 65535",
       [&] {
         char out[8];
         int32_t n = 8;
         return fetch_bound_col(s, -1, &n, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/11"},
      {"dt column with short plane array",
       [&] {
         int16_t a[3], b[10];
         int32_t c[3];
         int32_t ab = 6, bb = 20, cb = 12;
         return fetch_bound_col_dt(s, 3, 0, 0, &ab, a, &bb, b, &cb, c, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"lengths of four rows into three",
       [&] {
         SQLULEN oct[4] = {};
         return copyin_col_strlen_and_ind(stmt_, 1, sizeof oct, oct, 0, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"integers of four rows into three",
       [&] {
         int32_t v[4] = {7, 7, 7, 7};
         return synch_bound_colin_integer(s, 1, sizeof v, v, 0, nullptr, 0, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"char data past the array",
       [&] {
         char v[37] = {};
         return synch_bound_colin(s, 2, sizeof v, v, 0, nullptr, 0, nullptr);
       },
       SQL_ERROR, "HY000/35"},
      {"octet length past the row",
       [&] {
         SQLULEN oct[3] = {500, 1, 1};
         return synch_bound_colin(s, 2, 0, nullptr, sizeof oct, oct, 0, nullptr);
       },
       SQL_ERROR, "HY090/0"},
      {"unknown negative length code",
       [&] {
         SQLLEN ind[3] = {-42, 1, 1};
         return synch_bound_colin(s, 2, 0, nullptr, 0, nullptr, sizeof ind, ind);
       },
       SQL_ERROR, "HY090/0"},
      {"SQL_NTS over a row without a terminator",
       [&] {
         char v[33];
         std::memset(v, 'x', sizeof v);
         SQLULEN oct[3] = {static_cast<SQLULEN>(SQL_NTS), 1, 1};
         int16_t rc = synch_bound_colin(s, 2, sizeof v, v, sizeof oct, oct, 0, nullptr);
         EXPECT_EQ(0, col(2).octet_length_array[0]);
         return rc;
       },
       SQL_ERROR, "HY090/0"},
      {"timestamps of two rows",
       [&] {
         int16_t q[10] = {}, y[2] = {};
         int32_t f[2] = {};
         return synch_bound_colin_timestamp(s, 3, sizeof q, q, sizeof y, y, sizeof f, f, 0, nullptr, 0, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"numeric records into an integer column's array",
       [&] {
         char rec[19] = {};
         return synch_bound_colin_numeric(s, 1, sizeof rec, rec, 0, nullptr, 0, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"row operations without an operation array",
       [&] {
         int16_t ops[2] = {};
         return synch_row_operations_array(s, sizeof ops, ops);
       },
       SQL_ERROR, "HY000/13"},
      {"bookmark without a buffer",
       [&] {
         char b[4] = {};
         return synch_bookmark(s, sizeof b, b);
       },
       SQL_ERROR, "HY000/19"},
      {"timestamp read through the short handler",
       [&] {
         int16_t v = 0;
         SQLLEN ind = 0;
         return get_data_short(s, 3, SQL_C_TYPE_TIMESTAMP, &v, &ind);
       },
       SQL_ERROR, "HY003/0"},
      {"numeric into a short block",
       [&] {
         char rec[8];
         int32_t n = 8;
         SQLLEN ind = 0;
         return get_data_numeric(s, 1, SQL_C_NUMERIC, &n, rec, &ind);
       },
       SQL_ERROR, "HY090/0"},
      {"names buffer smaller than the columns",
       [&] {
         char names[2];
         int16_t t[3], d[3], nl[3];
         int32_t z[3];
         int32_t nb = 2, tb = 6, zb = 12, db = 6, lb = 6;
         return describe_col_all(s, 3, &nb, names, &tb, t, &zb, z, &db, d, &lb, nl);
       },
       SQL_ERROR, "HY000/38"},
      {"zero columns asked",
       [&] {
         char names[8];
         int16_t t[3], d[3], nl[3];
         int32_t z[3];
         int32_t nb = 8, tb = 6, zb = 12, db = 6, lb = 6;
         return describe_col_all(s, 0, &nb, names, &tb, t, &zb, z, &db, d, &lb, nl);
       },
       SQL_ERROR, "HY000/37"},
      {"attribute texts longer than the buffer",
       [&] {
         int16_t ids[2] = {SQL_COLUMN_NAME, SQL_COLUMN_TYPE_NAME};
         int16_t cols = 0;
         char texts[10];
         int32_t n = 10;
         return static_cast<int16_t>(get_attributes_all(s, sizeof ids, ids, &cols, &n, texts));
       },
       SQL_ERROR, "HY000/38"},
  };
  run(stmt_, cases);
}

TEST_F(AbuseTest, StatusArraysAndBookmarkExactSizes) {
  // The row operation array as the attribute handler keeps it (SQLite does not take one).
  ard()->status_array = static_cast<uint16_t*>(calloc(3, sizeof(uint16_t)));
  ard()->status_count = 3;
  int16_t ops[4] = {SQL_ROW_IGNORE, 7, SQL_ROW_PROCEED, 9};
  EXPECT_EQ(SQL_ERROR, synch_row_operations_array(stmt_, 8, ops));
  EXPECT_EQ("HY000/25", last_diag(&stmt_->diags));
  EXPECT_EQ(0, ard()->status_array[1]);
  EXPECT_EQ(SQL_SUCCESS, synch_row_operations_array(stmt_, 6, ops));
  EXPECT_EQ(7, ard()->status_array[1]);

  // The bookmark buffer holds 8 bytes; the connection allows 16.
  stmt_->bookmark_buf = calloc(1, 8);
  stmt_->bookmark_size = 8;
  dbc_->max_bookmark_size = 16;
  char bm[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  EXPECT_EQ(SQL_ERROR, synch_bookmark(stmt_, 9, bm));
  EXPECT_EQ(SQL_SUCCESS, synch_bookmark(stmt_, 8, bm));
  EXPECT_EQ(0, std::memcmp(stmt_->bookmark_buf, bm, 8));

  // Exactly the row capacity is taken; one more leaves the array unchanged.
  int32_t v[3] = {10, 20, 30};
  EXPECT_EQ(SQL_SUCCESS, synch_bound_colin_integer(stmt_, 1, sizeof v, v, 0, nullptr, 0, nullptr));
  EXPECT_EQ(20, static_cast<int32_t*>(col(1).data)[1]);

  // Names are cut to their slot of the names buffer.
  char names[12];
  int16_t t[3], d[3], nl[3];
  int32_t z[3];
  int32_t nb = 12, tb = 6, zb = 12, db = 6, lb = 6;
  ASSERT_EQ(SQL_SUCCESS, describe_col_all(stmt_, 3, &nb, names, &tb, t, &zb, z, &db, d, &lb, nl));
  EXPECT_EQ(std::string("i\0c\0ts", 6), std::string(names, 6));
  EXPECT_EQ(8, nb);
  EXPECT_EQ(SQL_INTEGER, t[0]);

  // SQLite has no bookmark column here: its type comes back as SQL_VARBINARY.
  int16_t types[8] = {};
  int32_t types_b = sizeof types;
  ASSERT_EQ(SQL_SUCCESS, get_all_col_types(stmt_, &types_b, types));
  EXPECT_EQ(8, types_b);
  EXPECT_EQ(SQL_VARBINARY, types[0]);
  EXPECT_EQ(SQL_INTEGER, types[1]);

  int16_t ids[2] = {SQL_COLUMN_NAME, SQL_COLUMN_LENGTH};
  int16_t cols = 0;
  char texts[64] = {};
  int32_t tl = sizeof texts;
  ASSERT_EQ(SQL_SUCCESS, get_attributes_all(stmt_, sizeof ids, ids, &cols, &tl, texts));
  EXPECT_EQ(3, cols);
  EXPECT_EQ("i", std::string(texts));
  ids[1] = 8;  // SQL_COLUMN_UNSIGNED is not served
  EXPECT_EQ(SQL_ERROR, get_attributes_all(stmt_, sizeof ids, ids, &cols, &tl, texts));

  // After an extended fetch of 2 rows the row status is that fetch's array,
  // whatever the ARD's array size; after a plain fetch the IRD's again.
  descriptor_t* ird = desc_of(stmt_, DESC_IRD);
  ird->ext_status_array = static_cast<uint16_t*>(calloc(2, sizeof(uint16_t)));
  ird->ext_status_array[1] = SQL_ROW_DELETED;
  ird->ext_status_count = 2;
  ard()->ext_rowset_size = 2;
  stmt_->fetch_kind = FETCH_EXTENDED;
  int16_t st[3] = {};
  int32_t sb = 6;
  EXPECT_EQ(SQL_ERROR, fetch_row_status(stmt_, &sb, st));
  sb = 4;
  EXPECT_EQ(SQL_SUCCESS, fetch_row_status(stmt_, &sb, st));
  EXPECT_EQ(SQL_ROW_DELETED, st[1]);
  stmt_->fetch_kind = FETCH_PLAIN;
  sb = 6;
  EXPECT_EQ(SQL_SUCCESS, fetch_row_status(stmt_, &sb, st));
  // A size the array was not made for is refused, not read past.
  ard()->ext_rowset_size = 5;
  stmt_->fetch_kind = FETCH_EXTENDED;
  sb = 10;
  int16_t five[5] = {};
  EXPECT_EQ(SQL_ERROR, fetch_row_status(stmt_, &sb, five));
  stmt_->fetch_kind = FETCH_PLAIN;
}

class ParamAbuseTest : public TransferTest {
 protected:
  void SetUp() override {
    TransferTest::SetUp();
    exec_sql("DROP TABLE IF EXISTS pa");
    exec_sql("CREATE TABLE pa (i INTEGER, v VARCHAR(8), d DOUBLE, ts TIMESTAMP)");
    set_paramset(stmt_, 3);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLPrepare(stmt_->driver_stmt, (SQLCHAR*)"INSERT INTO pa VALUES (?,?,?,?)", SQL_NTS)));
    ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 1, 10, 0, 4, 1));
    ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 8, 0, 9, 1));
    ASSERT_EQ(SQL_SUCCESS, sql_bind_parameter(stmt_, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 1, 15, 0, 8, 1));
    ASSERT_EQ(SQL_SUCCESS,
              sql_bind_parameter(stmt_, 4, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 1, 19, 0, 16, 1));
  }
  // The elements of the four parameters, with element `resize` given `bytes`.
  RowArray params(int resize = -1, size_t bytes = 0) {
    const std::vector<SQLLEN> lens = {4, 4, 4};
    RowArray wv;
    auto add = [&](size_t n, int32_t kind) {
      int i = wv.count();
      wv.add(i == resize ? bytes : n, kind);
    };
    for (int p = 0; p < 4; ++p) {
      add(24, kSqlulenArray);
      add(24, kSqllenArray);
      int i = wv.count() - 2;
      if (i != resize) std::memcpy(wv[i].iovec_base, lens.data(), 24);
      if (i + 1 != resize) std::memcpy(wv[i + 1].iovec_base, lens.data(), 24);
      if (p == 0) add(12, kBlock);
      if (p == 1) add(27, kBlock);
      if (p == 2) {
        add(120, kDoubleArray);
        for (int k = 0; k < 3 && wv[wv.count() - 1].iovec_len >= (k + 1) * 40; ++k)
          std::snprintf(static_cast<char*>(wv[wv.count() - 1].iovec_base) + 40 * k, 40, "%30.15e", 1.0 + k);
      }
      if (p == 3) {
        add(30, kInt16Array);
        add(6, kInt16Array);
        add(12, kInt32Array);
      }
    }
    return wv;
  }
};

TEST_F(ParamAbuseTest, BoundParametersFromThePeer) {
  void* s = stmt_;
  RowArray keep;
  const std::vector<Case> cases = {
      {"well formed",
       [&] {
         keep = params();
         return synch_bound_paramswv(s, keep.count(), keep.data());
       },
       SQL_SUCCESS, "none"},
      {"char data longer than the array",
       [&] {
         keep = params(5, 9 * 3 + 200);
         return synch_bound_paramswv(s, keep.count(), keep.data());
       },
       SQL_ERROR, "HY000/35"},
      {"one element left over",
       [&] {
         keep = params();
         keep.add(4, kBlock);
         return synch_bound_paramswv(s, keep.count(), keep.data());
       },
       SQL_ERROR, "HY000/39"},
      {"count ends after a parameter's lengths",
       [&] {
         keep = params();
         return synch_bound_paramswv(s, 2, keep.data());
       },
       SQL_SUCCESS, "none"},
      {"octet lengths of two rows",
       [&] {
         keep = params(0, 16);
         return synch_bound_paramswv(s, keep.count(), keep.data());
       },
       SQL_ERROR, "HY000/19"},
      {"number texts for two rows",
       [&] {
         keep = params(8, 80);
         return synch_bound_paramswv(s, keep.count(), keep.data());
       },
       SQL_ERROR, "HY000/35"},
      {"timestamp quintuples one row short",
       [&] {
         keep = params(11, 20);
         return synch_bound_paramswv(s, keep.count(), keep.data());
       },
       SQL_ERROR, "HY000/7"},
      {"integer output array of the wrong size",
       [&] {
         int32_t out[2];
         int32_t n = sizeof out;
         return fetch_bound_param_integer(s, 1, &n, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"integer output read as bigint",
       [&] {
         int64_t out[3];
         int32_t n = sizeof out;
         return fetch_bound_param_bigint(s, 1, &n, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/19"},
      {"parameter not bound",
       [&] {
         char out[8];
         int32_t n = 8;
         return fetch_bound_param(s, 9, &n, out, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/15"},
      {"date layout of a timestamp parameter",
       [&] {
         int16_t a[3], b[15];
         int32_t c[3];
         int32_t ab = 6, bb = 30, cb = 2;
         return fetch_bound_param_dt(s, 4, 0, 0, &ab, a, &bb, b, &cb, c, nullptr, nullptr, nullptr, nullptr);
       },
       SQL_ERROR, "HY000/7"},
      {"put data longer than its value", [&] { return put_data_integer(s, 5, 1000); }, SQL_ERROR, "HY090/0"},
      {"numeric put data of 10 bytes",
       [&] {
         char rec[10] = {};
         return put_data_numeric(s, sizeof rec, rec, 19);
       },
       SQL_ERROR, "HY090/0"},
  };
  run(stmt_, cases);

  // Integer output values of the three sets come back as sent.
  keep = params();
  ASSERT_EQ(SQL_SUCCESS, synch_bound_paramswv(stmt_, keep.count(), keep.data()));
  std::memcpy(apd()->records[1].data, std::vector<int32_t>{5, 6, 7}.data(), 12);
  int32_t out[3] = {};
  int32_t n = sizeof out;
  SQLLEN ind[3] = {};
  int32_t ib = sizeof ind;
  ASSERT_EQ(SQL_SUCCESS, fetch_bound_param_integer(stmt_, 1, &n, out, nullptr, nullptr, &ib, ind));
  EXPECT_EQ(7, out[2]);
  EXPECT_EQ(4, ind[1]);
}

// Every handler of this unit answers SQL_INVALID_HANDLE to a value it never issued.
// Every exit of a transfer handler, an early refusal as much as success,
// writes the one exit line of the call with its result.
TEST_F(AbuseTest, EveryExitWritesOneExitLine) {
  if (getenv("KYTEST_TRACE_ALL") != nullptr) GTEST_SKIP() << "the suite's own log is in use";
  TraceCapture capture;
  int32_t v[3] = {10, 20, 30};
  int32_t bytes = 0, out[3] = {};
  int16_t status[3] = {};
  char bm[4] = {};
  const struct {
    const char* line;  // the expected exit line
    std::function<int16_t()> call;
  } cases[] = {
      {"-synch_bound_colin_integer()=0\n",
       [&] { return synch_bound_colin_integer(stmt_, 1, sizeof v, v, 0, nullptr, 0, nullptr); }},
      {"-synch_bound_colin_integer()=-1\n",
       [&] { return synch_bound_colin_integer(stmt_, 9, sizeof v, v, 0, nullptr, 0, nullptr); }},
      {"-fetch_bound_col_integer()=-1\n",
       [&] { return fetch_bound_col_integer(stmt_, 9, &(bytes = 12), out, nullptr, nullptr, nullptr, nullptr); }},
      {"-fetch_parameter_status()=-1\n", [&] { return fetch_parameter_status(stmt_, &(bytes = 6), status); }},
      {"-fetch_bound_param_integer()=-1\n",
       [&] { return fetch_bound_param_integer(stmt_, 7, &(bytes = 12), out, nullptr, nullptr, nullptr, nullptr); }},
      {"-synch_bookmark()=-1 (SQL_ATTR_FETCH_BOOKMARK_PTR not set)\n", [&] { return synch_bookmark(stmt_, 4, bm); }},
      {"-sql_bind_col()=-1 (9999 is not a valid C type)\n", [&] { return sql_bind_col(stmt_, 1, 9999, 1, 4, 1); }},
      {"-put_data_numeric()=-1\n", [&] { return put_data_numeric(stmt_, 0, nullptr, 0); }},
      {"-get_data_long()=-1 (1 is not a valid C type)\n",
       [&] { return get_data_long(stmt_, 1, SQL_C_CHAR, &out[0], nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    capture.start(kTraceExit);
    const int16_t rc = c.call();
    const std::string text = capture.stop();
    const std::string name = std::string(c.line).substr(1, std::string(c.line).find('(') - 1);
    EXPECT_NE(text.find(c.line), std::string::npos) << text;
    EXPECT_EQ(exit_lines(text, name).size(), 1u) << "one exit line\n" << text;
    EXPECT_NE(text.find("=" + std::to_string(rc)), std::string::npos) << text;
  }
}

TEST_F(AbuseTest, ForeignHandlesAreInvalid) {
  int x = 0;
  void* bad[] = {nullptr, &x, reinterpret_cast<void*>(0x10), desc_of(stmt_, DESC_ARD)};
  for (void* h : bad) {
    int32_t n = 8;
    char buf[8];
    SQLULEN u = 0;
    wvarray el{};
    EXPECT_EQ(SQL_INVALID_HANDLE, fetch_bound_colswv(h, 1, &el));
    EXPECT_EQ(SQL_INVALID_HANDLE, synch_bound_paramswv(h, 1, &el));
    EXPECT_EQ(SQL_INVALID_HANDLE, fetch_rows_processed(h, &u, &u));
    EXPECT_EQ(SQL_INVALID_HANDLE, synch_bookmark(h, 8, buf));
    EXPECT_EQ(SQL_INVALID_HANDLE, fetch_bound_col(h, 1, &n, buf, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(SQL_INVALID_HANDLE, put_data_smallint(h, 1, 2));
    EXPECT_EQ(SQL_INVALID_HANDLE, sql_bind_parameter(h, 1, 1, SQL_C_LONG, SQL_INTEGER, 1, 4, 0, 4, 1));
    EXPECT_EQ(SQL_INVALID_HANDLE, get_attributes_all(h, 0, nullptr, nullptr, &n, buf));
  }
}

}  // namespace
}  // namespace kytest
