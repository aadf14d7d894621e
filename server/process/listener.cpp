// The listener: the service and console loops, listening, accept checks and
// worker starts. Service control lives in service_control.cpp, socket helpers
// in sockets.cpp. See listener.h.
#include "listener.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "access_list.h"
#include "audit.h"
#include "events.h"
#include "server_utils.h"
#include "service/service.h"
#include "service_control.h"
#include "sockets.h"
#include "settings.h"
#include "startup_log.h"
#include "trace_log.h"
#include "worker.h"
#include "worker_list.h"
#include "sql_log.h"
#include "text_parsers.h"

namespace {

std::atomic<int> g_service_result{0};  // Service()'s result, read after the dispatcher returned
// Set by SIGHUP: the listener re-reads the settings and reopens its log files.
std::atomic<int> g_hangup{0};

void on_hangup(int) { g_hangup.store(1, std::memory_order_relaxed); }

int default_thread_starter(pthread_t* thread, void* (*fn)(void*), void* arg) {
  return ::pthread_create(thread, nullptr, fn, arg);
}
void default_sleep(unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

// Seams for tests; set before the listener starts.
listener_thread_starter_fn g_thread_starter = default_thread_starter;
listener_sleep_fn g_sleep_seconds = default_sleep;

// Transient accept failures: the pending connection went away, or the call was
// interrupted; the loop simply goes on.
bool accept_error_is_transient(int e) {
  switch (e) {
    case EINTR:
    case EAGAIN:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case EPERM: return true;
    default: return false;
  }
}

// Out of descriptors or buffers: pause, then try again.
bool accept_error_is_exhaustion(int e) { return e == EMFILE || e == ENFILE || e == ENOBUFS || e == ENOMEM; }

void close_quietly(int& sock) {
  if (sock >= 0) ::close(sock);
  sock = -1;
}

// One listener, console or service. The texts and exit codes differ by mode.
class Listener {
 public:
  explicit Listener(bool service) : service_(service) {}

  int run_service();
  int run_console(int argc, char** argv);

 private:
  int loop();
  void periodic_step(bool timeout);
  void pause_while_paused();
  // Returns false when the loop must end (with *result set).
  bool serve_accepted(int client, const sockaddr_storage& peer, int* result);
  void drain_queue(std::vector<std::pair<int, sockaddr_storage>>& batch);
  bool start_thread_worker(int client, thread_entry_t* entry, int* result);
  void refuse(int client, const char* text, const char* detail, bool graceful);
  uint32_t flags() const { return server_settings()->Flags; }

  bool service_;
  int sock_ = -1;
  server_stats_t* block_ = nullptr;
  uint32_t attempts_ = 0;
};

void Listener::refuse(int client, const char* text, const char* detail, bool graceful) {
  send_client_error(client, text, detail);
  if (graceful) {
    // The listener goes on accepting while the refused peer is drained.
    close_socket_in_background(client);
  } else {
    ::shutdown(client, SHUT_RDWR);
    ::close(client);
  }
}

void Listener::periodic_step(bool timeout) {
  if (timeout) startup_log("select timeout\n");
  if ((flags() & ShowProcessTime) && block_) {
    double k = 0, u = 0;
    if (get_cpu_times(1, &k, &u) == 0) {
      block_->kernel_cpu_seconds = k;
      block_->user_cpu_seconds = u;
    }
  }
  uint32_t count = 0;
  cleanup_exited_threads(thread_table_head(), block_, flags(), &count);
  reap_httpd_process();
  bool hangup = g_hangup.exchange(0) != 0;
  if (hangup) {
    // Log rotation: the next entry opens the files under their names afresh.
    close_log();
    close_startup_log();
    sql_log_close();
    server_event(EVENTLOG_INFORMATION, EV_SERVER_RUNNING, "SIGHUP: rereading the settings and reopening the log files");
  }
  bool changed = block_ && __atomic_exchange_n(&block_->config_changed, 0u, __ATOMIC_ACQ_REL) != 0;
  if (changed || hangup) {
    startup_log("Configuration changed - rereading\n");
    char* err = nullptr;
    if (load_server_settings(&err, startup_log, 1) != 0)
      server_event(EVENTLOG_WARNING, EV_ERROR_TEXT, err ? err : "Failed to read settings");
    err = nullptr;
    if (build_server_acls(server_settings(), &err) != 0)
      server_event(EVENTLOG_WARNING, EV_ERROR_TEXT, err ? err : "Failed to build access lists");
  }
}

void Listener::pause_while_paused() {
  service_checkpoint();
  startup_log("Service PAUSE pending\n");
  report_service_state(KY_SERVICE_PAUSED);
  server_event(EVENTLOG_INFORMATION, EV_SERVER_PAUSED, "");
  std::string pid = std::to_string(::getpid());
  if (flags() & AuditODBCAccess) audit_event(AUDIT_SERVER_SUSPENDED, pid.c_str(), nullptr);
  if (block_) __atomic_store_n(&block_->paused, 1u, __ATOMIC_RELEASE);
  while (service_state() == KY_SERVICE_PAUSED) {
    // Waits in steps of at most 2 seconds; a control wakes it at once.
    int wfd = ky_service_wakeup_fd();
    if (wfd >= 0) {
      pollfd p{wfd, POLLIN, 0};
      if (::poll(&p, 1, 2000) > 0) ky_service_drain_wakeup();
    } else {
      std::this_thread::sleep_for(std::chrono::seconds(2));
    }
  }
  if (block_) __atomic_store_n(&block_->paused, 0u, __ATOMIC_RELEASE);
  startup_log("Service CONTINUED\n");
  if (flags() & AuditODBCAccess) audit_event(AUDIT_SERVER_RESUMED, pid.c_str(), nullptr);
}

bool Listener::start_thread_worker(int client, thread_entry_t* entry, int* result) {
  startup_log("Multi-threaded\n");
  entry->kind |= THREAD_KIND_THREAD;
  const server_settings_t* s = server_settings();
  uint32_t retries = 0;
  for (;;) {
    auto* start = static_cast<worker_start_block*>(std::malloc(sizeof(worker_start_block)));
    int rc = ENOMEM;
    pthread_t thread{};
    if (start) {
      start->stats = block_;
      start->entry = entry;
      startup_log("Starting new thread\n");
      rc = g_thread_starter(&thread, connection_thread, start);
      if (rc != 0) std::free(start);  // the worker never ran to free it
    }
    if (rc == 0) {
      startup_log("Started thread %lu\n", static_cast<unsigned long>(thread));
      start_thread_entry_thread(entry, thread);
      update_statistics(block_, STATS_WORKER_STARTED, nullptr, nullptr);
      return true;
    }
    if (rc == EAGAIN) {
      startup_log("_beginthreadex() returned EAGAIN\n");
      if (service_ && server_source())
        server_event(EVENTLOG_WARNING, EV_THREAD_CREATE_FAILED, "EAGAIN - too many threads");
      else
        std::fprintf(stderr, "EAGAIN - too many threads\n");
      ++retries;
      startup_log("Thread retries now %d\n", static_cast<int>(retries));
      startup_log("Pausing for %d\n", static_cast<int>(s->RetryPause));
      g_sleep_seconds(s->RetryPause);
      if (retries <= s->RetryCount) continue;
      const char* text = "After 5 attempts the VEK Server could still not create a thread due to lack of resources";
      if (service_) {
        startup_log("%s\n", text);
        server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, text);
      } else {
        startup_log("Too many retries\n");
        std::fprintf(stderr, "%s\n", text);
      }
      update_statistics(block_, STATS_WORKER_ENDED, nullptr, nullptr);
      refuse(client, text, nullptr, true);
      entry->in_use = 0;
      return true;
    }
    std::string sys = errno_text(rc);
    char message[256];
    std::snprintf(message, sizeof message, "_beginthreadex() returns le=%d, errno=%d\n", rc, rc);
    startup_log("_beginthreadex() returned le=%d, errno=%d\n", rc, rc);
    server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, (std::string(message) + sys).c_str());
    update_statistics(block_, STATS_WORKER_ENDED, nullptr, nullptr);
    refuse(client, "Failed to create/start thread", sys.c_str(), false);
    entry->in_use = 0;
    if (!service_) {
      std::fprintf(stderr, "Failed to create/start thread\n%s\n", sys.c_str());
      *result = 5;
      return false;
    }
    return true;
  }
}

bool Listener::serve_accepted(int client, const sockaddr_storage& peer, int* result) {
  startup_log("\tAccepted connection on socket %d\n", client);
  char address[33] = "";
  char host[52] = "";
  thread_entry_t** head = thread_table_head();
  if (accept_connection_checks(client, *head, block_, reinterpret_cast<const sockaddr*>(&peer), address, host,
                               service_ ? nullptr : stdout) != 0)
    return true;
  const server_settings_t* s = server_settings();

  thread_entry_t* entry = nullptr;
  int rc = create_new_thread_entry(head, s->MaxThreadCount, &entry, block_, s->Flags);
  if (rc != 0) {
    if (entry) entry->in_use = 0;
    update_statistics(block_, STATS_WORKER_ENDED, nullptr, nullptr);
    startup_log("Failed to create new thread entry, %d\n", rc);
    char message[160];
    if (rc == -2) {
      std::snprintf(message, sizeof message, "MaxThreadCount %lu reached",
                    static_cast<unsigned long>(s->MaxThreadCount));
      server_event(EVENTLOG_WARNING, EV_CLIENT_REFUSED, message);
      if (s->Flags & AuditODBCAccess) audit_event(AUDIT_REFUSED_MAXCONCURRENT, address, host);
    } else {
      char size[32];
      std::snprintf(size, sizeof size, "%zu", sizeof(thread_entry_t));
      server_event(EVENTLOG_ERROR, EV_NO_MEMORY, size, "new thread entry");
      std::snprintf(message, sizeof message, "Insufficient virtual memory for new thread entry");
    }
    if (service_) {
      refuse(client, message, nullptr, false);
    } else {
      std::string text = std::string("Unable to create new thread entry - ") +
                         (rc == -2 ? message : "insufficient virtual memory") + "\n";
      refuse(client, text.c_str(), nullptr, true);
    }
    return true;
  }

  if (s->MaxClientConnect != 0) {
    startup_log("Checking max concurrent connections with %lu\n", static_cast<unsigned long>(s->MaxClientConnect));
    uint32_t count = 0;
    if (count_client_connections(address, s->MaxClientConnect, *head, block_, &count, s->Flags) == 0) {
      update_statistics(block_, STATS_WORKER_ENDED, nullptr, nullptr);
      char message[160];
      if (service_)
        std::snprintf(message, sizeof message, "%s already has %lu active connection%s", address,
                      static_cast<unsigned long>(count), count >= 2 ? "s" : "");
      else
        std::snprintf(message, sizeof message, "%s already has %lu active connections", address,
                      static_cast<unsigned long>(count));
      server_event(EVENTLOG_WARNING, EV_CLIENT_REFUSED, message);
      if (s->Flags & AuditODBCAccess) audit_event(AUDIT_REFUSED_MAXCLIENTCONNECT, address, host);
      entry->in_use = 0;
      if (service_)
        refuse(client, "Client has too many connections. ", message, false);
      else
        refuse(client, "MaxClientConnect reached. ", message, true);
      return true;
    }
  }

  fill_thread_entry(client, entry, address, host);
  if (!(s->Flags & MultiProcess)) {
    bool go_on = start_thread_worker(client, entry, result);
    if (!service_) {
      uint32_t count = 0;
      cleanup_exited_threads(head, block_, flags(), &count);
    }
    return go_on;
  }
  startup_log("Multiprocess\n");
  pid_t pid = start_new_process(entry, block_);
  if (pid > 0) {
    startup_log("Process %d started\n", static_cast<int>(pid));
    update_statistics(block_, STATS_WORKER_STARTED, nullptr, nullptr);
    if (!service_) {
      uint32_t count = 0;
      cleanup_exited_threads(head, block_, flags(), &count);
    }
    return true;
  }
  int e = errno;
  entry->in_use = 0;
  ::close(client);
  if (service_) {
    startup_log("Failed to create/start process\n");
    service_set_exit_codes(static_cast<uint32_t>(10000 + e), 0);
    server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, "Failed to create/start process", errno_text(e).c_str());
    *result = 1;
  } else {
    startup_log("Failed to start new process\n");
    std::fprintf(stderr, "Failed to create/start process\n");
    *result = 5;
  }
  return false;
}

int Listener::loop() {
  for (;;) {
    startup_log("Start of loop\n");
    int r = wait_for_connection(sock_);
    startup_log("wait_for_connection() returns %d\n", r);
    uint32_t state = service_ ? service_state() : static_cast<uint32_t>(KY_SERVICE_RUNNING);
    if (state == KY_SERVICE_PAUSE_PENDING) {
      pause_while_paused();
      continue;
    }
    if (state == KY_SERVICE_STOP_PENDING) {
      service_checkpoint();
      startup_log("Service STOP Pending\n");
      ::shutdown(sock_, SHUT_RDWR);
      close_quietly(sock_);
      if (flags() & WriteStatsOnExit) write_statistics_file(block_);
      return 0;
    }
    if (worker_exception_stop()) {
      startup_log("Service stopping - exception caught and reported\n");
      close_quietly(sock_);
      if (flags() & WriteStatsOnExit) write_statistics_file(block_);
      std::this_thread::sleep_for(std::chrono::seconds(2));
      std::exit(1);
    }
    if (r == 0) {
      periodic_step(true);
      continue;
    }
    if (r < 0) {
      int e = errno;
      startup_log("select returns error %d\n", e);
      if (service_) {
        server_event(EVENTLOG_ERROR, EV_SELECT_FAILED, errno_text(e).c_str());
        service_set_exit_codes(static_cast<uint32_t>(10000 + e), 0);
        close_quietly(sock_);
        return 1;
      }
      std::fprintf(stderr, "Failed to select on listening socket\n-%s\n", errno_text(e).c_str());
      std::this_thread::sleep_for(std::chrono::seconds(5));
      close_socket_gracefully(sock_);
      sock_ = -1;
      return 5;
    }
    if (state == KY_SERVICE_PAUSED) {
      startup_log("\tConnection denied - Server paused from the Service Manager\n");
      continue;
    }
    ++attempts_;
    if (attempts_ > 10) periodic_step(false);
    startup_log("Connection attempt, accepting\n");
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int client = ::accept4(sock_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (client < 0) {
      int e = errno;
      if (accept_error_is_transient(e)) continue;
      if (accept_error_is_exhaustion(e)) {
        // The connection waits in the backlog; repeats of the event fold.
        startup_log("Failed to accept, %d - pausing\n", e);
        server_event(EVENTLOG_WARNING, EV_ACCEPT_FAILED, "Failed to accept incoming connection, pausing -",
                     errno_text(e).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        continue;
      }
      startup_log("Failed to accept, %d\n", e);
      if (service_) {
        server_event(EVENTLOG_ERROR, EV_ACCEPT_FAILED, errno_text(e).c_str());
        service_set_exit_codes(static_cast<uint32_t>(10000 + e), 0);
        close_quietly(sock_);
        return 1;
      }
      std::fprintf(stderr, "Failed to accept incoming connection\n- %s\n", errno_text(e).c_str());
      std::this_thread::sleep_for(std::chrono::seconds(5));
      close_socket_gracefully(sock_);
      sock_ = -1;
      return 5;
    }
    // Serving a connection (checks, a worker thread, or a process in
    // MultiProcess mode) is the slow part: take what else the kernel has
    // queued first, so a burst does not wait behind it in connect.
    std::vector<std::pair<int, sockaddr_storage>> batch{{client, peer}};
    drain_queue(batch);
    for (size_t i = 0; i < batch.size(); ++i) {
      int result = 0;
      if (!serve_accepted(batch[i].first, batch[i].second, &result)) {
        for (size_t j = i + 1; j < batch.size(); ++j) close_quietly(batch[j].first);
        close_quietly(sock_);
        return result;
      }
    }
  }
}

void Listener::drain_queue(std::vector<std::pair<int, sockaddr_storage>>& batch) {
  constexpr size_t kMostAtOnce = 64;  // the stop and pause checks are not kept waiting long
  while (batch.size() < kMostAtOnce) {
    pollfd p{sock_, POLLIN, 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLIN)) return;
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    int client = ::accept4(sock_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (client < 0) return;  // a failure is left to the next round of the loop
    startup_log("\tQueued connection taken on socket %d\n", client);
    batch.emplace_back(client, peer);
  }
}

int Listener::run_service() {
  set_trace_mask(read_logging_setting());
  startup_log("In Service()\n");
  startup_log("Register with Event Log\n");
  set_server_source(eventlog_register(SERVER_EVENT_SOURCE_NAME));
  service_checkpoint();
  uint32_t error = 0;
  block_ = create_shared_statistics(&error);
  if (!block_) {
    service_set_exit_codes(error, 0);
    eventlog_deregister(server_source());
    set_server_source(nullptr);
    startup_log("Exiting\n");
    return 1;
  }
  set_server_event_target(block_, server_source());
  block_->start_time = static_cast<int64_t>(std::time(nullptr));
  if (worker_list_create() != 0) startup_log("Failed to create the worker list, %d\n", errno);
  service_checkpoint();
  char* err = nullptr;
  if (load_server_settings(&err, startup_log, 1) != 0) {
    server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, err ? err : "");
    service_set_exit_codes(KY_SERVICE_SPECIFIC_ERROR, 101);
    startup_log("Exiting\n");
    return 1;
  }
  service_checkpoint();
  err = nullptr;
  if (build_server_acls(server_settings(), &err) != 0) server_event(EVENTLOG_ERROR, EV_ERROR_TEXT, err ? err : "");
  const server_settings_t* s = server_settings();
  uint32_t port = s->Port64 ? s->Port64 : s->Port;
  service_checkpoint();
  // The thread table up front, with its first (free) entry: a service that
  // cannot have it stops before it listens.
  thread_entry_t* first = nullptr;
  if (int rc = create_new_thread_entry(thread_table_head(), 0, &first, block_, s->Flags); rc != 0) {
    startup_log("Failed to create new thread entry, %d\n", rc);
    char size[32];
    std::snprintf(size, sizeof size, "%zu", sizeof(thread_entry_t));
    server_event(EVENTLOG_ERROR, EV_NO_MEMORY, size, "thread entry");
    service_set_exit_codes(KY_SERVICE_SPECIFIC_ERROR, 104);
    return 1;
  }
  service_checkpoint();
  if (listen_on_port(static_cast<uint16_t>(port), &sock_) != 0) {
    service_set_exit_codes(KY_SERVICE_SPECIFIC_ERROR, 105);
    return 1;
  }
  block_->port = port;
  report_service_state(KY_SERVICE_RUNNING);
  char text[256];
  std::snprintf(text, sizeof text, "KYVEKServer %s, %s, %s, Version:%d.%d on socket %d,(Maximum sockets = %u)",
                SERVER_VERSION_STRING, "BSD sockets", "Running", 2, 0, sock_, 65535u);
  server_event(EVENTLOG_INFORMATION, EV_SERVER_RUNNING, text);
  int rc = loop();
  free_thread_table(thread_table_head());
  set_server_event_target(nullptr, server_source());
  release_shared_statistics(block_);
  block_ = nullptr;
  worker_list_release();
  free_server_acls();
  return rc;
}

int Listener::run_console(int argc, char** argv) {
  startup_log("Standlone\n");
  startup_log("Register with Event Log\n");
  eventlog_source* console_source = eventlog_register(SERVER_EVENT_SOURCE_NAME);
  set_server_source(console_source);
  if (!server_source()) std::fprintf(stderr, "Failed to register with event log\n- error %d\n", errno);
  int d = start_service_dispatcher(SERVER_SERVICE_NAME, ServiceMain);
  // The service registered a source of its own; both end here.
  if (server_source() != console_source) eventlog_deregister(server_source());
  eventlog_deregister(console_source);
  set_server_source(nullptr);
  set_server_event_target(nullptr, nullptr);
  if (d < 0) return d;
  // A service that stopped after a failure ends the process with 1, so that
  // the service manager sees the failure (and may restart it).
  if (d == 1) return g_service_result == 0 ? 0 : 1;
  start_winsock();
  uint32_t error = 0;
  block_ = create_shared_statistics(&error);
  if (!block_) {
    startup_log("Failed to create/allocate {shared} memory for statistics\n");
    return -1;
  }
  set_server_event_target(block_, nullptr);
  block_->start_time = static_cast<int64_t>(std::time(nullptr));
  if (worker_list_create() != 0) startup_log("Failed to create the worker list, %d\n", errno);
  const server_settings_t* s = server_settings();
  uint32_t port = s->Port64 ? s->Port64 : s->Port;
  if (argc > 2) {
    startup_log("Port %s on command line\n", argv[2]);
    if (parse_port(argv[2], &port) != 0) {
      startup_log("Invalid Port %s\n", argv[2]);
      return -2;
    }
  }
  if (s->Flags & StartHTTPAdminChild) start_httpd_process(block_);
  if (listen_on_port(static_cast<uint16_t>(port), &sock_) != 0) return 3;
  block_->port = port;
  return loop();
}

}  // namespace

extern "C" void set_listener_seams(listener_thread_starter_fn starter, listener_sleep_fn sleeper) {
  g_thread_starter = starter ? starter : default_thread_starter;
  g_sleep_seconds = sleeper ? sleeper : default_sleep;
}

extern "C" void install_hangup_handler(void) {
  struct sigaction sa {};
  sa.sa_handler = on_hangup;
  sigemptyset(&sa.sa_mask);
  // No SA_RESTART: the listener's wait ends at once and the loop takes the request.
  ::sigaction(SIGHUP, &sa, nullptr);
}

extern "C" int start_winsock(void) {
  startup_log("Starting Winsock\n");
  return 0;
}

extern "C" int parse_port(const char* text, uint32_t* port) {
  if (!text || !*text) {
    std::fprintf(stderr, "Zero length port specified\n");
    return -1;
  }
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') {
      std::fprintf(stderr, "Invalid port \"%s\"\n", text);
      return -1;
    }
  errno = 0;
  unsigned long long v = std::strtoull(text, nullptr, 10);
  if (errno == ERANGE || v > 65535) {
    std::fprintf(stderr, "Port \"%s\" out of range\n", text);
    return -1;
  }
  *port = static_cast<uint32_t>(v);
  return 0;
}

extern "C" int listen_on_port(uint16_t port, int* socket_out) {
  startup_log("Starting to listen on port %d\n", port);
  // Close-on-exec: child processes never hold the listening socket.
  // IPAddress: IPv4 or IPv6 (bracketed or not); empty: every IPv4 interface.
  sockaddr_storage addr{};
  socklen_t addr_len = sizeof(sockaddr_in);
  reinterpret_cast<sockaddr_in*>(&addr)->sin_family = AF_INET;
  const char* ip = server_settings()->IPAddress;
  if (ip[0]) {
    sockaddr_storage parsed{};
    if (socklen_t n = parse_bind_address(ip, &parsed); n != 0) {
      addr = parsed;
      addr_len = n;
    }
  }
  const int family = addr.ss_family;
  if (family == AF_INET6)
    reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port = htons(port);
  else
    reinterpret_cast<sockaddr_in*>(&addr)->sin_port = htons(port);
  int sock = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (sock < 0) {
    int e = errno;
    startup_log("Failed to create socket\n");
    server_event(EVENTLOG_ERROR, EV_SOCKET_CREATE_FAILED, errno_text(e).c_str());
    if (service_registered()) service_set_exit_codes(static_cast<uint32_t>(10000 + e), 0);
    return -1;
  }
  startup_log("Running with socket %d\n", sock);
  int one = 1;
  ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  // "::" takes IPv4 clients too; they show as their IPv4 address.
  int zero = 0;
  if (family == AF_INET6) ::setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
  startup_log("Binding socket to port %d\n", port);
  char message[512];
  uint32_t failed_event = 0;
  int e = 0;  // taken at once: the log lines may change errno
  if (::bind(sock, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
    e = errno;
    startup_log("Failed to bind socket\n");
    std::snprintf(message, sizeof message, "(%d), %s", port, errno_text(e).c_str());
    failed_event = EV_BIND_FAILED;
  } else {
    startup_log("Starting listening\n");
    // A burst of connects must fit the kernel's queue: never less than its own
    // maximum, whatever smaller number the settings give.
    const uint32_t backlog = server_settings()->ListenBacklog;
    if (::listen(sock, static_cast<int>(std::max<uint32_t>(backlog, SOMAXCONN))) != 0) {
      e = errno;
      startup_log("Failed to listen on port\n");
      std::snprintf(message, sizeof message, "(%d), %s\n", port, errno_text(e).c_str());
      failed_event = EV_LISTEN_FAILED;
    }
  }
  if (failed_event) {
    server_event(EVENTLOG_ERROR, failed_event, message);
    if (service_registered()) service_set_exit_codes(static_cast<uint32_t>(10000 + e), 0);
    ::close(sock);
    return -1;
  }
  char where[INET6_ADDRSTRLEN] = "";
  socket_address_text(reinterpret_cast<sockaddr*>(&addr), where, sizeof where);
  std::snprintf(message, sizeof message, "Listening on %s port %d", where, port);
  char detail[96];
  std::snprintf(detail, sizeof detail, "listening on %s port %d", where, port);
  ky_service_set_status_detail(detail);
  std::fprintf(stderr, "%s\n", message);
  server_event(EVENTLOG_INFORMATION, EV_SERVER_RUNNING, message);
  *socket_out = sock;
  return 0;
}

extern "C" int wait_for_connection(int sock) {
  startup_log("Waiting %ds for connection on socket %d\n", LISTENER_WAIT_SECONDS, sock);
  pollfd fds[2] = {{sock, POLLIN, 0}, {ky_service_wakeup_fd(), POLLIN, 0}};
  nfds_t n = fds[1].fd >= 0 ? 2 : 1;
  int r = ::poll(fds, n, LISTENER_WAIT_SECONDS * 1000);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (n == 2 && (fds[1].revents & POLLIN)) ky_service_drain_wakeup();
  if (r > 0 && (fds[0].revents & (POLLERR | POLLNVAL))) {
    errno = EBADF;
    return -1;
  }
  return (fds[0].revents & POLLIN) ? 1 : 0;
}

extern "C" int accept_connection_checks(int sock, thread_entry_t* head, server_stats_t* block, const sockaddr* peer,
                                        char* address_out, char* host_out, FILE* out) {
  startup_log("Connection accepted\n");
  update_statistics(block, STATS_CONNECTION, head, nullptr);
  startup_log("Determining connection IP address\n");
  address_out[0] = '\0';
  socket_address_text(peer, address_out, 33);
  const server_settings_t* s = server_settings();
  std::strcpy(host_out, "unknown");
  if (s->Flags & ReverseLookup) {
    startup_log("Determining client name from IP address\n");
    char name[NI_MAXHOST];
    socklen_t peer_len = peer->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    if (::getnameinfo(peer, peer_len, name, sizeof name, nullptr, 0, NI_NAMEREQD) == 0) {
      std::strncpy(host_out, name, 51);
      host_out[51] = '\0';
    }
  }
  startup_log("Connection from %s (%s)\n", address_out, host_out);
  if (out) {
    std::fprintf(out, "Connection from %s (%s)\n", address_out, host_out);
    std::fflush(out);
  }
  update_statistics(block, STATS_CLIENT_HOST, peer, host_out);
  if (s->Flags & AuditODBCAccess) audit_event(AUDIT_CONNECT, address_out, host_out);
  startup_log("\tChecking Access Control for %s\n", address_out);
  if (match_ip_acl(address_out, *server_allow_acl(), *server_deny_acl(), 0) == 1) return 0;
  startup_log("\tAccess Denied\n");
  log_server_event(block, server_source(), EVENTLOG_WARNING, EV_CLIENT_DENIED, address_out,
                   "due to access control rule");
  update_statistics(block, STATS_WORKER_ENDED, nullptr, nullptr);
  if (s->Flags & AuditODBCAccess) audit_event(AUDIT_REFUSED_BY_RULE, address_out, host_out);
  startup_log("\tSending access denied error back to client\n");
  send_client_error(sock, "Client denied access due to access control rule.", nullptr);
  close_socket_in_background(sock);
  return -1;
}

extern "C" void ServiceMain(int, char**) {
  startup_log("ServiceMain()\n");
  service_begin("\tRegistered with Service Manager\n");
  startup_log("Running Service()\n");
  g_service_result = Service();
  startup_log("Returned from Service()\n");
  service_end(EV_SERVER_STOPPED);
}

extern "C" int Service(void) {
  Listener listener(true);
  return listener.run_service();
}

extern "C" int console_loop(int argc, char** argv) {
  Listener listener(false);
  return listener.run_console(argc, argv);
}
