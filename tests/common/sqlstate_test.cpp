// The SQLSTATE table: every row is a well-formed state, each state has one
// row, and a few rows carry the exact texts applications have always seen.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "sqlstate.h"

namespace {

bool well_formed(const char* state) {
  if (state == nullptr || std::string(state).size() != 5) return false;
  for (const char* c = state; *c; ++c)
    if (!((*c >= '0' && *c <= '9') || (*c >= 'A' && *c <= 'Z'))) return false;
  return true;
}

TEST(SqlstateTable, RowsAreWellFormedAndStatesUnique) {
  std::set<std::string> states;
  for (const sqlstate::Row& r : sqlstate::kRows) {
    SCOPED_TRACE(r.state);
    EXPECT_TRUE(well_formed(r.state));
    EXPECT_TRUE(states.insert(r.state).second) << "listed twice";
    if (r.odbc2) {
      EXPECT_TRUE(well_formed(r.odbc2));
      EXPECT_STRNE(r.odbc2, r.state);
    }
    ASSERT_NE(r.text, nullptr);
    EXPECT_NE(*r.text, '\0');
    EXPECT_EQ(std::string(r.text).find('%'), std::string::npos) << "a text is never a format";
    EXPECT_EQ(sqlstate::find(r.state), &r);
  }
  EXPECT_EQ(sqlstate::find("ZZZZZ"), nullptr);
  EXPECT_EQ(sqlstate::odbc2_of("08S01"), nullptr);
  EXPECT_EQ(sqlstate::odbc2_of(""), nullptr);
}

TEST(SqlstateTable, KnownRows) {
  struct {
    const sqlstate::Row& row;
    const char *state, *odbc2, *text;
  } known[] = {
      {sqlstate::kHY001, "HY001", "S1001", "Memory allocation error"},
      {sqlstate::kHY090, "HY090", "S1090", "Invalid string or buffer length"},
      {sqlstate::kHY092, "HY092", "S1092", "Invalid attribute/option identifier"},
      {sqlstate::k07009, "07009", "S1002", "Invalid descriptor index"},
      {sqlstate::k01001, "01001", "01S03", "Cursor operation conflict"},
      {sqlstate::kHY008, "HY008", "S1008", "Operation Canceled"},
      {sqlstate::kHY013, "HY013", nullptr, "Memory Management Error"},
      {sqlstate::kIM008, "IM008", nullptr, "Dialog Failed"},
      {sqlstate::k08S01, "08S01", nullptr, "Communication link failure"},
  };
  for (const auto& k : known) {
    SCOPED_TRACE(k.state);
    EXPECT_STREQ(k.row.state, k.state);
    EXPECT_STREQ(k.row.text, k.text);
    if (k.odbc2)
      EXPECT_STREQ(k.row.odbc2, k.odbc2);
    else
      EXPECT_EQ(k.row.odbc2, nullptr);
  }
  EXPECT_STREQ(sqlstate::odbc2_of("HY024"), "S1009");
}

}  // namespace
