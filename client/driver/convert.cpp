// Conversions of block-fetch cache values to application C types.
//
// Every text-like result is rendered once as bytes (the cached text itself, or
// the text form of a number, date or interval) and served in pieces from the
// column's offset, which counts bytes of that rendered form; binary targets are
// served the same way from the value's raw bytes. Numbers travel through one
// reading (exact integer, double or numeric) and are range-checked per target.
//
// This unit chooses the conversion by source class and target type; the
// conversions live in convert_numbers.cpp, convert_datetime.cpp,
// convert_interval.cpp and convert_text.cpp (declared in convert_parts.h).
#include "convert.h"

#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <limits>
#include <type_traits>

#include "convert_parts.h"
#include "ky_date.h"
#include "ky_interval.h"
#include "ky_numeric.h"

namespace kyvek::driver {

using namespace conversion;

int source_class_of(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_LONG:
    case SQL_C_SHORT:
    case SQL_C_UTINYINT:
    case SQL_C_STINYINT:
    case SQL_C_ULONG:
    case SQL_C_USHORT:
    case SQL_C_SLONG:
    case SQL_C_SSHORT:
    case SQL_C_TINYINT: return kClassInteger;
    case SQL_C_FLOAT:
    case SQL_C_DOUBLE: return kClassReal;
    case SQL_C_CHAR: return kClassText;
    case SQL_C_BIT: return kClassBit;
    case SQL_C_BINARY: return kClassBinary;
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: return kClassDate;
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: return kClassTime;
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: return kClassTimestamp;
    case SQL_C_NUMERIC: return kClassNumeric;
    case SQL_C_UBIGINT:
    case SQL_C_SBIGINT: return kClassBigint;
    case SQL_C_INTERVAL_YEAR:
    case SQL_C_INTERVAL_MONTH:
    case SQL_C_INTERVAL_YEAR_TO_MONTH: return kClassYearMonth;
    default:
      return c_type >= SQL_C_INTERVAL_DAY && c_type <= SQL_C_INTERVAL_MINUTE_TO_SECOND ? kClassDayTime : kClassNone;
  }
}

CachedValue cached_value_from_cell(SQLSMALLINT c_type, const void* cell, SQLLEN slot, SQLLEN indicator,
                                   int16_t precision, int16_t scale) {
  CachedValue v;
  v.c_type = c_type;
  v.source_class = source_class_of(c_type);
  v.octet_length = slot;
  v.indicator = indicator;
  v.precision = precision;
  v.scale = scale;
  if (indicator == SQL_NULL_DATA || cell == nullptr) return v;
  const auto* p = static_cast<const unsigned char*>(cell);
  auto load = [p](auto sample) {
    decltype(sample) x;
    std::memcpy(&x, p, sizeof x);
    return static_cast<int64_t>(x);
  };
  switch (c_type) {
    case SQL_C_LONG:
    case SQL_C_SLONG: v.v.integer = load(int32_t{}); break;
    case SQL_C_ULONG: v.v.integer = load(uint32_t{}); break;
    case SQL_C_SHORT:
    case SQL_C_SSHORT: v.v.integer = load(int16_t{}); break;
    case SQL_C_USHORT: v.v.integer = load(uint16_t{}); break;
    case SQL_C_TINYINT:
    case SQL_C_STINYINT: v.v.integer = load(int8_t{}); break;
    case SQL_C_UTINYINT:
    case SQL_C_BIT: v.v.integer = load(uint8_t{}); break;
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT: v.v.integer = load(int64_t{}); break;
    case SQL_C_FLOAT: {
      float f;
      std::memcpy(&f, p, sizeof f);
      v.v.real = f;
      break;
    }
    case SQL_C_DOUBLE: std::memcpy(&v.v.real, p, sizeof(double)); break;
    case SQL_C_CHAR: {
      v.data = p;
      const SQLLEN room = slot > 0 ? slot - 1 : 0;
      v.length = indicator >= 0 && indicator < room ? indicator : room;
      if (indicator == SQL_NTS) v.length = static_cast<SQLLEN>(strnlen(reinterpret_cast<const char*>(p), room));
      break;
    }
    case SQL_C_BINARY:
      v.data = p;
      v.length = indicator >= 0 && indicator < slot ? indicator : slot;
      break;
    default:
      switch (v.source_class) {
        case kClassDate: std::memcpy(&v.v.date, p, sizeof v.v.date); break;
        case kClassTime: std::memcpy(&v.v.time, p, sizeof v.v.time); break;
        case kClassTimestamp: std::memcpy(&v.v.timestamp, p, sizeof v.v.timestamp); break;
        case kClassNumeric: std::memcpy(&v.v.numeric, p, sizeof v.v.numeric); break;
        case kClassYearMonth:
        case kClassDayTime: std::memcpy(&v.v.interval, p, sizeof v.v.interval); break;
        default: break;
      }
  }
  return v;
}

SQLLEN cached_raw_size(const CachedValue& v) {
  switch (v.source_class) {
    case kClassInteger:
    case kClassBit: return 4;
    case kClassReal:
    case kClassBigint: return 8;
    case kClassText:
    case kClassBinary: return v.length;
    case kClassDate:
    case kClassTime: return 6;
    case kClassTimestamp: return 16;
    case kClassNumeric: return 19;
    case kClassYearMonth:
    case kClassDayTime: return 28;
    default: return 0;
  }
}

SQLRETURN convert_cached_value(const CachedValue& v, SQLSMALLINT target_type, SQLPOINTER target, SQLLEN buffer_length,
                               SQLLEN* ind, PieceState* piece, ConvDiag* d) {
  PieceState scratch;
  if (!piece) piece = &scratch;
  if (piece->done) return SQL_NO_DATA;
  if (v.indicator == SQL_NULL_DATA) {
    if (!ind) return fail(d, sqlstate::k22002);
    *ind = SQL_NULL_DATA;
    piece->done = true;
    return SQL_SUCCESS;
  }
  if (v.source_class == kClassNone) return restricted(d);
  // A text or binary value that the server cut to fit its cache slot.
  if ((v.source_class == kClassText || v.source_class == kClassBinary) && v.indicator > v.length) {
    static thread_local char msg[160];
    std::snprintf(msg, sizeof msg, "General error: value of %ld bytes exceeds the block-fetch cache of %ld bytes",
                  static_cast<long>(v.indicator), static_cast<long>(v.length));
    return fail(d, sqlstate::kHY000.state, msg);
  }
  SQLRETURN rc = SQL_SUCCESS;
  switch (target_type) {
    case SQL_C_CHAR:
    case SQL_VARCHAR:
    case SQL_C_WCHAR: {
      std::string text;
      if (!render_text(v, &text)) {
        text = "UNSUPPORTED STRING CONVERSION";
      }
      return target_type == SQL_C_WCHAR ? serve_wchar(text, target, buffer_length, ind, piece, d)
                                        : serve_char(text, target, buffer_length, ind, piece, d);
    }
    case SQL_C_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
    case SQL_LONGVARCHAR: {
      if (v.source_class == kClassText || v.source_class == kClassBinary)
        return serve_binary(v.data, v.length, target, buffer_length, ind, piece, d);
      unsigned char raw[sizeof(SQL_INTERVAL_STRUCT)]{};
      const SQLLEN size = cached_raw_size(v);
      if (v.source_class == kClassInteger || v.source_class == kClassBit) {
        if (v.v.integer < INT32_MIN || v.v.integer > INT32_MAX) return out_of_range(d);
        const int32_t i = static_cast<int32_t>(v.v.integer);
        std::memcpy(raw, &i, sizeof i);
      } else if (v.source_class == kClassBigint) {
        std::memcpy(raw, &v.v.integer, 8);
      } else if (v.source_class == kClassReal) {
        std::memcpy(raw, &v.v.real, 8);
      } else {
        std::memcpy(raw, &v.v, static_cast<size_t>(size));
      }
      return serve_binary(raw, size, target, buffer_length, ind, piece, d);
    }
    case SQL_C_NUMERIC: rc = to_numeric(v, target, ind, d); break;
    case SQL_C_LONG:
    case SQL_C_SLONG: rc = to_integer<int32_t>(v, target, ind, d); break;
    case SQL_C_ULONG: rc = to_integer<uint32_t>(v, target, ind, d); break;
    case SQL_C_SHORT:
    case SQL_C_SSHORT: rc = to_integer<int16_t>(v, target, ind, d); break;
    case SQL_C_USHORT: rc = to_integer<uint16_t>(v, target, ind, d); break;
    case SQL_C_TINYINT:
    case SQL_C_STINYINT: rc = to_integer<int8_t>(v, target, ind, d); break;
    case SQL_C_UTINYINT: rc = to_integer<uint8_t>(v, target, ind, d); break;
    case SQL_C_SBIGINT:
    case SQL_BIGINT: rc = to_integer<int64_t>(v, target, ind, d); break;
    case SQL_C_UBIGINT: rc = to_integer<uint64_t>(v, target, ind, d); break;
    case SQL_C_FLOAT:
    case SQL_FLOAT: rc = to_float(v, target, ind, d); break;
    case SQL_C_DOUBLE: rc = to_double(v, target, ind, d); break;
    case SQL_C_BIT: rc = to_bit(v, target, ind, d); break;
    case SQL_C_DATE:
    case SQL_C_TYPE_DATE: rc = to_date(v, target, ind, d); break;
    case SQL_C_TIME:
    case SQL_C_TYPE_TIME: rc = to_time(v, target, ind, d); break;
    case SQL_C_TIMESTAMP:
    case SQL_C_TYPE_TIMESTAMP: rc = to_timestamp(v, target, ind, d); break;
    default:
      if (target_type >= SQL_C_INTERVAL_YEAR && target_type <= SQL_C_INTERVAL_MINUTE_TO_SECOND) {
        rc = to_interval(v, target_type, target, ind, d);
        break;
      }
      return restricted(d);
  }
  if (rc != SQL_ERROR) piece->done = true;
  return rc;
}

}  // namespace kyvek::driver
