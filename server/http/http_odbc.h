// The administration server's own ODBC unit: data-source enumeration and
// connections made straight on the Driver Manager for one page each.
#ifndef KYVEK_SERVER_HTTP_ODBC_H
#define KYVEK_SERVER_HTTP_ODBC_H

#include <sql.h>
#include <sqlext.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_internal.h"

namespace kyvek::http {

enum { VEKS_CONNECT_TEST = 0x1 };

// A connection-string value in braces, '}' doubled, so it cannot add keywords.
// (DSN names go in plain: they are checked against the system list and the
// Driver Manager looks a braced name up with its braces.)
std::string odbc_brace(std::string_view value);

// The Driver Manager's SYSTEM data sources: name and driver description.
std::vector<std::pair<std::string, std::string>> veks_system_data_sources();

// True when name is one of the Driver Manager's SYSTEM data sources.
bool veks_is_system_dsn(const std::string& name);

// Writes "<p>heading" and the diagnostic records of a handle through the page
// writer (escaped).
void veks_odbc_diag_text(SQLSMALLINT type, SQLHANDLE handle, const char* heading, http_request& request, char* out,
                         size_t* length);

// Connects with the connection string. 0 on success (the handles are kept for
// the caller unless options has VEKS_CONNECT_TEST); 100 when the data source
// refused the user (SQLSTATE 28000); another ODBC result after writing the
// diagnostics.
int veks_odbc_connect(SQLHENV* env, SQLHDBC* dbc, const std::string& connection, int options, http_request& request,
                      char* out, size_t* length);

// Disconnects and frees what is given (any may be SQL_NULL_HANDLE).
void veks_odbc_release(SQLHENV env, SQLHDBC dbc, SQLHSTMT stmt);

}  // namespace kyvek::http

#endif
