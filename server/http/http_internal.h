// The HTTP administration server's internal interface: the request record and
// its parser, the response writers, authorisation, templates and static files,
// the dispatch table and the process-wide state of the single server thread.
#ifndef KYVEK_SERVER_HTTP_INTERNAL_H
#define KYVEK_SERVER_HTTP_INTERNAL_H

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access_list.h"
#include "stats.h"

namespace kyvek::http {

using Clock = std::chrono::steady_clock;

// Limits on what a peer can make the server hold or wait for.
constexpr size_t kRequestCap = 4096;          // request head and the first body bytes
constexpr size_t kPageCapacity = 64000;       // one page buffer
constexpr size_t kLastUriMax = 511;           // last URI kept for the exception report
constexpr size_t kPostCap = 2048;             // posted form data of the change pages
constexpr size_t kMaxHeaderLines = 100;       // header lines in one request
constexpr size_t kRealmMax = 31;              // realm text of a 401
constexpr int kConnectionDeadlineMs = 10000;  // one connection, from accept to the answer
constexpr int kPostWaitMs = 2000;             // a wait for more posted data
constexpr const char* kVersionText = "2.4.03";
constexpr const char* kBanner = "KYvekhttp 2.4 (Linux)";
constexpr const char* kDefaultRealm = "KYVEKServer";

// Flags of a dispatch row.
enum : uint32_t {
  URI_GIF = 0x1,
  URI_NOCACHE = 0x2,
  URI_SELF_SENT = 0x4,
  URI_PNG = 0x8,
  URI_CSS = 0x10,   // text/css (a style sheet sent as text/html is ignored by browsers)
  URI_ICON = 0x20,  // image/x-icon
  URI_ADMIN = 0x40,   // only for the administrator (HTTPAdmin): changes, pause, browsing, export, audit
  URI_CHANGE = 0x80,  // changes state: POST only, same origin, with the form token
};

// Methods in the order of their indexes; "OPTIONS" (0) is never matched.
enum { METHOD_OPTIONS = 0, METHOD_GET = 1, METHOD_HEAD = 2, METHOD_POST = 3 };

// The header fields a request keeps, in their fixed order.
inline constexpr std::array<const char*, 32> kHeaderNames = {"cache-control",
                                                             "connection",
                                                             "content-length",
                                                             "content-type",
                                                             "date",
                                                             "forwarded",
                                                             "keep-alive",
                                                             "mime-version",
                                                             "pragma",
                                                             "upgrade",
                                                             "accept",
                                                             "accept-charset",
                                                             "accept-encoding",
                                                             "accept-language",
                                                             "authorization",
                                                             "expect",
                                                             "from",
                                                             "host",
                                                             "if-match",
                                                             "if-modified-since",
                                                             "if-none-match",
                                                             "if-range",
                                                             "if-unmodified-since",
                                                             "max-forwards",
                                                             "proxy-authorization",
                                                             "range",
                                                             "referer",
                                                             "unless",
                                                             "user-agent",
                                                             "via",
                                                             "x-forwarded-for",
                                                             "origin"};

// The credentials of an Authorization field of the "Basic" scheme, as the
// transport decoded them.
struct basic_credentials {
  std::string user;
  std::string password;
};

struct http_request {
  std::array<std::optional<std::string>, kHeaderNames.size()> fields;
  std::string last_modified;  // whole "Last-Modified: ...\n" line, when flags & 0x1
  uint32_t flags = 0;
  uint32_t content_length = 0;
  bool content_length_known = false;
  int method = -1;
  std::string uri;
  std::string file;                  // the uri with '/' turned into '\\'
  std::optional<std::string> query;  // as sent (still URL-encoded); split_form_fields decodes
  std::optional<std::string> version;
  int status = 200;
  std::optional<std::string> posted;  // bytes after the head in the first reads
  int socket = -1;
  std::string realm;
  uint32_t output_flags = 0;  // 0x1: the response header has been sent
  Clock::time_point deadline = Clock::time_point::max();
  std::optional<basic_credentials> credentials;  // a Basic Authorization field, decoded
  std::string client_address;

  // Value of a known header field (name compared without regard to case).
  const std::string* field(std::string_view name) const;
};

struct form_field {
  std::string name;
  std::string value;
};
using form_fields = std::vector<form_field>;

// Request parsing.
int parse_request(const char* data, size_t length, http_request& request);
int parse_method(std::string_view line, http_request& request);
// One header line (without its line end); continuation says the line began
// with a blank and continues the previous field. Returns 0, or -1 with the
// request's status set.
int store_hd_field(std::string_view line, http_request& request, int* last_field);
// Gathers a POST body of at most capacity - 1 bytes (Content-Length first,
// bounded by the connection's deadline). 0, or -1 with status 400 or 413.
int read_posted_data(http_request& request, std::string& body, size_t capacity = kPostCap);
// Splits "a=1&b=2" into fields; values are URL-decoded once, "x" and "y" are
// skipped. 0, or -1 (malformed text, or a value that decodes to a NUL).
int split_form_fields(std::string_view text, form_fields& out);
// Decodes '+' and %XX (two hex digits) in place and drops CR and LF. false
// when a NUL byte would result (text then undefined).
bool urlunencode(std::string& text);
// The query decoded for display (empty when none or undecodable).
std::string decoded_query(const http_request& request);
const form_field* find_form_field(const form_fields& fields, std::string_view name);

// Responses. While an output_sink lives on a thread, what that thread sends
// (send_all and the error senders) is appended to its string: the transport
// hands the whole answer to the library.
class output_sink {
 public:
  explicit output_sink(std::string* sink);
  ~output_sink();
  output_sink(const output_sink&) = delete;
  output_sink& operator=(const output_sink&) = delete;

 private:
  std::string* previous_;
};
const char* status_text(int status);
std::string make_response_header(const http_request* request, int status, uint32_t row_flags);
int send_all(int socket, const char* data, size_t length);
void send_error_response(int socket, int status);
// message is HTML: callers escape what came from a request.
void send_error_message(http_request* request, int socket, std::string_view message);
void send_error_page(http_request& request, int status, char* out, size_t* length, const char* title,
                     const char* heading);
int format_error_page(std::string_view message, char* out, size_t* length);
int report_internal_error(int kind, const char* name, unsigned long number, char* out, size_t* length);
// The buffered page writer: appends, sending header and buffer first when
// the page buffer would overflow. Returns the length of the piece.
size_t append_output(http_request& request, char* out, size_t* length, std::string_view piece);
size_t append_outputf(http_request& request, char* out, size_t* length, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
std::string format_http_date(time_t when);
std::string html_escape(std::string_view text);
std::string url_encode(std::string_view text);
// A change without fields of its own is a POST, never a link: remove_form is
// an empty form (with the form token) that remove_button submits with its
// name and value, wherever the button stands on the page.
std::string remove_form(const char* id, const char* action);
std::string remove_button(const char* form_id, std::string_view name, std::string_view value);
std::string format_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Authorisation.
// HTTPAdmin is "disabled": no administrator, the pages only show.
bool admin_disabled();
int authorise_request(http_request& request, char* out, size_t* length);
int check_logon(const char* user_text, const char* password, http_request* request);
int odbc_login(http_request& request, char* out, size_t* length, const std::string& dsn, std::string& user,
               std::string& password);
// The realm of a 401 without CR, LF, '"' and past 31 characters.
std::string sanitise_realm(std::string_view text);

// Templates and static files.
struct uri_entry;
int load_template(const char* name, std::string& out, http_request& request);
bool parse_include(std::string_view text, size_t pos, size_t* end, std::string_view* name);
// A name that may be opened in the templates folder (no '/', no "..", no NUL).
bool safe_file_name(std::string_view name);
// Entity table of one page: name with '&' and ';', and its replacement.
using entity_list = std::vector<std::pair<std::string_view, std::string>>;
// Copies the template through the page writer, replacing "&vek_version;" and
// the page's entities; other '&' pass unchanged.
void expand_template(std::string_view text, const entity_list& entities, http_request& request, char* out,
                     size_t* length);
int uri_file(const uri_entry& row, http_request& request, char* out, size_t* length);

// Dispatch.
using uri_fn = int (*)(const uri_entry& row, http_request& request, char* out, size_t* length);
struct uri_entry {
  const char* path;
  uri_fn fn;
  const char* templ;
  uint32_t flags;
};
const uri_entry* find_uri(std::string_view uri);
const std::vector<uri_entry>& uri_table();
// Whether the row may run for this request: the administrator's logon for
// URI_ADMIN rows (403 while HTTPAdmin is "disabled"); for URI_CHANGE rows a
// POST (else 405), from a page of this server (Origin, else Referer) with the
// form token, which is then taken out of the posted fields. When not, the
// refusal's status and page are set and the refusal is logged.
bool admit_request(const uri_entry& row, http_request& request, char* out, size_t* length);
// The token of the change forms, drawn from the system's random source at
// start (init_form_secret); empty when none could be drawn.
void init_form_secret();
const std::string& form_token();
// The hidden field that carries it in a form.
std::string form_token_field();
bool same_origin(const http_request& request);
// Splits posted form text into the token's value and the other fields.
void split_form_token(std::string_view body, std::string& rest, std::string& token);
// The head of a request as the transport received it, rebuilt with CRLF lines.
std::string request_head(std::string_view method, std::string_view uri, std::string_view version,
                         const std::vector<std::pair<std::string, std::string>>& headers);
// Serves one request (head, the whole body or nullptr, the peer's address,
// the decoded Basic credentials or nullptr): the bytes of the answer.
std::string serve_request(const std::string& head, const std::string* body, const char* client_address,
                          const basic_credentials* credentials);

// Process-wide state of the server thread.
struct http_settings {
  uint32_t Flags = 0x10000;
  uint32_t HTTPPort = 8890;
  char HTTPAdmin[100] = "disabled";
  char Path[1024] = "";
  char LogDir[1024] = "";
  char HTTPNetworkAccess[100] = "";
  char IPAddress[100] = "";
};
struct http_state {
  server_stats_t* block = nullptr;
  http_settings settings;
  unsigned port = 0;
  ip_acl_entry* access = nullptr;
  char last_uri[kLastUriMax + 1] = "";  // fixed storage: the fault report reads it
  int client = -1;                      // the connection being served
};
http_state& state();
// A file in LogDir ("\\" taken as "/"; empty or the Windows default: the
// temporary directory).
std::string log_file_path(const char* name);

// The exception report of the server thread: a guard for fatal signals and
// the report of a C++ exception. The report text, or "" when none was made.
int http_guard_enter();
// The same guard for a connection's thread, once http_guard_enter ran.
int http_guard_thread();
void http_guard_leave();
std::string http_exception_report();

// Trace lines to kyvekhttp.log (only when the file existed at start).
void open_http_log(const char* log_dir);
void close_http_log();
bool http_log_open();
void http_trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Waits until the socket is readable or the deadline passes: 1 readable, 0
// time-out, -1 error.
int wait_readable(int socket, Clock::time_point deadline);

}  // namespace kyvek::http

extern "C" int run_http_server(server_stats_t* block);

#endif
