// Responses: status texts, the header, error pages, the buffered page writer,
// the HTTP date and HTML escaping. The header is written with "\n" lines and
// handed to the transport, which sends it with CRLF; page lines end in "\r\n".
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "http_internal.h"
#include "server_utils.h"

namespace kyvek::http {

namespace {

constexpr const char* kStatusRows[] = {"100 Continue",
                                       "101 Switching Protocols",
                                       "102 Processing",
                                       "200 OK",
                                       "201 Created",
                                       "202 Accepted",
                                       "203 Non-Authoritative Information",
                                       "204 No Content",
                                       "205 Reset Content",
                                       "206 Partial Content",
                                       "207 Multi-Status",
                                       "300 Multiple Choices",
                                       "301 Moved Permanently",
                                       "302 Found",
                                       "303 See Other",
                                       "304 Not Modified",
                                       "305 Use Proxy",
                                       "306 unused",
                                       "307 Temporary Redirect",
                                       "400 Bad Request",
                                       "401 Authorization Required",
                                       "402 Payment Required",
                                       "403 Forbidden",
                                       "404 Not Found",
                                       "405 Method Not Allowed",
                                       "406 Not Acceptable",
                                       "407 Proxy Authentication Required",
                                       "408 Request Time-out",
                                       "409 Conflict",
                                       "410 Gone",
                                       "411 Length Required",
                                       "412 Precondition Failed",
                                       "413 Request Entity Too Large",
                                       "414 Request-URI Too Large",
                                       "415 Unsupported Media Type",
                                       "416 Requested Range Not Satisfiable",
                                       "417 Expectation Failed",
                                       "418 unused",
                                       "419 unused",
                                       "420 unused",
                                       "421 unused",
                                       "422 Unprocessable Entity",
                                       "423 Locked",
                                       "424 Failed Dependency",
                                       "500 Internal Server Error",
                                       "501 Method Not Implemented",
                                       "502 Bad Gateway",
                                       "503 Service Temporarily Unavailable",
                                       "504 Gateway Time-out",
                                       "505 HTTP Version Not Supported",
                                       "506 Variant Also Negotiates",
                                       "507 Insufficient Storage",
                                       "508 unused",
                                       "509 unused",
                                       "510 Not Extended"};
static_assert(sizeof kStatusRows / sizeof kStatusRows[0] == 55);

struct StatusGroup {
  int first;
  int rows;
};
constexpr StatusGroup kGroups[] = {{0, 3}, {3, 8}, {11, 8}, {19, 25}, {44, 11}};

thread_local std::string* t_sink = nullptr;

std::string host_name() {
  char name[256];
  if (::gethostname(name, sizeof name) != 0) return "unknown";
  name[sizeof name - 1] = '\0';
  return name;
}

std::string address_line() {
  return format_text("<ADDRESS>%s Server at %s Port %u</ADDRESS>\r\n", kBanner, html_escape(host_name()).c_str(),
                     state().port);
}

}  // namespace

std::string format_text(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  va_list copy;
  va_copy(copy, ap);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data(), out.size(), format, ap);
    out.resize(static_cast<size_t>(n));
  }
  va_end(ap);
  return out;
}

const char* status_text(int status) {
  if (status < 100 || status >= 600) return kStatusRows[44];
  const StatusGroup& g = kGroups[status / 100 - 1];
  int row = status % 100;
  if (row >= g.rows) return kStatusRows[44];
  return kStatusRows[g.first + row];
}

std::string format_http_date(time_t when) {
  static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  struct tm tm {};
  if (!::gmtime_r(&when, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11)
    return "gmtime() failed";
  return format_text("%s, %.2d %s %d %.2d:%.2d:%.2d GMT", days[tm.tm_wday], tm.tm_mday, months[tm.tm_mon],
                     tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string make_response_header(const http_request* r, int status, uint32_t flags) {
  http_trace("creating protocol header for request %p\n", static_cast<const void*>(r));
  std::string now = format_http_date(::time(nullptr));
  std::string h = format_text("%s %s\n", "HTTP/1.1", status_text(status));
  h += "Date: " + now + "\n";
  h += format_text("Server: %s\n", kBanner);
  if (status != 304) {
    if (r && (r->flags & 0x1))
      h += r->last_modified;
    else
      h += "Last-Modified: " + now + "\n";
  }
  h += "Accept-Ranges: none\n";
  if (r && r->version) {
    if (r->version->find("1.1") != std::string::npos) h += "Connection: close\n";
    if (flags & URI_NOCACHE) {
      // One line each: caches meet no contradicting directives.
      if (r->version->find("1.0") != std::string::npos)
        h += "Expires: 0\nPragma: no-cache\n";
      else
        h += "Cache-Control: no-cache\n";
    }
  }
  if (status != 304) {
    const char* type = "text/html";
    if (flags & URI_GIF)
      type = "image/gif";
    else if (flags & URI_PNG)
      type = "image/png";
    else if (flags & URI_CSS)
      type = "text/css";
    else if (flags & URI_ICON)
      type = "image/x-icon";
    h += format_text("Content-Type: %s\n", type);
  }
  if (status == 401) {
    std::string realm = r ? sanitise_realm(r->realm) : std::string();
    h += format_text("WWW-Authenticate: Basic realm=\"%s\"\n", realm.empty() ? kDefaultRealm : realm.c_str());
  }
  h += "\n";
  http_trace("protocol header created\n%s", h.c_str());
  return h;
}

output_sink::output_sink(std::string* sink) : previous_(t_sink) { t_sink = sink; }
output_sink::~output_sink() { t_sink = previous_; }

int send_all(int socket, const char* data, size_t length) {
  if (t_sink) {
    t_sink->append(data, length);
    return 0;
  }
  while (length > 0) {
    ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      http_trace("** send error sending %zu bytes to socket %d: %s **\n", length, socket, errno_text(errno).c_str());
      return -1;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

void send_error_response(int socket, int status) {
  http_trace("send_error_response(%d)\n", status);
  const char* text = status_text(status);
  std::string page = format_text("<HTML><HEAD>\r\n<TITLE>%s</TITLE>\r\n</HEAD>", text);
  page += format_text(
      "<BODY bgcolor=\"#FFFFFF\">\r\n<H1><font face=\"Arial Black,Arial\" "
      "color=\"#990000\"><b>%s</font></b></H1>\r\n",
      text);
  page += address_line();
  page += "</BODY></HTML>\r\n";
  std::string all = make_response_header(nullptr, status, 0) + page;
  send_all(socket, all.data(), all.size());
}

void send_error_message(http_request* r, int socket, std::string_view message) {
  std::string page = make_response_header(r, r ? r->status : 200, 0);
  page += "<HTML><HEAD>\r\n<TITLE>Error</TITLE>\r\n</HEAD>";
  page +=
      "<BODY bgcolor=\"#FFFFFF\">\r\n<H1><font face=\"Arial Black,Arial\" "
      "color=\"#990000\"><b>Error</font></H1>\r\n";
  page += "<p>";
  page += message;
  page += "<p>\r\n";
  page += address_line();
  page += "</BODY></HTML>\r\n";
  send_all(socket, page.data(), page.size());
  if (r) r->status = 0;
}

void send_error_page(http_request& r, int status, char* out, size_t* length, const char* title, const char* heading) {
  r.status = status;
  r.output_flags = 1;
  // The header carries the status itself: a refusal is not answered 200.
  std::string page = make_response_header(&r, status, 0);
  page += format_text("<HTML><HEAD>\r\n<TITLE>%s</TITLE>\r\n</HEAD>", title);
  page += format_text(
      "<BODY bgcolor=\"#FFFFFF\">\r\n<H1><font face=\"Arial Black,Arial\" "
      "color=\"#990000\"><b>%s</font></b></H1>\r\n",
      heading);
  page += address_line();
  page += "</BODY></HTML>\r\n";
  size_t n = std::min(page.size(), kPageCapacity);
  std::memcpy(out, page.data(), n);
  *length = n;
}

int format_error_page(std::string_view message, char* out, size_t* length) {
  std::string page = "<HTML><HEAD>\r\n<TITLE>Error</TITLE>\r\n</HEAD>";
  page += "<BODY bgcolor=\"white\">\r\n<H1>Error</H1>\r\n<p>";
  page += message;
  page += "<p>\r\n";
  page += address_line();
  size_t n = std::min(page.size(), kPageCapacity);
  std::memcpy(out, page.data(), n);
  *length = n;
  return 0;
}

int report_internal_error(int kind, const char* name, unsigned long number, char* out, size_t* length) {
  std::string text;
  std::string escaped = html_escape(name ? name : "");
  switch (kind) {
    case 1:
      text = format_text("Insufficient virtal memory allocating %lu bytes for %s", number, escaped.c_str());
      break;
    case 2: text = format_text("Error from internal function %s", escaped.c_str()); break;
    case 3: text = format_text("Failed to set key - %s", escaped.c_str()); break;
    default: text = format_text("No error text for error number %lu\n", static_cast<unsigned long>(kind)); break;
  }
  return format_error_page(text, out, length);
}

size_t append_output(http_request& r, char* out, size_t* length, std::string_view piece) {
  size_t written = 0;
  while (!piece.empty()) {
    if (*length + piece.size() > kPageCapacity && *length > 0) {
      http_trace("Internal buffer full\n");
      if (!(r.output_flags & 1)) {
        http_trace("\tSending HTTP protocol header\n");
        std::string h = make_response_header(&r, 200, URI_NOCACHE);
        send_all(r.socket, h.data(), h.size());
        r.output_flags |= 1;
      }
      http_trace("\tSending full buffer, %zu bytes\n", *length);
      send_all(r.socket, out, *length);
      *length = 0;
    }
    size_t n = std::min(piece.size(), kPageCapacity - *length);
    std::memcpy(out + *length, piece.data(), n);
    *length += n;
    written += n;
    piece.remove_prefix(n);
  }
  return written;
}

size_t append_outputf(http_request& r, char* out, size_t* length, const char* format, ...) {
  char local[1024];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(local, sizeof local, format, ap);
  va_end(ap);
  if (n < 0) return 0;
  size_t len = std::min(static_cast<size_t>(n), sizeof local - 1);
  return append_output(r, out, length, std::string_view(local, len));
}

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '"': out += "&quot;"; break;
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\'': out += "&#39;"; break;
      default: out.push_back(c); break;
    }
  }
  return out;
}

std::string remove_form(const char* id, const char* action) {
  return format_text("<form id=\"%s\" action=\"%s\" method=post>%s</form>", id, action, form_token_field().c_str());
}

std::string remove_button(const char* form_id, std::string_view name, std::string_view value) {
  std::string v = html_escape(value);
  return format_text(
      "<button type=\"submit\" class=\"remove\" form=\"%s\" name=\"%s\" value=\"%s\" title=\"Remove %s\">%s "
      "<img src=\"/cross_sm.gif\" alt=\"remove\"></button>",
      form_id, html_escape(name).c_str(), v.c_str(), v.c_str(), v.c_str());
}

std::string url_encode(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
        c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

}  // namespace kyvek::http
