// Socket helpers for the transports. Every send carries MSG_NOSIGNAL: the library
// lives inside other people's processes and a vanished peer must not raise SIGPIPE.
#include "socket_io.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sched.h>
#include <sys/uio.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kyrpc {

size_t send_pieces(int fd, iovec* pieces, size_t count, int flags) {
  size_t sent = 0;
  while (count > 0) {
    if (pieces->iov_len == 0) {
      ++pieces;
      --count;
      continue;
    }
    msghdr m{};
    m.msg_iov = pieces;
    m.msg_iovlen = count;
    ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      return sent;
    }
    if (n == 0) {
      errno = EPIPE;
      return sent;
    }
    sent += size_t(n);
    // Step over what went out; a piece sent in part continues where it stopped.
    for (size_t left = size_t(n); left > 0;) {
      size_t step = std::min(left, pieces->iov_len);
      pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + step;
      pieces->iov_len -= step;
      left -= step;
      if (pieces->iov_len == 0) {
        ++pieces;
        --count;
      }
    }
  }
  return sent;
}

bool set_no_delay(int fd) {
  int one = 1;
  if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0) return true;
  return errno == EOPNOTSUPP || errno == ENOTSUP || errno == ENOPROTOOPT || errno == ENOTSOCK;
}

bool FrameSender::send(int fd, const uint8_t* payload, size_t length, bool more, size_t* total, size_t* sent) {
  uint8_t header[4];
  put_frame_length(header, uint32_t(length));
  *total = *sent = 0;
  if (more && held_.size() + 4 + length <= kHeldMax) {
    held_.insert(held_.end(), header, header + 4);
    held_.insert(held_.end(), payload, payload + length);
    return true;
  }
  iovec pieces[3] = {{held_.data(), held_.size()}, {header, 4}, {const_cast<uint8_t*>(payload), length}};
  *total = held_.size() + 4 + length;
  *sent = send_pieces(fd, pieces, 3);
  held_.clear();  // sent, or the connection has failed: nothing is sent twice
  return *sent == *total;
}

bool FrameSender::send_held(int fd) {
  if (held_.empty()) return true;
  iovec piece{held_.data(), held_.size()};
  size_t total = held_.size();
  size_t sent = send_pieces(fd, &piece, 1);
  held_.clear();
  return sent == total;
}

void FrameSender::release(int fd) {
  if (held_.empty()) return;
  iovec piece{held_.data(), held_.size()};
  (void)send_pieces(fd, &piece, 1, MSG_DONTWAIT);
  held_.clear();
}

long recv_once(int fd, void* buffer, size_t length) {
  for (;;) {
    ssize_t n = ::recv(fd, buffer, length, 0);
    if (n < 0 && errno == EINTR) continue;
    return long(n);
  }
}

size_t ReadAhead::take(uint8_t* dst, size_t n) {
  size_t step = std::min(n, buffered());
  if (step == 0) return 0;
  std::memcpy(dst, data_.get() + begin_, step);
  begin_ += step;
  if (begin_ == end_) begin_ = end_ = 0;
  return step;
}

long ReadAhead::read_some(int fd, uint8_t* dst, size_t n) {
  if (n == 0) return 0;
  if (buffered() > 0) return long(take(dst, n));
  if (pending_error_ != 0) {
    errno = pending_error_;
    pending_error_ = 0;
    return -1;
  }
  if (n >= kSize) return recv_once(fd, dst, n);
  if (!data_) data_ = std::make_unique<uint8_t[]>(kSize);
  long r = recv_once(fd, data_.get(), kSize);
  if (r <= 0) return r;
  begin_ = 0;
  end_ = size_t(r);
  return long(take(dst, n));
}

std::string ReadAhead::take_all() {
  std::string text;
  if (buffered() > 0) text.assign(reinterpret_cast<const char*>(data_.get() + begin_), buffered());
  begin_ = end_ = 0;
  return text;
}

int ReadAhead::fill_now(int fd) {
  if (buffered() > 0) return 1;
  if (!data_) data_ = std::make_unique<uint8_t[]>(kSize);
  ssize_t r = ::recv(fd, data_.get(), kSize, MSG_DONTWAIT);
  if (r > 0) {
    begin_ = 0;
    end_ = size_t(r);
    return 1;
  }
  if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  if (r < 0) pending_error_ = errno;
  return -1;
}

int SpinWait::budget_from(const char* text, int processors) {
  if (processors < 2) return 0;
  if (text == nullptr || *text == '\0') return kDefaultMicros;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (*end != '\0' || v <= 0) return 0;
  return int(std::clamp<long>(v, 20, kMaxMicros));
}

SpinWait::SpinWait() {
  static const int budget = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    int processors = ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    return budget_from(std::getenv("KYVEK_SPIN_USEC"), processors);
  }();
  micros_ = budget;
}

bool SpinWait::crowded_from(const char* loadavg, int processors) {
  if (loadavg == nullptr || processors < 1) return false;
  double one = 0, five = 0, fifteen = 0;
  long ready = 0, all = 0;
  if (std::sscanf(loadavg, "%lf %lf %lf %ld/%ld", &one, &five, &fifteen, &ready, &all) != 5) return false;
  return ready > processors;
}

bool SpinWait::machine_crowded() {
  static const int processors = [] {
    long n = ::sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? int(n) : 1;
  }();
  static std::atomic<int64_t> next_look{0};
  static std::atomic<bool> crowded{false};
  const int64_t now =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count();
  int64_t due = next_look.load(std::memory_order_relaxed);
  // One thread looks; the others go on with the last answer.
  if (now >= due && next_look.compare_exchange_strong(due, now + 10000, std::memory_order_relaxed)) {
    char text[128] = {};
    int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ssize_t n = ::read(fd, text, sizeof text - 1);
      ::close(fd);
      crowded.store(n > 0 && crowded_from(text, processors), std::memory_order_relaxed);
    }
  }
  return crowded.load(std::memory_order_relaxed);
}

bool SpinWait::spin(int fd, ReadAhead& in) {
  if (in.buffered() > 0) return true;
  if (micros_ <= 0) return false;
  if (skip_ > 0) {
    --skip_;
    return false;
  }
  if (crowded_()) return false;
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(micros_);
  do {
    int r = in.fill_now(fd);
    if (r != 0) {
      misses_ = 0;
      return true;
    }
    for (int i = 0; i < 16; ++i) __builtin_ia32_pause();
  } while (std::chrono::steady_clock::now() < until);
  misses_ = std::min<uint32_t>(misses_ + 1, 6);
  skip_ = std::min<uint32_t>((1u << misses_) - 1, kMaxSkip);
  return false;
}

int wait_readable(int fd, int timeout_ms, bool* error_flags) {
  pollfd p{fd, POLLIN | POLLPRI, 0};
  for (;;) {
    int r = ::poll(&p, 1, timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return r;
    // Urgent data is the "exception" of the original wait; a pending socket error
    // (POLLERR) is left to the read that follows, which reports it by its name.
    if (error_flags) *error_flags = (p.revents & (POLLPRI | POLLNVAL)) != 0;
    return 1;
  }
}

std::string read_refusal_text(int fd, const std::string& already) {
  std::string text = already.substr(0, already.find('\0'));
  if (text.size() > 511) text.resize(511);
  if (text.size() < already.size()) return text;  // its end was read ahead
  // The whole text gets two seconds: a peer that trickles it cannot hold us longer.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  char c;
  while (text.size() < 511) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0 || wait_readable(fd, int(left.count())) <= 0) break;
    if (recv_once(fd, &c, 1) != 1 || c == '\0') break;
    text.push_back(c);
  }
  return text;
}

std::string peek_following_text(int fd, size_t max, int wait_ms, const std::string& already) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4 * wait_ms);
  std::string text = already.substr(0, max);
  char buf[256];
  while (text.size() < max && std::chrono::steady_clock::now() < until) {
    if (wait_readable(fd, wait_ms) <= 0) break;
    long n = recv_once(fd, buf, std::min(sizeof buf, max - text.size()));
    if (n <= 0) break;
    text.append(buf, size_t(n));
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (!std::isprint(static_cast<unsigned char>(text[i]))) {
      text.resize(i);
      break;
    }
  }
  return text;
}

void format_message(char* area, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(area, size, fmt, ap);
  va_end(ap);
}

}  // namespace kyrpc
