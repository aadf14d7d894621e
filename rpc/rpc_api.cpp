// The exported handle operations: allocation, options, connect and disconnect,
// export, errors and the small queries. Calls and the serving loop are in call.cpp.
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine.h"
#include "errors.h"
#include "kyrpc.h"
#include "kyrpc_server.h"
#include "message.h"
#include "trace.h"

using namespace kyrpc;

namespace {

int failed(RpcHandle* h, int code) {
  h->error_code = code;
  return 1;
}

void drop_options(RpcHandle* h) {
  for (auto& o : h->transport_opts) o.reset();
  for (auto& o : h->lowl_opts) o.reset();
}

bool valid_table_flags(uint32_t flags) {
  uint32_t kind = kind_of(flags);
  if (kind == 0 || kind == RPC_ARG_FLOAT_ARRAY || kind == RPC_ARG_DOUBLE_ARRAY) return false;
  // A filled block is an out-only block.
  if ((flags & RPC_ARG_FILLED) &&
      ((flags & RPC_ARG_IN) || !(flags & RPC_ARG_OUT) || !is_buffer_kind(kind) || kind == RPC_ARG_REAL))
    return false;
  return (flags & ~(RPC_ARG_KIND_MASK | RPC_ARG_IN | RPC_ARG_OUT | RPC_ARG_FILLED)) == 0;
}

}  // namespace

extern "C" {

RpcHandle* RPCAllocHandle(void) { return new (std::nothrow) RpcHandle(); }

int RPCInitialise(RpcHandle* h, int mode, int socket) {
  if (h == nullptr) return 1;
  h->error_code = 0;
  if (h->state != kAllocated) return failed(h, RPC_ERR_BADSTATE);
  if (mode != RPC_MODE_SERVER && mode != RPC_MODE_CLIENT) return failed(h, RPC_ERR_INVMODE);
  h->mode = mode;
  h->inherited_socket = socket;
  size_t n = std::min<size_t>(transport_count(), 10);
  for (size_t i = 0; i < n; ++i) {
    h->transport_names[i][0] = transport_at(i).name;
    h->transport_names[i][1] = transport_at(i).description;
  }
  h->transport_count = int32_t(n);
  h->state = kInitialised;
  return 0;
}

int RPCEnumerateTransports(RpcHandle* h, int index, const char** name, const char** description) {
  if (h == nullptr) return 1;
  h->error_code = 0;
  // Before initialisation there is no list to read from.
  if (h->state == kAllocated) return failed(h, RPC_ERR_BADSTATE);
  if (index < 0 || index >= h->transport_count) return failed(h, RPC_ERR_BADARG);
  if (name) *name = h->transport_names[index][0];
  if (description) *description = h->transport_names[index][1];
  return 0;
}

int RPCSetTransportOpts(RpcHandle* h, int transport, const char* o1, const char* o2, const char* o3, const char* o4,
                        const char* o5, const char* o6, const char* o7) {
  if (h == nullptr) return 1;
  h->error_code = 0;
  if (h->state != kInitialised && h->state != kOptionsSet) return failed(h, RPC_ERR_BADSTATE);
  if (h->state == kOptionsSet) drop_options(h);
  if (transport < 0 || transport >= h->transport_count) return failed(h, RPC_ERR_BADTRAN);
  h->transport_index = transport;
  const char* given[7] = {o1, o2, o3, o4, o5, o6, o7};
  try {
    for (int i = 0; i < 7; ++i)
      if (given[i]) h->transport_opts[i] = std::string(given[i]);
  } catch (const std::bad_alloc&) {
    return failed(h, RPC_ERR_NOMEM);
  }
  h->state = kOptionsSet;
  return 0;
}

int RPCSetLowLTransportOpts(RpcHandle* h, int count, ...) {
  if (h == nullptr) return 1;
  if (h->state != kOptionsSet) return failed(h, RPC_ERR_BADSTATE);
  va_list ap;
  va_start(ap, count);
  int rc = 0;
  for (int i = 0; i < count; ++i) {
    int id = va_arg(ap, int);
    const char* text = va_arg(ap, const char*);
    if (id < 1 || id > 6) continue;
    try {
      if (text)
        h->lowl_opts[id - 1] = std::string(text);
      else
        h->lowl_opts[id - 1].reset();
    } catch (const std::bad_alloc&) {
      rc = failed(h, RPC_ERR_NOMEM);
      break;
    }
  }
  va_end(ap);
  return rc;
}

int SetTracing(RpcHandle* h, const char* tracing) {
  if (h == nullptr) return 1;
  std::memset(h->tracing, 0, sizeof h->tracing);
  if (tracing) std::strncpy(h->tracing, tracing, sizeof h->tracing - 1);
  return 0;
}

int RPCPermitTracing(RpcHandle* h) {
  if (h == nullptr) return 1;
  h->negotiated |= h->peer_tracing;
  return 0;
}

int RPCConnect(RpcHandle* h, int version, int minor_version, const char* program_id) {
  if (h == nullptr) return 1;
  h->error_code = 0;
  if (h->state != kOptionsSet) return failed(h, RPC_ERR_BADSTATE);
  h->error_text.reset();
  try {
    h->selection = std::make_unique<Selection>();
  } catch (const std::bad_alloc&) {
    return failed(h, RPC_ERR_NOMEM);
  }
  h->selection->index = size_t(h->transport_index);
  if (h->transport_index < 0 || size_t(h->transport_index) >= transport_count()) {
    std::snprintf(h->selection->message, sizeof h->selection->message, "Invalid Transport - %d\n", h->transport_index);
    h->error_text = std::string(h->selection->message);
    h->selection.reset();
    return failed(h, RPC_ERR_TRANSPORT_TEXT);
  }
  h->state = kConnecting;
  TransportOptions options;
  const bool server = h->is_server();
  auto opt = [&](int slot) { return h->transport_opts[slot - 1] ? h->transport_opts[slot - 1]->c_str() : nullptr; };
  auto low = [&](int id) { return h->lowl_opts[id - 1] ? h->lowl_opts[id - 1]->c_str() : nullptr; };
  options.item[0] = server ? nullptr : opt(1);
  options.item[1] = opt(2);
  for (int i = 3; i <= 5; ++i) options.item[i - 1] = server ? nullptr : opt(i);
  options.item[5] = opt(6);
  for (int id = 1; id <= 4; ++id) options.item[6 + id - 1] = low(id);
  options.item[10] = opt(7);
  options.item[11] = low(5);
  options.item[12] = low(6);

  std::unique_ptr<Connection> connection;
  try {
    connection = transport_at(h->selection->index).create();
  } catch (const std::bad_alloc&) {
  }
  if (!connection) {
    std::snprintf(h->selection->message, sizeof h->selection->message, "Insufficient virtual memory\n");
    h->error_text = std::string(h->selection->message);
    disconnect(*h);
    return failed(h, RPC_ERR_OPEN);
  }
  connection->set_wait_limit(h->wait_limit_ms);
  connection->set_wait_end(h->wait_end);
  h->timed_out = false;
  if (!connection->open(server, options, server ? h->inherited_socket : 0)) {
    h->error_text = std::string(connection->message());
    h->timed_out = connection->timed_out();
    connection.reset();
    disconnect(*h);
    return failed(h, RPC_ERR_OPEN);
  }
  int code = connect_over(*h, std::move(connection), version, minor_version, program_id);
  return code == 0 ? 0 : failed(h, code);
}

int RPCDisconnect(RpcHandle* h) {
  if (h == nullptr) return 1;
  if (h->state < kOptionsSet || h->state > kConnected) return failed(h, RPC_ERR_BADSTATE);
  disconnect(*h);
  return 0;
}

int RPCTerminate(RpcHandle* h) {
  if (h == nullptr) return 1;
  if (h->state != kInitialised && h->state != kOptionsSet) return failed(h, RPC_ERR_BADSTATE);
  if (h->state == kOptionsSet) drop_options(h);
  h->state = kAllocated;
  trace_release(*h);
  if (h->terminate_fn) h->terminate_fn(h->terminate_arg);
  return 0;
}

int RPCFreeHandle(RpcHandle* h) {
  if (h == nullptr) return 1;
  if (h->state != kAllocated) return failed(h, RPC_ERR_BADSTATE);
  trace_release(*h);
  if ((h->private_flags & RPC_PRIVATE_FREE) && h->private_ptr) std::free(h->private_ptr);
  delete h;
  return 0;
}

int RPCExport(RpcHandle* h, const FunctionDescriptor* table) {
  if (h == nullptr) return 1;
  h->procedures.clear();
  h->ordinals.clear();
  h->last_procedure = nullptr;
  if (table == nullptr) return 0;
  try {
    for (const FunctionDescriptor* row = table; row->name != nullptr; ++row) {
      for (const ArgumentDescriptor& a : row->args) {
        if (a.flags == 0) break;
        if (!valid_table_flags(a.flags)) return failed(h, RPC_ERR_BADARG);
      }
      if (h->procedures.size() >= kMaxProcedures) return failed(h, RPC_ERR_BADARG);
      auto p = std::make_unique<Procedure>();
      p->fd = *row;
      p->name = row->name;
      p->fd.name = p->name.c_str();
      p->fd.next = h->procedures.empty() ? nullptr : &h->procedures.front()->fd;
      p->fd.ordinal = 0;
      // The list runs newest first: the last row of the table is ordinal 0.
      h->procedures.insert(h->procedures.begin(), std::move(p));
    }
    h->ordinals.assign(h->procedures.size(), nullptr);
  } catch (const std::bad_alloc&) {
    return failed(h, RPC_ERR_NOMEM);
  }
  return 0;
}

int RPCFuncExists(RpcHandle* h, const char* name) {
  if (h == nullptr || name == nullptr) return 0;
  for (const auto& p : h->procedures)
    if (p->name == name) return 1;
  return 0;
}

int RPCGetInfo(RpcHandle* h, int what, char* out, size_t size) {
  if (h == nullptr || out == nullptr || size <= 1) return -1;
  const char* answer;
  if (what == RPC_INFO_BYTE_ORDER)
    answer = h->flag(kNegSwapBytes) ? "Y" : "N";
  else if (what == RPC_INFO_NOT_RPC)
    answer = (h->error_code == 7 || h->error_code == 10) ? "Y" : "N";
  else
    return -1;
  size_t len = std::strlen(answer);
  if (len > size - 1) {
    std::memcpy(out, answer, size - 1);
    out[size - 1] = '\0';
    return 1;
  }
  std::memcpy(out, answer, len + 1);
  return 0;
}

void* RPCGetPrivatePtr(RpcHandle* h) { return h ? h->private_ptr : nullptr; }

int RPCRegisterPrivatePtr(RpcHandle* h, void* ptr, int flags) {
  if (h == nullptr) return 1;
  h->private_ptr = ptr;
  h->private_flags = flags;
  return 0;
}

int RPCRegisterTerminateFn(RpcHandle* h, void (*fn)(void*), void* arg) {
  if (h == nullptr) return 1;
  h->terminate_fn = fn;
  h->terminate_arg = arg;
  return 0;
}

int RPCSetError(RpcHandle* h, void (*callback)(int, void*), void* context) {
  if (h == nullptr) return 1;
  h->error_callback = callback;
  h->error_context = context;
  return 0;
}

int RPCIsConnected(RpcHandle* h) { return (h && h->state == kConnected) ? 1 : 0; }

int RPCSetWaitLimit(RpcHandle* h, long millis) {
  if (h == nullptr) return 1;
  h->wait_limit_ms = millis > 0 ? millis : 0;
  if (h->connection) h->connection->set_wait_limit(h->wait_limit_ms);
  return 0;
}

int RPCSetWaitEnd(RpcHandle* h, long millis) {
  if (h == nullptr) return 1;
  h->wait_end.reset();
  if (millis > 0) h->wait_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(millis);
  if (h->connection) h->connection->set_wait_end(h->wait_end);
  return 0;
}

int RPCTimedOut(RpcHandle* h) { return (h && ((h->connection && h->connection->timed_out()) || h->timed_out)) ? 1 : 0; }

int RPCLastRPC(RpcHandle* h, const char** name) {
  if (h == nullptr || h->last_procedure == nullptr) return -1;
  if (name) *name = h->last_procedure->name;
  return int(h->last_procedure->ordinal);
}

int RPCReportError(RpcHandle* h, const char** text) {
  if (h == nullptr) {
    if (text) *text = "RPC-NOMSG, No message available";
    return -1;
  }
  bool from_transport = false;
  const char* message = error_table_text(h->error_code, &from_transport);
  if (from_transport) {
    if (h->error_text)
      message = h->error_text->c_str();
    else if (h->connection)
      message = h->connection->message();
    else if (h->selection)
      message = h->selection->message;
    else
      message = "unknown error";
  }
  if (text) *text = message;
  return h->error_code;
}

}  // extern "C"
