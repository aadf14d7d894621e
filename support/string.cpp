// Text primitives shared by the ODBC layers. Every writer respects the
// caller's capacity; a capacity of 0 or less means "no room".
#include <cstring>
#include <limits>

#include "ky_string.h"

namespace {

template <class Len>
void report_length(Len* len_out, size_t n) {
  if (!len_out) return;
  constexpr auto kMax = std::numeric_limits<Len>::max();
  *len_out = n > static_cast<size_t>(kMax) ? kMax : static_cast<Len>(n);
}

// ODBC copy of a byte text into `Ch` cells, each byte zero-extended.
template <class Ch, class Cap, class Len>
int odbc_copy(Ch* buf, Cap capacity, Len* len_out, const char* text) {
  if (!text) text = "";
  const size_t n = std::strlen(text);
  report_length(len_out, n);
  if (!buf || capacity <= 0) return 0;
  const auto cap = static_cast<size_t>(capacity);
  const size_t copy = n < cap ? n : cap - 1;
  for (size_t i = 0; i < copy; ++i) buf[i] = static_cast<Ch>(static_cast<unsigned char>(text[i]));
  buf[copy] = 0;
  return n < cap ? 0 : 1;
}

unsigned char upper(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - 'a' + 'A') : u;
}

}  // namespace

extern "C" {

KY_API int copy_str_buffer(char* buf, int32_t capacity, int16_t* len_out, const char* text) {
  return odbc_copy(buf, capacity, len_out, text);
}

KY_API int copy_str_bufferi(char* buf, int32_t capacity, int32_t* len_out, const char* text) {
  return odbc_copy(buf, capacity, len_out, text);
}

KY_API int copy_str_bufferl(char* buf, SQLLEN capacity, SQLLEN* len_out, const char* text) {
  return odbc_copy(buf, capacity, len_out, text);
}

KY_API int copy_nstr_bufferl(SQLWCHAR* buf, SQLLEN capacity, SQLLEN* len_out, const char* text) {
  return odbc_copy(buf, capacity, len_out, text);
}

KY_API int cat_str_buffer(char* buf, int32_t capacity, int16_t* len, const char* text) {
  if (!text) text = "";
  const size_t n = std::strlen(text);
  if (len) {
    // The length keeps counting what the caller would need, saturating.
    const long long grown = static_cast<long long>(*len < 0 ? 0 : *len) + static_cast<long long>(n);
    *len =
        grown > std::numeric_limits<int16_t>::max() ? std::numeric_limits<int16_t>::max() : static_cast<int16_t>(grown);
  }
  if (n == 0) return 0;
  if (!buf) return 0;
  if (capacity <= 0) return 1;
  const auto cap = static_cast<size_t>(capacity);
  // Append where the text really ends, never at a logical length that an
  // earlier cut left beyond the buffer.
  size_t cur = strnlen(buf, cap);
  if (cur >= cap) cur = cap - 1;
  if (cur + n < cap) {
    std::memcpy(buf + cur, text, n + 1);
    return 0;
  }
  const size_t room = cap - 1 - cur;
  std::memcpy(buf + cur, text, room);
  buf[cur + room] = '\0';
  return 1;
}

KY_API int string_compare(const char* a, const char* b) {
  if (!a || !b) return (a == b) ? 0 : 1;
  for (;; ++a, ++b) {
    if (upper(*a) != upper(*b)) return 1;
    if (!*a) return 0;
  }
}

KY_API char* string_duplicate(const char* text, mem_handle* pool) {
  if (!text) text = "";
  const size_t n = std::strlen(text);
  if (n >= static_cast<size_t>(std::numeric_limits<int32_t>::max())) return nullptr;
  auto* copy = static_cast<char*>(ky_mem_alloc(pool, static_cast<int32_t>(n + 1)));
  if (copy) std::memcpy(copy, text, n + 1);
  return copy;
}

KY_API char* safe_strtok(char* text, const char* delims, char** cursor) {
  if (!cursor) return nullptr;
  char* s = text ? text : *cursor;
  if (!s) return nullptr;
  if (!delims) delims = "";
  s += std::strspn(s, delims);
  if (!*s) return nullptr;
  char* end = s + std::strcspn(s, delims);
  if (*end) {
    *end = '\0';
    *cursor = end + 1;
  } else {
    *cursor = end;
  }
  return s;
}

}  // extern "C"
