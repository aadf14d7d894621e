// The administration server's process: settings, the trace log, the listening
// socket and the HTTP transport (libmicrohttpd, a thread per connection with
// time-outs and limits), the network-access check, the dispatch table, the
// 2-second look at the service state, and SIGHUP's reload of the settings.
#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <strings.h>
#include <thread>

#include "crash/crash.h"
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
// Connections at once, and from one address (a browser opens a few; a
// visitor that holds more than this gets no more).
constexpr unsigned kMaxConnections = 64;
constexpr unsigned kMaxPerAddress = 32;
// Memory of one connection: its request head must fit in it (a larger head
// is answered 431 by the library).
constexpr size_t kConnectionMemory = 32 * 1024;

FILE* g_log = nullptr;

// Page code runs one request at a time: the pages share the settings, the
// page buffer discipline and the configuration store. The transport reads and
// writes every connection on its own thread, so a slow or idle visitor holds
// no one else.
std::mutex g_page_lock;
// The graph's plotter runs outside the page lock, one at a time: a plot (up
// to 20 seconds) holds no other page. A reload takes both.
std::mutex g_plot_lock;

// SIGHUP: reload (set by the handler, taken by the loop).
std::atomic<bool> g_reload{false};
int g_hup_pipe[2] = {-1, -1};

void event(uint16_t type, uint32_t id, const char* text) {
  log_server_event(state().block, server_source(), type, id, text, nullptr);
}

// The head as traced: credentials never reach the log.
std::string masked_for_trace(const std::string& head) {
  std::string out;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t end = head.find('\n', pos);
    end = end == std::string::npos ? head.size() : end + 1;
    std::string_view line(head.data() + pos, end - pos);
    size_t colon = line.find(':');
    std::string name(colon == std::string_view::npos ? std::string_view() : line.substr(0, colon));
    if (strcasecmp(name.c_str(), "authorization") == 0 || strcasecmp(name.c_str(), "proxy-authorization") == 0) {
      out += name;
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

std::string request_head(std::string_view method, std::string_view uri, std::string_view version,
                         const std::vector<std::pair<std::string, std::string>>& headers) {
  std::string head;
  head.append(method).append(" ").append(uri).append(" ").append(version).append("\r\n");
  for (const auto& [name, value] : headers) head.append(name).append(": ").append(value).append("\r\n");
  head += "\r\n";
  return head;
}

std::string serve_request(const std::string& head, const std::string* body, const char* client_address,
                          const basic_credentials* credentials) {
  std::unique_lock<std::mutex> lock(g_page_lock);
  std::string output;
  output_sink sink(&output);
  http_request r;
  r.deadline = Clock::now() + std::chrono::milliseconds(kConnectionDeadlineMs);
  if (http_log_open())
    http_trace("Read %zu bytes from %s\n==========\n%s\n==========\n", head.size(), client_address,
               masked_for_trace(head).c_str());
  if (state().access && !match_ip_acl(client_address, state().access, nullptr, 0)) {
    http_trace("Client %s refused\n", client_address);
    send_error_response(-1, 403);
    return output;
  }
  if (head.size() >= kRequestCap) {
    http_trace("Received request of %zu bytes - too big\n", head.size());
    send_error_response(-1, 413);
    return output;
  }
  if (parse_request(head.data(), head.size(), r) != 0) {
    send_error_response(-1, r.status);
    return output;
  }
  std::snprintf(state().last_uri, sizeof state().last_uri, "%s", r.uri.substr(0, kLastUriMax).c_str());
  r.client_address = client_address;
  if (credentials) r.credentials = *credentials;
  if (body) {
    if (body->size() >= kPostCap) {
      send_error_response(-1, 413);
      return output;
    }
    // The transport has the whole body (by its length or its chunks).
    r.content_length = static_cast<uint32_t>(body->size());
    r.content_length_known = true;
    if (!body->empty()) r.posted = *body;
  }
  const uri_entry* row = find_uri(r.uri);
  if (!row) {
    send_error_response(-1, 404);
    return output;
  }
  std::vector<char> out(kPageCapacity + 1);
  size_t length = kPageCapacity;
  r.status = 200;
  uint32_t flags = row->flags;
  int rc = 0;
  if (!admit_request(*row, r, out.data(), &length))
    flags = URI_NOCACHE;  // the refusal is a page, whatever the row sends
  else if (row->flags & URI_PNG) {
    lock.unlock();
    {
      std::lock_guard<std::mutex> plot(g_plot_lock);
      rc = row->fn(*row, r, out.data(), &length);
    }
    lock.lock();
  } else {
    rc = row->fn(*row, r, out.data(), &length);
  }
  if (rc < 0) {
    http_trace("uri_fn() failed with %d\n", rc);
    if (r.status != 0) send_error_response(-1, r.status);
  } else if (!(row->flags & URI_SELF_SENT)) {
    if (r.output_flags & 1) {
      send_all(-1, out.data(), length);
    } else {
      std::string header = make_response_header(&r, r.status, flags);
      send_all(-1, header.data(), header.size());
      if (length > 0) send_all(-1, out.data(), length);
    }
  }
  return output;
}

namespace {

// One connection's request as the transport hands it over in steps.
struct pending_request {
  std::string uri;  // as sent, with its query
  std::string body;
  bool has_body = false;
  bool too_big = false;
  bool started = false;
};

void* on_uri(void*, const char* uri, MHD_Connection*) {
  auto* p = new (std::nothrow) pending_request;
  if (p) p->uri = uri ? uri : "";
  return p;
}

void on_completed(void*, MHD_Connection*, void** con_cls, MHD_RequestTerminationCode) {
  delete static_cast<pending_request*>(*con_cls);
  *con_cls = nullptr;
}

// A connection's thread runs under the fault guard, as the main thread does.
void on_connection(void*, MHD_Connection*, void**, MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    if (!crash_guard_active()) http_guard_thread();
  } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    if (crash_guard_active()) http_guard_leave();
  }
}

MHD_Result collect_header(void* cls, MHD_ValueKind, const char* key, const char* value) {
  auto* list = static_cast<std::vector<std::pair<std::string, std::string>>*>(cls);
  list->emplace_back(key ? key : "", value ? value : "");
  return MHD_YES;
}

// Hands the gathered answer (status line, header lines, body) to the library.
MHD_Result queue_answer(MHD_Connection* connection, const std::string& answer) {
  size_t head_end = answer.find("\n\n");
  size_t body_at = head_end == std::string::npos ? answer.size() : head_end + 2;
  std::string_view head(answer.data(), head_end == std::string::npos ? answer.size() : head_end);
  unsigned status = 500;
  size_t sp = head.find(' ');
  if (sp != std::string_view::npos) status = static_cast<unsigned>(std::atoi(std::string(head.substr(sp + 1, 3)).c_str()));
  if (status < 100 || status > 599) status = 500;
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.size() - body_at, const_cast<char*>(answer.data() + body_at),
                                      MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  // One request per connection, as every answer says (error answers too).
  bool close_named = false;
  size_t pos = head.find('\n');
  while (pos != std::string_view::npos && pos < head.size()) {
    size_t next = head.find('\n', pos + 1);
    std::string line(head.substr(pos + 1, (next == std::string_view::npos ? head.size() : next) - pos - 1));
    pos = next;
    size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    // The library writes the date and the length itself.
    if (strcasecmp(name.c_str(), "Date") == 0 || strcasecmp(name.c_str(), "Content-Length") == 0) continue;
    close_named = close_named || strcasecmp(name.c_str(), "Connection") == 0;
    MHD_add_response_header(response, name.c_str(), line.c_str() + colon + 2);
  }
  if (!close_named) MHD_add_response_header(response, "Connection", "close");
  MHD_Result rc = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return rc;
}

std::string client_address_of(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  char text[INET_ADDRSTRLEN] = "";
  if (info && info->client_addr && info->client_addr->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text, sizeof text);
  return text;
}

MHD_Result on_request(void*, MHD_Connection* connection, const char*, const char* method, const char* version,
                      const char* upload_data, size_t* upload_size, void** con_cls) {
  auto* p = static_cast<pending_request*>(*con_cls);
  if (!p) return MHD_NO;
  if (!p->started) {
    // The head is complete; the body (by its length or in chunks) follows.
    // A length beyond the form cap is refused before anything is read.
    p->started = true;
    const char* declared = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (declared && std::strtoull(declared, nullptr, 10) >= kPostCap) {
      std::string answer;
      output_sink sink(&answer);
      send_error_response(-1, 413);
      return queue_answer(connection, answer);
    }
    return MHD_YES;
  }
  if (*upload_size > 0) {
    p->has_body = true;
    if (p->body.size() + *upload_size >= kPostCap)
      p->too_big = true;
    else
      p->body.append(upload_data, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  std::vector<std::pair<std::string, std::string>> headers;
  MHD_get_connection_values(connection, MHD_HEADER_KIND, collect_header, &headers);
  std::string head = request_head(method ? method : "", p->uri, version ? version : "", headers);
  std::optional<basic_credentials> credentials;
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(connection, &password);
  if (user) credentials = basic_credentials{user, password ? password : ""};
  if (user) MHD_free(user);
  if (password) {
    std::memset(password, 0, std::strlen(password));
    MHD_free(password);
  }
  std::string address = client_address_of(connection);
  std::string answer;
  if (p->too_big) {
    output_sink sink(&answer);
    send_error_response(-1, 413);
  } else {
    bool body = p->has_body || std::strcmp(method ? method : "", "POST") == 0;
    try {
      answer = serve_request(head, body ? &p->body : nullptr, address.c_str(), credentials ? &*credentials : nullptr);
    } catch (const std::exception& e) {
      http_trace("Exception: %s\n", e.what());
      std::string report = http_exception_report();
      http_trace("Exception caught in HTTP Server\n- %s\n", "VEK HTTP Server terminating");
      event(EVENTLOG_ERROR, EV_HTTP_EXCEPTION, report.c_str());
      event(EVENTLOG_ERROR, EV_HTTP_EXCEPTION, "VEK HTTP Server terminating");
      // A failure is not reported as success.
      std::_Exit(1);
    }
  }
  return queue_answer(connection, answer);
}

void library_log(void*, const char* format, va_list ap) {
  if (!g_log) return;
  std::vfprintf(g_log, format, ap);
}

MHD_Daemon* start_transport(int listener) {
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ITC | MHD_USE_ERROR_LOG;
  return MHD_start_daemon(
      flags, 0, nullptr, nullptr, on_request, nullptr, MHD_OPTION_LISTEN_SOCKET, listener,
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kConnectionDeadlineMs / 1000),
      MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxPerAddress,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_URI_LOG_CALLBACK, on_uri, nullptr,
      MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr, MHD_OPTION_NOTIFY_CONNECTION, on_connection, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, library_log, nullptr, MHD_OPTION_END);
}

// Stops the transport but keeps the listening socket: clients wait in its
// backlog until it starts again.
void stop_transport(MHD_Daemon*& daemon) {
  if (!daemon) return;
  MHD_quiesce_daemon(daemon);
  MHD_stop_daemon(daemon);
  daemon = nullptr;
}

void on_hangup(int) {
  g_reload.store(true);
  if (g_hup_pipe[1] >= 0) {
    char c = 1;
    ssize_t n = ::write(g_hup_pipe[1], &c, 1);
    (void)n;
  }
}

// Reads the settings into st and builds the access list; on failure nothing
// of the running settings changes. 0, or -1 with *error set.
int load_settings(http_state& st, const char** error) {
  http_settings fresh;
  char* error_text = nullptr;
  if (read_ini_settings(settings_table(fresh), &error_text, trace_settings, nullptr, 0) != 0) {
    *error = error_text ? error_text : "Failed to read settings";
    return -1;
  }
  ip_acl_entry* access = nullptr;
  if (fresh.HTTPNetworkAccess[0]) {
    char* acl_error = nullptr;
    if (veks_create_ip_acl(",", fresh.HTTPNetworkAccess, &access, &acl_error) != 0) {
      *error = acl_error ? acl_error : "Invalid HTTPNetworkAccess";
      return -1;
    }
  }
  free_ip_acl(&st.access);
  st.access = access;
  st.settings = fresh;
  return 0;
}

// SIGHUP: the settings and the access list afresh, and the trace log
// reopened. The address and port stay until the next start.
void reload_settings(http_state& st) {
  std::lock_guard<std::mutex> lock(g_page_lock);
  std::lock_guard<std::mutex> plot(g_plot_lock);
  char log_dir[1024] = "";
  read_setting_text(log_dir, sizeof log_dir, "LogDir");
  open_http_log(log_dir);
  const char* error = nullptr;
  if (load_settings(st, &error) != 0) {
    std::string text = format_text("SIGHUP: settings not reloaded: %s", error);
    event(EVENTLOG_WARNING, EV_WARNING_TEXT, text.c_str());
    return;
  }
  http_trace("SIGHUP: settings reloaded\n");
  event(EVENTLOG_INFORMATION, EV_HTTP_STARTED, "SIGHUP: settings and access list reloaded");
}

}  // namespace

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
  const char* error = nullptr;
  if (load_settings(st, &error) != 0) {
    event(EVENTLOG_ERROR, EV_ERROR_TEXT, error);
    close_http_log();
    return 1;
  }
  init_form_secret();
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
    free_ip_acl(&st.access);
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
  if (::listen(listener, SOMAXCONN) != 0) {
    std::string text = format_text("(%u), %s\n", st.settings.HTTPPort, errno_text(errno).c_str());
    event(EVENTLOG_ERROR, EV_LISTEN_FAILED, text.c_str());
    http_trace("Failed to listen\n");
    ::close(listener);
    free_ip_acl(&st.access);
    close_http_log();
    return 1;
  }
  if (::pipe2(g_hup_pipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction sa {};
    sa.sa_handler = on_hangup;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGHUP, &sa, nullptr);
  }
  if (http_guard_enter() != 0) http_trace("No fault guard: faults end the server without a report\n");
  MHD_Daemon* daemon = start_transport(listener);
  if (!daemon) {
    event(EVENTLOG_ERROR, EV_LISTEN_FAILED, "Failed to start the HTTP transport");
    http_guard_leave();
    ::close(listener);
    free_ip_acl(&st.access);
    close_http_log();
    return 1;
  }
  event(EVENTLOG_INFORMATION, EV_HTTP_STARTED, "");
  for (bool running = true; running;) {
    pollfd fds[2] = {{g_hup_pipe[0], POLLIN, 0}, {ky_service_wakeup_fd(), POLLIN, 0}};
    int nfds = fds[1].fd >= 0 ? 2 : 1;
    int rc = ::poll(fds, static_cast<nfds_t>(nfds), kPollMs);
    if (rc < 0 && errno != EINTR) {
      std::string text = format_text("Select failed - terminating, %s\n", errno_text(errno).c_str());
      event(EVENTLOG_ERROR, EV_ERROR_TEXT, text.c_str());
      break;
    }
    if (fds[0].revents & POLLIN) {
      char drain[16];
      while (::read(g_hup_pipe[0], drain, sizeof drain) > 0) {
      }
    }
    if (nfds == 2 && (fds[1].revents & POLLIN)) ky_service_drain_wakeup();
    if (g_reload.exchange(false)) reload_settings(st);
    uint32_t s = service_state();
    if (s == KY_SERVICE_STOP_PENDING) {
      report_service_state(s);
      running = false;
    } else if (s == KY_SERVICE_PAUSE_PENDING) {
      report_service_state(s);
      stop_transport(daemon);
      report_service_state(KY_SERVICE_PAUSED);
      event(EVENTLOG_INFORMATION, EV_HTTP_PAUSED, "");
      while (service_state() == KY_SERVICE_PAUSED) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      daemon = start_transport(listener);
      if (!daemon) {
        event(EVENTLOG_ERROR, EV_LISTEN_FAILED, "Failed to start the HTTP transport");
        break;
      }
    }
  }
  stop_transport(daemon);
  http_guard_leave();
  ::close(listener);
  free_ip_acl(&st.access);
  report_service_state(KY_SERVICE_STOPPED);
  event(EVENTLOG_INFORMATION, EV_HTTP_STOPPED, "");
  close_http_log();
  return 0;
}
