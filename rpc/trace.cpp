// The shared trace file. Opened for appending without following links, mode 0600,
// and refused when someone else owns it, since it lives in a shared directory.
#include "trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace kyrpc {
namespace {

std::mutex g_lock;
int g_fd = -1;     // guarded by g_lock
int g_users = 0;   // handles that wrote; guarded by g_lock

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

}  // namespace

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
  if (g_fd >= 0) (void)!::write(g_fd, line, len);
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
