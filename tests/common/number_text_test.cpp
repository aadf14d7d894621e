// Number texts: the slot form, exact round trips, and tolerant reading.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "number_text.h"
#include "test_files.h"

namespace {

std::string slot_of(double v) {
  char slot[40];
  std::memset(slot, 'x', sizeof slot);
  kyproc::format_number_text(v, slot);
  return std::string(slot, sizeof slot);
}

TEST(NumberText, SlotForm) {
  std::string s = slot_of(0.5);
  EXPECT_EQ(s.substr(0, 30), std::string(8, ' ') + "5.0000000000000000e-01");
  EXPECT_EQ(s.substr(30), std::string(10, '\0'));
}

TEST(NumberText, RoundTripsEveryDoubleWhateverTheLocale) {
  kytest::TempDir dir;
  EXPECT_TRUE(kytest::switch_to_decimal_comma_locale(dir)) << "no decimal-comma locale: checked in C only";
  EXPECT_EQ(slot_of(1.5).substr(8, 22), "1.5000000000000000e+00");
  const double values[] = {0.1,
                           1.0 / 3,
                           -2.5e-308,
                           4.9e-324,
                           std::numeric_limits<double>::max(),
                           -0.0,
                           1e22,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
  for (double v : values) {
    double back = 0;
    ASSERT_TRUE(kyproc::parse_number_text(slot_of(v).data(), 40, &back)) << v;
    EXPECT_EQ(back, v);
    EXPECT_EQ(std::signbit(back), std::signbit(v));
  }
  double nan_back = 0;
  EXPECT_TRUE(kyproc::parse_number_text(slot_of(std::nan("")).data(), 40, &nan_back));
  EXPECT_TRUE(std::isnan(nan_back));
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
}

TEST(NumberText, Reading) {
  struct Case {
    std::string text;
    bool ok;
    double value;
  } cases[] = {
      {"       1.500000000000000e+00", true, 1.5},  // a peer writing 15 digits
      {"+2.5", true, 2.5},
      {"-3", true, -3},
      {std::string(40, '7'), true, 7777777777777777777777777777777777777777.0},  // no NUL in the slot
      {"1,5", false, 0},
      {"abc", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    double v = -1;
    EXPECT_EQ(kyproc::parse_number_text(c.text.data(), c.text.size(), &v), c.ok);
    EXPECT_DOUBLE_EQ(v, c.value);
  }
}

}  // namespace
