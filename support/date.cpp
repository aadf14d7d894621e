// Calendar support: today's date parts, comparison of ODBC date and time
// structures, and Julian day numbers. Day-number formulas divide with
// truncation toward zero, as C does; they are exact from 4713 BC onward.
#include <ctime>
#include <limits>

#include "ky_date.h"

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
        jdn = d - 32075 + 1461 * (y + 4800 + k) / 4 + 367 * (m - 2 - 12 * k) / 12 -
              3 * ((y + 4900 + k) / 100) / 4;
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

}  // extern "C"
