// Value-array packing: the field-array wire layouts, strides, round trips,
// refusals of short arrays, and guard bytes around every destination.
#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "packing.h"

namespace {

constexpr unsigned char kGuard = 0xA5;

// A byte buffer with guard bytes on both sides of the usable part.
class Guarded {
 public:
  explicit Guarded(size_t n) : bytes_(n + 32, kGuard), n_(n) {}
  void* data() { return bytes_.data() + 16; }
  size_t size() const { return n_; }
  bool guards_intact() const {
    for (size_t i = 0; i < 16; ++i)
      if (bytes_[i] != kGuard || bytes_[16 + n_ + i] != kGuard) return false;
    return true;
  }

 private:
  std::vector<unsigned char> bytes_;
  size_t n_;
};

class PackingTest : public ::testing::Test {
 protected:
  ~PackingTest() override { clear_errors(&diags_); }
  // SQLSTATE and native error of the only diagnostic.
  std::string last_state() {
    const error_record* r = diag_record(&diags_, 1);
    if (r == nullptr) return "none";
    return std::string(r->sqlstate) + "/" + std::to_string(r->native_error);
  }
  diag_header diags_{};
};

// Copies structures into a buffer of the given stride, the gaps filled with 0xEE.
template <class T>
std::vector<unsigned char> strided(const std::vector<T>& v, size_t stride) {
  if (stride == 0) stride = sizeof(T);
  std::vector<unsigned char> out(stride * v.size(), 0xEE);
  for (size_t i = 0; i < v.size(); ++i) std::memcpy(out.data() + i * stride, &v[i], sizeof(T));
  return out;
}

TEST_F(PackingTest, DatesKeepSignedYearsAtEveryStride) {
  std::vector<SQL_DATE_STRUCT> dates = {{-44, 3, 15}, {1999, 12, 31}, {32767, 1, 1}};
  std::vector<int16_t> ref_years;
  std::vector<int16_t> ref_pairs;
  for (size_t stride : {size_t{0}, sizeof(SQL_DATE_STRUCT), size_t{40}}) {
    SCOPED_TRACE(stride);
    auto src = strided(dates, stride);
    int16_t* years = nullptr;
    int16_t* pairs = nullptr;
    int32_t yb = -1, pb = -1;
    ASSERT_EQ(0, pack_dates(&diags_, src.data(), src.size(), dates.size(), &years, &yb, &pairs, &pb,
                            static_cast<int32_t>(stride)));
    ASSERT_EQ(6, yb);
    ASSERT_EQ(12, pb);
    std::vector<int16_t> y(years, years + 3), p(pairs, pairs + 6);
    EXPECT_EQ((std::vector<int16_t>{-44, 1999, 32767}), y);
    EXPECT_EQ((std::vector<int16_t>{3, 15, 12, 31, 1, 1}), p);
    Guarded back(3 * sizeof(SQL_DATE_STRUCT));
    ASSERT_EQ(0, unpack_dates(&diags_, back.data(), back.size(), 3, years, yb, pairs, pb));
    EXPECT_EQ(0, std::memcmp(back.data(), dates.data(), back.size()));
    EXPECT_TRUE(back.guards_intact());
    std::free(years);
    std::free(pairs);
  }
}

TEST_F(PackingTest, TimestampsRoundTripWithFullFraction) {
  std::vector<SQL_TIMESTAMP_STRUCT> ts = {{-1, 2, 3, 4, 5, 6, 999999999}, {2026, 12, 10, 23, 59, 59, 4294967295u}};
  auto src = strided(ts, 24);
  int16_t* quint = nullptr;
  int16_t* years = nullptr;
  int32_t* fr = nullptr;
  int32_t qb = 0, yb = 0, fb = 0;
  ASSERT_EQ(0, pack_timestamps(&diags_, src.data(), src.size(), 2, &quint, &qb, &years, &yb, &fr, &fb, 24));
  EXPECT_EQ(20, qb);
  EXPECT_EQ(4, yb);
  EXPECT_EQ(8, fb);
  EXPECT_EQ(-1, years[0]);
  EXPECT_EQ((std::vector<int16_t>{2, 3, 4, 5, 6}), std::vector<int16_t>(quint, quint + 5));
  EXPECT_EQ(4294967295u, static_cast<uint32_t>(fr[1]));
  Guarded back(2 * sizeof(SQL_TIMESTAMP_STRUCT));
  ASSERT_EQ(0, unpack_timestamps(&diags_, back.data(), back.size(), 2, years, yb, quint, qb, fr, fb));
  EXPECT_EQ(0, std::memcmp(back.data(), ts.data(), back.size()));
  EXPECT_TRUE(back.guards_intact());
  // Arrays of the caller's own, larger than needed: filled in place, sizes stored.
  int16_t q2[20] = {}, y2[8] = {};
  int32_t f2[8] = {};
  int16_t* qp = q2;
  int16_t* yp = y2;
  int32_t* fp = f2;
  qb = sizeof q2, yb = sizeof y2, fb = sizeof f2;
  ASSERT_EQ(0, pack_timestamps(&diags_, src.data(), src.size(), 2, &qp, &qb, &yp, &yb, &fp, &fb, 24));
  EXPECT_EQ(q2, qp);
  EXPECT_EQ(20, qb);
  EXPECT_EQ(2026, y2[1]);
  std::free(quint);
  std::free(years);
  std::free(fr);
}

TEST_F(PackingTest, MixedIntervalsTakeTwoAndFiveWords) {
  SQL_INTERVAL_STRUCT ym{};
  ym.interval_type = SQL_IS_YEAR_TO_MONTH;
  ym.interval_sign = SQL_TRUE;
  ym.intval.year_month.year = 3;
  ym.intval.year_month.month = 11;
  SQL_INTERVAL_STRUCT ds{};
  ds.interval_type = SQL_IS_DAY_TO_SECOND;
  ds.intval.day_second = {1, 2, 3, 4, 500};
  std::vector<SQL_INTERVAL_STRUCT> v = {ym, ds};
  int32_t* stream = nullptr;
  int16_t* pairs = nullptr;
  int32_t sb = 0, pb = 0;
  ASSERT_EQ(0, pack_intervals(&diags_, v.data(), sizeof(SQL_INTERVAL_STRUCT) * 2, 2, &stream, &sb, &pairs, &pb, 0));
  EXPECT_EQ(40, sb);
  EXPECT_EQ(8, pb);
  EXPECT_EQ((std::vector<int16_t>{7, 1, 10, 0}), std::vector<int16_t>(pairs, pairs + 4));
  EXPECT_EQ((std::vector<int32_t>{3, 11, 1, 2, 3, 4, 500, 0, 0, 0}), std::vector<int32_t>(stream, stream + 10));
  Guarded back(2 * sizeof(SQL_INTERVAL_STRUCT));
  ASSERT_EQ(0, unpack_intervals(&diags_, back.data(), back.size(), 2, pairs, pb, stream, sb));
  EXPECT_EQ(0, std::memcmp(back.data(), v.data(), back.size()));
  EXPECT_TRUE(back.guards_intact());
  // The stream is walked by type: 7 words are needed, 6 are refused.
  EXPECT_EQ(-1, unpack_intervals(&diags_, back.data(), back.size(), 2, pairs, pb, stream, 24));
  std::free(stream);
  std::free(pairs);
}

TEST_F(PackingTest, InvalidIntervalTypeTouchesNothing) {
  for (int bad : {0, 14}) {
    SCOPED_TRACE(bad);
    SQL_INTERVAL_STRUCT v[2] = {};
    v[0].interval_type = SQL_IS_DAY;
    v[1].interval_type = static_cast<SQLINTERVAL>(bad);
    int32_t* stream = nullptr;
    int16_t* pairs = nullptr;
    int32_t sb = 0, pb = 0;
    EXPECT_EQ(-2, pack_intervals(&diags_, v, sizeof v, 2, &stream, &sb, &pairs, &pb, 0));
    EXPECT_EQ(nullptr, stream);
    EXPECT_EQ(nullptr, pairs);
    EXPECT_EQ(0, sb);
    EXPECT_EQ(0, diags_.record_count);
    // And a peer's pair naming such a type is refused by the unpacker.
    int16_t bad_pairs[2] = {static_cast<int16_t>(bad), 0};
    int32_t words[5] = {};
    Guarded dst(sizeof(SQL_INTERVAL_STRUCT));
    EXPECT_EQ(-1, unpack_intervals(&diags_, dst.data(), dst.size(), 1, bad_pairs, 4, words, 20));
    EXPECT_TRUE(dst.guards_intact());
    clear_errors(&diags_);
  }
}

TEST_F(PackingTest, NumericsGuidsAndTimesKeepTheirBytes) {
  SQL_NUMERIC_STRUCT n[2] = {};
  n[0].precision = 38;
  n[0].scale = -2;
  n[0].sign = 0;
  for (int i = 0; i < 16; ++i) n[1].val[i] = static_cast<SQLCHAR>(i + 1);
  char* rec = nullptr;
  int32_t rb = 0;
  ASSERT_EQ(0, pack_numerics(&diags_, n, sizeof n, 2, &rec, &rb, 0));
  EXPECT_EQ(38, rb);
  EXPECT_EQ(0, std::memcmp(rec, n, 38));
  Guarded back(sizeof n);
  ASSERT_EQ(0, unpack_numerics(&diags_, back.data(), back.size(), 2, rec, rb));
  EXPECT_EQ(0, std::memcmp(back.data(), n, sizeof n));
  EXPECT_TRUE(back.guards_intact());
  std::free(rec);

  SQLGUID g = {0xDEADBEEF, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
  int32_t* d1 = nullptr;
  int16_t* pr = nullptr;
  char* d4 = nullptr;
  int32_t b1 = 0, bp = 0, b4 = 0;
  ASSERT_EQ(0, pack_guids(&diags_, &g, sizeof g, 1, &d1, &b1, &pr, &bp, &d4, &b4, 0));
  EXPECT_EQ(0xDEADBEEFu, static_cast<uint32_t>(d1[0]));
  EXPECT_EQ(0x1234, pr[0]);
  EXPECT_EQ(0x5678, pr[1]);
  EXPECT_EQ(0, std::memcmp(d4, g.Data4, 8));
  EXPECT_EQ(8, b4);
  std::free(d1);
  std::free(pr);
  std::free(d4);

  SQL_TIME_STRUCT t[2] = {{1, 2, 3}, {23, 59, 58}};
  int16_t* tri = nullptr;
  int32_t tb = 0;
  ASSERT_EQ(0, pack_times(&diags_, t, sizeof t, 2, &tri, &tb, 0));
  EXPECT_EQ((std::vector<int16_t>{1, 2, 3, 23, 59, 58}), std::vector<int16_t>(tri, tri + 6));
  Guarded tback(sizeof t);
  ASSERT_EQ(0, unpack_times(&diags_, tback.data(), tback.size(), 2, tri, tb));
  EXPECT_EQ(0, std::memcmp(tback.data(), t, sizeof t));
  EXPECT_TRUE(tback.guards_intact());
  std::free(tri);
}

// Every short or missing array is refused with a diagnostic; nothing is written.
TEST_F(PackingTest, ShortArraysAreRefused) {
  SQL_DATE_STRUCT d[3] = {{2000, 1, 1}, {2001, 2, 2}, {2002, 3, 3}};
  int16_t years[3] = {1, 2, 3};
  int16_t pairs[6] = {1, 1, 2, 2, 3, 3};
  struct Case {
    const char* name;
    int (*call)(diag_header*, Guarded&);
    const char* state;
  };
  static SQL_DATE_STRUCT* src = d;
  static int16_t* ys = years;
  static int16_t* ps = pairs;
  const Case cases[] = {
      {"count 0",
       [](diag_header* e, Guarded&) {
         int16_t* y = nullptr;
         int16_t* p = nullptr;
         int32_t a = 0, b = 0;
         return pack_dates(e, src, sizeof d, 0, &y, &a, &p, &b, 0);
       },
       "HY000/7"},
      {"source shorter than count x stride",
       [](diag_header* e, Guarded&) {
         int16_t* y = nullptr;
         int16_t* p = nullptr;
         int32_t a = 0, b = 0;
         return pack_dates(e, src, sizeof d, 3, &y, &a, &p, &b, 8);
       },
       "HY000/7"},
      {"stride below the structure",
       [](diag_header* e, Guarded&) {
         int16_t* y = nullptr;
         int16_t* p = nullptr;
         int32_t a = 0, b = 0;
         return pack_dates(e, src, sizeof d, 3, &y, &a, &p, &b, 4);
       },
       "HY000/7"},
      {"caller's field array too small",
       [](diag_header* e, Guarded& g) {
         int16_t* y = static_cast<int16_t*>(g.data());
         int16_t* p = nullptr;
         int32_t a = 4, b = 0;
         return pack_dates(e, src, sizeof d, 3, &y, &a, &p, &b, 0);
       },
       "HY000/7"},
      {"unpack count 0",
       [](diag_header* e, Guarded& g) { return unpack_dates(e, g.data(), g.size(), 0, ys, 6, ps, 12); }, "HY000/7"},
      {"unpack years short by one",
       [](diag_header* e, Guarded& g) { return unpack_dates(e, g.data(), g.size(), 3, ys, 4, ps, 12); }, "HY000/7"},
      {"unpack pairs short by one byte",
       [](diag_header* e, Guarded& g) { return unpack_dates(e, g.data(), g.size(), 3, ys, 6, ps, 11); }, "HY000/7"},
      {"unpack destination too small",
       [](diag_header* e, Guarded& g) { return unpack_dates(e, g.data(), 17, 3, ys, 6, ps, 12); }, "HY000/7"},
      {"unpack no destination", [](diag_header* e, Guarded&) { return unpack_dates(e, nullptr, 0, 3, ys, 6, ps, 12); },
       "HY000/7"},
      {"numeric records short",
       [](diag_header* e, Guarded& g) {
         char rec[37] = {};
         return unpack_numerics(e, g.data(), g.size(), 2, rec, 37);
       },
       "HY000/7"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Guarded dst(18);
    std::memset(dst.data(), 0, dst.size());
    EXPECT_EQ(-1, c.call(&diags_, dst));
    EXPECT_EQ(c.state, last_state());
    EXPECT_EQ(-1, diags_.return_code);
    EXPECT_TRUE(dst.guards_intact());
    std::vector<unsigned char> zero(dst.size(), 0);
    EXPECT_EQ(0, std::memcmp(dst.data(), zero.data(), zero.size()));
    clear_errors(&diags_);
  }
}

}  // namespace
