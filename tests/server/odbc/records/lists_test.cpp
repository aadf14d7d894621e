// Record lists, descriptor record arrays, server buffers and result-set
// description against the SQLite ODBC driver.
#include <cstring>

#include "odbc_fixture.h"

namespace kytest {
namespace {

using Lists = RecordsTest;

// An explicit descriptor record without a driver handle (the SQLite driver has
// none): enough for the list operations, which do not call the driver.
descriptor_t* explicit_desc(connection_t* dbc) {
  return find_descriptor_in_list(dbc, nullptr, nullptr, reinterpret_cast<SQLHDESC>(0x1), LIST_CREATE);
}

TEST_F(Lists, ExplicitDescriptorRemovalRevertsStatements) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  statement_t* s1 = link.stmt(dbc);
  statement_t* s2 = link.stmt(dbc);
  descriptor_t* ex = explicit_desc(dbc);
  ASSERT_NE(ex, nullptr);
  EXPECT_EQ(ex->alloc_type, DESC_ALLOC_USER);
  EXPECT_EQ(ex->handle_kind, 4);
  EXPECT_EQ(dbc->first_desc, ex);
  EXPECT_EQ(find_descriptor_in_list(dbc, nullptr, nullptr, reinterpret_cast<SQLHDESC>(0x1), LIST_FIND), ex);
  EXPECT_EQ(veks_chk_handle(VEKS_DESC, ex), 0);

  // Assignable as APD/ARD to statements of its own connection only.
  EXPECT_EQ(check_desc_assignable(s1, SQL_ATTR_APP_ROW_DESC, ex), 0);
  EXPECT_EQ(check_desc_assignable(s1, SQL_ATTR_IMP_ROW_DESC, ex), 1);
  EXPECT_EQ(check_desc_assignable(s1, SQL_ATTR_APP_ROW_DESC, s2->implicit_desc[DESC_ARD]), 1);
  EXPECT_EQ(check_desc_assignable(s1, SQL_ATTR_APP_ROW_DESC, s1->implicit_desc[DESC_ARD]), 0);
  EXPECT_EQ(check_desc_assignable(s1, SQL_ATTR_APP_PARAM_DESC, s1->implicit_desc[DESC_ARD]), 1);
  statement_t* user = nullptr;
  EXPECT_EQ(count_desc_users(s2->implicit_desc[DESC_IPD], &user), 1);
  EXPECT_EQ(user, s2);
  EXPECT_EQ(count_desc_users(ex, &user), 0);
  EXPECT_EQ(user, nullptr);

  s1->current_desc[DESC_ARD] = ex;
  s2->current_desc[DESC_ARD] = ex;
  EXPECT_EQ(find_descriptor_in_list(dbc, nullptr, ex, nullptr, LIST_REMOVE), nullptr);
  EXPECT_EQ(s1->current_desc[DESC_ARD], s1->implicit_desc[DESC_ARD]);
  EXPECT_EQ(s2->current_desc[DESC_ARD], s2->implicit_desc[DESC_ARD]);
  EXPECT_NE(veks_chk_handle(VEKS_DESC, ex), 0);
  // Removing it again, or a record never listed, fails.
  EXPECT_NE(find_descriptor_in_list(dbc, nullptr, ex, nullptr, LIST_REMOVE), nullptr);
}

TEST_F(Lists, RemovingStatementKeepsExplicitDescriptorInUse) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  statement_t* s = link.stmt(dbc);
  descriptor_t* ex = explicit_desc(dbc);
  s->current_desc[DESC_ARD] = ex;
  EXPECT_EQ(sql_free_handle(nullptr, SQL_HANDLE_STMT, s), SQL_SUCCESS);
  EXPECT_EQ(veks_chk_handle(VEKS_DESC, ex), 0);
  EXPECT_EQ(dbc->first_desc, ex);
  EXPECT_EQ(ex->next, nullptr);  // the four implicit ones are gone
}

TEST_F(Lists, RecordArrays) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  descriptor_t* d = link.stmt(dbc)->implicit_desc[DESC_ARD];

  EXPECT_EQ(veks_expand_desc_recs(d, -1), nullptr);
  EXPECT_EQ(veks_expand_desc_recs(d, VEKS_MAX_DESC_RECORD + 1), nullptr);
  EXPECT_EQ(d->alloc_records, 0);
  descriptor_record_t* r5 = veks_expand_desc_recs(d, 5);
  ASSERT_NE(r5, nullptr);
  EXPECT_EQ(d->alloc_records, 6);
  EXPECT_EQ(r5, &d->records[5]);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(std::string(d->records[i].tag, 4), "DESR");
  EXPECT_EQ(veks_expand_desc_recs(d, 2), &d->records[2]);  // no shrink
  EXPECT_EQ(d->alloc_records, 6);

  // Trim: stops at the highest record that still holds arrays, frees nothing.
  d->records[3].data = malloc(4);
  d->records[3].octet_length_array = static_cast<SQLLEN*>(malloc(sizeof(SQLLEN)));
  d->records[3].indicator = d->records[3].octet_length_array;  // one shared array
  veks_release_desc_recs(d, 0, RELEASE_TRIM);
  EXPECT_EQ(d->record_count, 3);
  EXPECT_NE(d->records[3].data, nullptr);
  // Above 2: frees record 3's arrays (the shared one once).
  veks_release_desc_recs(d, 2, RELEASE_ABOVE);
  EXPECT_EQ(d->record_count, 2);
  EXPECT_EQ(d->records[3].data, nullptr);
  EXPECT_EQ(d->records[3].indicator, nullptr);
  d->records[1].data = malloc(8);
  veks_release_desc_recs(d, 0, RELEASE_ALL);
  EXPECT_EQ(d->alloc_records, 0);
  EXPECT_EQ(d->records, nullptr);
  EXPECT_EQ(d->record_count, 0);
}

TEST_F(Lists, NewResultSetDescribesIntoIrd) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  statement_t* s = link.stmt(dbc);
  exec(s->driver_stmt, "DROP TABLE IF EXISTS described");
  exec(s->driver_stmt, "CREATE TABLE described (id INTEGER, name VARCHAR(10), at TIMESTAMP, price DOUBLE)");
  SQLRETURN rc = SQLExecDirect(s->driver_stmt, (SQLCHAR*)"SELECT id, name, at, price FROM described", SQL_NTS);
  ASSERT_TRUE(SQL_SUCCEEDED(rc));
  ASSERT_EQ(veks_new_result_set(s, rc), SQL_SUCCESS);
  EXPECT_EQ(s->result_columns, 4);
  EXPECT_TRUE(s->flags & STMT_DESCRIBED);
  descriptor_t* ird = s->implicit_desc[DESC_IRD];
  ASSERT_GE(ird->alloc_records, 5);
  EXPECT_EQ(ird->record_count, 4);
  const struct {
    const char* name;
    int16_t sqltype;
    int16_t ctype;
  } want[] = {{"id", SQL_INTEGER, SQL_C_LONG},
              {"name", SQL_VARCHAR, SQL_C_CHAR},
              {"at", SQL_TYPE_TIMESTAMP, SQL_C_TYPE_TIMESTAMP},
              {"price", SQL_DOUBLE, SQL_C_DOUBLE}};
  for (int col = 1; col <= 4; ++col) {
    SCOPED_TRACE(col);
    const descriptor_record_t& r = ird->records[col];
    EXPECT_STREQ(r.name, want[col - 1].name);
    EXPECT_EQ(r.name_length, static_cast<int16_t>(strlen(want[col - 1].name)));
    EXPECT_EQ(r.concise_type, want[col - 1].sqltype);
    EXPECT_EQ(r.default_ctype, want[col - 1].ctype);
  }
  EXPECT_EQ(ird->records[2].octet_length, 10);
  EXPECT_EQ(ird->records[3].type, SQL_DATETIME);

  // Described once: a second call leaves the IRD as it is.
  strcpy(ird->records[1].name, "marker");
  EXPECT_EQ(veks_new_result_set(s, SQL_SUCCESS), SQL_SUCCESS);
  EXPECT_STREQ(ird->records[1].name, "marker");
}

TEST_F(Lists, ResizedBuffersFetchWholeRowset) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  statement_t* s = link.stmt(dbc);
  exec(s->driver_stmt, "DROP TABLE IF EXISTS numbers");
  exec(s->driver_stmt, "CREATE TABLE numbers (n INTEGER)");
  exec(s->driver_stmt, "INSERT INTO numbers VALUES (7)");
  exec(s->driver_stmt, "INSERT INTO numbers VALUES (NULL)");
  exec(s->driver_stmt, "INSERT INTO numbers VALUES (9)");
  ASSERT_NO_FATAL_FAILURE(bind_one_row(s, false));
  descriptor_t* ard = s->implicit_desc[DESC_ARD];

  EXPECT_EQ(resize_buffers(s, ard, 0), SQL_ERROR);
  ASSERT_EQ(ard->diags.record_count, 1);
  EXPECT_EQ(ard->diags.first->native_error, 38);
  EXPECT_EQ(resize_buffers(s, ard, 1), SQL_SUCCESS);  // not resized downwards
  EXPECT_EQ(ard->records[1].row_capacity, 1u);
  EXPECT_EQ(resize_buffers(s, ard, uint64_t{1} << 62), SQL_ERROR);  // beyond the cap
  EXPECT_EQ(ard->records[1].row_capacity, 1u);

  ASSERT_EQ(resize_buffers(s, ard, 3), SQL_SUCCESS);
  descriptor_record_t* r = &ard->records[1];
  EXPECT_EQ(r->row_capacity, 3u);
  EXPECT_EQ(r->data_alloc_len, 12u);
  EXPECT_EQ(r->indicator, r->octet_length_array);  // still one array
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLSetStmtAttr(s->driver_stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(3), 0)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s->driver_stmt, (SQLCHAR*)"SELECT n FROM numbers ORDER BY rowid", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s->driver_stmt)));
  auto* values = static_cast<int32_t*>(r->data);
  EXPECT_EQ(values[0], 7);
  EXPECT_EQ(r->octet_length_array[1], SQL_NULL_DATA);
  EXPECT_EQ(values[2], 9);
  SQLFreeStmt(s->driver_stmt, SQL_CLOSE);
}

// The SQLite driver has no descriptor fields: a separate indicator cannot be
// re-pointed, so the resize fails and the driver keeps the old, live arrays.
TEST_F(Lists, FailedRebindKeepsTheDriverOnLiveArrays) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  statement_t* s = link.stmt(dbc);
  exec(s->driver_stmt, "DROP TABLE IF EXISTS one");
  exec(s->driver_stmt, "CREATE TABLE one (n INTEGER)");
  exec(s->driver_stmt, "INSERT INTO one VALUES (5)");
  ASSERT_NO_FATAL_FAILURE(bind_one_row(s, true));
  descriptor_record_t* r = &s->implicit_desc[DESC_ARD]->records[1];
  void* data = r->data;
  EXPECT_NE(resize_buffers(s, s->implicit_desc[DESC_ARD], 3), SQL_SUCCESS);
  EXPECT_EQ(r->row_capacity, 1u);
  EXPECT_EQ(r->data, data);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s->driver_stmt, (SQLCHAR*)"SELECT n FROM one", SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(s->driver_stmt)));  // writes the old arrays, which are alive
  EXPECT_EQ(*static_cast<int32_t*>(r->data), 5);
  SQLFreeStmt(s->driver_stmt, SQL_CLOSE);
}

TEST_F(Lists, StatusArrays) {
  Link link;
  connection_t* dbc = link.connected(link.env());
  statement_t* s = link.stmt(dbc);
  descriptor_t* ird = s->implicit_desc[DESC_IRD];
  ASSERT_EQ(resize_status_array(4, s, SQL_ATTR_ROW_STATUS_PTR, ird), SQL_SUCCESS);
  ASSERT_NE(ird->status_array, nullptr);
  EXPECT_EQ(ird->status_count, 4u);
  uint16_t* four = ird->status_array;

  OdbcDir::get().set_flags(VEKS_FLAG_NO_STATUS_ARRAY_RESIZE);
  EXPECT_EQ(resize_status_array(2, s, SQL_ATTR_ROW_STATUS_PTR, ird), SQL_SUCCESS);
  EXPECT_EQ(ird->status_array, four);  // not shrunk
  EXPECT_EQ(resize_row_status_arrays(8, s, s->implicit_desc[DESC_ARD], ird), SQL_SUCCESS);
  EXPECT_EQ(ird->status_count, 8u);

  OdbcDir::get().set_flags(0);
  EXPECT_EQ(resize_status_array(2, s, SQL_ATTR_ROW_STATUS_PTR, ird), SQL_SUCCESS);
  EXPECT_EQ(ird->status_count, 2u);
  SQLPOINTER bound = nullptr;
  SQLGetStmtAttr(s->driver_stmt, SQL_ATTR_ROW_STATUS_PTR, &bound, SQL_IS_POINTER, nullptr);
  EXPECT_EQ(bound, ird->status_array);
  EXPECT_EQ(resize_parameter_status_array(3, s, s->implicit_desc[DESC_APD], s->implicit_desc[DESC_IPD]), SQL_SUCCESS);
}

}  // namespace
}  // namespace kytest
