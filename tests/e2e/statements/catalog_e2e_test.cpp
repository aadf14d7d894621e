// Catalog functions end to end: every catalog function with patterns, null,
// empty and explicit-length names, straight on the target data source and
// through the bridge with metadata block fetch on and off, on SQLite and on
// PostgreSQL; pyodbc's catalog methods; isql's "help" and "help TABLE".
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_fixture.h"
#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

SQLCHAR* S(const char* s) { return reinterpret_cast<SQLCHAR*>(const_cast<char*>(s)); }

// The result set of a catalog call: its outcome, column names and every row
// as text read with SQLGetData (which lets metadata block fetch switch on).
std::string dump(const std::string& label, SQLRETURN rc, SQLHSTMT h) {
  std::ostringstream o;
  o << label << " " << outcome(rc, SQL_HANDLE_STMT, h) << "\n";
  if (SQL_SUCCEEDED(rc)) {
    SQLSMALLINT cols = 0;
    SQLNumResultCols(h, &cols);
    for (SQLUSMALLINT i = 1; i <= cols; ++i) {
      char name[128] = {};
      SQLSMALLINT nl = 0, type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      SQLDescribeCol(h, i, S(name), sizeof name, &nl, &type, &size, &digits, &nullable);
      o << (i > 1 ? "," : "  ") << name << ":" << type;
    }
    o << "\n";
    SQLRETURN f;
    int rows = 0;
    while ((f = SQLFetch(h)) == SQL_SUCCESS || f == SQL_SUCCESS_WITH_INFO) {
      o << "  ";
      for (SQLUSMALLINT i = 1; i <= cols; ++i) {
        char buf[300] = {};
        SQLLEN ind = 0;
        SQLRETURN g = SQLGetData(h, i, SQL_C_CHAR, buf, sizeof buf, &ind);
        o << (i > 1 ? "|" : "")
          << (SQL_SUCCEEDED(g) ? (ind == SQL_NULL_DATA ? std::string("NULL") : std::string(buf))
                               : outcome(g, SQL_HANDLE_STMT, h));
      }
      o << "\n";
      ++rows;
    }
    o << "  rows=" << rows << " end " << f << "\n";
  }
  SQLFreeStmt(h, SQL_CLOSE);
  return o.str();
}

// The tables the transcripts look at, made once (their identities show in
// some catalog columns).
void catalog_setup(Conn& c, bool pg) {
  c.exec("DROP TABLE kvcat_b");
  c.exec("DROP TABLE kvcat_a");
  c.exec("CREATE TABLE kvcat_a (k INTEGER PRIMARY KEY, v VARCHAR(20) NOT NULL, d DATE)");
  c.exec("CREATE TABLE kvcat_b (id INTEGER, a INTEGER REFERENCES kvcat_a(k), note VARCHAR(30))");
  c.exec("CREATE UNIQUE INDEX kvcat_b_id ON kvcat_b(id)");
  if (pg) {
    c.exec("CREATE OR REPLACE FUNCTION kvcat_f(x integer, OUT y integer) AS $$ SELECT x + 1 $$ LANGUAGE sql");
    c.exec("GRANT SELECT ON kvcat_a TO PUBLIC");
  }
}

std::string catalog_transcript(Conn& c) {
  Stmt st(c);
  const SQLHSTMT h = st.h;
  std::string o;
  // A catalog result set replaces a query's on the same statement.
  o += st.run("SELECT k, v FROM kvcat_a") + "\n";
  o += dump("tables-after-select", SQLTables(h, nullptr, 0, nullptr, 0, S("kvcat%"), SQL_NTS, nullptr, 0), h);
  o += dump("tables-explicit-length", SQLTables(h, nullptr, 0, nullptr, 0, S("kvcat_axyz"), 7, S("TABLE"), SQL_NTS), h);
  o += dump("tables-empty-name", SQLTables(h, nullptr, 0, nullptr, 0, S(""), 0, nullptr, 0), h);
  o += dump("tables-types", SQLTables(h, S(""), 0, S(""), 0, S(""), 0, S("%"), SQL_NTS), h);
  o += dump("tables-bad-length", SQLTables(h, nullptr, 0, nullptr, 0, S("kvcat_a"), -5, nullptr, 0), h);
  o += dump("columns", SQLColumns(h, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS, S("%"), SQL_NTS), h);
  o += dump("columns-null-column", SQLColumns(h, nullptr, 0, nullptr, 0, S("kvcat_b"), SQL_NTS, nullptr, 0), h);
  o += dump("columns-empty-column", SQLColumns(h, nullptr, 0, nullptr, 0, S("kvcat_b"), SQL_NTS, S(""), 0), h);
  o += dump("columns-pattern", SQLColumns(h, nullptr, 0, nullptr, 0, S("kvcat_%"), SQL_NTS, S("_"), SQL_NTS), h);
  o += dump("primary-keys", SQLPrimaryKeys(h, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS), h);
  o += dump("primary-keys-null", SQLPrimaryKeys(h, nullptr, 0, nullptr, 0, nullptr, 0), h);
  o += dump("foreign-keys-pk",
            SQLForeignKeys(h, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS, nullptr, 0, nullptr, 0, nullptr, 0), h);
  o += dump("foreign-keys-fk",
            SQLForeignKeys(h, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, S("kvcat_b"), SQL_NTS), h);
  o += dump("foreign-keys-none",
            SQLForeignKeys(h, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, 0), h);
  o += dump("statistics", SQLStatistics(h, nullptr, 0, nullptr, 0, S("kvcat_b"), SQL_NTS, SQL_INDEX_ALL, SQL_QUICK), h);
  o += dump("statistics-unique",
            SQLStatistics(h, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS, SQL_INDEX_UNIQUE, SQL_ENSURE), h);
  o += dump("statistics-bad-length",
            SQLStatistics(h, nullptr, -5, nullptr, 0, S("kvcat_a"), SQL_NTS, SQL_INDEX_ALL, SQL_QUICK), h);
  o += dump("special-columns",
            SQLSpecialColumns(h, SQL_BEST_ROWID, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS, SQL_SCOPE_SESSION,
                              SQL_NULLABLE),
            h);
  o += dump(
      "special-rowver",
      SQLSpecialColumns(h, SQL_ROWVER, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS, SQL_SCOPE_CURROW, SQL_NO_NULLS),
      h);
  o += dump("table-privileges", SQLTablePrivileges(h, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS), h);
  o += dump("column-privileges", SQLColumnPrivileges(h, nullptr, 0, nullptr, 0, S("kvcat_a"), SQL_NTS, S("%"), SQL_NTS),
            h);
  o += dump("procedures", SQLProcedures(h, nullptr, 0, nullptr, 0, S("kvcat%"), SQL_NTS), h);
  o += dump("procedure-columns", SQLProcedureColumns(h, nullptr, 0, nullptr, 0, S("kvcat%"), SQL_NTS, nullptr, 0), h);
  o += dump("type-info-all", SQLGetTypeInfo(h, SQL_ALL_TYPES), h);
  o += dump("type-info-varchar", SQLGetTypeInfo(h, SQL_VARCHAR), h);
  o += dump("type-info-date", SQLGetTypeInfo(h, SQL_TYPE_DATE), h);
  return o;
}

class CatalogE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(World::get(), nullptr);
    fx_ = &World::get()->fixture();
  }
  static std::string run(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                         const std::string& tag) {
    std::string in_path = (fx_->dir() / (tag + ".in")).string();
    std::ofstream(in_path) << input;
    int fd = ::open(in_path.c_str(), O_RDONLY);
    Process p = fx_->spawn(program, args, fd, tag);
    ::close(fd);
    int status = Fixture::wait(p, 120000);
    std::string out = Fixture::read_file(p.out);
    EXPECT_EQ(status, 0) << out << Fixture::read_file(p.err);
    return out;
  }
  static Fixture* fx_;
};
Fixture* CatalogE2e::fx_ = nullptr;

// Transcript for transcript: straight, then through the bridge with metadata
// block fetch on (and a block size that splits the type list) and off.
void compare_catalogs(const std::string& direct, const std::string& bridge, bool pg) {
  std::string a;
  {
    Conn c(direct);
    ASSERT_TRUE(c.ok()) << c.error();
    catalog_setup(c, pg);
    a = catalog_transcript(c);
  }
  EXPECT_NE(a.find("kvcat_b"), std::string::npos) << a;
  for (const char* extra :
       {"METADATABLOCKFETCH=1;", "METADATABLOCKFETCH=0;", "METADATABLOCKFETCH=1;BLOCKFETCHSIZE=3;"}) {
    Conn c(bridge + extra);
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_EQ(a, catalog_transcript(c)) << extra;
  }
  if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
}

TEST_F(CatalogE2e, EveryCatalogFunctionOnSqlite) { compare_catalogs(World::direct(), World::bridge(), false); }

TEST_F(CatalogE2e, EveryCatalogFunctionOnPostgres) {
  ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
  set_dialect(postgres_dialect());
  compare_catalogs(World::pg_direct(), World::pg_bridge(), true);
  set_dialect(sqlite_dialect());
}

TEST_F(CatalogE2e, PyodbcCatalogMethods) {
  const std::string script = R"PY(
import sys, pyodbc
c = pyodbc.connect(sys.argv[1], autocommit=True)
cur = c.cursor()
for sql in ("DROP TABLE IF EXISTS kvpy_b", "DROP TABLE IF EXISTS kvpy_a",
            "CREATE TABLE kvpy_a (k INTEGER PRIMARY KEY, v VARCHAR(20))",
            "CREATE TABLE kvpy_b (id INTEGER, a INTEGER REFERENCES kvpy_a(k))",
            "CREATE INDEX kvpy_b_a ON kvpy_b(a)"):
    cur.execute(sql)
def show(label, rows):
    print(label, len(rows))
    for r in rows:
        print("  ", tuple(r))
show("tables", cur.tables(table="kvpy%").fetchall())
show("tables-views", cur.tables(tableType="VIEW").fetchall())
show("columns", cur.columns(table="kvpy_a").fetchall())
show("columns-one", cur.columns(table="kvpy_b", column="a").fetchall())
show("primaryKeys", cur.primaryKeys("kvpy_a").fetchall())
show("foreignKeys", cur.foreignKeys(table="kvpy_a").fetchall())
show("foreignKeys-fk", cur.foreignKeys(foreignTable="kvpy_b").fetchall())
show("statistics", cur.statistics("kvpy_b").fetchall())
show("rowIdColumns", cur.rowIdColumns("kvpy_a").fetchall())
show("rowVerColumns", cur.rowVerColumns("kvpy_a").fetchall())
show("procedures", cur.procedures(procedure="kvpy%").fetchall())
show("getTypeInfo", cur.getTypeInfo().fetchall())
show("getTypeInfo-int", cur.getTypeInfo(pyodbc.SQL_INTEGER).fetchall())
print([d[0] for d in cur.columns(table="kvpy_a").description])
)PY";
  std::string a = run("/usr/bin/python3", {"-c", script, World::direct()}, "", "pycat_direct");
  std::string b = run("/usr/bin/python3", {"-c", script, World::bridge()}, "", "pycat_bridge");
  std::string n = run("/usr/bin/python3", {"-c", script, World::bridge("METADATABLOCKFETCH=0;")}, "", "pycat_noblock");
  EXPECT_NE(a.find("kvpy_b"), std::string::npos) << a;
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, n);
}

TEST_F(CatalogE2e, IsqlHelpAndHelpTable) {
  Conn(World::direct()).exec("CREATE TABLE IF NOT EXISTS kvisql_t (i INTEGER PRIMARY KEY, s VARCHAR(10))");
  const std::string script = "help\nhelp kvisql_t\n";
  for (bool v3 : {false, true}) {
    std::vector<std::string> args_d = {Fixture::kServerDsn, "-b"}, args_b = {Fixture::kClientDsn, "-b"};
    if (v3) args_d.push_back("-3"), args_b.push_back("-3");
    std::string a = run("/usr/bin/isql", args_d, script, v3 ? "isqlhelp3_direct" : "isqlhelp_direct");
    std::string b = run("/usr/bin/isql", args_b, script, v3 ? "isqlhelp3_bridge" : "isqlhelp_bridge");
    EXPECT_NE(a.find("kvisql_t"), std::string::npos) << a;
    EXPECT_EQ(a, b) << (v3 ? "isql -3" : "isql");
  }
}

}  // namespace
}  // namespace kyvek::e2e
