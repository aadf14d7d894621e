// Cache values written to interval targets. See convert_parts.h.
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
  if (!ok || !s.empty()) return fail(d, sqlstate::k22018);
  if (overflow) return fail(d, sqlstate::k22015);
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
      if (code > SQL_IS_SECOND) return fail(d, sqlstate::k22015);
      int64_t x = v.v.integer;
      uint64_t m = x < 0 ? 0 - static_cast<uint64_t>(x) : static_cast<uint64_t>(x);
      if (m > UINT32_MAX) return fail(d, sqlstate::k22015);
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
      if (!split_total(code, mag, fmag, &out, &lost)) return fail(d, sqlstate::k22015);
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

}  // namespace kyvek::driver::conversion
