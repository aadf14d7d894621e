// The driver's own conversions of a value held in the block-fetch cache to the
// C type that an application asks for in SQLGetData. The unit is pure: it
// reads a cached value record, writes the application's buffer and length,
// advances the column's piece state and names the diagnostic to post; the
// caller posts it on the statement.
#ifndef KYVEK_DRIVER_CONVERT_H
#define KYVEK_DRIVER_CONVERT_H

#include <sql.h>
#include <sqlext.h>

#include <cstdint>

namespace kyvek::driver {

// Source classes, derived from the C type a column is cached in.
enum SourceClass : int {
  kClassNone = 0,
  kClassInteger = 1,
  kClassReal = 2,
  kClassText = 3,
  kClassBit = 4,
  kClassBinary = 5,
  kClassDate = 7,
  kClassTime = 8,
  kClassTimestamp = 9,
  kClassNumeric = 10,
  kClassBigint = 12,
  kClassYearMonth = 13,
  kClassDayTime = 14,
};

// Class of a caching C type; kClassNone for types the cache cannot hold.
int source_class_of(SQLSMALLINT c_type);

// One cached value as the converters see it. For text and binary `data`
// points at the value's bytes in the cache and `length` is the number of
// bytes actually held (never more than the slot); `indicator` is what the
// server reported (the full length, which may exceed the slot).
struct CachedValue {
  int source_class = kClassNone;
  SQLSMALLINT c_type = 0;
  SQLLEN octet_length = 0;  // the column's slot size in bytes
  SQLLEN indicator = 0;     // cached length, or SQL_NULL_DATA
  int16_t precision = 0;    // column size
  int16_t scale = 0;        // decimal digits
  union {
    int64_t integer;  // integer, bit and bigint classes
    double real;
    SQL_DATE_STRUCT date;
    SQL_TIME_STRUCT time;
    SQL_TIMESTAMP_STRUCT timestamp;
    SQL_NUMERIC_STRUCT numeric;
    SQL_INTERVAL_STRUCT interval;
  } v{};
  const unsigned char* data = nullptr;  // text and binary
  SQLLEN length = 0;                    // bytes held at data
  // How reals read as text: the shortest exact form (kRealShortest), or
  // SQLite's own (15 significant digits, always a point: "3.0", "1.0e-10"),
  // so that a value reads as the target's driver shows it.
  int real_style = 0;
};

enum RealStyle : int { kRealShortest = 0, kRealSqlite = 1 };

// Fills a CachedValue from a cache cell: `cell` points at the cell's bytes as
// the server wrote them for caching type c_type, `slot` is the cell's size in
// bytes and `indicator` its cached length or SQL_NULL_DATA. Text and binary
// lengths are capped at what the slot holds.
CachedValue cached_value_from_cell(SQLSMALLINT c_type, const void* cell, SQLLEN slot, SQLLEN indicator,
                                   int16_t precision, int16_t scale);

// What remains of one column of the current row across SQLGetData calls.
struct PieceState {
  SQLLEN offset = 0;  // source bytes already returned
  bool done = false;  // the value was returned whole: the next call gets SQL_NO_DATA
  // Wide targets: the second half of a surrogate pair that a buffer of one
  // unit could not take whole (offset already stands after its character).
  uint16_t pending_unit = 0;
};

// A diagnostic named by a converter.
struct ConvDiag {
  const char* sqlstate = nullptr;
  const char* message = nullptr;
  bool odbc3 = false;  // subclass origin "ODBC 3.0"
};

// Converts v to target_type into target (buffer_length bytes) and stores the
// length or indicator. Results: SQL_SUCCESS, SQL_SUCCESS_WITH_INFO (diag set),
// SQL_ERROR (diag set) or SQL_NO_DATA (the value was already returned whole).
// Targets: every C type of SQLGetData except SQL_C_DEFAULT and SQL_ARD_TYPE,
// which the caller resolves first; SQL_C_WCHAR gets UTF-16 from the cached
// UTF-8 text. A value that did not fit its cache slot gives an error.
SQLRETURN convert_cached_value(const CachedValue& v, SQLSMALLINT target_type, SQLPOINTER target, SQLLEN buffer_length,
                               SQLLEN* length_or_ind, PieceState* piece, ConvDiag* diag);

// Byte size of the cached value's raw form (the binary target's length).
SQLLEN cached_raw_size(const CachedValue& v);

}  // namespace kyvek::driver

#endif
