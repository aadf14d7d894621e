// Base64, tokenisers and dotted-quad addresses. See text_parsers.h.
#include "text_parsers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>

#include <string>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

size_t base64_run(const char* text) {
  size_t n = 0;
  while (text[n] != '\0' && base64_value(static_cast<unsigned char>(text[n])) >= 0) ++n;
  return n;
}

}  // namespace

extern "C" size_t base64_decoded_size(const char* text) {
  size_t n = text ? base64_run(text) : 0;
  return ((n + 3) / 4) * 3 + 1;
}

extern "C" size_t base64_decode(unsigned char* out, const char* text) {
  if (out == nullptr) return 0;
  size_t n = text ? base64_run(text) : 0;
  size_t written = 0;
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < n; ++i) {
    bits = (bits << 6) | static_cast<uint32_t>(base64_value(static_cast<unsigned char>(text[i])));
    held += 6;
    if (held >= 8) {
      held -= 8;
      out[written++] = static_cast<unsigned char>((bits >> held) & 0xFF);
    }
  }
  out[written] = '\0';
  return written;
}

extern "C" size_t base64_decode_text(char* out, const char* text) {
  return base64_decode(reinterpret_cast<unsigned char*>(out), text);
}

extern "C" char* next_token(char* text, const char* separators, char** cursor) {
  if (cursor == nullptr) return nullptr;
  if (text == nullptr) {
    text = *cursor;
    if (text == nullptr) return nullptr;
  }
  if (*text == '\0') {
    *cursor = nullptr;
    return text;
  }
  char* end = separators ? std::strpbrk(text, separators) : nullptr;
  if (end == nullptr) {
    *cursor = nullptr;
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return text;
}

extern "C" int split_string(const char* separators, int slots, char** out, char* text) {
  if (text == nullptr || out == nullptr || slots < 1) return -1;
  int used = 0;
  char* rest = text;
  while (used < slots - 1) {
    if (rest == nullptr) return used + 1;
    char* cursor = nullptr;
    char* token = next_token(rest, separators, &cursor);
    char* copy = strdup(token);
    if (copy == nullptr) {
      for (int i = 0; i < used; ++i) {
        std::free(out[i]);
        out[i] = nullptr;
      }
      return -1;
    }
    out[used++] = copy;
    rest = cursor;
  }
  out[used] = rest;  // the uncut rest, or NULL (not counted) when nothing is left
  if (rest != nullptr) ++used;
  return used + 1;
}

extern "C" int check_ip_address(const char* text, int complete, const char** stop) {
  if (stop) *stop = nullptr;
  if (text == nullptr) return -1;
  const char* p = text;
  bool started = false;
  int dots = 0;
  int groups = 0;
  int digits = 0;
  unsigned value = 0;
  for (; *p != '\0'; ++p) {
    char c = *p;
    if (c == ' ') {
      if (started) break;
      continue;
    }
    if (c >= '0' && c <= '9') {
      started = true;
      if (digits == 0) ++groups;
      ++digits;
      value = value * 10 + static_cast<unsigned>(c - '0');
      if (digits > 3 || value > 255) break;
      continue;
    }
    if (c == '.') {
      started = true;
      if (digits == 0 || dots == 3) break;  // empty group, two dots in a row, a fourth dot
      ++dots;
      digits = 0;
      value = 0;
      continue;
    }
    break;  // any other character
  }
  if (*p != '\0') {
    if (stop) *stop = p;
    return -1;
  }
  if (!complete) return 0;
  if (dots == 3 && groups == 4 && digits > 0) return 0;
  return -1;
}
extern "C" unsigned parse_bind_address(const char* text, sockaddr_storage* out) {
  if (text == nullptr || out == nullptr) return 0;
  *out = sockaddr_storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  if (::inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    return sizeof(sockaddr_in);
  }
  std::string bare = text;
  if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (::inet_pton(AF_INET6, bare.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    return sizeof(sockaddr_in6);
  }
  return 0;
}

extern "C" void socket_address_text(const sockaddr* address, char* out, unsigned size) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (address == nullptr) return;
  char text[INET6_ADDRSTRLEN] = "";
  if (address->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  else if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    // An IPv4 client of a socket bound to "::" is that IPv4 address.
    if (IN6_IS_ADDR_V4MAPPED(&a))
      ::inet_ntop(AF_INET, &a.s6_addr[12], text, sizeof text);
    else
      ::inet_ntop(AF_INET6, &a, text, sizeof text);
  }
  std::snprintf(out, size, "%s", text);
}

extern "C" int parse_prefix_length(const char* text) {
  if (text == nullptr || text[0] < '0' || text[0] > '9') return -1;
  int bits = text[0] - '0';
  if (text[1] >= '0' && text[1] <= '9') {
    bits = bits * 10 + (text[1] - '0');
    if (text[2] != '\0') return -1;
  } else if (text[1] != '\0') {
    return -1;
  }
  return bits <= 32 ? bits : -1;
}

extern "C" int parse_ip_and_mask(const char* text, int complete, const char** stop) {
  const char* where = nullptr;
  int rc = check_ip_address(text, complete, &where);
  if (stop) *stop = where;
  if (rc == 0) return 0;
  if (where == nullptr || *where != '/') return -1;
  // A prefix length after a full address: "10.0.0.0/8".
  if (parse_prefix_length(where + 1) >= 0) {
    std::string address(text, size_t(where - text));
    if (check_ip_address(address.c_str(), 1, nullptr) == 0) {
      if (stop) *stop = nullptr;
      return 0;
    }
  }
  return check_ip_address(where + 1, complete, stop);
}
