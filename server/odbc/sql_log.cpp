// SQL error log and diagnostic dump file.
#include "sql_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "server_policy.h"
#include "logfile/log_file.h"

namespace {

std::string temp_dir() {
  const char* t = getenv("TMPDIR");
  return t != nullptr && *t != '\0' ? t : "/tmp";
}

int open_append(const char* path) { return ky_open_log_file(path, O_WRONLY | O_APPEND); }

void append_line(const std::string& path, const std::string& line) {
  int fd = open_append(path.c_str());
  if (fd < 0) return;  // the line is lost, the handler's result is not affected
  ssize_t n = write(fd, line.data(), line.size());
  (void)n;
  close(fd);
}

// vek_sql.log stays open for the process, opened by the server's own user
// before a worker acts as a client's user: a file created by the first
// impersonated user (mode 0600) would refuse every other user's lines.
std::mutex sql_log_mutex;
int sql_log_fd = -1;

void append_sql_log(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(sql_log_mutex);
    if (sql_log_fd >= 0) {
      ssize_t n = write(sql_log_fd, line.data(), line.size());
      (void)n;
      return;
    }
  }
  char path[1100];
  sql_log_path(path, sizeof(path));
  append_line(path, line);
}

std::string time_prefix() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  char buf[64];
  snprintf(buf, sizeof(buf), "%.2d-%.2d-%d %.2d:%.2d:%.2d ", tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour,
           tm.tm_min, tm.tm_sec);
  return buf;
}

}  // namespace

extern "C" {

void sql_log_open(void) {
  std::lock_guard<std::mutex> lock(sql_log_mutex);
  if (sql_log_fd >= 0) return;
  char path[1100];
  sql_log_path(path, sizeof(path));
  sql_log_fd = open_append(path);
}

void sql_log_close(void) {
  std::lock_guard<std::mutex> lock(sql_log_mutex);
  if (sql_log_fd >= 0) close(sql_log_fd);
  sql_log_fd = -1;
}

void sql_log_path(char* out, size_t size) {
  char dir[1024] = {0};
  if (veks_server_policy_get()->read_setting_text(dir, sizeof(dir), "LogDir") != 0 || dir[0] == '\0') {
    snprintf(dir, sizeof(dir), "%s", temp_dir().c_str());
  }
  snprintf(out, size, "%s/%s", dir, "vek_sql.log");
}

void log_failing_sql(const connection_t* dbc, int16_t driver_rc, const char* text, size_t length) {
  std::string line = time_prefix();
  if (dbc != nullptr) line += "\"" + std::string(dbc->dsn, strnlen(dbc->dsn, sizeof(dbc->dsn))) + "\" ";
  if (driver_rc == 100) line += "<NULL EFFECT> ";
  if (text != nullptr) line.append(text, length);
  line += "\r\n";
  append_sql_log(line);
}

void log_sql_diag(statement_t* stmt, const char* sqlstate, int64_t native, const char* message) {
  if (stmt != nullptr) stmt->log_next_diag = 0;
  char buf[1400];
  snprintf(buf, sizeof(buf), "SQLState=\"%s\", NativeError=%ld, Msg=\"%s\"\r\n", sqlstate != nullptr ? sqlstate : "",
           static_cast<long>(native), message != nullptr ? message : "");
  append_sql_log(time_prefix() + buf);
}

void dump_diag_line(const char* sqlstate, const int32_t* native, const char* message) {
  std::string line;
  char buf[64];
  if (sqlstate != nullptr) {
    snprintf(buf, sizeof(buf), "sqlstate=%.6s ", sqlstate);
    line += buf;
  }
  if (native != nullptr) {
    snprintf(buf, sizeof(buf), "native=%ld ", static_cast<long>(*native));
    line += buf;
  }
  if (message != nullptr) line += "\"" + std::string(message) + "\"";
  line += "\n";
  append_line(temp_dir() + "/vekamars_diags.txt", line);
}

}  // extern "C"
