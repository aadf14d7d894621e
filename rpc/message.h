// Message buffers and argument marshalling. A message is built in the handle's
// outgoing buffer and leaves in frames of at most its capacity; it is read from the
// incoming buffer, which is refilled one frame at a time. Every failure throws
// RpcFailure with its code; the exported function that runs the exchange catches it.
#ifndef KYRPC_MESSAGE_H
#define KYRPC_MESSAGE_H

#include <cstddef>
#include <cstdint>

#include "handle.h"

namespace kyrpc {

// ---- Frames and buffers ----
void start_message(RpcHandle& h);  // 'D'
void flush(RpcHandle& h);          // the message's last frame
void hold_message(RpcHandle& h);   // the last frame of a message that leaves with later ones
void send_held(RpcHandle& h);      // sends what hold_message kept back
void put_scalar_bytes(RpcHandle& h, const void* p, size_t n);  // never split over frames
void put_bytes(RpcHandle& h, const void* p, size_t n);
void begin_read(RpcHandle& h);  // refill, expect 'D'
void get_scalar_bytes(RpcHandle& h, void* p, size_t n);
void get_bytes(RpcHandle& h, void* p, size_t n);

// ---- Scalars (the sender converts byte order and narrows) ----
void put_byte(RpcHandle& h, uint8_t v);
void put_i16(RpcHandle& h, int16_t v);
void put_i32(RpcHandle& h, int32_t v);
void put_i64(RpcHandle& h, int64_t v);
void put_sqllen(RpcHandle& h, int64_t v);
void put_sqlulen(RpcHandle& h, uint64_t v);
void put_pointer(RpcHandle& h, void* p);
uint8_t get_byte(RpcHandle& h);
int16_t get_i16(RpcHandle& h);
int32_t get_i32(RpcHandle& h);
int64_t get_i64(RpcHandle& h);
int64_t get_sqllen(RpcHandle& h);
uint64_t get_sqlulen(RpcHandle& h);
void* get_pointer(RpcHandle& h);

// Writes one scalar of the given kind from an 8-byte value slot; reads one into it.
void put_scalar(RpcHandle& h, uint32_t kind, const RpcValue& v);
void get_scalar(RpcHandle& h, uint32_t kind, RpcValue* v);

// ---- Blocks ----
bool is_scalar_kind(uint32_t kind);
bool is_buffer_kind(uint32_t kind);  // blocks, arrays, number text (not wvarray)
// The single kind bit of a flags word, or 0 when there is none or more than one.
uint32_t kind_of(uint32_t flags);
// True when the array kind travels narrowed (sqllen/sqlulen arrays to a narrow peer).
bool narrowed(const RpcHandle& h, uint32_t kind);

// Writes a block of the given kind; length < 1 sends no bytes.
void put_block(RpcHandle& h, uint32_t kind, const void* data, int32_t length);

struct BlockHeader {
  int32_t length = 0;      // L as received
  int32_t compressed = 0;  // C, 0 when the bytes travel raw
  // Bytes the data takes in memory (2L for a narrowed array), 0 when L < 1.
  size_t stored = 0;
};
BlockHeader get_block_header(RpcHandle& h, uint32_t kind);
// Reads the block's bytes into dest, which holds at least header.stored bytes.
void get_block_data(RpcHandle& h, uint32_t kind, const BlockHeader& header, void* dest);
// Reads the block's bytes into new zero-filled storage (malloc'd; null when no data),
// counted against the call's allocation ceiling and grown as the bytes arrive.
void* get_block_alloc(RpcHandle& h, uint32_t kind, const BlockHeader& header);

// Storage counted against the call's allocation ceiling (code 3 past it),
// zero-filled unless the caller fills what it sends.
void* alloc_counted(RpcHandle& h, uint64_t size, bool zeroed = true);
void charge(RpcHandle& h, uint64_t size);

}  // namespace kyrpc

#endif
