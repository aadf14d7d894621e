// The keystream: a 64-bit state seeded from the key by FNV-1a, stepped by
// splitmix64 for every byte. Position-dependent, so equal characters of a
// password disguise to different bytes.
#include "kycrypt.h"

#include <cstdint>
#include <cstring>

namespace {

class Keystream {
 public:
  explicit Keystream(const char* key) {
    state_ = 0xcbf29ce484222325ULL;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p; ++p) {
      state_ ^= *p;
      state_ *= 0x100000001b3ULL;
    }
  }
  unsigned char next() {
    state_ += 0x9e3779b97f4a7c15ULL;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return static_cast<unsigned char>(z >> 56);
  }

 private:
  uint64_t state_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int fake_string(const char* plain, unsigned char* out, int size,
                                                                  const char* key) {
  if (!plain || !out || !key || size < 0) return -1;
  size_t n = std::strlen(plain);
  if (n > static_cast<size_t>(size)) return -1;
  Keystream ks(key);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(plain[i]) ^ ks.next();
  return static_cast<int>(n);
}

extern "C" __attribute__((visibility("default"))) int unfake_string(const unsigned char* bytes, char* out, int count,
                                                                    const char* key) {
  if (!bytes || !out || !key || count < 0) return -1;
  Keystream ks(key);
  for (int i = 0; i < count; ++i) out[i] = static_cast<char>(bytes[i] ^ ks.next());
  out[count] = '\0';
  return count;
}
