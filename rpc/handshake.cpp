// The connect handshake of both roles and the client's table of received
// procedures. Every received text is terminated at its received length before it is
// parsed; lists, names and argument groups are bounded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "capability.h"
#include "engine.h"
#include "errors.h"
#include "message.h"
#include "trace.h"

#include "ky_hash.h"

namespace kyrpc {

// ---- Name table ----

NameTable::NameTable() : table_(ky_make_hash_table(256)) {
  if (table_ == nullptr) throw std::bad_alloc();
}
NameTable::~NameTable() {
  auto* t = static_cast<hash_table*>(table_);
  ky_flush_hash_table(t, nullptr, 0);  // keys and data belong to the procedure list
  ky_dispose_hash_table(t);
}
bool NameTable::add(Procedure* p) {
  hash_item* item = ky_add_hash_item(p->name.c_str(), static_cast<hash_table*>(table_));
  if (item == nullptr) throw std::bad_alloc();
  if (item->data != nullptr) return false;
  item->data = p;
  return true;
}
Procedure* NameTable::find(const char* name) const {
  hash_item* item = ky_find_hash_item(name, static_cast<hash_table*>(table_));
  return item ? static_cast<Procedure*>(item->data) : nullptr;
}
Procedure* NameTable::find_called(const char* name) {
  // Callers name procedures with the same constant texts call after call:
  // the text's address picks a slot, and the name itself confirms it.
  Recent& slot = recent_[(reinterpret_cast<uintptr_t>(name) >> 3) % kRecent];
  if (slot.text == name && slot.procedure && slot.procedure->name == name) return slot.procedure;
  Procedure* p = find(name);
  if (p) slot = Recent{name, p};
  return p;
}

namespace {

// more: the frame is not the last before we wait for the peer, so it may leave
// together with the ones that follow.
void send_frame(RpcHandle& h, const void* bytes, size_t length, bool more = false) {
  if (!h.connection->send(static_cast<const uint8_t*>(bytes), length, more)) fail(RPC_ERR_TRANSPORT);
}

void send_text(RpcHandle& h, const std::string& text, bool more = false) {
  send_frame(h, text.c_str(), text.size() + 1, more);
}

// Receives one frame of at most capacity bytes.
std::string receive_frame(RpcHandle& h, size_t capacity) {
  std::string buf(capacity, '\0');
  size_t length = 0;
  if (!h.connection->receive(reinterpret_cast<uint8_t*>(buf.data()), capacity, &length) || length > capacity)
    fail(RPC_ERR_TRANSPORT);
  buf.resize(length);
  return buf;
}

// A received text ends at its first NUL or at its received length.
std::string as_text(const std::string& frame) {
  return std::string(frame.c_str(), strnlen(frame.data(), frame.size()));
}

void reset_negotiation(RpcHandle& h) {
  h.negotiated = 0;
  h.peer_tracing = 0;
  h.peer_params.clear();
  h.peer_pointer_width = 8;
  h.peer_sqllen_width = 8;
  h.pointer_table.clear();
  h.client_keys.clear();
  h.out_capacity = kFrameCapacity;
  h.out_used = 0;
  h.in_available = h.in_cursor = 0;
}

std::string procedure_frame(const Procedure& p) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%hd!", int16_t(p.fd.ordinal));
  std::string text = "B";
  text += buf;
  text += p.fd.name ? p.fd.name : "";
  text += '!';
  for (const ArgumentDescriptor& a : p.fd.args) {
    if (a.flags == 0) break;
    if (a.flags & RPC_ARG_RPC) continue;
    std::snprintf(buf, sizeof buf, "%d!%ld!", int(a.flags & ~RPC_ARG_FILLED), long(a.size));
    text += buf;
    text += (a.name && a.name[0]) ? a.name : "n";
    text += '!';
  }
  if (text.size() + 1 > kProcedureFrameCapacity) fail(RPC_ERR_NOMEM);
  return text;
}

// Reads a decimal number that ends at '!'; advances past the '!'.
bool take_number(const std::string& s, size_t* pos, long long* out) {
  size_t bang = s.find('!', *pos);
  if (bang == std::string::npos || bang == *pos) return false;
  std::string field = s.substr(*pos, bang - *pos);
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(field.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = v;
  *pos = bang + 1;
  return true;
}

bool take_text(const std::string& s, size_t* pos, std::string* out) {
  size_t bang = s.find('!', *pos);
  if (bang == std::string::npos) return false;
  *out = s.substr(*pos, bang - *pos);
  *pos = bang + 1;
  return true;
}

// A received argument must name one kind (never the implicit handle) and a direction.
bool valid_received_flags(long long flags) {
  if (flags <= 0 || flags > 0xFFFFFFFFll) return false;
  uint32_t f = uint32_t(flags);
  uint32_t kind = kind_of(f);
  if (kind == 0 || kind == RPC_ARG_RPC || kind == RPC_ARG_FLOAT_ARRAY || kind == RPC_ARG_DOUBLE_ARRAY) return false;
  if ((f & (RPC_ARG_IN | RPC_ARG_OUT)) == 0) return false;
  return (f & ~(RPC_ARG_KIND_MASK | RPC_ARG_IN | RPC_ARG_OUT)) == 0;
}

std::unique_ptr<Procedure> parse_procedure(const std::string& text) {
  if (text.empty() || text[0] != 'B') fail(RPC_ERR_FUNCFAIL);
  auto p = std::make_unique<Procedure>();
  size_t pos = 1;
  long long ordinal = 0;
  if (!take_number(text, &pos, &ordinal) || ordinal < -32768 || ordinal > 65535) fail(RPC_ERR_FUNCFAIL);
  if (!take_text(text, &pos, &p->name) || p->name.empty()) fail(RPC_ERR_FUNCFAIL);
  p->fd.ordinal = uint16_t(ordinal);
  size_t count = 0;
  std::vector<std::string> names;
  while (pos < text.size()) {
    long long flags = 0, size = 0;
    std::string name;
    if (count == RPC_MAX_ARGS) fail(RPC_ERR_FUNCFAIL);
    if (!take_number(text, &pos, &flags) || !valid_received_flags(flags) || !take_number(text, &pos, &size) ||
        size < INT32_MIN || size > INT32_MAX || !take_text(text, &pos, &name))
      fail(RPC_ERR_FUNCFAIL);
    p->fd.args[count].flags = uint32_t(flags);
    p->fd.args[count].size = int32_t(size);
    names.push_back(name.size() == 1 ? std::string() : name);
    ++count;
  }
  p->arg_names = std::move(names);
  p->fd.name = p->name.c_str();
  for (size_t i = 0; i < count; ++i) p->fd.args[i].name = p->arg_names[i].empty() ? nullptr : p->arg_names[i].c_str();
  return p;
}

}  // namespace

void server_handshake(RpcHandle& h) {
  reset_negotiation(h);
  send_text(h, kMagicText, true);
  char version[300];
  std::snprintf(version, sizeof version, "%ld:%ld:%s", long(h.version), long(h.minor_version),
                h.program_id ? h.program_id : "");
  send_text(h, version, true);
  send_text(h, build_parameter_list(h));
  std::string peer = as_text(receive_frame(h, kHandshakeCapacity));
  parse_parameter_list(h, peer.c_str(), peer.size());

  send_frame(h, "A", 1, true);
  for (size_t i = 0; i < h.procedures.size(); ++i) {
    Procedure& p = *h.procedures[i];
    p.fd.ordinal = uint16_t(i);
    h.ordinals[i] = &p.fd;
    send_text(h, procedure_frame(p), true);
  }
  send_frame(h, "C", 1);
  apply_peer_parameters(h);
}

void client_handshake(RpcHandle& h) {
  reset_negotiation(h);
  // A new connection starts with no procedures from an earlier server.
  h.names.reset();
  h.procedures.clear();

  std::string magic = receive_frame(h, kHandshakeCapacity);
  if (magic.size() != std::strlen(kMagicText) + 1 || std::memcmp(magic.data(), kMagicText, magic.size()) != 0)
    fail(RPC_ERR_BADMGK);
  std::string version_frame = receive_frame(h, kHandshakeCapacity);
  if (version_frame.size() > 255) fail(RPC_ERR_VERSION_TOO_BIG);
  std::string params_frame = receive_frame(h, kHandshakeCapacity);
  if (params_frame.size() > 255) fail(RPC_ERR_PARAMS_TOO_BIG);
  std::string params = as_text(params_frame);
  parse_parameter_list(h, params.c_str(), params.size());
  send_text(h, build_parameter_list(h));

  std::string version = as_text(version_frame);
  size_t c1 = version.find(':');
  size_t c2 = c1 == std::string::npos ? c1 : version.find(':', c1 + 1);
  if (c2 == std::string::npos) fail(RPC_ERR_BADVER);
  if (std::atol(version.substr(0, c1).c_str()) != h.version ||
      std::atol(version.substr(c1 + 1, c2 - c1 - 1).c_str()) != h.minor_version)
    fail(RPC_ERR_BADVER);
  if (version.substr(c2 + 1) != (h.program_id ? h.program_id : "")) fail(RPC_ERR_BADUID);

  std::string start = receive_frame(h, 1);
  if (start.size() != 1 || start[0] != 'A') fail(RPC_ERR_TRANSPORT);
  h.names = std::make_unique<NameTable>();
  std::vector<std::unique_ptr<Procedure>> received;
  for (;;) {
    std::string frame = receive_frame(h, kProcedureFrameCapacity);
    if (frame.size() == 1 && frame[0] == 'C') break;
    if (received.size() >= kMaxProcedures) fail(RPC_ERR_FUNCFAIL);
    auto p = parse_procedure(as_text(frame));
    if (!h.names->add(p.get())) fail(RPC_ERR_DUPEXPFN);
    received.push_back(std::move(p));
  }
  // The handle's list runs newest first.
  for (auto it = received.rbegin(); it != received.rend(); ++it) h.procedures.push_back(std::move(*it));
  for (size_t i = 0; i + 1 < h.procedures.size(); ++i) h.procedures[i]->fd.next = &h.procedures[i + 1]->fd;
  apply_peer_parameters(h);
}

void disconnect(RpcHandle& h) {
  h.connection.reset();
  h.selection.reset();
  h.names.reset();
  h.state = kOptionsSet;
}

int connect_over(RpcHandle& h, std::unique_ptr<Connection> connection, int version, int minor_version,
                 const char* program_id) {
  h.state = kConnecting;
  h.version = version;
  h.minor_version = minor_version;
  h.program_id = program_id;
  h.connection = std::move(connection);
  int code = 0;
  try {
    if (h.is_server())
      server_handshake(h);
    else
      client_handshake(h);
  } catch (const RpcFailure& f) {
    code = f.code;
  } catch (const std::bad_alloc&) {
    code = RPC_ERR_NOMEM;
  }
  if (code == 0) {
    h.state = kConnected;
    return 0;
  }
  const char* text = h.connection ? h.connection->message() : "";
  if ((text == nullptr || *text == '\0') && h.selection) text = h.selection->message;
  h.error_text = std::string(text ? text : "");
  h.timed_out = h.connection && h.connection->timed_out();
  disconnect(h);
  return code;
}

}  // namespace kyrpc
