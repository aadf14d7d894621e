// Small functions of the server program: setting text, base64, build stamp,
// CPU times, tokenisers, affinity, date texts, the clock and log paths.
#include "server_utils.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>

#include "ky_config.h"
#include "settings.h"
#include "trace_log.h"

namespace {

int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

size_t base64_run(const char* text) {
  size_t n = 0;
  while (text[n] != '\0' && base64_value(static_cast<unsigned char>(text[n])) >= 0) ++n;
  return n;
}

std::atomic<server_clock_fn> clock_override{nullptr};

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

extern "C" int read_setting_text(char* out, size_t capacity, const char* name) {
  if (out == nullptr || name == nullptr) return -1;
  char scratch[4096] = "";
  ConfigHandle* handle = open_registry();
  if (handle != nullptr) {
    set_config(handle, KYVEK_CONFIG_KEY);
    get_profile_string(handle, 0, KYVEK_SETTINGS_SECTION, name, "", scratch,
                       static_cast<int32_t>(sizeof scratch));
    close_registry(handle);
  }
  size_t length = std::strlen(scratch);
  if (length + 1 > capacity) return -1;
  std::memcpy(out, scratch, length + 1);
  return 0;
}

extern "C" size_t base64_decoded_size(const char* text) {
  size_t n = text ? base64_run(text) : 0;
  return ((n + 3) / 4) * 3 + 1;
}

extern "C" size_t base64_decode(unsigned char* out, const char* text) {
  if (out == nullptr) return 0;
  size_t n = text ? base64_run(text) : 0;
  size_t written = 0;
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < n; ++i) {
    bits = (bits << 6) | static_cast<uint32_t>(base64_value(static_cast<unsigned char>(text[i])));
    held += 6;
    if (held >= 8) {
      held -= 8;
      out[written++] = static_cast<unsigned char>((bits >> held) & 0xFF);
    }
  }
  out[written] = '\0';
  return written;
}

extern "C" size_t base64_decode_text(char* out, const char* text) {
  return base64_decode(reinterpret_cast<unsigned char*>(out), text);
}

extern "C" const char* get_build_stamp(void) { return "$Built: Sep 14 2018 15:55:16 $"; }

extern "C" int get_cpu_times(uint16_t platform, double* kernel_seconds, double* user_seconds) {
  if (kernel_seconds == nullptr || user_seconds == nullptr || platform == 0) return -1;
  struct rusage usage {};
  if (getrusage(RUSAGE_SELF, &usage) != 0) {
    *kernel_seconds = 0.0;
    *user_seconds = 0.0;
    return -1;
  }
  *kernel_seconds = static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
  *user_seconds = static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6;
  return 0;
}

extern "C" char* next_token(char* text, const char* separators, char** cursor) {
  if (cursor == nullptr) return nullptr;
  if (text == nullptr) {
    text = *cursor;
    if (text == nullptr) return nullptr;
  }
  if (*text == '\0') {
    *cursor = nullptr;
    return text;
  }
  char* end = separators ? std::strpbrk(text, separators) : nullptr;
  if (end == nullptr) {
    *cursor = nullptr;
  } else {
    *end = '\0';
    *cursor = end + 1;
  }
  return text;
}

extern "C" int split_string(const char* separators, int slots, char** out, char* text) {
  if (text == nullptr || out == nullptr || slots < 1) return -1;
  int used = 0;
  char* rest = text;
  while (used < slots - 1) {
    if (rest == nullptr) return used + 1;
    char* cursor = nullptr;
    char* token = next_token(rest, separators, &cursor);
    char* copy = strdup(token);
    if (copy == nullptr) {
      for (int i = 0; i < used; ++i) {
        std::free(out[i]);
        out[i] = nullptr;
      }
      return -1;
    }
    out[used++] = copy;
    rest = cursor;
  }
  out[used] = rest;  // the uncut rest, or NULL (not counted) when nothing is left
  if (rest != nullptr) ++used;
  return used + 1;
}

extern "C" void set_process_affinity(uint32_t mask) {
  cpu_set_t current;
  CPU_ZERO(&current);
  if (sched_getaffinity(0, sizeof current, &current) != 0) return;
  long configured = sysconf(_SC_NPROCESSORS_CONF);
  cpu_set_t wanted;
  CPU_ZERO(&wanted);
  int count = 0;
  for (int cpu = 0; cpu < 32 && cpu < configured; ++cpu) {
    if ((mask >> cpu) & 1u) {
      CPU_SET(cpu, &wanted);
      ++count;
    }
  }
  if (count == 0) return;
  sched_setaffinity(0, sizeof wanted, &wanted);
}

extern "C" void get_processor_info(uint32_t* mask, uint32_t* count) {
  cpu_set_t set;
  CPU_ZERO(&set);
  uint32_t m = 0;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    for (int cpu = 0; cpu < 32; ++cpu)
      if (CPU_ISSET(cpu, &set)) m |= 1u << cpu;
  }
  long n = sysconf(_SC_NPROCESSORS_ONLN);
  if (mask) *mask = m;
  if (count) *count = n > 0 ? static_cast<uint32_t>(n) : 1u;
}

extern "C" int is_windows_nt(void) { return 1; }

extern "C" int set_process_tag(const char*) { return 0; }

extern "C" int format_date_text(char* out, size_t capacity, const time_t* when,
                                struct tm* tm_out, uint32_t flags) {
  if (out == nullptr || capacity < 64) return -1;
  time_t t = when ? *when : server_time_now();
  struct tm parts {};
  localtime_r(&t, &parts);
  char zone[31] = "";
  if (!(flags & 0x1)) {
    if (strftime(zone, sizeof zone, "%Z", &parts) == 0) zone[0] = '\0';
    for (char* p = zone; *p; ++p)
      if (*p == ' ') *p = '_';
    if (zone[0] == '\0') {
      std::strcpy(zone, "GMT");
      gmtime_r(&t, &parts);
    }
  }
  if (tm_out) *tm_out = parts;
  int wday = parts.tm_wday >= 0 && parts.tm_wday < 7 ? parts.tm_wday : 0;
  int mon = parts.tm_mon >= 0 && parts.tm_mon < 12 ? parts.tm_mon : 0;
  std::snprintf(out, capacity, "%s, %.2d %s %d %.2d:%.2d:%.2d %s", kDayNames[wday],
                parts.tm_mday, kMonthNames[mon], parts.tm_year + 1900, parts.tm_hour,
                parts.tm_min, parts.tm_sec, zone);
  return 0;
}

extern "C" time_t server_time_now(void) {
  server_clock_fn fn = clock_override.load();
  return fn ? fn() : time(nullptr);
}

extern "C" void set_server_clock(server_clock_fn clock) { clock_override.store(clock); }

extern "C" int server_log_path(char* out, size_t capacity, const char* file_name) {
  if (out == nullptr || capacity == 0) return -1;
  std::string dir = server_settings()->LogDir;
  for (char& c : dir)
    if (c == '\\') c = '/';
  if (strcasecmp(dir.c_str(), "c:/temp") == 0 || strcasecmp(dir.c_str(), "c:/temp/") == 0)
    dir.clear();  // the Windows default means the temporary directory
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  int n = std::snprintf(out, capacity, "%s/%s", dir.c_str(), file_name ? file_name : "");
  return n >= 0 && static_cast<size_t>(n) < capacity ? 0 : -1;
}

extern "C" int write_fully(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

extern "C" void server_trace(uint32_t bits, const char* format, ...) {
  if ((get_trace_mask() & bits) == 0) return;
  va_list args;
  va_start(args, format);
  log_vwrite(1, format, args);
  va_end(args);
}
