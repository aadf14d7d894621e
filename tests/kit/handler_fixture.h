// Fixture of the handler tests: one served client link as the worker sets it
// up (an RPC handle in server mode with its per-connection record), the
// handlers called directly the way the stubs call them, against unixODBC and
// the SQLite ODBC driver on a file database in a private directory.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "odbc_fixture.h"
#include "scramble.h"

namespace kytest {

// A connection string as a client sends it: "xx" and the text scrambled
// (mode 1, or 3 for faze 2) in a buffer twice as long.
inline std::string wire_connect_string(const std::string& text, int mode) {
  std::vector<char> scrambled(text.size() * 2 + 1, '\0');
  std::memcpy(scrambled.data(), text.data(), text.size());
  scramble_string(scrambled.data(), mode);
  return "xx" + std::string(scrambled.data());
}

class RpcLink {
 public:
  RpcLink() {
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
    rpc_ = RPCAllocHandle();
    RPCRegisterPrivatePtr(rpc_, &info_, 0);
    RPCInitialise(rpc_, 0, fds_[0]);
    snprintf(info_.client_address, sizeof(info_.client_address), "127.0.0.1");
  }
  ~RpcLink() { end(); }
  RpcLink(const RpcLink&) = delete;
  RpcLink& operator=(const RpcLink&) = delete;

  // The link goes away: the terminate callback frees what it left.
  void end() {
    if (rpc_ == nullptr) return;
    RPCTerminate(rpc_);
    RPCRegisterPrivatePtr(rpc_, nullptr, 0);
    RPCFreeHandle(rpc_);
    close(fds_[1]);
    rpc_ = nullptr;
  }
  void bind() { veks_registry_bind(info_.handles); }
  net_connection_info_t& info() { return info_; }

  void* env() {
    void* e = nullptr;
    EXPECT_EQ(sql_alloc_handle(rpc_, 3, SQL_HANDLE_ENV, nullptr, &e), SQL_SUCCESS);
    EXPECT_EQ(sql_set_env_attr(e, SQL_ATTR_ODBC_VERSION, SQL_OV_ODBC3), SQL_SUCCESS);
    return e;
  }
  void* dbc(void* env) {
    void* d = nullptr;
    EXPECT_EQ(sql_alloc_handle(rpc_, 3, SQL_HANDLE_DBC, env, &d), SQL_SUCCESS);
    return d;
  }
  // Connects the way a client does: "xx" and the scrambled string.
  int16_t connect(void* dbc, const std::string& text, bool faze2 = false, std::string* out = nullptr) {
    info_.op_flags1 = faze2 ? NET_OP_FAZE2 : 0;
    std::string wire = wire_connect_string(text, faze2 ? 3 : 1);
    std::vector<char> block(wire.begin(), wire.end());
    block.push_back('\0');
    std::vector<char> back(256, '\0');
    int32_t back_len = static_cast<int32_t>(back.size());
    int16_t rc = sql_driver_connect(dbc, static_cast<int32_t>(block.size()), block.data(), &back_len, back.data(), 200,
                                    SQL_DRIVER_NOPROMPT);
    if (out != nullptr) out->assign(back.data(), static_cast<size_t>(back_len));
    return rc;
  }
  void* connected() {
    void* d = dbc(env());
    EXPECT_TRUE(SQL_SUCCEEDED(connect(d, OdbcDir::get().dsn_string())));
    return d;
  }
  void* stmt(void* dbc) {
    void* s = nullptr;
    EXPECT_EQ(sql_alloc_handle(rpc_, 3, SQL_HANDLE_STMT, dbc, &s), SQL_SUCCESS);
    return s;
  }

 private:
  int fds_[2] = {-1, -1};
  RpcHandle* rpc_ = nullptr;
  net_connection_info_t info_{};
};

// Runs SQL through the handler, with the terminator as clients send it.
inline int16_t exec_direct(void* stmt, const std::string& sql) {
  std::vector<char> block(sql.begin(), sql.end());
  block.push_back('\0');
  return sql_exec_direct(stmt, static_cast<int32_t>(block.size()), block.data());
}

// The SQLSTATE of a diagnostic record read through the handler.
inline std::string diag_state(int16_t type, void* handle, int16_t number, int32_t* native = nullptr,
                              std::string* message = nullptr) {
  char state[6] = {0};
  int32_t nat = 0;
  char msg[512] = {0};
  int32_t block = sizeof(msg);
  int16_t text_len = 0;
  int16_t rc = sql_get_diag_rec(type, handle, number, state, &nat, &block, msg, sizeof(msg), &text_len);
  if (!SQL_SUCCEEDED(rc)) return "rc=" + std::to_string(rc);
  if (native != nullptr) *native = nat;
  if (message != nullptr) *message = std::string(msg, block > 0 ? static_cast<size_t>(block - 1) : 0);
  return state;
}

class HandlersTest : public ::testing::Test {
 protected:
  void SetUp() override { OdbcDir::get().set_flags(0x8000); }
};

}  // namespace kytest
