// Catalog handlers against the SQLite ODBC driver.
#include <cstring>
#include <functional>
#include <vector>

#include "handler_fixture.h"

namespace kytest {
namespace {

class Catalog : public HandlersTest {
 protected:
  void SetUp() override {
    HandlersTest::SetUp();
    dbc_ = link_.connected();
    stmt_ = link_.stmt(dbc_);
    ASSERT_EQ(exec_direct(stmt_, "DROP TABLE IF EXISTS cat_t"), SQL_SUCCESS);
    ASSERT_EQ(exec_direct(stmt_, "CREATE TABLE cat_t (k INTEGER PRIMARY KEY, v TEXT)"), SQL_SUCCESS);
  }
  // The text of column col of the current row.
  std::string text(int16_t col) {
    char buf[128] = {0};
    int32_t block = sizeof(buf);
    SQLLEN ind = 0;
    EXPECT_TRUE(SQL_SUCCEEDED(sql_get_data(stmt_, col, SQL_C_CHAR, &block, buf, sizeof(buf), &ind)));
    return ind == SQL_NULL_DATA ? "<null>" : buf;
  }
  RpcLink link_;
  void* dbc_ = nullptr;
  void* stmt_ = nullptr;
};

TEST_F(Catalog, TablesAfterASelectAreDescribedAfresh) {
  ASSERT_EQ(exec_direct(stmt_, "SELECT k FROM cat_t"), SQL_SUCCESS);
  ASSERT_EQ(sql_close_cursor(stmt_), SQL_SUCCESS);
  char table[] = "cat_t";
  ASSERT_EQ(sql_tables(stmt_, 0, nullptr, 0, 0, nullptr, 0, sizeof(table), table, SQL_NTS, 0, nullptr, 0), SQL_SUCCESS);
  auto* s = static_cast<statement_t*>(stmt_);
  EXPECT_GE(s->result_columns, 5);
  EXPECT_STREQ(s->implicit_desc[DESC_IRD]->records[3].name, "TABLE_NAME");
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(text(3), "cat_t");
  EXPECT_EQ(sql_fetch(stmt_), SQL_NO_DATA);
  sql_close_cursor(stmt_);

  ASSERT_EQ(sql_columns(stmt_, 0, nullptr, 0, 0, nullptr, 0, sizeof(table), table, SQL_NTS, 0, nullptr, 0),
            SQL_SUCCESS);
  int rows = 0;
  while (sql_fetch(stmt_) == SQL_SUCCESS) ++rows;
  EXPECT_EQ(rows, 2);
  sql_close_cursor(stmt_);

  ASSERT_EQ(sql_primary_keys(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, 5), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(text(4), "k");
  sql_close_cursor(stmt_);

  ASSERT_EQ(sql_get_type_info(stmt_, SQL_ALL_TYPES), SQL_SUCCESS);
  EXPECT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  sql_close_cursor(stmt_);
}

TEST_F(Catalog, NameLengthsStayInsideTheirBlocks) {
  char table[5] = {'c', 'a', 't', '_', 't'};  // no NUL
  EXPECT_EQ(sql_tables(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, SQL_NTS, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt_, 1), "HY090");
  EXPECT_EQ(sql_columns(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, 500, 0, nullptr, 0), SQL_ERROR);
  EXPECT_EQ(sql_tables(stmt_, 0, nullptr, 0, 0, nullptr, 0, 5, table, 5, 0, nullptr, 0), SQL_SUCCESS);
  // Column privileges pass the driver's own answer through.
  EXPECT_NE(sql_column_privileges(stmt_, 0, nullptr, 0, nullptr, 5, table, 0, nullptr), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_tables(dbc_, 0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0), SQL_INVALID_HANDLE);
}

// Every member on one handle: a statement is described afresh and fetched,
// any other handle kind is refused before the driver is called.
TEST_F(Catalog, EveryHandlerDescribesItsResultSet) {
  ASSERT_EQ(exec_direct(stmt_, "CREATE TABLE IF NOT EXISTS cat_c (id INTEGER REFERENCES cat_t(k))"), SQL_SUCCESS);
  char t[] = "cat_t", c[] = "cat_c", col[] = "%", any[] = "%";
  struct Member {
    const char* name;
    std::function<int16_t(void*)> call;
    int columns;            // described result columns at least
    bool optional = false;  // the SQLite driver may not offer it
  };
  const std::vector<Member> members = {
      {"get_type_info", [](void* h) { return sql_get_type_info(h, SQL_ALL_TYPES); }, 19},
      {"tables", [&](void* h) { return sql_tables(h, 0, nullptr, 0, 0, nullptr, 0, 2, any, SQL_NTS, 0, nullptr, 0); },
       5},
      {"special_columns",
       [&](void* h) {
         return sql_special_columns(h, SQL_BEST_ROWID, 0, nullptr, 0, 0, nullptr, 0, 6, t, SQL_NTS, SQL_SCOPE_SESSION,
                                    SQL_NULLABLE);
       },
       8},
      {"statistics",
       [&](void* h) {
         return sql_statistics(h, 0, nullptr, 0, 0, nullptr, 0, 6, t, SQL_NTS, SQL_INDEX_ALL, SQL_QUICK);
       },
       13},
      {"primary_keys", [&](void* h) { return sql_primary_keys(h, 0, nullptr, 0, 0, nullptr, 0, 6, t, SQL_NTS); }, 6},
      {"foreign_keys",
       [&](void* h) {
         return sql_foreign_keys(h, 0, nullptr, 0, 0, nullptr, 0, 6, t, SQL_NTS, 0, nullptr, 0, 0, nullptr, 0, 6, c,
                                 SQL_NTS);
       },
       14},
      {"table_privileges",
       [&](void* h) { return sql_table_privileges(h, 0, nullptr, 0, 0, nullptr, 0, 6, t, SQL_NTS); }, 7},
      {"procedures", [&](void* h) { return sql_procedures(h, 0, nullptr, 0, 0, nullptr, 0, 2, any, SQL_NTS); }, 8},
      {"procedure_columns",
       [&](void* h) {
         return sql_procedure_columns(h, 0, nullptr, 0, 0, nullptr, 0, 2, any, SQL_NTS, 2, col, SQL_NTS);
       },
       13},
      {"columns", [&](void* h) { return sql_columns(h, 0, nullptr, 0, 0, nullptr, 0, 6, t, SQL_NTS, 2, col, SQL_NTS); },
       18},
      {"column_privileges", [&](void* h) { return sql_column_privileges(h, 0, nullptr, 0, nullptr, 6, t, 2, col); }, 8,
       true},
  };
  auto* s = static_cast<statement_t*>(stmt_);
  for (const Member& m : members) {
    SCOPED_TRACE(m.name);
    // A different result set first, so each description must be made anew.
    ASSERT_EQ(exec_direct(stmt_, "SELECT 1"), SQL_SUCCESS);
    ASSERT_EQ(sql_close_cursor(stmt_), SQL_SUCCESS);
    const int16_t first = m.call(stmt_);
    if (m.optional && first == SQL_ERROR) {
      // The driver's own answer passes through, its records readable.
      EXPECT_NE(diag_state(SQL_HANDLE_STMT, stmt_, 1).substr(0, 3), "rc=");
      EXPECT_EQ(m.call(dbc_), SQL_INVALID_HANDLE);
      continue;
    }
    ASSERT_EQ(first, SQL_SUCCESS);
    EXPECT_GE(s->result_columns, m.columns);
    EXPECT_NE(s->flags & STMT_DESCRIBED, 0u);
    int16_t rc;
    while ((rc = sql_fetch(stmt_)) == SQL_SUCCESS) {
    }
    EXPECT_EQ(rc, SQL_NO_DATA);
    sql_close_cursor(stmt_);
    EXPECT_EQ(m.call(dbc_), SQL_INVALID_HANDLE);
    EXPECT_EQ(m.call(nullptr), SQL_INVALID_HANDLE);
  }
  // The foreign key is there to be found.
  ASSERT_EQ(members[5].call(stmt_), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(text(3), "cat_t");
  EXPECT_EQ(text(7), "cat_c");
  sql_close_cursor(stmt_);
}

// An ODBC 2 application asks for SQL_TYPE_DATE (91): the driver hears 9.
TEST_F(Catalog, TypeInfoForOdbc2AsksForTheOldCode) {
  void* env2 = nullptr;
  RpcLink link2;
  void* e = link2.env();
  ASSERT_EQ(sql_set_env_attr(e, SQL_ATTR_ODBC_VERSION, SQL_OV_ODBC2), SQL_SUCCESS);
  (void)env2;
  void* d = link2.dbc(e);
  ASSERT_TRUE(SQL_SUCCEEDED(link2.connect(d, OdbcDir::get().dsn_string())));
  void* st = link2.stmt(d);
  ASSERT_EQ(sql_get_type_info(st, SQL_TYPE_DATE), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(st), SQL_SUCCESS);
  int16_t type = 0;
  int32_t block = sizeof type;
  SQLLEN ind = 0;
  ASSERT_TRUE(
      SQL_SUCCEEDED(sql_get_data(st, 2, SQL_C_SSHORT, &block, reinterpret_cast<char*>(&type), sizeof type, &ind)));
  EXPECT_EQ(type, SQL_DATE);
}

}  // namespace
}  // namespace kytest
