// The core road over a real RPC link on 127.0.0.1: a served connection as the
// worker sets it up (per-connection record, exported procedure table,
// RPCRun), and a client calling through the client stubs: environment,
// connect, execute a SELECT, fetch its rows, read a diagnostic; then the link
// drops and its clean-up frees what the client left.
#include <cstring>

#include "served_link.h"

namespace kytest {
namespace {

using Loopback = HandlersTest;

TEST_F(Loopback, CoreRoadThroughClientStubs) {
  ServedLink server;
  std::string why;
  ClientHandle client = server.connect(&why);
  ASSERT_NE(client, nullptr) << why;
  RpcHandle* h = client.get();

  void* dbc = nullptr;
  char out[128];
  int32_t out_len = 0;
  ASSERT_NO_FATAL_FAILURE(connect_remote(h, &dbc, out, &out_len));
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
  ASSERT_EQ(remote_sql_get_diag_rec(h, SQL_HANDLE_STMT, stmt, 1, state, &native, &msg_len, msg, sizeof(msg), &text_len),
            SQL_SUCCESS);
  EXPECT_EQ(strlen(state), 5u);
  EXPECT_NE(std::string(msg).find("no_such_table"), std::string::npos) << msg;
  int32_t count = 0;
  EXPECT_EQ(remote_sql_get_diag_field_integer(h, SQL_HANDLE_STMT, stmt, 0, SQL_DIAG_NUMBER, &count), SQL_SUCCESS);
  EXPECT_GE(count, 1);
  // A handle this link never held.
  EXPECT_EQ(remote_sql_fetch(h, reinterpret_cast<void*>(0x1234)), SQL_INVALID_HANDLE);

  // The client goes away without freeing anything: the server cleans up.
  client.reset();
  server.wait();
}

}  // namespace
}  // namespace kytest
