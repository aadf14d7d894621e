// Statement handlers: execution, description, fetching, data retrieval,
// extended fetch, attributes and diagnostics numbered across server and driver.
#include <thread>
#include <sys/stat.h>
#include "logon/logon.h"
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "sql_log.h"
#include "handler_fixture.h"

namespace kytest {
namespace {

using Statements = HandlersTest;

class Table : public HandlersTest {
 protected:
  void SetUp() override {
    HandlersTest::SetUp();
    dbc_ = link_.connected();
    stmt_ = link_.stmt(dbc_);
    ASSERT_EQ(exec_direct(stmt_, "DROP TABLE IF EXISTS people"), SQL_SUCCESS);
    ASSERT_EQ(exec_direct(stmt_, "CREATE TABLE people (id INTEGER, name VARCHAR(20))"), SQL_SUCCESS);
    for (const char* row : {"(1,'alpha')", "(2,'bravo')", "(3,NULL)"}) {
      ASSERT_EQ(exec_direct(stmt_, std::string("INSERT INTO people VALUES ") + row), SQL_SUCCESS);
    }
  }
  RpcLink link_;
  void* dbc_ = nullptr;
  void* stmt_ = nullptr;
};

TEST_F(Table, ExecDirectWithAndWithoutTerminator) {
  const std::string sql = "SELECT name FROM people WHERE id = 2";
  // Sent without its NUL: the whole block is the text.
  ASSERT_EQ(sql_exec_direct(stmt_, static_cast<int32_t>(sql.size()), const_cast<char*>(sql.data())), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(sql_fetch(stmt_), SQL_NO_DATA);
  ASSERT_EQ(sql_free_stmt(stmt_, SQL_CLOSE), SQL_SUCCESS);
  ASSERT_EQ(exec_direct(stmt_, sql), SQL_SUCCESS);  // with the NUL
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  int16_t cols = 0;
  EXPECT_EQ(sql_num_result_cols(stmt_, &cols), SQL_SUCCESS);
  EXPECT_EQ(cols, 1);
  char name[32];
  int32_t block = sizeof(name);
  int16_t name_len = 0, type = 0, digits = 0, nullable = 0;
  SQLULEN size = 0;
  ASSERT_EQ(sql_describe_col(stmt_, 1, &block, name, sizeof(name), &name_len, &type, &size, &digits, &nullable),
            SQL_SUCCESS);
  EXPECT_EQ(block, 5);
  EXPECT_STREQ(name, "name");
  EXPECT_EQ(type, SQL_VARCHAR);
  EXPECT_EQ(size, 20u);
}

TEST_F(Table, PreparedOnceExecutedTwiceDescribedOnce) {
  const std::string sql = "SELECT id, name FROM people ORDER BY id";
  std::vector<char> block(sql.begin(), sql.end());
  block.push_back('\0');
  ASSERT_EQ(sql_prepare(stmt_, static_cast<int32_t>(block.size()), block.data(), SQL_NTS), SQL_SUCCESS);
  auto* s = static_cast<statement_t*>(stmt_);
  EXPECT_FALSE(s->flags & STMT_DESCRIBED);
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(sql_execute(stmt_), SQL_SUCCESS);
    EXPECT_TRUE(s->flags & STMT_DESCRIBED);
    EXPECT_STREQ(s->implicit_desc[DESC_IRD]->records[2].name, run == 0 ? "name" : "kept");
    strcpy(s->implicit_desc[DESC_IRD]->records[2].name, "kept");  // a second description would overwrite it
    int rows = 0;
    while (sql_fetch(stmt_) == SQL_SUCCESS) ++rows;
    EXPECT_EQ(rows, 3);
    ASSERT_EQ(sql_close_cursor(stmt_), SQL_SUCCESS);
  }
  SQLLEN count = -1;
  ASSERT_EQ(exec_direct(stmt_, "UPDATE people SET name = 'x' WHERE id > 1"), SQL_SUCCESS);
  EXPECT_EQ(sql_row_count(stmt_, &count), SQL_SUCCESS);
  EXPECT_EQ(count, 2);
}

TEST_F(Table, GetDataBlockLengths) {
  ASSERT_EQ(exec_direct(stmt_, "SELECT name, id FROM people ORDER BY id"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  // 5 characters into 3 bytes: block 3, indicator 5, then the rest.
  char buf[64] = {0};
  int32_t block = 3;
  SQLLEN ind = 0;
  EXPECT_EQ(sql_get_data(stmt_, 1, SQL_C_CHAR, &block, buf, 3, &ind), SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(block, 3);
  EXPECT_EQ(ind, 5);
  EXPECT_STREQ(buf, "al");
  block = sizeof(buf);
  EXPECT_EQ(sql_get_data(stmt_, 1, SQL_C_CHAR, &block, buf, sizeof(buf), &ind), SQL_SUCCESS);
  EXPECT_EQ(block, 4);
  EXPECT_STREQ(buf, "pha");
  // A fixed type travels at its size whatever the indicator says.
  int32_t id[4] = {0, 0, 0, 0};
  block = sizeof(id);
  EXPECT_EQ(sql_get_data(stmt_, 2, SQL_C_LONG, &block, reinterpret_cast<char*>(id), sizeof(id), &ind), SQL_SUCCESS);
  EXPECT_EQ(block, 4);
  EXPECT_EQ(id[0], 1);
  sql_free_stmt(stmt_, SQL_CLOSE);

  // Wide text is measured in 16-bit units: "alpha" is 10 bytes and a terminator.
  ASSERT_EQ(exec_direct(stmt_, "SELECT name FROM people WHERE id = 1"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  char wide[64];
  memset(wide, 0x55, sizeof(wide));
  block = sizeof(wide);
  ASSERT_EQ(sql_get_data(stmt_, 1, SQL_C_WCHAR, &block, wide, sizeof(wide), &ind), SQL_SUCCESS);
  EXPECT_EQ(ind, 10);
  EXPECT_EQ(block, 12);
  EXPECT_EQ(wide[2], 'l');
  sql_free_stmt(stmt_, SQL_CLOSE);

  // NULL: block 0, indicator SQL_NULL_DATA.
  ASSERT_EQ(exec_direct(stmt_, "SELECT name FROM people WHERE id = 3"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  block = sizeof(buf);
  EXPECT_EQ(sql_get_data(stmt_, 1, SQL_C_CHAR, &block, buf, sizeof(buf), &ind), SQL_SUCCESS);
  EXPECT_EQ(ind, SQL_NULL_DATA);
  EXPECT_EQ(block, 0);
}

// The out buffer comes unzeroed from the RPC layer (0x55 here stands for
// stale heap): each byte that goes back is one the driver wrote or a zero (a
// binary value's extra byte, the odd last byte of cut wide text).
TEST_F(Table, GetDataSendsOnlyBytesTheDriverWroteOrZeroes) {
  struct Case {
    int16_t type;
    int32_t length;
    SQLLEN ind;
    int32_t block;
    int32_t written;  // bytes the driver wrote, the rest of the block zeroes
  } cases[] = {
      {SQL_C_CHAR, 64, 5, 6, 6},
      {SQL_C_BINARY, 64, 5, 6, 5},
      {SQL_C_WCHAR, 64, 10, 12, 12},
      {SQL_C_WCHAR, 7, 10, 7, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type * 1000 + c.length);
    ASSERT_EQ(exec_direct(stmt_, "SELECT name FROM people WHERE id = 1"), SQL_SUCCESS);
    ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
    char buf[80];
    memset(buf, 0x55, sizeof buf);
    int32_t block = c.length;
    SQLLEN ind = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(sql_get_data(stmt_, 1, c.type, &block, buf, static_cast<SQLULEN>(c.length), &ind)));
    EXPECT_EQ(ind, c.ind);
    ASSERT_EQ(block, c.block);
    EXPECT_NE(buf[0], 0x55);
    for (int32_t i = c.written; i < c.block; ++i) EXPECT_EQ(buf[i], 0) << i;
    sql_free_stmt(stmt_, SQL_CLOSE);
  }
  // A fixed-size value goes back whole, its bytes the driver's or zeroes.
  ASSERT_EQ(exec_direct(stmt_, "SELECT id FROM people WHERE id = 2"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  char buf[80];
  memset(buf, 0x55, sizeof buf);
  int32_t block = sizeof buf;
  SQLLEN ind = 0;
  ASSERT_EQ(sql_get_data(stmt_, 1, SQL_C_DEFAULT, &block, buf, sizeof buf, &ind), SQL_SUCCESS);
  ASSERT_GT(block, 0);
  for (int32_t i = 0; i < block; ++i) EXPECT_NE(buf[i], 0x55) << i;
}

TEST_F(Table, ExtendedFetchRowsetOfTwo) {
  ASSERT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ROWSET_SIZE, 2, 0), SQL_SUCCESS);
  ASSERT_EQ(exec_direct(stmt_, "SELECT id FROM people ORDER BY id"), SQL_SUCCESS);
  SQLULEN rows = 0;
  int16_t status[2] = {-1, -1};
  int32_t len = 2;  // one row's worth: refused
  EXPECT_EQ(sql_extended_fetch(stmt_, SQL_FETCH_NEXT, 0, &rows, &len, status), SQL_ERROR);
  int32_t native = 0;
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt_, 1, &native), "HY000");
  EXPECT_EQ(native, 19);
  len = 4;
  ASSERT_EQ(sql_extended_fetch(stmt_, SQL_FETCH_NEXT, 0, &rows, &len, status), SQL_SUCCESS);
  EXPECT_EQ(rows, 2u);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(status[0], SQL_ROW_SUCCESS);
  EXPECT_EQ(status[1], SQL_ROW_SUCCESS);
  len = 0;  // no status wanted
  ASSERT_EQ(sql_extended_fetch(stmt_, SQL_FETCH_NEXT, 0, &rows, &len, nullptr), SQL_SUCCESS);
  EXPECT_EQ(rows, 1u);
  EXPECT_EQ(len, 0);
  len = 4;
  EXPECT_EQ(sql_extended_fetch(stmt_, 7, 0, &rows, &len, status), SQL_ERROR);
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt_, 1), "HY106");
}

TEST_F(Table, DiagnosticsNumberServerRecordsFirst) {
  EXPECT_EQ(exec_direct(stmt_, "SELEC nonsense"), SQL_ERROR);
  auto* s = static_cast<statement_t*>(stmt_);
  veks_post(&s->diags, static_cast<connection_t*>(dbc_), "HY000", 77, "General error: %s", "server side");
  set_return_code(&s->diags, SQL_ERROR);

  int32_t native = 0;
  std::string msg;
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt_, 1, &native, &msg), "HY000");
  EXPECT_EQ(native, 77);
  EXPECT_EQ(msg, "[Kyronde ODBC (Server)]General error: server side");
  std::string driver_state = diag_state(SQL_HANDLE_STMT, stmt_, 2, &native, &msg);
  EXPECT_EQ(driver_state.size(), 5u) << driver_state;
  EXPECT_NE(msg.find("syntax"), std::string::npos) << msg;
  EXPECT_EQ(diag_state(SQL_HANDLE_STMT, stmt_, 3), "rc=100");

  int32_t number = 0;
  EXPECT_EQ(sql_get_diag_field_integer(SQL_HANDLE_STMT, stmt_, 0, SQL_DIAG_NUMBER, &number), SQL_SUCCESS);
  EXPECT_EQ(number, 2);
  int16_t rc_value = 0;
  EXPECT_EQ(sql_get_diag_field_smallint(SQL_HANDLE_STMT, stmt_, 0, SQL_DIAG_RETURNCODE, &rc_value), SQL_SUCCESS);
  EXPECT_EQ(rc_value, SQL_ERROR);
  EXPECT_EQ(sql_get_diag_field_integer(SQL_HANDLE_STMT, stmt_, 1, SQL_DIAG_NATIVE, &number), SQL_SUCCESS);
  EXPECT_EQ(number, 77);
  EXPECT_EQ(sql_get_diag_field_integer(SQL_HANDLE_DBC, dbc_, 0, SQL_DIAG_ROW_COUNT, &number), SQL_ERROR);

  // A message longer than the buffer: cut, 1, the full length reported.
  char small[10];
  int32_t block = sizeof(small);
  int16_t text_len = 0;
  char state[6];
  EXPECT_EQ(sql_get_diag_rec(SQL_HANDLE_STMT, stmt_, 1, state, &native, &block, small, sizeof(small), &text_len),
            SQL_SUCCESS_WITH_INFO);
  EXPECT_EQ(block, 10);
  EXPECT_EQ(std::string(small), "[Kyronde ");
  EXPECT_EQ(text_len, static_cast<int16_t>(strlen("[Kyronde ODBC (Server)]General error: server side")));
  // String fields of a server record.
  char field[64];
  block = sizeof(field);
  int16_t field_len = 0;
  EXPECT_EQ(sql_get_diag_field_string(SQL_HANDLE_STMT, stmt_, 1, SQL_DIAG_CLASS_ORIGIN, &block, field, sizeof(field),
                                      &field_len),
            SQL_SUCCESS);
  EXPECT_STREQ(field, "ISO 9075");
  EXPECT_EQ(block, 9);
  block = sizeof(field);
  EXPECT_EQ(sql_get_diag_field_string(SQL_HANDLE_STMT, stmt_, 1, SQL_DIAG_SERVER_NAME, &block, field, sizeof(field),
                                      &field_len),
            SQL_SUCCESS);
  EXPECT_STREQ(field, "testdsn");
}

TEST_F(Table, ArrayInsertRowCountIsWide) {
  // An array of 3 parameter rows bound on the driver: the row count comes back whole.
  ASSERT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_PARAMSET_SIZE, 3, 0), SQL_SUCCESS);
  auto* s = static_cast<statement_t*>(stmt_);
  EXPECT_EQ(s->current_desc[DESC_APD]->array_size, 3u);
  SQLINTEGER ids[3] = {10, 11, 12};
  ASSERT_TRUE(SQL_SUCCEEDED(
      SQLBindParameter(s->driver_stmt, 1, SQL_PARAM_INPUT, SQL_C_LONG, SQL_INTEGER, 0, 0, ids, 0, nullptr)));
  ASSERT_EQ(exec_direct(stmt_, "INSERT INTO people (id) VALUES (?)"), SQL_SUCCESS);
  SQLLEN count = 0;
  EXPECT_EQ(sql_row_count(stmt_, &count), SQL_SUCCESS);
  EXPECT_EQ(count, 3);
  int32_t diag_count = 0;
  EXPECT_EQ(sql_get_diag_field_integer(SQL_HANDLE_STMT, stmt_, 0, SQL_DIAG_ROW_COUNT, &diag_count), SQL_SUCCESS);
  EXPECT_EQ(diag_count, 3);
}

TEST_F(Table, StatementAttributes) {
  auto* s = static_cast<statement_t*>(stmt_);
  // Row-wise binding stays the client's business.
  EXPECT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_ROW_BIND_TYPE, 40, 0), SQL_SUCCESS);
  SQLLEN v = -1;
  EXPECT_EQ(sql_get_stmt_attr_integer(stmt_, SQL_ATTR_ROW_BIND_TYPE, &v), SQL_SUCCESS);
  EXPECT_EQ(v, 0);
  ASSERT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_ROWS_FETCHED_PTR, 1, 0), SQL_SUCCESS);
  ASSERT_NE(s->implicit_desc[DESC_IRD]->rows_processed, nullptr);
  ASSERT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_ROW_ARRAY_SIZE, 3, 0), SQL_SUCCESS);
  ASSERT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_ROW_STATUS_PTR, 1, 0), SQL_SUCCESS);
  ASSERT_EQ(exec_direct(stmt_, "SELECT id FROM people"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  EXPECT_EQ(*s->implicit_desc[DESC_IRD]->rows_processed, 3u);
  EXPECT_EQ(s->implicit_desc[DESC_IRD]->status_count, 3u);
  EXPECT_EQ(sql_get_stmt_attr_integer(stmt_, SQL_ATTR_ROWS_FETCHED_PTR, &v), SQL_SUCCESS);
  EXPECT_EQ(v, 1);  // set, without showing a server address
  ASSERT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_ROWS_FETCHED_PTR, 0, 0), SQL_SUCCESS);
  EXPECT_EQ(s->implicit_desc[DESC_IRD]->rows_processed, nullptr);
  EXPECT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_ROW_NUMBER, 1, 0), SQL_ERROR);
  EXPECT_EQ(sql_set_stmt_attr_integer(stmt_, SQL_ATTR_FETCH_BOOKMARK_PTR, 1, 0), SQL_ERROR);  // no bookmark size
  void* ard = nullptr;
  EXPECT_EQ(sql_get_stmt_attr_handle(stmt_, SQL_ATTR_APP_ROW_DESC, &ard), SQL_SUCCESS);
  EXPECT_EQ(ard, s->implicit_desc[DESC_ARD]);
  EXPECT_EQ(veks_chk_handle(VEKS_DESC, ard), 0);
  // Another statement's implicit ARD is refused before the driver hears of it.
  void* other = link_.stmt(dbc_);
  void* other_ard = nullptr;
  sql_get_stmt_attr_handle(other, SQL_ATTR_APP_ROW_DESC, &other_ard);
  EXPECT_EQ(sql_set_stmt_attr_handle(stmt_, SQL_ATTR_APP_ROW_DESC, other_ard, 0), SQL_ERROR);
  EXPECT_EQ(s->current_desc[DESC_ARD], ard);
}

TEST_F(Table, FreeStatementOptions) {
  auto* s = static_cast<statement_t*>(stmt_);
  descriptor_t* ard = s->implicit_desc[DESC_ARD];
  ASSERT_NE(veks_expand_desc_recs(ard, 1), nullptr);
  ard->records[0].data = calloc(1, 8);  // the bookmark column
  ard->records[1].octet_length_array = static_cast<SQLLEN*>(calloc(1, sizeof(SQLLEN)));
  ard->record_count = 1;
  EXPECT_EQ(sql_free_stmt(stmt_, SQL_UNBIND), SQL_SUCCESS);
  EXPECT_EQ(ard->records[0].data, nullptr);
  EXPECT_EQ(ard->records[1].octet_length_array, nullptr);
  EXPECT_EQ(ard->record_count, 0);
  veks_expand_desc_recs(s->implicit_desc[DESC_APD], 2);
  EXPECT_EQ(sql_free_stmt(stmt_, SQL_RESET_PARAMS), SQL_SUCCESS);
  EXPECT_EQ(s->implicit_desc[DESC_APD]->alloc_records, 0);
  EXPECT_EQ(sql_free_stmt(stmt_, SQL_DROP), SQL_SUCCESS);
  EXPECT_EQ(sql_fetch(stmt_), SQL_INVALID_HANDLE);
}

}  // namespace
}  // namespace kytest

namespace kytest {
namespace {

std::string read_log() {
  std::ifstream f(OdbcDir::get().path() + "/vek_sql.log");
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST_F(Table, FailingStatementsReachTheSqlErrorLog) {
  // As after a log rotation: the file is renamed away and the log reopened.
  std::remove((OdbcDir::get().path() + "/vek_sql.log").c_str());
  sql_log_close();
  OdbcDir::get().set_flags(0x8000 | VEKS_FLAG_LOG_FAILING_SQL);
  // A prepared UPDATE that changes nothing: "<NULL EFFECT>", then the next
  // diagnostic read is logged once.
  const std::string update = "UPDATE people SET name = 'z' WHERE id = 99";
  std::vector<char> block(update.begin(), update.end());
  block.push_back('\0');
  ASSERT_EQ(sql_prepare(stmt_, static_cast<int32_t>(block.size()), block.data(), SQL_NTS), SQL_SUCCESS);
  EXPECT_EQ(sql_execute(stmt_), SQL_NO_DATA);
  std::string log = read_log();
  EXPECT_NE(log.find("\"testdsn\" <NULL EFFECT> " + update + "\r\n"), std::string::npos) << log;
  EXPECT_EQ(exec_direct(stmt_, "SELEC broken"), SQL_ERROR);
  diag_state(SQL_HANDLE_STMT, stmt_, 1);
  diag_state(SQL_HANDLE_STMT, stmt_, 1);
  log = read_log();
  EXPECT_NE(log.find("\"testdsn\" SELEC broken\r\n"), std::string::npos) << log;
  size_t first = log.find("SQLState=\"");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("SQLState=\"", first + 1), std::string::npos) << log;  // only the first read
  EXPECT_NE(log.find("syntax error"), std::string::npos) << log;
}

TEST_F(Table, DataAtExecutionNamesTheParameter) {
  ASSERT_EQ(sql_bind_parameter(stmt_, 1, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR, 1, 20, 0, 20, 1), SQL_SUCCESS);
  auto* s = static_cast<statement_t*>(stmt_);
  descriptor_record_t& rec = s->current_desc[DESC_APD]->records[1];
  ASSERT_NE(rec.octet_length_array, nullptr);
  rec.octet_length_array[0] = SQL_DATA_AT_EXEC;  // what the client's length array says
  ASSERT_EQ(exec_direct(stmt_, "INSERT INTO people (id, name) VALUES (9, ?)"), SQL_NEED_DATA);
  int16_t number = 0;
  ASSERT_EQ(sql_param_data(stmt_, &number), SQL_NEED_DATA);
  EXPECT_EQ(number, 1);
  char bare[] = {'d', 'e', 'l', 't', 'a'};
  EXPECT_EQ(sql_put_data(stmt_, sizeof(bare), bare, 6), SQL_ERROR);        // longer than the block
  EXPECT_EQ(sql_put_data(stmt_, sizeof(bare), bare, SQL_NTS), SQL_ERROR);  // no NUL inside
  // (The SQLite driver measures character pieces with strlen, so the piece
  // travels with its terminator.)
  char piece[] = "delta";
  ASSERT_EQ(sql_put_data(stmt_, sizeof(piece), piece, SQL_NTS), SQL_SUCCESS);
  EXPECT_EQ(sql_param_data(stmt_, &number), SQL_SUCCESS);
  ASSERT_EQ(exec_direct(stmt_, "SELECT name FROM people WHERE id = 9"), SQL_SUCCESS);
  ASSERT_EQ(sql_fetch(stmt_), SQL_SUCCESS);
  char name[16] = {0};
  int32_t block = sizeof(name);
  SQLLEN ind = 0;
  ASSERT_EQ(sql_get_data(stmt_, 1, SQL_C_CHAR, &block, name, sizeof(name), &ind), SQL_SUCCESS);
  EXPECT_STREQ(name, "delta");
}

TEST_F(Table, CancelClearsEarlierDiagnostics) {
  EXPECT_EQ(exec_direct(stmt_, "SELEC x"), SQL_ERROR);
  auto* s = static_cast<statement_t*>(stmt_);
  veks_post(&s->diags, nullptr, "HY000", 1, "x");
  EXPECT_TRUE(SQL_SUCCEEDED(sql_cancel(stmt_)));
  EXPECT_EQ(s->diags.record_count, 0);
  EXPECT_EQ(sql_cancel(dbc_), SQL_INVALID_HANDLE);
}

}  // namespace
TEST(SqlLog, OpenedByTheServerTakesLinesOfEveryUser) {
  if (!ky_logon_can_impersonate()) GTEST_SKIP() << "needs root";
  const std::string path = OdbcDir::get().path() + "/vek_sql.log";
  std::remove(path.c_str());
  sql_log_close();
  sql_log_open();  // as the server's own user, before any impersonation
  for (const char* user : {"nobody", "daemon"}) {
    std::thread([&] {
      ASSERT_EQ(ky_logon_impersonate(user), KY_IMPERSONATE_DONE);
      std::string text = std::string("line of ") + user;
      log_failing_sql(nullptr, 0, text.data(), text.size());
      ky_logon_revert();
    }).join();
  }
  sql_log_close();
  std::string log = read_log();
  EXPECT_NE(log.find("line of nobody\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("line of daemon\r\n"), std::string::npos) << log;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
}

}  // namespace kytest
