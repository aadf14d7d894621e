#include "kycrypt/kycrypt.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string text_of(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(1 + (i * 37) % 255));
  return s;
}

// Known answers with both stored keys (TARGETAUTH, LOGONAUTH): the bytes that
// odbc.ini files already hold. A changed algorithm fails here even when it
// still round-trips.
TEST(Kycrypt, KnownAnswersWithBothStoredKeys) {
  struct Case {
    const char *key, *plain, *hex;
  } cases[] = {
      {"pwxnqlrtoz", "s3cret", "F248305B120C"},
      {"pwxnqlrtoz", "Pa55 word;=!", "D11A661C570FEB95D9A698B8"},
      {"pwxnqlrtoz", "a", "E0"},
      {"vejqdumxo", "s3cret", "14C1C3DFA30D"},
      {"vejqdumxo", "Pa55 word;=!", "37939598E60EDAC72C853B7D"},
      {"vejqdumxo", "a", "06"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.plain);
    unsigned char bytes[64];
    const int n = fake_string(c.plain, bytes, sizeof bytes, c.key);
    ASSERT_EQ(n, static_cast<int>(std::strlen(c.plain)));
    std::string hex;
    char two[3];
    for (int i = 0; i < n; ++i) {
      std::snprintf(two, sizeof two, "%02X", bytes[i]);
      hex += two;
    }
    EXPECT_EQ(hex, c.hex);
    unsigned char stored[32];
    for (size_t i = 0; i < std::strlen(c.hex) / 2; ++i)
      stored[i] = static_cast<unsigned char>(std::stoi(std::string(c.hex + 2 * i, 2), nullptr, 16));
    char back[33];
    ASSERT_EQ(unfake_string(stored, back, n, c.key), n);
    EXPECT_STREQ(back, c.plain);
  }
}

TEST(Kycrypt, RoundTripsEveryLengthWithBothStoredKeys) {
  for (const char* key : {"pwxnqlrtoz", "vejqdumxo"}) {
    for (size_t n = 0; n <= 300; ++n) {
      std::string plain = text_of(n);
      std::vector<unsigned char> bytes(n + 1, 0xEE);
      ASSERT_EQ(fake_string(plain.c_str(), bytes.data(), static_cast<int>(n), key), static_cast<int>(n));
      EXPECT_EQ(bytes[n], 0xEE) << "wrote past the text length";
      std::vector<char> back(n + 1, 'x');
      ASSERT_EQ(unfake_string(bytes.data(), back.data(), static_cast<int>(n), key), static_cast<int>(n));
      EXPECT_EQ(std::string(back.data()), plain) << "length " << n;
    }
  }
}

TEST(Kycrypt, DisguiseDependsOnKeyAndPosition) {
  std::string plain(16, 'a');
  unsigned char a[16], b[16];
  ASSERT_EQ(fake_string(plain.c_str(), a, 16, "pwxnqlrtoz"), 16);
  ASSERT_EQ(fake_string(plain.c_str(), b, 16, "vejqdumxo"), 16);
  EXPECT_NE(std::string(reinterpret_cast<char*>(a), 16), std::string(reinterpret_cast<char*>(b), 16));
  int same_as_plain = 0, repeats = 0;
  for (int i = 0; i < 16; ++i) {
    same_as_plain += a[i] == 'a';
    if (i) repeats += a[i] == a[i - 1];
  }
  EXPECT_LT(same_as_plain, 3);
  EXPECT_LT(repeats, 3);
  char wrong[17];
  ASSERT_EQ(unfake_string(a, wrong, 16, "vejqdumxo"), 16);
  EXPECT_NE(std::string(wrong), plain);
}

TEST(Kycrypt, RefusesMissingArgumentsAndShortOutput) {
  unsigned char out[4];
  char back[4];
  EXPECT_EQ(fake_string("secret", out, 4, "k"), -1);
  EXPECT_EQ(fake_string(nullptr, out, 4, "k"), -1);
  EXPECT_EQ(fake_string("ab", nullptr, 4, "k"), -1);
  EXPECT_EQ(fake_string("ab", out, 4, nullptr), -1);
  EXPECT_EQ(unfake_string(out, back, -1, "k"), -1);
  EXPECT_EQ(unfake_string(nullptr, back, 1, "k"), -1);
  EXPECT_EQ(unfake_string(out, back, 0, "k"), 0);
  EXPECT_EQ(back[0], '\0');
}

}  // namespace
