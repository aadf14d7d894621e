// The same ODBC workloads, in one run, against a SQLite data source straight
// and through the bridge (client driver, kyvekserver on loopback, the same
// SQLite data source behind it). For each workload it prints rows per second
// for both, their ratio, and the remote calls the bridge needed (counted by a
// loopback relay between the driver and the server in a separate pass, so
// that the relay never slows the timed pass).
//
//   kyvek_bench [--rows N] [--keep] [--pin CLIENT_CPU,SERVER_CPU]
//
// --pin keeps this process (the application and the driver) on one processor
// and the server on another, so that a run can be compared with the last one.
// Per workload it prints the messages the driver sent (calls), the turns it
// waited for the server (waits) and the microseconds per wait, and once the
// bare loopback round trip of a ping-pong measured in the same run.
//
// Workloads (N = 100,000 by default):
//   1 fetch N rows of four mixed columns, bound, row array size 100
//   2 the same rows one by one with SQLFetch and SQLGetData per column
//     (again with BLOCKFETCHSIZE 100: the driver fetches 100 rows per call)
//   3 N/10 prepared single-row SELECTs with a parameter
//   4 insert N rows with a column-wise parameter array of 1,000
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kSqliteDrivers[] = {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/odbc/libsqlite3odbc.so",
                                "/usr/local/lib/libsqlite3odbc.so"};

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "kyvek_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string diag(SQLSMALLINT type, SQLHANDLE h) {
  SQLCHAR state[6] = {}, msg[512] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  if (SQL_SUCCEEDED(SQLGetDiagRec(type, h, 1, state, &native, msg, sizeof msg, &len)))
    return std::string(reinterpret_cast<char*>(state)) + " " + reinterpret_cast<char*>(msg);
  return "(no diagnostic)";
}

void check(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h, const char* what) {
  if (!SQL_SUCCEEDED(rc)) die(std::string(what) + " failed: " + diag(type, h));
}

int free_port() {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

int connect_to(int port) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(s);
    return -1;
  }
  return s;
}

// A loopback relay that counts round trips: each turn from the client's bytes
// to the server's bytes is one remote call (one call at a time per link).
class Relay {
 public:
  explicit Relay(int target) : target_(target) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 8);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~Relay() {
    stop_ = true;
    ::shutdown(listen_, SHUT_RDWR);
    thread_.join();
    for (std::thread& t : pumps_) t.join();
    ::close(listen_);
  }
  int port() const { return port_; }
  long calls() const { return calls_.load(); }
  long messages() const { return messages_.load(); }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 200) != 1) continue;
      int c = ::accept(listen_, nullptr, nullptr);
      if (c < 0) continue;
      int s = connect_to(target_);
      if (s < 0) {
        ::close(c);
        continue;
      }
      pumps_.emplace_back([this, c, s] { pump(c, s); });
    }
  }
  // Client-to-server frames, cut as they pass: a frame shorter than a full
  // one ends a message (a message fills every frame but its last).
  struct FrameCount {
    uint8_t header[4];
    size_t have = 0;
    uint64_t left = 0;
    uint32_t length = 0;
    void feed(const char* p, size_t n, std::atomic<long>& messages) {
      while (n > 0) {
        if (left == 0 && have < 4) {
          header[have++] = static_cast<uint8_t>(*p++);
          --n;
          if (have == 4) {
            length = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) | (uint32_t(header[2]) << 8) | header[3];
            left = length;
            if (left == 0) have = 0;
          }
          continue;
        }
        size_t step = static_cast<size_t>(std::min<uint64_t>(left, n));
        p += step, n -= step, left -= step;
        if (left == 0) {
          have = 0;
          if (length < 4088) ++messages;
        }
      }
    }
  };

  void pump(int c, int s) {
    FrameCount frames;
    bool server_spoke = true;
    std::vector<char> buf(1 << 16);
    while (true) {
      pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
      if (::poll(p, 2, 1000) < 0) break;
      if (stop_ && !(p[0].revents | p[1].revents)) break;
      bool done = false;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = ::read(p[i].fd, buf.data(), buf.size());
        if (n <= 0) {
          done = true;
          break;
        }
        if (i == 0) frames.feed(buf.data(), static_cast<size_t>(n), messages_);
        if (i == 0 && server_spoke) {
          ++calls_;
          server_spoke = false;
        }
        if (i == 1) server_spoke = true;
        const char* q = buf.data();
        while (n > 0) {
          ssize_t w = ::write(p[1 - i].fd, q, static_cast<size_t>(n));
          if (w <= 0) {
            done = true;
            break;
          }
          q += w, n -= w;
        }
      }
      if (done) break;
    }
    ::close(c);
    ::close(s);
  }
  int target_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> calls_{0};
  std::atomic<long> messages_{0};
  std::thread thread_;
  std::vector<std::thread> pumps_;  // touched by the accepting thread only
};

class Conn {
 public:
  explicit Conn(const std::string& connect) {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    SQLCHAR out[1024];
    SQLSMALLINT len = 0;
    check(
        SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, out, sizeof out, &len, SQL_DRIVER_NOPROMPT),
        SQL_HANDLE_DBC, dbc_, ("connect " + connect).c_str());
  }
  ~Conn() {
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  SQLHSTMT stmt() {
    SQLHSTMT s = nullptr;
    check(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &s), SQL_HANDLE_DBC, dbc_, "SQLAllocHandle");
    return s;
  }
  void exec(const std::string& sql) {
    SQLHSTMT s = stmt();
    SQLRETURN rc = SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS);
    if (rc != SQL_NO_DATA) check(rc, SQL_HANDLE_STMT, s, sql.c_str());
    SQLFreeHandle(SQL_HANDLE_STMT, s);
  }
  SQLHDBC dbc() { return dbc_; }

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
};

// ---- the workloads: each returns the rows it handled --------------------------

long fetch_bound(Conn& c, long n) {
  SQLHSTMT s = c.stmt();
  constexpr SQLULEN kArray = 100;
  SQLINTEGER id[kArray];
  char name[kArray][24];
  double amount[kArray];
  SQL_TIMESTAMP_STRUCT ts[kArray];
  SQLLEN ind[4][kArray];
  SQLULEN fetched = 0;
  SQLSetStmtAttr(s, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kArray), 0);
  SQLSetStmtAttr(s, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
  SQLBindCol(s, 1, SQL_C_SLONG, id, 0, ind[0]);
  SQLBindCol(s, 2, SQL_C_CHAR, name, 24, ind[1]);
  SQLBindCol(s, 3, SQL_C_DOUBLE, amount, 0, ind[2]);
  SQLBindCol(s, 4, SQL_C_TYPE_TIMESTAMP, ts, 0, ind[3]);
  const std::string sql = "SELECT id, name, amount, ts FROM bench_rows WHERE id <= " + std::to_string(n);
  check(SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, s, "select");
  long rows = 0;
  SQLRETURN rc;
  while ((rc = SQLFetch(s)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) rows += static_cast<long>(fetched);
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rows;
}

long fetch_getdata(Conn& c, long n) {
  SQLHSTMT s = c.stmt();
  const std::string sql = "SELECT id, name, amount, ts FROM bench_rows WHERE id <= " + std::to_string(n);
  check(SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, s, "select");
  long rows = 0;
  SQLINTEGER id;
  char name[24];
  double amount;
  SQL_TIMESTAMP_STRUCT ts;
  SQLLEN ind;
  while (SQL_SUCCEEDED(SQLFetch(s))) {
    SQLGetData(s, 1, SQL_C_SLONG, &id, 0, &ind);
    SQLGetData(s, 2, SQL_C_CHAR, name, sizeof name, &ind);
    SQLGetData(s, 3, SQL_C_DOUBLE, &amount, 0, &ind);
    SQLGetData(s, 4, SQL_C_TYPE_TIMESTAMP, &ts, 0, &ind);
    ++rows;
  }
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rows;
}

long prepared_selects(Conn& c, long n) {
  SQLHSTMT s = c.stmt();
  check(SQLPrepare(s, (SQLCHAR*)"SELECT id, name, amount, ts FROM bench_rows WHERE id = ?", SQL_NTS), SQL_HANDLE_STMT,
        s, "prepare");
  SQLINTEGER key = 0, id = 0;
  SQLLEN key_ind = 0, ind[4];
  char name[24];
  double amount;
  SQL_TIMESTAMP_STRUCT ts;
  SQLBindParameter(s, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &key, 0, &key_ind);
  SQLBindCol(s, 1, SQL_C_SLONG, &id, 0, &ind[0]);
  SQLBindCol(s, 2, SQL_C_CHAR, name, sizeof name, &ind[1]);
  SQLBindCol(s, 3, SQL_C_DOUBLE, &amount, 0, &ind[2]);
  SQLBindCol(s, 4, SQL_C_TYPE_TIMESTAMP, &ts, 0, &ind[3]);
  long rows = 0;
  for (long k = 0; k < n; ++k) {
    key = static_cast<SQLINTEGER>(k * 7 % 100000 + 1);
    check(SQLExecute(s), SQL_HANDLE_STMT, s, "execute");
    while (SQL_SUCCEEDED(SQLFetch(s))) ++rows;
    SQLFreeStmt(s, SQL_CLOSE);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rows;
}

long insert_arrays(Conn& c, long n) {
  c.exec("DELETE FROM bench_insert");
  SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  SQLHSTMT s = c.stmt();
  constexpr SQLULEN kSet = 1000;
  std::vector<SQLINTEGER> id(kSet);
  std::vector<char> name(kSet * 24);
  std::vector<double> amount(kSet);
  std::vector<SQL_TIMESTAMP_STRUCT> ts(kSet);
  std::vector<SQLLEN> ind_id(kSet, 0), ind_name(kSet, SQL_NTS), ind_amount(kSet, 0), ind_ts(kSet, 0);
  SQLSetStmtAttr(s, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(kSet), 0);
  check(SQLPrepare(s, (SQLCHAR*)"INSERT INTO bench_insert VALUES (?,?,?,?)", SQL_NTS), SQL_HANDLE_STMT, s, "prepare");
  SQLBindParameter(s, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, id.data(), 0, ind_id.data());
  SQLBindParameter(s, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 20, 0, name.data(), 24, ind_name.data());
  SQLBindParameter(s, 3, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, amount.data(), 0, ind_amount.data());
  SQLBindParameter(s, 4, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3, ts.data(), 0, ind_ts.data());
  long rows = 0;
  for (long base = 0; base < n; base += static_cast<long>(kSet)) {
    for (SQLULEN k = 0; k < kSet; ++k) {
      const long v = base + static_cast<long>(k);
      id[k] = static_cast<SQLINTEGER>(v);
      const std::string text = "name " + std::to_string(v % 100000000);
      std::memcpy(&name[k * 24], text.c_str(), text.size() + 1);
      amount[k] = static_cast<double>(v) * 0.25;
      ts[k] = {2026, 1, static_cast<SQLUSMALLINT>(v % 28 + 1), 12, 0, static_cast<SQLUSMALLINT>(v % 60), 0};
    }
    check(SQLExecute(s), SQL_HANDLE_STMT, s, "insert");
    rows += static_cast<long>(kSet);
  }
  SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT);
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return rows;
}

struct Workload {
  const char* name;
  std::function<long(Conn&, long)> run;
  long divisor;                   // rows of this workload: N / divisor
  const char* bridge_extra = "";  // added to the bridge's connection string
};

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

// Keeps the calling process (and what it starts) on one processor.
void pin_to(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) die("cannot pin to processor " + std::to_string(cpu));
}

// The bare loopback round trip: 64 bytes to an echoing thread and back over
// TCP with TCP_NODELAY, as the link does. Microseconds per round trip.
double ping_pong(int rounds, int server_cpu) {
  int l = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(l, 1);
  socklen_t len = sizeof a;
  ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
  std::thread echo([l, server_cpu] {
    pin_to(server_cpu);
    int s = ::accept(l, nullptr, nullptr);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char b[64];
    for (;;) {
      ssize_t got = 0;
      while (got < 64) {
        ssize_t r = ::recv(s, b + got, 64 - static_cast<size_t>(got), 0);
        if (r <= 0) {
          ::close(s);
          return;
        }
        got += r;
      }
      if (::send(s, b, 64, MSG_NOSIGNAL) != 64) break;
    }
    ::close(s);
  });
  int c = connect_to(ntohs(a.sin_port));
  int one = 1;
  ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char b[64] = {};
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) {
    ::send(c, b, 64, MSG_NOSIGNAL);
    ssize_t got = 0;
    while (got < 64) {
      ssize_t r = ::recv(c, b + got, 64 - static_cast<size_t>(got), 0);
      if (r <= 0) die("ping-pong lost its peer");
      got += r;
    }
  }
  double us = seconds_since(t0) * 1e6 / rounds;
  ::close(c);
  echo.join();
  ::close(l);
  return us;
}

int main(int argc, char** argv) {
  long n = 100000;
  bool keep = false;
  int client_cpu = -1, server_cpu = -1;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc)
      n = std::atol(argv[++i]);
    else if (a == "--keep")
      keep = true;
    else if (a == "--pin" && i + 1 < argc && std::sscanf(argv[i + 1], "%d,%d", &client_cpu, &server_cpu) == 2)
      ++i;
    else
      die("usage: kyvek_bench [--rows N] [--keep] [--pin CLIENT_CPU,SERVER_CPU]");
  }
  if (n < 1000) n = 1000;
  std::string sqlite_driver;
  for (const char* p : kSqliteDrivers)
    if (fs::exists(p)) sqlite_driver = p;
  if (sqlite_driver.empty()) die("the SQLite ODBC driver (libsqlite3odbc.so) is not installed");

  // A private world: registry file, ini files, database, run directory.
  char tmpl[] = "/tmp/kyvek-bench-XXXXXX";
  if (!mkdtemp(tmpl)) die("mkdtemp");
  const fs::path dir = tmpl;
  fs::create_directories(dir / "log");
  fs::create_directories(dir / "run");
  const int port = free_port();
  const std::string root = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration";
  std::ofstream(dir / "registry.reg") << "REGEDIT4\n\n[" << root << "]\n\n[" << root << "\\System]\n\n[" << root
                                      << "\\System\\Settings]\n\"Flags\"=\"0x8001\"\n\"LogDir\"=\""
                                      << (dir / "log").string() << "\"\n\"Path\"=\"" << dir.string() << "\"\n\n["
                                      << root << "\\System\\default]\n\n";
  std::ofstream(dir / "odbcinst.ini") << "[SQLite3]\nDriver=" << sqlite_driver
                                      << "\n\n[Kyvek]\nDriver=" << KYVEK_BENCH_DRIVER << "\n";
  std::ofstream(dir / "odbc.ini") << "[vekdb]\nDriver=SQLite3\nDatabase=" << (dir / "bench.sqlite").string() << "\n";
  // The relay for the counting pass; idle while the timed pass runs.
  Relay relay(port);
  const int relay_port = relay.port();
  std::ofstream(dir / "user-odbc.ini") << "[kyvek]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:" << port
                                       << "\nTARGETDSN=vekdb\n\n[kyvek_counted]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:"
                                       << relay_port << "\nTARGETDSN=vekdb\n";
  setenv("KYVEK_REGISTRY", (dir / "registry.reg").c_str(), 1);
  setenv("KYVEK_RUNDIR", (dir / "run").c_str(), 1);
  setenv("KYVEK_EVENTLOG", (dir / "events.log").c_str(), 1);
  setenv("KYVEK_SHM_NAME", ("/kyvek-bench-" + std::to_string(getpid())).c_str(), 1);
  setenv("ODBCSYSINI", dir.c_str(), 1);
  setenv("ODBCINI", (dir / "user-odbc.ini").c_str(), 1);
  setenv("TMPDIR", (dir / "log").c_str(), 1);

  pid_t server = fork();
  if (server == 0) {
    pin_to(server_cpu);
    int out = ::open((dir / "server.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, 1);
    ::dup2(out, 2);
    execl(KYVEK_BENCH_SERVER, KYVEK_BENCH_SERVER, "standalone", std::to_string(port).c_str(), nullptr);
    _exit(127);
  }
  bool up = false;
  for (int k = 0; k < 200 && !up; ++k) {
    int s = connect_to(port);
    if (s >= 0)
      ::close(s), up = true;
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!up) die("kyvekserver did not listen; see " + (dir / "server.out").string());
  pin_to(client_cpu);

  {
    std::printf("preparing %ld rows...\n", n);
    Conn direct("DSN=vekdb;");
    direct.exec("CREATE TABLE bench_rows (id INTEGER PRIMARY KEY, name VARCHAR(20), amount DOUBLE, ts TIMESTAMP)");
    direct.exec("CREATE TABLE bench_insert (id INTEGER, name VARCHAR(20), amount DOUBLE, ts TIMESTAMP)");
    direct.exec("BEGIN");
    direct.exec("WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < " + std::to_string(n) +
                ") INSERT INTO bench_rows SELECT x, 'name ' || x, x * 0.25, '2026-01-02 03:04:05' FROM k");
    direct.exec("COMMIT");
  }

  const Workload workloads[] = {
      {"1 bound fetch, row array 100", fetch_bound, 1},
      {"2 SQLFetch + SQLGetData per column", fetch_getdata, 1},
      {"2 the same, BLOCKFETCHSIZE 100", fetch_getdata, 1, "BLOCKFETCHSIZE=100;"},
      {"3 prepared single-row SELECT", prepared_selects, 10},
      {"4 insert, parameter array 1000", insert_arrays, 1},
  };
  struct Result {
    double direct = 0, bridge = 0;
    double bridge_seconds = 0;
    long calls = 0, messages = 0;
  };
  std::vector<Result> results;
  for (const Workload& w : workloads) {
    Result r;
    const long rows = n / w.divisor;
    {
      Conn c("DSN=vekdb;");
      auto t0 = std::chrono::steady_clock::now();
      long got = w.run(c, rows);
      r.direct = static_cast<double>(got) / seconds_since(t0);
    }
    {
      Conn c(std::string("DSN=kyvek;") + w.bridge_extra);
      auto t0 = std::chrono::steady_clock::now();
      long got = w.run(c, rows);
      r.bridge_seconds = seconds_since(t0);
      r.bridge = static_cast<double>(got) / r.bridge_seconds;
    }
    results.push_back(r);
  }
  // The counting pass, through the relay.
  for (size_t i = 0; i < results.size(); ++i) {
    Conn c(std::string("DSN=kyvek_counted;") + workloads[i].bridge_extra);
    long before = relay.calls(), before_messages = relay.messages();
    workloads[i].run(c, n / workloads[i].divisor);
    results[i].calls = relay.calls() - before;
    results[i].messages = relay.messages() - before_messages;
  }
  const double rtt = ping_pong(20000, server_cpu);

  std::printf("\n%-36s %13s %13s %7s %9s %9s %8s\n", "workload", "direct rows/s", "bridge rows/s", "ratio", "calls",
              "waits", "us/wait");
  for (size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    std::printf("%-36s %13.0f %13.0f %7.3f %9ld %9ld %8.1f\n", workloads[i].name, r.direct, r.bridge,
                r.bridge / r.direct, r.messages, r.calls, r.calls ? r.bridge_seconds * 1e6 / double(r.calls) : 0.0);
  }
  std::printf(
      "(ratio: bridge rows/s over direct rows/s; %ld rows, %ld prepared SELECTs; calls: messages the driver\n"
      " sent, counted in a separate pass through a relay, with the connect; waits: the driver's turns to wait\n"
      " for the server; us/wait: the timed bridge pass over its waits)\n",
      n, n / 10);
  std::printf("loopback ping-pong, 64 bytes each way: %.1f us per round trip%s\n", rtt,
              client_cpu >= 0 ? " (pinned)" : "");

  ::kill(server, SIGTERM);
  int status = 0;
  for (int k = 0; k < 100; ++k) {
    if (waitpid(server, &status, WNOHANG) == server) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (k == 99) ::kill(server, SIGKILL), waitpid(server, &status, 0);
  }
  if (!keep)
    fs::remove_all(dir);
  else
    std::printf("files kept in %s\n", dir.c_str());
  return 0;
}
