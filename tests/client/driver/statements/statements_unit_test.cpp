// Pieces of the statement units that stand alone: how many bytes a
// terminated text of a C type takes on the wire, and the GUID unpacker.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "statements.h"

namespace kyvek::driver {
namespace {

TEST(NtsBytes, CountsBytesOrSixteenBitUnitsUpToTheTerminator) {
  const char narrow[] = "abc\0def";
  const SQLWCHAR wide[] = {'a', 0x100, 'c', 0, 'x'};  // 0x100 has a zero low byte
  struct Case {
    int16_t ctype;
    const void* data;
    uint64_t max;
    uint64_t want;
  } cases[] = {
      {SQL_C_CHAR, narrow, sizeof narrow, 4},
      {SQL_C_CHAR, narrow, 2, 2},           // no terminator within reach: the reach
      {SQL_C_WCHAR, wide, sizeof wide, 8},  // three units and the zero unit
      {SQL_C_WCHAR, wide, 5, 4},            // never half a unit
      {SQL_C_BINARY, narrow, sizeof narrow, 4},
      {SQL_C_CHAR, nullptr, 10, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(nts_bytes(c.ctype, c.data, c.max), c.want) << c.ctype << "/" << c.max;
}

TEST(UnpackGuids, JoinsWholeElementsAndRefusesMissingArrays) {
  const int32_t data1[2] = {0x11223344, 0x55667788};
  const int16_t pairs[4] = {0x0102, 0x0304, 0x0506, 0x0708};
  const char data4[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  SQLGUID out[2];
  std::memset(out, 0xEE, sizeof out);
  diag_header errp{};
  ASSERT_EQ(unpack_guids(&errp, out, 2, data1, 8, pairs, 8, data4, 16), 0);
  EXPECT_EQ(out[1].Data1, 0x55667788u);
  EXPECT_EQ(out[1].Data3, 0x0708);
  EXPECT_EQ(out[1].Data4[7], 16);

  // A field array shorter than the count: only the elements every array holds.
  std::memset(out, 0xEE, sizeof out);
  ASSERT_EQ(unpack_guids(&errp, out, 2, data1, 8, pairs, 4, data4, 16), 0);
  EXPECT_EQ(out[0].Data1, 0x11223344u);
  EXPECT_EQ(out[1].Data1, 0xEEEEEEEEu);

  EXPECT_EQ(unpack_guids(&errp, out, 0, data1, 8, pairs, 8, data4, 16), -1);
  EXPECT_EQ(unpack_guids(&errp, nullptr, 2, data1, 8, pairs, 8, data4, 16), -1);
  ASSERT_EQ(errp.record_count, 2);
  const error_record* r = diag_record(&errp, 2);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->native_error, 7);
  EXPECT_NE(std::strstr(r->message_text, "unpack_guids, nowhere to unpack"), nullptr);
  clear_errors(&errp);
}

TEST(StatementEntryPoints, RefuseHandlesThatAreNotStatements) {
  int not_a_handle = 0;
  EXPECT_EQ(SQLExecute(&not_a_handle), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLFetch(nullptr), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLPutData(&not_a_handle, nullptr, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLSetStmtAttr(&not_a_handle, SQL_ATTR_ROW_ARRAY_SIZE, nullptr, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLEndTran(SQL_HANDLE_DBC, &not_a_handle, SQL_COMMIT), SQL_INVALID_HANDLE);
  EXPECT_EQ(SQLEndTran(SQL_HANDLE_STMT, &not_a_handle, SQL_COMMIT), SQL_ERROR);
}

}  // namespace
}  // namespace kyvek::driver
