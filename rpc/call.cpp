// Calls by name (client) and the serving loop (server), with the stub helpers
// __RPCextractarg and __RPCsetarg. A failure anywhere in a message unwinds to the
// exported function, which frees everything the call had allocated so far.
#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "engine.h"
#include "errors.h"
#include "message.h"
#include "trace.h"
#include "wvarray.h"

namespace kyrpc {
namespace {

size_t scalar_bytes(uint32_t kind) {
  switch (kind) {
    case RPC_ARG_INT16: return 2;
    case RPC_ARG_INT32: return 4;
    default: return 8;
  }
}

int32_t in_length(const ArgumentDescriptor* rec) {
  if (rec->size != RPC_LEN_NTS) return rec->size;
  const char* text = static_cast<const char*>(rec->value.ptr);
  return text ? int32_t(std::strlen(text) + 1) : 0;
}

void write_call(RpcHandle& h, const FunctionDescriptor& fd, std::vector<CallerArg>& args, bool hold) {
  start_message(h);
  if (h.flag(kNegTraceArgs)) trace_line(h, "pushing int16 %s : %d\n", "Ordinal", int(int16_t(fd.ordinal)));
  put_i16(h, int16_t(fd.ordinal));
  for (CallerArg& a : args) {
    const bool in = a.flags & RPC_ARG_IN;
    if (is_scalar_kind(a.kind)) {
      if (!in) continue;
      RpcValue v = a.value;
      if (a.address) std::memcpy(&v, a.address, scalar_bytes(a.kind));
      trace_pushed(h, a.kind, a.name, v, 0, nullptr);
      put_scalar(h, a.kind, v);
      continue;
    }
    if (a.record == nullptr) fail(RPC_ERR_BADARG);
    if (a.kind == RPC_ARG_WVARRAY) {
      auto* elems = static_cast<const wvarray*>(a.record->value.ptr);
      if (in)
        put_wvarray_full(h, elems, a.record->size);
      else
        put_wvarray_header(h, elems, a.record->size);
      continue;
    }
    if (in) {
      int32_t length = in_length(a.record);
      a.capacity = length;
      trace_pushed(h, a.kind, a.name, RpcValue{}, length, a.record->value.ptr);
      put_block(h, a.kind, a.record->value.ptr, length);
    } else {
      a.capacity = a.record->size < 0 ? 0 : a.record->size;
      put_i32(h, narrowed(h, a.kind) ? a.capacity / 2 : a.capacity);
    }
  }
  if (hold)
    hold_message(h);
  else
    flush(h);
}

void read_reply(RpcHandle& h, const FunctionDescriptor& fd, std::vector<CallerArg>& args) {
  begin_read(h);
  int16_t ordinal = get_i16(h);
  if (uint16_t(ordinal) != fd.ordinal) fail(RPC_ERR_BADSTR);
  for (size_t i = 0; i < args.size(); ++i) {
    CallerArg& a = args[i];
    if (!(a.flags & RPC_ARG_OUT)) continue;
    if (is_scalar_kind(a.kind)) {
      RpcValue v{};
      get_scalar(h, a.kind, &v);
      trace_popped(h, a.kind, a.name, v, 0, nullptr);
      if (a.address) std::memcpy(a.address, &v, scalar_bytes(a.kind));
      continue;
    }
    ArgumentDescriptor* rec = a.record;
    if (a.kind == RPC_ARG_WVARRAY) {
      get_wvarray_client(h, static_cast<wvarray*>(rec->value.ptr), rec->size);
      continue;
    }
    BlockHeader b = get_block_header(h, a.kind);
    int32_t stored = b.length;
    if (b.length >= 1) {
      if (a.capacity == 0) {
        rec->value.ptr = get_block_alloc(h, a.kind, b);
        a.library_block = true;
      } else if (size_t(a.capacity) < b.stored) {
        fail(RPC_ERR_TRUNC);
      } else {
        if (rec->value.ptr == nullptr) fail(RPC_ERR_BADARG);
        get_block_data(h, a.kind, b, rec->value.ptr);
      }
      stored = int32_t(b.stored);
    }
    const ArgumentDescriptor& d = fd.args[i];
    rec->flags = d.flags;
    rec->name = d.name;
    rec->size = stored;
    trace_popped(h, a.kind, a.name, RpcValue{}, stored, rec->value.ptr);
  }
}

// Reads a reply to its end without writing anything the caller gave.
void skip_reply(RpcHandle& h, const FunctionDescriptor& fd, const std::vector<CallerArg>& args) {
  begin_read(h);
  int16_t ordinal = get_i16(h);
  if (uint16_t(ordinal) != fd.ordinal) fail(RPC_ERR_BADSTR);
  for (const CallerArg& a : args) {
    if (!(a.flags & RPC_ARG_OUT)) continue;
    if (is_scalar_kind(a.kind)) {
      RpcValue v{};
      get_scalar(h, a.kind, &v);
    } else if (a.kind == RPC_ARG_WVARRAY) {
      int32_t count = 0;
      std::vector<size_t> sizes;
      // Two statements: the count is known only once the array is read.
      wvarray* elems = get_wvarray_server(h, false, &count, &sizes);
      free_wvarray(elems, count);
    } else {
      BlockHeader b = get_block_header(h, a.kind);
      std::free(get_block_alloc(h, a.kind, b));
    }
  }
}

// The caller's arguments of a procedure, in its order, from the variable list.
std::vector<CallerArg> caller_args(const FunctionDescriptor& fd, va_list ap) {
  std::vector<CallerArg> args;
  args.reserve(RPC_MAX_ARGS);
  for (const ArgumentDescriptor& d : fd.args) {
    if (d.flags == 0) break;
    CallerArg a;
    a.flags = d.flags;
    a.kind = kind_of(d.flags);
    a.name = d.name;
    if (a.kind == RPC_ARG_RPC) continue;  // never listed by a server; never passed
    if (is_scalar_kind(a.kind)) {
      if (d.flags & RPC_ARG_OUT) {
        a.address = va_arg(ap, void*);
      } else if (a.kind == RPC_ARG_INT16 || a.kind == RPC_ARG_INT32) {
        a.value.i32 = va_arg(ap, int);
        if (a.kind == RPC_ARG_INT16) a.value.i16 = int16_t(a.value.i32);
      } else if (a.kind == RPC_ARG_PTR) {
        a.value.ptr = va_arg(ap, void*);
      } else {
        a.value.i64 = va_arg(ap, int64_t);
      }
    } else {
      a.record = va_arg(ap, ArgumentDescriptor*);
    }
    args.push_back(a);
  }
  return args;
}

// On failure, blocks a call allocated for its caller are released again.
void release_library_blocks(std::vector<CallerArg>& args) {
  for (CallerArg& a : args) {
    if (a.library_block) {
      std::free(a.record->value.ptr);
      a.record->value.ptr = nullptr;
      a.record->size = 0;
    }
  }
}

const FunctionDescriptor* find_procedure(RpcHandle& h, const char* name) {
  Procedure* p = (name && h.names) ? h.names->find_called(name) : nullptr;
  return p ? &p->fd : nullptr;
}

// Runs one step of a call; the code of its failure, or 0.
template <class Step>
int guarded(Step step) {
  try {
    step();
  } catch (const RpcFailure& f) {
    return f.code;
  } catch (const std::bad_alloc&) {
    return RPC_ERR_NOMEM;
  }
  return 0;
}

// Reads the oldest queued reply (into the caller's storage, or dropped).
int collect_one(RpcHandle& h, bool discard) {
  QueuedCall& q = h.queued.front();
  h.call_allocated = 0;
  int code = guarded([&] {
    send_held(h);
    if (discard)
      skip_reply(h, *q.fd, q.args);
    else
      read_reply(h, *q.fd, q.args);
  });
  if (code != 0) release_library_blocks(q.args);
  const bool posted = q.posted;
  h.queued.pop_front();
  if (!posted) h.call_lock.unlock();
  return code;
}

// Drops every queued call after a failure: the link is unusable now.
void forget_queued(RpcHandle& h) {
  while (!h.queued.empty()) {
    const bool posted = h.queued.front().posted;
    h.queued.pop_front();
    if (!posted) h.call_lock.unlock();
  }
}

// Writes a call that leaves with later ones; posted: nobody collects it.
int queue_call(RpcHandle& h, const char* name, va_list ap, bool posted) {
  if (h.state != kConnected || h.is_server()) return RPC_ERR_BADSTATE;
  const FunctionDescriptor* fd = find_procedure(h, name);
  if (fd == nullptr) return RPC_ERR_NONAME;
  if (h.flag(kNegTraceCalls)) trace_line(h, "\nCalling function: %s\n", fd->name);
  return guarded([&] {
    QueuedCall q;
    q.fd = fd;
    q.args = caller_args(*fd, ap);
    q.posted = posted;
    write_call(h, *fd, q.args, true);
    h.queued.push_back(std::move(q));
  });
}

int exec_call(RpcHandle& h, const char* name, va_list ap) {
  if (h.state != kConnected) return RPC_ERR_BADSTATE;
  const FunctionDescriptor* fd = find_procedure(h, name);
  if (fd == nullptr) {
    // Replies of calls queued and not collected are read and dropped first.
    while (!h.queued.empty()) {
      int code = collect_one(h, true);
      if (code != 0) return code;
    }
    return RPC_ERR_NONAME;
  }
  if (h.flag(kNegTraceCalls)) trace_line(h, "\nCalling function: %s\n", fd->name);
  std::vector<CallerArg> args;
  h.call_allocated = 0;
  // Calls queued and not collected leave with this one in one send; their
  // replies come first and are read and dropped.
  const bool behind = !h.queued.empty();
  int code = guarded([&] {
    args = caller_args(*fd, ap);
    write_call(h, *fd, args, behind);
  });
  while (code == 0 && !h.queued.empty()) code = collect_one(h, true);
  if (code == 0) {
    h.call_allocated = 0;
    code = guarded([&] {
      send_held(h);
      read_reply(h, *fd, args);
    });
  }
  if (code != 0) release_library_blocks(args);
  return code;
}

// After a failed exchange: the code stays with the handle, the caller's callback
// hears of it (without the lock), and a name the server does not offer does not
// block later calls.
void report_failure(RpcHandle& h, int code, std::unique_lock<std::recursive_mutex>& lock) {
  h.error_code = code;
  keep_transport_text(h, code);
  if (code != RPC_ERR_NONAME) forget_queued(h);
  auto callback = h.error_callback;
  void* context = h.error_context;
  lock.unlock();
  if (callback) callback(code, context);
  if (code == RPC_ERR_NONAME) {
    std::lock_guard<std::recursive_mutex> again(h.call_lock);
    if (h.error_code == RPC_ERR_NONAME) h.error_code = 0;
  }
}

// What the library allocated for one served call, so that everything is freed once
// whatever the stub did with the argument vector.
struct ServedCall {
  ArgumentDescriptor args[RPC_MAX_ARGS] = {};
  void* original[RPC_MAX_ARGS] = {};  // storage the library made per argument
  size_t original_size[RPC_MAX_ARGS] = {};
  int32_t original_count[RPC_MAX_ARGS] = {};
  std::vector<size_t> element_size[RPC_MAX_ARGS];  // row arrays: per element storage

  ~ServedCall() {
    // Each block once, however often the stub put it in the vector; a call
    // without blocks allocates nothing here.
    std::vector<void*> blocks;
    auto release = [&](void* p) {
      if (p) blocks.push_back(p);
    };
    size_t most = 0;
    for (int i = 0; i < RPC_MAX_ARGS && args[i].flags != 0; ++i) {
      uint32_t kind = kind_of(args[i].flags);
      if (kind == RPC_ARG_WVARRAY)
        most += 2 + size_t(std::max(original_count[i], 0)) + size_t(std::max(args[i].size, 0));
      else if (is_buffer_kind(kind))
        most += 2;
    }
    if (most == 0) return;
    blocks.reserve(most);
    for (int i = 0; i < RPC_MAX_ARGS; ++i) {
      if (args[i].flags == 0) break;
      uint32_t kind = kind_of(args[i].flags);
      if (kind == RPC_ARG_WVARRAY) {
        auto* orig = static_cast<wvarray*>(original[i]);
        for (int32_t k = 0; orig && k < original_count[i]; ++k) release(orig[k].iovec_base);
        auto* cur = static_cast<wvarray*>(args[i].value.ptr);
        if (cur && cur != orig)
          for (int32_t k = 0; k < args[i].size; ++k) release(cur[k].iovec_base);
        release(orig);
        release(cur);
      } else if (is_buffer_kind(kind)) {
        release(original[i]);
        release(args[i].value.ptr);
      }
    }
    std::sort(blocks.begin(), blocks.end());
    for (size_t i = 0; i < blocks.size(); ++i)
      if (i == 0 || blocks[i] != blocks[i - 1]) std::free(blocks[i]);
  }
};

void read_arguments(RpcHandle& h, ServedCall& call) {
  for (int i = 0; i < RPC_MAX_ARGS; ++i) {
    ArgumentDescriptor& a = call.args[i];
    if (a.flags == 0) break;
    uint32_t kind = kind_of(a.flags);
    if (kind == 0) fail(RPC_ERR_BADFUNC);
    if (kind == RPC_ARG_RPC) {
      a.value.ptr = &h;
      continue;
    }
    const bool in = a.flags & RPC_ARG_IN;
    if (is_scalar_kind(kind)) {
      if (in) {
        get_scalar(h, kind, &a.value);
        trace_popped(h, kind, a.name, a.value, 0, nullptr);
      }
      continue;
    }
    if (kind == RPC_ARG_WVARRAY) {
      int32_t count = 0;
      wvarray* elems = get_wvarray_server(h, !in, &count, &call.element_size[i]);
      call.original[i] = elems;
      call.original_count[i] = count;
      a.value.ptr = elems;
      a.size = count;
      continue;
    }
    if (in) {
      BlockHeader b = get_block_header(h, kind);
      void* p = get_block_alloc(h, kind, b);
      call.original[i] = p;
      call.original_size[i] = b.stored;
      a.value.ptr = p;
      a.size = b.length < 1 ? b.length : int32_t(std::min<size_t>(b.stored, INT32_MAX));
      trace_popped(h, kind, a.name, RpcValue{}, a.size, p);
    } else {
      int32_t c = get_i32(h);
      a.value.ptr = nullptr;
      a.size = 0;
      if (c > 0) {
        size_t size = narrowed(h, kind) ? 2 * size_t(c) : size_t(c);
        // Zero-filled, so that bytes the handler leaves alone never carry stale
        // heap back to the peer; a handler that writes all it sends says so.
        void* p = alloc_counted(h, size, !(a.flags & RPC_ARG_FILLED));
        call.original[i] = p;
        call.original_size[i] = size;
        a.value.ptr = p;
        a.size = int32_t(std::min<size_t>(size, INT32_MAX));
      }
    }
  }
}

void write_reply(RpcHandle& h, int16_t ordinal, ServedCall& call) {
  start_message(h);
  put_i16(h, ordinal);
  for (int i = 0; i < RPC_MAX_ARGS; ++i) {
    ArgumentDescriptor& a = call.args[i];
    if (a.flags == 0) break;
    if (!(a.flags & RPC_ARG_OUT)) continue;
    uint32_t kind = kind_of(a.flags);
    if (is_scalar_kind(kind)) {
      trace_pushed(h, kind, a.name, a.value, 0, nullptr);
      put_scalar(h, kind, a.value);
    } else if (kind == RPC_ARG_WVARRAY) {
      // A length never runs past the storage the library made for the element.
      auto* elems = static_cast<wvarray*>(a.value.ptr);
      int32_t count = a.size;
      std::vector<wvarray> copy;
      if (elems && elems == call.original[i]) {
        count = std::min(count, call.original_count[i]);
        copy.assign(elems, elems + (count > 0 ? count : 0));
        for (int32_t k = 0; k < count; ++k) {
          size_t cap = call.element_size[i][size_t(k)];
          if (copy[size_t(k)].iovec_base == static_cast<wvarray*>(call.original[i])[k].iovec_base &&
              copy[size_t(k)].iovec_len > 0 && size_t(copy[size_t(k)].iovec_len) > cap)
            copy[size_t(k)].iovec_len = int32_t(cap);
        }
        elems = copy.data();
      }
      put_wvarray_full(h, elems, elems ? count : 0);
    } else {
      int32_t length = a.size;
      if (a.value.ptr == nullptr)
        length = 0;
      else if (a.value.ptr == call.original[i] && length > 0 && size_t(length) > call.original_size[i])
        length = int32_t(call.original_size[i]);
      trace_pushed(h, kind, a.name, RpcValue{}, length, a.value.ptr);
      put_block(h, kind, a.value.ptr, length);
    }
  }
  flush(h);
}

}  // namespace

// The transport's explanation of a failed exchange stays with the handle, so that
// RPCReportError still gives it after the connection is closed.
void keep_transport_text(RpcHandle& h, int code) {
  if (code == RPC_ERR_TRANSPORT && h.connection) h.error_text = std::string(h.connection->message());
}

int serve_one(RpcHandle& h) {
  ServedCall call;
  try {
    h.call_allocated = 0;
    begin_read(h);
    int16_t ordinal = get_i16(h);
    if (h.flag(kNegTraceArgs)) trace_line(h, "popped int16 %s %d\n", "Ordinal", int(ordinal));
    if (ordinal < 0 || size_t(ordinal) >= h.ordinals.size() || h.ordinals[size_t(ordinal)] == nullptr)
      return RPC_ERR_BADFUNC;
    FunctionDescriptor* fd = h.ordinals[size_t(ordinal)];
    if (h.flag(kNegTraceCalls)) trace_line(h, "Function called: %s\n", fd->name);
    h.last_procedure = fd;
    std::memcpy(call.args, fd->args, sizeof call.args);
    read_arguments(h, call);
    h.reply_sent = false;
    if (fd->handler) {
      try {
        fd->handler(call.args);
      } catch (...) {
        return RPC_ERR_INTERR;
      }
    }
    if (!h.reply_sent) write_reply(h, ordinal, call);
    h.reply_sent = true;
  } catch (const RpcFailure& f) {
    return f.code;
  } catch (const std::bad_alloc&) {
    return RPC_ERR_NOMEM;
  }
  return 0;
}

}  // namespace kyrpc

using namespace kyrpc;

extern "C" {

int RPCExec(RpcHandle* h, const char* name, ...) {
  if (h == nullptr) return 1;
  std::unique_lock<std::recursive_mutex> lock(h->call_lock);
  if (h->error_code != 0) return 1;
  va_list ap;
  va_start(ap, name);
  int code = exec_call(*h, name, ap);
  va_end(ap);
  if (code == 0) return 0;
  report_failure(*h, code, lock);
  return 1;
}

int RPCQueue(RpcHandle* h, const char* name, ...) {
  if (h == nullptr) return 1;
  std::unique_lock<std::recursive_mutex> lock(h->call_lock);
  if (h->error_code != 0) return 1;
  va_list ap;
  va_start(ap, name);
  int code = queue_call(*h, name, ap, false);
  va_end(ap);
  if (code == 0) {
    lock.release();  // held until the reply is collected
    return 0;
  }
  report_failure(*h, code, lock);
  return 1;
}

int RPCPost(RpcHandle* h, const char* name, ...) {
  if (h == nullptr) return 1;
  std::unique_lock<std::recursive_mutex> lock(h->call_lock);
  if (h->error_code != 0) return 1;
  va_list ap;
  va_start(ap, name);
  int code = queue_call(*h, name, ap, true);
  va_end(ap);
  if (code == 0) return 0;
  report_failure(*h, code, lock);
  return 1;
}

int RPCCollect(RpcHandle* h, int discard) {
  if (h == nullptr) return 1;
  std::unique_lock<std::recursive_mutex> lock(h->call_lock);
  // Posted calls ahead of the one collected: their replies are dropped.
  int code = 0;
  while (code == 0 && !h->queued.empty() && h->queued.front().posted) code = collect_one(*h, true);
  if (code == 0 && h->queued.empty()) return 1;
  if (code == 0) code = collect_one(*h, discard != 0);
  if (code == 0) return 0;
  report_failure(*h, code, lock);
  return 1;
}

int RPCRun(RpcHandle* h) {
  if (h == nullptr) return 1;
  if (h->state != kConnected || !h->is_server()) {
    h->error_code = RPC_ERR_BADSTATE;
    return 1;
  }
  for (;;) {
    int code = serve_one(*h);
    if (code != 0) {
      h->error_code = code;
      keep_transport_text(*h, code);
      return 1;
    }
  }
}

void* __RPCextractarg(ArgumentDescriptor** cursor) {
  if (cursor == nullptr || *cursor == nullptr) return nullptr;
  ArgumentDescriptor* a = *cursor;
  uint32_t kind = kind_of(a->flags);
  *cursor = a + 1;
  if (is_scalar_kind(kind) || kind == RPC_ARG_RPC) return &a->value;
  return a;
}

ArgumentDescriptor** __RPCsetarg(ArgumentDescriptor** cursor, intptr_t value) {
  if (cursor == nullptr || *cursor == nullptr) return cursor;
  ArgumentDescriptor* a = *cursor;
  uint32_t kind = kind_of(a->flags);
  if (kind == RPC_ARG_INT16) {
    a->value.u64 = 0;
    a->value.i16 = int16_t(value);
  } else if (kind == RPC_ARG_INT32) {
    a->value.u64 = 0;
    a->value.i32 = int32_t(value);
  } else if (is_scalar_kind(kind)) {
    a->value.i64 = int64_t(value);
  } else if (kind != RPC_ARG_RPC && kind != 0) {
    const auto* rec = reinterpret_cast<const ArgumentDescriptor*>(value);
    if (rec != nullptr) {
      a->size = rec->size;
      a->value.ptr = rec->value.ptr;
    }
  }
  *cursor = a + 1;
  return cursor;
}

}  // extern "C"
