// The shared RPC trace file "kyrorpc.log" in the temporary directory. A peer that
// asks for tracing makes the library write here (a server only once it has
// permitted it); all handles share the file under one lock, and it is closed only
// when the last handle that wrote to it lets go. The file rolls over at a bound.
#ifndef KYRPC_TRACE_H
#define KYRPC_TRACE_H

#include "handle.h"

namespace kyrpc {

// One line (at most 512 bytes after formatting, written verbatim) when the handle
// traces calls or arguments; nothing otherwise.
void trace_line(RpcHandle& h, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
bool tracing_on(const RpcHandle& h);
// Argument trace lines (when the peer asked for argument tracing): one per value
// written ("pushing ...") or read ("popped ...").
void trace_pushed(RpcHandle& h, uint32_t kind, const char* name, const RpcValue& v, int32_t length, const void* mem);
void trace_popped(RpcHandle& h, uint32_t kind, const char* name, const RpcValue& v, int32_t length, const void* mem);

// The handle stops using the file; the last user closes it.
void trace_release(RpcHandle& h);
// Path of the trace file (tests).
std::string trace_path();

// The size past which the trace file rolls over to "<path>.1".
constexpr uint64_t kTraceFileLimit = 64ull * 1024 * 1024;
// Sets that size (tests).
void trace_set_limit(uint64_t bytes);

}  // namespace kyrpc

#endif
