// The parts of the cache-value conversions (convert.cpp): the shared
// diagnostics and number reading, and one unit each for numbers, dates and
// times, intervals, and text and binary targets. Internal to the driver.
#pragma once

#include <string>
#include <string_view>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "convert.h"
#include "sqlstate.h"

namespace kyvek::driver::conversion {

// The texts of these two differ from the table's.
inline constexpr const char* kRestricted = "restricted data type attribute violation";
inline constexpr const char* kBadDatetime = "Data value is not a valid datetime";

inline SQLRETURN fail(ConvDiag* d, const char* state, const char* msg, bool odbc3 = false) {
  *d = {state, msg, odbc3};
  return SQL_ERROR;
}
inline SQLRETURN warn(ConvDiag* d, const char* state, const char* msg, bool odbc3 = false) {
  *d = {state, msg, odbc3};
  return SQL_SUCCESS_WITH_INFO;
}
inline SQLRETURN fail(ConvDiag* d, const sqlstate::Row& state, bool odbc3 = false) {
  return fail(d, state.state, state.text, odbc3);
}
inline SQLRETURN warn(ConvDiag* d, const sqlstate::Row& state, bool odbc3 = false) {
  return warn(d, state.state, state.text, odbc3);
}
inline SQLRETURN out_of_range(ConvDiag* d) { return fail(d, sqlstate::k22003); }
inline SQLRETURN restricted(ConvDiag* d) { return fail(d, sqlstate::k07006.state, kRestricted); }
inline SQLRETURN fractional(ConvDiag* d) { return warn(d, sqlstate::k01S07, true); }

inline void set_len(SQLLEN* p, SQLLEN v) {
  if (p) *p = v;
}

// One reading of a source value as a number.
struct Number {
  enum Kind { kInt, kReal } kind = kInt;
  int64_t i = 0;
  double d = 0;
  bool fraction = false;  // an integer reading dropped a non-zero fraction
};

// text helpers (convert_text.cpp)
std::string_view trim(std::string_view s);
std::string_view text_of(const CachedValue& v);
std::string real_text(double d, bool single);
std::string sqlite_real_text(double d);
std::string fraction_text(SQLUINTEGER fraction);

// numbers (convert_numbers.cpp)
bool parse_int(std::string_view s, int64_t* out);
bool parse_real(std::string_view s, double* out);
bool interval_single(const SQL_INTERVAL_STRUCT& iv, int64_t* value, bool* fraction);
bool numeric_has_fraction(const SQL_NUMERIC_STRUCT& n);
SQLRETURN read_number(const CachedValue& v, Number* n, ConvDiag* d);
SQLRETURN read_double(const CachedValue& v, double* out, ConvDiag* d);
SQLRETURN to_double(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);
SQLRETURN to_float(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);
SQLRETURN to_bit(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);
SQLRETURN numeric_result(int rc, ConvDiag* d);
SQLRETURN to_numeric(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);

// dates and times (convert_datetime.cpp)
bool leap(int y);
int days_in(int y, int m);
bool read_field(std::string_view& s, int max_digits, int64_t* out);
bool expect(std::string_view& s, char c);
bool read_fraction(std::string_view& s, SQLUINTEGER* out);
bool parse_date(std::string_view& s, SQL_DATE_STRUCT* out);
bool parse_time(std::string_view& s, SQL_TIME_STRUCT* out);
bool parse_timestamp(std::string_view s, SQL_TIMESTAMP_STRUCT* out);
SQLRETURN to_date(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);
SQLRETURN to_time(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);
SQLRETURN to_timestamp(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);

// intervals (convert_interval.cpp)
bool day_time_fields(int code, int* lead, int* last);
SQLUINTEGER* day_time_field(SQL_INTERVAL_STRUCT& iv, int index);
bool is_year_month(int code);
bool split_total(int code, uint64_t total, uint64_t fraction, SQL_INTERVAL_STRUCT* iv, bool* lost);
SQLRETURN parse_interval(std::string_view s, int code, SQL_INTERVAL_STRUCT* iv, ConvDiag* d);
SQLRETURN to_interval(const CachedValue& v, SQLSMALLINT target_type, SQLPOINTER target, SQLLEN* ind, ConvDiag* d);

// text and binary targets (convert_text.cpp)
bool render_text(const CachedValue& v, std::string* out);
SQLRETURN serve_char(std::string_view text, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece,
                     ConvDiag* d);
char32_t next_code_point(std::string_view s, size_t* i);
SQLRETURN serve_wchar(std::string_view text, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece,
                      ConvDiag* d);
SQLRETURN serve_binary(const unsigned char* bytes, SQLLEN size, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind,
                       PieceState* piece, ConvDiag* d);

// An integer target of the given range; writes size bytes.
template <typename T>
SQLRETURN to_integer(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  Number n;
  if (SQLRETURN rc = read_number(v, &n, d); rc != SQL_SUCCESS) return rc;
  T out{};
  bool frac = n.fraction;
  if (n.kind == Number::kInt) {
    if constexpr (std::is_unsigned_v<T>) {
      if (n.i < 0 || static_cast<uint64_t>(n.i) > std::numeric_limits<T>::max()) return out_of_range(d);
    } else {
      if (n.i < std::numeric_limits<T>::min() || n.i > std::numeric_limits<T>::max()) return out_of_range(d);
    }
    out = static_cast<T>(n.i);
  } else {
    if (std::isnan(n.d)) return out_of_range(d);
    long double t = std::trunc(static_cast<long double>(n.d));
    if (t < static_cast<long double>(std::numeric_limits<T>::min()) ||
        t > static_cast<long double>(std::numeric_limits<T>::max()))
      return out_of_range(d);
    out = static_cast<T>(t);
    frac = t != static_cast<long double>(n.d);
  }
  if (target) std::memcpy(target, &out, sizeof out);
  set_len(ind, sizeof out);
  return frac ? fractional(d) : SQL_SUCCESS;
}

}  // namespace kyvek::driver::conversion
