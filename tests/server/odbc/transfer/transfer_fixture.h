// Helpers of the transfer tests: statements set up the way the attribute
// handlers leave them (array sizes, status and processed-count arrays
// registered with the driver), and row arrays (wvarray) built like a client's.
#pragma once

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "odbc_fixture.h"
#include "handlers.h"
#include "packing.h"
#include "record_lists.h"
#include "transfer_common.h"

namespace kytest {

// Element kinds of a row array (wvarray) as the client stubs send them.
constexpr int32_t kSqlulenArray = RPC_ARG_SQLULEN_ARRAY;
constexpr int32_t kSqllenArray = RPC_ARG_SQLLEN_ARRAY;
constexpr int32_t kBlock = RPC_ARG_DESC;
constexpr int32_t kInt16Array = RPC_ARG_INT16_ARRAY;
constexpr int32_t kInt32Array = RPC_ARG_INT32_ARRAY;
constexpr int32_t kDoubleArray = RPC_ARG_DOUBLE_ARRAY;

// Runs SQL on a driver statement of its own on the connection.
inline void exec_on(connection_t* dbc, const std::string& sql) {
  SQLHSTMT h = nullptr;
  ASSERT_TRUE(SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc->driver_dbc, &h)));
  SQLRETURN rc = SQLExecDirect(h, (SQLCHAR*)sql.c_str(), SQL_NTS);
  EXPECT_TRUE(SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) << sql;
  SQLFreeHandle(SQL_HANDLE_STMT, h);
}

inline descriptor_t* desc_of(statement_t* s, int slot) { return s->current_desc[slot]; }

// SQL_ATTR_ROW_ARRAY_SIZE with a row status array and a rows-fetched counter.
inline void set_rowset(statement_t* s, uint64_t n) {
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLSetStmtAttr(s->driver_stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(n), 0)));
  desc_of(s, DESC_ARD)->array_size = n;
  desc_of(s, DESC_IRD)->array_size = n;
  ASSERT_EQ(SQL_SUCCESS, resize_status_array(n, s, SQL_ATTR_ROW_STATUS_PTR, desc_of(s, DESC_IRD)));
  descriptor_t* ird = desc_of(s, DESC_IRD);
  if (ird->rows_processed == nullptr) {
    ird->rows_processed = static_cast<SQLULEN*>(calloc(1, sizeof(SQLULEN)));
    ASSERT_TRUE(SQL_SUCCEEDED(SQLSetStmtAttr(s->driver_stmt, SQL_ATTR_ROWS_FETCHED_PTR, ird->rows_processed, 0)));
  }
}

// SQL_ATTR_PARAMSET_SIZE with a parameter status array and a processed counter.
inline void set_paramset(statement_t* s, uint64_t n) {
  ASSERT_TRUE(
      SQL_SUCCEEDED(SQLSetStmtAttr(s->driver_stmt, SQL_ATTR_PARAMSET_SIZE, reinterpret_cast<SQLPOINTER>(n), 0)));
  desc_of(s, DESC_APD)->array_size = n;
  desc_of(s, DESC_IPD)->array_size = n;
  ASSERT_EQ(SQL_SUCCESS, resize_status_array(n, s, SQL_ATTR_PARAM_STATUS_PTR, desc_of(s, DESC_IPD)));
  descriptor_t* ipd = desc_of(s, DESC_IPD);
  if (ipd->rows_processed == nullptr) {
    ipd->rows_processed = static_cast<SQLULEN*>(calloc(1, sizeof(SQLULEN)));
    ASSERT_TRUE(SQL_SUCCEEDED(SQLSetStmtAttr(s->driver_stmt, SQL_ATTR_PARAMS_PROCESSED_PTR, ipd->rows_processed, 0)));
  }
}

// SQLSTATE/native of diagnostic n of a record's list, "none" when absent.
inline std::string diag(const diag_header* h, int n = 1) {
  const error_record* r = diag_record(h, n);
  if (r == nullptr) return "none";
  return std::string(r->sqlstate != nullptr ? r->sqlstate : "?") + "/" + std::to_string(r->native_error);
}

// The most recent diagnostic.
inline std::string last_diag(const diag_header* h) { return diag(h, h->record_count); }

// A row array as a client lays it out: every element owns a zero-filled buffer.
class RowArray {
 public:
  wvarray* add(size_t bytes, int32_t kind) {
    bufs_.emplace_back(bytes, 0);
    els_.push_back({bytes != 0 ? bufs_.back().data() : nullptr, static_cast<int32_t>(bytes), kind});
    return &els_.back();
  }
  wvarray* add(const void* data, size_t bytes, int32_t kind) {
    wvarray* e = add(bytes, kind);
    if (bytes != 0) std::memcpy(e->iovec_base, data, bytes);
    return e;
  }
  template <class T>
  wvarray* add_values(const std::vector<T>& v, int32_t kind) {
    return add(v.data(), v.size() * sizeof(T), kind);
  }
  // A parameter's octet-length and indicator arrays, holding the same values.
  void add_lengths(const std::vector<SQLLEN>& v) {
    add_values(v, kSqlulenArray);
    add_values(v, kSqllenArray);
  }
  // Doubles as the client sends them: number text in 40-byte slots.
  void add_reals(const std::vector<double>& values) {
    std::vector<char> text(40 * values.size(), '\0');
    for (size_t k = 0; k < values.size(); ++k) std::snprintf(text.data() + 40 * k, 40, "%30.15e", values[k]);
    add(text.data(), text.size(), kDoubleArray);
  }
  // Date and timestamp values in the field arrays the client packs them
  // into: years, then month/day pairs; quintuples, years, then fractions.
  template <size_t N>
  void add_dates(const SQL_DATE_STRUCT (&dates)[N]) {
    diag_header scratch{};
    int16_t* years = nullptr;
    int16_t* pairs = nullptr;
    int32_t yb = 0, pb = 0;
    ASSERT_EQ(0, pack_dates(&scratch, dates, sizeof dates, N, &years, &yb, &pairs, &pb, 0));
    add(years, static_cast<size_t>(yb), kInt16Array);
    add(pairs, static_cast<size_t>(pb), kInt16Array);
    free(years);
    free(pairs);
  }
  template <size_t N>
  void add_timestamps(const SQL_TIMESTAMP_STRUCT (&ts)[N]) {
    diag_header scratch{};
    int16_t* quint = nullptr;
    int16_t* years = nullptr;
    int32_t* fr = nullptr;
    int32_t qb = 0, yb = 0, fb = 0;
    ASSERT_EQ(0, pack_timestamps(&scratch, ts, sizeof ts, N, &quint, &qb, &years, &yb, &fr, &fb, 0));
    add(quint, static_cast<size_t>(qb), kInt16Array);
    add(years, static_cast<size_t>(yb), kInt16Array);
    add(fr, static_cast<size_t>(fb), kInt32Array);
    free(quint);
    free(years);
    free(fr);
  }
  wvarray* data() { return els_.data(); }
  int32_t count() const { return static_cast<int32_t>(els_.size()); }
  wvarray& operator[](size_t i) { return els_[i]; }
  template <class T>
  T at(size_t element, size_t index) const {
    T v;
    std::memcpy(&v, static_cast<const char*>(els_[element].iovec_base) + index * sizeof(T), sizeof(T));
    return v;
  }
  std::string text(size_t element, size_t offset) const {
    return std::string(static_cast<const char*>(els_[element].iovec_base) + offset);
  }

 private:
  std::vector<std::vector<char>> bufs_;
  std::vector<wvarray> els_;
};

// Runs a query through the driver and returns the first column of every row as text.
inline std::vector<std::string> column_texts(SQLHDBC dbc, const std::string& sql) {
  std::vector<std::string> out;
  SQLHSTMT h = nullptr;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &h))) return out;
  if (SQL_SUCCEEDED(SQLExecDirect(h, (SQLCHAR*)sql.c_str(), SQL_NTS))) {
    while (SQL_SUCCEEDED(SQLFetch(h))) {
      char buf[256] = {};
      SQLLEN ind = 0;
      SQLGetData(h, 1, SQL_C_CHAR, buf, sizeof buf, &ind);
      out.push_back(ind == SQL_NULL_DATA ? "NULL" : buf);
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, h);
  return out;
}

// A connected link with one statement, on a fresh table.
class TransferTest : public RecordsTest {
 protected:
  void SetUp() override {
    RecordsTest::SetUp();
    env_ = link_.env();
    dbc_ = link_.connected(env_);
    ASSERT_NE(nullptr, dbc_);
    stmt_ = link_.stmt(dbc_);
    ASSERT_NE(nullptr, stmt_);
  }
  void exec_sql(const std::string& sql) { exec_on(dbc_, sql); }
  // Executes a query on the statement and describes its result set.
  void query(const std::string& sql) {
    SQLRETURN rc = SQLExecDirect(stmt_->driver_stmt, (SQLCHAR*)sql.c_str(), SQL_NTS);
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << sql;
    stmt_->flags &= ~STMT_DESCRIBED;
    ASSERT_EQ(SQL_SUCCESS, veks_new_result_set(stmt_, rc));
  }
  descriptor_t* ard() { return desc_of(stmt_, DESC_ARD); }
  descriptor_t* apd() { return desc_of(stmt_, DESC_APD); }

  Link link_;
  environment_t* env_ = nullptr;
  connection_t* dbc_ = nullptr;
  statement_t* stmt_ = nullptr;
};

}  // namespace kytest
