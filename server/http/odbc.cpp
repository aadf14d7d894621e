// Data-source enumeration and page connections on the Driver Manager.
#include "http_odbc.h"

#include <cstring>

namespace kyvek::http {

std::string odbc_brace(std::string_view value) {
  std::string out = "{";
  for (char c : value) {
    out.push_back(c);
    if (c == '}') out.push_back('}');
  }
  out.push_back('}');
  return out;
}

std::vector<std::pair<std::string, std::string>> veks_system_data_sources() {
  std::vector<std::pair<std::string, std::string>> out;
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return out;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLUSMALLINT direction = SQL_FETCH_FIRST_SYSTEM;
  for (;;) {
    SQLCHAR dsn[512] = "";
    SQLCHAR desc[512] = "";
    SQLSMALLINT dsn_len = 0, desc_len = 0;
    SQLRETURN rc = SQLDataSources(env, direction, dsn, sizeof dsn, &dsn_len, desc, sizeof desc, &desc_len);
    if (!SQL_SUCCEEDED(rc)) break;
    direction = SQL_FETCH_NEXT;
    out.push_back({reinterpret_cast<char*>(dsn), reinterpret_cast<char*>(desc)});
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return out;
}

bool veks_is_system_dsn(const std::string& name) {
  if (name.empty()) return false;
  for (const auto& [dsn, desc] : veks_system_data_sources())
    if (dsn == name) return true;
  return false;
}

void veks_odbc_diag_text(SQLSMALLINT type, SQLHANDLE handle, const char* heading, http_request& r, char* out,
                         size_t* length) {
  if (heading) append_outputf(r, out, length, "<p>%s\r\n", heading);
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR sqlstate[6] = "";
    SQLINTEGER native = 0;
    SQLCHAR message[256] = "";
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, sqlstate, &native, message, sizeof message, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    std::string line = format_text("<p>%s:%d:%ld:%s\r\n", sqlstate, i, static_cast<long>(native),
                                   html_escape(reinterpret_cast<char*>(message)).c_str());
    append_output(r, out, length, line);
    http_trace("%s", line.c_str());
    if (rc != SQL_SUCCESS) break;
  }
}

void veks_odbc_release(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt) {
  if (stmt != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  if (dbc != SQL_NULL_HDBC) {
    SQLDisconnect(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
}

int veks_odbc_connect(SQLHENV* env_out, SQLHDBC* dbc_out, const std::string& connection, int options, http_request& r,
                      char* out, size_t* length) {
  http_trace("veks_odbc_connect()\n");  // the string holds a password: never traced
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  if (!SQL_SUCCEEDED(rc)) {
    append_output(r, out, length, "<p>Allocating Env\r\n");
    return rc;
  }
  rc = SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!SQL_SUCCEEDED(rc)) veks_odbc_diag_text(SQL_HANDLE_ENV, env, "Setting ODBC version", r, out, length);
  rc = SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  if (!SQL_SUCCEEDED(rc)) {
    veks_odbc_diag_text(SQL_HANDLE_ENV, env, "Allocating DBC", r, out, length);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rc;
  }
  // Pages only look: the data source is opened read-only where the driver can.
  SQLSetConnectAttr(dbc, SQL_ATTR_ACCESS_MODE, reinterpret_cast<SQLPOINTER>(SQL_MODE_READ_ONLY), 0);
  std::string text = connection;
  rc = SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr, 0, nullptr,
                        SQL_DRIVER_NOPROMPT);
  std::fill(text.begin(), text.end(), '\0');
  if (!SQL_SUCCEEDED(rc)) {
    SQLCHAR sqlstate[6] = "";
    SQLGetDiagField(SQL_HANDLE_DBC, dbc, 1, SQL_DIAG_SQLSTATE, sqlstate, sizeof sqlstate, nullptr);
    http_trace("SQLDriverConnect(), sqlstate=%s\n", sqlstate);
    if (std::strcmp(reinterpret_cast<char*>(sqlstate), "28000") == 0) {
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
      SQLFreeHandle(SQL_HANDLE_ENV, env);
      return 100;
    }
    veks_odbc_diag_text(SQL_HANDLE_DBC, dbc, "Calling SQLDriverConnect", r, out, length);
    SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    return rc == 0 ? -1 : rc;
  }
  if ((options & VEKS_CONNECT_TEST) || !env_out || !dbc_out) {
    veks_odbc_release(env, dbc, SQL_NULL_HSTMT);
    return 0;
  }
  *env_out = env;
  *dbc_out = dbc;
  return 0;
}

}  // namespace kyvek::http
