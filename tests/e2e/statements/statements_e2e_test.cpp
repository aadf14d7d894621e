// Statements through the bridge against the same calls made straight on the
// server's SQLite data source: bound fetch with row arrays, parameter arrays,
// data at execution, every C type, prepared statements and metadata,
// transactions; then pyodbc and isql (ODBC 2 and 3) on one script each.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <utility>

#include "client_side.h"
#include "e2e_fixture.h"
#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

class StatementsE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(World::get(), nullptr);
    fx_ = &World::get()->fixture();
  }

  static std::string direct() { return World::direct(); }
  static std::string bridge(const std::string& extra = "") { return World::bridge(extra); }

  // Runs a transcript straight and through the bridge; both must agree.
  template <class F>
  void compare(F&& workload, const std::string& extra = "") {
    compare_direct_and_bridge(direct(), bridge(extra), workload, "direct");
  }

  // Runs a program with the fixture's environment; its standard output.
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

Fixture* StatementsE2e::fx_ = nullptr;

TEST_F(StatementsE2e, BoundFetchWithRowArraysColumnAndRowWiseWithOffsets) {
  compare([](Conn& c, const std::string& p) { return bound_fetch_transcript(c, p); });
}

TEST_F(StatementsE2e, ParameterArraysColumnWiseWithNullsAndNonAsciiText) {
  compare([](Conn& c, const std::string& p) { return param_array_transcript(c, p, false); });
}

TEST_F(StatementsE2e, RowWiseParameterArraysThroughTheBridgeStoreWhatColumnWiseStoresDirectly) {
  // The target driver cannot take row-wise parameter arrays itself; through
  // the bridge they are gathered into column-wise arrays on the client.
  std::string direct_text, bridge_text;
  {
    Conn c(direct());
    ASSERT_TRUE(c.ok()) << c.error();
    direct_text = param_array_transcript(c, "rw", false);
  }
  {
    Conn c(bridge());
    ASSERT_TRUE(c.ok()) << c.error();
    bridge_text = param_array_transcript(c, "rw", true);
  }
  EXPECT_EQ(direct_text, bridge_text);
}

TEST_F(StatementsE2e, DataAtExecutionNarrowWideAndBinary) {
  compare([](Conn& c, const std::string& p) { return data_at_exec_transcript(c, p, 1); });
}

TEST_F(StatementsE2e, EveryCTypeAsParameterBoundColumnAndGetData) {
  compare([](Conn& c, const std::string& p) { return c_types_transcript(c, p); });
}

TEST_F(StatementsE2e, PreparedSelectRunThreeTimesWithMetadataAndRowCount) {
  compare([](Conn& c, const std::string& p) { return prepared_transcript(c, p); });
}

TEST_F(StatementsE2e, TransactionsRollbackAndCommit) {
  compare([](Conn& c, const std::string& p) { return transaction_transcript(c, p); });
}

TEST_F(StatementsE2e, ErrorsAndChecks) {
  compare([](Conn& c, const std::string& p) { return errors_transcript(c, p); });
}

TEST_F(StatementsE2e, Odbc2ApplicationWithExecDirectMappedToPrepareAndExecute) {
  // An ODBC 2 environment with MAPEXECDIRECT: SQLExecDirect goes as close,
  // prepare, parameters and execute; the results are those of the target.
  for (const char* extra : {"MAPEXECDIRECT=1;", ""}) {
    std::string a, b;
    {
      Conn c(direct(), SQL_OV_ODBC2);
      ASSERT_TRUE(c.ok()) << c.error();
      a = data_at_exec_transcript(c, "o2", 1) + prepared_transcript(c, "o2") + extended_fetch_transcript(c, "o2");
    }
    {
      Conn c(bridge(extra), SQL_OV_ODBC2);
      ASSERT_TRUE(c.ok()) << c.error();
      b = data_at_exec_transcript(c, "o2", 1) + prepared_transcript(c, "o2") + extended_fetch_transcript(c, "o2");
    }
    EXPECT_EQ(a, b) << extra;
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
  }
}

TEST_F(StatementsE2e, IgnoredStatementAttributesStayOnTheClient) {
  auto max_rows = [](Conn& c) {
    SQLHSTMT st = c.stmt();
    SQLULEN before = 99, after = 99;
    SQLGetStmtAttr(st, SQL_ATTR_MAX_ROWS, &before, 0, nullptr);
    EXPECT_EQ(SQLSetStmtAttr(st, SQL_ATTR_MAX_ROWS, reinterpret_cast<SQLPOINTER>(5), 0), SQL_SUCCESS);
    SQLGetStmtAttr(st, SQL_ATTR_MAX_ROWS, &after, 0, nullptr);
    SQLFreeHandle(SQL_HANDLE_STMT, st);
    return std::make_pair(before, after);
  };
  Conn d(direct());
  ASSERT_TRUE(d.ok()) << d.error();
  const auto target = max_rows(d);
  ASSERT_NE(target.first, target.second);
  Conn sent(bridge());
  ASSERT_TRUE(sent.ok()) << sent.error();
  EXPECT_EQ(max_rows(sent), target);
  // Listed in IGNORESTMTATTRS: accepted and never sent.
  Conn ignored(bridge("IGNORESTMTATTRS=1;"));
  ASSERT_TRUE(ignored.ok()) << ignored.error();
  EXPECT_EQ(max_rows(ignored), std::make_pair(target.first, target.first));
}

TEST_F(StatementsE2e, ChecksTheDriverMakesItself) {
  Conn c(bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  SQLHSTMT st = c.stmt();
  SQLINTEGER v = 0;
  SQLLEN vi = 0;
  struct Case {
    const char* what;
    std::function<SQLRETURN()> call;
    const char* state;
  };
  ASSERT_EQ(SQLExecDirect(st, (SQLCHAR*)"SELECT 1, 'two'", SQL_NTS), SQL_SUCCESS);
  ASSERT_EQ(SQLFetch(st), SQL_SUCCESS);
  const Case cases[] = {
      {"bookmark column as long", [&] { return SQLBindCol(st, 0, SQL_C_SLONG, &v, 0, &vi); }, "07006"},
      {"ARD type beyond the bound records", [&] { return SQLGetData(st, 50, SQL_ARD_TYPE, &v, 0, &vi); }, "07009"},
      {"position on row 0", [&] { return SQLSetPos(st, 0, SQL_POSITION, SQL_LOCK_NO_CHANGE); }, "HY109"},
      {"negative buffer length", [&] { return SQLGetData(st, 1, SQL_C_CHAR, &v, -1, &vi); }, "HY090"},
      {"automatic descriptor", [&] { return SQLSetStmtAttr(st, SQL_ATTR_IMP_PARAM_DESC, nullptr, 0); }, "HY017"},
  };
  for (const Case& k : cases) {
    SQLRETURN rc = k.call();
    EXPECT_EQ(outcome(rc, SQL_HANDLE_STMT, st), std::string("rc=-1 ") + k.state) << k.what;
  }
  // The implicit descriptors (answered from the driver's own records).
  SQLHDESC ard = nullptr, apd = nullptr;
  EXPECT_EQ(SQLGetStmtAttr(st, SQL_ATTR_APP_ROW_DESC, &ard, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(SQLGetStmtAttr(st, SQL_ATTR_APP_PARAM_DESC, &apd, 0, nullptr), SQL_SUCCESS);
  EXPECT_NE(ard, nullptr);
  EXPECT_NE(ard, apd);
  // Attributes the driver mirrors read back as set.
  SQLULEN size = 0;
  EXPECT_EQ(SQLSetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(7), 0), SQL_SUCCESS);
  EXPECT_EQ(SQLGetStmtAttr(st, SQL_ATTR_ROW_ARRAY_SIZE, &size, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(size, 7u);
  SQLUSMALLINT status[7];
  SQLPOINTER back = nullptr;
  SQLSetStmtAttr(st, SQL_ATTR_ROW_STATUS_PTR, status, 0);
  EXPECT_EQ(SQLGetStmtAttr(st, SQL_ATTR_ROW_STATUS_PTR, &back, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(back, static_cast<SQLPOINTER>(status));
  SQLFreeHandle(SQL_HANDLE_STMT, st);
}

TEST_F(StatementsE2e, PyodbcExecutemanyLongValuesAndTransactions) {
  const std::string script = R"PY(
import sys, pyodbc
dsn = sys.argv[1]
c = pyodbc.connect(dsn, autocommit=True)
cur = c.cursor()
cur.execute("DROP TABLE IF EXISTS py_t")
cur.execute("CREATE TABLE py_t (i INTEGER, s TEXT, b BLOB, d DOUBLE)")
cur.fast_executemany = sys.argv[2] == "fast"
# Bytes of one length: the target driver stores every row of a binary
# parameter array with the first row's length.
rows = [(k, ("Grüße %d " % k) * (k % 4 + 1), bytes([k % 256, 7, k // 256]), k / 7.0) for k in range(1000)]
rows[5] = (5, None, None, None)
c.autocommit = False
cur.executemany("INSERT INTO py_t VALUES (?,?,?,?)", rows)
c.commit()
c.autocommit = True
cur.fast_executemany = False
long_s = "äöü-lang " * 300
long_b = bytes(range(256)) * 12
cur.execute("INSERT INTO py_t VALUES (?,?,?,?)", 2000, long_s, long_b, 1.0)
for r in cur.execute("SELECT i, s, b, d FROM py_t WHERE i % 97 = 0 OR i = 5 OR i = 2000 ORDER BY i").fetchall():
    print(r[0], r[1], None if r[2] is None else r[2].hex(), r[3])
for limit in (990, 995):
    print("limit", limit, cur.execute("SELECT COUNT(*), MIN(i) FROM py_t WHERE i > ? AND i < 1000", limit).fetchall())
print(len(cur.execute("SELECT * FROM py_t").fetchall()))
c.autocommit = False
cur.execute("INSERT INTO py_t VALUES (?,?,?,?)", 3000, "rolled back", None, None)
c.rollback()
print("after rollback", cur.execute("SELECT COUNT(*) FROM py_t WHERE i = 3000").fetchone()[0])
cur.execute("INSERT INTO py_t VALUES (?,?,?,?)", 3001, "committed", None, None)
c.commit()
print("after commit", cur.execute("SELECT s FROM py_t WHERE i = 3001").fetchone()[0])
c.close()
)PY";
  // The target driver cannot take pyodbc's row-wise parameter arrays
  // (fast_executemany); through the bridge they arrive column-wise.
  std::string a = run("/usr/bin/python3", {"-c", script, direct(), "slow"}, "", "py_direct");
  std::string b = run("/usr/bin/python3", {"-c", script, bridge(), "fast"}, "", "py_bridge");
  std::string c = run("/usr/bin/python3", {"-c", script, bridge(), "slow"}, "", "py_bridge_slow");
  EXPECT_NE(a.find("after commit committed"), std::string::npos) << a;
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, c);
}

TEST_F(StatementsE2e, IsqlOdbc2AndOdbc3OnTheSameScript) {
  const std::string script =
      "CREATE TABLE isql_t (i INTEGER, v VARCHAR(20), d DOUBLE, ts TIMESTAMP)\n"
      "INSERT INTO isql_t VALUES (1, 'eins', 1.5, '2026-01-02 03:04:05')\n"
      "INSERT INTO isql_t VALUES (2, NULL, -0.25, NULL)\n"
      "INSERT INTO isql_t VALUES (3, 'drei äöü', 1e10, '1999-12-31 23:59:59')\n"
      "SELECT * FROM isql_t ORDER BY i\n"
      "SELECT COUNT(*) FROM isql_t\n"
      "SELEKT wrong\n";
  for (bool v3 : {false, true}) {
    std::vector<std::string> args_d = {Fixture::kServerDsn, "-b"}, args_b = {Fixture::kClientDsn, "-b"};
    if (v3) args_d.push_back("-3"), args_b.push_back("-3");
    Conn(direct()).exec("DROP TABLE isql_t");
    std::string a = run("/usr/bin/isql", args_d, script, v3 ? "isql3_direct" : "isql2_direct");
    Conn(direct()).exec("DROP TABLE isql_t");
    std::string b = run("/usr/bin/isql", args_b, script, v3 ? "isql3_bridge" : "isql2_bridge");
    EXPECT_NE(a.find("drei"), std::string::npos) << a;
    EXPECT_EQ(a, b) << (v3 ? "isql -3" : "isql");
  }
}

}  // namespace
}  // namespace kyvek::e2e
