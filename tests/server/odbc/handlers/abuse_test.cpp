// Abusive arguments from a peer: each is refused (or kept inside the buffers
// the server really has) and the server goes on. AddressSanitizer reports any
// read or write outside a buffer.
#include <cstring>
#include <memory>
#include <new>

#include "handler_fixture.h"
#include "server_stub.h"

namespace kytest {
namespace {

using Abuse = HandlersTest;

// An out buffer of exactly n bytes, as the RPC library hands it to a handler.
struct Out {
  explicit Out(int32_t n) : bytes(new char[n > 0 ? n : 1]()), cap(n) {}
  std::unique_ptr<char[]> bytes;
  int32_t cap;
};

int16_t fetch_without_memory(void*) { throw std::bad_alloc(); }

// A handler that runs out of memory: its stub answers SQL_ERROR, and the
// statement the call names holds HY001 for the client to read.
TEST_F(Abuse, OutOfMemoryInAHandlerIsPostedOnItsRecord) {
  RpcLink link;
  link.env();
  void* dbc = link.connected();
  void* stmt = link.stmt(dbc);
  link.bind();
  using Row = kyproc::rows::sql_fetch;
  ArgumentDescriptor args[RPC_MAX_ARGS] = KY_ROW_ARGS(Row);
  args[0].value.ptr = stmt;
  kyproc::server::serve<Row>(args, &fetch_without_memory, nullptr, &post_stub_failure);
  EXPECT_EQ(args[1].value.i64, SQL_ERROR);
  std::string message;
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt, 1, nullptr, &message), "HY001");
  EXPECT_NE(message.find("Memory allocation error"), std::string::npos) << message;

  // A handle the link never issued gets no record, and the server goes on.
  args[0].value.ptr = reinterpret_cast<void*>(0x10);
  kyproc::server::serve<Row>(args, &fetch_without_memory, nullptr, &post_stub_failure);
  EXPECT_EQ(args[1].value.i64, SQL_ERROR);
}

TEST_F(Abuse, ArgumentsAreRefusedOrBounded) {
  RpcLink link;
  void* env = link.env();
  void* dbc = link.connected();
  void* stmt = link.stmt(dbc);
  ASSERT_EQ(exec_direct(stmt, "DROP TABLE IF EXISTS abuse"), SQL_SUCCESS);
  ASSERT_EQ(exec_direct(stmt, "CREATE TABLE abuse (t TEXT, ts TIMESTAMP)"), SQL_SUCCESS);
  ASSERT_EQ(exec_direct(stmt, "INSERT INTO abuse VALUES ('a long enough text value', '2024-01-02 03:04:05')"),
            SQL_SUCCESS);

  // Environment attributes that would reach the process itself.
  EXPECT_EQ(sql_set_env_attr(env, 65003, 0x1234), SQL_ERROR);
  EXPECT_EQ(sql_set_env_attr(env, 12345, 1), SQL_ERROR);
  // Connection attributes: trace files, translation libraries, pointers.
  EXPECT_EQ(sql_set_connect_attr_long(dbc, SQL_ATTR_TRACEFILE, 0x1000, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(sql_set_connect_attr_long(dbc, SQL_ATTR_TRANSLATE_LIB, 0x1000, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(sql_set_connect_attr_ptr(dbc, SQL_ATTR_CURRENT_CATALOG, reinterpret_cast<void*>(0x10), SQL_NTS), SQL_ERROR);
  EXPECT_EQ(sql_set_connect_option_integer(dbc, SQL_ATTR_TRACEFILE, 0x1000), SQL_ERROR);
  EXPECT_EQ(sql_set_connect_option_integer(dbc, SQL_ATTR_QUIET_MODE, 0x1000), SQL_ERROR);
  EXPECT_EQ(sql_set_connect_option_integer(dbc, SQL_AUTOCOMMIT, SQL_AUTOCOMMIT_ON), SQL_SUCCESS);
  char lib[] = "/tmp/evil.so";
  EXPECT_EQ(sql_set_connect_attr_strbin(dbc, SQL_ATTR_TRANSLATE_LIB, sizeof(lib), lib, SQL_NTS), SQL_ERROR);
  char catalog[4] = {'m', 'a', 'i', 'n'};  // no NUL inside
  EXPECT_EQ(sql_set_connect_attr_strbin(dbc, SQL_ATTR_CURRENT_CATALOG, 4, catalog, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(sql_set_connect_attr_strbin(dbc, SQL_ATTR_CURRENT_CATALOG, 4, catalog, 400), SQL_ERROR);
  EXPECT_EQ(sql_set_stmt_attr_strbin(stmt, SQL_ATTR_ROW_STATUS_PTR, 4, catalog, 4), SQL_ERROR);

  // Lengths beside blocks.
  char text[6] = {'S', 'E', 'L', 'E', 'C', 'T'};
  EXPECT_EQ(sql_prepare(stmt, 6, text, 1000), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt, 1), "HY090");
  EXPECT_EQ(sql_prepare(stmt, 6, text, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(sql_prepare(stmt, 6, text, -7), SQL_ERROR);
  EXPECT_EQ(sql_prepare(stmt, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt, 1), "HY009");
  EXPECT_EQ(sql_put_data(stmt, 6, text, 1 << 20), SQL_ERROR);
  EXPECT_EQ(sql_put_data(stmt, 6, text, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(sql_exec_direct(stmt, 0, nullptr), SQL_ERROR);

  // Out buffers smaller than the lengths the peer names.
  ASSERT_EQ(exec_direct(stmt, "SELECT t, ts FROM abuse"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt), SQL_SUCCESS);
  {
    Out out(4);
    SQLLEN ind = 0;
    EXPECT_EQ(sql_get_data(stmt, 1, SQL_C_CHAR, &out.cap, out.bytes.get(), SQLULEN{1} << 40, &ind),
              SQL_SUCCESS_WITH_INFO);
    EXPECT_EQ(out.cap, 4);
  }
  {
    Out out(2);  // a timestamp needs 16 bytes
    SQLLEN ind = 0;
    EXPECT_EQ(sql_get_data(stmt, 2, SQL_C_TIMESTAMP, &out.cap, out.bytes.get(), 2, &ind), SQL_ERROR);
    EXPECT_EQ(out.cap, 0);
    EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt, 1), "HY090");
    Out room(16);
    // The buffer length of a fixed-size type is ignored, as in ODBC.
    EXPECT_EQ(sql_get_data(stmt, 2, SQL_C_TIMESTAMP, &room.cap, room.bytes.get(), 0, &ind), SQL_SUCCESS);
    EXPECT_EQ(room.cap, 16);
    EXPECT_EQ(reinterpret_cast<SQL_TIMESTAMP_STRUCT*>(room.bytes.get())->year, 2024);
  }
  {
    Out out(8);
    SQLLEN ind = 0;
    EXPECT_NE(sql_get_data(stmt, -5, SQL_C_CHAR, &out.cap, out.bytes.get(), 8, &ind), SQL_SUCCESS);
    EXPECT_NE(sql_get_data(stmt, 300, SQL_ARD_TYPE, &out.cap, out.bytes.get(), 8, &ind), SQL_SUCCESS);
    EXPECT_NE(sql_get_data(stmt, 1, 12345, &out.cap, out.bytes.get(), 8, &ind), SQL_SUCCESS);
  }
  sql_free_stmt(stmt, SQL_CLOSE);
  {
    Out out(3);
    int16_t len = 0;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_get_info_string(dbc, SQL_DRIVER_NAME, &out.cap, out.bytes.get(), 30000, &len)));
    EXPECT_LE(out.cap, 3);
    Out two(2);
    EXPECT_EQ(sql_get_info_string(dbc, SQL_MAX_CONCURRENT_ACTIVITIES, &two.cap, two.bytes.get(), 2, &len), SQL_SUCCESS);
    int32_t value = 0;
    EXPECT_EQ(sql_get_info_integer(dbc, SQL_DRIVER_NAME, &value, 4, &len), SQL_SUCCESS);  // a text type
    int16_t small = 0;
    EXPECT_EQ(sql_get_info_smallint(dbc, SQL_DRIVER_NAME, &small, 2, &len), SQL_SUCCESS);
    Out fns(200);
    EXPECT_EQ(sql_get_functions_all(dbc, SQL_API_ODBC3_ALL_FUNCTIONS, reinterpret_cast<int16_t*>(fns.bytes.get())),
              SQL_SUCCESS);
    Out name(2);
    EXPECT_TRUE(SQL_SUCCEEDED(
        sql_get_connect_attr_string(dbc, SQL_ATTR_CURRENT_CATALOG, &name.cap, name.bytes.get(), 5000, nullptr)));
    EXPECT_LE(name.cap, 2);
    Out cursor(3);
    int16_t cursor_len = 0;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_get_cursor_name(stmt, &cursor.cap, cursor.bytes.get(), 30000, &cursor_len)));
    EXPECT_LE(cursor.cap, 3);
    Out diag(4);
    char state[6];
    int32_t native = 0;
    int16_t text_len = 0;
    sql_get_diag_rec(SQL_HANDLE_STMT, stmt, 1, state, &native, &diag.cap, diag.bytes.get(), 30000, &text_len);
    EXPECT_LE(diag.cap, 4);
  }

  // Handles that are not this link's.
  int bogus = 0;
  EXPECT_EQ(sql_fetch(&bogus), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_fetch(dbc), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_disconnect(stmt), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_get_diag_rec(9, stmt, 1, nullptr, nullptr, nullptr, nullptr, 0, nullptr), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_error(nullptr, nullptr, &bogus, nullptr, nullptr, nullptr, nullptr, nullptr, 0, nullptr),
            SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_set_stmt_attr_handle(stmt, SQL_ATTR_APP_ROW_DESC, &bogus, 0), SQL_ERROR);
  EXPECT_EQ(sql_setpos(stmt, 1, 9, 0), SQL_ERROR);
  EXPECT_EQ(sql_bulk_operations(stmt, 99), SQL_ERROR);

  // The link still works.
  ASSERT_EQ(exec_direct(stmt, "SELECT COUNT(*) FROM abuse"), SQL_SUCCESS);
  EXPECT_EQ(sql_fetch(stmt), SQL_SUCCESS);
}

}  // namespace
}  // namespace kytest
