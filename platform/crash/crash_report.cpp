// The report writer: formatting without the C library's stdio, the line
// writer, the report file's path and its safe opening. Everything here may run
// inside a fatal-signal handler: no allocation, no locks, only system calls.
#include "crash/crash.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "crash/crash_internal.h"
#include "logfile/log_file.h"

namespace {

struct Out {
  char* p;
  size_t room;  // bytes left before the terminator
  size_t length;
  void put(char c) {
    if (room > 0) {
      *p++ = c;
      --room;
    }
    ++length;
  }
  void put_text(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) put(s[i]);
  }
  void pad(char c, int count) {
    for (int i = 0; i < count; ++i) put(c);
  }
};

// Digits of v in base 10 or 16 into buf (reversed); returns their count.
int digits(unsigned long long v, unsigned base, bool upper, char* buf) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  int n = 0;
  do {
    buf[n++] = set[v % base];
    v /= base;
  } while (v != 0);
  return n;
}

void put_number(Out& out, unsigned long long v, bool negative, unsigned base, bool upper, int width, bool zero,
                bool left) {
  char buf[24];
  int n = digits(v, base, upper, buf);
  int len = n + (negative ? 1 : 0);
  if (!left && !zero && width > len) out.pad(' ', width - len);
  if (negative) out.put('-');
  if (!left && zero && width > len) out.pad('0', width - len);
  while (n > 0) out.put(buf[--n]);
  if (left && width > len) out.pad(' ', width - len);
}

int write_fully(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return -1;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 0;
}

bool is_windows_temp(const char* dir) {
  static const char kTemp[] = "c:\\temp";
  size_t n = std::strlen(dir);
  while (n > 0 && (dir[n - 1] == '\\' || dir[n - 1] == '/')) --n;
  if (n != sizeof kTemp - 1) return false;
  for (size_t i = 0; i < n; ++i) {
    char a = dir[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (a == '/') a = '\\';
    if (a != kTemp[i]) return false;
  }
  return true;
}

}  // namespace

extern "C" int crash_vformat(char* buffer, size_t capacity, const char* format, va_list args) {
  Out out{buffer, capacity > 0 ? capacity - 1 : 0, 0};
  for (const char* f = format; *f; ++f) {
    if (*f != '%') {
      out.put(*f);
      continue;
    }
    ++f;
    bool zero = false, left = false;
    for (;; ++f) {
      if (*f == '0')
        zero = true;
      else if (*f == '-')
        left = true;
      else
        break;
    }
    int width = 0;
    while (*f >= '0' && *f <= '9') width = width * 10 + (*f++ - '0');
    int longs = 0;
    for (;; ++f) {
      if (*f == 'l' || *f == 'z')
        ++longs;
      else if (*f != 'h')
        break;
    }
    switch (*f) {
      case 's': {
        const char* s = va_arg(args, const char*);
        if (s == nullptr) s = "(null)";
        size_t n = std::strlen(s);
        if (!left && width > static_cast<int>(n)) out.pad(' ', width - static_cast<int>(n));
        out.put_text(s, n);
        if (left && width > static_cast<int>(n)) out.pad(' ', width - static_cast<int>(n));
        break;
      }
      case 'c': out.put(static_cast<char>(va_arg(args, int))); break;
      case 'd':
      case 'i': {
        long long v = longs ? va_arg(args, long) : va_arg(args, int);
        unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        put_number(out, mag, v < 0, 10, false, width, zero, left);
        break;
      }
      case 'u':
      case 'x':
      case 'X': {
        unsigned long long v = longs ? va_arg(args, unsigned long) : va_arg(args, unsigned);
        put_number(out, v, false, *f == 'u' ? 10 : 16, *f == 'X', width, zero, left);
        break;
      }
      case 'p': {
        auto v = reinterpret_cast<uintptr_t>(va_arg(args, void*));
        put_number(out, v, false, 16, true, 16, true, false);
        break;
      }
      case '%': out.put('%'); break;
      case '\0': --f; break;
      default:
        out.put('%');
        out.put(*f);
        break;
    }
  }
  if (capacity > 0) *out.p = '\0';
  return static_cast<int>(out.length < capacity ? out.length : (capacity > 0 ? capacity - 1 : 0));
}

extern "C" int crash_format(char* out, size_t capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = crash_vformat(out, capacity, format, args);
  va_end(args);
  return n;
}

extern "C" void crash_ctime(time_t when, char* out) {
  static const char kDays[] = "SunMonTueWedThuFriSat";
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  long long t = static_cast<long long>(when) + kyvek::crash::facts().utc_offset.load(std::memory_order_relaxed);
  long long days = t >= 0 ? t / 86400 : (t - 86399) / 86400;
  long long secs = t - days * 86400;
  int weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  // Civil date from the day count (proleptic Gregorian calendar).
  long long z = days + 719468;
  long long era = (z >= 0 ? z : z - 146096) / 146097;
  long long doe = z - era * 146097;
  long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long long mp = (5 * doy + 2) / 153;
  long long day = doy - (153 * mp + 2) / 5 + 1;
  long long month = mp < 10 ? mp + 3 : mp - 9;
  long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char wd[4] = {kDays[weekday * 3], kDays[weekday * 3 + 1], kDays[weekday * 3 + 2], '\0'};
  int m = static_cast<int>(month - 1);
  char mo[4] = {kMonths[m * 3], kMonths[m * 3 + 1], kMonths[m * 3 + 2], '\0'};
  crash_format(out, 26, "%s %s%3d %02d:%02d:%02d %ld\n", wd, mo, static_cast<int>(day), static_cast<int>(secs / 3600),
               static_cast<int>(secs / 60 % 60), static_cast<int>(secs % 60), static_cast<long>(year));
}

extern "C" void crash_report_begin(crash_report* report, int fd, char* text, size_t capacity) {
  report->fd = fd;
  report->file_failed = 0;
  report->text = text;
  report->capacity = text ? capacity : 0;
  report->length = 0;
  if (text && capacity > 0) text[0] = '\0';
}

extern "C" size_t write_report_line(crash_report* report, int to_text, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = crash_vformat(line, sizeof line, format, args);
  va_end(args);
  size_t len = n > 0 ? static_cast<size_t>(n) : 0;
  if (report->fd >= 0 && !report->file_failed && write_fully(report->fd, line, len) != 0) report->file_failed = 1;
  if (to_text && report->text && report->length + 1 < report->capacity) {
    size_t room = report->capacity - 1 - report->length;
    size_t take = len < room ? len : room;
    std::memcpy(report->text + report->length, line, take);
    report->length += take;
    report->text[report->length] = '\0';
  }
  return len;
}

extern "C" int crash_report_path(const char* log_dir, char* out, size_t capacity) {
  const char* dir = log_dir ? log_dir : "";
  if (*dir == '\0' || is_windows_temp(dir) || std::strlen(dir) >= 498) {
    const char* tmp = ::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  size_t n = std::strlen(dir);
  while (n > 1 && (dir[n - 1] == '/' || dir[n - 1] == '\\')) --n;
  size_t name = sizeof CRASH_REPORT_FILE_NAME - 1;
  if (capacity == 0 || n + 1 + name + 1 > capacity) return -1;
  for (size_t i = 0; i < n; ++i) out[i] = dir[i] == '\\' ? '/' : dir[i];
  out[n] = '/';
  std::memcpy(out + n + 1, CRASH_REPORT_FILE_NAME, name + 1);
  return 0;
}

extern "C" int crash_open_report_file(const char* path) {
  // A thread acting as a client's user has only its effective ids changed;
  // the saved ids are the process's own. The file is created and checked as
  // the process, then the thread gets its client identity back.
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  bool switched = false;
  if (::syscall(SYS_getresuid, &ruid, &euid, &suid) == 0 && ::syscall(SYS_getresgid, &rgid, &egid, &sgid) == 0 &&
      (euid != suid || egid != sgid)) {
    switched = ::syscall(SYS_setresuid, -1, suid, -1) == 0;
    if (switched) ::syscall(SYS_setresgid, -1, sgid, -1);
  } else {
    suid = ::geteuid();
  }
  int saved_errno = errno;
  // O_NONBLOCK: a FIFO put in the file's place must not hold the report up.
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_DSYNC, 0600);
  if (fd >= 0) {
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != suid) {
      ::close(fd);
      fd = -1;
      saved_errno = EPERM;
    } else {
      saved_errno = errno;
      ky_apply_log_file_rule(fd, path);
    }
  } else {
    saved_errno = errno;
  }
  if (switched) {
    ::syscall(SYS_setresgid, -1, egid, -1);
    ::syscall(SYS_setresuid, -1, euid, -1);
  }
  errno = saved_errno;
  return fd;
}
