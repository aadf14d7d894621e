// Exhausted memory: every operation that allocates reports the failure and
// leaves its list as it was. Failures are injected into the pool allocator.
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "con_str_pairs.h"
#include "ky_constr.h"
#include "ky_list.h"
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

}  // namespace
