// Cache values read as numbers and written to numeric targets. See convert_parts.h.
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

// ---- numbers ----------------------------------------------------------------

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
      if (!parse_real(s, &n->d)) return fail(d, sqlstate::k22018);
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
      if (!parse_int(s, &i) && !parse_real(s, &x)) return fail(d, sqlstate::k22018);
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

}  // namespace kyvek::driver::conversion
