// The generic stubs of both ends on a small test-only table: every argument
// kind, the data-only checks, reals as number texts, and the bounds on what a
// handler or a server can make a stub write.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "client_stub.h"
#include "loopback.h"
#include "server_stub.h"
#include "test_files.h"

namespace {

using namespace kyproc::kinds;
using kyproc::Role;
using kyproc::Row;

using Scalars =
    Row<"t_scalars", Role::client, r16, i16, i32, len, ulen, ptr, out_i16, out_i32, out_len, out_ulen, out_ptr>;
using Blocks = Row<"t_blocks", Role::client, r32, rpc, desc, a16, alen, out_desc, out_a32, out_aulen>;
using Fixed = Row<"t_fixed", Role::client, r16, text, a16_fix<6>, out_a16_fix<10>, out_desc_fix<6>>;
using Reals = Row<"t_reals", Role::client, r16, real_f, real_d, real_da, out_real_d, out_real_fa>;
using Rows = Row<"t_rows", Role::client, r16, wv, out_wv>;
using Throws = Row<"t_throws", Role::client, r16, out_desc>;

// What the handlers saw, for the checks.
struct Seen {
  int calls = 0;
  int32_t desc_len = -1;
  const void* desc_ptr = nullptr;
  RpcHandle* rpc = nullptr;
  std::string text;
  float f = 0;
  double d = 0;
  std::vector<double> reals;
  int32_t out_real_room = -1;
} g_seen;

int16_t h_scalars(int16_t a, int32_t b, SQLLEN c, SQLULEN d, void* p, int16_t* oa, int32_t* ob, SQLLEN* oc, SQLULEN* od,
                  void** op) {
  ++g_seen.calls;
  *oa = static_cast<int16_t>(a - 1);
  *ob = b * 2;
  *oc = c - 1;
  *od = d + 1;
  *op = p;
  return -5;
}

// out_desc gets "hello" (6 bytes with the NUL), or as many bytes as the in desc
// asks for ("big": more than any capacity); the out arrays echo the in arrays.
int32_t h_blocks(RpcHandle* rpc, int32_t dlen, char* d, int32_t alen16, int16_t* a16p, int32_t alenl, SQLLEN* al,
                 int32_t* olen, char* obuf, int32_t* o32len, int32_t* o32, int32_t* oulen, SQLULEN* oul) {
  ++g_seen.calls;
  g_seen.rpc = rpc;
  g_seen.desc_len = dlen;
  g_seen.desc_ptr = d;
  if (dlen == 3 && std::memcmp(d, "big", 3) == 0) {
    *olen = 1 << 20;  // more than the capacity: the stub sends the capacity
  } else if (*olen >= 6) {
    std::memcpy(obuf, "hello", 6);
    *olen = 6;
  }
  int32_t n16 = alen16 / 2;
  for (int32_t i = 0; i < n16 && (i + 1) * 4 <= *o32len; ++i) o32[i] = a16p[i] * 10;
  *o32len = std::min(n16 * 4, *o32len);
  int32_t nl = alenl / 8;
  for (int32_t i = 0; i < nl && (i + 1) * 8 <= *oulen; ++i) oul[i] = static_cast<SQLULEN>(al[i]) + 1;
  *oulen = std::min(nl * 8, *oulen);
  return 100000;
}

int16_t h_fixed(char* text, int16_t* six, int16_t* ten, char* state) {
  ++g_seen.calls;
  g_seen.text = text;
  for (int i = 0; i < 3; ++i) ten[i] = static_cast<int16_t>(six[i] + 1);
  std::memcpy(state, "HY000", 6);
  return 0;
}

int16_t h_reals(float f, double d, int32_t n, double* arr, double* out, int32_t* count, float* outs) {
  ++g_seen.calls;
  g_seen.f = f;
  g_seen.d = d;
  g_seen.reals.assign(arr, arr + n);
  g_seen.out_real_room = *count;
  *out = d * 2;
  int32_t stored = std::min(*count, n);
  for (int32_t i = 0; i < stored; ++i) outs[i] = static_cast<float>(arr[i]);
  *count = stored;
  return 0;
}

int16_t h_rows(int32_t n, wvarray* in, int32_t m, wvarray* out) {
  ++g_seen.calls;
  for (int32_t i = 0; i < n && i < m; ++i)
    if (in[i].iovec_base && out[i].iovec_base)
      std::memcpy(out[i].iovec_base, in[i].iovec_base,
                  static_cast<size_t>(std::min(in[i].iovec_len, out[i].iovec_len)));
  return 0;
}

int16_t h_throws(int32_t*, char* buf) {
  std::memcpy(buf, "partial", 7);
  throw std::runtime_error("handler failure");
}

template <class R>
FunctionDescriptor make_row(RpcStubFn fn) {
  FunctionDescriptor fd{};
  fd.name = R::name;
  fd.handler = fn;
  for (size_t i = 0; i < RPC_MAX_ARGS; ++i) fd.args[i].flags = R::flags(i);
  return fd;
}

template <class R, kyproc::HandlerFn<R>* H>
void stub(ArgumentDescriptor* args) {
  kyproc::server::serve<R>(args, H);
}

std::vector<FunctionDescriptor> test_table() {
  return {make_row<Scalars>(&stub<Scalars, &h_scalars>),
          make_row<Blocks>(&stub<Blocks, &h_blocks>),
          make_row<Fixed>(&stub<Fixed, &h_fixed>),
          make_row<Reals>(&stub<Reals, &h_reals>),
          make_row<Rows>(&stub<Rows, &h_rows>),
          make_row<Throws>(&stub<Throws, &h_throws>),
          FunctionDescriptor{}};
}

template <class R>
constexpr auto call = &kyproc::client::Stub<R>::call;

class Machinery : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen = Seen{};
    table_ = test_table();
    server_ = std::make_unique<kytest::OneConnectionServer>(table_.data());
    std::string why;
    h_ = server_->connect(&why);
    ASSERT_TRUE(h_) << why;
  }
  std::vector<FunctionDescriptor> table_;
  std::unique_ptr<kytest::OneConnectionServer> server_;
  kytest::ClientHandle h_;
};

TEST_F(Machinery, ScalarsKeepSignAndWidth) {
  int16_t oa = 0;
  int32_t ob = 0;
  SQLLEN oc = 0;
  SQLULEN od = 0;
  void* op = nullptr;
  void* handle = reinterpret_cast<void*>(0x7fff00001234);
  EXPECT_EQ(call<Scalars>(h_.get(), -32768 + 1, -100000, SQLLEN(-5000000000), SQLULEN(1) << 63, handle, &oa, &ob, &oc,
                          &od, &op),
            -5);
  EXPECT_EQ(oa, -32768);
  EXPECT_EQ(ob, -200000);
  EXPECT_EQ(oc, SQLLEN(-5000000001));
  EXPECT_EQ(od, (SQLULEN(1) << 63) + 1);
  EXPECT_EQ(op, handle);
  // Out values nobody wants may be null.
  EXPECT_EQ(call<Scalars>(h_.get(), 1, 2, 3, 4, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -5);
}

TEST_F(Machinery, BlocksAndArrays) {
  const int16_t a16[] = {1, -2, 3};
  const SQLLEN al[] = {-1, 41};
  char out[16];
  std::memset(out, 'x', sizeof out);
  int32_t out_len = sizeof out;
  int32_t o32[3] = {};
  int32_t o32_len = sizeof o32;
  SQLULEN oul[2] = {};
  int32_t oul_len = sizeof oul;
  EXPECT_EQ(call<Blocks>(h_.get(), 3, "abc", 6, a16, 16, al, &out_len, out, &o32_len, o32, &oul_len, oul), 100000);
  EXPECT_EQ(g_seen.desc_len, 3);
  EXPECT_NE(g_seen.rpc, nullptr);  // the server's own handle
  EXPECT_EQ(out_len, 6);
  EXPECT_STREQ(out, "hello");
  EXPECT_EQ(o32_len, 12);
  EXPECT_EQ(o32[1], -20);
  EXPECT_EQ(oul_len, 16);
  EXPECT_EQ(oul[1], 42u);

  // An empty in block reaches the handler as (0, null); a NUL-terminated text
  // is sent with its NUL.
  EXPECT_EQ(call<Blocks>(h_.get(), 0, "ignored", 0, nullptr, 0, nullptr, &out_len, out, &o32_len, o32, &oul_len, oul),
            100000);
  EXPECT_EQ(g_seen.desc_len, 0);
  EXPECT_EQ(g_seen.desc_ptr, nullptr);
  EXPECT_EQ(call<Blocks>(h_.get(), RPC_LEN_NTS, "abcd", 0, nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr),
            100000);
  EXPECT_EQ(g_seen.desc_len, 5);
}

TEST_F(Machinery, HandlerLengthsAreBoundedAndOutBuffersStartZeroed) {
  // The handler claims far more than the capacity and writes nothing: the
  // reply carries the capacity, zero-filled.
  char out[8];
  std::memset(out, 'x', sizeof out);
  int32_t out_len = sizeof out;
  int32_t o32_len = 0, oul_len = 0;
  EXPECT_EQ(
      call<Blocks>(h_.get(), 3, "big", 0, nullptr, 0, nullptr, &out_len, out, &o32_len, nullptr, &oul_len, nullptr),
      100000);
  EXPECT_EQ(out_len, 8);
  EXPECT_EQ(std::string(out, 8), std::string(8, '\0'));
}

TEST_F(Machinery, DataOnlyArgumentsAreCheckedBeforeTheHandler) {
  const int16_t six[3] = {1, 2, 3};
  int16_t ten[5] = {};
  char state[6] = {};
  EXPECT_EQ(call<Fixed>(h_.get(), "user", six, ten, state), 0);
  EXPECT_EQ(g_seen.text, "user");
  EXPECT_EQ(ten[2], 4);
  EXPECT_STREQ(state, "HY000");
  ASSERT_EQ(g_seen.calls, 1);

  // Raw calls with short or unterminated blocks are refused without a call.
  struct Case {
    const char* name;
    int32_t text_len, six_len, ten_cap, state_cap;
  } cases[] = {
      {"text without NUL", 3, 6, 10, 6}, {"empty text", 0, 6, 10, 6},      {"short in array", 5, 4, 10, 6},
      {"short out array", 5, 6, 8, 6},   {"short out block", 5, 6, 10, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char text[] = "abc\0";
    std::vector<char> ten_buf(16, 'x'), state_buf(16, 'x');
    ArgumentDescriptor t{}, s6{}, o10{}, o6{};
    t.size = c.text_len;
    t.value.ptr = text;
    s6.size = c.six_len;
    s6.value.ptr = const_cast<int16_t*>(six);
    o10.size = c.ten_cap;
    o10.value.ptr = ten_buf.data();
    o6.size = c.state_cap;
    o6.value.ptr = state_buf.data();
    int16_t rc = 0;
    ASSERT_EQ(RPCExec(h_.get(), "t_fixed", &t, &s6, &o10, &o6, &rc), 0);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(g_seen.calls, 1);
    EXPECT_EQ(std::string(ten_buf.data(), size_t(c.ten_cap)), std::string(size_t(c.ten_cap), '\0'));
  }
}

TEST_F(Machinery, RealsSurviveTheTripInAnyLocale) {
  kytest::TempDir locale_dir;
  EXPECT_TRUE(kytest::switch_to_decimal_comma_locale(locale_dir)) << "checked in the C locale only";
  const double values[] = {1.0 / 3, -0.0, 1e-310, std::numeric_limits<double>::max(), 2.5};
  double doubled = 0;
  float outs[8] = {};
  int32_t count = 8;
  EXPECT_EQ(call<Reals>(h_.get(), 0.1f, 1.0 / 3, 5, values, &doubled, &count, outs), 0);
  EXPECT_EQ(g_seen.f, 0.1f);
  EXPECT_EQ(g_seen.d, 1.0 / 3);
  ASSERT_EQ(g_seen.reals.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(g_seen.reals[i], values[i]) << i;
  EXPECT_TRUE(std::signbit(g_seen.reals[1]));
  EXPECT_EQ(doubled, 2.0 / 3);
  EXPECT_EQ(g_seen.out_real_room, 8);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(outs[4], 2.5f);

  // The client converts no more than its own array holds.
  float two[2] = {};
  count = 2;
  EXPECT_EQ(call<Reals>(h_.get(), 1.f, 1.0, 5, values, &doubled, &count, two), 0);
  EXPECT_EQ(g_seen.out_real_room, 2);
  EXPECT_EQ(count, 2);
  std::setlocale(LC_ALL, "C");
  ::unsetenv("LOCPATH");
}

TEST_F(Machinery, RowArraysBothWays) {
  int32_t in_a[2] = {7, 8};
  char in_b[4] = "xyz";
  int32_t out_a[2] = {};
  char out_b[4] = {};
  wvarray in[2] = {{in_a, 8, RPC_ARG_INT32_ARRAY}, {in_b, 4, RPC_ARG_DESC}};
  wvarray out[2] = {{out_a, 8, RPC_ARG_INT32_ARRAY}, {out_b, 4, RPC_ARG_DESC}};
  EXPECT_EQ(call<Rows>(h_.get(), 2, in, 2, out), 0);
  EXPECT_EQ(out_a[1], 8);
  EXPECT_STREQ(out_b, "xyz");
}

TEST_F(Machinery, AThrowingHandlerAnswersErrorWithZeroedOuts) {
  char buf[10];
  std::memset(buf, 'x', sizeof buf);
  int32_t len = sizeof buf;
  EXPECT_EQ(call<Throws>(h_.get(), &len, buf), -1);
  EXPECT_EQ(len, 10);
  EXPECT_EQ(std::string(buf, 10), std::string(10, '\0'));
}

// Server stubs called directly on an argument vector, as RPCRun calls them.
struct Vector {
  std::vector<ArgumentDescriptor> a;
  std::vector<std::vector<char>> bufs;
  explicit Vector(size_t n) : a(n + 1) {}
  void block(size_t i, int32_t size) {
    bufs.emplace_back(size_t(size), '\x7f');
    a[i].size = size;
    a[i].value.ptr = bufs.back().data();
  }
};

using FetchFloat = Row<"t_ff", Role::server, r16, ptr, i16, out_real_fa>;
using GetDouble = Row<"t_gd", Role::server, r16, out_real_d>;
int16_t h_fetch_float(void*, int16_t stored, int32_t* count, float* v) {
  for (int32_t i = 0; i < *count; ++i) v[i] = 1.5f + float(i);
  *count = stored;
  return 0;
}
int16_t h_get_double(double* v) {
  *v = 1.5;
  return 0;
}

TEST(ServerStub, RealTextsAndCapacities) {
  {
    Vector v(1);
    v.block(0, 40);
    kyproc::server::serve<GetDouble>(v.a.data(), &h_get_double);
    EXPECT_EQ(v.a[0].size, 40);
    std::string text(static_cast<char*>(v.a[0].value.ptr), 40);
    EXPECT_EQ(text, std::string(8, ' ') + "1.5000000000000000e+00" + std::string(10, '\0'));
  }
  {
    Vector v(3);  // 100 bytes: room for 2 values; the handler stores 2
    v.a[1].value.i16 = 2;
    v.block(2, 100);
    kyproc::server::serve<FetchFloat>(v.a.data(), &h_fetch_float);
    EXPECT_EQ(v.a[2].size, 80);
    EXPECT_EQ(v.a[3].value.i16, 0);
    double d = 0;
    EXPECT_TRUE(kyproc::parse_number_text(static_cast<char*>(v.a[2].value.ptr) + 40, 40, &d));
    EXPECT_EQ(d, 2.5);
  }
  {
    Vector v(3);  // the handler claims more than there was room for
    v.a[1].value.i16 = 9;
    v.block(2, 100);
    kyproc::server::serve<FetchFloat>(v.a.data(), &h_fetch_float);
    EXPECT_EQ(v.a[2].size, 80);
  }
  {
    Vector v(1);  // an out slot below 40 bytes is refused
    v.block(0, 39);
    kyproc::server::serve<GetDouble>(v.a.data(), &h_get_double);
    EXPECT_EQ(v.a[1].value.i16, -1);
    EXPECT_EQ(std::string(static_cast<char*>(v.a[0].value.ptr), 39), std::string(39, '\0'));
  }
}

TEST(ServerStub, MissingHandlerIsAnsweredByTheFallback) {
  Vector v(1);
  v.block(0, 40);
  v.a[1].value.i64 = 1234;
  kyproc::server::serve<GetDouble>(v.a.data(), nullptr, [](const char* name, ArgumentDescriptor*) -> int32_t {
    return std::strcmp(name, "t_gd") == 0 ? -7 : 0;
  });
  EXPECT_EQ(v.a[1].value.i16, -7);
  EXPECT_EQ(std::string(static_cast<char*>(v.a[0].value.ptr), 40), std::string(40, '\0'));
}

TEST(ClientStub, CopyBackNeverExceedsTheCallersBuffer) {
  // A block the library allocated (capacity 0 or a misbehaving peer): at most
  // the caller's capacity is copied, and the library's block is freed.
  ArgumentDescriptor rec{};
  rec.size = 100;
  rec.value.ptr = std::malloc(100);
  std::memset(rec.value.ptr, 'z', 100);
  char mine[10];
  std::memset(mine, 0, sizeof mine);
  char guard[4] = "ok";
  EXPECT_EQ(kyproc::client::take_block(rec, mine, mine, 10), 10);
  EXPECT_EQ(rec.value.ptr, nullptr);
  EXPECT_EQ(std::string(mine, 10), std::string(10, 'z'));
  EXPECT_STREQ(guard, "ok");
}

}  // namespace
