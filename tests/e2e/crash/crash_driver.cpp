// A target driver for crash tests only: the few ODBC entry points the unixODBC
// Driver Manager needs to connect and run a statement. SQLExecDirect (and
// SQLExecute of a prepared text) faults on purpose when the text asks for it:
//   "CRASH READ"   reads through a null pointer (SIGSEGV, read)
//   "CRASH WRITE"  writes through a null pointer (SIGSEGV, write)
//   "CRASH DIVIDE" divides an integer by zero (SIGFPE)
//   "CRASH BUS"    reads a mapped page past the end of its file (SIGBUS)
//   "CRASH ABORT"  calls abort(), as a failed assertion does (SIGABRT)
// Any other text succeeds without a result set. Built without sanitizers, so
// the faults are real processor faults and not sanitizer reports.
#include <sql.h>
#include <sqlext.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Handle {
  SQLSMALLINT type;
  char prepared[64];  // statement: the text of the last SQLPrepare
};

volatile int g_zero = 0;
int* volatile g_null = nullptr;

Handle* make(SQLSMALLINT type) {
  auto* h = static_cast<Handle*>(std::calloc(1, sizeof(Handle)));
  if (h) h->type = type;
  return h;
}

void copy_out(const char* text, SQLPOINTER out, SQLSMALLINT capacity, SQLSMALLINT* length) {
  SQLSMALLINT n = static_cast<SQLSMALLINT>(std::strlen(text));
  if (length) *length = n;
  if (out && capacity > 0) {
    SQLSMALLINT take = n < capacity ? n : static_cast<SQLSMALLINT>(capacity - 1);
    std::memcpy(out, text, static_cast<size_t>(take));
    static_cast<char*>(out)[take] = '\0';
  }
}

__attribute__((noinline)) int read_null() { return *g_null; }
__attribute__((noinline)) void write_null() { *g_null = 1; }
__attribute__((noinline)) int divide_by_zero() { return 100 / g_zero; }

__attribute__((noinline)) int read_past_end_of_file() {
  char name[] = "/tmp/kyvek-crash-XXXXXX";
  int fd = ::mkstemp(name);
  if (fd < 0) return -1;
  ::unlink(name);
  // The file is empty: the mapped page has no backing and its access faults.
  void* page = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
  ::close(fd);
  if (page == MAP_FAILED) return -1;
  return *static_cast<volatile int*>(page);
}

std::string statement_text(SQLCHAR* text, SQLINTEGER length) {
  if (text == nullptr) return std::string();
  if (length == SQL_NTS) return std::string(reinterpret_cast<char*>(text));
  return std::string(reinterpret_cast<char*>(text), length > 0 ? static_cast<size_t>(length) : 0);
}

// Runs a statement: faults when its text asks for it, else succeeds.
SQLRETURN run(const std::string& sql) {
  if (sql == "CRASH READ") return read_null() == 0 ? SQL_SUCCESS : SQL_ERROR;
  if (sql == "CRASH WRITE") write_null();
  if (sql == "CRASH DIVIDE") return divide_by_zero() == 0 ? SQL_SUCCESS : SQL_ERROR;
  if (sql == "CRASH BUS") return read_past_end_of_file() == 0 ? SQL_SUCCESS : SQL_ERROR;
  if (sql == "CRASH ABORT") std::abort();
  return SQL_SUCCESS;
}

}  // namespace

EXPORT SQLRETURN SQL_API SQLAllocHandle(SQLSMALLINT type, SQLHANDLE, SQLHANDLE* out) {
  if (!out) return SQL_ERROR;
  *out = make(type);
  return *out ? SQL_SUCCESS : SQL_ERROR;
}

EXPORT SQLRETURN SQL_API SQLFreeHandle(SQLSMALLINT, SQLHANDLE h) {
  std::free(h);
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLFreeStmt(SQLHSTMT, SQLUSMALLINT) { return SQL_SUCCESS; }

EXPORT SQLRETURN SQL_API SQLSetEnvAttr(SQLHENV, SQLINTEGER, SQLPOINTER, SQLINTEGER) { return SQL_SUCCESS; }

EXPORT SQLRETURN SQL_API SQLSetConnectAttr(SQLHDBC, SQLINTEGER, SQLPOINTER, SQLINTEGER) { return SQL_SUCCESS; }

EXPORT SQLRETURN SQL_API SQLGetConnectAttr(SQLHDBC, SQLINTEGER, SQLPOINTER value, SQLINTEGER, SQLINTEGER* length) {
  if (value) *static_cast<SQLUINTEGER*>(value) = 0;
  if (length) *length = sizeof(SQLUINTEGER);
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLSetStmtAttr(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER) { return SQL_SUCCESS; }

EXPORT SQLRETURN SQL_API SQLGetStmtAttr(SQLHSTMT, SQLINTEGER, SQLPOINTER value, SQLINTEGER, SQLINTEGER* length) {
  if (value) *static_cast<SQLULEN*>(value) = 0;
  if (length) *length = sizeof(SQLULEN);
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLConnect(SQLHDBC, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT, SQLCHAR*, SQLSMALLINT) {
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLDriverConnect(SQLHDBC, SQLHWND, SQLCHAR* in, SQLSMALLINT in_length, SQLCHAR* out,
                                          SQLSMALLINT capacity, SQLSMALLINT* length, SQLUSMALLINT) {
  std::string text =
      in ? (in_length == SQL_NTS ? std::string(reinterpret_cast<char*>(in))
                                 : std::string(reinterpret_cast<char*>(in), in_length > 0 ? in_length : 0))
         : std::string();
  copy_out(text.c_str(), out, capacity, length);
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLDisconnect(SQLHDBC) { return SQL_SUCCESS; }

EXPORT SQLRETURN SQL_API SQLGetInfo(SQLHDBC, SQLUSMALLINT type, SQLPOINTER value, SQLSMALLINT capacity,
                                    SQLSMALLINT* length) {
  switch (type) {
    case SQL_DRIVER_ODBC_VER: copy_out("03.00", value, capacity, length); return SQL_SUCCESS;
    case SQL_DRIVER_NAME: copy_out("libkyvekcrashdrv.so", value, capacity, length); return SQL_SUCCESS;
    case SQL_DBMS_NAME: copy_out("Crash", value, capacity, length); return SQL_SUCCESS;
    case SQL_DBMS_VER: copy_out("01.00.0000", value, capacity, length); return SQL_SUCCESS;
    default:
      // Numeric answers are 0; a text answer is empty.
      if (value && capacity >= 4) std::memset(value, 0, capacity < 8 ? 4 : 8);
      if (length) *length = capacity < 8 ? 4 : 8;
      return SQL_SUCCESS;
  }
}

EXPORT SQLRETURN SQL_API SQLGetDiagRec(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLCHAR*, SQLINTEGER*, SQLCHAR*,
                                       SQLSMALLINT, SQLSMALLINT*) {
  return SQL_NO_DATA;
}

EXPORT SQLRETURN SQL_API SQLGetDiagField(SQLSMALLINT, SQLHANDLE, SQLSMALLINT, SQLSMALLINT, SQLPOINTER, SQLSMALLINT,
                                         SQLSMALLINT*) {
  return SQL_NO_DATA;
}

EXPORT SQLRETURN SQL_API SQLExecDirect(SQLHSTMT, SQLCHAR* text, SQLINTEGER length) {
  return run(statement_text(text, length));
}

EXPORT SQLRETURN SQL_API SQLPrepare(SQLHSTMT h, SQLCHAR* text, SQLINTEGER length) {
  std::string sql = statement_text(text, length);
  auto* stmt = static_cast<Handle*>(h);
  size_t n = sql.size() < sizeof stmt->prepared - 1 ? sql.size() : sizeof stmt->prepared - 1;
  std::memcpy(stmt->prepared, sql.data(), n);
  stmt->prepared[n] = '\0';
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLExecute(SQLHSTMT h) { return run(static_cast<Handle*>(h)->prepared); }

EXPORT SQLRETURN SQL_API SQLNumResultCols(SQLHSTMT, SQLSMALLINT* count) {
  if (count) *count = 0;
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLRowCount(SQLHSTMT, SQLLEN* count) {
  if (count) *count = 0;
  return SQL_SUCCESS;
}

EXPORT SQLRETURN SQL_API SQLMoreResults(SQLHSTMT) { return SQL_NO_DATA; }

EXPORT SQLRETURN SQL_API SQLFetch(SQLHSTMT) { return SQL_NO_DATA; }

EXPORT SQLRETURN SQL_API SQLCloseCursor(SQLHSTMT) { return SQL_SUCCESS; }

EXPORT SQLRETURN SQL_API SQLEndTran(SQLSMALLINT, SQLHANDLE, SQLSMALLINT) { return SQL_SUCCESS; }
