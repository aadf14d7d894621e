// Applications reach a kyvekserver on loopback through the unixODBC Driver
// Manager and the client driver: isql and pyodbc as separate processes, and
// this process itself through libodbc for the failure roads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sql.h>
#include <sqlext.h>

#include <string>
#include <vector>

#include "client_side.h"
#include "e2e_fixture.h"

namespace kyvek::e2e {
namespace {

struct Record {
  std::string state, message;
  SQLINTEGER native = 0;
};

std::vector<Record> records(SQLSMALLINT type, SQLHANDLE h) {
  std::vector<Record> out;
  for (SQLSMALLINT i = 1; i < 20; ++i) {
    SQLCHAR state[6] = {}, msg[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLGetDiagRec(type, h, i, state, &native, msg, sizeof msg, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    out.push_back({reinterpret_cast<char*>(state), reinterpret_cast<char*>(msg), native});
  }
  return out;
}

bool has_state(const std::vector<Record>& r, const std::string& state) {
  for (const Record& x : r)
    if (x.state == state) return true;
  return false;
}

std::string dump(const std::vector<Record>& r) {
  std::string s;
  for (const Record& x : r) s += x.state + " " + std::to_string(x.native) + " " + x.message + "\n";
  return s;
}

// One application connection through this process's Driver Manager.
class App {
 public:
  App() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  }
  ~App() {
    if (dbc_) {
      if (connected_) SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  SQLRETURN connect(const std::string& in) {
    SQLCHAR out[1024];
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)in.c_str(), SQL_NTS, out, sizeof out, &len,
                                    SQL_DRIVER_NOPROMPT);
    connected_ = SQL_SUCCEEDED(rc);
    return rc;
  }
  SQLHDBC dbc() { return dbc_; }
  std::vector<Record> diags() { return records(SQL_HANDLE_DBC, dbc_); }
  std::string info(SQLUSMALLINT type, SQLRETURN* rc_out = nullptr) {
    char buf[256] = {};
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLGetInfo(dbc_, type, buf, sizeof buf, &len);
    if (rc_out) *rc_out = rc;
    return SQL_SUCCEEDED(rc) ? std::string(buf) : std::string();
  }
  SQLRETURN disconnect() {
    SQLRETURN rc = SQLDisconnect(dbc_);
    if (SQL_SUCCEEDED(rc)) connected_ = false;
    return rc;
  }
  // Frees the connection handle now; the result of the free.
  SQLRETURN free_dbc() {
    SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (SQL_SUCCEEDED(rc)) dbc_ = nullptr;
    return rc;
  }

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  bool connected_ = false;
};

std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

class DriverE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    preload_sanitizers(fx_);
    ASSERT_TRUE(fx_.start_server()) << Fixture::read_file(fx_.server().err);
  }
  Fixture fx_;
};

TEST_F(DriverE2e, IsqlConnectsThroughTheClientDsn) {
  Process isql = fx_.spawn("/usr/bin/isql", {"-v", Fixture::kClientDsn}, -1, "isql");
  EXPECT_EQ(Fixture::wait(isql, 60000), 0) << Fixture::read_file(isql.err);
  std::string out = Fixture::read_file(isql.out);
  EXPECT_NE(out.find("Connected!"), std::string::npos) << out << Fixture::read_file(isql.err);
}

TEST_F(DriverE2e, PyodbcReadsDriverAndDbmsNames) {
  const std::string script =
      "import pyodbc\n"
      "c = pyodbc.connect('DSN=kyvek', autocommit=True)\n"
      "print('driver=' + c.getinfo(pyodbc.SQL_DRIVER_NAME))\n"
      "print('dbms=' + c.getinfo(pyodbc.SQL_DBMS_NAME))\n"
      "c.close()\n";
  Process py = fx_.spawn("/usr/bin/python3", {"-c", script}, -1, "pyodbc");
  int status = Fixture::wait(py, 60000);
  std::string out = Fixture::read_file(py.out);
  EXPECT_EQ(status, 0) << out << Fixture::read_file(py.err);
  EXPECT_NE(out.find("driver=kyvekclient"), std::string::npos) << out;
  EXPECT_NE(out.find("dbms=SQLite"), std::string::npos) << out;
}

TEST_F(DriverE2e, ServerPortListIsTriedInOrder) {
  fx_.apply_env();
  int dead1 = Fixture::free_port(), dead2 = Fixture::free_port();
  {
    App app;
    SQLRETURN rc = app.connect(driver_connection_string(loopback(dead1) + "," + loopback(fx_.port()),
                                                        "CONNECTATTEMPTS=1"));
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << dump(app.diags());
    EXPECT_FALSE(has_state(app.diags(), "08001")) << dump(app.diags());
    EXPECT_EQ(app.info(SQL_DBMS_NAME), "SQLite");
    EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  }
  {
    App app;
    SQLRETURN rc = app.connect(driver_connection_string(loopback(dead1) + "," + loopback(dead2),
                                                        "CONNECTATTEMPTS=1"));
    EXPECT_EQ(rc, SQL_ERROR);
    std::vector<Record> d = app.diags();
    EXPECT_TRUE(has_state(d, "08001")) << dump(d);
    // A failed connect leaves a connection that can be freed.
    EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
  }
}

TEST_F(DriverE2e, KilledServerGivesLinkFailureAndDisconnectStillSucceeds) {
  fx_.apply_env();
  App app;
  ASSERT_TRUE(SQL_SUCCEEDED(app.connect("DSN=kyvek"))) << dump(app.diags());
  ASSERT_EQ(app.info(SQL_DBMS_NAME), "SQLite");
  ::kill(fx_.server().pid, SIGKILL);
  Fixture::wait(fx_.server(), 10000);
  SQLRETURN rc = SQL_SUCCESS;
  app.info(SQL_DBMS_VER, &rc);
  EXPECT_EQ(rc, SQL_ERROR);
  std::vector<Record> d = app.diags();
  EXPECT_TRUE(has_state(d, "08S01")) << dump(d);
  SQLUINTEGER dead = 0;
  EXPECT_EQ(SQLGetConnectAttr(app.dbc(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(dead, static_cast<SQLUINTEGER>(SQL_CD_TRUE));
  EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
}

class DriverLogonE2e : public ::testing::Test {
 protected:
  static Options options() {
    Options o;
    o.flags = 0x8000;  // logon required
    o.pam_users = {{"nobody", "right-pw"}};
    o.world_accessible = true;
    return o;
  }
  Fixture fx_{options()};
};

TEST_F(DriverLogonE2e, WrongPasswordIsRefusedAndTheRightOneConnects) {
  ASSERT_TRUE(fx_.start_server()) << Fixture::read_file(fx_.server().err);
  fx_.apply_env();
  {
    App app;
    EXPECT_EQ(app.connect("DSN=kyvek;LOGONUSER=nobody;LOGONAUTH=wrong-pw"), SQL_ERROR);
    std::vector<Record> d = app.diags();
    EXPECT_TRUE(has_state(d, "28000")) << dump(d);
    EXPECT_EQ(app.free_dbc(), SQL_SUCCESS);
  }
  {
    App app;
    // A password that would split an unquoted connection string.
    SQLRETURN rc = app.connect("DSN=kyvek;LOGONUSER=nobody;LOGONAUTH={right-pw}");
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << dump(app.diags());
    EXPECT_EQ(app.info(SQL_DRIVER_NAME), "kyvekclient");
    EXPECT_EQ(app.disconnect(), SQL_SUCCESS);
  }
}

}  // namespace
}  // namespace kyvek::e2e
