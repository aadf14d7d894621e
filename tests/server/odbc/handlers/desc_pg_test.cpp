// Descriptor handlers against psqlODBC and a private PostgreSQL (the SQLite
// driver has no descriptor functions): descriptors built field by field and
// bound as the row descriptor, shared length arrays, record counts, the
// records that refuse changes, and copies that leave no descriptor holding
// another one's arrays.
#include <cstring>
#include <string>

#include "odbc_fixture.h"
#include "pg_fixture.h"

namespace kytest {
namespace {

class PgDesc : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(PgCluster::get().ok()) << PgCluster::get().error();
    dbc_ = link_.dbc(link_.env());
    std::string cs = PgCluster::get().dsn_string();
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDriverConnect(dbc_->driver_dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS, nullptr, 0,
                                               nullptr, SQL_DRIVER_NOPROMPT)));
    dbc_->connected = 1;
    stmt_ = link_.stmt(dbc_);
    exec(stmt_->driver_stmt, "DROP TABLE IF EXISTS dnum");
    exec(stmt_->driver_stmt, "CREATE TABLE dnum (k INTEGER, n INTEGER, t VARCHAR(20))");
    exec(stmt_->driver_stmt, "INSERT INTO dnum VALUES (1, 7, 'seven'), (2, NULL, NULL), (3, 9, 'nine')");
  }
  descriptor_t* explicit_desc() {
    void* out = nullptr;
    EXPECT_EQ(sql_alloc_handle(nullptr, 3, SQL_HANDLE_DESC, dbc_, &out), SQL_SUCCESS);
    return static_cast<descriptor_t*>(out);
  }
  std::string state(descriptor_t* d) {
    return d->diags.first != nullptr ? d->diags.first->sqlstate : std::string("none");
  }
  void run(statement_t* s, const char* sql) {
    SQLFreeStmt(s->driver_stmt, SQL_CLOSE);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(s->driver_stmt, (SQLCHAR*)sql, SQL_NTS))) << sql;
  }

  Link link_;
  connection_t* dbc_ = nullptr;
  statement_t* stmt_ = nullptr;
};

// A row descriptor of the application's own, built with field settings and
// made current: the driver writes into the server's arrays, NULLs included.
TEST_F(PgDesc, ExplicitRowDescriptorBuiltFromFieldsReceivesRows) {
  descriptor_t* d = explicit_desc();
  // psqlODBC sets fields of a descriptor of the application's own only once
  // it took a role from a copy.
  ASSERT_EQ(sql_copy_desc(stmt_->implicit_desc[DESC_ARD], d), SQL_SUCCESS);
  ASSERT_EQ(sql_set_stmt_attr_handle(stmt_, SQL_ATTR_APP_ROW_DESC, d, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_smallint(d, 1, SQL_DESC_TYPE, SQL_C_LONG, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(d, 1, SQL_DESC_INDICATOR_PTR, 1, 0), SQL_SUCCESS);
  // Flag 2: the octet-length array is the indicator array.
  ASSERT_EQ(sql_set_desc_field_integer(d, 1, SQL_DESC_OCTET_LENGTH_PTR, 2, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(d, 1, SQL_DESC_DATA_PTR, 1, 0), SQL_SUCCESS);
  descriptor_record_t* r = &d->records[1];
  EXPECT_EQ(r->octet_length_array, r->indicator);
  EXPECT_EQ(d->record_count, 1);
  EXPECT_EQ(r->element_size, 4u);
  // A text column with its own two arrays.
  ASSERT_EQ(sql_set_desc_field_smallint(d, 2, SQL_DESC_CONCISE_TYPE, SQL_C_CHAR, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(d, 2, SQL_DESC_OCTET_LENGTH, 4, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(d, 2, SQL_DESC_DATA_PTR, 1, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(d, 2, SQL_DESC_INDICATOR_PTR, 1, 0), SQL_SUCCESS);
  // A larger octet length after the data array was made: the array grows with it.
  ASSERT_EQ(sql_set_desc_field_integer(d, 2, SQL_DESC_OCTET_LENGTH, 16, 0), SQL_SUCCESS);
  EXPECT_GE(d->records[2].element_size, 16u);

  run(stmt_, "SELECT n, t FROM dnum ORDER BY k");
  ASSERT_EQ(SQLFetch(stmt_->driver_stmt), SQL_SUCCESS);
  r = &d->records[1];
  EXPECT_EQ(*static_cast<int32_t*>(r->data), 7);
  EXPECT_EQ(r->indicator[0], 4);
  EXPECT_STREQ(static_cast<char*>(d->records[2].data), "seven");
  ASSERT_EQ(SQLFetch(stmt_->driver_stmt), SQL_SUCCESS);
  EXPECT_EQ(r->indicator[0], SQL_NULL_DATA);
  EXPECT_EQ(d->records[2].indicator[0], SQL_NULL_DATA);
  SQLFreeStmt(stmt_->driver_stmt, SQL_CLOSE);

  // A smaller count releases the records above it; 0 releases them all.
  EXPECT_EQ(sql_set_desc_field_smallint(d, 0, SQL_DESC_COUNT, 1, 0), SQL_SUCCESS);
  EXPECT_EQ(d->record_count, 1);
  EXPECT_EQ(d->records[2].data, nullptr);
  EXPECT_EQ(sql_set_desc_field_smallint(d, 0, SQL_DESC_COUNT, -1, 0), SQL_ERROR);
  EXPECT_EQ(state(d), "07009");
  EXPECT_EQ(sql_set_desc_field_smallint(d, 0, SQL_DESC_COUNT, 0, 0), SQL_SUCCESS);
  EXPECT_EQ(d->records, nullptr);
  EXPECT_EQ(d->record_count, 0);
  EXPECT_EQ(sql_set_stmt_attr_handle(stmt_, SQL_ATTR_APP_ROW_DESC, nullptr, 0), SQL_SUCCESS);
}

// Records that refuse changes, and values that are refused before the driver
// sees them; the handle checks of every handler.
TEST_F(PgDesc, RefusedRecordsAndHandles) {
  descriptor_t* ird = stmt_->implicit_desc[DESC_IRD];
  descriptor_t* ipd = stmt_->implicit_desc[DESC_IPD];
  descriptor_t* apd = stmt_->implicit_desc[DESC_APD];
  descriptor_t* ard = stmt_->implicit_desc[DESC_ARD];
  EXPECT_EQ(sql_set_desc_rec(ird, 1, SQL_C_LONG, 0, 4, 0, 0, 1, 1, 1), SQL_ERROR);
  EXPECT_EQ(state(ird), "07009");
  EXPECT_EQ(sql_set_desc_rec(ipd, 0, SQL_INTEGER, 0, 4, 0, 0, 0, 0, 0), SQL_ERROR);
  EXPECT_EQ(state(ipd), "07009");
  EXPECT_EQ(sql_set_desc_rec(apd, 0, SQL_C_LONG, 0, 4, 0, 0, 0, 0, 0), SQL_ERROR);
  EXPECT_EQ(sql_set_desc_rec(ard, -1, SQL_C_LONG, 0, 4, 0, 0, 0, 0, 0), SQL_ERROR);
  EXPECT_EQ(sql_set_desc_field_integer(ard, -3, SQL_DESC_DATA_PTR, 1, 0), SQL_ERROR);
  EXPECT_EQ(state(ard), "07009");
  EXPECT_EQ(sql_set_desc_field_smallint(ard, -3, SQL_DESC_TYPE, SQL_C_LONG, 0), SQL_ERROR);
  EXPECT_EQ(ard->alloc_records < 4 || ard->records[3].data == nullptr, true);
  // Only the name is a text the server passes on.
  char label[] = "x";
  EXPECT_EQ(sql_set_desc_field_strbin(ard, 1, SQL_DESC_LABEL, sizeof label, label, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(state(ard), "HY091");
  char no_nul[2] = {'a', 'b'};
  EXPECT_EQ(sql_set_desc_field_strbin(ipd, 1, SQL_DESC_NAME, 2, no_nul, SQL_NTS), SQL_ERROR);
  EXPECT_EQ(state(ipd), "HY090");
  EXPECT_EQ(sql_set_desc_field_integer(ard, 1, SQL_DESC_LABEL, 0, 0), SQL_ERROR);
  EXPECT_EQ(state(ard), "HY000");

  // Handles of another kind are not descriptors.
  int16_t v = 0;
  SQLLEN l = 0;
  EXPECT_EQ(sql_set_desc_field_smallint(stmt_, 1, SQL_DESC_TYPE, 4, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_set_desc_field_integer(dbc_, 1, SQL_DESC_OCTET_LENGTH, 4, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_get_desc_field_smallint(stmt_, 0, SQL_DESC_COUNT, &v, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_get_desc_field_integer(dbc_, 0, SQL_DESC_ARRAY_SIZE, &l, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_set_desc_rec(stmt_, 1, 4, 0, 4, 0, 0, 0, 0, 0), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_copy_desc(ard, stmt_), SQL_INVALID_HANDLE);
  EXPECT_EQ(sql_copy_desc(stmt_, ard), SQL_INVALID_HANDLE);
}

// Getters pass through to the driver into buffers of their own; what goes back
// never passes the peer's capacity.
TEST_F(PgDesc, GettersAndRecords) {
  run(stmt_, "SELECT n AS number_column, t FROM dnum ORDER BY k");
  descriptor_t* ird = stmt_->current_desc[DESC_IRD];
  int16_t count = 0;
  ASSERT_EQ(sql_get_desc_field_smallint(ird, 0, SQL_DESC_COUNT, &count, 0), SQL_SUCCESS);
  EXPECT_EQ(count, 2);
  char name[32] = {};
  int32_t block = sizeof name;
  int32_t len = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(sql_get_desc_field_string(ird, 1, SQL_DESC_NAME, &block, name, sizeof name, &len)));
  EXPECT_STREQ(name, "number_column");
  EXPECT_EQ(block, 14);
  // A buffer shorter than the text: exactly the buffer goes back.
  char small[4] = {};
  block = 3;
  sql_get_desc_field_string(ird, 1, SQL_DESC_NAME, &block, small, 3, &len);
  EXPECT_EQ(block, 3);
  EXPECT_EQ(len, 13);
  // A large claimed buffer on a tiny capacity stays inside the capacity.
  block = 2;
  sql_get_desc_field_string(ird, 1, SQL_DESC_NAME, &block, small, 1000, &len);
  EXPECT_LE(block, 2);
  SQLLEN octets = 0;
  ASSERT_EQ(sql_get_desc_field_integer(ird, 2, SQL_DESC_LENGTH, &octets, 0), SQL_SUCCESS);
  EXPECT_EQ(octets, 20);
  SQLLEN radix = 0;
  ASSERT_EQ(sql_get_desc_field_integer(ird, 1, SQL_DESC_NUM_PREC_RADIX, &radix, SQL_IS_INTEGER), SQL_SUCCESS);
  EXPECT_EQ(radix, 10);
  // Pointer fields never leave the server as values.
  EXPECT_EQ(sql_get_desc_field_integer(ird, 1, SQL_DESC_DATA_PTR, &octets, 0), SQL_ERROR);
  EXPECT_EQ(state(ird), "HY091");

  // The whole record at once.
  block = sizeof name;
  int16_t name_len = 0, type = 0, sub = 0, prec = 0, scale = 0, nullable = -1;
  SQLLEN length = 0;
  ASSERT_TRUE(SQL_SUCCEEDED(
      sql_get_desc_rec(ird, 1, &block, name, sizeof name, &name_len, &type, &sub, &length, &prec, &scale, &nullable)));
  EXPECT_STREQ(name, "number_column");
  EXPECT_EQ(name_len, 13);
  EXPECT_EQ(type, SQL_INTEGER);
  EXPECT_EQ(nullable, SQL_NULLABLE);
  EXPECT_EQ(
      sql_get_desc_rec(ird, 7, &block, name, sizeof name, &name_len, &type, &sub, &length, &prec, &scale, &nullable),
      SQL_NO_DATA);
  EXPECT_EQ(
      sql_get_desc_rec(ird, -1, &block, name, sizeof name, &name_len, &type, &sub, &length, &prec, &scale, &nullable),
      SQL_ERROR);
  SQLFreeStmt(stmt_->driver_stmt, SQL_CLOSE);

  // A whole record set at once on the row descriptor, then fetched into.
  descriptor_t* ard = stmt_->current_desc[DESC_ARD];
  ASSERT_TRUE(SQL_SUCCEEDED(sql_set_desc_rec(ard, 1, SQL_C_LONG, 0, 4, 0, 0, 1, 1, 1)));
  EXPECT_EQ(ard->records[1].octet_length_array, ard->records[1].indicator) << "equal flags share one array";
  EXPECT_NE(ard->records[1].octet_length_array, nullptr) << "a single row keeps its lengths too";
  run(stmt_, "SELECT n FROM dnum WHERE k = 3");
  ASSERT_EQ(SQLFetch(stmt_->driver_stmt), SQL_SUCCESS);
  EXPECT_EQ(*static_cast<int32_t*>(ard->records[1].data), 9);
  SQLFreeStmt(stmt_->driver_stmt, SQL_CLOSE);
}

// A copy of a bound row descriptor has arrays of its own: the source can be
// unbound and freed, and fetching through the copy writes only the copy's.
TEST_F(PgDesc, CopiedDescriptorOwnsItsArrays) {
  ASSERT_EQ(sql_bind_col(stmt_, 1, SQL_C_LONG, 1, 4, 1), SQL_SUCCESS);
  descriptor_t* ard = stmt_->current_desc[DESC_ARD];
  descriptor_t* copy = explicit_desc();
  ASSERT_EQ(sql_copy_desc(ard, copy), SQL_SUCCESS);
  ASSERT_GE(copy->alloc_records, 2);
  EXPECT_NE(copy->records[1].data, nullptr);
  EXPECT_NE(copy->records[1].data, ard->records[1].data);
  // The source's arrays go.
  ASSERT_EQ(sql_bind_col(stmt_, 1, SQL_C_LONG, 0, 0, 0), SQL_SUCCESS);
  statement_t* other = link_.stmt(dbc_);
  ASSERT_EQ(sql_set_stmt_attr_handle(other, SQL_ATTR_APP_ROW_DESC, copy, 0), SQL_SUCCESS);
  run(other, "SELECT n FROM dnum WHERE k = 1");
  ASSERT_EQ(SQLFetch(other->driver_stmt), SQL_SUCCESS);
  EXPECT_EQ(*static_cast<int32_t*>(copy->records[1].data), 7);
  SQLFreeStmt(other->driver_stmt, SQL_CLOSE);

  // Nothing is copied into a row descriptor of the implementation.
  EXPECT_EQ(sql_copy_desc(copy, stmt_->implicit_desc[DESC_IRD]), SQL_ERROR);
  EXPECT_EQ(state(stmt_->implicit_desc[DESC_IRD]), "HY016");

  // The array size of a descriptor no statement uses reaches its arrays.
  descriptor_t* spare = explicit_desc();
  ASSERT_EQ(sql_copy_desc(other->implicit_desc[DESC_ARD], spare), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_smallint(spare, 1, SQL_DESC_TYPE, SQL_C_LONG, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(spare, 1, SQL_DESC_DATA_PTR, 1, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_desc_field_integer(spare, 0, SQL_DESC_ARRAY_SIZE, 5, 0), SQL_SUCCESS);
  EXPECT_EQ(spare->array_size, 5u);
  EXPECT_GE(spare->records[1].data_alloc_len, 20u);
  SQLLEN size = 0;
  ASSERT_EQ(sql_get_desc_field_integer(spare, 0, SQL_DESC_ARRAY_SIZE, &size, 0), SQL_SUCCESS);
  EXPECT_EQ(size, 5);
}

}  // namespace
}  // namespace kytest
