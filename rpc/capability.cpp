// Capability table and floating-point formats. The announced values keep their
// documented texts ("NT", "unknown" on x86-64): peers may test them.
#include "capability.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "errors.h"
#include "message.h"

namespace kyrpc {
namespace {

std::string system_info() {
  utsname u;
  if (::uname(&u) != 0) return "undetermined";
  long part[3] = {0, 0, 0};
  const char* p = u.release;
  for (int i = 0; i < 3 && *p; ++i) {
    char* end = nullptr;
    part[i] = std::strtol(p, &end, 10);
    if (end == p) break;
    p = (*end == '.') ? end + 1 : end;
    if (*end != '.') break;
  }
  char text[50];
  std::snprintf(text, sizeof text, "%ld.%ld.%ld", part[0], part[1], part[2]);
  return text;
}

std::string processor_type() {
  utsname u;
  if (::uname(&u) != 0) return "unknown";
  std::string m = u.machine;
  if (m.size() == 4 && m[0] == 'i' && m.substr(2) == "86") return "Intel";
  if (m.rfind("mips", 0) == 0) return "Mips";
  if (m.rfind("alpha", 0) == 0) return "Alpha";
  if (m == "ppc" || m == "powerpc") return "PPC";
  return "unknown";
}

std::string capability_value(const RpcHandle& h, int id) {
  switch (id) {
    case kParamSystemType: return "NT";
    case kParamSystemInfo: return system_info();
    case kParamProcessor: return processor_type();
    case kParamPointerSize: return std::to_string(int(sizeof(void*)));
    case kParamTracing: return std::string(h.tracing, strnlen(h.tracing, sizeof h.tracing - 1));
    case kParamEndianess: {
      char b[2];
      std::memcpy(b, &h.byte_order_marker, 2);
      return std::string(b, 2);
    }
    case kParamCompression: return "1";
    case kParamSqllenSize: return "8";
  }
  return {};
}

constexpr int kCapabilityIds[] = {kParamSystemType, kParamSystemInfo, kParamProcessor,   kParamPointerSize,
                                  kParamTracing,    kParamEndianess,  kParamCompression, kParamSqllenSize};

int width_of(const std::string& value) {
  char* end = nullptr;
  long v = std::strtol(value.c_str(), &end, 10);
  if (end == value.c_str() || *end != '\0' || (v != 4 && v != 8)) fail(RPC_ERR_INVPARAM);
  return int(v);
}

}  // namespace

std::string build_parameter_list(const RpcHandle& h) {
  std::string list;
  for (int id : kCapabilityIds) {
    std::string value = capability_value(h, id);
    if (value.size() > 255) fail(RPC_ERR_NOMEM);
    char head[8];
    std::snprintf(head, sizeof head, "%02d:", id);
    list += head;
    list += value;
    list += '^';
  }
  if (list.size() > 255) fail(RPC_ERR_NOMEM);
  return list;
}

void parse_parameter_list(RpcHandle& h, const char* text, size_t length) {
  if (text == nullptr) fail(RPC_ERR_INTERR);
  h.peer_params.clear();
  size_t pos = 0;
  for (;;) {
    const void* colon = std::memchr(text + pos, ':', length - pos);
    if (colon == nullptr) break;
    size_t c = size_t(static_cast<const char*>(colon) - text);
    int id = std::atoi(std::string(text + pos, c - pos).c_str());
    const void* caret = std::memchr(text + c + 1, '^', length - c - 1);
    if (caret == nullptr) fail(RPC_ERR_INVPARAM);
    size_t k = size_t(static_cast<const char*>(caret) - text);
    h.peer_params.insert(h.peer_params.begin(), {id, std::string(text + c + 1, k - c - 1)});
    pos = k + 1;
  }
  if (h.peer_params.empty()) fail(RPC_ERR_BADNEG);
}

void apply_peer_parameters(RpcHandle& h) {
  bool have_pointer = false, have_sqllen = false;
  for (const auto& [id, value] : h.peer_params) {
    switch (id) {
      case kParamSystemType:
        if (h.is_server() && value.find("VMS") != std::string::npos) h.out_capacity = kVmsCapacity;
        break;
      case kParamChallenge:
        // We never ask for the challenge ourselves, so it is never run.
        if (value == "1") h.negotiated |= kNegPeerChallenge;
        break;
      case kParamCompression:
        if (value == "1") h.negotiated |= kNegPeerCompresses | kNegCompression;
        break;
      case kParamPointerSize: {
        int p = width_of(value);
        have_pointer = true;
        h.peer_pointer_width = p;
        if (p != 8) h.negotiated |= kNegPointerWidthDiffers;
        if (p < 8) {
          h.negotiated |= kNegNarrowPointers;
          if (h.is_server() && h.pointer_table.empty()) h.pointer_table.push_back(nullptr);
        }
        break;
      }
      case kParamSqllenSize: {
        int s = width_of(value);
        have_sqllen = true;
        h.peer_sqllen_width = s;
        if (s != 8) h.negotiated |= kNegSqllenWidthDiffers;
        if (s < 8) h.negotiated |= kNegNarrowSqllen;
        break;
      }
      case kParamTracing: {
        uint32_t asked = 0;
        if (value.find('y') != std::string::npos) asked |= kNegTraceCalls | kNegTraceArgs;
        if (value.find('c') != std::string::npos) asked |= kNegTraceCalls;
        if (value.find('a') != std::string::npos) asked |= kNegTraceArgs;
        // A client may not make the server write files before it has logged on:
        // the server switches its tracing on later (RPCPermitTracing).
        if (h.is_server())
          h.peer_tracing = asked;
        else
          h.negotiated |= asked;
        break;
      }
      case kParamEndianess:
        if (value.size() >= 2) {
          uint16_t marker;
          std::memcpy(&marker, value.data(), 2);
          if (marker != kByteOrderMarker) h.negotiated |= kNegSwapBytes;
        }
        break;
      default: break;
    }
  }
  if (!have_pointer || !have_sqllen) h.peer_pointer_width = 4;
}

// ---- Floating-point formats ----

namespace {
constexpr uint32_t field(int byte, int bit, int width) {
  return uint32_t(byte) | (uint32_t(bit) << 8) | (uint32_t(width) << 16);
}
int f_byte(uint32_t f) { return int(f & 0xFF); }
int f_bit(uint32_t f) { return int((f >> 8) & 0xFF); }
int f_width(uint32_t f) { return int((f >> 16) & 0xFF); }

uint64_t read_field(const uint8_t* v, uint32_t f) {
  int w = f_width(f);
  uint64_t raw = uint64_t(v[f_byte(f)]) >> f_bit(f);
  return raw & ((uint64_t(1) << w) - 1);
}

void write_field(uint8_t* v, uint32_t f, uint64_t bits) {
  int w = f_width(f);
  uint64_t mask = (uint64_t(1) << w) - 1;
  v[f_byte(f)] = uint8_t((v[f_byte(f)] & ~(mask << f_bit(f))) | ((bits & mask) << f_bit(f)));
}
}  // namespace

#define KY_FLOAT_FORMAT                                                                                   \
  {                                                                                                       \
    16, 4, 127, 2, {field(3, 0, 7), field(2, 7, 1)}, 3, {field(2, 0, 7), field(1, 0, 8), field(0, 0, 8)}, \
        field(3, 7, 1)                                                                                    \
  }
#define KY_DOUBLE_FORMAT                                                 \
  {                                                                      \
    4, 8, 1023, 2, {field(7, 0, 7), field(6, 4, 4)}, 7,                  \
        {field(6, 0, 4), field(5, 0, 8), field(4, 0, 8), field(3, 0, 8), \
         field(2, 0, 8), field(1, 0, 8), field(0, 0, 8)},                \
        field(7, 7, 1)                                                   \
  }

const FloatFormat kNativeFloat = KY_FLOAT_FORMAT;
const FloatFormat kWireFloat = KY_FLOAT_FORMAT;
const FloatFormat kNativeDouble = KY_DOUBLE_FORMAT;
const FloatFormat kWireDouble = KY_DOUBLE_FORMAT;

void convert_float(const FloatFormat& s, const FloatFormat& d, uint8_t* value) {
  if (s.id == d.id) return;
  uint8_t src[16] = {};
  std::memcpy(src, value, size_t(std::min(s.size, 16)));
  std::memset(value, 0, size_t(d.size));
  int64_t e = 0;
  for (int i = 0; i < s.exponent_count; ++i)
    e = (e << f_width(s.exponent[i])) + int64_t(read_field(src, s.exponent[i]));
  if (e != 0) e += d.bias - s.bias;
  for (int i = d.exponent_count; i-- > 0;) {
    write_field(value, d.exponent[i], uint64_t(e));
    e >>= f_width(d.exponent[i]);
  }
  write_field(value, d.sign, read_field(src, s.sign));
  // Mantissa bits, most significant first, regrouped into the destination's fields.
  int si = 0, sleft = s.mantissa_count ? f_width(s.mantissa[0]) : 0;
  for (int di = 0; di < d.mantissa_count && si < s.mantissa_count; ++di) {
    int dw = f_width(d.mantissa[di]);
    uint64_t bits = 0;
    int filled = 0;
    while (filled < dw && si < s.mantissa_count) {
      int take = std::min(dw - filled, sleft);
      uint64_t sv = read_field(src, s.mantissa[si]);
      uint64_t part = (sv >> (sleft - take)) & ((uint64_t(1) << take) - 1);
      bits = (bits << take) | part;
      filled += take;
      sleft -= take;
      if (sleft == 0 && ++si < s.mantissa_count) sleft = f_width(s.mantissa[si]);
    }
    bits <<= (dw - filled);
    write_field(value, d.mantissa[di], bits);
  }
}

bool float_array_is_wire_form(uint32_t kind) {
  return kind == RPC_ARG_FLOAT_ARRAY ? kNativeFloat.id == kWireFloat.id : kNativeDouble.id == kWireDouble.id;
}

void convert_float_array(uint32_t kind, uint8_t* data, size_t length, bool to_wire) {
  if (data == nullptr || float_array_is_wire_form(kind)) return;
  const bool is_float = kind == RPC_ARG_FLOAT_ARRAY;
  const FloatFormat& from = is_float ? (to_wire ? kNativeFloat : kWireFloat) : (to_wire ? kNativeDouble : kWireDouble);
  const FloatFormat& to = is_float ? (to_wire ? kWireFloat : kNativeFloat) : (to_wire ? kWireDouble : kNativeDouble);
  size_t width = is_float ? 4 : 8;
  for (size_t off = 0; off + width <= length; off += width) convert_float(from, to, data + off);
}

}  // namespace kyrpc
