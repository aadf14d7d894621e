// Scrambling pair (both variants, both ends) and the small helpers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scramble.h"
#include "trace_log.h"

namespace {

std::string scrambled(const std::string& plain, int mode) {
  std::vector<char> buf(2 * plain.size() + 1);
  std::copy(plain.begin(), plain.end(), buf.begin());
  scramble_string(buf.data(), mode);
  return std::string(buf.data(), 2 * plain.size());  // may hold 0 bytes (first variant)
}

std::string unscrambled(std::string text, int mode) {
  text.push_back('\0');
  scramble_string(text.data(), mode);
  return std::string(text.c_str());
}

TEST(Scramble, Faze2RoundTripsEveryByteAtEveryLength) {
  for (size_t len = 0; len <= 300; ++len) {
    std::string plain;
    for (size_t i = 0; i < len; ++i) plain.push_back(char(1 + (i * 7 + len) % 255));
    std::string s = scrambled(plain, KY_SCRAMBLE_FAZE2_SCRAMBLE);
    ASSERT_EQ(s.find('\0'), std::string::npos) << len;  // neither bytes nor fillers are 0
    ASSERT_EQ(unscrambled(s, KY_SCRAMBLE_FAZE2_UNSCRAMBLE), plain) << len;
  }
}

TEST(Scramble, Faze2BytesEqualToTheMaskRoundTrip) {
  // The masks of positions 0..8: a plain byte equal to its mask would scramble to 0.
  const std::string plain = "\x2D\x5A\xB4\x68\xD0\xA0\x40\x80\x2D";
  std::string s = scrambled(plain, KY_SCRAMBLE_FAZE2_SCRAMBLE);
  for (size_t i = 0; i < plain.size(); ++i) EXPECT_EQ(s[2 * i], plain[i]) << i;  // written as the mask
  EXPECT_EQ(unscrambled(s, KY_SCRAMBLE_FAZE2_UNSCRAMBLE), plain);
}

TEST(Scramble, FirstVariantShape) {
  const std::string plain = "password12";
  std::string s = scrambled(plain, KY_SCRAMBLE_SCRAMBLE);
  EXPECT_EQ(s[0], char('p' ^ 0x2D));
  EXPECT_EQ(s[2], char('a' ^ 0x5A));
  EXPECT_EQ(s[16], '1');  // the mask has run to 0 after eight bytes
  EXPECT_EQ(s[18], '2');
  for (size_t i = 1; i < s.size(); i += 2) EXPECT_NE(s[i], '\0');
  EXPECT_EQ(unscrambled(s, KY_SCRAMBLE_UNSCRAMBLE), plain);
  // A byte equal to the live mask turns into 0 and ends the text for a reader.
  EXPECT_EQ(scrambled("\x2D", KY_SCRAMBLE_SCRAMBLE)[0], '\0');
  EXPECT_EQ(scrambled("", KY_SCRAMBLE_FAZE2_SCRAMBLE), "");
}

TEST(Scramble, OddLengthAndNullAreHandled) {
  std::string s = scrambled("ab", KY_SCRAMBLE_FAZE2_SCRAMBLE);
  EXPECT_EQ(unscrambled(s.substr(0, 3), KY_SCRAMBLE_FAZE2_UNSCRAMBLE), "ab");
  scramble_string(nullptr, KY_SCRAMBLE_FAZE2_SCRAMBLE);
}

TEST(Helpers, HexDecode) {
  struct Case {
    const char* hex;
    int result;
    std::string bytes;
  } cases[] = {
      {"4142", 2, "AB"}, {"", 0, ""}, {"414", 2, std::string("A@")}, {"4G", -1, ""}, {"6a6B", 2, "jk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    char out[8] = "zzzzzzz";
    ASSERT_EQ(hex_decode(c.hex, out, sizeof out), c.result);
    EXPECT_EQ(std::string(out), c.bytes);
  }
  char small[2];
  EXPECT_EQ(hex_decode("4142", small, sizeof small), -1);  // two bytes and a NUL do not fit
  EXPECT_EQ(small[0], '\0');
}

TEST(Helpers, ChooseIniSourceAndLookupService) {
  const int32_t key_len = sizeof(KY_CONFIGURATION_KEY) - 1;
  std::vector<char> buf(key_len + 1, 'x');
  int32_t len = 0;
  EXPECT_EQ(choose_ini_source(nullptr, nullptr, buf.data(), key_len + 1, &len, 0, nullptr), 0);
  EXPECT_STREQ(buf.data(), KY_CONFIGURATION_KEY);
  EXPECT_EQ(len, key_len);
  std::fill(buf.begin(), buf.end(), 'x');
  EXPECT_EQ(choose_ini_source(nullptr, nullptr, buf.data(), key_len, &len, 0, "dsn"), -1);
  EXPECT_EQ(buf[0], 'x');
  EXPECT_EQ(choose_ini_source(nullptr, nullptr, nullptr, 1024, nullptr, 0, nullptr), -1);

  EXPECT_EQ(vek_lookup_service("8888", "tcp", 0), 1);
  EXPECT_EQ(vek_lookup_service("", "tcp", 0), -1);
  EXPECT_EQ(vek_lookup_service(nullptr, nullptr, 0), -1);
}

}  // namespace
