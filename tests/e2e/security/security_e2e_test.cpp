// What a client may reach on a real kyvekserver on 127.0.0.1: connection
// strings that name files, libraries, Driver Manager settings or a second DSN
// are refused with the keyword named (raw RPC and through the driver), the
// per-DSN access rules see the data source that is connected, SQLite
// extensions never load, and a MultiProcess child runs as the logged-on user
// with no way back to root.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "client_side.h"
#include "e2e_fixture.h"
#include "remote_stubs.h"
#include "rpc_client.h"
#include "scramble.h"

namespace kyvek::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint32_t kAuthOff = 0x1, kMultiProcess = 0x4, kDsnBrowse = 0x8000;

// A link that has logged on, with a remote environment and connection.
class Remote {
 public:
  bool open(int port, const std::string& user = "anyone", const std::string& password = "x") {
    if (!client_.connect(port) || client_.logon_sequence(user, password) != 0) return false;
    RpcHandle* h = client_.handle();
    return remote_sql_alloc_handle(h, 3, SQL_HANDLE_ENV, nullptr, &env_) == SQL_SUCCESS &&
           remote_sql_set_env_attr(h, env_, SQL_ATTR_ODBC_VERSION, SQL_OV_ODBC3) == SQL_SUCCESS &&
           remote_sql_alloc_handle(h, 3, SQL_HANDLE_DBC, env_, &dbc_) == SQL_SUCCESS;
  }
  // Sends text as the client driver does ("xx" and the FAZE2 scramble).
  int16_t connect(const std::string& text) {
    std::vector<char> scrambled(text.size() * 2 + 1, '\0');
    std::memcpy(scrambled.data(), text.data(), text.size());
    scramble_string(scrambled.data(), KY_SCRAMBLE_FAZE2_SCRAMBLE);
    const std::string wire = "xx" + std::string(scrambled.data());
    char out[64] = {};
    int32_t out_len = sizeof out;
    return remote_sql_driver_connect(client_.handle(), dbc_, static_cast<int32_t>(wire.size() + 1), wire.c_str(),
                                     &out_len, out, sizeof out, SQL_DRIVER_NOPROMPT);
  }
  std::string message(int16_t type, void* handle) {
    char state[6] = {}, msg[512] = {};
    int32_t native = 0, msg_len = sizeof msg;
    int16_t text_len = 0;
    if (remote_sql_get_diag_rec(client_.handle(), type, handle, 1, state, &native, &msg_len, msg, sizeof msg,
                                &text_len) != SQL_SUCCESS)
      return "(no record)";
    return std::string(state) + " " + msg;
  }
  std::string connect_message() { return message(SQL_HANDLE_DBC, dbc_); }
  // Runs sql on a new statement: its result, and the first record on failure.
  int16_t exec(const std::string& sql, std::string* record) {
    void* stmt = nullptr;
    if (remote_sql_alloc_handle(client_.handle(), 3, SQL_HANDLE_STMT, dbc_, &stmt) != SQL_SUCCESS) return -100;
    int16_t rc = remote_sql_exec_direct(client_.handle(), stmt, static_cast<int32_t>(sql.size() + 1), sql.c_str());
    if (rc == SQL_ERROR && record) *record = message(SQL_HANDLE_STMT, stmt);
    remote_sql_free_handle(client_.handle(), SQL_HANDLE_STMT, stmt);
    return rc;
  }
  int16_t disconnect() { return remote_sql_disconnect(client_.handle(), dbc_); }

 private:
  RpcClient client_;
  void* env_ = nullptr;
  void* dbc_ = nullptr;
};

// A copy of the marker extension in the test's directory; its ".loaded"
// file appears only if something loads it.
fs::path marker_extension(const Fixture& f) {
  fs::path copy = f.dir() / "loaded_marker.so";
  fs::copy_file(KYVEK_LOADED_MARKER, copy, fs::copy_options::overwrite_existing);
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                            fs::perms::others_exec);
  return copy;
}

std::string sql_loading(const fs::path& extension) { return "SELECT load_extension('" + extension.string() + "')"; }

TEST(ClientReach, HostileConnectionStringsAndSqlOverRawRpc) {
  Options o;
  o.flags = kAuthOff | kDsnBrowse;
  o.extra_system_dsns = {"second"};
  // The data source "second" is refused to 127.0.0.1.
  o.settings["DSNACL"] = "1";
  o.settings["DSNACL1"] = "second,10.0.0.0/255.0.0.0,10.9.9.9";
  Fixture f(o);
  ASSERT_TRUE(f.start_server()) << Fixture::read_file(f.server().err);
  const fs::path ext = marker_extension(f);
  const std::string dir = f.dir().string();

  struct Case {
    std::string text;
    std::string named;  // text the refusal's message holds
  } cases[] = {
      {"DSN=vekdb;TraceFile=" + dir + "/client.trace", "Keyword TRACEFILE is not accepted"},
      {"DSN=vekdb;DMConnAttr=[105]=" + dir + "/dm.trace", "Keyword DMCONNATTR is not accepted"},
      {"DRIVER=SQLite3;Database=" + dir + "/dsnless.db", "Keyword DRIVER is not accepted"},
      {"Database=" + f.database_path().string(), "Keyword DSN is not accepted"},
      {"DSN=vekdb;LoadExt=" + ext.string(), "Keyword LOADEXT is not accepted"},
      {"XDSN=x;DSN=second", "denied access to DSN second"},
      {"DSN=vekdb;TraceDll=" + ext.string(), "Keyword TRACEDLL is not accepted"},
      {"DSN=vekdb;Timeout=1;timeout=2", "Keyword TIMEOUT is not accepted"},
      {"DSN=vekdb;Timeout={1;Database=x}", "Keyword TIMEOUT is not accepted"},
      {"DSN=vekdb;DSN=second", "Keyword DSN is not accepted"},
      {"DSN=second", "denied access to DSN second"},
      {"UID=u;DSN=SECOND", "denied access to DSN second"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Remote r;
    ASSERT_TRUE(r.open(f.port()));
    EXPECT_EQ(r.connect(c.text), SQL_ERROR);
    std::string message = r.connect_message();
    EXPECT_NE(message.find(c.named), std::string::npos) << message;
  }
  // A target driver option the setting TargetKeywords does not list is left
  // out: the connection goes on with a warning that names it.
  {
    Remote r;
    ASSERT_TRUE(r.open(f.port()));
    EXPECT_EQ(r.connect("DSN=vekdb;Database=" + dir + "/other.db"), SQL_SUCCESS_WITH_INFO);
    const std::string message = r.connect_message();
    EXPECT_NE(message.find("01S00"), std::string::npos) << message;
    EXPECT_NE(message.find("DATABASE"), std::string::npos) << message;
    EXPECT_NE(message.find("TargetKeywords"), std::string::npos) << message;
  }
  for (const char* file : {"client.trace", "dm.trace", "other.db", "dsnless.db"})
    EXPECT_FALSE(fs::exists(f.dir() / file)) << file;
  // Every keyword refusal, and every option left out, has its audit line,
  // whatever AuditODBCAccess says.
  const std::string audit = Fixture::read_file(f.dir() / "log" / "kyvek_access.log");
  for (const char* keyword : {"TRACEFILE", "DMCONNATTR", "DATABASE", "DRIVER", "LOADEXT", "TRACEDLL", "DSN"})
    EXPECT_NE(audit.find(std::string("REFUSED_CONNECT_KEYWORD 127.0.0.1(") + keyword + ")"), std::string::npos)
        << keyword << "\n"
        << audit;

  // A password that holds "loadext" is only a password.
  Remote r;
  ASSERT_TRUE(r.open(f.port()));
  ASSERT_TRUE(SQL_SUCCEEDED(r.connect("DSN=vekdb;UID=app;PWD=my-loadext-password"))) << r.connect_message();
  // SQL cannot load a library into the server either.
  std::string record;
  EXPECT_EQ(r.exec(sql_loading(ext), &record), SQL_ERROR);
  EXPECT_NE(record.find("not authorized"), std::string::npos) << record;
  EXPECT_FALSE(fs::exists(ext.string() + ".loaded"));
  EXPECT_EQ(r.exec("SELECT 1", nullptr), SQL_SUCCESS);
  EXPECT_EQ(r.disconnect(), SQL_SUCCESS);
}

// Through the Driver Manager and the client driver (pyodbc): keywords the
// server must not see stay on the client, a password that holds "loadext" is
// accepted, and SQL cannot load an extension.
TEST(ClientReach, ThroughTheDriver) {
  Fixture f;
  preload_sanitizers(f);
  ASSERT_TRUE(f.start_server()) << Fixture::read_file(f.server().err);
  const fs::path ext = marker_extension(f);
  const std::string dir = f.dir().string();
  const std::string script =
      "import pyodbc, sys\n"
      "c = pyodbc.connect(sys.argv[1], autocommit=True)\n"
      "cur = c.cursor()\n"
      "try:\n"
      "    cur.execute(sys.argv[2])\n"
      "    print('extension loaded')\n"
      "except pyodbc.Error as e:\n"
      "    print('refused: ' + str(e))\n"
      "print('one=' + str(cur.execute('SELECT 1').fetchone()[0]))\n"
      "c.close()\n";
  const std::string in = f.client_connection_string("Database=" + dir + "/other.db;TraceFile=" + dir +
                                                    "/client.trace;DRIVER=SQLite3;PWD=my-loadext-password");
  Process py = f.spawn("/usr/bin/python3", {"-c", script, in, sql_loading(ext)}, -1, "pyodbc");
  EXPECT_EQ(Fixture::wait(py, 60000), 0) << Fixture::read_file(py.err);
  const std::string out = Fixture::read_file(py.out);
  EXPECT_NE(out.find("refused: "), std::string::npos) << out;
  EXPECT_NE(out.find("not authorized"), std::string::npos) << out;
  EXPECT_NE(out.find("one=1"), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(ext.string() + ".loaded"));
  for (const char* file : {"other.db", "client.trace"}) EXPECT_FALSE(fs::exists(f.dir() / file)) << file;
}

// Keywords that name files, libraries or Driver Manager settings never reach
// a target driver: a TargetKeywords that lists one stops the start, naming it.
TEST(ClientReach, TargetKeywordsListingADriverManagerKeywordStopsTheStart) {
  Options o;
  o.settings["TargetKeywords"] = "Timeout, TraceFile,loadext";
  Fixture f(o);
  EXPECT_FALSE(f.start_server());
  const std::string err = Fixture::read_file(f.server().err);
  EXPECT_NE(err.find("TargetKeywords lists TraceFile"), std::string::npos) << err;
  EXPECT_NE(err.find("TargetKeywords lists loadext"), std::string::npos) << err;
  EXPECT_EQ(err.find("lists Timeout"), std::string::npos) << err;
}

// Real, effective, saved and file-system ids of a status file's line.
std::vector<std::string> ids(const fs::path& status, const char* field) {
  std::istringstream in(Fixture::read_file(status));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) {
      std::istringstream words(line.substr(std::strlen(field)));
      std::vector<std::string> out;
      for (std::string w; words >> w;) out.push_back(w);
      return out;
    }
  return {};
}

std::vector<pid_t> children_of(pid_t pid) {
  std::istringstream in(
      Fixture::read_file("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children"));
  std::vector<pid_t> out;
  for (pid_t child; in >> child;) out.push_back(child);
  return out;
}

// A client that asks for the RPC trace in its handshake gets it only once it
// has logged on: before, and after a refused logon, the server writes nothing.
TEST(ClientReach, RpcTraceWaitsForTheLogon) {
  const auto calls_traced = [](const Fixture& f) {
    std::string log = Fixture::read_file(f.dir() / "log" / "kyrorpc.log");
    size_t n = 0;
    for (size_t at = log.find("Function called: "); at != std::string::npos; at = log.find("Function called: ", at + 1))
      ++n;
    return n;
  };
  {
    SCOPED_TRACE("logon refused");
    Options o;
    o.flags = kDsnBrowse;
    o.pam_users["tracer"] = "right";
    Fixture f(o);
    ASSERT_TRUE(f.start_server()) << Fixture::read_file(f.server().err);
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port(), "127.0.0.1", "y")) << c.error();
    std::string text;
    EXPECT_EQ(c.get_info(1, &text), 0);
    EXPECT_NE(c.authenticate("tracer", "wrong"), 0);
    EXPECT_EQ(c.get_info(2, &text), 0);
    c.disconnect();
    EXPECT_EQ(calls_traced(f), 0u);
  }
  {
    SCOPED_TRACE("logged on");
    Options o;
    o.flags = kAuthOff | kDsnBrowse;
    Fixture f(o);
    ASSERT_TRUE(f.start_server()) << Fixture::read_file(f.server().err);
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port(), "127.0.0.1", "c")) << c.error();
    std::string text;
    EXPECT_EQ(c.get_info(1, &text), 0);
    EXPECT_EQ(calls_traced(f), 0u);
    EXPECT_EQ(c.authenticate("anyone", "x"), 0);
    EXPECT_EQ(c.get_info(2, &text), 0);
    EXPECT_EQ(c.get_info(3, &text), 0);
    c.disconnect();
    std::string log = Fixture::read_file(f.dir() / "log" / "kyrorpc.log");
    EXPECT_EQ(calls_traced(f), 2u) << log;
    EXPECT_NE(log.find("Function called: server_get_info\n"), std::string::npos) << log;
  }
}

TEST(ClientReach, MultiProcessChildDropsToTheUserForGood) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to change identity";
  Options o;
  o.flags = kDsnBrowse | kMultiProcess;
  o.pam_users["nobody"] = "right";
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server()) << Fixture::read_file(f.server().err);
  const fs::path ext = marker_extension(f);

  Remote r;
  ASSERT_TRUE(r.open(f.port(), "nobody", "right"));
  std::vector<pid_t> children;
  for (int i = 0; i < 50 && children.empty(); ++i) {
    children = children_of(f.server().pid);
    if (children.empty()) std::this_thread::sleep_for(100ms);
  }
  ASSERT_EQ(children.size(), 1u);
  struct passwd* pw = ::getpwnam("nobody");
  ASSERT_NE(pw, nullptr);
  const std::string uid = std::to_string(pw->pw_uid), gid = std::to_string(pw->pw_gid);
  const fs::path status = "/proc/" + std::to_string(children[0]) + "/status";
  EXPECT_EQ(ids(status, "Uid:"), std::vector<std::string>(4, uid));
  EXPECT_EQ(ids(status, "Gid:"), std::vector<std::string>(4, gid));
  // The listener itself stays root.
  EXPECT_EQ(ids("/proc/" + std::to_string(f.server().pid) + "/status", "Uid:")[1], "0");

  ASSERT_TRUE(SQL_SUCCEEDED(r.connect("DSN=vekdb"))) << r.connect_message();
  std::string record;
  EXPECT_EQ(r.exec(sql_loading(ext), &record), SQL_ERROR);
  EXPECT_FALSE(fs::exists(ext.string() + ".loaded"));
  EXPECT_EQ(r.exec("SELECT 1", nullptr), SQL_SUCCESS);
}

}  // namespace
}  // namespace kyvek::e2e
