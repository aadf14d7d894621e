// Helpers shared by the RPC tests: handles that tear themselves down, and handles
// wired to an in-memory stream in the connected state.
#ifndef KYRPC_TEST_UTIL_H
#define KYRPC_TEST_UTIL_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <functional>
#include <memory>

#include "errors.h"
#include "handle.h"
#include "kyrpc.h"
#include "memory_transport.h"

namespace kyrpc::test {

struct HandleCloser {
  void operator()(RpcHandle* h) const {
    if (h == nullptr) return;
    if (h->state >= kOptionsSet) RPCDisconnect(h);
    if (h->state >= kInitialised) RPCTerminate(h);
    RPCFreeHandle(h);
  }
};
using HandlePtr = std::unique_ptr<RpcHandle, HandleCloser>;

inline HandlePtr make_handle(int mode, int state) {
  HandlePtr h(RPCAllocHandle());
  if (state >= kInitialised) RPCInitialise(h.get(), mode, mode == RPC_MODE_SERVER ? 0 : 0);
  if (state >= kOptionsSet)
    RPCSetTransportOpts(h.get(), 1, "127.0.0.1", "1", nullptr, nullptr, nullptr, nullptr, nullptr);
  return h;
}

// A connected handle whose peer is the given stream, with the given negotiated flags.
inline HandlePtr memory_handle(int mode, uint32_t negotiated, std::shared_ptr<MemoryStream> stream) {
  HandlePtr h = make_handle(mode, kOptionsSet);
  h->connection = std::make_unique<MemoryConnection>(std::move(stream));
  h->state = kConnected;
  h->negotiated = negotiated;
  h->peer_pointer_width = (negotiated & kNegNarrowPointers) ? 4 : 8;
  h->peer_sqllen_width = (negotiated & kNegNarrowSqllen) ? 4 : 8;
  if (mode == RPC_MODE_SERVER && (negotiated & kNegNarrowPointers)) h->pointer_table.push_back(nullptr);
  return h;
}

// The failure code f throws as an RpcFailure, 0 when it returns.
inline int failure_code(const std::function<void()>& f) {
  try {
    f();
  } catch (const RpcFailure& e) {
    return e.code;
  }
  return 0;
}

// A TCP socket bound to an ephemeral port on 127.0.0.1 (its number in *port),
// listening unless listening is false: then connects to the port are refused.
inline int loopback_socket(int* port, bool listening = true) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (listening) ::listen(fd, 4);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

}  // namespace kyrpc::test

#endif
