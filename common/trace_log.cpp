// Trace log writer. All state below is guarded by g_mu, except the mask,
// which is atomic so that callers can test it without the lock. Entries are
// assembled in memory and reach the file in one write(2) on an O_APPEND
// descriptor, so lines of concurrent threads (and processes) never mix.
#include "trace_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "ky_config.h"
#include "logfile/log_file.h"

std::atomic<uint32_t> trace_mask{0};

namespace {

constexpr const char* kFallbackFile = "kyvek_fallback.log";
constexpr int kSettingSize = 512;

std::mutex g_mu;
char g_path[KY_LOG_PATH_MAX];  // guarded by g_mu; "" until set
int g_fd = -1;                 // guarded by g_mu
uint32_t g_options = 0;        // guarded by g_mu

const char* temp_dir() {
  const char* t = std::getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

void set_path_locked(const char* p) { std::snprintf(g_path, sizeof g_path, "%s", p); }

bool open_locked() {
  if (g_fd >= 0) return true;
  if (g_path[0] == '\0') set_path_locked(kFallbackFile);
  int fd = ky_open_log_file(g_path, O_WRONLY | O_APPEND);
  if (fd < 0) return false;
  struct stat st;
  // A log that is not a plain file of our own is not written to.
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
    ::close(fd);
    return false;
  }
  g_fd = fd;
  return true;
}

void close_locked() {
  if (g_fd >= 0) ::close(g_fd);
  g_fd = -1;
}

void write_all_locked(const std::string& s) {
  const char* p = s.data();
  std::size_t left = s.size();
  while (left > 0) {
    ssize_t n = ::write(g_fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the entry is dropped
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void append_prefix(std::string& out) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lu: ", static_cast<unsigned long>(::syscall(SYS_gettid)));
  out += buf;
  if (g_options & KY_LOG_OPT_TIME) {
    std::snprintf(buf, sizeof buf, "(%lu) ", static_cast<unsigned long>(std::time(nullptr)));
    out += buf;
  }
}

// Writes one entry; opens the file first when needed.
void entry_locked(bool prefix, const std::string& text) {
  if (!open_locked()) return;
  std::string out;
  if (prefix) append_prefix(out);
  out += text;
  write_all_locked(out);
}

std::string format_entry(const char* format, va_list args) {
  if (std::strlen(format) >= KY_LOG_LINE_MAX) return "String too long to log\n";
  char buf[KY_LOG_LINE_MAX];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(buf, sizeof buf, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (n >= KY_LOG_LINE_MAX) return std::string(buf, KY_LOG_LINE_MAX - 1) + "** Logging/Tracing buffer truncated **\n";
  return std::string(buf, static_cast<std::size_t>(n));
}

void read_setting(const char* source, const char* key, const char* def, char* out) {
  std::snprintf(out, kSettingSize, "%s", def);
  ConfigHandle* h = open_registry();
  if (h == nullptr) return;
  if (set_config(h, source) == 0) get_profile_string(h, 0, "Settings", key, def, out, kSettingSize);
  close_registry(h);
}

void init_locked(const char* name, const char* source, uint32_t options) {
  if (g_fd >= 0) return;
  g_options = options;
  std::string too_long;
  if (g_path[0] == '\0' && (name == nullptr || std::strlen(name) > KY_LOG_PATH_MAX)) {
    set_path_locked(kFallbackFile);
  } else {
    if (source == nullptr) return;
    if (g_path[0] == '\0') {
      char dir[kSettingSize];
      read_setting(source, "LogDir", temp_dir(), dir);
      std::string joined = dir;
      if (joined.empty() || joined.back() != '/') joined += '/';
      joined += name;
      if (joined.size() + 1 > sizeof g_path) {
        set_path_locked(kFallbackFile);
        too_long = "Log path too long, using " + std::string(kFallbackFile) + "\n";
      } else {
        set_path_locked(joined.c_str());
      }
    }
  }
  if (!too_long.empty()) entry_locked(true, too_long);
  if (source == nullptr) return;

  char setting[kSettingSize];
  read_setting(source, "Logging", "0", setting);
  errno = 0;
  char* end = nullptr;
  unsigned long value = std::strtoul(setting, &end, 0);
  bool out_of_range = errno == ERANGE || value > 0xFFFFFFFFul;
  if (*end != '\0' && std::strchr(" \t\n\r", *end) == nullptr) {
    entry_locked(true,
                 "Invalid value for logging (unconverted chrs \"" + std::string(setting) + "\")in registry/ini file\n");
    close_locked();
  } else if (out_of_range) {
    entry_locked(true, "Invalid value " + std::string(setting) + " for Logging (out of range)in registry/ini file\n");
    close_locked();
  }
  uint32_t mask = out_of_range ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
  trace_mask.store(mask);
  if (mask != 0) {
    std::time_t now = std::time(nullptr);
    char when[64] = "";
    ctime_r(&now, when);
    char line[160];
    std::snprintf(line, sizeof line, "Logging Started with %lx at %s\n", static_cast<unsigned long>(mask), when);
    entry_locked(true, line);
  }
}

__attribute__((destructor)) void close_at_unload() {
  std::lock_guard<std::mutex> lock(g_mu);
  close_locked();
}

}  // namespace

extern "C" {

void init_logging(const char* name, const char* source, uint32_t options) {
  std::lock_guard<std::mutex> lock(g_mu);
  try {
    init_locked(name, source, options);
  } catch (...) {
  }
}

int set_log_file(const char* path) {
  if (path == nullptr || std::strlen(path) + 1 > KY_LOG_PATH_MAX) return 0;
  std::lock_guard<std::mutex> lock(g_mu);
  set_path_locked(path);
  return 0;
}

void close_log(void) {
  std::lock_guard<std::mutex> lock(g_mu);
  close_locked();
}

void log_vwrite(int prefix, const char* format, va_list args) {
  if (format == nullptr) return;
  try {
    std::string text = format_entry(format, args);
    std::lock_guard<std::mutex> lock(g_mu);
    entry_locked(prefix != 0, text);
  } catch (...) {
  }
}

void log_printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vwrite(0, format, args);
  va_end(args);
}

void log_printf_tid(const char* format, ...) {
  va_list args;
  va_start(args, format);
  log_vwrite(1, format, args);
  va_end(args);
}

void log_text(long length, const char* text, uint32_t flags) {
  if (text == nullptr) return;
  if (length == KY_LOG_TEXT_NTS) length = static_cast<long>(std::strlen(text));
  if (length < 0) return;
  try {
    std::string s(text, static_cast<std::size_t>(length));
    if (!(flags & KY_LOG_TEXT_NO_NEWLINE)) s += '\n';
    std::lock_guard<std::mutex> lock(g_mu);
    entry_locked(!(flags & KY_LOG_TEXT_NO_PREFIX), s);
  } catch (...) {
  }
}

void logging_noop(void) {}

uint32_t get_trace_mask(void) { return trace_mask.load(); }
void set_trace_mask(uint32_t mask) { trace_mask.store(mask); }

}  // extern "C"

void trace_log_reset_for_tests() {
  std::lock_guard<std::mutex> lock(g_mu);
  close_locked();
  g_path[0] = '\0';
  g_options = 0;
  trace_mask.store(0);
}

namespace {

bool secret_key(std::string key) {
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  while (!key.empty() && key.back() == ' ') key.pop_back();
  auto ends = [&](const char* s) {
    std::size_t n = std::strlen(s);
    return key.size() >= n && key.compare(key.size() - n, n, s) == 0;
  };
  return ends("PWD") || ends("AUTH") || ends("PASSWORD");
}

}  // namespace

std::string trace_safe_connection_string(std::string_view text) {
  if (text.size() >= 2 && text.substr(0, 2) == "xx") return "xx<scrambled>";
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t eq = text.find('=', i);
    std::size_t semi = text.find(';', i);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      std::size_t end = semi == std::string_view::npos ? text.size() : semi + 1;
      out.append(text.substr(i, end - i));
      i = end;
      continue;
    }
    std::string_view key = text.substr(i, eq - i);
    std::size_t v = eq + 1;
    std::size_t end = v;
    if (v < text.size() && text[v] == '{') {  // braced value: '}}' is a literal '}'
      end = v + 1;
      while (end < text.size()) {
        if (text[end] == '}') {
          if (end + 1 < text.size() && text[end + 1] == '}') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
    }
    std::size_t stop = text.find(';', end);
    if (stop == std::string_view::npos) stop = text.size();
    out.append(key);
    out += '=';
    out.append(secret_key(std::string(key)) ? std::string_view("*****") : text.substr(v, stop - v));
    if (stop < text.size()) out += ';';
    i = stop + 1;
  }
  return out;
}
