// Fuzz target: the client's reply reader. A fixed handshake announces the fuzz table;
// the first input byte chooses the server's parameter list and the procedure, the
// rest is the server's reply.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_common.h"

using namespace kyrpc;

namespace {

std::string handshake(uint8_t choice) {
  using test::frame;
  std::string s = frame(std::string("87FA9694", 9)) + frame(std::string("1:0:1999-1014-0000000001", 25)) +
                  frame(fuzz::peer_params(choice)) + frame("A");
  auto table = fuzz::fuzz_table();
  for (size_t i = table.size() - 1; i-- > 0;) {
    std::string b = "B" + std::to_string(table.size() - 2 - i) + "!" + table[i].name + "!";
    for (const ArgumentDescriptor& a : table[i].args) {
      if (!a.flags) break;
      if (a.flags & RPC_ARG_RPC) continue;
      b += std::to_string(a.flags) + "!0!n!";
    }
    s += frame(b + std::string(1, '\0'));
  }
  return s + frame("C");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::quiet_trace();
  if (size < 1) return 0;
  test::HandlePtr h = test::make_handle(RPC_MODE_CLIENT, kOptionsSet);
  auto s = std::make_shared<test::MemoryStream>();
  h->alloc_cap = fuzz::kFuzzAllocCap;
  s->input = handshake(data[0] & 3) + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  if (connect_over(*h, std::make_unique<test::MemoryConnection>(s), 1, 0, fuzz::kProgram) != 0) return 0;
  switch ((data[0] >> 2) % 4) {
    case 0: {
      int16_t a = 0;
      int32_t b = 0;
      int64_t c = 0, d = 0, e = 0;
      void* p = nullptr;
      RPCExec(h.get(), "scalars", 1, 2, int64_t(3), int64_t(4), int64_t(5), static_cast<void*>(nullptr), &a, &b, &c, &d,
              &e, &p);
      break;
    }
    case 1: {
      char text[] = "abc";
      int64_t lens[4] = {1, 2, 3, 4};
      ArgumentDescriptor in[7] = {};
      in[0].size = RPC_LEN_NTS;
      in[0].value.ptr = text;
      in[4].size = sizeof lens;
      in[4].value.ptr = lens;
      ArgumentDescriptor out_desc{}, out_lens{};
      int64_t back[8];
      out_lens.size = sizeof back;
      out_lens.value.ptr = back;
      int16_t rc = 0;
      if (RPCExec(h.get(), "blocks", &in[0], &in[1], &in[2], &in[3], &in[4], &in[5], &in[6], &out_desc, &out_lens,
                  &rc) == 0 &&
          out_desc.size > 0)
        std::free(out_desc.value.ptr);
      break;
    }
    case 2: {
      int32_t i32 = 0;
      char buf[16];
      int64_t lens[4];
      wvarray in[] = {{&i32, 4, RPC_ARG_INT32}, {buf, 16, RPC_ARG_DESC}, {lens, 32, RPC_ARG_SQLLEN_ARRAY}};
      wvarray out[] = {{&i32, 4, RPC_ARG_INT32}, {buf, 16, RPC_ARG_DESC}, {lens, 32, RPC_ARG_SQLLEN_ARRAY}};
      ArgumentDescriptor rin{}, rout{};
      rin.size = 3;
      rin.value.ptr = in;
      rout.size = 3;
      rout.value.ptr = out;
      int16_t rc = 0;
      RPCExec(h.get(), "rows", &rin, &rout, &rc);
      break;
    }
    default: {
      int32_t r = 0;
      RPCExec(h.get(), "handle", &r);
      break;
    }
  }
  return 0;
}
