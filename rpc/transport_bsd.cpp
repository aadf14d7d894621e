// "*BSD Driver": the transport of every client. It makes its own TCP connection
// (client: resolve and connect with retries; server: bind, listen, accept one),
// applies the low-level socket options, turns off the small-segment delay on the
// connected socket and closes a client connection by draining what the server
// still sends, for a bounded time.
#include <arpa/inet.h>
#include <netdb.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "kyrpc.h"
#include "errors.h"
#include "socket_io.h"
#include "transport.h"
#include "wire.h"

namespace kyrpc {
namespace {

constexpr int kDrainMillis = 3000;

// A numeric option: absent, unparsable or negative gives the default.
long option_number(const char* text, long fallback) {
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || v < 0) return fallback;
  return v;
}

// The host without the brackets an IPv6 literal is written in ("[::1]").
std::string bare_host(const char* host) {
  std::string h = host ? host : "";
  if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  return h;
}

class BsdConnection final : public Connection {
 public:
  ~BsdConnection() override {
    if (fd_ < 0) return;
    out_.release(fd_);
    if (connected_client_) {
      // Tell the server we are done and read until it closes, but never for long.
      ::shutdown(fd_, SHUT_WR);
      int one = 1;
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
      auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMillis);
      char buf[1024];
      for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0 || wait_readable(fd_, int(left.count())) <= 0) break;
        if (recv_once(fd_, buf, sizeof buf) <= 0) break;
      }
    }
    ::close(fd_);
  }

  bool open(bool server_mode, const TransportOptions& o, int) override {
    server_mode_ = server_mode;
    const char* port_text = o.get(2);
    if (port_text == nullptr) {
      set("Missing Port\n");
      return false;
    }
    rcvlowat_ = option_number(o.get(7), 8192);
    rcvbuf_ = option_number(o.get(8), 16384);
    sndbuf_ = option_number(o.get(9), 16384);
    attempts_ = option_number(o.get(10), 5);
    connect_seconds_ = option_number(o.get(11), 0);
    rcvtimeo_ = option_number(o.get(12), 0);
    sndtimeo_ = option_number(o.get(13), 0);
    if (server_mode) return create_socket(AF_INET) && listen_and_accept(std::atoi(port_text));
    return connect_to(o.get(1), port_text);
  }

  bool send(const uint8_t* bytes, size_t length, bool more) override {
    message_[0] = '\0';
    if (length > kFrameCapacity) {
      format_message(message_, sizeof message_, "Failed to send data \nsend(len=%u)\n- %s\n", unsigned(length),
                     WSAErrorToText(10040));
      return false;
    }
    size_t total = 0, sent = 0;
    if (out_.send(fd_, bytes, length, more, &total, &sent)) return true;
    format_message(message_, sizeof message_, "Failed to send data \nsend(len=%u)\n- %s\n", unsigned(total - sent),
                   WSAErrorToText(error_code()));
    return false;
  }

  bool send_held() override {
    if (out_.send_held(fd_)) return true;
    format_message(message_, sizeof message_, "Failed to send data \nsend()\n- %s\n", WSAErrorToText(error_code()));
    return false;
  }

  bool receive(uint8_t* buffer, size_t capacity, size_t* length) override {
    message_[0] = '\0';
    uint8_t header[4];
    long last = 0;
    size_t got = read_exact(header, 4, &last);
    if (got < 4) {
      if (timed_out_) return false;
      if (server_mode_)
        format_message(message_, sizeof message_, "Failed to receive packet header, recv()=%d - %s (errno=%d)",
                       int(last), WSAErrorToText(last < 0 ? error_code() : 10054), last < 0 ? error_code() : 0);
      else
        set("Connection closed by peer");
      return false;
    }
    uint32_t frame = frame_length(header);
    if (frame == kRefusalLength) {
      lower_rcvlowat();
      std::string text = read_refusal_text(fd_, in_.take_all());
      format_message(message_, sizeof message_, "%s", text.c_str());
      ::shutdown(fd_, SHUT_RDWR);
      ::close(fd_);
      fd_ = -1;
      connected_client_ = false;
      return false;
    }
    if (frame > capacity) {
      lower_rcvlowat();
      std::string following = peek_following_text(fd_, 255, 500, in_.take_all());
      format_message(message_, sizeof message_,
                     "Failed to receive data \nPacket (size=%x) too big for buffer (size=%d) (%s)\n", frame,
                     int(capacity), following.c_str());
      return false;
    }
    if (read_exact(buffer, frame, &last) < frame) {
      if (timed_out_) return false;
      format_message(message_, sizeof message_, "Failed to receive data \nrecv(len=%u)\n- %s\n", frame,
                     WSAErrorToText(last < 0 ? error_code() : 10054));
      return false;
    }
    *length = frame;
    return true;
  }

  const char* message() const override { return message_; }

  void set_wait_limit(long millis) override { wait_ms_ = millis > 0 ? millis : 0; }
  void set_wait_end(std::optional<std::chrono::steady_clock::time_point> end) override { end_ = end; }
  bool timed_out() const override { return timed_out_; }

 private:
  using Clock = std::chrono::steady_clock;

  // The end of a wait that starts now, or none: the wait limit from now, or the
  // end set for the whole exchange when that comes first.
  std::optional<Clock::time_point> deadline() const {
    if (server_mode_) return std::nullopt;
    std::optional<Clock::time_point> until;
    if (wait_ms_ > 0) until = Clock::now() + std::chrono::milliseconds(wait_ms_);
    if (end_ && (!until || *end_ < *until)) until = end_;
    return until;
  }

  // Waits until the socket is readable or the deadline passes; on the latter the
  // link is closed and the failure says so.
  bool wait_until(const std::optional<Clock::time_point>& until) {
    if (!until) return true;
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*until - Clock::now()).count();
      int r = left > 0 ? wait_readable(fd_, int(left)) : 0;
      if (r != 0) return true;  // readable, or an error the receive reports
      if (Clock::now() >= *until) break;
    }
    timed_out_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    if (end_ && *until == *end_)
      format_message(message_, sizeof message_, "Timed out: no answer from the server in the time left");
    else
      format_message(message_, sizeof message_, "Timed out: no answer from the server within %ld ms", wait_ms_);
    return false;
  }

  void set(const char* text) { format_message(message_, sizeof message_, "%s", text); }

  // A receive that gave up after SO_RCVTIMEO reports a time-out, not "try again".
  static int error_code() {
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK) return 10060;
    return wsa_from_errno(e);
  }

  // Reads n bytes; a zero read is the end of the stream. Returns bytes read.
  size_t read_exact(uint8_t* buf, size_t n, long* last) {
    size_t got = 0;
    const auto until = deadline();
    while (got < n) {
      if (timed_out_ || (!spin_.spin(fd_, in_) && !wait_until(until))) {
        *last = -1;
        break;
      }
      long r = in_.read_some(fd_, buf + got, n - got);
      *last = r;
      if (r <= 0) break;
      got += size_t(r);
    }
    return got;
  }

  void lower_rcvlowat() {
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
  }

  bool sock_error(const char* fmt) {
    std::string text = WSAErrorToText(wsa_last_error());
    if (text.size() > 511) text.resize(511);
    format_message(message_, sizeof message_, fmt, text.c_str());
    return false;
  }

  bool grow_buffer(int opt, long wanted, const char* get_fail, const char* set_fail, const char* check_fail,
                   const char* mismatch) {
    int current = 0;
    socklen_t len = sizeof current;
    if (::getsockopt(fd_, SOL_SOCKET, opt, &current, &len) != 0) return sock_error(get_fail);
    if (wanted <= 0 || wanted <= current) return true;
    int value = int(std::min<long>(wanted, INT32_MAX));
    if (::setsockopt(fd_, SOL_SOCKET, opt, &value, sizeof value) != 0) {
      std::string text = WSAErrorToText(wsa_last_error());
      format_message(message_, sizeof message_, set_fail, value, text.c_str());
      return false;
    }
    int check = 0;
    len = sizeof check;
    if (::getsockopt(fd_, SOL_SOCKET, opt, &check, &len) != 0) return sock_error(check_fail);
    // The kernel reports twice the size set (its bookkeeping share), so "at least".
    if (check < value) {
      format_message(message_, sizeof message_, mismatch, check, value);
      return false;
    }
    return true;
  }

  bool create_socket(int family) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
      format_message(message_, sizeof message_, "Could not create a socket: %s", std::strerror(errno));
      return false;
    }
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!grow_buffer(SO_SNDBUF, sndbuf_, "Failed to obtain socket send buffer size\n- %s\n",
                     "Failed to increase send socket buffer size to %d\n- %s\n",
                     "Failed to check socket send buffer size\n- %s\n",
                     "Reported socket send buffer size (%d) is not what was set (%d)\n") ||
        !grow_buffer(SO_RCVBUF, rcvbuf_, "Failed to obtain socket receive buffer size\n- %s\n",
                     "Failed to increase receive socket buffer size to %d\n- %s\n",
                     "Failed to check socket receive buffer size\n- %s\n",
                     "Reported socket receive buffer size (%d) is not what was set (%d)\n")) {
      ::close(fd_);
      fd_ = -1;
      return false;
    }
    // The receive low-water mark (low-level option 1) is read but not applied: the
    // peers this transport was made for ignore it on stream receives, and Linux
    // would hold back every frame shorter than the mark.
    set_timeout(SO_RCVTIMEO, rcvtimeo_);
    set_timeout(SO_SNDTIMEO, sndtimeo_);
    return true;
  }

  void set_timeout(int opt, long millis) {
    if (millis == 0 || millis == -1) return;
    timeval tv{millis / 1000, (millis % 1000) * 1000};
    ::setsockopt(fd_, SOL_SOCKET, opt, &tv, sizeof tv);
  }

  bool listen_and_accept(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(uint16_t(port));
    const char* failure = nullptr;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      failure = "Failed to bind socket \nbind()\n- %s\n";
    else if (::listen(fd_, 5) != 0)
      failure = "Failed to listen on port \nlisten()\n- %s\n";
    if (failure == nullptr) {
      int conn = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn >= 0) {
        ::close(fd_);
        fd_ = conn;
        (void)set_no_delay(fd_);  // a loss of speed at worst, never of the link
        return true;
      }
      failure = "Failed to accept connection \naccept()\n- %s\n";
    }
    sock_error(failure);
    ::close(fd_);
    fd_ = -1;
    return false;
  }

  // Resolves the host (a name, an IPv4 address or an IPv6 one, bracketed or
  // not) and connects to the first of its addresses that answers. A refusal
  // from every address is tried again, up to the number of attempts, with a
  // growing pause; the connect time-out bounds all attempts together.
  bool connect_to(const char* host_option, const char* port_text) {
    const std::string host = bare_host(host_option);
    const std::string shown = host_option ? host_option : "";
    char* end = nullptr;
    const long port = std::strtol(port_text, &end, 10);
    if (end == port_text || *end != '\0' || port < 1 || port > 65535) {
      format_message(message_, sizeof message_, "Could not connect to %s port %s: not a port number (1-65535)",
                     shown.c_str(), port_text);
      return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), port_text, &hints, &found);
    if (rc != 0 || found == nullptr) {
      if (found) ::freeaddrinfo(found);
      format_message(message_, sizeof message_, "Could not resolve host %s (for port %s): %s", shown.c_str(),
                     port_text, rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc));
      return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);
    const std::optional<Clock::time_point> until = connect_deadline();
    const long attempts = attempts_ > 0 ? attempts_ : 1;
    for (long attempt = 1;; ++attempt) {
      int err = 0;
      bool refused = false;
      for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        if (!create_socket(ai->ai_family)) return false;
        err = connect_within(ai->ai_addr, ai->ai_addrlen, until);
        if (err == 0) {
          connected_client_ = true;
          (void)set_no_delay(fd_);  // a loss of speed at worst, never of the link
          return true;
        }
        ::close(fd_);
        fd_ = -1;
        if (timed_out_) return connect_timed_out(shown, port_text);
        refused = refused || err == ECONNREFUSED;
      }
      if (!refused) {
        format_message(message_, sizeof message_, "Could not connect to %s port %s: %s", shown.c_str(), port_text,
                       std::strerror(err));
        return false;
      }
      if (attempt >= attempts) {
        format_message(message_, sizeof message_, "Could not connect to %s port %s: %s (%ld attempt%s)", shown.c_str(),
                       port_text, std::strerror(ECONNREFUSED), attempts, attempts > 1 ? "s" : "");
        return false;
      }
      auto pause = std::chrono::milliseconds(100 * attempt);
      if (until && Clock::now() + pause >= *until) {
        std::this_thread::sleep_until(*until);
        timed_out_ = true;
        return connect_timed_out(shown, port_text);
      }
      std::this_thread::sleep_for(pause);
    }
  }

  bool connect_timed_out(const std::string& host, const char* port) {
    format_message(message_, sizeof message_, "Timed out: %s port %s did not answer within %ld ms", host.c_str(), port,
                   connect_limit_ms());
    return false;
  }

  // The connect time-out in milliseconds: the wait limit, else the connect
  // time-out option in seconds; 0 for none.
  long connect_limit_ms() const {
    long limit = wait_ms_ > 0 ? wait_ms_ : connect_seconds_ * 1000;
    if (end_) {
      long left = long(std::chrono::duration_cast<std::chrono::milliseconds>(*end_ - started_).count());
      if (limit <= 0 || left < limit) limit = std::max(left, 0L);
    }
    return limit;
  }

  // The end of the whole connect (every address, every attempt), or none.
  std::optional<Clock::time_point> connect_deadline() {
    started_ = Clock::now();
    long limit = wait_ms_ > 0 ? wait_ms_ : connect_seconds_ * 1000;
    std::optional<Clock::time_point> until;
    if (limit > 0) until = started_ + std::chrono::milliseconds(limit);
    if (end_ && (!until || *end_ < *until)) until = end_;
    return until;
  }

  // One connect attempt, bounded by the deadline; 0 or an errno.
  int connect_within(const sockaddr* addr, socklen_t addr_len, const std::optional<Clock::time_point>& until) {
    if (!until) {
      int err = 0;
      do {
        err = ::connect(fd_, addr, addr_len) == 0 ? 0 : errno;
      } while (err == EINTR);
      return err;
    }
    const int flags = ::fcntl(fd_, F_GETFL);
    ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    int err = ::connect(fd_, addr, addr_len) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd p{fd_, POLLOUT, 0};
      int r = 0;
      do {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*until - Clock::now()).count();
        r = left > 0 ? ::poll(&p, 1, int(left)) : 0;
      } while (r < 0 && errno == EINTR);
      if (r == 0) {
        timed_out_ = true;
        err = ETIMEDOUT;
      } else {
        socklen_t len = sizeof err;
        err = 0;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
      }
    }
    ::fcntl(fd_, F_SETFL, flags);
    return err;
  }

  int fd_ = -1;
  FrameSender out_;
  SpinWait spin_;
  ReadAhead in_;
  bool server_mode_ = false;
  bool connected_client_ = false;
  bool timed_out_ = false;
  long wait_ms_ = 0, connect_seconds_ = 0;
  std::optional<Clock::time_point> end_;
  Clock::time_point started_{};
  long rcvlowat_ = 8192, rcvbuf_ = 16384, sndbuf_ = 16384, attempts_ = 5, rcvtimeo_ = 0, sndtimeo_ = 0;
  char message_[kRefusalTextMax + 512] = {};
};

}  // namespace

std::unique_ptr<Connection> create_bsd_connection() { return std::make_unique<BsdConnection>(); }

}  // namespace kyrpc
