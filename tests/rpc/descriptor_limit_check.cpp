// A process that has no descriptor left to give: the library must serve an adopted
// socket it already holds, and report a transport that cannot get its own socket as
// an error. Each case runs in a forked child whose descriptor limit is lowered to
// the descriptors in use; the child's exit code tells the outcome. It links the
// shared library, as the server does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "kyrpc.h"

namespace {

constexpr const char* kProgram = "1999-1014-0000000001";

// The lowest descriptor number not in use.
int lowest_free_descriptor() {
  int fd = ::dup(0);
  if (fd < 0) return 3;
  ::close(fd);
  return fd;
}

// Lowers the soft descriptor limit so that only `spare` more can be had.
bool leave_spare_descriptors(int spare) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  r.rlim_cur = rlim_t(lowest_free_descriptor() + spare);
  return ::setrlimit(RLIMIT_NOFILE, &r) == 0;
}

// Runs body in a forked child and returns its exit code, or 128 + the signal
// that ended it (a sanitizer report aborts the child).
int in_child(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct HandleCloser {
  void operator()(RpcHandle* h) const {
    RPCDisconnect(h);
    RPCTerminate(h);
    RPCFreeHandle(h);
  }
};
using HandlePtr = std::unique_ptr<RpcHandle, HandleCloser>;

// A TCP socket listening on an ephemeral port of 127.0.0.1 (its number in *port).
int loopback_socket(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 4);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

HandlePtr client_for(int port) {
  HandlePtr h(RPCAllocHandle());
  RPCInitialise(h.get(), RPC_MODE_CLIENT, 0);
  std::string p = std::to_string(port);
  RPCSetTransportOpts(h.get(), RPC_TRANSPORT_BSD, "127.0.0.1", p.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  return h;
}

TEST(DescriptorLimit, AdoptedSocketIsServedWithNoDescriptorLeft) {
  for (int transport : {RPC_TRANSPORT_WINSOCK, RPC_TRANSPORT_TTY}) {
    SCOPED_TRACE(transport);
    int port = 0;
    int lfd = loopback_socket(&port);
    // The child accepts like the server's listener, then runs out of descriptors
    // before the handle is initialised, connected and served.
    pid_t pid = ::fork();
    if (pid == 0) {
      int fd = ::accept(lfd, nullptr, nullptr);
      if (fd < 0 || !leave_spare_descriptors(0)) ::_exit(2);
      if (::dup(fd) >= 0) ::_exit(3);  // the limit holds
      RpcHandle* h = RPCAllocHandle();
      if (RPCInitialise(h, RPC_MODE_SERVER, fd) != 0) ::_exit(4);
      FunctionDescriptor table[2] = {};
      table[0].name = "nothing";
      table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
      RPCExport(h, table);
      RPCSetTransportOpts(h, transport, nullptr, nullptr, nullptr, nullptr, nullptr, "60", nullptr);
      if (RPCConnect(h, 1, 0, kProgram) != 0) ::_exit(5);
      RPCRun(h);
      int code = RPCReportError(h, nullptr);
      RPCDisconnect(h);
      RPCTerminate(h);
      RPCFreeHandle(h);
      ::_exit(code == RPC_ERR_TRANSPORT ? 0 : 6);
    }
    ASSERT_GT(pid, 0);
    HandlePtr h = client_for(port);
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, kProgram), 0);
    int16_t rc = 5;
    EXPECT_EQ(RPCExec(h.get(), "nothing", &rc), 0);
    EXPECT_EQ(rc, 0);
    h.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status)) << "the serving child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(lfd);
  }
}

// The BSD transport's own socket: neither end gets one, and both say why.
TEST(DescriptorLimit, BsdTransportWithoutASocketIsAnOpenError) {
  const std::string expected = std::string("Could not create a socket: ") + std::strerror(EMFILE);
  for (int mode : {RPC_MODE_CLIENT, RPC_MODE_SERVER}) {
    SCOPED_TRACE(mode);
    int code = in_child([&] {
      RpcHandle* h = RPCAllocHandle();
      RPCInitialise(h, mode, -1);
      RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, "127.0.0.1", "1", nullptr, nullptr, nullptr, nullptr, nullptr);
      if (!leave_spare_descriptors(0)) return 2;
      if (RPCConnect(h, 1, 0, kProgram) != 1) return 3;
      const char* text = nullptr;
      if (RPCReportError(h, &text) != RPC_ERR_OPEN) return 4;
      if (text == nullptr || expected != text) return 5;
      if (RPCIsConnected(h)) return 6;
      RPCDisconnect(h);
      RPCTerminate(h);
      RPCFreeHandle(h);
      return 0;
    });
    EXPECT_EQ(code, 0);
  }
}

}  // namespace
