// What a program written for its target driver passes besides SQL: target
// driver options in the connection string (passed on where the server's
// setting TargetKeywords lists them, left out with 01S00 and an audit line
// where it does not) and driver-defined connection and statement attributes,
// through the bridge against the same calls made straight on psqlODBC and
// SQLite.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstring>
#include <sstream>
#include <string>

#include "diag_reader.h"
#include "e2e_fixture.h"
#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

// The world's server with TargetKeywords set for one test (the server reads
// the setting for each connection).
class TargetKeywords {
 public:
  explicit TargetKeywords(const std::string& names) { World::get()->fixture().set_setting("TargetKeywords", names); }
  ~TargetKeywords() { World::get()->fixture().set_setting("TargetKeywords", ""); }
};

class DriverOptionsE2e : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(World::get(), nullptr); }
  void need_pg() {
    if (!World::get()->has_pg()) FAIL() << "PostgreSQL and psqlODBC are needed (scripts/install-deps)";
  }
};

// The first column of a query: its described type and size, its octet length,
// and every row as text.
std::string column_transcript(Conn& c, const std::string& sql) {
  std::ostringstream o;
  Stmt st(c);
  o << st.run(sql);
  SQLCHAR name[64] = {};
  SQLSMALLINT name_len = 0, type = 0, digits = 0, nullable = 0;
  SQLULEN size = 0;
  SQLLEN octets = 0;
  SQLDescribeCol(st.h, 1, name, sizeof name, &name_len, &type, &size, &digits, &nullable);
  SQLColAttribute(st.h, 1, SQL_DESC_OCTET_LENGTH, nullptr, 0, nullptr, &octets);
  o << " name=" << name << " type=" << type << " size=" << size << " octets=" << octets;
  SQLRETURN rc;
  while (SQL_SUCCEEDED(rc = SQLFetch(st.h))) {
    char buf[256] = {};
    SQLLEN ind = 0;
    SQLGetData(st.h, 1, SQL_C_CHAR, buf, sizeof buf, &ind);
    o << " [" << (ind == SQL_NULL_DATA ? "NULL" : buf) << "]";
  }
  return o.str();
}

// The two psqlODBC connection attributes of the report (fetch size and parse
// option), set and read back, and a driver-defined statement attribute.
std::string pg_attrs_transcript(Conn& c, const std::string&) {
  std::ostringstream o;
  SQLHDBC dbc = c.dbc();
  o << "set 65541 " << outcome(SQLSetConnectAttr(dbc, 65541, (SQLPOINTER)10000, SQL_IS_INTEGER), SQL_HANDLE_DBC, dbc)
    << "\n";
  o << "set 65549 " << outcome(SQLSetConnectAttr(dbc, 65549, (SQLPOINTER)1, SQL_IS_INTEGER), SQL_HANDLE_DBC, dbc)
    << "\n";
  for (SQLINTEGER attr : {65541, 65549}) {
    SQLINTEGER v = -1;
    SQLRETURN rc = SQLGetConnectAttr(dbc, attr, &v, SQL_IS_INTEGER, nullptr);
    o << "get " << attr << " " << outcome(rc, SQL_HANDLE_DBC, dbc) << " " << v << "\n";
  }
  Stmt st(c);
  o << "stmt set 65541 "
    << outcome(SQLSetStmtAttr(st.h, 65541, (SQLPOINTER)5, SQL_IS_INTEGER), SQL_HANDLE_STMT, st.h) << "\n";
  o << column_transcript(c, "SELECT generate_series(1, 3)") << "\n";
  return o.str();
}

TEST_F(DriverOptionsE2e, PsqlodbcDriverAttributesSetAndReadBackAsDirect) {
  need_pg();
  compare_direct_and_bridge(World::pg_direct(), World::pg_bridge(), pg_attrs_transcript, "pg");
}

// Set before connect: the target hears of it before its own connect, as directly.
TEST_F(DriverOptionsE2e, PsqlodbcDriverAttributeSetBeforeConnectAsDirect) {
  need_pg();
  auto run = [](const std::string& connect) {
    SQLHENV env = nullptr;
    SQLHDBC dbc = nullptr;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
    std::ostringstream o;
    o << "set " << outcome(SQLSetConnectAttr(dbc, 65549, (SQLPOINTER)1, SQL_IS_INTEGER), SQL_HANDLE_DBC, dbc);
    SQLRETURN rc =
        SQLDriverConnect(dbc, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT);
    o << " connect " << outcome(rc, SQL_HANDLE_DBC, dbc);
    SQLINTEGER v = -1;
    o << " get " << outcome(SQLGetConnectAttr(dbc, 65549, &v, SQL_IS_INTEGER, nullptr), SQL_HANDLE_DBC, dbc) << " "
      << v;
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return o.str();
  };
  const std::string direct = run(World::pg_direct());
  EXPECT_EQ(direct, run(World::pg_bridge()));
  EXPECT_NE(direct.find("connect rc=0 get rc=0 "), std::string::npos) << direct;
}

// What only the bridge decides: the width a read asks for, and a pointer that
// cannot reach the server.
TEST_F(DriverOptionsE2e, DriverAttributeWidthsAndPointers) {
  need_pg();
  SQLHENV env = nullptr;
  SQLHDBC dbc = nullptr;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  const std::string bridge = World::pg_bridge();
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLDriverConnect(dbc, nullptr, (SQLCHAR*)bridge.c_str(), SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT)))
      << outcome(SQL_ERROR, SQL_HANDLE_DBC, dbc);
  EXPECT_EQ(SQLSetConnectAttr(dbc, 65541, (SQLPOINTER)777, SQL_IS_INTEGER), SQL_SUCCESS);
  // Read back in four bytes, then in two: the bytes beyond stay as they were.
  unsigned char wide[8];
  std::memset(wide, 0xAB, sizeof wide);
  SQLINTEGER len = -1;
  EXPECT_EQ(SQLGetConnectAttr(dbc, 65541, wide, SQL_IS_INTEGER, &len), SQL_SUCCESS);
  SQLINTEGER four = 0;
  std::memcpy(&four, wide, sizeof four);
  EXPECT_EQ(four, 777);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(wide[4], 0xAB);
  std::memset(wide, 0xAB, sizeof wide);
  EXPECT_EQ(SQLGetConnectAttr(dbc, 65541, wide, SQL_IS_SMALLINT, &len), SQL_SUCCESS);
  SQLSMALLINT two = 0;
  std::memcpy(&two, wide, sizeof two);
  EXPECT_EQ(two, 777);
  EXPECT_EQ(len, 2);
  EXPECT_EQ(wide[2], 0xAB);
  // A pointer means nothing on the server: refused, and the text says why.
  SQLINTEGER local = 5;
  EXPECT_EQ(SQLSetConnectAttr(dbc, 65549, &local, SQL_IS_POINTER), SQL_ERROR);
  auto records = kytest::diag_records(SQL_HANDLE_DBC, dbc);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].state, "HY092");
  EXPECT_NE(records[0].message.find("SQL_IS_POINTER"), std::string::npos) << records[0].message;
  SQLHSTMT st = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  EXPECT_EQ(SQLSetStmtAttr(st, 65549, &local, SQL_LEN_BINARY_ATTR(4)), SQL_ERROR);
  records = kytest::diag_records(SQL_HANDLE_STMT, st);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records[0].state, "HY092");
  SQLFreeHandle(SQL_HANDLE_STMT, st);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
}

struct OptionCase {
  std::string option;  // appended to the connection string
  std::string sql;     // whose first column shows the option's effect
};

// Each allowed option gives through the bridge what it gives directly, and
// changes something against a run without it.
void expect_as_direct(const std::string& direct, const std::string& bridge, const OptionCase& k) {
  SCOPED_TRACE(k.option);
  auto run = [&](const std::string& connect) {
    Conn c(connect);
    EXPECT_TRUE(c.ok()) << c.error();
    return c.connected() + " " + column_transcript(c, k.sql);
  };
  const std::string with = run(direct + k.option);
  EXPECT_EQ(with, run(bridge + k.option));
  EXPECT_NE(with, run(direct)) << "the option changes nothing";
}

TEST_F(DriverOptionsE2e, ListedTargetOptionsActAsDirectOnPsqlodbc) {
  need_pg();
  TargetKeywords allow("MaxVarcharSize, pqopt ,BOOLSASCHAR, UseDeclareFetch, Fetch, TextAsLongVarchar");
  const OptionCase cases[] = {
      {"MaxVarcharSize=100;", "SELECT CAST('abc' AS varchar)"},
      {"pqopt={application_name=kyvek_opt};", "SELECT current_setting('application_name')"},
      {"BoolsAsChar=0;", "SELECT true"},
      {"TextAsLongVarchar=0;", "SELECT CAST('t' AS text)"},
  };
  for (const OptionCase& k : cases) expect_as_direct(World::pg_direct(), World::pg_bridge(), k);
  // Rows fetched through a cursor one at a time arrive as they do directly.
  Conn direct(World::pg_direct() + "UseDeclareFetch=1;Fetch=1;");
  Conn bridge(World::pg_bridge() + "UseDeclareFetch=1;Fetch=1;");
  EXPECT_EQ(bridge.connected(), "rc=0");
  EXPECT_EQ(column_transcript(direct, "SELECT generate_series(1, 5)"),
            column_transcript(bridge, "SELECT generate_series(1, 5)"));
}

TEST_F(DriverOptionsE2e, ListedTargetOptionsActAsDirectOnSqlite) {
  TargetKeywords allow("LongNames");
  expect_as_direct(World::direct(), World::bridge(),
                   {"LongNames=1;", "SELECT kvlong.a FROM (SELECT 1 AS a) AS kvlong"});
}

// An option the setting does not list is left out: the connection goes on
// with 01S00 naming it and the setting, and the server writes an audit line.
TEST_F(DriverOptionsE2e, UnlistedTargetOptionsAreLeftOutWithAWarningAndAnAuditLine) {
  need_pg();
  TargetKeywords allow("MaxVarcharSize");
  Conn c(World::pg_bridge() + "MaxVarcharSize=100;UseDeclareFetch=1;CX=1;");
  ASSERT_TRUE(c.ok()) << c.error();
  EXPECT_EQ(c.connected(), "rc=1 01S00");
  std::string message;
  for (const auto& r : kytest::diag_records(SQL_HANDLE_DBC, c.dbc()))
    if (r.state == "01S00") message = r.message;
  EXPECT_NE(message.find("USEDECLAREFETCH, CX"), std::string::npos) << message;
  EXPECT_NE(message.find("TargetKeywords"), std::string::npos) << message;
  EXPECT_EQ(message.find("MAXVARCHARSIZE"), std::string::npos) << message;
  // The listed option took effect all the same.
  Conn direct(World::pg_direct() + "MaxVarcharSize=100;");
  EXPECT_EQ(column_transcript(c, "SELECT CAST('abc' AS varchar)"),
            column_transcript(direct, "SELECT CAST('abc' AS varchar)"));
  const std::string audit =
      Fixture::read_file(World::get()->fixture().dir() / "log" / "kyvek_access.log");
  EXPECT_NE(audit.find("REFUSED_CONNECT_KEYWORD 127.0.0.1(USEDECLAREFETCH)"), std::string::npos) << audit;
  EXPECT_NE(audit.find("REFUSED_CONNECT_KEYWORD 127.0.0.1(CX)"), std::string::npos) << audit;
}

}  // namespace
}  // namespace kyvek::e2e
