// System event log on syslog, with an optional file sink for tests.
#include "eventlog/eventlog.h"
#include "logfile/log_file.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

struct eventlog_source {
  std::string name;
};

namespace {

std::mutex syslog_mutex;  // openlog's ident is process-wide

// The syslog identifier is the program's name (no blanks, so journald files the
// lines under it); the event source's name leads the message.
const char* syslog_ident() {
  const char* name = program_invocation_short_name;
  return name && *name ? name : "kyvek";
}

int syslog_priority(uint16_t type) {
  switch (type) {
    case EVENTLOG_ERROR: return LOG_ERR;
    case EVENTLOG_WARNING: return LOG_WARNING;
    default: return LOG_INFO;
  }
}

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void append_to_file_sink(const std::string& line) {
  const char* path = std::getenv("KYVEK_EVENTLOG");
  if (path == nullptr || *path == '\0') return;
  int fd = ky_open_log_file(path, O_WRONLY | O_APPEND);
  if (fd < 0) return;
  std::string with_newline = line + "\n";
  write_all(fd, with_newline.data(), with_newline.size());
  ::close(fd);
}

// A fixed buffer that text is appended to, cut at its end.
struct LineBuffer {
  char data[16384];
  size_t length = 0;
  void add(const char* s, size_t n) {
    if (n > sizeof data - length) n = sizeof data - length;
    std::memcpy(data + length, s, n);
    length += n;
  }
  void add(const char* s) { add(s, std::strlen(s)); }
  void add_number(unsigned long v, unsigned base, int width) {
    char digits[24];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[v % base];
      v /= base;
    } while (v != 0 || n < width);
    while (n > 0) add(&digits[--n], 1);
  }
};

}  // namespace

extern "C" int eventlog_report_signal_safe(const eventlog_source* source, uint16_t type, uint32_t id,
                                           const char* text) {
  if (source == nullptr) return -1;
  LineBuffer line;
  line.add("0x");
  line.add_number(id, 16, 8);
  line.add(" ");
  if (text != nullptr) line.add(text);
  // syslog's datagram: "<priority>ident[pid]: line".
  LineBuffer datagram;
  datagram.add("<");
  datagram.add_number(static_cast<unsigned long>(LOG_DAEMON | syslog_priority(type)), 10, 1);
  datagram.add(">");
  datagram.add(syslog_ident());
  datagram.add("[");
  datagram.add_number(static_cast<unsigned long>(::getpid()), 10, 1);
  datagram.add("]: ");
  datagram.add(source->name.c_str());
  datagram.add(": ");
  datagram.add(line.data, line.length);
  int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock >= 0) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, "/dev/log", sizeof "/dev/log");
    if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
      (void)::send(sock, datagram.data, datagram.length, MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(sock);
  }
  const char* path = std::getenv("KYVEK_EVENTLOG");
  if (path != nullptr && *path != '\0') {
    int fd = ky_open_log_file(path, O_WRONLY | O_APPEND);
    if (fd >= 0) {
      line.length = line.length < sizeof line.data ? line.length : sizeof line.data - 1;
      line.add("\n");
      write_all(fd, line.data, line.length);
      ::close(fd);
    }
  }
  return 0;
}

extern "C" eventlog_source* eventlog_register(const char* source_name) {
  auto* source = new (std::nothrow) eventlog_source;
  if (source == nullptr) return nullptr;
  try {
    source->name = source_name ? source_name : "";
  } catch (...) {
    delete source;
    return nullptr;
  }
  return source;
}

extern "C" void eventlog_deregister(eventlog_source* source) { delete source; }

extern "C" int eventlog_format_line(uint32_t id, const char* text, char* out, int capacity) {
  int n = std::snprintf(out, capacity > 0 ? static_cast<size_t>(capacity) : 0, "0x%08X %s", static_cast<unsigned>(id),
                        text ? text : "");
  return n;
}

extern "C" int eventlog_report(eventlog_source* source, uint16_t type, uint32_t id, const char* text) {
  if (source == nullptr) return -1;
  char head[16];
  std::snprintf(head, sizeof head, "0x%08X ", static_cast<unsigned>(id));
  std::string line = head;
  if (text != nullptr) line += text;
  {
    std::lock_guard<std::mutex> lock(syslog_mutex);
    openlog(syslog_ident(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(LOG_DAEMON | syslog_priority(type), "%s: %s", source->name.c_str(), line.c_str());
    closelog();
  }
  append_to_file_sink(line);
  return 0;
}
