// Environment and connection handlers: connecting with both scrambling
// variants, refused connection strings, DSN access rules, data sources,
// transactions, disconnect and the bridge's own parameters.
#include <filesystem>
#include <memory>

#include "handler_fixture.h"

#include "dsn_access.h"
#include "stats.h"

namespace kytest {
namespace {

using Connect = HandlersTest;

TEST_F(Connect, BothScramblingVariants) {
  for (bool faze2 : {false, true}) {
    SCOPED_TRACE(faze2);
    RpcLink link;
    auto* dbc = static_cast<connection_t*>(link.dbc(link.env()));
    std::string back;
    ASSERT_EQ(link.connect(dbc, "DSN=TestDsn;", faze2, &back), SQL_SUCCESS);
    EXPECT_TRUE(dbc->connected);
    // The completed string never travels back: only 'x', at most the buffer.
    ASSERT_FALSE(back.empty());
    EXPECT_LE(back.size(), 200u);
    EXPECT_EQ(back.find_first_not_of('x'), std::string::npos) << back;
    EXPECT_STREQ(dbc->dsn, "TestDsn");         // records' server name
    EXPECT_STREQ(link.info().dsn, "testdsn");  // access rules: lower case
    EXPECT_NE(std::string(dbc->driver_name).find("sqlite3odbc"), std::string::npos) << dbc->driver_name;
    EXPECT_EQ(sql_disconnect(dbc), SQL_SUCCESS);
    EXPECT_FALSE(dbc->connected);
    EXPECT_STREQ(dbc->dsn, "");
  }
}

// A client names one of the server's data sources, a user and a password,
// and the client driver's own options: nothing that names a file, a library
// or a Driver Manager setting, no second or disguised DSN; target options
// not listed in TargetKeywords are left out. Keywords are matched exactly,
// never as substrings.
TEST_F(Connect, ConnectionStringKeywords) {
  RpcLink link;
  auto* dbc = static_cast<connection_t*>(link.dbc(link.env()));
  const std::string dir = OdbcDir::get().path();
  enum Outcome { kRefused, kLeftOut, kAccepted };
  struct Case {
    std::string text;
    Outcome outcome;
    const char* keyword;  // named in the refusal, or in the warning of what was left out
  } cases[] = {
      {"DRIVER=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so;Database=x", kRefused, "DRIVER"},
      {"DRIVER={SQLite3};Database=" + dir + "/dsnless.db", kRefused, "DRIVER"},
      {"Driver = {/tmp/evil.so};DSN=testdsn", kRefused, "DRIVER "},
      {"FILEDSN=a.dsn;DRIVER=SQLite3", kRefused, "FILEDSN"},
      {"DSN=testdsn;SAVEFILE=/tmp/out.dsn", kRefused, "SAVEFILE"},
      {"DSN=testdsn;LoadExt=/tmp/any.so", kRefused, "LOADEXT"},
      {"DSN=testdsn;TraceFile=" + dir + "/client.trace", kRefused, "TRACEFILE"},
      {"DSN=testdsn;Trace=Yes", kRefused, "TRACE"},
      {"DSN=testdsn;DMConnAttr=[105]=" + dir + "/dm.trace", kRefused, "DMCONNATTR"},
      {"DSN=testdsn;DMStmtAttr=[0]=\\x01", kRefused, "DMSTMTATTR"},
      {"Database=" + dir + "/dsnless.db", kRefused, "DSN"},
      {" DSN=testdsn", kRefused, "DSN"},
      {"DSN=no_such_dsn;DSN=testdsn", kRefused, "DSN"},
      {"DSN=testdsn;dsn=testdsn", kRefused, "DSN"},
      {"UID=u;PWD=p", kRefused, "DSN"},
      {"DSN=", kRefused, "DSN"},
      {"DSN=testdsn;PWD={x;Database=" + dir + "/other.db}", kRefused, "PWD"},
      {"DSN=testdsn;Timeout=1;TIMEOUT=2", kRefused, "TIMEOUT"},
      // Target options the setting TargetKeywords does not list (here it is
      // empty) are left out with a warning; the connection goes on.
      {"DSN=testdsn;Database=" + dir + "/other.db", kLeftOut, "DATABASE"},
      {"DSN=testdsn;Timeout=1", kLeftOut, "TIMEOUT"},
      {"XDSN=x;DSN=testdsn", kLeftOut, "XDSN"},
      {"DSN=testdsn;junk;Database=" + dir + "/other.db", kLeftOut, "JUNK;DATABASE"},
      {"DSN=testdsn;UID=u;PWD=a-loadext-password", kAccepted, nullptr},
      {"DSN=TestDsn;PWD={a;b}}c}", kAccepted, nullptr},
      {"dsn=testdsn;DECASNUMERIC=1;DEFAULTPARAMSIZE=9;IGNORESTMTATTRS=10014", kAccepted, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    int16_t rc = link.connect(dbc, c.text);
    if (c.outcome != kRefused) {
      EXPECT_EQ(rc, c.outcome == kLeftOut ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS);
      if (c.outcome == kLeftOut) {
        std::string msg;
        EXPECT_EQ(diag_state(SQL_HANDLE_DBC, dbc, 1, nullptr, &msg), "01S00");
        EXPECT_NE(msg.find(std::string("not passed on to the target driver: ") + c.keyword + " ("),
                  std::string::npos)
            << msg;
        EXPECT_NE(msg.find("TargetKeywords"), std::string::npos) << msg;
      }
      EXPECT_STREQ(link.info().dsn, "testdsn");
      EXPECT_EQ(sql_disconnect(dbc), SQL_SUCCESS);
      continue;
    }
    EXPECT_EQ(rc, SQL_ERROR);
    int32_t native = 0;
    std::string msg;
    EXPECT_EQ(diag_state(SQL_HANDLE_DBC, dbc, 1, &native, &msg), "HY000");
    EXPECT_EQ(native, 6);
    EXPECT_NE(msg.find(std::string("Keyword ") + c.keyword + " is not accepted"), std::string::npos) << msg;
    EXPECT_FALSE(dbc->connected);
  }
  // Nothing a refused string named was created.
  for (const char* file : {"dsnless.db", "other.db", "other.db}", "client.trace", "dm.trace"})
    EXPECT_FALSE(std::filesystem::exists(dir + "/" + file)) << file;
  // A name the Driver Manager does not list is not connected (it would fall
  // back to a default data source the access rules never saw).
  EXPECT_EQ(link.connect(dbc, "DSN=no_such_dsn"), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_DBC, dbc, 1), "IM002");
  EXPECT_FALSE(dbc->connected);
  EXPECT_TRUE(SQL_SUCCEEDED(link.connect(dbc, "DSN=testdsn")));
}

TEST_F(Connect, DsnAccessRules) {
  veks_rebuild_dsn_rules("TestDsn,10.0.0.0/255.0.0.0,10.9.9.9,thisdsnnameismuchtoolongtobeacceptedok,1.2.3.4,");
  struct Case {
    const char* address;
    const char* user;
    bool allowed;
  } cases[] = {{"10.1.2.3", "", true}, {"10.9.9.9", "", false}, {"127.0.0.1", "", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    RpcLink link;
    snprintf(link.info().client_address, sizeof(link.info().client_address), "%s", c.address);
    auto* dbc = static_cast<connection_t*>(link.dbc(link.env()));
    int16_t rc = link.connect(dbc, "DSN=testdsn");
    if (c.allowed) {
      EXPECT_TRUE(SQL_SUCCEEDED(rc));
    } else {
      EXPECT_EQ(rc, SQL_ERROR);
      std::string msg;
      EXPECT_EQ(diag_state(SQL_HANDLE_DBC, dbc, 1, nullptr, &msg), "HY000");
      EXPECT_NE(msg.find("denied access to DSN testdsn"), std::string::npos) << msg;
    }
  }
  // The rule sees exactly the data source connected, however it is written.
  RpcLink link;
  auto* dbc = static_cast<connection_t*>(link.dbc(link.env()));
  for (const char* text : {"DSN=TESTDSN", "UID=u;DSN=testdsn;PWD=p", "XDSN=x;DSN=testdsn", "XDSN=testdsn;DSN=other",
                           "DSN=x;DSN=testdsn", "DSN=testdsn;DSN=x"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(link.connect(dbc, text), SQL_ERROR);
    EXPECT_FALSE(dbc->connected);
  }
  EXPECT_EQ(check_dsn_access(nullptr, "other", nullptr, "127.0.0.1"), 0);
  veks_rebuild_dsn_rules("");
  EXPECT_EQ(check_dsn_access(nullptr, "testdsn", nullptr, "10.9.9.9"), 0);
}

// A user in a deny list is refused from any address; a group with an
// over-long name is dropped and the next group still read; the statistics
// count ten names, a name longer than its entry always in the same entry.
TEST_F(Connect, RegisterDsnRulesByUserAndCounts) {
  const std::string long_dsn = "a_data_source_name_of_forty_characters__";
  veks_rebuild_dsn_rules(
      ("thisdsnnameismuchtoolongtobeacceptedok,1.2.3.4,5.6.7.8,"
       "Sales,10.0.0.0/255.0.0.0,bob"));
  auto stats = std::make_unique<server_stats_t>();
  net_connection_info_t info{};
  info.stats = stats.get();
  auto reg = [&](const std::string& dsn, const char* user, const char* address, std::string* message) {
    snprintf(info.dsn, sizeof info.dsn, "%s", dsn.c_str());
    snprintf(info.user_name, sizeof info.user_name, "%s", user);
    snprintf(info.client_address, sizeof info.client_address, "%s", address);
    char text[256] = "";
    int rc = register_dsn(&info, text, sizeof text);
    if (message != nullptr) *message = text;
    return rc;
  };
  std::string message;
  EXPECT_EQ(reg("sales", "bob", "10.1.2.3", &message), -1);
  EXPECT_EQ(message, "Client (10.1.2.3,bob) denied access to DSN sales due to access control rule\n");
  EXPECT_EQ(reg("SALES", "", "127.0.0.1", &message), -1);
  EXPECT_EQ(message, "Client (127.0.0.1,unknown user) denied access to DSN SALES due to access control rule\n");
  EXPECT_EQ(reg("thisdsnnameismuchtoolongtobeacceptedok", "", "9.9.9.9", nullptr), 0);
  *stats = server_stats_t{};
  EXPECT_EQ(reg("Sales", "alice", "10.1.2.3", nullptr), 0);
  EXPECT_EQ(reg(long_dsn, "", "9.9.9.9", nullptr), 0);
  EXPECT_EQ(reg(long_dsn, "", "9.9.9.9", nullptr), 0);
  for (int i = 1; i <= 9; ++i) EXPECT_EQ(reg("dsn" + std::to_string(i), "", "9.9.9.9", nullptr), 0);
  EXPECT_STREQ(stats->dsns[0].name, "Sales");
  EXPECT_EQ(stats->dsns[1].name, long_dsn.substr(0, 31));
  EXPECT_EQ(stats->dsns[1].connections, 2u);
  EXPECT_STREQ(stats->dsns[9].name, "dsn8");
  EXPECT_EQ(stats->dsns[9].connections, 1u);
  veks_rebuild_dsn_rules("");
}

TEST_F(Connect, DataSources) {
  RpcLink link;
  void* env = link.env();
  char name[64], desc[64];
  int16_t name_len = 0, desc_len = 0;
  int32_t name_block = sizeof(name), desc_block = sizeof(desc);
  ASSERT_EQ(sql_data_sources(env, SQL_FETCH_FIRST_SYSTEM, &name_len, &name_block, name, &desc_len, &desc_block, desc),
            SQL_SUCCESS);
  EXPECT_EQ(std::string(name, name_block - 1), "testdsn");
  EXPECT_EQ(name_len, 7);
  name_block = sizeof(name);
  desc_block = sizeof(desc);
  EXPECT_EQ(sql_data_sources(env, SQL_FETCH_NEXT, &name_len, &name_block, name, &desc_len, &desc_block, desc),
            SQL_NO_DATA);
  name_block = sizeof(name);
  EXPECT_EQ(sql_data_sources(env, 3, &name_len, &name_block, name, &desc_len, &desc_block, desc), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_ENV, env, 1), "HY103");
  OdbcDir::get().set_flags(0);
  EXPECT_EQ(sql_data_sources(env, SQL_FETCH_FIRST, &name_len, &name_block, name, &desc_len, &desc_block, desc),
            SQL_ERROR);
  int32_t native = 0;
  // Earlier records stay: environment handlers do not clear the list.
  EXPECT_EQ(diag_state(SQL_HANDLE_ENV, env, 2, &native), "HY000");
  EXPECT_EQ(native, 46);
}

// A statement that ran (a DELETE of no rows answers SQL_NO_DATA).
bool done(int16_t rc) { return rc == SQL_SUCCESS || rc == SQL_NO_DATA; }

int count_rows(void* stmt, const char* table) {
  if (exec_direct(stmt, std::string("SELECT COUNT(*) FROM ") + table) != SQL_SUCCESS) return -1;
  EXPECT_EQ(sql_fetch(stmt), SQL_SUCCESS);
  int32_t n = -1;
  int32_t block = sizeof(n);
  SQLLEN ind = 0;
  sql_get_data(stmt, 1, SQL_C_LONG, &block, reinterpret_cast<char*>(&n), sizeof(n), &ind);
  sql_free_stmt(stmt, SQL_CLOSE);
  return n;
}

TEST_F(Connect, CommitAndRollback) {
  RpcLink link;
  void* env = link.env();
  void* writer = link.dbc(env);
  ASSERT_TRUE(SQL_SUCCEEDED(link.connect(writer, "DSN=testdsn")));
  void* w = link.stmt(writer);
  ASSERT_EQ(exec_direct(w, "CREATE TABLE IF NOT EXISTS tx (a INTEGER)"), SQL_SUCCESS);
  ASSERT_TRUE(done(exec_direct(w, "DELETE FROM tx")));
  ASSERT_EQ(sql_set_connect_attr_long(writer, SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF, 0), SQL_SUCCESS);

  RpcLink other;
  void* reader = other.connected();
  void* r = other.stmt(reader);
  link.bind();
  ASSERT_EQ(exec_direct(w, "INSERT INTO tx VALUES (1)"), SQL_SUCCESS);
  EXPECT_EQ(sql_end_tran(SQL_HANDLE_DBC, writer, SQL_ROLLBACK), SQL_SUCCESS);
  other.bind();
  EXPECT_EQ(count_rows(r, "tx"), 0);
  link.bind();
  ASSERT_EQ(exec_direct(w, "INSERT INTO tx VALUES (2)"), SQL_SUCCESS);
  EXPECT_EQ(sql_end_tran(SQL_HANDLE_ENV, env, SQL_COMMIT), SQL_SUCCESS);
  other.bind();
  EXPECT_EQ(count_rows(r, "tx"), 1);
  link.bind();
  EXPECT_EQ(sql_end_tran(SQL_HANDLE_STMT, w, SQL_COMMIT), SQL_ERROR);
  EXPECT_EQ(sql_end_tran(SQL_HANDLE_DBC, w, SQL_COMMIT), SQL_INVALID_HANDLE);
}

TEST_F(Connect, PooledEnvironmentEndsOnlyOwnTransactions) {
  OdbcDir::get().set_flags(0x8000 | VEKS_FLAG_CONNECTION_POOLING);
  RpcLink a;
  void* env = a.env();
  void* da = a.dbc(env);
  ASSERT_TRUE(SQL_SUCCEEDED(a.connect(da, "DSN=testdsn")));
  void* sa = a.stmt(da);
  ASSERT_EQ(exec_direct(sa, "CREATE TABLE IF NOT EXISTS pooled (who TEXT)"), SQL_SUCCESS);
  ASSERT_TRUE(done(exec_direct(sa, "DELETE FROM pooled")));

  RpcLink b;
  EXPECT_EQ(b.env(), env);  // the shared environment
  void* db = b.dbc(env);
  ASSERT_TRUE(SQL_SUCCEEDED(b.connect(db, "DSN=testdsn")));
  ASSERT_EQ(sql_set_connect_attr_long(db, SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_OFF, 0), SQL_SUCCESS);
  void* sb = b.stmt(db);
  ASSERT_EQ(exec_direct(sb, "INSERT INTO pooled VALUES ('b')"), SQL_SUCCESS);
  // Link a commits at environment level: b's open transaction is not touched.
  a.bind();
  EXPECT_EQ(sql_end_tran(SQL_HANDLE_ENV, env, SQL_COMMIT), SQL_SUCCESS);
  b.bind();
  EXPECT_EQ(sql_end_tran(SQL_HANDLE_DBC, db, SQL_ROLLBACK), SQL_SUCCESS);
  a.bind();
  EXPECT_EQ(count_rows(sa, "pooled"), 0);
  b.end();
  a.end();
}

TEST_F(Connect, ConfigParamsAndConnect) {
  RpcLink link;
  auto* dbc = static_cast<connection_t*>(link.dbc(link.env()));
  EXPECT_EQ(set_config_param(dbc, 1, 50, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(set_config_param(dbc, 2, 8, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(set_config_param(dbc, 4, 4000, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(dbc->block_fetch_size, 50u);
  EXPECT_EQ(dbc->max_bookmark_size, 8u);
  EXPECT_EQ(dbc->default_param_size, 4000u);
  EXPECT_EQ(set_config_param(dbc, 3, 1, 0, nullptr), SQL_ERROR);
  int32_t native = 0;
  EXPECT_EQ(diag_state(SQL_HANDLE_DBC, dbc, 1, &native), "HY000");
  EXPECT_EQ(native, 32);
  EXPECT_EQ(sql_connect(dbc, 0, nullptr, 0, nullptr, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(dbc->diags.record_count, 0);
}

TEST_F(Connect, DisconnectFreesStatementRecords) {
  for (uint32_t flags : {0x8000u, 0x8000u | VEKS_FLAG_FREE_STMTS_ON_DISCONNECT}) {
    SCOPED_TRACE(flags);
    OdbcDir::get().set_flags(flags);
    RpcLink link;
    auto* dbc = static_cast<connection_t*>(link.connected());
    void* s = link.stmt(dbc);
    ASSERT_EQ(exec_direct(s, "SELECT 1"), SQL_SUCCESS);
    if (!(flags & VEKS_FLAG_FREE_STMTS_ON_DISCONNECT)) {
      // The driver refuses while the statement holds its transaction; the
      // records stay as they are.
      EXPECT_EQ(sql_disconnect(dbc), SQL_ERROR);
      EXPECT_EQ(diag_state(SQL_HANDLE_DBC, dbc, 1), "25000");
      EXPECT_EQ(dbc->first_stmt, s);
      EXPECT_STREQ(dbc->dsn, "testdsn");
      void* kept = link.stmt(dbc);  // left for the disconnect to remove
      ASSERT_EQ(sql_free_handle(nullptr, SQL_HANDLE_STMT, s), SQL_SUCCESS);
      s = kept;
    }
    EXPECT_EQ(sql_disconnect(dbc), SQL_SUCCESS) << diag_state(SQL_HANDLE_DBC, dbc, 1);
    EXPECT_EQ(dbc->first_stmt, nullptr);
    EXPECT_EQ(dbc->first_desc, nullptr);
    EXPECT_EQ(sql_fetch(s), SQL_INVALID_HANDLE);
    EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
  }
}

}  // namespace
}  // namespace kytest
