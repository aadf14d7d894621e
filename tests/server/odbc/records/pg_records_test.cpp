// What SQLite cannot show, on psqlODBC and a private PostgreSQL: resized
// buffers with a separate indicator array. The driver is re-pointed at the new
// arrays, and the indicator is set after the column is bound again, so NULL
// markers reach it.
#include "pg_fixture.h"
#include "odbc_fixture.h"

namespace kytest {
namespace {

TEST(PgRecords, ResizedSeparateIndicatorReceivesNulls) {
  ASSERT_TRUE(PgCluster::get().ok()) << PgCluster::get().error();
  Link link;
  environment_t* env = link.env();
  connection_t* dbc = link.dbc(env);
  std::string cs = PgCluster::get().dsn_string();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnect(dbc->driver_dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0,
                                             nullptr, SQL_DRIVER_NOPROMPT)));
  dbc->connected = 1;
  statement_t* s = link.stmt(dbc);
  exec(s->driver_stmt, "DROP TABLE IF EXISTS numbers");
  exec(s->driver_stmt, "CREATE TABLE numbers (n INTEGER)");
  exec(s->driver_stmt, "INSERT INTO numbers VALUES (7), (NULL), (9)");

  descriptor_t* ard = s->implicit_desc[DESC_ARD];
  ASSERT_NO_FATAL_FAILURE(bind_one_row(s, true));
  descriptor_record_t* r = &ard->records[1];
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetDescField(ard->driver_desc, 1, SQL_DESC_INDICATOR_PTR, r->indicator, 0)));

  ASSERT_EQ(resize_buffers(s, ard, 3), SQL_SUCCESS);
  EXPECT_EQ(r->row_capacity, 3u);
  EXPECT_NE(r->indicator, r->octet_length_array);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLSetStmtAttr(s->driver_stmt, SQL_ATTR_ROW_ARRAY_SIZE, (SQLPOINTER)3, 0)));
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLExecDirect(s->driver_stmt, (SQLCHAR*)"SELECT n FROM numbers ORDER BY n NULLS FIRST", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s->driver_stmt)));
  auto* values = static_cast<int32_t*>(r->data);
  EXPECT_EQ(r->indicator[0], SQL_NULL_DATA);
  EXPECT_EQ(r->indicator[1], 0);  // not NULL: the length goes to the length array
  EXPECT_EQ(r->octet_length_array[1], 4);
  EXPECT_EQ(values[1], 7);
  EXPECT_EQ(values[2], 9);
  SQLFreeStmt(s->driver_stmt, SQL_CLOSE);
}

// psqlODBC hands a connection's statement options on to statements allocated
// later. A row-wise bind type or a rowset size set there would make the driver
// write past the server's column-wise arrays: neither reaches the driver.
TEST(PgRecords, ConnectionOptionsNeverChangeTheServersBinding) {
  ASSERT_TRUE(PgCluster::get().ok()) << PgCluster::get().error();
  Link link;
  connection_t* dbc = link.dbc(link.env());
  std::string cs = PgCluster::get().dsn_string();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnect(dbc->driver_dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0,
                                             nullptr, SQL_DRIVER_NOPROMPT)));
  dbc->connected = 1;
  EXPECT_EQ(sql_set_connect_option_integer(dbc, SQL_BIND_TYPE, 4096), SQL_SUCCESS);
  EXPECT_EQ(sql_set_connect_option_integer(dbc, SQL_ROWSET_SIZE, 50), SQL_ERROR);
  ASSERT_NE(dbc->diags.first, nullptr);
  EXPECT_STREQ(dbc->diags.first->sqlstate, "HY092");
  EXPECT_EQ(sql_set_connect_option_integer(dbc, SQL_MAX_LENGTH, 100), SQL_SUCCESS);
  statement_t* s = link.stmt(dbc);
  SQLULEN bind_type = 1, rowset = 0, max_length = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetStmtAttr(s->driver_stmt, SQL_ATTR_ROW_BIND_TYPE, &bind_type, 0, nullptr)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetStmtOption(s->driver_stmt, SQL_ROWSET_SIZE, &rowset)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLGetStmtAttr(s->driver_stmt, SQL_ATTR_MAX_LENGTH, &max_length, 0, nullptr)));
  EXPECT_EQ(bind_type, SQLULEN{SQL_BIND_BY_COLUMN});
  EXPECT_EQ(rowset, 1u);
  EXPECT_EQ(max_length, 100u) << "other statement options still reach the driver";
}

}  // namespace
}  // namespace kytest
