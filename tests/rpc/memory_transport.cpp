#include "memory_transport.h"

#include <cstring>
#include <stdexcept>

namespace kyrpc::test {

bool MemoryConnection::send(const uint8_t* bytes, size_t length, bool more) {
  if (s_->fail_sends) {
    message_ = "send failed";
    return false;
  }
  s_->output += frame(std::string(reinterpret_cast<const char*>(bytes), length));
  s_->more_flags.push_back(more);
  return true;
}

bool MemoryConnection::receive(uint8_t* buffer, size_t capacity, size_t* length) {
  message_.clear();
  const std::string& in = s_->input;
  if (in.size() - s_->read_pos < 4) {
    s_->read_pos = in.size();
    message_ = "Connection closed by peer";
    return false;
  }
  const auto* h = reinterpret_cast<const uint8_t*>(in.data() + s_->read_pos);
  uint32_t n = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
  s_->read_pos += 4;
  if (n == 0xFFFFFFFFu) {
    size_t end = s_->read_pos;
    while (end < in.size() && end - s_->read_pos < 511 && in[end] != '\0') ++end;
    message_ = in.substr(s_->read_pos, end - s_->read_pos);
    s_->read_pos = in.size();
    return false;
  }
  if (n > capacity) {
    message_ = "Packet too big";
    s_->read_pos = in.size();
    return false;
  }
  if (in.size() - s_->read_pos < n) {
    s_->read_pos = in.size();
    message_ = "Connection closed by peer";
    return false;
  }
  std::memcpy(buffer, in.data() + s_->read_pos, n);
  s_->read_pos += n;
  *length = n;
  return true;
}

std::string frame(const std::string& payload) {
  std::string f(4, '\0');
  uint32_t n = uint32_t(payload.size());
  f[0] = char(n >> 24);
  f[1] = char(n >> 16);
  f[2] = char(n >> 8);
  f[3] = char(n);
  return f + payload;
}

std::vector<std::string> split_frames(const std::string& stream) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < stream.size()) {
    if (stream.size() - pos < 4) throw std::runtime_error("torn header");
    const auto* h = reinterpret_cast<const uint8_t*>(stream.data() + pos);
    uint32_t n = (uint32_t(h[0]) << 24) | (uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3];
    pos += 4;
    if (stream.size() - pos < n) throw std::runtime_error("torn payload");
    out.push_back(stream.substr(pos, n));
    pos += n;
  }
  return out;
}

}  // namespace kyrpc::test
