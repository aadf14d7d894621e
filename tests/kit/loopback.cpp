#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "procedure_list.h"

namespace kytest {

void HandleCloser::operator()(RpcHandle* h) const {
  RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
}

namespace {

void serve(int listen_fd, const FunctionDescriptor* table, void* private_ptr) {
  pollfd p{listen_fd, POLLIN, 0};
  if (::poll(&p, 1, 20000) != 1) return;  // bounded: no client came
  int fd = ::accept(listen_fd, nullptr, nullptr);
  if (fd < 0) return;
  RpcHandle* h = RPCAllocHandle();
  if (private_ptr != nullptr) RPCRegisterPrivatePtr(h, private_ptr, 0);
  RPCInitialise(h, RPC_MODE_SERVER, fd);
  RPCExport(h, table);
  int winsock = -1;
  const char *name = nullptr, *desc = nullptr;
  for (int i = 0; RPCEnumerateTransports(h, i, &name, &desc) == 0; ++i)
    if (std::strcmp(name, RPC_TRANSPORT_NAME_WINSOCK) == 0) winsock = i;
  RPCSetTransportOpts(h, winsock, nullptr, "0", nullptr, nullptr, nullptr, "60", nullptr);
  if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) == 0) RPCRun(h);
  RPCDisconnect(h);
  RPCTerminate(h);  // with a per-connection record, its callback frees what the client left
  if (private_ptr != nullptr) RPCRegisterPrivatePtr(h, nullptr, 0);
  RPCFreeHandle(h);
  ::close(fd);
}

}  // namespace

OneConnectionServer::OneConnectionServer(const FunctionDescriptor* table, void* private_ptr) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listen_fd_, 4);
  socklen_t len = sizeof a;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&a), &len);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread(serve, listen_fd_, table, private_ptr);
}

OneConnectionServer::~OneConnectionServer() {
  ::shutdown(listen_fd_, SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
  ::close(listen_fd_);
}

ClientHandle OneConnectionServer::connect(std::string* why) {
  ClientHandle h(RPCAllocHandle());
  RPCInitialise(h.get(), RPC_MODE_CLIENT, 0);
  std::string port = std::to_string(port_);
  RPCSetTransportOpts(h.get(), RPC_TRANSPORT_BSD, "127.0.0.1", port.c_str(), nullptr, nullptr, nullptr, "60", nullptr);
  if (RPCConnect(h.get(), KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) != 0) {
    const char* text = nullptr;
    int code = RPCReportError(h.get(), &text);
    if (why) *why = std::to_string(code) + " " + (text ? text : "");
    return nullptr;
  }
  return h;
}

int connect_tcp(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{10, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

namespace {
bool read_all(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}
}  // namespace

bool read_frame(int fd, std::string* payload) {
  uint32_t len = 0;
  if (!read_all(fd, reinterpret_cast<char*>(&len), 4)) return false;
  len = ntohl(len);
  if (len > (1u << 20)) return false;
  payload->assign(len, '\0');
  return read_all(fd, payload->data(), len);
}

bool write_frame(int fd, const std::string& payload) {
  uint32_t len = htonl(static_cast<uint32_t>(payload.size()));
  std::string all(reinterpret_cast<char*>(&len), 4);
  all += payload;
  return ::send(fd, all.data(), all.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(all.size());
}

}  // namespace kytest
