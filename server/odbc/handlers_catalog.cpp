// Catalog handlers: the eleven catalog functions run on the statement's
// driver handle, their result set described into the IRD like any other.
#include <sql.h>
#include <sqlext.h>

#include <cstring>

#include "handler_util.h"
#include "handlers.h"
#include "record_lists.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

// One name argument: the received block, and the length the application gave.
struct Name {
  SQLCHAR* text = nullptr;
  SQLSMALLINT length = 0;
  bool ok = true;
};

// The driver reads the name by its length: it never runs past the block, and
// SQL_NTS holds only with a NUL inside it. No block is a null name.
Name name_arg(int32_t block_length, char* text, int16_t length) {
  Name n;
  if (text == nullptr || block_length <= 0) return n;
  n.text = reinterpret_cast<SQLCHAR*>(text);
  if (length == SQL_NTS) {
    n.ok = memchr(text, '\0', static_cast<size_t>(block_length)) != nullptr;
    n.length = SQL_NTS;
  } else {
    n.ok = length >= 0 && length <= block_length;
    n.length = length;
  }
  return n;
}

// A name sent as a block alone: its text up to a NUL or the block's end.
Name block_name(int32_t block_length, char* text) {
  Name n;
  if (text == nullptr || block_length <= 0) return n;
  n.text = reinterpret_cast<SQLCHAR*>(text);
  n.length = static_cast<SQLSMALLINT>(strnlen(text, static_cast<size_t>(block_length) < 32767 ? block_length : 32767));
  return n;
}

// How a member traces: whether it writes an invalid-handle line, and whether
// its exit line after a driver failure says so ("(Drivers SQLTables failed)").
struct Lines {
  bool invalid_handle = true;
  bool driver_failure = false;
};

// The common steps around one catalog call.
template <typename Call>
int16_t catalog(void* handle, const char* name, std::initializer_list<Name> names, Call call, Lines lines = {}) {
  statement_t* stmt =
      enter<statement_t>(handle, name, Diags::clear, lines.invalid_handle ? InvalidLine::traced : InvalidLine::silent);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return through_exit(name, [&](Exit& exit) -> SQLRETURN {
    connection_t* dbc = veks_stmt_dbc(stmt);
    if (dbc == nullptr || veks_chk_handle(VEKS_DBC, dbc) != 0) {
      exit.because("invalid backwards DBC pointer");
      veks_post(&stmt->diags, nullptr, sqlstate::kHY000.state, 2, "General error: Internal server error (%s)", name);
      return SQL_ERROR;
    }
    stmt->flags &= ~static_cast<uint32_t>(STMT_DESCRIBED);
    for (const Name& n : names) {
      if (!n.ok) {
        exit.because("invalid NameLength");
        KY_POST_STMT(stmt, sqlstate::kHY090, 0);
        return SQL_ERROR;
      }
    }
    SQLRETURN rc = call(stmt->driver_stmt);
    if (!succeeded(rc)) {
      if (lines.driver_failure) exit.because("Drivers SQLTables failed");
      return rc;
    }
    if (!succeeded(veks_new_result_set(stmt, rc))) {
      exit.because("veks_new_result_set failed");
      KY_POST_STMT(stmt, sqlstate::kHY000.state, 6, "General error: veks_new_result_set() failed");
      return SQL_ERROR;
    }
    return rc;
  });
}

bool entry_on() { return trace_on(kTraceEntry); }

}  // namespace

extern "C" int16_t sql_get_type_info(void* handle, int16_t type) {
  statement_t* stmt = as_stmt(handle);
  if (entry_on()) log_printf_tid("sql_get_type_info(%p,%d)\n", handle, type);
  const int16_t mapped = stmt != nullptr ? map_sql_type_odbc2(veks_stmt_dbc(stmt), type) : type;
  return catalog(handle, "sql_get_type_info", {}, [&](SQLHSTMT h) { return SQLGetTypeInfo(h, mapped); });
}

extern "C" int16_t sql_tables(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                              int32_t tl, char* t, int16_t tn, int32_t yl, char* y, int16_t yn) {
  if (entry_on())
    log_printf_tid("sql_tables(%p,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d)\n", handle, (long)cl, (void*)c, cn, (long)sl,
                   (void*)s, sn, (long)tl, (void*)t, tn, (long)yl, (void*)y, yn);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(tl, t, tn), e = name_arg(yl, y, yn);
  return catalog(
      handle, "sql_tables", {a, b, d, e},
      [&](SQLHSTMT h) { return SQLTables(h, a.text, a.length, b.text, b.length, d.text, d.length, e.text, e.length); },
      Lines{true, true});
}

extern "C" int16_t sql_special_columns(void* handle, int16_t id_type, int32_t cl, char* c, int16_t cn, int32_t sl,
                                       char* s, int16_t sn, int32_t tl, char* t, int16_t tn, int16_t scope,
                                       int16_t nullable) {
  if (entry_on())
    log_printf_tid("sql_special_columns(%p,%d,%ld,%p,%d,%ld,%p,%d%d,%ld,%p,%d,%d)\n", handle, id_type, (long)cl,
                   (void*)c, cn, (long)sl, (void*)s, sn, tn, (long)tl, (void*)t, scope, nullable);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(tl, t, tn);
  return catalog(handle, "sql_special_columns", {a, b, d}, [&](SQLHSTMT h) {
    return SQLSpecialColumns(h, static_cast<SQLUSMALLINT>(id_type), a.text, a.length, b.text, b.length, d.text,
                             d.length, static_cast<SQLUSMALLINT>(scope), static_cast<SQLUSMALLINT>(nullable));
  });
}

extern "C" int16_t sql_statistics(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                                  int32_t tl, char* t, int16_t tn, int16_t unique, int16_t reserved) {
  if (entry_on())
    log_printf_tid("sql_statistics(%p,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d,%u,%u)\n", handle, (long)cl, (void*)c, cn, (long)sl,
                   (void*)s, sn, (long)tl, (void*)t, tn, (unsigned)(uint16_t)unique, (unsigned)(uint16_t)reserved);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(tl, t, tn);
  return catalog(handle, "sql_statistics", {a, b, d}, [&](SQLHSTMT h) {
    return SQLStatistics(h, a.text, a.length, b.text, b.length, d.text, d.length, static_cast<SQLUSMALLINT>(unique),
                         static_cast<SQLUSMALLINT>(reserved));
  });
}

extern "C" int16_t sql_primary_keys(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                                    int32_t tl, char* t, int16_t tn) {
  if (entry_on())
    log_printf_tid("sql_primary_keys(%p,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d)\n", handle, (long)cl, (void*)c, cn, (long)sl,
                   (void*)s, sn, (long)tl, (void*)t, tn);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(tl, t, tn);
  return catalog(handle, "sql_primary_keys", {a, b, d},
                 [&](SQLHSTMT h) { return SQLPrimaryKeys(h, a.text, a.length, b.text, b.length, d.text, d.length); });
}

extern "C" int16_t sql_foreign_keys(void* handle, int32_t l1, char* t1, int16_t n1, int32_t l2, char* t2, int16_t n2,
                                    int32_t l3, char* t3, int16_t n3, int32_t l4, char* t4, int16_t n4, int32_t l5,
                                    char* t5, int16_t n5, int32_t l6, char* t6, int16_t n6) {
  if (entry_on())
    log_printf_tid("sql_foreign_keys(%p,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d,)\n", handle,
                   (long)l1, (void*)t1, n1, (long)l2, (void*)t2, n2, (long)l3, (void*)t3, n3, (long)l4, (void*)t4, n4,
                   (long)l5, (void*)t5, n5, (long)l6, (void*)t6, n6);
  Name a = name_arg(l1, t1, n1), b = name_arg(l2, t2, n2), c = name_arg(l3, t3, n3);
  Name d = name_arg(l4, t4, n4), e = name_arg(l5, t5, n5), f = name_arg(l6, t6, n6);
  return catalog(handle, "sql_foreign_keys", {a, b, c, d, e, f}, [&](SQLHSTMT h) {
    return SQLForeignKeys(h, a.text, a.length, b.text, b.length, c.text, c.length, d.text, d.length, e.text, e.length,
                          f.text, f.length);
  });
}

extern "C" int16_t sql_table_privileges(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                                        int32_t tl, char* t, int16_t tn) {
  if (entry_on())
    log_printf_tid("sql_table_privileges(%p,%ld,%p,%d,%ld,%p,%d,%ld,%p,%d)\n", handle, (long)cl, (void*)c, cn, (long)sl,
                   (void*)s, sn, (long)tl, (void*)t, tn);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(tl, t, tn);
  return catalog(handle, "sql_table_privileges", {a, b, d}, [&](SQLHSTMT h) {
    return SQLTablePrivileges(h, a.text, a.length, b.text, b.length, d.text, d.length);
  });
}

extern "C" int16_t sql_procedures(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                                  int32_t pl, char* p, int16_t pn) {
  if (entry_on())
    log_printf_tid("sql_procedures(%p,%ld,%p,%ld,%p,%ld,%p)\n", handle, (long)cn, (void*)c, (long)sn, (void*)s,
                   (long)pn, (void*)p);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(pl, p, pn);
  return catalog(handle, "sql_procedures", {a, b, d},
                 [&](SQLHSTMT h) { return SQLProcedures(h, a.text, a.length, b.text, b.length, d.text, d.length); });
}

extern "C" int16_t sql_procedure_columns(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                                         int32_t pl, char* p, int16_t pn, int32_t ol, char* o, int16_t on) {
  if (entry_on())
    log_printf_tid("sql_procedure_columns(%p,%ld,%p,%ld,%p,%ld,%p,%ld,%p)\n", handle, (long)cn, (void*)c, (long)sn,
                   (void*)s, (long)pn, (void*)p, (long)on, (void*)o);
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(pl, p, pn), e = name_arg(ol, o, on);
  return catalog(handle, "sql_procedure_columns", {a, b, d, e}, [&](SQLHSTMT h) {
    return SQLProcedureColumns(h, a.text, a.length, b.text, b.length, d.text, d.length, e.text, e.length);
  });
}

extern "C" int16_t sql_columns(void* handle, int32_t cl, char* c, int16_t cn, int32_t sl, char* s, int16_t sn,
                               int32_t tl, char* t, int16_t tn, int32_t ol, char* o, int16_t on) {
  if (trace_on(kTraceEntry)) log_printf_tid("sql_columns()\n");
  Name a = name_arg(cl, c, cn), b = name_arg(sl, s, sn), d = name_arg(tl, t, tn), e = name_arg(ol, o, on);
  return catalog(handle, "sql_columns", {a, b, d, e}, [&](SQLHSTMT h) {
    return SQLColumns(h, a.text, a.length, b.text, b.length, d.text, d.length, e.text, e.length);
  });
}

extern "C" int16_t sql_column_privileges(void* handle, int32_t cl, char* c, int32_t sl, char* s, int32_t tl, char* t,
                                         int32_t ol, char* o) {
  Name a = block_name(cl, c), b = block_name(sl, s), d = block_name(tl, t), e = block_name(ol, o);
  return catalog(
      handle, "sql_column_privileges", {a, b, d, e},
      [&](SQLHSTMT h) {
        return SQLColumnPrivileges(h, a.text, a.length, b.text, b.length, d.text, d.length, e.text, e.length);
      },
      Lines{false, false});
}
