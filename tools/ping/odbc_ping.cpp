// vekping's ODBC mode. See odbc_ping.h.
#include "odbc_ping.h"

#include <cstdio>
#include <new>
#include <string.h>

#include <sqlext.h>

#include "connection_string.h"

namespace vekping {

namespace {

constexpr SQLSMALLINT kOutConnectionSize = 256;
constexpr SQLSMALLINT kInfoSize = 100;

bool succeeded(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

void print_diag_records(SQLSMALLINT type, SQLHANDLE handle) {
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLCHAR message[256] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc =
        SQLGetDiagRec(type, handle, record, state, &native, message, static_cast<SQLSMALLINT>(sizeof message), &length);
    if (succeeded(rc))
      std::fprintf(stderr, "%s:%ld:%ld:%s\n", reinterpret_cast<const char*>(state), static_cast<long>(record),
                   static_cast<long>(native), reinterpret_cast<const char*>(message));
    if (rc != SQL_SUCCESS) break;
  }
}

void print_driver_info(SQLHDBC dbc) {
  static const struct {
    SQLUSMALLINT type;
    const char* label;
  } kFacts[] = {
      {SQL_DATABASE_NAME, "Connected to database: "},
      {SQL_DBMS_NAME, "DBMS Name: "},
      {SQL_DRIVER_NAME, "Driver Name: "},
      {SQL_DRIVER_VER, "Driver Version: "},
  };
  for (const auto& fact : kFacts) {
    char text[kInfoSize] = {};
    SQLSMALLINT length = 0;
    SQLRETURN rc = SQLGetInfo(dbc, fact.type, text, kInfoSize, &length);
    if (!succeeded(rc)) {
      std::fflush(stdout);
      print_diag_records(SQL_HANDLE_DBC, dbc);
      continue;
    }
    text[length >= 0 && length < kInfoSize ? length : kInfoSize - 1] = '\0';
    std::printf("%s %s\n", fact.label, text);
  }
}

}  // namespace

SQLRETURN odbc_ping(const std::string& connection, const std::optional<std::string>& user,
                    const std::optional<std::string>& password) {
  std::string in;
  try {
    in = build_connection_string(connection, user, password);
  } catch (const std::bad_alloc&) {
    std::fputs("Failed to allocate memory for in connection string\n", stderr);
    return SQL_ERROR;
  }
  std::printf("Using Connection string :\n%s\n", mask_passwords(in).c_str());
  std::fflush(stdout);

  SQLHENV env = SQL_NULL_HENV;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  if (!succeeded(rc)) {
    std::fputs("Failed to allocate environment handle\n", stderr);
    explicit_bzero(in.data(), in.size());
    return rc;
  }
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLHDBC dbc = SQL_NULL_HDBC;
  rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (!succeeded(rc)) {
    std::fputs("Failed to allocate connection handle\n", stderr);
    print_diag_records(SQL_HANDLE_ENV, env);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    explicit_bzero(in.data(), in.size());
    return rc;
  }
  SQLCHAR out[kOutConnectionSize] = {};
  SQLSMALLINT out_length = 0;
  rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(in.data()), SQL_NTS, out, kOutConnectionSize,
                        &out_length, SQL_DRIVER_COMPLETE);
  explicit_bzero(in.data(), in.size());
  if (succeeded(rc)) std::fputs("Connected OK\n\n", stdout);
  if (rc != SQL_SUCCESS) {
    std::fflush(stdout);
    print_diag_records(SQL_HANDLE_DBC, dbc);
  }
  if (!succeeded(rc)) {
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rc;
  }
  out[kOutConnectionSize - 1] = '\0';
  std::string shown = mask_passwords(reinterpret_cast<const char*>(out));
  explicit_bzero(out, sizeof out);
  std::printf("OutConnectionString:\n%s\n\n", shown.c_str());
  print_driver_info(dbc);
  std::fputs("Disconnecting\n", stdout);
  std::fflush(stdout);
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return SQL_SUCCESS;
}

}  // namespace vekping
