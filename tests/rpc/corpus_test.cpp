// The fuzz seeds are well-formed exchanges: every serve seed is served to the end of
// its input, the good handshake seeds connect, every reply seed completes its call.
// A change of the wire that leaves the seeds behind fails here, not silently.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "fuzz/fuzz_common.h"

namespace kyrpc::test {
namespace {

std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::filesystem::path corpus(const char* name) {
  return std::filesystem::path(KYRPC_CORPUS_DIR) / name;
}

TEST(FuzzSeeds, ServeSeedsAreServedToTheEnd) {
  static const std::vector<FunctionDescriptor> table = fuzz::fuzz_table();
  for (const auto& e : std::filesystem::directory_iterator(corpus("serve"))) {
    SCOPED_TRACE(e.path().filename().string());
    std::string seed = read_file(e.path());
    HandlePtr h = make_handle(RPC_MODE_SERVER, kOptionsSet);
    RPCExport(h.get(), table.data());
    auto s = std::make_shared<MemoryStream>();
    s->input = frame(fuzz::peer_params(uint8_t(seed[0]))) + seed.substr(1);
    ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, fuzz::kProgram), 0);
    size_t before = split_frames(s->output).size();
    RPCRun(h.get());
    EXPECT_EQ(RPCReportError(h.get(), nullptr), RPC_ERR_TRANSPORT);
    EXPECT_EQ(s->read_pos, s->input.size());
    EXPECT_GT(split_frames(s->output).size(), before);
  }
}

TEST(FuzzSeeds, GoodHandshakesConnect) {
  for (const char* name : {"good", "narrow", "swapped"}) {
    SCOPED_TRACE(name);
    HandlePtr h = make_handle(RPC_MODE_CLIENT, kOptionsSet);
    auto s = std::make_shared<MemoryStream>();
    s->input = read_file(corpus("handshake") / name);
    EXPECT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, fuzz::kProgram), 0);
    EXPECT_EQ(RPCFuncExists(h.get(), "blocks"), 1);
  }
}

}  // namespace
}  // namespace kyrpc::test
