// vekping's RPC mode. See rpc_ping.h.
#include "rpc_ping.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string.h>
#include <vector>

#include "identity.h"
#include "kyrpc.h"
#include "options.h"
#include "remote_stubs.h"
#include "scramble.h"

namespace vekping {

namespace {

constexpr const char* kIdleTimeout = "60";
constexpr int32_t kServerInfoVersion = 1;
constexpr int32_t kServerInfoName = 2;
constexpr int32_t kServerHasFaze2 = 3;
// Room for a received text and the NUL that ends it at its received length.
constexpr int32_t kInfoBuffer = 100;

const char* error_text(RpcHandle* h) {
  const char* text = nullptr;
  RPCReportError(h, &text);
  return text != nullptr ? text : "";
}

void release(RpcHandle* h, bool connected) {
  if (connected) RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
}

// server_get_info of one type; true with the text when the server answered 0.
bool server_info(RpcHandle* h, int32_t type, char (&text)[kInfoBuffer]) {
  std::memset(text, 0, sizeof text);
  int32_t length = kInfoBuffer - 1;
  if (remote_server_get_info(h, type, &length, text) != 0) return false;
  text[length >= 0 && length < kInfoBuffer ? length : kInfoBuffer - 1] = '\0';
  return true;
}

RpcHandle* rpc_ping_connect(const char* host, const char* port, bool* faze2) {
  *faze2 = false;
  RpcHandle* h = RPCAllocHandle();
  if (h == nullptr) {
    std::fprintf(stderr, "Failed to allocate RPC handle. %s\n", "Out of memory");
    return nullptr;
  }
  if (RPCInitialise(h, RPC_MODE_CLIENT, 0) != 0) {
    std::fprintf(stderr, "Failed to initialise RPC connection as client. %s\n", error_text(h));
    RPCFreeHandle(h);
    return nullptr;
  }
  int transports = 0;
  for (const char *name = nullptr, *description = nullptr;
       RPCEnumerateTransports(h, transports, &name, &description) == 0;)
    ++transports;
  if (transports == 0) {
    std::fputs("Failed to find any transports\n", stderr);
    release(h, false);
    return nullptr;
  }
  // The password is not handed to the transport: it reads neither slot 3 nor 4,
  // and a copy there would only outlive its use.
  if (RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, host, port, nullptr, nullptr, nullptr, kIdleTimeout, nullptr) != 0) {
    std::fprintf(stderr, "Failed to set RPC Transport options. %s\n", error_text(h));
    release(h, false);
    return nullptr;
  }
  std::printf("Host: %s, Port: %s\n", host, port);
  std::fputs("Attempting connection...", stdout);
  std::fflush(stdout);
  if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID) != 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "\n%s\n", error_text(h));
    release(h, false);
    return nullptr;
  }
  std::fputs("OK\n", stdout);
  std::fputs("Examining Server...\n", stdout);

  char text[kInfoBuffer];
  if (server_info(h, kServerInfoVersion, text)) std::printf("\tVEK Server Version: %s\n", text);
  if (server_info(h, kServerInfoName, text)) std::printf("\tVEK Server Name: %s\n", text);
  if (server_info(h, kServerHasFaze2, text) && std::strcmp(text, SERVER_HAS_FAZE2) == 0) *faze2 = true;
  static const char kOn[] = "1";
  remote_server_set_attribute(h, SERVER_ATTR_USE_FAZE2, static_cast<int32_t>(sizeof kOn), kOn);
  std::fflush(stdout);
  return h;
}

// 0 when no logon is asked for or the server accepted it; otherwise -1 after
// closing the link.
int rpc_ping_authenticate(RpcHandle* h, bool faze2, const char* user, const char* password) {
  if (user == nullptr || password == nullptr) return 0;
  std::fputs("Trying to authenticate...", stdout);
  std::fflush(stdout);
  std::size_t n = std::strlen(password);
  std::vector<char> scrambled(2 * n + 1, '\0');
  std::memcpy(scrambled.data(), password, n);
  scramble_string(scrambled.data(), faze2 ? KY_SCRAMBLE_FAZE2_SCRAMBLE : KY_SCRAMBLE_SCRAMBLE);
  int32_t rc = remote_authenticate(h, user, scrambled.data());
  explicit_bzero(scrambled.data(), scrambled.size());
  if (rc == 0) {
    std::fputs("OK\n", stdout);
    return 0;
  }
  std::fputs("Fail\n", stdout);
  std::fflush(stdout);
  if (rc == 1326 || rc == 1317)
    std::fprintf(stderr, "logon failed for user %s: wrong user name or password (%ld)\n", user, static_cast<long>(rc));
  else
    std::fprintf(stderr, "logon failed for user %s: refused by the server (%ld); the server's log says why\n", user,
                 static_cast<long>(rc));
  release(h, true);
  return -1;
}

}  // namespace

int rpc_ping(const char* host, const char* port, const char* user, const char* password) {
  if (port == nullptr) port = kDefaultPort;
  bool faze2 = false;
  RpcHandle* h = rpc_ping_connect(host, port, &faze2);
  if (h == nullptr) return -1;
  if (rpc_ping_authenticate(h, faze2, user, password) != 0) return -1;
  release(h, true);
  return 0;
}

}  // namespace vekping
