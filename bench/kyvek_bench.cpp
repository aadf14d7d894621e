// The same ODBC workloads, in one run, straight on a data source and through
// the bridge (client driver, kyvekserver on loopback, the same data source
// behind it), for two targets: SQLite through the SQLite ODBC driver, and
// PostgreSQL through psqlODBC against a private cluster the benchmark starts
// in its own temporary directory. For each workload it prints rows per second
// for both and the ratio (bridge over direct) as the median of the ratios of
// alternating direct and bridge runs, and the remote calls the bridge needed
// (counted by a loopback relay between the driver and the server in a
// separate pass, so that the relay never slows the timed pass). At the end it
// prints the speed targets with the measured values, met or not, and the
// machine's load average at the start and the end.
//
//   kyvek_bench [--rows N] [--repeat K] [--target sqlite|postgres|all] [--keep]
//               [--big N] [--only 3,5] [--pin CLIENT_CPU,SERVER_CPU[,POSTGRES_CPU]]
//
// --repeat runs each workload K times (default 3), direct and bridge
// alternating; the ratio shown is the median of the K ratios of a direct run
// and the bridge run right after it, so that a spell of load elsewhere on a
// shared machine weighs on both sides of one ratio.
// --big sets the rows of the large bound fetch (default 1,000,000; 0 skips it).
// --only runs the workloads of the numbers listed (below) and no others.
// --pin keeps this process (the application and the driver, and the python3
// children) on one processor and the server on another, so that a run can be
// compared with the last one; a third processor, when given, takes the
// PostgreSQL cluster, which is otherwise left unpinned. Per workload it prints
// the messages the driver sent (calls), the turns it waited for the server
// (waits) and the microseconds per wait, and once the bare loopback round trip
// of a ping-pong measured in the same run.
//
// Workloads (N = 100,000 by default):
//   1 fetch N rows of four mixed columns, bound, row array size 100
//   1 the same for the --big rows
//   1 16 columns per row, bound, row arrays of 100 and of 1,000 (N rows)
//   2 N/10 of the same rows one by one with SQLFetch and SQLGetData per column
//     (again, N rows, with BLOCKFETCHSIZE 100: the driver fetches 100 rows
//     per call)
//   3 N/10 prepared single-row SELECTs with a parameter (the waits of one
//     SELECT are counted apart from the connect's)
//   4 insert N rows with a column-wise parameter array of 1,000
//   5 pyodbc in a python3 child: cursor.execute of the SELECT of workload 1
//     and fetchall() of N rows with the driver's defaults (and again with
//     BLOCKFETCHSIZE 100 in the bridge's connection string), and
//     N/10 execute + fetchone of one row each; skipped when pyodbc is missing
//   6 64 KiB text values read with SQLFetch and SQLGetData into a 1 MiB buffer
//   7 4 and 16 clients at once, each its own process, each the bound fetch of
//     workload 1 over N/4 rows (total rows per second; direct: as many
//     processes straight on the data source)
//   8 the spin: workloads 1 and 3 through a second server with the spin off
//     (KYVEK_SPIN_USEC=0 for the server and the application) against the
//     ordinary one; the ratio is spin over no spin
// row there costs five waits, and the relay's counting pass many times that.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char* kSqliteDrivers[] = {"/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so", "/usr/lib/odbc/libsqlite3odbc.so",
                                "/usr/local/lib/libsqlite3odbc.so"};
const char* kPsqlDrivers[] = {"/usr/lib/x86_64-linux-gnu/odbc/psqlodbcw.so",
                              "/usr/lib/x86_64-linux-gnu/odbc/psqlodbca.so", "/usr/lib/odbc/psqlodbcw.so",
                              "/usr/lib/odbc/psqlodbca.so"};
const char* kPython = "/usr/bin/python3";

// What a failure undoes before the benchmark exits: the server and the
// PostgreSQL cluster stop (their files stay, for the logs).
std::function<void()> on_die;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "kyvek_bench: %s\n", what.c_str());
  if (on_die) {
    std::function<void()> undo = std::move(on_die);
    on_die = nullptr;
    undo();
  }
  std::exit(1);
}

// The shared-memory name of a server this process started (its statistics
// block; the worker list is that name with ".workers").
std::string server_block_name(pid_t parent, const char* out_name) {
  char name[128];
  std::snprintf(name, sizeof name, "/kyvek-bench-%ld-%s", static_cast<long>(parent), out_name);
  return name;
}

// Stops a console server; a signal ends it without its own clean-up, so its
// shared-memory objects are removed here.
void stop_server(pid_t server, const char* out_name) {
  ::kill(server, SIGTERM);
  int status = 0;
  bool ended = false;
  for (int k = 0; k < 100 && !ended; ++k) {
    ended = waitpid(server, &status, WNOHANG) == server;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!ended) {
    ::kill(server, SIGKILL);
    waitpid(server, &status, 0);
  }
  const std::string block = server_block_name(getpid(), out_name);
  ::shm_unlink(block.c_str());
  ::shm_unlink((block + ".workers").c_str());
}

std::string first_existing(const char* const* paths, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (fs::exists(paths[i])) return paths[i];
  return "";
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

// Keeps the calling process (and what it starts from now on) on one processor.
void pin_to(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) die("cannot pin to processor " + std::to_string(cpu));
}

// Runs a program with its output and errors into one pipe; returns what it
// wrote and sets status to its exit code (-1 when it did not exit).
std::string run_child(const std::vector<std::string>& args, int& status) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int p[2];
  if (::pipe(p) != 0) die("pipe");
  pid_t pid = fork();
  if (pid == 0) {
    ::dup2(p[1], 1);
    ::dup2(p[1], 2);
    ::close(p[0]);
    ::close(p[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  ::close(p[1]);
  std::string out;
  char b[4096];
  for (;;) {
    ssize_t r = ::read(p[0], b, sizeof b);
    if (r > 0)
      out.append(b, static_cast<size_t>(r));
    else if (r == 0 || errno != EINTR)
      break;
  }
  ::close(p[0]);
  int st = 0;
  if (pid < 0 || waitpid(pid, &st, 0) != pid) st = -1;
  status = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

std::string load_average() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  return a + " " + b + " " + c;
}

// A private PostgreSQL cluster under the benchmark's directory: initdb and
// pg_ctl from the Debian package (as the postgres user when run as root), a
// free port, the socket in the cluster's directory, no TCP listener.
class PgCluster {
 public:
  ~PgCluster() {
    if (started_) shell(as_pg_ + bin_ + "/pg_ctl -D " + dir_ + "/data -m fast -w -t 30 stop > /dev/null 2>&1");
  }
  // Empty when the cluster is up, else why not.
  std::string start(const fs::path& dir) {
    bin_ = find_bin();
    if (bin_.empty()) return "no PostgreSQL server binaries (initdb, pg_ctl) under /usr/lib/postgresql";
    if (geteuid() == 0) {
      if (getpwnam("postgres") == nullptr) return "running as root and there is no postgres user";
      as_pg_ = "runuser -u postgres -- ";
    }
    dir_ = dir.string();
    fs::create_directories(dir_);
    ::chmod(dir_.c_str(), 0777);
    port_ = free_port();
    if (!shell(as_pg_ + bin_ + "/initdb -D " + dir_ + "/data -A trust -U postgres -N > " + dir_ + "/initdb.log 2>&1"))
      return "initdb failed, see " + dir_ + "/initdb.log (--keep keeps it)";
    if (!shell(as_pg_ + bin_ + "/pg_ctl -D " + dir_ + "/data -l " + dir_ + "/pg.log -w -t 60 -o \"-p " +
               std::to_string(port_) + " -k " + dir_ + " -c listen_addresses=''\" start > " + dir_ +
               "/pg_ctl.log 2>&1"))
      return "pg_ctl start failed, see " + dir_ + "/pg.log (--keep keeps it)";
    started_ = true;
    return "";
  }
  const std::string& socket_dir() const { return dir_; }
  int port() const { return port_; }
  std::string version() const { return fs::path(bin_).parent_path().filename().string(); }

 private:
  static bool shell(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }
  static std::string find_bin() {
    std::error_code ec;
    std::string best;
    int best_version = -1;
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
      const std::string b = e.path().string() + "/bin";
      const int version = std::atoi(e.path().filename().c_str());
      if (fs::exists(b + "/pg_ctl") && fs::exists(b + "/initdb") && version > best_version)
        best = b, best_version = version;
    }
    return best;
  }
  std::string dir_, bin_, as_pg_;
  int port_ = 0;
  bool started_ = false;
};

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
      // As the link itself: a small write leaves at once instead of waiting
      // for the acknowledgement of the one before (a delayed one is 40 ms).
      const int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
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

// ---- the workloads: each returns the rows (or statements) it handled ----------


// ---- the workloads: each returns the rows (or statements) it handled ----------

std::string select_rows(long n) {
  return "SELECT id, name, amount, ts FROM bench_rows WHERE id <= " + std::to_string(n);
}

long fetch_bound(Conn& c, long n, long) {
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
  const std::string sql = select_rows(n);
  check(SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, s, "select");
  long rows = 0;
  SQLRETURN rc;
  while ((rc = SQLFetch(s)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) rows += static_cast<long>(fetched);
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rows;
}

// 16 columns per row (the four of bench_rows four times), bound column-wise
// with row arrays of `array` rows: about 340 bytes a row on the wire.
long fetch_wide(Conn& c, long n, SQLULEN array) {
  SQLHSTMT s = c.stmt();
  std::vector<SQLINTEGER> id(4 * array);
  std::vector<char> name(4 * array * 24);
  std::vector<double> amount(4 * array);
  std::vector<SQL_TIMESTAMP_STRUCT> ts(4 * array);
  std::vector<SQLLEN> ind(16 * array);
  SQLULEN fetched = 0;
  SQLSetStmtAttr(s, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(array), 0);
  SQLSetStmtAttr(s, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
  for (SQLUSMALLINT k = 0; k < 4; ++k) {
    SQLLEN* i = &ind[4 * k * array];
    SQLBindCol(s, SQLUSMALLINT(4 * k + 1), SQL_C_SLONG, &id[k * array], 0, i);
    SQLBindCol(s, SQLUSMALLINT(4 * k + 2), SQL_C_CHAR, &name[k * array * 24], 24, i + array);
    SQLBindCol(s, SQLUSMALLINT(4 * k + 3), SQL_C_DOUBLE, &amount[k * array], 0, i + 2 * array);
    SQLBindCol(s, SQLUSMALLINT(4 * k + 4), SQL_C_TYPE_TIMESTAMP, &ts[k * array], 0, i + 3 * array);
  }
  const std::string sql =
      "SELECT id, name, amount, ts, id + 1, name, amount * 2, ts, id + 2, name, amount * 3, ts, id + 3, name, "
      "amount * 4, ts FROM bench_rows WHERE id <= " +
      std::to_string(n);
  check(SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, s, "select wide");
  long rows = 0;
  SQLRETURN rc;
  while ((rc = SQLFetch(s)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) rows += static_cast<long>(fetched);
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rows;
}

long fetch_getdata(Conn& c, long n, long) {
  SQLHSTMT s = c.stmt();
  const std::string sql = select_rows(n);
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

// n SELECTs of one row each, keys spread over the table's rows; returns the
// SELECTs that found their row.
long prepared_selects(Conn& c, long n, long table_rows) {
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
    key = static_cast<SQLINTEGER>(k * 7 % table_rows + 1);
    check(SQLExecute(s), SQL_HANDLE_STMT, s, "execute");
    while (SQL_SUCCEEDED(SQLFetch(s))) ++rows;
    SQLFreeStmt(s, SQL_CLOSE);
  }
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rows;
}

long insert_arrays(Conn& c, long n, long) {
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
  check(SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT), SQL_HANDLE_DBC, c.dbc(), "commit");
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return rows;
}

constexpr long kLargeRows = 256;          // rows of bench_large
constexpr long kLargeBytes = 64 * 1024;   // characters of each value
constexpr SQLLEN kLargeBuffer = 1 << 20;  // the application's buffer

// n values of 64 KiB read with SQLGetData into a 1 MiB buffer (passes over
// the table as needed); returns the values read.
long large_values(Conn& c, long n, long) {
  std::vector<char> buffer(static_cast<size_t>(kLargeBuffer));
  long values = 0;
  while (values < n) {
    SQLHSTMT s = c.stmt();
    const std::string sql =
        "SELECT body FROM bench_large WHERE id <= " + std::to_string(std::min(kLargeRows, n - values));
    check(SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, s, "select large");
    while (SQL_SUCCEEDED(SQLFetch(s))) {
      SQLLEN ind = 0;
      check(SQLGetData(s, 1, SQL_C_CHAR, buffer.data(), kLargeBuffer, &ind), SQL_HANDLE_STMT, s, "SQLGetData");
      if (ind != kLargeBytes) die("a large value came back with " + std::to_string(ind) + " bytes");
      ++values;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, s);
  }
  return values;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Timed {
  long rows = 0;
  double seconds = 0;
};

// Runs a workload on a connection string: the rows handled and the time the
// handling took (without the connect).
using Runner = std::function<Timed(const std::string& connect, long rows)>;
using Work = long (*)(Conn&, long rows, long table_rows);

// The in-process work of a workload, by the name a worker child is given.
struct NamedWork {
  const char* name;
  Work work;
};
const NamedWork kWorks[] = {
    {"bound", fetch_bound},
    {"wide100", [](Conn& c, long n, long) { return fetch_wide(c, n, 100); }},
    {"wide1000", [](Conn& c, long n, long) { return fetch_wide(c, n, 1000); }},
    {"getdata", fetch_getdata},
    {"select", prepared_selects},
    {"insert", insert_arrays},
    {"large", large_values},
};

Work work_named(const std::string& name) {
  for (const NamedWork& w : kWorks)
    if (name == w.name) return w.work;
  die("no workload " + name);
}

long g_table_rows = 0;  // rows of bench_rows

// A workload in this process: connects, then times the workload alone.
Runner in_process(const char* name) {
  const Work work = work_named(name);
  return [work](const std::string& connect, long rows) {
    Conn c(connect);
    auto t0 = std::chrono::steady_clock::now();
    Timed t;
    t.rows = work(c, rows, g_table_rows);
    t.seconds = seconds_since(t0);
    return t;
  };
}

// A child process of this program that runs one workload: it connects, says
// "ready", waits for a byte on its input, runs, and prints rows and seconds.
struct Worker {
  pid_t pid = -1;
  int to = -1, from = -1;
};

Worker start_worker(const char* name, const std::string& connect, long rows, const char* spin) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) die("pipe");
  std::fflush(nullptr);
  Worker w;
  w.pid = fork();
  if (w.pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
    if (spin != nullptr) setenv("KYVEK_SPIN_USEC", spin, 1);
    const std::string r = std::to_string(rows), t = std::to_string(g_table_rows);
    execl("/proc/self/exe", "kyvek_bench", "--worker", name, connect.c_str(), r.c_str(), t.c_str(), nullptr);
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  w.to = in[1];
  w.from = out[0];
  return w;
}

std::string read_all(int fd) {
  std::string text;
  char b[256];
  for (;;) {
    ssize_t r = ::read(fd, b, sizeof b);
    if (r > 0)
      text.append(b, static_cast<size_t>(r));
    else if (r == 0 || errno != EINTR)
      break;
  }
  return text;
}

// `clients` workers at once, started together once all have connected: the
// rows of all of them over the time from the start to the last one's end.
Runner group(const char* name, int clients, const char* spin = nullptr) {
  return [name, clients, spin](const std::string& connect, long rows) {
    std::vector<Worker> workers;
    for (int i = 0; i < clients; ++i) workers.push_back(start_worker(name, connect, rows, spin));
    for (Worker& w : workers) {
      char line[8] = {};
      ssize_t got = 0;
      while (got < 6) {
        ssize_t r = ::read(w.from, line + got, 6 - static_cast<size_t>(got));
        if (r <= 0) die(std::string("a worker of ") + name + " failed before it was ready");
        got += r;
      }
    }
    auto t0 = std::chrono::steady_clock::now();
    for (Worker& w : workers)
      if (::write(w.to, "g", 1) != 1) die("cannot start a worker");
    Timed t;
    for (Worker& w : workers) {
      const std::string out = read_all(w.from);
      long r = 0;
      double s = 0;
      int status = 0;
      waitpid(w.pid, &status, 0);
      if (std::sscanf(out.c_str(), "%ld %lf", &r, &s) != 2 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die(std::string("a worker of ") + name + " failed on " + connect + ": " + out);
      t.rows += r;
      ::close(w.to);
      ::close(w.from);
    }
    t.seconds = seconds_since(t0);
    return t;
  };
}

int worker_main(int argc, char** argv) {
  if (argc != 6) return 2;
  g_table_rows = std::atol(argv[5]);
  const Work work = work_named(argv[2]);
  Conn c(argv[3]);
  std::printf("ready\n");
  std::fflush(stdout);
  char go = 0;
  if (::read(0, &go, 1) != 1) return 3;
  auto t0 = std::chrono::steady_clock::now();
  const long rows = work(c, std::atol(argv[4]), g_table_rows);
  std::printf("%ld %.6f\n", rows, seconds_since(t0));
  return 0;
}

// pyodbc in a python3 child, as an application would use it: connect with
// default settings, execute, fetchall; the child times execute and fetchall.
const char* kPyFetchall = R"PY(
import sys, time, pyodbc
conn = pyodbc.connect(sys.argv[1])
cur = conn.cursor()
t0 = time.perf_counter()
cur.execute(sys.argv[2])
rows = cur.fetchall()
print(len(rows), time.perf_counter() - t0)
)PY";

// The same for point queries: n times execute with a parameter and fetchone.
const char* kPyPoint = R"PY(
import sys, time, pyodbc
conn = pyodbc.connect(sys.argv[1])
cur = conn.cursor()
n, rows = int(sys.argv[2]), int(sys.argv[3])
found = 0
t0 = time.perf_counter()
for k in range(n):
    cur.execute("SELECT id, name, amount, ts FROM bench_rows WHERE id = ?", k * 7 % rows + 1)
    if cur.fetchone() is not None:
        found += 1
print(found, time.perf_counter() - t0)
)PY";

Timed python_timed(const std::vector<std::string>& args, const std::string& connect) {
  int status = 0;
  const std::string out = run_child(args, status);
  Timed t;
  const size_t last = out.find_last_of('\n', out.size() >= 2 ? out.size() - 2 : 0);
  const std::string line = last == std::string::npos ? out : out.substr(last + 1);
  if (status != 0 || std::sscanf(line.c_str(), "%ld %lf", &t.rows, &t.seconds) != 2)
    die("the pyodbc child failed on " + connect + ":\n" + out);
  return t;
}

Timed pyodbc_fetchall(const std::string& connect, long rows) {
  return python_timed({kPython, "-c", kPyFetchall, connect, select_rows(rows)}, connect);
}

Timed pyodbc_point(const std::string& connect, long rows) {
  return python_timed({kPython, "-c", kPyPoint, connect, std::to_string(rows), std::to_string(g_table_rows)}, connect);
}

bool have_pyodbc() {
  if (!fs::exists(kPython)) return false;
  int status = 0;
  run_child({kPython, "-c", "import pyodbc"}, status);
  return status == 0;
}

enum class Kind {
  kBound,
  kBig,
  kWide100,
  kWide1000,
  kRowByRow,
  kRowByRowBlock,
  kSelect,
  kInsert,
  kPyodbc,
  kPyodbcBlock,
  kPyodbcPoint,
  kLarge,
  kClients4,
  kClients16,
  kSpinBound,
  kSpinSelect
};

// How the two sides of a workload connect.
enum class Sides {
  kDirectAndBridge,  // the data source straight, and through the server
  kSpinAndNoSpin     // through the server with the spin off, and with it
};

struct Workload {
  Kind kind;
  const char* name;
  Runner run;
  long divisor;                   // rows of this workload: N / divisor (0: the --big rows)
  const char* bridge_extra = "";  // added to the bridge's connection string
  bool python = false;            // needs pyodbc
  Sides sides = Sides::kDirectAndBridge;
  Runner other = nullptr;  // the first side's runner, when not `run`
  bool per_item = false;   // count the waits of one item apart from the connect's
};

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t m = v.size() / 2;
  return v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

struct Result {
  bool ran = false;
  std::vector<double> direct_rates, bridge_rates, ratios;  // one each per alternation
  double bridge_seconds = 0;                                // of the median bridge run
  long bridge_rows = 0;
  long calls = 0, messages = 0;  // counted in the relay's pass
  double item_waits = -1;        // waits of one item (point SELECTs), -1 not counted
  double direct_rate() const { return median(direct_rates); }
  double bridge_rate() const { return median(bridge_rates); }
  double ratio() const { return median(ratios); }
  double us_per_wait() const { return calls ? bridge_seconds * 1e6 / double(calls) : 0.0; }
};

struct Target {
  std::string name;          // as the targets say it
  std::string direct_label;  // the direct side, as the targets say it
  std::string driver;
  std::string dsn;  // the target data source, straight and behind the server
  std::string bridge_dsn, counted_dsn, nospin_dsn;
  std::function<void(Conn&, long)> prepare;
  std::vector<Result> results;  // one per workload
};

void prepare_sqlite(Conn& c, long n) {
  c.exec("CREATE TABLE bench_rows (id INTEGER PRIMARY KEY, name VARCHAR(20), amount DOUBLE, ts TIMESTAMP)");
  c.exec("CREATE TABLE bench_insert (id INTEGER, name VARCHAR(20), amount DOUBLE, ts TIMESTAMP)");
  c.exec("CREATE TABLE bench_large (id INTEGER PRIMARY KEY, body TEXT)");
  c.exec("BEGIN");
  c.exec("WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < " + std::to_string(n) +
         ") INSERT INTO bench_rows SELECT x, 'name ' || x, x * 0.25, '2026-01-02 03:04:05' FROM k");
  c.exec("WITH RECURSIVE k(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM k WHERE x < " + std::to_string(kLargeRows) +
         ") INSERT INTO bench_large SELECT x, replace(hex(zeroblob(" + std::to_string(kLargeBytes / 2) +
         ")), '0', 'x') FROM k");
  c.exec("COMMIT");
}

void prepare_postgres(Conn& c, long n) {
  c.exec("CREATE TABLE bench_rows (id INTEGER PRIMARY KEY, name VARCHAR(20), amount DOUBLE PRECISION, ts TIMESTAMP)");
  c.exec("CREATE TABLE bench_insert (id INTEGER, name VARCHAR(20), amount DOUBLE PRECISION, ts TIMESTAMP)");
  c.exec("CREATE TABLE bench_large (id INTEGER PRIMARY KEY, body TEXT)");
  c.exec(
      "INSERT INTO bench_rows SELECT x, 'name ' || x, x * 0.25, TIMESTAMP '2026-01-02 03:04:05' FROM "
      "generate_series(1, " +
      std::to_string(n) + ") AS x");
  c.exec("INSERT INTO bench_large SELECT x, repeat('x', " + std::to_string(kLargeBytes) + ") FROM generate_series(1, " +
         std::to_string(kLargeRows) + ") AS x");
  c.exec("VACUUM ANALYZE bench_rows");
  c.exec("VACUUM ANALYZE bench_large");
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

long rows_of(const Workload& w, long n, long big) { return w.divisor == 0 ? big : std::max(1L, n / w.divisor); }

void run_target(Target& t, const std::vector<Workload>& workloads, long n, long big, int repeat, bool pyodbc,
                const Relay& relay) {
  std::printf("\n%s (%s), %ld rows: preparing...\n", t.name.c_str(), fs::path(t.driver).filename().c_str(),
              std::max(n, big));
  std::fflush(stdout);
  {
    Conn direct("DSN=" + t.dsn + ";");
    t.prepare(direct, std::max(n, big));
  }
  t.results.assign(workloads.size(), Result{});
  for (size_t i = 0; i < workloads.size(); ++i) {
    const Workload& w = workloads[i];
    if ((w.python && !pyodbc) || (w.divisor == 0 && big <= 0)) continue;
    Result& r = t.results[i];
    const long rows = rows_of(w, n, big);
    const bool spin = w.sides == Sides::kSpinAndNoSpin;
    const std::string first = spin ? "DSN=" + t.nospin_dsn + ";" : "DSN=" + t.dsn + ";";
    const std::string second = "DSN=" + t.bridge_dsn + ";" + w.bridge_extra;
    const Runner& first_run = w.other ? w.other : w.run;
    // The two sides alternate; each ratio is of a pair run back to back.
    std::vector<Timed> bridges;
    for (int k = 0; k < repeat; ++k) {
      const Timed a = first_run(first, rows);
      const Timed b = w.run(second, rows);
      const double ra = double(a.rows) / a.seconds, rb = double(b.rows) / b.seconds;
      r.direct_rates.push_back(ra);
      r.bridge_rates.push_back(rb);
      r.ratios.push_back(rb / ra);
      bridges.push_back(b);
    }
    std::sort(bridges.begin(), bridges.end(), [](const Timed& x, const Timed& y) { return x.seconds < y.seconds; });
    r.bridge_seconds = bridges[bridges.size() / 2].seconds;
    r.bridge_rows = bridges[bridges.size() / 2].rows;
    r.ran = true;
    std::printf("  %-40s ratio %.3f\n", w.name, r.ratio());
    std::fflush(stdout);
  }
  // The counting pass, through the relay (the workloads of one link).
  for (size_t i = 0; i < workloads.size(); ++i) {
    Result& r = t.results[i];
    const Workload& w = workloads[i];
    if (!r.ran || w.sides != Sides::kDirectAndBridge || w.kind == Kind::kClients4 || w.kind == Kind::kClients16)
      continue;
    const std::string counted = "DSN=" + t.counted_dsn + ";" + w.bridge_extra;
    long calls = relay.calls(), messages = relay.messages();
    w.run(counted, rows_of(w, n, big));
    r.calls = relay.calls() - calls;
    r.messages = relay.messages() - messages;
    if (w.per_item) {
      // Twice the items against once: the difference is the items' own.
      constexpr long kItems = 50;
      calls = relay.calls();
      w.run(counted, kItems);
      const long once = relay.calls() - calls;
      calls = relay.calls();
      w.run(counted, 2 * kItems);
      const long twice = relay.calls() - calls;
      r.item_waits = double(twice - once) / double(kItems);
    }
  }
  std::printf("%-42s %13s %13s %7s %9s %9s %8s\n", "workload", "first rows/s", "bridge rows/s", "ratio", "calls",
              "waits", "us/wait");
  for (size_t i = 0; i < workloads.size(); ++i) {
    const Result& r = t.results[i];
    if (!r.ran) {
      std::printf("%-42s skipped\n", workloads[i].name);
      continue;
    }
    if (r.calls == 0)
      std::printf("%-42s %13.0f %13.0f %7.3f %9s %9s %8s\n", workloads[i].name, r.direct_rate(), r.bridge_rate(),
                  r.ratio(), "-", "-", "-");
    else
      std::printf("%-42s %13.0f %13.0f %7.3f %9ld %9ld %8.1f\n", workloads[i].name, r.direct_rate(), r.bridge_rate(),
                  r.ratio(), r.messages, r.calls, r.us_per_wait());
    if (r.item_waits >= 0) std::printf("%-42s %.1f waits each\n", "", r.item_waits);
  }
  std::fflush(stdout);
}

const Result* find_result(const std::vector<Target>& targets, const std::string& name, Kind kind,
                          const std::vector<Workload>& workloads) {
  for (const Target& t : targets) {
    if (t.name != name) continue;
    for (size_t i = 0; i < workloads.size(); ++i)
      if (workloads[i].kind == kind && t.results[i].ran) return &t.results[i];
  }
  return nullptr;
}

// A ratio target: the measured ratio, met or not, and for one not met where
// the bridge's extra time per row goes: the round trips it waits (its waits
// per row times the ping-pong of this run) and the rest (the rows' transfer,
// both ends' own work).
void print_ratio_goal(const std::string& what, const Result* r, double want, double rtt, const char* unit) {
  char goal[40];
  std::snprintf(goal, sizeof goal, ">= %.2f", want);
  std::printf("  %-58s %-10s ", what.c_str(), goal);
  if (r == nullptr) {
    std::printf("%7s  not measured\n", "-");
    return;
  }
  const bool met = r->ratio() >= want;
  std::printf("%7.3f  %s\n", r->ratio(), met ? "met" : "not met");
  if (met || r->calls == 0 || r->bridge_rows == 0) return;
  const double bridge_us = 1e6 / r->bridge_rate();
  const double direct_us = 1e6 / r->direct_rate();
  const double waits = double(r->calls) / double(r->bridge_rows);
  const double round_trips = waits * rtt;
  const double rest = bridge_us - direct_us - round_trips;
  std::printf(
      "      per %s: bridge %.2f us, direct %.2f us: %.2f us more, against %.3f waits x %.1f us round trip = %.2f us\n",
      unit, bridge_us, direct_us, bridge_us - direct_us, waits, rtt, round_trips);
  if (rest <= 0)
    std::printf("      the round trips bound it (%.1f us per wait in all)\n", r->us_per_wait());
  else
    std::printf(
        "      %.2f us beyond the bare round trips: both ends' own work, the transfer, and\n"
        "      wake-ups dearer than the ping-pong's (%.1f us per wait in all)\n",
        rest, r->us_per_wait());
}

void print_waits_goal(const std::string& what, const Result* r, double most) {
  char goal[40];
  std::snprintf(goal, sizeof goal, "<= %.0f", most);
  std::printf("  %-58s %-10s ", what.c_str(), goal);
  if (r == nullptr || r->item_waits < 0) {
    std::printf("%7s  not measured\n", "-");
    return;
  }
  std::printf("%7.1f  %s\n", r->item_waits, r->item_waits <= most + 1e-9 ? "met" : "not met");
}

void print_goals(const std::vector<Target>& targets, const std::vector<Workload>& workloads, double rtt, bool pinned,
                 const std::string& load_at_start) {
  std::printf("\ntargets (ratios: medians of the per-run ratios; this run %s; load average at the start %s, "
              "at the end %s):\n",
              pinned ? "pinned" : "not pinned", load_at_start.c_str(), load_average().c_str());
  auto result = [&](const char* target, Kind kind) { return find_result(targets, target, kind, workloads); };
  const std::string kSqlite = "SQLite", kPg = "PostgreSQL";
  for (const std::string& t : {kSqlite, kPg})
    print_ratio_goal("pyodbc fetchall, driver's defaults, " + t, result(t.c_str(), Kind::kPyodbc), 0.6, rtt, "row");
  for (const std::string& t : {kSqlite, kPg})
    print_ratio_goal("pyodbc fetchall, BLOCKFETCHSIZE=100, " + t, result(t.c_str(), Kind::kPyodbcBlock), 0.6, rtt,
                     "row");
  for (const std::string& t : {kSqlite, kPg})
    print_waits_goal("C prepared point SELECT, waits per SELECT, " + t, result(t.c_str(), Kind::kSelect), 3);
  for (const std::string& t : {kSqlite, kPg})
    print_waits_goal("pyodbc execute + fetchone, waits per SELECT, " + t, result(t.c_str(), Kind::kPyodbcPoint), 12);
  print_ratio_goal("C prepared point SELECT, " + kPg, result(kPg.c_str(), Kind::kSelect), 0.35, rtt, "SELECT");
  print_ratio_goal("bound fetch, row array 100, " + kSqlite, result(kSqlite.c_str(), Kind::kBound), 0.85, rtt, "row");
  print_ratio_goal("bound fetch, row array 100, " + kPg, result(kPg.c_str(), Kind::kBound), 0.8, rtt, "row");
  print_ratio_goal("16 clients, total rows/s against 16 direct processes, " + kSqlite,
                   result(kSqlite.c_str(), Kind::kClients16), 0.6, rtt, "row");
  for (const std::string& t : {kSqlite, kPg})
    print_ratio_goal("64 KiB values, SQLGetData into 1 MiB, " + t, result(t.c_str(), Kind::kLarge), 0.9, rtt,
                     "value");
  for (const std::string& t : {kSqlite, kPg}) {
    print_ratio_goal("spin against no spin, bound fetch, " + t, result(t.c_str(), Kind::kSpinBound), 0.95, rtt, "row");
    print_ratio_goal("spin against no spin, point SELECT, " + t, result(t.c_str(), Kind::kSpinSelect), 0.95, rtt,
                     "SELECT");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--worker") return worker_main(argc, argv);
  long n = 100000, big = 1000000;
  bool keep = false;
  int repeat = 3;
  int client_cpu = -1, server_cpu = -1, pg_cpu = -1;
  std::string which = "all";
  std::string only;  // ",3,5,": the workloads of those numbers alone
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc)
      n = std::atol(argv[++i]);
    else if (a == "--big" && i + 1 < argc)
      big = std::atol(argv[++i]);
    else if (a == "--keep")
      keep = true;
    else if (a == "--repeat" && i + 1 < argc)
      repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--target" && i + 1 < argc)
      which = argv[++i];
    else if (a == "--only" && i + 1 < argc)
      only = "," + std::string(argv[++i]) + ",";
    else if (a == "--pin" && i + 1 < argc &&
             std::sscanf(argv[i + 1], "%d,%d,%d", &client_cpu, &server_cpu, &pg_cpu) >= 2)
      ++i;
    else
      die("usage: kyvek_bench [--rows N] [--big N] [--repeat K] [--target sqlite|postgres|all] [--only 3,5] "
          "[--keep] [--pin CLIENT_CPU,SERVER_CPU[,POSTGRES_CPU]]");
  }
  if (which != "all" && which != "sqlite" && which != "postgres") die("--target is sqlite, postgres or all");
  if (n < 1000) n = 1000;
  g_table_rows = std::max(n, big);

  // A private world: registry file, ini files, databases, run directory.
  char tmpl[] = "/tmp/kyvek-bench-XXXXXX";
  if (!mkdtemp(tmpl)) die("mkdtemp");
  const fs::path dir = tmpl;
  ::chmod(dir.c_str(), 0755);  // the PostgreSQL cluster's directory lies below
  fs::create_directories(dir / "log");
  fs::create_directories(dir / "run");
  const std::string load_at_start = load_average();
  std::printf("kyvek_bench: %ld rows (large fetch %ld), medians of %d, %u processors, load average %s\n", n, big,
              repeat, std::thread::hardware_concurrency(), load_at_start.c_str());

  std::vector<Target> targets;
  std::string odbcinst = "[Kyvek]\nDriver=" + std::string(KYVEK_BENCH_DRIVER) + "\n";
  std::string odbc_ini;
  if (which != "postgres") {
    const std::string driver = first_existing(kSqliteDrivers, std::size(kSqliteDrivers));
    if (driver.empty()) {
      std::printf("SQLite skipped: the SQLite ODBC driver (libsqlite3odbc.so) is not installed\n");
    } else {
      targets.push_back({"SQLite", "direct SQLite", driver, "vekdb", "kyvek_sqlite", "kyvek_sqlite_counted",
                         "kyvek_sqlite_nospin", prepare_sqlite, {}});
      odbcinst += "\n[SQLite3]\nDriver=" + driver + "\n";
      odbc_ini += "[vekdb]\nDriver=SQLite3\nDatabase=" + (dir / "bench.sqlite").string() + "\n\n";
    }
  }
  std::optional<PgCluster> pg;
  if (which != "sqlite") {
    const std::string driver = first_existing(kPsqlDrivers, std::size(kPsqlDrivers));
    std::string why = driver.empty() ? "psqlODBC (psqlodbcw.so) is not installed" : "";
    if (why.empty()) {
      cpu_set_t all;
      sched_getaffinity(0, sizeof all, &all);
      pin_to(pg_cpu);  // the cluster's processes keep the processor they start on
      pg.emplace();
      why = pg->start(dir / "pg");
      sched_setaffinity(0, sizeof all, &all);
    }
    if (!why.empty()) {
      std::printf("PostgreSQL skipped: %s\n", why.c_str());
    } else {
      targets.push_back({"PostgreSQL", "psqlODBC direct", driver, "pgdb", "kyvek_pg", "kyvek_pg_counted",
                         "kyvek_pg_nospin", prepare_postgres, {}});
      odbcinst += "\n[PostgreSQL]\nDriver=" + driver + "\n";
      odbc_ini += "[pgdb]\nDriver=PostgreSQL\nServername=" + pg->socket_dir() + "\nPort=" + std::to_string(pg->port()) +
                  "\nDatabase=postgres\nUsername=postgres\n\n";
      std::printf("PostgreSQL %s cluster on port %d, socket in %s\n", pg->version().c_str(), pg->port(),
                  pg->socket_dir().c_str());
    }
  }
  on_die = [&pg, &dir] {
    pg.reset();
    std::fprintf(stderr, "kyvek_bench: files kept in %s\n", dir.c_str());
  };
  if (targets.empty()) die("no target to measure");

  const int port = free_port(), nospin_port = free_port();
  const std::string root = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration";
  std::ofstream(dir / "registry.reg") << "REGEDIT4\n\n[" << root << "]\n\n[" << root << "\\System]\n\n[" << root
                                      << "\\System\\Settings]\n\"Flags\"=\"0x8001\"\n\"LogDir\"=\""
                                      << (dir / "log").string() << "\"\n\"Path\"=\"" << dir.string() << "\"\n\n["
                                      << root << "\\System\\default]\n\n";
  std::ofstream(dir / "odbcinst.ini") << odbcinst;
  std::ofstream(dir / "odbc.ini") << odbc_ini;
  // The relay for the counting pass; idle while the timed pass runs.
  Relay relay(port);
  {
    std::ofstream user(dir / "user-odbc.ini");
    for (const Target& t : targets)
      user << "[" << t.bridge_dsn << "]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:" << port << "\nTARGETDSN=" << t.dsn
           << "\n\n[" << t.counted_dsn << "]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:" << relay.port()
           << "\nTARGETDSN=" << t.dsn << "\n\n[" << t.nospin_dsn << "]\nDriver=Kyvek\nSERVERPORT=127.0.0.1:"
           << nospin_port << "\nTARGETDSN=" << t.dsn << "\n\n";
  }
  setenv("KYVEK_REGISTRY", (dir / "registry.reg").c_str(), 1);
  setenv("KYVEK_RUNDIR", (dir / "run").c_str(), 1);
  setenv("KYVEK_EVENTLOG", (dir / "events.log").c_str(), 1);
  setenv("ODBCSYSINI", dir.c_str(), 1);
  setenv("ODBCINI", (dir / "user-odbc.ini").c_str(), 1);
  setenv("TMPDIR", (dir / "log").c_str(), 1);

  // Two servers: the ordinary one, and one with the spin off for workload 8.
  auto start_server = [&](int on_port, const char* spin, const char* out_name) {
    std::fflush(nullptr);  // the child's exit must not print this process's output again
    pid_t pid = fork();
    if (pid == 0) {
      on_die = nullptr;  // the parent undoes its own
      pin_to(server_cpu);
      setenv("KYVEK_SHM_NAME", server_block_name(getppid(), out_name).c_str(), 1);
      if (spin != nullptr) setenv("KYVEK_SPIN_USEC", spin, 1);
      int out = ::open((dir / out_name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(out, 1);
      ::dup2(out, 2);
      execl(KYVEK_BENCH_SERVER, KYVEK_BENCH_SERVER, "standalone", std::to_string(on_port).c_str(), nullptr);
      _exit(127);
    }
    return pid;
  };
  const pid_t server = start_server(port, nullptr, "server.out");
  const pid_t nospin_server = start_server(nospin_port, "0", "server-nospin.out");
  on_die = [server, nospin_server, &pg, &dir] {
    stop_server(server, "server.out");
    stop_server(nospin_server, "server-nospin.out");
    pg.reset();
    std::fprintf(stderr, "kyvek_bench: files kept in %s\n", dir.c_str());
  };

  for (int p : {port, nospin_port}) {
    bool up = false;
    for (int k = 0; k < 200 && !up; ++k) {
      int s = connect_to(p);
      if (s >= 0)
        ::close(s), up = true;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (!up) die("kyvekserver did not listen on " + std::to_string(p) + "; see " + dir.string() + "/server*.out");
  }
  pin_to(client_cpu);

  const bool pyodbc = have_pyodbc();
  if (!pyodbc) std::printf("pyodbc workloads skipped: %s cannot import pyodbc (python3-pyodbc)\n", kPython);

  std::vector<Workload> workloads = {
      {Kind::kBound, "1 bound fetch, row array 100", in_process("bound"), 1},
      {Kind::kBig, "1 the same, the large fetch", in_process("bound"), 0},
      {Kind::kWide100, "1 16 columns, row array 100", in_process("wide100"), 1},
      {Kind::kWide1000, "1 16 columns, row array 1000", in_process("wide1000"), 1},
      {Kind::kRowByRow, "2 SQLFetch + SQLGetData, BLOCKFETCHSIZE 0", in_process("getdata"), 10, "BLOCKFETCHSIZE=0;"},
      {Kind::kRowByRowBlock, "2 the same, BLOCKFETCHSIZE 100", in_process("getdata"), 1, "BLOCKFETCHSIZE=100;"},
      {Kind::kSelect, "3 prepared single-row SELECT", in_process("select"), 10},
      {Kind::kInsert, "4 insert, parameter array 1000", in_process("insert"), 1},
      {Kind::kPyodbc, "5 pyodbc fetchall, driver's defaults", pyodbc_fetchall, 1, "", true},
      {Kind::kPyodbcBlock, "5 pyodbc fetchall, BLOCKFETCHSIZE 100", pyodbc_fetchall, 1, "BLOCKFETCHSIZE=100;", true},
      {Kind::kPyodbcPoint, "5 pyodbc execute + fetchone", pyodbc_point, 10, "", true},
      {Kind::kLarge, "6 64 KiB values, SQLGetData", in_process("large"), 50},
      {Kind::kClients4, "7 4 clients, bound fetch, total", group("bound", 4), 4},
      {Kind::kClients16, "7 16 clients, bound fetch, total", group("bound", 16), 4},
      {Kind::kSpinBound, "8 spin / no spin: bound fetch", group("bound", 1), 1},
      {Kind::kSpinSelect, "8 spin / no spin: point SELECT", group("select", 1), 10},
  };
  if (!only.empty())
    std::erase_if(workloads, [&](const Workload& w) {
      const std::string number(w.name, std::strcspn(w.name, " "));
      return only.find("," + number + ",") == std::string::npos;
    });
  for (Workload& w : workloads) {
    if (w.kind == Kind::kSelect || w.kind == Kind::kPyodbcPoint) w.per_item = true;
    if (w.kind == Kind::kSpinBound || w.kind == Kind::kSpinSelect) {
      w.sides = Sides::kSpinAndNoSpin;
      w.other = group(w.kind == Kind::kSpinBound ? "bound" : "select", 1, "0");
    }
  }
  for (Target& t : targets) run_target(t, workloads, n, big, repeat, pyodbc, relay);
  const double rtt = ping_pong(20000, server_cpu);

  std::printf(
      "\n(ratio: bridge rows/s over direct rows/s, SELECTs/s for 3, values/s for 6; for 8 the server and the\n"
      " application with the spin over both without it; calls: messages the driver sent, counted in a separate\n"
      " pass through a relay, with the connect; waits: the driver's turns to wait for the server; us/wait: the\n"
      " median bridge run over its waits; 5 is timed in the python3 child, execute and fetchall)\n");
  std::printf("loopback ping-pong, 64 bytes each way: %.1f us per round trip%s\n", rtt,
              client_cpu >= 0 ? " (pinned)" : "");
  print_goals(targets, workloads, rtt, client_cpu >= 0, load_at_start);

  on_die = nullptr;
  stop_server(server, "server.out");
  stop_server(nospin_server, "server-nospin.out");
  pg.reset();
  if (!keep)
    fs::remove_all(dir);
  else
    std::printf("files kept in %s\n", dir.c_str());
  return 0;
}
