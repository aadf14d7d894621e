// Lists: deletion at every position, merging with empty sides, enumeration.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ky_list.h"
#include "ky_value.h"

namespace {

class Lists : public ::testing::Test {
 protected:
  void SetUp() override { pool_ = ky_mem_alloc_handle(nullptr); }
  void TearDown() override { ky_mem_release_handle(pool_); }

  List* make(const std::vector<int>& ids) {
    List* l = nullptr;
    for (int id : ids) l = ListAppend(&items_[id], l, pool_);
    return l;
  }

  // Forward and backward walks must agree with each other and the count.
  std::vector<int> ids(List* l) {
    std::vector<int> fwd, back;
    for (ListNode* n = ListFirst(l); n; n = ListNext(n))
      fwd.push_back(static_cast<int>(static_cast<int*>(ListData(n)) - items_));
    for (ListNode* n = ListLast(l); n; n = ListPrior(n))
      back.insert(back.begin(), static_cast<int>(static_cast<int*>(ListData(n)) - items_));
    EXPECT_EQ(fwd, back);
    EXPECT_EQ(ListCount(l), static_cast<int32_t>(fwd.size()));
    return fwd;
  }

  mem_handle* pool_ = nullptr;
  int items_[10] = {};
};

TEST_F(Lists, AppendToNullCreatesHeader) {
  List* l = ListAppend(&items_[1], nullptr, pool_);
  ASSERT_NE(l, nullptr);
  EXPECT_EQ(ListFirst(l), ListLast(l));
  EXPECT_EQ(ids(l), std::vector<int>{1});
  EXPECT_EQ(ListAppend(&items_[2], l, nullptr), nullptr);
  EXPECT_EQ(ids(l), std::vector<int>{1});
}

TEST_F(Lists, DeleteAtEveryPosition) {
  struct Case {
    const char* name;
    std::vector<int> start;
    size_t position;
    std::vector<int> left;
    int next;  // id of the returned node, -1 for null
  } cases[] = {
      {"first", {1, 2, 3}, 0, {2, 3}, 2},
      {"middle", {1, 2, 3}, 1, {1, 3}, 3},
      {"last", {1, 2, 3}, 2, {1, 2}, -1},
      {"only", {1}, 0, {}, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    List* l = make(c.start);
    ListNode* n = ListFirst(l);
    for (size_t i = 0; i < c.position; ++i) n = ListNext(n);
    ListNode* next = ListDelete(l, n, pool_);
    EXPECT_EQ(next ? static_cast<int>(static_cast<int*>(ListData(next)) - items_) : -1, c.next);
    EXPECT_EQ(ids(l), c.left);
    if (ListFirst(l)) {
      EXPECT_EQ(ListPrior(ListFirst(l)), nullptr);
    }
    if (c.left.empty()) {
      EXPECT_EQ(ListFirst(l), nullptr);
      EXPECT_EQ(ListLast(l), nullptr);
    }
  }
  List empty{};
  EXPECT_EQ(ListDelete(&empty, nullptr, pool_), nullptr);
  EXPECT_EQ(ListDelete(nullptr, nullptr, pool_), nullptr);
}

TEST_F(Lists, MergeWithEmptySides) {
  struct Case {
    const char* name;
    std::vector<int> a;  // {} with a_null false: an empty header
    bool a_null;
    std::vector<int> b;
    bool b_null;
    std::vector<int> merged;
  } cases[] = {
      {"both full", {1, 2}, false, {3, 4}, false, {1, 2, 3, 4}},
      {"a null", {}, true, {3}, false, {3}},
      {"a empty", {}, false, {3, 4}, false, {3, 4}},
      {"b null", {1}, false, {}, true, {1}},
      {"b empty", {1, 2}, false, {}, false, {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    List empty_a{}, empty_b{};
    List* a = c.a_null ? nullptr : (c.a.empty() ? &empty_a : make(c.a));
    List* b = c.b_null ? nullptr : (c.b.empty() ? &empty_b : make(c.b));
    List* m = ListMerge(a, b);
    EXPECT_EQ(ids(m), c.merged);
    if (a && b) {
      // b no longer shares a's nodes: deleting through it cannot touch a.
      EXPECT_EQ(ListCount(b), 0);
      EXPECT_EQ(ListDelete(b, ListFirst(b), pool_), nullptr);
      EXPECT_EQ(ids(m), c.merged);
    }
  }
  EXPECT_EQ(ListMerge(nullptr, nullptr), nullptr);
}

TEST_F(Lists, EnumerateFlagsOnlyTheLast) {
  List* l = make({1, 2, 3});
  std::vector<std::pair<int, int>> seen;
  auto fn = [](void* data, void* arg, int last) {
    static_cast<std::vector<std::pair<int, int>>*>(arg)->emplace_back(*static_cast<int*>(data), last != 0);
  };
  items_[1] = 10;
  items_[2] = 20;
  items_[3] = 30;
  EXPECT_EQ(ListEnumerate(l, fn, &seen), nullptr);
  EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{10, 0}, {20, 0}, {30, 1}}));
  ListRewrite(ListFirst(l), &items_[5]);
  EXPECT_EQ(ListData(ListFirst(l)), &items_[5]);
}

TEST_F(Lists, SelectPartOfStatementNodes) {
  int select_part = 0;
  auto* target = static_cast<ky_stmt_node*>(newNode(sizeof(ky_stmt_node), 139, pool_));
  target->select = &select_part;
  auto* ref = static_cast<ky_stmt_node*>(newNode(sizeof(ky_stmt_node), KY_NODE_STMT_REF, pool_));
  ref->select = target;
  EXPECT_EQ(extract_select(target), &select_part);
  EXPECT_EQ(extract_select(ref), &select_part);
  EXPECT_EQ(extract_select(nullptr), nullptr);
  EXPECT_EQ(newNode(2, 139, pool_), nullptr);
}

TEST_F(Lists, ValueNodeRecordsItsPool) {
  auto* v = static_cast<Value*>(newNode(sizeof(Value), KY_NODE_VALUE, pool_));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->node_kind, KY_NODE_VALUE);
  EXPECT_EQ(v->pool, pool_);
  EXPECT_EQ(v->value_type, 0);
}

}  // namespace
