// Handle allocation, release, the handle table and link clean-up against the
// real Driver Manager and the SQLite ODBC driver.
#include <sys/socket.h>

#include <thread>
#include <vector>

#include "odbc_fixture.h"

namespace kytest {
namespace {

std::string tag(const void* rec) { return std::string(static_cast<const char*>(rec), 4); }

int count_dbcs(environment_t* env) {
  int n = 0;
  for (connection_t* c = env->first_dbc; c != nullptr; c = c->next) ++n;
  return n;
}

using Handles = RecordsTest;

TEST_F(Handles, AllocateAndFreeEveryType) {
  for (int32_t version : {3, 2}) {
    SCOPED_TRACE(version);
    Link link;
    environment_t* env = link.env(version);
    ASSERT_NE(env, nullptr);
    EXPECT_EQ(tag(env), "ENV ");
    EXPECT_EQ(env->odbc_version, version);
    connection_t* dbc = link.connected(env);
    ASSERT_NE(dbc, nullptr);
    EXPECT_EQ(dbc->env, env);
    EXPECT_EQ(dbc->default_param_size, 255u);
    EXPECT_EQ(env->first_dbc, dbc);

    statement_t* stmt = link.stmt(dbc, version);
    ASSERT_NE(stmt, nullptr);
    EXPECT_EQ(tag(stmt), "STMT");
    EXPECT_EQ(stmt->owner, dbc);
    EXPECT_EQ(dbc->first_stmt, stmt);
    // Four implicit descriptors, current at creation, listed ahead of older ones.
    descriptor_t* listed = dbc->first_desc;
    for (int slot = DESC_IRD; slot >= DESC_APD; --slot) {
      descriptor_t* d = stmt->implicit_desc[slot];
      ASSERT_NE(d, nullptr);
      EXPECT_EQ(tag(d), "SDES");
      EXPECT_EQ(d->owner, stmt);
      EXPECT_EQ(d->alloc_type, DESC_ALLOC_AUTO);
      EXPECT_EQ(d->array_size, 1u);
      EXPECT_EQ(stmt->current_desc[slot], d);
      EXPECT_EQ(listed, d);
      listed = listed->next;
    }

    // An implicit descriptor cannot be freed by the client.
    descriptor_t* ard = stmt->implicit_desc[DESC_ARD];
    EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_DESC, ard), SQL_ERROR);
    ASSERT_EQ(ard->diags.record_count, 1);
    EXPECT_STREQ(ard->diags.first->sqlstate, "HY017");
    EXPECT_EQ(veks_chk_handle(VEKS_DESC, ard), 0);

    // The SQLite driver has no explicit descriptors: the driver's refusal
    // comes back and nothing is made.
    void* out = nullptr;
    SQLRETURN rc = sql_alloc_handle(nullptr, version, SQL_HANDLE_DESC, dbc, &out);
    if (!SQL_SUCCEEDED(rc)) {
      EXPECT_EQ(out, nullptr);
    } else {
      EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_DESC, out), SQL_SUCCESS);
    }

    EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_STMT, stmt), SQL_SUCCESS);
    EXPECT_EQ(dbc->first_stmt, nullptr);
    EXPECT_EQ(dbc->first_desc, nullptr);
    EXPECT_NE(veks_chk_handle(VEKS_STMT, stmt), 0);
    EXPECT_NE(veks_chk_handle(VEKS_DESC, ard), 0);

    ASSERT_TRUE(SQL_SUCCEEDED(SQLDisconnect(dbc->driver_dbc)));
    EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
    EXPECT_EQ(env->first_dbc, nullptr);
    EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_ENV, env), SQL_SUCCESS);
    EXPECT_EQ(sql_free_handle(nullptr, 5, env), SQL_ERROR);
    void* none = nullptr;
    EXPECT_EQ(sql_alloc_handle(nullptr, 3, 5, nullptr, &none), SQL_ERROR);
  }
}

// Freed, foreign, wrong-kind and random values are refused without touching
// memory (AddressSanitizer would report any read), and the server goes on.
TEST_F(Handles, HandleTableRefusesBadValues) {
  Link other;
  environment_t* other_env = other.env();
  connection_t* other_dbc = other.connected(other_env);
  statement_t* other_stmt = other.stmt(other_dbc);

  Link link;
  environment_t* env = link.env();
  connection_t* dbc = link.connected(env);
  statement_t* stmt = link.stmt(dbc);
  statement_t* freed = link.stmt(dbc);
  ASSERT_EQ(sql_free_handle(nullptr, SQL_HANDLE_STMT, freed), SQL_SUCCESS);
  int on_stack = 0;

  const struct {
    const char* name;
    int16_t type;
    void* value;
  } bad[] = {
      {"freed statement", SQL_HANDLE_STMT, freed},
      {"another link's statement", SQL_HANDLE_STMT, other_stmt},
      {"another link's connection", SQL_HANDLE_DBC, other_dbc},
      {"another link's environment", SQL_HANDLE_ENV, other_env},
      {"connection as statement", SQL_HANDLE_STMT, dbc},
      {"statement as descriptor", SQL_HANDLE_DESC, stmt},
      {"environment as connection", SQL_HANDLE_DBC, env},
      {"random value", SQL_HANDLE_STMT, reinterpret_cast<void*>(0x5a5a5a5a5a5aull)},
      {"unmapped low address", SQL_HANDLE_DBC, reinterpret_cast<void*>(0x10)},
      {"stack address", SQL_HANDLE_ENV, &on_stack},
      {"inside a record", SQL_HANDLE_STMT, reinterpret_cast<char*>(stmt) + 8},
      {"null", SQL_HANDLE_STMT, nullptr},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.name);
    EXPECT_EQ(sql_free_handle(nullptr, b.type, b.value), SQL_INVALID_HANDLE);
    if (b.type == SQL_HANDLE_ENV || b.type == SQL_HANDLE_DBC) {
      void* out = reinterpret_cast<void*>(1);
      EXPECT_EQ(sql_alloc_handle(nullptr, 3, static_cast<int16_t>(b.type + 1), b.value, &out), SQL_INVALID_HANDLE);
      EXPECT_EQ(out, nullptr);
    }
  }
  // Kinds outside the table.
  EXPECT_EQ(veks_chk_handle(5, stmt), 2);
  EXPECT_EQ(veks_chk_handle(6, stmt), 2);
  EXPECT_EQ(veks_chk_handle(VEKS_STMT, stmt), 0);
  EXPECT_EQ(veks_chk_handle(VEKS_DBC, nullptr), 1);
  // A thread serving no link has no valid handles.
  std::thread([&] { EXPECT_EQ(veks_chk_handle(VEKS_STMT, stmt), 1); }).join();

  // The link still works after all that.
  statement_t* more = link.stmt(dbc);
  ASSERT_NE(more, nullptr);
  exec(more->driver_stmt, "SELECT 1");
  link.end();
  other.bind();
}

// A failing statement's driver records are copied into the server record.
TEST_F(Handles, LoadsDriverDiagnostics) {
  Link link;
  environment_t* env = link.env();
  connection_t* dbc = link.connected(env);
  statement_t* stmt = link.stmt(dbc);
  SQLRETURN rc = SQLExecDirect(stmt->driver_stmt, (SQLCHAR*)"SELECT * FROM \"no_such_100%_table\"", SQL_NTS);
  ASSERT_EQ(rc, SQL_ERROR);
  load_sql_diags(VEKS_STMT, stmt, SQL_HANDLE_STMT, stmt->driver_stmt);
  ASSERT_GE(stmt->diags.record_count, 1);
  const error_record* r = diag_record(&stmt->diags, 1);
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->sqlstate, nullptr);
  EXPECT_EQ(std::string(r->sqlstate).size(), 5u);
  EXPECT_TRUE(std::string(r->class_origin) == "ISO 9075" || std::string(r->class_origin) == "ODBC 3.0");
  EXPECT_STREQ(r->server_name, "");
  ASSERT_NE(r->message_text, nullptr);
  std::string msg = r->message_text;
  // The Driver Manager gives no connection name: the record carries the plain vendor text.
  EXPECT_EQ(msg.rfind("[Kyronde ODBC][", 0), 0u) << msg;
  // The driver's text is stored literally, "%" and all.
  EXPECT_NE(msg.find("no_such_100%_table"), std::string::npos) << msg;

  // A driver handle without records posts nothing; an unknown server kind neither.
  statement_t* clean = link.stmt(dbc);
  load_sql_diags(VEKS_STMT, clean, SQL_HANDLE_STMT, clean->driver_stmt);
  EXPECT_EQ(clean->diags.record_count, 0);
  load_sql_diags(9, clean, SQL_HANDLE_STMT, clean->driver_stmt);
}

// A link that goes away with an open transaction: the clean-up rolls it back.
TEST_F(Handles, DroppedLinkRollsBackOpenTransaction) {
  {
    Link setup;
    connection_t* dbc = setup.connected(setup.env());
    statement_t* stmt = setup.stmt(dbc);
    exec(stmt->driver_stmt, "CREATE TABLE IF NOT EXISTS pending (a INTEGER)");
    exec(stmt->driver_stmt, "DELETE FROM pending");
  }
  Link link;
  connection_t* dbc = link.connected(link.env());
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLSetConnectAttr(dbc->driver_dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
  statement_t* stmt = link.stmt(dbc);
  exec(stmt->driver_stmt, "INSERT INTO pending VALUES (42)");
  // The driver refuses a plain disconnect with a transaction open.
  link.end();

  Link check;
  connection_t* c = check.connected(check.env());
  statement_t* s = check.stmt(c);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s->driver_stmt, (SQLCHAR*)"SELECT COUNT(*) FROM pending", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s->driver_stmt)));
  SQLINTEGER n = -1;
  SQLGetData(s->driver_stmt, 1, SQL_C_LONG, &n, 0, nullptr);
  EXPECT_EQ(n, 0);
}

// Two environments on one link are both cleaned up (with their connections).
TEST_F(Handles, LinkCleanupFreesEveryEnvironment) {
  Link link;
  environment_t* a = link.env(3);
  environment_t* b = link.env(2);
  link.connected(a);
  link.stmt(link.connected(b), 2);
  link.dbc(b, 2);
  EXPECT_EQ(count_dbcs(b), 2);
  link.end();  // LeakSanitizer checks that nothing stays behind
}

TEST_F(Handles, PooledEnvironmentsAreSharedAndCleanedPerLink) {
  OdbcDir::get().set_flags(VEKS_FLAG_CONNECTION_POOLING);
  Link first;
  environment_t* env = first.env();
  ASSERT_NE(env, nullptr);
  EXPECT_TRUE(env->pooled);
  connection_t* mine = first.connected(env);

  Link second;
  void* out = nullptr;
  ASSERT_EQ(sql_alloc_handle(nullptr, 3, SQL_HANDLE_ENV, nullptr, &out), SQL_SUCCESS);
  EXPECT_EQ(out, env);
  connection_t* theirs = second.connected(env);
  EXPECT_EQ(count_dbcs(env), 2);
  // Freeing keeps the shared record; the next allocation hands it out again.
  EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_ENV, env), SQL_SUCCESS);
  EXPECT_EQ(veks_chk_handle(VEKS_ENV, env), 0);

  // The first link's clean-up frees its own connection only.
  first.end();
  second.bind();
  EXPECT_EQ(count_dbcs(env), 1);
  EXPECT_EQ(env->first_dbc, theirs);
  EXPECT_EQ(veks_chk_handle(VEKS_DBC, theirs), 0);
  (void)mine;
  second.end();
  EXPECT_EQ(count_dbcs(env), 0);
  EXPECT_EQ(tag(env), "ENV ");  // the pooled environment lives on

  // Pooling switched off later does not free a pooled record.
  OdbcDir::get().set_flags(0);
  Link third;
  environment_t* own = third.env();
  EXPECT_NE(own, env);
  EXPECT_FALSE(own->pooled);
}

TEST_F(Handles, PooledAllocationFromManyThreads) {
  OdbcDir::get().set_flags(VEKS_FLAG_CONNECTION_POOLING);
  std::vector<std::thread> threads;
  std::vector<void*> envs(6, nullptr);
  for (size_t i = 0; i < envs.size(); ++i) {
    threads.emplace_back([&, i] {
      Link link;
      environment_t* env = link.env(2);
      envs[i] = env;
      for (int k = 0; k < 5; ++k) link.stmt(link.connected(env), 2);
    });
  }
  for (auto& t : threads) t.join();
  for (void* e : envs) EXPECT_EQ(e, envs[0]);
  EXPECT_EQ(static_cast<environment_t*>(envs[0])->first_dbc, nullptr);
}

}  // namespace
}  // namespace kytest

namespace kytest {
namespace {

// Over a real RPC handle: the first environment gives the link a registry,
// recorded in its per-connection record, and ending the link (RPCTerminate)
// frees what the client left, with the registry itself.
TEST_F(Handles, RpcLinkTerminateCleansUp) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  RpcHandle* rpc = RPCAllocHandle();
  ASSERT_NE(rpc, nullptr);
  net_connection_info_t info{};
  ASSERT_EQ(RPCRegisterPrivatePtr(rpc, &info, 0), 0);
  ASSERT_EQ(RPCInitialise(rpc, 0, fds[0]), 0);

  void* env = nullptr;
  ASSERT_TRUE(SQL_SUCCEEDED(sql_alloc_handle(rpc, 2, SQL_HANDLE_ENV, nullptr, &env)));
  ASSERT_NE(info.handles, nullptr);
  EXPECT_EQ(veks_registry_current(), info.handles);
  void* dbc = nullptr;
  ASSERT_TRUE(SQL_SUCCEEDED(sql_alloc_handle(rpc, 2, SQL_HANDLE_DBC, env, &dbc)));
  EXPECT_EQ(static_cast<connection_t*>(dbc)->rpc, rpc);
  EXPECT_EQ(veks_registry_for_link(rpc), info.handles);  // one registry per link

  EXPECT_EQ(RPCTerminate(rpc), 0);
  EXPECT_EQ(veks_registry_current(), nullptr);
  EXPECT_NE(veks_chk_handle(VEKS_DBC, dbc), 0);
  RPCRegisterPrivatePtr(rpc, nullptr, 0);
  EXPECT_EQ(RPCFreeHandle(rpc), 0);
  close(fds[1]);
}

}  // namespace
}  // namespace kytest
