// kyvekserver: the entry of the server program. The first argument, the
// method word, decides how the process serves: "standalone" (service or
// console listener), "tcpip_inherit_socket" (one inherited link, the child of
// a MultiProcess listener), "tcpip_listen" (accept one link), "inetd" (a link
// on standard input), "httpd" (the administration server) or "version".
#include <getopt.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include "access_list.h"
#include "events.h"
#include "listener.h"
#include "logfile/log_file.h"
#include "logon/logon.h"
#include "restart_registration.h"
#include "server_info.h"
#include "server_utils.h"
#include "settings.h"
#include "sqlite_memory.h"
#include "startup_check.h"
#include "startup_log.h"
#include "trace_log.h"
#include "worker.h"
#include "text_parsers.h"

extern "C" int run_http_server(server_stats_t* block);

namespace {

void print_usage(FILE* to) {
  std::fputs(
      "Usage: kyvekserver [OPTION] METHOD [ARGUMENT]\n"
      "Serves the ODBC data sources of this machine to remote clients.\n"
      "\n"
      "Methods:\n"
      "  standalone [PORT]        listen on PORT (else the setting Port, 8888); under\n"
      "                           systemd a service, else a console listener\n"
      "  tcpip_listen PORT        accept one connection on PORT, serve it and exit\n"
      "  tcpip_inherit_socket FD  serve the connection on descriptor FD and exit\n"
      "                           (the children of a MultiProcess listener)\n"
      "  inetd                    serve the connection on standard input and exit\n"
      "                           (inetd, a systemd socket unit with Accept=yes)\n"
      "  httpd                    serve the administration pages\n"
      "  version                  print the version and the build date\n"
      "\n"
      "Options:\n"
      "  -h, --help     print this help and exit\n"
      "  -V, --version  print the version and exit\n"
      "\n"
      "Settings come from the registry file (KYVEK_REGISTRY to name another).\n",
      to);
}

void print_version() { std::printf("Version %s, %s\n", SERVER_VERSION_STRING, get_build_stamp()); }

// Options before the method word: --help and --version answer at once (0); an
// unknown one gives the usage on standard error and 2. -1 to go on.
int parse_options(int argc, char** argv, int* first) {
  static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                     {"version", no_argument, nullptr, 'V'},
                                     {nullptr, 0, nullptr, 0}};
  optind = 1;
  for (;;) {
    // "+": the method word and its arguments end the options.
    int c = ::getopt_long(argc, argv, "+hV", kOptions, nullptr);
    if (c == -1) break;
    if (c == 'h') {
      print_usage(stdout);
      return 0;
    }
    if (c == 'V') {
      print_version();
      return 0;
    }
    print_usage(stderr);
    return 2;
  }
  *first = optind;
  return -1;
}

void report_error(const char* text) {
  log_server_event(server_event_block(), server_source(), EVENTLOG_ERROR, EV_ERROR_TEXT, text, nullptr);
}

// The listener's copy of nothing: the inherited socket named on the command
// line. -1 after the usage when it is missing or not a number.
int startup_inherit_socket(int argc, char** argv) {
  startup_log("startup_inherit_socket\n");
  if (start_winsock() != 0) {
    std::fprintf(stderr, "Failed to start winsock\n");
    return -1;
  }
  set_server_source(eventlog_register(SERVER_EVENT_SOURCE_NAME));
  if (argc < 3) {
    std::fprintf(stderr, "Invalid command line\n- missing socket handle or device name\n");
    print_usage(stderr);
    return -1;
  }
  char* end = nullptr;
  errno = 0;
  long sock = std::strtol(argv[2], &end, 10);
  if (errno || end == argv[2] || *end || sock < 0 || sock > 1 << 24) {
    std::fprintf(stderr, "Invalid command line\n- missing socket handle or device name\n");
    print_usage(stderr);
    return -1;
  }
  startup_log("Using accept socket %d\n", static_cast<int>(sock));
  for (int i = 1; i < argc; ++i) {
    const char* eq = std::strstr(argv[i], "listen=");
    if (!eq) continue;
    const char* value = std::strchr(argv[i], '=');
    int other = std::atoi(value + 1);
    if (other > 2 && other != sock) {
      ::shutdown(other, SHUT_RDWR);
      ::close(other);
    }
    break;
  }
  return static_cast<int>(sock);
}

// Accepts one link on the port (default 8888); exits on failure.
int tcpip_listen_accept(const char* port_text) {
  if (start_winsock() != 0) {
    std::fprintf(stderr, "Failed to start winsock\n");
    std::exit(1);
  }
  uint32_t port = 0;
  if (parse_port(port_text, &port) != 0) std::exit(2);
  int listener = -1;
  if (listen_on_port(static_cast<uint16_t>(port), &listener) != 0) std::exit(1);
  // The listening socket is non-blocking; wait for the one client.
  int client = -1;
  sockaddr_storage peer{};
  for (;;) {
    int r = wait_for_connection(listener);
    if (r < 0) break;
    if (r == 0) continue;
    socklen_t len = sizeof peer;
    client = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (client >= 0 || (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)) break;
  }
  if (client < 0) {
    std::fprintf(stderr, "Failed to accept incoming connection\n- %s\n", errno_text(errno).c_str());
    ::close(listener);
    std::exit(5);
  }
  char address[INET6_ADDRSTRLEN] = "";
  socket_address_text(reinterpret_cast<sockaddr*>(&peer), address, sizeof address);
  char name[NI_MAXHOST];
  socklen_t peer_len = peer.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  bool named = ::getnameinfo(reinterpret_cast<sockaddr*>(&peer), peer_len, name, sizeof name, nullptr, 0,
                             NI_NAMEREQD) == 0;
  std::printf("Connection from %s (%s)\n", address, named ? name : "unknown");
  std::fflush(stdout);
  ::close(listener);
  return client;
}

// Maps a connection result to the process exit code: the connection status,
// and 1 for a link that could not even be set up.
int exit_code_of(int result, uint32_t status) {
  if (status != 0) return static_cast<int>(status);
  return result < 0 ? 1 : 0;
}

int httpd_main() {
  server_kind = 0;
  set_trace_mask(read_logging_setting());
  startup_log("Register with Event Log\n");
  eventlog_source* source = eventlog_register(SERVER_EVENT_SOURCE_NAME);
  if (!source) std::fprintf(stderr, "Failed to register with event log\n- error %d\n", errno);
  set_server_source(source);
  set_http_server_entry(run_http_server);
  int d = start_service_dispatcher(HTTP_SERVICE_NAME, httpdServiceMain);
  if (d < 0) return d;
  if (d == 1) return 0;
  start_winsock();
  uint32_t error = 0;
  server_stats_t* block = create_shared_statistics(&error);
  if (!block) {
    report_error("Failed to create/map shared memory");
    return -1;
  }
  set_server_event_target(block, source);
  int rc = run_http_server(block);
  release_shared_statistics(block);
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  restart_registration(argc, argv, KY_RESTART_NO_CRASH | KY_RESTART_NO_HANG);
  // A client that drops mid-reply must not end the server.
  std::signal(SIGPIPE, SIG_IGN);
  // A child started through /proc/self/exe would show in ps as "exe".
  char comm[17] = {};
  if (::prctl(PR_GET_NAME, comm) == 0 && std::strcmp(comm, "exe") == 0) ::prctl(PR_SET_NAME, "kyvekserver");
  // Fault reports follow the log files' rule from a signal handler.
  ky_log_file_rule_init();
  int first = 1;
  if (int done = parse_options(argc, argv, &first); done >= 0) return done;
  // The method word becomes argv[1] whatever options came before it.
  argv += first - 1;
  argc -= first - 1;
  if (argc < 2) {
    std::fprintf(stderr, "Invalid command line - missing method\n");
    print_usage(stderr);
    return 1;
  }
  const std::string word = argv[1];
  int method = 0;
  bool listener_settings = false;
  if (word == "version") {
    print_version();
    return 0;
  } else if (word == "standalone") {
    method = METHOD_STANDALONE;
    listener_settings = true;
  } else if (word == "tcpip_inherit_socket") {
    method = METHOD_INHERIT_SOCKET;
  } else if (word == "tcpip_listen") {
    method = METHOD_LISTEN;
    listener_settings = true;
  } else if (word == "inetd") {
    method = METHOD_INETD;
  } else if (word == "httpd") {
    return httpd_main();
  } else {
    std::fprintf(stderr, "Unknown method \"%s\"\n", word.c_str());
    print_usage(stderr);
    return 6;
  }

  // Before any worker loads a target driver.
  switch_off_sqlite_memory_statistics();

  // The trace log's place (LogDir) and mask, before anything is traced.
  init_logging("kyvekserver.log", KY_CONFIGURATION_KEY, KY_LOG_OPT_TIME);
  uint32_t mask = read_logging_setting();
  if (method == METHOD_INHERIT_SOCKET) mask &= ~kTraceStartup;  // children write no start-up log
  set_trace_mask(mask);
  set_startup_log_close_hook(close_startup_log);
  startup_log("VEK Server starting up in %s mode\n", word.c_str());

  char* error_text = nullptr;
  if (load_server_settings(&error_text, startup_log, listener_settings ? 1 : 0) != 0) {
    report_error(error_text ? error_text : "Failed to read settings");
    return 1;
  }
  error_text = nullptr;
  if (build_server_acls(server_settings(), &error_text) != 0) {
    report_error(error_text ? error_text : "Failed to build access lists");
    return 1;
  }
  const server_settings_t* s = server_settings();
  // A listener refuses to start on settings that would make it listen or admit
  // otherwise than meant; the one-connection children were started by one.
  if (listener_settings && check_startup_settings(s, argc > 2 ? 0 : 1) != 0) return 1;
  if (listener_settings) install_hangup_handler();
  startup_log("Flags = %lu\n", static_cast<unsigned long>(s->Flags));
  if (s->Affinity != 0) set_process_affinity(s->Affinity);
  if ((s->Flags & Authentication_Disabled) == 0 && !ky_logon_can_impersonate())
    startup_log("Not running as root: logons are checked but not impersonated\n");

  int sock = -1;
  const char* port_text = "8888";
  server_stats_t* block = nullptr;
  switch (method) {
    case METHOD_STANDALONE: return console_loop(argc, argv);
    case METHOD_INHERIT_SOCKET: {
      sock = startup_inherit_socket(argc, argv);
      if (sock < 0) return 1;
      char* shm_error = nullptr;
      block = get_ipcshm(&shm_error);
      if (!block) {
        report_error(shm_error ? shm_error : "Failed to open shared memory");
        return 255;
      }
      set_server_event_target(block, server_source());
      break;
    }
    case METHOD_LISTEN:
      if (argc > 2) port_text = argv[2];
      sock = tcpip_listen_accept(port_text);
      method = METHOD_INHERIT_SOCKET;
      break;
    case METHOD_INETD: sock = 0; break;
  }
  int result = one_shot_connect(method, sock, port_text, block);
  uint32_t status = connection_exit_status();
  set_connection_exit_status(0);
  if (block) release_shared_statistics(block);
  eventlog_deregister(server_source());
  return exit_code_of(result, status);
}
