// Authorisation: HTTP Basic credentials checked against the administrator
// named by HTTPAdmin and the system's logon (PAM), or against a data source.
// Passwords never reach a log or an event.
#include <strings.h>

#include <cstring>
#include <vector>

#include "events.h"
#include "http_internal.h"
#include "http_odbc.h"
#include "listener.h"
#include "logon/logon.h"
#include "server_utils.h"
#include "text_parsers.h"

namespace kyvek::http {

namespace {

constexpr const char* kRefusal =
    "This server could not verify that you are authorized to access the document requested. "
    "Either you supplied the wrong credentials (e.g., bad username/password), or your browser "
    "doesn't understand how to supply the credentials required.";
// Fixed text: the field or the decoded credentials are never echoed.
constexpr const char* kParseFailure = "Internal Error - could not parse the authorization field";
constexpr const char* kNoAdministrator =
    "<HTML><HEAD>\r\n<TITLE>Administration disabled</TITLE>\r\n</HEAD><BODY bgcolor=\"#FFFFFF\">\r\n"
    "<H1>Administration disabled</H1>\r\n"
    "<p>These pages only show the server while HTTPAdmin is \"disabled\": changing settings or access rules, "
    "pausing the server, browsing data sources, exporting the configuration, reading the audit trail and "
    "drawing its graph need an administrator.\r\n"
    "<p>To administer the server through these pages, name an administrator in the HTTPAdmin setting: "
    "a user whose password the system's logon (PAM) checks. The pages then ask for that user's password.\r\n"
    "</BODY></HTML>\r\n";
// Longest credential text decoded (the whole request head is smaller).
constexpr size_t kMaxCredentialText = 4096;

void warning_event(const std::string& text) {
  log_server_event(state().block, server_source(), EVENTLOG_WARNING, EV_WARNING_TEXT, text.c_str(), nullptr);
}

void set_page(std::string_view text, char* out, size_t* length) {
  size_t n = std::min(text.size(), kPageCapacity);
  std::memcpy(out, text.data(), n);
  *length = n;
}

}  // namespace

bool admin_disabled() { return strcasecmp(state().settings.HTTPAdmin, "disabled") == 0; }

std::string sanitise_realm(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '"') continue;
    if (out.size() == kRealmMax) break;
    out.push_back(c);
  }
  return out;
}

int decode_basic_credentials(std::string_view value, std::string& user, std::string& password) {
  size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  while (i < value.size() && value[i] != ' ' && value[i] != '\t') ++i;  // the scheme word
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  if (i >= value.size()) return 0;
  std::string text(value.substr(i, std::min(value.size() - i, kMaxCredentialText)));
  std::vector<char> decoded(base64_decoded_size(text.c_str()) + 1, '\0');
  size_t n = base64_decode_text(decoded.data(), text.c_str());
  std::string_view plain(decoded.data(), std::min(n, decoded.size() - 1));
  size_t colon = plain.find(':');
  if (colon == std::string_view::npos) return -1;
  user.assign(plain.substr(0, colon));
  password.assign(plain.substr(colon + 1));
  if (user.find('\0') != std::string::npos || password.find('\0') != std::string::npos) return -1;
  return 1;
}

int check_logon(const char* user_text, const char* password, http_request* request) {
  std::string all = user_text ? user_text : "";
  std::string domain, user = all;
  size_t slash = all.find('/');
  if (slash != std::string::npos) {
    domain = all.substr(0, slash);
    user = all.substr(slash + 1);
  }
  int rc = ky_logon_verify_password(user.c_str(), domain.empty() ? nullptr : domain.c_str(), password ? password : "");
  if (rc == KY_LOGON_OK) return 0;
  std::string text = format_text("Attempted logon as %s/%s(XXXXXX), LogonUser reports %d",
                                 domain.empty() ? "<nodomain>" : domain.c_str(), user.c_str(), rc);
  warning_event(text);
  http_trace("%s\n", text.c_str());
  if (request) {
    send_error_message(request, request->socket,
                       format_text("Failed to logon as user %s with specified password - Invalid "
                                   "Password?<br>(Error returned was %d)",
                                   html_escape(all).c_str(), rc));
  }
  return -1;
}

int authorise_request(http_request& r, char* out, size_t* length) {
  http_trace("\tAuthorising\n");
  if (admin_disabled()) {
    // No administrator, no administration: the loopback is no exception, as
    // any local user reaches it.
    http_trace("\tNo administrator named: refused\n");
    set_page(kNoAdministrator, out, length);
    r.status = 403;
    return 0;
  }
  const std::string* field = r.field("authorization");
  if (!field || field->empty()) {
    http_trace("Cannot find authorization header field\n");
    r.status = 401;
    *length = 0;
    return 0;
  }
  std::string user, password;
  int d = decode_basic_credentials(*field, user, password);
  if (d <= 0) {
    set_page(kParseFailure, out, length);
    r.status = 422;
    return 0;
  }
  http_trace("auth: %s\n", user.c_str());
  bool is_admin = strcasecmp(user.c_str(), state().settings.HTTPAdmin) == 0;
  if (is_admin && check_logon(user.c_str(), password.c_str(), nullptr) == 0) {
    http_trace("\tAuthorised\n");
    return 1;
  }
  if (!is_admin) {
    warning_event(format_text("Attempted logon with non-admin username %s(XXXXXX)", user.c_str()));
    http_trace("Logon with non-admin username %s\n", user.c_str());
  }
  set_page(kRefusal, out, length);
  r.status = 401;
  http_trace("\tAuthorisation failed\n");
  return 0;
}

int odbc_login(http_request& r, char* out, size_t* length, const std::string& dsn, std::string& user,
               std::string& password) {
  http_trace("odbc_login()\n");
  const std::string* field = r.field("authorization");
  if (!field || field->empty()) {
    http_trace("DSN %s not authorised\n", dsn.c_str());
    r.status = 401;
    r.realm = sanitise_realm(dsn);
    *length = 0;
    return 0;
  }
  int d = decode_basic_credentials(*field, user, password);
  if (d <= 0) {
    set_page(kParseFailure, out, length);
    r.status = 422;
    return 0;
  }
  // Only a data source the administrator defined may be named: anything else
  // could carry Driver Manager keywords (DRIVER=, FILEDSN=, SAVEFILE=).
  if (!veks_is_system_dsn(dsn) || dsn.find_first_of(";{}") != std::string::npos) {
    set_page(format_text("<p>%s is not a system data source\r\n", html_escape(dsn).c_str()), out, length);
    return 0;
  }
  std::string conn = "DSN=" + dsn + ";UID=" + odbc_brace(user) + ";PWD=" + odbc_brace(password) + ";";
  *length = 0;
  int rc = veks_odbc_connect(nullptr, nullptr, conn, VEKS_CONNECT_TEST, r, out, length);
  if (rc == 0) return 1;
  if (rc == 100) {
    http_trace("odbc_login - authentication rejected\n");
    r.status = 401;
    r.realm = sanitise_realm(dsn);
    *length = 0;
  }
  return 0;
}

}  // namespace kyvek::http
