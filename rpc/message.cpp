// Message buffers and the wire form of every argument kind: scalars, pointers
// (raw or through the narrow-pointer tables), blocks with byte swapping, narrowing
// and LZO1X-1 compression. Readers never swap: the sender writes in the receiver's
// byte order. Nothing a peer sends is trusted: lengths are checked before use.
#include "message.h"

#include <lzo/lzo1x.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "errors.h"
#include "trace.h"

namespace kyrpc {
namespace {

uint16_t bswap(uint16_t v) { return __builtin_bswap16(v); }
uint32_t bswap(uint32_t v) { return __builtin_bswap32(v); }
uint64_t bswap(uint64_t v) { return __builtin_bswap64(v); }

bool lzo_ready() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = lzo_init() == LZO_E_OK; });
  return ok;
}

void prepare_compression(RpcHandle& h) {
  if (!lzo_ready()) fail(RPC_ERR_DECOMP);
  if (h.lzo_work.empty()) {
    h.lzo_work.resize(LZO1X_1_MEM_COMPRESS);
    h.in_staging.resize(kCompressedMax);
    h.out_staging.resize(kCompressStaging);
  }
}

bool compression_applies(const RpcHandle& h, int64_t length) {
  return h.flag(kNegCompression) && length >= int64_t(kCompressMin) && length <= int64_t(kCompressMax);
}

size_t element_width(uint32_t kind) {
  switch (kind) {
    case RPC_ARG_INT16_ARRAY: return 2;
    case RPC_ARG_INT32_ARRAY: return 4;
    case RPC_ARG_INT64_ARRAY:
    case RPC_ARG_SQLLEN_ARRAY:
    case RPC_ARG_SQLULEN_ARRAY: return 8;
    default: return 0;  // bytes, number text, float and double arrays: never swapped
  }
}

void swap_elements(uint8_t* p, size_t length, size_t width) {
  for (size_t off = 0; off + width <= length; off += width) {
    if (width == 2) {
      uint16_t v;
      std::memcpy(&v, p + off, 2);
      v = bswap(v);
      std::memcpy(p + off, &v, 2);
    } else if (width == 4) {
      uint32_t v;
      std::memcpy(&v, p + off, 4);
      v = bswap(v);
      std::memcpy(p + off, &v, 4);
    } else {
      uint64_t v;
      std::memcpy(&v, p + off, 8);
      v = bswap(v);
      std::memcpy(p + off, &v, 8);
    }
  }
}

int32_t clamp_sqllen(int64_t v) {
  if (v > INT32_MAX) return INT32_MAX;
  if (v < INT32_MIN) return INT32_MIN;
  return int32_t(v);
}
uint32_t clamp_sqlulen(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(v); }

void put_le(RpcHandle& h, uint64_t v, int width) {
  uint8_t b[8];
  for (int i = 0; i < width; ++i) b[i] = uint8_t(v >> (8 * i));
  put_scalar_bytes(h, b, size_t(width));
}

uint64_t get_le(RpcHandle& h, int width) {
  uint8_t b[8];
  get_scalar_bytes(h, b, size_t(width));
  uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= uint64_t(b[i]) << (8 * i);
  return v;
}

void refill(RpcHandle& h) {
  h.in_available = 0;
  h.in_cursor = 0;
  size_t length = 0;
  if (!h.connection || !h.connection->receive(h.in_buf, sizeof h.in_buf, &length)) fail(RPC_ERR_TRANSPORT);
  if (length > sizeof h.in_buf) fail(RPC_ERR_TRANSPORT);
  if (length == 0) fail(RPC_ERR_EPKT);
  h.in_available = length;
}

}  // namespace

// ---- Frames and buffers ----

void start_message(RpcHandle& h) {
  h.out_used = 1;
  h.out_buf[0] = kStartByte;
}

namespace {

// Sends the buffered bytes as one frame; more tells that the message goes on.
// A server's finished reply is kept back too while the next call has arrived
// already: it leaves with that call's reply, or before the server waits.
void send_buffered(RpcHandle& h, bool more) {
  if (h.out_used == 0) return;
  size_t n = h.out_used;
  h.out_used = 0;
  if (!h.connection) fail(RPC_ERR_TRANSPORT);
  const bool keep = more || (h.is_server() && h.connection->input_buffered());
  if (!h.connection->send(h.out_buf, n, keep)) fail(RPC_ERR_TRANSPORT);
}

}  // namespace

void flush(RpcHandle& h) { send_buffered(h, false); }

void hold_message(RpcHandle& h) { send_buffered(h, true); }

void send_held(RpcHandle& h) {
  if (!h.connection || !h.connection->send_held()) fail(RPC_ERR_TRANSPORT);
}

void put_scalar_bytes(RpcHandle& h, const void* p, size_t n) {
  if (h.out_used + n >= h.out_capacity) send_buffered(h, true);
  std::memcpy(h.out_buf + h.out_used, p, n);
  h.out_used += n;
}

void put_bytes(RpcHandle& h, const void* p, size_t n) {
  const uint8_t* src = static_cast<const uint8_t*>(p);
  while (n > 0) {
    if (h.out_used >= h.out_capacity) send_buffered(h, true);
    size_t chunk = std::min(n, h.out_capacity - h.out_used);
    std::memcpy(h.out_buf + h.out_used, src, chunk);
    h.out_used += chunk;
    src += chunk;
    n -= chunk;
  }
}

void begin_read(RpcHandle& h) {
  refill(h);
  if (h.in_buf[0] != kStartByte) fail(RPC_ERR_BADSTR);
  h.in_cursor = 1;
}

void get_scalar_bytes(RpcHandle& h, void* p, size_t n) {
  if (h.in_available - h.in_cursor < n) {
    refill(h);
    // A scalar never spans two frames: a frame too short for it is malformed.
    if (h.in_available < n) fail(RPC_ERR_SRTPKT);
  }
  std::memcpy(p, h.in_buf + h.in_cursor, n);
  h.in_cursor += n;
}

void get_bytes(RpcHandle& h, void* p, size_t n) {
  uint8_t* dst = static_cast<uint8_t*>(p);
  while (n > 0) {
    if (h.in_cursor >= h.in_available) refill(h);
    size_t chunk = std::min(n, h.in_available - h.in_cursor);
    std::memcpy(dst, h.in_buf + h.in_cursor, chunk);
    h.in_cursor += chunk;
    dst += chunk;
    n -= chunk;
  }
}

// ---- Scalars ----

void put_byte(RpcHandle& h, uint8_t v) { put_scalar_bytes(h, &v, 1); }

void put_i16(RpcHandle& h, int16_t v) {
  uint16_t u = uint16_t(v);
  if (h.flag(kNegSwapBytes)) u = bswap(u);
  put_scalar_bytes(h, &u, 2);
}

void put_i32(RpcHandle& h, int32_t v) {
  uint32_t u = uint32_t(v);
  if (h.flag(kNegSwapBytes)) u = bswap(u);
  put_scalar_bytes(h, &u, 4);
}

void put_i64(RpcHandle& h, int64_t v) {
  uint64_t u = uint64_t(v);
  if (h.flag(kNegSwapBytes)) u = bswap(u);
  put_scalar_bytes(h, &u, 8);
}

void put_sqllen(RpcHandle& h, int64_t v) {
  if (h.flag(kNegNarrowSqllen))
    put_i32(h, clamp_sqllen(v));
  else
    put_i64(h, v);
}

void put_sqlulen(RpcHandle& h, uint64_t v) {
  if (h.flag(kNegNarrowSqllen))
    put_i32(h, int32_t(clamp_sqlulen(v)));
  else
    put_i64(h, int64_t(v));
}

void put_pointer(RpcHandle& h, void* p) {
  if (!h.flag(kNegNarrowPointers)) {
    put_scalar_bytes(h, &p, sizeof p);
    return;
  }
  uint64_t value = 0;
  if (h.is_server()) {
    // The client holds indexes into our table; null is entry 0.
    size_t i = 0;
    for (; i < h.pointer_table.size(); ++i)
      if (h.pointer_table[i] == p) break;
    if (i == h.pointer_table.size()) {
      if (h.pointer_table.size() >= kPointerTableCap) fail(RPC_ERR_TBLFULL);
      h.pointer_table.push_back(p);
    }
    value = i;
  } else if (p != nullptr) {
    // A client's handle is the address of the entry holding the server's key.
    bool found = false;
    for (const uint64_t& key : h.client_keys) {
      if (&key == p) {
        value = key;
        found = true;
        break;
      }
    }
    if (!found) fail(RPC_ERR_HMARSHAL);
  }
  put_le(h, value, h.peer_pointer_width);
}

uint8_t get_byte(RpcHandle& h) {
  uint8_t v;
  get_scalar_bytes(h, &v, 1);
  return v;
}

int16_t get_i16(RpcHandle& h) {
  int16_t v;
  get_scalar_bytes(h, &v, 2);
  return v;
}

int32_t get_i32(RpcHandle& h) {
  int32_t v;
  get_scalar_bytes(h, &v, 4);
  return v;
}

int64_t get_i64(RpcHandle& h) {
  int64_t v;
  get_scalar_bytes(h, &v, 8);
  return v;
}

int64_t get_sqllen(RpcHandle& h) { return h.flag(kNegNarrowSqllen) ? int64_t(get_i32(h)) : get_i64(h); }

uint64_t get_sqlulen(RpcHandle& h) {
  return h.flag(kNegNarrowSqllen) ? uint64_t(uint32_t(get_i32(h))) : uint64_t(get_i64(h));
}

void* get_pointer(RpcHandle& h) {
  if (!h.flag(kNegNarrowPointers)) {
    void* p;
    get_scalar_bytes(h, &p, sizeof p);
    return p;
  }
  uint64_t value = get_le(h, h.peer_pointer_width);
  if (h.is_server()) {
    if (value >= h.pointer_table.size()) {
      trace_line(h, "Pointer marshalling error\n");
      trace_line(h, "...lookup with index %d, failed\n", int(value));
      fail(RPC_ERR_HMARSHAL);
    }
    return h.pointer_table[value];
  }
  if (value == 0) return nullptr;
  for (uint64_t& key : h.client_keys)
    if (key == value) return &key;
  if (h.client_keys.size() >= kPointerTableCap) {
    trace_line(h, "Pointer lookup table full\n");
    fail(RPC_ERR_TBLFULL);
  }
  h.client_keys.push_back(value);
  return &h.client_keys.back();
}

void put_scalar(RpcHandle& h, uint32_t kind, const RpcValue& v) {
  switch (kind) {
    case RPC_ARG_INT16: put_i16(h, v.i16); break;
    case RPC_ARG_INT32: put_i32(h, v.i32); break;
    case RPC_ARG_INT64: put_i64(h, v.i64); break;
    case RPC_ARG_SQLLEN: put_sqllen(h, v.i64); break;
    case RPC_ARG_SQLULEN: put_sqlulen(h, v.u64); break;
    case RPC_ARG_PTR: put_pointer(h, v.ptr); break;
    default: fail(RPC_ERR_BADFUNC);
  }
}

void get_scalar(RpcHandle& h, uint32_t kind, RpcValue* v) {
  v->u64 = 0;
  switch (kind) {
    case RPC_ARG_INT16: v->i16 = get_i16(h); break;
    case RPC_ARG_INT32: v->i32 = get_i32(h); break;
    case RPC_ARG_INT64: v->i64 = get_i64(h); break;
    case RPC_ARG_SQLLEN: v->i64 = get_sqllen(h); break;
    case RPC_ARG_SQLULEN: v->u64 = get_sqlulen(h); break;
    case RPC_ARG_PTR: v->ptr = get_pointer(h); break;
    default: fail(RPC_ERR_BADFUNC);
  }
}

// ---- Kinds ----

bool is_scalar_kind(uint32_t kind) {
  return kind == RPC_ARG_INT16 || kind == RPC_ARG_INT32 || kind == RPC_ARG_INT64 || kind == RPC_ARG_PTR ||
         kind == RPC_ARG_SQLLEN || kind == RPC_ARG_SQLULEN;
}

bool is_buffer_kind(uint32_t kind) {
  return kind != RPC_ARG_WVARRAY && (kind & RPC_ARG_BUFFER_KINDS) != 0 && (kind & (kind - 1)) == 0;
}

uint32_t kind_of(uint32_t flags) {
  uint32_t kind = flags & RPC_ARG_KIND_MASK;
  if (kind == 0 || (kind & (kind - 1)) != 0) return 0;
  return kind;
}

bool narrowed(const RpcHandle& h, uint32_t kind) {
  return h.flag(kNegNarrowSqllen) && (kind == RPC_ARG_SQLLEN_ARRAY || kind == RPC_ARG_SQLULEN_ARRAY);
}

// ---- Blocks ----

void put_block(RpcHandle& h, uint32_t kind, const void* data, int32_t length) {
  if (length < 1) {
    put_i32(h, length < 0 ? 0 : length);
    return;
  }
  if (data == nullptr) fail(RPC_ERR_BADARG);
  const uint8_t* src = static_cast<const uint8_t*>(data);
  size_t n = size_t(length);
  size_t width = element_width(kind);
  std::vector<uint8_t> copy;  // swapping and narrowing never touch the caller's storage
  if (narrowed(h, kind)) {
    size_t count = n / 8;
    copy.resize(count * 4);
    for (size_t i = 0; i < count; ++i) {
      uint64_t v;
      std::memcpy(&v, src + 8 * i, 8);
      uint32_t w = kind == RPC_ARG_SQLLEN_ARRAY ? uint32_t(clamp_sqllen(int64_t(v))) : clamp_sqlulen(v);
      std::memcpy(copy.data() + 4 * i, &w, 4);
    }
    src = copy.data();
    n = copy.size();
    width = 4;
  }
  if (h.flag(kNegSwapBytes) && width != 0) {
    if (copy.empty()) copy.assign(src, src + n);
    swap_elements(copy.data(), n, width);
    src = copy.data();
  }
  put_i32(h, int32_t(n));
  if (n == 0) return;
  if (compression_applies(h, int64_t(n))) {
    prepare_compression(h);
    lzo_uint out_len = h.out_staging.size();
    if (lzo1x_1_compress(src, n, h.out_staging.data(), &out_len, h.lzo_work.data()) != LZO_E_OK ||
        out_len > kCompressedMax)
      fail(RPC_ERR_DECOMP);  // the peer would refuse it; never sent
    put_i32(h, int32_t(out_len));
    put_bytes(h, h.out_staging.data(), out_len);
    return;
  }
  put_bytes(h, src, n);
}

BlockHeader get_block_header(RpcHandle& h, uint32_t kind) {
  BlockHeader b;
  b.length = get_i32(h);
  if (b.length < 1) return b;
  if (compression_applies(h, b.length)) {
    b.compressed = get_i32(h);
    if (b.compressed < 1 || b.compressed > int32_t(kCompressedMax)) fail(RPC_ERR_DECOMP);
  }
  b.stored = narrowed(h, kind) ? 2 * size_t(b.length) : size_t(b.length);
  return b;
}

namespace {

void widen(uint32_t kind, uint8_t* p, size_t narrow_length) {
  size_t count = narrow_length / 4;
  for (size_t i = count; i-- > 0;) {
    uint32_t w;
    std::memcpy(&w, p + 4 * i, 4);
    uint64_t v = kind == RPC_ARG_SQLLEN_ARRAY ? uint64_t(int64_t(int32_t(w))) : uint64_t(w);
    std::memcpy(p + 8 * i, &v, 8);
  }
}

void decompress_into(RpcHandle& h, const BlockHeader& b, uint8_t* dest) {
  prepare_compression(h);
  get_bytes(h, h.in_staging.data(), size_t(b.compressed));
  lzo_uint out_len = lzo_uint(b.length);
  int rc = lzo1x_decompress_safe(h.in_staging.data(), lzo_uint(b.compressed), dest, &out_len, nullptr);
  // Anything but exactly the declared length would hand on bytes nobody sent.
  if (rc != LZO_E_OK || out_len != lzo_uint(b.length)) fail(RPC_ERR_DECOMP);
}

}  // namespace

void get_block_data(RpcHandle& h, uint32_t kind, const BlockHeader& b, void* dest) {
  if (b.length < 1) return;
  uint8_t* d = static_cast<uint8_t*>(dest);
  if (b.compressed)
    decompress_into(h, b, d);
  else
    get_bytes(h, d, size_t(b.length));
  if (narrowed(h, kind)) widen(kind, d, size_t(b.length));
}

void charge(RpcHandle& h, uint64_t size) {
  if (size > h.alloc_cap || h.call_allocated + size > h.alloc_cap) fail(RPC_ERR_NOMEM);
  h.call_allocated += size;
}

void* alloc_counted(RpcHandle& h, uint64_t size, bool zeroed) {
  charge(h, size);
  void* p = zeroed ? std::calloc(1, size ? size : 1) : std::malloc(size ? size : 1);
  if (p == nullptr) fail(RPC_ERR_NOMEM);
  return p;
}

void* get_block_alloc(RpcHandle& h, uint32_t kind, const BlockHeader& b) {
  if (b.length < 1) return nullptr;
  charge(h, b.stored);
  if (b.compressed) {
    // At most 64 KiB, and the compressed bytes are already bounded.
    uint8_t* p = static_cast<uint8_t*>(std::calloc(1, b.stored));
    if (p == nullptr) fail(RPC_ERR_NOMEM);
    try {
      get_block_data(h, kind, b, p);
    } catch (...) {
      std::free(p);
      throw;
    }
    return p;
  }
  // Raw bytes: the storage grows with what actually arrives, so a declared length
  // alone never makes us allocate.
  size_t want = size_t(b.length);
  size_t cap = std::min<size_t>(b.stored, 64 * 1024);
  uint8_t* p = static_cast<uint8_t*>(std::calloc(1, cap));
  if (p == nullptr) fail(RPC_ERR_NOMEM);
  size_t done = 0;
  try {
    while (done < want) {
      if (done == cap) {
        size_t next = std::min(b.stored, cap * 2);
        uint8_t* q = static_cast<uint8_t*>(std::realloc(p, next));
        if (q == nullptr) fail(RPC_ERR_NOMEM);
        std::memset(q + cap, 0, next - cap);
        p = q;
        cap = next;
      }
      size_t chunk = std::min(want - done, cap - done);
      get_bytes(h, p + done, chunk);
      done += chunk;
    }
    if (cap < b.stored) {
      uint8_t* q = static_cast<uint8_t*>(std::realloc(p, b.stored));
      if (q == nullptr) fail(RPC_ERR_NOMEM);
      std::memset(q + cap, 0, b.stored - cap);
      p = q;
    }
  } catch (...) {
    std::free(p);
    throw;
  }
  if (narrowed(h, kind)) widen(kind, p, want);
  return p;
}

}  // namespace kyrpc
