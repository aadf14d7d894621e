// Cache values written to date, time and timestamp targets. See convert_parts.h.
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

namespace kyvek::driver::conversion {

// ---- dates and times ---------------------------------------------------------

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int days_in(int y, int m) {
  static const int k[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : k[m - 1];
}

// Reads an unsigned decimal field of 1..max_digits digits.
bool read_field(std::string_view& s, int max_digits, int64_t* out) {
  size_t n = 0;
  int64_t v = 0;
  while (n < s.size() && n < static_cast<size_t>(max_digits) && s[n] >= '0' && s[n] <= '9') v = v * 10 + (s[n++] - '0');
  if (n == 0) return false;
  s.remove_prefix(n);
  *out = v;
  return true;
}
bool expect(std::string_view& s, char c) {
  if (s.empty() || s.front() != c) return false;
  s.remove_prefix(1);
  return true;
}
// ".digits" as billionths (digits beyond nine are dropped); absent gives 0.
bool read_fraction(std::string_view& s, SQLUINTEGER* out) {
  *out = 0;
  if (s.empty() || s.front() != '.') return true;
  s.remove_prefix(1);
  int64_t scale = 100000000;
  size_t n = 0;
  uint64_t v = 0;
  while (n < s.size() && s[n] >= '0' && s[n] <= '9') {
    if (scale > 0) v += (s[n] - '0') * scale;
    scale /= 10;
    ++n;
  }
  if (n == 0) return false;
  s.remove_prefix(n);
  *out = static_cast<SQLUINTEGER>(v);
  return true;
}

bool parse_date(std::string_view& s, SQL_DATE_STRUCT* out) {
  int64_t y, m, dd;
  bool neg = !s.empty() && s.front() == '-';
  if (neg) s.remove_prefix(1);
  if (!read_field(s, 5, &y) || !expect(s, '-') || !read_field(s, 2, &m) || !expect(s, '-') || !read_field(s, 2, &dd))
    return false;
  if (neg) y = -y;
  if (m < 1 || m > 12 || dd < 1 || dd > days_in(static_cast<int>(y), static_cast<int>(m))) return false;
  *out = {static_cast<SQLSMALLINT>(y), static_cast<SQLUSMALLINT>(m), static_cast<SQLUSMALLINT>(dd)};
  return true;
}

bool parse_time(std::string_view& s, SQL_TIME_STRUCT* out) {
  int64_t h, m, sec;
  if (!read_field(s, 2, &h) || !expect(s, ':') || !read_field(s, 2, &m) || !expect(s, ':') || !read_field(s, 2, &sec))
    return false;
  if (h > 23 || m > 59 || sec > 59) return false;
  *out = {static_cast<SQLUSMALLINT>(h), static_cast<SQLUSMALLINT>(m), static_cast<SQLUSMALLINT>(sec)};
  return true;
}

// "Y-M-D", "Y-M-D H:M:S[.F]" (a date alone is midnight).
bool parse_timestamp(std::string_view s, SQL_TIMESTAMP_STRUCT* out) {
  SQL_DATE_STRUCT date{};
  SQL_TIME_STRUCT time{};
  SQLUINTEGER fraction = 0;
  if (!parse_date(s, &date)) return false;
  if (!s.empty()) {
    if (s.front() != ' ' && s.front() != 'T') return false;
    s.remove_prefix(1);
    if (!parse_time(s, &time) || !read_fraction(s, &fraction)) return false;
  }
  if (!s.empty()) return false;
  *out = {date.year, date.month, date.day, time.hour, time.minute, time.second, fraction};
  return true;
}

template <typename T>
SQLRETURN put_struct(const T& value, SQLPOINTER target, SQLLEN* ind) {
  if (target) std::memcpy(target, &value, sizeof value);
  set_len(ind, sizeof value);
  return SQL_SUCCESS;
}

SQLRETURN to_date(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  // The date part of a timestamp; a time of day left over is a fractional truncation.
  auto date_of = [&](const SQL_TIMESTAMP_STRUCT& t) -> SQLRETURN {
    SQL_DATE_STRUCT out{t.year, t.month, t.day};
    put_struct(out, target, ind);
    return t.hour || t.minute || t.second || t.fraction ? fractional(d) : SQL_SUCCESS;
  };
  switch (v.source_class) {
    case kClassDate: return put_struct(v.v.date, target, ind);
    case kClassTimestamp: return date_of(v.v.timestamp);
    case kClassText: {
      SQL_TIMESTAMP_STRUCT t{};
      if (!parse_timestamp(trim(text_of(v)), &t)) return fail(d, sqlstate::k22008.state, kBadDatetime);
      return date_of(t);
    }
    default: return restricted(d);
  }
}

SQLRETURN to_time(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  switch (v.source_class) {
    case kClassTime: return put_struct(v.v.time, target, ind);
    case kClassTimestamp: {
      const auto& t = v.v.timestamp;
      SQL_TIME_STRUCT out{t.hour, t.minute, t.second};
      put_struct(out, target, ind);
      return t.fraction ? fractional(d) : SQL_SUCCESS;
    }
    case kClassText: {
      // A time, or the time part of a timestamp.
      std::string_view s = trim(text_of(v));
      SQL_TIME_STRUCT out{};
      SQLUINTEGER fraction = 0;
      SQL_TIMESTAMP_STRUCT ts{};
      std::string_view t = s;
      if (parse_time(t, &out) && read_fraction(t, &fraction) && t.empty()) {
      } else if (s.find(' ') != std::string_view::npos && parse_timestamp(s, &ts)) {
        out = {ts.hour, ts.minute, ts.second};
        fraction = ts.fraction;
      } else {
        return fail(d, sqlstate::k22008.state, kBadDatetime);
      }
      put_struct(out, target, ind);
      return fraction ? fractional(d) : SQL_SUCCESS;
    }
    default: return restricted(d);
  }
}

SQLRETURN to_timestamp(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  SQL_TIMESTAMP_STRUCT out{};
  switch (v.source_class) {
    case kClassTimestamp: out = v.v.timestamp; break;
    case kClassDate: out = {v.v.date.year, v.v.date.month, v.v.date.day, 0, 0, 0, 0}; break;
    case kClassTime:
      out = {static_cast<SQLSMALLINT>(current_year()),
             static_cast<SQLUSMALLINT>(current_month()),
             static_cast<SQLUSMALLINT>(current_day()),
             v.v.time.hour,
             v.v.time.minute,
             v.v.time.second,
             0};
      break;
    case kClassText:
      if (!parse_timestamp(trim(text_of(v)), &out)) return fail(d, sqlstate::k22008.state, kBadDatetime);
      break;
    default: return restricted(d);
  }
  return put_struct(out, target, ind);
}

}  // namespace kyvek::driver::conversion
