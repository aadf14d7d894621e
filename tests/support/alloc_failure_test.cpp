// Exhausted memory: every operation that allocates reports the failure and
// leaves its list as it was. Failures are injected into the pool allocator.
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <sqlext.h>

#include "con_str_pairs.h"
#include "ky_constr.h"
#include "ky_list.h"
#include "ky_cursor.h"
#include "ky_diag.h"
#include "ky_longbuf.h"
#include "ky_value.h"
#include "mem_internal.h"

namespace {

struct Failing : ::testing::Test {
  void TearDown() override { ky::mem_fail_after(-1); }
};

TEST_F(Failing, AppendPairReportsEveryFailedStep) {
  // A new pair takes four blocks: the pair, its key, its value, the node.
  for (int step = 0; step < 4; ++step) {
    SCOPED_TRACE(step);
    mem_handle* pool = ky_mem_alloc_handle(nullptr);
    con_str cs;
    init_con_str(&cs);
    ASSERT_EQ(append_pair(&cs, "A", "1", pool), 0);
    ky::mem_fail_after(step);
    EXPECT_EQ(append_pair(&cs, "B", "2", pool), -1);
    ky::mem_fail_after(-1);
    EXPECT_EQ(pairs_of(cs), (Pairs{{"A", "1"}}));
    ky_mem_release_handle(pool);
  }
}

TEST_F(Failing, ReplacedTextsSurviveAFailedCopy) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  con_str cs;
  init_con_str(&cs);
  ASSERT_EQ(parse_connection_string(&cs, pool, "A=1;B=2", KY_CONSTR_NTS, 1), 0);
  struct Case {
    const char* name;
    int (*op)(con_str*, mem_handle*);
  } cases[] = {
      {"append over", [](con_str* c, mem_handle* p) { return append_pair(c, "a", "9", p); }},
      {"modify", [](con_str* c, mem_handle* p) { return modify_connection_string(c, "B", "9", p); }},
      {"change", [](con_str* c, mem_handle* p) { return change_connection_string(c, "A", "Z", p); }},
      {"replace", [](con_str* c, mem_handle* p) { return replace_connection_string(c, "B", "Z", p); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ky::mem_fail_after(0);
    EXPECT_EQ(c.op(&cs, pool), -1);
    ky::mem_fail_after(-1);
    EXPECT_EQ(pairs_of(cs), (Pairs{{"A", "1"}, {"B", "2"}}));
  }
  ky_mem_release_handle(pool);
}

TEST_F(Failing, ParseAndMergeReportFailure) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  con_str cs, source;
  init_con_str(&cs);
  init_con_str(&source);
  ky::mem_fail_after(5);  // the second pair cannot be made
  EXPECT_EQ(parse_connection_string(&cs, pool, "A=1;B=2;C=3", KY_CONSTR_NTS, 1), -1);
  ky::mem_fail_after(-1);

  ASSERT_EQ(parse_connection_string(&source, pool, "X=1", KY_CONSTR_NTS, 1), 0);
  ASSERT_EQ(parse_connection_string(&cs, pool, "A=1", KY_CONSTR_NTS, 1), 0);
  ky::mem_fail_after(0);
  EXPECT_EQ(merge_connection_string(&cs, &source, pool), -1);
  ky::mem_fail_after(-1);
  EXPECT_EQ(pairs_of(cs), (Pairs{{"A", "1"}}));
  ky_mem_release_handle(pool);
}

TEST_F(Failing, ListAppendLeavesListUnchanged) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  int a = 0, b = 0;
  for (int step = 0; step < 2; ++step) {  // node, then the new header
    ky::mem_fail_after(step);
    EXPECT_EQ(ListAppend(&a, nullptr, pool), nullptr);
  }
  ky::mem_fail_after(-1);
  List* l = ListAppend(&a, nullptr, pool);
  ky::mem_fail_after(0);
  EXPECT_EQ(ListAppend(&b, l, pool), nullptr);
  ky::mem_fail_after(-1);
  EXPECT_EQ(ListCount(l), 1);
  EXPECT_EQ(ListFirst(l), ListLast(l));
  EXPECT_EQ(ListNext(ListFirst(l)), nullptr);
  EXPECT_EQ(newNode(16, 1500, pool) != nullptr, true);
  ky::mem_fail_after(0);
  EXPECT_EQ(newNode(16, 1500, pool), nullptr);
  ky_mem_release_handle(pool);
}

TEST_F(Failing, LongBuffersReportFailedAllocation) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  ky::mem_fail_after(0);
  EXPECT_EQ(allocate_long_buffer(pool, 0, 0, nullptr, SQL_LONGVARCHAR), nullptr);
  ky::mem_fail_after(-1);
  // No file can be made there: null, and the block goes back to the pool.
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", "/nonexistent/kyvek-no-dir", 1);
  EXPECT_EQ(allocate_long_buffer(pool, 0, 0, nullptr, SQL_LONGVARCHAR), nullptr);
  if (old) {
    setenv("TMPDIR", saved.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_EQ(pool->first_block, nullptr);

  long_buffer* b = allocate_long_buffer(pool, 0, 0, nullptr, SQL_LONGVARCHAR);
  ASSERT_NE(b, nullptr);
  mem_handle* other = ky_mem_alloc_handle(nullptr);
  ky::mem_fail_after(0);
  EXPECT_EQ(clone_long_buffer(b, other), nullptr);
  ky::mem_fail_after(-1);
  EXPECT_EQ(other->first_block, nullptr);

  // A long cell whose buffer cannot be cloned is not copied at all.
  Value* cell = NewValue(pool, 0);
  cell->value_type = KY_VT_LONG_TEXT;
  cell->long_data = b;
  // A cell freed first is cached, and a cached block is not counted: the
  // failure hits the buffer's block.
  release_value(other, NewValue(other, 0));
  ky::mem_fail_after(0);
  EXPECT_EQ(duplicate_value(other, cell), nullptr);
  ky::mem_fail_after(-1);
  EXPECT_EQ(other->first_block, nullptr);
  ky_mem_release_handle(other);
  ky_mem_release_handle(pool);
}

TEST_F(Failing, PostingAndCursorNamesReportExhaustedMemory) {
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  ky_dbc dbc{};
  dbc.head = ky_handle{KY_NODE_DBC, 3, pool, nullptr};
  ky_stmt stmt{};
  stmt.head = ky_handle{KY_NODE_STMT, 3, pool, CreateErrorHeader(pool, nullptr)};
  stmt.dbc = &dbc;
  ASSERT_NE(stmt.head.errors, nullptr);
  for (int step = 0; step < 5; ++step) {
    SCOPED_TRACE(step);
    ky::mem_fail_after(step);
    char* posted = PostError(stmt.head.errors, 1, 0, "V", 0, 0, "ISO 9075", "HY000", "m");
    ky::mem_fail_after(-1);
    if (posted) break;  // the record and its texts took fewer blocks
    EXPECT_EQ(stmt.head.errors->count, 0);
    EXPECT_EQ(stmt.head.errors->first, nullptr);
  }
  SetupErrorHeader(stmt.head.errors, 0);
  // No slot for the name: refused with HY001, the name not taken.
  ky::mem_fail_after(0);
  EXPECT_EQ(insert_cursor_name(&stmt, "c1"), -1);
  ky::mem_fail_after(-1);
  EXPECT_STREQ(get_cursor_name(&stmt), "");
  ASSERT_NE(stmt.head.errors->last, nullptr);
  EXPECT_STREQ(stmt.head.errors->last->sqlstate, "HY001");
  EXPECT_EQ(insert_cursor_name(&stmt, "c1"), 0);
  ky_mem_release_handle(pool);
}

}  // namespace
