#include "odbc_compare.h"

#include <cstdio>
#include <cstring>
#include <sstream>
#include <vector>

#include "diag_reader.h"

namespace kyvek::e2e {

namespace {
Dialect g_dialect = sqlite_dialect();
}  // namespace

Dialect sqlite_dialect() {
  return {"DOUBLE", "BLOB", [](const std::string& c) { return "hex(" + c + ")"; }};
}
Dialect postgres_dialect() {
  return {"DOUBLE PRECISION", "BYTEA", [](const std::string& c) { return "upper(encode(" + c + ", 'hex'))"; }};
}
const Dialect& dialect() { return g_dialect; }
void set_dialect(const Dialect& d) { g_dialect = d; }

std::string hex(const void* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    unsigned char b = static_cast<const unsigned char*>(p)[i];
    s += d[b >> 4];
    s += d[b & 15];
  }
  return s;
}

namespace {

std::string len_text(SQLLEN v) { return v == SQL_NULL_DATA ? "NULL" : std::to_string(v); }

// UTF-16 of an ASCII-or-BMP text given as UTF-8.
std::vector<SQLWCHAR> utf16(const std::string& s) {
  std::vector<SQLWCHAR> out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    if (c < 0x80)
      cp = c, i += 1;
    else if ((c & 0xE0) == 0xC0)
      cp = ((c & 0x1F) << 6) | (s[i + 1] & 0x3F), i += 2;
    else
      cp = ((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F), i += 3;
    out.push_back(static_cast<SQLWCHAR>(cp));
  }
  out.push_back(0);
  return out;
}

}  // namespace

Conn::Conn(const std::string& connect, long odbc_version) {
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
  SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(odbc_version), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
  SQLCHAR out[1024];
  SQLSMALLINT len = 0;
  SQLRETURN rc =
      SQLDriverConnect(dbc_, nullptr, (SQLCHAR*)connect.c_str(), SQL_NTS, out, sizeof out, &len, SQL_DRIVER_NOPROMPT);
  ok_ = SQL_SUCCEEDED(rc);
  connected_ = outcome(rc, SQL_HANDLE_DBC, dbc_);
  if (!ok_) error_ = connected_;
}

Conn::~Conn() {
  if (ok_) SQLDisconnect(dbc_);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

SQLHSTMT Conn::stmt() {
  SQLHSTMT s = nullptr;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &s);
  return s;
}

SQLRETURN Conn::exec(const std::string& sql) {
  SQLHSTMT s = stmt();
  SQLRETURN rc = SQLExecDirect(s, (SQLCHAR*)sql.c_str(), SQL_NTS);
  SQLFreeHandle(SQL_HANDLE_STMT, s);
  return rc;
}

std::string outcome(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h) {
  std::string s = "rc=" + std::to_string(rc);
  if (rc == SQL_SUCCESS || rc == SQL_NO_DATA || rc == SQL_NEED_DATA || rc == SQL_INVALID_HANDLE) return s;
  for (const kytest::DiagRecord& r : kytest::diag_records(type, h)) s += " " + r.state;
  return s;
}

std::string rows_as_text(Conn& c, const std::string& sql) {
  Stmt st(c);
  std::ostringstream o;
  o << st.run(sql) << "\n";
  SQLSMALLINT cols = 0;
  SQLNumResultCols(st.h, &cols);
  o << "cols=" << cols << "\n";
  SQLRETURN rc;
  while ((rc = SQLFetch(st.h)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO) {
    for (SQLUSMALLINT i = 1; i <= cols; ++i) {
      char buf[512] = {};
      SQLLEN ind = 0;
      SQLRETURN g = SQLGetData(st.h, i, SQL_C_CHAR, buf, sizeof buf, &ind);
      o << (i > 1 ? "|" : "")
        << (SQL_SUCCEEDED(g) ? (ind == SQL_NULL_DATA ? "NULL" : buf) : outcome(g, SQL_HANDLE_STMT, st.h));
    }
    o << "\n";
  }
  o << "end " << rc << "\n";
  return o.str();
}

// ---- bound fetch -------------------------------------------------------------

std::string bound_fetch_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_bf";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  o << "create "
    << c.exec("CREATE TABLE " + t + " (i INTEGER, v VARCHAR(20), d " + dialect().dbl + ", dt DATE, ts TIMESTAMP)")
    << "\n";
  for (int r = 1; r <= 23; ++r) {
    char sql[400];
    if (r % 5 == 0)
      std::snprintf(sql, sizeof sql, "INSERT INTO %s VALUES (%d, NULL, NULL, NULL, NULL)", t.c_str(), r);
    else
      std::snprintf(sql, sizeof sql,
                    "INSERT INTO %s VALUES (%d, '%s%d', %d.25, '2026-%02d-%02d', '2026-01-02 03:04:%02d.5')", t.c_str(),
                    r, r % 3 ? "row" : "Grüße", r, r * 7, r % 12 + 1, r % 28 + 1, r % 60);
    c.exec(sql);
  }
  struct Row {
    SQLINTEGER i;
    SQLLEN ii;
    char guard1[8];
    char v[21];
    SQLLEN vi;
    double d;
    SQLLEN di;
    SQL_DATE_STRUCT dt;
    SQLLEN dti;
    char guard2[8];
    SQL_TIMESTAMP_STRUCT ts;
    SQLLEN tsi;
    SQLWCHAR w[21];
    SQLLEN wi;
  };
  for (SQLULEN size : {1ul, 7ul, 100ul}) {
    for (bool row_wise : {false, true}) {
      for (SQLLEN shift : {SQLLEN{0}, SQLLEN{1}}) {
        o << "size=" << size << " row_wise=" << row_wise << " shift=" << shift << "\n";
        Stmt st(c);
        // Column-wise arrays, with one spare element for the offset.
        std::vector<SQLINTEGER> ci(size + 1);
        std::vector<char> cv((size + 1) * 21);
        std::vector<double> cd(size + 1);
        std::vector<SQL_TIMESTAMP_STRUCT> cts(size + 1);
        std::vector<SQLLEN> cii(size + 1), cvi(size + 1), cdi(size + 1), ctsi(size + 1);
        std::vector<Row> rows(size + 1);
        std::vector<SQLUSMALLINT> status(size, 77);
        SQLULEN fetched = 0;
        SQLLEN offset = 0;
        SQLSetStmtAttr(st.h, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(size), 0);
        SQLSetStmtAttr(st.h, SQL_ATTR_ROW_STATUS_PTR, status.data(), 0);
        SQLSetStmtAttr(st.h, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0);
        SQLSetStmtAttr(st.h, SQL_ATTR_ROW_BIND_OFFSET_PTR, &offset, 0);
        o << st.run("SELECT i, v, d, dt, ts, v FROM " + t + " ORDER BY i") << "\n";
        if (row_wise) {
          SQLSetStmtAttr(st.h, SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(sizeof(Row)), 0);
          Row& r0 = rows[0];
          SQLBindCol(st.h, 1, SQL_C_SLONG, &r0.i, 0, &r0.ii);
          SQLBindCol(st.h, 2, SQL_C_CHAR, r0.v, sizeof r0.v, &r0.vi);
          SQLBindCol(st.h, 3, SQL_C_DOUBLE, &r0.d, 0, &r0.di);
          SQLBindCol(st.h, 4, SQL_C_TYPE_DATE, &r0.dt, 0, &r0.dti);
          SQLBindCol(st.h, 5, SQL_C_TYPE_TIMESTAMP, &r0.ts, 0, &r0.tsi);
          SQLBindCol(st.h, 6, SQL_C_WCHAR, r0.w, sizeof r0.w, &r0.wi);
          offset = shift * static_cast<SQLLEN>(sizeof(Row));
        } else {
          SQLBindCol(st.h, 1, SQL_C_SLONG, ci.data(), 0, cii.data());
          SQLBindCol(st.h, 2, SQL_C_CHAR, cv.data(), 21, cvi.data());
          SQLBindCol(st.h, 3, SQL_C_DOUBLE, cd.data(), 0, cdi.data());
          SQLBindCol(st.h, 5, SQL_C_TYPE_TIMESTAMP, cts.data(), 0, ctsi.data());
          // One element further on for every array: the offset is per array type;
          // use the shift only where all elements have the same size.
          offset = 0;
        }
        SQLRETURN rc;
        int guard_bad = 0;
        while (true) {
          for (Row& r : rows) {
            std::memset(&r, 0xAB, sizeof r);
          }
          rc = SQLFetch(st.h);
          o << outcome(rc, SQL_HANDLE_STMT, st.h) << " fetched=" << fetched << " status=";
          if (!SQL_SUCCEEDED(rc)) break;
          for (SQLULEN k = 0; k < fetched; ++k) o << status[k] << ",";
          o << "\n";
          for (SQLULEN k = 0; k < fetched; ++k) {
            if (row_wise) {
              const Row& r = rows[k + static_cast<SQLULEN>(shift)];
              for (char g : r.guard1) guard_bad += g != static_cast<char>(0xAB);
              for (char g : r.guard2) guard_bad += g != static_cast<char>(0xAB);
              o << " " << r.i << "/" << len_text(r.ii) << " " << (r.vi == SQL_NULL_DATA ? "NULL" : std::string(r.v))
                << "/" << len_text(r.vi) << " " << (r.di == SQL_NULL_DATA ? 0.0 : r.d) << "/" << len_text(r.di) << " "
                << (r.dti == SQL_NULL_DATA ? std::string("NULL") : hex(&r.dt, sizeof r.dt)) << " "
                << (r.tsi == SQL_NULL_DATA ? std::string("NULL") : hex(&r.ts, sizeof r.ts)) << " "
                << (r.wi == SQL_NULL_DATA ? std::string("NULL") : hex(r.w, static_cast<size_t>(r.wi))) << "/"
                << len_text(r.wi) << "\n";
            } else {
              o << " " << ci[k] << "/" << len_text(cii[k]) << " "
                << (cvi[k] == SQL_NULL_DATA ? "NULL" : std::string(&cv[k * 21])) << "/" << len_text(cvi[k]) << " "
                << (cdi[k] == SQL_NULL_DATA ? 0.0 : cd[k]) << " "
                << (ctsi[k] == SQL_NULL_DATA ? std::string("NULL") : hex(&cts[k], sizeof cts[k])) << "\n";
            }
          }
        }
        o << "\nguards=" << guard_bad << "\n";
      }
    }
  }
  return o.str();
}

// ---- parameter arrays --------------------------------------------------------

std::string param_array_transcript(Conn& c, const std::string& p, bool row_wise_params) {
  const std::string t = p + "_pa";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  o << "create "
    << c.exec("CREATE TABLE " + t + " (i INTEGER, v VARCHAR(40), w VARCHAR(40), d " + dialect().dbl +
              ", ts TIMESTAMP, b " + dialect().blob + ")")
    << "\n";
  constexpr SQLULEN kSets = 5;
  const std::string texts[kSets] = {"plain", "Grüße aus Köln", "", "Ωmega ≠ alpha", "last"};
  struct PRow {
    SQLINTEGER i;
    SQLLEN ii;
    char v[41];
    SQLLEN vi;
    SQLWCHAR w[41];
    SQLLEN wi;
    double d;
    SQLLEN di;
    SQL_TIMESTAMP_STRUCT ts;
    SQLLEN tsi;
    unsigned char b[8];
    SQLLEN bi;
  };
  std::vector<PRow> rows(kSets);
  for (SQLULEN k = 0; k < kSets; ++k) {
    PRow& r = rows[k];
    std::memset(&r, 0, sizeof r);
    r.i = static_cast<SQLINTEGER>(k + 1);
    r.ii = 0;
    std::snprintf(r.v, sizeof r.v, "%s", texts[k].c_str());
    r.vi = k == 2 ? SQL_NULL_DATA : (k == 1 ? SQL_NTS : static_cast<SQLLEN>(std::strlen(r.v)));
    std::vector<SQLWCHAR> w = utf16(texts[(k + 1) % kSets]);
    std::memcpy(r.w, w.data(), w.size() * sizeof(SQLWCHAR));
    r.wi = k == 4 ? SQL_NULL_DATA : (k == 0 ? SQL_NTS : static_cast<SQLLEN>((w.size() - 1) * sizeof(SQLWCHAR)));
    r.d = 0.1 + 0.2 * static_cast<double>(k);
    r.di = k == 3 ? SQL_NULL_DATA : 0;
    r.ts = {2026, 2, static_cast<SQLUSMALLINT>(k + 1), 4, 5, 6, static_cast<SQLUINTEGER>(k * 100000000)};
    r.tsi = 0;
    for (int j = 0; j < 8; ++j) r.b[j] = static_cast<unsigned char>(0x10 * k + j);
    r.bi = k == 1 ? SQL_NULL_DATA : static_cast<SQLLEN>(k % 3 + 2);
  }
  Stmt st(c);
  // The target driver may leave the array as it was; it starts as all success.
  std::vector<SQLUSMALLINT> status(kSets, SQL_PARAM_SUCCESS);
  SQLULEN processed = 0;
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(kSets), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAM_STATUS_PTR, status.data(), 0);
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMS_PROCESSED_PTR, &processed, 0);
  o << "prepare "
    << outcome(SQLPrepare(st.h, (SQLCHAR*)("INSERT INTO " + t + " VALUES (?,?,?,?,?,?)").c_str(), SQL_NTS),
               SQL_HANDLE_STMT, st.h)
    << "\n";
  // Column-wise copies of the same values.
  std::vector<SQLINTEGER> ci(kSets);
  std::vector<char> cv(kSets * 41);
  std::vector<SQLWCHAR> cw(kSets * 41);
  std::vector<double> cd(kSets);
  std::vector<SQL_TIMESTAMP_STRUCT> cts(kSets);
  std::vector<unsigned char> cb(kSets * 8);
  std::vector<SQLLEN> cii(kSets), cvi(kSets), cwi(kSets), cdi(kSets), ctsi(kSets), cbi(kSets);
  for (SQLULEN k = 0; k < kSets; ++k) {
    ci[k] = rows[k].i, cii[k] = rows[k].ii;
    std::memcpy(&cv[k * 41], rows[k].v, 41), cvi[k] = rows[k].vi;
    std::memcpy(&cw[k * 41], rows[k].w, sizeof rows[k].w), cwi[k] = rows[k].wi;
    cd[k] = rows[k].d, cdi[k] = rows[k].di;
    cts[k] = rows[k].ts, ctsi[k] = rows[k].tsi;
    std::memcpy(&cb[k * 8], rows[k].b, 8), cbi[k] = rows[k].bi;
  }
  if (row_wise_params) {
    SQLSetStmtAttr(st.h, SQL_ATTR_PARAM_BIND_TYPE, reinterpret_cast<SQLPOINTER>(sizeof(PRow)), 0);
    PRow& r = rows[0];
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &r.i, 0, &r.ii);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 40, 0, r.v, sizeof r.v, &r.vi);
    SQLBindParameter(st.h, 3, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 40, 0, r.w, sizeof r.w, &r.wi);
    SQLBindParameter(st.h, 4, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, &r.d, 0, &r.di);
    SQLBindParameter(st.h, 5, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3, &r.ts, 0, &r.tsi);
    SQLBindParameter(st.h, 6, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY, 8, 0, r.b, 8, &r.bi);
  } else {
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, ci.data(), 0, cii.data());
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 40, 0, cv.data(), 41, cvi.data());
    SQLBindParameter(st.h, 3, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 40, 0, cw.data(), 41 * sizeof(SQLWCHAR),
                     cwi.data());
    SQLBindParameter(st.h, 4, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 15, 0, cd.data(), 0, cdi.data());
    SQLBindParameter(st.h, 5, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3, cts.data(), 0,
                     ctsi.data());
    SQLBindParameter(st.h, 6, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_VARBINARY, 8, 0, cb.data(), 8, cbi.data());
  }
  o << "execute " << outcome(SQLExecute(st.h), SQL_HANDLE_STMT, st.h) << " processed=" << processed << " status=";
  for (SQLUSMALLINT s : status) o << s << ",";
  o << "\n";
  // A single set through the same statement, then the table.
  SQLSetStmtAttr(st.h, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
  if (row_wise_params)
    rows[0].i = 99;
  else
    ci[0] = 99;
  o << "single " << outcome(SQLExecute(st.h), SQL_HANDLE_STMT, st.h) << " processed=" << processed << "\n";
  o << rows_as_text(c, "SELECT i, v, w, d, ts, " + dialect().hex("b") + " FROM " + t + " ORDER BY i");
  return o.str();
}

// ---- data at execution ---------------------------------------------------------

std::string data_at_exec_transcript(Conn& c, const std::string& p, int pieces) {
  const std::string t = p + "_dae";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  o << "create " << c.exec("CREATE TABLE " + t + " (i INTEGER, v TEXT, w TEXT, b " + dialect().blob + ")") << "\n";
  std::string longtext;
  for (int k = 0; k < 40; ++k) longtext += "Zeile " + std::to_string(k) + " äöü; ";
  std::vector<SQLWCHAR> wide = utf16("Wide Ωmega text ≠ narrow");
  std::vector<unsigned char> blob(700);
  for (size_t k = 0; k < blob.size(); ++k) blob[k] = static_cast<unsigned char>(k * 7 + 3);
  for (int round = 0; round < 2; ++round) {
    Stmt st(c);
    SQLINTEGER i = round + 1;
    SQLLEN ii = 0, vi = SQL_LEN_DATA_AT_EXEC(0), wi = SQL_LEN_DATA_AT_EXEC(0), bi = SQL_LEN_DATA_AT_EXEC(0);
    // In the second round the integer goes at execution too; its data
    // pointer is a token that must never be read.
    if (round == 1) ii = SQL_DATA_AT_EXEC;
    SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                     round == 1 ? reinterpret_cast<SQLPOINTER>(1) : static_cast<SQLPOINTER>(&i), 0, &ii);
    SQLBindParameter(st.h, 2, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_LONGVARCHAR, 4000, 0, reinterpret_cast<SQLPOINTER>(2), 0,
                     &vi);
    SQLBindParameter(st.h, 3, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WLONGVARCHAR, 4000, 0, reinterpret_cast<SQLPOINTER>(3),
                     0, &wi);
    SQLBindParameter(st.h, 4, SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, 4000, 0,
                     reinterpret_cast<SQLPOINTER>(4), 0, &bi);
    SQLRETURN rc = SQLExecDirect(st.h, (SQLCHAR*)("INSERT INTO " + t + " VALUES (?,?,?,?)").c_str(), SQL_NTS);
    o << "exec " << outcome(rc, SQL_HANDLE_STMT, st.h) << "\n";
    SQLPOINTER token = nullptr;
    while ((rc = SQLParamData(st.h, &token)) == SQL_NEED_DATA) {
      const auto which = reinterpret_cast<intptr_t>(token);
      o << "need " << which << "\n";
      if (which == 1) {
        o << " put " << outcome(SQLPutData(st.h, &i, 0), SQL_HANDLE_STMT, st.h) << "\n";
        continue;
      }
      if (round == 1 && which == 2) {
        o << " put " << outcome(SQLPutData(st.h, nullptr, SQL_NULL_DATA), SQL_HANDLE_STMT, st.h) << "\n";
        continue;
      }
      if (which == 2) {
        size_t step = longtext.size() / static_cast<size_t>(pieces);
        for (int k = 0; k < pieces; ++k) {
          size_t from = k * step, n = k == pieces - 1 ? longtext.size() - from : step;
          o << " put " << outcome(SQLPutData(st.h, &longtext[from], static_cast<SQLLEN>(n)), SQL_HANDLE_STMT, st.h);
        }
      } else if (which == 3) {
        // Wide text: terminated by a zero unit (SQL_NTS) in one piece.
        o << " put " << outcome(SQLPutData(st.h, wide.data(), SQL_NTS), SQL_HANDLE_STMT, st.h);
      } else if (which == 4) {
        size_t step = blob.size() / static_cast<size_t>(pieces);
        for (int k = 0; k < pieces; ++k) {
          size_t from = k * step, n = k == pieces - 1 ? blob.size() - from : step;
          o << " put " << outcome(SQLPutData(st.h, &blob[from], static_cast<SQLLEN>(n)), SQL_HANDLE_STMT, st.h);
        }
      }
      o << "\n";
    }
    o << "paramdata " << outcome(rc, SQL_HANDLE_STMT, st.h) << "\n";
  }
  // Read back: text, wide text and bytes.
  Stmt st(c);
  o << st.run("SELECT i, v, w, b FROM " + t + " ORDER BY i") << "\n";
  while (SQL_SUCCEEDED(SQLFetch(st.h))) {
    std::vector<char> v(4096);
    std::vector<SQLWCHAR> w(4096);
    std::vector<unsigned char> b(4096);
    SQLLEN vi = 0, wi = 0, bi = 0;
    o << outcome(SQLGetData(st.h, 2, SQL_C_CHAR, v.data(), static_cast<SQLLEN>(v.size()), &vi), SQL_HANDLE_STMT, st.h)
      << " " << (vi == SQL_NULL_DATA ? "NULL" : std::string(v.data())) << "\n";
    o << outcome(SQLGetData(st.h, 3, SQL_C_WCHAR, w.data(), static_cast<SQLLEN>(w.size() * 2), &wi), SQL_HANDLE_STMT,
                 st.h)
      << " " << (wi == SQL_NULL_DATA ? std::string("NULL") : hex(w.data(), static_cast<size_t>(wi))) << "\n";
    o << outcome(SQLGetData(st.h, 4, SQL_C_BINARY, b.data(), static_cast<SQLLEN>(b.size()), &bi), SQL_HANDLE_STMT, st.h)
      << " " << (bi == SQL_NULL_DATA ? std::string("NULL") : hex(b.data(), static_cast<size_t>(bi))) << "\n";
  }
  // Pieces of a long value through SQLGetData.
  Stmt st2(c);
  o << st2.run("SELECT v FROM " + t + " WHERE i = 1") << "\n";
  SQLFetch(st2.h);
  for (int k = 0; k < 4; ++k) {
    char buf[300] = {};
    SQLLEN ind = 0;
    SQLRETURN rc = SQLGetData(st2.h, 1, SQL_C_CHAR, buf, sizeof buf, &ind);
    o << "piece " << outcome(rc, SQL_HANDLE_STMT, st2.h) << " " << len_text(ind) << " " << buf << "\n";
    if (rc == SQL_NO_DATA) break;
  }
  return o.str();
}

// ---- every C type --------------------------------------------------------------

std::string c_types_transcript(Conn& c, const std::string& p) {
  struct Case {
    const char* name;
    SQLSMALLINT ctype, sqltype;
    std::string column;
    std::vector<unsigned char> value;
    SQLLEN len;  // octet length of the value (0: fixed size)
  };
  auto bytes = [](const void* v, size_t n) {
    const auto* b = static_cast<const unsigned char*>(v);
    return std::vector<unsigned char>(b, b + n);
  };
  SQLINTEGER l = -123456;
  SQLSMALLINT s = -1234;
  signed char st = -12;
  unsigned char ut = 200;
  SQLBIGINT big = -1234567890123LL;
  SQLUBIGINT ubig = 1234567890123ULL;
  float f = 1.5f;
  double d = 0.1 + 0.2;
  unsigned char bit = 1;
  SQL_DATE_STRUCT date{2024, 2, 29};
  SQL_TIME_STRUCT time{23, 59, 58};
  SQL_TIMESTAMP_STRUCT ts{1999, 12, 31, 23, 59, 59, 0};
  std::string text = "Textwert äöü";
  std::vector<SQLWCHAR> wide = utf16("Wert Ωmega");
  unsigned char bin[5] = {0, 1, 0xfe, 0xff, 0x80};
  const std::vector<Case> cases = {
      {"long", SQL_C_SLONG, SQL_INTEGER, "INTEGER", bytes(&l, 4), 0},
      {"short", SQL_C_SSHORT, SQL_SMALLINT, "INTEGER", bytes(&s, 2), 0},
      {"stinyint", SQL_C_STINYINT, SQL_TINYINT, "INTEGER", bytes(&st, 1), 0},
      {"utinyint", SQL_C_UTINYINT, SQL_TINYINT, "INTEGER", bytes(&ut, 1), 0},
      {"sbigint", SQL_C_SBIGINT, SQL_BIGINT, "BIGINT", bytes(&big, 8), 0},
      {"ubigint", SQL_C_UBIGINT, SQL_BIGINT, "BIGINT", bytes(&ubig, 8), 0},
      {"float", SQL_C_FLOAT, SQL_REAL, "REAL", bytes(&f, 4), 0},
      {"double", SQL_C_DOUBLE, SQL_DOUBLE, dialect().dbl, bytes(&d, 8), 0},
      {"bit", SQL_C_BIT, SQL_BIT, "INTEGER", bytes(&bit, 1), 0},
      {"date", SQL_C_TYPE_DATE, SQL_TYPE_DATE, "DATE", bytes(&date, sizeof date), 0},
      {"time", SQL_C_TYPE_TIME, SQL_TYPE_TIME, "TIME", bytes(&time, sizeof time), 0},
      {"timestamp", SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, "TIMESTAMP", bytes(&ts, sizeof ts), 0},
      {"char", SQL_C_CHAR, SQL_VARCHAR, "VARCHAR(40)", bytes(text.c_str(), text.size() + 1), SQL_NTS},
      {"wchar", SQL_C_WCHAR, SQL_WVARCHAR, "VARCHAR(40)", bytes(wide.data(), wide.size() * 2), SQL_NTS},
      {"binary", SQL_C_BINARY, SQL_VARBINARY, dialect().blob, bytes(bin, sizeof bin), 5},
  };
  std::ostringstream o;
  for (const Case& k : cases) {
    const std::string t = p + "_ct_" + k.name;
    c.exec("DROP TABLE " + t);
    c.exec("CREATE TABLE " + t + " (x " + k.column + ")");
    Stmt ins(c);
    std::vector<unsigned char> buf = k.value;
    buf.resize(buf.size() + 16);
    SQLLEN ind = k.len;
    const SQLLEN buflen = static_cast<SQLLEN>(k.value.size());
    o << k.name << " bind "
      << outcome(SQLBindParameter(ins.h, 1, SQL_PARAM_INPUT, k.ctype, k.sqltype, 40,
                                  k.sqltype == SQL_TYPE_TIMESTAMP ? 0 : 0, buf.data(), buflen, &ind),
                 SQL_HANDLE_STMT, ins.h);
    o << " insert "
      << outcome(SQLExecDirect(ins.h, (SQLCHAR*)("INSERT INTO " + t + " VALUES (?)").c_str(), SQL_NTS), SQL_HANDLE_STMT,
                 ins.h);
    // Bound column of the same C type.
    Stmt sel(c);
    std::vector<unsigned char> out(96, 0xCD);
    SQLLEN oind = 0;
    SQLBindCol(sel.h, 1, k.ctype, out.data(), 64, &oind);
    o << " select " << sel.run("SELECT x FROM " + t);
    SQLRETURN rc = SQLFetch(sel.h);
    const size_t shown = oind > 0 && oind < 64 ? static_cast<size_t>(oind) : (oind < 0 ? 0 : 64);
    o << " fetch " << outcome(rc, SQL_HANDLE_STMT, sel.h) << " ind=" << len_text(oind) << " "
      << hex(out.data(), k.len ? shown : k.value.size()) << "\n";
    // The same through SQLGetData, as the type and as text.
    Stmt gd(c);
    gd.run("SELECT x FROM " + t);
    SQLFetch(gd.h);
    std::vector<unsigned char> g(96, 0xCD);
    SQLLEN gind = 0;
    rc = SQLGetData(gd.h, 1, k.ctype, g.data(), 64, &gind);
    const size_t gshown = gind > 0 && gind < 64 ? static_cast<size_t>(gind) : (gind < 0 ? 0 : 64);
    o << "  getdata " << outcome(rc, SQL_HANDLE_STMT, gd.h) << " ind=" << len_text(gind) << " "
      << hex(g.data(), k.len ? gshown : k.value.size()) << "\n";
  }
  return o.str();
}

// ---- prepared statements, metadata ----------------------------------------------

std::string prepared_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_pr";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (id INTEGER, name VARCHAR(30), amount " + dialect().dbl + ")");
  for (int k = 1; k <= 12; ++k)
    c.exec("INSERT INTO " + t + " VALUES (" + std::to_string(k) + ", 'name" + std::to_string(k) + "', " +
           std::to_string(k * 1.5) + ")");
  Stmt st(c);
  o << "prepare "
    << outcome(SQLPrepare(st.h, (SQLCHAR*)("SELECT id, name, amount FROM " + t + " WHERE id > ? ORDER BY id").c_str(),
                          SQL_NTS),
               SQL_HANDLE_STMT, st.h)
    << "\n";
  SQLSMALLINT params = -1, cols = -1;
  SQLNumParams(st.h, &params);
  SQLNumResultCols(st.h, &cols);
  o << "params=" << params << " cols=" << cols << "\n";
  for (SQLUSMALLINT k = 1; k <= cols; ++k) {
    char name[64] = {};
    SQLSMALLINT nl = 0, type = 0, dd = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeCol(st.h, k, (SQLCHAR*)name, sizeof name, &nl, &type, &size, &dd, &nullable);
    char label[64] = {};
    SQLSMALLINT ll = 0;
    SQLLEN num = 0;
    SQLColAttribute(st.h, k, SQL_DESC_LABEL, label, sizeof label, &ll, nullptr);
    SQLColAttribute(st.h, k, SQL_DESC_TYPE, nullptr, 0, nullptr, &num);
    o << " " << name << "/" << nl << "/" << type << "/" << size << "/" << dd << "/" << nullable << " " << label << "/"
      << num << "\n";
  }
  SQLINTEGER limit = 0;
  SQLLEN li = 0;
  SQLBindParameter(st.h, 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &limit, 0, &li);
  SQLINTEGER id = 0;
  char name[8] = {};  // too small for some names: 01004 and the full length
  SQLLEN idi = 0, namei = 0;
  SQLBindCol(st.h, 1, SQL_C_SLONG, &id, 0, &idi);
  SQLBindCol(st.h, 2, SQL_C_CHAR, name, sizeof name, &namei);
  for (SQLINTEGER run : {9, 3, 10}) {
    limit = run;
    o << "execute " << outcome(SQLExecute(st.h), SQL_HANDLE_STMT, st.h) << "\n";
    SQLRETURN rc;
    while ((rc = SQLFetch(st.h)) == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO)
      o << " " << outcome(rc, SQL_HANDLE_STMT, st.h) << " " << id << " " << name << "/" << namei << "\n";
    o << " end " << rc << " more " << SQLMoreResults(st.h) << "\n";
    SQLFreeStmt(st.h, SQL_CLOSE);
  }
  // Rebinding with the same arguments, unbinding, a row count.
  Stmt up(c);
  o << "update " << up.run("UPDATE " + t + " SET amount = amount * 2 WHERE id <= 4");
  SQLLEN count = -7;
  SQLRowCount(up.h, &count);
  o << " rows=" << count << "\n";
  o << rows_as_text(c, "SELECT id, amount FROM " + t + " WHERE id <= 5 ORDER BY id");
  return o.str();
}

// ---- transactions --------------------------------------------------------------

std::string transaction_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_tx";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (i INTEGER)");
  o << "autocommit off "
    << SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0) << "\n";
  c.exec("INSERT INTO " + t + " VALUES (1)");
  o << "rollback " << SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_ROLLBACK) << "\n";
  o << rows_as_text(c, "SELECT COUNT(*) FROM " + t);
  c.exec("INSERT INTO " + t + " VALUES (2)");
  o << "commit " << SQLEndTran(SQL_HANDLE_DBC, c.dbc(), SQL_COMMIT) << "\n";
  o << rows_as_text(c, "SELECT i FROM " + t);
  o << "bad completion " << SQLEndTran(SQL_HANDLE_DBC, c.dbc(), 7) << "\n";
  SQLSetConnectAttr(c.dbc(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  return o.str();
}

// ---- checks before the server ------------------------------------------------------

std::string errors_transcript(Conn& c, const std::string& p) {
  std::ostringstream o;
  Stmt st(c);
  o << "bad sql " << st.run("SELEKT nothing FROM nowhere") << "\n";
  o << "null text " << outcome(SQLExecDirect(st.h, nullptr, SQL_NTS), SQL_HANDLE_STMT, st.h) << "\n";
  o << "bad length " << outcome(SQLPrepare(st.h, (SQLCHAR*)"SELECT 1", -7), SQL_HANDLE_STMT, st.h) << "\n";
  SQLINTEGER v = 0;
  SQLLEN vi = 0;
  o << "param 0 "
    << outcome(SQLBindParameter(st.h, 0, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &v, 0, &vi), SQL_HANDLE_STMT,
               st.h)
    << "\n";
  o << "param io "
    << outcome(SQLBindParameter(st.h, 1, 3, SQL_C_SLONG, SQL_INTEGER, 0, 0, &v, 0, &vi), SQL_HANDLE_STMT, st.h) << "\n";
  o << "putdata outside " << outcome(SQLPutData(st.h, &v, 4), SQL_HANDLE_STMT, st.h) << "\n";
  o << "fetch type " << outcome(SQLFetchScroll(st.h, 99, 0), SQL_HANDLE_STMT, st.h) << "\n";
  o << "setpos lock " << outcome(SQLSetPos(st.h, 1, SQL_POSITION, 3), SQL_HANDLE_STMT, st.h) << "\n";
  o << "imp row desc " << outcome(SQLSetStmtAttr(st.h, SQL_ATTR_IMP_ROW_DESC, nullptr, 0), SQL_HANDLE_STMT, st.h)
    << "\n";
  o << "colattr id " << outcome(SQLColAttribute(st.h, 1, 9999, nullptr, 0, nullptr, nullptr), SQL_HANDLE_STMT, st.h)
    << "\n";
  // Cursor names, native SQL, cancel and close on a statement of their own.
  Stmt cur(c);
  o << "set cursor name " << outcome(SQLSetCursorName(cur.h, (SQLCHAR*)"kv_cursor", SQL_NTS), SQL_HANDLE_STMT, cur.h);
  char name[32] = {};
  SQLSMALLINT nl = 0;
  o << " get " << outcome(SQLGetCursorName(cur.h, (SQLCHAR*)name, sizeof name, &nl), SQL_HANDLE_STMT, cur.h) << " "
    << std::string(name).substr(0, 4) << "/" << nl << "\n";  // generated names differ by address
  char native[128] = {};
  SQLINTEGER native_len = 0;
  // A writable text: the SQLite driver edits its input in place.
  char in_text[] = "SELECT {fn UCASE('a')}";
  o << "native sql "
    << outcome(SQLNativeSql(c.dbc(), (SQLCHAR*)in_text, SQL_NTS, (SQLCHAR*)native, sizeof native, &native_len),
               SQL_HANDLE_DBC, c.dbc())
    << " " << native << "/" << native_len << "\n";
  o << "cancel idle " << outcome(SQLCancel(cur.h), SQL_HANDLE_STMT, cur.h) << "\n";
  o << "select " << cur.run("SELECT 1") << " close " << outcome(SQLCloseCursor(cur.h), SQL_HANDLE_STMT, cur.h)
    << " again " << outcome(SQLCloseCursor(cur.h), SQL_HANDLE_STMT, cur.h) << "\n";
  (void)p;
  return o.str();
}

std::string extended_fetch_transcript(Conn& c, const std::string& p) {
  const std::string t = p + "_xf";
  std::ostringstream o;
  c.exec("DROP TABLE " + t);
  c.exec("CREATE TABLE " + t + " (i INTEGER, v VARCHAR(10))");
  for (int k = 1; k <= 12; ++k)
    c.exec("INSERT INTO " + t + " VALUES (" + std::to_string(k) + ", " +
           (k % 4 ? "'v" + std::to_string(k) + "'" : "NULL") + ")");
  Stmt st(c);
  constexpr SQLULEN kRowset = 5;
  SQLINTEGER i[kRowset] = {};
  char v[kRowset * 3] = {};
  SQLLEN ii[kRowset] = {}, vi[kRowset] = {};
  o << "rowset size " << SQLSetStmtAttr(st.h, SQL_ROWSET_SIZE, reinterpret_cast<SQLPOINTER>(kRowset), 0) << "\n";
  o << st.run("SELECT i, v FROM " + t + " ORDER BY i") << "\n";
  SQLBindCol(st.h, 1, SQL_C_SLONG, i, 0, ii);
  // Three bytes: two-digit values are cut (01004, reported once).
  SQLBindCol(st.h, 2, SQL_C_CHAR, v, 3, vi);
  SQLRETURN rc;
  SQLULEN rows = 0;
  SQLUSMALLINT status[kRowset] = {};
  while (SQL_SUCCEEDED(rc = SQLExtendedFetch(st.h, SQL_FETCH_NEXT, 0, &rows, status))) {
    o << outcome(rc, SQL_HANDLE_STMT, st.h) << " rows " << rows << ":";
    for (SQLULEN k = 0; k < rows; ++k)
      o << " " << i[k] << "=" << (vi[k] == SQL_NULL_DATA ? std::string("NULL") : std::string(&v[k * 3])) << "/" << vi[k]
        << "(" << status[k] << ")";
    o << "\n";
  }
  o << "end " << outcome(rc, SQL_HANDLE_STMT, st.h) << "\n";
  return o.str();
}

}  // namespace kyvek::e2e
