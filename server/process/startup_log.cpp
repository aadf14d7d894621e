// The start-up log. See startup_log.h.
#include "startup_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

#include "settings.h"
#include "trace_log.h"
#include "logfile/log_file.h"

namespace {

std::mutex g_lock;  // guards g_fd
int g_fd = -1;      // guarded by g_lock

constexpr size_t kEntryMax = 4096;

}  // namespace

extern "C" void startup_log(const char* format, ...) {
  if (!format || !(get_trace_mask() & kTraceStartup)) return;
  char text[kEntryMax];
  bool truncated = false;
  if (std::strlen(format) >= kEntryMax) {
    std::snprintf(text, sizeof text, "String too long to log\n");
  } else {
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    truncated = n < 0 || static_cast<size_t>(n) >= sizeof text;
  }
  std::lock_guard<std::mutex> lk(g_lock);
  if (g_fd < 0) {
    // LogDir is read afresh: the log may start before the settings are loaded.
    char dir[1024];
    if (read_setting_text(dir, sizeof dir, "LogDir") != 0) dir[0] = '\0';
    std::string d = dir;
    for (char& c : d)
      if (c == '\\') c = '/';
    if (d.empty()) {
      const char* tmp = std::getenv("TMPDIR");
      d = (tmp && *tmp) ? tmp : "/tmp";
    }
    while (d.size() > 1 && d.back() == '/') d.pop_back();
    std::string path = d + "/kyvekstart.log";
    g_fd = ky_open_log_file(path.c_str(), O_WRONLY | O_APPEND);
    if (g_fd < 0) return;
  }
  char prefix[64];
  int p = std::snprintf(prefix, sizeof prefix, "(%lu) (%ld) ", static_cast<unsigned long>(std::time(nullptr)),
                        static_cast<long>(::gettid()));
  std::string entry(prefix, static_cast<size_t>(p));
  entry += text;
  if (truncated) entry += "** Logging/Tracing buffer truncated **\n";
  ssize_t w = ::write(g_fd, entry.data(), entry.size());
  (void)w;
}

extern "C" void close_startup_log(void) {
  std::lock_guard<std::mutex> lk(g_lock);
  if (g_fd >= 0) ::close(g_fd);
  g_fd = -1;
}
