// Conversions of block-fetch cache values to application C types.
//
// Every text-like result is rendered once as bytes (the cached text itself, or
// the text form of a number, date or interval) and served in pieces from the
// column's offset, which counts bytes of that rendered form; binary targets are
// served the same way from the value's raw bytes. Numbers travel through one
// reading (exact integer, double or numeric) and are range-checked per target.
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

#include "ky_date.h"
#include "ky_interval.h"
#include "ky_numeric.h"

namespace kyvek::driver {
namespace {

constexpr const char* kOutOfRange = "Numeric value out of range";
constexpr const char* kRestricted = "restricted data type attribute violation";
constexpr const char* kFraction = "Fractional truncation";
constexpr const char* kTruncated = "String data, right truncated";
constexpr const char* kBadDatetime = "Data value is not a valid datetime";
constexpr const char* kIntervalOverflow = "Interval field overflow";
constexpr const char* kBadCast =
    "Invalid character value for cast spe"
    "cification";

SQLRETURN fail(ConvDiag* d, const char* state, const char* msg, bool odbc3 = false) {
  *d = {state, msg, odbc3};
  return SQL_ERROR;
}
SQLRETURN warn(ConvDiag* d, const char* state, const char* msg, bool odbc3 = false) {
  *d = {state, msg, odbc3};
  return SQL_SUCCESS_WITH_INFO;
}
SQLRETURN out_of_range(ConvDiag* d) { return fail(d, "22003", kOutOfRange); }
SQLRETURN restricted(ConvDiag* d) { return fail(d, "07006", kRestricted); }
SQLRETURN fractional(ConvDiag* d) { return warn(d, "01S07", kFraction, true); }

void set_len(SQLLEN* p, SQLLEN v) {
  if (p) *p = v;
}

// ---- text helpers -----------------------------------------------------------

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

std::string_view text_of(const CachedValue& v) {
  return {reinterpret_cast<const char*>(v.data), static_cast<size_t>(v.length)};
}

// Shortest text that reads back as the same value: fixed notation for decimal
// exponents from -4 to digits-1, scientific otherwise ("1e-10", "3.14").
std::string real_text(double d, bool single) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  auto r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(d), std::chars_format::scientific)
                  : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string sci(buf, r.ptr);
  size_t e = sci.find('e');
  int exp = std::atoi(sci.c_str() + e + 1);
  if (exp < -4 || exp >= (single ? 6 : 15)) return sci;
  std::string mant = sci.substr(0, e);
  bool neg = mant[0] == '-';
  if (neg) mant.erase(0, 1);
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  std::string out;
  if (exp < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  } else if (static_cast<size_t>(exp) + 1 >= digits.size()) {
    out = digits + std::string(exp + 1 - digits.size(), '0');
  } else {
    out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
  }
  return neg ? "-" + out : out;
}

// SQLite's text of a real: "%.15g" with a point in every mantissa.
std::string sqlite_real_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Inf" : "Inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  std::string s(buf);
  const size_t e = s.find('e');
  const std::string mant = s.substr(0, e);
  if (mant.find('.') == std::string::npos) s.insert(e == std::string::npos ? s.size() : e, ".0");
  return s;
}

std::string fraction_text(SQLUINTEGER fraction) {
  if (fraction == 0) return {};
  char buf[16];
  std::snprintf(buf, sizeof buf, ".%09u", static_cast<unsigned>(fraction % 1000000000u));
  std::string s(buf);
  while (s.back() == '0') s.pop_back();
  return s;
}

// ---- numbers ----------------------------------------------------------------

// One reading of a source value as a number.
struct Number {
  enum Kind { kInt, kReal } kind = kInt;
  int64_t i = 0;
  double d = 0;
  bool fraction = false;  // an integer reading dropped a non-zero fraction
};

bool parse_int(std::string_view s, int64_t* out) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  auto r = std::from_chars(s.data(), s.data() + s.size(), *out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool parse_real(std::string_view s, double* out) {
  std::string t(s);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  *out = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size();
}

// Integer value and fraction flag of a single-field interval (codes 1-6).
bool interval_single(const SQL_INTERVAL_STRUCT& iv, int64_t* value, bool* fraction) {
  const int code = iv.interval_type;
  int64_t m = 0;
  *fraction = false;
  switch (code) {
    case SQL_IS_YEAR: m = iv.intval.year_month.year; break;
    case SQL_IS_MONTH: m = iv.intval.year_month.month; break;
    case SQL_IS_DAY: m = iv.intval.day_second.day; break;
    case SQL_IS_HOUR: m = iv.intval.day_second.hour; break;
    case SQL_IS_MINUTE: m = iv.intval.day_second.minute; break;
    case SQL_IS_SECOND:
      m = iv.intval.day_second.second;
      *fraction = iv.intval.day_second.fraction != 0;
      break;
    default: return false;
  }
  *value = iv.interval_sign == SQL_TRUE ? -m : m;
  return true;
}

bool numeric_has_fraction(const SQL_NUMERIC_STRUCT& n) {
  char buf[320];
  SQLLEN len = 0;
  numeric_to_string(&n, buf, sizeof buf, &len);
  return std::strchr(buf, '.') != nullptr;
}

// Reads the source as a number. Errors are posted through d.
SQLRETURN read_number(const CachedValue& v, Number* n, ConvDiag* d) {
  switch (v.source_class) {
    case kClassInteger:
    case kClassBit:
    case kClassBigint:
      n->kind = Number::kInt;
      n->i = v.v.integer;
      return SQL_SUCCESS;
    case kClassReal:
      n->kind = Number::kReal;
      n->d = v.v.real;
      return SQL_SUCCESS;
    case kClassText: {
      std::string_view s = trim(text_of(v));
      if (parse_int(s, &n->i)) {
        n->kind = Number::kInt;
        return SQL_SUCCESS;
      }
      if (!parse_real(s, &n->d)) return fail(d, "22018", kBadCast);
      n->kind = Number::kReal;
      return SQL_SUCCESS;
    }
    case kClassNumeric: {
      int64_t i = 0;
      if (numeric_to_bigint(&v.v.numeric, &i) == 0) {
        n->kind = Number::kInt;
        n->i = i;
        n->fraction = numeric_has_fraction(v.v.numeric);
      } else {
        n->kind = Number::kReal;
        numeric_to_double(&v.v.numeric, &n->d);
      }
      return SQL_SUCCESS;
    }
    case kClassYearMonth:
    case kClassDayTime:
      if (!interval_single(v.v.interval, &n->i, &n->fraction)) return restricted(d);
      n->kind = Number::kInt;
      return SQL_SUCCESS;
    default: return restricted(d);
  }
}

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

SQLRETURN read_double(const CachedValue& v, double* out, ConvDiag* d) {
  if (v.source_class == kClassYearMonth || v.source_class == kClassDayTime) return restricted(d);
  if (v.source_class == kClassNumeric) {
    numeric_to_double(&v.v.numeric, out);
    return SQL_SUCCESS;
  }
  Number n;
  if (SQLRETURN rc = read_number(v, &n, d); rc != SQL_SUCCESS) return rc;
  *out = n.kind == Number::kInt ? static_cast<double>(n.i) : n.d;
  if (v.source_class == kClassText && std::isinf(*out) && errno == ERANGE) return out_of_range(d);
  return SQL_SUCCESS;
}

SQLRETURN to_double(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  double x = 0;
  if (SQLRETURN rc = read_double(v, &x, d); rc != SQL_SUCCESS) return rc;
  if (target) std::memcpy(target, &x, sizeof x);
  set_len(ind, sizeof x);
  return SQL_SUCCESS;
}

SQLRETURN to_float(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  double x = 0;
  if (SQLRETURN rc = read_double(v, &x, d); rc != SQL_SUCCESS) return rc;
  if (std::isfinite(x) && std::fabs(x) > FLT_MAX) return out_of_range(d);
  float f = static_cast<float>(x);
  if (target) std::memcpy(target, &f, sizeof f);
  set_len(ind, sizeof f);
  return SQL_SUCCESS;
}

SQLRETURN to_bit(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  if (v.source_class == kClassYearMonth || v.source_class == kClassDayTime) return restricted(d);
  Number n;
  if (SQLRETURN rc = read_number(v, &n, d); rc != SQL_SUCCESS) return rc;
  double x = n.kind == Number::kInt ? static_cast<double>(n.i) : n.d;
  if (std::isnan(x) || x < 0 || x >= 2) return out_of_range(d);
  unsigned char bit = x >= 1 ? 1 : 0;
  bool frac = n.fraction || (x != 0 && x != 1);
  if (target) *static_cast<unsigned char*>(target) = bit;
  set_len(ind, 1);
  return frac ? fractional(d) : SQL_SUCCESS;
}

SQLRETURN numeric_result(int rc, ConvDiag* d) {
  if (rc == -2) return out_of_range(d);
  if (rc < 0) return out_of_range(d);
  return rc == 1 ? fractional(d) : SQL_SUCCESS;
}

SQLRETURN to_numeric(const CachedValue& v, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  SQL_NUMERIC_STRUCT out{};
  const int32_t precision = v.precision > 0 && v.precision <= 38 ? v.precision : 38;
  const int32_t scale = v.scale;
  int rc = 0;
  switch (v.source_class) {
    case kClassNumeric: out = v.v.numeric; break;
    case kClassInteger:
    case kClassBit:
    case kClassBigint: rc = bigint_to_numeric(v.v.integer, &out, precision, scale); break;
    case kClassReal:
      if (!std::isfinite(v.v.real)) return out_of_range(d);
      rc = double_to_numeric(v.v.real, &out, precision, scale);
      break;
    case kClassText: {
      std::string s(trim(text_of(v)));
      double x = 0;
      int64_t i = 0;
      if (!parse_int(s, &i) && !parse_real(s, &x)) return fail(d, "22018", kBadCast);
      if (s.find_first_of("eEnNiI") != std::string::npos) {
        if (!std::isfinite(x)) return out_of_range(d);
        rc = double_to_numeric(x, &out, precision, scale);
      } else {
        rc = create_numeric(s.c_str(), &out, precision, scale);
      }
      break;
    }
    case kClassYearMonth:
    case kClassDayTime: {
      int64_t i = 0;
      bool frac = false;
      if (!interval_single(v.v.interval, &i, &frac)) return restricted(d);
      rc = bigint_to_numeric(i, &out, precision, scale);
      break;
    }
    default: return restricted(d);
  }
  SQLRETURN r = numeric_result(rc, d);
  if (r == SQL_ERROR) return r;
  if (target) std::memcpy(target, &out, sizeof out);
  set_len(ind, sizeof out);
  return r;
}

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
      if (!parse_timestamp(trim(text_of(v)), &t)) return fail(d, "22008", kBadDatetime);
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
        return fail(d, "22008", kBadDatetime);
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
      if (!parse_timestamp(trim(text_of(v)), &out)) return fail(d, "22008", kBadDatetime);
      break;
    default: return restricted(d);
  }
  return put_struct(out, target, ind);
}

// ---- intervals -----------------------------------------------------------------

constexpr int64_t kUnit[] = {86400, 3600, 60, 1};  // day, hour, minute, second

// Day-time code -> index of its leading and last field in kUnit.
bool day_time_fields(int code, int* lead, int* last) {
  switch (code) {
    case SQL_IS_DAY: *lead = 0, *last = 0; return true;
    case SQL_IS_HOUR: *lead = 1, *last = 1; return true;
    case SQL_IS_MINUTE: *lead = 2, *last = 2; return true;
    case SQL_IS_SECOND: *lead = 3, *last = 3; return true;
    case SQL_IS_DAY_TO_HOUR: *lead = 0, *last = 1; return true;
    case SQL_IS_DAY_TO_MINUTE: *lead = 0, *last = 2; return true;
    case SQL_IS_DAY_TO_SECOND: *lead = 0, *last = 3; return true;
    case SQL_IS_HOUR_TO_MINUTE: *lead = 1, *last = 2; return true;
    case SQL_IS_HOUR_TO_SECOND: *lead = 1, *last = 3; return true;
    case SQL_IS_MINUTE_TO_SECOND: *lead = 2, *last = 3; return true;
    default: return false;
  }
}

SQLUINTEGER* day_time_field(SQL_INTERVAL_STRUCT& iv, int index) {
  auto& ds = iv.intval.day_second;
  SQLUINTEGER* f[] = {&ds.day, &ds.hour, &ds.minute, &ds.second};
  return f[index];
}

bool is_year_month(int code) { return code == SQL_IS_YEAR || code == SQL_IS_MONTH || code == SQL_IS_YEAR_TO_MONTH; }

// Spreads a total (months, or seconds and billionths) over the target's
// fields. Returns false on a leading-field overflow; *lost is set when a
// lower remainder or fraction was dropped.
bool split_total(int code, uint64_t total, uint64_t fraction, SQL_INTERVAL_STRUCT* iv, bool* lost) {
  *lost = false;
  auto fits = [](uint64_t x) { return x <= UINT32_MAX; };
  if (is_year_month(code)) {
    auto& ym = iv->intval.year_month;
    if (code == SQL_IS_YEAR) {
      if (!fits(total / 12)) return false;
      ym.year = static_cast<SQLUINTEGER>(total / 12);
      *lost = total % 12 != 0;
    } else if (code == SQL_IS_MONTH) {
      if (!fits(total)) return false;
      ym.month = static_cast<SQLUINTEGER>(total);
    } else {
      if (!fits(total / 12)) return false;
      ym.year = static_cast<SQLUINTEGER>(total / 12);
      ym.month = static_cast<SQLUINTEGER>(total % 12);
    }
    return true;
  }
  int lead = 0, last = 0;
  day_time_fields(code, &lead, &last);
  uint64_t rest = total;
  for (int f = lead; f <= last; ++f) {
    uint64_t value = rest / kUnit[f];
    if (f == lead && !fits(value)) return false;
    *day_time_field(*iv, f) = static_cast<SQLUINTEGER>(value);
    rest %= kUnit[f];
  }
  if (last == 3)
    iv->intval.day_second.fraction = static_cast<SQLUINTEGER>(fraction);
  else
    *lost = rest != 0 || fraction != 0;
  return true;
}

// Interval text: single-field codes read a signed number (seconds with an
// optional fraction); multi-field codes their SQL layout ("Y-M", "D H:M:S.F").
SQLRETURN parse_interval(std::string_view s, int code, SQL_INTERVAL_STRUCT* iv, ConvDiag* d) {
  s = trim(s);
  bool neg = !s.empty() && s.front() == '-';
  if (neg || (!s.empty() && s.front() == '+')) s.remove_prefix(1);
  iv->interval_type = static_cast<SQLINTERVAL>(code);
  iv->interval_sign = neg ? SQL_TRUE : SQL_FALSE;
  int64_t a = 0, b = 0, c = 0, e = 0;
  SQLUINTEGER frac = 0;
  auto& ym = iv->intval.year_month;
  auto& ds = iv->intval.day_second;
  auto big = [](int64_t x) { return x > UINT32_MAX; };
  bool ok = true, overflow = false;
  switch (code) {
    case SQL_IS_YEAR:
    case SQL_IS_MONTH:
    case SQL_IS_DAY:
    case SQL_IS_HOUR:
    case SQL_IS_MINUTE:
    case SQL_IS_SECOND: {
      ok = read_field(s, 19, &a) && (code != SQL_IS_SECOND || read_fraction(s, &frac));
      overflow = big(a);
      if (code == SQL_IS_YEAR)
        ym.year = static_cast<SQLUINTEGER>(a);
      else if (code == SQL_IS_MONTH)
        ym.month = static_cast<SQLUINTEGER>(a);
      else
        *day_time_field(*iv, code - SQL_IS_DAY) = static_cast<SQLUINTEGER>(a);
      ds.fraction = code == SQL_IS_SECOND ? frac : ds.fraction;
      break;
    }
    case SQL_IS_YEAR_TO_MONTH:
      ok = read_field(s, 19, &a) && expect(s, '-') && read_field(s, 2, &b);
      overflow = big(a) || b > 11;
      ym.year = static_cast<SQLUINTEGER>(a), ym.month = static_cast<SQLUINTEGER>(b);
      break;
    case SQL_IS_DAY_TO_HOUR:
    case SQL_IS_DAY_TO_MINUTE:
    case SQL_IS_DAY_TO_SECOND:
    case SQL_IS_HOUR_TO_MINUTE:
    case SQL_IS_HOUR_TO_SECOND:
    case SQL_IS_MINUTE_TO_SECOND: {
      int lead = 0, last = 0;
      day_time_fields(code, &lead, &last);
      int64_t* vals[] = {&a, &b, &c, &e};
      for (int f = lead; ok && f <= last; ++f) {
        if (f > lead) ok = expect(s, f == 1 ? ' ' : ':');
        ok = ok && read_field(s, f == lead ? 19 : 2, vals[f - lead]);
        int64_t limit = f == lead ? UINT32_MAX : (f == 1 ? 23 : 59);
        if (ok && *vals[f - lead] > limit) overflow = true;
        if (ok) *day_time_field(*iv, f) = static_cast<SQLUINTEGER>(*vals[f - lead]);
      }
      if (ok && last == 3) ok = read_fraction(s, &ds.fraction);
      break;
    }
    default: return restricted(d);
  }
  if (!ok || !s.empty()) return fail(d, "22018", kBadCast);
  if (overflow) return fail(d, "22015", kIntervalOverflow);
  return SQL_SUCCESS;
}

SQLRETURN to_interval(const CachedValue& v, SQLSMALLINT target_type, SQLPOINTER target, SQLLEN* ind, ConvDiag* d) {
  const int code = target_type - 100;
  SQL_INTERVAL_STRUCT out{};
  out.interval_type = static_cast<SQLINTERVAL>(code);
  SQLRETURN rc = SQL_SUCCESS;
  switch (v.source_class) {
    case kClassInteger:
    case kClassBit:
    case kClassBigint: {
      if (code > SQL_IS_SECOND) return fail(d, "22015", kIntervalOverflow);
      int64_t x = v.v.integer;
      uint64_t m = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
      if (m > UINT32_MAX) return fail(d, "22015", kIntervalOverflow);
      out.interval_sign = x < 0 ? SQL_TRUE : SQL_FALSE;
      if (code == SQL_IS_YEAR)
        out.intval.year_month.year = static_cast<SQLUINTEGER>(m);
      else if (code == SQL_IS_MONTH)
        out.intval.year_month.month = static_cast<SQLUINTEGER>(m);
      else
        *day_time_field(out, code - SQL_IS_DAY) = static_cast<SQLUINTEGER>(m);
      break;
    }
    case kClassText:
      if ((rc = parse_interval(text_of(v), code, &out, d)) != SQL_SUCCESS) return rc;
      break;
    case kClassYearMonth:
    case kClassDayTime: {
      const bool src_ym = v.source_class == kClassYearMonth;
      if (src_ym != is_year_month(code)) return restricted(d);
      int64_t fraction = 0;
      int64_t total = get_base_value(&v.v.interval, &fraction);
      bool neg = total < 0 || (total == 0 && fraction < 0);
      uint64_t mag = total < 0 ? 0 - static_cast<uint64_t>(total) : static_cast<uint64_t>(total);
      uint64_t fmag = fraction < 0 ? 0 - static_cast<uint64_t>(fraction) : static_cast<uint64_t>(fraction);
      bool lost = false;
      if (!split_total(code, mag, fmag, &out, &lost)) return fail(d, "22015", kIntervalOverflow);
      out.interval_sign = neg ? SQL_TRUE : SQL_FALSE;
      if (lost) rc = fractional(d);
      break;
    }
    default: return restricted(d);
  }
  if (target) std::memcpy(target, &out, sizeof out);
  set_len(ind, sizeof out);
  return rc;
}

// ---- text and binary targets ------------------------------------------------------

// The value's bytes as a text target sees them (the cached text itself, or
// the text form of the value). Binary values render as hexadecimal digits.
bool render_text(const CachedValue& v, std::string* out) {
  char buf[400];
  switch (v.source_class) {
    case kClassInteger:
    case kClassBit:
    case kClassBigint:
      std::snprintf(buf, sizeof buf, "%" PRId64, v.v.integer);
      *out = buf;
      return true;
    case kClassReal:
      *out = v.real_style == kRealSqlite ? sqlite_real_text(v.v.real) : real_text(v.v.real, v.c_type == SQL_C_FLOAT);
      return true;
    case kClassText: out->assign(text_of(v)); return true;
    case kClassBinary: {
      static const char hex[] = "0123456789ABCDEF";
      out->clear();
      out->reserve(v.length * 2);
      for (SQLLEN i = 0; i < v.length; ++i) {
        out->push_back(hex[v.data[i] >> 4]);
        out->push_back(hex[v.data[i] & 15]);
      }
      return true;
    }
    case kClassDate:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", v.v.date.year, v.v.date.month, v.v.date.day);
      *out = buf;
      return true;
    case kClassTime:
      std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", v.v.time.hour, v.v.time.minute, v.v.time.second);
      *out = buf;
      return true;
    case kClassTimestamp: {
      const auto& t = v.v.timestamp;
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                    t.second);
      *out = buf + fraction_text(t.fraction);
      return true;
    }
    case kClassNumeric: {
      // All the digits of the value's scale, as the database shows them
      // ("1.50000" for 1.5 in a column of scale 5).
      SQLLEN len = 0;
      if (numeric_to_string(&v.v.numeric, buf, sizeof buf, &len) < 0) return false;
      *out = buf;
      const int scale = v.v.numeric.scale;
      if (scale > 0) {
        const size_t point = out->find('.');
        const size_t have = point == std::string::npos ? 0 : out->size() - point - 1;
        if (point == std::string::npos) out->push_back('.');
        out->append(static_cast<size_t>(scale) - std::min(have, static_cast<size_t>(scale)), '0');
      }
      return true;
    }
    case kClassYearMonth:
    case kClassDayTime: {
      SQLLEN len = 0;
      if (interval_struct_as_text(&v.v.interval, v.precision, v.scale, 0, buf, sizeof buf, &len) < 0) return false;
      *out = buf;
      return true;
    }
    default: return false;
  }
}

SQLRETURN serve_char(std::string_view text, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece,
                     ConvDiag* d) {
  const SQLLEN offset = piece->offset < static_cast<SQLLEN>(text.size()) ? piece->offset : text.size();
  const SQLLEN remaining = static_cast<SQLLEN>(text.size()) - offset;
  set_len(ind, remaining);
  SQLLEN n = 0;
  if (target && buffer_length > 0) {
    n = remaining < buffer_length - 1 ? remaining : buffer_length - 1;
    std::memcpy(target, text.data() + offset, static_cast<size_t>(n));
    static_cast<char*>(target)[n] = '\0';
  }
  if (n < remaining) {
    piece->offset = offset + n;
    return warn(d, "01004", kTruncated);
  }
  piece->done = true;
  return SQL_SUCCESS;
}

// One code point of UTF-8 at s[i]; invalid bytes read as U+FFFD, one byte.
char32_t next_code_point(std::string_view s, size_t* i) {
  const auto b = static_cast<unsigned char>(s[*i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || *i + len > s.size()) {
    ++*i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? b : b & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[*i + k]);
    if ((c & 0xC0) != 0x80) {
      ++*i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++*i;
    return 0xFFFD;
  }
  *i += len;
  return cp;
}

SQLRETURN serve_wchar(std::string_view text, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece,
                      ConvDiag* d) {
  size_t offset = piece->offset < static_cast<SQLLEN>(text.size()) ? piece->offset : text.size();
  // Total UTF-16 length of what remains.
  SQLLEN units = piece->pending_unit ? 1 : 0;
  for (size_t i = offset; i < text.size();) units += next_code_point(text, &i) >= 0x10000 ? 2 : 1;
  set_len(ind, units * 2);
  const SQLLEN room = target && buffer_length >= 2 ? buffer_length / 2 - 1 : -1;
  SQLLEN written = 0;
  size_t i = offset;
  if (room >= 0) {
    auto* out = static_cast<SQLWCHAR*>(target);
    if (piece->pending_unit && room > 0) {
      out[written++] = piece->pending_unit;
      piece->pending_unit = 0;
    }
    while (i < text.size() && !piece->pending_unit) {
      size_t next = i;
      char32_t cp = next_code_point(text, &next);
      const int need = cp >= 0x10000 ? 2 : 1;
      if (written + need > room) {
        // Characters are cut whole, unless the buffer cannot take even one:
        // then a pair is split across two calls so that reading advances.
        if (need == 2 && written == 0 && room == 1) {
          cp -= 0x10000;
          out[written++] = static_cast<SQLWCHAR>(0xD800 + (cp >> 10));
          piece->pending_unit = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
          i = next;
        }
        break;
      }
      if (need == 2) {
        cp -= 0x10000;
        out[written++] = static_cast<SQLWCHAR>(0xD800 + (cp >> 10));
        out[written++] = static_cast<SQLWCHAR>(0xDC00 + (cp & 0x3FF));
      } else {
        out[written++] = static_cast<SQLWCHAR>(cp);
      }
      i = next;
    }
    out[written] = 0;
  }
  if (written < units) {
    piece->offset = static_cast<SQLLEN>(i);
    return warn(d, "01004", kTruncated);
  }
  piece->done = true;
  return SQL_SUCCESS;
}

SQLRETURN serve_binary(const unsigned char* bytes, SQLLEN size, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind,
                       PieceState* piece, ConvDiag* d) {
  const SQLLEN offset = piece->offset < size ? piece->offset : size;
  const SQLLEN remaining = size - offset;
  set_len(ind, remaining);
  SQLLEN n = 0;
  if (target && buffer_length > 0) {
    n = remaining < buffer_length ? remaining : buffer_length;
    std::memcpy(target, bytes + offset, static_cast<size_t>(n));
  }
  if (n < remaining) {
    piece->offset = offset + n;
    return warn(d, "01004", kTruncated);
  }
  piece->done = true;
  return SQL_SUCCESS;
}

}  // namespace

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
    if (!ind) return fail(d, "22002", "Indicator variable required but not supplied");
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
    return fail(d, "HY000", msg);
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
