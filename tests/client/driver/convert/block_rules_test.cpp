// Block mode's pure rules: how many bytes a column's cache cell takes, and
// what a fetch does from where the block cursor stands.
#include <gtest/gtest.h>

#include "block_fetch.h"

using namespace kyvek::driver;

namespace {

TEST(BlockSlot, CellsAreSizedInBytes) {
  struct Case {
    int16_t c_type;
    SQLULEN column_size;
    SQLLEN bytes;
  } cases[] = {
      {SQL_C_CHAR, 20, kMinVariableSlot + 1},  // a short column still holds over-long values
      {SQL_C_CHAR, 100, 401},                  // four bytes per character and a terminator
      {SQL_C_CHAR, 16383, 65533},              // just below the cap
      {SQL_C_CHAR, 16384, -1},                 // 64 KiB: served remotely
      {SQL_C_CHAR, 0, -1},                     // no size reported
      {SQL_C_CHAR, 2147483647, -1},            // "unlimited"
      {SQL_C_CHAR, 0xFFFFFFFFFFULL, -1},       // beyond 32 bits
      {SQL_C_BINARY, 300, 300},
      {SQL_C_BINARY, 10, kMinVariableSlot},
      {SQL_C_SBIGINT, 10, 8},
      {SQL_C_DOUBLE, 53, 8},
      {SQL_C_NUMERIC, 38, 19},
      {SQL_C_TYPE_TIMESTAMP, 26, 16},
      {SQL_C_INTERVAL_DAY_TO_SECOND, 20, 28},
      {SQL_C_GUID, 36, -1},  // no conversions from GUIDs: served remotely
  };
  for (const Case& c : cases)
    EXPECT_EQ(block_slot_bytes(c.c_type, c.column_size), c.bytes) << c.c_type << " " << c.column_size;
}

TEST(BlockStep, TwentyFiveRowsInBlocksOfTen) {
  // The first fetch of each block goes to the server; rows 2-10 come from
  // the cache; the 26th fetch finds the short last block used up.
  int32_t cursor = -1;
  SQLULEN rows = 0;
  int remote = 0, served = 0;
  const SQLULEN total = 25;
  SQLULEN delivered = 0;
  for (int fetch = 1; fetch <= 26; ++fetch) {
    switch (block_next_step(cursor, rows, 10)) {
      case BlockStep::kServe:
        ++cursor;
        ++served;
        ++delivered;
        break;
      case BlockStep::kFetch:
        ++remote;
        rows = std::min<SQLULEN>(10, total - delivered);
        cursor = 0;
        ++delivered;
        break;
      case BlockStep::kNoData:
        EXPECT_EQ(fetch, 26);
        cursor = -1;
        rows = 0;
        break;
    }
  }
  EXPECT_EQ(remote, 3);
  EXPECT_EQ(served, 22);
  EXPECT_EQ(delivered, 25u);
  // After the end, the next fetch asks the server again (which says no data).
  EXPECT_EQ(block_next_step(-1, 0, 10), BlockStep::kFetch);
  // A block size of one asks the server every time.
  EXPECT_EQ(block_next_step(0, 1, 1), BlockStep::kFetch);
}

}  // namespace
