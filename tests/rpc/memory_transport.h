// An in-memory transport for tests and fuzz targets: receive() parses frames from a
// byte string exactly as a socket peer would deliver them, send() appends frames to
// an output string. Built into tests only.
#ifndef KYRPC_TEST_MEMORY_TRANSPORT_H
#define KYRPC_TEST_MEMORY_TRANSPORT_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport.h"

namespace kyrpc::test {

struct MemoryStream {
  std::string input;  // what the peer sent (frames with headers)
  size_t read_pos = 0;
  std::string output;  // what we sent (frames with headers)
  // Per frame sent, whether the sender said more frames of its message follow.
  std::vector<bool> more_flags;
  bool fail_sends = false;
  // Whether the connection tells that unread input is there (as a socket's
  // read-ahead does); off, it never does.
  bool report_buffered = false;
};

class MemoryConnection final : public Connection {
 public:
  explicit MemoryConnection(std::shared_ptr<MemoryStream> stream) : s_(std::move(stream)) {}
  bool open(bool, const TransportOptions&, int) override { return true; }
  bool send(const uint8_t* bytes, size_t length, bool more) override;
  bool receive(uint8_t* buffer, size_t capacity, size_t* length) override;
  const char* message() const override { return message_.c_str(); }
  bool input_buffered() const override { return s_->report_buffered && s_->read_pos < s_->input.size(); }

 private:
  std::shared_ptr<MemoryStream> s_;
  std::string message_;
};

// One frame: 4-byte big-endian length and the payload.
std::string frame(const std::string& payload);
// Frames of a byte string as sent: the payloads, in order (throws on a torn frame).
std::vector<std::string> split_frames(const std::string& stream);

}  // namespace kyrpc::test

#endif
