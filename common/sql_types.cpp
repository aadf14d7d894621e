// SQL and C type functions shared by the server and the client driver.
#include "sql_types.h"

#include <sql.h>
#include <sqlext.h>

#include <cstdint>

#include "odbc_trace.h"

namespace {

using kyvek::odbc::kTraceDetail;

// ODBC 2 interval codes -80..-92 map to 101..113 in this order.
constexpr int16_t kOdbc2IntervalMap[13] = {101, 102, 107, 103, 104, 105, 106, 108, 109, 110, 111, 112, 113};

struct CTypeName {
  int16_t code;
  const char* name;
};

#define KY_CTYPE(x) \
  { x, #x }
constexpr CTypeName kCTypeNames[] = {
    KY_CTYPE(SQL_C_UTINYINT),
    KY_CTYPE(SQL_C_UBIGINT),
    KY_CTYPE(SQL_C_STINYINT),
    KY_CTYPE(SQL_C_SBIGINT),
    KY_CTYPE(SQL_C_ULONG),
    KY_CTYPE(SQL_C_USHORT),
    KY_CTYPE(SQL_C_SLONG),
    KY_CTYPE(SQL_C_SSHORT),
    KY_CTYPE(SQL_C_GUID),
    KY_CTYPE(SQL_C_WCHAR),
    KY_CTYPE(SQL_C_BIT),
    KY_CTYPE(SQL_C_TINYINT),
    KY_CTYPE(SQL_C_BINARY),
    KY_CTYPE(SQL_C_CHAR),
    KY_CTYPE(SQL_C_NUMERIC),
    KY_CTYPE(SQL_C_LONG),
    KY_CTYPE(SQL_C_SHORT),
    KY_CTYPE(SQL_C_FLOAT),
    KY_CTYPE(SQL_C_DOUBLE),
    KY_CTYPE(SQL_C_DATE),
    KY_CTYPE(SQL_C_TIME),
    KY_CTYPE(SQL_C_TIMESTAMP),
    KY_CTYPE(SQL_C_TYPE_DATE),
    KY_CTYPE(SQL_C_TYPE_TIME),
    KY_CTYPE(SQL_C_TYPE_TIMESTAMP),
    KY_CTYPE(SQL_C_DEFAULT),
    KY_CTYPE(SQL_C_INTERVAL_YEAR),
    KY_CTYPE(SQL_C_INTERVAL_MONTH),
    KY_CTYPE(SQL_C_INTERVAL_DAY),
    KY_CTYPE(SQL_C_INTERVAL_HOUR),
    KY_CTYPE(SQL_C_INTERVAL_MINUTE),
    KY_CTYPE(SQL_C_INTERVAL_SECOND),
    KY_CTYPE(SQL_C_INTERVAL_YEAR_TO_MONTH),
    KY_CTYPE(SQL_C_INTERVAL_DAY_TO_HOUR),
    KY_CTYPE(SQL_C_INTERVAL_DAY_TO_MINUTE),
    KY_CTYPE(SQL_C_INTERVAL_DAY_TO_SECOND),
    KY_CTYPE(SQL_C_INTERVAL_HOUR_TO_MINUTE),
    KY_CTYPE(SQL_C_INTERVAL_HOUR_TO_SECOND),
    KY_CTYPE(SQL_C_INTERVAL_MINUTE_TO_SECOND),
};
#undef KY_CTYPE

bool in_range(int v, int lo, int hi) { return v >= lo && v <= hi; }

}  // namespace

extern "C" {

int sqltype2ctype(int16_t sqltype, int16_t* ctype) {
  int16_t c;
  switch (sqltype) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
    case SQL_DECIMAL:
    case -150:
    case -154:
    case -155: c = SQL_C_CHAR; break;
    case SQL_NUMERIC: c = SQL_C_NUMERIC; break;
    case SQL_INTEGER: c = SQL_C_LONG; break;
    case SQL_SMALLINT: c = SQL_C_SHORT; break;
    case SQL_FLOAT:
    case SQL_DOUBLE: c = SQL_C_DOUBLE; break;
    case SQL_REAL: c = SQL_C_FLOAT; break;
    case SQL_BIT: c = SQL_C_BIT; break;
    case SQL_TINYINT: c = SQL_C_TINYINT; break;
    case SQL_BIGINT: c = SQL_C_SBIGINT; break;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY: c = SQL_C_BINARY; break;
    case SQL_GUID: c = SQL_C_GUID; break;
    case 9:
    case 10:
    case 11:
    case 91:
    case 92:
    case 93: c = sqltype; break;
    case SQL_UNKNOWN_TYPE: kyvek::odbc::trace("SQL_UNKNOWN_TYPE in sqltype2ctype\n"); return -1;
    default:
      if (in_range(sqltype, 101, 113)) {
        c = sqltype;
      } else if (in_range(sqltype, -92, -80)) {
        c = kOdbc2IntervalMap[-80 - sqltype];
      } else {
        kyvek::odbc::trace("Unknown type %d in sqltype2ctype\n", sqltype);
        return -1;
      }
  }
  if (ctype != nullptr) *ctype = c;
  return 0;
}

int is_valid_ctype(int16_t ctype) {
  switch (ctype) {
    case -28:
    case -27:
    case -26:
    case -25:
    case -18:
    case -17:
    case -16:
    case -15:
    case -8:
    case -7:
    case -6:
    case -2:
    case 1:
    case 2:
    case 4:
    case 5:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 91:
    case 92:
    case 93:
    case 99: return 0;
    default: return in_range(ctype, 101, 113) ? 0 : -1;
  }
}

int is_valid_sqltype(int16_t t) {
  bool ok = in_range(t, 1, 12) || in_range(t, 91, 93) || in_range(t, 101, 113) || in_range(t, -11, -1) ||
            in_range(t, -92, -80) || in_range(t, -155, -150);
  return ok ? 0 : -1;
}

int is_datetime_type(int16_t t) { return t == 9 || t == 10 || t == 11 || t == 91 || t == 92 || t == 93; }

int is_interval_type(int16_t t) { return in_range(t, 101, 113); }

int is_any_interval_type(int16_t t) { return in_range(t, 101, 113) || in_range(t, -92, -80); }

int is_precision_type(int16_t t) {
  return t == SQL_NUMERIC || t == SQL_DECIMAL || t == SQL_FLOAT || t == SQL_REAL || t == SQL_DOUBLE;
}

void split_datetime_type(int16_t type, int16_t* verbose, int16_t* concise, int16_t* subcode, uint32_t flags) {
  if (verbose != nullptr) *verbose = SQL_DATETIME;
  if (concise != nullptr) *concise = type;
  if ((flags & 0x3) == 0 || subcode == nullptr || !in_range(type, 9, 93)) return;
  switch (type) {
    case 9:
    case 91: *subcode = 1; break;
    case 10:
    case 92: *subcode = 2; break;
    case 11:
    case 93: *subcode = 3; break;
    default: break;
  }
}

void split_interval_type(int16_t type, int16_t* verbose, int16_t* concise, int16_t* subcode, uint32_t flags) {
  if (verbose != nullptr) *verbose = SQL_INTERVAL;
  if (concise != nullptr) *concise = type;
  if ((flags & 0x3) != 0 && subcode != nullptr && in_range(type, 101, 113)) {
    *subcode = static_cast<int16_t>(type - 100);
  }
}

int64_t get_type_len(int16_t ctype, int64_t octet_length, uint32_t flags) {
  KY_TRACE(kyvek::odbc::kTraceEntry | kyvek::odbc::kTraceInternal, "\t^get_type_len(%d,%ld,%lu)\n", ctype,
           static_cast<long>(octet_length), static_cast<unsigned long>(flags));
  const bool use_octet = (flags & KY_TYPELEN_USE_OCTET) != 0;
  switch (ctype) {
    case SQL_C_UTINYINT:
    case SQL_C_STINYINT:
    case SQL_C_TINYINT:
    case SQL_C_BIT: return 1;
    case SQL_C_USHORT:
    case SQL_C_SSHORT:
    case SQL_C_SHORT: return 2;
    case SQL_C_ULONG:
    case SQL_C_SLONG:
    case SQL_C_LONG:
    case SQL_C_FLOAT: return 4;
    case SQL_C_UBIGINT:
    case SQL_C_SBIGINT:
    case SQL_C_DOUBLE: return 8;
    case SQL_C_GUID: return 16;
    case SQL_C_NUMERIC: return 19;
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE:
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: return 6;
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: return 16;
    case SQL_C_CHAR:
    case SQL_C_WCHAR:
      if (!use_octet || octet_length < 1) return 0;
      // Room for the terminator, except at the "unlimited" size.
      return octet_length >= INT32_MAX ? octet_length : octet_length + 1;
    case SQL_C_BINARY: return use_octet && octet_length > 0 ? octet_length : 0;
    case SQL_C_DEFAULT:
      if (!use_octet) {
        KY_TRACE(kTraceDetail, "\tSQL_C_DEFAULT passed by client\n");
        return -1;
      }
      return octet_length > 0 ? octet_length : 4;
    default:
      if (in_range(ctype, 101, 113)) return 28;
      KY_TRACE(kTraceDetail, "\t<default in switch>\n");
      return -1;
  }
}

const char* ctype_name(int16_t ctype) {
  for (const auto& n : kCTypeNames) {
    if (n.code == ctype) return n.name;
  }
  return nullptr;
}

}  // extern "C"
