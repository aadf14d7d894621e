// Fuzz target: the server's serving loop fed raw client bytes after a handshake.
// Input: one byte choosing the client's parameter list, then the client's frames.
#include <cstddef>
#include <cstdint>

#include "fuzz_common.h"

using namespace kyrpc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_trace();
  if (size < 1) return 0;
  static const std::vector<FunctionDescriptor> table = fuzz::fuzz_table();
  test::HandlePtr h = test::make_handle(RPC_MODE_SERVER, kOptionsSet);
  RPCExport(h.get(), table.data());
  h->alloc_cap = fuzz::kFuzzAllocCap;
  auto s = std::make_shared<test::MemoryStream>();
  s->input = test::frame(fuzz::peer_params(data[0])) + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  if (connect_over(*h, std::make_unique<test::MemoryConnection>(s), 1, 0, fuzz::kProgram) == 0) RPCRun(h.get());
  return 0;
}
