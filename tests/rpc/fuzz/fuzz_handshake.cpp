// Fuzz target: the client's handshake fed raw server bytes.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

using namespace kyrpc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_trace();
  test::HandlePtr h = test::make_handle(RPC_MODE_CLIENT, kOptionsSet);
  auto s = std::make_shared<test::MemoryStream>();
  h->alloc_cap = fuzz::kFuzzAllocCap;
  s->input.assign(reinterpret_cast<const char*>(data), size);
  if (connect_over(*h, std::make_unique<test::MemoryConnection>(s), 1, 0, fuzz::kProgram) == 0) {
    RPCFuncExists(h.get(), "scalars");
    int16_t rc = 0;
    RPCExec(h.get(), "missing", &rc);
  }
  return 0;
}
