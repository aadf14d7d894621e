// A pool with a connection and a statement record whose diagnostics area
// collects what the operations under test post.
#ifndef KY_TEST_SUPPORT_FIXTURE_H
#define KY_TEST_SUPPORT_FIXTURE_H

#include <string>

#include <gtest/gtest.h>

#include "ky_diag.h"
#include "ky_handle.h"
#include "ky_mem.h"

namespace kytest {

class StatementFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    pool = ky_mem_alloc_handle(nullptr);
    ASSERT_NE(pool, nullptr);
    dbc.head = ky_handle{KY_NODE_DBC, 3, pool, nullptr};
    stmt.head = ky_handle{KY_NODE_STMT, 3, pool, nullptr};
    stmt.head.errors = CreateErrorHeader(pool, &stmt.head);
    ASSERT_NE(stmt.head.errors, nullptr);
    stmt.dbc = &dbc;
    ctx.stmt = &stmt;
  }
  void TearDown() override { ky_mem_release_handle(pool); }

  // SQLSTATE of the last record, "" when none was posted.
  std::string last_state() const {
    const ErrorRecord* r = stmt.head.errors->last;
    return r ? r->sqlstate : "";
  }
  std::string last_message() const {
    const ErrorRecord* r = stmt.head.errors->last;
    return r ? r->message : "";
  }
  void clear() {
    SetupErrorHeader(stmt.head.errors, 0);
    ctx.failed = 0;
  }

  mem_handle* pool = nullptr;
  ky_dbc dbc{};
  ky_stmt stmt{};
  ky_eval_context ctx{};
};

}  // namespace kytest

#endif
