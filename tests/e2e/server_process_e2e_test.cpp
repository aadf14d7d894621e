// kyvekserver as a real process on 127.0.0.1: method words, the console and
// service listeners, workers in threads and child processes, refusals, logon
// through PAM, and the one-connection methods.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_fixture.h"
#include "rpc_client.h"
#include "syscall_stop.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using kyvek::e2e::Fixture;
using kyvek::e2e::Options;
using kyvek::e2e::Process;
using kyvek::e2e::RpcClient;

namespace {

constexpr uint32_t kAuthOff = 0x1, kMultiProcess = 0x4, kAudit = 0x40, kDsnBrowse = 0x8000;

std::string frame(const std::string& text) { return std::string("\xff\xff\xff\xff", 4) + text + std::string(1, '\0'); }

// A loopback pair: *server_side is the accepted end (not close-on-exec, so a
// child may inherit it), the result the client end.
int socket_pair_over_tcp(int* server_side, int* port_out = nullptr) {
  int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lst, 1) != 0 ||
      ::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  int port = ntohs(a.sin_port);
  if (port_out) *port_out = port;
  int client = kyvek::e2e::connect_loopback(port);
  *server_side = ::accept(lst, nullptr, nullptr);
  ::close(lst);
  return client;
}

// Runs the logon sequence from several clients at once; all must give 0.
void serve_concurrent_clients(Fixture& f, int clients) {
  std::vector<std::future<std::string>> results;
  for (int i = 0; i < clients; ++i)
    results.push_back(std::async(std::launch::async, [&f] {
      RpcClient c;
      if (!c.connect(f.port())) return "connect: " + c.error();
      for (int round = 0; round < 3; ++round) {
        int32_t rc = c.logon_sequence("anyone", "secret");
        if (rc != 0) return "logon: " + std::to_string(rc) + " " + c.error();
      }
      return std::string();
    }));
  for (auto& r : results) EXPECT_EQ(r.get(), "");
}

TEST(MethodWords, TableOfWords) {
  Fixture f;
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* out;  // expected start of standard output, or null
    const char* err;  // expected text within standard error, or null
  } cases[] = {
      {{}, 1, nullptr, "Invalid command line - missing method\nUsage: kyvekserver [OPTION] METHOD [ARGUMENT]\n"},
      {{"Version"}, 6, nullptr, "Unknown method \"Version\"\nUsage: kyvekserver"},
      {{"serve"}, 6, nullptr, "  inetd                    serve the connection on standard input and exit\n"},
      {{"version"}, 0, "Version 02.04.0003, $Built: ", nullptr},
      // The usual options: help and version on standard output, exit 0; an
      // unknown option the usage on standard error, exit 2.
      {{"--help"}, 0, "Usage: kyvekserver [OPTION] METHOD [ARGUMENT]\n", nullptr},
      {{"-h"}, 0, "Usage: kyvekserver [OPTION] METHOD [ARGUMENT]\n", nullptr},
      {{"--version"}, 0, "Version 02.04.0003, $Built: ", nullptr},
      {{"--verbose"}, 2, nullptr, "Usage: kyvekserver [OPTION] METHOD [ARGUMENT]\n"},
      {{"-x", "standalone"}, 2, nullptr, "Usage: kyvekserver"},
      {{"tcpip_inherit_socket"}, 1, nullptr, "Invalid command line\n- missing socket handle or device name\n"},
      {{"tcpip_listen", "70000"}, 2, nullptr, "Port \"70000\" out of range\n"},
      {{"tcpip_listen", "12x"}, 2, nullptr, "Invalid port \"12x\"\n"},
      {{"standalone", "99999"}, 254, nullptr, "Port \"99999\" out of range\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
    Process p = f.spawn(Fixture::program("kyvekserver"), c.args);
    EXPECT_EQ(Fixture::wait(p, 20000), c.code);
    if (c.out) {
      EXPECT_EQ(Fixture::read_file(p.out).rfind(c.out, 0), 0u) << Fixture::read_file(p.out);
    }
    if (c.err) {
      EXPECT_NE(Fixture::read_file(p.err).find(c.err), std::string::npos) << Fixture::read_file(p.err);
    }
  }
}

TEST(MethodWords, StartupLogFollowsTraceBit0x800) {
  Options o;
  o.settings["Logging"] = "0x800";
  Fixture f(o);
  Process p = f.spawn(Fixture::program("kyvekserver"), {"tcpip_listen", "12x"});
  EXPECT_EQ(Fixture::wait(p, 20000), 2);
  std::string log = Fixture::read_file(f.dir() / "log" / "kyvekstart.log");
  EXPECT_NE(log.find(") VEK Server starting up in tcpip_listen mode\n"), std::string::npos) << log;
  EXPECT_EQ(log.rfind("(", 0), 0u);
}

// Lowers a process's descriptor limit to its lowest free descriptor number,
// which leaves none for accept: every accept fails with EMFILE until the limit
// rises again. Only the soft limit moves, so no privilege is needed to raise it
// again. Returns the limit as it was.
rlimit leave_no_descriptor(pid_t pid) {
  rlim_t lowest_free = 0;
  while (fs::exists(fs::path("/proc") / std::to_string(pid) / "fd" / std::to_string(lowest_free))) ++lowest_free;
  rlimit roomy{};
  EXPECT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &roomy), 0);
  rlimit tight{lowest_free, roomy.rlim_max};
  EXPECT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
  return roomy;
}

// A socket on every IPv4 address at the port that asks for address reuse, bound
// but not listening: the server binds beside it, and whichever listens first
// keeps the port.
int rival_socket(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

TEST(Standalone, DescriptorExhaustionPausesInsteadOfStopping) {
  Fixture f;
  ASSERT_TRUE(f.start_server());
  pid_t pid = f.server().pid;
  rlimit roomy = leave_no_descriptor(pid);
  std::vector<int> idle;
  for (int i = 0; i < 4; ++i) idle.push_back(kyvek::e2e::connect_loopback(f.port()));
  // A warning in the system's words, and the listener goes on.
  EXPECT_TRUE(f.wait_event("Failed to accept incoming connection, pausing - Too many open files (errno 24)"))
      << Fixture::read_file(f.server().err);
  std::this_thread::sleep_for(1000ms);
  EXPECT_TRUE(f.server_running());
  ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &roomy, nullptr), 0);
  for (int fd : idle) ::close(fd);
  RpcClient c;
  bool served = false;
  for (int i = 0; i < 50 && !served; ++i) {
    served = c.connect(f.port()) && c.logon_sequence("anyone", "x") == 0;
    if (!served) std::this_thread::sleep_for(200ms);
  }
  EXPECT_TRUE(served) << c.error();
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the server ended";
}

// Another socket takes the port between the listener's bind and its listen:
// the listen fails with the system's text in the event, and each method ends
// with its own exit code.
TEST(Listener, ListenFailureGivesTheSystemTextAndTheExitCode) {
  const struct {
    const char* method;
    int code;
  } cases[] = {{"standalone", 3}, {"tcpip_listen", 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    Fixture f;
    int rival = rival_socket(f.port());
    ASSERT_GE(rival, 0);
    Process p = f.spawn(Fixture::program("kyvekserver"), {c.method, f.port_text()}, -1, "server", true);
    EXPECT_TRUE(kyvek::test::run_to_syscall(p.pid, SYS_listen, [&] { EXPECT_EQ(::listen(rival, 1), 0); }));
    EXPECT_EQ(Fixture::wait(p, 20000), c.code) << Fixture::read_file(p.err);
    // The console reports to standard error, the one-connection method to the event log.
    std::string events = Fixture::read_file(p.err) + Fixture::read_file(f.eventlog_path());
    EXPECT_NE(events.find("Failed to listen on port - (" + f.port_text() + "), Address already in use (errno 98)"),
              std::string::npos)
        << events;
    ::close(rival);
  }
}

TEST(Standalone, ServesConcurrentClientsOnThreads) {
  Fixture f;
  ASSERT_TRUE(f.start_server());
  serve_concurrent_clients(f, 6);
  // The server keeps serving after clients have gone.
  RpcClient c;
  ASSERT_TRUE(c.connect(f.port())) << c.error();
  std::string text;
  EXPECT_EQ(c.get_info(2, &text), 0);
  EXPECT_EQ(text, "VEK");
  EXPECT_TRUE(f.server_running());
  // A peer that sends plain text is not served: its worker reports it.
  int fd = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(fd, 0);
  const char plain[] = "HELLO THERE, ANYBODY HOME?\r\n";
  ::send(fd, plain, sizeof plain - 1, MSG_NOSIGNAL);
  kyvek::e2e::read_all(fd, 3000);
  ::close(fd);
  EXPECT_TRUE(f.wait_event("Client 127.0.0.1 is not using KyroRPC protocol - possible attack"));
}

TEST(Standalone, ServesConcurrentClientsInChildProcesses) {
  Options o;
  o.flags = kAuthOff | kDsnBrowse | kMultiProcess;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  serve_concurrent_clients(f, 4);
}

// A port probe (connect, then close before a word) is no error, in a thread
// or in a child process.
TEST(Standalone, PortProbeIsNoErrorEvent) {
  for (uint32_t mode : {0u, kMultiProcess}) {
    SCOPED_TRACE(mode);
    Options o;
    o.flags = kAuthOff | kDsnBrowse | mode;
    Fixture f(o);
    ASSERT_TRUE(f.start_server());
    for (int i = 0; i < 3; ++i) {
      int fd = kyvek::e2e::connect_loopback(f.port());
      ASSERT_GE(fd, 0);
      ::close(fd);
    }
    // A probe that resets the link instead of closing it.
    int fd = kyvek::e2e::connect_loopback(f.port());
    ASSERT_GE(fd, 0);
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port())) << c.error();
    EXPECT_EQ(c.logon_sequence("anyone", "x"), 0);
    c.disconnect();
    std::this_thread::sleep_for(1s);
    // A second link makes the listener reap the probes' workers.
    RpcClient again;
    ASSERT_TRUE(again.connect(f.port())) << again.error();
    again.disconnect();
    std::this_thread::sleep_for(500ms);
    for (const std::string& e : f.events()) {
      EXPECT_EQ(e.find("Failed connect"), std::string::npos) << e;
      EXPECT_EQ(e.find("unexpected code"), std::string::npos) << e;
    }
  }
}

TEST(Standalone, FailedChildStartIsARefusalFrame) {
  Options o;
  o.flags = kAuthOff | kDsnBrowse | kMultiProcess;
  Fixture f(o);
  // A private copy of the program that can no longer be executed once it runs.
  fs::path image = f.dir() / "kyvekserver";
  fs::copy_file(Fixture::program("kyvekserver"), image);
  ASSERT_TRUE(f.start_server_image(image, {"standalone", f.port_text()}));
  ::chmod(image.c_str(), 0644);
  int fd = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(kyvek::e2e::read_all(fd), frame("Failed to create process"));
  ::close(fd);
  // The console listener ends after a failed process start.
  EXPECT_EQ(Fixture::wait(f.server(), 20000), 5);
  EXPECT_NE(Fixture::read_file(f.server().err).find("Failed to create/start process\n"), std::string::npos);
}

TEST(Standalone, DenyListRefusesWithAFrame) {
  Options o;
  o.settings["DenyList"] = "127.0.0.1";
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  int fd = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(kyvek::e2e::read_all(fd), frame("Client denied access due to access control rule."));
  ::close(fd);
  RpcClient c;
  EXPECT_FALSE(c.connect(f.port()));
  EXPECT_NE(c.error().find("Client denied access due to access control rule."), std::string::npos) << c.error();
}

TEST(Standalone, MaxClientConnectRefusesTheSecondLink) {
  Options o;
  o.settings["MaxClientConnect"] = "1";
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  RpcClient first;
  ASSERT_TRUE(first.connect(f.port())) << first.error();
  int fd = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(kyvek::e2e::read_all(fd), frame("MaxClientConnect reached. 127.0.0.1 already has 1 active connections"));
  ::close(fd);
  // After the first client has gone its slot is free again (reaped by the
  // listener after the next worker start or time-out).
  first.disconnect();
  bool served = false;
  for (int i = 0; i < 80 && !served; ++i) {
    RpcClient again;
    served = again.connect(f.port());
    if (!served) std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(served);
}

TEST(Standalone, RefusedPeersThatKeepSendingDoNotHoldTheListener) {
  Options o;
  o.settings["DenyList"] = "127.0.0.1";
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  // Refused peers that never stop sending: each is drained for up to about
  // two seconds, but never on the listener's time.
  std::atomic<bool> stop{false};
  std::vector<int> peers;
  std::vector<std::thread> tricklers;
  for (int i = 0; i < 4; ++i) {
    int fd = kyvek::e2e::connect_loopback(f.port());
    ASSERT_GE(fd, 0);
    peers.push_back(fd);
    tricklers.emplace_back([&stop, fd] {
      while (!stop) {
        if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) break;
        std::this_thread::sleep_for(50ms);
      }
    });
  }
  std::this_thread::sleep_for(200ms);
  auto start = std::chrono::steady_clock::now();
  int other = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(other, 0);
  EXPECT_EQ(kyvek::e2e::read_all(other, 8000), frame("Client denied access due to access control rule."));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  stop = true;
  for (auto& t : tricklers) t.join();
  for (int fd : peers) ::close(fd);
  ::close(other);
}

TEST(OneConnection, PlainTextPeerEndsWithStatus202) {
  Fixture f;
  int server_side = -1;
  int client = socket_pair_over_tcp(&server_side);
  ASSERT_GE(client, 0);
  Process p = f.spawn(Fixture::program("kyvekserver"), {"inetd"}, server_side, "inetd");
  ::close(server_side);
  const char garbage[] = "GET / HTTP/1.0\r\nHost: x\r\n\r\n";
  ::send(client, garbage, sizeof garbage - 1, MSG_NOSIGNAL);
  ::shutdown(client, SHUT_WR);
  kyvek::e2e::read_all(client, 5000);
  EXPECT_EQ(Fixture::wait(p, 20000), 202);
  ::close(client);
  std::string err = Fixture::read_file(p.err) + Fixture::read_file(f.eventlog_path());
  EXPECT_NE(err.find("Client 127.0.0.1 is not using KyroRPC protocol - possible attack"), std::string::npos) << err;
}

// A peer that goes away before the handshake is no fault of the server: the
// link fails (exit 1) without a warning or error event, on the inetd transport
// and on a standalone server's workers.
TEST(OneConnection, PeerLeavingDuringTheHandshakeGivesNoEvent) {
  Fixture f;
  ASSERT_TRUE(f.start_server());
  int probe = kyvek::e2e::connect_loopback(f.port());
  ASSERT_GE(probe, 0);
  ::close(probe);
  {
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port())) << c.error();
    std::string text;
    EXPECT_EQ(c.get_info(2, &text), 0);
  }
  EXPECT_FALSE(f.wait_event("is not using KyroRPC protocol", 1000));
  int server_side = -1;
  int client = socket_pair_over_tcp(&server_side);
  ASSERT_GE(client, 0);
  Process p = f.spawn(Fixture::program("kyvekserver"), {"inetd"}, server_side, "inetd");
  ::close(server_side);
  ::close(client);
  EXPECT_EQ(Fixture::wait(p, 20000), 0) << "a peer that left is no failure";
  std::istringstream log(Fixture::read_file(f.eventlog_path()));
  for (std::string line; std::getline(log, line);) {
    // The start-up warning of a server without logons running as root is not the link's.
    if (line.find("Logons are disabled (Authentication_Disabled)") != std::string::npos) continue;
    EXPECT_NE(line.rfind("0x8", 0), 0u) << line;
    EXPECT_NE(line.rfind("0xC", 0), 0u) << line;
  }
}

TEST(OneConnection, InetdServesOneClient) {
  Fixture f;
  int server_side = -1;
  int lst_port = 0;
  // The client side must use the RPC library's transport, so hand the server
  // an accepted socket of a listener the client connects to.
  int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(lst, 1), 0);
  ASSERT_EQ(::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len), 0);
  lst_port = ntohs(a.sin_port);
  auto client = std::async(std::launch::async, [&] {
    RpcClient c;
    if (!c.connect(lst_port)) return std::string("connect: ") + c.error();
    int32_t rc = c.logon_sequence("anyone", "pw");
    return rc == 0 ? std::string() : "logon " + std::to_string(rc) + c.error();
  });
  server_side = ::accept(lst, nullptr, nullptr);
  ::close(lst);
  ASSERT_GE(server_side, 0);
  Process p = f.spawn(Fixture::program("kyvekserver"), {"inetd"}, server_side, "inetd");
  ::close(server_side);
  EXPECT_EQ(client.get(), "");
  EXPECT_EQ(Fixture::wait(p, 20000), 0) << Fixture::read_file(p.err);
}

TEST(OneConnection, TcpipListenUsesTheGivenPort) {
  Fixture f;
  Process p = f.spawn(Fixture::program("kyvekserver"), {"tcpip_listen", f.port_text()}, -1, "listen");
  bool up = false;
  for (int i = 0; i < 500 && !(up = Fixture::listening(f.port())); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(up) << Fixture::read_file(p.err);
  {
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port())) << c.error();
    EXPECT_EQ(c.logon_sequence("anyone", "x"), 0) << c.error();
  }
  EXPECT_EQ(Fixture::wait(p, 20000), 0) << Fixture::read_file(p.err);
  EXPECT_EQ(Fixture::read_file(p.out).rfind("Connection from 127.0.0.1 (", 0), 0u) << Fixture::read_file(p.out);
  EXPECT_FALSE(Fixture::listening(f.port()));
}

// The one-connection listener has no second try: out of descriptors, it ends
// with code 5 and the system's text.
TEST(OneConnection, TcpipListenAcceptFailureEndsWithCode5) {
  Fixture f;
  // The process ends while it has no descriptor to spare, where the leak check
  // could not open what it reads.
  f.set_env("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=1");
  Process p = f.spawn(Fixture::program("kyvekserver"), {"tcpip_listen", f.port_text()}, -1, "listen");
  bool up = false;
  for (int i = 0; i < 500 && !(up = Fixture::listening(f.port())); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(up) << Fixture::read_file(p.err);
  leave_no_descriptor(p.pid);
  int fd = kyvek::e2e::connect_loopback(f.port());
  EXPECT_EQ(Fixture::wait(p, 20000), 5) << Fixture::read_file(p.err);
  EXPECT_NE(Fixture::read_file(p.err).find("Failed to accept incoming connection\n- Too many open files (errno 24)\n"),
            std::string::npos)
      << Fixture::read_file(p.err);
  ::close(fd);
}

TEST(OneConnection, InheritedSocketServesOneClientAndExitsWithItsStatus) {
  Options o;
  o.flags = kDsnBrowse | kAudit;  // logon on
  o.pam_users["nobody"] = "right";
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());  // creates the statistics block the child opens
  for (const auto& [password, status] : {std::pair<std::string, int>{"right", 0}, {"wrong", 201}}) {
    SCOPED_TRACE(password);
    int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lst, 1), 0);
    ASSERT_EQ(::getsockname(lst, reinterpret_cast<sockaddr*>(&a), &len), 0);
    int port = ntohs(a.sin_port);
    auto client = std::async(std::launch::async, [&, password = password] {
      RpcClient c;
      if (!c.connect(port)) return -9999;
      return static_cast<int>(c.logon_sequence("nobody", password));
    });
    int server_side = ::accept(lst, nullptr, nullptr);  // inheritable
    ::close(lst);
    ASSERT_GE(server_side, 0);
    Process p =
        f.spawn(Fixture::program("kyvekserver"), {"tcpip_inherit_socket", std::to_string(server_side)}, -1, "child");
    ::close(server_side);
    int rc = client.get();
    if (status == 0) {
      EXPECT_EQ(rc, 0);
    } else {
      EXPECT_NE(rc, 0);
    }
    EXPECT_EQ(Fixture::wait(p, 20000), status) << Fixture::read_file(p.err);
  }
}

fs::path audit_trail(const Fixture& f) { return f.dir() / "log" / "kyvek_access.log"; }

// Whether the audit trail holds text within 12 seconds.
bool audit_shows(const Fixture& f, const std::string& text) {
  for (int i = 0; i < 120; ++i) {
    if (Fixture::read_file(audit_trail(f)).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

TEST(Logon, PamDecidesAndTheWorkerActsAsTheUser) {
  Options o;
  o.flags = kDsnBrowse | kAudit;
  o.pam_users["nobody"] = "right";
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());

  RpcClient good;
  ASSERT_TRUE(good.connect(f.port())) << good.error();
  EXPECT_EQ(good.logon_sequence("nobody", "right"), 0);

  if (::getuid() == 0) {
    // One task of the server now has nobody's effective id; the main task
    // stays root.
    struct passwd* pw = ::getpwnam("nobody");
    ASSERT_NE(pw, nullptr);
    std::string want = std::to_string(pw->pw_uid);
    pid_t pid = f.server().pid;
    auto euid_of = [](const fs::path& status) {
      std::istringstream in(Fixture::read_file(status));
      for (std::string line; std::getline(in, line);)
        if (line.rfind("Uid:", 0) == 0) {
          std::istringstream ids(line.substr(4));
          std::string real, effective;
          ids >> real >> effective;
          return effective;
        }
      return std::string();
    };
    EXPECT_EQ(euid_of(fs::path("/proc") / std::to_string(pid) / "status"), "0");
    int impersonating = 0;
    for (const auto& task : fs::directory_iterator(fs::path("/proc") / std::to_string(pid) / "task"))
      if (euid_of(task.path() / "status") == want) ++impersonating;
    EXPECT_EQ(impersonating, 1);
  }

  RpcClient bad;
  ASSERT_TRUE(bad.connect(f.port())) << bad.error();
  EXPECT_EQ(bad.logon_sequence("nobody", "wrong"), 1326);
  EXPECT_EQ(bad.logon_sequence("nobody", "right"), 0) << "the link stays open after a refusal";
  bad.disconnect();
  good.disconnect();

  // The refused link ends with status 201, which the listener audits when it
  // reaps the worker (at a time-out pass or the next worker start).
  EXPECT_TRUE(audit_shows(f, "AUTH_DENIED")) << Fixture::read_file(audit_trail(f));
}

// Every refused logon is an event of its own with the user and the address,
// as security tools count them: none is folded into "Last message repeated".
TEST(Logon, EveryRefusedLogonIsItsOwnEvent) {
  Options o;
  o.flags = kDsnBrowse;
  o.pam_users["nobody"] = "right";
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  const char* users[] = {"nobody", "nobody", "alice", "nobody", "mallory"};
  for (const char* user : users) {
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port())) << c.error();
    EXPECT_EQ(c.logon_sequence(user, "wrong"), 1326);
    c.disconnect();
  }
  ASSERT_TRUE(f.wait_event("failed logon for user 'mallory'"));
  int refused = 0;
  std::string all;
  for (const std::string& e : f.events()) {
    all += e + "\n";
    if (e.find("Invalid authorisation from 127.0.0.1: failed logon for user '") != std::string::npos) ++refused;
    EXPECT_EQ(e.find("repeated"), std::string::npos) << e;
  }
  EXPECT_EQ(refused, 5) << all;
  EXPECT_NE(all.find("failed logon for user 'alice' (wrong user name or password, code 1326)"), std::string::npos)
      << all;
}

// Every file the server writes in LogDir follows one rule: in a directory of
// group adm (as the package makes /var/log/kyvek) mode 0640 and group adm.
TEST(LogFiles, AreReadableByGroupAdmInADirectoryOfThatGroup) {
  Options o;
  o.flags = kAuthOff | kDsnBrowse | kAudit;
  o.settings["Logging"] = "0xFFF";
  Fixture f(o);
  group* adm = ::getgrnam("adm");
  ASSERT_NE(adm, nullptr);
  const fs::path logs = f.dir() / "log";
  ASSERT_EQ(::chown(logs.c_str(), uid_t(-1), adm->gr_gid), 0);
  ASSERT_TRUE(f.start_server());
  {
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port())) << c.error();
    EXPECT_EQ(c.logon_sequence("anyone", "x"), 0);
    c.disconnect();
  }
  f.stop_server();
  int files = 0;
  for (const auto& e : fs::directory_iterator(logs)) {
    if (!e.is_regular_file()) continue;
    struct stat st {};
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    if (st.st_uid != ::geteuid()) continue;  // not the server's own
    ++files;
    EXPECT_EQ(st.st_mode & 07777, 0640u) << e.path();
    EXPECT_EQ(st.st_gid, adm->gr_gid) << e.path();
  }
  EXPECT_GE(files, 3) << "trace, start-up log and audit trail at least";
}

// A worker process drops to the first logged-on user for good; a refusal
// after that still reaches the audit trail, which that user may not open.
TEST(Logon, RefusalAfterALogonIsAuditedInAWorkerProcess) {
  Options o;
  o.flags = kDsnBrowse | kAudit | kMultiProcess;
  o.pam_users["nobody"] = "right";
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());

  RpcClient link;
  ASSERT_TRUE(link.connect(f.port())) << link.error();
  EXPECT_EQ(link.logon_sequence("nobody", "right"), 0);
  EXPECT_EQ(link.logon_sequence("nobody", "wrong"), 1326);
  link.disconnect();

  EXPECT_TRUE(audit_shows(f, "AUTH_DENIED 127.0.0.1(user_nobody)")) << Fixture::read_file(audit_trail(f));
}

// The shared statistics block of a fixture, mapped read-write.
struct SharedBlock {
  explicit SharedBlock(const std::string& name) {
    int fd = ::shm_open(name.c_str(), O_RDWR, 0);
    if (fd < 0) return;
    void* p = ::mmap(nullptr, 3464, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p != MAP_FAILED) base = static_cast<unsigned char*>(p);
  }
  ~SharedBlock() {
    if (base) ::munmap(base, 3464);
  }
  uint32_t word(size_t offset) const {
    return __atomic_load_n(reinterpret_cast<uint32_t*>(base + offset), __ATOMIC_ACQUIRE);
  }
  void set_word(size_t offset, uint32_t v) {
    __atomic_store_n(reinterpret_cast<uint32_t*>(base + offset), v, __ATOMIC_RELEASE);
  }
  unsigned char* base = nullptr;
};

std::string service_state(const Fixture& f) {
  std::istringstream in(Fixture::read_file(f.rundir() / (std::string(Fixture::kServiceName) + ".state")));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("state=", 0) == 0) return line.substr(6);
  return "";
}

bool wait_state(const Fixture& f, const std::string& state, int timeout_ms = 10000) {
  for (int waited = 0; waited < timeout_ms; waited += 50) {
    if (service_state(f) == state) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

TEST(Service, PauseContinueStopAndSettingsChange) {
  Fixture f;
  f.set_setting("Port", f.port_text());
  f.set_env("KYVEK_SERVICE", "1");
  ASSERT_TRUE(f.start_server({"standalone"}));
  ASSERT_TRUE(wait_state(f, "4"));
  {
    RpcClient c;
    ASSERT_TRUE(c.connect(f.port())) << c.error();
    EXPECT_EQ(c.logon_sequence("anyone", "x"), 0);
  }
  SharedBlock block(f.shm_name());
  ASSERT_NE(block.base, nullptr);
  pid_t pid = f.server().pid;

  // Pause: new clients wait in the backlog until continue.
  ASSERT_EQ(::kill(pid, SIGUSR1), 0);
  ASSERT_TRUE(wait_state(f, "7"));
  for (int i = 0; i < 100 && block.word(1504) != 1; ++i) std::this_thread::sleep_for(20ms);
  EXPECT_EQ(block.word(1504), 1u);
  auto waiting = std::async(std::launch::async, [&] {
    RpcClient c;
    return c.connect(f.port()) && c.logon_sequence("anyone", "x") == 0;
  });
  EXPECT_EQ(waiting.wait_for(1500ms), std::future_status::timeout);
  ASSERT_EQ(::kill(pid, SIGUSR2), 0);
  ASSERT_TRUE(wait_state(f, "4"));
  ASSERT_EQ(waiting.wait_for(15s), std::future_status::ready);
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(block.word(1504), 0u);

  // A settings change reaches the listener through the configuration-changed word.
  f.set_setting("DenyList", "127.0.0.1");
  block.set_word(2432, 1);
  bool refused = false;
  for (int i = 0; i < 40 && !refused; ++i) {
    int fd = kyvek::e2e::connect_loopback(f.port());
    if (fd >= 0) {
      refused = kyvek::e2e::read_all(fd, 500) == frame("Client denied access due to access control rule.");
      ::close(fd);
    }
    if (!refused) std::this_thread::sleep_for(250ms);
  }
  EXPECT_TRUE(refused);
  EXPECT_EQ(block.word(2432), 0u);

  // Stop ends the loop at once; "stopped" is reported once.
  auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(f.stop_server(10000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 6s);
  EXPECT_EQ(service_state(f), "1");
  int stopped = 0;
  for (const auto& line : f.events())
    if (line.rfind("0x00020011", 0) == 0) ++stopped;
  EXPECT_EQ(stopped, 1);
}

}  // namespace

namespace {

TEST(Service, ListeningFailureStopsWithCode105) {
  Fixture f;
  // Someone else holds the port.
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  a.sin_port = htons(static_cast<uint16_t>(f.port()));
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  f.set_setting("Port", f.port_text());
  f.set_env("KYVEK_SERVICE", "1");
  Process p = f.spawn(Fixture::program("kyvekserver"), {"standalone"}, -1, "service");
  EXPECT_EQ(Fixture::wait(p, 20000), 1) << Fixture::read_file(p.err);
  std::string state = Fixture::read_file(f.rundir() / (std::string(Fixture::kServiceName) + ".state"));
  EXPECT_NE(state.find("state=1\n"), std::string::npos) << state;
  EXPECT_NE(state.find("win32_exit_code=1066\n"), std::string::npos) << state;
  EXPECT_NE(state.find("service_exit_code=105\n"), std::string::npos) << state;
  EXPECT_TRUE(f.wait_event("0xC0020071 Failed to bind to port - ", 1000));
  // The system's own words for the errno, not a 10000-based code.
  EXPECT_TRUE(f.wait_event("Address already in use (errno 98)", 1000)) << Fixture::read_file(f.eventlog_path());
  ::close(holder);
}

}  // namespace

namespace {

// MaxThreadCount through a real listener: the connection beyond the limit gets
// the refusal frame (each loop has its own words), the event and the audit line.
TEST(Listener, MaxThreadCountRefusesTheConnectionBeyondIt) {
  for (bool service : {false, true}) {
    SCOPED_TRACE(service ? "service" : "console");
    Options o;
    o.flags |= kAudit;
    o.settings["MaxThreadCount"] = "1";
    Fixture f(o);
    if (service) {
      f.set_setting("Port", f.port_text());
      f.set_env("KYVEK_SERVICE", "1");
      ASSERT_TRUE(f.start_server({"standalone"}));
      ASSERT_TRUE(wait_state(f, "4"));
    } else {
      ASSERT_TRUE(f.start_server());
    }
    RpcClient first;
    ASSERT_TRUE(first.connect(f.port())) << first.error();
    int fd = kyvek::e2e::connect_loopback(f.port());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kyvek::e2e::read_all(fd), frame(service ? "MaxThreadCount 1 reached"
                                                      : "Unable to create new thread entry - MaxThreadCount 1 reached\n"));
    ::close(fd);
    EXPECT_TRUE(f.wait_event("Client refused access - MaxThreadCount 1 reached", 2000))
        << Fixture::read_file(f.eventlog_path());
    EXPECT_TRUE(audit_shows(f, "REFUSED_MAXCONCURRENT 127.0.0.1")) << Fixture::read_file(audit_trail(f));
  }
}

// ReverseLookup names the client in the console's "Connection from" line.
TEST(Listener, ReverseLookupNamesTheClient) {
  const struct {
    uint32_t flag;
    const char* line;
  } cases[] = {{0x20, "Connection from 127.0.0.1 (localhost)\n"}, {0, "Connection from 127.0.0.1 (unknown)\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Options o;
    o.flags |= c.flag;
    Fixture f(o);
    ASSERT_TRUE(f.start_server());
    RpcClient client;
    ASSERT_TRUE(client.connect(f.port())) << client.error();
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
      seen = Fixture::read_file(f.server().out).find(c.line) != std::string::npos;
      if (!seen) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(seen) << Fixture::read_file(f.server().out);
  }
}

// With ShowProcessTime the listener's periodic step (here: from the eleventh
// connection on) keeps the process's CPU times in the statistics block, which
// the statistics written at the stop show.
TEST(Listener, ShowProcessTimeKeepsTheCpuTimes) {
  constexpr uint32_t kShowProcessTime = 0x100, kWriteStatsOnExit = 0x20000;
  for (bool show : {true, false}) {
    SCOPED_TRACE(show ? "ShowProcessTime" : "without");
    Options o;
    o.flags |= kWriteStatsOnExit | (show ? kShowProcessTime : 0);
    Fixture f(o);
    f.set_setting("Port", f.port_text());
    f.set_env("KYVEK_SERVICE", "1");
    ASSERT_TRUE(f.start_server({"standalone"}));
    ASSERT_TRUE(wait_state(f, "4"));
    for (int i = 0; i < 12; ++i) {
      RpcClient c;
      ASSERT_TRUE(c.connect(f.port())) << c.error();
    }
    EXPECT_EQ(f.stop_server(10000), 0);
    const std::string out = Fixture::read_file(f.server().out);
    const size_t at = out.find("Server CPU time(s): \t\t\tu=");
    if (!show) {
      EXPECT_EQ(at, std::string::npos) << out;
      continue;
    }
    ASSERT_NE(at, std::string::npos) << out;
    double user = -1, kernel = -1;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "Server CPU time(s): \t\t\tu=%lf k=%lf", &user, &kernel), 2) << out;
    EXPECT_GT(user + kernel, 0.0) << out;
  }
}

}  // namespace
