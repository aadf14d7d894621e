// Catalog functions: SQLTables, SQLColumns, SQLColumnPrivileges,
// SQLTablePrivileges, SQLPrimaryKeys, SQLForeignKeys, SQLStatistics,
// SQLSpecialColumns, SQLProcedures, SQLProcedureColumns and SQLGetTypeInfo.
//
// All eleven run one pattern, told by a table: check the statement, validate
// the name arguments (HY009 for a missing required name, HY090 for a bad
// length), turn each name into a block of the right length, call the remote
// procedure of the same name, and on success mark the new result set as a
// catalog result set, which lets fetching switch block fetch on for it
// (METADATABLOCKFETCH).
#include <cstdio>
#include <cstring>
#include <string>

#include "api.h"
#include "remote.h"
#include "statements.h"
#include "trace.h"

using namespace kyvek::driver;

namespace {

// One name argument as the application gave it, and as it travels.
struct Name {
  const SQLCHAR* text = nullptr;
  SQLSMALLINT length = 0;  // the application's length (SQL_NTS, n)
  int32_t block = 0;       // bytes sent
};

// How one member checks its names.
struct Rules {
  const char* api;         // "SQLTables"
  const char* internal;    // text of "General error: Internal client error (%s)"
  bool any_negative;       // a bad length counts even on an absent name
  int required_one_of[2];  // HY009 when these names are all absent (-1: none)
};

constexpr Rules kTables{"SQLTables", "Tables", false, {-1, -1}};
constexpr Rules kColumns{"SQLColumns", "Columns", false, {-1, -1}};
constexpr Rules kColumnPrivileges{"SQLColumnPrivileges", "ColumnPrivileges", false, {2, -1}};
constexpr Rules kTablePrivileges{"SQLTablePrivileges", "TablePrivileges", true, {-1, -1}};
constexpr Rules kPrimaryKeys{"SQLPrimaryKeys", "PrimaryKeys", true, {2, -1}};
constexpr Rules kForeignKeys{"SQLForeignKeys", "ForeignKeys", false, {2, 5}};
constexpr Rules kStatistics{"SQLStatistics", "Statistics", true, {2, -1}};
constexpr Rules kSpecialColumns{"SQLSpecialColumns", "SpecialColumns", true, {2, -1}};
constexpr Rules kProcedures{"SQLProcedures", "Procedures", true, {-1, -1}};
constexpr Rules kProcedureColumns{"SQLProcedureColumns", "ProcedureColumns", true, {-1, -1}};
constexpr Rules kGetTypeInfo{"SQLGetTypeInfo", "GetTypeInfo", false, {-1, -1}};

// An empty name travels as one NUL byte with the length 0: the target driver
// must see an empty name, which matches nothing, not a missing one, which
// matches everything.
const SQLCHAR kEmpty[1] = {0};

bool bad_length(SQLSMALLINT len) { return len < 0 && len != SQL_NTS; }

// The text of a name for a trace line, never read past its length.
std::string shown(const Name& n) {
  if (n.text == nullptr) return "NULL";
  if (n.length == SQL_NTS) return reinterpret_cast<const char*>(n.text);
  if (n.length < 1) return "";
  return std::string(reinterpret_cast<const char*>(n.text), static_cast<size_t>(n.length));
}

// Removes one pair of enclosing double quotes (UNQUOTE_CATALOG_FNS).
void unquote(Name& n) {
  if (n.text == nullptr || n.length == 0) return;
  const size_t len =
      n.length == SQL_NTS ? std::strlen(reinterpret_cast<const char*>(n.text)) : static_cast<size_t>(n.length);
  if (len < 2 || n.text[0] != '"' || n.text[len - 1] != '"') return;
  n.text += 1;
  n.length = static_cast<SQLSMALLINT>(len - 2);
}

// The call's shared part: checks, blocks, the remote call, the result-set mark.
class Catalog {
 public:
  Catalog(const Rules& rules, SQLHSTMT handle, std::initializer_list<Name> names)
      : rules_(rules), handle_(handle), count_(0) {
    for (const Name& n : names) names_[count_++] = n;
    if (count_ > 0 && tracing(kTraceEntry)) {
      char head[64];
      std::snprintf(head, sizeof head, "(%p", handle_);
      std::string line = std::string(rules_.api) + head;
      for (int i = 0; i < count_; ++i) line += "," + shown(names_[i]) + "," + std::to_string(names_[i].length);
      log_printf_tid("%s)\n", line.c_str());
    }
  }
  Name& name(int i) { return names_[i]; }

  // Statement, connection and name checks; SQL_SUCCESS when the call may go on.
  SQLRETURN enter() {
    const std::string text = std::string("General error: Internal client error (") + rules_.internal + ")";
    SQLRETURN rc = stmt_enter(handle_, call_, text.c_str());
    if (rc != SQL_SUCCESS) {
      if (rc == SQL_INVALID_HANDLE)
        TRACE(kTraceExit, "-%s()=SQL_INVALID_HANDLE (stmt)\n", rules_.api);
      else
        TRACE(kTraceExit, "-%s()=SQL_ERROR (invalid dbc or no RPC handle)\n", rules_.api);
      return rc;
    }
    const int a = rules_.required_one_of[0], b = rules_.required_one_of[1];
    if (a >= 0 && names_[a].text == nullptr && (b < 0 || names_[b].text == nullptr)) {
      TRACE(kTraceExit, "-%s()=SQL_ERROR (invalid TableName)\n", rules_.api);
      return call_.fail(0, sqlstate::kHY009);
    }
    for (int i = 0; i < count_; ++i) {
      if (bad_length(names_[i].length) && (names_[i].text != nullptr || rules_.any_negative)) {
        TRACE(kTraceExit, "-%s()=SQL_ERROR (invalid NameLength)\n", rules_.api);
        return call_.fail(0, sqlstate::kHY090);
      }
    }
    for (int i = 0; i < count_; ++i) {
      Name& n = names_[i];
      if (n.text == nullptr) {
        n.block = 0;
      } else if (n.length == SQL_NTS) {
        n.block = static_cast<int32_t>(std::strlen(reinterpret_cast<const char*>(n.text)) + 1);
      } else if (n.length == 0) {
        n.text = kEmpty;
        n.block = 1;
      } else {
        n.block = n.length;
      }
    }
    return SQL_SUCCESS;
  }
  StmtCall& call() { return call_; }

  // After the remote call: the new result set, and the exit line.
  SQLRETURN done(SQLRETURN rc) {
    if (rc_ok(rc)) vek_new_result_set(call_.stmt, 1, rc);
    TRACE(kTraceExit, "-%s(...)=%d\n", rules_.api, rc);
    return rc;
  }

 private:
  const Rules& rules_;
  SQLHSTMT handle_;
  Name names_[6];
  int count_;
  StmtCall call_;
};

// The three-name members.
template <typename Remote>
SQLRETURN three_names(const Rules& rules, SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn,
                      SQLCHAR* t, SQLSMALLINT tn, Remote remote) {
  Catalog cat(rules, h, {{c, cn}, {s, sn}, {t, tn}});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  const Name &a = cat.name(0), &b = cat.name(1), &d = cat.name(2);
  return cat.done(remote(cat.call(), a, b, d));
}

}  // namespace

namespace kyvek::driver::api {

SQLRETURN tables(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn,
                 SQLCHAR* y, SQLSMALLINT yn) {
  Catalog cat(kTables, h, {{c, cn}, {s, sn}, {t, tn}, {y, yn}});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  const Name &a = cat.name(0), &b = cat.name(1), &d = cat.name(2), &e = cat.name(3);
  StmtCall& k = cat.call();
  return cat.done(remote_sql_tables(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text, b.length, d.block,
                                    d.text, d.length, e.block, e.text, e.length));
}

SQLRETURN columns(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn,
                  SQLCHAR* o, SQLSMALLINT on) {
  Catalog cat(kColumns, h, {{c, cn}, {s, sn}, {t, tn}, {o, on}});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  if (cat.call().dbc->client_flags & kFlagUnquoteCatalogFns) {
    for (int i = 0; i < 4; ++i) {
      Name& n = cat.name(i);
      if (n.text == kEmpty) continue;
      unquote(n);
      if (n.length != SQL_NTS) n.block = n.length == 0 ? 1 : n.length;
      if (n.length == 0) n.text = kEmpty;
    }
  }
  const Name &a = cat.name(0), &b = cat.name(1), &d = cat.name(2), &e = cat.name(3);
  StmtCall& k = cat.call();
  return cat.done(remote_sql_columns(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text, b.length, d.block,
                                     d.text, d.length, e.block, e.text, e.length));
}

SQLRETURN column_privileges(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                            SQLSMALLINT tn, SQLCHAR* o, SQLSMALLINT on) {
  Catalog cat(kColumnPrivileges, h, {{c, cn}, {s, sn}, {t, tn}, {o, on}});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  const Name &a = cat.name(0), &b = cat.name(1), &d = cat.name(2), &e = cat.name(3);
  StmtCall& k = cat.call();
  return cat.done(remote_sql_column_privileges(k.rpc(), k.server(), a.block, a.text, b.block, b.text, d.block, d.text,
                                               e.block, e.text));
}

SQLRETURN table_privileges(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t,
                           SQLSMALLINT tn) {
  return three_names(kTablePrivileges, h, c, cn, s, sn, t, tn,
                     [](StmtCall& k, const Name& a, const Name& b, const Name& d) {
                       return remote_sql_table_privileges(k.rpc(), k.server(), a.block, a.text, a.length, b.block,
                                                          b.text, b.length, d.block, d.text, d.length);
                     });
}

SQLRETURN primary_keys(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn) {
  return three_names(kPrimaryKeys, h, c, cn, s, sn, t, tn,
                     [](StmtCall& k, const Name& a, const Name& b, const Name& d) {
                       return remote_sql_primary_keys(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text,
                                                      b.length, d.block, d.text, d.length);
                     });
}

SQLRETURN procedures(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* p, SQLSMALLINT pn) {
  return three_names(kProcedures, h, c, cn, s, sn, p, pn, [](StmtCall& k, const Name& a, const Name& b, const Name& d) {
    return remote_sql_procedures(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text, b.length, d.block,
                                 d.text, d.length);
  });
}

SQLRETURN statistics(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* t, SQLSMALLINT tn,
                     SQLUSMALLINT unique, SQLUSMALLINT reserved) {
  return three_names(
      kStatistics, h, c, cn, s, sn, t, tn, [&](StmtCall& k, const Name& a, const Name& b, const Name& d) {
        return remote_sql_statistics(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text, b.length, d.block,
                                     d.text, d.length, static_cast<int16_t>(unique), static_cast<int16_t>(reserved));
      });
}

SQLRETURN special_columns(SQLHSTMT h, SQLUSMALLINT id_type, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn,
                          SQLCHAR* t, SQLSMALLINT tn, SQLUSMALLINT scope, SQLUSMALLINT nullable) {
  return three_names(
      kSpecialColumns, h, c, cn, s, sn, t, tn, [&](StmtCall& k, const Name& a, const Name& b, const Name& d) {
        return remote_sql_special_columns(k.rpc(), k.server(), static_cast<int16_t>(id_type), a.block, a.text, a.length,
                                          b.block, b.text, b.length, d.block, d.text, d.length,
                                          static_cast<int16_t>(scope), static_cast<int16_t>(nullable));
      });
}

SQLRETURN procedure_columns(SQLHSTMT h, SQLCHAR* c, SQLSMALLINT cn, SQLCHAR* s, SQLSMALLINT sn, SQLCHAR* p,
                            SQLSMALLINT pn, SQLCHAR* o, SQLSMALLINT on) {
  Catalog cat(kProcedureColumns, h, {{c, cn}, {s, sn}, {p, pn}, {o, on}});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  const Name &a = cat.name(0), &b = cat.name(1), &d = cat.name(2), &e = cat.name(3);
  StmtCall& k = cat.call();
  return cat.done(remote_sql_procedure_columns(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text,
                                               b.length, d.block, d.text, d.length, e.block, e.text, e.length));
}

SQLRETURN foreign_keys(SQLHSTMT h, SQLCHAR* pc, SQLSMALLINT pcn, SQLCHAR* ps, SQLSMALLINT psn, SQLCHAR* pt,
                       SQLSMALLINT ptn, SQLCHAR* fc, SQLSMALLINT fcn, SQLCHAR* fs, SQLSMALLINT fsn, SQLCHAR* ft,
                       SQLSMALLINT ftn) {
  Catalog cat(kForeignKeys, h, {{pc, pcn}, {ps, psn}, {pt, ptn}, {fc, fcn}, {fs, fsn}, {ft, ftn}});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  const Name &a = cat.name(0), &b = cat.name(1), &d = cat.name(2), &e = cat.name(3), &f = cat.name(4), &g = cat.name(5);
  StmtCall& k = cat.call();
  return cat.done(remote_sql_foreign_keys(k.rpc(), k.server(), a.block, a.text, a.length, b.block, b.text, b.length,
                                          d.block, d.text, d.length, e.block, e.text, e.length, f.block, f.text,
                                          f.length, g.block, g.text, g.length));
}

SQLRETURN get_type_info(SQLHSTMT h, SQLSMALLINT type) {
  TRACE(kTraceEntry, "SQLGetTypeInfo(%p,%d)\n", h, type);
  Catalog cat(kGetTypeInfo, h, {});
  SQLRETURN rc = cat.enter();
  if (rc != SQL_SUCCESS) return rc;
  StmtCall& k = cat.call();
  return cat.done(remote_sql_get_type_info(k.rpc(), k.server(), type));
}

}  // namespace kyvek::driver::api
