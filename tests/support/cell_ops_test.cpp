// Operators on value cells: numeric and big-integer arithmetic and
// comparison, date and time arithmetic, and interval arithmetic. Errors
// must be posted and never wrapped into a wrong value.
#include <cstring>
#include <limits>
#include <string>

#include <sql.h>
#include <sqlext.h>

#include <gtest/gtest.h>

#include "ky_date.h"
#include "ky_interval.h"
#include "ky_numeric.h"
#include "ky_value.h"
#include "support_fixture.h"

namespace {

class CellOps : public kytest::StatementFixture {
 protected:
  Value* cell(int32_t type) {
    Value* c = NewValue(pool, 0);
    c->value_type = type;
    return c;
  }
  Value* bigint(int64_t v) {
    Value* c = cell(KY_VT_BIGINT);
    c->data.bigint = v;
    return c;
  }
  Value* integer(int32_t v) {
    Value* c = cell(KY_VT_INTEGER);
    c->data.integer = v;
    return c;
  }
  Value* real(double v) {
    Value* c = cell(KY_VT_DOUBLE);
    c->data.real = v;
    return c;
  }
  Value* numeric(const char* t) {
    Value* c = cell(KY_VT_NUMERIC);
    EXPECT_EQ(string_to_numeric(t, &c->data.numeric, 38, 0), 0);
    return c;
  }
  Value* text(const char* t) {
    Value* c = NewValue(pool, static_cast<int32_t>(std::strlen(t)) + 1);
    c->value_type = KY_VT_TEXT;
    std::strcpy(static_cast<char*>(c->data.bytes), t);
    return c;
  }
  Value* date(int y, int m, int d) {
    Value* c = cell(KY_VT_DATE);
    c->data.date =
        SQL_DATE_STRUCT{static_cast<SQLSMALLINT>(y), static_cast<SQLUSMALLINT>(m), static_cast<SQLUSMALLINT>(d)};
    return c;
  }
  Value* time(int h, int mi, int s) {
    Value* c = cell(KY_VT_TIME);
    c->data.time =
        SQL_TIME_STRUCT{static_cast<SQLUSMALLINT>(h), static_cast<SQLUSMALLINT>(mi), static_cast<SQLUSMALLINT>(s)};
    return c;
  }
  Value* timestamp(int y, int m, int d, int h, int mi, int s, uint32_t f = 0) {
    Value* c = cell(KY_VT_TIMESTAMP);
    c->data.timestamp = SQL_TIMESTAMP_STRUCT{static_cast<SQLSMALLINT>(y),
                                             static_cast<SQLUSMALLINT>(m),
                                             static_cast<SQLUSMALLINT>(d),
                                             static_cast<SQLUSMALLINT>(h),
                                             static_cast<SQLUSMALLINT>(mi),
                                             static_cast<SQLUSMALLINT>(s),
                                             f};
    return c;
  }
  // Interval cell of a code from its total in months or seconds.
  Value* interval(int code, int64_t total, int64_t fraction = 0, int lead = 2, int secs = 6) {
    Value* c = cell(code == 1 || code == 2 || code == 7 ? KY_VT_INTERVAL_YM : KY_VT_INTERVAL_DS);
    c->data.interval.interval_type = static_cast<SQLINTERVAL>(code);
    EXPECT_EQ(normalise_interval(total, fraction, c), 0);
    c->leading_precision = lead;
    c->seconds_precision = secs;
    return c;
  }
  std::string literal(const Value* c) {
    char buf[128];
    const char* r = value_as_text(c, buf, sizeof buf);
    return r ? r : "<null>";
  }
};

TEST_F(CellOps, BigintOperators) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
  struct Case {
    int64_t a, b;
    int32_t op;
    const char* result;  // literal of the result, or the SQLSTATE posted
  } cases[] = {
      {7, 2, KY_OP_DIVIDE, "3"},
      {-7, 2, KY_OP_DIVIDE, "-3"},
      {kMax - 1, 1, KY_OP_ADD, "9223372036854775807"},
      {kMax, 1, KY_OP_ADD, "22003"},
      {kMin, 1, KY_OP_SUBTRACT, "22003"},
      {int64_t{1} << 32, int64_t{1} << 31, KY_OP_MULTIPLY, "22003"},
      {kMin, -1, KY_OP_DIVIDE, "22003"},
      {5, 0, KY_OP_DIVIDE, "22012"},
      {3, 3, KY_OP_GREATER_EQUAL, "1"},
      {3, 3, KY_OP_LESS_EQUAL, "1"},
      {3, 3, KY_OP_EQUAL, "1"},
      {3, 3, KY_OP_LESS, "0"},
      {3, 3, KY_OP_GREATER, "0"},
      {3, 3, KY_OP_NOT_EQUAL, "0"},
      {0, int64_t{1} << 40, KY_OP_LESS, "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + " op" + std::to_string(c.op) + " " + std::to_string(c.b));
    clear();
    Value* r = integer(99);
    const int rc = bigint_operation(bigint(c.a), bigint(c.b), r, &ctx, c.op);
    const std::string want = c.result;
    if (want == "22003" || want == "22012") {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(ctx.failed, 1);
      EXPECT_EQ(last_state(), want);
      EXPECT_EQ(stmt.head.errors->return_code, SQL_ERROR);
      EXPECT_EQ(literal(r), "99");  // left alone, never wrapped
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(literal(r), want);
    }
  }
  clear();
  bigint_operation(bigint(1), bigint(0), integer(0), &ctx, KY_OP_DIVIDE);
  EXPECT_EQ(last_message(), "[Kyronde ODBC]Division by zero");
  EXPECT_STREQ(stmt.head.errors->last->subclass_origin, "ODBC3.0");
  // Without a context the error is returned all the same.
  EXPECT_EQ(bigint_operation(bigint(1), bigint(0), integer(0), nullptr, KY_OP_DIVIDE), -1);
  Value* n = cell(KY_VT_BIGINT);
  n->null_indicator = -1;
  Value* r = integer(1);
  EXPECT_EQ(bigint_operation(n, bigint(1), r, &ctx, KY_OP_ADD), 0);
  EXPECT_EQ(get_trivalue_from_value(r), 2);
  EXPECT_EQ(bigint_operation(n, bigint(1), r, &ctx, KY_OP_EQUAL), 0);
  EXPECT_EQ(get_trivalue_from_value(r), 2);
  r = integer(4);
  EXPECT_EQ(bigint_operation(bigint(1), bigint(1), r, &ctx, 3), 0);  // no such operator
  EXPECT_EQ(literal(r), "4");
}

TEST_F(CellOps, NumericOperators) {
  struct Case {
    Value* a;
    Value* b;
    int32_t op;
    const char* result;
  } cases[] = {
      {numeric("1.5"), numeric("2"), KY_OP_ADD, "3.5"},
      {numeric("-5"), integer(3), KY_OP_ADD, "-2"},
      {integer(3), numeric("0.25"), KY_OP_MULTIPLY, "0.75"},
      {numeric("10"), bigint(4), KY_OP_DIVIDE, "3"},  // the left's scale
      {numeric("10.00"), real(4.0), KY_OP_DIVIDE, "2.5"},
      {numeric("1.0"), real(0.25), KY_OP_SUBTRACT, "0.8"},  // the double takes the numeric's scale
      {numeric("340282366920938463463374607431768211455"), integer(1), KY_OP_ADD, "22003"},
      {numeric("18446744073709551616"), numeric("18446744073709551616"), KY_OP_MULTIPLY, "22003"},
      {numeric("1"), numeric("0.00"), KY_OP_DIVIDE, "22012"},
      {numeric("2.50"), text("2.5"), KY_OP_EQUAL, "1"},
      {numeric("2.5"), integer(3), KY_OP_LESS, "1"},
      {numeric("-0"), numeric("0"), KY_OP_EQUAL, "1"},
      {numeric("2"), numeric("2"), KY_OP_NOT_EQUAL, "0"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    clear();
    Value* r = integer(99);
    const int rc = numeric_operation(cases[i].a, cases[i].b, r, &ctx, cases[i].op);
    const std::string want = cases[i].result;
    if (want == "22003" || want == "22012") {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(last_state(), want);
      EXPECT_EQ(literal(r), "99");
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(literal(r), want);
    }
  }
  clear();
  EXPECT_EQ(numeric_operation(integer(1), integer(2), integer(0), &ctx, KY_OP_ADD), -1);
  EXPECT_EQ(last_state(), "HY000");
}

TEST_F(CellOps, DateArithmetic) {
  struct Case {
    Value* source;
    int32_t months, days;
    const char* result;  // literal, or "-2" for a range error
  } cases[] = {
      {date(2001, 12, 15), 1, 0, "{d'2002-01-15'}"},
      {date(2001, 12, 15), 12, 0, "{d'2002-12-15'}"},
      {date(2001, 1, 15), -1, 0, "{d'2000-12-15'}"},
      {date(2001, 1, 31), 1, 0, "{d'2001-02-28'}"},  // the month's last day, not 02-31
      {date(2004, 1, 31), 1, 0, "{d'2004-02-29'}"},
      {date(2000, 2, 29), 12, 0, "{d'2001-02-28'}"},
      {date(2000, 2, 28), 0, 1, "{d'2000-02-29'}"},
      {date(1900, 2, 28), 0, 1, "{d'1900-03-01'}"},
      {date(1752, 9, 2), 0, 1, "{d'1752-09-14'}"},       // the calendar switch
      {date(2000, 1, 1), 0, -36524, "{d'1900-01-01'}"},  // 1900 has no 29 February
      {date(9999, 12, 31), 0, 1, "-2"},
      {date(1, 1, 1), 0, -1, "-2"},
      {date(9999, 1, 1), 12, 0, "-2"},
      {date(0, 0, 0), 5, 5, "{d'0000-00-00'}"},  // no year: not moved
      {timestamp(2001, 3, 31, 10, 11, 12, 5), -1, 0, "{ts'2001-02-28 00:00:00'}"},
      {time(10, 0, 0), 1, 1, "{t'10:00:00'}"},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    Value* r = integer(1);
    const int rc = date_add(r, cases[i].source, cases[i].months, cases[i].days);
    if (std::string(cases[i].result) == "-2") {
      EXPECT_EQ(rc, -2);
      EXPECT_EQ(literal(r), "1");
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(literal(r), cases[i].result);
    }
  }
  EXPECT_EQ(date_add(integer(1), integer(1), 1, 1), -1);
}

TEST_F(CellOps, TimeArithmetic) {
  constexpr int64_t kNs = 1000000000;
  struct Case {
    Value* source;
    int32_t months;
    int64_t seconds, fraction;
    bool noconvert;
    const char* result;
    uint32_t fraction_out;
  } cases[] = {
      {timestamp(1999, 12, 31, 23, 59, 59), 0, 1, 0, false, "{ts'2000-01-01 00:00:00'}", 0},
      {timestamp(2000, 1, 1, 0, 0, 0), 0, -1, 0, false, "{ts'1999-12-31 23:59:59'}", 0},
      {timestamp(2000, 1, 1, 0, 0, 0, 900000000), 0, 0, 200000000, false, "{ts'2000-01-01 00:00:01'}", 100000000},
      {timestamp(2000, 1, 1, 0, 0, 0, 100), 0, 0, -200, false, "{ts'1999-12-31 23:59:59'}", kNs - 100},
      {timestamp(2000, 1, 31, 12, 0, 0), 1, 86400, 0, false, "{ts'2000-03-01 12:00:00'}", 0},
      {timestamp(9999, 12, 31, 23, 59, 59), 0, 1, 0, false, "-2", 0},
      {time(23, 59, 59), 0, 2, 0, false, "{t'00:00:01'}", 0},  // a time wraps, the day is dropped
      {time(0, 0, 0), 0, -1, 0, false, "{t'23:59:59'}", 0},
      {date(2000, 2, 28), 0, 86400 * 2, 0, false, "{d'2000-03-01'}", 0},
      {date(2000, 2, 28), 0, 3600, 0, true, "{ts'2000-02-28 01:00:00'}", 0},
      {time(1, 2, 3), 0, 60, 0, true, "{ts'0000-00-00 01:03:03'}", 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    const auto& c = cases[i];
    Value* r = integer(1);
    const int rc = c.noconvert ? timestamp_add_noconvert(r, c.source, c.months, c.seconds, c.fraction)
                               : timestamp_add(r, c.source, c.months, c.seconds, c.fraction);
    if (std::string(c.result) == "-2") {
      EXPECT_EQ(rc, -2);
      EXPECT_EQ(literal(r), "1");
      continue;
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(literal(r), c.result);
    if (r->value_type == KY_VT_TIMESTAMP) {
      EXPECT_EQ(r->data.timestamp.fraction, c.fraction_out);
    }
  }

  // time_add: a time wraps at midnight, a timestamp moves its date and
  // loses its fraction; the result may be the source.
  Value* t = time(23, 0, 0);
  EXPECT_EQ(time_add(t, t, 3600 * 2, 0), 0);
  EXPECT_EQ(literal(t), "{t'01:00:00'}");
  Value* ts = timestamp(2000, 12, 31, 23, 59, 59, 500);
  EXPECT_EQ(time_add(ts, ts, 0, 1500000000), 0);
  EXPECT_EQ(literal(ts), "{ts'2001-01-01 00:00:00'}");
  EXPECT_EQ(ts->data.timestamp.fraction, 0u);
  EXPECT_EQ(time_add(integer(0), date(2000, 1, 1), 1, 0), -1);
  Value* null_ts = cell(KY_VT_TIMESTAMP);
  null_ts->null_indicator = -1;
  Value* r = integer(5);
  EXPECT_EQ(timestamp_add(r, null_ts, 1, 1, 0), 0);
  EXPECT_EQ(get_trivalue_from_value(r), 2);
}

TEST_F(CellOps, IntervalCodesCombine) {
  struct Case {
    int a, b, code;  // 0: they do not combine
  } cases[] = {
      {SQL_IS_YEAR, SQL_IS_YEAR, SQL_IS_YEAR},
      {SQL_IS_MONTH, SQL_IS_MONTH, SQL_IS_MONTH},
      {SQL_IS_YEAR, SQL_IS_MONTH, SQL_IS_YEAR_TO_MONTH},
      {SQL_IS_YEAR_TO_MONTH, SQL_IS_YEAR_TO_MONTH, SQL_IS_YEAR_TO_MONTH},
      {SQL_IS_DAY, SQL_IS_HOUR, SQL_IS_DAY_TO_HOUR},
      {SQL_IS_HOUR, SQL_IS_SECOND, SQL_IS_HOUR_TO_SECOND},
      {SQL_IS_MINUTE, SQL_IS_DAY_TO_HOUR, SQL_IS_DAY_TO_MINUTE},
      {SQL_IS_SECOND, SQL_IS_SECOND, SQL_IS_SECOND},
      {SQL_IS_DAY_TO_SECOND, SQL_IS_MINUTE, SQL_IS_DAY_TO_SECOND},
      {SQL_IS_YEAR, SQL_IS_DAY, 0},
      {SQL_IS_DAY_TO_SECOND, SQL_IS_YEAR_TO_MONTH, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + "+" + std::to_string(c.b));
    clear();
    Value* r = integer(0);
    const int rc = interval_operation(interval(c.a, 0), interval(c.b, 0), r, &ctx, KY_OP_ADD);
    if (c.code == 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(last_state(), "HY000");
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(static_cast<int>(r->data.interval.interval_type), c.code);
    }
  }
}

TEST_F(CellOps, IntervalArithmetic) {
  clear();
  Value* r = integer(0);
  // 1 day 02:03:04.5 - 2 days = -0 21:56:55.5
  ASSERT_EQ(interval_operation(interval(SQL_IS_DAY_TO_SECOND, 93784, 500000000), interval(SQL_IS_DAY, 2 * 86400, 0, 5),
                               r, &ctx, KY_OP_SUBTRACT),
            0);
  EXPECT_EQ(literal(r), "{INTERVAL -'0 21:56:55.5' DAY(5) TO SECOND}");
  EXPECT_EQ(r->value_type, KY_VT_INTERVAL_DS);

  // Number + interval keeps a year-month interval year-month.
  ASSERT_EQ(interval_operation(integer(2), interval(SQL_IS_YEAR, 12), r, &ctx, KY_OP_ADD), 0);
  EXPECT_EQ(r->value_type, KY_VT_INTERVAL_YM);
  EXPECT_EQ(literal(r), "{INTERVAL '3' YEAR}");
  ASSERT_EQ(interval_operation(integer(90), interval(SQL_IS_MINUTE, 60), r, &ctx, KY_OP_SUBTRACT), 0);
  EXPECT_EQ(literal(r), "{INTERVAL -'89' MINUTE}");
  ASSERT_EQ(interval_operation(integer(1), interval(SQL_IS_DAY_TO_HOUR, 3600), r, &ctx, KY_OP_ADD), 0);
  EXPECT_EQ(literal(r), "{INTERVAL '1 01' DAY TO HOUR}");

  // Date and time +/- interval.
  ASSERT_EQ(interval_operation(date(2001, 1, 31), interval(SQL_IS_MONTH, 1), r, &ctx, KY_OP_ADD), 0);
  EXPECT_EQ(literal(r), "{d'2001-02-28'}");
  ASSERT_EQ(interval_operation(timestamp(2000, 3, 1, 0, 0, 0), interval(SQL_IS_HOUR_TO_MINUTE, 90 * 60), r, &ctx,
                               KY_OP_SUBTRACT),
            0);
  EXPECT_EQ(literal(r), "{ts'2000-02-29 22:30:00'}");
  ASSERT_EQ(
      interval_operation(timestamp(2000, 1, 1, 0, 0, 0), interval(SQL_IS_SECOND, 0, 250000000), r, &ctx, KY_OP_ADD), 0);
  EXPECT_EQ(r->data.timestamp.fraction, 250000000u);

  // Errors are posted, never wrapped.
  clear();
  EXPECT_EQ(interval_operation(date(9999, 12, 1), interval(SQL_IS_MONTH, 1), r, &ctx, KY_OP_ADD), -1);
  EXPECT_EQ(last_state(), "22008");
  clear();
  EXPECT_EQ(interval_operation(interval(SQL_IS_DAY, 86400LL * 4000000000LL),
                               interval(SQL_IS_DAY, 86400LL * 400000000LL), r, &ctx, KY_OP_ADD),
            -1);
  EXPECT_EQ(last_state(), "22015");
  clear();
  EXPECT_EQ(interval_operation(interval(SQL_IS_DAY, 0), integer(1), r, &ctx, KY_OP_ADD), -1);
  EXPECT_EQ(last_state(), "HY000");

  // NULL operands give NULL.
  Value* n = interval(SQL_IS_DAY, 0);
  n->null_indicator = -1;
  Value* out = interval(SQL_IS_DAY, 86400);
  EXPECT_EQ(interval_operation(n, interval(SQL_IS_DAY, 86400), out, &ctx, KY_OP_ADD), 0);
  EXPECT_EQ(get_trivalue_from_value(out), 2);
}

}  // namespace
