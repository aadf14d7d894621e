// The driver's connect road, information cache, diagnostics layering and
// link failures against a scripted server: the server's rows and stubs (the
// test kit's scripted table) on a loopback RPC link, with handlers of this test that record
// what the driver sent. It shows what a real server cannot: which calls were
// made, and in which scrambling variant.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diag_reader.h"
#include "driver.h"
#include "handlers.h"
#include "kyrpc.h"
#include "scramble.h"
#include "scripted_table.h"

namespace {

void* const kServerEnv = reinterpret_cast<void*>(0x1001);
void* const kServerDbc = reinterpret_cast<void*>(0x2002);

struct ServerDiag {
  std::string state, message;
  int32_t native;
};

// What the scripted server answers, and what it saw.
struct Script {
  std::mutex m;
  bool faze2 = true;
  int32_t auth_result = 0;
  int16_t connect_result = SQL_SUCCESS;
  int16_t free_result = SQL_SUCCESS;
  std::vector<ServerDiag> dbc_diags;
  std::map<std::string, int> calls;
  std::string auth_user, auth_scrambled, connect_block;
  std::string accept_password;  // when set, authenticate accepts only this one
  std::vector<std::pair<int32_t, SQLLEN>> connect_attrs;
  std::vector<std::pair<int32_t, SQLLEN>> stmt_attrs;
  SQLLEN bookmark_octets = 0;          // what the server says column 0 holds
  std::string bookmark;                // the bytes synch_bookmark received
  std::atomic<int> fetch_delay_ms{0};  // how long sql_fetch takes
  std::atomic<bool> fetching{false};   // sql_fetch has started
  std::vector<std::string> order;      // sql_fetch and sql_cancel, as they ran
  void count(const char* name) {
    std::lock_guard<std::mutex> g(m);
    ++calls[name];
  }
  int called(const char* name) {
    std::lock_guard<std::mutex> g(m);
    return calls[name];
  }
};

Script* g_script = nullptr;

}  // namespace

// ---- the scripted handlers (C linkage, signatures from handlers.h; each is
// put in the table by scripted_table() below) ------------------------------

extern "C" {

int32_t server_get_info(int32_t type, int32_t* len, char* buf) {
  g_script->count("server_get_info");
  const char* text = type == 1   ? "2.4.03"
                     : type == 2 ? "scripted"
                     : type == 3 ? (g_script->faze2 ? "1" : "0")
                                 : nullptr;
  if (!text) return -1;
  int32_t n = static_cast<int32_t>(std::strlen(text)) + 1;
  if (n > *len) return 1;
  std::memcpy(buf, text, static_cast<size_t>(n));
  *len = n;
  return 0;
}

int32_t server_set_attribute(RpcHandle*, int32_t, int32_t, char*) {
  g_script->count("server_set_attribute");
  return 0;
}

int32_t authenticate(RpcHandle*, char* user, char* password) {
  g_script->count("authenticate");
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->auth_user = user;
  g_script->auth_scrambled = password;
  if (!g_script->accept_password.empty()) {
    std::string plain = password;
    scramble_string(plain.data(), 2);
    return std::string(plain.c_str()) == g_script->accept_password ? 0 : 1326;
  }
  return g_script->auth_result;
}

int16_t sql_alloc_handle(RpcHandle*, int32_t, int16_t type, void*, void** out) {
  g_script->count("sql_alloc_handle");
  static std::atomic<uintptr_t> next{0x10000};
  *out = type == SQL_HANDLE_ENV   ? kServerEnv
         : type == SQL_HANDLE_DBC ? kServerDbc
                                  : reinterpret_cast<void*>(next.fetch_add(0x10));
  return SQL_SUCCESS;
}

int16_t sql_get_stmt_attr_handle(void* stmt, int32_t attr, void** out) {
  g_script->count("sql_get_stmt_attr_handle");
  *out = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(stmt) + (attr - SQL_ATTR_APP_ROW_DESC) + 1);
  return SQL_SUCCESS;
}

int16_t sql_set_stmt_attr_integer(void*, int32_t attr, SQLLEN value, int32_t) {
  g_script->count("sql_set_stmt_attr_integer");
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->stmt_attrs.emplace_back(attr, value);
  return SQL_SUCCESS;
}

int16_t sql_set_env_attr(void*, int32_t, int32_t) {
  g_script->count("sql_set_env_attr");
  return SQL_SUCCESS;
}

int16_t sql_set_connect_attr_long(void*, int32_t attr, SQLLEN value, int32_t) {
  g_script->count("sql_set_connect_attr_long");
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->connect_attrs.emplace_back(attr, value);
  return SQL_SUCCESS;
}

int16_t sql_driver_connect(void*, int32_t len, char* data, int32_t* outlen, char*, int16_t, int16_t) {
  g_script->count("sql_driver_connect");
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->connect_block.assign(data, static_cast<size_t>(len));
  *outlen = 0;
  return g_script->connect_result;
}

int16_t sql_col_attribute(void*, int16_t column, int16_t field, int32_t*, char*, int16_t, int16_t*, SQLLEN* num) {
  g_script->count("sql_col_attribute");
  if (column != 0 || field != SQL_DESC_OCTET_LENGTH) return SQL_ERROR;
  *num = g_script->bookmark_octets;
  return SQL_SUCCESS;
}

int16_t synch_bookmark(void*, int32_t bytes, char* data) {
  g_script->count("synch_bookmark");
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->bookmark.assign(data, static_cast<size_t>(bytes));
  return SQL_SUCCESS;
}

int16_t sql_fetch_scroll(void*, int16_t, int32_t) {
  g_script->count("sql_fetch_scroll");
  return SQL_NO_DATA;
}

int16_t sql_fetch(void*) {
  g_script->count("sql_fetch");
  g_script->fetching = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(g_script->fetch_delay_ms.load()));
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->order.push_back("sql_fetch");
  return SQL_NO_DATA;
}

int16_t sql_cancel(void*) {
  g_script->count("sql_cancel");
  std::lock_guard<std::mutex> g(g_script->m);
  g_script->order.push_back("sql_cancel");
  return SQL_SUCCESS;
}

int16_t sql_disconnect(void*) {
  g_script->count("sql_disconnect");
  return SQL_SUCCESS;
}

int16_t sql_free_handle(RpcHandle*, int16_t, void*) {
  g_script->count("sql_free_handle");
  return g_script->free_result;
}

int16_t set_config_param(void*, int32_t, int32_t, int32_t, char*) {
  g_script->count("set_config_param");
  return SQL_SUCCESS;
}

int16_t sql_get_info_integer(void*, int16_t, int32_t* value, int16_t, int16_t* len) {
  g_script->count("sql_get_info_integer");
  *value = 4242;
  if (len) *len = 4;
  return SQL_SUCCESS;
}

int16_t sql_get_info_smallint(void*, int16_t, int16_t* value, int16_t, int16_t* len) {
  g_script->count("sql_get_info_smallint");
  *value = 7;
  if (len) *len = 2;
  return SQL_SUCCESS;
}

int16_t sql_get_info_string(void*, int16_t type, int32_t* len, char* buf, int16_t, int16_t* outlen) {
  g_script->count("sql_get_info_string");
  std::string text = type == SQL_DRIVER_VER ? "09.09.0009" : "ScriptDB";
  int32_t n = std::min<int32_t>(static_cast<int32_t>(text.size()) + 1, *len);
  if (n > 0) std::memcpy(buf, text.c_str(), static_cast<size_t>(n));
  *len = n;
  *outlen = static_cast<int16_t>(text.size());
  return SQL_SUCCESS;
}

int16_t sql_get_diag_field_integer(int16_t, void*, int16_t, int16_t id, int32_t* value) {
  g_script->count("sql_get_diag_field_integer");
  std::lock_guard<std::mutex> g(g_script->m);
  if (id != SQL_DIAG_NUMBER) return SQL_ERROR;
  *value = static_cast<int32_t>(g_script->dbc_diags.size());
  return SQL_SUCCESS;
}

int16_t sql_get_diag_rec(int16_t, void*, int16_t rec, char* state, int32_t* native, int32_t* len, char* msg, int16_t,
                         int16_t* textlen) {
  g_script->count("sql_get_diag_rec");
  std::lock_guard<std::mutex> g(g_script->m);
  if (rec < 1 || rec > static_cast<int16_t>(g_script->dbc_diags.size())) return SQL_NO_DATA;
  const ServerDiag& d = g_script->dbc_diags[static_cast<size_t>(rec - 1)];
  std::memcpy(state, d.state.c_str(), 6);
  *native = d.native;
  int32_t n = std::min<int32_t>(static_cast<int32_t>(d.message.size()) + 1, *len);
  std::memcpy(msg, d.message.c_str(), static_cast<size_t>(n));
  *len = n;
  *textlen = static_cast<int16_t>(d.message.size());
  return SQL_SUCCESS;
}

}  // extern "C"

namespace {

// The scripted handlers above in the server's procedure table; every other
// procedure answers -1.
FunctionDescriptor* scripted_table() {
  static kytest::ScriptedTable table = [] {
    kytest::ScriptedTable t;
    t.script<kyproc::rows::server_get_info, &server_get_info>();
    t.script<kyproc::rows::server_set_attribute, &server_set_attribute>();
    t.script<kyproc::rows::authenticate, &authenticate>();
    t.script<kyproc::rows::sql_alloc_handle, &sql_alloc_handle>();
    t.script<kyproc::rows::sql_get_stmt_attr_handle, &sql_get_stmt_attr_handle>();
    t.script<kyproc::rows::sql_set_stmt_attr_integer, &sql_set_stmt_attr_integer>();
    t.script<kyproc::rows::sql_set_env_attr, &sql_set_env_attr>();
    t.script<kyproc::rows::sql_set_connect_attr_long, &sql_set_connect_attr_long>();
    t.script<kyproc::rows::sql_driver_connect, &sql_driver_connect>();
    t.script<kyproc::rows::sql_col_attribute, &sql_col_attribute>();
    t.script<kyproc::rows::synch_bookmark, &synch_bookmark>();
    t.script<kyproc::rows::sql_fetch_scroll, &sql_fetch_scroll>();
    t.script<kyproc::rows::sql_disconnect, &sql_disconnect>();
    t.script<kyproc::rows::sql_free_handle, &sql_free_handle>();
    t.script<kyproc::rows::set_config_param, &set_config_param>();
    t.script<kyproc::rows::sql_get_info_integer, &sql_get_info_integer>();
    t.script<kyproc::rows::sql_get_info_smallint, &sql_get_info_smallint>();
    t.script<kyproc::rows::sql_get_info_string, &sql_get_info_string>();
    t.script<kyproc::rows::sql_get_diag_field_integer, &sql_get_diag_field_integer>();
    t.script<kyproc::rows::sql_get_diag_rec, &sql_get_diag_rec>();
    t.script<kyproc::rows::sql_cancel, &sql_cancel>();
    t.script<kyproc::rows::sql_fetch, &sql_fetch>();
    return t;
  }();
  return table.get();
}

// One scripted server: accepts links on a loopback port and serves each on
// its own thread with the scripted table.
class ScriptedServer {
 public:
  ScriptedServer() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &l);
    port_ = ntohs(a.sin_port);
    ::listen(listen_fd_, 8);
    acceptor_ = std::thread([this] { accept_loop(); });
  }
  ~ScriptedServer() {
    stopping_ = true;
    ::shutdown(listen_fd_, SHUT_RDWR);
    ::close(listen_fd_);
    acceptor_.join();
    for (auto& t : links_) t.join();
  }
  int port() const { return port_; }
  // Cuts every open link as a crashed server would.
  void cut_links() {
    std::lock_guard<std::mutex> g(m_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  void accept_loop() {
    while (!stopping_) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      std::lock_guard<std::mutex> g(m_);
      open_fds_.push_back(fd);
      links_.emplace_back([this, fd] {
        serve(fd);
        std::lock_guard<std::mutex> link_guard(m_);
        open_fds_.erase(std::find(open_fds_.begin(), open_fds_.end(), fd));
        ::close(fd);
      });
    }
  }
  static void serve(int fd) {
    RpcHandle* h = RPCAllocHandle();
    RPCInitialise(h, RPC_MODE_SERVER, fd);
    RPCExport(h, scripted_table());
    int index = -1;
    const char *name, *description;
    for (int i = 0; RPCEnumerateTransports(h, i, &name, &description) == 0; ++i)
      if (std::strcmp(name, RPC_TRANSPORT_NAME_WINSOCK) == 0) index = i;
    RPCSetTransportOpts(h, index, nullptr, "8888", nullptr, nullptr, nullptr, nullptr, nullptr);
    if (RPCConnect(h, 1, 0, "1999-1014-0000000001") == 0) RPCRun(h);
    RPCDisconnect(h);
    RPCTerminate(h);
    RPCFreeHandle(h);
  }
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex m_;
  std::vector<std::thread> links_;
  std::vector<int> open_fds_;
};

std::vector<kytest::DiagRecord> diags(SQLSMALLINT type, SQLHANDLE h) { return kytest::diag_records(type, h); }

std::string unscramble(std::string text, int mode) {
  scramble_string(text.data(), mode);
  return text.c_str();
}

class DriverLink : public ::testing::Test {
 protected:
  void SetUp() override {
    g_script = &script_;
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env_), SQL_SUCCESS);
    ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_SUCCESS);
  }
  void TearDown() override {
    SQLDisconnect(dbc_);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DBC, dbc_), SQL_SUCCESS);
    EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_ENV, env_), SQL_SUCCESS);
  }
  std::string base() { return "DRIVER=kyvekcnt;SERVERPORT=127.0.0.1:" + std::to_string(server_.port()) + ";"; }
  SQLRETURN connect(const std::string& in, SQLUSMALLINT completion = SQL_DRIVER_NOPROMPT, SQLSMALLINT outmax = 1024) {
    out_.assign(1024, '\0');
    outlen_ = 0;
    return SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)in.c_str(), SQL_NTS, (SQLCHAR*)out_.data(), outmax, &outlen_,
                            completion);
  }
  Script script_;
  ScriptedServer server_;
  SQLHANDLE env_ = nullptr, dbc_ = nullptr;
  std::string out_;
  SQLSMALLINT outlen_ = 0;
};

TEST_F(DriverLink, BothScramblesFollowTheServersVariant) {
  const std::string password = "a-password-longer-than-eight";
  for (bool faze2 : {true, false}) {
    script_.faze2 = faze2;
    std::string in = base() + "TARGETDSN=target;UID=app;PWD={p;w}}x};Database=/srv/other.db;TraceFile=/tmp/t;" +
                     "LOGONUSER=os-user;LOGONAUTH=" + password;
    ASSERT_EQ(connect(in), SQL_SUCCESS) << faze2;
    int unscramble_mode = faze2 ? 2 : 0;
    EXPECT_EQ(script_.auth_user, "os-user");
    EXPECT_EQ(unscramble(script_.auth_scrambled, unscramble_mode), password) << faze2;
    EXPECT_NE(unscramble(script_.auth_scrambled, faze2 ? 0 : 2), password) << faze2;
    const std::string& block = script_.connect_block;
    ASSERT_GE(block.size(), 2u);
    EXPECT_EQ(block.substr(0, 2), "xx");
    std::string remote = unscramble(block.substr(2), unscramble_mode);
    // The target's DSN, user and password travel, the password brace-quoted,
    // and the target option (the server decides whether it passes it on);
    // the trace file is the client Driver Manager's and stays here.
    EXPECT_EQ(remote, "DSN=target;UID=app;PWD={p;w}}x};DATABASE=/srv/other.db;") << faze2;
    EXPECT_EQ(block.size(), remote.size() * 2 + 5);
    // Without prompting, the out string is the application's own string,
    // but for the logon password, which it gives back disguised.
    std::string expected = in.substr(0, in.find("LOGONAUTH=")) + "DISGUISEDLOGONAUTH=" +
                           kyvek::driver::disguised_logon_auth(password);
    EXPECT_EQ(std::string(out_.c_str()), expected);
    EXPECT_EQ(outlen_, static_cast<SQLSMALLINT>(expected.size()));
    ASSERT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);
  }
  EXPECT_EQ(script_.called("server_set_attribute"), 2);
}

TEST_F(DriverLink, LogonUser28000SkipsTheLogonAndCachedAttributesAreSent) {
  ASSERT_EQ(SQLSetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(0), SQL_IS_UINTEGER),
            SQL_SUCCESS);
  ASSERT_EQ(connect(base() + "TARGETDSN=t;LOGONUSER=28000"), SQL_SUCCESS);
  EXPECT_EQ(script_.called("authenticate"), 0);
  std::lock_guard<std::mutex> g(script_.m);
  ASSERT_EQ(script_.connect_attrs.size(), 1u);
  EXPECT_EQ(script_.connect_attrs[0].first, SQL_ATTR_AUTOCOMMIT);
  EXPECT_EQ(script_.connect_attrs[0].second, 0);
}

TEST_F(DriverLink, RefusedLogonLeavesAnUnconnectedConnection) {
  script_.auth_result = 1326;
  EXPECT_EQ(connect(base() + "TARGETDSN=t;LOGONUSER=u;LOGONAUTH=bad"), SQL_ERROR);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  // One record, in words a user acts on; the server's log says which was wrong.
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "28000");
  EXPECT_EQ(d[0].native, 1326);
  EXPECT_EQ(d[0].message, "[Kyronde ODBC (Client)]logon failed for user u: wrong user name or password");
  EXPECT_EQ(SQLDisconnect(dbc_), SQL_ERROR);  // 08003: nothing left connected
  EXPECT_EQ(script_.called("sql_driver_connect"), 0);
}

TEST_F(DriverLink, OutStringWhenCompletingIsTranslatedAndCutByTheBuffer) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t;UID=u;PWD=p;MAPEXECDIRECT=1;BLOCKFETCHSIZE=0", SQL_DRIVER_COMPLETE),
            SQL_SUCCESS);
  // Without a DSN the driver stays named; defaults and the logon keywords go.
  EXPECT_EQ(std::string(out_.c_str()),
            "DRIVER={kyvekcnt};SERVERPORT=127.0.0.1:" + std::to_string(server_.port()) + ";TARGETDSN=t;UID=u;PWD=p;");
  ASSERT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);
  std::string in = base() + "TARGETDSN=t";
  ASSERT_EQ(connect(in, SQL_DRIVER_NOPROMPT, 10), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::string(out_.c_str()), in.substr(0, 9));
  EXPECT_EQ(outlen_, static_cast<SQLSMALLINT>(in.size()));
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "01004");
}

TEST_F(DriverLink, FixedSizeInformationIsCachedPerConnection) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  SQLUINTEGER v32 = 0;
  SQLUSMALLINT v16 = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(SQLGetInfo(dbc_, SQL_MAX_ROW_SIZE, &v32, 0, nullptr), SQL_SUCCESS);
    ASSERT_EQ(SQLGetInfo(dbc_, SQL_MAX_DRIVER_CONNECTIONS, &v16, 0, nullptr), SQL_SUCCESS);
  }
  EXPECT_EQ(v32, 4242u);
  EXPECT_EQ(v16, 7u);
  EXPECT_EQ(script_.called("sql_get_info_integer"), 1);
  EXPECT_EQ(script_.called("sql_get_info_smallint"), 1);
  char text[32];
  SQLSMALLINT len = 0;
  ASSERT_EQ(SQLGetInfo(dbc_, SQL_DRIVER_VER, text, sizeof text, &len), SQL_SUCCESS);
  EXPECT_STREQ(text, "02.04.0003");  // the driver's own
  ASSERT_EQ(SQLGetInfo(dbc_, SQL_DBMS_NAME, text, sizeof text, &len), SQL_SUCCESS);
  EXPECT_STREQ(text, "ScriptDB");
  ASSERT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);

  ASSERT_EQ(connect(base() + "TARGETDSN=t;GETINFOPASSTHRU=1"), SQL_SUCCESS);
  ASSERT_EQ(SQLGetInfo(dbc_, SQL_MAX_ROW_SIZE, &v32, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(script_.called("sql_get_info_integer"), 2);  // emptied by the disconnect
  ASSERT_EQ(SQLGetInfo(dbc_, SQL_DRIVER_VER, text, sizeof text, &len), SQL_SUCCESS);
  EXPECT_STREQ(text, "09.09.0009");
}

TEST_F(DriverLink, ClientRecordsComeBeforeTheServersInOneNumbering) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  {
    std::lock_guard<std::mutex> g(script_.m);
    script_.dbc_diags = {{"01000", "[server]one", 11}, {"01S02", "[server]two", 12}, {"HY000", "[server]three", 13}};
  }
  char name[8];
  SQLSMALLINT len = 0;
  ASSERT_EQ(SQLGetInfo(dbc_, SQL_DRIVER_NAME, name, sizeof name, &len), SQL_SUCCESS_WITH_INFO);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 4u);
  EXPECT_EQ(d[0].state, "01004");
  EXPECT_EQ(d[1].message, "[server]one");
  EXPECT_EQ(d[3].native, 13);
  SQLINTEGER n = 0;
  ASSERT_EQ(SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_NUMBER, &n, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(n, 4);
  SQLCHAR state[6];
  SQLINTEGER native;
  SQLCHAR msg[64];
  EXPECT_EQ(SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 5, state, &native, msg, sizeof msg, &len), SQL_NO_DATA);
}

TEST_F(DriverLink, CutLinkMarksTheConnectionDeadAndDisconnectMakesNoRemoteCall) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  server_.cut_links();
  char text[32];
  SQLSMALLINT len = 0;
  EXPECT_EQ(SQLGetInfo(dbc_, SQL_DBMS_NAME, text, sizeof text, &len), SQL_ERROR);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_GE(d.size(), 2u);
  EXPECT_EQ(d[0].state, "08S01");
  EXPECT_EQ(d[0].native, 45);
  EXPECT_EQ(d[1].state, "08S01");
  SQLINTEGER n = 0;
  EXPECT_EQ(SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_NUMBER, &n, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(n, static_cast<SQLINTEGER>(d.size()));
  SQLUINTEGER dead = 0;
  EXPECT_EQ(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(dead, static_cast<SQLUINTEGER>(SQL_CD_TRUE));
  // A statement cannot be had on the dead link, and the failure says why.
  SQLHANDLE stmt = nullptr;
  EXPECT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_ERROR);
  d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d[0].state, "08S01");
  EXPECT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);
  EXPECT_EQ(script_.called("sql_disconnect"), 0);
}

TEST_F(DriverLink, DisconnectCompletesWhenTheServerRefusesTheFree) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  script_.free_result = SQL_ERROR;
  EXPECT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(script_.called("sql_free_handle"), 2);
  // The connection is no longer connected, so it can be freed (TearDown).
  EXPECT_EQ(SQLDisconnect(dbc_), SQL_ERROR);
}

TEST_F(DriverLink, StatementsAndDescriptorsPairWithServerRecords) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t;BLOCKFETCHSIZE=20;METADATA_ID_IDENTIFIERS=1"), SQL_SUCCESS);
  SQLHANDLE stmt = nullptr, desc = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_SUCCESS);
  EXPECT_EQ(script_.called("sql_get_stmt_attr_handle"), 4);
  {
    std::lock_guard<std::mutex> g(script_.m);
    ASSERT_EQ(script_.stmt_attrs.size(), 1u);
    EXPECT_EQ(script_.stmt_attrs[0].first, SQL_ATTR_METADATA_ID);
    EXPECT_EQ(script_.stmt_attrs[0].second, 1);
  }
  auto* s = static_cast<kyvek::driver::client_stmt*>(stmt);
  EXPECT_TRUE(s->flags & kyvek::driver::kStmtBlockFetchWanted);
  EXPECT_EQ(s->block_fetch_size, 20);
  auto* ird = reinterpret_cast<kyvek::driver::client_desc*>(s->implicit_desc[DESC_IRD]);
  EXPECT_EQ(ird->server_desc, reinterpret_cast<uint64_t>(s->driver_stmt) + 3);
  // An implicit descriptor cannot be freed by the application.
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DESC, ird), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DESC, ird)[0].state, "HY017");

  // A free that the server answers with SUCCESS_WITH_INFO still frees the record.
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_DESC, dbc_, &desc), SQL_SUCCESS);
  // What is not a descriptor cannot be made current on a statement.
  for (SQLINTEGER attr : {SQL_ATTR_APP_ROW_DESC, SQL_ATTR_APP_PARAM_DESC}) {
    EXPECT_EQ(SQLSetStmtAttr(stmt, attr, stmt, SQL_IS_POINTER), SQL_ERROR) << attr;
    auto sd = diags(SQL_HANDLE_STMT, stmt);
    ASSERT_EQ(sd.size(), 1u) << attr;
    EXPECT_EQ(sd[0].state, "HY024") << attr;
  }
  script_.free_result = SQL_SUCCESS_WITH_INFO;
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DESC, desc), SQL_SUCCESS);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DESC, desc), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_DESC, ird), SQL_INVALID_HANDLE);
  script_.free_result = SQL_SUCCESS;

  // A cut link reaches the statements too, and the disconnect frees them.
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_SUCCESS);
  server_.cut_links();
  char text[32];
  SQLSMALLINT len = 0;
  EXPECT_EQ(SQLGetInfo(dbc_, SQL_DBMS_NAME, text, sizeof text, &len), SQL_ERROR);
  auto sd = diags(SQL_HANDLE_STMT, stmt);
  ASSERT_EQ(sd.size(), 1u);
  EXPECT_EQ(sd[0].state, "08S01");
  EXPECT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_INVALID_HANDLE);
}

// The setup library's dialogs (a stand-in here) complete a connection, and
// a cancelled dialog leaves nothing connected.
TEST_F(DriverLink, DialogsCompleteTheAttributesAndTheLogon) {
  const std::string serverport = "127.0.0.1:" + std::to_string(server_.port());
  setenv("KYVEK_FAKE_SERVERPORT", serverport.c_str(), 1);
  auto* window = reinterpret_cast<SQLHWND>(0x1);
  auto dial = [&](const std::string& in) {
    out_.assign(1024, '\0');
    return SQLDriverConnect(dbc_, window, (SQLCHAR*)in.c_str(), SQL_NTS, (SQLCHAR*)out_.data(), 1024, &outlen_,
                            SQL_DRIVER_COMPLETE);
  };
  setenv("KYVEK_FAKE_DIALOG", "cancel", 1);
  EXPECT_EQ(dial("DRIVER=kyvekcnt;"), SQL_NO_DATA);
  EXPECT_EQ(script_.called("authenticate"), 0);

  setenv("KYVEK_FAKE_DIALOG", "confirm", 1);
  ASSERT_EQ(dial("DRIVER=kyvekcnt;"), SQL_SUCCESS) << diags(SQL_HANDLE_DBC, dbc_).size();
  EXPECT_EQ(unscramble(script_.connect_block.substr(2), 2), "DSN=from-dialog;");
  ASSERT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);

  // A refused logon asks once more; the dialog's answer logs on.
  script_.accept_password = "dialog;pw";
  int before = script_.called("authenticate");
  ASSERT_EQ(dial(base() + "TARGETDSN=t;LOGONUSER=u;LOGONAUTH=wrong"), SQL_SUCCESS);
  EXPECT_EQ(script_.called("authenticate") - before, 2);
  EXPECT_EQ(script_.auth_user, "dialog-user");
  ASSERT_EQ(SQLDisconnect(dbc_), SQL_SUCCESS);

  // Cancelling the logon dialog takes the link down.
  setenv("KYVEK_FAKE_DIALOG", "cancel", 1);
  EXPECT_EQ(dial(base() + "TARGETDSN=t;LOGONUSER=u;LOGONAUTH=wrong"), SQL_NO_DATA);
  EXPECT_EQ(SQLDisconnect(dbc_), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "08003");
  unsetenv("KYVEK_FAKE_DIALOG");
  unsetenv("KYVEK_FAKE_SERVERPORT");
}

// The bookmark length the server reports decides how much of the
// application's bookmark buffer is read. A bookmark goes whole or not at
// all: longer than MaxBookMarkSize (32 without a setting), or of a length
// the driver does not tell, it is refused rather than cut (a cut bookmark
// would fetch another row); a fixed bookmark of untold length is 32 bits.
TEST_F(DriverLink, FetchByBookmarkSendsWholeBookmarksOrNone) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  SQLHANDLE stmt = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_SUCCESS);
  std::vector<char> bookmark(64);
  for (size_t i = 0; i < bookmark.size(); ++i) bookmark[i] = static_cast<char>('a' + i % 26);
  ASSERT_EQ(SQLSetStmtAttr(stmt, SQL_ATTR_FETCH_BOOKMARK_PTR, bookmark.data(), SQL_IS_POINTER), SQL_SUCCESS);
  static const struct {
    SQLLEN octets;  // the driver's answer; 0: it gives none
    SQLULEN use_bookmarks;
    SQLRETURN rc;
    const char* state;  // of the first record on failure
    size_t sent;        // bookmark bytes that reach the server
  } kCases[] = {
      {8, SQL_UB_VARIABLE, SQL_NO_DATA, "", 8},     {32, SQL_UB_VARIABLE, SQL_NO_DATA, "", 32},
      {33, SQL_UB_VARIABLE, SQL_ERROR, "HY111", 0}, {4096, SQL_UB_VARIABLE, SQL_ERROR, "HY111", 0},
      {0, SQL_UB_VARIABLE, SQL_ERROR, "HY000", 0},  {0, SQL_UB_FIXED, SQL_NO_DATA, "", 4},
      {8, SQL_UB_FIXED, SQL_NO_DATA, "", 8},
  };
  for (const auto& k : kCases) {
    SCOPED_TRACE(std::to_string(k.octets) + " bytes, use bookmarks " + std::to_string(k.use_bookmarks));
    ASSERT_EQ(SQLSetStmtAttr(stmt, SQL_ATTR_USE_BOOKMARKS, reinterpret_cast<SQLPOINTER>(k.use_bookmarks), 0),
              SQL_SUCCESS);
    script_.bookmark_octets = k.octets;
    const int before = script_.called("synch_bookmark");
    {
      std::lock_guard<std::mutex> g(script_.m);
      script_.bookmark.clear();
    }
    EXPECT_EQ(SQLFetchScroll(stmt, SQL_FETCH_BOOKMARK, 0), k.rc);
    if (k.rc == SQL_ERROR) {
      auto d = diags(SQL_HANDLE_STMT, stmt);
      ASSERT_FALSE(d.empty());
      EXPECT_EQ(d[0].state, k.state) << d[0].message;
    }
    EXPECT_EQ(script_.called("synch_bookmark") - before, k.sent ? 1 : 0);
    std::lock_guard<std::mutex> g(script_.m);
    EXPECT_EQ(script_.bookmark, std::string(bookmark.data(), k.sent));
  }
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
}

TEST_F(DriverLink, FailedRemoteConnectBringsTheServersRecordsAndTakesTheLinkDown) {
  script_.connect_result = SQL_ERROR;
  {
    std::lock_guard<std::mutex> g(script_.m);
    script_.dbc_diags = {{"IM002", "[unixODBC][Driver Manager]Data source name not found", 0}};
  }
  EXPECT_EQ(connect(base() + "TARGETDSN=missing"), SQL_ERROR);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "IM002");
  EXPECT_EQ(d[0].message, "[unixODBC][Driver Manager]Data source name not found");
  EXPECT_EQ(script_.called("sql_free_handle"), 2);
  SQLUINTEGER dead;
  EXPECT_EQ(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr), SQL_ERROR);  // 08003
}

}  // namespace

// SQLCancel from a second thread does not wait for the call it cancels: it
// takes no statement lock, and its request reaches the server as soon as the
// link is free, after the round trip that is under way.
TEST_F(DriverLink, CancelFromASecondThreadDoesNotWaitForTheRunningCall) {
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  SQLHANDLE stmt = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_SUCCESS);
  {
    // A call that holds the statement between its round trips.
    std::unique_lock<std::recursive_mutex> running(static_cast<kyvek::driver::client_stmt*>(stmt)->lock);
    auto cancel = std::async(std::launch::async, [&] { return SQLCancel(stmt); });
    const bool returned = cancel.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    running.unlock();
    ASSERT_TRUE(returned) << "SQLCancel waited for the statement's running call";
    EXPECT_EQ(cancel.get(), SQL_SUCCESS);
  }
  EXPECT_EQ(script_.called("sql_cancel"), 1);

  // A fetch that the server takes its time over.
  script_.fetch_delay_ms = 300;
  auto fetch = std::async(std::launch::async, [&] { return SQLFetch(stmt); });
  while (!script_.fetching) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(SQLCancel(stmt), SQL_SUCCESS);
  EXPECT_EQ(fetch.get(), SQL_NO_DATA);
  {
    std::lock_guard<std::mutex> g(script_.m);
    EXPECT_EQ(script_.order, (std::vector<std::string>{"sql_cancel", "sql_fetch", "sql_cancel"}));
  }
  // The statement goes on serving calls.
  script_.fetch_delay_ms = 0;
  EXPECT_EQ(SQLFetch(stmt), SQL_NO_DATA);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
}

namespace {

// Seconds since start, as a double.
double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(DriverLink, ListenerThatNeverAnswersTimesOutWithinTheLoginTimeout) {
  // The kernel completes the connect on a listening socket; nobody accepts or greets.
  int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t l = sizeof a;
  ::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &l);
  ASSERT_EQ(::listen(lst, 4), 0);
  ASSERT_EQ(SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(1), 0), SQL_SUCCESS);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connect("DRIVER=kyvekcnt;TARGETDSN=t;SERVERPORT=127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + ";"),
            SQL_ERROR);
  const double took = seconds_since(start);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 3.0);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "HYT00");
  EXPECT_EQ(d[0].message, "[Kyronde ODBC (Client)]Login timeout expired: 127.0.0.1 port " +
                              std::to_string(ntohs(a.sin_port)) + ": no answer from the server in the time left");
  ::close(lst);
}

TEST_F(DriverLink, ReplyPastTheConnectionTimeoutFailsWithHYT01AndClosesTheLink) {
  ASSERT_EQ(SQLSetConnectAttr(dbc_, SQL_ATTR_CONNECTION_TIMEOUT, reinterpret_cast<SQLPOINTER>(1), 0), SQL_SUCCESS);
  ASSERT_EQ(connect(base() + "TARGETDSN=t"), SQL_SUCCESS);
  SQLHANDLE stmt = nullptr;
  ASSERT_EQ(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_SUCCESS);
  script_.fetch_delay_ms = 2500;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SQLFetch(stmt), SQL_ERROR);
  const double took = seconds_since(start);
  EXPECT_GE(took, 0.9);
  EXPECT_LT(took, 2.0);
  auto d = diags(SQL_HANDLE_STMT, stmt);
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d[0].state, "HYT01");
  SQLUINTEGER dead = 0;
  EXPECT_EQ(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(dead, static_cast<SQLUINTEGER>(SQL_CD_TRUE));
  // Later calls fail at once with the link failure.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(SQLFetch(stmt), SQL_ERROR);
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_EQ(SQLFreeHandle(SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
}
