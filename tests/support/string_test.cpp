// String utilities: the ODBC copy rule in all four widths, bounded appends,
// comparison and tokenizing.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ky_string.h"

namespace {

struct CopyCase {
  const char* name;
  const char* text;
  int capacity;
  bool with_buffer;
  const char* expect;  // buffer contents afterwards ("#..." = untouched)
  long length;
  int rc;
};

const CopyCase kCopyCases[] = {
    {"cut to capacity - 1", "hello", 5, true, "hell", 5, 1},
    {"fits with its NUL", "hello", 6, true, "hello", 5, 0},
    {"capacity 1", "hello", 1, true, "", 5, 1},
    {"capacity 0 writes nothing", "hello", 0, true, "#", 5, 0},
    {"negative capacity writes nothing", "hello", -1, true, "#", 5, 0},
    {"no buffer reports length", "hello", 3, false, "###", 5, 0},
    {"null text is empty", nullptr, 4, true, "", 0, 0},
    {"empty text, no room", "", 0, true, "#", 0, 0},
};

// Runs the table through one copy function; Ch is the cell type, Len the
// length type, copy the function adapted to (Ch*, int, Len*, const char*).
template <class Ch, class Len, class Fn>
void run_copy_table(Fn copy) {
  for (const auto& c : kCopyCases) {
    SCOPED_TRACE(c.name);
    // Sized exactly, so any write past the capacity is caught.
    const size_t cells = c.capacity > 0 ? static_cast<size_t>(c.capacity) : 1;
    auto buf = std::make_unique<Ch[]>(cells);
    for (size_t i = 0; i < cells; ++i) buf[i] = '#';
    Len len = -77;
    EXPECT_EQ(copy(c.with_buffer ? buf.get() : nullptr, c.capacity, &len, c.text), c.rc);
    EXPECT_EQ(static_cast<long>(len), c.length);
    std::string got;
    for (size_t i = 0; i < cells && buf[i]; ++i) got += static_cast<char>(buf[i]);
    EXPECT_EQ(got, c.expect);
    // No length out is fine too.
    EXPECT_EQ(copy(c.with_buffer ? buf.get() : nullptr, c.capacity, nullptr, c.text), c.rc);
  }
}

TEST(StringCopy, AllWidthsFollowTheSameRule) {
  run_copy_table<char, int16_t>(
      [](char* b, int cap, int16_t* l, const char* t) { return copy_str_buffer(b, cap, l, t); });
  run_copy_table<char, int32_t>(
      [](char* b, int cap, int32_t* l, const char* t) { return copy_str_bufferi(b, cap, l, t); });
  run_copy_table<char, SQLLEN>(
      [](char* b, int cap, SQLLEN* l, const char* t) { return copy_str_bufferl(b, cap, l, t); });
  run_copy_table<SQLWCHAR, SQLLEN>(
      [](SQLWCHAR* b, int cap, SQLLEN* l, const char* t) { return copy_nstr_bufferl(b, cap, l, t); });
}

TEST(StringCopy, WideningKeepsHighBytes) {
  SQLWCHAR out[4];
  SQLLEN len = 0;
  EXPECT_EQ(copy_nstr_bufferl(out, 4, &len, "\xe9\x80z"), 0);
  EXPECT_EQ(out[0], 0x00E9);
  EXPECT_EQ(out[1], 0x0080);
  EXPECT_EQ(out[2], 'z');
  EXPECT_EQ(out[3], 0);
  EXPECT_EQ(len, 3);
}

TEST(StringCopy, ShortLengthSaturates) {
  const std::string big(40000, 'x');
  int16_t len = 0;
  char out[8];
  EXPECT_EQ(copy_str_buffer(out, sizeof out, &len, big.c_str()), 1);
  EXPECT_EQ(len, 32767);
}

TEST(StringCat, RepeatedAppendsStayInsideTheBuffer) {
  auto buf = std::make_unique<char[]>(8);  // exact size: ASan sees any overrun
  buf[0] = '\0';
  int16_t len = 0;
  struct Step {
    const char* text;
    int rc;
    const char* expect;
    int16_t len;
  } steps[] = {
      {"abc", 0, "abc", 3},     {"def", 0, "abcdef", 6},
      {"ghi", 1, "abcdefg", 9}, {"jkl", 1, "abcdefg", 12},  // appends at the real end, not at 9
      {"", 0, "abcdefg", 12},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.text);
    EXPECT_EQ(cat_str_buffer(buf.get(), 8, &len, s.text), s.rc);
    EXPECT_STREQ(buf.get(), s.expect);
    EXPECT_EQ(len, s.len);
  }
  char untouched[2] = "q";
  EXPECT_EQ(cat_str_buffer(untouched, 0, nullptr, "x"), 1);
  EXPECT_EQ(cat_str_buffer(untouched, -4, nullptr, "x"), 1);
  EXPECT_STREQ(untouched, "q");
}

TEST(StringCat, UnterminatedBufferIsCutNotOverrun) {
  auto buf = std::make_unique<char[]>(4);
  std::memcpy(buf.get(), "wxyz", 4);
  EXPECT_EQ(cat_str_buffer(buf.get(), 4, nullptr, "a"), 1);
  EXPECT_STREQ(buf.get(), "wxy");
}

TEST(StringCompare, FoldsCaseOnly) {
  struct Case {
    const char* a;
    const char* b;
    int rc;
  } cases[] = {
      {"abc", "ABC", 0}, {"abc", "abcd", 1}, {"abcd", "abc", 1},  {nullptr, nullptr, 0},
      {"", nullptr, 1},  {"", "", 0},        {"\xe9", "\xc9", 1}, {"a[", "A{", 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(string_compare(c.a, c.b), c.rc) << (c.a ? c.a : "(null)") << " / " << (c.b ? c.b : "(null)");
  }
}

TEST(StringTok, SkipsEmptyTokens) {
  struct Case {
    const char* text;
    const char* delims;
    std::vector<std::string> tokens;
  } cases[] = {
      {";a;;b;", ";", {"a", "b"}}, {"a, b,,c", ", ", {"a", "b", "c"}}, {";;;", ";", {}}, {"", ";", {}},
      {"whole", ";", {"whole"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    char* cursor = nullptr;
    std::vector<std::string> got;
    for (char* t = safe_strtok(text.data(), c.delims, &cursor); t; t = safe_strtok(nullptr, c.delims, &cursor)) {
      got.emplace_back(t);
    }
    EXPECT_EQ(got, c.tokens);
    EXPECT_EQ(safe_strtok(nullptr, c.delims, &cursor), nullptr);
  }
}

TEST(StringDuplicate, CopiesIntoThePool) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  char* a = string_duplicate("text", pool);
  char* b = string_duplicate(nullptr, pool);
  EXPECT_STREQ(a, "text");
  EXPECT_STREQ(b, "");
  EXPECT_EQ(string_duplicate("x", nullptr), nullptr);
  ky_mem_release_handle(pool);  // frees both
}

}  // namespace
