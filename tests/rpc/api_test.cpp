// The exported handle operations: the state machine, error texts and small queries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "test_util.h"

namespace kyrpc::test {
namespace {

struct StateCase {
  const char* name;
  int start;  // 0, 1, 2 or 4
  std::function<int(RpcHandle*)> op;
  int result;
  int code;
  int end;  // -1: the handle is gone
};

HandlePtr handle_in(int state) {
  if (state == kConnected) return memory_handle(RPC_MODE_CLIENT, 0, std::make_shared<MemoryStream>());
  return make_handle(RPC_MODE_CLIENT, state);
}

int opts(RpcHandle* h, int index) { return RPCSetTransportOpts(h, index, "h", "1", 0, 0, 0, 0, 0); }
int enumerate(RpcHandle* h, int index) {
  const char *n = nullptr, *d = nullptr;
  return RPCEnumerateTransports(h, index, &n, &d);
}

TEST(RpcApi, StateMachine) {
  const StateCase cases[] = {
      {"init from 0", 0, [](RpcHandle* h) { return RPCInitialise(h, 1, 0); }, 0, 0, 1},
      {"init twice", 1, [](RpcHandle* h) { return RPCInitialise(h, 1, 0); }, 1, 2, 1},
      {"init bad mode", 0, [](RpcHandle* h) { return RPCInitialise(h, 2, 0); }, 1, 1, 0},
      {"opts in 0", 0, [](RpcHandle* h) { return opts(h, 1); }, 1, 2, 0},
      {"opts in 1", 1, [](RpcHandle* h) { return opts(h, 1); }, 0, 0, 2},
      {"opts bad index", 1, [](RpcHandle* h) { return opts(h, 3); }, 1, 6, 1},
      {"opts again in 2", 2, [](RpcHandle* h) { return opts(h, 2); }, 0, 0, 2},
      {"opts when connected", 4, [](RpcHandle* h) { return opts(h, 1); }, 1, 2, 4},
      {"lowl in 1", 1, [](RpcHandle* h) { return RPCSetLowLTransportOpts(h, 0); }, 1, 2, 1},
      {"lowl in 2", 2, [](RpcHandle* h) { return RPCSetLowLTransportOpts(h, 1, 9, "x"); }, 0, 0, 2},
      {"connect in 1", 1, [](RpcHandle* h) { return RPCConnect(h, 1, 0, "p"); }, 1, 2, 1},
      {"connect when connected", 4, [](RpcHandle* h) { return RPCConnect(h, 1, 0, "p"); }, 1, 2, 4},
      {"disconnect in 1", 1, [](RpcHandle* h) { return RPCDisconnect(h); }, 1, 2, 1},
      {"disconnect in 2", 2, [](RpcHandle* h) { return RPCDisconnect(h); }, 0, 0, 2},
      {"disconnect in 4", 4, [](RpcHandle* h) { return RPCDisconnect(h); }, 0, 0, 2},
      {"terminate in 0", 0, [](RpcHandle* h) { return RPCTerminate(h); }, 1, 2, 0},
      {"terminate in 1", 1, [](RpcHandle* h) { return RPCTerminate(h); }, 0, 0, 0},
      {"terminate in 2", 2, [](RpcHandle* h) { return RPCTerminate(h); }, 0, 0, 0},
      {"terminate in 4", 4, [](RpcHandle* h) { return RPCTerminate(h); }, 1, 2, 4},
      {"free in 1", 1, [](RpcHandle* h) { return RPCFreeHandle(h); }, 1, 2, 1},
      {"free in 4", 4, [](RpcHandle* h) { return RPCFreeHandle(h); }, 1, 2, 4},
      {"free in 0", 0, [](RpcHandle* h) { return RPCFreeHandle(h); }, 0, 0, -1},
      {"enumerate in 0", 0, [](RpcHandle* h) { return enumerate(h, 0); }, 1, 2, 0},
      {"enumerate first", 1, [](RpcHandle* h) { return enumerate(h, 0); }, 0, 0, 1},
      {"enumerate past end", 1, [](RpcHandle* h) { return enumerate(h, 3); }, 1, 5, 1},
      {"exec in 2", 2, [](RpcHandle* h) { return RPCExec(h, "x"); }, 1, 2, 2},
      {"run in 2", 2, [](RpcHandle* h) { return RPCRun(h); }, 1, 2, 2},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    HandlePtr h = handle_in(c.start);
    RpcHandle* raw = h.get();
    EXPECT_EQ(c.op(raw), c.result);
    if (c.end == -1) {
      (void)h.release();
      continue;
    }
    EXPECT_EQ(RPCReportError(raw, nullptr), c.code);
    EXPECT_EQ(raw->state, c.end);
  }
}

TEST(RpcApi, NullHandleQueries) {
  char buf[4];
  EXPECT_EQ(RPCIsConnected(nullptr), 0);
  EXPECT_EQ(RPCGetPrivatePtr(nullptr), nullptr);
  EXPECT_EQ(RPCLastRPC(nullptr, nullptr), -1);
  EXPECT_EQ(RPCGetInfo(nullptr, 1, buf, sizeof buf), -1);
  EXPECT_EQ(RPCExec(nullptr, "x"), 1);
}

TEST(RpcApi, ReportErrorFallbacks) {
  HandlePtr h = make_handle(RPC_MODE_CLIENT, kOptionsSet);
  const char* text = nullptr;
  struct {
    int code;
    const char* expected;
  } fixed[] = {
      {0, "RPC-NOERROR No error currently active"},    {13, "RPC-NONAME Function name not in dispatch table"},
      {28, "RPC-NOTRNAME, No transport anme located"}, {36, "RPC_PARAMS_TOO_BIG, RPC parameter string too long"},
      {37, "RPC-NOMSG, No message available"},         {-1, "RPC-NOMSG, No message available"}};
  for (const auto& c : fixed) {
    h->error_code = c.code;
    EXPECT_EQ(RPCReportError(h.get(), &text), c.code);
    EXPECT_STREQ(text, c.expected);
  }
  // Codes without a text of their own: handle text, connection, selection, fallback.
  for (int code : {7, 8, 9, 999}) {
    SCOPED_TRACE(code);
    h->error_code = code;
    h->error_text.reset();
    h->connection.reset();
    h->selection.reset();
    EXPECT_EQ(RPCReportError(h.get(), &text), code);
    EXPECT_STREQ(text, "unknown error");
    h->selection = std::make_unique<Selection>();
    std::strcpy(h->selection->message, "from selection");
    RPCReportError(h.get(), &text);
    EXPECT_STREQ(text, "from selection");
    auto stream = std::make_shared<MemoryStream>();
    h->connection = std::make_unique<MemoryConnection>(stream);
    size_t n = 0;
    uint8_t b[8];
    h->connection->receive(b, sizeof b, &n);  // leaves "Connection closed by peer"
    RPCReportError(h.get(), &text);
    EXPECT_STREQ(text, "Connection closed by peer");
    h->error_text = "kept";
    RPCReportError(h.get(), &text);
    EXPECT_STREQ(text, "kept");
  }
  h->connection.reset();
}

TEST(RpcApi, GetInfo) {
  HandlePtr h = make_handle(RPC_MODE_CLIENT, kOptionsSet);
  char buf[8];
  EXPECT_EQ(RPCGetInfo(h.get(), 3, buf, sizeof buf), -1);
  EXPECT_EQ(RPCGetInfo(h.get(), 1, buf, 1), -1);
  EXPECT_EQ(RPCGetInfo(h.get(), 1, buf, 2), 0);
  EXPECT_STREQ(buf, "N");
  h->negotiated = kNegSwapBytes;
  EXPECT_EQ(RPCGetInfo(h.get(), RPC_INFO_BYTE_ORDER, buf, 2), 0);
  EXPECT_STREQ(buf, "Y");
  for (int code : {7, 10, 11}) {
    h->error_code = code;
    EXPECT_EQ(RPCGetInfo(h.get(), RPC_INFO_NOT_RPC, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, code == 11 ? "N" : "Y");
  }
}

TEST(RpcApi, TransportsAndOptions) {
  HandlePtr h = make_handle(RPC_MODE_CLIENT, kInitialised);
  const char* expected[][2] = {{"*TTY Driver", "SYSV TTY interface"},
                               {"*BSD Driver", "BSD Sockets Interface"},
                               {"*Winsock Driver", "Windows Socket interface"}};
  for (int i = 0; i < 3; ++i) {
    const char *n = nullptr, *d = nullptr;
    ASSERT_EQ(RPCEnumerateTransports(h.get(), i, &n, &d), 0);
    EXPECT_STREQ(n, expected[i][0]);
    EXPECT_STREQ(d, expected[i][1]);
  }
  ASSERT_EQ(RPCSetTransportOpts(h.get(), 1, "host", "99", "u", nullptr, nullptr, "60", "5"), 0);
  EXPECT_EQ(*h->transport_opts[0], "host");
  EXPECT_FALSE(h->transport_opts[3].has_value());
  ASSERT_EQ(RPCSetLowLTransportOpts(h.get(), 3, 4, "2", 7, "skipped", 1, "100"), 0);
  EXPECT_EQ(*h->lowl_opts[3], "2");
  EXPECT_EQ(*h->lowl_opts[0], "100");
  // Setting the options again drops every earlier text, the low-level ones included.
  ASSERT_EQ(RPCSetTransportOpts(h.get(), 1, "other", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_FALSE(h->transport_opts[1].has_value());
  EXPECT_FALSE(h->lowl_opts[3].has_value());
  ASSERT_EQ(SetTracing(h.get(), std::string(80, 'c').c_str()), 0);
  EXPECT_EQ(std::strlen(h->tracing), 49u);
}

TEST(RpcApi, PrivatePointerAndTerminateFunction) {
  HandlePtr h = make_handle(RPC_MODE_SERVER, kInitialised);
  void* record = std::malloc(32);  // freed by the library (flag 0x1), ASan checks
  EXPECT_EQ(RPCRegisterPrivatePtr(h.get(), record, RPC_PRIVATE_FREE), 0);
  EXPECT_EQ(RPCGetPrivatePtr(h.get()), record);
  int calls = 0;
  RPCRegisterTerminateFn(
      h.get(), [](void* arg) { ++*static_cast<int*>(arg); }, &calls);
  EXPECT_EQ(RPCTerminate(h.get()), 0);
  EXPECT_EQ(calls, 1);
}

TEST(RpcApi, WinsockErrorTexts) {
  struct {
    int code;
    const char* text;
  } cases[] = {{10061, "Connection refused"},
               {10054, "Connection reset by peer"},
               {10044, "Socket type not supported"},
               {87, "One or more parameters are invlid"},
               {11002, "Non-authorative host not found"},
               {10092, "WINDOCK.DLL version out of range"},
               {10009, "Bad file number"},
               {12345, "error 12345     "},
               {-7, "error -7     "}};
  for (const auto& c : cases) EXPECT_STREQ(WSAErrorToText(c.code), c.text) << c.code;
}

}  // namespace
}  // namespace kyrpc::test
