// SQL numerics: text and structure both ways, scaled integer and double
// conversions, integer extraction, comparison and the arithmetic, with every
// overflow reported.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "ky_numeric.h"

namespace {

const char* const kMax128 = "340282366920938463463374607431768211455";  // 2^128 - 1
const char* const k2To128 = "340282366920938463463374607431768211456";

SQL_NUMERIC_STRUCT num(const char* text, int scale = 0) {
  SQL_NUMERIC_STRUCT n{};
  EXPECT_EQ(string_to_numeric(text, &n, 38, scale), 0) << text;
  return n;
}

SQL_NUMERIC_STRUCT raw(uint64_t mag, int scale, int sign = 1) {
  SQL_NUMERIC_STRUCT n{};
  n.precision = 38;
  n.scale = static_cast<SQLSCHAR>(scale);
  n.sign = static_cast<SQLCHAR>(sign);
  for (int i = 0; i < 8; ++i) n.val[i] = static_cast<SQLCHAR>(mag >> (8 * i));
  return n;
}

std::string text(const SQL_NUMERIC_STRUCT& n) {
  char buf[256];
  SQLLEN len = 0;
  EXPECT_EQ(numeric_to_string(&n, buf, sizeof buf, &len), 0);
  EXPECT_EQ(len, static_cast<SQLLEN>(std::strlen(buf)));
  return buf;
}

uint64_t low64(const SQL_NUMERIC_STRUCT& n) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | n.val[i];
  return v;
}

TEST(Numeric, TextAndStructure) {
  struct Case {
    const char* in;
    int scale_in;
    int scale;  // scale stored
    const char* out;
  } cases[] = {
      {"12.50", 0, 2, "12.5"},   {"  -007", 0, 0, "-7"},
      {"+0.005", 0, 3, "0.005"}, {"5", -2, -2, "500"},
      {"0.00", 0, 2, "0"},       {"-0", 0, 0, "0"},
      {"123.", 0, 0, "123"},     {".5", 0, 1, "0.5"},
      {kMax128, 0, 0, kMax128},  {kMax128, 38, 38, "3.40282366920938463463374607431768211455"},
      {"1x5", 0, 0, "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    SQL_NUMERIC_STRUCT n{};
    ASSERT_EQ(string_to_numeric(c.in, &n, 38, c.scale_in), 0);
    EXPECT_EQ(n.scale, c.scale);
    EXPECT_EQ(text(n), c.out);
  }
  SQL_NUMERIC_STRUCT n = num(kMax128);
  for (SQLCHAR b : n.val) EXPECT_EQ(b, 0xFF);
  EXPECT_EQ(low64(num("12.50")), 1250u);

  EXPECT_EQ(text(raw(5, 3)), "0.005");
  EXPECT_EQ(text(raw(5, -2)), "500");
  EXPECT_EQ(text(raw(5, 0, 0)), "-5");
  EXPECT_EQ(text(raw(0, 2, 0)), "0");
}

TEST(Numeric, ParseOverflow) {
  SQL_NUMERIC_STRUCT n = raw(42, 0);
  const SQL_NUMERIC_STRUCT before = n;
  EXPECT_EQ(string_to_numeric(k2To128, &n, 38, 0), -2);
  EXPECT_EQ(string_to_numeric("99999999999999999999999999999999999999999", &n, 38, 0), -2);
  EXPECT_EQ(string_to_numeric(("1." + std::string(127, '0')).c_str(), &n, 38, 1), -2);  // scale above 127
  EXPECT_EQ(std::memcmp(&n, &before, sizeof n), 0);
  EXPECT_EQ(string_to_numeric(("0000000000000000000000000000000000000000000" + std::string("1")).c_str(), &n, 38, 0),
            0);
  EXPECT_EQ(text(n), "1");
}

TEST(Numeric, OutputIsCutToCapacity) {
  const SQL_NUMERIC_STRUCT n = num("-12.5");
  char buf[4];
  SQLLEN len = 0;
  EXPECT_EQ(numeric_to_string(&n, buf, sizeof buf, &len), 1);
  EXPECT_STREQ(buf, "-12");
  EXPECT_EQ(len, 5);
  EXPECT_EQ(numeric_to_string(&n, buf, 0, &len), 0);
  EXPECT_EQ(len, 5);
}

TEST(Numeric, ScaledIntegers) {
  struct Case {
    int64_t value;
    int scale;
    int rc;
    const char* out;
  } cases[] = {
      {12345, 20, 0, "12345"},  // scaled in 128 bits
      {-12345, 20, 0, "-12345"},
      {123456, -3, 0, "123000"},
      {-1999, -3, 0, "-1000"},
      {std::numeric_limits<int64_t>::max(), 19, 0, "9223372036854775807"},
      {std::numeric_limits<int64_t>::min(), 19, 0, "-9223372036854775808"},
      {std::numeric_limits<int64_t>::min(), 20, -2, nullptr},  // beyond 2^128 - 1
      {1, 39, -2, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    SCOPED_TRACE(c.scale);
    SQL_NUMERIC_STRUCT n{};
    ASSERT_EQ(bigint_to_numeric(c.value, &n, 38, c.scale), c.rc);
    if (c.out) {
      EXPECT_EQ(n.scale, c.scale);
      EXPECT_EQ(text(n), c.out);
    }
  }
  SQL_NUMERIC_STRUCT n{};
  ASSERT_EQ(int_to_numeric(std::numeric_limits<int32_t>::min(), &n, 10, 2), 0);
  EXPECT_EQ(text(n), "-2147483648");
  ASSERT_EQ(int_to_numeric_noscale(-42, &n, 5), 0);
  EXPECT_EQ(n.precision, 5);
  EXPECT_EQ(n.sign, 0);
  EXPECT_EQ(low64(n), 42u);
  ASSERT_EQ(bigint_to_numeric_noscale(0, &n, 5), 0);
  EXPECT_EQ(n.sign, 1);
  EXPECT_EQ(int_to_numeric(1, &n, 300, 0), -1);
}

TEST(Numeric, Doubles) {
  struct Case {
    double value;
    int scale;
    int rc;
    const char* out;
  } cases[] = {
      {123.0, -1, 1, "120"},      {120.0, -1, 0, "120"},       {1.1, 1, 0, "1.1"},
      {-2.5, 0, 0, "-2"},  // half to even
      {0.125, 2, 0, "0.12"},      {3.0e38, 0, 0, nullptr},     {NAN, 0, -2, nullptr},
      {INFINITY, 0, -2, nullptr}, {-INFINITY, 2, -2, nullptr}, {3.5e38, 0, -2, nullptr},
      {1.0, 400, -2, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    SQL_NUMERIC_STRUCT n{};
    ASSERT_EQ(double_to_numeric(c.value, &n, 38, c.scale), c.rc);
    if (c.out) {
      EXPECT_EQ(text(n), c.out);
    }
  }
  SQL_NUMERIC_STRUCT n{};
  double d = 0;
  ASSERT_EQ(double_to_numeric(120.0, &n, 38, -1), 0);
  EXPECT_EQ(low64(n), 12u);
  ASSERT_EQ(numeric_to_double(&n, &d), 0);
  EXPECT_EQ(d, 120.0);

  struct Back {
    const char* text;
    double value;
  } back[] = {{"0.1", 0.1}, {kMax128, 3.402823669209385e38}, {"-12.5", -12.5}, {"0", 0.0}};
  for (const auto& b : back) {
    const SQL_NUMERIC_STRUCT m = num(b.text);
    ASSERT_EQ(numeric_to_double(&m, &d), 0);
    EXPECT_EQ(d, b.value) << b.text;
  }
  const SQL_NUMERIC_STRUCT neg_scale = raw(5, -3);
  ASSERT_EQ(numeric_to_double(&neg_scale, &d), 0);
  EXPECT_EQ(d, 5000.0);
}

TEST(Numeric, IntegerExtraction) {
  struct Case {
    SQL_NUMERIC_STRUCT n;
    int rc32;
    int32_t v32;
    int rc64;
    int64_t v64;
  } cases[] = {
      {num("2147483647.9"), 0, 2147483647, 0, 2147483647},
      {num("2147483648"), -2, 0, 0, 2147483648LL},  // 2^31 does not fit 32 bits
      {num("-2147483648"), 0, std::numeric_limits<int32_t>::min(), 0, -2147483648LL},
      {num("-0.5"), 0, 0, 0, 0},
      {num("9223372036854775807"), -2, 0, 0, std::numeric_limits<int64_t>::max()},
      {num("-9223372036854775808"), -2, 0, 0, std::numeric_limits<int64_t>::min()},
      {num("9223372036854775808"), -2, 0, -2, 0},
      {raw(5, -3), 0, 5000, 0, 5000},
      {raw(1, -40), -2, 0, -2, 0},
      {num(kMax128, 60), 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(text(c.n));
    int32_t v32 = 0;
    int64_t v64 = 0;
    EXPECT_EQ(numeric_to_int(&c.n, &v32), c.rc32);
    if (c.rc32 == 0) {
      EXPECT_EQ(v32, c.v32);
    }
    EXPECT_EQ(numeric_to_bigint(&c.n, &v64), c.rc64);
    if (c.rc64 == 0) {
      EXPECT_EQ(v64, c.v64);
    }
  }
}

TEST(Numeric, CompareAcrossScalesAndSigns) {
  struct Case {
    const char* a;
    const char* b;
    int rc;
  } cases[] = {
      {"1.50", "1.5", 0},        {"-0", "0", 0},          {"-0.00", "0", 0},
      {"-1", "0", -1},           {"-2", "-10", 1},        {"0.001", "0.0009", 1},
      {"-0.001", "-0.0009", -1}, {kMax128, "0.5", 1},  // aligning would overflow: still ordered
      {"0.5", kMax128, -1},      {"12", "12.000001", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const SQL_NUMERIC_STRUCT a = num(c.a), b = num(c.b);
    EXPECT_EQ(numeric_compare(&a, &b), c.rc);
    EXPECT_EQ(numeric_compare(&b, &a), -c.rc);
  }
  SQL_NUMERIC_STRUCT minus_zero = raw(0, 0, 0);
  EXPECT_EQ(numeric_is_zero(&minus_zero), 1);
  const SQL_NUMERIC_STRUCT one = raw(1, 5);
  EXPECT_EQ(numeric_is_zero(&one), 0);
}

TEST(Numeric, Arithmetic) {
  using Op = int (*)(SQL_NUMERIC_STRUCT*, const SQL_NUMERIC_STRUCT*);
  const Op div = [](SQL_NUMERIC_STRUCT* a, const SQL_NUMERIC_STRUCT* b) { return div_numeric(a, b, nullptr); };
  struct Case {
    const char* name;
    Op op;
    const char* a;
    const char* b;
    int rc;
    const char* out;
    int scale;
  } cases[] = {
      {"1.5 + 2", add_numeric, "1.5", "2", 0, "3.5", 1},
      {"-5 + 3", add_numeric, "-5", "3", 0, "-2", 0},
      {"3 + -3 is +0", add_numeric, "3", "-3", 0, "0", 0},
      {"0.1 - 0.25", subtract_numeric, "0.1", "0.25", 0, "-0.15", 2},
      {"-1.5 x 2.5", mult_numeric, "-1.5", "2.5", 0, "-3.75", 2},
      {"1.0000 / 3", div, "1.0000", "3", 0, "0.3333", 4},
      {"2.00 / 3", div, "2.00", "3", 0, "0.67", 2},
      {"10 / 0.5", div, "10", "0.5", 0, "20", 0},
      {"-7 / 2", div, "-7", "2", 0, "-4", 0},
      {"max + 1", add_numeric, kMax128, "1", -2, nullptr, 0},
      {"max + 0.1 (alignment)", add_numeric, kMax128, "0.1", -2, nullptr, 0},
      {"2^64 x 2^64", mult_numeric, "18446744073709551616", "18446744073709551616", -2, nullptr, 0},
      {"1 / 0", div, "1", "0", -1, nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SQL_NUMERIC_STRUCT a = num(c.a);
    const SQL_NUMERIC_STRUCT before = a, b = num(c.b);
    ASSERT_EQ(c.op(&a, &b), c.rc);
    if (c.out) {
      EXPECT_EQ(text(a), c.out);
      EXPECT_EQ(a.scale, c.scale);
    } else {
      EXPECT_EQ(std::memcmp(&a, &before, sizeof a), 0);  // left unchanged
    }
  }
  SQL_NUMERIC_STRUCT zero = num("3");
  const SQL_NUMERIC_STRUCT three = num("3");
  ASSERT_EQ(subtract_numeric(&zero, &three), 0);
  EXPECT_EQ(zero.sign, 1);

  SQL_NUMERIC_STRUCT big = raw(1, 100);
  const SQL_NUMERIC_STRUCT big2 = raw(1, 100);
  EXPECT_EQ(mult_numeric(&big, &big2), -2);  // scale 200 does not fit
}

TEST(Numeric, CreateWithExactScale) {
  struct Case {
    const char* text;
    int scale;
    const char* out;
    uint64_t mag;
  } cases[] = {
      {"12.345", 2, "12.34", 1234}, {"12.3", 4, "12.3", 123000}, {"-1.5", 0, "-1", 1},
      {"12345", -2, "12300", 123},  {"5", -3, "0", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SQL_NUMERIC_STRUCT n{};
    ASSERT_EQ(create_numeric(c.text, &n, 38, c.scale), 0);
    EXPECT_EQ(n.scale, c.scale);
    EXPECT_EQ(low64(n), c.mag);
    EXPECT_EQ(text(n), c.out);
  }
}

}  // namespace
