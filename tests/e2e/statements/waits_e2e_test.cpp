// Waits per rowset: the fetch and its follow-ups (rows processed, row status,
// bound columns) leave in one send and cost one wait, through a relay that
// counts the turns between the driver's bytes and the server's. What the
// application sees must equal direct access: the rows, the counts and
// statuses, the end of the result set with the buffers left alone, and a
// fetch that fails part way. The same for an execution and the parameter
// values that go with it, a prepared point SELECT, values the server refuses
// and a pyodbc point query.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "odbc_compare.h"
#include "turn_relay.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

constexpr SQLULEN kRowset = 100;
constexpr int kExtended = 1000;  // added to an orientation: SQLExtendedFetch
constexpr SQLLEN kSentinel = -77;

// A bound rowset with every array the fetch fills, set to sentinels before
// each fetch so that a fetch that writes nothing shows it.
struct Rowset {
  SQLINTEGER id[kRowset];
  SQLLEN id_ind[kRowset];
  SQLCHAR name[kRowset][16];
  SQLLEN name_ind[kRowset];
  SQLUSMALLINT status[kRowset];
  SQLULEN fetched = 0;

  // extended: for SQLExtendedFetch, which takes the count and the statuses
  // as its arguments and the rowset size from SQL_ROWSET_SIZE.
  void bind(SQLHSTMT h, bool extended) {
    if (extended) {
      SQLSetStmtAttr(h, SQL_ROWSET_SIZE, reinterpret_cast<SQLPOINTER>(kRowset), 0);
    } else {
      SQLSetStmtAttr(h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRowset), 0);
      SQLSetStmtAttr(h, SQL_ATTR_ROW_STATUS_PTR, status, 0);
      SQLSetStmtAttr(h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    }
    SQLBindCol(h, 1, SQL_C_SLONG, id, 0, id_ind);
    SQLBindCol(h, 2, SQL_C_CHAR, name, sizeof name[0], name_ind);
  }
  void mark() {
    for (SQLULEN r = 0; r < kRowset; ++r) {
      id[r] = -1;
      id_ind[r] = name_ind[r] = kSentinel;
      std::memcpy(name[r], "untouched", 10);
      status[r] = 99;
    }
    fetched = 12345;
  }
  // The rows the fetch reported; after a fetch that brought none, whether
  // every buffer kept its sentinel (rows past a short rowset are undefined,
  // and so is the count after a failed fetch).
  std::string describe(SQLRETURN rc) const {
    std::string out = rc == SQL_ERROR ? "" : " fetched=" + std::to_string(fetched);
    SQLULEN shown = fetched <= kRowset ? fetched : 0;
    if (shown > 0 && rc != SQL_ERROR) {
      for (SQLULEN r = 0; r < shown; ++r)
        out += " [" + std::to_string(status[r]) + ":" + std::to_string(id[r]) + "/" + std::to_string(id_ind[r]) + ":" +
               reinterpret_cast<const char*>(name[r]) + "/" + std::to_string(name_ind[r]) + "]";
      return out;
    }
    bool untouched = true;
    for (SQLULEN r = 0; r < kRowset; ++r)
      untouched = untouched && id[r] == -1 && id_ind[r] == kSentinel && name_ind[r] == kSentinel &&
                  std::strcmp(reinterpret_cast<const char*>(name[r]), "untouched") == 0;
    return out + (untouched ? " buffers untouched" : " buffers WRITTEN");
  }
};

// Every diagnostic record of a statement after a call, with its native
// code and message.
std::string messages(SQLHSTMT h) {
  std::string out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[512] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, h, i, state, &native, text, sizeof text, &len))) break;
    out += std::string(" ") + reinterpret_cast<char*>(state) + " " + std::to_string(native) + " " +
           reinterpret_cast<char*>(text);
  }
  return out;
}

// Every diagnostic record of a statement after a call.
std::string records(SQLHSTMT h) {
  std::string out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[512] = {};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_STMT, h, i, state, &native, text, sizeof text, &len))) break;
    out += std::string(" ") + reinterpret_cast<char*>(state);
  }
  return out;
}

class WaitsE2e : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(World::get(), nullptr); }

  // Runs the rowsets of a query straight and through the relay; both
  // transcripts must agree. orientations: one per fetch (0: SQLFetch, else
  // SQLFetchScroll with it, or SQLExtendedFetch with it plus kExtended);
  // turns[i]: the waits of the i-th fetch.
  void compare_rowsets(const std::string& table, const std::string& query, const std::vector<int>& orientations,
                       std::vector<long>* turns) {
    auto transcript = [&](Conn& c, TurnRelay* relay) {
      std::string t;
      Stmt s(c);
      Rowset rs;
      const bool extended = !orientations.empty() && orientations[0] > kExtended;
      rs.bind(s.h, extended);
      SQLSetStmtAttr(s.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_FORWARD_ONLY), 0);
      t += "exec " + s.run(query) + "\n";
      for (int o : orientations) {
        rs.mark();
        long before = relay ? relay->turns() : 0;
        SQLRETURN rc = extended
                           ? SQLExtendedFetch(s.h, static_cast<SQLUSMALLINT>(o - kExtended), 0, &rs.fetched, rs.status)
                       : o ? SQLFetchScroll(s.h, static_cast<SQLSMALLINT>(o), 0)
                           : SQLFetch(s.h);
        if (relay) turns->push_back(relay->turns() - before);
        t += "fetch rc=" + std::to_string(rc) + records(s.h) + rs.describe(rc) + "\n";
      }
      // The statement and the link go on working.
      SQLCloseCursor(s.h);
      t += "again " + s.run("SELECT COUNT(*) FROM " + table) + "\n";
      return t;
    };
    std::string direct, bridge;
    {
      Conn c(World::direct());
      ASSERT_TRUE(c.ok()) << c.error();
      make_table(c, table);
      direct = transcript(c, nullptr);
    }
    TurnRelay relay(World::get()->fixture().port());
    {
      Conn c(World::bridge("SERVERPORT=127.0.0.1:" + std::to_string(relay.port()) + ";"));
      ASSERT_TRUE(c.ok()) << c.error();
      bridge = transcript(c, &relay);
    }
    EXPECT_EQ(direct, bridge);
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", direct.c_str());
  }

  // The same transcript straight and through the relay (null when straight).
  // postgres: on the PostgreSQL data source, else on SQLite.
  template <class F>
  static void compare(bool postgres, F&& transcript) {
    std::string direct, bridge;
    {
      Conn c(postgres ? World::pg_direct() : World::direct());
      ASSERT_TRUE(c.ok()) << c.error();
      direct = transcript(c, nullptr);
    }
    TurnRelay relay(World::get()->fixture().port());
    {
      const std::string port = "SERVERPORT=127.0.0.1:" + std::to_string(relay.port()) + ";";
      Conn c(postgres ? World::pg_bridge() + port : World::bridge(port));
      ASSERT_TRUE(c.ok()) << c.error();
      bridge = transcript(c, &relay);
    }
    EXPECT_EQ(direct, bridge);
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", direct.c_str());
  }

  static void make_table(Conn& c, const std::string& table) {
    c.exec("DROP TABLE " + table);
    ASSERT_EQ(c.exec("CREATE TABLE " + table + " (id INTEGER, name VARCHAR(10))"), SQL_SUCCESS);
    std::string values;
    for (int i = 0; i < 250; ++i)
      values += (i ? "," : "") + std::string("(") + std::to_string(i) + ",'n" + std::to_string(i) + "')";
    ASSERT_EQ(c.exec("INSERT INTO " + table + " VALUES " + values), SQL_SUCCESS);
  }
};

TEST_F(WaitsE2e, EveryRowsetIsOneWaitAndTheEndWritesNothing) {
  for (int next : {0, int(SQL_FETCH_NEXT)}) {
    SCOPED_TRACE(next ? "SQLFetchScroll" : "SQLFetch");
    std::vector<long> turns;
    compare_rowsets("wait_rows", "SELECT id, name FROM wait_rows", {next, next, next, next}, &turns);
    // Three rowsets (100, 100, 50), then the end: one wait each.
    EXPECT_EQ(turns, (std::vector<long>{1, 1, 1, 1}));
  }
}

TEST_F(WaitsE2e, AFetchTheTargetRefusesWritesNothingAndTheNextGoesOn) {
  // A forward-only cursor: the target driver refuses PRIOR, with the
  // follow-ups already sent; their replies are dropped and the next rowset
  // is the one after the first.
  std::vector<long> turns;
  compare_rowsets("wait_fail", "SELECT id, name FROM wait_fail", {0, SQL_FETCH_PRIOR, 0, SQL_FETCH_NEXT}, &turns);
  EXPECT_EQ(turns, (std::vector<long>{1, 1, 1, 1}));
}

TEST_F(WaitsE2e, AnExtendedFetchRowsetIsOneWaitAndItsFailureWritesNothing) {
  std::vector<long> turns;
  const int next = kExtended + SQL_FETCH_NEXT;
  compare_rowsets("wait_ext", "SELECT id, name FROM wait_ext", {next, next, next, next}, &turns);
  EXPECT_EQ(turns, (std::vector<long>{1, 1, 1, 1}));
  turns.clear();
  compare_rowsets("wait_ext_fail", "SELECT id, name FROM wait_ext_fail",
                  {next, kExtended + SQL_FETCH_PRIOR, next, next}, &turns);
  EXPECT_EQ(turns, (std::vector<long>{1, 1, 1, 1}));
}

// An execution with parameter arrays and the parameters' processed count
// and status array: the values, and the reads of both, leave with the
// execution and cost no wait of their own. When the execution fails their replies are dropped: the
// error is the execution's, the buffers stay as they were, and the next
// execution goes on.
TEST_F(WaitsE2e, AnExecutionBringsItsParameterCountsAndStatusesInItsOwnWait) {
  constexpr SQLULEN kSets = 3;
  constexpr SQLUSMALLINT kUntouched = 99;
  constexpr SQLULEN kUnset = 12345;
  // Each step: the key of the first row (the others follow it), whether
  // through SQLExecDirect; the waits of a step through the bridge.
  struct Step {
    SQLINTEGER first;
    bool direct;
  };
  const Step steps[] = {{1, false}, {4, false}, {5, false}, {10, false}, {20, true}, {21, true}, {30, true}};
  // SQLite's driver leaves the status array as it was, and so does the
  // bridge: its statuses are compared too.
  for (bool postgres : {false, true}) {
    if (postgres) {
      ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
    }
    SCOPED_TRACE(postgres ? "PostgreSQL" : "SQLite");
    std::vector<long> turns;
    compare(postgres, [&](Conn& c, TurnRelay* relay) {
      c.exec("DROP TABLE wait_params");
      EXPECT_EQ(c.exec("CREATE TABLE wait_params (id INTEGER PRIMARY KEY, name VARCHAR(10))"), SQL_SUCCESS);
      std::string t;
      Stmt s(c);
      SQLINTEGER id[kSets];
      SQLCHAR name[kSets][8];
      SQLLEN id_ind[kSets], name_ind[kSets];
      SQLUSMALLINT status[kSets];
      SQLULEN processed = 0;
      SQLSetStmtAttr(s.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(kSets), 0);
      SQLSetStmtAttr(s.h, SQL_ATTR_PARAM_STATUS_PTR, status, 0);
      SQLSetStmtAttr(s.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
      const char* insert = "INSERT INTO wait_params VALUES (?, ?)";
      t += "prepare " + outcome(SQLPrepare(s.h, (SQLCHAR*)insert, SQL_NTS), SQL_HANDLE_STMT, s.h) + "\n";
      SQLBindParameter(s.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, id, 0, id_ind);
      SQLBindParameter(s.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 8, 0, name, sizeof name[0], name_ind);
      for (const Step& step : steps) {
        for (SQLULEN r = 0; r < kSets; ++r) {
          id[r] = step.first + static_cast<SQLINTEGER>(r);
          std::snprintf(reinterpret_cast<char*>(name[r]), sizeof name[r], "n%d", static_cast<int>(id[r]));
          id_ind[r] = 0;
          name_ind[r] = SQL_NTS;
          status[r] = kUntouched;
        }
        processed = kUnset;
        long before = relay ? relay->turns() : 0;
        SQLRETURN rc = step.direct ? SQLExecDirect(s.h, (SQLCHAR*)insert, SQL_NTS) : SQLExecute(s.h);
        if (relay) turns.push_back(relay->turns() - before);
        t += std::string(step.direct ? "exec direct " : "execute ") + outcome(rc, SQL_HANDLE_STMT, s.h);
        // After a failure as after a success: what the target wrote there.
        t += " processed=" + std::to_string(processed) + " status=";
        for (SQLULEN r = 0; r < kSets; ++r) t += std::to_string(status[r]) + ",";
        t += "\n";
      }
      t += "rows " + Stmt(c).run("SELECT id FROM wait_params") + "\n";
      return t;
    });
    // The first execution learns the parameter count; the others send the
    // values, the execution and its two reads in one send: one wait each. A
    // failed one (the keys 5 and 21 are taken already) reads the error's
    // records from the server too, two waits more, as it did one call at a
    // time.
    ASSERT_EQ(turns.size(), std::size(steps));
    EXPECT_EQ(std::vector<long>(turns.begin() + 1, turns.end()), (std::vector<long>{1, 3, 1, 1, 3, 1}));
  }
}

// A prepared single-row SELECT as a C program makes it: prepared once, one
// integer parameter, every column bound; per query the execution, the fetch
// of the row, the fetch that finds the end and the close. The values go with
// the execution and the close with the next one: three waits a query.
TEST_F(WaitsE2e, APreparedPointSelectIsThreeWaitsAQuery) {
  constexpr SQLINTEGER kKeys[] = {7, 1, 250, 999, 42};  // 999: no such row
  for (bool postgres : {false, true}) {
    if (postgres) {
      ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
    }
    SCOPED_TRACE(postgres ? "PostgreSQL" : "SQLite");
    std::vector<long> turns;
    compare(postgres, [&](Conn& c, TurnRelay* relay) {
      c.exec("DROP TABLE wait_point");
      EXPECT_EQ(c.exec("CREATE TABLE wait_point (id INTEGER, name VARCHAR(10), amount FLOAT, ts TIMESTAMP)"),
                SQL_SUCCESS);
      std::string values;
      for (int i = 1; i <= 250; ++i)
        values += (i > 1 ? "," : "") + std::string("(") + std::to_string(i) + ",'n" + std::to_string(i) + "'," +
                  std::to_string(i) + ".25,'2026-01-02 03:04:" + std::to_string(10 + i % 50) + "')";
      EXPECT_EQ(c.exec("INSERT INTO wait_point VALUES " + values), SQL_SUCCESS);
      std::string t;
      Stmt s(c);
      SQLINTEGER key = 0, id = 0;
      SQLLEN key_ind = 0, ind[4] = {};
      char name[24] = {};
      double amount = 0;
      SQL_TIMESTAMP_STRUCT ts{};
      t += "prepare " +
           outcome(SQLPrepare(s.h, (SQLCHAR*)"SELECT id, name, amount, ts FROM wait_point WHERE id = ?", SQL_NTS),
                   SQL_HANDLE_STMT, s.h) +
           "\n";
      SQLBindParameter(s.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &key, 0, &key_ind);
      SQLBindCol(s.h, 1, SQL_C_SLONG, &id, 0, &ind[0]);
      SQLBindCol(s.h, 2, SQL_C_CHAR, name, sizeof name, &ind[1]);
      SQLBindCol(s.h, 3, SQL_C_DOUBLE, &amount, 0, &ind[2]);
      SQLBindCol(s.h, 4, SQL_C_TYPE_TIMESTAMP, &ts, 0, &ind[3]);
      for (SQLINTEGER k : kKeys) {
        key = k;
        long before = relay ? relay->turns() : 0;
        const SQLRETURN exec = SQLExecute(s.h);
        const SQLRETURN row = SQLFetch(s.h);
        const std::string seen = std::to_string(id) + " " + name + " " + std::to_string(amount) + " " +
                                 std::to_string(ts.minute) + ":" + std::to_string(ts.second);
        const SQLRETURN end = SQLFetch(s.h);
        const SQLRETURN close = SQLFreeStmt(s.h, SQL_CLOSE);
        if (relay) turns.push_back(relay->turns() - before);
        t += "key " + std::to_string(k) + " execute " + std::to_string(exec) + " fetch " + std::to_string(row) +
             (row == SQL_SUCCESS ? " " + seen : "") + " end " + std::to_string(end) + " close " +
             std::to_string(close) + "\n";
      }
      return t;
    });
    // The first execution asks the parameter count (once per prepared
    // statement) and whether the target has SQLNumParams (once per
    // connection): two waits more.
    EXPECT_EQ(turns, (std::vector<long>{5, 3, 3, 3, 3}));
  }
}

// Values the server refuses in their transfer travel with the execution: a
// text bound with SQL_NTS and a buffer length of 0 goes whole, and the
// server's array for it (the column size, at least 64 bytes, and a
// terminator) cannot take 100 bytes. The server refuses the execution,
// nothing is inserted, and the application sees the transfer's SQLSTATE and
// message as when the values went alone. The next execution with good
// values goes on.
TEST_F(WaitsE2e, ValuesTheServerRefusesStopTheirExecutionAndTheNextGoesOn) {
  const char* insert = "INSERT INTO wait_refuse VALUES (?, ?)";
  for (bool postgres : {false, true}) {
    if (postgres) {
      ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
    }
    for (bool direct : {false, true}) {
      SCOPED_TRACE(std::string(postgres ? "PostgreSQL" : "SQLite") + (direct ? " SQLExecDirect" : " SQLExecute"));
      TurnRelay relay(World::get()->fixture().port());
      const std::string port = "SERVERPORT=127.0.0.1:" + std::to_string(relay.port()) + ";";
      Conn c(postgres ? World::pg_bridge() + port : World::bridge(port));
      ASSERT_TRUE(c.ok()) << c.error();
      c.exec("DROP TABLE wait_refuse");
      ASSERT_EQ(c.exec("CREATE TABLE wait_refuse (id INTEGER, name VARCHAR(10))"), SQL_SUCCESS);
      Stmt s(c);
      SQLINTEGER id = 0;
      char name[128] = {};
      SQLLEN id_ind = 0, name_ind = SQL_NTS;
      if (!direct) {
        ASSERT_EQ(SQLPrepare(s.h, (SQLCHAR*)insert, SQL_NTS), SQL_SUCCESS);
      }
      SQLBindParameter(s.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &id, 0, &id_ind);
      SQLBindParameter(s.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 10, 0, name, 0, &name_ind);
      std::string seen;
      std::vector<long> turns;
      for (const std::string& value : {std::string("ab"), std::string(100, 'x'), std::string("cd")}) {
        id += 1;
        std::snprintf(name, sizeof name, "%s", value.c_str());
        long before = relay.turns();
        const SQLRETURN rc = direct ? SQLExecDirect(s.h, (SQLCHAR*)insert, SQL_NTS) : SQLExecute(s.h);
        turns.push_back(relay.turns() - before);
        seen += std::to_string(rc) + messages(s.h) + "\n";
      }
      EXPECT_EQ(seen,
                "0\n"
                "-1 HY000 35 [Kyronde ODBC (Server)]General error: Internal server error, Parameter buffer too small "
                "(65/101)\n"
                "0\n");
      // One wait each, the values with the execution; the first SQLExecute
      // learns the parameter count too, and the refused one reads the
      // error's records from the server, as a failed transfer did alone.
      EXPECT_EQ(turns, direct ? (std::vector<long>{1, 3, 1}) : (std::vector<long>{3, 3, 1}));
      Stmt rows(c);
      EXPECT_EQ(rows.run("SELECT id, name FROM wait_refuse ORDER BY id"), "rc=0");
      std::string got;
      SQLINTEGER rid = 0;
      char rname[16] = {};
      SQLLEN a = 0, b = 0;
      SQLBindCol(rows.h, 1, SQL_C_SLONG, &rid, 0, &a);
      SQLBindCol(rows.h, 2, SQL_C_CHAR, rname, sizeof rname, &b);
      while (SQL_SUCCEEDED(SQLFetch(rows.h))) got += std::to_string(rid) + ":" + rname + " ";
      EXPECT_EQ(got, "1:ab 3:cd ");
    }
  }
}

// pyodbc's point query: execute with a parameter, fetchone. The waits of a
// query are those of a run of eleven less those of a run of one (the
// connect's and the first execution's own are in both).
TEST_F(WaitsE2e, APyodbcPointQueryIsAtMostTwelveWaits) {
  static const char* kScript = R"PY(
import sys, pyodbc
c = pyodbc.connect(sys.argv[1], autocommit=True)
cur = c.cursor()
for k in range(int(sys.argv[2])):
    cur.execute("SELECT id, name, amount FROM wait_py WHERE id = ?", k * 7 % 20 + 1)
    print(cur.fetchone())
c.close()
)PY";
  Fixture& fx = World::get()->fixture();
  auto run = [&](const std::string& connect, int queries) {
    Process p = fx.spawn("/usr/bin/python3", {"-c", kScript, connect, std::to_string(queries)}, -1, "py_waits");
    const int status = Fixture::wait(p, 120000);
    std::string out = Fixture::read_file(p.out);
    EXPECT_EQ(status, 0) << out << Fixture::read_file(p.err);
    return out;
  };
  for (bool postgres : {false, true}) {
    if (postgres) {
      ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
    }
    SCOPED_TRACE(postgres ? "PostgreSQL" : "SQLite");
    {
      Conn c(postgres ? World::pg_direct() : World::direct());
      ASSERT_TRUE(c.ok()) << c.error();
      c.exec("DROP TABLE wait_py");
      ASSERT_EQ(c.exec("CREATE TABLE wait_py (id INTEGER, name VARCHAR(10), amount INTEGER)"), SQL_SUCCESS);
      for (int i = 1; i <= 20; ++i)
        c.exec("INSERT INTO wait_py VALUES (" + std::to_string(i) + ", 'n" + std::to_string(i) + "', " +
               std::to_string(i * 3) + ")");
    }
    const std::string want = run(postgres ? World::pg_direct() : World::direct(), 11);
    EXPECT_NE(want.find("(8, 'n8', 24)"), std::string::npos) << want;
    long waits[2] = {};
    for (int queries : {1, 11}) {
      TurnRelay relay(World::get()->fixture().port());
      const std::string port = "SERVERPORT=127.0.0.1:" + std::to_string(relay.port()) + ";";
      const std::string got = run(postgres ? World::pg_bridge() + port : World::bridge(port), queries);
      if (queries == 11) {
        EXPECT_EQ(got, want);
      }
      waits[queries == 11] = relay.turns();
    }
    const long per_query = (waits[1] - waits[0]) / 10;
    EXPECT_EQ((waits[1] - waits[0]) % 10, 0) << waits[0] << " " << waits[1];
    EXPECT_LE(per_query, 12);
    std::fprintf(stderr, "pyodbc point query: %ld waits\n", per_query);
  }
}

// Positioned operations on a keyset cursor: the reads after each (row status,
// the bound columns of a refresh, rows fetched) leave with it. A failed
// update drops their replies and gives the target's error; the next
// operation goes on. A refresh of one row leaves the others' buffers alone.
TEST_F(WaitsE2e, APositionedOperationBringsItsStatusColumnsAndCountInItsOwnWait) {
  ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
  std::vector<long> turns;
  compare(true, [&](Conn& c, TurnRelay* relay) {
    c.exec("DROP TABLE wait_setpos");
    EXPECT_EQ(c.exec("CREATE TABLE wait_setpos (id integer primary key, name varchar(8))"), SQL_SUCCESS);
    for (int k = 1; k <= 6; ++k)
      c.exec("INSERT INTO wait_setpos VALUES (" + std::to_string(k) + ", 'n" + std::to_string(k) + "')");
    std::string t;
    Stmt s(c);
    constexpr SQLULEN kRows = 3;
    SQLINTEGER id[kRows] = {};
    char name[kRows][32] = {};
    SQLLEN idi[kRows] = {}, namei[kRows] = {};
    SQLUSMALLINT status[kRows] = {};
    SQLULEN fetched = 0;
    SQLSetStmtAttr(s.h, SQL_ATTR_CURSOR_TYPE, reinterpret_cast<SQLPOINTER>(SQL_CURSOR_KEYSET_DRIVEN), 0);
    SQLSetStmtAttr(s.h, SQL_ATTR_CONCURRENCY, reinterpret_cast<SQLPOINTER>(SQL_CONCUR_ROWVER), 0);
    SQLSetStmtAttr(s.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRows), 0);
    SQLSetStmtAttr(s.h, SQL_ATTR_ROW_STATUS_PTR, status, 0);
    SQLSetStmtAttr(s.h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
    t += "select " + s.run("SELECT id, name FROM wait_setpos ORDER BY id") + "\n";
    SQLBindCol(s.h, 1, SQL_C_SLONG, id, 0, idi);
    SQLBindCol(s.h, 2, SQL_C_CHAR, name, sizeof name[0], namei);
    SQLRETURN rc = SQLFetchScroll(s.h, SQL_FETCH_NEXT, 0);
    t += "fetch " + outcome(rc, SQL_HANDLE_STMT, s.h) + " fetched=" + std::to_string(fetched) + "\n";
    auto step = [&](const char* what, SQLUSMALLINT op, const char* value) {
      id[0] = 1;
      idi[0] = 0;
      std::strcpy(name[0], value);
      namei[0] = SQL_NTS;
      status[0] = 99;
      long before = relay ? relay->turns() : 0;
      const SQLRETURN done = SQLSetPos(s.h, 1, op, SQL_LOCK_NO_CHANGE);
      if (relay) turns.push_back(relay->turns() - before);
      t += std::string(what) + " " + outcome(done, SQL_HANDLE_STMT, s.h) + " row " + std::to_string(id[0]) + ":" +
           name[0];
      // After a failure the target's status of the row is not brought.
      if (SQL_SUCCEEDED(done)) t += " status " + std::to_string(status[0]);
      t += "\n";
    };
    // What the application wrote into another row stays through a refresh
    // of row 1, as the target driver leaves it.
    id[1] = 42;
    idi[1] = 0;
    std::strcpy(name[1], "edit");
    namei[1] = SQL_NTS;
    step("refresh", SQL_REFRESH, "mine");
    t += "row 2 after the refresh " + std::to_string(id[1]) + ":" + name[1] + " " + std::to_string(namei[1]) + "\n";
    step("update", SQL_UPDATE, "changed");
    // Longer than the column: the target refuses it.
    step("failed update", SQL_UPDATE, "far too long for it");
    step("refresh again", SQL_REFRESH, "mine");
    t += "rows " + Stmt(c).run("SELECT id FROM wait_setpos WHERE name = 'changed'") + "\n";
    return t;
  });
  // A refresh: one wait (one at a time: the operation, the status, the
  // columns and the count, four). An update: the row's values go first, then
  // the operation with its status and count (seven one at a time). A failed
  // one costs what it did: its reads were never asked.
  EXPECT_EQ(turns, (std::vector<long>{1, 5, 3, 1}));
}

}  // namespace
}  // namespace kyvek::e2e
