// Conversions of block-fetch cache values: a table of (source value, target
// type, buffer) -> (bytes, length, result, SQLSTATE), then the piecewise reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "convert.h"
#include "ky_numeric.h"

using namespace kyvek::driver;

namespace {

using Bytes = std::vector<unsigned char>;

template <typename T>
Bytes bytes_of(const T& v) {
  Bytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
Bytes text_bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes wide_bytes(const std::u16string& s) {
  Bytes b(s.size() * 2);
  std::memcpy(b.data(), s.data(), b.size());
  return b;
}

// Source values as the cache holds them.
struct Source {
  SQLSMALLINT c_type;
  Bytes cell;
  SQLLEN indicator;
  int16_t precision = 0, scale = 0;
  SQLLEN slot = 0;  // 0: the cell's size (+1 for text)
};
template <typename T>
Source fixed(SQLSMALLINT c_type, T v) {
  return {c_type, bytes_of(v), static_cast<SQLLEN>(sizeof v)};
}
Source i32(int32_t v) { return fixed(SQL_C_LONG, v); }
Source i16(int16_t v) { return fixed(SQL_C_SHORT, v); }
Source i64(int64_t v) { return fixed(SQL_C_SBIGINT, v); }
Source dbl(double v) { return fixed(SQL_C_DOUBLE, v); }
Source flt(float v) { return fixed(SQL_C_FLOAT, v); }
Source bit(unsigned char v) { return fixed(SQL_C_BIT, v); }
Source text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return {SQL_C_CHAR, b, static_cast<SQLLEN>(s.size())};
}
Source bin(const Bytes& b) { return {SQL_C_BINARY, b, static_cast<SQLLEN>(b.size())}; }
Source date(int y, int m, int d) {
  return fixed(SQL_C_TYPE_DATE, SQL_DATE_STRUCT{SQLSMALLINT(y), SQLUSMALLINT(m), SQLUSMALLINT(d)});
}
Source time_of(int h, int m, int s) {
  return fixed(SQL_C_TYPE_TIME, SQL_TIME_STRUCT{SQLUSMALLINT(h), SQLUSMALLINT(m), SQLUSMALLINT(s)});
}
SQL_TIMESTAMP_STRUCT ts_struct(int y, int mo, int d, int h, int mi, int s, unsigned f) {
  return {SQLSMALLINT(y), SQLUSMALLINT(mo), SQLUSMALLINT(d), SQLUSMALLINT(h), SQLUSMALLINT(mi), SQLUSMALLINT(s), f};
}
Source ts(int y, int mo, int d, int h, int mi, int s, unsigned f) {
  return fixed(SQL_C_TYPE_TIMESTAMP, ts_struct(y, mo, d, h, mi, s, f));
}
SQL_NUMERIC_STRUCT num_struct(const char* t, int precision, int scale) {
  SQL_NUMERIC_STRUCT n{};
  EXPECT_GE(create_numeric(t, &n, precision, scale), 0) << t;
  return n;
}
Source num(const char* t, int precision, int scale) {
  Source s = fixed(SQL_C_NUMERIC, num_struct(t, precision, scale));
  s.precision = static_cast<int16_t>(precision);
  s.scale = static_cast<int16_t>(scale);
  return s;
}
SQL_INTERVAL_STRUCT iv_ym(int code, bool neg, unsigned y, unsigned m) {
  SQL_INTERVAL_STRUCT iv{};
  iv.interval_type = static_cast<SQLINTERVAL>(code);
  iv.interval_sign = neg ? SQL_TRUE : SQL_FALSE;
  iv.intval.year_month.year = y;
  iv.intval.year_month.month = m;
  return iv;
}
SQL_INTERVAL_STRUCT iv_ds(int code, bool neg, unsigned d, unsigned h, unsigned mi, unsigned s, unsigned f) {
  SQL_INTERVAL_STRUCT iv{};
  iv.interval_type = static_cast<SQLINTERVAL>(code);
  iv.interval_sign = neg ? SQL_TRUE : SQL_FALSE;
  iv.intval.day_second = {d, h, mi, s, f};
  return iv;
}
Source interval(const SQL_INTERVAL_STRUCT& iv) { return fixed(static_cast<SQLSMALLINT>(100 + iv.interval_type), iv); }
Source null_of(SQLSMALLINT c_type) { return {c_type, Bytes(8), SQL_NULL_DATA}; }

CachedValue make(const Source& s) {
  SQLLEN slot = s.slot ? s.slot : static_cast<SQLLEN>(s.cell.size());
  return cached_value_from_cell(s.c_type, s.cell.data(), slot, s.indicator, s.precision, s.scale);
}

struct Case {
  const char* name;
  Source source;
  SQLSMALLINT target;
  SQLLEN buffer;
  SQLRETURN rc;
  const char* state;  // null: none
  SQLLEN length;      // expected length or indicator (ignored on error)
  Bytes bytes;        // expected leading bytes of the target (empty: not checked)
};

const Case kCases[] = {
    // integers
    {"int to long", i32(-7), SQL_C_LONG, 4, SQL_SUCCESS, nullptr, 4, bytes_of<int32_t>(-7)},
    {"200 to stinyint", i32(200), SQL_C_STINYINT, 1, SQL_ERROR, "22003", 0, {}},
    {"200 to utinyint", i32(200), SQL_C_UTINYINT, 1, SQL_SUCCESS, nullptr, 1, bytes_of<uint8_t>(200)},
    {"-1 to ulong", i32(-1), SQL_C_ULONG, 4, SQL_ERROR, "22003", 0, {}},
    {"-1 to ubigint", i32(-1), SQL_C_UBIGINT, 8, SQL_ERROR, "22003", 0, {}},
    {"70000 to short", i32(70000), SQL_C_SHORT, 2, SQL_ERROR, "22003", 0, {}},
    {"short to double", i16(-3), SQL_C_DOUBLE, 8, SQL_SUCCESS, nullptr, 8, bytes_of(-3.0)},
    {"2 to bit", i32(2), SQL_C_BIT, 1, SQL_ERROR, "22003", 0, {}},
    {"int to text", i32(-42), SQL_C_CHAR, 10, SQL_SUCCESS, nullptr, 3, text_bytes("-42")},
    {"int to text cut", i32(12345), SQL_C_CHAR, 3, SQL_SUCCESS_WITH_INFO, "01004", 5, text_bytes("12")},
    {"int to numeric", i32(-12), SQL_C_NUMERIC, 19, SQL_SUCCESS, nullptr, 19, {}},
    {"int to binary", i32(1), SQL_C_BINARY, 4, SQL_SUCCESS, nullptr, 4, bytes_of<int32_t>(1)},
    {"int to binary cut", i32(1), SQL_C_BINARY, 2, SQL_SUCCESS_WITH_INFO, "01004", 4, Bytes{1, 0}},
    {"int to date", i32(1), SQL_C_TYPE_DATE, 6, SQL_ERROR, "07006", 0, {}},
    {"int to guid", i32(1), SQL_C_GUID, 16, SQL_ERROR, "07006", 0, {}},
    {"int to interval day", i32(-5), SQL_C_INTERVAL_DAY, 28, SQL_SUCCESS, nullptr, 28,
     bytes_of(iv_ds(SQL_IS_DAY, true, 5, 0, 0, 0, 0))},
    {"int to interval day to hour", i32(5), SQL_C_INTERVAL_DAY_TO_HOUR, 28, SQL_ERROR, "22015", 0, {}},
    // bigints
    {"bigint 2^40 to long", i64(int64_t{1} << 40), SQL_C_LONG, 4, SQL_ERROR, "22003", 0, {}},
    {"bigint to text", i64(-9223372036854775807LL - 1), SQL_C_CHAR, 30, SQL_SUCCESS, nullptr, 20,
     text_bytes("-9223372036854775808")},
    {"bigint to ubigint", i64(INT64_MAX), SQL_C_UBIGINT, 8, SQL_SUCCESS, nullptr, 8, bytes_of<uint64_t>(INT64_MAX)},
    // reals
    {"3.5 to long", dbl(3.5), SQL_C_LONG, 4, SQL_SUCCESS_WITH_INFO, "01S07", 4, bytes_of<int32_t>(3)},
    {"3e10 to long", dbl(3.0e10), SQL_C_LONG, 4, SQL_ERROR, "22003", 0, {}},
    {"-1.5 to short", dbl(-1.5), SQL_C_SHORT, 2, SQL_SUCCESS_WITH_INFO, "01S07", 2, bytes_of<int16_t>(-1)},
    {"1e300 to float", dbl(1e300), SQL_C_FLOAT, 4, SQL_ERROR, "22003", 0, {}},
    {"0.1 to float", dbl(0.1), SQL_C_FLOAT, 4, SQL_SUCCESS, nullptr, 4, bytes_of(0.1f)},
    {"nan to long", dbl(NAN), SQL_C_LONG, 4, SQL_ERROR, "22003", 0, {}},
    {"1.5 to bit", dbl(1.5), SQL_C_BIT, 1, SQL_SUCCESS_WITH_INFO, "01S07", 1, Bytes{1}},
    {"2.0 to bit", dbl(2.0), SQL_C_BIT, 1, SQL_ERROR, "22003", 0, {}},
    {"1e-10 to text", dbl(1e-10), SQL_C_CHAR, 30, SQL_SUCCESS, nullptr, 5, text_bytes("1e-10")},
    {"0.1+0.2 to text", dbl(0.1 + 0.2), SQL_C_CHAR, 30, SQL_SUCCESS, nullptr, 19, text_bytes("0.30000000000000004")},
    {"1e10 to text", dbl(1e10), SQL_C_CHAR, 30, SQL_SUCCESS, nullptr, 11, text_bytes("10000000000")},
    {"-2.5 to text", dbl(-2.5), SQL_C_CHAR, 30, SQL_SUCCESS, nullptr, 4, text_bytes("-2.5")},
    {"float 0.1 to text", flt(0.1f), SQL_C_CHAR, 30, SQL_SUCCESS, nullptr, 3, text_bytes("0.1")},
    {"real to numeric", dbl(-2.25), SQL_C_NUMERIC, 19, SQL_SUCCESS, nullptr, 19, {}},
    {"real to interval", dbl(1.0), SQL_C_INTERVAL_DAY, 28, SQL_ERROR, "07006", 0, {}},
    {"real to binary", dbl(1.0), SQL_C_BINARY, 8, SQL_SUCCESS, nullptr, 8, bytes_of(1.0)},
    // text
    {"text to long", text(" 42 "), SQL_C_LONG, 4, SQL_SUCCESS, nullptr, 4, bytes_of<int32_t>(42)},
    {"text 3e9 to long", text("3000000000"), SQL_C_LONG, 4, SQL_ERROR, "22003", 0, {}},
    {"text abc to long", text("abc"), SQL_C_LONG, 4, SQL_ERROR, "22018", 0, {}},
    {"text 12x to double", text("12x"), SQL_C_DOUBLE, 8, SQL_ERROR, "22018", 0, {}},
    {"text 2.5 to long", text("2.5"), SQL_C_LONG, 4, SQL_SUCCESS_WITH_INFO, "01S07", 4, bytes_of<int32_t>(2)},
    {"text to double", text("-0.125"), SQL_C_DOUBLE, 8, SQL_SUCCESS, nullptr, 8, bytes_of(-0.125)},
    {"text 1e999 to double", text("1e999"), SQL_C_DOUBLE, 8, SQL_ERROR, "22003", 0, {}},
    {"text max bigint", text("9223372036854775807"), SQL_C_SBIGINT, 8, SQL_SUCCESS, nullptr, 8,
     bytes_of<int64_t>(INT64_MAX)},
    {"text 0 to bit", text("0"), SQL_C_BIT, 1, SQL_SUCCESS, nullptr, 1, Bytes{0}},
    {"text 7 to bit", text("7"), SQL_C_BIT, 1, SQL_ERROR, "22003", 0, {}},
    {"text to date", text("2001-02-03"), SQL_C_TYPE_DATE, 6, SQL_SUCCESS, nullptr, 6,
     bytes_of(SQL_DATE_STRUCT{2001, 2, 3})},
    {"text feb 30 to date", text("2001-02-30"), SQL_C_TYPE_DATE, 6, SQL_ERROR, "22008", 0, {}},
    {"text 12:30:61 to time", text("12:30:61"), SQL_C_TYPE_TIME, 6, SQL_ERROR, "22008", 0, {}},
    {"text to time", text("23:59:58"), SQL_C_TYPE_TIME, 6, SQL_SUCCESS, nullptr, 6,
     bytes_of(SQL_TIME_STRUCT{23, 59, 58})},
    {"timestamp text to time", text("2001-02-03 04:05:06.5"), SQL_C_TYPE_TIME, 6, SQL_SUCCESS_WITH_INFO, "01S07", 6,
     bytes_of(SQL_TIME_STRUCT{4, 5, 6})},
    {"text date to timestamp", text("2001-02-03"), SQL_C_TYPE_TIMESTAMP, 16, SQL_SUCCESS, nullptr, 16,
     bytes_of(ts_struct(2001, 2, 3, 0, 0, 0, 0))},
    {"text .5 to timestamp", text("2001-02-03 04:05:06.5"), SQL_C_TYPE_TIMESTAMP, 16, SQL_SUCCESS, nullptr, 16,
     bytes_of(ts_struct(2001, 2, 3, 4, 5, 6, 500000000))},
    {"text bad timestamp", text("2001-02-03 25:00:00"), SQL_C_TYPE_TIMESTAMP, 16, SQL_ERROR, "22008", 0, {}},
    {"text to numeric", text("-123.456"), SQL_C_NUMERIC, 19, SQL_SUCCESS, nullptr, 19, {}},
    {"text x to numeric", text("x1"), SQL_C_NUMERIC, 19, SQL_ERROR, "22018", 0, {}},
    {"text to binary", text("ab"), SQL_C_BINARY, 10, SQL_SUCCESS, nullptr, 2, text_bytes("ab")},
    {"text to binary cut", text("abcd"), SQL_C_BINARY, 3, SQL_SUCCESS_WITH_INFO, "01004", 4, text_bytes("abc")},
    {"text to wchar", text("h\xC3\xA9!"), SQL_C_WCHAR, 20, SQL_SUCCESS, nullptr, 6, wide_bytes(u"h\u00e9!")},
    {"text astral to wchar", text("\xF0\x9F\x98\x80"), SQL_C_WCHAR, 20, SQL_SUCCESS, nullptr, 4,
     wide_bytes(u"\U0001F600")},
    {"astral not split", text("a\xF0\x9F\x98\x80"), SQL_C_WCHAR, 6, SQL_SUCCESS_WITH_INFO, "01004", 6,
     wide_bytes(std::u16string(u"a\0", 2))},
    {"text to interval day to second", text("-1 02:03:04.5"), SQL_C_INTERVAL_DAY_TO_SECOND, 28, SQL_SUCCESS, nullptr,
     28, bytes_of(iv_ds(SQL_IS_DAY_TO_SECOND, true, 1, 2, 3, 4, 500000000))},
    {"text to interval year to month", text("3-11"), SQL_C_INTERVAL_YEAR_TO_MONTH, 28, SQL_SUCCESS, nullptr, 28,
     bytes_of(iv_ym(SQL_IS_YEAR_TO_MONTH, false, 3, 11))},
    {"text hour 24 overflow", text("1 24"), SQL_C_INTERVAL_DAY_TO_HOUR, 28, SQL_ERROR, "22015", 0, {}},
    {"text bad interval", text("1:x"), SQL_C_INTERVAL_HOUR_TO_MINUTE, 28, SQL_ERROR, "22018", 0, {}},
    // bit
    {"bit to text", bit(1), SQL_C_CHAR, 4, SQL_SUCCESS, nullptr, 1, text_bytes("1")},
    {"bit to long", bit(1), SQL_C_LONG, 4, SQL_SUCCESS, nullptr, 4, bytes_of<int32_t>(1)},
    // binary
    {"binary to text", bin({0x00, 0xAB, 0x10}), SQL_C_CHAR, 10, SQL_SUCCESS, nullptr, 6, text_bytes("00AB10")},
    {"binary to binary cut", bin({1, 2, 3}), SQL_C_BINARY, 2, SQL_SUCCESS_WITH_INFO, "01004", 3, Bytes{1, 2}},
    {"binary to long", bin({1}), SQL_C_LONG, 4, SQL_ERROR, "07006", 0, {}},
    // dates and times
    {"date to text", date(2001, 2, 3), SQL_C_CHAR, 20, SQL_SUCCESS, nullptr, 10, text_bytes("2001-02-03")},
    {"time to text", time_of(4, 5, 6), SQL_C_CHAR, 20, SQL_SUCCESS, nullptr, 8, text_bytes("04:05:06")},
    {"timestamp to text keeps fraction", ts(2001, 2, 3, 4, 5, 6, 120000000), SQL_C_CHAR, 40, SQL_SUCCESS, nullptr, 22,
     text_bytes("2001-02-03 04:05:06.12")},
    {"timestamp to date", ts(2001, 2, 3, 4, 5, 6, 0), SQL_C_TYPE_DATE, 6, SQL_SUCCESS_WITH_INFO, "01S07", 6,
     bytes_of(SQL_DATE_STRUCT{2001, 2, 3})},
    {"midnight to date", ts(2001, 2, 3, 0, 0, 0, 0), SQL_C_TYPE_DATE, 6, SQL_SUCCESS, nullptr, 6,
     bytes_of(SQL_DATE_STRUCT{2001, 2, 3})},
    {"timestamp to time", ts(2001, 2, 3, 4, 5, 6, 7), SQL_C_TYPE_TIME, 6, SQL_SUCCESS_WITH_INFO, "01S07", 6,
     bytes_of(SQL_TIME_STRUCT{4, 5, 6})},
    {"date to timestamp", date(2001, 2, 3), SQL_C_TYPE_TIMESTAMP, 16, SQL_SUCCESS, nullptr, 16,
     bytes_of(ts_struct(2001, 2, 3, 0, 0, 0, 0))},
    {"date to time", date(2001, 2, 3), SQL_C_TYPE_TIME, 6, SQL_ERROR, "07006", 0, {}},
    {"date to long", date(2001, 2, 3), SQL_C_LONG, 4, SQL_ERROR, "07006", 0, {}},
    {"timestamp to binary", ts(2001, 2, 3, 4, 5, 6, 7), SQL_C_BINARY, 16, SQL_SUCCESS, nullptr, 16,
     bytes_of(ts_struct(2001, 2, 3, 4, 5, 6, 7))},
    // numerics
    {"numeric to text keeps its scale", num("-12.5", 10, 2), SQL_C_CHAR, 20, SQL_SUCCESS, nullptr, 6,
     text_bytes("-12.50")},
    {"numeric 0 to text", num("0", 10, 3), SQL_C_CHAR, 20, SQL_SUCCESS, nullptr, 5, text_bytes("0.000")},
    {"numeric 70000 to short", num("70000", 10, 0), SQL_C_SHORT, 2, SQL_ERROR, "22003", 0, {}},
    {"numeric to long drops fraction", num("7.25", 10, 2), SQL_C_LONG, 4, SQL_SUCCESS_WITH_INFO, "01S07", 4,
     bytes_of<int32_t>(7)},
    {"numeric 2^64 to bigint", num("18446744073709551616", 38, 0), SQL_C_SBIGINT, 8, SQL_ERROR, "22003", 0, {}},
    {"numeric 2^128-1 to text", num("340282366920938463463374607431768211455", 39, 0), SQL_C_CHAR, 60, SQL_SUCCESS,
     nullptr, 39, text_bytes("340282366920938463463374607431768211455")},
    {"numeric scale 20 to text", num("0.00000000000000000001", 38, 20), SQL_C_CHAR, 60, SQL_SUCCESS, nullptr, 22,
     text_bytes("0.00000000000000000001")},
    {"numeric to double", num("0.5", 10, 1), SQL_C_DOUBLE, 8, SQL_SUCCESS, nullptr, 8, bytes_of(0.5)},
    {"numeric -0 to bit", num("-0", 10, 0), SQL_C_BIT, 1, SQL_SUCCESS, nullptr, 1, Bytes{0}},
    {"numeric to numeric", num("1.5", 10, 1), SQL_C_NUMERIC, 19, SQL_SUCCESS, nullptr, 19,
     bytes_of(num_struct("1.5", 10, 1))},
    {"numeric to date", num("1", 10, 0), SQL_C_TYPE_DATE, 6, SQL_ERROR, "07006", 0, {}},
    // intervals
    {"90 minutes to hour", interval(iv_ds(SQL_IS_MINUTE, false, 0, 0, 90, 0, 0)), SQL_C_INTERVAL_HOUR, 28,
     SQL_SUCCESS_WITH_INFO, "01S07", 28, bytes_of(iv_ds(SQL_IS_HOUR, false, 0, 1, 0, 0, 0))},
    {"90 minutes to hour to minute", interval(iv_ds(SQL_IS_MINUTE, true, 0, 0, 90, 0, 0)),
     SQL_C_INTERVAL_HOUR_TO_MINUTE, 28, SQL_SUCCESS, nullptr, 28,
     bytes_of(iv_ds(SQL_IS_HOUR_TO_MINUTE, true, 0, 1, 30, 0, 0))},
    {"seconds keep fraction", interval(iv_ds(SQL_IS_DAY_TO_SECOND, false, 1, 0, 0, 1, 5)), SQL_C_INTERVAL_SECOND, 28,
     SQL_SUCCESS, nullptr, 28, bytes_of(iv_ds(SQL_IS_SECOND, false, 0, 0, 0, 86401, 5))},
    {"fraction dropped", interval(iv_ds(SQL_IS_SECOND, false, 0, 0, 0, 60, 5)), SQL_C_INTERVAL_MINUTE, 28,
     SQL_SUCCESS_WITH_INFO, "01S07", 28, bytes_of(iv_ds(SQL_IS_MINUTE, false, 0, 0, 1, 0, 0))},
    {"14 months to year", interval(iv_ym(SQL_IS_MONTH, false, 0, 14)), SQL_C_INTERVAL_YEAR, 28, SQL_SUCCESS_WITH_INFO,
     "01S07", 28, bytes_of(iv_ym(SQL_IS_YEAR, false, 1, 0))},
    {"year to month to months", interval(iv_ym(SQL_IS_YEAR_TO_MONTH, true, 2, 3)), SQL_C_INTERVAL_MONTH, 28,
     SQL_SUCCESS, nullptr, 28, bytes_of(iv_ym(SQL_IS_MONTH, true, 0, 27))},
    {"year-month to day", interval(iv_ym(SQL_IS_YEAR, false, 1, 0)), SQL_C_INTERVAL_DAY, 28, SQL_ERROR, "07006", 0, {}},
    {"single-field interval to long", interval(iv_ym(SQL_IS_YEAR, true, 3, 0)), SQL_C_LONG, 4, SQL_SUCCESS, nullptr, 4,
     bytes_of<int32_t>(-3)},
    {"multi-field interval to long",
     interval(iv_ym(SQL_IS_YEAR_TO_MONTH, true, 3, 1)),
     SQL_C_LONG,
     4,
     SQL_ERROR,
     "07006",
     0,
     {}},
    {"interval to text",
     interval(iv_ds(SQL_IS_DAY_TO_SECOND, true, 1, 2, 3, 4, 500000000)),
     SQL_C_CHAR,
     40,
     SQL_SUCCESS,
     nullptr,
     -1,
     {}},
    {"interval to double", interval(iv_ym(SQL_IS_YEAR, false, 1, 0)), SQL_C_DOUBLE, 8, SQL_ERROR, "07006", 0, {}},
    // nulls
    {"null with indicator", null_of(SQL_C_LONG), SQL_C_CHAR, 10, SQL_SUCCESS, nullptr, SQL_NULL_DATA, {}},
};

class ConvertTable : public ::testing::TestWithParam<Case> {};

TEST_P(ConvertTable, Converts) {
  const Case& c = GetParam();
  CachedValue v = make(c.source);
  unsigned char buf[64];
  std::memset(buf, 0xEE, sizeof buf);
  SQLLEN len = 12345;
  PieceState piece;
  ConvDiag diag;
  SQLRETURN rc = convert_cached_value(v, c.target, buf, c.buffer, &len, &piece, &diag);
  EXPECT_EQ(rc, c.rc);
  if (c.state) {
    ASSERT_NE(diag.sqlstate, nullptr);
    EXPECT_STREQ(diag.sqlstate, c.state);
  } else {
    EXPECT_EQ(diag.sqlstate, nullptr) << diag.sqlstate;
  }
  if (rc == SQL_ERROR) return;
  if (c.length != -1) {
    EXPECT_EQ(len, c.length);
  }
  if (!c.bytes.empty()) {
    EXPECT_EQ(Bytes(buf, buf + c.bytes.size()), c.bytes);
  }
  // Nothing is written past the buffer.
  for (size_t i = static_cast<size_t>(c.buffer); i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xEE) << i;
  // A value returned whole is not returned again.
  if (rc == SQL_SUCCESS) {
    EXPECT_EQ(convert_cached_value(v, c.target, buf, c.buffer, &len, &piece, &diag), SQL_NO_DATA);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ConvertTable, ::testing::ValuesIn(kCases), [](const auto& param_info) {
  std::string n = param_info.param.name;
  for (char& ch : n)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return n;
});

TEST(Convert, NumericTargetsUseTheColumnsScale) {
  Source s = text("-123.456");
  s.precision = 10;
  s.scale = 2;
  SQL_NUMERIC_STRUCT out{};
  SQLLEN len = 0;
  ConvDiag diag;
  EXPECT_EQ(convert_cached_value(make(s), SQL_C_NUMERIC, &out, 19, &len, nullptr, &diag), SQL_SUCCESS);
  char t[40];
  numeric_to_string(&out, t, sizeof t, &len);
  EXPECT_STREQ(t, "-123.45");
  EXPECT_EQ(out.scale, 2);
}

TEST(Convert, IntervalTextIsTheBareValue) {
  CachedValue v = make(interval(iv_ds(SQL_IS_DAY_TO_SECOND, true, 1, 2, 3, 4, 500000000)));
  char t[40];
  SQLLEN len = 0;
  ConvDiag diag;
  ASSERT_EQ(convert_cached_value(v, SQL_C_CHAR, t, sizeof t, &len, nullptr, &diag), SQL_SUCCESS);
  EXPECT_EQ(std::string(t).substr(0, 12), "-1 02:03:04.");
  EXPECT_EQ(len, static_cast<SQLLEN>(std::strlen(t)));
}

TEST(Convert, RealsReadAsTextInTheTargetsStyle) {
  struct Row {
    double d;
    const char *shortest, *sqlite;
  } rows[] = {{3.0, "3", "3.0"},
              {0.1 + 0.2, "0.30000000000000004", "0.3"},
              {1e-10, "1e-10", "1.0e-10"},
              {3e10, "30000000000", "30000000000.0"},
              {-2.5e20, "-2.5e+20", "-2.5e+20"}};
  for (const Row& r : rows) {
    for (int style : {kRealShortest, kRealSqlite}) {
      CachedValue v = make(dbl(r.d));
      v.real_style = style;
      char t[40];
      SQLLEN len = 0;
      ConvDiag diag;
      ASSERT_EQ(convert_cached_value(v, SQL_C_CHAR, t, sizeof t, &len, nullptr, &diag), SQL_SUCCESS);
      EXPECT_STREQ(t, style == kRealSqlite ? r.sqlite : r.shortest);
    }
  }
}

TEST(Convert, NullWithoutIndicatorIs22002) {
  ConvDiag diag;
  char t[4];
  EXPECT_EQ(convert_cached_value(make(null_of(SQL_C_LONG)), SQL_C_CHAR, t, 4, nullptr, nullptr, &diag), SQL_ERROR);
  EXPECT_STREQ(diag.sqlstate, "22002");
}

// Reads a value in pieces of buffer bytes; returns the results and the joined bytes.
struct Pieces {
  std::vector<SQLRETURN> rcs;
  std::vector<SQLLEN> lengths;
  Bytes joined;
};
Pieces read_pieces(const CachedValue& v, SQLSMALLINT target, SQLLEN buffer, size_t terminator) {
  Pieces p;
  PieceState piece;
  for (int i = 0; i < 100; ++i) {
    Bytes buf(static_cast<size_t>(buffer) + 8, 0xEE);
    SQLLEN len = 0;
    ConvDiag diag;
    SQLRETURN rc = convert_cached_value(v, target, buf.data(), buffer, &len, &piece, &diag);
    p.rcs.push_back(rc);
    if (rc == SQL_NO_DATA || rc == SQL_ERROR) break;
    p.lengths.push_back(len);
    for (size_t k = static_cast<size_t>(buffer); k < buf.size(); ++k) EXPECT_EQ(buf[k], 0xEE);
    size_t got = rc == SQL_SUCCESS ? static_cast<size_t>(len) : static_cast<size_t>(buffer) - terminator;
    if (rc == SQL_SUCCESS_WITH_INFO && terminator == 2) {
      // Wide pieces stop on whole characters: find the terminating zero unit.
      got = 0;
      while (got + 1 < static_cast<size_t>(buffer) && (buf[got] || buf[got + 1])) got += 2;
    }
    p.joined.insert(p.joined.end(), buf.begin(), buf.begin() + static_cast<long>(got));
  }
  return p;
}

TEST(ConvertPieces, ThirtyCharactersInElevenByteBuffers) {
  const std::string s = "abcdefghij0123456789ABCDEFGHIJ";
  Pieces p = read_pieces(make(text(s)), SQL_C_CHAR, 11, 1);
  EXPECT_EQ(p.rcs, (std::vector<SQLRETURN>{SQL_SUCCESS_WITH_INFO, SQL_SUCCESS_WITH_INFO, SQL_SUCCESS, SQL_NO_DATA}));
  EXPECT_EQ(p.lengths, (std::vector<SQLLEN>{30, 20, 10}));
  EXPECT_EQ(p.joined, text_bytes(s));
}

TEST(ConvertPieces, WidePiecesJoinToTheWholeText) {
  const std::string s = "Gr\xC3\xBC\xC3\x9F\x65 \xE2\x82\xAC \xF0\x9F\x98\x80 end";  // Grüße € 😀 end
  const std::u16string w = u"Gr\u00fc\u00dfe \u20ac \U0001F600 end";
  for (SQLLEN buffer : {4, 5, 6, 8, 100}) {
    Pieces p = read_pieces(make(text(s)), SQL_C_WCHAR, buffer, 2);
    EXPECT_EQ(p.joined, wide_bytes(w)) << buffer;
    EXPECT_EQ(p.lengths.front(), static_cast<SQLLEN>(w.size() * 2));
    EXPECT_EQ(p.rcs.back(), SQL_NO_DATA);
  }
}

TEST(ConvertPieces, BinaryPiecesAdvanceByTheBytesReturned) {
  Bytes b;
  for (int i = 0; i < 25; ++i) b.push_back(static_cast<unsigned char>(i * 7));
  Pieces raw = read_pieces(make(bin(b)), SQL_C_BINARY, 10, 0);
  EXPECT_EQ(raw.joined, b);
  EXPECT_EQ(raw.lengths, (std::vector<SQLLEN>{25, 15, 5}));
  std::string hex;
  for (unsigned char c : b) {
    char h[3];
    std::snprintf(h, sizeof h, "%02X", c);
    hex += h;
  }
  Pieces text_pieces = read_pieces(make(bin(b)), SQL_C_CHAR, 8, 1);
  EXPECT_EQ(text_pieces.joined, text_bytes(hex));
}

TEST(ConvertPieces, ZeroBufferReportsTheLengthAndKeepsTheOffset) {
  Source hello = text("hello");
  CachedValue v = make(hello);
  PieceState piece;
  ConvDiag diag;
  SQLLEN len = 0;
  EXPECT_EQ(convert_cached_value(v, SQL_C_CHAR, nullptr, 0, &len, &piece, &diag), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(len, 5);
  char t[10];
  EXPECT_EQ(convert_cached_value(v, SQL_C_CHAR, t, sizeof t, &len, &piece, &diag), SQL_SUCCESS);
  EXPECT_STREQ(t, "hello");
}

TEST(ConvertSlots, ValueLongerThanItsSlotIsAnErrorNotAnOverread) {
  // The server reported 40 bytes for a 9-byte text slot (8 + terminator).
  Source s = text("12345678");
  s.indicator = 40;
  CachedValue v = make(s);
  EXPECT_EQ(v.length, 8);
  char t[64];
  SQLLEN len = 0;
  ConvDiag diag;
  EXPECT_EQ(convert_cached_value(v, SQL_C_CHAR, t, sizeof t, &len, nullptr, &diag), SQL_ERROR);
  EXPECT_STREQ(diag.sqlstate, "HY000");
  Source b = bin({1, 2, 3});
  b.indicator = 1000;
  EXPECT_EQ(make(b).length, 3);
  EXPECT_EQ(convert_cached_value(make(b), SQL_C_BINARY, t, sizeof t, &len, nullptr, &diag), SQL_ERROR);
}

}  // namespace
