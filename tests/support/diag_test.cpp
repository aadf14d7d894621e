// Diagnostic records: ODBC 2 translation, messages that carry '%' safely,
// and reading back by record and by field.
#include <cstring>
#include <string>
#include <utility>

#include <sql.h>
#include <sqlext.h>

#include <gtest/gtest.h>

#include "ky_diag.h"
#include "support_fixture.h"

namespace {

using Diag = kytest::StatementFixture;

TEST_F(Diag, Odbc2OwnersGetOdbc2States) {
  struct Case {
    int32_t version;
    const char* posted;
    const char* stored;
  } cases[] = {
      {2, "HY000", "S1000"}, {2, "HY092", "S1092"}, {2, "HY024", "S1009"},
      {2, "07008", "S1000"}, {2, "42S02", "S0002"}, {2, "HYT00", "S1T00"},
      {2, "22012", "22012"}, {3, "HY000", "HY000"}, {380, "HY092", "HY092"},  // ODBC 3.80 behaves as ODBC 3
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.posted) + " v" + std::to_string(c.version));
    ky_handle owner{KY_NODE_STMT, c.version, pool, nullptr};
    ErrorHeader* h = CreateErrorHeader(pool, &owner);
    ASSERT_NE(PostError(h, 1, 0, nullptr, 0, 0, "ISO 9075", c.posted, "x"), nullptr);
    EXPECT_STREQ(h->first->sqlstate, c.stored);
    FreeErrorHeader(h);
  }
}

// Every ODBC 3 state the library's ODBC 2 translation has always known, and
// its answer: a changed row in the shared table shows here.
TEST_F(Diag, Odbc2TranslationKnownAnswers) {
  const std::pair<const char*, const char*> known[] = {
      {"01001", "01S03"},
      {"HY019", "22003"},
      {"22007", "22008"},
      {"22018", "22005"},
      {"07005", "24000"},
      {"07008", "S1000"},
      {"07009", "S1002"},
      {"42000", "37000"},
      {"HY018", "70100"},
      {"42S01", "S0001"},
      {"42S02", "S0002"},
      {"42S11", "S0011"},
      {"42S12", "S0012"},
      {"42S21", "S0021"},
      {"42S22", "S0022"},
      {"42S23", "S0023"},
      {"HY000", "S1000"},
      {"HY001", "S1001"},
      {"HY003", "S1003"},
      {"HY004", "S1004"},
      {"HY008", "S1008"},
      {"HY009", "S1009"},
      {"HY024", "S1009"},
      {"HY092", "S1092"},
      {"HY007", "S1010"},
      {"HY010", "S1010"},
      {"HY011", "S1011"},
      {"HY012", "S1012"},
      {"HY090", "S1090"},
      {"HY091", "S1091"},
      {"HY096", "S1096"},
      {"HY097", "S1097"},
      {"HY098", "S1098"},
      {"HY099", "S1099"},
      {"HY100", "S1100"},
      {"HY101", "S1101"},
      {"HY103", "S1103"},
      {"HY104", "S1104"},
      {"HY105", "S1105"},
      {"HY106", "S1106"},
      {"HY107", "S1107"},
      {"HY108", "S1108"},
      {"HY109", "S1109"},
      {"HY110", "S1110"},
      {"HY111", "S1111"},
      {"HYC00", "S1C00"},
      {"HYT00", "S1T00"},
      // States without an ODBC 2 form pass unchanged.
      {"08S01", "08S01"},
      {"01004", "01004"},
      {"HY013", "HY013"},
      {"IM002", "IM002"},
      {"ZZ999", "ZZ999"},
  };
  ky_handle owner{KY_NODE_STMT, 2, pool, nullptr};
  ErrorHeader* h = CreateErrorHeader(pool, &owner);
  for (const auto& [posted, stored] : known) {
    ASSERT_NE(PostError(h, 1, 0, nullptr, 0, 0, "ISO 9075", posted, "x"), nullptr);
    EXPECT_STREQ(h->last->sqlstate, stored) << posted;
  }
  FreeErrorHeader(h);
}

TEST_F(Diag, MessageIsFormattedThenPrefixed) {
  ErrorHeader* h = stmt.head.errors;
  EXPECT_STREQ(PostError(h, 1, 0, nullptr, 7, 0, "ISO 9075", "HY000", "bad %s", "x"), "[Kyronde ODBC]bad x");
  // Neither a vendor text nor a posted message is ever used as a format.
  EXPECT_STREQ(PostError(h, 1, 0, "%s%n", 0, 0, "", "HY000", "%d%%", 5), "[%s%n]5%");
  EXPECT_STREQ(PostDalError(&stmt, "V", 3, "HY001", "100% full %s%n"), "[V]100% full %s%n");
  EXPECT_EQ(h->return_code, SQL_ERROR);
  EXPECT_EQ(h->count, 3);
  EXPECT_STREQ(h->last->subclass_origin, "ISO 9075");
  // A long message is kept whole.
  const std::string big(70000, 'a');
  EXPECT_EQ(std::strlen(PostError(h, 1, 0, nullptr, 0, 0, "", "HY000", "%s", big.c_str())), big.size() + 14);
  // Objects that are not handle records are left alone.
  int32_t other = KY_NODE_VALUE;
  EXPECT_EQ(PostDalError(&other, "V", 0, "HY000", "m"), nullptr);
}

TEST_F(Diag, GetDiagRecBoundaries) {
  ErrorHeader* h = stmt.head.errors;
  PostError(h, 1, 0, "V", 42, 0, "", "42S02", "no table");
  char state[6] = "";
  int32_t native = 0;
  char msg[64];
  int16_t len = 0;
  EXPECT_EQ(GetDiagRec(h, 0, state, &native, msg, sizeof msg, &len), SQL_ERROR);
  EXPECT_EQ(GetDiagRec(h, 2, state, &native, msg, sizeof msg, &len), SQL_NO_DATA);
  EXPECT_EQ(GetDiagRec(h, 1, state, &native, msg, sizeof msg, &len), SQL_SUCCESS);
  EXPECT_STREQ(state, "42S02");
  EXPECT_EQ(native, 42);
  EXPECT_STREQ(msg, "[V]no table");
  EXPECT_EQ(GetDiagRec(h, 1, nullptr, nullptr, msg, 4, &len), SQL_SUCCESS_WITH_INFO);
  EXPECT_STREQ(msg, "[V]");
  EXPECT_EQ(len, 11);
  SetupErrorHeader(h, 50);
  EXPECT_EQ(h->count, 0);
  EXPECT_EQ(GetDiagRec(h, 1, state, &native, msg, sizeof msg, &len), SQL_NO_DATA);
}

TEST_F(Diag, GetDiagFieldByIdentifier) {
  ErrorHeader* h = stmt.head.errors;
  SetupErrorHeader(h, 85);
  SetErrorCount(h, 12);
  EXPECT_EQ(SetReturnCode(h, SQL_SUCCESS_WITH_INFO), SQL_SUCCESS_WITH_INFO);
  PostError(h, KY_ORIGIN_ODBC3, 4, "V", 9, 17, "ODBC 3.0", "01004", "cut");
  PostError(h, KY_ORIGIN_ISO, 0, nullptr, 0, 0, "ISO 9075", "HY000", "second");

  struct TextCase {
    int32_t handle_type, number, id;
    const char* text;
  } texts[] = {
      {SQL_HANDLE_STMT, 1, SQL_DIAG_SQLSTATE, "01004"},
      {SQL_HANDLE_STMT, 1, SQL_DIAG_MESSAGE_TEXT, "[V]cut"},
      {SQL_HANDLE_STMT, 1, SQL_DIAG_CLASS_ORIGIN, "ODBC 3.0"},
      {SQL_HANDLE_STMT, 2, SQL_DIAG_CLASS_ORIGIN, "ISO 9075"},
      {SQL_HANDLE_STMT, 1, SQL_DIAG_SUBCLASS_ORIGIN, "ODBC 3.0"},
      {SQL_HANDLE_STMT, 2, SQL_DIAG_CONNECTION_NAME, "Kyronde ODBC"},
      {SQL_HANDLE_DBC, 1, SQL_DIAG_SERVER_NAME, "Kyronde ODBC 3.0"},
      {SQL_HANDLE_STMT, 0, SQL_DIAG_DYNAMIC_FUNCTION, "SELECT CURSOR"},
  };
  for (const auto& c : texts) {
    SCOPED_TRACE(c.id);
    char buf[64] = "";
    int16_t len = -1;
    EXPECT_EQ(GetDiagField(c.handle_type, h, c.number, c.id, buf, sizeof buf, &len), SQL_SUCCESS);
    EXPECT_STREQ(buf, c.text);
    EXPECT_EQ(len, static_cast<int16_t>(std::strlen(c.text)));
  }
  SQLSMALLINT rc = 0;
  SQLINTEGER i = 0;
  SQLLEN l = 0;
  EXPECT_EQ(GetDiagField(SQL_HANDLE_DBC, h, 0, SQL_DIAG_RETURNCODE, &rc, 0, nullptr), 0);
  EXPECT_EQ(rc, SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_DBC, h, 0, SQL_DIAG_NUMBER, &i, 0, nullptr), 0);
  EXPECT_EQ(i, 2);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 0, SQL_DIAG_ROW_COUNT, &l, 0, nullptr), 0);
  EXPECT_EQ(l, 12);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 0, SQL_DIAG_CURSOR_ROW_COUNT, &l, 0, nullptr), 0);
  EXPECT_EQ(l, -1);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 1, SQL_DIAG_ROW_NUMBER, &l, 0, nullptr), 0);
  EXPECT_EQ(l, 17);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 1, SQL_DIAG_COLUMN_NUMBER, &i, 0, nullptr), 0);
  EXPECT_EQ(i, 4);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 1, SQL_DIAG_NATIVE, &i, 0, nullptr), 0);
  EXPECT_EQ(i, 9);

  // Refusals and the end of the records.
  EXPECT_EQ(GetDiagField(SQL_HANDLE_DBC, h, 0, SQL_DIAG_ROW_COUNT, &l, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 0, SQL_DIAG_SQLSTATE, nullptr, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, -1, SQL_DIAG_NUMBER, &i, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 1, 9999, &i, 0, nullptr), SQL_ERROR);
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 3, SQL_DIAG_SQLSTATE, nullptr, 0, nullptr), SQL_NO_DATA);
  char small[4];
  int16_t len = 0;
  EXPECT_EQ(GetDiagField(SQL_HANDLE_STMT, h, 1, SQL_DIAG_MESSAGE_TEXT, small, sizeof small, &len),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_STREQ(small, "[V]");
  EXPECT_EQ(len, 6);
}

}  // namespace
