// Typed value cells: life cycle and sharing, conversions at their limits,
// SQL literals, comparison and the stored field form.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <sql.h>
#include <sqlext.h>

#include <gtest/gtest.h>

#include "ky_list.h"
#include "ky_longbuf.h"
#include "ky_numeric.h"
#include "ky_value.h"

namespace {

class Values : public ::testing::Test {
 protected:
  void SetUp() override { pool = ky_mem_alloc_handle(nullptr); }
  void TearDown() override { ky_mem_release_handle(pool); }

  Value* integer(int32_t v) {
    Value* c = NewValue(pool, 0);
    c->value_type = KY_VT_INTEGER;
    c->data.integer = v;
    return c;
  }
  Value* bigint(int64_t v) {
    Value* c = NewValue(pool, 0);
    c->value_type = KY_VT_BIGINT;
    c->data.bigint = v;
    return c;
  }
  Value* real(double v) {
    Value* c = NewValue(pool, 0);
    c->value_type = KY_VT_DOUBLE;
    c->data.real = v;
    return c;
  }
  Value* text(const std::string& s) {
    Value* c = NewValue(pool, static_cast<int32_t>(s.size()) + 1);
    c->value_type = KY_VT_TEXT;
    c->length = static_cast<int32_t>(s.size());
    std::memcpy(c->data.bytes, s.c_str(), s.size() + 1);
    return c;
  }
  Value* binary(const std::vector<unsigned char>& b) {
    Value* c = NewValue(pool, static_cast<int32_t>(b.size()) + 1);
    c->value_type = KY_VT_BINARY;
    c->length = c->binary_length = static_cast<int32_t>(b.size());
    if (!b.empty()) std::memcpy(c->data.bytes, b.data(), b.size());
    return c;
  }
  Value* null_cell(int32_t type) {
    Value* c = NewValue(pool, 0);
    c->value_type = type;
    c->null_indicator = -1;
    return c;
  }
  Value* numeric(const char* t) {
    Value* c = NewValue(pool, 0);
    c->value_type = KY_VT_NUMERIC;
    string_to_numeric(t, &c->data.numeric, 38, 0);
    return c;
  }
  std::string literal(const Value* c) {
    char buf[256];
    const char* r = value_as_text(c, buf, sizeof buf);
    return r ? r : "<null>";
  }

  mem_handle* pool = nullptr;
};

TEST_F(Values, NewValueSizesAndInlineArea) {
  Value* plain = NewValue(pool, 0);
  EXPECT_EQ(plain->node_kind, KY_NODE_VALUE);
  EXPECT_EQ(plain->data.bytes, nullptr);
  EXPECT_EQ(plain->is_inline, 0);
  Value* small = NewValue(pool, 127);
  EXPECT_EQ(small->node_kind, KY_NODE_VALUE_INLINE);
  EXPECT_EQ(small->data.bytes, static_cast<void*>(small + 1));
  std::memset(small->data.bytes, 'x', 127);  // the whole area is usable (ASan)
  Value* large = NewValue(pool, 128);
  EXPECT_EQ(large->node_kind, KY_NODE_VALUE);
  EXPECT_EQ(large->is_inline, 1);
  std::memset(large->data.bytes, 'y', 128);
  EXPECT_EQ(NewValue(pool, -1), nullptr);
  EXPECT_EQ(NewValue(nullptr, 0), nullptr);
  for (Value* c : {plain, small, large}) {
    EXPECT_EQ(c->pool, pool);
    EXPECT_EQ(c->ref_count, 0);
    release_value(pool, c);
  }
}

TEST_F(Values, SharedCellSurvivesOneRelease) {
  Value* c = text("shared");
  EXPECT_EQ(duplicate_value_ex(pool, c), c);
  EXPECT_EQ(c->ref_count, 1);
  release_value(pool, c);
  EXPECT_STREQ(get_string_from_value(c), "shared");  // still alive (ASan)
  release_value(pool, c);

  // A no-share cell and a cell of another pool are copied.
  Value* d = text("own");
  d->no_share = 1;
  Value* copy = duplicate_value_ex(pool, d);
  EXPECT_NE(copy, d);
  EXPECT_STREQ(get_string_from_value(copy), "own");
  mem_handle* other = ky_mem_alloc_handle(nullptr);
  Value* far = duplicate_value_ex(other, d);
  EXPECT_NE(far, d);
  ky_mem_release_handle(pool);  // the copy lives in its own pool
  pool = ky_mem_alloc_handle(nullptr);
  EXPECT_STREQ(get_string_from_value(far), "own");
  EXPECT_EQ(far->ref_count, 0);
  EXPECT_EQ(far->no_share, 0);
  ky_mem_release_handle(other);
}

TEST_F(Values, DeepCopies) {
  Value* b = binary({0x00, 0x01, 0xFF});
  Value* bc = duplicate_value(pool, b);
  EXPECT_NE(bc->data.bytes, b->data.bytes);
  EXPECT_EQ(bc->binary_length, 3);
  EXPECT_EQ(std::memcmp(bc->data.bytes, b->data.bytes, 3), 0);
  EXPECT_EQ(compare_values(b, bc), 0);
  std::string big(300, 'z');
  Value* t = text(big);
  Value* tc = duplicate_value(pool, t);
  EXPECT_EQ(get_string_from_value(tc), big);
  Value* n = duplicate_value(pool, nullptr);
  EXPECT_EQ(get_trivalue_from_value(n), 2);

  // A long cell gets a buffer of its own that reads the same data.
  Value* l = NewValue(pool, 0);
  l->value_type = KY_VT_LONG_TEXT;
  l->long_data = allocate_long_buffer(pool, 0, 0, nullptr, SQL_LONGVARCHAR);
  ASSERT_NE(l->long_data, nullptr);
  ASSERT_EQ(append_to_long_buffer(l->long_data, "long text", SQL_NTS), 0);
  mem_handle* other = ky_mem_alloc_handle(nullptr);
  Value* lc = duplicate_value(other, l);
  ASSERT_NE(lc->long_data, nullptr);
  EXPECT_NE(lc->long_data, l->long_data);
  char buf[32];
  SQLLEN len = 0;
  EXPECT_EQ(extract_from_long_buffer(lc->long_data, buf, sizeof buf, &len, 0), 0);
  EXPECT_STREQ(buf, "long text");
  release_value(other, lc);
  ky_mem_release_handle(other);
}

TEST_F(Values, ConversionsStayInRange) {
  EXPECT_EQ(get_int_from_value(bigint(int64_t{1} << 40)), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(get_int_from_value(bigint(-(int64_t{1} << 40))), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(get_int_from_value(real(-2.9)), -2);
  EXPECT_EQ(get_int_from_value(real(1e300)), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(get_bigint_from_value(real(-1e300)), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(get_bigint_from_value(real(NAN)), 0);
  EXPECT_EQ(get_bigint_from_value(text("  -1234")), -1234);
  EXPECT_DOUBLE_EQ(get_double_from_value(text("2.5e3")), 2500.0);
  EXPECT_EQ(get_bigint_from_value(numeric("-98765432109")), -98765432109LL);
  EXPECT_EQ(get_bigint_from_value(numeric("340282366920938463463374607431768211455")),
            std::numeric_limits<int64_t>::max());
  EXPECT_EQ(get_int_from_value(null_cell(KY_VT_INTEGER)), 0);
  EXPECT_STREQ(get_string_from_value(integer(5)), "");

  Value* i = integer(0);
  EXPECT_EQ(set_value_to_double(i, 7.9), 0);
  EXPECT_EQ(i->data.integer, 7);
  EXPECT_EQ(set_value_to_double(i, 3e9), -2);
  EXPECT_EQ(i->data.integer, std::numeric_limits<int32_t>::max());
  Value* n = numeric("0");
  n->data.numeric.scale = 2;
  EXPECT_EQ(set_value_to_double(n, 1.25), 0);
  char buf[32];
  numeric_to_string(&n->data.numeric, buf, sizeof buf, nullptr);
  EXPECT_STREQ(buf, "1.25");
  EXPECT_EQ(set_value_to_double(text("x"), 1.0), -1);
}

TEST_F(Values, TruthValues) {
  Value* c = text("a");
  EXPECT_EQ(set_trivalue_in_value(c, 1), 1);
  EXPECT_EQ(c->value_type, KY_VT_INTEGER);
  EXPECT_EQ(get_trivalue_from_value(c), 1);
  EXPECT_EQ(set_trivalue_in_value(c, 5), 0);
  EXPECT_EQ(get_trivalue_from_value(c), 0);
  EXPECT_EQ(set_trivalue_in_value(c, 2), 0);
  EXPECT_EQ(get_trivalue_from_value(c), 2);
  EXPECT_EQ(get_trivalue_from_value(bigint(int64_t{1} << 40)), 1);  // not only the low word
}

TEST_F(Values, Literals) {
  Value* d = NewValue(pool, 0);
  d->value_type = KY_VT_DATE;
  d->data.date = SQL_DATE_STRUCT{2024, 2, 29};
  Value* t = NewValue(pool, 0);
  t->value_type = KY_VT_TIME;
  t->data.time = SQL_TIME_STRUCT{7, 5, 9};
  Value* ts = NewValue(pool, 0);
  ts->value_type = KY_VT_TIMESTAMP;
  ts->data.timestamp = SQL_TIMESTAMP_STRUCT{1999, 12, 31, 23, 59, 58, 500};
  Value* iv = NewValue(pool, 0);
  iv->value_type = KY_VT_INTERVAL_YM;
  iv->data.interval.interval_type = SQL_IS_YEAR;
  iv->data.interval.interval_sign = SQL_TRUE;
  iv->data.interval.intval.year_month.year = 3;
  iv->leading_precision = 4;
  Value* bare_null = NewValue(pool, 0);
  bare_null->value_type = KY_VT_NULL;

  struct Case {
    Value* cell;
    const char* text;
  } cases[] = {
      {integer(-42), "-42"},
      {real(2.5), "2.5"},
      {real(3.0), "3"},
      {real(-0.125), "-0.125"},
      {text("it's"), "'it''s'"},
      {binary({0x01, 0x23, 0xAB}), "B'0123AB'"},
      {d, "{d'2024-02-29'}"},
      {t, "{t'07:05:09'}"},
      {ts, "{ts'1999-12-31 23:59:58'}"},
      {numeric("-12.50"), "-12.5"},
      {bigint(-(int64_t{1} << 40)), "-1099511627776"},
      {iv, "{INTERVAL -'3' YEAR(4)}"},
      {bare_null, " NULL "},
      {null_cell(KY_VT_TEXT), "NULL"},
  };
  for (const auto& c : cases) EXPECT_EQ(literal(c.cell), c.text);

  char small[5];
  EXPECT_STREQ(value_as_text(text("abcdef"), small, sizeof small), "'abc");
  EXPECT_EQ(value_as_text(integer(1), nullptr, 0), nullptr);
}

TEST_F(Values, DelimitedText) {
  auto ex = [&](Value* c, int flag) {
    char buf[128];
    value_as_text_ex(c, buf, sizeof buf, "#", "#", "[", "]", "<", ">", "0x", "", flag);
    return std::string(buf);
  };
  Value* ts = NewValue(pool, 0);
  ts->value_type = KY_VT_TIMESTAMP;
  ts->data.timestamp = SQL_TIMESTAMP_STRUCT{2001, 2, 3, 0, 0, 0, 0};
  EXPECT_EQ(ex(ts, 0), "<2001-02-03 00:00:00>");
  EXPECT_EQ(ex(ts, 1), "<2001-02-03>");
  ts->data.timestamp = SQL_TIMESTAMP_STRUCT{0, 0, 0, 4, 5, 6, 0};
  EXPECT_EQ(ex(ts, 1), "<04:05:06>");
  ts->data.timestamp = SQL_TIMESTAMP_STRUCT{};
  EXPECT_EQ(ex(ts, 1), "NULL");
  Value* d = NewValue(pool, 0);
  d->value_type = KY_VT_DATE;
  d->data.date = SQL_DATE_STRUCT{5, 6, 7};
  EXPECT_EQ(ex(d, 0), "#0005-06-07#");
  EXPECT_EQ(ex(binary({0x0A, 0xB0}), 0), "0x0AB0");
  EXPECT_EQ(ex(binary({}), 0), "''");
  EXPECT_EQ(ex(null_cell(KY_VT_DATE), 0), "NULL");
  EXPECT_EQ(ex(text("q'"), 0), "'q'''");
}

TEST_F(Values, Comparisons) {
  Value* ym = NewValue(pool, 0);
  ym->value_type = KY_VT_INTERVAL_YM;
  ym->data.interval.interval_type = SQL_IS_YEAR_TO_MONTH;
  ym->data.interval.intval.year_month.year = 1;
  ym->data.interval.intval.year_month.month = 6;
  Value* m17 = NewValue(pool, 0);
  m17->value_type = KY_VT_INTERVAL_YM;
  m17->data.interval.interval_type = SQL_IS_MONTH;
  m17->data.interval.intval.year_month.month = 17;
  Value* d1 = NewValue(pool, 0);
  d1->value_type = KY_VT_DATE;
  d1->data.date = SQL_DATE_STRUCT{2000, 1, 2};
  Value* ts1 = NewValue(pool, 0);
  ts1->value_type = KY_VT_TIMESTAMP;
  ts1->data.timestamp = SQL_TIMESTAMP_STRUCT{2000, 1, 2, 0, 0, 1, 0};

  struct Case {
    Value* a;
    Value* b;
    int sign;
  } cases[] = {
      {bigint(0), bigint(int64_t{1} << 40), -1},
      {bigint(std::numeric_limits<int64_t>::min()), bigint(std::numeric_limits<int64_t>::max()), -1},
      {integer(std::numeric_limits<int32_t>::min()), integer(1), -1},
      {integer(2), real(2.5), -1},
      {text("ab"), text("ab "), 0},
      {text("ab"), text("ab\x01"), 1},  // the shorter is filled with spaces
      {text("\xE9"), text("z"), 1},     // bytes compare unsigned
      {text("12"), integer(12), 0},
      {binary({1, 2}), binary({1, 2, 0}), 0},
      {binary({1, 2}), binary({1, 3}), -1},
      {null_cell(KY_VT_INTEGER), integer(1), -1},
      {integer(1), null_cell(KY_VT_INTEGER), 1},
      {null_cell(KY_VT_TEXT), null_cell(KY_VT_INTEGER), 0},
      {numeric("1.5"), numeric("1.50"), 0},
      {numeric("2"), real(1.5), 1},
      {ym, m17, 1},
      {d1, ts1, -1},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    const int c = compare_values(cases[i].a, cases[i].b);
    EXPECT_EQ((c > 0) - (c < 0), cases[i].sign);
  }
}

TEST_F(Values, StoredFieldsRoundTripAndCompare) {
  alignas(8) unsigned char a[64], b[64];
  ASSERT_EQ(value_to_dm(text("abc"), a, sizeof a), 0);
  ASSERT_EQ(value_to_dm(text("abcd"), b, sizeof b), 0);
  EXPECT_EQ(compare_dm(a, b), -1);
  EXPECT_EQ(compare_dm(b, a), 1);
  EXPECT_EQ(compare_dm(a, a), 0);
  Value* into = text("");
  EXPECT_EQ(get_length_from_dm(b, into), 4);
  ASSERT_EQ(dm_to_value(b, into), 0);
  EXPECT_STREQ(get_string_from_value(into), "abcd");

  ASSERT_EQ(value_to_dm(null_cell(KY_VT_INTEGER), a, sizeof a), 0);
  ASSERT_EQ(value_to_dm(integer(-5), b, sizeof b), 0);
  EXPECT_EQ(compare_dm(a, b), -1);
  EXPECT_EQ(get_length_from_dm(a, into), 0);
  ASSERT_EQ(value_to_dm(bigint(int64_t{1} << 40), a, sizeof a), 0);
  ASSERT_EQ(value_to_dm(bigint(0), b, sizeof b), 0);
  EXPECT_EQ(compare_dm(a, b), 1);

  // A text longer than the cell's buffer gets a new buffer from the pool.
  const std::string big(500, 'q');
  std::vector<unsigned char> field(KY_DM_HEADER + big.size());
  ASSERT_EQ(value_to_dm(text(big), field.data(), static_cast<int32_t>(field.size())), 0);
  ASSERT_EQ(value_to_dm(text(big), field.data(), static_cast<int32_t>(field.size()) - 1), -1);
  Value* small = text("s");
  ASSERT_EQ(dm_to_value(field.data(), small), 0);
  EXPECT_EQ(get_string_from_value(small), big);
  EXPECT_EQ(small->is_inline, 0);
  // Without a pool it fails instead of writing past the buffer.
  Value* orphan = text("s");
  orphan->pool = nullptr;
  EXPECT_EQ(dm_to_value(field.data(), orphan), -1);
  EXPECT_STREQ(get_string_from_value(orphan), "s");
  orphan->pool = pool;

  // Fixed types round trip through their own type.
  Value* n = numeric("-123.45");
  ASSERT_EQ(value_to_dm(n, a, sizeof a), 0);
  Value* n2 = numeric("0");
  ASSERT_EQ(dm_to_value(a, n2), 0);
  EXPECT_EQ(compare_values(n, n2), 0);
  EXPECT_EQ(get_length_from_dm(a, n2), 19);
  Value* bad = NewValue(pool, 0);
  bad->value_type = 77;
  EXPECT_EQ(value_to_dm(bad, a, sizeof a), -1);
}

TEST_F(Values, TypeTables) {
  struct Case {
    int32_t sql, value_type, buffer, dm;
  } cases[] = {
      {SQL_INTEGER, KY_VT_INTEGER, 4, 4},
      {SQL_BIT, KY_VT_INTEGER, 1, 4},
      {SQL_DOUBLE, KY_VT_DOUBLE, 8, 8},
      {SQL_VARCHAR, KY_VT_TEXT, 10, 10},
      {SQL_WVARCHAR, KY_VT_TEXT, 10, 30},
      {SQL_VARBINARY, KY_VT_BINARY, 10, 10},
      {SQL_TYPE_DATE, KY_VT_DATE, 6, 6},
      {SQL_TYPE_TIMESTAMP, KY_VT_TIMESTAMP, 16, 16},
      {SQL_NUMERIC, KY_VT_NUMERIC, 19, 19},
      {SQL_BIGINT, KY_VT_BIGINT, 8, 8},
      {SQL_INTERVAL_YEAR_TO_MONTH, KY_VT_INTERVAL_YM, 28, 28},
      {SQL_INTERVAL_DAY_TO_SECOND, KY_VT_INTERVAL_DS, 28, 28},
      {SQL_LONGVARCHAR, KY_VT_LONG_TEXT, 0, 0},
      {SQL_LONGVARBINARY, KY_VT_LONG_BINARY, 0, 0},
      {SQL_GUID, KY_VT_UNKNOWN, 0, 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(sql_to_value_type(c.sql), c.value_type);
    EXPECT_EQ(get_buffer_length(10, c.sql), c.buffer);
    EXPECT_EQ(get_dm_length(c.sql, 10), c.dm);
  }
  EXPECT_EQ(get_buffer_length(0, SQL_C_SLONG), 4);
  EXPECT_EQ(get_buffer_length(0, SQL_C_SSHORT), 2);
  EXPECT_EQ(get_buffer_length(0, SQL_C_UTINYINT), 1);
}

}  // namespace
