// A real server handle (accepted socket, Winsock transport) and a real client handle
// (BSD transport) on 127.0.0.1, calling a small table that uses every argument kind.
// The stubs show the server calling convention: __RPCextractarg walks the arguments,
// __RPCsetarg hands out-values back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kyrpc_server.h"
#include "test_util.h"
#include "trace.h"

namespace kyrpc::test {
namespace {

constexpr const char* kProgram = "1999-1014-0000000001";
constexpr uint32_t IN = RPC_ARG_IN, OUT = RPC_ARG_OUT;

FunctionDescriptor row(const char* name, RpcStubFn fn, std::initializer_list<uint32_t> flags) {
  FunctionDescriptor fd{};
  fd.name = name;
  fd.handler = fn;
  size_t i = 0;
  for (uint32_t f : flags) fd.args[i++].flags = f;
  return fd;
}

template <typename T>
T take(ArgumentDescriptor** cur) {
  return *static_cast<T*>(__RPCextractarg(cur));
}

// in int16, int32, int64, sqllen, sqlulen, ptr; the same six out; result int16.
void stub_scalars(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  int16_t a = take<int16_t>(&cur);
  int32_t b = take<int32_t>(&cur);
  int64_t c = take<int64_t>(&cur);
  int64_t d = take<int64_t>(&cur);
  uint64_t e = take<uint64_t>(&cur);
  void* p = take<void*>(&cur);
  __RPCsetarg(&cur, a + 1);
  __RPCsetarg(&cur, b + 1);
  __RPCsetarg(&cur, intptr_t(c + 1));
  __RPCsetarg(&cur, intptr_t(d - 1));
  __RPCsetarg(&cur, intptr_t(e + 1));
  __RPCsetarg(&cur, reinterpret_cast<intptr_t>(p));
  __RPCsetarg(&cur, 7);
}

constexpr uint32_t kBlockKinds[] = {RPC_ARG_DESC,        RPC_ARG_INT16_ARRAY,  RPC_ARG_INT32_ARRAY,
                                    RPC_ARG_INT64_ARRAY, RPC_ARG_SQLLEN_ARRAY, RPC_ARG_SQLULEN_ARRAY,
                                    RPC_ARG_REAL};
constexpr size_t kBlockCount = sizeof kBlockKinds / sizeof kBlockKinds[0];

// Seven in blocks, seven out blocks of the same kinds: each in block is copied out.
void stub_blocks(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  ArgumentDescriptor in[kBlockCount];
  for (auto& a : in) a = *static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
  for (auto& a : in) {
    ArgumentDescriptor out = *static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
    // Without room from the client, the stub hands over a buffer of its own.
    if (out.size < a.size) {
      out.value.ptr = std::malloc(size_t(std::max(a.size, 1)));
      out.size = a.size;
    }
    int32_t n = std::max(a.size, 0);
    if (n > 0) std::memcpy(out.value.ptr, a.value.ptr, size_t(n));
    out.size = n;
    cur--;  // back onto the out argument just read
    __RPCsetarg(&cur, reinterpret_cast<intptr_t>(&out));
  }
  __RPCsetarg(&cur, 0);
}

// in wvarray, out wvarray, result int16: every in element's bytes go to the out element.
void stub_rows(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  auto* in = static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
  auto* out = static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
  auto* src = static_cast<wvarray*>(in->value.ptr);
  auto* dst = static_cast<wvarray*>(out->value.ptr);
  for (int32_t i = 0; i < in->size && i < out->size; ++i) {
    if (dst[i].iovec_base == nullptr || src[i].iovec_base == nullptr) continue;
    int32_t n = std::min(src[i].iovec_len, dst[i].iovec_len);
    std::memcpy(dst[i].iovec_base, src[i].iovec_base, size_t(n));
    dst[i].iovec_len = n;
  }
  __RPCsetarg(&cur, in->size);
}

// implicit handle, out int32 result: 42 when the handle carries the private pointer.
int g_private_marker;
void stub_handle(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  RpcHandle* h = take<RpcHandle*>(&cur);
  __RPCsetarg(&cur, RPCGetPrivatePtr(h) == &g_private_marker ? 42 : -1);
}

// out desc of 11 bytes, result int16.
void stub_eleven(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  ArgumentDescriptor out = *static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
  if (out.value.ptr == nullptr || out.size < 11) out.value.ptr = std::malloc(11);
  std::memcpy(out.value.ptr, "eleven byte", 11);
  out.size = 11;
  cur = args;
  __RPCsetarg(&cur, reinterpret_cast<intptr_t>(&out));
  __RPCsetarg(&cur, 0);
}

// in desc, out desc: the stub hands over a buffer of its own (the library frees both).
void stub_handover(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  auto* in = static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
  size_t n = size_t(std::max(in->size, 0));
  ArgumentDescriptor mine{};
  mine.size = int32_t(2 * n);
  mine.value.ptr = std::malloc(2 * n + 1);
  for (size_t i = 0; i < 2 * n; ++i) static_cast<char*>(mine.value.ptr)[i] = static_cast<char*>(in->value.ptr)[i % n];
  __RPCsetarg(&cur, reinterpret_cast<intptr_t>(&mine));
  __RPCsetarg(&cur, 0);
}

// out int32 result: how many calls of "count" the server has served.
std::atomic<int32_t> g_counted{0};
void stub_count(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  __RPCsetarg(&cur, ++g_counted);
}

std::vector<FunctionDescriptor> test_table() {
  std::vector<FunctionDescriptor> t;
  t.push_back(row("count", stub_count, {OUT | RPC_ARG_INT32}));  // first: the others keep their ordinals
  t.push_back(
      row("scalars", stub_scalars,
          {IN | RPC_ARG_INT16, IN | RPC_ARG_INT32, IN | RPC_ARG_INT64, IN | RPC_ARG_SQLLEN, IN | RPC_ARG_SQLULEN,
           IN | RPC_ARG_PTR, OUT | RPC_ARG_INT16, OUT | RPC_ARG_INT32, OUT | RPC_ARG_INT64, OUT | RPC_ARG_SQLLEN,
           OUT | RPC_ARG_SQLULEN, OUT | RPC_ARG_PTR, OUT | RPC_ARG_INT16}));
  FunctionDescriptor blocks = row("blocks", stub_blocks, {});
  for (size_t i = 0; i < kBlockCount; ++i) blocks.args[i].flags = IN | kBlockKinds[i];
  for (size_t i = 0; i < kBlockCount; ++i) blocks.args[kBlockCount + i].flags = OUT | kBlockKinds[i];
  blocks.args[2 * kBlockCount].flags = OUT | RPC_ARG_INT16;
  t.push_back(blocks);
  t.push_back(row("rows", stub_rows, {IN | RPC_ARG_WVARRAY, OUT | RPC_ARG_WVARRAY, OUT | RPC_ARG_INT16}));
  t.push_back(row("handle", stub_handle, {IN | RPC_ARG_RPC, OUT | RPC_ARG_INT32}));
  t.push_back(row("eleven", stub_eleven, {OUT | RPC_ARG_DESC, OUT | RPC_ARG_INT16}));
  t.push_back(row("handover", stub_handover, {IN | RPC_ARG_DESC, OUT | RPC_ARG_DESC, OUT | RPC_ARG_INT16}));
  t.push_back(FunctionDescriptor{});
  return t;
}

struct ServerOutcome {
  int connect_rc = -1;
  int run_code = -1;
  std::string text;
  std::string not_rpc;
  int last_ordinal = -2;
  std::string last_name;
};

// One connection served the way the server's worker does it.
void serve_one_connection(int listen_fd, const FunctionDescriptor* table, ServerOutcome* out) {
  int fd = ::accept(listen_fd, nullptr, nullptr);
  RpcHandle* h = RPCAllocHandle();
  RPCRegisterPrivatePtr(h, &g_private_marker, 0);
  RPCInitialise(h, RPC_MODE_SERVER, fd);
  RPCExport(h, table);
  int winsock = -1;
  const char *name = nullptr, *desc = nullptr;
  for (int i = 0; RPCEnumerateTransports(h, i, &name, &desc) == 0; ++i)
    if (std::strcmp(name, RPC_TRANSPORT_NAME_WINSOCK) == 0) winsock = i;
  RPCSetTransportOpts(h, winsock, nullptr, "0", nullptr, nullptr, nullptr, "60", nullptr);
  out->connect_rc = RPCConnect(h, 1, 0, kProgram);
  // As a server whose client has logged on: the tracing it asked for is on.
  RPCPermitTracing(h);
  if (out->connect_rc == 0) RPCRun(h);
  const char* text = nullptr;
  out->run_code = RPCReportError(h, &text);
  out->text = text ? text : "";
  char info[4] = {};
  RPCGetInfo(h, RPC_INFO_NOT_RPC, info, sizeof info);
  out->not_rpc = info;
  const char* last = nullptr;
  out->last_ordinal = RPCLastRPC(h, &last);
  if (last) out->last_name = last;
  RPCDisconnect(h);
  RPCTerminate(h);
  RPCFreeHandle(h);
  ::close(fd);
}

class Loopback : public ::testing::Test {
 protected:
  void SetUp() override {
    table_ = test_table();
    listen_fd_ = loopback_socket(&port_);
    server_ = std::thread(serve_one_connection, listen_fd_, table_.data(), &outcome_);
  }
  void TearDown() override {
    if (server_.joinable()) server_.join();
    ::close(listen_fd_);
  }
  HandlePtr connect_client(const char* tracing = nullptr) {
    HandlePtr h(RPCAllocHandle());
    RPCInitialise(h.get(), RPC_MODE_CLIENT, 0);
    std::string port = std::to_string(port_);
    RPCSetTransportOpts(h.get(), RPC_TRANSPORT_BSD, "127.0.0.1", port.c_str(), "user", "pw", nullptr, "60", "15");
    if (tracing) SetTracing(h.get(), tracing);
    EXPECT_EQ(RPCConnect(h.get(), 1, 0, kProgram), 0) << report(h.get());
    return h;
  }
  static std::string report(RpcHandle* h) {
    const char* t = nullptr;
    int code = RPCReportError(h, &t);
    return std::to_string(code) + " " + (t ? t : "");
  }
  void finish(HandlePtr& client) {
    client.reset();  // disconnect, terminate, free
    server_.join();
  }

  std::vector<FunctionDescriptor> table_;
  int listen_fd_ = -1;
  int port_ = 0;
  std::thread server_;
  ServerOutcome outcome_;
};

TEST_F(Loopback, ScalarsBothWays) {
  HandlePtr h = connect_client();
  EXPECT_EQ(h->negotiated, uint32_t(kNegPeerCompresses | kNegCompression));  // two peers of this system
  int16_t o16 = 0, rc = 0;
  int32_t o32 = 0;
  int64_t o64 = 0, osl = 0;
  uint64_t osul = 0;
  void* optr = nullptr;
  ASSERT_EQ(RPCExec(h.get(), "scalars", -5, 100000, int64_t(1) << 40, int64_t(-3), int64_t(5000000000),
                    reinterpret_cast<void*>(0x1234), &o16, &o32, &o64, &osl, &osul, &optr, &rc),
            0)
      << report(h.get());
  EXPECT_EQ(o16, -4);
  EXPECT_EQ(o32, 100001);
  EXPECT_EQ(o64, (int64_t(1) << 40) + 1);
  EXPECT_EQ(osl, -4);
  EXPECT_EQ(osul, 5000000001u);
  EXPECT_EQ(optr, reinterpret_cast<void*>(0x1234));
  EXPECT_EQ(rc, 7);
  EXPECT_EQ(RPCFuncExists(h.get(), "scalars"), 1);
  EXPECT_EQ(RPCFuncExists(h.get(), "nope"), 0);
  finish(h);
  EXPECT_EQ(outcome_.run_code, RPC_ERR_TRANSPORT);
  EXPECT_EQ(outcome_.text, "Connection closed by client prematurely");
  EXPECT_EQ(outcome_.last_name, "scalars");
  EXPECT_EQ(outcome_.last_ordinal, 5);  // the list runs in reverse table order
}

TEST_F(Loopback, BlocksOfEveryKindIncludingCompressedAndMultiFrame) {
  HandlePtr h = connect_client();
  for (size_t bytes : {size_t(0), size_t(24), size_t(496), size_t(2000), size_t(40000)}) {
    SCOPED_TRACE(bytes);
    std::vector<std::vector<uint8_t>> data(kBlockCount), back(kBlockCount);
    ArgumentDescriptor in[kBlockCount] = {}, out[kBlockCount] = {};
    for (size_t k = 0; k < kBlockCount; ++k) {
      data[k].resize(bytes);
      for (size_t i = 0; i < bytes; ++i) data[k][i] = uint8_t((i * 7 + k) % 251);
      in[k].size = int32_t(bytes);
      in[k].value.ptr = bytes ? data[k].data() : nullptr;
      back[k].assign(bytes + 8, 0xEE);
      // The text goes back into a library block (capacity 0); the rest into our buffers.
      out[k].size = k == 0 ? 0 : int32_t(bytes + 8);
      out[k].value.ptr = k == 0 ? nullptr : back[k].data();
    }
    int16_t rc = -1;
    ASSERT_EQ(RPCExec(h.get(), "blocks", &in[0], &in[1], &in[2], &in[3], &in[4], &in[5], &in[6], &out[0], &out[1],
                      &out[2], &out[3], &out[4], &out[5], &out[6], &rc),
              0)
        << report(h.get());
    for (size_t k = 0; k < kBlockCount; ++k) {
      SCOPED_TRACE(k);
      ASSERT_EQ(out[k].size, int32_t(bytes));
      EXPECT_EQ(out[k].flags, OUT | kBlockKinds[k]);
      if (bytes) {
        EXPECT_EQ(std::memcmp(out[k].value.ptr, data[k].data(), bytes), 0);
      }
    }
    std::free(out[0].value.ptr);
  }
  finish(h);
}

TEST_F(Loopback, RowArrays) {
  HandlePtr h = connect_client();
  int16_t i16 = -2, o16 = 0;
  int32_t i32 = 77, o32 = 0;
  int64_t i64 = -9, o64 = 0;
  char text[] = "row text", otext[16] = {};
  uint64_t ulen[3] = {1, 2, 5000000000u}, oulen[3] = {};
  float fl[2] = {1.5f, -2.25f}, ofl[2] = {};
  double db[2] = {3.125, 1e300}, odb[2] = {};
  wvarray in[] = {{&i16, 2, RPC_ARG_INT16},
                  {&i32, 4, RPC_ARG_INT32},
                  {&i64, 8, RPC_ARG_SQLLEN},
                  {text, sizeof text, RPC_ARG_DESC},
                  {ulen, sizeof ulen, RPC_ARG_SQLULEN_ARRAY},
                  {fl, sizeof fl, RPC_ARG_FLOAT_ARRAY},
                  {db, sizeof db, RPC_ARG_DOUBLE_ARRAY},
                  {nullptr, 0, 0}};
  wvarray out[] = {{&o16, 2, RPC_ARG_INT16},
                   {&o32, 4, RPC_ARG_INT32},
                   {&o64, 8, RPC_ARG_SQLLEN},
                   {otext, sizeof otext, RPC_ARG_DESC},
                   {oulen, sizeof oulen, RPC_ARG_SQLULEN_ARRAY},
                   {ofl, sizeof ofl, RPC_ARG_FLOAT_ARRAY},
                   {odb, sizeof odb, RPC_ARG_DOUBLE_ARRAY},
                   {nullptr, 0, 0}};
  constexpr int32_t n = sizeof in / sizeof in[0];
  ArgumentDescriptor rin{}, rout{};
  rin.size = n;
  rin.value.ptr = in;
  rout.size = n;
  rout.value.ptr = out;
  int16_t rc = 0;
  ASSERT_EQ(RPCExec(h.get(), "rows", &rin, &rout, &rc), 0) << report(h.get());
  EXPECT_EQ(rc, n);
  EXPECT_EQ(o16, -2);
  EXPECT_EQ(o32, 77);
  EXPECT_EQ(o64, -9);
  EXPECT_STREQ(otext, "row text");
  EXPECT_EQ(out[3].iovec_len, int32_t(sizeof text));
  EXPECT_EQ(std::memcmp(oulen, ulen, sizeof ulen), 0);
  EXPECT_EQ(std::memcmp(ofl, fl, sizeof fl), 0);
  EXPECT_EQ(std::memcmp(odb, db, sizeof db), 0);
  EXPECT_EQ(out[7].iovec_len, 0);
  finish(h);
}

TEST_F(Loopback, ImplicitHandleAndHandedOverBuffer) {
  HandlePtr h = connect_client();
  int32_t r32 = 0;
  ASSERT_EQ(RPCExec(h.get(), "handle", &r32), 0) << report(h.get());
  EXPECT_EQ(r32, 42);
  char abc[] = "abc";
  ArgumentDescriptor in{}, out{};
  in.size = RPC_LEN_NTS;
  in.value.ptr = abc;
  out.size = 0;
  int16_t rc = -1;
  ASSERT_EQ(RPCExec(h.get(), "handover", &in, &out, &rc), 0) << report(h.get());
  ASSERT_EQ(out.size, 8);
  EXPECT_EQ(std::memcmp(out.value.ptr, "abc\0abc\0", 8), 0);
  std::free(out.value.ptr);
  finish(h);
}

// Posted calls run on the server in order, leave with the next call, and
// their replies never reach anyone; queued calls around them are collected
// with their own replies, and the handle is not kept for the posting thread.
TEST_F(Loopback, PostedCallsLeaveWithTheNextAndTheirRepliesAreDropped) {
  HandlePtr h = connect_client();
  g_counted = 0;
  int32_t dropped = -1, r = 0;
  ASSERT_EQ(RPCPost(h.get(), "count", &dropped), 0) << report(h.get());
  ASSERT_EQ(RPCPost(h.get(), "count", &dropped), 0);
  EXPECT_EQ(g_counted.load(), 0);  // nothing sent yet
  // Another thread may call at once: the posting thread holds nothing.
  std::thread([&] { EXPECT_EQ(RPCExec(h.get(), "count", &r), 0); }).join();
  EXPECT_EQ(r, 3);
  EXPECT_EQ(dropped, -1);
  int32_t a = 0, c = 0;
  ASSERT_EQ(RPCQueue(h.get(), "count", &a), 0);
  ASSERT_EQ(RPCPost(h.get(), "count", &dropped), 0);
  ASSERT_EQ(RPCQueue(h.get(), "count", &c), 0);
  ASSERT_EQ(RPCCollect(h.get(), 0), 0);
  ASSERT_EQ(RPCCollect(h.get(), 0), 0);
  EXPECT_EQ(a, 4);
  EXPECT_EQ(c, 6);
  EXPECT_EQ(dropped, -1);
  EXPECT_EQ(RPCCollect(h.get(), 0), 1);  // nothing left
  ASSERT_EQ(RPCPost(h.get(), "count", &dropped), 0);
  EXPECT_EQ(RPCCollect(h.get(), 0), 1);  // only a posted call: sent, dropped, nothing to collect
  EXPECT_EQ(g_counted.load(), 7);
  finish(h);
}

TEST_F(Loopback, UnknownNameIsNotStickyButTruncationIs) {
  HandlePtr h = connect_client();
  static std::vector<int> seen;
  seen.clear();
  RPCSetError(
      h.get(), [](int code, void* ctx) { static_cast<std::vector<int>*>(ctx)->push_back(code); }, &seen);
  int16_t rc = 0;
  EXPECT_EQ(RPCExec(h.get(), "no_such_procedure", &rc), 1);
  EXPECT_EQ(RPCReportError(h.get(), nullptr), 0);
  // Capacity 0: a library block of exactly the returned length.
  ArgumentDescriptor out{};
  ASSERT_EQ(RPCExec(h.get(), "eleven", &out, &rc), 0) << report(h.get());
  ASSERT_EQ(out.size, 11);
  EXPECT_EQ(std::memcmp(out.value.ptr, "eleven byte", 11), 0);
  std::free(out.value.ptr);
  // Capacity 10 for 11 bytes: code 18, and it stays.
  char small[10];
  out = ArgumentDescriptor{};
  out.size = sizeof small;
  out.value.ptr = small;
  EXPECT_EQ(RPCExec(h.get(), "eleven", &out, &rc), 1);
  EXPECT_EQ(RPCReportError(h.get(), nullptr), RPC_ERR_TRUNC);
  int32_t r32 = 0;
  EXPECT_EQ(RPCExec(h.get(), "handle", &r32), 1);  // refused at once, no callback
  EXPECT_EQ(r32, 0);
  EXPECT_EQ(seen, (std::vector<int>{RPC_ERR_NONAME, RPC_ERR_TRUNC}));
  finish(h);
  return;
}

TEST_F(Loopback, TracingAskedByTheClientWritesTheSharedFile) {
  std::string dir = ::testing::TempDir() + "rpctrace_XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  ::setenv("TMPDIR", dir.c_str(), 1);
  HandlePtr h = connect_client("y");
  int32_t r32 = 0;
  ASSERT_EQ(RPCExec(h.get(), "handle", &r32), 0);
  finish(h);
  ::unsetenv("TMPDIR");
  std::string path = dir + "/kyrorpc.log";
  FILE* f = std::fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  char buf[4096] = {};
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  std::string log(buf, n);
  EXPECT_NE(log.find("Function called: handle\n"), std::string::npos) << log;
  EXPECT_NE(log.find("pushing int32  : 42\n"), std::string::npos) << log;
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ::unlink(path.c_str());
  ::rmdir(dir.c_str());
}

TEST_F(Loopback, TraceFileRollsOverAtItsBound) {
  std::string dir = ::testing::TempDir() + "rpctrace_XXXXXX";
  ASSERT_NE(::mkdtemp(dir.data()), nullptr);
  ::setenv("TMPDIR", dir.c_str(), 1);
  constexpr uint64_t kBound = 2048;
  trace_set_limit(kBound);
  HandlePtr h = connect_client("y");
  for (int i = 0; i < 40; ++i) {
    int32_t r32 = 0;
    ASSERT_EQ(RPCExec(h.get(), "handle", &r32), 0);
  }
  finish(h);
  trace_set_limit(kTraceFileLimit);
  ::unsetenv("TMPDIR");
  const std::string path = dir + "/kyrorpc.log";
  for (const std::string& file : {path, path + ".1"}) {
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0) << file;
    EXPECT_LE(uint64_t(st.st_size), kBound) << file;
    EXPECT_GT(st.st_size, 0) << file;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
  }
  std::filesystem::remove_all(dir);
}

TEST_F(Loopback, HttpClientIsSeenAsNonRpcAtOnce) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(port_));
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const char get[] = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_EQ(::send(fd, get, sizeof get - 1, MSG_NOSIGNAL), ssize_t(sizeof get - 1));
  auto start = std::chrono::steady_clock::now();
  server_.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ::close(fd);
  EXPECT_EQ(outcome_.connect_rc, 1);
  EXPECT_EQ(outcome_.run_code, RPC_ERR_TRANSPORT);
  EXPECT_EQ(outcome_.not_rpc, "Y");
  EXPECT_NE(outcome_.text.find("too big"), std::string::npos) << outcome_.text;
}

}  // namespace
}  // namespace kyrpc::test
