// Graceful close and refusal frames. See sockets.h.
#include "sockets.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "startup_log.h"

namespace {

constexpr int kDrainMillis = 2000;
constexpr size_t kDrainBytes = 64 * 1024;
constexpr int kMaxBackgroundCloses = 64;

std::atomic<int> g_background_closes{0};

}  // namespace

extern "C" void close_socket_gracefully(int sock) {
  if (sock < 0) return;
  startup_log("\tShutting down socket %d\n", sock);
  if (::shutdown(sock, SHUT_WR) != 0) {
    startup_log("\tShutdown(%d) failed\n", sock);
    startup_log("\t  Socket error %d\n", errno);
  }
  // Drops what the peer still sends, bounded in time and bytes, so a peer that
  // trickles data never holds the caller.
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMillis);
  size_t dropped = 0;
  char buf[1024];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    if (left <= 0 || dropped >= kDrainBytes) break;
    pollfd p{sock, POLLIN, 0};
    int wait = dropped == 0 ? static_cast<int>(std::min<long long>(left, 1000)) : static_cast<int>(left);
    if (::poll(&p, 1, wait) <= 0) break;
    startup_log("\treading socket data\n");
    ssize_t n = ::recv(sock, buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) break;
    startup_log("\tread %d bytes\n", static_cast<int>(n));
    dropped += static_cast<size_t>(n);
  }
  ::shutdown(sock, SHUT_RD);
  startup_log("\tclosing socket %d\n", sock);
  if (::close(sock) != 0) startup_log("\tclose(%d) failed\n", sock);
  startup_log("\tSocket %d closed\n", sock);
}

extern "C" void close_socket_in_background(int sock) {
  if (sock < 0) return;
  if (g_background_closes.fetch_add(1) < kMaxBackgroundCloses) {
    try {
      std::thread([sock] {
        close_socket_gracefully(sock);
        g_background_closes.fetch_sub(1);
      }).detach();
      return;
    } catch (...) {
      // no thread to be had: closed at once below
    }
  }
  g_background_closes.fetch_sub(1);
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
}

extern "C" long send_client_error(int sock, const char* text, const char* detail) {
  unsigned char frame[CLIENT_ERROR_FRAME_MAX];
  std::memset(frame, 0xFF, 4);
  size_t room = CLIENT_ERROR_FRAME_MAX - 4 - 1;  // marker and NUL
  size_t used = 0;
  for (const char* part : {text, detail}) {
    if (!part) continue;
    size_t n = std::strlen(part);
    if (n > room - used) n = room - used;
    std::memcpy(frame + 4 + used, part, n);
    used += n;
  }
  frame[4 + used] = '\0';
  return static_cast<long>(::send(sock, frame, 4 + used + 1, MSG_NOSIGNAL));
}
