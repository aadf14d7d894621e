// Applications reach a kyvekserver on loopback through the unixODBC Driver
// Manager and the client driver: isql and pyodbc as separate processes, and
// this process itself through libodbc for the failure roads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "client_side.h"
#include "diag_reader.h"
#include "e2e_fixture.h"

namespace kyvek::e2e {
namespace {

using Record = kytest::DiagRecord;

std::vector<Record> records(SQLSMALLINT type, SQLHANDLE h) { return kytest::diag_records(type, h); }

bool has_state(const std::vector<Record>& r, const std::string& state) {
  for (const Record& x : r)
    if (x.state == state) return true;
  return false;
}

std::string dump(const std::vector<Record>& r) {
  std::string s;
  for (const Record& x : r) s += x.state + " " + std::to_string(x.native) + " " + x.message + "\n";
  return s;
}

// One application connection through this process's Driver Manager.
class App {
 public:
  App() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  }
  ~App() {
    if (dbc_) {
      if (connected_) SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  SQLRETURN connect(const std::string& in) {
    SQLCHAR out[1024];
    SQLSMALLINT len = 0;
    SQLRETURN rc =
        SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)in.c_str(), SQL_NTS, out, sizeof out, &len, SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(rc);
    return rc;
  }
  SQLHDBC dbc() { return dbc_; }
  std::vector<Record> diags() { return records(SQL_HANDLE_DBC, dbc_); }
  std::string info(SQLUSMALLINT type, SQLRETURN* rc_out = nullptr) {
    char buf[256] = {};
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLGetInfo(dbc_, type, buf, sizeof buf, &len);
    if (rc_out) *rc_out = rc;
    return SQL_SUCCEEDED(rc) ? std::string(buf) : std::string();
  }
  SQLRETURN disconnect() {
    SQLRETURN rc = SQLDisconnect(dbc_);
    if (SQL_SUCCEEDED(rc)) connected_ = false;
    return rc;
  }
  // Frees the connection handle now; the result of the free.
  SQLRETURN free_dbc() {
    SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (SQL_SUCCEEDED(rc)) dbc_ = nullptr;
    return rc;
  }

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  bool connected_ = false;
};

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

// The Driver Manager reads its ini files from the paths it first saw in a
// process, so every scenario that calls the Driver Manager in-process runs in
// a child of this test binary started with the fixture's environment. The
// child cases below run only there.
bool in_child() { return std::getenv("KYVEK_E2E_CHILD") != nullptr; }
int env_int(const char* name) { return std::atoi(std::getenv(name) ? std::getenv(name) : "0"); }

#define CHILD_ONLY() \
  if (!in_child()) GTEST_SKIP() << "runs as a child of the end-to-end cases"

TEST(Child, ServerPortListIsTriedInOrder) {
  CHILD_ONLY();
  int live = env_int("KYVEK_E2E_PORT");
  int dead1 = Fixture::free_port(), dead2 = Fixture::free_port();
  {
    App app;
    SQLRETURN rc = app.connect(driver_connection_string(loopback(dead1) + "," + loopback(live), "CONNECTATTEMPTS=1"));
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << dump(app.diags());
    EXPECT_FALSE(has_state(app.diags(), "08001")) << dump(app.diags());
    EXPECT_EQ(app.info(SQL_DBMS_NAME), "SQLite");
    EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  }
  {
    App app;
    SQLRETURN rc = app.connect(driver_connection_string(loopback(dead1) + "," + loopback(dead2), "CONNECTATTEMPTS=1"));
    EXPECT_EQ(rc, SQL_ERROR);
    std::vector<Record> d = app.diags();
    EXPECT_TRUE(has_state(d, "08001")) << dump(d);
    // A failed connect leaves a connection that can be freed.
    EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
  }
}

TEST(Child, KilledServerGivesLinkFailureAndDisconnectStillSucceeds) {
  CHILD_ONLY();
  App app;
  ASSERT_TRUE(SQL_SUCCEEDED(app.connect("DSN=kyvek"))) << dump(app.diags());
  ASSERT_EQ(app.info(SQL_DBMS_NAME), "SQLite");
  pid_t server = static_cast<pid_t>(env_int("KYVEK_E2E_SERVER_PID"));
  ASSERT_GT(server, 0);
  ASSERT_EQ(::kill(server, SIGKILL), 0);
  for (int i = 0; i < 100 && Fixture::listening(env_int("KYVEK_E2E_PORT")); ++i) ::usleep(20000);
  SQLRETURN rc = SQL_SUCCESS;
  app.info(SQL_DBMS_VER, &rc);
  EXPECT_EQ(rc, SQL_ERROR);
  std::vector<Record> d = app.diags();
  EXPECT_TRUE(has_state(d, "08S01")) << dump(d);
  SQLUINTEGER dead = 0;
  EXPECT_EQ(SQLGetConnectAttr(app.dbc(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(dead, static_cast<SQLUINTEGER>(SQL_CD_TRUE));
  EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
}

TEST(Child, WrongLogonPasswordIsRefusedAndTheRightOneConnects) {
  CHILD_ONLY();
  {
    App app;
    EXPECT_EQ(app.connect("DSN=kyvek;LOGONUSER=nobody;LOGONAUTH=wrong-pw"), SQL_ERROR);
    std::vector<Record> d = app.diags();
    EXPECT_TRUE(has_state(d, "28000")) << dump(d);
    EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
  }
  {
    App app;
    // Braces keep a password with ';' in one piece.
    SQLRETURN rc = app.connect("DSN=kyvek;LOGONUSER=nobody;LOGONAUTH={right;pw}");
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << dump(app.diags());
    EXPECT_EQ(app.info(SQL_DRIVER_NAME), "kyvekclient");
    EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  }
}

TEST(Child, DataSourceMissingOnTheServerIsNamedAsSuch) {
  CHILD_ONLY();
  App app;
  EXPECT_EQ(app.connect("DSN=kyvek;TARGETDSN=NoSuchTarget"), SQL_ERROR);
  std::vector<Record> d = app.diags();
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d[0].state, "IM002") << dump(d);
  EXPECT_NE(d[0].message.find("Data source not found on the server: TARGETDSN 'NoSuchTarget' is not defined there"),
            std::string::npos)
      << dump(d);
  // The server's own record follows.
  EXPECT_GE(d.size(), 2u) << dump(d);
  EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
}

TEST(Child, StoppedServerGivesTimeoutWithinTheQueryTimeout) {
  CHILD_ONLY();
  App app;
  ASSERT_TRUE(SQL_SUCCEEDED(app.connect("DSN=kyvek"))) << dump(app.diags());
  SQLHSTMT stmt = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, app.dbc(), &stmt), SQL_SUCCESS);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(2), 0)));
  pid_t server = static_cast<pid_t>(env_int("KYVEK_E2E_SERVER_PID"));
  ASSERT_GT(server, 0);
  ASSERT_EQ(::kill(server, SIGSTOP), 0);
  auto start = std::chrono::steady_clock::now();
  SQLRETURN rc = SQLExecDirect(stmt, (SQLCHAR*)"SELECT 1", SQL_NTS);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::kill(server, SIGCONT);
  EXPECT_EQ(rc, SQL_ERROR);
  EXPECT_LT(took, 4.0);
  std::vector<Record> d = records(SQL_HANDLE_STMT, stmt);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d[0].state, "HYT00") << dump(d);
  // The link is closed: later calls fail at once, and the connection can go.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(SQLExecDirect(stmt, (SQLCHAR*)"SELECT 1", SQL_NTS), SQL_ERROR);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 1.0);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
  EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
}

// Holds an open transaction and a half-read result, says so, and waits to be killed.
TEST(Child, ClientKilledMidTransactionAndFetch) {
  CHILD_ONLY();
  App app;
  ASSERT_TRUE(SQL_SUCCEEDED(app.connect("DSN=kyvek"))) << dump(app.diags());
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLSetConnectAttr(app.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  SQLHSTMT insert = nullptr, select = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, app.dbc(), &insert), SQL_SUCCESS);
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, app.dbc(), &select), SQL_SUCCESS);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(insert, (SQLCHAR*)"INSERT INTO t VALUES (4)", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(select, (SQLCHAR*)"SELECT a FROM t", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(select)));
  std::fprintf(stdout, "READY\n");
  std::fflush(stdout);
  ::pause();
}

// Starts a query that never ends on its own, and is killed while it runs.
TEST(Child, ClientKilledDuringALongQuery) {
  CHILD_ONLY();
  App app;
  ASSERT_TRUE(SQL_SUCCEEDED(app.connect("DSN=kyvek"))) << dump(app.diags());
  SQLHSTMT stmt = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, app.dbc(), &stmt), SQL_SUCCESS);
  std::fprintf(stdout, "READY\n");
  std::fflush(stdout);
  SQLExecDirect(stmt,
                (SQLCHAR*)"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c",
                SQL_NTS);
}

class DriverE2e : public ::testing::Test {
 protected:
  explicit DriverE2e(Options options = {}) : fx_(std::move(options)) {}
  void SetUp() override {
    if (in_child()) GTEST_SKIP();
    preload_sanitizers(fx_);
    ASSERT_TRUE(fx_.start_server()) << Fixture::read_file(fx_.server().err);
  }
  // Runs one Child case in a process of its own with the fixture's environment.
  void run_child(const std::string& name) {
    fx_.set_env("KYVEK_E2E_CHILD", "1");
    fx_.set_env("KYVEK_E2E_PORT", fx_.port_text());
    fx_.set_env("KYVEK_E2E_SERVER_PID", std::to_string(fx_.server().pid));
    // The child carries the sanitizers itself; leaks count there.
    fx_.set_env("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1");
    Process child = fx_.spawn("/proc/self/exe", {"--gtest_filter=Child." + name}, -1, "child");
    int status = Fixture::wait(child, 120000);
    std::string out = Fixture::read_file(child.out);
    EXPECT_EQ(status, 0) << out << Fixture::read_file(child.err);
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
  }
  Fixture fx_;
};

TEST_F(DriverE2e, IsqlConnectsThroughTheClientDsn) {
  Process isql = fx_.spawn("/usr/bin/isql", {"-v", Fixture::kClientDsn}, -1, "isql");
  EXPECT_EQ(Fixture::wait(isql, 60000), 0) << Fixture::read_file(isql.err);
  std::string out = Fixture::read_file(isql.out);
  EXPECT_NE(out.find("Connected!"), std::string::npos) << out << Fixture::read_file(isql.err);
}

TEST_F(DriverE2e, PyodbcReadsDriverAndDbmsNames) {
  const std::string script =
      "import pyodbc\n"
      "c = pyodbc.connect('DSN=kyvek', autocommit=True)\n"
      "print('driver=' + c.getinfo(pyodbc.SQL_DRIVER_NAME))\n"
      "print('dbms=' + c.getinfo(pyodbc.SQL_DBMS_NAME))\n"
      "c.close()\n";
  Process py = fx_.spawn("/usr/bin/python3", {"-c", script}, -1, "pyodbc");
  int status = Fixture::wait(py, 60000);
  std::string out = Fixture::read_file(py.out);
  EXPECT_EQ(status, 0) << out << Fixture::read_file(py.err);
  EXPECT_NE(out.find("driver=kyvekclient"), std::string::npos) << out;
  EXPECT_NE(out.find("dbms=SQLite"), std::string::npos) << out;
}

TEST_F(DriverE2e, ServerPortListIsTriedInOrder) { run_child("ServerPortListIsTriedInOrder"); }

TEST_F(DriverE2e, KilledServerGivesLinkFailureAndDisconnectStillSucceeds) {
  run_child("KilledServerGivesLinkFailureAndDisconnectStillSucceeds");
}

TEST_F(DriverE2e, DataSourceMissingOnTheServerIsNamedAsSuch) { run_child("DataSourceMissingOnTheServerIsNamedAsSuch"); }

TEST_F(DriverE2e, StoppedServerGivesTimeoutWithinTheQueryTimeout) {
  run_child("StoppedServerGivesTimeoutWithinTheQueryTimeout");
  ::kill(fx_.server().pid, SIGCONT);
}

// Descriptors of the server process open on the file.
int descriptors_on(pid_t pid, const std::filesystem::path& file) {
  int n = 0;
  std::error_code ec;
  const auto target = std::filesystem::weakly_canonical(file, ec);
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(e.path(), link_ec) == target) ++n;
  }
  return n;
}

TEST_F(DriverE2e, KilledClientsTargetConnectionIsReleasedAndItsTransactionRolledBack) {
  ASSERT_TRUE(fx_.exec_sqlite("CREATE TABLE t(a); INSERT INTO t VALUES (1),(2),(3);"));
  const pid_t server = fx_.server().pid;
  fx_.set_env("KYVEK_E2E_CHILD", "1");
  fx_.set_env("ASAN_OPTIONS", "detect_leaks=0");
  for (int round = 0; round < 3; ++round) {
    Process child = fx_.spawn("/proc/self/exe", {"--gtest_filter=Child.ClientKilledMidTransactionAndFetch"}, -1,
                              "killed" + std::to_string(round));
    bool ready = false;
    for (int i = 0; i < 600 && !ready; ++i) {
      ready = Fixture::read_file(child.out).find("READY") != std::string::npos;
      if (!ready) ::usleep(50000);
    }
    ASSERT_TRUE(ready) << Fixture::read_file(child.out) << Fixture::read_file(child.err);
    EXPECT_GT(descriptors_on(server, fx_.database_path()), 0);
    ::kill(child.pid, SIGKILL);
    Fixture::wait(child, 10000);
    int open = -1;
    for (int i = 0; i < 200 && open != 0; ++i) {
      open = descriptors_on(server, fx_.database_path());
      if (open != 0) ::usleep(50000);
    }
    EXPECT_EQ(open, 0) << "the killed client's target connection is still open";
  }
  // A client killed while its query runs: the worker cancels the query and
  // releases the connection rather than run the query to its end.
  {
    Process child = fx_.spawn("/proc/self/exe", {"--gtest_filter=Child.ClientKilledDuringALongQuery"}, -1, "long");
    bool ready = false;
    for (int i = 0; i < 600 && !ready; ++i) {
      ready = Fixture::read_file(child.out).find("READY") != std::string::npos;
      if (!ready) ::usleep(50000);
    }
    ASSERT_TRUE(ready) << Fixture::read_file(child.out) << Fixture::read_file(child.err);
    ::usleep(500000);  // the query is running on the server
    ::kill(child.pid, SIGKILL);
    Fixture::wait(child, 10000);
    int open = -1;
    for (int i = 0; i < 200 && open != 0; ++i) {
      open = descriptors_on(server, fx_.database_path());
      if (open != 0) ::usleep(50000);
    }
    EXPECT_EQ(open, 0) << "the killed client's query still runs";
  }
  // Nothing the killed clients inserted stayed, and nothing holds the file's lock.
  Process shell =
      fx_.spawn("/usr/bin/sqlite3", {fx_.database_path().string(), "INSERT INTO t VALUES (5); SELECT count(*) FROM t;"},
                -1, "count");
  EXPECT_EQ(Fixture::wait(shell, 30000), 0) << Fixture::read_file(shell.err);
  EXPECT_EQ(Fixture::read_file(shell.out), "4\n");
  EXPECT_TRUE(fx_.server_running());
}

class DriverLogonE2e : public DriverE2e {
 protected:
  static Options logon_options() {
    Options o;
    o.flags = 0x8000;  // logon required
    o.pam_users = {{"nobody", "right;pw"}};
    o.world_accessible = true;
    return o;
  }
  DriverLogonE2e() : DriverE2e(logon_options()) {}
};

TEST_F(DriverLogonE2e, WrongPasswordIsRefusedAndTheRightOneConnects) {
  run_child("WrongLogonPasswordIsRefusedAndTheRightOneConnects");
}

}  // namespace
}  // namespace kyvek::e2e
