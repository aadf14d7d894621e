// Calendar support: today's date parts, comparison of ODBC date and time
// structures, and Julian day numbers. Day-number formulas divide with
// truncation toward zero, as C does; they are exact from 4713 BC onward.
#include <ctime>
#include <limits>

#include "ky_date.h"
#include "value_internal.h"

namespace {

std::tm now_local() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

// A difference clamped to 32 bits, so wide fields cannot overflow it.
int32_t diff(long long a, long long b) {
  const long long d = a - b;
  if (d > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (d < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(d);
}

template <class T>
int32_t null_order(const T* a, const T* b) {
  return a ? 1 : (b ? -1 : 0);
}

// The Julian calendar applies before 3 September 1752 (day 2361222 is
// 14 September 1752, the first Gregorian day).
constexpr long long kFirstGregorianYmd = 17520903;
constexpr long long kFirstGregorianDay = 2361222;

bool julian_for_date(long long y, long long m, long long d, int32_t calendar) {
  if (calendar < 0) return y * 10000 + m * 100 + d < kFirstGregorianYmd;
  return calendar > 0;
}

constexpr int64_t kNanos = 1000000000;
constexpr int64_t kDaySeconds = 86400;

int64_t floor_div(__int128 a, int64_t b) {
  __int128 q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return static_cast<int64_t>(q);
}

// A date and time of day taken apart, wide enough for any carry.
struct Moment {
  int64_t year = 0, month = 0, day = 0;
  int64_t hour = 0, minute = 0, second = 0, fraction = 0;
};

Moment moment_of(const Value& v) {
  Moment m;
  switch (v.value_type) {
    case KY_VT_DATE:
      m.year = v.data.date.year;
      m.month = v.data.date.month;
      m.day = v.data.date.day;
      break;
    case KY_VT_TIME:
      m.hour = v.data.time.hour;
      m.minute = v.data.time.minute;
      m.second = v.data.time.second;
      break;
    default: {
      const SQL_TIMESTAMP_STRUCT& t = v.data.timestamp;
      m = Moment{t.year, t.month, t.day, t.hour, t.minute, t.second, static_cast<int64_t>(t.fraction)};
    }
  }
  return m;
}

bool is_datetime(const Value& v) {
  return v.value_type == KY_VT_DATE || v.value_type == KY_VT_TIME || v.value_type == KY_VT_TIMESTAMP;
}

constexpr int64_t kFirstYear = 1, kLastYear = 9999;

int64_t day_number(int64_t y, int64_t m, int64_t d) {
  return ymd_to_jdnl(static_cast<int32_t>(y), static_cast<int32_t>(m), static_cast<int32_t>(d), KY_CALENDAR_AUTO);
}

// Moves the date by days, then months; false when it leaves years 1-9999.
// A date with a year below 1 stays as it is.
bool move_date(Moment& t, int64_t days, int64_t months) {
  if (t.year < kFirstYear) return true;
  if (days != 0) {
    const int64_t jdn = day_number(t.year, t.month, t.day) + days;
    if (jdn < day_number(kFirstYear, 1, 1) || jdn > day_number(kLastYear, 12, 31)) return false;
    int32_t y, m, d;
    jdnl_to_ymd(static_cast<int32_t>(jdn), &y, &m, &d, KY_CALENDAR_AUTO);
    t.year = y;
    t.month = m;
    t.day = d;
  }
  if (months != 0) {
    const int64_t index = t.month - 1 + months;
    const int64_t year = t.year + floor_div(index, 12);
    if (year < kFirstYear || year > kLastYear) return false;
    t.year = year;
    t.month = index - floor_div(index, 12) * 12 + 1;
    // The day stays unless the month is shorter.
    const int64_t next = t.month == 12 ? day_number(t.year + 1, 1, 1) : day_number(t.year, t.month + 1, 1);
    const int64_t length = next - day_number(t.year, t.month, 1);
    if (t.day > length) t.day = length;
  }
  return true;
}

// Adds seconds and nanoseconds to the time of day; returns the day carry.
int64_t move_time(Moment& t, int64_t seconds, int64_t fraction) {
  const __int128 nanos = static_cast<__int128>(t.fraction) + fraction;
  const int64_t carry = floor_div(nanos, kNanos);
  t.fraction = static_cast<int64_t>(nanos - static_cast<__int128>(carry) * kNanos);
  const __int128 total = static_cast<__int128>(t.hour) * 3600 + t.minute * 60 + t.second + seconds + carry;
  const int64_t days = floor_div(total, kDaySeconds);
  const auto rest = static_cast<int64_t>(total - static_cast<__int128>(days) * kDaySeconds);
  t.hour = rest / 3600;
  t.minute = rest / 60 % 60;
  t.second = rest % 60;
  return days;
}

void write_result(Value& result, int32_t type, const Moment& t) {
  ky::value_reset(result, type);
  switch (type) {
    case KY_VT_DATE:
      result.data.date = SQL_DATE_STRUCT{static_cast<SQLSMALLINT>(t.year), static_cast<SQLUSMALLINT>(t.month),
                                         static_cast<SQLUSMALLINT>(t.day)};
      break;
    case KY_VT_TIME:
      result.data.time = SQL_TIME_STRUCT{static_cast<SQLUSMALLINT>(t.hour), static_cast<SQLUSMALLINT>(t.minute),
                                         static_cast<SQLUSMALLINT>(t.second)};
      break;
    default:
      result.data.timestamp = SQL_TIMESTAMP_STRUCT{
          static_cast<SQLSMALLINT>(t.year),    static_cast<SQLUSMALLINT>(t.month),  static_cast<SQLUSMALLINT>(t.day),
          static_cast<SQLUSMALLINT>(t.hour),   static_cast<SQLUSMALLINT>(t.minute), static_cast<SQLUSMALLINT>(t.second),
          static_cast<SQLUINTEGER>(t.fraction)};
  }
}

// A NULL source gives a NULL result of the same type; true when handled.
bool null_result(Value& result, const Value& source, int32_t type) {
  if (source.null_indicator == 0) return false;
  ky::value_reset(result, type);
  result.null_indicator = -1;
  return true;
}

int add_full(Value* result, const Value* source, int32_t months, int64_t seconds, int64_t fraction, bool convert) {
  if (!result || !source || !is_datetime(*source)) return -1;
  const int32_t type = convert ? KY_VT_TIMESTAMP : source->value_type;
  if (null_result(*result, *source, type)) return 0;
  Moment t = moment_of(*source);
  const int64_t days = move_time(t, seconds, fraction);
  if (source->value_type != KY_VT_TIME && !move_date(t, days, months)) return -2;
  write_result(*result, type, t);
  return 0;
}

}  // namespace

extern "C" {

KY_API int32_t current_year(void) { return now_local().tm_year + 1900; }
KY_API int32_t current_month(void) { return now_local().tm_mon + 1; }
KY_API int32_t current_day(void) { return now_local().tm_mday; }

KY_API int32_t date_compare(const SQL_DATE_STRUCT* a, const SQL_DATE_STRUCT* b) {
  if (!a || !b) return null_order(a, b);
  if (a->year != b->year) return diff(a->year, b->year);
  if (a->month != b->month) return diff(a->month, b->month);
  return diff(a->day, b->day);
}

KY_API int32_t time_compare(const SQL_TIME_STRUCT* a, const SQL_TIME_STRUCT* b) {
  if (!a || !b) return null_order(a, b);
  if (a->hour != b->hour) return diff(a->hour, b->hour);
  if (a->minute != b->minute) return diff(a->minute, b->minute);
  return diff(a->second, b->second);
}

KY_API int32_t timestamp_compare(const SQL_TIMESTAMP_STRUCT* a, const SQL_TIMESTAMP_STRUCT* b) {
  if (!a || !b) return null_order(a, b);
  const long long fa[] = {a->year, a->month, a->day, a->hour, a->minute, a->second, a->fraction};
  const long long fb[] = {b->year, b->month, b->day, b->hour, b->minute, b->second, b->fraction};
  for (size_t i = 0; i < 7; ++i) {
    if (fa[i] != fb[i]) return diff(fa[i], fb[i]);
  }
  return 0;
}

KY_API int32_t ymd_to_jdnl(int32_t year, int32_t month, int32_t day, int32_t calendar) {
  const long long m = month, d = day;
  const bool julian = julian_for_date(year, m, d, calendar);
  const long long y = year < 0 ? year + 1LL : year;  // 1 BC is year 0
  long long jdn;
  if (julian) {
    jdn = d + 367 * y + 275 * m / 9 - 7 * (y + 5001 + (m - 9) / 7) / 4 + 1729777;
  } else {
    const long long k = (m - 14) / 12;
    jdn = d - 32075 + 1461 * (y + 4800 + k) / 4 + 367 * (m - 2 - 12 * k) / 12 - 3 * ((y + 4900 + k) / 100) / 4;
  }
  return static_cast<int32_t>(jdn);
}

KY_API int32_t jdnl_to_ymd(int32_t jdn, int32_t* year, int32_t* month, int32_t* day, int32_t calendar) {
  const bool julian = calendar < 0 ? jdn < kFirstGregorianDay : calendar > 0;
  long long x = jdn + 68569LL;
  long long cycle = 146097;
  if (julian) {
    x += 38;
    cycle = 146100;
  }
  const long long z = 4 * x / cycle;
  x -= (cycle * z + 3) / 4;
  const long long y = 4000 * (x + 1) / 1461001;
  x = x - 1461 * y / 4 + 31;
  const long long m = 80 * x / 2447;
  const long long d = x - 2447 * m / 80;
  const long long j = m / 11;
  const long long mon = m + 2 - 12 * j;
  long long yr = 100 * (z - 49) + y + j;
  if (yr <= 0) --yr;  // no year 0
  if (year) *year = static_cast<int32_t>(yr);
  if (month) *month = static_cast<int32_t>(mon);
  if (day) *day = static_cast<int32_t>(d);
  return static_cast<int32_t>(yr);
}

KY_API int32_t jdnl_to_dow(int32_t jdn) {
  const long long r = (static_cast<long long>(jdn) + 1) % 7;
  return static_cast<int32_t>(r < 0 ? r + 7 : r);
}

KY_API int date_add(Value* result, const Value* source, int32_t months, int32_t days) {
  if (!result || !source || !is_datetime(*source)) return -1;
  if (null_result(*result, *source, source->value_type)) return 0;
  Moment t = moment_of(*source);
  if (source->value_type != KY_VT_TIME) {
    if (!move_date(t, days, months)) return -2;
    t.hour = t.minute = t.second = t.fraction = 0;
  }
  write_result(*result, source->value_type, t);
  return 0;
}

KY_API int time_add(Value* result, const Value* source, int64_t seconds, int64_t fraction) {
  if (!result || !source || (source->value_type != KY_VT_TIME && source->value_type != KY_VT_TIMESTAMP)) return -1;
  if (null_result(*result, *source, source->value_type)) return 0;
  Moment t = moment_of(*source);
  t.fraction = 0;
  const int64_t whole = floor_div(fraction, kNanos);
  int64_t add = 0;
  if (__builtin_add_overflow(seconds, whole, &add)) return -2;
  const int64_t days = move_time(t, add, 0);
  if (source->value_type == KY_VT_TIMESTAMP && !move_date(t, days, 0)) return -2;
  write_result(*result, source->value_type, t);
  return 0;
}

KY_API int timestamp_add(Value* result, const Value* source, int32_t months, int64_t seconds, int64_t fraction) {
  return add_full(result, source, months, seconds, fraction, false);
}

KY_API int timestamp_add_noconvert(Value* result, const Value* source, int32_t months, int64_t seconds,
                                   int64_t fraction) {
  return add_full(result, source, months, seconds, fraction, true);
}

}  // extern "C"
