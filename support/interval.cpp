// SQL intervals: totals, normalising, comparison and text. Every code is
// described once by its first and last field; the rest is derived. Totals
// are 64-bit (32-bit totals overflow past about 24,855 days).
#include <cstdio>
#include <string>

#include "diag_internal.h"
#include "ky_date.h"
#include "ky_interval.h"
#include "ky_string.h"
#include "value_internal.h"

namespace {

enum Field { kYear, kMonth, kDay, kHour, kMinute, kSecond };

struct CodeInfo {
  Field first;
  Field last;
};

// Codes 1-13 in order.
constexpr CodeInfo kCodes[] = {
    {kYear, kYear},     {kMonth, kMonth}, {kDay, kDay},       {kHour, kHour},  {kMinute, kMinute},
    {kSecond, kSecond}, {kYear, kMonth},  {kDay, kHour},      {kDay, kMinute}, {kDay, kSecond},
    {kHour, kMinute},   {kHour, kSecond}, {kMinute, kSecond},
};

// Unit of each field in months or seconds.
constexpr int64_t kUnit[] = {12, 1, 86400, 3600, 60, 1};
constexpr const char* kWord[] = {"YEAR", "MONTH", "DAY", "HOUR", "MINUTE", "SECOND"};
// Separator written before a field that follows another.
constexpr char kSeparatorBefore[] = {0, '-', 0, ' ', ':', ':'};
constexpr int64_t kNanos = 1000000000;

const CodeInfo* info_of(const SQL_INTERVAL_STRUCT& iv) {
  const int code = static_cast<int>(iv.interval_type);
  return (code >= 1 && code <= 13) ? &kCodes[code - 1] : nullptr;
}

bool year_month(const CodeInfo& c) { return c.first <= kMonth; }

uint32_t field_of(const SQL_INTERVAL_STRUCT& iv, Field f) {
  switch (f) {
    case kYear: return iv.intval.year_month.year;
    case kMonth: return iv.intval.year_month.month;
    case kDay: return iv.intval.day_second.day;
    case kHour: return iv.intval.day_second.hour;
    case kMinute: return iv.intval.day_second.minute;
    case kSecond: return iv.intval.day_second.second;
  }
  return 0;
}

void set_field(SQL_INTERVAL_STRUCT& iv, Field f, uint32_t v) {
  switch (f) {
    case kYear: iv.intval.year_month.year = v; break;
    case kMonth: iv.intval.year_month.month = v; break;
    case kDay: iv.intval.day_second.day = v; break;
    case kHour: iv.intval.day_second.hour = v; break;
    case kMinute: iv.intval.day_second.minute = v; break;
    case kSecond: iv.intval.day_second.second = v; break;
  }
}

// Unsigned total in the unit of the base (months or seconds).
int64_t magnitude(const SQL_INTERVAL_STRUCT& iv, const CodeInfo& c) {
  int64_t total = 0;
  for (int f = c.first; f <= c.last; ++f) total += static_cast<int64_t>(field_of(iv, static_cast<Field>(f))) * kUnit[f];
  return total;
}

uint32_t fraction_of(const SQL_INTERVAL_STRUCT& iv, const CodeInfo& c) {
  return c.last == kSecond ? iv.intval.day_second.fraction : 0;
}

std::string two_digits(uint32_t v) {
  std::string s = std::to_string(v);
  if (s.size() < 2) s.insert(s.begin(), '0');
  return s;
}

std::string value_text(const SQL_INTERVAL_STRUCT& iv, const CodeInfo& c) {
  std::string s;
  for (int f = c.first; f <= c.last; ++f) {
    const uint32_t v = field_of(iv, static_cast<Field>(f));
    if (f == c.first) {
      s += std::to_string(v);
    } else {
      s += kSeparatorBefore[f];
      s += two_digits(v);
    }
  }
  const uint32_t frac = fraction_of(iv, c);
  if (frac != 0) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%09u", static_cast<unsigned>(frac % kNanos));
    std::string d = digits;
    while (!d.empty() && d.back() == '0') d.pop_back();
    if (!d.empty()) {
      s += '.';
      s += d;
    }
  }
  return s;
}

// Appends "(a)" or "(a,b)".
void append_precision(std::string& s, int32_t a, const int32_t* b = nullptr) {
  s += '(';
  s += std::to_string(a);
  if (b) {
    s += ',';
    s += std::to_string(*b);
  }
  s += ')';
}

std::string literal_text(const SQL_INTERVAL_STRUCT& iv, const CodeInfo& c, int32_t lead, int32_t secs) {
  std::string s = "INTERVAL ";
  if (iv.interval_sign != 0) s += '-';
  s += '\'';
  s += value_text(iv, c);
  s += "' ";
  s += kWord[c.first];
  if (c.first == kSecond) {
    if (!(lead == 2 && secs == 6)) append_precision(s, lead, &secs);
    return s;
  }
  if (lead != 0 && lead != 2) append_precision(s, lead);
  if (c.first != c.last) {
    s += " TO ";
    s += kWord[c.last];
    if (c.last == kSecond && secs != 6 && secs != 0) append_precision(s, secs);
  }
  return s;
}

// Code of an interval running from field `first` to field `last`; 0 when
// there is none.
int code_of(Field first, Field last) {
  for (int i = 0; i < 13; ++i) {
    if (kCodes[i].first == first && kCodes[i].last == last) return i + 1;
  }
  return 0;
}

// Result code of interval +/- interval; 0 when the kinds do not combine.
int combine_codes(int a, int b) {
  if (a < 1 || a > 13 || b < 1 || b > 13) return 0;
  const CodeInfo& x = kCodes[a - 1];
  const CodeInfo& y = kCodes[b - 1];
  if (year_month(x) != year_month(y)) return 0;
  if (year_month(x)) return a == b && a != SQL_IS_YEAR_TO_MONTH ? a : SQL_IS_YEAR_TO_MONTH;
  return code_of(x.first < y.first ? x.first : y.first, x.last > y.last ? x.last : y.last);
}

bool is_interval_cell(const Value& v) {
  return (v.value_type == KY_VT_INTERVAL_YM || v.value_type == KY_VT_INTERVAL_DS) && info_of(v.data.interval);
}

bool is_datetime_cell(const Value& v) {
  return v.value_type == KY_VT_DATE || v.value_type == KY_VT_TIME || v.value_type == KY_VT_TIMESTAMP;
}

bool is_number_cell(const Value& v) {
  switch (v.value_type) {
    case KY_VT_INTEGER:
    case KY_VT_INTEGER2:
    case KY_VT_BIGINT:
    case KY_VT_DOUBLE:
    case KY_VT_NUMERIC: return true;
    default: return false;
  }
}

bool cell_is_null(const Value& v) { return v.null_indicator != 0 || v.value_type == KY_VT_NULL; }

int do_not_combine(ky_eval_context* ctx) {
  return ky::eval_error(ctx, sqlstate::kHY000.state, "Operands do not combine with an interval", "ISO 9075");
}

int field_overflow(ky_eval_context* ctx) { return ky::eval_error(ctx, sqlstate::k22015, "ISO 9075"); }

// Writes an interval of `code` from a total into result.
int store_interval(Value* result, int32_t type, int code, int64_t total, int64_t fraction, int32_t lead, int32_t secs,
                   ky_eval_context* ctx) {
  Value tmp{};
  tmp.data.interval.interval_type = static_cast<SQLINTERVAL>(code);
  if (normalise_interval(total, fraction, &tmp) != 0) return field_overflow(ctx);
  ky::value_reset(*result, type);
  result->data.interval = tmp.data.interval;
  result->leading_precision = lead;
  result->seconds_precision = secs;
  return 0;
}

int interval_and_interval(const Value& l, const Value& r, Value* result, ky_eval_context* ctx, bool add) {
  const int code =
      combine_codes(static_cast<int>(l.data.interval.interval_type), static_cast<int>(r.data.interval.interval_type));
  if (code == 0) return do_not_combine(ctx);
  int64_t fl, fr;
  const int64_t tl = get_base_value(&l.data.interval, &fl), tr = get_base_value(&r.data.interval, &fr);
  int64_t total;
  if (add ? __builtin_add_overflow(tl, tr, &total) : __builtin_sub_overflow(tl, tr, &total)) return field_overflow(ctx);
  const int64_t fraction = add ? fl + fr : fl - fr;
  const int32_t lead = l.leading_precision > r.leading_precision ? l.leading_precision : r.leading_precision;
  int32_t secs = l.seconds_precision;
  if (!year_month(kCodes[code - 1]) && r.seconds_precision > secs) secs = r.seconds_precision;
  return store_interval(result, l.value_type, code, total, fraction, lead, secs, ctx);
}

int number_and_interval(const Value& l, const Value& r, Value* result, ky_eval_context* ctx, bool add) {
  const int code = static_cast<int>(r.data.interval.interval_type);
  const int64_t unit = kUnit[kCodes[code - 1].first];
  int64_t fraction;
  const int64_t base = get_base_value(&r.data.interval, &fraction);
  int64_t amount, total;
  if (__builtin_mul_overflow(get_bigint_from_value(&l), unit, &amount) ||
      (add ? __builtin_add_overflow(base, amount, &total) : __builtin_sub_overflow(base, amount, &total)))
    return field_overflow(ctx);
  return store_interval(result, r.value_type, code, total, fraction, r.leading_precision, r.seconds_precision, ctx);
}

int datetime_and_interval(const Value& l, const Value& r, Value* result, ky_eval_context* ctx, bool add) {
  int64_t fraction;
  int64_t total = get_base_value(&r.data.interval, &fraction);
  if (!add) {
    total = -total;
    fraction = -fraction;
  }
  int rc;
  if (year_month(*info_of(r.data.interval))) {
    if (total < INT32_MIN || total > INT32_MAX)
      rc = -2;
    else
      rc = timestamp_add(result, &l, static_cast<int32_t>(total), 0, 0);
  } else {
    rc = timestamp_add(result, &l, 0, total, fraction);
  }
  if (rc == -2) return ky::eval_error(ctx, sqlstate::k22008, "ISO 9075");
  return rc;
}

}  // namespace

extern "C" {

KY_API int64_t get_base_value(const SQL_INTERVAL_STRUCT* iv, int64_t* fraction_out) {
  if (fraction_out) *fraction_out = 0;
  const CodeInfo* c = iv ? info_of(*iv) : nullptr;
  if (!c) return 0;
  int64_t total = magnitude(*iv, *c);
  int64_t frac = fraction_of(*iv, *c);
  if (iv->interval_sign != 0) {
    total = -total;
    frac = -frac;
  }
  if (fraction_out) *fraction_out = frac;
  return total;
}

KY_API int64_t get_long_from_interval(const Value* cell, int64_t* fraction_out) {
  if (fraction_out) *fraction_out = 0;
  const CodeInfo* c = cell ? info_of(cell->data.interval) : nullptr;
  if (!c) return 0;
  if (fraction_out) *fraction_out = fraction_of(cell->data.interval, *c);
  return magnitude(cell->data.interval, *c) / kUnit[c->last];
}

KY_API int normalise_interval(int64_t total, int64_t fraction, Value* cell) {
  const CodeInfo* c = cell ? info_of(cell->data.interval) : nullptr;
  if (!c) return -1;
  // Work on one signed quantity, so that a negative fraction of a
  // negative total adds to its size instead of borrowing from it.
  __int128 whole = total;
  if (!year_month(*c)) {
    whole = whole * kNanos + fraction;
  }
  const bool negative = whole < 0;
  unsigned __int128 mag = negative ? -static_cast<unsigned __int128>(whole) : static_cast<unsigned __int128>(whole);
  uint32_t frac = 0;
  if (!year_month(*c)) {
    frac = static_cast<uint32_t>(mag % kNanos);
    mag /= kNanos;
  }
  SQL_INTERVAL_STRUCT iv{};
  iv.interval_type = cell->data.interval.interval_type;
  iv.interval_sign = negative ? 1 : 0;  // 1: negative
  unsigned __int128 rest = mag;
  for (int f = c->first; f <= c->last; ++f) {
    const unsigned __int128 v = rest / static_cast<unsigned __int128>(kUnit[f]);
    if (v > UINT32_MAX) return -2;
    set_field(iv, static_cast<Field>(f), static_cast<uint32_t>(v));
    rest %= static_cast<unsigned __int128>(kUnit[f]);
  }
  if (c->last == kSecond) iv.intval.day_second.fraction = frac;
  cell->data.interval = iv;
  return 0;
}

KY_API int interval_compare(const SQL_INTERVAL_STRUCT* a, const SQL_INTERVAL_STRUCT* b) {
  const CodeInfo* ca = a ? info_of(*a) : nullptr;
  const CodeInfo* cb = b ? info_of(*b) : nullptr;
  if (!ca || !cb || year_month(*ca) != year_month(*cb)) return KY_INTERVAL_INCOMPARABLE;
  int64_t fa, fb;
  const int64_t ta = get_base_value(a, &fa), tb = get_base_value(b, &fb);
  if (ta != tb) return ta < tb ? -1 : 1;
  if (fa != fb) return fa < fb ? -1 : 1;
  return 0;
}

KY_API int compare_interval(const Value* a, const Value* b) {
  if (!a || !b) return KY_INTERVAL_INCOMPARABLE;
  return interval_compare(&a->data.interval, &b->data.interval);
}

KY_API int interval_struct_as_text(const SQL_INTERVAL_STRUCT* iv, int32_t leading_precision, int32_t seconds_precision,
                                   int32_t keyword_flag, char* out, SQLLEN capacity, SQLLEN* len_out) {
  const CodeInfo* c = iv ? info_of(*iv) : nullptr;
  if (!c) return -1;
  std::string text;
  if (keyword_flag) {
    text = literal_text(*iv, *c, leading_precision, seconds_precision);
  } else {
    if (iv->interval_sign != 0) text = "-";
    text += value_text(*iv, *c);
  }
  return copy_str_bufferl(out, capacity, len_out, text.c_str());
}

KY_API int interval_as_text(const Value* cell, char* out, int32_t capacity, int32_t keyword_flag) {
  if (!cell) return -1;
  return interval_struct_as_text(&cell->data.interval, cell->leading_precision, cell->seconds_precision, keyword_flag,
                                 out, capacity, nullptr);
}

KY_API int interval_operation(const Value* left, const Value* right, Value* result, ky_eval_context* context,
                              int32_t op) {
  if (!left || !right || !result) return -1;
  if (op != KY_OP_ADD && op != KY_OP_SUBTRACT) return 0;
  const bool add = op == KY_OP_ADD;
  if (cell_is_null(*left) || cell_is_null(*right)) {
    result->null_indicator = -1;
    return 0;
  }
  if (!is_interval_cell(*right)) return do_not_combine(context);
  if (is_interval_cell(*left)) return interval_and_interval(*left, *right, result, context, add);
  if (is_datetime_cell(*left)) return datetime_and_interval(*left, *right, result, context, add);
  if (is_number_cell(*left)) return number_and_interval(*left, *right, result, context, add);
  return do_not_combine(context);
}

}  // extern "C"
