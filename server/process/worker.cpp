// Connection workers: the RPC binding of one client link, the per-link record,
// the MultiProcess child and HTTP child starters, and refusal frames.
//
// A worker thread owns its RPC handle, its net_connection_info_t and its socket.
// The exception-stop flag is the only state shared with the listener.
#include "worker.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <linux/close_range.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "identity.h"
#include "audit.h"
#include "events.h"
#include "exception_report.h"
#include "sockets.h"
#include "link_watch.h"
#include "logon/logon.h"
#include "net_connection.h"
#include "dsn_access.h"
#include "procedure_table.h"
#include "server_info.h"
#include "server_policy.h"
#include "sql_log.h"
#include "settings.h"
#include "startup_log.h"
#include "trace_log.h"
#include "text_parsers.h"
#include "worker_list.h"

namespace {

std::atomic<int> g_exception_stop{0};
// Worker threads serving a link now.
std::atomic<int> g_live_workers{0};
std::atomic<pid_t> g_httpd_pid{-1};

// The process's side of the handlers' policy table.
uint32_t loaded_flags() { return server_settings()->Flags; }

// A refused logon is reported when it happens, in every mode, with the name
// the client gave and its address; the audit line carries the name where
// other lines carry the host.
void logon_refused(const net_connection_info_t* info, const char* user, int code) {
  const char* address = info && info->client_address[0] ? info->client_address : "unknown address";
  std::string name = user ? user : "";
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  const char* why = "refused";
  switch (code) {
    case KY_LOGON_ERROR_LOGON_FAILURE: why = "wrong user name or password"; break;
    case KY_LOGON_ERROR_NO_SUCH_USER: why = "unknown user"; break;
    case KY_LOGON_ERROR_ACCOUNT_RESTRICTION: why = "account may not log on now"; break;
    case KY_LOGON_ERROR_INVALID_PARAMETER: why = "no user name given"; break;
    case KY_LOGON_ERROR_NOT_ENOUGH_MEMORY: why = "out of memory"; break;
    default: break;
  }
  char text[400];
  std::snprintf(text, sizeof text, "%s: failed logon for user '%s' (%s, code %d)", address, name.c_str(), why, code);
  log_server_event(server_event_block(), server_event_source(), EVENTLOG_WARNING, EV_INVALID_AUTH, text, nullptr);
  if (server_settings()->Flags & AuditODBCAccess) audit_event(AUDIT_AUTH_DENIED, address, ("user " + name).c_str());
}

// A refused connection string is audited whatever AuditODBCAccess says, as a
// refusal by a DSN rule is.
void connect_refused(const net_connection_info_t* info, const char* keyword) {
  const char* address = info && info->client_address[0] ? info->client_address : "unknown address";
  // The keyword is the client's text: it cannot start a line of its own.
  std::string name = keyword ? keyword : "";
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  audit_event(AUDIT_REFUSED_KEYWORD, address, name.c_str());
}

// The thread page shows a logged-on client's user before it connects to a DSN.
void logged_on(const net_connection_info_t* info) { worker_list_note_user(info->user_name); }

constexpr veks_server_policy kPolicy = {read_flags_setting, loaded_flags,  read_logging_setting, read_setting_text,
                                        register_dsn,       logon_refused, logged_on,            connect_refused};

void report_error_event(const char* text, const char* text2 = nullptr) {
  log_server_event(server_event_block(), server_event_source(), EVENTLOG_ERROR, EV_ERROR_TEXT, text, text2);
}

// Dotted quad of the peer, "" when it cannot be had.
void peer_address(int sock, char* out, size_t size) {
  out[0] = '\0';
  sockaddr_storage peer{};
  socklen_t len = sizeof peer;
  if (::getpeername(sock, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
    socket_address_text(reinterpret_cast<sockaddr*>(&peer), out, static_cast<unsigned>(size));
}

// Index of the last transport with this name, -1 when none; *count gets the
// number of transports.
int find_transport(RpcHandle* h, const char* wanted, int* count) {
  int found = -1;
  int i = 0;
  for (;; ++i) {
    const char* name = nullptr;
    const char* desc = nullptr;
    if (RPCEnumerateTransports(h, i, &name, &desc) != 0 || !name) break;
    if (std::strcmp(name, wanted) == 0) found = i;
  }
  *count = i;
  return found;
}

// Frees the handle in the order that keeps the link's record valid while the
// terminate callback runs: disconnect, terminate, then detach and free.
void release_link(RpcHandle* h, net_connection_info_t* info, bool terminate, bool log_failures) {
  if (!h) {
    std::free(info);
    return;
  }
  if (terminate && RPCTerminate(h) != 0 && log_failures) log_printf_tid("RPCTermainte failed\n");
  RPCRegisterPrivatePtr(h, nullptr, 0);
  std::free(info);
  if (RPCFreeHandle(h) != 0 && log_failures) log_printf_tid("RPCFreeHandle failed\n");
}

// True when the handshake failed because the peer went away: a text ending in
// "peer", or a transport's text for a link the peer closed before sending a
// header (or, on the BSD transport, reset). Such a peer (a port probe, a client
// that gave up) is no attack and must not be denied by AutoDeny.
bool peer_went_away(const char* text, size_t len) {
  if (len >= 4 && std::strcmp(text + len - 4, "peer") == 0) return true;
  if (std::strcmp(text, "Connection closed by client prematurely") == 0 ||
      std::strcmp(text, "Failed to read data \n recv(..,4,...)=0 - short read") == 0)
    return true;
  static const char kHeader[] = "Failed to receive packet header, recv()=";
  if (std::strncmp(text, kHeader, sizeof kHeader - 1) != 0) return false;
  if (std::strncmp(text + sizeof kHeader - 1, "0 ", 2) == 0) return true;
  char reset[32];
  int n = std::snprintf(reset, sizeof reset, "(errno=%d)", ECONNRESET);
  return n > 0 && len >= static_cast<size_t>(n) && std::strcmp(text + len - n, reset) == 0;
}

// Reports a handshake failure. A peer that went away or a bare code gives no
// event; a peer that does not speak the protocol gives the warning and status 202.
// True when the peer just went away (a probe that connects and closes): no error.
bool report_connect_failure(RpcHandle* h, const char* address) {
  const char* text = nullptr;
  int code = RPCReportError(h, &text);
  const char* shown = (text && *text) ? text : "No RPC error available";
  char message[1024];
  std::snprintf(message, sizeof message, "Failed connect (%s) - %s (%d)", *address ? address : "unknown", shown, code);
  startup_log("%s\n", message);
  size_t len = text ? std::strlen(text) : 0;
  if (len <= 4) return false;
  if (peer_went_away(text, len)) return true;
  char answer[10] = "";
  if (RPCGetInfo(h, RPC_INFO_NOT_RPC, answer, sizeof answer) >= 0 && std::strcmp(answer, "Y") == 0) {
    log_server_event(server_event_block(), server_event_source(), EVENTLOG_WARNING, EV_NOT_RPC_CLIENT, address,
                     nullptr);
    set_connection_exit_status(CONNECTION_STATUS_NOT_RPC);
  } else {
    report_error_event(message);
  }
  return false;
}

// Runs the serving loop under the exception guard; true when a C++ exception
// ended it (a fatal signal ends the process from its handler).
bool run_guarded(RpcHandle* h, bool one_shot) {
  exception_guard_enter(h, one_shot ? 1 : 0);
  bool caught = false;
  try {
    RPCRun(h);
  } catch (...) {
    exception_filter(nullptr, nullptr, h);
    caught = true;
  }
  exception_guard_leave();
  return caught;
}

void report_exception() {
  const char* report = exception_report_text();
  log_server_event(server_event_block(), server_event_source(), EVENTLOG_ERROR, EV_WORKER_EXCEPTION,
                   report ? report : "VEK Server ODBC thread/process Exception\n", nullptr);
  clear_exception_report();
}

// Steps 1-4 of the binding: allocate, attach the record, initialise on the
// socket, export the table. On failure *failure names the step.
RpcHandle* bind_link(int sock, net_connection_info_t** info_out, bool* initialised, const char** failure) {
  *initialised = false;
  *info_out = nullptr;
  RpcHandle* h = RPCAllocHandle();
  if (!h) {
    *failure = "Failed to allocate RPC handle";
    return nullptr;
  }
  auto* info = static_cast<net_connection_info_t*>(std::calloc(1, sizeof(net_connection_info_t)));
  if (!info) {
    *failure = "Failed to allocate net connection info structure";
    return h;
  }
  *info_out = info;
  RPCRegisterPrivatePtr(h, info, 0);
  if (RPCInitialise(h, RPC_MODE_SERVER, sock) != 0) {
    *failure = "Failed to initialise RPC";
    return h;
  }
  worker_install_server_policy();
  if (RPCExport(h, server_procedure_table) != 0) {
    *failure = "Failed to Export RPC functions";
    RPCTerminate(h);
    return h;
  }
  *initialised = true;
  *failure = nullptr;
  return h;
}

// A worker that logged a client on acts as that user until the link ends;
// then it takes the process's own identity back.
void drop_identity() {
  if (ky_logon_can_impersonate()) ky_logon_revert();
}

// In a forked child before exec: no blocked signals, SIGPIPE back to its
// default (async-signal-safe).
void reset_child_signals() {
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
}

}  // namespace

extern "C" void worker_install_server_policy(void) {
  veks_set_server_policy(&kPolicy);
  sql_log_open();
}

extern "C" int worker_exception_stop(void) { return g_exception_stop.load(); }
extern "C" void set_worker_exception_stop(int on) { g_exception_stop.store(on); }

extern "C" void* connection_thread(void* arg) {
  g_live_workers.fetch_add(1);
  auto* start = static_cast<worker_start_block*>(arg);
  server_stats_t* stats = start->stats;
  thread_entry_t* entry = start->entry;
  std::free(start);
  int sock = entry->socket;
  // The worker names its own entry, so that a DSN registered by its first
  // request finds it even before the listener has looked again.
  lock_thread_table();
  entry->id = static_cast<uint32_t>(::gettid());
  int64_t started = entry->start_time;
  char client[sizeof entry->client_address];
  std::memcpy(client, entry->client_address, sizeof client);
  unlock_thread_table();
  worker_list_enter(THREAD_KIND_THREAD, client, started);
  set_connection_exit_status(CONNECTION_STATUS_OK);
  startup_log("thread %p, %ld started with socket %d\n", static_cast<void*>(entry), static_cast<long>(::gettid()),
              sock);

  net_connection_info_t* info = nullptr;
  bool initialised = false;
  const char* failure = nullptr;
  RpcHandle* h = bind_link(sock, &info, &initialised, &failure);
  veks_set_link_socket(sock);
  bool exception = false;
  if (!failure) {
    info->stats = stats;
    peer_address(sock, info->client_address, sizeof info->client_address);
    int count = 0;
    int index = find_transport(h, RPC_TRANSPORT_NAME_WINSOCK, &count);
    if (count == 0)
      failure = "No transports found";
    else if (index < 0)
      failure = "Failed to find transport";
    else if (RPCSetTransportOpts(h, index, nullptr, "8888", nullptr, nullptr, nullptr, server_settings()->Timeout,
                                 nullptr) != 0)
      failure = "Failed to set RPC transport options";
  }
  if (failure) {
    std::string line = std::string(failure) + "\n";
    report_error_event(line.c_str());
    send_client_error(sock, line.c_str(), nullptr);
  } else if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) == 0) {
    exception = run_guarded(h, false);
    if (RPCDisconnect(h) != 0) log_printf_tid("RPCDisconnect failed\n");
  } else {
    report_connect_failure(h, info->client_address);
    RPCDisconnect(h);
  }
  if (exception) {
    set_worker_exception_stop(1);
    report_exception();
  }
  veks_set_link_socket(-1);
  release_link(h, info, initialised, !failure);
  close_socket_gracefully(sock);
  drop_identity();
  // Each worker thread's allocations come from an arena of the C library that
  // keeps its freed pages: when the last link has gone, they go back to the
  // system, so a burst of clients does not leave the server at its peak size.
  worker_list_leave();
  if (g_live_workers.fetch_sub(1) == 1) malloc_trim(0);
  uint32_t status = connection_exit_status();
  set_connection_exit_status(CONNECTION_STATUS_OK);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(status));
}

extern "C" int one_shot_connect(int method, int sock, const char* port_text, server_stats_t* stats) {
  startup_log("one_shot_connect(0x%lx, %d, %s, %p)\n", static_cast<unsigned long>(method), sock,
              port_text ? port_text : "(null)", static_cast<void*>(stats));
  time_t started = std::time(nullptr);
  // This process serves one connection: a logon drops it to the user for good,
  // before it ever reaches a target driver.
  ky_logon_set_for_good(1);
  // Refusals are audited after the drop too (a second logon on the link, a
  // refused connection string), when this process could no longer open the
  // trail.
  if (ky_logon_can_impersonate()) audit_open_early();
  char address[NET_CLIENT_ADDRESS_SIZE] = "";
  if (method == METHOD_INHERIT_SOCKET || method == METHOD_INETD) peer_address(sock, address, sizeof address);
  // A listener's per-connection child is listed among its workers.
  struct Listed {
    explicit Listed(bool on, const char* address, time_t started) {
      if (on) worker_list_enter(THREAD_KIND_PROCESS, address, static_cast<int64_t>(started));
    }
    ~Listed() { worker_list_leave(); }
  } listed(method == METHOD_INHERIT_SOCKET, address, started);

  RpcHandle* h = RPCAllocHandle();
  if (!h) {
    report_error_event("Failed to allocate RPC handle");
    return -1;
  }
  auto* info = static_cast<net_connection_info_t*>(std::calloc(1, sizeof(net_connection_info_t)));
  if (!info) {
    char size[32];
    std::snprintf(size, sizeof size, "%zu", sizeof(net_connection_info_t));
    log_server_event(server_event_block(), server_event_source(), EVENTLOG_ERROR, EV_NO_MEMORY, size,
                     "net_connection_info_t");
    startup_log("Failed to allocate %s bytes\n", size);
    RPCFreeHandle(h);
    return -1;
  }
  info->stats = stats;
  std::memcpy(info->client_address, address, sizeof address);
  RPCRegisterPrivatePtr(h, info, 0);

  auto fail = [&](const char* what, const char* detail, bool initialised) {
    std::string text = what;
    if (detail) text += detail;
    report_error_event(text.c_str());
    release_link(h, info, initialised, false);
    return -1;
  };
  auto rpc_text = [&]() {
    const char* t = nullptr;
    RPCReportError(h, &t);
    return std::string((t && *t) ? t : "No RPC error available");
  };
  if (RPCInitialise(h, RPC_MODE_SERVER, sock) != 0)
    return fail("Failed to initialise RPC - ", rpc_text().c_str(), false);
  veks_set_link_socket(sock);
  worker_install_server_policy();
  if (RPCExport(h, server_procedure_table) != 0) {
    std::string t = rpc_text();
    RPCTerminate(h);
    return fail("Failed to export RPC functions - ", t.c_str(), false);
  }
  const char* wanted = method == METHOD_INHERIT_SOCKET ? RPC_TRANSPORT_NAME_WINSOCK
                       : method == METHOD_LISTEN       ? RPC_TRANSPORT_NAME_BSD
                       : method == METHOD_INETD        ? RPC_TRANSPORT_NAME_TTY
                                                       : nullptr;
  if (!wanted) {
    char m[16];
    std::snprintf(m, sizeof m, "%lu", static_cast<unsigned long>(method));
    return fail("Internal error - unexpected method ", m, true);
  }
  int count = 0;
  int index = find_transport(h, wanted, &count);
  if (count == 0) return fail("No transports found", nullptr, true);
  if (index < 0) return fail("Failed to find transport - ", wanted, true);
  if (RPCSetTransportOpts(h, index, nullptr, port_text, nullptr, nullptr, nullptr, server_settings()->Timeout,
                          nullptr) != 0)
    return fail("Failed to set RPC transport options - ", rpc_text().c_str(), true);

  if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) != 0) {
    bool went_away = report_connect_failure(h, address);
    RPCDisconnect(h);
    release_link(h, info, true, false);
    close_socket_gracefully(sock);
    return went_away ? 0 : -1;
  }
  bool exception = run_guarded(h, true);
  if (exception) {
    std::printf("Exception\n");
    std::fflush(stdout);
    report_exception();
  }
  if (stats && info->dsn[0]) {
    time_t now = std::time(nullptr);
    stats_add_dsn_time(stats, info->dsn, static_cast<uint32_t>(now > started ? now - started : 0));
  }
  RPCDisconnect(h);
  release_link(h, info, true, true);
  close_socket_gracefully(sock);
  drop_identity();
  return static_cast<int>(connection_exit_status());
}

extern "C" pid_t start_new_process(thread_entry_t* entry, server_stats_t*) {
  startup_log("start_new_process()\n");
  int sock = entry->socket;
  char image[] = "/proc/self/exe";
  std::string sock_text = std::to_string(sock);
  char word[] = "tcpip_inherit_socket";
  // argv[0] is the program's name, so that ps shows "kyvekserver tcpip_inherit_socket N".
  char name[] = "kyvekserver";
  char* argv[] = {name, word, sock_text.data(), nullptr};
  std::string command = std::string("\"") + image + "\" tcpip_inherit_socket " + sock_text;
  startup_log("\tImage to run is %s\n", image);

  // A close-on-exec pipe tells the parent whether the exec worked.
  int status_pipe[2];
  if (::pipe2(status_pipe, O_CLOEXEC) != 0) status_pipe[0] = status_pipe[1] = -1;
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    reset_child_signals();
    ::setsid();
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != 0) {
      ::dup2(null_fd, 0);
      if (null_fd != sock) ::close(null_fd);
    }
    // Only the client socket crosses the exec.
    if (sock > 3) ::syscall(SYS_close_range, 3u, static_cast<unsigned>(sock - 1), CLOSE_RANGE_CLOEXEC);
    ::syscall(SYS_close_range, static_cast<unsigned>(sock + 1), ~0u, CLOSE_RANGE_CLOEXEC);
    int flags = ::fcntl(sock, F_GETFD);
    if (flags >= 0) ::fcntl(sock, F_SETFD, flags & ~FD_CLOEXEC);
    ::execv(image, argv);
    int e = errno;
    if (status_pipe[1] >= 0) {
      ssize_t w = ::write(status_pipe[1], &e, sizeof e);
      (void)w;
    }
    ::_exit(127);
  }
  int child_errno = 0;
  if (status_pipe[1] >= 0) ::close(status_pipe[1]);
  if (pid > 0 && status_pipe[0] >= 0) {
    ssize_t r;
    do r = ::read(status_pipe[0], &child_errno, sizeof child_errno);
    while (r < 0 && errno == EINTR);
    if (r != static_cast<ssize_t>(sizeof child_errno)) child_errno = 0;
  }
  if (status_pipe[0] >= 0) ::close(status_pipe[0]);
  if (pid < 0 || child_errno != 0) {
    int e = pid < 0 ? errno : child_errno;
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    startup_log("\tFailed to create new process, %d\n", e);
    log_server_event(server_event_block(), server_event_source(), EVENTLOG_ERROR, EV_PROCESS_CREATE_FAILED,
                     command.c_str(), nullptr);
    // A proper refusal frame: the client shows the text; no paths leak.
    send_client_error(sock, "Failed to create process", nullptr);
    errno = e;
    return -1;
  }
  startup_log("\tNew process started\n");
  start_thread_entry_process(entry, pid);
  ::close(sock);
  return pid;
}

extern "C" int start_httpd_process(server_stats_t*) {
  std::printf("Starting HTTP Server\n");
  std::fflush(stdout);
  startup_log("Starting separate HTTPD process\n");
  char image[] = "/proc/self/exe";
  char word[] = "httpd";
  char name[] = "kyvekserver";  // ps shows "kyvekserver httpd"
  char* argv[] = {name, word, nullptr};
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    reset_child_signals();
    // The administration child ends with its listener instead of living on.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(0);
    ::execv(image, argv);
    ::_exit(127);
  }
  if (pid < 0) {
    int e = errno;
    startup_log("Failed to start HTTPD, CreateProcess() returns %d\n", e);
    char* text = nullptr;
    format_system_error(&text, e);
    log_server_event(server_event_block(), server_event_source(), EVENTLOG_ERROR, EV_HTTP_START_FAILED,
                     text ? text : "CreateProcess() failed\n", nullptr);
    std::free(text);
    return -1;
  }
  ::sleep(2);
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    startup_log("HTTPD process started\n");
    g_httpd_pid.store(pid);
  } else {
    log_server_event(server_event_block(), server_event_source(), EVENTLOG_ERROR, EV_HTTP_START_FAILED,
                     "process exited unexpectedly", nullptr);
  }
  return 0;
}

extern "C" void reap_httpd_process(void) {
  pid_t pid = g_httpd_pid.load();
  if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) == pid) g_httpd_pid.store(-1);
}
