// Small socket helpers shared by the socket transports: whole sends without
// SIGPIPE, reads that retry interrupted calls, poll-based waits, refusal texts.
#ifndef KYRPC_SOCKET_IO_H
#define KYRPC_SOCKET_IO_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kyrpc {

// Sends every byte (MSG_NOSIGNAL, EINTR retried). Returns bytes sent; on failure
// fewer than length with errno set.
size_t send_all(int fd, const uint8_t* bytes, size_t length);

// One recv, EINTR retried. Returns what recv returned.
long recv_once(int fd, void* buffer, size_t length);

// Waits up to timeout_ms for the socket to be readable. 1 readable (hung up or failed),
// 0 nothing, -1 poll failed; *error_flags tells urgent data or a bad descriptor.
int wait_readable(int fd, int timeout_ms, bool* error_flags = nullptr);

// Reads a refusal text after a 0xFFFFFFFF header: until NUL, end of stream or 511
// bytes; always terminated.
std::string read_refusal_text(int fd);

// Up to max bytes that follow on the socket, each wait at most wait_ms and all of
// them at most four waits long, cut at the first unprintable character (for the
// "too big" message).
std::string peek_following_text(int fd, size_t max, int wait_ms);

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
void format_message(char* area, size_t size, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace kyrpc

#endif
