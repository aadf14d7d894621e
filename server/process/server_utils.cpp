// Small functions of the server program: build stamp, CPU times, affinity,
// date texts, the clock, whole writes and trace lines.
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

#include "trace_log.h"

namespace {

std::atomic<server_clock_fn> clock_override{nullptr};

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

// The date and time this unit was compiled (SOURCE_DATE_EPOCH when a
// reproducible build sets it).
extern "C" const char* get_build_stamp(void) { return "$Built: " __DATE__ " " __TIME__ " $"; }

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

extern "C" int format_date_text(char* out, size_t capacity, const time_t* when, struct tm* tm_out, uint32_t flags) {
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
  std::snprintf(out, capacity, "%s, %.2d %s %d %.2d:%.2d:%.2d %s", kDayNames[wday], parts.tm_mday, kMonthNames[mon],
                parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec, zone);
  return 0;
}

extern "C" time_t server_time_now(void) {
  server_clock_fn fn = clock_override.load();
  return fn ? fn() : time(nullptr);
}

extern "C" void set_server_clock(server_clock_fn clock) { clock_override.store(clock); }

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

std::string errno_text(int e) {
  char buf[256];
  const char* text = ::strerror_r(e, buf, sizeof buf);
  return std::string(text ? text : "Unknown error") + " (errno " + std::to_string(e) + ")";
}
