// Typed parameter values end to end, straight on the target and through the
// bridge: values sent at execution with SQLPutData as C types that travel in
// typed procedures of their own (float, double, time, intervals), and
// SQLDescribeParam with the driver's cache of parameter descriptions (filled by
// SQLPrepare in an ODBC 3 environment, asked of the server in an ODBC 2 one).
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

enum class Target { kPostgres, kSqlite };

class TypedParamsE2e : public ::testing::TestWithParam<Target> {
 protected:
  void SetUp() override {
    ASSERT_NE(World::get(), nullptr);
    if (pg()) {
      ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
      set_dialect(postgres_dialect());
    } else {
      set_dialect(sqlite_dialect());
    }
  }
  void TearDown() override { set_dialect(sqlite_dialect()); }
  bool pg() const { return GetParam() == Target::kPostgres; }

  // The transcript straight on the target and through the bridge must agree.
  template <class F>
  void compare(F&& workload, long odbc_version = SQL_OV_ODBC3) {
    std::string a, b;
    {
      Conn c(pg() ? World::pg_direct() : World::direct(), odbc_version);
      ASSERT_TRUE(c.ok()) << c.error();
      a = workload(c);
    }
    {
      Conn c(pg() ? World::pg_bridge() : World::bridge(), odbc_version);
      ASSERT_TRUE(c.ok()) << c.error();
      b = workload(c);
    }
    EXPECT_EQ(a, b);
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
  }
};

std::string rc_of(SQLRETURN rc, SQLHSTMT h) { return outcome(rc, SQL_HANDLE_STMT, h); }

// One row per round: every value goes at execution, each with its own C type.
std::string put_data_transcript(Conn& c, bool pg) {
  std::ostringstream o;
  c.exec("DROP TABLE tp_put");
  const std::string interval = pg ? "INTERVAL" : "TEXT";
  o << "create "
    << c.exec("CREATE TABLE tp_put (i INTEGER, f REAL, d " + dialect().dbl + ", t TIME, ds " + interval + ", ym " +
              interval + ")")
    << "\n";
  struct Row {
    SQLINTEGER i;
    float f;
    double d;
    SQL_TIME_STRUCT t;
    SQL_INTERVAL_STRUCT ds, ym;
  };
  auto day_second = [](SQLUINTEGER day, SQLUINTEGER hour, SQLUINTEGER minute, SQLUINTEGER second, bool negative) {
    SQL_INTERVAL_STRUCT v{};
    v.interval_type = SQL_IS_DAY_TO_SECOND;
    v.interval_sign = negative ? SQL_TRUE : SQL_FALSE;
    v.intval.day_second = {day, hour, minute, second, 0};
    return v;
  };
  auto year_month = [](SQLUINTEGER year, SQLUINTEGER month) {
    SQL_INTERVAL_STRUCT v{};
    v.interval_type = SQL_IS_YEAR_TO_MONTH;
    v.intval.year_month = {year, month};
    return v;
  };
  const Row rows[] = {
      {1, 1.5f, 2.25, {13, 45, 30}, day_second(3, 4, 5, 6, false), year_month(2, 7)},
      {2, -0.125f, -1234567.875, {0, 0, 0}, day_second(0, 23, 59, 59, true), year_month(0, 11)},
      {3, 3.0e10f, 1.0e-300, {23, 59, 59}, day_second(400, 0, 0, 1, false), year_month(100, 0)},
  };
  for (const Row& r : rows) {
    Stmt st(c);
    SQLLEN dae = SQL_DATA_AT_EXEC;
    const SQLSMALLINT c_types[] = {SQL_C_SLONG, SQL_C_FLOAT, SQL_C_DOUBLE, SQL_C_TYPE_TIME,
                                   SQL_C_INTERVAL_DAY_TO_SECOND, SQL_C_INTERVAL_YEAR_TO_MONTH};
    const SQLSMALLINT sql_types[] = {SQL_INTEGER, SQL_REAL, SQL_DOUBLE, SQL_TYPE_TIME,
                                     static_cast<SQLSMALLINT>(pg ? SQL_INTERVAL_DAY_TO_SECOND : SQL_VARCHAR),
                                     static_cast<SQLSMALLINT>(pg ? SQL_INTERVAL_YEAR_TO_MONTH : SQL_VARCHAR)};
    for (SQLUSMALLINT k = 0; k < 6; ++k)
      o << "bind " << k + 1 << " "
        << rc_of(SQLBindParameter(st.h, k + 1, SQL_PARAM_INPUT, c_types[k], sql_types[k], 30, 0,
                                  reinterpret_cast<SQLPOINTER>(static_cast<intptr_t>(k + 1)), 0, &dae),
                 st.h)
        << "\n";
    SQLRETURN rc = SQLExecDirect(st.h, (SQLCHAR*)"INSERT INTO tp_put VALUES (?,?,?,?,?,?)", SQL_NTS);
    o << "exec " << rc_of(rc, st.h) << "\n";
    SQLPOINTER token = nullptr;
    while ((rc = SQLParamData(st.h, &token)) == SQL_NEED_DATA) {
      const auto which = reinterpret_cast<intptr_t>(token);
      Row v = r;
      void* p = nullptr;
      switch (which) {
        case 1: p = &v.i; break;
        case 2: p = &v.f; break;
        case 3: p = &v.d; break;
        case 4: p = &v.t; break;
        case 5: p = &v.ds; break;
        default: p = &v.ym; break;
      }
      o << "need " << which << " put " << rc_of(SQLPutData(st.h, p, 0), st.h) << "\n";
    }
    o << "paramdata " << rc_of(rc, st.h) << "\n";
  }
  // A null value at execution for each typed procedure.
  {
    Stmt st(c);
    SQLLEN dae = SQL_DATA_AT_EXEC;
    SQLINTEGER four = 4;
    SQLLEN four_len = 0;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &four, 0, &four_len);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_FLOAT, SQL_REAL, 0, 0, reinterpret_cast<SQLPOINTER>(2), 0, &dae);
    SQLBindParameter(st.h, 3, SQL_PARAM_INPUT, SQL_C_TYPE_TIME, SQL_TYPE_TIME, 8, 0, reinterpret_cast<SQLPOINTER>(3),
                     0, &dae);
    o << "exec null "
      << rc_of(SQLExecDirect(st.h, (SQLCHAR*)"INSERT INTO tp_put (i, f, t) VALUES (?,?,?)", SQL_NTS), st.h) << "\n";
    SQLPOINTER token = nullptr;
    SQLRETURN rc;
    while ((rc = SQLParamData(st.h, &token)) == SQL_NEED_DATA)
      o << "need " << reinterpret_cast<intptr_t>(token) << " put "
        << rc_of(SQLPutData(st.h, nullptr, SQL_NULL_DATA), st.h) << "\n";
    o << "paramdata " << rc_of(rc, st.h) << "\n";
  }
  o << rows_as_text(c, "SELECT i, f, d, t, ds, ym FROM tp_put ORDER BY i");
  return o.str();
}

TEST_P(TypedParamsE2e, PutDataOfFloatDoubleTimeAndIntervals) {
  compare([&](Conn& c) { return put_data_transcript(c, pg()); });
}

// Every parameter of a prepared statement described, with the number 0 and one
// past the count, then the statement prepared again with other parameters (a
// cache must not answer for the statement before).
std::string describe_param_transcript(Conn& c) {
  std::ostringstream o;
  c.exec("DROP TABLE tp_desc");
  o << "create "
    << c.exec("CREATE TABLE tp_desc (i INTEGER, s SMALLINT, v VARCHAR(17), n NUMERIC(9,3), d " + dialect().dbl +
              ", dt DATE)")
    << "\n";
  Stmt st(c);
  auto describe_all = [&](const char* sql) {
    o << "prepare " << rc_of(SQLPrepare(st.h, (SQLCHAR*)sql, SQL_NTS), st.h) << "\n";
    SQLSMALLINT count = -1;
    o << "numparams " << rc_of(SQLNumParams(st.h, &count), st.h) << " " << count << "\n";
    for (SQLUSMALLINT n = 0; n <= static_cast<SQLUSMALLINT>(count + 1); ++n) {
      SQLSMALLINT type = -99, digits = -99, nullable = -99;
      SQLULEN size = 12345;
      SQLRETURN rc = SQLDescribeParam(st.h, n, &type, &size, &digits, &nullable);
      o << "describe " << n << " " << rc_of(rc, st.h);
      if (SQL_SUCCEEDED(rc)) o << " type=" << type << " size=" << size << " digits=" << digits << " null=" << nullable;
      o << "\n";
    }
    // Each output is written only when asked for.
    SQLSMALLINT type = -99;
    o << "describe type only " << rc_of(SQLDescribeParam(st.h, 1, &type, nullptr, nullptr, nullptr), st.h) << " "
      << type << "\n";
  };
  describe_all("INSERT INTO tp_desc (i, s, v, n, d, dt) VALUES (?, ?, ?, ?, ?, ?)");
  describe_all("SELECT i FROM tp_desc WHERE v = ? AND i > ?");
  // Executed with bound values after describing: the description changed nothing.
  SQLCHAR text[] = "x";
  SQLINTEGER zero = 0;
  SQLLEN nts = SQL_NTS, ilen = 0;
  SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 17, 0, text, 0, &nts);
  SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &zero, 0, &ilen);
  o << "execute " << rc_of(SQLExecute(st.h), st.h) << "\n";
  return o.str();
}

TEST_P(TypedParamsE2e, DescribeParamOdbc3AndOdbc2) {
  compare(describe_param_transcript, SQL_OV_ODBC3);
  compare(describe_param_transcript, SQL_OV_ODBC2);
}

INSTANTIATE_TEST_SUITE_P(Targets, TypedParamsE2e, ::testing::Values(Target::kSqlite, Target::kPostgres),
                         [](const ::testing::TestParamInfo<Target>& i) {
                           return i.param == Target::kPostgres ? "PostgreSQL" : "SQLite";
                         });

}  // namespace
}  // namespace kyvek::e2e
