// A loopback relay for one link that counts the client's waits: each turn
// from the client's bytes to the server's is one wait of the client.
#ifndef KYVEK_TESTS_KIT_TURN_RELAY_H
#define KYVEK_TESTS_KIT_TURN_RELAY_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

namespace kyvek::e2e {

class TurnRelay {
 public:
  explicit TurnRelay(int target) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 4);
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this, target] { run(target); });
  }
  ~TurnRelay() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
  }
  int port() const { return port_; }
  long turns() const { return turns_.load(); }

 private:
  void run(int target) {
    int c = -1;
    while (!stop_ && c < 0) {
      pollfd p{listen_, POLLIN, 0};
      if (::poll(&p, 1, 100) == 1) c = ::accept(listen_, nullptr, nullptr);
    }
    if (c < 0) return;
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(target));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) stop_ = true;
    // Without this every small write after the first would wait for the
    // peer's delayed acknowledgement (tens of milliseconds), which the link
    // itself never does: it sends with TCP_NODELAY.
    const int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    bool server_spoke = true;
    std::vector<char> buf(1 << 16);
    while (!stop_) {
      pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
      if (::poll(p, 2, 100) < 0) break;
      bool done = false;
      for (int i = 0; i < 2 && !done; ++i) {
        if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = ::read(p[i].fd, buf.data(), buf.size());
        if (n <= 0) {
          done = true;
          break;
        }
        if (i == 0 && server_spoke) ++turns_;
        server_spoke = i == 1;
        for (const char* q = buf.data(); n > 0;) {
          ssize_t w = ::write(p[1 - i].fd, q, static_cast<size_t>(n));
          if (w <= 0) {
            done = true;
            break;
          }
          q += w, n -= w;
        }
      }
      if (done) break;
    }
    ::close(c);
    ::close(s);
  }

  int listen_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<long> turns_{0};
  std::thread thread_;
};

}  // namespace kyvek::e2e

#endif
