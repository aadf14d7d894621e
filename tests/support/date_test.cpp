// Dates: day numbers across the 1752 switch and BC years, weekdays,
// comparisons and today's date parts.
#include <ctime>

#include <gtest/gtest.h>

#include "ky_date.h"

namespace {

TEST(Date, KnownDayNumbers) {
  struct Case {
    int32_t y, m, d, calendar, jdn;
  } cases[] = {
      {2000, 1, 1, KY_CALENDAR_AUTO, 2451545},
      {2000, 1, 1, KY_CALENDAR_GREGORIAN, 2451545},
      {1752, 9, 2, KY_CALENDAR_AUTO, 2361221},   // last Julian day
      {1752, 9, 14, KY_CALENDAR_AUTO, 2361222},  // first Gregorian day
      {1752, 9, 2, KY_CALENDAR_GREGORIAN, 2361210},
      {2000, 1, 1, KY_CALENDAR_JULIAN, 2451558},
      {-4713, 1, 1, KY_CALENDAR_AUTO, 0},  // day 0 of the count, Julian 4713 BC
      {1, 1, 1, KY_CALENDAR_AUTO, 1721424},
      {-1, 12, 31, KY_CALENDAR_AUTO, 1721423},  // 1 BC ends the day before 1 AD
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.y << "-" << c.m << "-" << c.d << " cal " << c.calendar);
    EXPECT_EQ(ymd_to_jdnl(c.y, c.m, c.d, c.calendar), c.jdn);
    int32_t y = 0, m = 0, d = 0;
    EXPECT_EQ(jdnl_to_ymd(c.jdn, &y, &m, &d, c.calendar), c.y);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(d, c.d);
  }
}

bool leap(int32_t y, bool julian) {
  const int32_t a = y < 0 ? y + 1 : y;  // astronomical year
  if (julian) return a % 4 == 0;
  return (a % 4 == 0 && a % 100 != 0) || a % 400 == 0;
}

int32_t month_days(int32_t y, int32_t m, bool julian) {
  static const int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y, julian) ? 29 : kDays[m - 1];
}

TEST(Date, EveryDayFrom4000BcTo3000RoundTrips) {
  const int32_t first = ymd_to_jdnl(-4000, 1, 1, KY_CALENDAR_AUTO);
  const int32_t last = ymd_to_jdnl(3000, 12, 31, KY_CALENDAR_AUTO);
  int32_t py = 0, pm = 0, pd = 0;
  jdnl_to_ymd(first, &py, &pm, &pd, KY_CALENDAR_AUTO);
  for (int32_t jdn = first + 1; jdn <= last; ++jdn) {
    int32_t y, m, d;
    jdnl_to_ymd(jdn, &y, &m, &d, KY_CALENDAR_AUTO);
    ASSERT_EQ(ymd_to_jdnl(y, m, d, KY_CALENDAR_AUTO), jdn) << y << "-" << m << "-" << d;
    // The next day of the previous date, with the switch's ten-day jump.
    const bool julian = jdn <= 2361221;
    int32_t ey = py, em = pm, ed = pd + 1;
    if (py == 1752 && pm == 9 && pd == 2) ed = 14;
    if (ed > month_days(py, pm, julian)) {
      ed = 1;
      if (++em > 12) {
        em = 1;
        ey = (py == -1) ? 1 : py + 1;
      }
    }
    ASSERT_TRUE(y == ey && m == em && d == ed) << "day " << jdn << " gave " << y << "-" << m << "-" << d;
    py = y;
    pm = m;
    pd = d;
  }
}

TEST(Date, Weekdays) {
  EXPECT_EQ(jdnl_to_dow(2451545), 6);  // 1 January 2000, a Saturday
  EXPECT_EQ(jdnl_to_dow(2361222), 4);  // 14 September 1752, a Thursday
  for (int32_t jdn = -20; jdn < 0; ++jdn) {
    const int32_t dow = jdnl_to_dow(jdn);
    EXPECT_TRUE(dow >= 0 && dow < 7) << jdn;
    EXPECT_EQ((dow + 1) % 7, jdnl_to_dow(jdn + 1));
  }
}

TEST(Date, Comparisons) {
  const SQL_DATE_STRUCT d1{2001, 1, 2}, d2{2001, 1, 3}, d3{2000, 12, 31};
  EXPECT_LT(date_compare(&d1, &d2), 0);
  EXPECT_GT(date_compare(&d1, &d3), 0);
  EXPECT_EQ(date_compare(&d1, &d1), 0);
  EXPECT_LT(date_compare(nullptr, &d1), 0);

  const SQL_TIME_STRUCT t1{23, 59, 59}, t2{0, 0, 0};
  EXPECT_GT(time_compare(&t1, &t2), 0);

  SQL_TIMESTAMP_STRUCT a{2001, 1, 2, 3, 4, 5, 4000000000u}, b = a;
  b.fraction = 0;
  EXPECT_GT(timestamp_compare(&a, &b), 0);  // no overflow of the difference
  EXPECT_LT(timestamp_compare(&b, &a), 0);
  b = a;
  b.second = 6;
  EXPECT_LT(timestamp_compare(&a, &b), 0);
  EXPECT_EQ(timestamp_compare(&a, &a), 0);
}

TEST(Date, TodayFromLocalTime) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    const int32_t y = current_year(), m = current_month(), d = current_day();
    std::tm again{};
    const std::time_t t2 = std::time(nullptr);
    localtime_r(&t2, &again);
    if (again.tm_mday != tm.tm_mday) continue;  // crossed midnight: try again
    EXPECT_EQ(y, tm.tm_year + 1900);
    EXPECT_EQ(m, tm.tm_mon + 1);
    EXPECT_EQ(d, tm.tm_mday);
    return;
  }
}

}  // namespace
