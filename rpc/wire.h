// Wire layouts of the RPC protocol, in one place.
//
// Frame:     u32 payload length (big-endian), payload. A length of 0xFFFFFFFF
//            announces a refusal text (up to 512 bytes) instead of a payload.
//            Payloads never exceed 4096 bytes.
// Message:   'D', int16 ordinal, then the arguments in the procedure's order; a
//            message spans as many frames as it needs, a scalar never spans two.
// Scalars:   int16/int32/int64/sqllen/sqlulen in the receiver's byte order (the
//            sender swaps); pointers as 8 raw bytes, or as a table index / key of
//            the peer's pointer width toward a narrow-pointer peer.
// Block:     int32 L, [int32 C when compression is on and 500 <= L <= 32768],
//            then C LZO1X-1 bytes or L raw bytes.
// Handshake: magic "87FA9694\0", "%ld:%ld:%s\0" (version, minor, program id),
//            parameter lists "%02d:%s^"..., then 'A', one "B%hd!%s!" + "%d!%ld!%s!"
//            frame per procedure, 'C'.
#ifndef KYRPC_WIRE_H
#define KYRPC_WIRE_H

#include <cstddef>
#include <cstdint>

namespace kyrpc {

inline constexpr size_t kFrameCapacity = 4096;
inline constexpr size_t kVmsCapacity = 1024;
inline constexpr uint32_t kRefusalLength = 0xFFFFFFFFu;
inline constexpr size_t kRefusalTextMax = 512;
inline constexpr uint8_t kStartByte = 'D';

inline constexpr size_t kCompressMin = 500;
inline constexpr size_t kCompressMax = 32768;
inline constexpr size_t kCompressedMax = 33299;  // receiver's staging area
// liblzo2's documented worst case for LZO1X-1 output.
inline constexpr size_t kCompressStaging = kCompressMax + kCompressMax / 16 + 64 + 3;

// Ceiling for what a peer may make us allocate: one argument, and one call in all.
inline constexpr uint64_t kAllocCap = 256ull << 20;
// Narrow-pointer key table of a client.
inline constexpr size_t kPointerTableCap = 1u << 20;
inline constexpr size_t kMaxProcedures = 65536;

inline constexpr const char* kMagicText = "87FA9694";
inline constexpr size_t kHandshakeCapacity = 256;
inline constexpr size_t kProcedureFrameCapacity = 1024;
inline constexpr uint16_t kByteOrderMarker = 0x1199;

// Negotiated flag bits.
enum : uint32_t {
  kNegNarrowPointers = 0x1,
  kNegPointerWidthDiffers = 0x2,
  kNegTraceCalls = 0x4,
  kNegTraceArgs = 0x8,
  kNegPeerCompresses = 0x10,
  kNegCompression = 0x20,
  kNegSwapBytes = 0x40,
  kNegPeerChallenge = 0x80,
  kNegChallenge = 0x100,
  kNegSqllenWidthDiffers = 0x200,
  kNegNarrowSqllen = 0x400,
};

// Capability ids of the parameter lists.
enum : int {
  kParamSystemType = 1,
  kParamSystemInfo = 2,
  kParamProcessor = 3,
  kParamPointerSize = 4,
  kParamTracing = 5,
  kParamEndianess = 6,
  kParamCompression = 7,
  kParamChallenge = 8,
  kParamSqllenSize = 10,
};

}  // namespace kyrpc

#endif
