// Small socket helpers shared by the socket transports: whole sends without
// SIGPIPE, frames batched per message, reads that retry interrupted calls,
// poll-based waits, refusal texts.
#ifndef KYRPC_SOCKET_IO_H
#define KYRPC_SOCKET_IO_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct iovec;

namespace kyrpc {

// Sends every byte of the pieces in order with as few sendmsg calls as the socket
// allows (MSG_NOSIGNAL, EINTR retried; flags are added, e.g. MSG_DONTWAIT). Returns
// bytes sent; on failure fewer than the total with errno set. The pieces are used up.
size_t send_pieces(int fd, iovec* pieces, size_t count, int flags = 0);

// Turns off the small-segment delay on a TCP socket, so that a frame leaves at once
// instead of waiting for the acknowledgement of the one before. A descriptor that
// is no TCP socket (a local socket, an inetd pipe) is left as it is: true then too.
// false with errno set when a TCP socket refused it.
bool set_no_delay(int fd);

// The outgoing side of a socket connection. A frame that more frames of the same
// message follow is kept back (up to kHeldMax bytes) and leaves together with the
// message's last frame, header and payload of every frame in one sendmsg: a message
// of several frames leaves in one send, and never waits on acknowledgements between
// its frames. The bytes on the wire are exactly the frames in order.
class FrameSender {
 public:
  static constexpr size_t kHeldMax = 64 * 1024;

  // Sends or keeps one frame. Returns false with errno set when the socket failed;
  // *total is the bytes that send attempted, *sent those that went out.
  bool send(int fd, const uint8_t* payload, size_t length, bool more, size_t* total, size_t* sent);
  // Sends what is kept (blocking). false with errno set when the socket failed.
  bool send_held(int fd);
  // Sends what is kept without blocking (a connection that goes away with an
  // abandoned message still delivers the bytes it promised).
  void release(int fd);
  bool holding() const { return !held_.empty(); }

 private:
  std::vector<uint8_t> held_;  // whole frames, headers included
};

// One recv, EINTR retried. Returns what recv returned.
long recv_once(int fd, void* buffer, size_t length);

// The incoming side of a socket connection: one recv takes whatever has arrived,
// up to kSize bytes, and the frames are cut from that. A reply's header and
// payload, or several messages sent together, cost one system call instead of
// one per piece, and a receiver polls only when nothing is left here.
class ReadAhead {
 public:
  static constexpr size_t kSize = 64 * 1024;

  size_t buffered() const { return end_ - begin_; }
  // Copies up to n buffered bytes to dst; returns how many.
  size_t take(uint8_t* dst, size_t n);
  // Reads towards n bytes into dst: from the buffer when it holds any, else with
  // one recv (into the buffer, or straight into dst when n fills it anyway).
  // Returns bytes delivered, or what the recv returned when it gave nothing.
  long read_some(int fd, uint8_t* dst, size_t n);
  // Hands over and forgets what is buffered (texts that follow a failed header).
  std::string take_all();
  // One recv without waiting into the empty buffer: 1 bytes came, 0 none yet,
  // -1 end of stream or an error (the next read_some meets either again).
  int fill_now(int fd);

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t begin_ = 0, end_ = 0;
  int pending_error_ = 0;  // an error fill_now met, for the next read
};

// A brief spin on a socket before a blocking wait. A reply that comes within
// a few tens of microseconds is then taken without the sleep and wake-up of a
// blocking wait, which on an idle processor costs far more than the reply's
// own trip. The spin is adaptive: it runs only with two or more processors
// available to the process and while the machine has no more threads ready
// to run than processors (there the spin would take the processor the answer
// needs), lasts at most the budget (20-50 microseconds,
// KYVEK_SPIN_USEC; 0 turns it off), and after a spin that found nothing the
// next waits skip it, twice as many after each further miss (up to 63), until
// a spin finds data again.
class SpinWait {
 public:
  static constexpr int kDefaultMicros = 30;
  static constexpr int kMaxMicros = 50;
  static constexpr uint32_t kMaxSkip = 63;

  // The process's budget (environment and processors, read once).
  SpinWait();
  // A given budget in microseconds (0: never spins) and a given view of the
  // machine's load, for tests.
  using CrowdedFn = bool (*)();
  explicit SpinWait(int micros, CrowdedFn crowded = [] { return false; }) : micros_(micros), crowded_(crowded) {}

  // Spins until bytes arrive in `in` (true) or the budget runs out (false).
  // End of stream and errors also end the spin with true: the read that
  // follows reports them.
  bool spin(int fd, ReadAhead& in);
  uint32_t skipping() const { return skip_; }

  // KYVEK_SPIN_USEC as given (clamped to 0 or 20-50), 0 with fewer than two
  // processors; exposed for tests.
  static int budget_from(const char* text, int processors);
  // Whether the machine has more threads ready to run than processors, from
  // the text of /proc/loadavg ("0.50 0.40 0.30 9/812 4711": 9 ready, the
  // caller among them). false when the text says nothing; exposed for tests.
  static bool crowded_from(const char* loadavg, int processors);
  // The same for this machine now (looked at most every 10 ms, shared by all
  // links of the process).
  static bool machine_crowded();

 private:
  int micros_;
  CrowdedFn crowded_ = &machine_crowded;
  uint32_t skip_ = 0;    // waits left that do not spin
  uint32_t misses_ = 0;  // spins in a row that found nothing
};

// Waits up to timeout_ms for the socket to be readable. 1 readable (hung up or failed),
// 0 nothing, -1 poll failed; *error_flags tells urgent data or a bad descriptor.
int wait_readable(int fd, int timeout_ms, bool* error_flags = nullptr);

// Reads a refusal text after a 0xFFFFFFFF header: until NUL, end of stream or 511
// bytes; always terminated. already: bytes of it read ahead before.
std::string read_refusal_text(int fd, const std::string& already = {});

// Up to max bytes that follow on the socket, each wait at most wait_ms and all of
// them at most four waits long, cut at the first unprintable character (for the
// "too big" message). already: bytes that followed and were read ahead.
std::string peek_following_text(int fd, size_t max, int wait_ms, const std::string& already = {});

// Big-endian u32 of a frame header.
inline uint32_t frame_length(const uint8_t* h) {
  return (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | uint32_t(h[3]);
}
inline void put_frame_length(uint8_t* h, uint32_t n) {
  h[0] = uint8_t(n >> 24);
  h[1] = uint8_t(n >> 16);
  h[2] = uint8_t(n >> 8);
  h[3] = uint8_t(n);
}

// printf into a fixed message area.
void format_message(char* area, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

}  // namespace kyrpc

#endif
