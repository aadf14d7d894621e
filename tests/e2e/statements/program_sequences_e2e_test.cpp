// Call sequences of programs written for a real driver, second round:
// parameters, descriptors and diagnostics. Each sequence runs straight on the
// target and through the bridge, on PostgreSQL through psqlODBC and, where
// the target has the feature, on SQLite; the transcripts (return codes,
// records and their texts without their bracketed prefixes, rows, counts and
// statuses) must be the same both ways.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "diag_reader.h"
#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

enum class Target { kPostgres, kSqlite };

class ProgramSequencesE2e : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(World::get(), nullptr); }
  void TearDown() override { set_dialect(sqlite_dialect()); }

  // Runs the workload straight on the target and through the bridge. A
  // PostgreSQL test fails where the cluster or psqlODBC is missing.
  template <class F>
  void compare(Target t, F&& workload) {
    const bool pg = t == Target::kPostgres;
    if (pg) {
      ASSERT_TRUE(World::get()->has_pg()) << "no PostgreSQL or psqlODBC here";
    }
    set_dialect(pg ? postgres_dialect() : sqlite_dialect());
    std::string a, b;
    {
      Conn c(pg ? World::pg_direct() : World::direct());
      ASSERT_TRUE(c.ok()) << c.error();
      a = workload(c, t);
    }
    {
      Conn c(pg ? World::pg_bridge() : World::bridge());
      ASSERT_TRUE(c.ok()) << c.error();
      b = workload(c, t);
    }
    EXPECT_EQ(a, b);
    if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
  }
};

// A record's text without the vendor prefixes ("[vendor][component]") that
// each layer puts before it.
std::string unprefixed(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && text[at] == '[') {
    const size_t end = text.find(']', at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return text.substr(at);
}

// Every record of a handle: state, native code and text.
std::string records(SQLSMALLINT type, SQLHANDLE h) {
  std::ostringstream o;
  for (const kytest::DiagRecord& r : kytest::diag_records(type, h))
    o << "  " << r.state << " " << r.native << " " << unprefixed(r.message) << "\n";
  return o.str();
}

// The return code, then the record count and the records.
std::string result(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h) {
  std::ostringstream o;
  o << "rc=" << rc;
  if (rc == SQL_SUCCESS || rc == SQL_NEED_DATA || rc == SQL_NO_DATA) return o.str() + "\n";
  SQLINTEGER n = -1;
  SQLGetDiagField(type, h, 0, SQL_DIAG_NUMBER, &n, 0, nullptr);
  o << " records=" << n << "\n" << records(type, h);
  return o.str();
}

std::string statuses(const SQLUSMALLINT* s, size_t n) {
  std::string o;
  for (size_t i = 0; i < n; ++i) o += " " + std::to_string(s[i]);
  return o;
}

// 1. One indicator shared by an integer and a binary parameter: the binary
// length it holds means nothing for the integer.
std::string shared_indicator_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE btest");
  c.exec("CREATE TABLE btest (id integer, t " + dialect().blob + ")");
  static unsigned char buf[5000];
  for (size_t i = 0; i < sizeof buf; ++i) buf[i] = static_cast<unsigned char>(i * 13 + 5);
  Stmt st(c);
  SQLINTEGER longparam = 0;
  SQLLEN cb = 0;
  o << "prepare "
    << result(SQLPrepare(st.h, (SQLCHAR*)"INSERT INTO btest VALUES(?, ?)", SQL_NTS), SQL_HANDLE_STMT, st.h);
  o << "bind 1 "
    << result(SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &longparam, sizeof(longparam),
                               &cb),
              SQL_HANDLE_STMT, st.h);
  o << "bind 2 "
    << result(SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY, 5000, 0, buf, 5000, &cb),
              SQL_HANDLE_STMT, st.h);
  for (int i = 0; i < 100; ++i) {
    longparam = i;
    cb = 4000 + i;
    const SQLRETURN rc = SQLExecute(st.h);
    if (rc != SQL_SUCCESS) o << "execute " << i << " " << result(rc, SQL_HANDLE_STMT, st.h);
  }
  o << rows_as_text(c, "SELECT count(*), min(id), max(id), sum(length(t)), min(length(t)), max(length(t)) FROM btest");
  o << rows_as_text(c, "SELECT id, length(t), " + dialect().hex("substr(t, length(t) - 1, 2)") +
                           " FROM btest WHERE id IN (0, 57, 99) ORDER BY id");
  return o.str();
}

TEST_F(ProgramSequencesE2e, FixedLengthParameterIgnoresAnIndicatorThatHoldsALength) {
  compare(Target::kPostgres, shared_indicator_transcript);
}

TEST_F(ProgramSequencesE2e, FixedLengthParameterIgnoresAnIndicatorThatHoldsALengthOnSqlite) {
  compare(Target::kSqlite, shared_indicator_transcript);
}

// 2. Data at execution for both sets of a parameter array: the processed
// count after the exchange, and one result set per set.
std::string dae_array_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE byteatab");
  c.exec("CREATE TABLE byteatab (id integer, t bytea)");
  c.exec("INSERT INTO byteatab VALUES (1, 'foo'), (2, 'bar'), (3, 'foo'), (4, 'bars'), (5, 'barf')");
  Stmt st(c);
  SQLUSMALLINT status[2] = {99, 99};
  SQLULEN processed = 99;
  SQLLEN cb[2];
  o << "prepare "
    << result(SQLPrepare(st.h, (SQLCHAR*)"SELECT id FROM byteatab WHERE t = ?", SQL_NTS), SQL_HANDLE_STMT, st.h);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(2), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAM_STATUS_PTR, status, 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
  cb[0] = SQL_DATA_AT_EXEC;
  cb[1] = SQL_DATA_AT_EXEC;
  o << "bind "
    << result(SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY, 5, 0,
                               reinterpret_cast<SQLPOINTER>(1), 0, cb),
              SQL_HANDLE_STMT, st.h);
  SQLRETURN rc = SQLExecute(st.h);
  o << "execute " << result(rc, SQL_HANDLE_STMT, st.h);
  const char* values[] = {"foo", "barf", "none"};
  for (int row = 0; rc == SQL_NEED_DATA && row < 6; ++row) {
    SQLPOINTER token = nullptr;
    rc = SQLParamData(st.h, &token);
    if (rc != SQL_NEED_DATA) break;
    o << "token " << reinterpret_cast<SQLLEN>(token) << " processed " << processed << "\n";
    const char* value = values[row < 2 ? row : 2];
    o << " put "
      << result(SQLPutData(st.h, const_cast<char*>(value), static_cast<SQLLEN>(std::strlen(value))), SQL_HANDLE_STMT,
                st.h);
  }
  o << "paramdata " << result(rc, SQL_HANDLE_STMT, st.h);
  o << "processed " << processed << " status" << statuses(status, 2) << "\n";
  for (int set = 1; set <= 3; ++set) {
    SQLINTEGER id = 0;
    SQLLEN idi = 0;
    SQLBindCol(st.h, 1, SQL_C_SLONG, &id, 0, &idi);
    o << "result set " << set << ":";
    while (SQL_SUCCEEDED(rc = SQLFetch(st.h))) o << " " << id;
    o << " (" << rc << ")\n";
    rc = SQLMoreResults(st.h);
    o << "more " << result(rc, SQL_HANDLE_STMT, st.h);
    if (!SQL_SUCCEEDED(rc)) break;
  }
  return o.str();
}

TEST_F(ProgramSequencesE2e, DataAtExecutionWithAParameterArrayGivesEverySet) {
  compare(Target::kPostgres, dae_array_transcript);
}

// 3. A parameter's name set on the IPD, then cleared with a null pointer:
// the next call goes without it.
std::string param_name_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec(
      "CREATE OR REPLACE FUNCTION pr_named(a integer DEFAULT 1, b text DEFAULT 'x') RETURNS text "
      "AS $$ SELECT b || a $$ LANGUAGE sql");
  Stmt st(c);
  char param[21] = "hello";
  SQLLEN ind = SQL_NTS;
  SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 20, 0, param, sizeof param, &ind);
  SQLHDESC ipd = nullptr;
  SQLGetStmtAttr(st.h, SQL_ATTR_IMP_PARAM_DESC, &ipd, 0, nullptr);
  auto fetch_text = [&](const char* what) {
    char v[64] = {};
    SQLLEN vi = 0;
    SQLRETURN rc = SQLFetch(st.h);
    if (SQL_SUCCEEDED(rc)) SQLGetData(st.h, 1, SQL_C_CHAR, v, sizeof v, &vi);
    o << " " << what << " fetch " << result(rc, SQL_HANDLE_STMT, st.h) << " value " << v << "\n";
    SQLFreeStmt(st.h, SQL_CLOSE);
  };
  o << "set name b " << result(SQLSetDescField(ipd, 1, SQL_DESC_NAME, (SQLPOINTER) "b", SQL_NTS), SQL_HANDLE_DESC, ipd);
  o << "call named " << st.run("{ call pr_named(?) }") << "\n";
  fetch_text("named");
  o << "set name null " << result(SQLSetDescField(ipd, 1, SQL_DESC_NAME, nullptr, SQL_NTS), SQL_HANDLE_DESC, ipd);
  o << "call length " << st.run("{ call length(?) }") << "\n";
  fetch_text("length");
  return o.str();
}

TEST_F(ProgramSequencesE2e, DescriptorNameSetToANullPointerIsCleared) {
  compare(Target::kPostgres, param_name_transcript);
}

// 4. A GUID parameter as pyodbc binds a uuid.UUID: the 16-byte structure.
std::string guid_transcript(Conn& c, Target t) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_guid");
  c.exec(t == Target::kPostgres ? "CREATE TABLE pr_guid (k integer, u uuid)"
                                : "CREATE TABLE pr_guid (k integer, u guid)");
  {
    Stmt st(c);
    SQLGUID g = {0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    SQLLEN gi = sizeof g;
    o << "prepare "
      << result(SQLPrepare(st.h, (SQLCHAR*)"INSERT INTO pr_guid VALUES (1, ?)", SQL_NTS), SQL_HANDLE_STMT, st.h);
    o << "bind "
      << result(SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_GUID, SQL_GUID, 16, 0, &g, sizeof g, &gi),
                SQL_HANDLE_STMT, st.h);
    o << "execute " << result(SQLExecute(st.h), SQL_HANDLE_STMT, st.h);
  }
  {
    // An array of three, one of them NULL.
    Stmt st(c);
    SQLGUID g[3] = {{0xFFFFFFFF, 0x0001, 0x8000, {0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10}},
                    {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
                    {0x00000001, 0xFFFF, 0x7FFF, {0, 1, 2, 3, 4, 5, 6, 7}}};
    SQLINTEGER k[3] = {2, 3, 4};
    SQLLEN gi[3] = {16, SQL_NULL_DATA, 16}, ki[3] = {0, 0, 0};
    SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(3), 0);
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, k, 0, ki);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_GUID, SQL_GUID, 16, 0, g, sizeof g[0], gi);
    o << "array "
      << result(SQLExecDirect(st.h, (SQLCHAR*)"INSERT INTO pr_guid VALUES (?, ?)", SQL_NTS), SQL_HANDLE_STMT, st.h);
  }
  o << rows_as_text(c, "SELECT k, u FROM pr_guid ORDER BY k");
  return o.str();
}

TEST_F(ProgramSequencesE2e, GuidParameterReachesTheTarget) { compare(Target::kPostgres, guid_transcript); }

TEST_F(ProgramSequencesE2e, GuidParameterReachesTheTargetOnSqlite) { compare(Target::kSqlite, guid_transcript); }

// 5. A notice of 8,000 characters, read as pyodbc reads messages: a buffer
// of 1,024 characters, read again with a larger one when the text is longer.
std::string long_notice_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec(
      "CREATE OR REPLACE FUNCTION pr_notice() RETURNS integer AS $$ BEGIN "
      "RAISE NOTICE '%', repeat('0123456789', 799) || 'The end.'; RETURN 1; END $$ LANGUAGE plpgsql");
  Stmt st(c);
  const SQLRETURN rc = SQLExecDirect(st.h, (SQLCHAR*)"SELECT pr_notice()", SQL_NTS);
  o << "select rc=" << rc << "\n";
  size_t total = 0;
  for (SQLSMALLINT i = 1; i < 64; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT len = 0;
    std::vector<SQLCHAR> msg(1024);
    SQLRETURN r =
        SQLGetDiagRec(SQL_HANDLE_STMT, st.h, i, state, &native, msg.data(), static_cast<SQLSMALLINT>(msg.size()), &len);
    if (!SQL_SUCCEEDED(r)) break;
    if (len > static_cast<SQLSMALLINT>(msg.size()) - 1) {
      msg.resize(static_cast<size_t>(len) + 1);
      r = SQLGetDiagRec(SQL_HANDLE_STMT, st.h, i, state, &native, msg.data(), static_cast<SQLSMALLINT>(msg.size()),
                        &len);
    }
    const std::string text = unprefixed(reinterpret_cast<char*>(msg.data()));
    total += text.size();
    o << "record " << i << " rc=" << r << " " << state << " " << native << " " << text << "\n";
  }
  o << "characters " << total << "\n";
  return o.str();
}

TEST_F(ProgramSequencesE2e, LongNoticeIsDeliveredWholeWithNoInventedRecord) {
  compare(Target::kPostgres, long_notice_transcript);
}

// 6 and 7. Failed connection attribute calls: each record once, and none
// left from an earlier call.
std::string connect_attr_transcript(Conn& c, Target t) {
  std::ostringstream o;
  SQLHDBC dbc = c.dbc();
  char buf[256] = {};
  SQLINTEGER len = 0;
  o << "get unknown " << result(SQLGetConnectAttr(dbc, 12345, buf, sizeof buf, &len), SQL_HANDLE_DBC, dbc);
  o << "get again " << result(SQLGetConnectAttr(dbc, 12345, buf, sizeof buf, &len), SQL_HANDLE_DBC, dbc);
  o << "set autocommit 7 "
    << result(SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(7), SQL_IS_UINTEGER),
              SQL_HANDLE_DBC, dbc);
  SQLUINTEGER v = 0;
  o << "get autocommit " << result(SQLGetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT, &v, 0, nullptr), SQL_HANDLE_DBC, dbc);
  if (t == Target::kPostgres) {
    // Refused: the bridge does not pass this attribute on, the target does
    // not know it. Either way one record, of this call.
    SQLGetConnectAttr(dbc, 12345, buf, sizeof buf, &len);
    const SQLRETURN rc = SQLSetConnectAttr(dbc, 12345, reinterpret_cast<SQLPOINTER>(1), SQL_IS_INTEGER);
    SQLINTEGER n = -1;
    SQLGetDiagField(SQL_HANDLE_DBC, dbc, 0, SQL_DIAG_NUMBER, &n, 0, nullptr);
    const std::vector<kytest::DiagRecord> r = kytest::diag_records(SQL_HANDLE_DBC, dbc);
    o << "set unknown rc=" << rc << " records=" << n << " read " << r.size();
    for (const kytest::DiagRecord& d : r)
      if (d.message.find("(Get)") != std::string::npos) o << " stale " << d.state;
    o << "\n";
  }
  return o.str();
}

TEST_F(ProgramSequencesE2e, FailedConnectionAttributeCallListsEachRecordOnce) {
  compare(Target::kPostgres, connect_attr_transcript);
}

TEST_F(ProgramSequencesE2e, FailedConnectionAttributeCallListsEachRecordOnceOnSqlite) {
  compare(Target::kSqlite, connect_attr_transcript);
}

// 8. A parameter array with one row that breaks a constraint: the status
// array and the processed count as the target reports them. Where the target
// writes no status, an entry may read SQL_PARAM_DIAG_UNAVAILABLE instead of
// what the application left there, and never SQL_PARAM_SUCCESS.
// The statuses, "-" where the target wrote none.
std::string known_statuses(const SQLUSMALLINT (&status)[5]) {
  std::string o;
  for (SQLUSMALLINT s : status) o += " " + (s == 99 || s == SQL_PARAM_DIAG_UNAVAILABLE ? "-" : std::to_string(s));
  return o;
}

std::string failed_array_transcript(Conn& c, Target) {
  std::ostringstream o;
  c.exec("DROP TABLE pr_arr");
  c.exec("CREATE TABLE pr_arr (i integer primary key)");
  c.exec("INSERT INTO pr_arr VALUES (3)");
  Stmt st(c);
  SQLUSMALLINT status[5] = {99, 99, 99, 99, 99};
  SQLULEN processed = 77;
  SQLINTEGER vals[5] = {1, 2, 3, 4, 5};
  SQLLEN inds[5] = {0, 0, 0, 0, 0};
  o << "prepare "
    << result(SQLPrepare(st.h, (SQLCHAR*)"INSERT INTO pr_arr VALUES (?)", SQL_NTS), SQL_HANDLE_STMT, st.h);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(5), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAM_STATUS_PTR, status, 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
  SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, vals, 0, inds);
  o << "execute " << result(SQLExecute(st.h), SQL_HANDLE_STMT, st.h);
  o << "processed " << processed << " status" << known_statuses(status) << "\n";
  // The same statement again with every row new.
  for (SQLINTEGER& v : vals) v += 10;
  std::fill(std::begin(status), std::end(status), 99);
  processed = 77;
  o << "execute again " << result(SQLExecute(st.h), SQL_HANDLE_STMT, st.h);
  o << "processed " << processed << " status" << known_statuses(status) << "\n";
  o << rows_as_text(c, "SELECT count(*) FROM pr_arr");
  return o.str();
}

TEST_F(ProgramSequencesE2e, FailedParameterArrayReportsItsStatusesAndCount) {
  compare(Target::kPostgres, failed_array_transcript);
}

TEST_F(ProgramSequencesE2e, FailedParameterArrayReportsItsStatusesAndCountOnSqlite) {
  compare(Target::kSqlite, failed_array_transcript);
}

}  // namespace
}  // namespace kyvek::e2e
