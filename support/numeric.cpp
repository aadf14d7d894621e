// Exact decimal numbers in ODBC's numeric structure. The magnitude is held
// as an unsigned 128-bit integer, so every operation is exact and every
// overflow is seen; decimal text is only produced for output.
#include <cmath>
#include <cstring>
#include <charconv>
#include <limits>
#include <type_traits>
#include <string>

#include "diag_internal.h"
#include "ky_numeric.h"
#include "ky_string.h"
#include "value_internal.h"

namespace {

using u128 = unsigned __int128;
constexpr u128 kMaxMagnitude = ~static_cast<u128>(0);
constexpr int kOverflow = -2;
constexpr int kError = -1;

// A numeric taken apart: value = (neg ? -1 : 1) x mag x 10^-scale.
struct Dec {
  bool neg = false;
  u128 mag = 0;
  int scale = 0;
};

Dec unpack(const SQL_NUMERIC_STRUCT& n) {
  Dec d;
  for (int i = SQL_MAX_NUMERIC_LEN - 1; i >= 0; --i) d.mag = (d.mag << 8) | n.val[i];
  d.neg = n.sign == 0 && d.mag != 0;
  d.scale = n.scale;
  return d;
}

// Writes d into out; a zero is always positive.
int pack(const Dec& d, int32_t precision, SQL_NUMERIC_STRUCT* out) {
  if (!out || precision < 0 || precision > 255) return kError;
  if (d.scale < -128 || d.scale > 127) return kOverflow;
  out->precision = static_cast<SQLCHAR>(precision);
  out->scale = static_cast<SQLSCHAR>(d.scale);
  out->sign = (d.neg && d.mag != 0) ? 0 : 1;
  u128 m = d.mag;
  for (int i = 0; i < SQL_MAX_NUMERIC_LEN; ++i) {
    out->val[i] = static_cast<SQLCHAR>(m & 0xff);
    m >>= 8;
  }
  return 0;
}

// m x 10^times; false on overflow (m unchanged then).
bool scale_up(u128& m, int times) {
  u128 r = m;
  for (int i = 0; i < times && r != 0; ++i) {
    if (r > kMaxMagnitude / 10) return false;
    r *= 10;
  }
  m = r;
  return true;
}

// m / 10^times, truncating.
u128 scale_down(u128 m, int times) {
  for (int i = 0; i < times && m != 0; ++i) m /= 10;
  return m;
}

std::string digits_of(u128 m) {
  if (m == 0) return "0";
  std::string s;
  while (m != 0) {
    s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  return s;
}

std::string render(const Dec& d) {
  if (d.mag == 0) return "0";
  std::string s = digits_of(d.mag);
  if (d.scale < 0) {
    s.append(static_cast<size_t>(-d.scale), '0');
  } else if (d.scale > 0) {
    const auto scale = static_cast<size_t>(d.scale);
    if (s.size() > scale) {
      s.insert(s.size() - scale, 1, '.');
    } else {
      s = "0." + std::string(scale - s.size(), '0') + s;
    }
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return d.neg ? "-" + s : s;
}

// Accumulates decimal digits into m; false on overflow.
bool add_digits(u128& m, const std::string& digits) {
  for (char c : digits) {
    const auto v = static_cast<unsigned>(c - '0');
    if (m > (kMaxMagnitude - v) / 10) return false;
    m = m * 10 + v;
  }
  return true;
}

struct Parsed {
  bool neg = false;
  std::string int_digits;
  std::string frac_digits;
};

// Leading blanks, a sign, digits with at most one point; stops elsewhere.
Parsed parse_text(const char* p) {
  Parsed r;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '-' || *p == '+') r.neg = (*p++ == '-');
  for (; *p >= '0' && *p <= '9'; ++p) r.int_digits += *p;
  if (*p == '.') {
    for (++p; *p >= '0' && *p <= '9'; ++p) r.frac_digits += *p;
  }
  return r;
}

int from_integer(bool neg, uint64_t mag, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale) {
  if (!out) return kError;
  Dec d{neg, mag, scale};
  if (scale > 0) {
    if (!scale_up(d.mag, scale)) return kOverflow;
  } else if (scale < 0) {
    d.mag = scale_down(d.mag, -scale);
  }
  return pack(d, precision, out);
}

uint64_t abs64(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

// Magnitude comparison across scales.
int compare_magnitudes(const Dec& a, const Dec& b) {
  u128 x = a.mag, y = b.mag;
  if (a.scale < b.scale) {
    if (!scale_up(x, b.scale - a.scale)) return 1;
  } else if (b.scale < a.scale) {
    if (!scale_up(y, a.scale - b.scale)) return -1;
  }
  return x < y ? -1 : (x > y ? 1 : 0);
}

// Integer part of a numeric; false when it does not fit 128 bits.
bool integer_part(const Dec& d, u128& out) {
  out = d.mag;
  if (d.scale > 0) {
    out = scale_down(out, d.scale);
    return true;
  }
  return scale_up(out, -d.scale);
}

template <class T>
int to_integer(const SQL_NUMERIC_STRUCT* num, T* out) {
  if (!num || !out) return kError;
  const Dec d = unpack(*num);
  u128 m;
  if (!integer_part(d, m)) return kOverflow;
  using U = std::make_unsigned_t<T>;
  const u128 limit = d.neg ? static_cast<u128>(static_cast<U>(std::numeric_limits<T>::max())) + 1
                           : static_cast<u128>(std::numeric_limits<T>::max());
  if (m > limit) return kOverflow;
  const auto u = static_cast<U>(m);
  *out = d.neg ? static_cast<T>(0 - u) : static_cast<T>(u);
  return 0;
}

double to_double(const Dec& d) {
  const std::string s = render(d);
  double v = 0;
  std::from_chars(s.data(), s.data() + s.size(), v);
  return v;
}

bool is_comparison(int32_t op) { return op >= KY_OP_LESS && op <= KY_OP_NOT_EQUAL; }
bool is_arithmetic(int32_t op) {
  return op == KY_OP_ADD || op == KY_OP_SUBTRACT || op == KY_OP_MULTIPLY || op == KY_OP_DIVIDE;
}
bool cell_is_null(const Value& v) { return v.null_indicator != 0 || v.value_type == KY_VT_NULL; }

// Truth of `op` for an ordering result c (-1, 0, 1).
int truth(int32_t op, int c) {
  switch (op) {
    case KY_OP_LESS: return c < 0;
    case KY_OP_GREATER: return c > 0;
    case KY_OP_GREATER_EQUAL: return c >= 0;
    case KY_OP_LESS_EQUAL: return c <= 0;
    case KY_OP_EQUAL: return c == 0;
    default: return c != 0;
  }
}

int out_of_range(ky_eval_context* ctx) { return ky::eval_error(ctx, sqlstate::k22003, "ISO 9075"); }

int bad_operands(ky_eval_context* ctx) {
  return ky::eval_error(ctx, sqlstate::kHY000.state, "Operand is not a number", "ISO 9075");
}

// The other operand of a numeric operation in numeric form.
int as_numeric(const Value& v, const SQL_NUMERIC_STRUCT& like, SQL_NUMERIC_STRUCT& out) {
  switch (v.value_type) {
    case KY_VT_NUMERIC: out = v.data.numeric; return 0;
    case KY_VT_DOUBLE: {
      const int rc = double_to_numeric(v.data.real, &out, like.precision, like.scale);
      return rc < 0 ? rc : 0;
    }
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2: return int_to_numeric(v.data.integer, &out, 15, 0);
    case KY_VT_BIGINT: return bigint_to_numeric(v.data.bigint, &out, 20, 0);
    case KY_VT_TEXT: return string_to_numeric(v.data.bytes ? static_cast<const char*>(v.data.bytes) : "", &out, 20, 0);
    default: return kError;
  }
}

}  // namespace

extern "C" {

KY_API int int_to_numeric(int32_t value, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale) {
  return from_integer(value < 0, abs64(value), out, precision, scale);
}

KY_API int bigint_to_numeric(int64_t value, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale) {
  return from_integer(value < 0, abs64(value), out, precision, scale);
}

KY_API int int_to_numeric_noscale(int32_t value, SQL_NUMERIC_STRUCT* out, int32_t precision) {
  return int_to_numeric(value, out, precision, 0);
}

KY_API int bigint_to_numeric_noscale(int64_t value, SQL_NUMERIC_STRUCT* out, int32_t precision) {
  return bigint_to_numeric(value, out, precision, 0);
}

KY_API int double_to_numeric(double value, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale) {
  if (!out) return kError;
  if (!std::isfinite(value) || scale < -128 || scale > 127) return kOverflow;
  int rc = 0;
  if (scale < 0) {
    value /= std::pow(10.0, -scale);
    if (value != std::trunc(value)) rc = 1;
  } else if (scale > 0) {
    value *= std::pow(10.0, scale);
  }
  // Round half to even, as "%.0f" would print it.
  const double r = std::nearbyint(value);
  if (!std::isfinite(r) || std::fabs(r) >= std::ldexp(1.0, 128)) return kOverflow;
  const Dec d{r < 0, static_cast<u128>(std::fabs(r)), scale};
  const int packed = pack(d, precision, out);
  return packed != 0 ? packed : rc;
}

KY_API int string_to_numeric(const char* text, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale) {
  if (!text || !out) return kError;
  const Parsed p = parse_text(text);
  Dec d;
  d.neg = p.neg;
  if (!add_digits(d.mag, p.int_digits) || !add_digits(d.mag, p.frac_digits)) return kOverflow;
  const long long s = static_cast<long long>(scale) + static_cast<long long>(p.frac_digits.size());
  if (s < -128 || s > 127) return kOverflow;
  d.scale = static_cast<int>(s);
  return pack(d, precision, out);
}

KY_API int create_numeric(const char* text, SQL_NUMERIC_STRUCT* out, int32_t precision, int32_t scale) {
  if (!text || !out) return kError;
  if (scale < -128 || scale > 127) return kOverflow;
  const Parsed p = parse_text(text);
  std::string digits = p.int_digits;
  if (scale >= 0) {
    std::string frac = p.frac_digits;
    frac.resize(static_cast<size_t>(scale), '0');
    digits += frac;
  } else {
    const auto drop = static_cast<size_t>(-scale);
    digits.resize(digits.size() > drop ? digits.size() - drop : 0);
  }
  Dec d{p.neg, 0, scale};
  if (!add_digits(d.mag, digits)) return kOverflow;
  return pack(d, precision, out);
}

KY_API int numeric_to_string(const SQL_NUMERIC_STRUCT* num, char* out, SQLLEN capacity, SQLLEN* len_out) {
  if (!num) return kError;
  return copy_str_bufferl(out, capacity, len_out, render(unpack(*num)).c_str());
}

KY_API int numeric_to_double(const SQL_NUMERIC_STRUCT* num, double* out) {
  if (!num || !out) return kError;
  *out = to_double(unpack(*num));
  return 0;
}

KY_API int numeric_to_int(const SQL_NUMERIC_STRUCT* num, int32_t* out) { return to_integer(num, out); }

KY_API int numeric_to_bigint(const SQL_NUMERIC_STRUCT* num, int64_t* out) { return to_integer(num, out); }

KY_API int numeric_is_zero(const SQL_NUMERIC_STRUCT* num) {
  if (!num) return 0;
  for (SQLCHAR b : num->val) {
    if (b != 0) return 0;
  }
  return 1;
}

KY_API int numeric_compare(const SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b) {
  if (!a || !b) return (a == b) ? 0 : (a ? 1 : -1);
  const Dec x = unpack(*a), y = unpack(*b);
  const int sx = x.mag == 0 ? 0 : (x.neg ? -1 : 1);
  const int sy = y.mag == 0 ? 0 : (y.neg ? -1 : 1);
  if (sx != sy) return sx < sy ? -1 : 1;
  if (sx == 0) return 0;
  const int c = compare_magnitudes(x, y);
  return sx < 0 ? -c : c;
}

KY_API int add_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b) {
  if (!a || !b) return kError;
  Dec x = unpack(*a), y = unpack(*b);
  // Align on the larger scale; a magnitude that no longer fits is reported.
  if (x.scale < y.scale) {
    if (!scale_up(x.mag, y.scale - x.scale)) return kOverflow;
    x.scale = y.scale;
  } else if (y.scale < x.scale) {
    if (!scale_up(y.mag, x.scale - y.scale)) return kOverflow;
    y.scale = x.scale;
  }
  Dec r{x.neg, 0, x.scale};
  if (x.neg == y.neg) {
    if (x.mag > kMaxMagnitude - y.mag) return kOverflow;
    r.mag = x.mag + y.mag;
  } else if (x.mag >= y.mag) {
    r.mag = x.mag - y.mag;
  } else {
    r.mag = y.mag - x.mag;
    r.neg = y.neg;
  }
  return pack(r, a->precision, a);
}

KY_API int subtract_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b) {
  if (!a || !b) return kError;
  SQL_NUMERIC_STRUCT flipped = *b;
  flipped.sign = flipped.sign ? 0 : 1;
  return add_numeric(a, &flipped);
}

KY_API int mult_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b) {
  if (!a || !b) return kError;
  const Dec x = unpack(*a), y = unpack(*b);
  Dec r{x.neg != y.neg, 0, x.scale + y.scale};
  if (__builtin_mul_overflow(x.mag, y.mag, &r.mag)) return kOverflow;
  return pack(r, 0, a);
}

KY_API int div_numeric(SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b, void*) {
  if (!a || !b) return kError;
  const Dec x = unpack(*a), y = unpack(*b);
  if (y.mag == 0) return kError;
  // Quotient at a's scale: q = x.mag x 10^y.scale / y.mag, rounded.
  u128 dividend = x.mag, divisor = y.mag;
  bool exact = true;
  if (y.scale > 0) {
    exact = scale_up(dividend, y.scale);
  } else if (y.scale < 0 && !scale_up(divisor, -y.scale)) {
    dividend = 0;  // the divisor exceeds 2^128 > 2 x dividend: rounds to 0
    divisor = 1;
  }
  if (!exact) {
    // Too wide for exact division: go through doubles.
    SQL_NUMERIC_STRUCT q;
    const int rc = double_to_numeric(to_double(x) / to_double(y), &q, a->precision, x.scale);
    if (rc < 0) return rc;
    *a = q;
    return 0;
  }
  u128 q = dividend / divisor;
  const u128 rem = dividend % divisor;
  if (rem >= divisor - rem) ++q;  // half away from zero
  return pack(Dec{x.neg != y.neg, q, x.scale}, a->precision, a);
}

KY_API int numeric_operation(const Value* left, const Value* right, Value* result, ky_eval_context* context,
                             int32_t op) {
  if (!left || !right || !result) return kError;
  if (!is_comparison(op) && !is_arithmetic(op)) return 0;
  const Value* num = left->value_type == KY_VT_NUMERIC ? left : right;
  if (num->value_type != KY_VT_NUMERIC) return bad_operands(context);
  if (cell_is_null(*left) || cell_is_null(*right)) {
    if (is_comparison(op)) {
      set_trivalue_in_value(result, 2);
    } else {
      ky::value_reset(*result, KY_VT_NUMERIC);
      result->null_indicator = -1;
    }
    return 0;
  }
  SQL_NUMERIC_STRUCT a{}, b{};
  int rc = as_numeric(*left, num->data.numeric, a);
  if (rc == 0) rc = as_numeric(*right, num->data.numeric, b);
  if (rc == kOverflow) return out_of_range(context);
  if (rc != 0) return bad_operands(context);
  if (is_comparison(op)) {
    set_trivalue_in_value(result, truth(op, numeric_compare(&a, &b)));
    return 0;
  }
  switch (op) {
    case KY_OP_ADD: rc = add_numeric(&a, &b); break;
    case KY_OP_SUBTRACT: rc = subtract_numeric(&a, &b); break;
    case KY_OP_MULTIPLY: rc = mult_numeric(&a, &b); break;
    default:
      if (numeric_is_zero(&b)) return ky::eval_error(context, sqlstate::k22012, "ISO 9075");
      rc = div_numeric(&a, &b, context);
      break;
  }
  if (rc == kOverflow) return out_of_range(context);
  if (rc != 0) return bad_operands(context);
  const int32_t lead = num->leading_precision, secs = num->seconds_precision;
  ky::value_reset(*result, KY_VT_NUMERIC);
  result->leading_precision = lead;
  result->seconds_precision = secs;
  result->data.numeric = a;
  return 0;
}

KY_API int bigint_operation(const Value* left, const Value* right, Value* result, ky_eval_context* context,
                            int32_t op) {
  if (!left || !right || !result) return kError;
  if (!is_comparison(op) && !is_arithmetic(op)) return 0;
  if (cell_is_null(*left) || cell_is_null(*right)) {
    if (is_comparison(op)) {
      set_trivalue_in_value(result, 2);
    } else {
      ky::value_reset(*result, KY_VT_BIGINT);
      result->null_indicator = -1;
    }
    return 0;
  }
  const int64_t a = get_bigint_from_value(left), b = get_bigint_from_value(right);
  if (is_comparison(op)) {
    set_trivalue_in_value(result, truth(op, a < b ? -1 : (a > b ? 1 : 0)));
    return 0;
  }
  int64_t r = 0;
  bool overflow = false;
  switch (op) {
    case KY_OP_ADD: overflow = __builtin_add_overflow(a, b, &r); break;
    case KY_OP_SUBTRACT: overflow = __builtin_sub_overflow(a, b, &r); break;
    case KY_OP_MULTIPLY: overflow = __builtin_mul_overflow(a, b, &r); break;
    default:
      if (b == 0) return ky::eval_error(context, sqlstate::k22012, "ODBC3.0");
      overflow = a == std::numeric_limits<int64_t>::min() && b == -1;
      if (!overflow) r = a / b;
      break;
  }
  if (overflow) return out_of_range(context);
  ky::value_reset(*result, KY_VT_BIGINT);
  result->data.bigint = r;
  return 0;
}

}  // extern "C"
