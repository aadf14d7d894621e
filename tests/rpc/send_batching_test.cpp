// How messages leave the socket transports: a message of several frames goes out in
// one send (bounded), its last frame never waits, and TCP links turn off the
// small-segment delay so that no frame sits waiting for the acknowledgement of the
// one before. Sends are counted on SOCK_SEQPACKET socket pairs, where every send
// call arrives as one record; the option is read back with getsockopt.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "message.h"
#include "socket_io.h"
#include "test_util.h"

namespace kyrpc::test {
namespace {

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// What one end of a SOCK_SEQPACKET pair received: one string per send call.
std::vector<std::string> records(int fd) {
  std::vector<std::string> out;
  std::string buf(256 * 1024, '\0');
  for (;;) {
    ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n <= 0) break;
    out.emplace_back(buf.data(), size_t(n));
  }
  return out;
}

int no_delay(int fd) {
  int v = -1;
  socklen_t len = sizeof v;
  EXPECT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
  return v;
}

// A connected TCP pair on 127.0.0.1: [0] the connecting end, [1] the accepted one.
struct TcpPair {
  TcpPair() {
    int port = 0;
    int listener = loopback_socket(&port);
    fd[0] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    EXPECT_EQ(::connect(fd[0], reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    fd[1] = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ::close(listener);
  }
  ~TcpPair() {
    for (int f : fd) ::close(f);
  }
  int fd[2] = {-1, -1};
};

// This process's descriptor whose local address is the peer address of fd, or -1.
int local_end_of(int fd) {
  sockaddr_in peer{}, mine{};
  socklen_t len = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0) return -1;
  DIR* d = ::opendir("/proc/self/fd");
  int found = -1;
  while (dirent* e = d ? ::readdir(d) : nullptr) {
    int candidate = std::atoi(e->d_name);
    len = sizeof mine;
    if (candidate == fd || ::getsockname(candidate, reinterpret_cast<sockaddr*>(&mine), &len) != 0) continue;
    if (mine.sin_family == AF_INET && mine.sin_port == peer.sin_port && mine.sin_addr.s_addr == peer.sin_addr.s_addr)
      found = candidate;
  }
  if (d) ::closedir(d);
  return found;
}

TEST(MessageFrames, OnlyTheLastFrameOfAMessageIsPushed) {
  struct Case {
    const char* name;
    size_t bytes;
    std::vector<bool> more;
  } cases[] = {
      {"one frame", 10, {false}},
      {"two frames", 5000, {true, false}},
      {"three frames", 9000, {true, true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = std::make_shared<MemoryStream>();
    HandlePtr h = memory_handle(RPC_MODE_CLIENT, 0, s);
    start_message(*h);
    put_bytes(*h, std::string(c.bytes, 'x').data(), c.bytes);
    flush(*h);
    EXPECT_EQ(s->more_flags, c.more);
  }
  // The server's handshake: two pushes, each before it waits for the peer or the
  // procedure list ends.
  FunctionDescriptor table[3] = {};
  table[0].name = "one";
  table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  table[1].name = "two";
  table[1].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  HandlePtr server = make_handle(RPC_MODE_SERVER, kOptionsSet);
  ASSERT_EQ(RPCExport(server.get(), table), 0);
  auto s = std::make_shared<MemoryStream>();
  s->input = frame(std::string("01:NT^04:8^07:1^10:8^\0", 22));
  ASSERT_EQ(connect_over(*server, std::make_unique<MemoryConnection>(s), 1, 0, "p"), 0);
  // magic, version, parameters | A, B, B, C
  EXPECT_EQ(s->more_flags, (std::vector<bool>{true, true, false, true, true, true, false}));
}

// Calls a client sent together are answered together: a server keeps a
// finished reply back while the next call is there already, and the last
// reply takes the kept ones with it.
TEST(MessageFrames, RepliesToCallsThatCameTogetherLeaveTogether) {
  FunctionDescriptor table[2] = {};
  table[0].name = "one";
  table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  HandlePtr server = make_handle(RPC_MODE_SERVER, kOptionsSet);
  ASSERT_EQ(RPCExport(server.get(), table), 0);
  // A call of "one" (ordinal 0), as a client writes it.
  auto cs = std::make_shared<MemoryStream>();
  HandlePtr client = memory_handle(RPC_MODE_CLIENT, 0, cs);
  start_message(*client);
  put_i16(*client, 0);
  flush(*client);
  const std::string call = cs->output;
  auto s = std::make_shared<MemoryStream>();
  s->input = frame(std::string("01:NT^04:8^07:1^10:8^\0", 22)) + call + call + call;
  ASSERT_EQ(connect_over(*server, std::make_unique<MemoryConnection>(s), 1, 0, "p"), 0);
  s->report_buffered = true;
  s->more_flags.clear();
  const size_t handshake_bytes = s->output.size();
  for (int i = 0; i < 3; ++i) ASSERT_EQ(serve_one(*server), 0);
  EXPECT_EQ(s->more_flags, (std::vector<bool>{true, true, false}));
  // The bytes are those of three replies, whatever their grouping.
  EXPECT_EQ(split_frames(s->output.substr(handshake_bytes)).size(), 3u);
}

TEST(SocketSend, AKeptReplyLeavesBeforeTheServerWaits) {
  // The next call came only in part: the kept reply must reach the client
  // before the server waits for the rest, or both would wait for ever.
  int fd[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd), 0);
  auto server = make_winsock_connection(fd[0], nullptr);
  const std::string second = frame("second call");
  const std::string sent = frame("first call") + second.substr(0, 6);
  ASSERT_EQ(::write(fd[1], sent.data(), sent.size()), ssize_t(sent.size()));
  uint8_t buf[64];
  size_t n = 0;
  ASSERT_TRUE(server->receive(buf, sizeof buf, &n));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "first call");
  ASSERT_TRUE(server->input_buffered());
  ASSERT_TRUE(server->send(bytes_of("first reply"), 11, true));  // kept back
  bool received = false;
  std::thread waiter([&] { received = server->receive(buf, sizeof buf, &n); });
  pollfd p{fd[1], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1) << "the kept reply never left";
  std::string got(64, '\0');
  got.resize(size_t(::read(fd[1], got.data(), got.size())));
  EXPECT_EQ(got, frame("first reply"));
  ASSERT_EQ(::write(fd[1], second.data() + 6, second.size() - 6), ssize_t(second.size() - 6));
  waiter.join();
  EXPECT_TRUE(received);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), n), "second call");
  EXPECT_FALSE(server->input_buffered());
  server.reset();
  ::close(fd[0]);
  ::close(fd[1]);
}

TEST(SocketSend, AMessageLeavesInOneSend) {
  using Make = std::unique_ptr<Connection> (*)(int, const char*);
  const std::pair<const char*, Make> drivers[] = {{"winsock", make_winsock_connection}, {"tty", make_tty_connection}};
  const std::string big(4096, 'b');
  for (const auto& [name, make] : drivers) {
    SCOPED_TRACE(name);
    int fd[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fd), 0);
    int sndbuf = 1 << 20;
    ::setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    auto c = make(fd[0], nullptr);
    // One frame: header and payload in one send.
    ASSERT_TRUE(c->send(bytes_of("hello"), 5, false));
    EXPECT_EQ(records(fd[1]), std::vector<std::string>{frame("hello")});
    // Three frames of one message: one send, when the last one is given.
    ASSERT_TRUE(c->send(bytes_of(big), big.size(), true));
    ASSERT_TRUE(c->send(bytes_of("mid"), 3, true));
    EXPECT_TRUE(records(fd[1]).empty());
    ASSERT_TRUE(c->send(bytes_of("end"), 3, false));
    EXPECT_EQ(records(fd[1]), std::vector<std::string>{frame(big) + frame("mid") + frame("end")});
    // A long message leaves in sends of at most 64 KiB of held frames and the next.
    std::string all;
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(c->send(bytes_of(big), big.size(), true));
      all += frame(big);
    }
    ASSERT_TRUE(c->send(bytes_of("end"), 3, false));
    all += frame("end");
    std::vector<std::string> got = records(fd[1]);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), 16 * (4 + big.size()));
    EXPECT_EQ(got[0] + got[1], all);
    // Frames held when the connection goes away (an abandoned message) still leave.
    ASSERT_TRUE(c->send(bytes_of("held"), 4, true));
    c.reset();
    EXPECT_EQ(records(fd[1]), std::vector<std::string>{frame("held")});
    ::close(fd[0]);
    ::close(fd[1]);
  }
}

TEST(SocketSend, TcpLinksTurnOffTheSmallSegmentDelay) {
  // Adopted sockets, whichever way the server adopts them.
  for (size_t index : {size_t(0), size_t(2)}) {
    SCOPED_TRACE(transport_at(index).name);
    TcpPair p;
    ASSERT_EQ(no_delay(p.fd[1]), 0);
    auto c = transport_at(index).create();
    TransportOptions o;
    ASSERT_TRUE(c->open(true, o, p.fd[1]));
    EXPECT_EQ(no_delay(p.fd[1]), 1);
  }
  {
    TcpPair p;
    auto c = make_winsock_connection(p.fd[1], "60");
    EXPECT_EQ(no_delay(p.fd[1]), 1);
  }
  // The client's own connection.
  {
    int port = 0;
    int listener = loopback_socket(&port);
    std::string port_text = std::to_string(port);
    TransportOptions o;
    o.item[0] = "127.0.0.1";
    o.item[1] = port_text.c_str();
    auto c = transport_at(1).create();
    ASSERT_TRUE(c->open(false, o, 0)) << c->message();
    int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);
    int client_fd = local_end_of(accepted);
    ASSERT_GE(client_fd, 0);
    EXPECT_EQ(no_delay(client_fd), 1);
    ::close(accepted);  // the client's close drains until this end is gone
    c.reset();
    ::close(listener);
  }
  // Descriptors that are no TCP socket are left alone and still carry frames.
  int pair[2], pipe_fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
  EXPECT_TRUE(set_no_delay(pair[0]));
  EXPECT_TRUE(set_no_delay(pipe_fds[0]));
  {
    auto c = transport_at(0).create();
    TransportOptions o;
    ASSERT_TRUE(c->open(true, o, pair[0]));
    ASSERT_TRUE(c->send(bytes_of("x"), 1, false));
    char got[5] = {};
    ASSERT_EQ(::recv(pair[1], got, sizeof got, 0), 5);
    EXPECT_EQ(std::string(got, 5), frame("x"));
  }
  for (int f : {pair[0], pair[1], pipe_fds[0], pipe_fds[1]}) ::close(f);
}

}  // namespace
}  // namespace kyrpc::test
