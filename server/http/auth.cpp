// Authorisation: HTTP Basic credentials checked against the administrator
// named by HTTPAdmin and the system's logon (PAM), or against a data source.
// Passwords never reach a log or an event.
#include <strings.h>

#include <cstring>
#include <vector>

#include <sys/random.h>

#include "access_list.h"
#include "audit.h"
#include "dsn_access.h"
#include "events.h"
#include "settings.h"
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

void warning_event(const std::string& text) {
  log_server_event(state().block, server_source(), EVENTLOG_WARNING, EV_WARNING_TEXT, text.c_str(), nullptr);
}

void set_page(std::string_view text, char* out, size_t* length) {
  size_t n = std::min(text.size(), kPageCapacity);
  std::memcpy(out, text.data(), n);
  *length = n;
}

bool audit_on() { return (server_settings()->Flags & AuditODBCAccess) != 0; }

// A refused logon, as the listener notes one: the event with the address and
// the name, and the audit line.
void audit_refused_logon(const http_request& r, const std::string& user) {
  const char* address = r.client_address.empty() ? "unknown address" : r.client_address.c_str();
  std::string name = user;
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  std::string text = format_text("%s (user '%s', HTTP administration pages)", address, name.c_str());
  log_server_event(state().block, server_source(), EVENTLOG_WARNING, EV_INVALID_AUTH, text.c_str(), nullptr);
  char* error = nullptr;
  if (load_server_settings(&error, nullptr, 1) == 0 && audit_on())
    audit_event(AUDIT_AUTH_DENIED, address, ("user " + name).c_str());
}

// Browsing connects as a client of the listener would: the same address
// lists and DSN rules, with the same events and audit lines. 1 admitted; 0
// refused (status and page set).
bool admitted_as_client(http_request& r, const std::string& dsn, const std::string& user, char* out,
                        size_t* length) {
  char* error = nullptr;
  if (load_server_settings(&error, nullptr, 1) != 0 || build_server_acls(server_settings(), &error) != 0) {
    set_page(format_text("<p>The server's settings cannot be read: %s\r\n", html_escape(error ? error : "").c_str()),
             out, length);
    r.status = 500;
    return false;
  }
  const char* address = r.client_address.c_str();
  if (audit_on()) audit_event(AUDIT_CONNECT, address, "unknown");
  if (match_ip_acl(address, *server_allow_acl(), *server_deny_acl(), 0) != 1) {
    log_server_event(state().block, server_source(), EVENTLOG_WARNING, EV_CLIENT_DENIED, address,
                     "due to access control rule");
    if (audit_on()) audit_event(AUDIT_REFUSED_BY_RULE, address, "unknown");
    set_page("<p>Client denied access due to access control rule.\r\n", out, length);
    r.status = 403;
    return false;
  }
  if (check_dsn_access(state().block, dsn.c_str(), user.c_str(), address) != 0) {
    audit_event(AUDIT_REFUSED_BY_DSN_RULE, dsn.c_str(), user.c_str());
    set_page(format_text("<p>Client (%s,%s) denied access to DSN %s due to access control rule\r\n", address,
                         html_escape(user).c_str(), html_escape(dsn).c_str()),
             out, length);
    r.status = 403;
    return false;
  }
  return true;
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
  // The transport decodes the "Basic" scheme only: any other is no credential.
  if (!r.credentials) {
    set_page(kParseFailure, out, length);
    r.status = 422;
    return 0;
  }
  const std::string& user = r.credentials->user;
  const std::string& password = r.credentials->password;
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
  audit_refused_logon(r, user);
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
  if (!r.credentials) {
    set_page(kParseFailure, out, length);
    r.status = 422;
    return 0;
  }
  user = r.credentials->user;
  password = r.credentials->password;
  // Only a data source the administrator defined may be named: anything else
  // could carry Driver Manager keywords (DRIVER=, FILEDSN=, SAVEFILE=).
  if (!veks_is_system_dsn(dsn) || dsn.find_first_of(";{}") != std::string::npos) {
    set_page(format_text("<p>%s is not a system data source\r\n", html_escape(dsn).c_str()), out, length);
    return 0;
  }
  if (!admitted_as_client(r, dsn, user, out, length)) return 0;
  std::string conn = "DSN=" + dsn + ";UID=" + odbc_brace(user) + ";PWD=" + odbc_brace(password) + ";";
  *length = 0;
  int rc = veks_odbc_connect(nullptr, nullptr, conn, VEKS_CONNECT_TEST, r, out, length);
  if (rc == 0) return 1;
  if (rc == 100) {
    http_trace("odbc_login - authentication rejected\n");
    audit_refused_logon(r, user);
    r.status = 401;
    r.realm = sanitise_realm(dsn);
    *length = 0;
  }
  return 0;
}

}  // namespace kyvek::http

namespace kyvek::http {

namespace {

// The secret the change forms carry, drawn when the process starts: a page of
// another site can neither read it nor guess it.
std::string g_form_token;

bool constant_time_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string trim_blanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

void refuse(http_request& r, int status, const char* reason, char* out, size_t* length) {
  std::string text = format_text("Refused %s to %s from %s: %s", r.method == METHOD_POST ? "POST" : "GET",
                                 r.uri.c_str(), r.client_address.c_str(), reason);
  warning_event(text);
  http_trace("%s\n", text.c_str());
  r.status = status;
  set_page(format_text("<HTML><HEAD>\r\n<TITLE>%s</TITLE>\r\n</HEAD><BODY bgcolor=\"#FFFFFF\">\r\n<H1>%s</H1>\r\n"
                       "<p>%s\r\n</BODY></HTML>\r\n",
                       status_text(status), status_text(status), html_escape(reason).c_str()),
           out, length);
}

// The posted form of a change: the token checked and taken out; the other
// fields become the request's posted data and query, as the pages read them.
bool take_form_token(http_request& r, char* out, size_t* length) {
  std::string body;
  if (read_posted_data(r, body) != 0) {
    *length = 0;
    return false;
  }
  std::string rest, token;
  split_form_token(body, rest, token);
  if (!constant_time_equal(token, g_form_token)) {
    refuse(r, 403, "the form's token is missing or not this server's (reload the page and try again)", out, length);
    return false;
  }
  r.posted.reset();
  r.query.reset();
  if (!rest.empty()) {
    r.posted = rest;
    r.query = rest;
  }
  r.content_length = static_cast<uint32_t>(rest.size());
  r.content_length_known = true;
  return true;
}

}  // namespace

bool same_origin(const http_request& r) {
  const std::string* host = r.field("host");
  if (!host || host->empty()) return false;
  std::string own = "http://" + trim_blanks(*host);
  if (const std::string* origin = r.field("origin")) return trim_blanks(*origin) == own;
  if (const std::string* referer = r.field("referer")) {
    std::string ref = trim_blanks(*referer);
    return ref == own || ref.rfind(own + "/", 0) == 0;
  }
  return false;
}

void split_form_token(std::string_view body, std::string& rest, std::string& token) {
  rest.clear();
  token.clear();
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string_view::npos) amp = body.size();
    std::string_view field = body.substr(pos, amp - pos);
    if (field.rfind("token=", 0) == 0) {
      token.assign(field.substr(6));
    } else if (!field.empty()) {
      if (!rest.empty()) rest += '&';
      rest.append(field);
    }
    pos = amp + 1;
  }
}

void init_form_secret() {
  unsigned char secret[16];
  if (::getrandom(secret, sizeof secret, 0) != static_cast<ssize_t>(sizeof secret)) {
    // Without the system's random source a change form cannot be told from a
    // forged one: every change is refused.
    g_form_token.clear();
    return;
  }
  static const char hex[] = "0123456789abcdef";
  g_form_token.clear();
  for (unsigned char c : secret) {
    g_form_token.push_back(hex[c >> 4]);
    g_form_token.push_back(hex[c & 15]);
  }
}

const std::string& form_token() { return g_form_token; }

std::string form_token_field() { return "<input type=\"hidden\" name=\"token\" value=\"" + g_form_token + "\">"; }

bool admit_request(const uri_entry& row, http_request& r, char* out, size_t* length) {
  // No administrator: the pages only show (403 with what to do).
  if ((row.flags & URI_ADMIN) && admin_disabled()) return authorise_request(r, out, length) != 0;
  if ((row.flags & URI_CHANGE) && r.method != METHOD_POST) {
    refuse(r, 405, "this page changes the server and takes only a POST from its own form", out, length);
    return false;
  }
  if ((row.flags & URI_ADMIN) && authorise_request(r, out, length) == 0) return false;
  if (!(row.flags & URI_CHANGE)) return true;
  if (!same_origin(r)) {
    refuse(r, 403, "the request does not come from a page of this server (Origin or Referer)", out, length);
    return false;
  }
  if (g_form_token.empty()) {
    refuse(r, 403, "no form token could be drawn at start (the system's random source failed)", out, length);
    return false;
  }
  return take_form_token(r, out, length);
}

}  // namespace kyvek::http
