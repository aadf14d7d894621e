// Descriptors end to end on PostgreSQL (psqlODBC; the SQLite driver has no
// descriptor functions): field families read and set, binding through
// descriptor fields, a bound row descriptor copied to one of the
// application's own and fetched through, and an application's parameter
// descriptor with an array of parameters; straight and through the bridge,
// transcript for transcript.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>

#include "odbc_compare.h"
#include "world.h"

namespace kyvek::e2e {
namespace {

SQLHDESC stmt_desc(SQLHSTMT h, SQLINTEGER attr) {
  SQLHDESC d = nullptr;
  SQLGetStmtAttr(h, attr, &d, 0, nullptr);
  return d;
}

// A small integer field, read into a zeroed wide buffer: psqlODBC writes four
// bytes for fields ODBC gives as SQLSMALLINT, which would overwrite the
// variable next to a two-byte one.
SQLRETURN get_small(SQLHDESC d, SQLSMALLINT n, SQLSMALLINT field, SQLSMALLINT* out) {
  SQLLEN wide = 0;
  SQLRETURN rc = SQLGetDescField(d, n, field, &wide, SQL_IS_SMALLINT, nullptr);
  *out = static_cast<SQLSMALLINT>(wide);
  return rc;
}

// A descriptor record as SQLGetDescRec gives it, when the driver has the
// function; else the same fields read one by one (SQLGetDescField), as ODBC
// defines SQLGetDescRec, so that the two roads print the same line (return
// codes only: psqlODBC posts no 01004 for a cut name).
std::string desc_rec_line(SQLHDESC d, SQLSMALLINT n, SQLSMALLINT cap, bool records) {
  char name[64] = {};
  SQLSMALLINT nl = -1, type = -1, sub = -1, precision = -1, scale = -1, nullable = -1;
  SQLLEN length = -1;
  std::string rc;
  if (records) {
    rc = "rc=" + std::to_string(SQLGetDescRec(d, n, (SQLCHAR*)name, cap, &nl, &type, &sub, &length, &precision, &scale,
                                              &nullable));
  } else {
    SQLSMALLINT count = 0;
    get_small(d, 0, SQL_DESC_COUNT, &count);
    if (n > count) {
      rc = "rc=100";
    } else {
      SQLINTEGER got = -1;
      rc = "rc=" + std::to_string(SQLGetDescField(d, n, SQL_DESC_NAME, name, cap, &got));
      length = 0;  // a driver may write only 32 bits of it
      nl = static_cast<SQLSMALLINT>(got);
      get_small(d, n, SQL_DESC_TYPE, &type);
      get_small(d, n, SQL_DESC_DATETIME_INTERVAL_CODE, &sub);
      SQLGetDescField(d, n, SQL_DESC_OCTET_LENGTH, &length, 0, nullptr);
      get_small(d, n, SQL_DESC_PRECISION, &precision);
      get_small(d, n, SQL_DESC_SCALE, &scale);
      get_small(d, n, SQL_DESC_NULLABLE, &nullable);
    }
  }
  std::ostringstream o;
  o << "rec " << n << " " << rc;
  if (rc.rfind("rc=100", 0) != 0)
    o << " " << name << "/" << nl << " " << type << " " << sub << " " << length << " " << precision << " " << scale
      << " " << nullable;
  return o.str() + "\n";
}

// SQLSetDescRec when the driver has it; else the fields it sets, in the order
// ODBC gives.
std::string set_desc_rec(SQLHDESC d, SQLSMALLINT n, SQLSMALLINT type, SQLLEN length, SQLPOINTER data, SQLLEN* octets,
                         SQLLEN* ind, bool records) {
  if (records) return outcome(SQLSetDescRec(d, n, type, 0, length, 0, 0, data, octets, ind), SQL_HANDLE_DESC, d);
  SQLRETURN rc = SQLSetDescField(d, n, SQL_DESC_TYPE, (SQLPOINTER)(SQLLEN)type, 0);
  if (SQL_SUCCEEDED(rc)) rc = SQLSetDescField(d, n, SQL_DESC_OCTET_LENGTH, (SQLPOINTER)length, 0);
  if (SQL_SUCCEEDED(rc)) rc = SQLSetDescField(d, n, SQL_DESC_OCTET_LENGTH_PTR, octets, 0);
  if (SQL_SUCCEEDED(rc)) rc = SQLSetDescField(d, n, SQL_DESC_INDICATOR_PTR, ind, 0);
  if (SQL_SUCCEEDED(rc)) rc = SQLSetDescField(d, n, SQL_DESC_DATA_PTR, data, 0);
  return outcome(rc, SQL_HANDLE_DESC, d);
}

// Whether the connection's driver claims the descriptor record functions
// (psqlODBC does not; the bridge does, its server standing in).
bool has_desc_records(Conn& c) {
  SQLUSMALLINT get = SQL_FALSE, set = SQL_FALSE;
  SQLGetFunctions(c.dbc(), SQL_API_SQLGETDESCREC, &get);
  SQLGetFunctions(c.dbc(), SQL_API_SQLSETDESCREC, &set);
  return get == SQL_TRUE && set == SQL_TRUE;
}

std::string desc_transcript(Conn& c, bool records) {
  std::ostringstream o;
  c.exec("DROP TABLE kvd_t");
  c.exec("CREATE TABLE kvd_t (k INTEGER, name VARCHAR(20), amount NUMERIC(10,2))");
  c.exec("INSERT INTO kvd_t VALUES (1, 'eins', 1.50), (2, NULL, NULL), (3, 'drei', -3.25)");

  // Field families of the row descriptors after a query.
  {
    Stmt st(c);
    o << "select " << st.run("SELECT k, name AS label_name, amount FROM kvd_t ORDER BY k") << "\n";
    SQLHDESC ird = stmt_desc(st.h, SQL_ATTR_IMP_ROW_DESC), ard = stmt_desc(st.h, SQL_ATTR_APP_ROW_DESC);
    SQLSMALLINT count = -1, type = -1, nullable = -1;
    SQLRETURN rc = get_small(ird, 0, SQL_DESC_COUNT, &count);
    o << "ird count " << outcome(rc, SQL_HANDLE_DESC, ird) << " " << count << "\n";
    for (SQLSMALLINT col = 1; col <= 3; ++col) {
      char name[64] = {}, tname[64] = {};
      SQLLEN length = 0, octets = 0;
      SQLINTEGER nl = -1, tl = -1;
      o << "col " << col;
      o << " name " << outcome(SQLGetDescField(ird, col, SQL_DESC_NAME, name, sizeof name, &nl), SQL_HANDLE_DESC, ird)
        << " " << name << "/" << nl;
      o << " type " << outcome(get_small(ird, col, SQL_DESC_CONCISE_TYPE, &type), SQL_HANDLE_DESC, ird) << " " << type;
      o << " length " << outcome(SQLGetDescField(ird, col, SQL_DESC_LENGTH, &length, 0, nullptr), SQL_HANDLE_DESC, ird)
        << " " << length;
      o << " octets "
        << outcome(SQLGetDescField(ird, col, SQL_DESC_OCTET_LENGTH, &octets, 0, nullptr), SQL_HANDLE_DESC, ird) << " "
        << octets;
      o << " nullable " << outcome(get_small(ird, col, SQL_DESC_NULLABLE, &nullable), SQL_HANDLE_DESC, ird) << " "
        << nullable;
      // The return code alone: psqlODBC posts no 01004 for a cut text (the
      // bridge does; BridgeKeepsOdbcRulesWherePsqlodbcDeparts).
      o << " type_name rc=" << SQLGetDescField(ird, col, SQL_DESC_TYPE_NAME, tname, 4, &tl) << " " << tname << "/" << tl
        << "\n";
    }
    for (SQLSMALLINT col = 1; col <= 4; ++col) o << desc_rec_line(ird, col, 64, records);
    o << "cut " << desc_rec_line(ird, 2, 4, records);
    o << "read-only " << outcome(SQLSetDescField(ard, 1, SQL_DESC_NULLABLE, (SQLPOINTER)1, 0), SQL_HANDLE_DESC, ard)
      << "\n";

    // Binding through the row descriptor's fields (key and name), and through
    // SQLSetDescRec (amount as text).
    SQLINTEGER k = 0;
    char name[8] = {}, amount[16] = {};
    SQLLEN k_ind = 0, name_len = 0, name_ind = 0, amount_len = 0;
    o << "bind "
      << outcome(SQLSetDescField(ard, 1, SQL_DESC_CONCISE_TYPE, (SQLPOINTER)SQL_C_LONG, 0), SQL_HANDLE_DESC, ard) << " "
      << outcome(SQLSetDescField(ard, 1, SQL_DESC_INDICATOR_PTR, &k_ind, 0), SQL_HANDLE_DESC, ard) << " "
      << outcome(SQLSetDescField(ard, 1, SQL_DESC_DATA_PTR, &k, 0), SQL_HANDLE_DESC, ard) << "\n";
    o << "bind name "
      << outcome(SQLSetDescField(ard, 2, SQL_DESC_TYPE, (SQLPOINTER)SQL_C_CHAR, 0), SQL_HANDLE_DESC, ard) << " "
      << outcome(SQLSetDescField(ard, 2, SQL_DESC_OCTET_LENGTH, (SQLPOINTER)sizeof name, 0), SQL_HANDLE_DESC, ard)
      << " " << outcome(SQLSetDescField(ard, 2, SQL_DESC_OCTET_LENGTH_PTR, &name_len, 0), SQL_HANDLE_DESC, ard) << " "
      << outcome(SQLSetDescField(ard, 2, SQL_DESC_INDICATOR_PTR, &name_ind, 0), SQL_HANDLE_DESC, ard) << " "
      << outcome(SQLSetDescField(ard, 2, SQL_DESC_DATA_PTR, name, 0), SQL_HANDLE_DESC, ard) << "\n";
    o << "bind amount " << set_desc_rec(ard, 3, SQL_C_CHAR, sizeof amount, amount, &amount_len, &amount_len, records)
      << "\n";
    SQLSMALLINT bound = 0;
    get_small(ard, 0, SQL_DESC_COUNT, &bound);
    o << "ard count " << bound << "\n";
    SQLRETURN f;
    while ((f = SQLFetch(st.h)) == SQL_SUCCESS || f == SQL_SUCCESS_WITH_INFO) {
      o << "  row " << f << " " << k << "/" << k_ind << " " << name << "/" << name_len << "/" << name_ind << " "
        << (amount_len == SQL_NULL_DATA ? "NULL" : amount) << "\n";
      std::memset(name, 0, sizeof name);
      std::memset(amount, 0, sizeof amount);
    }
    o << "  end " << f << "\n";
    o << "count 0 " << outcome(SQLSetDescField(ard, 0, SQL_DESC_COUNT, (SQLPOINTER)0, 0), SQL_HANDLE_DESC, ard);
    get_small(ard, 0, SQL_DESC_COUNT, &bound);
    o << " " << bound << "\n";
  }

  // A bound row descriptor copied to the application's own descriptor, made
  // current on another statement and fetched through.
  {
    Stmt a(c), b(c);
    SQLINTEGER k = 0;
    char name[21] = {};
    SQLLEN k_ind = 0, name_ind = 0;
    SQLBindCol(a.h, 1, SQL_C_LONG, &k, 0, &k_ind);
    SQLBindCol(a.h, 2, SQL_C_CHAR, name, sizeof name, &name_ind);
    SQLHDESC mine = nullptr;
    o << "alloc " << outcome(SQLAllocHandle(SQL_HANDLE_DESC, c.dbc(), &mine), SQL_HANDLE_DBC, c.dbc()) << "\n";
    o << "copy " << outcome(SQLCopyDesc(stmt_desc(a.h, SQL_ATTR_APP_ROW_DESC), mine), SQL_HANDLE_DESC, mine) << "\n";
    o << "use " << outcome(SQLSetStmtAttr(b.h, SQL_ATTR_APP_ROW_DESC, mine, 0), SQL_HANDLE_STMT, b.h) << "\n";
    SQLHDESC back = nullptr;
    SQLGetStmtAttr(b.h, SQL_ATTR_APP_ROW_DESC, &back, 0, nullptr);
    o << "current is mine " << (back == mine) << "\n";
    o << b.run("SELECT k, name FROM kvd_t ORDER BY k DESC") << "\n";
    SQLRETURN f;
    while ((f = SQLFetch(b.h)) == SQL_SUCCESS || f == SQL_SUCCESS_WITH_INFO)
      o << "  row " << k << "/" << k_ind << " " << (name_ind == SQL_NULL_DATA ? "NULL" : name) << "\n";
    o << "  end " << f << "\n";
    SQLFreeStmt(b.h, SQL_CLOSE);
    o << "restore " << outcome(SQLSetStmtAttr(b.h, SQL_ATTR_APP_ROW_DESC, nullptr, 0), SQL_HANDLE_STMT, b.h) << "\n";
    SQLFreeHandle(SQL_HANDLE_DESC, mine);
  }

  // The application's own parameter descriptor with an array of three sets.
  {
    Stmt a(c), b(c);
    SQLHDESC mine = nullptr;
    SQLAllocHandle(SQL_HANDLE_DESC, c.dbc(), &mine);
    o << "copy apd " << outcome(SQLCopyDesc(stmt_desc(a.h, SQL_ATTR_APP_PARAM_DESC), mine), SQL_HANDLE_DESC, mine)
      << "\n";
    o << "use apd " << outcome(SQLSetStmtAttr(b.h, SQL_ATTR_APP_PARAM_DESC, mine, 0), SQL_HANDLE_STMT, b.h) << "\n";
    SQLINTEGER ks[3] = {10, 11, 12};
    char names[3][8] = {"zehn", "elf", ""};
    SQLLEN k_ind[3] = {0, 0, 0}, name_ind[3] = {SQL_NTS, SQL_NTS, SQL_NULL_DATA};
    SQLUSMALLINT status[3] = {9, 9, 9};
    SQLULEN processed = 0;
    SQLSetStmtAttr(b.h, SQL_ATTR_PARAMSET_SIZE, (SQLPOINTER)3, 0);
    SQLSetStmtAttr(b.h, SQL_ATTR_PARAM_STATUS_PTR, status, 0);
    SQLSetStmtAttr(b.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
    o << "bind "
      << outcome(SQLBindParameter(b.h, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 0, 0, ks, 0, k_ind),
                 SQL_HANDLE_STMT, b.h)
      << " "
      << outcome(SQLBindParameter(b.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 20, 0, names, 8, name_ind),
                 SQL_HANDLE_STMT, b.h)
      << "\n";
    SQLULEN size = 0;
    SQLSMALLINT count = 0;
    SQLGetDescField(mine, 0, SQL_DESC_ARRAY_SIZE, &size, 0, nullptr);
    get_small(mine, 0, SQL_DESC_COUNT, &count);
    o << "apd size " << size << " count " << count << "\n";
    o << "insert " << b.run("INSERT INTO kvd_t (k, name) VALUES (?, ?)") << " processed " << processed << " status "
      << status[0] << status[1] << status[2] << "\n";
    SQLFreeHandle(SQL_HANDLE_DESC, mine);
  }
  o << rows_as_text(c, "SELECT k, name, amount FROM kvd_t ORDER BY k");
  return o.str();
}

TEST(DescriptorsE2e, FieldFamiliesCopiesAndApplicationDescriptorsOnPostgres) {
  ASSERT_NE(World::get(), nullptr);
  ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
  set_dialect(postgres_dialect());
  std::string a, b;
  {
    Conn c(World::pg_direct());
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_FALSE(has_desc_records(c));
    a = desc_transcript(c, false);
  }
  {
    Conn c(World::pg_bridge());
    ASSERT_TRUE(c.ok()) << c.error();
    EXPECT_TRUE(has_desc_records(c));
    b = desc_transcript(c, true);
  }
  set_dialect(sqlite_dialect());
  EXPECT_NE(a.find("row 3/4 drei"), std::string::npos) << a;
  EXPECT_NE(a.find("row 0 1/0 eins/4/0 1.50"), std::string::npos) << a;
  EXPECT_EQ(a, b);
  if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
}

// The first SQLSTATE on a handle after a call, or "-".
std::string first_state(SQLSMALLINT type, SQLHANDLE h) {
  SQLCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  SQLCHAR msg[256];
  if (!SQL_SUCCEEDED(SQLGetDiagRec(type, h, 1, state, &native, msg, sizeof msg, &len))) return "-";
  return reinterpret_cast<char*>(state);
}

// Through the bridge only, where psqlODBC departs from ODBC's rules and the
// bridge keeps them: descriptor records, a cut name's warning, the row
// descriptor's count as the highest bound record, and the checks the driver
// makes itself (negative record numbers, read-only fields, implementation
// row descriptors).
TEST(DescriptorsE2e, BridgeKeepsOdbcRulesWherePsqlodbcDeparts) {
  ASSERT_NE(World::get(), nullptr);
  ASSERT_TRUE(World::get()->has_pg()) << World::get()->pg_error();
  Conn c(World::pg_bridge());
  ASSERT_TRUE(c.ok()) << c.error();
  c.exec("DROP TABLE kvr_t");
  c.exec("CREATE TABLE kvr_t (k INTEGER, name VARCHAR(20), amount NUMERIC(10,2))");
  c.exec("INSERT INTO kvr_t VALUES (1, 'eins', 1.50), (2, 'zwei', 2.50)");
  Stmt st(c);
  ASSERT_EQ(SQLExecDirect(st.h, (SQLCHAR*)"SELECT k, name AS label_name, amount FROM kvr_t ORDER BY k", SQL_NTS),
            SQL_SUCCESS);
  SQLHDESC ird = stmt_desc(st.h, SQL_ATTR_IMP_ROW_DESC), ard = stmt_desc(st.h, SQL_ATTR_APP_ROW_DESC);

  // SQLGetDescRec agrees with the fields; past the last record: no data;
  // a name cut to the buffer: SQL_SUCCESS_WITH_INFO with 01004.
  char name[32] = {};
  SQLSMALLINT nl = -1, type = -1, sub = -1, precision = -1, scale = -1, nullable = -1;
  SQLLEN length = -1;
  EXPECT_EQ(
      SQLGetDescRec(ird, 3, (SQLCHAR*)name, sizeof name, &nl, &type, &sub, &length, &precision, &scale, &nullable),
      SQL_SUCCESS);
  EXPECT_STREQ(name, "amount");
  EXPECT_EQ(nl, 6);
  EXPECT_EQ(type, SQL_NUMERIC);
  EXPECT_EQ(precision, 10);
  EXPECT_EQ(scale, 2);
  EXPECT_EQ(
      SQLGetDescRec(ird, 4, (SQLCHAR*)name, sizeof name, &nl, &type, &sub, &length, &precision, &scale, &nullable),
      SQL_NO_DATA);
  char cut[4] = {};
  EXPECT_EQ(SQLGetDescRec(ird, 2, (SQLCHAR*)cut, sizeof cut, &nl, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(first_state(SQL_HANDLE_DESC, ird), "01004");
  EXPECT_STREQ(cut, "lab");
  EXPECT_EQ(nl, 10);
  SQLINTEGER got = -1;
  EXPECT_EQ(SQLGetDescField(ird, 2, SQL_DESC_NAME, cut, sizeof cut, &got), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(first_state(SQL_HANDLE_DESC, ird), "01004");
  EXPECT_EQ(got, 10);

  // Checks of the driver's own.
  struct Refusal {
    const char* what;
    std::function<SQLRETURN()> call;
    SQLHDESC on;
    const char* state;
  };
  SQLSMALLINT small = 0;
  SQLINTEGER k = 0;
  SQLLEN k_ind = 0;
  const Refusal refusals[] = {
      {"get field of record -1", [&] { return get_small(ard, -1, SQL_DESC_TYPE, &small); }, ard, "07009"},
      {"set field of record -1", [&] { return SQLSetDescField(ard, -1, SQL_DESC_TYPE, (SQLPOINTER)SQL_C_LONG, 0); },
       ard, "07009"},
      {"get record -1",
       [&] {
         return SQLGetDescRec(ird, -1, (SQLCHAR*)name, sizeof name, &nl, &type, &sub, &length, &precision, &scale,
                              &nullable);
       },
       ird, "07009"},
      {"set record -1", [&] { return SQLSetDescRec(ard, -1, SQL_C_LONG, 0, 4, 0, 0, &k, &k_ind, &k_ind); }, ard,
       "07009"},
      {"negative count", [&] { return SQLSetDescField(ard, 0, SQL_DESC_COUNT, (SQLPOINTER)-1, 0); }, ard, "07009"},
      {"read-only field", [&] { return SQLSetDescField(ard, 1, SQL_DESC_NULLABLE, (SQLPOINTER)1, 0); }, ard, "HY091"},
      {"set field of an IRD", [&] { return SQLSetDescField(ird, 1, SQL_DESC_CONCISE_TYPE, (SQLPOINTER)SQL_C_LONG, 0); },
       ird, "HY016"},
      {"set record of an IRD", [&] { return SQLSetDescRec(ird, 1, SQL_C_LONG, 0, 4, 0, 0, &k, &k_ind, &k_ind); }, ird,
       "HY016"},
      {"copy into an IRD", [&] { return SQLCopyDesc(ard, ird); }, ird, "HY016"},
  };
  for (const Refusal& r : refusals) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(r.call(), SQL_ERROR);
    EXPECT_EQ(first_state(SQL_HANDLE_DESC, r.on), r.state);
  }

  // The row descriptor's count is its highest bound record: binding 1 and 2
  // makes 2; a count of 1 unbinds record 2 (the fetch leaves its buffer
  // alone); a count of 0 unbinds all.
  char label[8] = "-";
  SQLLEN label_len = 0;
  SQLSMALLINT count = -1;
  ASSERT_EQ(SQLSetDescRec(ard, 1, SQL_C_LONG, 0, 4, 0, 0, &k, &k_ind, &k_ind), SQL_SUCCESS);
  ASSERT_EQ(SQLSetDescRec(ard, 2, SQL_C_CHAR, 0, sizeof label, 0, 0, label, &label_len, &label_len), SQL_SUCCESS);
  get_small(ard, 0, SQL_DESC_COUNT, &count);
  EXPECT_EQ(count, 2);
  ASSERT_EQ(SQLFetch(st.h), SQL_SUCCESS);
  EXPECT_EQ(k, 1);
  EXPECT_STREQ(label, "eins");
  ASSERT_EQ(SQLSetDescField(ard, 0, SQL_DESC_COUNT, (SQLPOINTER)1, 0), SQL_SUCCESS);
  get_small(ard, 0, SQL_DESC_COUNT, &count);
  EXPECT_EQ(count, 1);
  std::strcpy(label, "-");
  ASSERT_EQ(SQLFetch(st.h), SQL_SUCCESS);
  EXPECT_EQ(k, 2);
  EXPECT_STREQ(label, "-");
  ASSERT_EQ(SQLSetDescField(ard, 0, SQL_DESC_COUNT, (SQLPOINTER)0, 0), SQL_SUCCESS);
  get_small(ard, 0, SQL_DESC_COUNT, &count);
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace kyvek::e2e
