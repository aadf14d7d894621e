// The procedure table as a peer sees it: the export list a real server handle
// announces over loopback against an independently written fixture, the spare
// rows, and client stubs calling server stubs.
#include <cxxabi.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>
#include <typeinfo>
#include <string>
#include <vector>

#include "handlers.h"
#include "loopback.h"
#include "procedure_table.h"
#include "remote_stubs.h"
#include "scripted_table.h"
#include "server_stub.h"

namespace {

std::vector<std::string> fixture_lines() {
  const char* src = std::getenv("KYVEK_SOURCE_DIR");
  std::ifstream in(std::string(src ? src : ".") + "/tests/server/odbc/table/export_list.txt");
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) lines.push_back(l);
  return lines;
}

// Runs the client side of the handshake by hand and collects the 'B' frames.
std::vector<std::string> announced_procedures(int port) {
  int fd = kytest::connect_tcp(port);
  EXPECT_GE(fd, 0);
  std::string magic, version, params, frame;
  EXPECT_TRUE(kytest::read_frame(fd, &magic));
  EXPECT_EQ(magic, std::string("87FA9694", 9));
  EXPECT_TRUE(kytest::read_frame(fd, &version));
  EXPECT_EQ(version, std::string("1:0:" KY_RPC_PROGRAM_ID, sizeof("1:0:" KY_RPC_PROGRAM_ID)));
  EXPECT_TRUE(kytest::read_frame(fd, &params));
  EXPECT_TRUE(kytest::write_frame(fd, std::string("04:8^10:8^", 11)));
  EXPECT_TRUE(kytest::read_frame(fd, &frame));
  EXPECT_EQ(frame, "A");
  std::vector<std::string> procs;
  while (kytest::read_frame(fd, &frame) && frame != "C") {
    EXPECT_FALSE(frame.empty());
    EXPECT_EQ(frame.back(), '\0') << frame;
    procs.push_back(frame.substr(0, frame.find('\0')));
  }
  EXPECT_EQ(frame, "C");
  ::close(fd);
  return procs;
}

TEST(ProcedureTable, ExportListEqualsFixture) {
  std::vector<std::string> expected = fixture_lines();
  ASSERT_EQ(expected.size(), 147u);
  kytest::OneConnectionServer server(server_procedure_table);
  std::vector<std::string> got = announced_procedures(server.port());
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i]) << "ordinal " << i;
}

// The server's stub of server_get_info with a handler of the test's own.
int32_t test_server_get_info(int32_t type, int32_t* length, char* buffer) {
  if (type != 1) return -1;
  static const char kVersion[] = "2.4.03";
  int32_t n = std::min<int32_t>(*length, sizeof kVersion);
  std::memcpy(buffer, kVersion, static_cast<size_t>(n));
  *length = n;
  return n == sizeof kVersion ? 0 : 1;
}

class TableCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    table_.script<kyproc::rows::server_get_info, &test_server_get_info>();
    server_ = std::make_unique<kytest::OneConnectionServer>(table_.get());
    std::string why;
    client_ = server_->connect(&why);
    ASSERT_TRUE(client_) << why;
  }
  kytest::ScriptedTable table_;
  std::unique_ptr<kytest::OneConnectionServer> server_;
  kytest::ClientHandle client_;
};

// A function type as a C declaration named name.
template <class F>
std::string declaration(const char* name) {
  int status = 0;
  char* d = abi::__cxa_demangle(typeid(F).name(), nullptr, nullptr, &status);
  std::string s = d ? d : "";
  std::free(d);
  s = std::regex_replace(s, std::regex("unsigned long"), "SQLULEN");
  s = std::regex_replace(s, std::regex("\\blong\\b"), "SQLLEN");
  s = std::regex_replace(s, std::regex("\\bshort\\b"), "int16_t");
  s = std::regex_replace(s, std::regex("\\bint\\b"), "int32_t");
  s = std::regex_replace(s, std::regex(" ?\\*"), "*");
  s = std::regex_replace(s, std::regex("\\bchar const\\*"), "const char*");
  s = std::regex_replace(s, std::regex("\\bvoid const\\*"), "const void*");
  s = std::regex_replace(s, std::regex("\\b(int16_t|int32_t|SQLLEN|SQLULEN|float|double) const\\*"), "const $1*");
  size_t space = s.find(' ');
  return s.substr(0, space) + " " + name + s.substr(space + 1) + ";";
}

template <class R, class L>
struct ClientFnT;
template <class R, class... P>
struct ClientFnT<R, kyproc::TypeList<P...>> {
  using type = typename R::ResultType(RpcHandle*, P...);
};

std::vector<std::string> listed(const std::string& relative) {
  const char* src = std::getenv("KYVEK_SOURCE_DIR");
  std::ifstream in(std::string(src ? src : ".") + "/" + relative);
  std::vector<std::string> lines;
  for (std::string l; std::getline(in, l);)
    if (!l.empty() && l[0] != '#') lines.push_back(l);
  return lines;
}

// The two signature lists next to the sources are what peers read; they must
// say what the rows derive.
TEST(ProcedureTable, SignatureListsAreCurrent) {
  std::vector<std::string> handlers, stubs;
#define KY_SIG_client(name)                                                                                   \
  handlers.push_back(declaration<kyproc::HandlerFn<kyproc::rows::name>>(#name));                              \
  stubs.push_back(declaration<ClientFnT<kyproc::rows::name, kyproc::rows::name::ClientParams>::type>("remote" \
                                                                                                     "_" #name));
#define KY_SIG_server(name) handlers.push_back(declaration<kyproc::HandlerFn<kyproc::rows::name>>(#name));
#define KY_SIG_spare(name)
#define KY_SIG(name, role, ...) KY_SIG_##role(name)
  KY_PROCEDURE_LIST(KY_SIG)
#undef KY_SIG
  EXPECT_EQ(listed("server/odbc/handler_signatures.txt"), handlers);
  EXPECT_EQ(listed("client/common/remote_stub_signatures.txt"), stubs);
  if (::testing::Test::HasFailure()) {
    for (const auto& l : stubs) std::printf("%s\n", l.c_str());
  }
}

TEST_F(TableCalls, TheClientLibraryKnowsEveryAnnouncedProcedure) {
  for (const std::string& line : fixture_lines()) {
    std::string name = line.substr(line.find('!') + 1);
    name = name.substr(0, name.find('!'));
    EXPECT_EQ(RPCFuncExists(client_.get(), name.c_str()), 1) << name;
  }
  EXPECT_EQ(RPCFuncExists(client_.get(), "spare5"), 0);
}

TEST_F(TableCalls, ServerGetInfoThroughBothStubs) {
  char buf[32];
  std::memset(buf, 'x', sizeof buf);
  int32_t len = sizeof buf;
  EXPECT_EQ(remote_server_get_info(client_.get(), 1, &len, buf), 0);
  EXPECT_EQ(len, 7);
  EXPECT_STREQ(buf, "2.4.03");

  // A buffer too small for the text: the handler cuts, the client terminates.
  char small[4];
  len = sizeof small;
  EXPECT_EQ(remote_server_get_info(client_.get(), 1, &len, small), 1);
  EXPECT_EQ(len, 4);
  EXPECT_EQ(std::string(small, 4), "2.4.");

  len = sizeof buf;
  EXPECT_EQ(remote_server_get_info(client_.get(), 9, &len, buf), -1);
}

TEST_F(TableCalls, SparesAnswerErrorWithZeroedOutsAtCapacity) {
  int16_t rc = 0;
  std::vector<char> in(8, 'i');
  std::vector<char> out(16, '\x55');
  ArgumentDescriptor in_rec{}, out_rec{};
  in_rec.size = 8;
  in_rec.value.ptr = in.data();
  out_rec.size = 16;
  out_rec.value.ptr = out.data();
  ASSERT_EQ(RPCExec(client_.get(), "spare4", static_cast<void*>(nullptr), &in_rec, &out_rec, &rc), 0);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out_rec.size, 16);
  EXPECT_EQ(out, std::vector<char>(16, '\0'));
}

TEST_F(TableCalls, MissingHandlersAnswerError) {
  // The scripted table serves no handler but the test's own.
  EXPECT_EQ(remote_sql_fetch(client_.get(), reinterpret_cast<void*>(0x10)), -1);
  EXPECT_EQ(remote_authenticate(client_.get(), "user", "pw"), -1);
  SQLLEN rows = 77;
  EXPECT_EQ(remote_sql_row_count(client_.get(), nullptr, &rows), -1);
  EXPECT_EQ(rows, 0);  // out scalars of an unanswered call go back as 0
}

TEST(ClientStubs, FailedCallGivesMinusOneAndWritesNothing) {
  RpcHandle* h = RPCAllocHandle();
  ASSERT_EQ(RPCInitialise(h, RPC_MODE_CLIENT, 0), 0);
  char buf[8] = "keep";
  int32_t len = sizeof buf;
  EXPECT_EQ(remote_server_get_info(h, 1, &len, buf), -1);  // 32-bit result too
  EXPECT_EQ(len, 8);
  EXPECT_STREQ(buf, "keep");
  EXPECT_EQ(remote_sql_fetch(h, nullptr), -1);
  RPCTerminate(h);
  RPCFreeHandle(h);
}

}  // namespace
