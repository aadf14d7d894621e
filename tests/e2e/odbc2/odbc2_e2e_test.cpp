// ODBC 2 applications and browse connect, end to end against a kyvekserver on
// loopback with SQLite data sources:
//  - odbc2_app (a C program using the ODBC 2 functions only) on the client
//    driver itself, on the unixODBC Driver Manager declaring ODBC 2, and on the
//    target data source directly: the same answers;
//  - SQLBrowseConnect through unixODBC (three steps, a wrong server, the list
//    of data sources, two connections browsing side by side) and on the
//    driver itself (cut out strings, a failed first call).
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client_side.h"
#include "e2e_fixture.h"

namespace kyvek::e2e {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The lines whose answers do not depend on which road reached the data: the
// data, the column attributes, the options and the transaction.
std::vector<std::string> data_lines(const std::vector<std::string>& lines) {
  static const char* const kRoadSpecific[] = {"bad:", "scroll", "concurrency", "param options"};
  std::vector<std::string> out;
  for (const std::string& l : lines) {
    bool specific = false;
    for (const char* p : kRoadSpecific) specific = specific || l.rfind(p, 0) == 0;
    if (!specific) out.push_back(l);
  }
  return out;
}

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

int env_int(const char* name) { return std::atoi(std::getenv(name) ? std::getenv(name) : "0"); }
std::string env_text(const char* name) { return std::getenv(name) ? std::getenv(name) : ""; }
std::string loopback(int port) { return "127.0.0.1:" + std::to_string(port); }

struct Record {
  std::string state, message;
};

std::vector<Record> records(SQLSMALLINT type, SQLHANDLE h) {
  std::vector<Record> out;
  for (SQLSMALLINT i = 1; i < 20; ++i) {
    SQLCHAR state[6] = {}, msg[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagRec(type, h, i, state, &native, msg, sizeof msg, &len))) break;
    out.push_back({reinterpret_cast<char*>(state), reinterpret_cast<char*>(msg)});
  }
  return out;
}

std::string dump(const std::vector<Record>& r) {
  std::string s;
  for (const Record& x : r) s += x.state + " " + x.message + "\n";
  return s;
}

bool has_state(const std::vector<Record>& r, const std::string& state) {
  return std::any_of(r.begin(), r.end(), [&](const Record& x) { return x.state == state; });
}

// The names inside "TARGETDSN:Target DSN={a,b};".
std::set<std::string> offered_dsns(const std::string& answer) {
  std::set<std::string> names;
  const std::string head = "TARGETDSN:Target DSN={";
  if (answer.rfind(head, 0) != 0 || answer.size() < head.size() + 2 || answer.compare(answer.size() - 2, 2, "};") != 0)
    return names;
  std::string list = answer.substr(head.size(), answer.size() - head.size() - 2);
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) names.insert(name);
  return names;
}

// ---- browse connect through unixODBC, in a child with the fixture's
// environment (the Driver Manager keeps the ini paths it first saw) ----------

bool in_child() { return std::getenv("KYVEK_E2E_CHILD") != nullptr; }
#define CHILD_ONLY() \
  if (!in_child()) GTEST_SKIP() << "runs as a child of the end-to-end cases"

// One application connection that browses through the Driver Manager.
class Browser {
 public:
  Browser() {
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
    SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  }
  ~Browser() {
    SQLDisconnect(dbc_);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }
  // One step: its result; the answer and its length are kept.
  SQLRETURN step(const std::string& in, SQLSMALLINT cap = 1024) {
    std::vector<SQLCHAR> buf(static_cast<size_t>(cap) + 8, '#');
    len_ = -1;
    SQLRETURN rc = SQLBrowseConnect(dbc_, (SQLCHAR*)in.c_str(), SQL_NTS, buf.data(), cap, &len_);
    answer_.assign(reinterpret_cast<char*>(buf.data()), strnlen(reinterpret_cast<char*>(buf.data()), buf.size()));
    return rc;
  }
  const std::string& answer() const { return answer_; }
  SQLSMALLINT length() const { return len_; }
  std::vector<Record> diags() { return records(SQL_HANDLE_DBC, dbc_); }
  std::string info(SQLUSMALLINT type) {
    char buf[256] = {};
    SQLSMALLINT len = 0;
    return SQL_SUCCEEDED(SQLGetInfo(dbc_, type, buf, sizeof buf, &len)) ? buf : "";
  }
  // The first column of the first row of a query, or "" on failure.
  std::string scalar(const std::string& query) {
    SQLHSTMT stmt = nullptr;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) return "";
    std::string value;
    char buf[128] = {};
    SQLLEN ind = 0;
    if (SQL_SUCCEEDED(SQLExecDirect(stmt, (SQLCHAR*)query.c_str(), SQL_NTS)) && SQL_SUCCEEDED(SQLFetch(stmt)) &&
        SQL_SUCCEEDED(SQLGetData(stmt, 1, SQL_C_CHAR, buf, sizeof buf, &ind)))
      value = buf;
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return value;
  }

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  std::string answer_;
  SQLSMALLINT len_ = -1;
};

const char* const kFirstAnswerItems =
    "SERVERPORT:ServerPort=?;*LOGONUSER:Logon User=?;*LOGONAUTH:Logon Auth=?;"
    "*TARGETUSER:Target User=?;*TARGETAUTH:Target Auth=?;";

TEST(Child, BrowseInThreeStepsAndFromADsn) {
  CHILD_ONLY();
  const std::string server = "SERVERPORT=" + loopback(env_int("KYVEK_E2E_PORT")) + ";";
  {
    Browser b;
    ASSERT_EQ(b.step("DRIVER={Kyvek};"), SQL_NEED_DATA) << dump(b.diags());
    EXPECT_EQ(b.answer(), std::string("DRIVER={Kyvek};") + kFirstAnswerItems);
    EXPECT_EQ(b.length(), static_cast<SQLSMALLINT>(b.answer().size()));

    ASSERT_EQ(b.step(server), SQL_NEED_DATA) << dump(b.diags());
    EXPECT_EQ(offered_dsns(b.answer()), (std::set<std::string>{"vekdb", "second"})) << b.answer();

    ASSERT_EQ(b.step("TARGETDSN=second;"), SQL_SUCCESS) << dump(b.diags());
    // The out string is what the application gave after the first step.
    EXPECT_EQ(b.answer(), server + "TARGETDSN=second;");
    EXPECT_EQ(b.length(), static_cast<SQLSMALLINT>(b.answer().size()));
    EXPECT_EQ(b.info(SQL_DBMS_NAME), "SQLite");
    EXPECT_EQ(b.scalar("SELECT name FROM marker"), "second");
  }
  {
    // The client DSN supplies the server; the first answer shows it, asks for
    // the server list all the same and offers the users it lacks.
    Browser b;
    ASSERT_EQ(b.step("DSN=kyvek"), SQL_NEED_DATA) << dump(b.diags());
    EXPECT_EQ(b.answer(), "DSN=kyvek;" + server + kFirstAnswerItems);
    ASSERT_EQ(b.step(server), SQL_NEED_DATA) << dump(b.diags());
    ASSERT_EQ(b.step("TARGETDSN=vekdb;"), SQL_SUCCESS) << dump(b.diags());
    EXPECT_EQ(b.scalar("SELECT name FROM marker"), "vekdb");
  }
  {
    // Server and target in the first call: connected at once.
    Browser b;
    EXPECT_EQ(b.step("DRIVER={Kyvek};" + server + "TARGETDSN=vekdb;"), SQL_SUCCESS) << dump(b.diags());
    EXPECT_EQ(b.scalar("SELECT name FROM marker"), "vekdb");
  }
}

TEST(Child, BrowseWithAWrongServerOrAMissingAttributeStartsOver) {
  CHILD_ONLY();
  const std::string server = "SERVERPORT=" + loopback(env_int("KYVEK_E2E_PORT")) + ";";
  Browser b;
  ASSERT_EQ(b.step("DRIVER={Kyvek};"), SQL_NEED_DATA);
  // Nobody listens there.
  EXPECT_EQ(b.step("SERVERPORT=" + loopback(env_int("KYVEK_E2E_DEAD_PORT")) + ";CONNECTATTEMPTS=1;"), SQL_ERROR);
  EXPECT_TRUE(has_state(b.diags(), "08001")) << dump(b.diags());
  // The browse starts over from its first step.
  ASSERT_EQ(b.step("DRIVER={Kyvek};"), SQL_NEED_DATA) << dump(b.diags());
  EXPECT_EQ(b.answer(), std::string("DRIVER={Kyvek};") + kFirstAnswerItems);
  // A second step without the server list.
  EXPECT_EQ(b.step("TARGETDSN=vekdb;"), SQL_ERROR);
  EXPECT_TRUE(has_state(b.diags(), "01S00")) << dump(b.diags());
  // And with the open link of the second step: the link goes with the browse.
  ASSERT_EQ(b.step("DRIVER={Kyvek};"), SQL_NEED_DATA) << dump(b.diags());
  ASSERT_EQ(b.step(server), SQL_NEED_DATA) << dump(b.diags());
  EXPECT_EQ(b.step("LOGONUSER=x;"), SQL_ERROR);
  EXPECT_TRUE(has_state(b.diags(), "01S00")) << dump(b.diags());
  ASSERT_EQ(b.step("DRIVER={Kyvek};"), SQL_NEED_DATA) << dump(b.diags());
  ASSERT_EQ(b.step(server), SQL_NEED_DATA) << dump(b.diags());
  ASSERT_EQ(b.step("TARGETDSN=vekdb;"), SQL_SUCCESS) << dump(b.diags());
  EXPECT_EQ(b.scalar("SELECT name FROM marker"), "vekdb");
}

// Two connections browse in turns: each keeps its own step, and each ends on
// the data source it chose.
TEST(Child, TwoConnectionsBrowseSideBySide) {
  CHILD_ONLY();
  const std::string server = "SERVERPORT=" + loopback(env_int("KYVEK_E2E_PORT")) + ";";
  Browser a, b;
  ASSERT_EQ(a.step("DRIVER={Kyvek};"), SQL_NEED_DATA);
  ASSERT_EQ(a.step(server), SQL_NEED_DATA) << dump(a.diags());  // a now needs TARGETDSN
  ASSERT_EQ(b.step("DRIVER={Kyvek};"), SQL_NEED_DATA);          // b now needs SERVERPORT
  ASSERT_EQ(a.step("TARGETDSN=vekdb;"), SQL_SUCCESS) << dump(a.diags());
  ASSERT_EQ(b.step(server), SQL_NEED_DATA) << dump(b.diags());
  ASSERT_EQ(b.step("TARGETDSN=second;"), SQL_SUCCESS) << dump(b.diags());
  EXPECT_EQ(a.scalar("SELECT name FROM marker"), "vekdb");
  EXPECT_EQ(b.scalar("SELECT name FROM marker"), "second");
}

// ---- browse connect on the driver itself (no Driver Manager) ---------------

struct Driver {
  void* lib = nullptr;
#define DRIVER_FN(name) decltype(&::name) name = nullptr;
  DRIVER_FN(SQLAllocHandle)
  DRIVER_FN(SQLSetEnvAttr)
  DRIVER_FN(SQLFreeHandle)
  DRIVER_FN(SQLBrowseConnect)
  DRIVER_FN(SQLGetDiagRec)
  DRIVER_FN(SQLDisconnect)
  DRIVER_FN(SQLGetInfo)
  Driver() {
    lib = dlopen(env_text("KYVEK_DRIVER").c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) return;
#define DRIVER_LOAD(name) name = reinterpret_cast<decltype(name)>(dlsym(lib, #name));
    DRIVER_LOAD(SQLAllocHandle)
    DRIVER_LOAD(SQLSetEnvAttr)
    DRIVER_LOAD(SQLFreeHandle)
    DRIVER_LOAD(SQLBrowseConnect)
    DRIVER_LOAD(SQLGetDiagRec)
    DRIVER_LOAD(SQLDisconnect)
    DRIVER_LOAD(SQLGetInfo)
  }
  ~Driver() {
    if (lib) dlclose(lib);
  }
  std::vector<Record> diags(SQLHDBC dbc) {
    std::vector<Record> out;
    for (SQLSMALLINT i = 1; i < 20; ++i) {
      SQLCHAR state[6] = {}, msg[1024] = {};
      SQLINTEGER native = 0;
      SQLSMALLINT len = 0;
      if (!SQL_SUCCEEDED(SQLGetDiagRec(SQL_HANDLE_DBC, dbc, i, state, &native, msg, sizeof msg, &len))) break;
      out.push_back({reinterpret_cast<char*>(state), reinterpret_cast<char*>(msg)});
    }
    return out;
  }
};

TEST(Child, DriverCutsBrowseResultsAndClosesTheLinkOfAFailedFirstCall) {
  CHILD_ONLY();
  Driver d;
  ASSERT_NE(d.lib, nullptr) << dlerror();
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  ASSERT_EQ(d.SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
  d.SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  ASSERT_EQ(d.SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
  const std::string server = "SERVERPORT=" + loopback(env_int("KYVEK_E2E_PORT")) + ";";
  auto step = [&](const std::string& in, SQLSMALLINT cap, std::string* out, SQLSMALLINT* len) {
    std::vector<SQLCHAR> buf(64, '#');
    SQLRETURN rc = d.SQLBrowseConnect(dbc, (SQLCHAR*)in.c_str(), SQL_NTS, buf.data(), cap, len);
    *out = std::string(reinterpret_cast<char*>(buf.data()), 64);
    return rc;
  };
  std::string out;
  SQLSMALLINT len = 0;

  // Every answer that does not fit is cut, terminated and reported.
  const std::string first = std::string("DRIVER={Kyvek};") + kFirstAnswerItems;
  ASSERT_EQ(step("DRIVER={Kyvek};", 10, &out, &len), SQL_NEED_DATA);
  EXPECT_EQ(out.substr(0, 10), first.substr(0, 9) + '\0');
  EXPECT_EQ(len, static_cast<SQLSMALLINT>(first.size()));
  EXPECT_TRUE(has_state(d.diags(dbc), "01004")) << dump(d.diags(dbc));
  ASSERT_EQ(step(server, 12, &out, &len), SQL_NEED_DATA);
  EXPECT_EQ(out.substr(0, 12), std::string("TARGETDSN:T") + '\0');
  EXPECT_TRUE(has_state(d.diags(dbc), "01004")) << dump(d.diags(dbc));
  ASSERT_EQ(step("TARGETDSN=vekdb;", 8, &out, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(out.substr(0, 8), server.substr(0, 7) + '\0');
  EXPECT_EQ(len, static_cast<SQLSMALLINT>(server.size() + std::strlen("TARGETDSN=vekdb;")));
  EXPECT_TRUE(has_state(d.diags(dbc), "01004")) << dump(d.diags(dbc));
  char name[64] = {};
  EXPECT_EQ(d.SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, nullptr), SQL_SUCCESS);
  EXPECT_STREQ(name, "SQLite");
  EXPECT_EQ(d.SQLDisconnect(dbc), SQL_SUCCESS);

  // A first call that connects at once, to a data source the server lacks:
  // the link it opened is closed, so the connection is free to go.
  EXPECT_EQ(step(server + "TARGETDSN=nosuchdsn;", 64, &out, &len), SQL_ERROR);
  EXPECT_FALSE(d.diags(dbc).empty());
  EXPECT_EQ(d.SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS) << dump(d.diags(dbc));

  // A browse left after its second step ends with SQLDisconnect.
  ASSERT_EQ(d.SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
  ASSERT_EQ(step("DRIVER={Kyvek};", 64, &out, &len), SQL_NEED_DATA);
  ASSERT_EQ(step(server, 64, &out, &len), SQL_NEED_DATA);
  EXPECT_EQ(d.SQLDisconnect(dbc), SQL_SUCCESS);
  EXPECT_EQ(d.SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS);
  EXPECT_EQ(d.SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
}

// A server that offers no data source: the browse ends, and the link of its
// second step is closed with it.
TEST(Child, NoDataSourcesEndTheBrowse) {
  CHILD_ONLY();
  Driver d;
  ASSERT_NE(d.lib, nullptr) << dlerror();
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  ASSERT_EQ(d.SQLAllocHandle(SQL_HANDLE_ENV, nullptr, &env), SQL_SUCCESS);
  d.SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  ASSERT_EQ(d.SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc), SQL_SUCCESS);
  SQLCHAR out[256];
  SQLSMALLINT len = 0;
  ASSERT_EQ(d.SQLBrowseConnect(dbc, (SQLCHAR*)"DRIVER={Kyvek};", SQL_NTS, out, sizeof out, &len), SQL_NEED_DATA);
  const std::string server = "SERVERPORT=" + loopback(env_int("KYVEK_E2E_PORT")) + ";";
  EXPECT_EQ(d.SQLBrowseConnect(dbc, (SQLCHAR*)server.c_str(), SQL_NTS, out, sizeof out, &len), SQL_ERROR);
  std::vector<Record> r = d.diags(dbc);
  ASSERT_EQ(r.size(), 1u) << dump(r);
  EXPECT_EQ(r[0].state, "HY000");
  EXPECT_EQ(r[0].message, "[Kyronde ODBC (Client)]general error: No DataSources found");
  EXPECT_EQ(d.SQLFreeHandle(SQL_HANDLE_DBC, dbc), SQL_SUCCESS) << dump(d.diags(dbc));
  EXPECT_EQ(d.SQLFreeHandle(SQL_HANDLE_ENV, env), SQL_SUCCESS);
}

// ---- the parent cases ------------------------------------------------------

class Odbc2E2e : public ::testing::Test {
 protected:
  static Options options() {
    Options o;
    o.extra_system_dsns = {"second"};
    return o;
  }
  Odbc2E2e() : fx_(options()) {}
  void SetUp() override {
    if (in_child()) GTEST_SKIP();
    ASSERT_TRUE(
        fx_.exec_sqlite("CREATE TABLE marker (name TEXT); INSERT INTO marker VALUES ('vekdb');"
                        "CREATE TABLE people (id INTEGER, name VARCHAR(20), born TIMESTAMP);"
                        "INSERT INTO people VALUES (1, 'Ada', '1815-12-10 08:30:00');"
                        "INSERT INTO people VALUES (2, 'Blaise', NULL);"
                        "INSERT INTO people VALUES (3, NULL, '1900-01-01 00:00:00');"));
    ASSERT_TRUE(
        fx_.exec_sqlite("CREATE TABLE marker (name TEXT); INSERT INTO marker VALUES ('second');", "second.sqlite"));
    ASSERT_TRUE(fx_.start_server()) << Fixture::read_file(fx_.server().err);
    // The programs of this test are built with the sanitizers themselves.
    fx_.set_env("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1");
    fx_.set_env("LSAN_OPTIONS", "suppressions=" + env_text("KYVEK_ODBC2_LSAN"));
  }
  // Runs odbc2_app on a library; its output lines. Leaks count unless the
  // program runs on the target's driver alone (the Driver Manager unloads
  // it, so its allocations could not even be named).
  std::vector<std::string> run_app(const std::string& library, const std::string& connection, bool count_leaks = true) {
    fx_.set_env("ASAN_OPTIONS", count_leaks ? "detect_leaks=1:abort_on_error=1" : "detect_leaks=0:abort_on_error=1");
    Process p = fx_.spawn(Fixture::program("odbc2_app"), {library, connection, "people"}, -1, "odbc2_app");
    int status = Fixture::wait(p, 120000);
    std::string out = Fixture::read_file(p.out);
    EXPECT_EQ(status, 0) << out << Fixture::read_file(p.err);
    return lines_of(out);
  }
  void run_child(const std::string& name) {
    fx_.set_env("KYVEK_E2E_CHILD", "1");
    fx_.set_env("KYVEK_E2E_PORT", fx_.port_text());
    fx_.set_env("KYVEK_E2E_DEAD_PORT", std::to_string(Fixture::free_port()));
    Process child = fx_.spawn("/proc/self/exe", {"--gtest_filter=Child." + name}, -1, "child");
    int status = Fixture::wait(child, 180000);
    std::string out = Fixture::read_file(child.out);
    EXPECT_EQ(status, 0) << out << Fixture::read_file(child.err);
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
  }
  Fixture fx_;
};

TEST_F(Odbc2E2e, LifeCycleAnswersAlikeOnTheDriverThroughTheDriverManagerAndOnTheTarget) {
  const std::string driver = env_text("KYVEK_DRIVER");
  const std::vector<std::string> direct = run_app(driver, driver_connection_string(loopback(fx_.port())));
  const std::vector<std::string> managed = run_app("libodbc.so.2", "DSN=kyvek");
  std::vector<std::string> target = run_app("libodbc.so.2", "DSN=vekdb", false);
  ASSERT_FALSE(direct.empty());

  // What the application sees does not depend on whether a Driver Manager
  // stands between it and the driver, except that the Driver Manager's own
  // SQLError forgets the records it returned, where the driver's walk starts
  // over.
  auto without_restart = [](std::vector<std::string> l) {
    l.erase(std::remove_if(l.begin(), l.end(),
                           [](const std::string& s) { return s.find(": again ") != std::string::npos; }),
            l.end());
    return l;
  };
  EXPECT_EQ(joined(without_restart(direct)), joined(without_restart(managed)));
  // The data, column attributes, options and transactions equal the target's.
  // One difference is the target driver's own: the server asks it for
  // SQL_DESC_CONCISE_TYPE, which it answers with SQL_CHAR for every text
  // column, where its ODBC 2 SQL_COLUMN_TYPE says SQL_VARCHAR.
  for (std::string& l : target) {
    const std::string varchar = "name name (4) type 12 ";
    if (auto at = l.find(varchar); at != std::string::npos) l.replace(at, varchar.size(), "name name (4) type 1 ");
  }
  EXPECT_EQ(joined(data_lines(direct)), joined(data_lines(target)));

  // The driver's walk starts over after "no more records".
  EXPECT_TRUE(has_line(direct, "bad: again rc 0 state S1000near \"SELEC\": syntax error (1)")) << joined(direct);
  EXPECT_TRUE(has_line(direct, "scroll: again rc 0 state S1107Row value out of range")) << joined(direct);
  for (const auto* run : {&direct, &managed}) {
    const std::vector<std::string>& l = *run;
    SCOPED_TRACE(joined(l));
    EXPECT_TRUE(has_line(l, "autocommit rc 0 value 0"));
    EXPECT_TRUE(has_line(l, "select: column 3 name born (4) type 11 nullable 1"));
    EXPECT_TRUE(has_line(l, "select: columns 3, SQL_COLUMN_COUNT rc 0 value 3"));
    EXPECT_TRUE(has_line(l, "select: row 1 Ada 1815-12-10 08:30:00"));
    EXPECT_TRUE(has_line(l, "limited: row 1 Ada 1815-12-10 08:30:00"));
    EXPECT_FALSE(has_line(l, "limited: row 2 Blaise NULL"));
    // The bad statement's record in its ODBC 2 form, then "no more", then the
    // walk starts over with the first record again.
    EXPECT_TRUE(has_line(l, "bad: rc 0 state S1000"));
    EXPECT_TRUE(has_line(l, "bad: no more records, state 00000, message \"\""));
    EXPECT_TRUE(has_line(l, "scroll: rc 0 state S1107"));
    EXPECT_TRUE(has_line(l, "concurrency: rc 0 state S1108"));
    EXPECT_TRUE(has_line(l, "scroll forward only rc 0"));
    EXPECT_TRUE(has_line(l, "param options 0"));
    EXPECT_TRUE(has_line(l, "after rollback: fetch ended with 100"));
    EXPECT_FALSE(has_line(l, "after rollback: row 99 gone NULL"));
    EXPECT_TRUE(has_line(l, "free env 0"));
  }
}

TEST_F(Odbc2E2e, BrowseInThreeStepsAndFromADsn) { run_child("BrowseInThreeStepsAndFromADsn"); }
TEST_F(Odbc2E2e, BrowseWithAWrongServerOrAMissingAttributeStartsOver) {
  run_child("BrowseWithAWrongServerOrAMissingAttributeStartsOver");
}
TEST_F(Odbc2E2e, TwoConnectionsBrowseSideBySide) { run_child("TwoConnectionsBrowseSideBySide"); }
TEST_F(Odbc2E2e, DriverCutsBrowseResultsAndClosesTheLinkOfAFailedFirstCall) {
  run_child("DriverCutsBrowseResultsAndClosesTheLinkOfAFailedFirstCall");
}

}  // namespace
}  // namespace kyvek::e2e

namespace kyvek::e2e {
namespace {

class Odbc2EmptyServerE2e : public ::testing::Test {
 protected:
  static Options options() {
    Options o;
    o.server_dsn = false;
    return o;
  }
  Odbc2EmptyServerE2e() : fx_(options()) {}
  Fixture fx_;
};

TEST_F(Odbc2EmptyServerE2e, NoDataSourcesEndTheBrowse) {
  if (in_child()) GTEST_SKIP();
  ASSERT_TRUE(fx_.start_server()) << Fixture::read_file(fx_.server().err);
  fx_.set_env("KYVEK_E2E_CHILD", "1");
  fx_.set_env("KYVEK_E2E_PORT", fx_.port_text());
  fx_.set_env("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1");
  Process child = fx_.spawn("/proc/self/exe", {"--gtest_filter=Child.NoDataSourcesEndTheBrowse"}, -1, "child");
  int status = Fixture::wait(child, 180000);
  std::string out = Fixture::read_file(child.out);
  EXPECT_EQ(status, 0) << out << Fixture::read_file(child.err);
  EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
}

}  // namespace
}  // namespace kyvek::e2e
