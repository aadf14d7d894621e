// Cursor names: generated names, slot reuse, exact matching, refusals, and
// unique names when several threads generate them on one connection.
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ky_cursor.h"
#include "support_fixture.h"

namespace {

class Cursors : public kytest::StatementFixture {
 protected:
  ky_stmt* another() {
    auto* s = static_cast<ky_stmt*>(ky_mem_alloc(pool, sizeof(ky_stmt)));
    *s = ky_stmt{};
    s->head = ky_handle{KY_NODE_STMT, 3, pool, CreateErrorHeader(pool, &stmt.head)};
    s->dbc = &dbc;
    return s;
  }
};

TEST_F(Cursors, GeneratedNamesAndLookup) {
  ky_stmt* second = another();
  ASSERT_EQ(generate_cursor_name(&stmt), 0);
  ASSERT_EQ(generate_cursor_name(second), 0);
  EXPECT_STREQ(get_cursor_name(&stmt), "SQL_CUR00000000");
  EXPECT_STREQ(get_cursor_name(second), "SQL_CUR00000001");
  EXPECT_EQ(get_stmt_by_cursor(second, "SQL_CUR00000000"), &stmt);
  EXPECT_EQ(get_stmt_by_cursor(&stmt, "sql_cur00000000"), nullptr);  // letter case counts

  // A name already set is skipped by the generator.
  ky_stmt* third = another();
  ASSERT_EQ(insert_cursor_name(third, "SQL_CUR00000002"), 0);
  ky_stmt* fourth = another();
  ASSERT_EQ(generate_cursor_name(fourth), 0);
  EXPECT_STREQ(get_cursor_name(fourth), "SQL_CUR00000003");
}

TEST_F(Cursors, FreedSlotIsReused) {
  ky_stmt* a = another();
  ky_stmt* b = another();
  ASSERT_EQ(insert_cursor_name(a, "one"), 0);
  ASSERT_EQ(insert_cursor_name(b, "two"), 0);
  EXPECT_EQ(ListCount(dbc.cursors), 2);
  EXPECT_EQ(remove_cursor_name(&stmt, "one"), a);
  EXPECT_STREQ(get_cursor_name(a), "");
  EXPECT_EQ(remove_cursor_name(&stmt, "one"), nullptr);
  ASSERT_EQ(insert_cursor_name(&stmt, "three"), 0);
  EXPECT_EQ(ListCount(dbc.cursors), 2);
  EXPECT_EQ(get_stmt_by_cursor(a, "three"), &stmt);
  // Renaming keeps the statement's one slot.
  ASSERT_EQ(insert_cursor_name(&stmt, "four"), 0);
  EXPECT_EQ(ListCount(dbc.cursors), 2);
  EXPECT_EQ(get_stmt_by_cursor(a, "three"), nullptr);
}

TEST_F(Cursors, RefusedNames) {
  ky_stmt* other = another();
  ASSERT_EQ(insert_cursor_name(other, "taken"), 0);
  struct Case {
    std::string name;
    const char* state;
  } cases[] = {
      {std::string(KY_CURSOR_NAME_MAX + 1, 'n'), "34000"},
      {"", "34000"},
      {"taken", "3C000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.state);
    clear();
    EXPECT_EQ(insert_cursor_name(&stmt, c.name.c_str()), -1);
    EXPECT_EQ(last_state(), c.state);
    EXPECT_STREQ(get_cursor_name(&stmt), "");
  }
  // The longest name fits whole.
  const std::string longest(KY_CURSOR_NAME_MAX, 'm');
  ASSERT_EQ(insert_cursor_name(&stmt, longest.c_str()), 0);
  EXPECT_EQ(get_cursor_name(&stmt), longest);
}

TEST_F(Cursors, ConcurrentGenerationGivesUniqueNames) {
  constexpr int kThreads = 8, kEach = 25;
  std::vector<ky_stmt*> stmts;
  for (int i = 0; i < kThreads * kEach; ++i) stmts.push_back(another());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) EXPECT_EQ(generate_cursor_name(stmts[t * kEach + i]), 0);
    });
  }
  for (auto& th : threads) th.join();
  std::set<std::string> names;
  for (ky_stmt* s : stmts) names.insert(get_cursor_name(s));
  EXPECT_EQ(names.size(), stmts.size());
  EXPECT_EQ(ListCount(dbc.cursors), kThreads * kEach);
}

}  // namespace
