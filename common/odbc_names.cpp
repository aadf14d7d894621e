// The five trace name tables. Each row: the ODBC number, the name and how the
// value is written (number in hexadecimal, text, pointer).
#include "odbc_names.h"

#include <sqlext.h>

#include <cstdio>
#include <string>

#include "trace_log.h"

namespace {

enum class Kind { number, text, pointer };

struct NameRow {
  long number;
  const char* name;
  Kind kind;
};

#define F(n) \
  { SQL_API_##n, #n, Kind::number }
constexpr NameRow kFunctions[] = {
    F(SQLALLOCCONNECT),   F(SQLALLOCENV),         F(SQLALLOCSTMT),        F(SQLERROR),
    F(SQLFREEENV),        F(SQLFREECONNECT),      F(SQLGETCONNECTOPTION), F(SQLGETSTMTOPTION),
    F(SQLPARAMOPTIONS),   F(SQLSETSTMTOPTION),    F(SQLTRANSACT),         F(SQLEXTENDEDFETCH),
    F(SQLALLOCHANDLE),    F(SQLALLOCHANDLESTD),   F(SQLBINDCOL),          F(SQLCANCEL),
    F(SQLCLOSECURSOR),    F(SQLCOLATTRIBUTE),     F(SQLCONNECT),          F(SQLCOPYDESC),
    F(SQLDATASOURCES),    F(SQLDESCRIBECOL),      F(SQLDISCONNECT),       F(SQLDRIVERS),
    F(SQLENDTRAN),        F(SQLEXECDIRECT),       F(SQLEXECUTE),          F(SQLFETCH),
    F(SQLFETCHSCROLL),    F(SQLFREEHANDLE),       F(SQLFREESTMT),         F(SQLGETCONNECTATTR),
    F(SQLGETCURSORNAME),  F(SQLGETDATA),          F(SQLGETDESCFIELD),     F(SQLGETDESCREC),
    F(SQLGETDIAGFIELD),   F(SQLGETDIAGREC),       F(SQLGETENVATTR),       F(SQLGETFUNCTIONS),
    F(SQLGETINFO),        F(SQLGETSTMTATTR),      F(SQLGETTYPEINFO),      F(SQLNUMRESULTCOLS),
    F(SQLPARAMDATA),      F(SQLPREPARE),          F(SQLPUTDATA),          F(SQLROWCOUNT),
    F(SQLSETCONNECTATTR), F(SQLSETCONNECTOPTION), F(SQLSETCURSORNAME),    F(SQLSETDESCFIELD),
    F(SQLSETDESCREC),     F(SQLSETENVATTR),       F(SQLSETSCROLLOPTIONS), F(SQLSETSTMTATTR),
    F(SQLCOLUMNS),        F(SQLSPECIALCOLUMNS),   F(SQLSTATISTICS),       F(SQLTABLES),
    F(SQLBINDPARAMETER),  F(SQLBROWSECONNECT),    F(SQLBULKOPERATIONS),   F(SQLCOLUMNPRIVILEGES),
    F(SQLDESCRIBEPARAM),  F(SQLDRIVERCONNECT),    F(SQLFOREIGNKEYS),      F(SQLMORERESULTS),
    F(SQLNATIVESQL),      F(SQLNUMPARAMS),        F(SQLPRIMARYKEYS),      F(SQLPROCEDURECOLUMNS),
    F(SQLPROCEDURES),     F(SQLSETPOS),           F(SQLTABLEPRIVILEGES)};
#undef F
static_assert(sizeof kFunctions / sizeof kFunctions[0] == 75);

#define N(n) \
  { SQL_##n, #n, Kind::number }
#define T(n) \
  { SQL_##n, #n, Kind::text }
constexpr NameRow kConnectOptions[] = {N(ACCESS_MODE),  N(AUTOCOMMIT),    T(CURRENT_QUALIFIER), N(LOGIN_TIMEOUT),
                                       N(ODBC_CURSORS), N(OPT_TRACE),     T(OPT_TRACEFILE),     N(PACKET_SIZE),
                                       N(QUIET_MODE),   T(TRANSLATE_DLL), N(TRANSLATE_OPTION),  N(TXN_ISOLATION)};
#undef N
#undef T

#define N(n) \
  { SQL_DESC_##n, #n, Kind::number }
#define T(n) \
  { SQL_DESC_##n, #n, Kind::text }
#define P(n) \
  { SQL_DESC_##n, #n, Kind::pointer }
constexpr NameRow kColAttributes[] = {N(AUTO_UNIQUE_VALUE),
                                      N(CASE_SENSITIVE),
                                      N(CONCISE_TYPE),
                                      N(COUNT),
                                      N(DISPLAY_SIZE),
                                      N(FIXED_PREC_SCALE),
                                      N(LENGTH),
                                      N(NULLABLE),
                                      N(NUM_PREC_RADIX),
                                      N(OCTET_LENGTH),
                                      N(PRECISION),
                                      N(SCALE),
                                      N(SEARCHABLE),
                                      N(TYPE),
                                      N(UNNAMED),
                                      N(UNSIGNED),
                                      N(UPDATABLE),
                                      {SQL_COLUMN_NULLABLE, "COLUMN_NULLABLE", Kind::number},
                                      {SQL_COLUMN_LENGTH, "COLUMN_LENGTH", Kind::number},
                                      {SQL_COLUMN_PRECISION, "COLUMN_PRECISION", Kind::number},
                                      {SQL_COLUMN_SCALE, "COLUMN_SCALE", Kind::number},
                                      T(BASE_COLUMN_NAME),
                                      T(BASE_TABLE_NAME),
                                      T(CATALOG_NAME),
                                      T(LABEL),
                                      T(LITERAL_PREFIX),
                                      T(LITERAL_SUFFIX),
                                      T(LOCAL_TYPE_NAME),
                                      T(NAME),
                                      T(SCHEMA_NAME),
                                      T(TABLE_NAME),
                                      T(TYPE_NAME),
                                      {SQL_COLUMN_NAME, "COLUMN_NAME", Kind::text}};

constexpr NameRow kDescFields[] = {N(ARRAY_SIZE),
                                   N(DATETIME_INTERVAL_PRECISION),
                                   N(LENGTH),
                                   N(NUM_PREC_RADIX),
                                   N(OCTET_LENGTH),
                                   N(BIND_TYPE),
                                   N(AUTO_UNIQUE_VALUE),
                                   N(CASE_SENSITIVE),
                                   N(DISPLAY_SIZE),
                                   N(COUNT),
                                   N(CONCISE_TYPE),
                                   N(DATETIME_INTERVAL_CODE),
                                   N(PARAMETER_TYPE),
                                   N(SCALE),
                                   N(TYPE),
                                   N(UNNAMED),
                                   N(ALLOC_TYPE),
                                   N(FIXED_PREC_SCALE),
                                   N(NULLABLE),
                                   N(PRECISION),
                                   N(SEARCHABLE),
                                   N(UNSIGNED),
                                   N(UPDATABLE),
                                   T(NAME),
                                   T(BASE_COLUMN_NAME),
                                   T(BASE_TABLE_NAME),
                                   T(CATALOG_NAME),
                                   T(LABEL),
                                   T(LITERAL_PREFIX),
                                   T(LITERAL_SUFFIX),
                                   T(LOCAL_TYPE_NAME),
                                   {SQL_DESC_SCHEMA_NAME, "DESC_SCHEMA_NAME", Kind::text},
                                   T(TABLE_NAME),
                                   T(TYPE_NAME),
                                   P(ARRAY_STATUS_PTR),
                                   P(ROWS_PROCESSED_PTR),
                                   P(DATA_PTR),
                                   P(INDICATOR_PTR),
                                   P(OCTET_LENGTH_PTR),
                                   P(BIND_OFFSET_PTR)};
#undef N
#undef T
#undef P

#define N(n) \
  { SQL_ATTR_##n, #n, Kind::number }
#define P(n) \
  { SQL_ATTR_##n, #n, Kind::pointer }
constexpr NameRow kStmtAttributes[] = {P(APP_PARAM_DESC),
                                       P(APP_ROW_DESC),
                                       N(ASYNC_ENABLE),
                                       N(CONCURRENCY),
                                       N(CURSOR_SCROLLABLE),
                                       N(CURSOR_SENSITIVITY),
                                       N(CURSOR_TYPE),
                                       N(ENABLE_AUTO_IPD),
                                       P(FETCH_BOOKMARK_PTR),
                                       P(IMP_PARAM_DESC),
                                       P(IMP_ROW_DESC),
                                       N(KEYSET_SIZE),
                                       N(MAX_LENGTH),
                                       N(MAX_ROWS),
                                       N(METADATA_ID),
                                       N(NOSCAN),
                                       P(PARAM_BIND_OFFSET_PTR),
                                       N(PARAM_BIND_TYPE),
                                       P(PARAM_OPERATION_PTR),
                                       P(PARAM_STATUS_PTR),
                                       P(PARAMS_PROCESSED_PTR),
                                       N(PARAMSET_SIZE),
                                       N(QUERY_TIMEOUT),
                                       N(RETRIEVE_DATA),
                                       N(ROW_ARRAY_SIZE),
                                       P(ROW_BIND_OFFSET_PTR),
                                       N(ROW_BIND_TYPE),
                                       N(ROW_NUMBER),
                                       P(ROW_OPERATION_PTR),
                                       P(ROW_STATUS_PTR),
                                       P(ROWS_FETCHED_PTR),
                                       N(SIMULATE_CURSOR),
                                       N(USE_BOOKMARKS),
                                       {SQL_ROWSET_SIZE, "ROWSET_SIZE", Kind::number},
                                       // Statement options of one widely used server's driver.
                                       {1225, "SOPT_SS_TEXTPTR_LOGGING", Kind::number},
                                       {1226, "SOPT_SS_CURRENT_COMMAND", Kind::number},
                                       {1227, "SOPT_SS_HIDDEN_COLUMNS", Kind::number},
                                       {1228, "SOPT_SS_NOBROWSETABLE", Kind::number},
                                       {1229, "SOPT_SS_REGIONALIZE", Kind::number},
                                       {1230, "SOPT_SS_CURSOR_OPTIONS", Kind::number},
                                       {1231, "SOPT_SS_NOCOUNT_STATS", Kind::number},
                                       {1232, "SOPT_SS_DEFER_PREPARE", Kind::number}};
#undef N
#undef P

template <std::size_t N>
const NameRow* find(const NameRow (&table)[N], long number) {
  for (const NameRow& r : table)
    if (r.number == number) return &r;
  return nullptr;
}

// The value of a row as text; a text pointer that is null reads "NULL".
std::string value_text(Kind kind, SQLULEN value) {
  char buf[64];
  switch (kind) {
    case Kind::number: std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(value)); return buf;
    case Kind::text: {
      const char* t = reinterpret_cast<const char*>(value);
      return t != nullptr ? t : "NULL";
    }
    case Kind::pointer: std::snprintf(buf, sizeof buf, "%p", reinterpret_cast<void*>(value)); return buf;
  }
  return {};
}

void write_line(const std::string& line) {
  log_text(static_cast<long>(line.size()), line.c_str(), KY_LOG_TEXT_NO_NEWLINE);
}

template <std::size_t N>
const char* log_named(const NameRow (&table)[N], long number, SQLULEN value, int mode) {
  const NameRow* r = find(table, number);
  if (mode == KY_NAME_ONLY) return r ? r->name : KY_UNKNOWN_ATTRIBUTE;
  try {
    if (r == nullptr)
      write_line(mode == KY_NAME_AND_VALUE ? "UNKNOWN\tnon-determined-value-type\n" : "");
    else if (mode == KY_NAME_AND_VALUE)
      write_line(std::string("\t") + r->name + "\t" + value_text(r->kind, value) + "\n");
    else
      write_line(std::string("\t") + r->name + "\t");
  } catch (...) {
  }
  return r ? r->name : KY_UNKNOWN_ATTRIBUTE;
}

}  // namespace

extern "C" {

void log_functions_supported(uint16_t function_id, const uint16_t* supported) {
  if (supported == nullptr) return;
  if (function_id == SQL_API_ODBC3_ALL_FUNCTIONS || function_id == SQL_API_ALL_FUNCTIONS) {
    log_printf_tid("\tSupported\t\t!Supported\n");
    for (const NameRow& r : kFunctions) {
      bool set;
      if (function_id == SQL_API_ODBC3_ALL_FUNCTIONS) {
        set = (supported[r.number >> 4] >> (r.number & 0xF)) & 1;
      } else {
        if (r.number >= 100) continue;
        set = supported[r.number] != 0;
      }
      log_printf_tid(set ? "\t%s\n" : "\t\t\t\t%s\n", r.name);
    }
    return;
  }
  if (const NameRow* r = find(kFunctions, function_id))
    log_printf_tid("\t%s %s Supported\n", r->name, supported[0] != 0 ? "" : "NOT");
}

void log_connect_option(uint16_t option, SQLULEN value) {
  const NameRow* r = find(kConnectOptions, option);
  try {
    if (r == nullptr)
      write_line("\tUNKNOWN Connection attribute - perhaps a STMT option\tnon-determined-value-type\n");
    else
      write_line(std::string("\t") + r->name + "\t" + value_text(r->kind, value) + "\n");
  } catch (...) {
  }
}

void log_col_attribute(uint16_t column, uint16_t field, const char* text, const SQLLEN* numeric) {
  char head[32];
  std::snprintf(head, sizeof head, "\tColumn: %u ", static_cast<unsigned>(column));
  const NameRow* r = find(kColAttributes, field);
  try {
    std::string line = head;
    if (r == nullptr) {
      line += "\tUNKNOWN\tnon-determined-value-type\n";
    } else if (r->kind == Kind::text) {
      line += std::string("\t") + r->name + "\t" + (text ? text : "NULL") + "\n";
    } else {
      line += std::string("\t") + r->name + "\t" +
              (numeric ? value_text(Kind::number, static_cast<SQLULEN>(*numeric)) : std::string("NULL")) + "\n";
    }
    write_line(line);
  } catch (...) {
  }
}

const char* log_stmt_attr(int32_t attribute, SQLULEN value, int mode) {
  return log_named(kStmtAttributes, attribute, value, mode);
}

const char* log_desc_field(int16_t field, SQLULEN value, int mode, void* unused) {
  (void)unused;
  return log_named(kDescFields, field, value, mode);
}

}  // extern "C"
