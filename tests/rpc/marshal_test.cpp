// Argument kinds on the wire: every kind written by one handle and read back by
// another over the in-memory transport, under byte swapping, narrowing and
// compression; byte-exact where the format is fixed; malformed input rejected.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capability.h"
#include "errors.h"
#include "message.h"
#include "test_util.h"
#include "wvarray.h"

namespace kyrpc::test {
namespace {

// A writer and a reader with the same negotiated flags; the reader sees what the
// writer sent.
struct Link {
  explicit Link(uint32_t flags, int writer_mode = RPC_MODE_CLIENT)
      : out(std::make_shared<MemoryStream>()),
        in(std::make_shared<MemoryStream>()),
        w(memory_handle(writer_mode, flags, out)),
        r(memory_handle(writer_mode == RPC_MODE_CLIENT ? RPC_MODE_SERVER : RPC_MODE_CLIENT, flags, in)) {}
  void start() { start_message(*w); }
  // Sends what was written and starts reading it.
  void deliver() {
    flush(*w);
    in->input = out->output;
    begin_read(*r);
  }
  // Payload bytes after the start byte of a single-frame message.
  std::string payload() const {
    auto frames = split_frames(out->output);
    std::string all;
    for (auto& f : frames) all += f;
    return all.substr(1);
  }
  std::shared_ptr<MemoryStream> out, in;
  HandlePtr w, r;
};

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(char(c));
  return s;
}

TEST(Marshal, ScalarsByteExact) {
  struct Case {
    const char* name;
    uint32_t flags;
    std::function<void(RpcHandle&)> put;
    std::string wire;
  } cases[] = {
      {"int16", 0, [](RpcHandle& h) { put_i16(h, 0x1234); }, bytes({0x34, 0x12})},
      {"int16 swapped", kNegSwapBytes, [](RpcHandle& h) { put_i16(h, 0x1234); }, bytes({0x12, 0x34})},
      {"int32 swapped", kNegSwapBytes, [](RpcHandle& h) { put_i32(h, 0x01020304); }, bytes({1, 2, 3, 4})},
      {"int64 swapped", kNegSwapBytes, [](RpcHandle& h) { put_i64(h, 0x0102030405060708); },
       bytes({1, 2, 3, 4, 5, 6, 7, 8})},
      {"sqllen narrowed high", kNegNarrowSqllen, [](RpcHandle& h) { put_sqllen(h, 5000000000); },
       bytes({0xFF, 0xFF, 0xFF, 0x7F})},
      {"sqllen narrowed low", kNegNarrowSqllen, [](RpcHandle& h) { put_sqllen(h, -5000000000); },
       bytes({0, 0, 0, 0x80})},
      {"sqlulen narrowed", kNegNarrowSqllen, [](RpcHandle& h) { put_sqlulen(h, 5000000000u); },
       bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {"sqlulen narrowed swapped", kNegNarrowSqllen | kNegSwapBytes, [](RpcHandle& h) { put_sqlulen(h, 0x11223344); },
       bytes({0x11, 0x22, 0x33, 0x44})},
      {"sqllen wide", 0, [](RpcHandle& h) { put_sqllen(h, -2); },
       bytes({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {"text -3", 0,
       [](RpcHandle& h) {
         ArgumentDescriptor a{};
         a.size = RPC_LEN_NTS;
         a.value.ptr = const_cast<char*>("abc");
         put_block(h, RPC_ARG_DESC, a.value.ptr, 4);
       },
       bytes({4, 0, 0, 0, 'a', 'b', 'c', 0})},
      {"empty block", 0, [](RpcHandle& h) { put_block(h, RPC_ARG_DESC, nullptr, 0); }, bytes({0, 0, 0, 0})},
      {"sqllen array narrowed and swapped", kNegNarrowSqllen | kNegSwapBytes,
       [](RpcHandle& h) {
         int64_t a[] = {1, -2};
         put_block(h, RPC_ARG_SQLLEN_ARRAY, a, sizeof a);
       },
       bytes({0, 0, 0, 8, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE})},
      {"int64 array swapped", kNegSwapBytes,
       [](RpcHandle& h) {
         int64_t a[] = {0x0102030405060708};
         put_block(h, RPC_ARG_INT64_ARRAY, a, sizeof a);
       },
       bytes({0, 0, 0, 8, 1, 2, 3, 4, 5, 6, 7, 8})},
      {"int16 array swapped", kNegSwapBytes,
       [](RpcHandle& h) {
         int16_t a[] = {0x0102, 0x0304};
         put_block(h, RPC_ARG_INT16_ARRAY, a, sizeof a);
       },
       bytes({0, 0, 0, 4, 1, 2, 3, 4})},
      {"number text never swapped", kNegSwapBytes, [](RpcHandle& h) { put_block(h, RPC_ARG_REAL, "1.5", 4); },
       bytes({0, 0, 0, 4, '1', '.', '5', 0})},
      {"sqllen array narrowed, clamped both ends", kNegNarrowSqllen,
       [](RpcHandle& h) {
         int64_t a[] = {5000000000, -1, -5000000000};
         put_block(h, RPC_ARG_SQLLEN_ARRAY, a, sizeof a);
       },
       bytes({12, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x80})},
      {"sqlulen array narrowed", kNegNarrowSqllen,
       [](RpcHandle& h) {
         uint64_t a[] = {5000000000u, 7};
         put_block(h, RPC_ARG_SQLULEN_ARRAY, a, sizeof a);
       },
       bytes({8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0})},
      {"empty narrowed array", kNegNarrowSqllen, [](RpcHandle& h) { put_block(h, RPC_ARG_SQLLEN_ARRAY, nullptr, 0); },
       bytes({0, 0, 0, 0})},
      {"raw pointer", 0, [](RpcHandle& h) { put_pointer(h, reinterpret_cast<void*>(0x1122334455667788)); },
       bytes({0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Link l(c.flags);
    l.start();
    c.put(*l.w);
    flush(*l.w);
    EXPECT_EQ(l.payload(), c.wire);
  }
}

TEST(Marshal, EveryKindRoundTripsUnderEveryCombination) {
  // Swapped output only reads back right on a peer of the other byte order; its bytes
  // are pinned by ScalarsByteExact, and here only the scalars are read back swapped.
  const uint32_t combos[] = {0, kNegSwapBytes, kNegNarrowSqllen, kNegCompression, kNegNarrowSqllen | kNegCompression};
  std::vector<uint8_t> block(3000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i % 13);
  std::vector<int64_t> lens = {1, -1, 2147483647, -2147483648LL, 0, 42};
  for (uint32_t flags : combos) {
    SCOPED_TRACE(flags);
    const bool swap = flags & kNegSwapBytes;
    Link l(flags);
    l.start();
    put_byte(*l.w, 0xAB);
    put_i16(*l.w, -2);
    put_i32(*l.w, 123456);
    put_i64(*l.w, -(int64_t(1) << 40));
    put_sqllen(*l.w, -7);
    put_sqlulen(*l.w, 9);
    if (!swap) {
      put_block(*l.w, RPC_ARG_DESC, block.data(), int32_t(block.size()));
      put_block(*l.w, RPC_ARG_SQLLEN_ARRAY, lens.data(), int32_t(lens.size() * 8));
      put_block(*l.w, RPC_ARG_DESC, block.data(), 499);
    }
    l.deliver();
    RpcHandle& r = *l.r;
    EXPECT_EQ(get_byte(r), 0xAB);
    EXPECT_EQ(get_i16(r), swap ? int16_t(__builtin_bswap16(uint16_t(-2))) : -2);
    EXPECT_EQ(get_i32(r), swap ? int32_t(__builtin_bswap32(123456)) : 123456);
    int64_t v64 = -(int64_t(1) << 40);
    EXPECT_EQ(get_i64(r), swap ? int64_t(__builtin_bswap64(uint64_t(v64))) : v64);
    int64_t sl = get_sqllen(r);
    uint64_t sul = get_sqlulen(r);
    EXPECT_EQ(sl, swap ? int64_t(__builtin_bswap64(uint64_t(-7))) : -7);
    EXPECT_EQ(sul, swap ? __builtin_bswap64(9) : 9u);
    if (swap) continue;
    BlockHeader b = get_block_header(r, RPC_ARG_DESC);
    EXPECT_EQ(b.length, 3000);
    EXPECT_EQ(b.compressed != 0, (flags & kNegCompression) != 0);
    std::vector<uint8_t> got(b.stored);
    get_block_data(r, RPC_ARG_DESC, b, got.data());
    EXPECT_EQ(got, block);
    BlockHeader a = get_block_header(r, RPC_ARG_SQLLEN_ARRAY);
    void* arr = get_block_alloc(r, RPC_ARG_SQLLEN_ARRAY, a);
    ASSERT_EQ(a.stored, lens.size() * 8);
    EXPECT_EQ(std::memcmp(arr, lens.data(), a.stored), 0);
    std::free(arr);
    BlockHeader small = get_block_header(r, RPC_ARG_DESC);
    EXPECT_EQ(small.compressed, 0);  // 499 bytes always travel raw
    std::vector<uint8_t> s(small.stored);
    get_block_data(r, RPC_ARG_DESC, small, s.data());
    EXPECT_EQ(0, std::memcmp(s.data(), block.data(), 499));
  }
}

TEST(Marshal, CompressionBounds) {
  std::mt19937 rng(7);
  std::vector<uint8_t> random(32768);
  for (auto& b : random) b = uint8_t(rng());
  for (size_t n : {size_t(499), size_t(500), size_t(32768), size_t(32769)}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> data(n, 'x');
    if (n == 32768) data = random;  // incompressible: still within the receiver's limit
    Link l(kNegCompression);
    l.start();
    put_block(*l.w, RPC_ARG_DESC, data.data(), int32_t(n));
    l.deliver();
    BlockHeader b = get_block_header(*l.r, RPC_ARG_DESC);
    EXPECT_EQ(b.length, int32_t(n));
    EXPECT_EQ(b.compressed != 0, n >= 500 && n <= 32768);
    EXPECT_LE(b.compressed, 33299);
    void* p = get_block_alloc(*l.r, RPC_ARG_DESC, b);
    EXPECT_EQ(std::memcmp(p, data.data(), n), 0);
    std::free(p);
  }
}

TEST(Marshal, MalformedBlocksAreRejected) {
  auto message = [](std::initializer_list<std::string> parts) {
    std::string m = "D";
    for (auto& p : parts) m += p;
    return m;
  };
  auto le32 = [](uint32_t v) {
    return bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24)});
  };
  // A valid compressed block of 600 'y' bytes, to be declared with the wrong length.
  std::string compressed;
  {
    Link l(kNegCompression);
    l.start();
    std::string ys(600, 'y');
    put_block(*l.w, RPC_ARG_DESC, ys.data(), 600);
    flush(*l.w);
    compressed = l.payload().substr(8);
  }
  struct Case {
    const char* name;
    uint32_t flags;
    std::string msg;
    int code;
  } cases[] = {
      {"compressed length 0", kNegCompression, message({le32(600), le32(0)}), RPC_ERR_DECOMP},
      {"compressed length past staging", kNegCompression, message({le32(600), le32(33300)}), RPC_ERR_DECOMP},
      {"declared longer than it decompresses", kNegCompression,
       message({le32(700), le32(uint32_t(compressed.size())), compressed}), RPC_ERR_DECOMP},
      {"declared shorter than it decompresses", kNegCompression,
       message({le32(599), le32(uint32_t(compressed.size())), compressed}), RPC_ERR_DECOMP},
      {"garbage compressed bytes", kNegCompression, message({le32(600), le32(20), std::string(20, '\xFF')}),
       RPC_ERR_DECOMP},
      {"length past the allocation ceiling", 0, message({le32(300u << 20)}), RPC_ERR_NOMEM},
      {"long length, few bytes", 0, message({le32(200u << 20), "abc"}), RPC_ERR_TRANSPORT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto in = std::make_shared<MemoryStream>();
    in->input = frame(c.msg);
    HandlePtr r = memory_handle(RPC_MODE_SERVER, c.flags, in);
    int code = failure_code([&] {
      begin_read(*r);
      BlockHeader b = get_block_header(*r, RPC_ARG_DESC);
      std::free(get_block_alloc(*r, RPC_ARG_DESC, b));
    });
    EXPECT_EQ(code, c.code);
  }
}

TEST(Marshal, NarrowedArraysWiden) {
  Link l(kNegNarrowSqllen);
  int64_t sl[] = {-5, 2147483647, -2147483648LL};
  uint64_t ul[] = {0xFFFFFFFFu, 3};
  l.start();
  put_block(*l.w, RPC_ARG_SQLLEN_ARRAY, sl, sizeof sl);
  put_block(*l.w, RPC_ARG_SQLULEN_ARRAY, ul, sizeof ul);
  l.deliver();
  BlockHeader a = get_block_header(*l.r, RPC_ARG_SQLLEN_ARRAY);
  EXPECT_EQ(a.length, 12);
  EXPECT_EQ(a.stored, 24u);
  auto* p = static_cast<int64_t*>(get_block_alloc(*l.r, RPC_ARG_SQLLEN_ARRAY, a));
  EXPECT_EQ(std::vector<int64_t>(p, p + 3), std::vector<int64_t>(sl, sl + 3));
  std::free(p);
  BlockHeader b = get_block_header(*l.r, RPC_ARG_SQLULEN_ARRAY);
  uint64_t got[2];
  get_block_data(*l.r, RPC_ARG_SQLULEN_ARRAY, b, got);
  EXPECT_EQ(got[0], 0xFFFFFFFFu);  // zero-extended
  EXPECT_EQ(got[1], 3u);
}

TEST(Marshal, NullDataWithALengthIsRefusedBeforeAnyByte) {
  for (uint32_t kind : {RPC_ARG_DESC, RPC_ARG_INT32_ARRAY, RPC_ARG_SQLLEN_ARRAY}) {
    SCOPED_TRACE(kind);
    Link l(0);
    l.start();
    EXPECT_EQ(failure_code([&] { put_block(*l.w, kind, nullptr, 8); }), RPC_ERR_BADARG);
    put_block(*l.w, kind, nullptr, 0);  // no data, no length: just the zero length
    l.deliver();
    EXPECT_EQ(l.payload(), bytes({0, 0, 0, 0}));
  }
}

TEST(Marshal, NarrowPointers) {
  // Server side: indexes into its table, null is always 0.
  Link s(kNegNarrowPointers, RPC_MODE_SERVER);
  int a = 0, b = 0;
  s.start();
  put_pointer(*s.w, nullptr);
  put_pointer(*s.w, &a);
  put_pointer(*s.w, &b);
  put_pointer(*s.w, &a);
  flush(*s.w);
  EXPECT_EQ(s.payload(), bytes({0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0}));
  // The client keeps each key in an entry and uses the entry's address as the handle.
  s.in->input = s.out->output;
  begin_read(*s.r);
  EXPECT_EQ(get_pointer(*s.r), nullptr);
  void* ka = get_pointer(*s.r);
  void* kb = get_pointer(*s.r);
  EXPECT_NE(ka, kb);
  EXPECT_EQ(get_pointer(*s.r), ka);
  start_message(*s.r);
  put_pointer(*s.r, kb);
  put_pointer(*s.r, nullptr);
  flush(*s.r);
  EXPECT_EQ(split_frames(s.in->output)[0], bytes({'D', 2, 0, 0, 0, 0, 0, 0, 0}));
  // A pointer the client never received, and an index the server never gave.
  start_message(*s.r);
  EXPECT_EQ(failure_code([&] { put_pointer(*s.r, &a); }), RPC_ERR_HMARSHAL);
  auto in = std::make_shared<MemoryStream>();
  in->input = frame(bytes({'D', 9, 0, 0, 0}));
  HandlePtr server = memory_handle(RPC_MODE_SERVER, kNegNarrowPointers, in);
  begin_read(*server);
  EXPECT_EQ(failure_code([&] { get_pointer(*server); }), RPC_ERR_HMARSHAL);
}

TEST(Marshal, RowArrayCodes) {
  for (int code = 0; code < 256; ++code) {
    bool valid = code <= 7 || (code >= 13 && code <= 19);
    EXPECT_EQ(wv_kind_of_code(code) >= 0, valid) << code;
    if (valid && code) {
      EXPECT_EQ(wv_code_of_kind(uint32_t(wv_kind_of_code(code))), code);
    }
  }
  for (int bad : {8, 9, 12, 20, 255}) {
    SCOPED_TRACE(bad);
    auto in = std::make_shared<MemoryStream>();
    in->input = frame(bytes({'D', 1, 0, 0, 0, bad}));
    HandlePtr server = memory_handle(RPC_MODE_SERVER, 0, in);
    begin_read(*server);
    int32_t count = 0;
    std::vector<size_t> sizes;
    EXPECT_EQ(failure_code([&] { get_wvarray_server(*server, false, &count, &sizes); }), RPC_ERR_BADFUNC);
  }
}

TEST(Marshal, RowArrayHeaderFormAndServerStorage) {
  Link l(kNegNarrowSqllen);
  int16_t i16 = 1;
  char buf[10];
  int64_t lens[4];
  wvarray elems[] = {{&i16, 2, RPC_ARG_INT16}, {nullptr, 0, RPC_ARG_INT32},      {nullptr, 8, RPC_ARG_PTR},
                     {buf, 10, RPC_ARG_DESC},  {lens, 32, RPC_ARG_SQLLEN_ARRAY}, {nullptr, 0, 0}};
  l.start();
  put_wvarray_header(*l.w, elems, 6);
  flush(*l.w);
  EXPECT_EQ(l.payload(), bytes({6, 0, 0, 0, 1, 0, 7, 3, 10, 0, 0, 0, 18, 16, 0, 0, 0, 0}));
  l.in->input = l.out->output;
  begin_read(*l.r);
  int32_t count = 0;
  std::vector<size_t> sizes;
  wvarray* got = get_wvarray_server(*l.r, true, &count, &sizes);
  ASSERT_EQ(count, 6);
  EXPECT_EQ(got[0].iovec_type, RPC_ARG_INT16);
  EXPECT_EQ(got[0].iovec_len, 2);
  EXPECT_EQ(got[1].iovec_type, 0);  // a scalar without storage travels as an empty element
  EXPECT_EQ(got[1].iovec_base, nullptr);
  EXPECT_EQ(got[2].iovec_len, 8);
  EXPECT_EQ(got[3].iovec_len, 10);
  EXPECT_EQ(got[4].iovec_len, 32);  // widened again for the handler
  EXPECT_EQ(got[5].iovec_len, 0);
  for (int i = 0; i < 5; ++i)
    if (got[i].iovec_base) {
      EXPECT_EQ(std::string(static_cast<char*>(got[i].iovec_base), size_t(got[i].iovec_len)),
                std::string(size_t(got[i].iovec_len), '\0'));  // zero-filled
    }
  free_wvarray(got, count);
}

TEST(Marshal, RowArrayReplyMustFitTheCallersElements) {
  char small[4] = {'k', 'e', 'e', 'p'};
  int32_t i32 = 5;
  struct Case {
    const char* name;
    std::function<void(RpcHandle&)> reply;
  } cases[] = {
      {"count differs",
       [](RpcHandle& h) {
         wvarray e[] = {{nullptr, 0, 0}};
         put_wvarray_full(h, e, 1);
       }},
      {"block longer than the element",
       [](RpcHandle& h) {
         int32_t v = 9;
         wvarray e[] = {{&v, 4, RPC_ARG_INT32}, {const_cast<char*>("too long"), 8, RPC_ARG_DESC}};
         put_wvarray_full(h, e, 2);
       }},
      {"other kind",
       [](RpcHandle& h) {
         int16_t v = 9;
         wvarray e[] = {{&v, 2, RPC_ARG_INT16}, {nullptr, 0, 0}};
         put_wvarray_full(h, e, 2);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Link l(0);
    l.start();
    c.reply(*l.w);
    l.deliver();
    wvarray mine[] = {{&i32, 4, RPC_ARG_INT32}, {small, 4, RPC_ARG_DESC}};
    EXPECT_EQ(failure_code([&] { get_wvarray_client(*l.r, mine, 2); }), RPC_ERR_TRUNC);
    EXPECT_EQ(i32, 5);
    EXPECT_EQ(std::string(small, 4), "keep");
    EXPECT_EQ(mine[1].iovec_len, 4);
  }
}

// A reply larger than the room the reader sets aside at first (64 KiB): every
// element lands whole in its own storage, scalars and doubles between the blocks.
TEST(Marshal, RowArrayReplyOfManyLargeBlocks) {
  constexpr size_t kBlock = 40000;
  std::vector<std::string> blocks;
  for (char c : {'a', 'b', 'c'}) blocks.emplace_back(kBlock, c);
  double values[3] = {1.5, -2.25, 1e300};
  int32_t n = 77;
  Link l(0);
  l.start();
  {
    wvarray e[] = {{blocks[0].data(), int32_t(kBlock), RPC_ARG_DESC},
                   {&n, 4, RPC_ARG_INT32},
                   {blocks[1].data(), int32_t(kBlock), RPC_ARG_DESC},
                   {values, sizeof values, RPC_ARG_DOUBLE_ARRAY},
                   {blocks[2].data(), int32_t(kBlock), RPC_ARG_DESC}};
    put_wvarray_full(*l.w, e, 5);
  }
  l.deliver();
  std::vector<std::string> got(3, std::string(kBlock, '.'));
  double got_values[3] = {};
  int32_t got_n = 0;
  wvarray mine[] = {{got[0].data(), int32_t(kBlock), RPC_ARG_DESC},
                    {&got_n, 4, RPC_ARG_INT32},
                    {got[1].data(), int32_t(kBlock), RPC_ARG_DESC},
                    {got_values, sizeof got_values, RPC_ARG_DOUBLE_ARRAY},
                    {got[2].data(), int32_t(kBlock), RPC_ARG_DESC}};
  EXPECT_EQ(failure_code([&] { get_wvarray_client(*l.r, mine, 5); }), 0);
  EXPECT_EQ(got, blocks);
  EXPECT_EQ(got_n, 77);
  EXPECT_EQ(std::vector<double>(got_values, got_values + 3), std::vector<double>(values, values + 3));
  EXPECT_EQ(mine[3].iovec_len, int32_t(sizeof values));
}

TEST(Marshal, FloatFormats) {
  std::mt19937 rng(3);
  for (int i = 0; i < 100; ++i) {
    uint32_t f = rng();
    uint64_t d = (uint64_t(rng()) << 32) | rng();
    uint32_t f2 = f;
    uint64_t d2 = d;
    convert_float(kNativeFloat, kWireFloat, reinterpret_cast<uint8_t*>(&f2));
    convert_float(kWireDouble, kNativeDouble, reinterpret_cast<uint8_t*>(&d2));
    EXPECT_EQ(f2, f);
    EXPECT_EQ(d2, d);
  }
  // Another representation (bias 128, its own id) re-biases non-zero exponents only.
  FloatFormat other = kWireFloat;
  other.id = 99;
  other.bias = 128;
  float one = 1.0f;
  uint32_t bits;
  std::memcpy(&bits, &one, 4);
  convert_float(kNativeFloat, other, reinterpret_cast<uint8_t*>(&bits));
  EXPECT_EQ((bits >> 23) & 0xFF, 128u);
  EXPECT_EQ(bits & 0x7FFFFF, 0u);
  uint32_t zero = 0;
  convert_float(kNativeFloat, other, reinterpret_cast<uint8_t*>(&zero));
  EXPECT_EQ(zero, 0u);
  float val = -3.75f;
  std::memcpy(&bits, &val, 4);
  convert_float(kNativeFloat, other, reinterpret_cast<uint8_t*>(&bits));
  convert_float(other, kNativeFloat, reinterpret_cast<uint8_t*>(&bits));
  float back;
  std::memcpy(&back, &bits, 4);
  EXPECT_EQ(back, val);
}

}  // namespace
}  // namespace kyrpc::test
