// The driver's exported entry points, called directly on libkyvekcnt.so as
// the Driver Manager would call them: handles, attributes, information,
// diagnostics and the connect failures that need no server.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diag_reader.h"

namespace {

struct Driver {
  void* lib = nullptr;
#define KY_FN(name) decltype(&::name) name = nullptr;
  KY_FN(SQLAllocHandle)
  KY_FN(SQLFreeHandle)
  KY_FN(SQLFreeStmt)
  KY_FN(SQLConnect)
  KY_FN(SQLDriverConnect)
  KY_FN(SQLDisconnect)
  KY_FN(SQLSetEnvAttr)
  KY_FN(SQLGetEnvAttr)
  KY_FN(SQLSetConnectAttr)
  KY_FN(SQLGetConnectAttr)
  KY_FN(SQLGetInfo)
  KY_FN(SQLGetFunctions)
  KY_FN(SQLGetDiagRec)
  KY_FN(SQLGetDiagField)
#undef KY_FN
  Driver() {
    const char* path = std::getenv("KYVEK_DRIVER");
    lib = dlopen(path ? path : "libkyvekcnt.so", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
#define KY_BIND(name) name = reinterpret_cast<decltype(name)>(dlsym(lib, #name));
    KY_BIND(SQLAllocHandle)
    KY_BIND(SQLFreeHandle)
    KY_BIND(SQLFreeStmt)
    KY_BIND(SQLConnect)
    KY_BIND(SQLDriverConnect)
    KY_BIND(SQLDisconnect)
    KY_BIND(SQLSetEnvAttr)
    KY_BIND(SQLGetEnvAttr)
    KY_BIND(SQLSetConnectAttr)
    KY_BIND(SQLGetConnectAttr)
    KY_BIND(SQLGetInfo)
    KY_BIND(SQLGetFunctions)
    KY_BIND(SQLGetDiagRec)
    KY_BIND(SQLGetDiagField)
#undef KY_BIND
  }
};

Driver& drv() {
  static Driver d;
  return d;
}

std::vector<kytest::DiagRecord> diags(SQLSMALLINT type, SQLHANDLE h) {
  return kytest::diag_records(type, h, drv().SQLGetDiagRec);
}

class DriverApi : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(drv().lib, nullptr) << dlerror();
    ASSERT_EQ(drv().SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env_), SQL_SUCCESS);
    ASSERT_EQ(drv().SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(380), 0), SQL_SUCCESS);
    ASSERT_EQ(drv().SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_), SQL_SUCCESS);
  }
  void TearDown() override {
    if (dbc_) {
      EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_DBC, dbc_), SQL_SUCCESS);
    }
    if (env_) {
      EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_ENV, env_), SQL_SUCCESS);
    }
  }
  SQLRETURN connect(const std::string& s, std::string* out = nullptr) {
    SQLCHAR buf[1024] = {};
    SQLSMALLINT len = 0;
    SQLRETURN rc =
        drv().SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)s.c_str(), SQL_NTS, buf, sizeof buf, &len, SQL_DRIVER_NOPROMPT);
    if (out) *out = reinterpret_cast<char*>(buf);
    return rc;
  }
  SQLHANDLE env_ = nullptr, dbc_ = nullptr;
};

// Every entry point refuses freed and wrong-type handles without reading them.
TEST_F(DriverApi, FreedAndWrongTypeHandlesAreInvalid) {
  SQLHANDLE env2 = nullptr, dbc2 = nullptr;
  ASSERT_EQ(drv().SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env2), SQL_SUCCESS);
  ASSERT_EQ(drv().SQLAllocHandle(SQL_HANDLE_DBC, env2, &dbc2), SQL_SUCCESS);
  ASSERT_EQ(drv().SQLFreeHandle(SQL_HANDLE_DBC, dbc2), SQL_SUCCESS);
  ASSERT_EQ(drv().SQLFreeHandle(SQL_HANDLE_ENV, env2), SQL_SUCCESS);
  int stack_junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  SQLHANDLE bad_dbcs[] = {dbc2, env_, stack_junk};
  for (SQLHANDLE bad : bad_dbcs) {
    SQLHANDLE out = nullptr;
    SQLINTEGER v = 0;
    SQLCHAR buf[32];
    SQLSMALLINT len;
    EXPECT_EQ(drv().SQLAllocHandle(SQL_HANDLE_STMT, bad, &out), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLAllocHandle(SQL_HANDLE_DESC, bad, &out), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_DBC, bad), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLConnect(bad, (SQLCHAR*)"x", SQL_NTS, nullptr, 0, nullptr, 0), SQL_INVALID_HANDLE);
    EXPECT_EQ(
        drv().SQLDriverConnect(bad, nullptr, (SQLCHAR*)"DSN=x", SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
        SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLDisconnect(bad), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLSetConnectAttr(bad, SQL_ATTR_AUTOCOMMIT, nullptr, 0), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLGetConnectAttr(bad, SQL_ATTR_AUTOCOMMIT, &v, 0, nullptr), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLGetInfo(bad, SQL_DRIVER_NAME, buf, sizeof buf, &len), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLGetFunctions(bad, 0, nullptr), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, bad, 1, buf, &v, buf, sizeof buf, &len), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, bad, 0, SQL_DIAG_NUMBER, &v, 0, nullptr), SQL_INVALID_HANDLE);
  }
  SQLHANDLE bad_envs[] = {env2, dbc_, stack_junk};
  for (SQLHANDLE bad : bad_envs) {
    SQLHANDLE out = nullptr;
    SQLINTEGER v = 0;
    EXPECT_EQ(drv().SQLAllocHandle(SQL_HANDLE_DBC, bad, &out), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLSetEnvAttr(bad, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(3), 0), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLGetEnvAttr(bad, SQL_ATTR_ODBC_VERSION, &v, 0, nullptr), SQL_INVALID_HANDLE);
    EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_ENV, bad), SQL_INVALID_HANDLE);
  }
  EXPECT_EQ(drv().SQLFreeStmt(dbc_, SQL_CLOSE), SQL_INVALID_HANDLE);
  EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_STMT, dbc_), SQL_INVALID_HANDLE);
  EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_DESC, env_), SQL_INVALID_HANDLE);
  EXPECT_EQ(drv().SQLFreeHandle(7, env_), SQL_INVALID_HANDLE);
}

TEST_F(DriverApi, SequenceErrorsAndUnconnectedAllocations) {
  EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_ENV, env_), SQL_ERROR);
  auto d = diags(SQL_HANDLE_ENV, env_);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "HY010");
  EXPECT_EQ(d[0].message, "[Kyronde ODBC (Client)]Function sequence error");

  EXPECT_EQ(drv().SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(2), 0), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_ENV, env_)[0].state, "HY011");

  SQLHANDLE stmt = reinterpret_cast<SQLHANDLE>(0x1);
  EXPECT_EQ(drv().SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt), SQL_ERROR);
  EXPECT_EQ(stmt, nullptr);
  d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "08003");
  EXPECT_EQ(d[0].message, "[Kyronde ODBC (Client)]Connection does not exist");
  SQLHANDLE desc = nullptr;
  EXPECT_EQ(drv().SQLAllocHandle(SQL_HANDLE_DESC, dbc_, &desc), SQL_ERROR);
  EXPECT_EQ(drv().SQLAllocHandle(SQL_HANDLE_STMT, dbc_, nullptr), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "HY009");
  EXPECT_EQ(drv().SQLGetFunctions(dbc_, SQL_API_ODBC3_ALL_FUNCTIONS, nullptr), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "HY010");
  EXPECT_EQ(drv().SQLDisconnect(dbc_), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "08003");
}

TEST_F(DriverApi, EnvironmentAttributes) {
  SQLHANDLE env = nullptr;
  ASSERT_EQ(drv().SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
  SQLINTEGER v = -1;
  EXPECT_EQ(drv().SQLGetEnvAttr(env, SQL_ATTR_ODBC_VERSION, &v, 0, nullptr), SQL_ERROR);
  EXPECT_TRUE(diags(SQL_HANDLE_ENV, env).empty());
  EXPECT_EQ(drv().SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(380), 0), SQL_SUCCESS);
  EXPECT_EQ(drv().SQLGetEnvAttr(env, SQL_ATTR_ODBC_VERSION, &v, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(v, 3);
  EXPECT_EQ(drv().SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(4), 0), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_ENV, env)[0].state, "HY024");
  EXPECT_EQ(drv().SQLGetEnvAttr(env, SQL_ATTR_OUTPUT_NTS, &v, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(v, 1);
  EXPECT_EQ(drv().SQLSetEnvAttr(env, 9999, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_ENV, env)[0].state, "HY092");
  EXPECT_EQ(drv().SQLSetEnvAttr(nullptr, SQL_ATTR_CONNECTION_POOLING, reinterpret_cast<SQLPOINTER>(7), 0), SQL_ERROR);
  EXPECT_EQ(drv().SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
}

TEST_F(DriverApi, ConnectionAttributesBeforeConnect) {
  struct Case {
    SQLINTEGER attr;
    intptr_t value;
    SQLRETURN set_rc;
    const char* state;
  } cases[] = {
      {SQL_ATTR_AUTOCOMMIT, 0, SQL_SUCCESS, nullptr},
      {SQL_ATTR_LOGIN_TIMEOUT, 7, SQL_SUCCESS, nullptr},
      {SQL_ATTR_ODBC_CURSORS, 1, SQL_SUCCESS, nullptr},
      {SQL_ATTR_AUTOCOMMIT, 5, SQL_ERROR, "HY024"},
      {SQL_ATTR_TXN_ISOLATION, 2, SQL_ERROR, "08003"},
      {SQL_ATTR_AUTO_IPD, 1, SQL_ERROR, "HY092"},
      {1041, 1, SQL_SUCCESS, nullptr},
      {4242, 1, SQL_ERROR, "HY000"},  // an unknown pointer-kind value
  };
  for (const Case& c : cases) {
    SQLINTEGER len = c.attr == 4242 ? SQL_IS_POINTER : SQL_IS_INTEGER;
    EXPECT_EQ(drv().SQLSetConnectAttr(dbc_, c.attr, reinterpret_cast<SQLPOINTER>(c.value), len), c.set_rc) << c.attr;
    if (c.state) {
      EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, c.state) << c.attr;
    }
  }
  SQLUINTEGER v = 99;
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_AUTOCOMMIT, &v, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT, &v, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(v, 7u);
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_PACKET_SIZE, &v, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_CURRENT_CATALOG, &v, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "08003");
  EXPECT_EQ(drv().SQLSetConnectAttr(dbc_, SQL_ATTR_CURRENT_CATALOG, (SQLPOINTER) "main", SQL_NTS), SQL_SUCCESS);
  EXPECT_EQ(drv().SQLSetConnectAttr(dbc_, SQL_ATTR_CURRENT_CATALOG, nullptr, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "HY009");

  // The trace file's name: a zero-length buffer writes nothing, a short one
  // is cut with 01004; the full length is reported either way.
  ASSERT_EQ(drv().SQLSetConnectAttr(dbc_, SQL_ATTR_TRACEFILE, (SQLPOINTER) "/nonexistent/trace.log", SQL_NTS),
            SQL_SUCCESS);
  char name[32];
  SQLINTEGER len = 0;
  std::memset(name, '#', sizeof name);
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_TRACEFILE, name, 0, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(name[0], '#');
  EXPECT_EQ(len, 22);
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_TRACEFILE, name, 5, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_STREQ(name, "/non");
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "01004");
  EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_TRACEFILE, name, sizeof name, &len), SQL_SUCCESS);
  EXPECT_STREQ(name, "/nonexistent/trace.log");
}

TEST_F(DriverApi, InformationAnsweredLocally) {
  char buf[64];
  SQLSMALLINT len = 0;
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DRIVER_NAME, buf, 5, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_STREQ(buf, "kyve");
  EXPECT_EQ(len, 11);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].state, "01004");
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DRIVER_NAME, buf, sizeof buf, &len), SQL_SUCCESS);
  EXPECT_STREQ(buf, "kyvekclient");
  // A zero-length buffer writes nothing.
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DRIVER_VER, buf, 0, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(buf[0], '#');
  EXPECT_EQ(len, 10);
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DM_VER, buf, sizeof buf, &len), SQL_SUCCESS);
  EXPECT_STREQ(buf, "03.00.0000.0000");
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DRIVER_ODBC_VER, buf, sizeof buf, &len), SQL_SUCCESS);
  EXPECT_STREQ(buf, "03.00");
  SQLULEN h = 0;
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DRIVER_HDBC, &h, sizeof h, nullptr), SQL_SUCCESS);
  EXPECT_EQ(h, reinterpret_cast<SQLULEN>(dbc_));
  EXPECT_EQ(drv().SQLGetInfo(dbc_, SQL_DBMS_NAME, buf, sizeof buf, &len), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "08003");
  EXPECT_EQ(drv().SQLGetInfo(dbc_, 9999, buf, sizeof buf, &len), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "HY096");
}

TEST_F(DriverApi, DiagnosticsBuffersAndFields) {
  char buf[64];
  SQLSMALLINT len = 0;
  ASSERT_EQ(drv().SQLGetInfo(dbc_, SQL_DBMS_NAME, buf, sizeof buf, &len), SQL_ERROR);
  // "[Kyronde ODBC (Client)]Connection does not exist" is 48 characters.
  SQLCHAR state[6], msg[64];
  SQLINTEGER native = -1;
  std::memset(msg, '#', sizeof msg);
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 1, state, &native, msg, 0, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(msg[0], '#');
  EXPECT_EQ(len, 48);
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 1, state, &native, nullptr, 0, &len), SQL_SUCCESS);
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 1, state, &native, msg, 48, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(std::strlen(reinterpret_cast<char*>(msg)), 47u);
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 1, state, &native, msg, 49, &len), SQL_SUCCESS);
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 0, state, &native, msg, 49, &len), SQL_ERROR);
  // Beyond the client layer of an unconnected connection: no server to ask.
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_DBC, dbc_, 2, state, &native, msg, 49, &len), SQL_ERROR);

  SQLSMALLINT rc_field = 0;
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_RETURNCODE, &rc_field, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(rc_field, SQL_ERROR);
  SQLINTEGER n = 0;
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_NUMBER, &n, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(n, 1);
  SQLLEN rows = 0;
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_ROW_COUNT, &rows, 0, nullptr), SQL_ERROR);
  char text[32];
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_CLASS_ORIGIN, text, sizeof text, &len),
            SQL_SUCCESS);
  EXPECT_STREQ(text, "ISO 9075");
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_SQLSTATE, text, 3, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_STREQ(text, "08");
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_DBC, dbc_, 1, SQL_DIAG_SQLSTATE, text, -1, &len), SQL_ERROR);
  EXPECT_EQ(drv().SQLGetDiagField(SQL_HANDLE_ENV, env_, 0, SQL_DIAG_NUMBER, &n, 0, nullptr), SQL_SUCCESS);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(drv().SQLGetDiagRec(SQL_HANDLE_ENV, env_, 1, state, &native, msg, 49, &len), SQL_NO_DATA);
}

// With trace bit 0x80 every diagnostic read is also written to a dump file in
// the temporary directory, but never into such a file that another user made.
TEST_F(DriverApi, DiagnosticsDumpLeavesAnotherUsersFileAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a file of another user needs root";
  char tmpl[] = "/tmp/kyvek-dump-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl, dump = dir + "/vekamarc_diags.txt", trace = dir + "/trace.log";
  const char* was = std::getenv("TMPDIR");
  const std::string saved = was ? was : "";
  setenv("TMPDIR", tmpl, 1);
  auto read = [](const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
  };
  ASSERT_EQ(drv().SQLSetConnectAttr(dbc_, SQL_ATTR_TRACEFILE, (SQLPOINTER)trace.c_str(), SQL_NTS), SQL_SUCCESS);
  ASSERT_EQ(drv().SQLSetConnectAttr(dbc_, SQL_ATTR_TRACE, reinterpret_cast<SQLPOINTER>(SQL_OPT_TRACE_ON), 0),
            SQL_SUCCESS);
  char buf[16];
  SQLSMALLINT len = 0;
  ASSERT_EQ(drv().SQLGetInfo(dbc_, SQL_DBMS_NAME, buf, sizeof buf, &len), SQL_ERROR);
  ASSERT_EQ(diags(SQL_HANDLE_DBC, dbc_).size(), 1u);
  EXPECT_NE(read(dump).find("sqlstate=08003"), std::string::npos) << read(dump);

  ASSERT_EQ(std::remove(dump.c_str()), 0);
  std::ofstream(dump) << "theirs\n";
  ASSERT_EQ(::chmod(dump.c_str(), 0666), 0);
  ASSERT_EQ(::chown(dump.c_str(), 65534, 65534), 0);
  ASSERT_EQ(diags(SQL_HANDLE_DBC, dbc_).size(), 1u);
  EXPECT_EQ(read(dump), "theirs\n");

  EXPECT_EQ(drv().SQLSetConnectAttr(dbc_, SQL_ATTR_TRACE, reinterpret_cast<SQLPOINTER>(SQL_OPT_TRACE_OFF), 0),
            SQL_SUCCESS);
  if (was)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  std::filesystem::remove_all(dir);
}

// A free loopback port with nothing listening on it.
int dead_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t l = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
  close(s);
  return ntohs(a.sin_port);
}

TEST_F(DriverApi, ConnectFailuresThatNeedNoServer) {
  struct Case {
    std::string in;
    std::vector<std::string> states;
    std::string first_message;
  } cases[] = {
      {"SERVERPORT=h:1;TARGETDSN=x", {"IM007"}, ""},
      {"DSN=NoSuchDsn",
       {"HY000", "IM007"},
       "[Kyronde ODBC (Client)]general error: Missing attribute(s): TARGETDSN,LOGONUSER,SERVERPORT"},
      {"DRIVER=kyvekcnt;SERVERPORT=127.0.0.1;TARGETDSN=x",
       {"HY000"},
       "[Kyronde ODBC (Client)]general error: Invalid ServerPort item \"127.0.0.1\" (expected server:port, [IPv6 "
       "address]:port)"},
      {"DRIVER=kyvekcnt;SERVER=127.0.0.1;TARGETDSN=x", {"HY000", "IM007"}, ""},
      {"DRIVER=kyvekcnt;SERVERPORT=127.0.0.1:" + std::to_string(dead_port()) +
           ", 127.0.0.1:" + std::to_string(dead_port()) + ";TARGETDSN=x;CONNECTATTEMPTS=1",
       {"08001"},
       ""},
      {"DRIVER=kyvekcnt;SERVERPORT=127.0.0.1:1433;TARGETDSN=x",
       {"HY000"},
       "[Kyronde ODBC (Client)]general error: Port 1433 is SQLServer. The VEK client should be given "
       "the port the VEK Server is listening on (normally 8888)."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(connect(c.in), SQL_ERROR) << c.in;
    auto d = diags(SQL_HANDLE_DBC, dbc_);
    ASSERT_EQ(d.size(), c.states.size()) << c.in;
    for (size_t i = 0; i < d.size(); ++i) EXPECT_EQ(d[i].state, c.states[i]) << c.in;
    if (!c.first_message.empty()) {
      EXPECT_EQ(d.front().message, c.first_message);
    }
    // The failed connect leaves a connection that is not connected.
    SQLUINTEGER v;
    EXPECT_EQ(drv().SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &v, 0, nullptr), SQL_ERROR);
  }
  // A window but no setup library: no dialog can be shown.
  SQLCHAR out[64];
  SQLSMALLINT outlen = 0;
  EXPECT_EQ(drv().SQLDriverConnect(dbc_, reinterpret_cast<SQLHWND>(0x1), (SQLCHAR*)"DRIVER=kyvekcnt;TARGETDSN=x",
                                   SQL_NTS, out, sizeof out, &outlen, SQL_DRIVER_COMPLETE),
            SQL_ERROR);
  auto d = diags(SQL_HANDLE_DBC, dbc_);
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d[0].state, "IM008");
  EXPECT_EQ(d[1].message, "[Kyronde ODBC (Client)]general error: Missing attribute(s): LOGONUSER,SERVERPORT");
  EXPECT_EQ(drv().SQLConnect(dbc_, nullptr, 0, nullptr, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "IM002");
  EXPECT_EQ(drv().SQLConnect(dbc_, (SQLCHAR*)"x", -7, nullptr, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(diags(SQL_HANDLE_DBC, dbc_)[0].state, "HY090");
}

}  // namespace
