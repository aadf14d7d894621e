// Long-data buffers: piecewise reading of text and binary, NULL and empty
// values, reading past the data, clones that read in turn, the length cap
// and failed writes.
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include <sql.h>
#include <sqlext.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ky_longbuf.h"

namespace {

class LongBuffers : public ::testing::Test {
 protected:
  void SetUp() override {
    pool = ky_mem_alloc_handle(nullptr);
    buf = allocate_long_buffer(pool, 1, 2, nullptr, SQL_LONGVARCHAR);
    ASSERT_NE(buf, nullptr);
  }
  void TearDown() override { ky_mem_release_handle(pool); }

  mem_handle* pool = nullptr;
  long_buffer* buf = nullptr;
};

struct Step {
  int rc;
  SQLLEN len;
  const char* bytes;
};

TEST_F(LongBuffers, PiecesOfTextAndBinary) {
  ASSERT_EQ(append_to_long_buffer(buf, "01234", 5), 0);
  ASSERT_EQ(append_to_long_buffer(buf, "56789", SQL_NTS), 0);
  EXPECT_EQ(long_buffer_length(buf), 10);
  const Step text_steps[] = {{1, 10, "012"}, {1, 7, "345"}, {1, 4, "678"}, {0, 1, "9"}, {SQL_NO_DATA, 0, ""}};
  const Step binary_steps[] = {{1, 10, "0123"}, {1, 6, "4567"}, {0, 2, "89"}, {SQL_NO_DATA, 0, ""}};
  for (int binary = 0; binary <= 1; ++binary) {
    SCOPED_TRACE(binary);
    ASSERT_EQ(rewind_long_buffer(buf), 0);
    const Step* steps = binary ? binary_steps : text_steps;
    const size_t n = binary ? 4 : 5;
    for (size_t i = 0; i < n; ++i) {
      char out[4];
      std::memset(out, '#', sizeof out);
      SQLLEN len = -9;
      EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, binary), steps[i].rc) << i;
      EXPECT_EQ(len, steps[i].len) << i;
      if (steps[i].rc != SQL_NO_DATA) {
        const size_t got = std::strlen(steps[i].bytes);
        EXPECT_EQ(std::string(out, got), steps[i].bytes) << i;
        if (!binary) {
          EXPECT_EQ(out[got], '\0');
        }
      }
    }
  }
  // The wide form widens each byte, 0xE9 to 0x00E9.
  long_buffer* w = allocate_long_buffer(pool, 0, 0, nullptr, SQL_WLONGVARCHAR);
  ASSERT_EQ(append_to_long_buffer(w, "a\xE9z", 3), 0);
  SQLWCHAR wide[3];
  SQLLEN len = 0;
  EXPECT_EQ(extract_from_long_nbuffer(w, wide, 3, &len, 0), 1);
  EXPECT_EQ(len, 3);
  EXPECT_EQ(wide[0], u'a');
  EXPECT_EQ(wide[1], 0x00E9);
  EXPECT_EQ(wide[2], 0);
  EXPECT_EQ(extract_from_long_nbuffer(w, wide, 3, &len, 0), 0);
  EXPECT_EQ(wide[0], u'z');
  EXPECT_EQ(extract_from_long_nbuffer(w, wide, 3, &len, 0), SQL_NO_DATA);
}

TEST_F(LongBuffers, NullEmptyAndPastTheEnd) {
  char out[8];
  SQLLEN len = 0;
  // An empty value is one empty piece, then no data.
  EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, 0), 0);
  EXPECT_EQ(len, 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, 0), SQL_NO_DATA);

  buf->is_null = 1;
  rewind_long_buffer(buf);
  EXPECT_EQ(extract_from_long_buffer(buf, out, 0, &len, 0), 0);  // asking for the length only
  EXPECT_EQ(len, SQL_NULL_DATA);
  EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, 0), 0);
  EXPECT_EQ(len, SQL_NULL_DATA);
  EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, 0), SQL_NO_DATA);
  EXPECT_EQ(len, 0);
  buf->is_null = 0;

  ASSERT_EQ(append_to_long_buffer(buf, "abc", 3), 0);
  EXPECT_EQ(position_long_buffer(buf, 2), 2);
  EXPECT_EQ(extract_from_long_buffer(buf, out, 0, &len, 0), 0);
  EXPECT_EQ(len, 1);
  EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, 0), 0);
  EXPECT_STREQ(out, "c");
  // Past the data there is no data, never bytes beyond it.
  EXPECT_EQ(position_long_buffer(buf, 50), 50);
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(extract_from_long_buffer(buf, out, sizeof out, &len, 1), SQL_NO_DATA);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(position_long_buffer(buf, -1), -1);
}

TEST_F(LongBuffers, ClonesReadInTurn) {
  ASSERT_EQ(append_to_long_buffer(buf, "abcdef", 6), 0);
  mem_handle* other = ky_mem_alloc_handle(nullptr);
  long_buffer* clone = clone_long_buffer(buf, other);
  ASSERT_NE(clone, nullptr);
  EXPECT_NE(clone, buf);
  EXPECT_EQ(clone->words[0], 1);
  EXPECT_EQ(clone_long_buffer(buf, pool), buf);  // same pool: one more holder
  ky_mem_free(pool, buf);
  char a[3], b[3];
  SQLLEN len;
  EXPECT_EQ(extract_from_long_buffer(buf, a, 3, &len, 0), 1);
  EXPECT_EQ(extract_from_long_buffer(clone, b, 3, &len, 0), 1);
  EXPECT_STREQ(a, "ab");
  EXPECT_STREQ(b, "ab");
  EXPECT_EQ(extract_from_long_buffer(clone, b, 3, &len, 0), 1);
  EXPECT_EQ(extract_from_long_buffer(buf, a, 3, &len, 0), 1);
  EXPECT_STREQ(a, "cd");
  EXPECT_STREQ(b, "cd");
  // The clone outlives the original's pool.
  ky_mem_release_handle(pool);
  pool = ky_mem_alloc_handle(nullptr);
  EXPECT_EQ(extract_from_long_buffer(clone, b, 3, &len, 0), 0);
  EXPECT_STREQ(b, "ef");
  ky_mem_release_handle(other);
}

TEST_F(LongBuffers, AppendsAreCheckedAndFailuresKeepTheLength) {
  long_buffer* bin = allocate_long_buffer(pool, 0, 0, nullptr, SQL_LONGVARBINARY);
  EXPECT_EQ(append_to_long_buffer(bin, "text", SQL_NTS), -1);  // binary takes counted data only
  EXPECT_EQ(append_to_long_buffer(buf, "x", -7), -1);
  EXPECT_EQ(append_to_long_buffer(buf, nullptr, 3), -1);

  buf->max_length = 8;
  ASSERT_EQ(append_to_long_buffer(buf, "12345", 5), 0);
  EXPECT_EQ(append_to_long_buffer(buf, "6789", 4), -1);
  EXPECT_EQ(long_buffer_length(buf), 5);
  ASSERT_EQ(append_to_long_buffer(buf, "678", 3), 0);
  EXPECT_EQ(long_buffer_length(buf), 8);

  // A write the file system refuses (file size limit) keeps the length.
  long_buffer* big = allocate_long_buffer(pool, 0, 0, nullptr, SQL_LONGVARCHAR);
  ASSERT_EQ(append_to_long_buffer(big, "abcd", 4), 0);
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto* previous = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit low = old;
  low.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &low), 0);
  const std::vector<char> chunk(8192, 'z');
  const int rc = append_to_long_buffer(big, chunk.data(), static_cast<SQLLEN>(chunk.size()));
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(long_buffer_length(big), 4);
  char out[8];
  SQLLEN len = 0;
  EXPECT_EQ(extract_from_long_buffer(big, out, sizeof out, &len, 0), 0);
  EXPECT_STREQ(out, "abcd");
}

TEST(LongBufferFiles, FilesAreUnnamedAndPrivate) {
  char dir[KY_LONG_NAME_SIZE] = "";
  const int fd = open_buffer(nullptr, dir);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);  // no name anyone else could open
  EXPECT_EQ(st.st_mode & 077, 0u);
  EXPECT_GT(std::strlen(dir), 0u);
  EXPECT_EQ(file_write("hello", 5, fd), 5);
  EXPECT_EQ(file_seek(fd, 1), 1);
  char in[8] = "";
  EXPECT_EQ(file_read(in, 4, fd), 4);
  EXPECT_STREQ(in, "ello");
  EXPECT_EQ(file_read(in, 4, fd), 0);
  EXPECT_EQ(file_close(fd), 0);
  EXPECT_EQ(file_write("x", 1, fd), -1);
}

}  // namespace
