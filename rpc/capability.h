// Capability texts that each side announces in the handshake, the parsing and
// application of the peer's list, and the float/double format converter used on
// float and double arrays inside row arrays.
#ifndef KYRPC_CAPABILITY_H
#define KYRPC_CAPABILITY_H

#include <cstdint>
#include <string>

#include "handle.h"

namespace kyrpc {

// "%02d:%s^" items in table order: 01-07 and 10. Throws code 3 when a value or the
// whole list passes 255 characters.
std::string build_parameter_list(const RpcHandle& h);

// Parses a received list into h.peer_params (codes 21, 22, 10).
void parse_parameter_list(RpcHandle& h, const char* text, size_t length);

// Applies h.peer_params to the negotiated flags and widths (code 22 for widths
// other than 4 or 8).
void apply_peer_parameters(RpcHandle& h);

// A floating-point representation: fields are byte index (bits 0-7), lowest bit
// position in that byte (bits 8-15) and width in bits (bits 16-23).
struct FloatFormat {
  int32_t id;
  int32_t size;
  int32_t bias;
  int32_t exponent_count;
  uint32_t exponent[4];
  int32_t mantissa_count;
  uint32_t mantissa[32];
  uint32_t sign;
};

extern const FloatFormat kNativeFloat, kWireFloat, kNativeDouble, kWireDouble;

// Converts one value in place from one representation to the other.
void convert_float(const FloatFormat& from, const FloatFormat& to, uint8_t* value);
// Whether the native values of a float or double array are already in the
// wire's form (the conversion below then leaves them as they are).
bool float_array_is_wire_form(uint32_t kind);
// Every element of a float (4-byte) or double (8-byte) array, native to wire or back.
void convert_float_array(uint32_t kind, uint8_t* data, size_t length, bool to_wire);

}  // namespace kyrpc

#endif
