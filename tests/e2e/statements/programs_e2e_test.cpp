// Call sequences of programs written for a real driver, run straight on the
// target and through the bridge: integer statement attributes read into
// 4-byte variables, parameters left bound for statements that do not use
// them, binary parameters shorter than their buffer, data at execution with
// a parameter array, fetches by bookmark (after an add, of either kind), and
// the return value and output parameters of procedure calls. Each transcript
// must be the same both ways, on PostgreSQL through psqlODBC and, where the
// target has the feature, on SQLite. Then what has no direct counterpart:
// connect warnings listed once, SQLFreeStmt(SQL_CLOSE) in block mode, and the
// server's limit for one bound array.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

enum class Target { kPostgres, kSqlite };

class ProgramsE2e : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(World::get(), nullptr); }
  void TearDown() override { set_dialect(sqlite_dialect()); }

  // Runs the workload straight on the target and through the bridge.
  template <class F>
  void compare(Target t, F&& workload) {
    if (t == Target::kPostgres) {
      ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
      set_dialect(postgres_dialect());
    } else {
      set_dialect(sqlite_dialect());
    }
    const bool pg = t == Target::kPostgres;
    std::string a, b;
    {
      Conn c(pg ? World::pg_direct() : World::direct());
      ASSERT_TRUE(c.ok()) << c.error();
      a = workload(c, t);
    }
    {
      Conn c(pg ? World::pg_bridge() : World::bridge());
      ASSERT_TRUE(c.ok()) << c.error();
      b = workload(c, t);
    }
    EXPECT_EQ(a, b);
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
  }
};

std::string rc_of(SQLRETURN rc, SQLHSTMT h) { return outcome(rc, SQL_HANDLE_STMT, h); }

// Integer attributes read into a 4-byte SQLINTEGER with a neighbour, and
// into a zero-initialised SQLULEN, after a keyset cursor was opened.
std::string stmt_attr_width_transcript(Conn& c, Target t) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_attr");
  c.exec("CREATE TABLE pr_attr (i integer primary key, s varchar(10))");
  for (int k = 1; k <= 3; ++k) c.exec("INSERT INTO pr_attr VALUES (" + std::to_string(k) + ", 'x')");
  Stmt st(c);
  SQLINTEGER col = 0;
  SQLLEN coli = 0;
  SQLBindCol(st.h, 1, SQL_C_SLONG, &col, 0, &coli);
  if (t == Target::kPostgres) {
    SQLSetStmtAttr(st.h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0);
    SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0);
  }
  o << "select " << st.run("SELECT i FROM pr_attr ORDER BY i") << "\n";
  static const struct {
    SQLINTEGER attr;
    const char* name;
  } kAttrs[] = {
      {SQL_ATTR_CURSOR_TYPE, "cursor type"},
      {SQL_ATTR_CONCURRENCY, "concurrency"},
      {SQL_ATTR_CURSOR_SCROLLABLE, "scrollable"},
      {SQL_ATTR_CURSOR_SENSITIVITY, "sensitivity"},
      {SQL_ATTR_USE_BOOKMARKS, "use bookmarks"},
      {SQL_ATTR_ASYNC_ENABLE, "async enable"},
      {SQL_ATTR_NOSCAN, "noscan"},
      {SQL_ATTR_RETRIEVE_DATA, "retrieve data"},
      {SQL_ATTR_ENABLE_AUTO_IPD, "auto ipd"},
      {SQL_ATTR_METADATA_ID, "metadata id"},
      {SQL_ATTR_SIMULATE_CURSOR, "simulate cursor"},
  };
  for (const auto& a : kAttrs) {
    struct {
      SQLINTEGER v;
      SQLINTEGER neighbour;
    } narrow = {-1, 0x5A5A5A5A};
    SQLRETURN rc = SQLGetStmtAttr(st.h, a.attr, &narrow.v, 0, nullptr);
    SQLULEN wide = 0;
    SQLRETURN rc2 = SQLGetStmtAttr(st.h, a.attr, &wide, 0, nullptr);
    o << a.name << " " << rc_of(rc, st.h) << " " << narrow.v << " wide " << rc_of(rc2, st.h) << " " << wide;
    // The SQLite driver itself writes 8 bytes for most of them.
    if (t == Target::kPostgres) o << " neighbour " << (narrow.neighbour == 0x5A5A5A5A ? "kept" : "overwritten");
    o << "\n";
  }
  if (t == Target::kPostgres) {
    // How many bytes each integer attribute writes into an 8-byte buffer,
    // counts and sizes included: the same as the target driver writes.
    static const struct {
      SQLINTEGER attr;
      const char* name;
    } kAll[] = {
        {SQL_ATTR_CURSOR_TYPE, "cursor type"},
        {SQL_ATTR_CONCURRENCY, "concurrency"},
        {SQL_ATTR_CURSOR_SCROLLABLE, "scrollable"},
        {SQL_ATTR_CURSOR_SENSITIVITY, "sensitivity"},
        {SQL_ATTR_USE_BOOKMARKS, "use bookmarks"},
        {SQL_ATTR_ASYNC_ENABLE, "async enable"},
        {SQL_ATTR_NOSCAN, "noscan"},
        {SQL_ATTR_RETRIEVE_DATA, "retrieve data"},
        {SQL_ATTR_ENABLE_AUTO_IPD, "auto ipd"},
        {SQL_ATTR_METADATA_ID, "metadata id"},
        {SQL_ATTR_SIMULATE_CURSOR, "simulate cursor"},
        {SQL_ATTR_QUERY_TIMEOUT, "query timeout"},
        {SQL_ATTR_MAX_ROWS, "max rows"},
        {SQL_ATTR_MAX_LENGTH, "max length"},
        {SQL_ATTR_KEYSET_SIZE, "keyset size"},
        {SQL_ATTR_ROW_NUMBER, "row number"},
        {SQL_ATTR_ROW_ARRAY_SIZE, "row array size"},
        {SQL_ATTR_ROW_BIND_TYPE, "row bind type"},
        {SQL_ATTR_PARAMSET_SIZE, "paramset size"},
        {SQL_ATTR_PARAM_BIND_TYPE, "param bind type"},
    };
    for (const auto& a : kAll) {
      size_t written = 0;
      for (const unsigned char fill : {0xA5, 0x5A}) {
        unsigned char buf[8];
        std::memset(buf, fill, sizeof buf);
        SQLGetStmtAttr(st.h, a.attr, buf, 0, nullptr);
        for (size_t i = 0; i < sizeof buf; ++i)
          if (buf[i] != fill && i + 1 > written) written = i + 1;
      }
      o << a.name << " writes " << (written > 4 ? 8 : written > 0 ? 4 : 0) << " bytes\n";
    }
  }
  SQLRETURN rc;
  while (SQL_SUCCEEDED(rc = SQLFetch(st.h))) o << "row " << col << "\n";
  o << "end " << rc << "\n";
  return o.str();
}

TEST_F(ProgramsE2e, IntegerStatementAttributesFitAFourByteVariable) {
  compare(Target::kPostgres, stmt_attr_width_transcript);
}

TEST_F(ProgramsE2e, IntegerStatementAttributesFitAFourByteVariableOnSqlite) {
  compare(Target::kSqlite, stmt_attr_width_transcript);
}

// Parameters stay bound after SQL_CLOSE; statements without markers that
// follow on the same handle must not see them.
std::string unused_params_transcript(Conn& c, Target t) {
  std::ostringstream o;
  const bool pg = t == Target::kPostgres;
  {
    Stmt st(c);
    char param[21] = "param";
    SQLLEN ind = SQL_NTS;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_CHAR, 20, 0, param, 0, &ind);
    for (int k = 0; k < 3; ++k) {
      o << "with marker " << st.run(pg ? "SELECT 'foo', ?::text" : "SELECT 'foo', ?") << "\n";
      char a[16] = {}, b[16] = {};
      SQLLEN ai = 0, bi = 0;
      SQLRETURN rc = SQLFetch(st.h);
      SQLGetData(st.h, 1, SQL_C_CHAR, a, sizeof a, &ai);
      SQLGetData(st.h, 2, SQL_C_CHAR, b, sizeof b, &bi);
      o << " fetch " << rc_of(rc, st.h) << " " << a << " " << b << "\n";
      SQLFreeStmt(st.h, SQL_CLOSE);
    }
    // As when the bound variables lived in a function that has returned: the
    // statements below use no parameter, so nothing may read them.
    std::memset(param, 'x', 20);
    ind = -77;
    if (pg) {
      o << "set " << st.run("SET standard_conforming_strings=off") << "\n";
      SQLFreeStmt(st.h, SQL_CLOSE);
      o << "set back " << st.run("SET standard_conforming_strings=on") << "\n";
    } else {
      o << "no marker " << st.run("CREATE TABLE IF NOT EXISTS pr_unused (i integer)") << "\n";
    }
    SQLFreeStmt(st.h, SQL_CLOSE);
    o << "select " << st.run("SELECT 42") << "\n";
    SQLINTEGER v = 0;
    SQLLEN vi = 0;
    SQLRETURN rc = SQLFetch(st.h);
    SQLGetData(st.h, 1, SQL_C_SLONG, &v, 0, &vi);
    o << " fetch " << rc_of(rc, st.h) << " " << v << "\n";
  }
  if (pg) {
    // A numeric parameter left bound from a prepared statement.
    Stmt st(c);
    SQL_NUMERIC_STRUCT n{};
    n.precision = 5;
    n.scale = 3;
    n.sign = 1;
    n.val[0] = 0x7C;  // 25212
    n.val[1] = 0x62;
    SQLLEN ni = 0;
    o << "prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)"SELECT ?::numeric", SQL_NTS), st.h) << "\n";
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_NUMERIC, SQL_NUMERIC, 0, 0, &n, sizeof n, &ni);
    o << "execute " << rc_of(SQLExecute(st.h), st.h) << "\n";
    SQLFreeStmt(st.h, SQL_CLOSE);
    std::memset(&n, 0xA5, sizeof n);
    ni = -77;
    o << "direct " << st.run("SELECT '25.212'::numeric") << "\n";
    char v[32] = {};
    SQLLEN vi = 0;
    SQLRETURN rc = SQLFetch(st.h);
    SQLGetData(st.h, 1, SQL_C_CHAR, v, sizeof v, &vi);
    o << " fetch " << rc_of(rc, st.h) << " " << v << "\n";
  }
  // Whatever the type: a second parameter of each C type, bound and used by
  // a prepared statement, then left bound with its buffer and indicator
  // overwritten while the handle runs a statement with one marker.
  union Value {
    SQLINTEGER i;
    double d;
    SQL_NUMERIC_STRUCT n;
    SQL_TIMESTAMP_STRUCT ts;
    unsigned char bytes[64];
  };
  static const struct {
    SQLSMALLINT ctype, sqltype;
    SQLULEN size;
    SQLSMALLINT digits;
  } kTypes[] = {
      {SQL_C_CHAR, SQL_VARCHAR, 20, 0},
      {SQL_C_WCHAR, SQL_WVARCHAR, 20, 0},
      {SQL_C_BINARY, SQL_VARBINARY, 20, 0},
      {SQL_C_SLONG, SQL_INTEGER, 0, 0},
      {SQL_C_DOUBLE, SQL_DOUBLE, 0, 0},
      {SQL_C_NUMERIC, SQL_NUMERIC, 0, 0},
      {SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 0, 0},
  };
  for (const auto& k : kTypes) {
    Stmt st(c);
    SQLINTEGER one = 1;
    SQLLEN onei = 0;
    Value v;
    std::memset(&v, 0, sizeof v);
    SQLLEN vi = 0;
    switch (k.ctype) {
      case SQL_C_CHAR:
        std::strcpy(reinterpret_cast<char*>(v.bytes), "text");
        vi = SQL_NTS;
        break;
      case SQL_C_WCHAR:
        v.bytes[0] = 'w';
        vi = 2;
        break;
      case SQL_C_BINARY:
        v.bytes[0] = 0xAB;
        vi = 1;
        break;
      case SQL_C_SLONG: v.i = 7; break;
      case SQL_C_DOUBLE: v.d = 2.5; break;
      case SQL_C_NUMERIC:
        v.n.precision = 3;
        v.n.scale = 1;
        v.n.sign = 1;
        v.n.val[0] = 125;
        break;
      default:
        v.ts.year = 2001;
        v.ts.month = 2;
        v.ts.day = 3;
        break;
    }
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &one, 0, &onei);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, k.ctype, k.sqltype, k.size, k.digits, &v, sizeof v, &vi);
    o << "type " << k.ctype << " prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)"SELECT ?, ?", SQL_NTS), st.h);
    o << " execute " << rc_of(SQLExecute(st.h), st.h);
    SQLFreeStmt(st.h, SQL_CLOSE);
    std::memset(&v, 0xA5, sizeof v);
    vi = -77;
    o << " one marker " << st.run("SELECT ? + 1");
    SQLINTEGER r = 0;
    SQLLEN ri = 0;
    SQLRETURN rc = SQLFetch(st.h);
    SQLGetData(st.h, 1, SQL_C_SLONG, &r, 0, &ri);
    o << " fetch " << rc_of(rc, st.h) << " " << r << "\n";
  }
  return o.str();
}

TEST_F(ProgramsE2e, ParametersLeftBoundAreIgnoredByStatementsWithoutMarkers) {
  compare(Target::kPostgres, unused_params_transcript);
}

TEST_F(ProgramsE2e, ParametersLeftBoundAreIgnoredByStatementsWithoutMarkersOnSqlite) {
  compare(Target::kSqlite, unused_params_transcript);
}

// A binary parameter whose length indicator is below its buffer length, as
// bound by programs: buffer and column size alike, a buffer length of 0 (an
// input parameter's length is its indicator), a long binary column.
std::string short_binary_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_bin");
  c.exec("CREATE TABLE pr_bin (k integer, b " + dialect().blob + ")");
  static unsigned char data[5000];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
  static const struct {
    SQLSMALLINT sql_type;
    SQLULEN column_size;
    SQLLEN buffer_length;
  } kBindings[] = {{SQL_VARBINARY, 5000, 5000}, {SQL_VARBINARY, 5000, 0}, {SQL_LONGVARBINARY, 100000, 5000}};
  SQLINTEGER k = 0;
  for (const auto& b : kBindings) {
    Stmt st(c);
    o << "prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)"INSERT INTO pr_bin VALUES (?, ?)", SQL_NTS), st.h) << "\n";
    SQLLEN ki = 0, bi = 0;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &k, 0, &ki);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_BINARY, b.sql_type, b.column_size, 0, data, b.buffer_length, &bi);
    for (SQLLEN len : {4000, 4001, 0, 1, 4999, 5000}) {
      ++k;
      bi = len;
      o << "insert " << b.sql_type << "/" << b.column_size << "/" << b.buffer_length << " " << len << " "
        << rc_of(SQLExecute(st.h), st.h) << "\n";
    }
  }
  o << rows_as_text(c, "SELECT k, length(b), " + dialect().hex("substr(b, 1, 4)") + ", " +
                           dialect().hex("substr(b, length(b) - 1, 2)") + " FROM pr_bin ORDER BY k");
  return o.str();
}

TEST_F(ProgramsE2e, BinaryParameterShorterThanItsBuffer) { compare(Target::kPostgres, short_binary_transcript); }

TEST_F(ProgramsE2e, BinaryParameterShorterThanItsBufferOnSqlite) { compare(Target::kSqlite, short_binary_transcript); }

// Data at execution with a parameter array of two rows: the processed count
// says which row the driver asks for; one result set per row follows.
std::string dae_array_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_dae");
  c.exec("CREATE TABLE pr_dae (id integer, t text)");
  c.exec("INSERT INTO pr_dae VALUES (1, 'foo'), (2, 'barf'), (3, 'foo')");
  Stmt st(c);
  SQLULEN processed = 99;
  SQLLEN ind[2] = {SQL_LEN_DATA_AT_EXEC(0), SQL_LEN_DATA_AT_EXEC(0)};
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(2), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
  o << "prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)"SELECT id FROM pr_dae WHERE t = ? ORDER BY id", SQL_NTS), st.h)
    << "\n";
  SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_CHAR, 5, 0, reinterpret_cast<SQLPOINTER>(1), 0, ind);
  SQLRETURN rc = SQLExecute(st.h);
  o << "execute " << rc_of(rc, st.h) << "\n";
  for (int guard = 0; rc == SQL_NEED_DATA && guard < 5; ++guard) {
    SQLPOINTER token = nullptr;
    rc = SQLParamData(st.h, &token);
    o << "paramdata " << rc_of(rc, st.h) << " processed " << processed << "\n";
    if (rc != SQL_NEED_DATA) break;
    const char* value = processed == 1 ? "foo" : processed == 2 ? "barf" : "none";
    o << " put " << rc_of(SQLPutData(st.h, const_cast<char*>(value), static_cast<SQLLEN>(std::strlen(value))), st.h)
      << "\n";
  }
  for (int set = 1; set <= 3; ++set) {
    SQLINTEGER id = 0;
    SQLLEN idi = 0;
    SQLBindCol(st.h, 1, SQL_C_SLONG, &id, 0, &idi);
    o << "result set " << set << ":";
    while (SQL_SUCCEEDED(rc = SQLFetch(st.h))) o << " " << id;
    o << " (" << rc_of(rc, st.h) << ")\n";
    rc = SQLMoreResults(st.h);
    o << "more " << rc_of(rc, st.h) << "\n";
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
  }
  return o.str();
}

TEST_F(ProgramsE2e, ParametersProcessedCountDuringDataAtExecutionWithAnArray) {
  compare(Target::kPostgres, dae_array_transcript);
}

// Keyset cursor with variable bookmarks: update one row, add one, fetch both
// back by their saved bookmarks.
std::string bookmark_after_add_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_bulk");
  c.exec("CREATE TABLE pr_bulk (i integer primary key, t varchar(20))");
  for (int k = 101; k <= 110; ++k)
    c.exec("INSERT INTO pr_bulk VALUES (" + std::to_string(k) + ", '" + std::to_string(k - 100) + "')");
  Stmt st(c);
  SQLSetStmtAttr(st.h, SQL_ATTR_USE_BOOKMARKS, reinterpret_cast<SQLPOINTER>(SQL_UB_VARIABLE), SQL_IS_UINTEGER);
  SQLSetStmtAttr(st.h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0);
  o << "select " << st.run("SELECT i, t FROM pr_bulk WHERE i < 110 ORDER BY i") << "\n";
  unsigned char mark[14] = {};
  SQLLEN marki = 0, ind1 = 0, ind2 = 0;
  SQLINTEGER col1 = 0;
  char col2[21] = {};
  SQLBindCol(st.h, 0, SQL_C_VARBOOKMARK, mark, sizeof mark, &marki);
  SQLBindCol(st.h, 1, SQL_C_SLONG, &col1, 0, &ind1);
  SQLBindCol(st.h, 2, SQL_C_CHAR, col2, sizeof col2, &ind2);
  SQLRETURN rc = SQLFetchScroll(st.h, SQL_FETCH_ABSOLUTE, 5);
  o << "fetch " << rc_of(rc, st.h) << " " << col1 << " - " << col2 << " mark " << marki << "\n";
  unsigned char updated_mark[14], inserted_mark[14];
  std::memcpy(updated_mark, mark, sizeof mark);
  std::strcpy(col2, "updated");
  ind2 = SQL_NTS;
  // The bookmark column is no input to an update or an add: what its
  // indicator holds then is not read.
  marki = -77;
  o << "update " << rc_of(SQLSetPos(st.h, 1, SQL_UPDATE, SQL_LOCK_NO_CHANGE), st.h) << "\n";
  col1 = 1234;
  std::strcpy(col2, "5678");
  ind1 = 0;
  ind2 = SQL_NTS;
  std::memset(mark, 0, sizeof mark);
  marki = -77;
  rc = SQLBulkOperations(st.h, SQL_ADD);
  o << "add " << rc_of(rc, st.h) << " mark " << marki
    << (hex(mark, sizeof mark) == std::string(28, '0') ? " empty" : " written") << "\n";
  std::memcpy(inserted_mark, mark, sizeof mark);
  const SQLLEN inserted_len = marki;
  SQLSetStmtAttr(st.h, SQL_ATTR_FETCH_BOOKMARK_PTR, updated_mark, SQL_IS_POINTER);
  rc = SQLFetchScroll(st.h, SQL_FETCH_BOOKMARK, 0);
  o << "updated row " << rc_of(rc, st.h) << " " << col1 << " - " << col2 << "\n";
  SQLSetStmtAttr(st.h, SQL_ATTR_FETCH_BOOKMARK_PTR, inserted_mark, SQL_IS_POINTER);
  rc = SQLFetchScroll(st.h, SQL_FETCH_BOOKMARK, 0);
  o << "inserted row " << rc_of(rc, st.h) << " " << col1 << " - " << col2 << "\n";
  // The same rows through SQLBulkOperations(SQL_FETCH_BY_BOOKMARK).
  std::memcpy(mark, inserted_mark, sizeof mark);
  marki = inserted_len;
  col1 = 0;
  col2[0] = 0;
  rc = SQLBulkOperations(st.h, SQL_FETCH_BY_BOOKMARK);
  o << "by bookmark " << rc_of(rc, st.h) << " " << col1 << " - " << col2 << "\n";
  // A row added with SQLSetPos: whatever the bookmark column holds after
  // it, fetching by that bookmark gives the new row or an error.
  col1 = 4321;
  std::strcpy(col2, "8765");
  ind1 = 0;
  ind2 = SQL_NTS;
  marki = -77;
  rc = SQLSetPos(st.h, 1, SQL_ADD, SQL_LOCK_NO_CHANGE);
  o << "setpos add " << rc_of(rc, st.h) << " mark " << marki << "\n";
  SQLSetStmtAttr(st.h, SQL_ATTR_FETCH_BOOKMARK_PTR, mark, SQL_IS_POINTER);
  rc = SQLFetchScroll(st.h, SQL_FETCH_BOOKMARK, 0);
  o << "setpos added row " << rc_of(rc, st.h) << " " << col1 << " - " << col2 << "\n";
  SQLCloseCursor(st.h);
  o << rows_as_text(c, "SELECT i, t FROM pr_bulk WHERE i IN (105, 1234, 4321) ORDER BY i");
  return o.str();
}

TEST_F(ProgramsE2e, FetchByBookmarkAfterBulkAdd) { compare(Target::kPostgres, bookmark_after_add_transcript); }

// Bookmarks saved while scrolling, then fetched back in another order: each
// brings its own row back.
std::string bookmarks_transcript(Conn& c, Target t, std::initializer_list<SQLULEN> kinds) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_marks");
  c.exec("CREATE TABLE pr_marks (i integer primary key, t varchar(20))");
  for (int k = 1; k <= 6; ++k)
    c.exec("INSERT INTO pr_marks VALUES (" + std::to_string(k) + ", 'm" + std::to_string(k) + "')");
  for (const SQLULEN kind : kinds) {
    Stmt st(c);
    o << "use bookmarks " << kind << " "
      << rc_of(SQLSetStmtAttr(st.h, SQL_ATTR_USE_BOOKMARKS, reinterpret_cast<SQLPOINTER>(kind), SQL_IS_UINTEGER), st.h);
    SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE,
                   reinterpret_cast<SQLPOINTER>(t == Target::kPostgres ? SQL_CURSOR_KEYSET_DRIVEN : SQL_CURSOR_STATIC),
                   0);
    o << " select " << st.run("SELECT i, t FROM pr_marks ORDER BY i") << "\n";
    SQLLEN octets = -1;
    SQLRETURN rc = SQLColAttribute(st.h, 0, SQL_DESC_OCTET_LENGTH, nullptr, 0, nullptr, &octets);
    o << " octet length " << rc_of(rc, st.h) << " " << octets << "\n";
    unsigned char mark[32] = {};
    SQLLEN marki = 0, ind = 0;
    SQLINTEGER id = 0;
    SQLBindCol(st.h, 0, kind == SQL_UB_ON ? SQL_C_BOOKMARK : SQL_C_VARBOOKMARK, mark, sizeof mark, &marki);
    SQLBindCol(st.h, 1, SQL_C_SLONG, &id, 0, &ind);
    unsigned char saved[3][32];
    const int at[3] = {5, 2, 6};
    for (int k = 0; k < 3; ++k) {
      std::memset(mark, 0, sizeof mark);
      rc = SQLFetchScroll(st.h, SQL_FETCH_ABSOLUTE, at[k]);
      o << " absolute " << at[k] << " " << rc_of(rc, st.h) << " " << id << " mark " << marki << "\n";
      std::memcpy(saved[k], mark, sizeof mark);
    }
    for (int k : {1, 0, 2, 1}) {
      SQLSetStmtAttr(st.h, SQL_ATTR_FETCH_BOOKMARK_PTR, saved[k], SQL_IS_POINTER);
      id = 0;
      rc = SQLFetchScroll(st.h, SQL_FETCH_BOOKMARK, 0);
      o << " by bookmark of row " << at[k] << " " << rc_of(rc, st.h) << " " << id << "\n";
    }
  }
  return o.str();
}

TEST_F(ProgramsE2e, FetchByBookmarkOfEitherKind) {
  compare(Target::kPostgres, [](Conn& c, Target t) {
    return bookmarks_transcript(c, t, {SQL_UB_FIXED, SQL_UB_VARIABLE});
  });
}

// The SQLite driver does not tell the length of its bookmarks: a fixed one
// is 32 bits and goes through; a variable one cannot be carried, and fetching
// by it is an error, never another row.
TEST_F(ProgramsE2e, FetchByBookmarkOnSqliteGivesItsRowOrAnError) {
  compare(Target::kSqlite, [](Conn& c, Target t) { return bookmarks_transcript(c, t, {SQL_UB_FIXED}); });
  Conn c(World::bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  std::istringstream lines(bookmarks_transcript(c, Target::kSqlite, {SQL_UB_VARIABLE}));
  int fetched = 0;
  for (std::string line; std::getline(lines, line);) {
    int asked = 0, got = 0;
    char rc[16] = {};
    if (std::sscanf(line.c_str(), " by bookmark of row %d %15s", &asked, rc) != 2) continue;
    ++fetched;
    if (std::string(rc) == "rc=0") {
      ASSERT_EQ(std::sscanf(line.c_str(), " by bookmark of row %d rc=0 %d", &asked, &got), 2) << line;
      EXPECT_EQ(got, asked) << line;
    } else {
      EXPECT_EQ(std::string(rc), "rc=-1") << line;
    }
  }
  EXPECT_EQ(fetched, 4);
}

// The same with two rows bound row-wise: each added row's bookmark lands in
// its own row; the other fields of the rows stay as the application left them.
std::string row_wise_bookmark_after_add_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_bulkr");
  c.exec("CREATE TABLE pr_bulkr (i integer primary key, t varchar(20))");
  for (int k = 1; k <= 4; ++k)
    c.exec("INSERT INTO pr_bulkr VALUES (" + std::to_string(k) + ", 'r" + std::to_string(k) + "')");
  struct Row {
    unsigned char mark[14];
    SQLLEN marki;
    SQLINTEGER id;
    SQLLEN idi;
    char t[21];
    SQLLEN ti;
  };
  Row rows[2];
  std::memset(rows, 0, sizeof rows);
  Stmt st(c);
  SQLSetStmtAttr(st.h, SQL_ATTR_USE_BOOKMARKS, reinterpret_cast<SQLPOINTER>(SQL_UB_VARIABLE), SQL_IS_UINTEGER);
  SQLSetStmtAttr(st.h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(sizeof(Row)), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(2), 0);
  o << "select " << st.run("SELECT i, t FROM pr_bulkr ORDER BY i") << "\n";
  SQLBindCol(st.h, 0, SQL_C_VARBOOKMARK, rows[0].mark, sizeof rows[0].mark, &rows[0].marki);
  SQLBindCol(st.h, 1, SQL_C_SLONG, &rows[0].id, 0, &rows[0].idi);
  SQLBindCol(st.h, 2, SQL_C_CHAR, rows[0].t, sizeof rows[0].t, &rows[0].ti);
  o << "fetch " << rc_of(SQLFetchScroll(st.h, SQL_FETCH_NEXT, 0), st.h) << " " << rows[0].id << rows[1].id << "\n";
  for (int r = 0; r < 2; ++r) {
    std::memset(rows[r].mark, 0, sizeof rows[r].mark);
    rows[r].id = 500 + r;
    rows[r].idi = 0;
    std::memset(rows[r].t, '#', sizeof rows[r].t);
    std::snprintf(rows[r].t, 8, "added%d", r);
    rows[r].ti = SQL_NTS;
  }
  Row before[2];
  std::memcpy(before, rows, sizeof rows);
  o << "add " << rc_of(SQLBulkOperations(st.h, SQL_ADD), st.h) << "\n";
  for (int r = 0; r < 2; ++r) {
    const bool marked = hex(rows[r].mark, sizeof rows[r].mark) != std::string(28, '0');
    const bool kept = rows[r].id == before[r].id && rows[r].idi == before[r].idi &&
                      std::memcmp(rows[r].t, before[r].t, sizeof rows[r].t) == 0 && rows[r].ti == before[r].ti;
    o << " row " << r << (marked ? " marked" : " unmarked") << (kept ? " fields kept" : " fields changed") << "\n";
  }
  Row saved[2];
  std::memcpy(saved, rows, sizeof rows);
  SQLSetStmtAttr(st.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
  for (int r = 0; r < 2; ++r) {
    SQLSetStmtAttr(st.h, SQL_ATTR_FETCH_BOOKMARK_PTR, saved[r].mark, SQL_IS_POINTER);
    rows[0].id = 0;
    rows[0].t[0] = 0;
    SQLRETURN rc = SQLFetchScroll(st.h, SQL_FETCH_BOOKMARK, 0);
    o << "by mark " << r << " " << rc_of(rc, st.h) << " " << rows[0].id << " " << rows[0].t << "\n";
  }
  return o.str();
}

TEST_F(ProgramsE2e, RowWiseBookmarksAfterBulkAddLandInTheirOwnRows) {
  compare(Target::kPostgres, row_wise_bookmark_after_add_transcript);
}

// The return value of a function call and output and input/output
// parameters, each written into its own buffer. The return value is asked
// for on handles in the states programs leave them in: fresh, after a
// statement without parameters, after one that left more parameters bound
// (one of them on the buffer the return value is to land in), and bound
// before the call is prepared; bound without a length indicator; and made
// an output parameter through its descriptor field.
std::string return_value_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec(
      "CREATE OR REPLACE FUNCTION pr_proc(a integer, INOUT b integer, OUT s text) AS "
      "$$ SELECT b + a, 'sum ' || (a + b) $$ LANGUAGE sql");
  enum class Before { kFresh, kNoParams, kMoreParams, kBindFirst, kNoIndicator, kDescriptor };
  for (const Before before : {Before::kFresh, Before::kNoParams, Before::kMoreParams, Before::kBindFirst,
                              Before::kNoIndicator, Before::kDescriptor}) {
    Stmt st(c);
    char ret[16] = "left", second[16] = "second";
    SQLLEN reti = SQL_NTS, secondi = SQL_NTS;
    if (before == Before::kNoParams || before == Before::kDescriptor) {
      o << "no params " << st.run("SELECT 'previous'") << "\n";
      SQLFetch(st.h);
      SQLGetData(st.h, 1, SQL_C_CHAR, ret, sizeof ret, &reti);
      SQLFreeStmt(st.h, SQL_CLOSE);
    } else if (before == Before::kMoreParams) {
      SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, ret, sizeof ret, &reti);
      SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, second, sizeof second, &secondi);
      o << "two params " << st.run("SELECT {fn CONCAT(?, ?)}") << "\n";
      char v[32] = {};
      SQLLEN vi = 0;
      SQLRETURN rc = SQLFetch(st.h);
      SQLGetData(st.h, 1, SQL_C_CHAR, v, sizeof v, &vi);
      o << " fetch " << rc_of(rc, st.h) << " " << v << "\n";
      SQLFreeStmt(st.h, SQL_CLOSE);
    }
    if (before == Before::kBindFirst)
      SQLBindParameter(st.h, 1, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_CHAR, sizeof ret - 1, 0, ret, sizeof ret - 1, &reti);
    o << "prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)"{ ? = call length('foo') }", SQL_NTS), st.h) << "\n";
    if (before == Before::kNoIndicator) {
      SQLBindParameter(st.h, 1, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_INTEGER, 0, 0, ret, sizeof ret - 1, nullptr);
    } else if (before == Before::kDescriptor) {
      SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_INTEGER, 0, 0, ret, sizeof ret - 1, &reti);
      SQLHDESC ipd = nullptr;
      SQLGetStmtAttr(st.h, SQL_ATTR_IMP_PARAM_DESC, &ipd, 0, nullptr);
      o << "descriptor "
        << outcome(SQLSetDescField(ipd, 1, SQL_DESC_PARAMETER_TYPE, reinterpret_cast<SQLPOINTER>(SQL_PARAM_OUTPUT), 0),
                   SQL_HANDLE_DESC, ipd)
        << "\n";
    } else if (before != Before::kBindFirst) {
      SQLBindParameter(st.h, 1, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_INTEGER, 0, 0, ret, sizeof ret - 1, &reti);
    }
    o << "execute " << rc_of(SQLExecute(st.h), st.h) << " ret " << ret << "/" << reti << " second " << second << "/"
      << secondi << "\n";
    SQLFreeStmt(st.h, SQL_CLOSE);
  }
  {
    Stmt st(c);
    SQLINTEGER a = 5, b = 37;
    char s[32] = "untouched";
    SQLLEN ai = 0, bi = 0, si = 0;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &a, 0, &ai);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT_OUTPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &b, 0, &bi);
    SQLBindParameter(st.h, 3, SQL_PARAM_OUTPUT, SQL_C_CHAR, SQL_VARCHAR, 30, 0, s, sizeof s, &si);
    o << "prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)"{call pr_proc(?, ?, ?)}", SQL_NTS), st.h) << "\n";
    o << "execute " << rc_of(SQLExecute(st.h), st.h) << " a=" << a << " b=" << b << "/" << bi << " s=" << s << "/" << si
      << "\n";
    SQLFreeStmt(st.h, SQL_CLOSE);
    a = 1;
    o << "again " << rc_of(SQLExecute(st.h), st.h) << " a=" << a << " b=" << b << "/" << bi << " s=" << s << "/" << si
      << "\n";
    SQLFreeStmt(st.h, SQL_CLOSE);
    // The same call executed directly, with the input/output value as sent.
    b = 10;
    std::strcpy(s, "untouched");
    o << "direct " << st.run("{call pr_proc(?, ?, ?)}") << " a=" << a << " b=" << b << "/" << bi << " s=" << s << "/"
      << si << "\n";
  }
  return o.str();
}

TEST_F(ProgramsE2e, ReturnValueAndOutputParametersOfProcedureCalls) {
  compare(Target::kPostgres, return_value_transcript);
}

// The records of a connection after a warned SQLDriverConnect: each once.
std::string connect_warnings(const std::string& connect) {
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  SQLCHAR out[8];
  SQLSMALLINT len = 0;
  SQLRETURN rc =
      SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, out, sizeof out, &len, SQL_DRIVER_NOPROMPT);
  std::ostringstream o;
  o << "rc=" << rc;
  SQLINTEGER number = -1;
  SQLGetDiagField(SQL_HANDLE_DBC, dbc, 0, SQL_DIAG_NUMBER, &number, 0, nullptr);
  std::vector<std::string> seen;
  for (SQLSMALLINT i = 1; i < 10; ++i) {
    SQLCHAR state[6] = {}, msg[600] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT ml = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_DBC, dbc, i, state, &native, msg, sizeof msg, &ml))) break;
    std::string rec = std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(msg);
    for (const std::string& s : seen)
      if (s == rec) o << " twice: " << rec;
    seen.push_back(rec);
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "REC %s\n", rec.c_str());
  }
  o << " records " << seen.size() << " number " << number;
  if (SQL_SUCCEEDED(rc)) SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return o.str();
}

TEST_F(ProgramsE2e, DriverConnectWarningsAreListedOnce) {
  // psqlODBC warns when the completed connection string does not fit.
  ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
  const std::string direct = connect_warnings(World::pg_direct());
  const std::string bridge = connect_warnings(World::pg_bridge());
  if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n%s\n", direct.c_str(), bridge.c_str());
  EXPECT_EQ(direct.rfind("rc=1 ", 0), 0u) << direct;
  EXPECT_EQ(bridge.rfind("rc=1 ", 0), 0u) << bridge;
  EXPECT_EQ(bridge.find("twice"), std::string::npos) << bridge;
  // What the Driver Manager counts is what it lists.
  const size_t at = bridge.find(" records ");
  ASSERT_NE(at, std::string::npos);
  int records = 0, number = 0;
  ASSERT_EQ(std::sscanf(bridge.c_str() + at, " records %d number %d", &records, &number), 2) << bridge;
  EXPECT_EQ(records, number) << bridge;
}

// A program that calls the driver's own exports (no Driver Manager between)
// closes a block-fetched cursor with SQLFreeStmt(SQL_CLOSE) or with
// SQLCloseCursor: either way no cached row is served afterwards.
TEST_F(ProgramsE2e, CloseWithFreeStmtEndsTheBlockCacheLikeCloseCursor) {
  Conn c(World::bridge("BLOCKFETCHSIZE=10;"));
  ASSERT_TRUE(c.ok()) << c.error();
  c.exec("DROP TABLE pr_close");
  c.exec("CREATE TABLE pr_close (i integer)");
  for (int k = 1; k <= 5; ++k) c.exec("INSERT INTO pr_close VALUES (" + std::to_string(k) + ")");
  void* lib = dlopen("libkyvekcnt.so", RTLD_NOW | RTLD_NOLOAD);
  if (lib == nullptr) {
    const char* bin = std::getenv("KYVEK_BINARY_DIR");
    lib = dlopen((std::string(bin ? bin : ".") + "/lib/libkyvekcnt.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  }
  ASSERT_NE(lib, nullptr) << dlerror();
  auto fetch = reinterpret_cast<decltype(&SQLFetch)>(dlsym(lib, "SQLFetch"));
  auto get_data = reinterpret_cast<decltype(&SQLGetData)>(dlsym(lib, "SQLGetData"));
  auto free_stmt = reinterpret_cast<decltype(&SQLFreeStmt)>(dlsym(lib, "SQLFreeStmt"));
  auto close_cursor = reinterpret_cast<decltype(&SQLCloseCursor)>(dlsym(lib, "SQLCloseCursor"));
  ASSERT_TRUE(fetch && get_data && free_stmt && close_cursor);
  std::string after[2];
  for (int way = 0; way < 2; ++way) {
    Stmt st(c);
    // SQL_DRIVER_HSTMT takes the application's statement handle as input.
    SQLHSTMT own = st.h;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLGetInfo(c.dbc(), SQL_DRIVER_HSTMT, &own, sizeof own, nullptr)));
    ASSERT_EQ(st.run("SELECT i FROM pr_close ORDER BY i"), "rc=0");
    for (int k = 1; k <= 2; ++k) {
      ASSERT_EQ(fetch(own), SQL_SUCCESS);
      SQLINTEGER v = 0;
      SQLLEN vi = 0;
      ASSERT_TRUE(SQL_SUCCEEDED(get_data(own, 1, SQL_C_SLONG, &v, 0, &vi)));
      EXPECT_EQ(v, k);
    }
    ASSERT_TRUE(SQL_SUCCEEDED(way == 0 ? free_stmt(own, SQL_CLOSE) : close_cursor(own)));
    SQLRETURN rc = fetch(own);
    SQLINTEGER v = 0;
    SQLLEN vi = 0;
    SQLRETURN g = SQL_SUCCEEDED(rc) ? get_data(own, 1, SQL_C_SLONG, &v, 0, &vi) : SQL_ERROR;
    after[way] = "fetch " + std::to_string(rc) + (SQL_SUCCEEDED(g) ? " row " + std::to_string(v) : "");
  }
  dlclose(lib);
  EXPECT_EQ(after[0], after[1]);
  EXPECT_EQ(after[0].find("row"), std::string::npos) << after[0];
}

// A parameter array beyond the server's limit for one array (what pyodbc's
// fast_executemany binds for 5,000 rows of a SQLite text column described as
// 65,536 characters): refused, and the message says which limit and how
// much was asked for.
TEST_F(ProgramsE2e, ParameterArrayOverTheServersLimitSaysWhichLimit) {
  Conn c(World::bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  Stmt st(c);
  constexpr SQLULEN kRows = 5000;
  constexpr SQLLEN kOctets = (65536 + 1) * 2;
  SQLWCHAR one[2] = {'x', 0};
  SQLLEN ind = SQL_NTS;
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
  SQLRETURN rc = SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 65536, 0, one, kOctets, &ind);
  ASSERT_EQ(rc, SQL_ERROR);
  SQLCHAR state[6] = {}, msg[600] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, st.h, 1, state, &native, msg, sizeof msg, &len)));
  const std::string text(reinterpret_cast<char*>(msg));
  EXPECT_STREQ(reinterpret_cast<char*>(state), "HY001");
  EXPECT_NE(text.find("Memory allocation error"), std::string::npos) << text;
  EXPECT_NE(text.find("5000 rows of"), std::string::npos) << text;
  EXPECT_NE(text.find("268435456 bytes (256 MiB)"), std::string::npos) << text;
}

}  // namespace
}  // namespace kyvek::e2e
