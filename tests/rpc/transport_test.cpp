// The socket transports on real sockets: adopted sockets (Winsock and TTY drivers)
// over socket pairs and loopback TCP, and the BSD driver's connect, refusal and
// oversize handling through RPCConnect.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "socket_io.h"
#include "syscall_stop.h"
#include "test_util.h"
#include "wire.h"

namespace kyrpc::test {
namespace {

using Clock = std::chrono::steady_clock;

struct SocketPair {
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0); }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void close_peer() {
    ::close(fd[1]);
    fd[1] = -1;
  }
  void write(const std::string& s) { ASSERT_EQ(::send(fd[1], s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size())); }
  int fd[2] = {-1, -1};
};

struct IdleScale {
  explicit IdleScale(int ms) { set_idle_second_ms(ms); }
  ~IdleScale() { set_idle_second_ms(1000); }
};

TEST(AdoptedTransport, IdleTimeoutText) {
  struct {
    const char* text;
    uint32_t seconds;
  } cases[] = {
      {"60", 60},        {"60x", 0},        {"", 0}, {nullptr, 0}, {"-1", 0}, {"0", 0}, {"4294967294", 4294967294u},
      {"4294967295", 0}, {"99999999999", 0}};
  for (const auto& c : cases) EXPECT_EQ(parse_idle_timeout(c.text), c.seconds) << (c.text ? c.text : "null");
}

TEST(AdoptedTransport, FramesOverASocketPair) {
  for (bool tty : {false, true}) {
    SCOPED_TRACE(tty ? "tty" : "winsock");
    auto make = [&](int fd) { return tty ? make_tty_connection(fd, nullptr) : make_winsock_connection(fd, nullptr); };
    uint8_t buf[4096];
    size_t n = 0;
    {
      // A header that arrives in pieces is put together.
      SocketPair p;
      auto c = make(p.fd[0]);
      std::thread writer([&] {
        p.write(std::string("\0\0", 2));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        p.write(std::string("\0\x03xyz", 5));
      });
      EXPECT_TRUE(c->receive(buf, sizeof buf, &n)) << c->message();
      writer.join();
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "xyz");
    }
    {
      SocketPair p;
      auto c = make(p.fd[0]);
      p.close_peer();
      EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
      EXPECT_STREQ(c->message(), tty ? "Failed to read data \n recv(..,4,...)=0 - short read"
                                     : "Connection closed by client prematurely");
    }
    {
      SocketPair p;
      auto c = make(p.fd[0]);
      p.write(std::string("\xFF\xFF\xFF\xFF", 4) + std::string("Server busy\0", 12));
      EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
      EXPECT_STREQ(c->message(), "Server busy");
    }
    {
      // A frame longer than the buffer fails at once, showing what follows.
      SocketPair p;
      auto c = make(p.fd[0]);
      p.write("GET / HTTP/1.0\r\n\r\n");
      EXPECT_FALSE(c->receive(buf, 256, &n));
      EXPECT_STREQ(c->message(),
                   "Failed to receive data \nPacket (size=47455420) too big for buffer (size=256) (/ HTTP/1.0)\n");
    }
    {
      // 4096 payload bytes leave as one frame.
      SocketPair p;
      auto c = make(p.fd[0]);
      std::string payload(4096, 'q');
      ASSERT_TRUE(c->send(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), false));
      std::string got(4100, '\0');
      size_t total = 0;
      while (total < got.size()) {
        ssize_t r = ::recv(p.fd[1], got.data() + total, got.size() - total, 0);
        ASSERT_GT(r, 0);
        total += size_t(r);
      }
      EXPECT_EQ(got, std::string("\0\0\x10\0", 4) + payload);
    }
  }
}

// Frames are cut from what one read brought in: several frames written at once,
// a frame longer than the read-ahead area, and a header split across reads
// right after a whole frame all come out whole and in order.
TEST(AdoptedTransport, FramesReadAheadComeOutWholeAndInOrder) {
  auto frame = [](const std::string& payload) {
    std::string f(4, '\0');
    put_frame_length(reinterpret_cast<uint8_t*>(f.data()), uint32_t(payload.size()));
    return f + payload;
  };
  const std::string big(ReadAhead::kSize + 1000, 'b');
  std::string large_pattern(ReadAhead::kSize * 2 + 7, '\0');
  for (size_t i = 0; i < large_pattern.size(); ++i) large_pattern[i] = char('a' + i % 26);
  SocketPair p;
  auto c = make_winsock_connection(p.fd[0], nullptr);
  std::vector<uint8_t> buf(large_pattern.size());
  std::thread writer([&] {
    p.write(frame("one") + frame("two") + frame("") + frame(big) + frame("x") + std::string("\0\0", 2));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    p.write(std::string("\0\x04", 2) + "last" + frame(large_pattern));
  });
  for (const std::string& want : {std::string("one"), std::string("two"), std::string(), big, std::string("x"),
                                  std::string("last"), large_pattern}) {
    size_t n = 0;
    ASSERT_TRUE(c->receive(buf.data(), buf.size(), &n)) << c->message();
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), n), want);
  }
  writer.join();
}

TEST(AdoptedTransport, IdleTimeoutsCountOnlyEmptyWaits) {
  IdleScale scale(2);  // one "second" is 2 ms
  uint8_t buf[64];
  size_t n = 0;
  {
    // Winsock: "60" gives up on the seventh empty 10-second wait, then stays timed out.
    SocketPair p;
    auto c = make_winsock_connection(p.fd[0], "60");
    auto start = Clock::now();
    EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(7 * 10 * 2 - 5));
    EXPECT_STREQ(c->message(), "");
    p.write(std::string("\0\0\0\x01z", 5));
    EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
  }
  {
    // TTY: a time-out shorter than one wait still lets a live connection through.
    SocketPair p;
    auto c = make_tty_connection(p.fd[0], "3");
    p.write(std::string("\0\0\0\x01z", 5));
    EXPECT_TRUE(c->receive(buf, sizeof buf, &n)) << c->message();
    auto start = Clock::now();
    EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  }
  {
    SocketPair p;
    auto c = make_tty_connection(p.fd[0], "60");
    auto start = Clock::now();
    EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(13 * 5 * 2 - 5));
  }
}

HandlePtr client_for(int port, const char* attempts = nullptr) {
  HandlePtr h(RPCAllocHandle());
  RPCInitialise(h.get(), RPC_MODE_CLIENT, 0);
  std::string p = std::to_string(port);
  RPCSetTransportOpts(h.get(), RPC_TRANSPORT_BSD, "127.0.0.1", p.c_str(), nullptr, nullptr, nullptr, nullptr, "30");
  if (attempts) RPCSetLowLTransportOpts(h.get(), 1, RPC_LOWL_ATTEMPTS, attempts);
  return h;
}

std::string error_of(RpcHandle* h, int* code) {
  const char* t = nullptr;
  *code = RPCReportError(h, &t);
  return t ? t : "";
}

TEST(BsdTransport, RefusedConnectionsAreRetried) {
  int port = 0;
  int fd = loopback_socket(&port, false);  // bound, nobody listening: refused
  const std::string refused = "Could not connect to 127.0.0.1 port " + std::to_string(port) + ": Connection refused";
  struct {
    const char* attempts;
    std::string text;
    int min_ms;
  } cases[] = {{"1", refused + " (1 attempt)", 0}, {"3", refused + " (3 attempts)", 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.attempts);
    HandlePtr h = client_for(port, c.attempts);
    auto start = Clock::now();
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.min_ms));
    int code = 0;
    EXPECT_EQ(error_of(h.get(), &code), c.text);
    EXPECT_EQ(code, RPC_ERR_OPEN);
    EXPECT_EQ(h->state, kOptionsSet);
  }
  ::close(fd);
  HandlePtr no_port(RPCAllocHandle());
  RPCInitialise(no_port.get(), RPC_MODE_CLIENT, 0);
  RPCSetTransportOpts(no_port.get(), RPC_TRANSPORT_BSD, "127.0.0.1", nullptr, 0, 0, 0, 0, 0);
  EXPECT_EQ(RPCConnect(no_port.get(), 1, 0, "x"), 1);
  int code = 0;
  EXPECT_EQ(error_of(no_port.get(), &code), "Missing Port\n");
}

void fake_server(int listen_fd, std::string bytes);
void fake_server_closes(int listen_fd) { fake_server(listen_fd, ""); }

// A socket listening on [::1], or -1 when the machine has no IPv6 loopback.
int ipv6_loopback_socket(int* port) {
  int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin6_port);
  return fd;
}

// Hosts are resolved with getaddrinfo: names, IPv4 and IPv6 addresses (an IPv6
// one bracketed or not); the resolver's own words when a name is unknown.
TEST(BsdTransport, HostsResolveThroughGetaddrinfo) {
  int port6 = 0;
  int fd6 = ipv6_loopback_socket(&port6);
  ASSERT_GE(fd6, 0) << "no IPv6 loopback";
  for (const char* host : {"[::1]", "::1"}) {
    SCOPED_TRACE(host);
    HandlePtr h(RPCAllocHandle());
    RPCInitialise(h.get(), RPC_MODE_CLIENT, 0);
    std::string p = std::to_string(port6);
    RPCSetTransportOpts(h.get(), RPC_TRANSPORT_BSD, host, p.c_str(), nullptr, nullptr, nullptr, nullptr, "30");
    RPCSetWaitLimit(h.get(), 300);
    // The connect is accepted by the kernel; nobody answers the handshake.
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
    EXPECT_TRUE(RPCTimedOut(h.get()));
    int code = 0;
    EXPECT_EQ(error_of(h.get(), &code), "Timed out: no answer from the server within 300 ms");
  }
  ::close(fd6);
  // "localhost" may resolve to ::1 first: a refusal there moves on to 127.0.0.1.
  int port = 0;
  int fd = loopback_socket(&port);
  std::thread server(fake_server_closes, fd);
  HandlePtr local(RPCAllocHandle());
  RPCInitialise(local.get(), RPC_MODE_CLIENT, 0);
  std::string p = std::to_string(port);
  RPCSetTransportOpts(local.get(), RPC_TRANSPORT_BSD, "localhost", p.c_str(), nullptr, nullptr, nullptr, nullptr, "30");
  RPCSetLowLTransportOpts(local.get(), 1, RPC_LOWL_ATTEMPTS, "1");
  EXPECT_EQ(RPCConnect(local.get(), 1, 0, "1999-1014-0000000001"), 1);
  int code = 0;
  EXPECT_EQ(error_of(local.get(), &code), "Connection closed by peer");
  local.reset();
  server.join();
  ::close(fd);

  HandlePtr unknown(RPCAllocHandle());
  RPCInitialise(unknown.get(), RPC_MODE_CLIENT, 0);
  RPCSetTransportOpts(unknown.get(), RPC_TRANSPORT_BSD, "nosuch.invalid", "8888", nullptr, nullptr, nullptr, nullptr,
                      "30");
  EXPECT_EQ(RPCConnect(unknown.get(), 1, 0, "1999-1014-0000000001"), 1);
  std::string text = error_of(unknown.get(), &code);
  EXPECT_EQ(text.rfind("Could not resolve host nosuch.invalid (for port 8888): ", 0), 0u) << text;
  EXPECT_EQ(text.find("gethostbyname"), std::string::npos) << text;
}

// The wait end bounds the whole connect: the attempts against a refusing port
// stop when it comes, however many are left.
TEST(BsdTransport, WaitEndBoundsEveryAttempt) {
  int port = 0;
  int fd = loopback_socket(&port, false);
  HandlePtr h = client_for(port, "50");
  RPCSetWaitEnd(h.get(), 700);
  auto start = Clock::now();
  EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
  auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(650));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_TRUE(RPCTimedOut(h.get()));
  ::close(fd);
}

// A fake server: accepts one client, sends the given bytes and closes.
void fake_server(int listen_fd, std::string bytes) {
  int c = ::accept(listen_fd, nullptr, nullptr);
  if (!bytes.empty()) ::send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  char buf[256];
  ::shutdown(c, SHUT_WR);
  while (::recv(c, buf, sizeof buf, 0) > 0) {
  }
  ::close(c);
}

TEST(BsdTransport, WhatAServerSaysBeforeTheHandshake) {
  struct {
    const char* name;
    std::string bytes;
    const char* text;
  } cases[] = {
      {"refusal", std::string("\xFF\xFF\xFF\xFF", 4) + std::string("Access denied\0", 14), "Access denied"},
      {"too big", std::string("\0\0\x13\x88", 4) + "HELLO\x01junk",
       "Failed to receive data \nPacket (size=1388) too big for buffer (size=256) (HELLO)\n"},
      {"closed at once", "", "Connection closed by peer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int port = 0;
    int lfd = loopback_socket(&port);
    std::thread server(fake_server, lfd, c.bytes);
    HandlePtr h = client_for(port);
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
    int code = 0;
    EXPECT_EQ(error_of(h.get(), &code), c.text);
    EXPECT_EQ(code, RPC_ERR_TRANSPORT);
    char info[2];
    RPCGetInfo(h.get(), RPC_INFO_NOT_RPC, info, sizeof info);
    EXPECT_STREQ(info, "Y");
    h.reset();
    server.join();
    ::close(lfd);
  }
}

// A client handle for host:port with the given low-level options (id, text pairs).
HandlePtr client_at(const char* host, int port, std::vector<std::pair<int, const char*>> lowl = {}) {
  HandlePtr h(RPCAllocHandle());
  RPCInitialise(h.get(), RPC_MODE_CLIENT, 0);
  std::string p = std::to_string(port);
  RPCSetTransportOpts(h.get(), RPC_TRANSPORT_BSD, host, p.c_str(), nullptr, nullptr, nullptr, nullptr, "30");
  for (const auto& [id, text] : lowl) RPCSetLowLTransportOpts(h.get(), 1, id, text);
  return h;
}

// Name lookup, connect errors and the socket options of a client. A fake server
// that refuses with a text shows that the connection was made.
TEST(BsdTransport, ClientHostsErrorsAndOptions) {
  const std::string refusal = std::string("\xFF\xFF\xFF\xFF", 4) + std::string("go away\0", 8);
  {
    SCOPED_TRACE("a host name that resolves, with buffer sizes and time-outs");
    int port = 0;
    int lfd = loopback_socket(&port);
    std::thread server(fake_server, lfd, refusal);
    HandlePtr h = client_at("localhost", port,
                            {{RPC_LOWL_RCVBUF, "65536"},
                             {RPC_LOWL_SNDBUF, "65536"},
                             {RPC_LOWL_RCVTIMEO, "5000"},
                             {RPC_LOWL_SNDTIMEO, "5000"}});
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
    int code = 0;
    EXPECT_EQ(error_of(h.get(), &code), "go away");
    EXPECT_EQ(code, RPC_ERR_TRANSPORT);
    h.reset();
    server.join();
    ::close(lfd);
  }
  struct Case {
    const char* name;
    const char* host;
    std::vector<std::pair<int, const char*>> lowl;
    std::string prefix;  // of the connection's message
    std::string suffix;
  } cases[] = {
      {"a name that does not resolve", "no-such-host.invalid", {}, "Could not resolve host no-such-host.invalid ", ""},
      {"a name that begins with a digit is looked up by name",
       "1.no-such-host.invalid",
       {},
       "Could not resolve host 1.no-such-host.invalid ",
       ""},
      // The kernel never connects a stream to the broadcast address: an error
      // that is not a refusal ends the attempts at once.
      {"a connect error other than refusal",
       "255.255.255.255",
       {},
       "Could not connect to 255.255.255.255 port ",
       ""},
      // Far beyond what the kernel grants without privileges of its own.
      {"a send buffer the kernel will not grant",
       "127.0.0.1",
       {{RPC_LOWL_SNDBUF, "1073741824"}},
       "Reported socket send buffer size (",
       ") is not what was set (1073741824)\n"},
      {"a receive buffer the kernel will not grant",
       "127.0.0.1",
       {{RPC_LOWL_RCVBUF, "1073741824"}},
       "Reported socket receive buffer size (",
       ") is not what was set (1073741824)\n"},
  };
  int port = 0;
  int fd = loopback_socket(&port, false);  // nobody listens: a connect would be refused
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandlePtr h = client_at(c.host, port, c.lowl);
    auto start = Clock::now();
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
    int code = 0;
    std::string text = error_of(h.get(), &code);
    EXPECT_EQ(code, RPC_ERR_OPEN);
    EXPECT_EQ(text.rfind(c.prefix, 0), 0u) << text;
    EXPECT_TRUE(text.size() >= c.suffix.size() && text.compare(text.size() - c.suffix.size(), c.suffix.size(),
                                                                c.suffix) == 0)
        << text;
  }
  ::close(fd);
}

// SO_RCVTIMEO on a client: a server that accepts and then says nothing ends the
// handshake after the time-out instead of holding the client for ever.
TEST(BsdTransport, ReceiveTimeOutEndsASilentHandshake) {
  int port = 0;
  int lfd = loopback_socket(&port);
  std::thread server([lfd] {
    int c = ::accept(lfd, nullptr, nullptr);
    char buf[512];
    // Reads what the client sends, answers nothing, until the client leaves.
    while (::recv(c, buf, sizeof buf, 0) > 0) {
    }
    ::close(c);
  });
  HandlePtr h = client_at("127.0.0.1", port, {{RPC_LOWL_RCVTIMEO, "300"}});
  auto start = Clock::now();
  EXPECT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 1);
  auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::seconds(5));
  int code = 0;
  error_of(h.get(), &code);
  EXPECT_EQ(code, RPC_ERR_TRANSPORT);
  h.reset();
  server.join();
  ::close(lfd);
}

// Server mode: bind the port, listen, accept one connection and serve it; and
// the failures of bind, listen and accept with their texts.
TEST(BsdTransport, ServerModeAcceptsOneConnection) {
  FunctionDescriptor table[2] = {};
  table[0].name = "nothing";
  table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  auto server_handle = [&](int port, std::vector<std::pair<int, const char*>> lowl) {
    RpcHandle* h = RPCAllocHandle();
    RPCInitialise(h, RPC_MODE_SERVER, 0);
    RPCExport(h, table);
    std::string p = std::to_string(port);
    RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, nullptr, p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    for (const auto& [id, text] : lowl) RPCSetLowLTransportOpts(h, 1, id, text);
    return h;
  };
  auto close_handle = [](RpcHandle* h) {
    RPCDisconnect(h);
    RPCTerminate(h);
    RPCFreeHandle(h);
  };
  {
    SCOPED_TRACE("serves one client");
    int port = 0;
    ::close(loopback_socket(&port, false));  // a port free a moment ago
    RpcHandle* sh = server_handle(port, {});
    int server_rc = -1;
    std::thread server([&] {
      server_rc = RPCConnect(sh, 1, 0, "1999-1014-0000000001");
      if (server_rc == 0) RPCRun(sh);
    });
    // The client's retries cover the moment before the server listens.
    HandlePtr h = client_at("127.0.0.1", port, {{RPC_LOWL_ATTEMPTS, "20"}});
    ASSERT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 0) << error_of(h.get(), &server_rc);
    int16_t rc = -1;
    EXPECT_EQ(RPCExec(h.get(), "nothing", &rc), 0);
    h.reset();
    server.join();
    EXPECT_EQ(server_rc, 0);
    close_handle(sh);
  }
  {
    SCOPED_TRACE("the port is taken");
    int port = 0;
    int taken = loopback_socket(&port);
    RpcHandle* sh = server_handle(port, {});
    EXPECT_EQ(RPCConnect(sh, 1, 0, "1999-1014-0000000001"), 1);
    int code = 0;
    EXPECT_EQ(error_of(sh, &code), "Failed to bind socket \nbind()\n- Address already in use\n");
    EXPECT_EQ(code, RPC_ERR_OPEN);
    close_handle(sh);
    ::close(taken);
  }
  {
    SCOPED_TRACE("another socket listens on the port between bind and listen");
    // Sockets that both ask for address reuse share a port until one listens:
    // the rival binds first and listens while the transport waits at its listen.
    int rival = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ASSERT_EQ(::setsockopt(rival, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    socklen_t any_len = sizeof any;
    ASSERT_EQ(::bind(rival, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::getsockname(rival, reinterpret_cast<sockaddr*>(&any), &any_len), 0);
    const int port = ntohs(any.sin_port);
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
      kyvek::test::trace_me();
      ::raise(SIGSTOP);
      RpcHandle* sh = server_handle(port, {});
      int rc = RPCConnect(sh, 1, 0, "1999-1014-0000000001");
      int code = 0;
      std::string text = error_of(sh, &code);
      if (::write(report[1], text.data(), text.size()) < 0) ::_exit(3);
      ::_exit(rc == 1 && code == RPC_ERR_OPEN ? 0 : 2);
    }
    ::close(report[1]);
    EXPECT_TRUE(kyvek::test::run_to_syscall(pid, SYS_listen, [&] { EXPECT_EQ(::listen(rival, 1), 0); }));
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    ::close(report[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(text, "Failed to listen on port \nlisten()\n- Address already in use\n");
    ::close(rival);
  }
  {
    SCOPED_TRACE("nobody connects within the receive time-out");
    int port = 0;
    ::close(loopback_socket(&port, false));
    RpcHandle* sh = server_handle(port, {{RPC_LOWL_RCVTIMEO, "200"}});
    auto start = Clock::now();
    EXPECT_EQ(RPCConnect(sh, 1, 0, "1999-1014-0000000001"), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    int code = 0;
    std::string text = error_of(sh, &code);
    EXPECT_EQ(text.rfind("Failed to accept connection \naccept()\n- ", 0), 0u) << text;
    EXPECT_EQ(code, RPC_ERR_OPEN);
    close_handle(sh);
  }
}

TEST(InheritedSocket, ServesOverTheTtyDriver) {
  int port = 0;
  int lfd = loopback_socket(&port);
  int run_code = -1;
  std::thread server([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    RpcHandle* h = RPCAllocHandle();
    RPCInitialise(h, RPC_MODE_SERVER, fd);
    FunctionDescriptor table[2] = {};
    table[0].name = "nothing";
    table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
    RPCExport(h, table);
    RPCSetTransportOpts(h, RPC_TRANSPORT_TTY, nullptr, nullptr, nullptr, nullptr, nullptr, "60", nullptr);
    if (RPCConnect(h, 1, 0, "1999-1014-0000000001") == 0) RPCRun(h);
    run_code = RPCReportError(h, nullptr);
    RPCDisconnect(h);
    RPCTerminate(h);
    RPCFreeHandle(h);
    ::close(fd);
  });
  HandlePtr h = client_for(port);
  ASSERT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 0);
  int16_t rc = 5;
  EXPECT_EQ(RPCExec(h.get(), "nothing", &rc), 0);
  EXPECT_EQ(rc, 0);
  h.reset();
  server.join();
  ::close(lfd);
  EXPECT_EQ(run_code, RPC_ERR_TRANSPORT);
}

TEST(AdoptedTransport, ResetByPeerEndsInPeer) {
  int port = 0;
  int lfd = loopback_socket(&port);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port));
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  int server = ::accept(lfd, nullptr, nullptr);
  linger lg{1, 0};
  ::setsockopt(client, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(client);  // sends a reset
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto c = make_winsock_connection(server, nullptr);
  uint8_t buf[16];
  size_t n = 0;
  EXPECT_FALSE(c->receive(buf, sizeof buf, &n));
  std::string text = c->message();
  EXPECT_EQ(text.substr(text.size() - 4), "peer") << text;
  ::close(server);
  ::close(lfd);
}

TEST(BsdTransport, ServerGoneMidSession) {
  int port = 0;
  int lfd = loopback_socket(&port);
  std::thread server([&] {
    int fd = ::accept(lfd, nullptr, nullptr);
    RpcHandle* h = RPCAllocHandle();
    RPCInitialise(h, RPC_MODE_SERVER, fd);
    FunctionDescriptor table[2] = {};
    table[0].name = "nothing";
    table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
    RPCExport(h, table);
    RPCSetTransportOpts(h, RPC_TRANSPORT_WINSOCK, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    RPCConnect(h, 1, 0, "1999-1014-0000000001");
    RPCDisconnect(h);  // goes away without serving
    RPCTerminate(h);
    RPCFreeHandle(h);
    ::close(fd);
  });
  HandlePtr h = client_for(port);
  ASSERT_EQ(RPCConnect(h.get(), 1, 0, "1999-1014-0000000001"), 0);
  server.join();
  int calls = 0;
  RPCSetError(
      h.get(), [](int code, void* n) { *static_cast<int*>(n) += code; }, &calls);
  int16_t rc = 0;
  EXPECT_EQ(RPCExec(h.get(), "nothing", &rc), 1);
  EXPECT_EQ(calls, RPC_ERR_TRANSPORT);
  EXPECT_EQ(RPCExec(h.get(), "nothing", &rc), 1);  // sticky, no second callback
  EXPECT_EQ(calls, RPC_ERR_TRANSPORT);
  EXPECT_EQ(RPCDisconnect(h.get()), 0);
  int code = 0;
  EXPECT_EQ(error_of(h.get(), &code), "Connection closed by peer");
  EXPECT_EQ(code, RPC_ERR_TRANSPORT);
  ::close(lfd);
}

TEST(SpinWait, BudgetFromTheEnvironmentAndProcessors) {
  struct Case {
    const char* text;
    int processors;
    int micros;
  } cases[] = {{nullptr, 8, SpinWait::kDefaultMicros},
               {"", 2, SpinWait::kDefaultMicros},
               {nullptr, 1, 0},
               {"40", 1, 0},
               {"0", 8, 0},
               {"off", 8, 0},
               {"5", 8, 20},
               {"35", 8, 35},
               {"1000", 8, SpinWait::kMaxMicros}};
  for (const Case& c : cases)
    EXPECT_EQ(SpinWait::budget_from(c.text, c.processors), c.micros)
        << (c.text ? c.text : "(unset)") << " " << c.processors;
}

TEST(SpinWait, TakesWhatArrivesAndBacksOffAfterMisses) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ReadAhead in;
  SpinWait off(0);
  ASSERT_EQ(::write(sv[1], "abc", 3), 3);
  EXPECT_FALSE(off.spin(sv[0], in));  // never reads
  EXPECT_EQ(in.buffered(), 0u);

  SpinWait spin(50);
  EXPECT_TRUE(spin.spin(sv[0], in));
  EXPECT_EQ(in.buffered(), 3u);
  uint8_t buf[8];
  EXPECT_EQ(in.take(buf, sizeof buf), 3u);
  // Misses: the next wait skips the spin, then three, seven, ... up to 63.
  std::vector<uint32_t> skips;
  for (int miss = 0; miss < 7; ++miss) {
    EXPECT_FALSE(spin.spin(sv[0], in));
    skips.push_back(spin.skipping());
    while (spin.skipping() > 0) EXPECT_FALSE(spin.spin(sv[0], in));
  }
  EXPECT_EQ(skips, (std::vector<uint32_t>{1, 3, 7, 15, 31, 63, 63}));
  // A hit resets the back-off.
  ASSERT_EQ(::write(sv[1], "d", 1), 1);
  EXPECT_TRUE(spin.spin(sv[0], in));
  EXPECT_EQ(in.take(buf, sizeof buf), 1u);
  EXPECT_FALSE(spin.spin(sv[0], in));
  EXPECT_EQ(spin.skipping(), 1u);
  // A crowded machine: no spin at all, and no miss counted for it.
  SpinWait crowded(50, [] { return true; });
  ASSERT_EQ(::write(sv[1], "e", 1), 1);
  EXPECT_FALSE(crowded.spin(sv[0], in));
  EXPECT_EQ(in.buffered(), 0u);
  EXPECT_EQ(crowded.skipping(), 0u);
  // The end of the stream ends a spin; the read that follows meets it.
  while (spin.skipping() > 0) spin.spin(sv[0], in);
  EXPECT_TRUE(spin.spin(sv[0], in));
  EXPECT_EQ(in.take(buf, sizeof buf), 1u);
  ::close(sv[1]);
  while (spin.skipping() > 0) spin.spin(sv[0], in);
  EXPECT_TRUE(spin.spin(sv[0], in));
  EXPECT_EQ(in.read_some(sv[0], buf, sizeof buf), 0);
  ::close(sv[0]);
}

TEST(SpinWait, CrowdedWhenMoreThreadsAreReadyThanProcessors) {
  struct Case {
    const char* loadavg;
    int processors;
    bool crowded;
  } cases[] = {{"0.50 0.40 0.30 1/812 4711\n", 8, false}, {"9.00 8.00 7.00 8/812 4711\n", 8, false},
               {"9.00 8.00 7.00 9/812 4711\n", 8, true},  {"48.1 40.2 30.3 45/990 17\n", 8, true},
               {"3.00 2.00 1.00 3/99 1\n", 2, true},       {"", 8, false},
               {"garbage", 8, false},                      {nullptr, 8, false}};
  for (const Case& c : cases)
    EXPECT_EQ(SpinWait::crowded_from(c.loadavg, c.processors), c.crowded) << (c.loadavg ? c.loadavg : "(none)");
}

}  // namespace
}  // namespace kyrpc::test
