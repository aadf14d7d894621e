// Intervals: literal and bare text for every code, totals, normalising and
// comparison.
#include <string>

#include <gtest/gtest.h>

#include "ky_interval.h"

namespace {

SQL_INTERVAL_STRUCT ym(int code, uint32_t y, uint32_t m, bool neg = false) {
  SQL_INTERVAL_STRUCT iv{};
  iv.interval_type = static_cast<SQLINTERVAL>(code);
  iv.interval_sign = neg ? 1 : 0;
  iv.intval.year_month.year = y;
  iv.intval.year_month.month = m;
  return iv;
}

SQL_INTERVAL_STRUCT ds(int code, uint32_t d, uint32_t h, uint32_t mi, uint32_t s, uint32_t f = 0, bool neg = false) {
  SQL_INTERVAL_STRUCT iv{};
  iv.interval_type = static_cast<SQLINTERVAL>(code);
  iv.interval_sign = neg ? 1 : 0;
  iv.intval.day_second = {d, h, mi, s, f};
  return iv;
}

Value cell(const SQL_INTERVAL_STRUCT& iv, int lead = 2, int secs = 6) {
  Value v{};
  v.node_kind = 154;
  v.value_type = iv.interval_type <= 2 || iv.interval_type == 7 ? KY_VT_INTERVAL_YM : KY_VT_INTERVAL_DS;
  v.leading_precision = lead;
  v.seconds_precision = secs;
  v.data.interval = iv;
  return v;
}

std::string literal(const Value& v, int flag) {
  char buf[128];
  EXPECT_EQ(interval_as_text(&v, buf, sizeof buf, flag), 0);
  return buf;
}

TEST(Interval, Text) {
  struct Case {
    SQL_INTERVAL_STRUCT iv;
    int lead, secs;
    const char* literal;
    const char* bare;
  } cases[] = {
      {ds(10, 1, 2, 3, 4, 500000000), 2, 6, "INTERVAL '1 02:03:04.5' DAY TO SECOND", "1 02:03:04.5"},
      {ym(1, 3, 0, true), 4, 6, "INTERVAL -'3' YEAR(4)", "-3"},
      {ds(13, 0, 0, 5, 7), 2, 6, "INTERVAL '5:07' MINUTE TO SECOND", "5:07"},
      {ds(13, 0, 0, 5, 7), 0, 3, "INTERVAL '5:07' MINUTE TO SECOND(3)", "5:07"},
      {ym(2, 0, 17), 0, 6, "INTERVAL '17' MONTH", "17"},
      {ym(7, 1, 6), 2, 6, "INTERVAL '1-06' YEAR TO MONTH", "1-06"},
      {ym(7, 1, 6, true), 5, 6, "INTERVAL -'1-06' YEAR(5) TO MONTH", "-1-06"},
      {ds(3, 3, 0, 0, 0), 2, 6, "INTERVAL '3' DAY", "3"},
      {ds(4, 0, 4, 0, 0), 3, 6, "INTERVAL '4' HOUR(3)", "4"},
      {ds(5, 0, 0, 65, 0), 2, 6, "INTERVAL '65' MINUTE", "65"},
      {ds(6, 0, 0, 0, 7, 1), 2, 6, "INTERVAL '7.000000001' SECOND", "7.000000001"},
      {ds(6, 0, 0, 0, 7), 3, 9, "INTERVAL '7' SECOND(3,9)", "7"},
      {ds(8, 3, 4, 0, 0), 2, 6, "INTERVAL '3 04' DAY TO HOUR", "3 04"},
      {ds(9, 3, 4, 5, 0), 6, 6, "INTERVAL '3 04:05' DAY(6) TO MINUTE", "3 04:05"},
      {ds(10, 3, 4, 5, 6), 2, 0, "INTERVAL '3 04:05:06' DAY TO SECOND", "3 04:05:06"},
      {ds(11, 0, 4, 5, 0), 2, 6, "INTERVAL '4:05' HOUR TO MINUTE", "4:05"},
      {ds(12, 0, 4, 5, 6, 120000000, true), 2, 3, "INTERVAL -'4:05:06.12' HOUR TO SECOND(3)", "-4:05:06.12"},
      {ds(3, 4000000000u, 0, 0, 0), 10, 6, "INTERVAL '4000000000' DAY(10)", "4000000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.literal);
    const Value v = cell(c.iv, c.lead, c.secs);
    EXPECT_EQ(literal(v, 1), c.literal);
    EXPECT_EQ(literal(v, 0), c.bare);
  }
}

TEST(Interval, TextCapacityAndBadCodes) {
  const SQL_INTERVAL_STRUCT iv = ds(10, 1, 2, 3, 4);
  char buf[6];
  SQLLEN len = 0;
  EXPECT_EQ(interval_struct_as_text(&iv, 2, 6, 0, buf, sizeof buf, &len), 1);
  EXPECT_STREQ(buf, "1 02:");
  EXPECT_EQ(len, 10);
  EXPECT_EQ(interval_struct_as_text(&iv, 2, 6, 0, nullptr, 0, &len), 0);
  EXPECT_EQ(len, 10);

  const SQL_INTERVAL_STRUCT bad = ds(14, 1, 0, 0, 0);
  EXPECT_EQ(interval_struct_as_text(&bad, 2, 6, 1, buf, sizeof buf, &len), -1);
  EXPECT_EQ(interval_as_text(nullptr, buf, sizeof buf, 0), -1);
}

TEST(Interval, BaseValues) {
  struct Case {
    const char* name;
    SQL_INTERVAL_STRUCT iv;
    int64_t total;
    int64_t fraction;
    int64_t in_last_unit;
  } cases[] = {
      {"HOUR TO MINUTE 2:30", ds(11, 0, 2, 30, 0), 9000, 0, 150},
      {"negative", ds(11, 0, 2, 30, 0, 0, true), -9000, 0, 150},
      {"YEAR TO MONTH 1-06", ym(7, 1, 6), 18, 0, 18},
      {"YEAR 2", ym(1, 2, 99), 24, 0, 2},
      {"DAY TO SECOND with fraction", ds(10, 1, 1, 1, 1, 5, true), -90061, -5, 90061},
      {"fields outside the code ignored", ds(4, 9, 2, 9, 9, 9), 7200, 0, 2},
      {"100,000 days", ds(3, 100000, 0, 0, 0), 8640000000LL, 0, 100000},
      {"largest DAY TO SECOND", ds(10, 4294967295u, 23, 59, 59), 4294967295LL * 86400 + 86399, 0,
       4294967295LL * 86400 + 86399},
      {"unknown code", ds(0, 1, 1, 1, 1), 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int64_t frac = 99;
    EXPECT_EQ(get_base_value(&c.iv, &frac), c.total);
    EXPECT_EQ(frac, c.fraction);
    const Value v = cell(c.iv);
    EXPECT_EQ(get_long_from_interval(&v, nullptr), c.in_last_unit);
  }
  EXPECT_EQ(get_base_value(nullptr, nullptr), 0);
}

TEST(Interval, Normalise) {
  struct Case {
    const char* name;
    int code;
    int64_t total, fraction;
    int rc;
    SQL_INTERVAL_STRUCT expect;
  } cases[] = {
      {"90061 s as DAY TO SECOND", 10, 90061, 0, 0, ds(10, 1, 1, 1, 1)},
      {"as HOUR TO MINUTE", 11, 90061, 0, 0, ds(11, 0, 25, 1, 0)},
      {"as MINUTE TO SECOND", 13, 90061, 250, 0, ds(13, 0, 0, 1501, 1, 250)},
      {"as DAY drops the rest", 3, 90061, 0, 0, ds(3, 1, 0, 0, 0)},
      {"negative with its fraction", 6, -5, -500000000, 0, ds(6, 0, 0, 0, 5, 500000000, true)},
      {"negative fraction borrows", 6, 5, -500000000, 0, ds(6, 0, 0, 0, 4, 500000000)},
      {"fraction carries", 6, 5, 2500000000LL, 0, ds(6, 0, 0, 0, 7, 500000000)},
      {"months", 7, -30, 0, 0, ym(7, 2, 6, true)},
      {"large day total", 10, 8640000000LL + 61, 0, 0, ds(10, 100000, 0, 1, 1)},
      {"field beyond 32 bits", 6, 5000000000LL, 0, -2, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Value v = cell(ds(c.code, 7, 7, 7, 7, 7));
    ASSERT_EQ(normalise_interval(c.total, c.fraction, &v), c.rc);
    if (c.rc != 0) continue;
    EXPECT_EQ(interval_compare(&v.data.interval, &c.expect), 0);
    char got[64], want[64];
    interval_struct_as_text(&v.data.interval, 2, 6, 0, got, sizeof got, nullptr);
    interval_struct_as_text(&c.expect, 2, 6, 0, want, sizeof want, nullptr);
    EXPECT_STREQ(got, want);
  }
  Value bad = cell(ds(0, 0, 0, 0, 0));
  EXPECT_EQ(normalise_interval(1, 0, &bad), -1);
}

TEST(Interval, Compare) {
  struct Case {
    const char* name;
    SQL_INTERVAL_STRUCT a, b;
    int rc;
  } cases[] = {
      {"1-06 against 17 months", ym(7, 1, 6), ym(2, 0, 17), 1},
      {"equal across codes", ds(4, 0, 2, 0, 0), ds(5, 0, 0, 120, 0), 0},
      {"fraction decides", ds(6, 0, 0, 0, 5, 1), ds(6, 0, 0, 0, 5), 1},
      {"-5.5 below -5", ds(6, 0, 0, 0, 5, 500000000, true), ds(6, 0, 0, 0, 5, 0, true), -1},
      {"year-month against day-time", ym(1, 1, 0), ds(3, 1, 0, 0, 0), KY_INTERVAL_INCOMPARABLE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(interval_compare(&c.a, &c.b), c.rc);
    const Value va = cell(c.a), vb = cell(c.b);
    EXPECT_EQ(compare_interval(&va, &vb), c.rc);
  }
}

}  // namespace
