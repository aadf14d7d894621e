// The core road over a real RPC link on 127.0.0.1: a served connection as the
// worker sets it up (per-connection record, exported procedure table,
// RPCRun), and a client calling through the client stubs: environment,
// connect, execute a SELECT, fetch its rows, read a diagnostic; then the link
// drops and its clean-up frees what the client left.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <cstring>
#include <thread>

#include "handler_fixture.h"
#include "procedure_table.h"
#include "remote_stubs.h"

namespace kytest {
namespace {

class ServedLink {
 public:
  ServedLink() {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ServedLink() {
    ::shutdown(listen_fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listen_fd_);
  }
  int port() const { return port_; }
  void wait() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  void serve() {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return;
    int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) return;
    net_connection_info_t info{};
    snprintf(info.client_address, sizeof(info.client_address), "127.0.0.1");
    RpcHandle* h = RPCAllocHandle();
    RPCRegisterPrivatePtr(h, &info, 0);
    RPCInitialise(h, RPC_MODE_SERVER, fd);
    RPCExport(h, server_procedure_table);
    int winsock = -1;
    const char *name = nullptr, *desc = nullptr;
    for (int i = 0; RPCEnumerateTransports(h, i, &name, &desc) == 0; ++i) {
      if (strcmp(name, RPC_TRANSPORT_NAME_WINSOCK) == 0) winsock = i;
    }
    RPCSetTransportOpts(h, winsock, nullptr, "0", nullptr, nullptr, nullptr, "60", nullptr);
    if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) == 0) RPCRun(h);
    RPCDisconnect(h);
    RPCTerminate(h);  // the terminate callback frees what the client left
    RPCRegisterPrivatePtr(h, nullptr, 0);
    RPCFreeHandle(h);
    ::close(fd);
  }
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

using Loopback = HandlersTest;

TEST_F(Loopback, CoreRoadThroughClientStubs) {
  ServedLink server;
  RpcHandle* h = RPCAllocHandle();
  ASSERT_EQ(RPCInitialise(h, RPC_MODE_CLIENT, 0), 0);
  std::string port = std::to_string(server.port());
  RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, "127.0.0.1", port.c_str(), nullptr, nullptr, nullptr, "60", nullptr);
  ASSERT_EQ(RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID), 0);

  void* env = nullptr;
  ASSERT_EQ(remote_sql_alloc_handle(h, 3, SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_set_env_attr(h, env, SQL_ATTR_ODBC_VERSION, SQL_OV_ODBC3), SQL_SUCCESS);
  void* dbc = nullptr;
  ASSERT_EQ(remote_sql_alloc_handle(h, 3, SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);

  std::string plain = "DSN=testdsn;";
  std::vector<char> scrambled(plain.size() * 2 + 1, '\0');
  memcpy(scrambled.data(), plain.data(), plain.size());
  scramble_string(scrambled.data(), KY_SCRAMBLE_SCRAMBLE);
  std::string wire = "xx" + std::string(scrambled.data());
  char out[128];
  int32_t out_len = sizeof(out);
  ASSERT_TRUE(SQL_SUCCEEDED(remote_sql_driver_connect(h, dbc, static_cast<int32_t>(wire.size() + 1), wire.c_str(),
                                                      &out_len, out, sizeof(out), SQL_DRIVER_NOPROMPT)));
  EXPECT_GT(out_len, 0);
  EXPECT_EQ(out[0], 'x');

  void* stmt = nullptr;
  ASSERT_EQ(remote_sql_alloc_handle(h, 3, SQL_HANDLE_STMT, dbc, &stmt), SQL_SUCCESS);
  auto exec = [&](const std::string& sql) {
    return remote_sql_exec_direct(h, stmt, static_cast<int32_t>(sql.size() + 1), sql.c_str());
  };
  ASSERT_EQ(exec("DROP TABLE IF EXISTS road"), SQL_SUCCESS);
  ASSERT_EQ(exec("CREATE TABLE road (n INTEGER, t TEXT)"), SQL_SUCCESS);
  ASSERT_EQ(exec("INSERT INTO road VALUES (1, 'one')"), SQL_SUCCESS);
  ASSERT_EQ(exec("INSERT INTO road VALUES (2, 'two')"), SQL_SUCCESS);
  ASSERT_EQ(exec("SELECT n, t FROM road ORDER BY n"), SQL_SUCCESS);
  std::vector<std::string> rows;
  while (remote_sql_fetch(h, stmt) == SQL_SUCCESS) {
    char text[32] = {0};
    int32_t len = sizeof(text);
    SQLLEN ind = 0;
    ASSERT_EQ(remote_sql_get_data(h, stmt, 2, SQL_C_CHAR, &len, text, sizeof(text), &ind), SQL_SUCCESS);
    rows.emplace_back(text, ind);
  }
  EXPECT_EQ(rows, (std::vector<std::string>{"one", "two"}));
  ASSERT_EQ(remote_sql_free_stmt(h, stmt, SQL_CLOSE), SQL_SUCCESS);

  EXPECT_EQ(exec("SELECT * FROM no_such_table"), SQL_ERROR);
  char state[6] = {0};
  int32_t native = 0;
  char msg[256] = {0};
  int32_t msg_len = sizeof(msg);
  int16_t text_len = 0;
  ASSERT_EQ(remote_sql_get_diag_rec(h, SQL_HANDLE_STMT, stmt, 1, state, &native, &msg_len, msg, sizeof(msg),
                                    &text_len), SQL_SUCCESS);
  EXPECT_EQ(strlen(state), 5u);
  EXPECT_NE(std::string(msg).find("no_such_table"), std::string::npos) << msg;
  int32_t count = 0;
  EXPECT_EQ(remote_sql_get_diag_field_integer(h, SQL_HANDLE_STMT, stmt, 0, SQL_DIAG_NUMBER, &count), SQL_SUCCESS);
  EXPECT_GE(count, 1);
  // A handle this link never held.
  EXPECT_EQ(remote_sql_fetch(h, reinterpret_cast<void*>(0x1234)), SQL_INVALID_HANDLE);

  // The client goes away without freeing anything: the server cleans up.
  RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
  server.wait();
}

}  // namespace
}  // namespace kytest
