// Statements through the bridge against the same calls made straight on a
// private PostgreSQL through psqlODBC, for what the SQLite driver cannot do:
// row-wise parameter arrays, output parameters (also after data at
// execution), numerics both ways and a re-bind that changes only the scale,
// data at execution in several pieces, keyset cursors with SQLSetPos and
// SQLBulkOperations, and wide columns.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "client_side.h"
#include "e2e_fixture.h"
#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

namespace fs = std::filesystem;

class PgStatementsE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(World::get(), nullptr);
    ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
    set_dialect(postgres_dialect());
  }
  void TearDown() override { set_dialect(sqlite_dialect()); }

  template <class F>
  void compare(F&& workload) {
    compare_direct_and_bridge(World::pg_direct(), World::pg_bridge(), workload, "pg");
  }
};

// Output and input/output parameters, one set and after data at execution.
std::string output_params_transcript(Conn& c, const std::string&) {
  std::ostringstream o;
  c.exec(
      "CREATE OR REPLACE FUNCTION kv_addone(a integer, OUT b integer, OUT s text, OUT n numeric) AS "
      "$$ SELECT a + 1, 'eins ' || a, a / 8.0 $$ LANGUAGE sql");
  c.exec("CREATE OR REPLACE FUNCTION kv_len(t text, OUT n integer) AS $$ SELECT length(t) $$ LANGUAGE sql");
  {
    Stmt st(c);
    SQLINTEGER a = 41, b = -1;
    char s[32] = {};
    SQL_NUMERIC_STRUCT n{};
    SQLLEN ai = 0, bi = 0, si = 0, ni = 0;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &a, 0, &ai);
    SQLBindParameter(st.h, 2, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &b, 0, &bi);
    SQLBindParameter(st.h, 3, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_VARCHAR, 30, 0, s, sizeof s, &si);
    SQLBindParameter(st.h, 4, SQL_PARAM_OUTPUT, SQL_C_NUMERIC, SQL_NUMERIC, 10, 3, &n, sizeof n, &ni);
    o << "call " << st.run("{call kv_addone(?, ?, ?, ?)}") << " b=" << b << "/" << bi << " s=" << s << "/" << si
      << " n=" << hex(&n, sizeof n) << "/" << ni << "\n";
  }
  {
    // The output arrives after the input went at execution, in pieces.
    Stmt st(c);
    SQLINTEGER n = -1;
    SQLLEN ti = SQL_DATA_AT_EXEC, ni = 0;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR, 1000, 0, reinterpret_cast<SQLPOINTER>(1), 0,
                     &ti);
    SQLBindParameter(st.h, 2, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &n, 0, &ni);
    SQLRETURN rc = SQLExecDirect(st.h, (SQLCHAR*)"{call kv_len(?, ?)}", SQL_NTS);
    o << "dae exec " << outcome(rc, SQL_HANDLE_STMT, st.h);
    SQLPOINTER token = nullptr;
    while ((rc = SQLParamData(st.h, &token)) == SQL_NEED_DATA) {
      const char* pieces[] = {"abc", "defgh", "äöü"};
      for (const char* p : pieces)
        o << " put " << outcome(SQLPutData(st.h, const_cast<char*>(p), SQL_NTS), SQL_HANDLE_STMT, st.h);
    }
    o << " paramdata " << outcome(rc, SQL_HANDLE_STMT, st.h) << " n=" << n << "/" << ni << "\n";
  }
  return o.str();
}

// Procedure parameters by name: the parameter descriptor's records carry
// the procedure's parameter names (SQL_DESC_NAME), the markers come in
// another order than the procedure's parameters, and each value lands in
// the buffer bound to its own marker; without the names the same call is
// positional.
std::string named_params_transcript(Conn& c, const std::string&) {
  std::ostringstream o;
  c.exec(
      "CREATE OR REPLACE FUNCTION kv_named(a integer, OUT b integer, OUT s text, OUT d integer) AS "
      "$$ SELECT a + 1, 'eins ' || a, a * 2 $$ LANGUAGE sql");
  c.exec(
      "CREATE OR REPLACE PROCEDURE kv_named_proc(INOUT x integer, INOUT y text) AS "
      "$$ BEGIN x := x + 1; y := y || '!'; END $$ LANGUAGE plpgsql");
  auto name = [&](SQLHSTMT h, SQLSMALLINT i, const char* text) {
    SQLHDESC ipd = nullptr;
    SQLGetStmtAttr(h, SQL_ATTR_IMP_PARAM_DESC, &ipd, 0, nullptr);
    SQLSMALLINT unnamed = -1;
    o << "name " << i << "=" << text << " "
      << outcome(SQLSetDescField(ipd, i, SQL_DESC_NAME, (SQLPOINTER)text, SQL_NTS), SQL_HANDLE_DESC, ipd) << " "
      << outcome(SQLGetDescField(ipd, i, SQL_DESC_UNNAMED, &unnamed, SQL_IS_SMALLINT, nullptr), SQL_HANDLE_DESC, ipd)
      << " " << unnamed << "\n";
  };
  // A function's output parameters, the markers in the order a, d, s, b;
  // prepared once and run twice.
  for (bool named : {true, false}) {
    Stmt st(c);
    o << "prepare "
      << outcome(SQLPrepare(st.h, (SQLCHAR*)"{call kv_named(?, ?, ?, ?)}", SQL_NTS), SQL_HANDLE_STMT, st.h) << "\n";
    SQLINTEGER a = 41, b = -1, d = -1;
    char s[32] = {};
    SQLLEN ai = 0, bi = 0, si = 0, di = 0;
    if (named) {
      name(st.h, 1, "a");
      name(st.h, 2, "d");
      name(st.h, 3, "s");
      name(st.h, 4, "b");
    }
    SQLBindParameter(st.h, 4, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &b, 0, &bi);
    SQLBindParameter(st.h, 3, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_VARCHAR, 30, 0, s, sizeof s, &si);
    SQLBindParameter(st.h, 2, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &d, 0, &di);
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &a, 0, &ai);
    for (SQLINTEGER in : {41, 7}) {
      a = in;
      b = d = -1;
      std::memset(s, 0, sizeof s);
      o << "call a=" << a << " " << outcome(SQLExecute(st.h), SQL_HANDLE_STMT, st.h) << " b=" << b << "/" << bi
        << " s=" << s << "/" << si << " d=" << d << "/" << di << "\n";
      SQLFreeStmt(st.h, SQL_CLOSE);
    }
  }
  // A procedure's input/output parameters, the markers in the order y, x.
  {
    Stmt st(c);
    SQLINTEGER x = 5;
    char y[16] = "hallo";
    SQLLEN xi = 0, yi = SQL_NTS;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT_OUTPUT, SQL_C_CHAR, SQL_VARCHAR, 15, 0, y, sizeof y, &yi);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &x, 0, &xi);
    name(st.h, 1, "y");
    name(st.h, 2, "x");
    o << "procedure " << st.run("CALL kv_named_proc(?, ?)") << " x=" << x << "/" << xi << " y=" << y << "/" << yi
      << "\n";
  }
  return o.str();
}

// Numerics both ways; a re-bind that changes only the decimal digits.
std::string numeric_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_num";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (k integer, x numeric(10,4))");
  Stmt ins(c);
  SQLPrepare(ins.h, (SQLCHAR*)("INSERT INTO " + t + " VALUES (?, ?)").c_str(), SQL_NTS);
  SQLINTEGER k = 0;
  SQLLEN ki = 0, xi = 0;
  SQL_NUMERIC_STRUCT x{};
  x.precision = 10;
  x.sign = 1;
  x.val[0] = 0x39;  // 12345
  x.val[1] = 0x30;
  SQLBindParameter(ins.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &k, 0, &ki);
  for (SQLSMALLINT scale : {2, 4, 0}) {
    x.scale = static_cast<SQLSCHAR>(scale);
    // Only the decimal digits change between these bindings.
    SQLBindParameter(ins.h, 2, SQL_PARAM_INPUT, SQL_C_NUMERIC, SQL_NUMERIC, 10, scale, &x, sizeof x, &xi);
    SQLHDESC apd = nullptr;
    SQLGetStmtAttr(ins.h, SQL_ATTR_APP_PARAM_DESC, &apd, 0, nullptr);
    ++k;
    o << "scale " << scale << " " << outcome(SQLExecute(ins.h), SQL_HANDLE_STMT, ins.h) << "\n";
  }
  x.sign = 0;
  ++k;
  o << "negative " << outcome(SQLExecute(ins.h), SQL_HANDLE_STMT, ins.h) << "\n";
  o << rows_as_text(c, "SELECT k, x FROM " + t + " ORDER BY k");
  // Read back as numeric structures, bound and through SQLGetData.
  Stmt sel(c);
  SQL_NUMERIC_STRUCT out{};
  SQLLEN oi = 0;
  SQLBindCol(sel.h, 1, SQL_C_NUMERIC, &out, sizeof out, &oi);
  o << sel.run("SELECT x FROM " + t + " ORDER BY k") << "\n";
  while (SQL_SUCCEEDED(SQLFetch(sel.h))) {
    SQL_NUMERIC_STRUCT g{};
    SQLLEN gi = 0;
    SQLRETURN rc = SQLGetData(sel.h, 1, SQL_C_NUMERIC, &g, sizeof g, &gi);
    o << " bound " << hex(&out, sizeof out) << "/" << oi << " get " << rc << " " << hex(&g, sizeof g) << "/" << gi
      << "\n";
  }
  return o.str();
}

// A keyset cursor: positioned update, delete and bulk insert.
std::string keyset_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_ks";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (id integer primary key, name varchar(20))");
  for (int k = 1; k <= 6; ++k)
    c.exec("INSERT INTO " + t + " VALUES (" + std::to_string(k) + ", 'n" + std::to_string(k) + "')");
  {
    Stmt st(c);
    SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0);
    constexpr SQLULEN kRows = 3;
    SQLINTEGER id[kRows] = {};
    char name[kRows][21] = {};
    SQLLEN idi[kRows] = {}, namei[kRows] = {};
    SQLUSMALLINT status[kRows] = {};
    SQLULEN fetched = 0;
    SQLSetStmtAttr(st.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_ROW_STATUS_PTR, status, 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    o << "select " << st.run("SELECT id, name FROM " + t + " ORDER BY id") << "\n";
    SQLBindCol(st.h, 1, SQL_C_SLONG, id, 0, idi);
    SQLBindCol(st.h, 2, SQL_C_CHAR, name, 21, namei);
    SQLRETURN rc = SQLFetchScroll(st.h, SQL_FETCH_NEXT, 0);
    o << "fetch " << outcome(rc, SQL_HANDLE_STMT, st.h) << " " << fetched << " " << id[0] << id[1] << id[2] << " "
      << name[1] << "\n";
    std::strcpy(name[1], "changed");
    namei[1] = SQL_NTS;
    o << "update " << outcome(SQLSetPos(st.h, 2, SQL_UPDATE, SQL_LOCK_NO_CHANGE), SQL_HANDLE_STMT, st.h) << " status "
      << status[1] << "\n";
    o << "delete " << outcome(SQLSetPos(st.h, 3, SQL_DELETE, SQL_LOCK_NO_CHANGE), SQL_HANDLE_STMT, st.h) << " status "
      << status[2] << "\n";
    // Bulk insert of three new rows through the bound buffers.
    for (SQLULEN r = 0; r < kRows; ++r) {
      id[r] = static_cast<SQLINTEGER>(100 + r);
      std::snprintf(name[r], 21, "bulk%d", static_cast<int>(r));
      idi[r] = 0;
      namei[r] = r == 1 ? SQL_NULL_DATA : SQL_NTS;
    }
    o << "bulk add " << outcome(SQLBulkOperations(st.h, SQL_ADD), SQL_HANDLE_STMT, st.h) << "\n";
    o << "refresh " << outcome(SQLSetPos(st.h, 1, SQL_REFRESH, SQL_LOCK_NO_CHANGE), SQL_HANDLE_STMT, st.h) << "\n";
  }
  o << rows_as_text(c, "SELECT id, name FROM " + t + " ORDER BY id");
  return o.str();
}

// The same with row-wise binding and a wide column: every row of a bulk add
// goes in its own slot, wide text terminated by a 16-bit zero.
std::string keyset_row_wise_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_ksr";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (id integer primary key, name varchar(20), w varchar(20))");
  for (int k = 1; k <= 4; ++k)
    c.exec("INSERT INTO " + t + " VALUES (" + std::to_string(k) + ", 'n" + std::to_string(k) + "', 'w" +
           std::to_string(k) + "')");
  struct Row {
    SQLINTEGER id;
    SQLLEN idi;
    char name[21];
    SQLLEN namei;
    SQLWCHAR w[21];
    SQLLEN wi;
  };
  {
    Stmt st(c);
    SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0);
    constexpr SQLULEN kRows = 3;
    Row rows[kRows];
    std::memset(rows, 0, sizeof rows);
    SQLUSMALLINT status[kRows] = {};
    SQLSetStmtAttr(st.h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(sizeof(Row)), 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_ROW_STATUS_PTR, status, 0);
    o << "select " << st.run("SELECT id, name, w FROM " + t + " ORDER BY id") << "\n";
    SQLBindCol(st.h, 1, SQL_C_SLONG, &rows[0].id, 0, &rows[0].idi);
    SQLBindCol(st.h, 2, SQL_C_CHAR, rows[0].name, sizeof rows[0].name, &rows[0].namei);
    SQLBindCol(st.h, 3, SQL_C_WCHAR, rows[0].w, sizeof rows[0].w, &rows[0].wi);
    o << "fetch " << outcome(SQLFetchScroll(st.h, SQL_FETCH_NEXT, 0), SQL_HANDLE_STMT, st.h) << " " << rows[2].id << " "
      << rows[2].name << "\n";
    // Row 1 starts with a NULL, the others are terminated texts of several lengths.
    const char* names[kRows] = {nullptr, "second row", "three"};
    const char* wides[kRows] = {"wide one", "zwei", "drei drei"};
    for (SQLULEN r = 0; r < kRows; ++r) {
      rows[r].id = static_cast<SQLINTEGER>(200 + r);
      rows[r].idi = 0;
      if (names[r]) std::snprintf(rows[r].name, sizeof rows[r].name, "%s", names[r]);
      rows[r].namei = names[r] ? SQL_NTS : SQL_NULL_DATA;
      size_t k = 0;
      for (; wides[r][k]; ++k) rows[r].w[k] = static_cast<SQLWCHAR>(wides[r][k]);
      rows[r].w[k] = 0;
      rows[r].wi = SQL_NTS;
    }
    o << "bulk add " << outcome(SQLBulkOperations(st.h, SQL_ADD), SQL_HANDLE_STMT, st.h) << "\n";
  }
  o << rows_as_text(c, "SELECT id, name, w FROM " + t + " ORDER BY id");
  return o.str();
}

// Bookmarks: fetch a rowset with its bookmarks, then fetch again by one of them.
std::string bookmark_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_bm";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (id integer primary key, name varchar(20))");
  for (int k = 1; k <= 8; ++k)
    c.exec("INSERT INTO " + t + " VALUES (" + std::to_string(k) + ", 'b" + std::to_string(k) + "')");
  Stmt st(c);
  SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_STATIC), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_USE_BOOKMARKS, reinterpret_cast<SQLPOINTER>(SQL_UB_VARIABLE), 0);
  constexpr SQLULEN kRows = 4;
  unsigned char marks[kRows][16] = {};
  SQLLEN marki[kRows] = {};
  SQLINTEGER id[kRows] = {};
  SQLLEN idi[kRows] = {};
  SQLSetStmtAttr(st.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
  o << "select " << st.run("SELECT id FROM " + t + " ORDER BY id") << "\n";
  SQLBindCol(st.h, 0, SQL_C_VARBOOKMARK, marks, 16, marki);
  SQLBindCol(st.h, 1, SQL_C_SLONG, id, 0, idi);
  o << "fetch " << outcome(SQLFetchScroll(st.h, SQL_FETCH_NEXT, 0), SQL_HANDLE_STMT, st.h) << " " << id[0] << id[1]
    << id[2] << id[3] << " mark length " << marki[2] << "\n";
  unsigned char chosen[16];
  std::memcpy(chosen, marks[2], sizeof chosen);
  o << "attr " << outcome(SQLSetStmtAttr(st.h, SQL_ATTR_FETCH_BOOKMARK_PTR, chosen, 0), SQL_HANDLE_STMT, st.h) << "\n";
  std::memset(id, 0, sizeof id);
  o << "by bookmark " << outcome(SQLFetchScroll(st.h, SQL_FETCH_BOOKMARK, 0), SQL_HANDLE_STMT, st.h) << " " << id[0]
    << id[1] << "\n";
  return o.str();
}

// Intervals both ways: a parameter, a bound column and SQLGetData.
std::string interval_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_iv";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (k integer, ds interval, ym interval)");
  Stmt ins(c);
  SQLPrepare(ins.h, (SQLCHAR*)("INSERT INTO " + t + " VALUES (?, ?, ?)").c_str(), SQL_NTS);
  SQLINTEGER k = 0;
  SQLLEN ki = 0, dsi = 0, ymi = 0;
  SQL_INTERVAL_STRUCT ds{}, ym{};
  ds.interval_type = SQL_IS_DAY_TO_SECOND;
  ym.interval_type = SQL_IS_YEAR_TO_MONTH;
  SQLBindParameter(ins.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &k, 0, &ki);
  SQLBindParameter(ins.h, 2, SQL_PARAM_INPUT, SQL_C_INTERVAL_DAY_TO_SECOND, SQL_INTERVAL_DAY_TO_SECOND, 8, 0, &ds,
                   sizeof ds, &dsi);
  SQLBindParameter(ins.h, 3, SQL_PARAM_INPUT, SQL_C_INTERVAL_YEAR_TO_MONTH, SQL_INTERVAL_YEAR_TO_MONTH, 8, 0, &ym,
                   sizeof ym, &ymi);
  for (int r = 0; r < 3; ++r) {
    k = r + 1;
    ds.interval_sign = r == 1 ? SQL_TRUE : SQL_FALSE;
    ds.intval.day_second = {static_cast<SQLUINTEGER>(r * 3), 4, 5, 6, 0};
    ym.interval_sign = SQL_FALSE;
    ym.intval.year_month = {static_cast<SQLUINTEGER>(r), 7};
    ymi = r == 2 ? SQL_NULL_DATA : 0;
    o << "insert " << outcome(SQLExecute(ins.h), SQL_HANDLE_STMT, ins.h) << "\n";
  }
  o << rows_as_text(c, "SELECT k, ds, ym FROM " + t + " ORDER BY k");
  Stmt sel(c);
  SQL_INTERVAL_STRUCT out{};
  SQLLEN oi = 0;
  SQLBindCol(sel.h, 1, SQL_C_INTERVAL_DAY_TO_SECOND, &out, sizeof out, &oi);
  o << sel.run("SELECT ds, ym FROM " + t + " ORDER BY k") << "\n";
  SQLRETURN rc;
  while (SQL_SUCCEEDED(rc = SQLFetch(sel.h))) {
    SQL_INTERVAL_STRUCT g{};
    SQLLEN gi = 0;
    SQLRETURN grc = SQLGetData(sel.h, 2, SQL_C_INTERVAL_YEAR_TO_MONTH, &g, sizeof g, &gi);
    o << " bound " << out.interval_type << " " << out.interval_sign << " " << out.intval.day_second.day << "d"
      << out.intval.day_second.hour << ":" << out.intval.day_second.minute << ":" << out.intval.day_second.second << "/"
      << oi << " get " << outcome(grc, SQL_HANDLE_STMT, sel.h) << " " << g.intval.year_month.year << "y"
      << g.intval.year_month.month << "/" << gi << "\n";
  }
  o << "end " << rc << "\n";
  return o.str();
}

TEST_F(PgStatementsE2e, RowWiseParameterArrays) {
  compare([](Conn& c, const std::string& p) { return param_array_transcript(c, p, true); });
}

TEST_F(PgStatementsE2e, ColumnWiseParameterArrays) {
  compare([](Conn& c, const std::string& p) { return param_array_transcript(c, p, false); });
}

TEST_F(PgStatementsE2e, BoundFetchOfWideAndTypedColumns) {
  compare([](Conn& c, const std::string& p) { return bound_fetch_transcript(c, p); });
}

TEST_F(PgStatementsE2e, DataAtExecutionInThreePieces) {
  compare([](Conn& c, const std::string& p) { return data_at_exec_transcript(c, p, 3); });
}

TEST_F(PgStatementsE2e, EveryCType) {
  compare([](Conn& c, const std::string& p) { return c_types_transcript(c, p); });
}

TEST_F(PgStatementsE2e, OutputParametersAlsoAfterDataAtExecution) { compare(output_params_transcript); }

TEST_F(PgStatementsE2e, ProcedureParametersByName) {
  compare(named_params_transcript);
  Conn c(World::pg_bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  const std::string t = named_params_transcript(c, "pg");
  EXPECT_NE(t.find("call a=41 rc=0 b=42/4 s=eins 41/7 d=82/4\ncall a=7 rc=0 b=8/4 s=eins 7/6 d=14/4\nprepare"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("procedure rc=0 x=6/4 y=hallo!/6"), std::string::npos) << t;
}

TEST_F(PgStatementsE2e, NumericsBothWaysAndARebindOfTheScaleAlone) { compare(numeric_transcript); }

TEST_F(PgStatementsE2e, KeysetCursorPositionedUpdateDeleteAndBulkAdd) { compare(keyset_transcript); }

TEST_F(PgStatementsE2e, IntervalsAsParametersBoundColumnsAndGetData) { compare(interval_transcript); }

TEST_F(PgStatementsE2e, FetchByBookmark) { compare(bookmark_transcript); }

TEST_F(PgStatementsE2e, KeysetCursorRowWiseBulkAddWithWideText) { compare(keyset_row_wise_transcript); }

TEST_F(PgStatementsE2e, PreparedStatementsAndTransactions) {
  compare([](Conn& c, const std::string& p) { return prepared_transcript(c, p) + transaction_transcript(c, p); });
}

TEST_F(PgStatementsE2e, RowWiseOutputParametersLandInTheirOwnRows) {
  // Through the bridge only: the target's own row-wise output arrays are not
  // to be trusted, the bridge binds them column-wise on the server.
  Conn c(World::pg_bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  c.exec("CREATE OR REPLACE FUNCTION kv_twice(a integer, OUT b integer) AS $$ SELECT a * 2 $$ LANGUAGE sql");
  struct Row {
    SQLINTEGER a;
    SQLLEN ai;
    char guard[6];
    SQLINTEGER b;
    SQLLEN bi;
    char guard2[6];
  };
  Row rows[3];
  std::memset(rows, 0x5A, sizeof rows);
  for (int r = 0; r < 3; ++r) rows[r].a = 10 * (r + 1), rows[r].ai = 0;
  SQLHSTMT st = c.stmt();
  SQLSetStmtAttr(st, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(sizeof(Row)), 0);
  SQLSetStmtAttr(st, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(3), 0);
  SQLBindParameter(st, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &rows[0].a, 0, &rows[0].ai);
  SQLBindParameter(st, 2, SQL_PARAM_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &rows[0].b, 0, &rows[0].bi);
  SQLRETURN rc = SQLExecDirect(st, (SQLCHAR*)"{call kv_twice(?, ?)}", SQL_NTS);
  EXPECT_TRUE(SQL_SUCCEEDED(rc)) << outcome(rc, SQL_HANDLE_STMT, st);
  for (int r = 0; r < 3; ++r) {
    for (char g : rows[r].guard) EXPECT_EQ(g, 0x5A) << "row " << r;
    for (char g : rows[r].guard2) EXPECT_EQ(g, 0x5A) << "row " << r;
    EXPECT_EQ(rows[r].a, 10 * (r + 1));
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS"))
      std::fprintf(stderr, "row %d: b=%d bi=%ld\n", r, rows[r].b, static_cast<long>(rows[r].bi));
  }
  // psqlODBC returns the first set's output; it is in the first row.
  EXPECT_EQ(rows[0].b, 20);
  EXPECT_EQ(rows[0].bi, 4);
  SQLFreeHandle(SQL_HANDLE_STMT, st);
}

}  // namespace
}  // namespace kyvek::e2e
