// Frames, the handshake and the call/reply messages, byte for byte, over the
// in-memory transport; every failure code of the handshake and the serving loop.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "errors.h"
#include "message.h"
#include "test_util.h"

namespace kyrpc::test {
namespace {

constexpr const char* kProgram = "1999-1014-0000000001";

std::string nts(const std::string& s) { return s + std::string(1, '\0'); }
std::string le16(int v) { return std::string{char(v & 0xFF), char((v >> 8) & 0xFF)}; }

// ---- Frames ----

TEST(Frames, OutgoingBoundaries) {
  struct Case {
    const char* name;
    std::function<void(RpcHandle&)> write;
    std::vector<size_t> frames;
  } cases[] = {
      {"4096 bytes are one frame", [](RpcHandle& h) { put_bytes(h, std::string(4095, 'x').data(), 4095); }, {4096}},
      {"a scalar never ends a frame",
       [](RpcHandle& h) {
         put_bytes(h, std::string(4091, 'x').data(), 4091);
         put_i32(h, 1);
       },
       {4092, 4}},
      {"bytes fill frames", [](RpcHandle& h) { put_bytes(h, std::string(8191, 'x').data(), 8191); }, {4096, 4096}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = std::make_shared<MemoryStream>();
    HandlePtr h = memory_handle(RPC_MODE_CLIENT, 0, s);
    start_message(*h);
    c.write(*h);
    flush(*h);
    std::vector<size_t> sizes;
    for (auto& f : split_frames(s->output)) sizes.push_back(f.size());
    EXPECT_EQ(sizes, c.frames);
  }
}

TEST(Frames, IncomingFailures) {
  struct Case {
    const char* name;
    std::string input;
    int code;
    const char* message;
  } cases[] = {
      {"empty frame", frame(""), RPC_ERR_EPKT, ""},
      {"bad start byte", frame("X123"), RPC_ERR_BADSTR, ""},
      {"scalar cut by a short frame", frame("D") + frame("\x01"), RPC_ERR_SRTPKT, ""},
      {"peer gone", "", RPC_ERR_TRANSPORT, "Connection closed by peer"},
      {"refusal text", std::string(4, '\xFF') + nts("Server busy"), RPC_ERR_TRANSPORT, "Server busy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto s = std::make_shared<MemoryStream>();
    s->input = c.input;
    HandlePtr h = memory_handle(RPC_MODE_SERVER, 0, s);
    EXPECT_EQ(failure_code([&] {
                begin_read(*h);
                get_i16(*h);
                get_i32(*h);
              }),
              c.code);
    EXPECT_STREQ(h->connection->message(), c.message);
  }
}

// ---- Handshake ----

std::vector<FunctionDescriptor> procedure_table(size_t rows) {
  std::vector<FunctionDescriptor> t(rows + 1);
  static std::vector<std::string> names;
  names.clear();
  for (size_t i = 0; i < rows; ++i) names.push_back("p" + std::to_string(i));
  for (size_t i = 0; i < rows; ++i) {
    t[i].name = names[i].c_str();
    t[i].args[0].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  }
  return t;
}

std::string client_params() { return nts("01:NT^02:6.1.0^03:unknown^04:8^05:^06:\x99\x11^07:1^10:8^"); }

// A block the handler fills is the server's own business: the announced flags
// are those of a plain out block, and only an out-only block may carry it.
TEST(Handshake, FilledBlockAnnouncedAsPlainOutBlock) {
  auto table = procedure_table(1);
  table[0].args[0].flags = RPC_ARG_OUT | RPC_ARG_DESC | RPC_ARG_FILLED;
  table[0].args[1].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  HandlePtr h = make_handle(RPC_MODE_SERVER, kOptionsSet);
  ASSERT_EQ(RPCExport(h.get(), table.data()), 0);
  auto s = std::make_shared<MemoryStream>();
  s->input = frame(client_params());
  ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
  auto frames = split_frames(s->output);
  ASSERT_GE(frames.size(), 5u);
  EXPECT_EQ(frames[4], nts("B0!p0!2052!0!n!2049!0!n!"));
  for (uint32_t flags : {RPC_ARG_IN | RPC_ARG_DESC | RPC_ARG_FILLED,
                         RPC_ARG_IN | RPC_ARG_OUT | RPC_ARG_DESC | RPC_ARG_FILLED, RPC_ARG_OUT | RPC_ARG_INT16 | RPC_ARG_FILLED,
                         RPC_ARG_OUT | RPC_ARG_WVARRAY | RPC_ARG_FILLED}) {
    SCOPED_TRACE(flags);
    auto bad = procedure_table(1);
    bad[0].args[0].flags = flags;
    HandlePtr other = make_handle(RPC_MODE_SERVER, kOptionsSet);
    EXPECT_NE(RPCExport(other.get(), bad.data()), 0);
  }
}

TEST(Handshake, ServerFramesByteExact) {
  auto table = procedure_table(147);
  table[0].name = "authenticate";
  table[0].args[0].flags = RPC_ARG_IN | RPC_ARG_RPC;
  table[0].args[1].flags = RPC_ARG_IN | RPC_ARG_DESC;
  table[0].args[2].flags = RPC_ARG_IN | RPC_ARG_DESC;
  table[0].args[3].flags = RPC_ARG_OUT | RPC_ARG_INT32;
  table[3].name = "sql_free_stmt";
  table[3].args[0].flags = RPC_ARG_IN | RPC_ARG_PTR;
  table[3].args[1].flags = RPC_ARG_IN | RPC_ARG_INT16;
  table[3].args[2].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  HandlePtr h = make_handle(RPC_MODE_SERVER, kOptionsSet);
  ASSERT_EQ(RPCExport(h.get(), table.data()), 0);
  auto s = std::make_shared<MemoryStream>();
  s->input = frame(client_params());
  ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
  EXPECT_EQ(s->output.substr(0, 4 + 9 + 4 + 25), std::string("\0\0\0\x09"
                                                             "87FA9694\0"
                                                             "\0\0\0\x19"
                                                             "1:0:1999-1014-0000000001\0",
                                                             42));
  auto frames = split_frames(s->output);
  ASSERT_EQ(frames.size(), 3u + 1 + 147 + 1);
  EXPECT_EQ(frames[3], "A");
  EXPECT_EQ(frames[4], nts("B0!p146!2049!0!n!"));
  EXPECT_EQ(frames[4 + 143], nts("B143!sql_free_stmt!1088!0!n!1025!0!n!2049!0!n!"));
  EXPECT_EQ(frames[4 + 146], nts("B146!authenticate!1028!0!n!1028!0!n!2050!0!n!"));
  EXPECT_EQ(frames.back(), "C");
  EXPECT_EQ(RPCIsConnected(h.get()), 1);
  EXPECT_EQ(h->negotiated, uint32_t(kNegPeerCompresses | kNegCompression));
  // The server's own parameter list, byte for byte apart from the system version.
  const std::string& p = frames[2];
  ASSERT_EQ(p.rfind("01:NT^02:", 0), 0u);
  std::string tail = nts("^03:unknown^04:8^05:^06:\x99\x11^07:1^10:8^");
  ASSERT_GE(p.size(), tail.size());
  EXPECT_EQ(p.substr(p.size() - tail.size()), tail);
}

std::string server_stream(const std::string& magic, const std::string& version, const std::string& params,
                          const std::vector<std::string>& procedures, bool end = true) {
  std::string s = frame(magic) + frame(version) + frame(params) + frame("A");
  for (auto& p : procedures) s += frame(p);
  if (end) s += frame("C");
  return s;
}

const std::string kMagic = nts("87FA9694");
const std::string kVersion = nts("1:0:1999-1014-0000000001");
const std::string kParams = nts("01:NT^04:8^07:1^10:8^");
const std::string kEcho = nts("B0!echo!1026!0!n!2050!4!result!");

struct ClientRun {
  int code;
  HandlePtr h;
  std::shared_ptr<MemoryStream> s;
};

ClientRun run_client(const std::string& input, int minor = 0) {
  ClientRun r{0, make_handle(RPC_MODE_CLIENT, kOptionsSet), std::make_shared<MemoryStream>()};
  r.s->input = input;
  r.code = connect_over(*r.h, std::make_unique<MemoryConnection>(r.s), 1, minor, kProgram);
  return r;
}

TEST(Handshake, ClientAcceptsAServerOfThisSystem) {
  ClientRun r = run_client(server_stream(kMagic, kVersion, kParams, {kEcho, nts("B1!other!1025!0!n!")}));
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(r.h->state, kConnected);
  EXPECT_EQ(RPCFuncExists(r.h.get(), "echo"), 1);
  EXPECT_EQ(RPCFuncExists(r.h.get(), "other"), 1);
  Procedure* echo = r.h->names->find("echo");
  ASSERT_NE(echo, nullptr);
  EXPECT_EQ(echo->fd.args[1].flags, 2050u);
  EXPECT_EQ(echo->fd.args[1].size, 4);
  EXPECT_STREQ(echo->fd.args[1].name, "result");
  EXPECT_EQ(echo->fd.args[0].name, nullptr);
  EXPECT_EQ(echo->fd.args[2].flags, 0u);
  EXPECT_EQ(r.h->negotiated, uint32_t(kNegPeerCompresses | kNegCompression));
  auto sent = split_frames(r.s->output);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].rfind("01:NT^02:", 0), 0u);
}

TEST(Handshake, ClientFailureCodes) {
  std::string groups21;
  for (int i = 0; i < 21; ++i) groups21 += "1025!0!n!";
  std::vector<std::string> too_many;  // one more procedure than 16-bit ordinals can number
  for (int i = 0; i <= 65536; ++i) too_many.push_back(nts("B0!p" + std::to_string(i) + "!1026!0!n!"));
  struct Case {
    const char* name;
    std::string input;
    int code;
    int minor;
  } cases[] = {
      {"magic without NUL", server_stream("87FA9694", kVersion, kParams, {kEcho}), RPC_ERR_BADMGK, 0},
      {"other magic", server_stream(nts("87FA9695"), kVersion, kParams, {kEcho}), RPC_ERR_BADMGK, 0},
      {"minor version mismatch", server_stream(kMagic, kVersion, kParams, {kEcho}), RPC_ERR_BADVER, 1},
      {"version without second colon", server_stream(kMagic, nts("1:0"), kParams, {kEcho}), RPC_ERR_BADVER, 0},
      {"other program", server_stream(kMagic, nts("1:0:1999-1014-0000000002"), kParams, {kEcho}), RPC_ERR_BADUID, 0},
      {"version text too long", server_stream(kMagic, std::string(256, '1'), kParams, {kEcho}), RPC_ERR_VERSION_TOO_BIG,
       0},
      {"parameter list too long", server_stream(kMagic, kVersion, std::string(256, '^'), {kEcho}),
       RPC_ERR_PARAMS_TOO_BIG, 0},
      {"missing caret", server_stream(kMagic, kVersion, nts("01:NT^04:8"), {kEcho}), RPC_ERR_INVPARAM, 0},
      {"empty list", server_stream(kMagic, kVersion, nts(""), {kEcho}), RPC_ERR_BADNEG, 0},
      {"pointer width 6", server_stream(kMagic, kVersion, nts("04:6^10:8^"), {kEcho}), RPC_ERR_INVPARAM, 0},
      {"no export start", frame(kMagic) + frame(kVersion) + frame(kParams) + frame("X"), RPC_ERR_TRANSPORT, 0},
      {"not a B frame", server_stream(kMagic, kVersion, kParams, {nts("Q0!echo!")}), RPC_ERR_FUNCFAIL, 0},
      {"bad ordinal", server_stream(kMagic, kVersion, kParams, {nts("Bx!echo!")}), RPC_ERR_FUNCFAIL, 0},
      {"torn group", server_stream(kMagic, kVersion, kParams, {nts("B0!echo!1026!0!")}), RPC_ERR_FUNCFAIL, 0},
      {"two kind bits", server_stream(kMagic, kVersion, kParams, {nts("B0!echo!1027!0!n!")}), RPC_ERR_FUNCFAIL, 0},
      {"no kind bit", server_stream(kMagic, kVersion, kParams, {nts("B0!echo!1024!0!n!")}), RPC_ERR_FUNCFAIL, 0},
      {"implicit handle", server_stream(kMagic, kVersion, kParams, {nts("B0!echo!1536!0!n!")}), RPC_ERR_FUNCFAIL, 0},
      {"21 groups", server_stream(kMagic, kVersion, kParams, {nts("B0!echo!" + groups21)}), RPC_ERR_FUNCFAIL, 0},
      {"duplicate name", server_stream(kMagic, kVersion, kParams, {kEcho, kEcho}), RPC_ERR_DUPEXPFN, 0},
      {"65537 procedures", server_stream(kMagic, kVersion, kParams, too_many), RPC_ERR_FUNCFAIL, 0},
      {"list never ends", server_stream(kMagic, kVersion, kParams, {kEcho}, false), RPC_ERR_TRANSPORT, 0},
      {"refused", std::string(4, '\xFF') + nts("Too many connections"), RPC_ERR_TRANSPORT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientRun r = run_client(c.input, c.minor);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.h->state, kOptionsSet);
    EXPECT_EQ(r.h->connection, nullptr);
  }
  ClientRun refused = run_client(std::string(4, '\xFF') + nts("Too many connections"));
  refused.h->error_code = refused.code;
  const char* text = nullptr;
  RPCReportError(refused.h.get(), &text);
  EXPECT_STREQ(text, "Too many connections");
}

TEST(Handshake, NegotiatedFlags) {
  struct Case {
    const char* name;
    int mode;
    std::string params;
    uint32_t flags;
  } cases[] = {
      {"narrow peer", RPC_MODE_CLIENT, nts("04:4^10:4^"),
       kNegNarrowPointers | kNegPointerWidthDiffers | kNegSqllenWidthDiffers | kNegNarrowSqllen},
      {"other byte order", RPC_MODE_CLIENT, nts("06:\x11\x99^04:8^10:8^"), kNegSwapBytes},
      {"challenge asked, never run", RPC_MODE_CLIENT, nts("08:1^07:0^04:8^10:8^"), kNegPeerChallenge},
      {"server: narrow peer", RPC_MODE_SERVER, nts("04:4^10:4^07:1^"),
       kNegNarrowPointers | kNegPointerWidthDiffers | kNegSqllenWidthDiffers | kNegNarrowSqllen | kNegPeerCompresses |
           kNegCompression},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HandlePtr h = make_handle(c.mode, kOptionsSet);
    auto s = std::make_shared<MemoryStream>();
    if (c.mode == RPC_MODE_CLIENT) {
      s->input = server_stream(kMagic, kVersion, c.params, {kEcho});
    } else {
      RPCExport(h.get(), procedure_table(1).data());
      s->input = frame(c.params);
    }
    ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
    EXPECT_EQ(h->negotiated, c.flags);
    if (c.mode == RPC_MODE_SERVER) {
      ASSERT_EQ(h->pointer_table.size(), 1u);
      EXPECT_EQ(h->pointer_table[0], nullptr);
    }
  }
  // A VMS client makes the server's frames shorter.
  HandlePtr server = make_handle(RPC_MODE_SERVER, kOptionsSet);
  RPCExport(server.get(), procedure_table(1).data());
  auto s = std::make_shared<MemoryStream>();
  s->input = frame(nts("01:OpenVMS^04:8^10:8^"));
  ASSERT_EQ(connect_over(*server, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
  EXPECT_EQ(server->out_capacity, 1024u);
}

TEST(Handshake, ReconnectForgetsTheEarlierList) {
  HandlePtr h = make_handle(RPC_MODE_CLIENT, kOptionsSet);
  auto s1 = std::make_shared<MemoryStream>();
  s1->input = server_stream(kMagic, kVersion, kParams, {kEcho});
  ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s1), 1, 0, kProgram), 0);
  RPCDisconnect(h.get());
  EXPECT_EQ(RPCFuncExists(h.get(), "echo"), 1);  // kept until the next handshake
  auto s2 = std::make_shared<MemoryStream>();
  s2->input = server_stream(kMagic, kVersion, kParams, {nts("B0!fresh!2050!0!n!")});
  ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s2), 1, 0, kProgram), 0);
  EXPECT_EQ(RPCFuncExists(h.get(), "echo"), 0);
  EXPECT_EQ(RPCFuncExists(h.get(), "fresh"), 1);
}

// ---- Calls and the serving loop ----

void echo_stub(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  int32_t v = *static_cast<int32_t*>(__RPCextractarg(&cur));
  __RPCsetarg(&cur, int64_t(v) + 1);
}

std::string le32(uint32_t v) {
  return std::string{char(v & 0xFF), char((v >> 8) & 0xFF), char((v >> 16) & 0xFF), char(v >> 24)};
}

struct ServedRun {
  int rc;
  int code;
  std::vector<std::string> replies;
};

ServedRun serve(const std::string& calls, uint32_t out_flags = RPC_ARG_OUT | RPC_ARG_INT32) {
  std::vector<FunctionDescriptor> t(3);
  t[0].name = "echo";
  t[0].handler = echo_stub;
  t[0].args[0].flags = RPC_ARG_IN | RPC_ARG_INT32;
  t[0].args[1].flags = out_flags;
  t[1].name = "block";
  t[1].args[0].flags = RPC_ARG_OUT | RPC_ARG_DESC;
  t[1].args[1].flags = RPC_ARG_OUT | RPC_ARG_INT16;
  HandlePtr h = make_handle(RPC_MODE_SERVER, kOptionsSet);
  RPCExport(h.get(), t.data());
  auto s = std::make_shared<MemoryStream>();
  s->input = frame(client_params()) + calls;
  EXPECT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
  size_t handshake_frames = split_frames(s->output).size();
  ServedRun r;
  r.rc = RPCRun(h.get());
  r.code = RPCReportError(h.get(), nullptr);
  auto frames = split_frames(s->output);
  r.replies.assign(frames.begin() + long(handshake_frames), frames.end());
  return r;
}

TEST(Serving, CallsAndFailures) {
  // The list runs in reverse table order: "block" is ordinal 0, "echo" ordinal 1.
  struct Case {
    const char* name;
    std::string calls;
    int code;
    std::vector<std::string> replies;
  } cases[] = {
      {"one call, then the client leaves",
       frame("D" + le16(1) + le32(41)),
       RPC_ERR_TRANSPORT,
       {"D" + le16(1) + le32(42)}},
      {"ordinal -1", frame("D" + le16(0xFFFF)), RPC_ERR_BADFUNC, {}},
      {"ordinal = count", frame("D" + le16(2)), RPC_ERR_BADFUNC, {}},
      {"empty frame", frame(""), RPC_ERR_EPKT, {}},
      {"bad start byte", frame("Q" + le16(0)), RPC_ERR_BADSTR, {}},
      {"arguments missing", frame("D" + le16(1)), RPC_ERR_TRANSPORT, {}},
      {"capacity past the ceiling", frame("D" + le16(0) + le32(0x7FFFFFFF)), RPC_ERR_NOMEM, {}},
      {"zero-filled out buffer",
       frame("D" + le16(0) + le32(6)),
       RPC_ERR_TRANSPORT,
       {"D" + le16(0) + le32(6) + std::string(6, '\0') + le16(0)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServedRun r = serve(c.calls);
    EXPECT_EQ(r.rc, 1);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.replies, c.replies);
  }
}

TEST(Serving, ClientChecksTheReplyOrdinal) {
  HandlePtr h = make_handle(RPC_MODE_CLIENT, kOptionsSet);
  auto s = std::make_shared<MemoryStream>();
  s->input = server_stream(kMagic, kVersion, kParams, {kEcho}) + frame("D" + le16(1) + le32(5));
  ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
  int32_t out = 0;
  EXPECT_EQ(RPCExec(h.get(), "echo", 4, &out), 1);
  EXPECT_EQ(RPCReportError(h.get(), nullptr), RPC_ERR_BADSTR);
  EXPECT_EQ(out, 0);
  auto sent = split_frames(s->output);
  EXPECT_EQ(sent.back(), "D" + le16(0) + le32(4));
}

}  // namespace
}  // namespace kyrpc::test

namespace kyrpc::test {
namespace {

int g_record;

// in sqllen, in ptr, out ptr, out sqllen, out sqllen-array, result int16.
void narrow_stub(ArgumentDescriptor* args) {
  ArgumentDescriptor* cur = args;
  int64_t len = *static_cast<int64_t*>(__RPCextractarg(&cur));
  void* in_ptr = *static_cast<void**>(__RPCextractarg(&cur));
  __RPCsetarg(&cur, reinterpret_cast<intptr_t>(in_ptr ? nullptr : &g_record));
  __RPCsetarg(&cur, intptr_t(len * 5000000));
  auto* arr = static_cast<ArgumentDescriptor*>(__RPCextractarg(&cur));
  auto* v = static_cast<int64_t*>(arr->value.ptr);
  for (int32_t i = 0; i < arr->size / 8; ++i) v[i] = (i % 2 ? -1 : 1) * 5000000000LL;
  __RPCsetarg(&cur, 0);
}

TEST(Serving, NarrowClient) {
  FunctionDescriptor t[2] = {};
  t[0].name = "narrow";
  t[0].handler = narrow_stub;
  uint32_t flags[] = {RPC_ARG_IN | RPC_ARG_SQLLEN,  RPC_ARG_IN | RPC_ARG_PTR,           RPC_ARG_OUT | RPC_ARG_PTR,
                      RPC_ARG_OUT | RPC_ARG_SQLLEN, RPC_ARG_OUT | RPC_ARG_SQLLEN_ARRAY, RPC_ARG_OUT | RPC_ARG_INT16};
  for (size_t i = 0; i < 6; ++i) t[0].args[i].flags = flags[i];
  HandlePtr h = make_handle(RPC_MODE_SERVER, kOptionsSet);
  RPCExport(h.get(), t);
  auto s = std::make_shared<MemoryStream>();
  // A 32-bit client: sqllen 1000 and a null pointer, then asks for 2 sqllen values (8 bytes).
  s->input = frame(nts("04:4^10:4^")) + frame("D" + le16(0) + le32(1000) + le32(0) + le32(8)) +
             frame("D" + le16(0) + le32(1) + le32(1) + le32(0));
  ASSERT_EQ(connect_over(*h, std::make_unique<MemoryConnection>(s), 1, 0, kProgram), 0);
  size_t before = split_frames(s->output).size();
  EXPECT_EQ(RPCRun(h.get()), 1);
  EXPECT_EQ(RPCReportError(h.get(), nullptr), RPC_ERR_TRANSPORT);
  auto frames = split_frames(s->output);
  ASSERT_EQ(frames.size(), before + 2);
  // Index 1 for the new record, 5000000000 clamped, the array halved and clamped.
  EXPECT_EQ(frames[before],
            "D" + le16(0) + le32(1) + le32(0x7FFFFFFF) + le32(8) + le32(0x7FFFFFFF) + le32(0x80000000u) + le16(0));
  // The client hands index 1 back: the stub sees the record and answers null (index 0).
  EXPECT_EQ(frames[before + 1], "D" + le16(0) + le32(0) + le32(5000000) + le32(0) + le16(0));
}

}  // namespace
}  // namespace kyrpc::test
