// Shared pieces of the RPC fuzz targets: a small procedure table that uses every
// argument kind, the peer parameter lists the first input byte chooses between, and
// a generic server stub that fills every out argument.
#ifndef KYRPC_FUZZ_COMMON_H
#define KYRPC_FUZZ_COMMON_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "kyrpc.h"
#include "memory_transport.h"
#include "test_util.h"

namespace kyrpc::fuzz {

constexpr const char* kProgram = "1999-1014-0000000001";
constexpr uint32_t IN = RPC_ARG_IN, OUT = RPC_ARG_OUT;
// Allocation bound of the fuzzed handles: the full bound only slows the search.
constexpr uint64_t kFuzzAllocCap = 4u << 20;

// Parameter lists a peer may announce: with compression, narrow, other byte order, plain.
inline std::string peer_params(uint8_t choice) {
  static const char* const lists[] = {"01:NT^04:8^07:1^10:8^", "04:4^10:4^07:1^", "06:\x11\x99^04:8^10:8^",
                                      "01:NT^04:8^10:8^"};
  return std::string(lists[choice % 4]) + std::string(1, '\0');
}

// Fills every out argument: scalars get a value, buffers keep their capacity and get
// bytes, row-array elements get bytes up to their length.
inline void generic_stub(ArgumentDescriptor* args) {
  for (ArgumentDescriptor* a = args; a < args + RPC_MAX_ARGS && a->flags; ++a) {
    if (!(a->flags & RPC_ARG_OUT)) continue;
    uint32_t kind = a->flags & RPC_ARG_KIND_MASK;
    if (kind == RPC_ARG_WVARRAY) {
      auto* e = static_cast<wvarray*>(a->value.ptr);
      for (int32_t i = 0; e && i < a->size; ++i)
        if (e[i].iovec_base && e[i].iovec_len > 0) std::memset(e[i].iovec_base, 0x5A, size_t(e[i].iovec_len));
    } else if (kind & RPC_ARG_BUFFER_KINDS) {
      if (a->value.ptr && a->size > 0) std::memset(a->value.ptr, 0x33, size_t(a->size));
    } else {
      a->value.i64 = 1;
    }
  }
}

// A peer may switch tracing on; the formatting runs, but the lines go nowhere.
inline void quiet_trace() {
  static const bool once = [] { return ::setenv("TMPDIR", "/nonexistent/kyrpc-fuzz", 1) == 0; }();
  (void)once;
}

inline std::vector<FunctionDescriptor> fuzz_table() {
  std::vector<FunctionDescriptor> t(5);
  auto set = [](FunctionDescriptor& fd, const char* name, std::initializer_list<uint32_t> flags) {
    fd.name = name;
    fd.handler = generic_stub;
    size_t i = 0;
    for (uint32_t f : flags) fd.args[i++].flags = f;
  };
  set(t[0], "scalars",
      {IN | RPC_ARG_INT16, IN | RPC_ARG_INT32, IN | RPC_ARG_INT64, IN | RPC_ARG_SQLLEN, IN | RPC_ARG_SQLULEN,
       IN | RPC_ARG_PTR, OUT | RPC_ARG_INT16, OUT | RPC_ARG_INT32, OUT | RPC_ARG_INT64, OUT | RPC_ARG_SQLLEN,
       OUT | RPC_ARG_SQLULEN, OUT | RPC_ARG_PTR});
  set(t[1], "blocks",
      {IN | RPC_ARG_DESC, IN | RPC_ARG_INT16_ARRAY, IN | RPC_ARG_INT32_ARRAY, IN | RPC_ARG_INT64_ARRAY,
       IN | RPC_ARG_SQLLEN_ARRAY, IN | RPC_ARG_SQLULEN_ARRAY, IN | RPC_ARG_REAL, OUT | RPC_ARG_DESC,
       OUT | RPC_ARG_SQLLEN_ARRAY, OUT | RPC_ARG_INT16});
  set(t[2], "rows", {IN | RPC_ARG_WVARRAY, OUT | RPC_ARG_WVARRAY, OUT | RPC_ARG_INT16});
  set(t[3], "handle", {IN | RPC_ARG_RPC, OUT | RPC_ARG_INT32});
  return t;  // t[4] ends the table
}

}  // namespace kyrpc::fuzz

#endif
