// Row arrays: writers in full and header form, the allocating server reader and the
// client reply reader. Element codes are checked against the table before use.
#include "wvarray.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "capability.h"
#include "errors.h"
#include "message.h"
#include "trace.h"

namespace kyrpc {
namespace {

size_t scalar_width(uint32_t kind) {
  switch (kind) {
    case RPC_ARG_INT16: return 2;
    case RPC_ARG_INT32: return 4;
    case RPC_ARG_INT64:
    case RPC_ARG_SQLLEN:
    case RPC_ARG_SQLULEN:
    case RPC_ARG_PTR: return 8;
    default: return 0;
  }
}

// At most this much is set aside at once for a reply's row array.
constexpr size_t kPendingRoom = size_t(1) << 16;
// A pending area larger than this is given back after the call.
constexpr size_t kKeptPendingMax = size_t(8) << 20;

bool is_float_kind(uint32_t kind) { return kind == RPC_ARG_FLOAT_ARRAY || kind == RPC_ARG_DOUBLE_ARRAY; }

void put_element_value(RpcHandle& h, const wvarray& e, uint32_t kind) {
  RpcValue v{};
  if (kind == RPC_ARG_PTR) {
    if (e.iovec_base) std::memcpy(&v.ptr, e.iovec_base, sizeof v.ptr);
    put_pointer(h, v.ptr);
  } else if (size_t w = scalar_width(kind)) {
    if (e.iovec_base) std::memcpy(&v, e.iovec_base, w);
    put_scalar(h, kind, v);
  } else if (is_float_kind(kind) && float_array_is_wire_form(kind)) {
    put_block(h, RPC_ARG_DESC, e.iovec_base, e.iovec_base ? e.iovec_len : 0);
  } else if (is_float_kind(kind)) {
    // The converter works on a copy: the caller's values stay as they are.
    size_t n = e.iovec_len > 0 ? size_t(e.iovec_len) : 0;
    std::vector<uint8_t> copy(n);
    if (n && e.iovec_base) std::memcpy(copy.data(), e.iovec_base, n);
    convert_float_array(kind, copy.data(), n, true);
    put_block(h, RPC_ARG_DESC, e.iovec_base ? copy.data() : nullptr, e.iovec_base ? e.iovec_len : 0);
  } else {
    put_block(h, kind, e.iovec_base, e.iovec_len);
  }
}

}  // namespace

int64_t wv_kind_of_code(int code) {
  if (code == 0) return 0;
  if ((code >= 1 && code <= 7) || (code >= 13 && code <= 19)) return int64_t(1) << (code - 1);
  return -1;
}

int wv_code_of_kind(uint32_t kind) {
  if (kind == 0) return 0;
  for (int code = 1; code <= 19; ++code)
    if (wv_kind_of_code(code) == int64_t(kind)) return code;
  return -1;
}

void put_wvarray_full(RpcHandle& h, const wvarray* elems, int32_t count) {
  if (count < 0 || (count > 0 && elems == nullptr)) fail(RPC_ERR_BADARG);
  put_i32(h, count);
  trace_line(h, "pushing int32 %s : %d\n", "wvarray_elems", count);
  for (int32_t i = 0; i < count; ++i) {
    int code = wv_code_of_kind(uint32_t(elems[i].iovec_type));
    if (code < 0) fail(RPC_ERR_BADARG);
    put_byte(h, uint8_t(code));
    if (code != 0) put_element_value(h, elems[i], uint32_t(elems[i].iovec_type));
  }
}

void put_wvarray_header(RpcHandle& h, const wvarray* elems, int32_t count) {
  if (count < 0 || (count > 0 && elems == nullptr)) fail(RPC_ERR_BADARG);
  put_i32(h, count);
  for (int32_t i = 0; i < count; ++i) {
    uint32_t kind = uint32_t(elems[i].iovec_type);
    int code = wv_code_of_kind(kind);
    if (code < 0) fail(RPC_ERR_BADARG);
    if (kind == RPC_ARG_PTR) {
      put_byte(h, uint8_t(code));
    } else if (scalar_width(kind)) {
      put_byte(h, elems[i].iovec_base ? uint8_t(code) : 0);
    } else if (code == 0) {
      put_byte(h, 0);
    } else {
      put_byte(h, uint8_t(code));
      int32_t len = elems[i].iovec_len < 0 ? 0 : elems[i].iovec_len;
      if (narrowed(h, kind)) len /= 2;
      put_i32(h, len);
    }
  }
}

void free_wvarray(wvarray* elems, int32_t count) {
  if (elems == nullptr) return;
  for (int32_t i = 0; i < count; ++i) std::free(elems[i].iovec_base);
  std::free(elems);
}

wvarray* get_wvarray_server(RpcHandle& h, bool header_only, int32_t* count_out, std::vector<size_t>* allocated) {
  int32_t count = get_i32(h);
  if (count < 0) fail(RPC_ERR_BADFUNC);
  // Elements are collected as they arrive: a count alone allocates nothing.
  std::vector<wvarray> elems;
  std::vector<size_t> sizes;
  // Room for the usual row arrays at once, bounded whatever the count says.
  elems.reserve(size_t(std::min<int32_t>(count, 64)));
  sizes.reserve(size_t(std::min<int32_t>(count, 64)));
  auto release = [&] {
    for (wvarray& e : elems) std::free(e.iovec_base);
  };
  try {
    for (int32_t i = 0; i < count; ++i) {
      int code = get_byte(h);
      int64_t kind64 = wv_kind_of_code(code);
      if (kind64 < 0) fail(RPC_ERR_BADFUNC);
      uint32_t kind = uint32_t(kind64);
      charge(h, sizeof(wvarray));
      wvarray e{nullptr, 0, int32_t(kind)};
      size_t size = 0;
      elems.push_back(e);
      sizes.push_back(0);
      wvarray& cur = elems.back();
      if (kind == 0) continue;
      if (size_t w = scalar_width(kind)) {
        cur.iovec_base = alloc_counted(h, w);
        size = w;
        cur.iovec_len = int32_t(w);
        if (!header_only) {
          RpcValue v{};
          get_scalar(h, kind, &v);
          std::memcpy(cur.iovec_base, &v, w);
        }
      } else if (header_only) {
        int32_t len = get_i32(h);
        if (len > 0) {
          size = narrowed(h, kind) ? 2 * size_t(len) : size_t(len);
          cur.iovec_base = alloc_counted(h, size);
          cur.iovec_len = int32_t(std::min<size_t>(size, INT32_MAX));
        }
      } else {
        uint32_t block_kind = is_float_kind(kind) ? RPC_ARG_DESC : kind;
        BlockHeader b = get_block_header(h, block_kind);
        cur.iovec_base = get_block_alloc(h, block_kind, b);
        size = b.stored;
        cur.iovec_len = int32_t(std::min<size_t>(b.stored, INT32_MAX));
        if (is_float_kind(kind)) convert_float_array(kind, static_cast<uint8_t*>(cur.iovec_base), size, false);
      }
      sizes.back() = size;
    }
  } catch (...) {
    release();
    throw;
  }
  *count_out = count;
  if (count == 0) {
    allocated->clear();
    return nullptr;
  }
  wvarray* out = static_cast<wvarray*>(std::calloc(size_t(count), sizeof(wvarray)));
  if (out == nullptr) {
    release();
    fail(RPC_ERR_NOMEM);
  }
  std::memcpy(out, elems.data(), size_t(count) * sizeof(wvarray));
  *allocated = std::move(sizes);
  return out;
}

void get_wvarray_client(RpcHandle& h, wvarray* elems, int32_t count) {
  int32_t received = get_i32(h);
  if (received != count) fail(RPC_ERR_TRUNC);
  struct Pending {
    int code = 0;
    size_t offset = 0;  // in bytes
    int32_t length = 0;
  };
  // Read everything first; the caller's storage is written only when all fits.
  // The values wait in the handle's pending area, which grows with what
  // arrives (bounded by the caller's capacities, checked per element).
  std::vector<Pending> pending(size_t(count > 0 ? count : 0));
  size_t used = 0;
  auto room_for = [&](size_t more) {
    const size_t want = used + more;
    if (want <= h.wv_pending_capacity) return;
    size_t grown = std::max<size_t>(h.wv_pending_capacity * 2, kPendingRoom);
    while (grown < want) grown *= 2;
    std::unique_ptr<uint8_t[]> bigger(new uint8_t[grown]);
    if (used > 0) std::memcpy(bigger.get(), h.wv_pending.get(), used);
    h.wv_pending = std::move(bigger);
    h.wv_pending_capacity = grown;
  };
  for (int32_t i = 0; i < count; ++i) {
    Pending& p = pending[size_t(i)];
    p.code = get_byte(h);
    int64_t kind64 = wv_kind_of_code(p.code);
    if (kind64 < 0) fail(RPC_ERR_FUNCFAIL);
    uint32_t kind = uint32_t(kind64);
    const wvarray& e = elems[i];
    if (kind != 0 && kind != uint32_t(e.iovec_type)) fail(RPC_ERR_TRUNC);
    if (kind == 0) continue;
    p.offset = used;
    if (size_t w = scalar_width(kind)) {
      RpcValue v{};
      get_scalar(h, kind, &v);
      if ((kind == RPC_ARG_INT16 || kind == RPC_ARG_INT32) && e.iovec_base == nullptr) fail(RPC_ERR_TRUNC);
      room_for(w);
      std::memcpy(h.wv_pending.get() + used, &v, w);
      used += w;
      p.length = int32_t(w);
    } else {
      uint32_t block_kind = is_float_kind(kind) ? RPC_ARG_DESC : kind;
      BlockHeader b = get_block_header(h, block_kind);
      if (b.stored > 0 && (e.iovec_base == nullptr || e.iovec_len < 0 || b.stored > size_t(e.iovec_len)))
        fail(RPC_ERR_TRUNC);
      room_for(b.stored);
      get_block_data(h, block_kind, b, h.wv_pending.get() + p.offset);
      if (is_float_kind(kind)) convert_float_array(kind, h.wv_pending.get() + p.offset, b.stored, false);
      used += b.stored;
      p.length = int32_t(b.stored);
    }
  }
  const uint8_t* bytes = h.wv_pending.get();
  for (int32_t i = 0; i < count; ++i) {
    Pending& p = pending[size_t(i)];
    wvarray& e = elems[i];
    if (p.code == 0) {
      e.iovec_len = 0;
      continue;
    }
    if (p.length > 0 && e.iovec_base) std::memcpy(e.iovec_base, bytes + p.offset, size_t(p.length));
    e.iovec_len = p.length;
  }
  if (h.wv_pending_capacity > kKeptPendingMax) {
    h.wv_pending.reset();
    h.wv_pending_capacity = 0;
  }
}

}  // namespace kyrpc
