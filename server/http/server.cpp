// The administration server's process: settings, the trace log, the listening
// socket, the accept loop with its 2-second look at the service state, the
// network-access check, and one connection at a time through the dispatch
// table.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <exception>
#include <thread>

#include "events.h"
#include "http_internal.h"
#include "kyrpc.h"
#include "listener.h"
#include "server_utils.h"
#include "service/service.h"
#include "settings.h"

namespace kyvek::http {

namespace {

constexpr uint32_t EV_HTTP_STARTED = 0x20351;
constexpr uint32_t EV_HTTP_PAUSED = 0x20371;
constexpr uint32_t EV_HTTP_EXCEPTION = 0xC0020231;
constexpr int kPollMs = 2000;
constexpr int kDrainMs = 1000;
constexpr size_t kDrainBytes = 64 * 1024;

FILE* g_log = nullptr;

void event(uint16_t type, uint32_t id, const char* text) {
  log_server_event(state().block, server_source(), type, id, text, nullptr);
}

// Reads and drops what the peer still sends, bounded in bytes and time.
void drain(int socket, int millis) {
  char buf[512];
  size_t total = 0;
  auto end = Clock::now() + std::chrono::milliseconds(millis);
  while (total < kDrainBytes && wait_readable(socket, end) > 0) {
    ssize_t n = ::recv(socket, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    http_trace("read %zd bytes after request answered\n", n);
  }
}

void finish_connection(int socket) {
  http_trace("Shutting down socket\n");
  if (::shutdown(socket, SHUT_WR) != 0)
    http_trace("**shutdown(%d, SEND) failed: %s **\n", socket, errno_text(errno).c_str());
  drain(socket, kDrainMs);
  if (::close(socket) != 0) http_trace("** Failed to close socket %d: %s\n", socket, errno_text(errno).c_str());
}

// Reads the request head (to its blank line), at most kRequestCap bytes, by
// the connection's deadline. The bytes read; status 0, 408 (deadline) or 413
// (cap reached).
std::string read_request_head(int socket, Clock::time_point deadline, int* status) {
  std::string data;
  char buf[kRequestCap];
  *status = 0;
  for (;;) {
    int w = wait_readable(socket, deadline);
    if (w == 0) {
      *status = 408;
      return data;
    }
    if (w < 0) return data;
    ssize_t n = ::recv(socket, buf, kRequestCap - data.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return data;  // the peer closed: parse what came
    data.append(buf, static_cast<size_t>(n));
    if (data.size() >= kRequestCap) {
      *status = 413;
      return data;
    }
    if (data.find("\n\n") != std::string::npos || data.find("\n\r\n") != std::string::npos) return data;
  }
}

// The request as traced: credentials never reach the log.
std::string masked_for_trace(const std::string& head) {
  std::string out;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t end = head.find('\n', pos);
    end = end == std::string::npos ? head.size() : end + 1;
    std::string_view line(head.data() + pos, end - pos);
    size_t colon = line.find(':');
    std::string_view name = colon == std::string_view::npos ? std::string_view() : line.substr(0, colon);
    if (strcasecmp(std::string(name).c_str(), "authorization") == 0 ||
        strcasecmp(std::string(name).c_str(), "proxy-authorization") == 0) {
      out.append(name);
      out += ": (XXXXXX)\n";
    } else {
      out.append(line);
    }
    pos = end;
  }
  return out;
}

// Settings table of the administration server.
ini_settings* settings_table(http_settings& s) {
  static ini_settings table[8];
  table[0] = {INI_KIND_NUMBER, "Flags", INI_HAS_DEFAULT, 0x10000, nullptr, 0, 0, &s.Flags, 0, 0};
  table[1] = {INI_KIND_NUMBER, "HTTPPort", INI_HAS_DEFAULT, 8890, nullptr, 0, 0, &s.HTTPPort, 0, 0};
  table[2] = {INI_KIND_TEXT, "HTTPAdmin", INI_HAS_DEFAULT, 0, "disabled", 0, 0, s.HTTPAdmin, sizeof s.HTTPAdmin, 0};
  table[3] = {INI_KIND_TEXT, "Path", 0, 0, nullptr, 0, 0, s.Path, sizeof s.Path, 0};
  table[4] = {INI_KIND_TEXT, "LogDir", INI_HAS_DEFAULT, 0, "", 0, 0, s.LogDir, sizeof s.LogDir, 0};
  table[5] = {INI_KIND_TEXT,
              "HTTPNetworkAccess",
              INI_HAS_DEFAULT,
              0,
              "",
              0,
              0,
              s.HTTPNetworkAccess,
              sizeof s.HTTPNetworkAccess,
              0};
  table[6] = {INI_KIND_TEXT, "IPAddress", INI_HAS_DEFAULT, 0, "", 0, 0, s.IPAddress, sizeof s.IPAddress, 0};
  table[7] = {0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0};
  return table;
}

void trace_settings(const char* format, ...) __attribute__((format(printf, 1, 2)));
void trace_settings(const char* format, ...) {
  if (!g_log) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(g_log, format, ap);
  va_end(ap);
}

}  // namespace

http_state& state() {
  static http_state s;
  return s;
}

namespace {

std::string log_dir_of(const char* log_dir) {
  std::string dir = log_dir ? log_dir : "";
  for (char& c : dir)
    if (c == '\\') c = '/';
  if (strcasecmp(dir.c_str(), "c:/temp") == 0 || strcasecmp(dir.c_str(), "c:/temp/") == 0) dir.clear();
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

std::string log_file_path(const char* name) { return log_dir_of(state().settings.LogDir) + "/" + name; }

void open_http_log(const char* log_dir) {
  close_http_log();
  std::string path = log_dir_of(log_dir) + "/kyvekhttp.log";
  // Only an existing log is written to: the administrator creates it to trace.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  g_log = ::fdopen(fd, "a");
  if (!g_log) {
    ::close(fd);
    return;
  }
  std::setvbuf(g_log, nullptr, _IONBF, 0);
}

void close_http_log() {
  if (g_log) std::fclose(g_log);
  g_log = nullptr;
}

bool http_log_open() { return g_log != nullptr; }

void http_trace(const char* format, ...) {
  if (!g_log) return;
  va_list ap;
  va_start(ap, format);
  std::vfprintf(g_log, format, ap);
  va_end(ap);
}

const uri_entry* find_uri(std::string_view uri) {
  for (const auto& row : uri_table())
    if (uri == row.path) return &row;
  return nullptr;
}

void serve_http_connection(int socket) {
  http_request r;
  r.socket = socket;
  r.deadline = Clock::now() + std::chrono::milliseconds(kConnectionDeadlineMs);
  // A client that stops reading cannot hold a send beyond the deadline either.
  timeval tv{kConnectionDeadlineMs / 1000, 0};
  ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  http_trace("handling request\n");
  int head_status = 0;
  std::string head = read_request_head(socket, r.deadline, &head_status);
  http_trace("Incoming request:\n");
  if (head_status != 0) {
    http_trace("Received request of %zu bytes - %s\n", head.size(), head_status == 413 ? "too big" : "timed out");
    send_error_response(socket, head_status);
  } else if (!head.empty()) {
    if (http_log_open())
      http_trace("Read %zu bytes from socket %d\n==========\n%s\n==========\n", head.size(), socket,
                 masked_for_trace(head).c_str());
    if (parse_request(head.data(), head.size(), r) != 0) {
      send_error_response(socket, r.status);
    } else {
      const uri_entry* row = find_uri(r.uri);
      if (!row) {
        send_error_response(socket, 404);
      } else {
        std::vector<char> out(kPageCapacity + 1);
        size_t length = kPageCapacity;
        r.status = 200;
        uint32_t flags = row->flags;
        int rc = 0;
        if ((row->flags & URI_ADMIN) && authorise_request(r, out.data(), &length) == 0)
          flags = URI_NOCACHE;  // the refusal is a page, whatever the row sends
        else
          rc = row->fn(*row, r, out.data(), &length);
        if (rc < 0) {
          http_trace("uri_fn() failed with %d\n", rc);
          if (r.status != 0) send_error_response(socket, r.status);
        } else if (!(row->flags & URI_SELF_SENT)) {
          if (r.output_flags & 1) {
            send_all(socket, out.data(), length);
          } else {
            std::string header = make_response_header(&r, r.status, flags);
            if (send_all(socket, header.data(), header.size()) == 0 && length > 0) send_all(socket, out.data(), length);
          }
        }
      }
    }
  }
  finish_connection(socket);
}

}  // namespace kyvek::http

using namespace kyvek::http;

extern "C" int run_http_server(server_stats_t* block) {
  http_state& st = state();
  st.block = block;
  // LogDir first, so that the log is open while the rest is read.
  char log_dir[1024] = "";
  read_setting_text(log_dir, sizeof log_dir, "LogDir");
  open_http_log(log_dir);
  http_trace("Started logging KYVEK HTTP Server\n");
  char* error_text = nullptr;
  if (read_ini_settings(settings_table(st.settings), &error_text, trace_settings, nullptr, 0) != 0) {
    event(EVENTLOG_ERROR, EV_ERROR_TEXT, error_text ? error_text : "Failed to read settings");
    close_http_log();
    return 1;
  }
  if (st.settings.HTTPNetworkAccess[0]) {
    free_ip_acl(&st.access);
    char* acl_error = nullptr;
    if (veks_create_ip_acl(",", st.settings.HTTPNetworkAccess, &st.access, &acl_error) != 0) {
      event(EVENTLOG_ERROR, EV_ERROR_TEXT, acl_error ? acl_error : "Invalid HTTPNetworkAccess");
      close_http_log();
      return 1;
    }
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(st.settings.HTTPPort));
  // The pages listen where the server does: IPAddress, when it names one.
  if (st.settings.IPAddress[0] && ::inet_pton(AF_INET, st.settings.IPAddress, &addr.sin_addr) != 1) {
    std::string text = format_text("IPAddress %s is not an IP address", st.settings.IPAddress);
    event(EVENTLOG_ERROR, EV_ERROR_TEXT, text.c_str());
    if (listener >= 0) ::close(listener);
    close_http_log();
    return 1;
  }
  http_trace("Using port %u\n", st.settings.HTTPPort);
  if (listener < 0 || st.settings.HTTPPort > 65535 ||
      ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int e = errno;
    std::string text = format_text("(%u), (%s)", st.settings.HTTPPort, errno_text(e).c_str());
    event(EVENTLOG_ERROR, EV_BIND_FAILED, text.c_str());
    http_trace("Failed to bind socket\n");
    if (listener >= 0) ::close(listener);
    free_ip_acl(&st.access);
    close_http_log();
    return 1;
  }
  st.port = st.settings.HTTPPort;
  if (::listen(listener, 5) != 0) {
    std::string text = format_text("(%u), %s\n", st.settings.HTTPPort, errno_text(errno).c_str());
    event(EVENTLOG_ERROR, EV_LISTEN_FAILED, text.c_str());
    http_trace("Failed to listen\n");
    ::close(listener);
    free_ip_acl(&st.access);
    close_http_log();
    return 1;
  }
  event(EVENTLOG_INFORMATION, EV_HTTP_STARTED, "");
  if (http_guard_enter() != 0) http_trace("No fault guard: faults end the server without a report\n");
  int client = -1;
  try {
    for (bool running = true; running;) {
      http_trace("Waiting for connection\n");
      pollfd fds[2] = {{listener, POLLIN, 0}, {ky_service_wakeup_fd(), POLLIN, 0}};
      int nfds = fds[1].fd >= 0 ? 2 : 1;
      int rc = ::poll(fds, static_cast<nfds_t>(nfds), kPollMs);
      if (rc < 0 && errno == EINTR) continue;
      if (rc < 0) {
        std::string text = format_text("Select failed - terminating, %s\n", errno_text(errno).c_str());
        event(EVENTLOG_ERROR, EV_ERROR_TEXT, text.c_str());
        http_trace("%s", text.c_str());
        break;
      }
      if (nfds == 2 && (fds[1].revents & POLLIN)) ky_service_drain_wakeup();
      if (!(fds[0].revents & POLLIN)) {
        uint32_t s = service_state();
        if (s == KY_SERVICE_STOP_PENDING) {
          report_service_state(s);
          running = false;
        } else if (s == KY_SERVICE_PAUSE_PENDING) {
          report_service_state(s);
          report_service_state(KY_SERVICE_PAUSED);
          event(EVENTLOG_INFORMATION, EV_HTTP_PAUSED, "");
          while (service_state() == KY_SERVICE_PAUSED) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        }
        continue;
      }
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      client = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (client < 0) continue;
      char address[INET_ADDRSTRLEN] = "";
      ::inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
      if (st.access && !match_ip_acl(address, st.access, nullptr, 0)) {
        http_trace("Client %s refused\n", address);
        drain(client, 200);
        send_error_response(client, 403);
        ::shutdown(client, SHUT_WR);
        drain(client, kDrainMs);
        ::close(client);
      } else {
        st.client = client;
        serve_http_connection(client);
        st.client = -1;
      }
      client = -1;
    }
  } catch (const std::exception& e) {
    http_trace("Exception: %s\n", e.what());
    std::string report = http_exception_report();
    if (client >= 0) {
      send_error_response(client, 500);
      send_error_message(nullptr, client,
                         "Exception caught in HTTP Server\n-VEK HTTP Server terminating<pre>\r\n" +
                             html_escape(report) + "</pre>\r\n");
      ::shutdown(client, SHUT_RDWR);
      ::close(client);
    }
    ::close(listener);
    http_trace("Exception caught in HTTP Server\n- %s\n", "VEK HTTP Server terminating");
    event(EVENTLOG_ERROR, EV_HTTP_EXCEPTION, report.c_str());
    event(EVENTLOG_ERROR, EV_HTTP_EXCEPTION, "VEK HTTP Server terminating");
    // A failure is not reported as success.
    std::_Exit(1);
  }
  http_guard_leave();
  ::close(listener);
  free_ip_acl(&st.access);
  report_service_state(KY_SERVICE_STOPPED);
  event(EVENTLOG_INFORMATION, EV_HTTP_STOPPED, "");
  close_http_log();
  return 0;
}
