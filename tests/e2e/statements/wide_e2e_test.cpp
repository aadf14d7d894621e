// Text beyond U+FFFF through the driver's wide entry points: a program
// calling the W functions, pyodbc and iusql, through the bridge against the
// same calls straight on psqlODBC (a Unicode driver); SQL, names, parameters
// and diagnostics arrive whole. Over SQLite (an ANSI driver, whose Driver
// Manager conversion would split the pair) the bridge gives the text whole.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

// "x 🌜 z" and friends as UTF-16.
std::u16string u(const char16_t* s) { return s; }
SQLWCHAR* w(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

std::string units(const SQLWCHAR* p, SQLLEN n) {
  std::ostringstream o;
  for (SQLLEN i = 0; i < n; ++i) {
    char b[8];
    std::snprintf(b, sizeof b, "%04x ", p[i]);
    o << b;
  }
  return o.str();
}

std::string wide_outcome(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h) {
  std::string s = "rc=" + std::to_string(rc);
  if (rc == SQL_SUCCESS || rc == SQL_NO_DATA) return s;
  for (SQLSMALLINT i = 1; i < 10; ++i) {
    SQLWCHAR state[6] = {}, msg[512] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRecW(type, h, i, state, &native, msg, 512, &len))) break;
    s += " " + units(state, 5);
  }
  return s;
}

// The W functions with text beyond U+FFFF: SQL, a column alias, a parameter,
// a catalog name and a diagnostic.
std::string wide_transcript(Conn& c, const std::string&) {
  std::ostringstream o;
  c.exec("DROP TABLE IF EXISTS \"kvw\xF0\x9F\x8C\x9C\"");
  c.exec("CREATE TABLE \"kvw\xF0\x9F\x8C\x9C\" (\"c\xF0\x9F\x8C\x9C\" varchar(20))");
  {
    Stmt st(c);
    std::u16string sql = u(u"SELECT 'x \U0001F31C z' AS \"n\U0001F31C\"");
    o << "exec " << wide_outcome(SQLExecDirectW(st.h, w(sql), SQL_NTS), SQL_HANDLE_STMT, st.h) << "\n";
    SQLWCHAR name[32] = {};
    SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLRETURN rc = SQLDescribeColW(st.h, 1, name, 32, &name_len, &type, &size, &digits, &nullable);
    o << "describe " << rc << " " << units(name, name_len) << "/" << name_len << "\n";
    SQLWCHAR label[32] = {};
    SQLSMALLINT label_len = 0;
    rc = SQLColAttributeW(st.h, 1, SQL_DESC_LABEL, label, sizeof label, &label_len, nullptr);
    o << "label " << rc << " " << units(label, label_len / 2) << "/" << label_len << "\n";
    SQLWCHAR value[32] = {};
    SQLLEN ind = 0;
    SQLFetch(st.h);
    rc = SQLGetData(st.h, 1, SQL_C_WCHAR, value, sizeof value, &ind);
    o << "value " << rc << " " << units(value, ind / 2) << "\n";
  }
  {
    Stmt st(c);
    std::u16string sql = u(u"SELECT ?"), param = u(u"p \U0001F31C q");
    SQLLEN plen = static_cast<SQLLEN>(param.size() * 2);
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 20, 0, w(param), plen, &plen);
    o << "prepare " << wide_outcome(SQLPrepareW(st.h, w(sql), SQL_NTS), SQL_HANDLE_STMT, st.h);
    o << " execute " << wide_outcome(SQLExecute(st.h), SQL_HANDLE_STMT, st.h);
    SQLWCHAR value[32] = {};
    SQLLEN ind = 0;
    SQLFetch(st.h);
    SQLGetData(st.h, 1, SQL_C_WCHAR, value, sizeof value, &ind);
    o << " value " << units(value, ind / 2) << "\n";
  }
  {
    Stmt st(c);
    std::u16string table = u(u"kvw\U0001F31C");
    o << "tables " << wide_outcome(SQLTablesW(st.h, nullptr, 0, nullptr, 0, w(table), SQL_NTS, nullptr, 0),
                                   SQL_HANDLE_STMT, st.h);
    SQLWCHAR value[32] = {};
    SQLLEN ind = 0;
    SQLRETURN rc = SQLFetch(st.h);
    if (SQL_SUCCEEDED(rc)) SQLGetData(st.h, 3, SQL_C_WCHAR, value, sizeof value, &ind);
    o << " fetch " << rc << " " << units(value, ind > 0 ? ind / 2 : 0) << "\n";
  }
  {
    // The state of a failing statement through SQLGetDiagRecW (pyodbc below
    // reads its text).
    Stmt st(c);
    std::u16string sql = u(u"SELECT * FROM \"t\U0001F31C\"");
    o << "missing " << wide_outcome(SQLExecDirectW(st.h, w(sql), SQL_NTS), SQL_HANDLE_STMT, st.h) << "\n";
  }
  c.exec("DROP TABLE \"kvw\xF0\x9F\x8C\x9C\"");
  return o.str();
}

class WideE2e : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(World::get(), nullptr); }
  void need_pg() {
    if (!World::get()->has_pg()) FAIL() << "PostgreSQL and psqlODBC are needed (scripts/install-deps)";
  }
  // Runs a program with the world's environment (the sanitizer preload
  // included); its standard output.
  static std::string run(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                         const std::string& tag) {
    Fixture& fx = World::get()->fixture();
    const std::string in_path = (fx.dir() / (tag + ".in")).string();
    FILE* f = std::fopen(in_path.c_str(), "w");
    std::fputs(input.c_str(), f);
    std::fclose(f);
    FILE* in = std::fopen(in_path.c_str(), "r");
    Process p = fx.spawn(program, args, fileno(in), tag);
    std::fclose(in);
    const int status = Fixture::wait(p, 120000);
    const std::string out = Fixture::read_file(p.out);
    EXPECT_EQ(status, 0) << out << Fixture::read_file(p.err);
    return out;
  }
};

TEST_F(WideE2e, WideFunctionsCarryTextBeyondTheBmpAsDirect) {
  need_pg();
  set_dialect(postgres_dialect());
  compare_direct_and_bridge(World::pg_direct(), World::pg_bridge(), wide_transcript, "pg");
  set_dialect(sqlite_dialect());
}

// What the bridge decides itself: a name cut before a surrogate pair, never
// inside it, with 01004 and the whole length; an unpaired surrogate refused.
TEST_F(WideE2e, CutNamesKeepPairsAndUnpairedSurrogatesAreRefused) {
  Conn c(World::bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  Stmt st(c);
  std::u16string sql = u(u"SELECT 1 AS \"n\U0001F31C\"");
  ASSERT_EQ(SQLExecDirectW(st.h, w(sql), SQL_NTS), SQL_SUCCESS);
  SQLWCHAR name[3] = {0xAAAA, 0xAAAA, 0xAAAA};
  SQLSMALLINT name_len = 0;
  EXPECT_EQ(SQLDescribeColW(st.h, 1, name, 3, &name_len, nullptr, nullptr, nullptr, nullptr), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(name_len, 3);
  EXPECT_EQ(units(name, 3), "006e 0000 aaaa ");
  EXPECT_EQ(wide_outcome(SQL_SUCCESS_WITH_INFO, SQL_HANDLE_STMT, st.h), "rc=1 0030 0031 0030 0030 0034 ");
  SQLFreeStmt(st.h, SQL_CLOSE);
  for (const std::u16string& bad : {u(u"SELECT '\xD83C'"), u(u"SELECT '\xDF1C x'")}) {
    std::u16string text = bad;
    EXPECT_EQ(SQLExecDirectW(st.h, w(text), SQL_NTS), SQL_ERROR);
    EXPECT_EQ(wide_outcome(SQL_ERROR, SQL_HANDLE_STMT, st.h), "rc=-1 0032 0032 0030 0032 0031 ");
  }
}

// The report's pyodbc program, and a parameter, a column name and a
// diagnostic: through the bridge as on psqlODBC, and whole over SQLite.
TEST_F(WideE2e, PyodbcTextBeyondTheBmp) {
  need_pg();
  const std::string script = R"PY(
import sys, pyodbc
c = pyodbc.connect(sys.argv[1], autocommit=True)
cur = c.cursor()
cur.execute("SELECT 'x \U0001F31C z'")
print(ascii(cur.fetchone()[0]))
row = cur.execute("SELECT ? AS \"n\U0001F31C\"", "p \U0001F31C q").fetchone()
print(ascii(row[0]), ascii([d[0] for d in cur.description]))
try:
    cur.execute("SELECT * FROM \"t\U0001F31C\"")
except pyodbc.Error as e:
    print("error", e.args[0], "\U0001F31C" in str(e))
)PY";
  const std::string direct = run("/usr/bin/python3", {"-c", script, World::pg_direct()}, "", "pyw_direct");
  EXPECT_NE(direct.find("'x \\U0001f31c z'\n'p \\U0001f31c q' ['n\\U0001f31c']\nerror 42P01 True"),
            std::string::npos)
      << direct;
  EXPECT_EQ(direct, run("/usr/bin/python3", {"-c", script, World::pg_bridge()}, "", "pyw_bridge"));
  const std::string sqlite = run("/usr/bin/python3", {"-c", script, World::bridge()}, "", "pyw_sqlite");
  // (The SQLite driver's own message mangles the name: only the state counts.)
  EXPECT_NE(sqlite.find("'x \\U0001f31c z'\n'p \\U0001f31c q' ['n\\U0001f31c']\nerror HY000"), std::string::npos)
      << sqlite;
}

// iusql names data sources only: a client data source for the PostgreSQL
// target joins the world's "kyvek" (for SQLite).
TEST_F(WideE2e, IusqlTextBeyondTheBmp) {
  need_pg();
  Fixture& fx = World::get()->fixture();
  {
    FILE* ini = std::fopen((fx.dir() / "odbc" / "user-odbc.ini").c_str(), "a");
    ASSERT_NE(ini, nullptr);
    std::fprintf(ini, "\n[kyvekpg]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:%d\nTARGETDSN=pgdsn\n", fx.port());
    std::fclose(ini);
  }
  // iusql copies its own argument onto itself with strncpy, which the
  // preloaded sanitizer reports: its string checks stay off for iusql.
  const auto asan = fx.env().find("ASAN_OPTIONS");
  const std::string asan_before = asan != fx.env().end() ? asan->second : "";
  if (!asan_before.empty()) fx.set_env("ASAN_OPTIONS", asan_before + ":replace_str=0");
  const std::string script = "SELECT 'x \xF0\x9F\x8C\x9C z' AS \"n\xF0\x9F\x8C\x9C\"\n";
  const std::string direct = run("/usr/bin/iusql", {"pgdsn", "-b"}, script, "iusql_direct");
  EXPECT_NE(direct.find("x \xF0\x9F\x8C\x9C z"), std::string::npos) << direct;
  EXPECT_EQ(direct, run("/usr/bin/iusql", {"kyvekpg", "-b"}, script, "iusql_bridge"));
  const std::string sqlite = run("/usr/bin/iusql", {Fixture::kClientDsn, "-b"}, script, "iusql_sqlite");
  EXPECT_NE(sqlite.find("x \xF0\x9F\x8C\x9C z"), std::string::npos) << sqlite;
  if (!asan_before.empty()) fx.set_env("ASAN_OPTIONS", asan_before);
}

}  // namespace
}  // namespace kyvek::e2e
