// Cache values rendered as text and served to character and binary targets. See convert_parts.h.
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <limits>
#include <type_traits>

#include "convert_parts.h"
#include "ky_date.h"
#include "ky_interval.h"
#include "ky_numeric.h"

namespace kyvek::driver::conversion {

// ---- text helpers -----------------------------------------------------------

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\0')) s.remove_suffix(1);
  return s;
}

std::string_view text_of(const CachedValue& v) {
  return {reinterpret_cast<const char*>(v.data), static_cast<size_t>(v.length)};
}

// Shortest text that reads back as the same value: fixed notation for decimal
// exponents from -4 to digits-1, scientific otherwise ("1e-10", "3.14").
std::string real_text(double d, bool single) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  auto r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(d), std::chars_format::scientific)
                  : std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string sci(buf, r.ptr);
  size_t e = sci.find('e');
  int exp = std::atoi(sci.c_str() + e + 1);
  if (exp < -4 || exp >= (single ? 6 : 15)) return sci;
  std::string mant = sci.substr(0, e);
  bool neg = mant[0] == '-';
  if (neg) mant.erase(0, 1);
  std::string digits;
  for (char c : mant)
    if (c != '.') digits += c;
  std::string out;
  if (exp < 0) {
    out = "0." + std::string(static_cast<size_t>(-exp - 1), '0') + digits;
  } else if (static_cast<size_t>(exp) + 1 >= digits.size()) {
    out = digits + std::string(exp + 1 - digits.size(), '0');
  } else {
    out = digits.substr(0, exp + 1) + "." + digits.substr(exp + 1);
  }
  return neg ? "-" + out : out;
}

// SQLite's text of a real: "%.15g" with a point in every mantissa.
std::string sqlite_real_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-Inf" : "Inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", d);
  std::string s(buf);
  const size_t e = s.find('e');
  const std::string mant = s.substr(0, e);
  if (mant.find('.') == std::string::npos) s.insert(e == std::string::npos ? s.size() : e, ".0");
  return s;
}

std::string fraction_text(SQLUINTEGER fraction) {
  if (fraction == 0) return {};
  char buf[16];
  std::snprintf(buf, sizeof buf, ".%09u", static_cast<unsigned>(fraction % 1000000000u));
  std::string s(buf);
  while (s.back() == '0') s.pop_back();
  return s;
}

// ---- text and binary targets ------------------------------------------------------

// The value's bytes as a text target sees them (the cached text itself, or
// the text form of the value). Binary values render as hexadecimal digits.
bool render_text(const CachedValue& v, std::string* out) {
  char buf[400];
  switch (v.source_class) {
    case kClassInteger:
    case kClassBit:
    case kClassBigint:
      std::snprintf(buf, sizeof buf, "%" PRId64, v.v.integer);
      *out = buf;
      return true;
    case kClassReal:
      *out = v.real_style == kRealSqlite ? sqlite_real_text(v.v.real) : real_text(v.v.real, v.c_type == SQL_C_FLOAT);
      return true;
    case kClassText: out->assign(text_of(v)); return true;
    case kClassBinary: {
      static const char hex[] = "0123456789ABCDEF";
      out->clear();
      out->reserve(v.length * 2);
      for (SQLLEN i = 0; i < v.length; ++i) {
        out->push_back(hex[v.data[i] >> 4]);
        out->push_back(hex[v.data[i] & 15]);
      }
      return true;
    }
    case kClassDate:
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", v.v.date.year, v.v.date.month, v.v.date.day);
      *out = buf;
      return true;
    case kClassTime:
      std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", v.v.time.hour, v.v.time.minute, v.v.time.second);
      *out = buf;
      return true;
    case kClassTimestamp: {
      const auto& t = v.v.timestamp;
      std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                    t.second);
      *out = buf + fraction_text(t.fraction);
      return true;
    }
    case kClassNumeric: {
      // All the digits of the value's scale, as the database shows them
      // ("1.50000" for 1.5 in a column of scale 5).
      SQLLEN len = 0;
      if (numeric_to_string(&v.v.numeric, buf, sizeof buf, &len) < 0) return false;
      *out = buf;
      const int scale = v.v.numeric.scale;
      if (scale > 0) {
        const size_t point = out->find('.');
        const size_t have = point == std::string::npos ? 0 : out->size() - point - 1;
        if (point == std::string::npos) out->push_back('.');
        out->append(static_cast<size_t>(scale) - std::min(have, static_cast<size_t>(scale)), '0');
      }
      return true;
    }
    case kClassYearMonth:
    case kClassDayTime: {
      SQLLEN len = 0;
      if (interval_struct_as_text(&v.v.interval, v.precision, v.scale, 0, buf, sizeof buf, &len) < 0) return false;
      *out = buf;
      return true;
    }
    default: return false;
  }
}

SQLRETURN serve_char(std::string_view text, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece,
                     ConvDiag* d) {
  const SQLLEN offset = piece->offset < static_cast<SQLLEN>(text.size()) ? piece->offset : text.size();
  const SQLLEN remaining = static_cast<SQLLEN>(text.size()) - offset;
  set_len(ind, remaining);
  SQLLEN n = 0;
  if (target && buffer_length > 0) {
    n = remaining < buffer_length - 1 ? remaining : buffer_length - 1;
    std::memcpy(target, text.data() + offset, static_cast<size_t>(n));
    static_cast<char*>(target)[n] = '\0';
  }
  if (n < remaining) {
    piece->offset = offset + n;
    return warn(d, sqlstate::k01004);
  }
  piece->done = true;
  return SQL_SUCCESS;
}

// One code point of UTF-8 at s[i]; invalid bytes read as U+FFFD, one byte.
char32_t next_code_point(std::string_view s, size_t* i) {
  const auto b = static_cast<unsigned char>(s[*i]);
  int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
  if (len == 0 || *i + len > s.size()) {
    ++*i;
    return 0xFFFD;
  }
  char32_t cp = len == 1 ? b : b & (0x7F >> len);
  for (int k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(s[*i + k]);
    if ((c & 0xC0) != 0x80) {
      ++*i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (c & 0x3F);
  }
  static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++*i;
    return 0xFFFD;
  }
  *i += len;
  return cp;
}

SQLRETURN serve_wchar(std::string_view text, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind, PieceState* piece,
                      ConvDiag* d) {
  size_t offset = piece->offset < static_cast<SQLLEN>(text.size()) ? piece->offset : text.size();
  // Total UTF-16 length of what remains.
  SQLLEN units = piece->pending_unit ? 1 : 0;
  for (size_t i = offset; i < text.size();) units += next_code_point(text, &i) >= 0x10000 ? 2 : 1;
  set_len(ind, units * 2);
  const SQLLEN room = target && buffer_length >= 2 ? buffer_length / 2 - 1 : -1;
  SQLLEN written = 0;
  size_t i = offset;
  if (room >= 0) {
    auto* out = static_cast<SQLWCHAR*>(target);
    if (piece->pending_unit && room > 0) {
      out[written++] = piece->pending_unit;
      piece->pending_unit = 0;
    }
    while (i < text.size() && !piece->pending_unit) {
      size_t next = i;
      char32_t cp = next_code_point(text, &next);
      const int need = cp >= 0x10000 ? 2 : 1;
      if (written + need > room) {
        // Characters are cut whole, unless the buffer cannot take even one:
        // then a pair is split across two calls so that reading advances.
        if (need == 2 && written == 0 && room == 1) {
          cp -= 0x10000;
          out[written++] = static_cast<SQLWCHAR>(0xD800 + (cp >> 10));
          piece->pending_unit = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
          i = next;
        }
        break;
      }
      if (need == 2) {
        cp -= 0x10000;
        out[written++] = static_cast<SQLWCHAR>(0xD800 + (cp >> 10));
        out[written++] = static_cast<SQLWCHAR>(0xDC00 + (cp & 0x3FF));
      } else {
        out[written++] = static_cast<SQLWCHAR>(cp);
      }
      i = next;
    }
    out[written] = 0;
  }
  if (written < units) {
    piece->offset = static_cast<SQLLEN>(i);
    return warn(d, sqlstate::k01004);
  }
  piece->done = true;
  return SQL_SUCCESS;
}

SQLRETURN serve_binary(const unsigned char* bytes, SQLLEN size, SQLPOINTER target, SQLLEN buffer_length, SQLLEN* ind,
                       PieceState* piece, ConvDiag* d) {
  const SQLLEN offset = piece->offset < size ? piece->offset : size;
  const SQLLEN remaining = size - offset;
  set_len(ind, remaining);
  SQLLEN n = 0;
  if (target && buffer_length > 0) {
    n = remaining < buffer_length ? remaining : buffer_length;
    std::memcpy(target, bytes + offset, static_cast<size_t>(n));
  }
  if (n < remaining) {
    piece->offset = offset + n;
    return warn(d, sqlstate::k01004);
  }
  piece->done = true;
  return SQL_SUCCESS;
}

}  // namespace kyvek::driver::conversion
