// Number texts in the C locale: std::to_chars / std::from_chars never consult
// the process locale, so an application that switched to a decimal comma
// still sends and reads "1.5".
#include "number_text.h"

#include <charconv>
#include <cstring>

namespace kyproc {

namespace {
constexpr int kWidth = 30;
constexpr int kPrecision = 16;
}  // namespace

void format_number_text(double value, char* slot) {
  char digits[kNumberTextSlot];
  auto res = std::to_chars(digits, digits + sizeof digits - 1, value, std::chars_format::scientific, kPrecision);
  std::size_t n = res.ec == std::errc() ? static_cast<std::size_t>(res.ptr - digits) : 0;
  std::memset(slot, 0, kNumberTextSlot);
  std::size_t pad = n < static_cast<std::size_t>(kWidth) ? kWidth - n : 0;
  std::memset(slot, ' ', pad);
  std::memcpy(slot + pad, digits, n);
}

bool parse_number_text(const char* slot, std::size_t size, double* value) {
  *value = 0;
  if (slot == nullptr) return false;
  if (size > kNumberTextSlot) size = kNumberTextSlot;
  const char* end = static_cast<const char*>(std::memchr(slot, '\0', size));
  if (end == nullptr) end = slot + size;
  const char* p = slot;
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  if (p < end && *p == '+') ++p;
  double v = 0;
  auto res = std::from_chars(p, end, v);
  if (res.ec != std::errc() || res.ptr == p) return false;
  for (const char* q = res.ptr; q < end; ++q)
    if (*q != ' ' && *q != '\t' && *q != '\n') return false;
  *value = v;
  return true;
}

}  // namespace kyproc
