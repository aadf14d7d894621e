// The audit trail: daily files of client events.
#include "audit.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "events.h"
#include "server_utils.h"
#include "settings.h"
#include "trace_log.h"
#include "logfile/log_file.h"

namespace {

// The open trail and its day, guarded by audit_mutex (recursive: audit_event
// holds it while rolling over).
std::recursive_mutex audit_mutex;
int audit_fd = AUDIT_INVALID_HANDLE;
char day_text[32] = "";

struct AuditName {
  uint32_t code;
  const char* name;
};

constexpr AuditName audit_names[] = {
    {AUDIT_CONNECT, "CONNECT"},
    {AUDIT_REFUSED_BY_RULE, "REFUSED_BY_RULE"},
    {AUDIT_ODBC_CONNECT, "ODBC_CONNECT"},
    {AUDIT_REFUSED_MAXCLIENTCONNECT, "REFUSED_MAXCLIENTCONNECT"},
    {AUDIT_REFUSED_MAXCONCURRENT, "REFUSED_MAXCONCURRENT"},
    {AUDIT_DISCONNECT, "DISCONNECT"},
    {AUDIT_REFUSED_BY_DSN_RULE, "REFUSED_BY_DSN_RULE"},
    {AUDIT_AUTH_DENIED, "AUTH_DENIED"},
    {AUDIT_REFUSED_KEYWORD, "REFUSED_CONNECT_KEYWORD"},
    {AUDIT_SERVER_SUSPENDED, "SERVER_SUSPENDED"},
    {AUDIT_SERVER_RESUMED, "SERVER_RESUMED"},
};

std::string current_path() {
  char path[2048];
  if (server_log_path(path, sizeof path, AUDIT_FILE_NAME) != 0) return {};
  return path;
}

std::string system_text(int error) {
  char* text = nullptr;
  format_system_error(&text, error);
  std::string result;
  if (text != nullptr) {
    result = text;
    std::free(text);
  } else {
    char buf[32];
    std::snprintf(buf, sizeof buf, "error %d", error);
    result = buf;
  }
  return result;
}

void file_error_event(const char* name, const std::string& message) {
  log_server_event(server_event_block(), server_event_source(), EVENTLOG_WARNING, EV_FILE_ERROR, name, message.c_str());
}

// Blanks (and any other white space or control character, which would break
// the line format) become '_'.
std::optional<std::string> audit_copy(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string copy = text;
  for (char& c : copy)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f) c = '_';
  return copy;
}

// Moves from to to without ever replacing an existing to.
int rename_no_replace(const char* from, const char* to) {
  if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without RENAME_NOREPLACE: link fails when to exists.
  if (::link(from, to) != 0) return -1;
  ::unlink(from);
  return 0;
}

// True when fd is still the file at path (no other process has rolled it over).
bool is_current_file(int fd, const std::string& path) {
  struct stat open_file {
  }, named{};
  if (fstat(fd, &open_file) != 0 || stat(path.c_str(), &named) != 0) return false;
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

}  // namespace

extern "C" const char* audit_event_name(uint32_t code) {
  for (const AuditName& row : audit_names)
    if (row.code == code) return row.name;
  return nullptr;
}

extern "C" int open_audit_file(const char* name) {
  std::string path = name ? std::string(name) : current_path();
  server_trace(kTraceDetail, "Opening audit trail file %s\n", path.c_str());
  int fd = ky_open_log_file(path.c_str(), O_RDWR | O_APPEND | O_DSYNC);
  if (fd < 0) {
    int error = errno;
    server_trace(kTraceExit, "Failed to open audit file - error %d\n", error);
    char message[2300];
    std::snprintf(message, sizeof message, "Failed to open %s for create/append - (%s)", path.c_str(),
                  system_text(error).c_str());
    file_error_event(path.c_str(), message);
    return AUDIT_INVALID_HANDLE;
  }
  return fd;
}

extern "C" int rename_audit_file(int handle, const char* current_name, const char* new_name) {
  server_trace(kTraceDetail, "Renaming %s to %s", current_name, new_name);
  if (handle >= 0) ::close(handle);
  if (rename_no_replace(current_name, new_name) != 0 && errno != EEXIST && errno != ENOENT) {
    // EEXIST or ENOENT: another process of this server rolled the trail over
    // first; its archive stays and the new current file is used as it is.
    int error = errno;
    server_trace(kTraceExit, "Failed to move audit file - error %d\n", error);
    char message[2300];
    std::snprintf(message, sizeof message, "Failed to rename to %s - (%s)", new_name, system_text(error).c_str());
    file_error_event(current_name, message);
    return AUDIT_INVALID_HANDLE;
  }
  return open_audit_file(current_name);
}

extern "C" int rollover_audit_file(int handle, const struct tm* now) {
  std::lock_guard<std::recursive_mutex> lock(audit_mutex);
  char today[32];
  std::snprintf(today, sizeof today, "%.2d_%.2d_%.4d", now->tm_mday, now->tm_mon + 1, now->tm_year + 1900);
  if (handle < 0) {
    handle = open_audit_file(nullptr);
    if (handle >= 0) std::snprintf(day_text, sizeof day_text, "%s", today);
    return handle;
  }
  if (std::strcmp(today, day_text) == 0) return handle;
  server_trace(kTraceDetail, "Day rollover - starting new audit trail file\n");
  std::string current = current_path();
  int fresh;
  if (!is_current_file(handle, current)) {
    // Another process has already moved the day's file away.
    ::close(handle);
    fresh = open_audit_file(current.c_str());
  } else {
    std::string archive = current.substr(0, current.size() - std::strlen(".log")) + "_" + day_text + ".log";
    fresh = rename_audit_file(handle, current.c_str(), archive.c_str());
  }
  if (fresh >= 0) std::snprintf(day_text, sizeof day_text, "%s", today);
  return fresh;
}

extern "C" void audit_event(uint32_t code, const char* text1, const char* text2) {
  server_trace(kTraceDetail, "\taudit_event(%lu,%p,%p)\n", static_cast<unsigned long>(code),
               static_cast<const void*>(text1), static_cast<const void*>(text2));
  time_t now = server_time_now();
  struct tm parts {};
  char date[256];
  format_date_text(date, sizeof date, &now, &parts, 0);
  localtime_r(&now, &parts);

  std::lock_guard<std::recursive_mutex> lock(audit_mutex);
  audit_fd = rollover_audit_file(audit_fd, &parts);
  if (audit_fd < 0) return;

  std::optional<std::string> first = audit_copy(text1);
  std::optional<std::string> second = audit_copy(text2);
  const std::string one = first.value_or("");
  const std::string two_or_unknown = second.value_or("unknown");
  const std::string two = second.value_or("");
  std::string line;
  switch (code) {
    case AUDIT_CONNECT:
    case AUDIT_REFUSED_BY_RULE:
    case AUDIT_REFUSED_MAXCLIENTCONNECT:
    case AUDIT_REFUSED_MAXCONCURRENT:
    case AUDIT_REFUSED_BY_DSN_RULE:
    case AUDIT_REFUSED_KEYWORD:
      line = std::string(date) + " " + audit_event_name(code) + " " + one + "(" + two_or_unknown + ")\n";
      break;
    case AUDIT_DISCONNECT:
    case AUDIT_AUTH_DENIED:
      line = std::string(date) + " " + audit_event_name(code) + " " + one + "(" + two + ")\n";
      break;
    case AUDIT_SERVER_SUSPENDED:
    case AUDIT_SERVER_RESUMED: line = std::string(date) + " " + audit_event_name(code) + " (PID=" + one + ")\n"; break;
    default: line = "Unrecognised event\n"; break;
  }
  line.insert(line.size() - 1, "\r");
  write_fully(audit_fd, line.data(), line.size());
}

extern "C" void audit_open_early(void) {
  time_t now = server_time_now();
  struct tm parts {};
  localtime_r(&now, &parts);
  std::lock_guard<std::recursive_mutex> lock(audit_mutex);
  audit_fd = rollover_audit_file(audit_fd, &parts);
}

extern "C" void close_audit_file(void) {
  std::lock_guard<std::recursive_mutex> lock(audit_mutex);
  if (audit_fd >= 0) ::close(audit_fd);
  audit_fd = AUDIT_INVALID_HANDLE;
  day_text[0] = '\0';
}

namespace {
// A trail can only be open when this unit is linked in: it closes its own
// trail when the settings drop AuditODBCAccess.
const bool g_close_hook_installed = (set_audit_close_hook(close_audit_file), true);
}  // namespace
