// Applications reach a kyvekserver on loopback through the unixODBC Driver
// Manager and the client driver: isql and pyodbc as separate processes, and
// this process itself through libodbc for the failure roads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// A socket on 127.0.0.1 that listens and never answers: the kernel completes
// the connects, nobody reads.
int silent_listener(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin_port);
  return fd;
}

// What getaddrinfo says of a host here, in its own words.
std::string resolver_words(const char* host) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host, "8888", &hints, &res);
  if (res) ::freeaddrinfo(res);
  return rc == 0 ? "resolved" : ::gai_strerror(rc);
}

// Every connect failure a user meets: the first record (the one pyodbc shows)
// says what happened and to which server, in a bounded time.
TEST(Child, ConnectFailuresSayWhatHappenedInTheFirstRecord) {
  CHILD_ONLY();
  const std::string live = loopback(env_int("KYVEK_E2E_PORT"));
  const int dead = Fixture::free_port();
  int silent = 0;
  const int silent_fd = silent_listener(&silent);
  ASSERT_GE(silent_fd, 0);
  const std::string refused = "Could not connect to 127.0.0.1 port " + std::to_string(dead) + ": Connection refused";
  struct Case {
    const char* name;
    std::string in;
    SQLULEN login_timeout;
    const char* state;
    std::string words;
    double at_least, below;  // seconds
  } cases[] = {
      {"wrong password", driver_connection_string(live, "LOGONUSER=nobody;LOGONAUTH=wrong"), 0, "28000",
       "]logon failed for user nobody: wrong user name or password", 0, 10},
      {"unknown user", driver_connection_string(live, "LOGONUSER=nosuchuser;LOGONAUTH=x"), 0, "28000",
       "]logon failed for user nosuchuser: wrong user name or password", 0, 10},
      {"missing LOGONAUTH", driver_connection_string(live, "LOGONUSER=nobody"), 0, "28000",
       "]logon failed for user nobody: wrong user name or password (no LOGONAUTH was given)", 0, 10},
      {"stopped server", driver_connection_string(loopback(dead), "LOGONUSER=nobody"), 0, "08001",
       "]" + refused + " (5 attempts)", 0.9, 3},
      {"stopped server, one attempt", driver_connection_string(loopback(dead), "CONNECTATTEMPTS=1"), 0, "08001",
       "]" + refused + " (1 attempt)", 0, 1},
      {"silent server, timeout=5", driver_connection_string(loopback(silent), "LOGONUSER=nobody"), 5, "HYT00",
       "]Login timeout expired: 127.0.0.1 port " + std::to_string(silent) + ": no answer from the server", 4.8, 6},
      {"silent then stopped, timeout=3",
       driver_connection_string(loopback(silent) + "," + loopback(dead), "LOGONUSER=nobody"), 3, "HYT00",
       "; 127.0.0.1 port " + std::to_string(dead) + ": not tried, the login time-out ran out", 2.8, 4},
      {"unknown host", driver_connection_string("nosuch.invalid:8888", "LOGONUSER=nobody"), 0, "08001",
       "]Could not resolve host nosuch.invalid (for port 8888): " + resolver_words("nosuch.invalid"), 0, 15},
      {"IPv6 address without brackets", driver_connection_string("::1:8888", "LOGONUSER=nobody"), 0, "HY000",
       "(expected server:port, [IPv6 address]:port)", 0, 1},
      {"plain LOGONAUTH in odbc.ini", "DSN=plainauth", 0, "", "", 0, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    App app;
    if (c.login_timeout) {
      ASSERT_TRUE(SQL_SUCCEEDED(SQLSetConnectAttr(app.dbc(), SQL_ATTR_LOGIN_TIMEOUT,
                                                  reinterpret_cast<SQLPOINTER>(c.login_timeout), 0)));
    }
    auto start = std::chrono::steady_clock::now();
    SQLRETURN rc = app.connect(c.in);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<Record> d = app.diags();
    if (*c.state == '\0') {
      EXPECT_TRUE(SQL_SUCCEEDED(rc)) << dump(d);
    } else {
      EXPECT_EQ(rc, SQL_ERROR);
      ASSERT_FALSE(d.empty());
      EXPECT_EQ(d[0].state, c.state) << dump(d);
      EXPECT_NE(d[0].message.find(c.words), std::string::npos) << dump(d);
      EXPECT_EQ(d.size(), 1u) << dump(d);
    }
    EXPECT_GE(took, c.at_least);
    EXPECT_LT(took, c.below);
  }
  ::close(silent_fd);
}

// The completed connection string gives the logon password back disguised,
// and a connect with that string logs on again.
TEST(Child, CompletedConnectionStringHoldsTheLogonPasswordDisguised) {
  CHILD_ONLY();
  std::string first_out;
  for (SQLUSMALLINT completion : {SQL_DRIVER_NOPROMPT, SQL_DRIVER_COMPLETE}) {
    SCOPED_TRACE(completion);
    App app;
    SQLCHAR out[1024] = {};
    SQLSMALLINT len = 0;
    SQLCHAR in[] = "DSN=kyvek;LOGONUSER=nobody;LOGONAUTH={right;pw}";
    // COMPLETE needs a window handle from the Driver Manager's point of view;
    // none is given, the string is complete, so no dialog opens.
    SQLRETURN rc = SQLDriverConnect(app.dbc(), nullptr, in, SQL_NTS, out, sizeof out, &len, completion);
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << dump(app.diags());
    std::string text(reinterpret_cast<char*>(out));
    EXPECT_EQ(text.find("right"), std::string::npos) << text;
    EXPECT_NE(text.find("DISGUISEDLOGONAUTH="), std::string::npos) << text;
    EXPECT_EQ(SQLDisconnect(app.dbc()), SQL_SUCCESS);
    App again;
    EXPECT_TRUE(SQL_SUCCEEDED(again.connect(text))) << text << "\n" << dump(again.diags());
  }
}

// Connects a few times through the port in KYVEK_E2E_PROXY_PORT; each
// connection reaches a server and its data source.
TEST(Child, NewConnectionsThroughTheProxySucceed) {
  CHILD_ONLY();
  const std::string proxy = loopback(env_int("KYVEK_E2E_PROXY_PORT"));
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    App app;
    ASSERT_TRUE(SQL_SUCCEEDED(app.connect(driver_connection_string(proxy, "CONNECTATTEMPTS=1")))) << dump(app.diags());
    EXPECT_EQ(app.info(SQL_DBMS_NAME), "SQLite");
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

// Several servers behind HAProxy in TCP mode with a health check, as
// docs/administration.md shows: with one server stopped, new connections
// still succeed through the other.
TEST_F(DriverE2e, TwoServersBehindHaproxyOneStopped) {
  Fixture second;
  ASSERT_TRUE(second.start_server()) << Fixture::read_file(second.server().err);
  const int proxy_port = Fixture::free_port();
  const std::filesystem::path config = fx_.dir() / "haproxy.cfg";
  std::ofstream(config) << "global\n"
                           "  maxconn 100\n"
                           "defaults\n"
                           "  mode tcp\n"
                           "  timeout connect 2s\n"
                           "  timeout client 1m\n"
                           "  timeout server 1m\n"
                           "  retries 2\n"
                           "  option redispatch\n"
                           "frontend kyvek\n"
                           "  bind 127.0.0.1:"
                        << proxy_port
                        << "\n"
                           "  default_backend kyvekservers\n"
                           "backend kyvekservers\n"
                           "  balance leastconn\n"
                           "  server one 127.0.0.1:"
                        << fx_.port()
                        << " check inter 300ms fall 1 rise 1\n"
                           "  server two 127.0.0.1:"
                        << second.port() << " check inter 300ms fall 1 rise 1\n";
  // HAProxy runs without the sanitizer runtimes the fixture preloads for
  // foreign programs that load the driver.
  const auto preload = fx_.env().find("LD_PRELOAD");
  const std::string kept = preload == fx_.env().end() ? "" : preload->second;
  fx_.set_env("LD_PRELOAD", "");
  Process proxy = fx_.spawn("/usr/sbin/haproxy", {"-db", "-f", config.string()}, -1, "haproxy");
  fx_.set_env("LD_PRELOAD", kept);
  for (int i = 0; i < 600 && !Fixture::listening(proxy_port); ++i) ::usleep(50000);
  ASSERT_TRUE(Fixture::listening(proxy_port)) << Fixture::read_file(proxy.err);
  fx_.set_env("KYVEK_E2E_PROXY_PORT", std::to_string(proxy_port));
  run_child("NewConnectionsThroughTheProxySucceed");
  fx_.stop_server();
  // The next health check marks it down; redispatch covers the moments before.
  ::usleep(700000);
  run_child("NewConnectionsThroughTheProxySucceed");
  ::kill(proxy.pid, SIGTERM);
  Fixture::wait(proxy, 10000);
}

// A server bound to "::" serves IPv6 and IPv4 clients; the driver reaches it
// through a bracketed IPv6 address in SERVERPORT.
TEST(Child, ConnectsOverIpv6) {
  CHILD_ONLY();
  for (const std::string& server : {"[::1]:" + std::to_string(env_int("KYVEK_E2E_PORT")),
                                    loopback(env_int("KYVEK_E2E_PORT"))}) {
    SCOPED_TRACE(server);
    App app;
    ASSERT_TRUE(SQL_SUCCEEDED(app.connect(driver_connection_string(server)))) << dump(app.diags());
    EXPECT_EQ(app.info(SQL_DBMS_NAME), "SQLite");
    EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  }
}

class DriverIpv6E2e : public DriverE2e {
 protected:
  static Options ipv6_options() {
    Options o;
    o.settings["IPAddress"] = "[::]";
    return o;
  }
  DriverIpv6E2e() : DriverE2e(ipv6_options()) {}
};

TEST_F(DriverIpv6E2e, ServerOnEveryInterfaceServesIpv6AndIpv4Clients) {
  run_child("ConnectsOverIpv6");
  EXPECT_TRUE(fx_.wait_event("Listening on :: port " + fx_.port_text())) << Fixture::read_file(fx_.server().err);
  const std::string out = Fixture::read_file(fx_.server().out);
  EXPECT_NE(out.find("Connection from ::1 "), std::string::npos) << out;
  EXPECT_NE(out.find("Connection from 127.0.0.1 "), std::string::npos) << out;
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

TEST_F(DriverLogonE2e, ConnectFailuresSayWhatHappenedInTheFirstRecord) {
  // A data source written by hand, with the logon password in clear.
  std::ofstream(fx_.dir() / "odbc" / "user-odbc.ini", std::ios::app)
      << "\n[plainauth]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:" << fx_.port() << "\nTARGETDSN=" << Fixture::kServerDsn
      << "\nLOGONUSER=nobody\nLOGONAUTH=right;pw\n";
  run_child("ConnectFailuresSayWhatHappenedInTheFirstRecord");
}

TEST_F(DriverLogonE2e, CompletedConnectionStringHoldsTheLogonPasswordDisguised) {
  run_child("CompletedConnectionStringHoldsTheLogonPasswordDisguised");
}

}  // namespace
}  // namespace kyvek::e2e
