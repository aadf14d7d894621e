// Connection strings of vekping's ODBC mode: the string sent (the caller's,
// with the logon user and password appended) and the form shown on the
// terminal, which never shows a password.
#ifndef KYVEK_TOOLS_PING_CONNECTION_STRING_H
#define KYVEK_TOOLS_PING_CONNECTION_STRING_H

#include <optional>
#include <string>
#include <string_view>

namespace vekping {

// The given string, then ";LogonUser=" and the user when one is given, then
// ";LogonAuth=" and the password when one is given. A value that holds ';',
// '{', '}' or leading or trailing blanks is written in braces with '}'
// doubled, so that it cannot end its item and add keywords of its own.
std::string build_connection_string(std::string_view given, const std::optional<std::string>& user,
                                    const std::optional<std::string>& password);

// The string with the value of every password keyword (PWD, LogonAuth,
// TargetAuth, in any case) replaced by "********"; everything else unchanged.
std::string mask_passwords(std::string_view text);

}  // namespace vekping

#endif
