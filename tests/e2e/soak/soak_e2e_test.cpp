// Load with dead clients. Bursts of client processes (this binary, through the
// unixODBC Driver Manager and the client driver) connect at once to a
// kyvekserver in thread mode and in MultiProcess mode; each makes its calls and
// checks the rows, and a share of each burst is killed mid-call (a query that
// would not end), mid-transaction or mid-fetch. Afterwards the server's
// threads, descriptors and children are back to where they started and its
// memory within a stated margin; no client waited past its time-out.
//
// Settings (environment): SOAK_CLIENTS per burst (default 12), SOAK_CALLS per
// client (20), SOAK_SECONDS of bursts per mode (8), SOAK_RSS_MARGIN_MB (64).
// scripts/soak runs it with larger numbers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "client_side.h"
#include "e2e_fixture.h"

namespace kyvek::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kMultiProcess = 0x4;
constexpr int kRows = 100;  // rows of table t: a = 1 .. 100
constexpr long kSum = kRows * (kRows + 1) / 2;
constexpr int kTimeoutSeconds = 10;  // login and query time-out of every client

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::atoi(v) : fallback;
}
bool in_client() { return std::getenv("SOAK_ROLE") != nullptr; }

// ---- The client process -------------------------------------------------

struct Conn {
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  Conn() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kTimeoutSeconds), 0);
  }
  ~Conn() {
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
  SQLHSTMT statement() {
    SQLHSTMT s = nullptr;
    SQLAllocHandle(SQL_HANDLE_STMT, dbc, &s);
    SQLSetStmtAttr(s, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(kTimeoutSeconds), 0);
    return s;
  }
};

void ready() {
  std::fprintf(stdout, "READY\n");
  std::fflush(stdout);
}

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

TEST(SoakClient, Run) {
  if (!in_client()) GTEST_SKIP() << "runs as a client process of the soak";
  const std::string role = std::getenv("SOAK_ROLE");
  Conn c;
  auto start = Clock::now();
  SQLRETURN rc =
      SQLDriverConnect(c.dbc, nullptr, (SQLCHAR*)"DSN=kyvek", SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
  ASSERT_LT(since(start), kTimeoutSeconds + 2.0) << "connect waited past its time-out";
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << "connect failed";
  SQLHSTMT s = c.statement();
  if (role == "call") {
    ready();
    SQLExecDirect(s, (SQLCHAR*)"WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                               "SELECT count(*) FROM c", SQL_NTS);
    ::pause();
  } else if (role == "transaction") {
    SQLSetConnectAttr(c.dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s, (SQLCHAR*)"INSERT INTO t VALUES (-1)", SQL_NTS)));
    ready();
    ::pause();
  } else if (role == "fetch") {
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s, (SQLCHAR*)"SELECT a FROM t ORDER BY a", SQL_NTS)));
    ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s)));
    ready();
    ::pause();
  }
  const int calls = env_int("SOAK_CALLS", 20);
  for (int i = 0; i < calls; ++i) {
    auto t = Clock::now();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s, (SQLCHAR*)"SELECT count(*), sum(a) FROM t WHERE a > 0", SQL_NTS)));
    ASSERT_EQ(SQLFetch(s), SQL_SUCCESS);
    SQLINTEGER count = 0;
    SQLINTEGER sum = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLGetData(s, 1, SQL_C_SLONG, &count, 0, nullptr)));
    ASSERT_TRUE(SQL_SUCCEEDED(SQLGetData(s, 2, SQL_C_SLONG, &sum, 0, nullptr)));
    SQLCloseCursor(s);
    ASSERT_EQ(count, kRows);
    ASSERT_EQ(sum, kSum);
    ASSERT_LT(since(t), kTimeoutSeconds + 2.0) << "a call waited past its time-out";
  }
  SQLFreeHandle(SQL_HANDLE_STMT, s);
}

// ---- The server's resources --------------------------------------------------

struct Usage {
  int threads = 0, descriptors = 0, children = 0;
  long rss_kb = 0;
};

Usage usage_of(pid_t pid) {
  Usage u;
  const fs::path proc = "/proc/" + std::to_string(pid);
  std::ifstream status(proc / "status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) u.threads = std::atoi(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::atol(line.c_str() + 6);
  }
  std::error_code ec;
  for (auto it = fs::directory_iterator(proc / "fd", ec); !ec && it != fs::directory_iterator(); ++it) ++u.descriptors;
  for (auto it = fs::directory_iterator(proc / "task", ec); !ec && it != fs::directory_iterator(); ++it) {
    std::ifstream kids(it->path() / "children");
    for (std::string pid_text; kids >> pid_text;) ++u.children;
  }
  return u;
}

std::string show(const Usage& u) {
  return "threads " + std::to_string(u.threads) + ", descriptors " + std::to_string(u.descriptors) + ", children " +
         std::to_string(u.children) + ", RSS " + std::to_string(u.rss_kb / 1024) + " MB";
}

// ---- The soak -------------------------------------------------------------------

class Soak : public ::testing::TestWithParam<bool> {};

TEST_P(Soak, BurstsWithKilledClientsLeaveTheServerAsItWas) {
  if (in_client()) GTEST_SKIP();
  Options o;
  if (GetParam()) o.flags |= kMultiProcess;
  o.settings["MaxClientConnect"] = "0";
  Fixture fx(o);
  preload_sanitizers(fx);
  std::string rows = "CREATE TABLE t(a INTEGER);";
  for (int i = 1; i <= kRows; ++i) rows += "INSERT INTO t VALUES (" + std::to_string(i) + ");";
  ASSERT_TRUE(fx.exec_sqlite(rows));
  // A sanitized server keeps freed memory in quarantine; a small one keeps its
  // RSS a measure of what it holds.
  fx.set_env("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1:quarantine_size_mb=8");
  ASSERT_TRUE(fx.start_server()) << Fixture::read_file(fx.server().err);
  const pid_t server = fx.server().pid;
  fx.set_env("SOAK_CALLS", std::to_string(env_int("SOAK_CALLS", 20)));
  fx.set_env("ASAN_OPTIONS", "detect_leaks=0");

  // A first client warms the server up (target driver loaded, first watcher).
  fx.set_env("SOAK_ROLE", "calls");
  Process warm = fx.spawn("/proc/self/exe", {"--gtest_filter=SoakClient.Run"}, -1, "warm");
  ASSERT_EQ(Fixture::wait(warm, 120000), 0) << Fixture::read_file(warm.out);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const Usage before = usage_of(server);

  const int clients = env_int("SOAK_CLIENTS", 12);
  const auto end = Clock::now() + std::chrono::seconds(env_int("SOAK_SECONDS", 8));
  // SQLite lets one transaction write at a time: one killed client per burst
  // holds a transaction, the others are killed mid-call or mid-fetch.
  const auto killed_role = [](int k) { return k == 0 ? "transaction" : k % 2 ? "call" : "fetch"; };
  int bursts = 0, served = 0, killed = 0;
  while (Clock::now() < end || bursts == 0) {
    std::vector<Process> normal, doomed;
    for (int i = 0; i < clients; ++i) {
      // One in four is killed: mid-transaction, mid-call or mid-fetch.
      const bool kill = i % 4 == 3;
      fx.set_env("SOAK_ROLE", kill ? killed_role(i / 4) : "calls");
      Process p = fx.spawn("/proc/self/exe", {"--gtest_filter=SoakClient.Run"}, -1,
                           "b" + std::to_string(bursts) + "c" + std::to_string(i));
      (kill ? doomed : normal).push_back(p);
    }
    for (Process& p : doomed) {
      bool is_ready = false;
      for (int i = 0; i < 1200 && !is_ready; ++i) {
        is_ready = Fixture::read_file(p.out).find("READY") != std::string::npos;
        if (!is_ready) ::usleep(25000);
      }
      EXPECT_TRUE(is_ready) << Fixture::read_file(p.out);
      ::usleep(100000);
      ::kill(p.pid, SIGKILL);
      Fixture::wait(p, 10000);
      ++killed;
    }
    for (Process& p : normal) {
      int status = Fixture::wait(p, 120000);
      EXPECT_EQ(status, 0) << Fixture::read_file(p.out);
      if (status == 0) ++served;
    }
    ++bursts;
  }

  // Back to the start: the bound covers the cancel of the killed queries and
  // the reaping of MultiProcess children.
  const long margin_kb = env_int("SOAK_RSS_MARGIN_MB", 64) * 1024L;
  Usage after;
  for (int i = 0; i < 300; ++i) {
    after = usage_of(server);
    if (after.threads <= before.threads && after.descriptors <= before.descriptors &&
        after.children <= before.children && after.rss_kb <= before.rss_kb + margin_kb)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("soak %s: %d bursts of %d, %d clients served, %d killed\n  before: %s\n  after:  %s\n",
              GetParam() ? "MultiProcess" : "threads", bursts, clients, served, killed, show(before).c_str(),
              show(after).c_str());
  EXPECT_LE(after.threads, before.threads);
  EXPECT_LE(after.descriptors, before.descriptors);
  EXPECT_LE(after.children, before.children);
  EXPECT_LE(after.rss_kb, before.rss_kb + margin_kb);
  EXPECT_TRUE(fx.server_running());
  // The killed transactions left nothing behind.
  Process shell = fx.spawn("/usr/bin/sqlite3", {fx.database_path().string(), "SELECT count(*) FROM t;"}, -1, "count");
  EXPECT_EQ(Fixture::wait(shell, 30000), 0);
  EXPECT_EQ(Fixture::read_file(shell.out), std::to_string(kRows) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Modes, Soak, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "MultiProcess" : "Threads"; });

}  // namespace
}  // namespace kyvek::e2e
