// The shared trace file. Opened for appending without following links, mode 0600,
// and refused when someone else owns it, since it lives in a shared directory. It
// is bounded in size: a full file rolls over to one previous file.
#include "trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <mutex>

namespace kyrpc {
namespace {

std::mutex g_lock;
int g_fd = -1;    // guarded by g_lock
int g_users = 0;  // handles that wrote; guarded by g_lock
// The file's bound: past it the file rolls over to "kyrorpc.log.1" (replacing
// the one before), so that the two never hold much more than twice the bound.
uint64_t g_limit = kTraceFileLimit;  // guarded by g_lock

int open_trace_file() {
  std::string path = trace_path();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid() || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// True when fd is still the file at path (no other process rolled it over).
bool is_current_file(int fd, const std::string& path) {
  struct stat open_file {}, named {};
  if (::fstat(fd, &open_file) != 0 || ::stat(path.c_str(), &named) != 0) return false;
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

// Before a line of len bytes: a file that the line would take past the bound
// moves aside and a new one starts. A file that another process already moved
// is left to that process; this one opens the new file.
void roll_over_if_full(size_t len) {
  struct stat st;
  if (::fstat(g_fd, &st) != 0 || uint64_t(st.st_size) + len <= g_limit) return;
  std::string path = trace_path();
  if (is_current_file(g_fd, path)) (void)::rename(path.c_str(), (path + ".1").c_str());
  ::close(g_fd);
  g_fd = open_trace_file();
}

}  // namespace

void trace_set_limit(uint64_t bytes) {
  std::lock_guard<std::mutex> guard(g_lock);
  g_limit = bytes;
}

std::string trace_path() {
  const char* dir = std::getenv("TMPDIR");
  std::string path = (dir && *dir) ? dir : "/tmp";
  return path + "/kyrorpc.log";
}

bool tracing_on(const RpcHandle& h) { return (h.negotiated & (kNegTraceCalls | kNegTraceArgs)) != 0; }

void trace_line(RpcHandle& h, const char* fmt, ...) {
  if (!tracing_on(h)) return;
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = std::min(size_t(n), sizeof line - 1);
  std::lock_guard<std::mutex> guard(g_lock);
  if (!h.traced_any) {
    h.traced_any = true;
    ++g_users;
  }
  if (g_fd < 0) g_fd = open_trace_file();
  if (g_fd >= 0) roll_over_if_full(len);
  if (g_fd >= 0) (void)!::write(g_fd, line, len);
}

namespace {

const char* safe(const char* name) { return name ? name : ""; }

void trace_memory(RpcHandle& h, const void* mem, int32_t length) {
  if (mem == nullptr) {
    trace_line(h, "mem: <null pointer>\n");
    return;
  }
  char shown[129];
  size_t n = length > 0 ? std::min<size_t>(size_t(length), 128) : 0;
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<const unsigned char*>(mem)[i];
    shown[i] = (c >= 0x20 && c < 0x7F) ? char(c) : '.';
  }
  shown[n] = '\0';
  trace_line(h, "mem: %s\n", shown);
}

}  // namespace

void trace_pushed(RpcHandle& h, uint32_t kind, const char* name, const RpcValue& v, int32_t length, const void* mem) {
  if (!h.flag(kNegTraceArgs)) return;
  const char* n = safe(name);
  switch (kind) {
    case RPC_ARG_INT16: trace_line(h, "pushing int16 %s : %d\n", n, v.i16); break;
    case RPC_ARG_INT32: trace_line(h, "pushing int32 %s : %d\n", n, v.i32); break;
    case RPC_ARG_INT64: trace_line(h, "pushing int64 %s: %ld\n", n, long(v.i64)); break;
    case RPC_ARG_SQLLEN: trace_line(h, "pushing sqllen %s: %ld\n", n, long(v.i64)); break;
    case RPC_ARG_SQLULEN: trace_line(h, "pushing sqlulen %s: %ld\n", n, long(v.i64)); break;
    case RPC_ARG_PTR: trace_line(h, "pushing pointer %s : %p\n", n, v.ptr); break;
    case RPC_ARG_INT16_ARRAY:
      trace_line(h, "pushing int16-array %s : elements=%d, mem=%p\n", n, length / 2, mem);
      break;
    case RPC_ARG_INT32_ARRAY: trace_line(h, "pushing int32-array %s: elements=%d, mem=%p\n", n, length / 4, mem); break;
    case RPC_ARG_INT64_ARRAY: trace_line(h, "pushing int64-array %s: elements=%d, mem=%p\n", n, length / 8, mem); break;
    case RPC_ARG_SQLLEN_ARRAY:
      trace_line(h, "pushing sqllen-array %s: elements=%d, mem=%p\n", n, length / 8, mem);
      break;
    case RPC_ARG_SQLULEN_ARRAY:
      trace_line(h, "pushing sqlulen-array %s: elements=%d, mem=%p\n", n, length / 8, mem);
      break;
    case RPC_ARG_DESC:
    case RPC_ARG_REAL:
      trace_line(h, "pushing descriptor %s: len=%d, mem=%p\n", n, length, mem);
      trace_memory(h, mem, length);
      break;
    default: break;
  }
}

void trace_popped(RpcHandle& h, uint32_t kind, const char* name, const RpcValue& v, int32_t length, const void* mem) {
  if (!h.flag(kNegTraceArgs)) return;
  const char* n = safe(name);
  switch (kind) {
    case RPC_ARG_INT16: trace_line(h, "popped int16 %s %d\n", n, v.i16); break;
    case RPC_ARG_INT32: trace_line(h, "popped int32 %s %ld\n", n, long(v.i32)); break;
    case RPC_ARG_INT64: trace_line(h, "popped int64 %s %ld\n", n, long(v.i64)); break;
    case RPC_ARG_SQLLEN: trace_line(h, "popped sqllen %s %ld\n", n, long(v.i64)); break;
    case RPC_ARG_SQLULEN: trace_line(h, "popped sqlulen %s %ld\n", n, long(v.i64)); break;
    case RPC_ARG_PTR:
      trace_line(h, h.is_server() ? "popped pointer %s: %p\n" : "popped pointer %s : %p\n", n, v.ptr);
      break;
    case RPC_ARG_DESC:
    case RPC_ARG_REAL:
      trace_line(h, "popped memory %s: len=%d, ptr=%p\n", n, length, mem);
      trace_memory(h, mem, length);
      break;
    default:
      if (kind & RPC_ARG_BUFFER_KINDS) trace_line(h, "popped array %s : len=%d mem=%p\n", n, length, mem);
      break;
  }
}

void trace_release(RpcHandle& h) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (!h.traced_any) return;
  h.traced_any = false;
  if (--g_users == 0 && g_fd >= 0) {
    ::close(g_fd);
    g_fd = -1;
  }
}

}  // namespace kyrpc
