// A served connection on 127.0.0.1 as the server's worker runs it (its
// per-connection record, the exported procedure table, RPCRun), and a client
// handle reaching the test data source through the client stubs.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "loopback.h"
#include "handler_fixture.h"
#include "procedure_table.h"
#include "remote_stubs.h"

namespace kytest {

class ServedLink {
 public:
  ServedLink() : server_(server_procedure_table, &info_) {}
  int port() const { return server_.port(); }
  // Waits until the link has dropped and its clean-up has run.
  void wait() { server_.wait(); }
  ClientHandle connect(std::string* why = nullptr) { return server_.connect(why); }

 private:
  static net_connection_info_t local_client() {
    net_connection_info_t info{};
    snprintf(info.client_address, sizeof(info.client_address), "127.0.0.1");
    return info;
  }
  net_connection_info_t info_ = local_client();
  OneConnectionServer server_;
};

// The procedures that only a peer outside this system calls have no client
// stub of their own: stub<rows::name> calls them the same way.
template <class Row>
constexpr auto stub = &::kyproc::client::Stub<Row>::call;
namespace rows = ::kyproc::rows;

// Through the client stubs over h: an ODBC 3 environment and a connection to
// the data source ("DSN=testdsn;" unless given), sent scrambled as the client
// driver sends it. *out receives the connection string the server returns
// (out_len bytes of it).
inline void connect_remote(RpcHandle* h, void** dbc, char (&out)[128], int32_t* out_len,
                           const std::string& dsn = "DSN=testdsn;") {
  void* env = nullptr;
  ASSERT_EQ(remote_sql_alloc_handle(h, 3, SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_set_env_attr(h, env, SQL_ATTR_ODBC_VERSION, SQL_OV_ODBC3), SQL_SUCCESS);
  ASSERT_EQ(remote_sql_alloc_handle(h, 3, SQL_HANDLE_DBC, env, dbc), SQL_SUCCESS);
  std::string wire = wire_connect_string(dsn, KY_SCRAMBLE_SCRAMBLE);
  *out_len = sizeof(out);
  ASSERT_TRUE(SQL_SUCCEEDED(remote_sql_driver_connect(h, *dbc, static_cast<int32_t>(wire.size() + 1), wire.c_str(),
                                                      out_len, out, sizeof(out), SQL_DRIVER_NOPROMPT)));
}

// The first column of every row of a query on a statement of its own, as
// text ("NULL" for a null); empty when the query fails.
inline std::vector<std::string> first_column_texts(RpcHandle* h, void* dbc, const std::string& sql) {
  std::vector<std::string> rows;
  void* s = nullptr;
  if (remote_sql_alloc_handle(h, 3, SQL_HANDLE_STMT, dbc, &s) != SQL_SUCCESS) return rows;
  if (remote_sql_exec_direct(h, s, static_cast<int32_t>(sql.size() + 1), sql.c_str()) == SQL_SUCCESS) {
    while (remote_sql_fetch(h, s) == SQL_SUCCESS) {
      char text[64] = {};
      int32_t len = sizeof text;
      SQLLEN ind = 0;
      remote_sql_get_data(h, s, 1, SQL_C_CHAR, &len, text, sizeof text, &ind);
      rows.emplace_back(ind == SQL_NULL_DATA ? "NULL" : text);
    }
  }
  remote_sql_free_handle(h, SQL_HANDLE_STMT, s);
  return rows;
}

}  // namespace kytest
