// A real server handle serving one connection on 127.0.0.1 (as the server's
// worker does: accepted socket, Winsock transport, exported table, RPCRun) and
// real client handles connecting to it. Shared by the table, handler and
// transfer tests.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "kyrpc.h"

namespace kytest {

struct HandleCloser {
  void operator()(RpcHandle* h) const;
};
using ClientHandle = std::unique_ptr<RpcHandle, HandleCloser>;

class OneConnectionServer {
 public:
  // private_ptr, when given, is the per-connection record the served handle
  // carries (registered before initialising, as the worker does); it must
  // outlive the server.
  explicit OneConnectionServer(const FunctionDescriptor* table, void* private_ptr = nullptr);
  ~OneConnectionServer();
  int port() const { return port_; }
  // Waits until the served connection has ended and been cleaned up.
  void wait() {
    if (thread_.joinable()) thread_.join();
  }
  // A connected client handle; null (with the reason in *why) on failure.
  ClientHandle connect(std::string* why = nullptr);

 private:
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

// Reads one frame (4-byte network-order length, payload) from a socket.
bool read_frame(int fd, std::string* payload);
bool write_frame(int fd, const std::string& payload);
int connect_tcp(int port);

}  // namespace kytest
