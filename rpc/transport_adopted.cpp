// The two transports over a socket that someone else opened and owns:
// "*Winsock Driver" (the server's accepted or inherited socket; 10-second waits) and
// "*TTY Driver" (descriptor 0 of the "inetd" method; 5-second waits). Both add an
// idle time-out that counts only waits that saw no data, accumulate a frame header
// that arrives in pieces and fail a frame longer than the receiver's buffer. A TCP
// socket they adopt gets the small-segment delay turned off; other descriptors
// (an inetd pipe, a local socket) are left as they are.
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "kyrpc.h"
#include "errors.h"
#include "socket_io.h"
#include "transport.h"
#include "wire.h"

namespace kyrpc {
namespace {

std::atomic<int> g_idle_second_ms{1000};

enum class Flavour { kWinsock, kTty };

class AdoptedConnection final : public Connection {
 public:
  explicit AdoptedConnection(Flavour flavour) : flavour_(flavour) {}
  AdoptedConnection(Flavour flavour, int fd, const char* idle) : flavour_(flavour), fd_(fd) {
    idle_timeout_ = parse_idle_timeout(idle);
    (void)set_no_delay(fd_);
  }
  // The socket stays open (its owner closes it); frames kept back still go.
  ~AdoptedConnection() override {
    if (fd_ >= 0) out_.release(fd_);
  }

  bool open(bool server_mode, const TransportOptions& options, int socket) override {
    // A client handle has no socket to adopt; descriptor 0 would be its stdin.
    if (!server_mode || socket < 0) {
      format_message(message_, sizeof message_, "No socket to adopt\n");
      return false;
    }
    fd_ = socket;
    if (flavour_ == Flavour::kTty) {
      int type = 0;
      socklen_t len = sizeof type;
      (void)::getsockopt(fd_, SOL_SOCKET, SO_TYPE, &type, &len);  // asked, not acted on
    }
    idle_timeout_ = parse_idle_timeout(options.get(6));
    (void)set_no_delay(fd_);  // a loss of speed at worst, never of the link
    return true;
  }

  bool send(const uint8_t* bytes, size_t length, bool more) override {
    message_[0] = '\0';
    if (length > kFrameCapacity) {
      format_message(message_, sizeof message_, "Failed to send data \nsend(%d,%d,..) - %s", int(length), fd_,
                     WSAErrorToText(10040));
      return false;
    }
    size_t total = 0, sent = 0;
    if (out_.send(fd_, bytes, length, more, &total, &sent)) return true;
    int wsa = wsa_last_error();
    if (flavour_ == Flavour::kTty) {
      int err = errno;
      format_message(message_, sizeof message_, "Failed to write data \nsend(len=%d)=%d- errno=%d(%s)\n", int(total),
                     int(sent), err, std::strerror(err));
    } else {
      format_message(message_, sizeof message_, "Failed to send data \nsend(%d,%d,..) - %s", int(total - sent), fd_,
                     WSAErrorToText(wsa));
    }
    return false;
  }

  bool input_buffered() const override { return in_.buffered() > 0; }

  bool receive(uint8_t* buffer, size_t capacity, size_t* length) override {
    message_[0] = '\0';
    if (timed_out_) return false;
    uint8_t header[4];
    size_t got = 0;
    while (got < 4) {
      if (!send_kept() || (!spin_.spin(fd_, in_) && !wait_for_data())) return false;
      long n = in_.read_some(fd_, header + got, 4 - got);
      if (n > 0) {
        got += size_t(n);
        continue;
      }
      if (flavour_ == Flavour::kTty) {
        format_message(message_, sizeof message_, "Failed to read data \n recv(..,4,...)=%d - short read",
                       int(n < 0 ? n : long(got)));
      } else if (n < 0) {
        format_message(message_, sizeof message_, "Failed to read data length recv(%d,4,..)=%d - %s", fd_, int(n),
                       WSAErrorToText(wsa_last_error()));
      } else if (got == 0) {
        format_message(message_, sizeof message_, "Connection closed by client prematurely");
      } else {
        format_message(message_, sizeof message_, "Failed to read data length - short/long read, recv(..,4,..)=%d - %s",
                       int(got), WSAErrorToText(10054));
      }
      return false;
    }
    uint32_t frame = frame_length(header);
    if (frame == kRefusalLength) {
      std::string text = read_refusal_text(fd_, in_.take_all());
      format_message(message_, sizeof message_, "%s", text.c_str());
      return false;
    }
    if (frame > capacity) {
      std::string following = peek_following_text(fd_, 255, 50, in_.take_all());
      format_message(message_, sizeof message_,
                     "Failed to receive data \nPacket (size=%x) too big for buffer (size=%d) (%s)\n", frame,
                     int(capacity), following.c_str());
      return false;
    }
    size_t done = 0;
    while (done < frame) {
      if (!send_kept() || (!spin_.spin(fd_, in_) && !wait_for_data())) return false;
      long n = in_.read_some(fd_, buffer + done, frame - done);
      if (n <= 0) {
        if (flavour_ == Flavour::kTty)
          format_message(message_, sizeof message_, "Failed to read data \n recv(..,%u,...)=%d - short read", frame,
                         int(n));
        else
          format_message(message_, sizeof message_, "Failed to read data recv(%d,%u,..)=%d - %s", fd_,
                         frame - unsigned(done), int(n), WSAErrorToText(n < 0 ? wsa_last_error() : 10054));
        return false;
      }
      done += size_t(n);
    }
    *length = frame;
    return true;
  }

  const char* message() const override { return message_; }

 private:
  // Replies kept back while further calls were buffered leave before any wait
  // for more bytes: the client may be waiting for them.
  bool send_kept() {
    if (in_.buffered() > 0 || !out_.holding()) return true;
    if (out_.send_held(fd_)) return true;
    format_message(message_, sizeof message_, "Failed to send data \nsend(%d,..) - %s", fd_,
                   WSAErrorToText(wsa_last_error()));
    return false;
  }

  // Waits until the socket is readable. An idle time-out fails the receive without
  // a message once the waits without data reach it.
  bool wait_for_data() {
    const int step = flavour_ == Flavour::kTty ? 5 : 10;
    for (;;) {
      bool exception = false;
      int r = wait_readable(fd_, step * idle_second_ms(), &exception);
      if (r < 0) {
        if (flavour_ == Flavour::kTty) return true;  // the read that follows reports it
        format_message(message_, sizeof message_, "Failed to select on socket - %s", WSAErrorToText(wsa_last_error()));
        return false;
      }
      if (r == 0) {
        if (idle_timeout_ != 0 && uint64_t(idle_timeout_) < idle_counted_ + step) {
          timed_out_ = flavour_ == Flavour::kWinsock;
          return false;
        }
        idle_counted_ += step;
        continue;
      }
      idle_counted_ = 0;
      if (exception && flavour_ == Flavour::kWinsock) {
        format_message(message_, sizeof message_, "Exception on socket");
        return false;
      }
      return true;
    }
  }

  Flavour flavour_;
  int fd_ = -1;
  FrameSender out_;
  SpinWait spin_;
  ReadAhead in_;
  uint32_t idle_timeout_ = 0;
  uint64_t idle_counted_ = 0;
  bool timed_out_ = false;
  char message_[kRefusalTextMax + 64] = {};
};

}  // namespace

uint32_t parse_idle_timeout(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+' || v > 0xFFFFFFFEull) return 0;
  return uint32_t(v);
}

void set_idle_second_ms(int ms) { g_idle_second_ms = ms; }
int idle_second_ms() { return g_idle_second_ms; }

std::unique_ptr<Connection> make_winsock_connection(int fd, const char* idle_timeout) {
  return std::make_unique<AdoptedConnection>(Flavour::kWinsock, fd, idle_timeout);
}
std::unique_ptr<Connection> make_tty_connection(int fd, const char* idle_timeout) {
  return std::make_unique<AdoptedConnection>(Flavour::kTty, fd, idle_timeout);
}

std::unique_ptr<Connection> create_winsock_connection() {
  return std::make_unique<AdoptedConnection>(Flavour::kWinsock);
}
std::unique_ptr<Connection> create_tty_connection() { return std::make_unique<AdoptedConnection>(Flavour::kTty); }

}  // namespace kyrpc
