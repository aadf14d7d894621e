// vekping's ODBC mode: a full connection through the unixODBC Driver Manager
// with the given connection string (and the logon user and password appended),
// a few facts about it, then disconnection. Progress goes to standard output,
// failures and diagnostic records to standard error. Single-threaded.
#ifndef KYVEK_TOOLS_PING_ODBC_PING_H
#define KYVEK_TOOLS_PING_ODBC_PING_H

#include <optional>
#include <string>

#include <sql.h>

namespace vekping {

// SQL_SUCCESS when connected and disconnected again; otherwise the failing
// call's result (SQL_ERROR when the string could not be built).
SQLRETURN odbc_ping(const std::string& connection, const std::optional<std::string>& user,
                    const std::optional<std::string>& password);

}  // namespace vekping

#endif
