// ODBC workloads that write a transcript of everything the application sees
// (return codes, SQLSTATEs, values, lengths, row counts and statuses), so
// that a run straight on the target data source and a run through the bridge
// can be compared text for text.
#ifndef KYVEK_TESTS_E2E_STATEMENTS_ODBC_COMPARE_H
#define KYVEK_TESTS_E2E_STATEMENTS_ODBC_COMPARE_H

#include <sql.h>
#include <sqlext.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace kyvek::e2e {

// Column types and functions that differ between the target databases.
struct Dialect {
  std::string dbl, blob;
  std::function<std::string(const std::string&)> hex;
};
Dialect sqlite_dialect();
Dialect postgres_dialect();
const Dialect& dialect();
void set_dialect(const Dialect& d);

class Conn {
 public:
  // odbc_version: SQL_OV_ODBC3 or SQL_OV_ODBC2.
  explicit Conn(const std::string& connect, long odbc_version = SQL_OV_ODBC3);
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  // The connect's outcome ("rc=<n>[ <SQLSTATE>...]").
  const std::string& connected() const { return connected_; }
  SQLHDBC dbc() const { return dbc_; }
  // A new statement handle (freed by the caller with SQLFreeHandle).
  SQLHSTMT stmt();
  // Runs a statement on a fresh handle; its return code.
  SQLRETURN exec(const std::string& sql);

 private:
  SQLHENV env_ = nullptr;
  SQLHDBC dbc_ = nullptr;
  bool ok_ = false;
  std::string error_, connected_;
};

// "rc=<n>[ <SQLSTATE>...]" for a handle after a call.
std::string outcome(SQLRETURN rc, SQLSMALLINT type, SQLHANDLE h);

// One statement handle, freed at the end.
struct Stmt {
  SQLHSTMT h;
  explicit Stmt(Conn& c) : h(c.stmt()) {}
  ~Stmt() {
    if (h) SQLFreeHandle(SQL_HANDLE_STMT, h);
  }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  // Runs sql on this handle; its outcome.
  std::string run(const std::string& sql) {
    return outcome(SQLExecDirect(h, (SQLCHAR*)sql.c_str(), SQL_NTS), SQL_HANDLE_STMT, h);
  }
};

// Runs a transcript straight on the data source and through the bridge (the
// connection strings given); both must agree. KYVEK_SHOW_TRANSCRIPTS prints it.
template <class F>
void compare_direct_and_bridge(const std::string& direct, const std::string& bridge, F&& workload,
                               const std::string& prefix) {
  std::string a, b;
  {
    Conn c(direct);
    ASSERT_TRUE(c.ok()) << c.error();
    a = workload(c, prefix);
  }
  {
    Conn c(bridge);
    ASSERT_TRUE(c.ok()) << c.error();
    b = workload(c, prefix);
  }
  EXPECT_EQ(a, b);
  if (std::getenv("KYVEK_SHOW_TRANSCRIPTS")) std::fprintf(stderr, "%s\n", a.c_str());
}

// Lower-case hexadecimal of n bytes.
std::string hex(const void* p, size_t n);

// The transcripts. Each creates its own tables named with the prefix.
std::string bound_fetch_transcript(Conn& c, const std::string& prefix);
// row_wise_params: insert parameter arrays bound row-wise (else column-wise).
std::string param_array_transcript(Conn& c, const std::string& prefix, bool row_wise_params);
// pieces: how many SQLPutData calls each long value takes.
std::string data_at_exec_transcript(Conn& c, const std::string& prefix, int pieces);
std::string c_types_transcript(Conn& c, const std::string& prefix);
std::string prepared_transcript(Conn& c, const std::string& prefix);
std::string transaction_transcript(Conn& c, const std::string& prefix);
// Errors and checks made before anything reaches a server.
std::string errors_transcript(Conn& c, const std::string& prefix);

// SQLExtendedFetch with an ODBC 2 rowset size (an ODBC 2 application).
std::string extended_fetch_transcript(Conn& c, const std::string& prefix);

// All rows of a query, every column as text through SQLGetData(SQL_C_CHAR).
std::string rows_as_text(Conn& c, const std::string& sql);

}  // namespace kyvek::e2e

#endif
