// The exception report of the administration server: written to
// kyvek.exception in LogDir when a fatal signal hits the server thread (from
// inside the handler, with the async-signal-safe writers of platform/crash)
// or a connection's thread, or when a C++ exception ends a request.
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "crash/crash.h"
#include "events.h"
#include "http_internal.h"
#include "listener.h"
#include "server_utils.h"

namespace kyvek::http {

namespace {

constexpr uint32_t EV_HTTP_EXCEPTION = 0xC0020231;

char g_path[1024];
char g_text[CRASH_REPORT_TEXT_SIZE];
std::atomic<int> g_written{0};

void write_report(const crash_record* record) {
  int fd = g_path[0] ? crash_open_report_file(g_path) : -1;
  crash_report r;
  crash_report_begin(&r, fd, g_text, sizeof g_text);
  g_written.store(0);
  write_report_line(&r, 1, "%s\r\n", "Kyronde Vekamar");
  write_report_line(&r, 1, "Version: %s\r\n", "02.04.0003");
  write_report_line(&r, 1, "Component: HTTP Server\r\n");
  write_report_line(&r, 1, "Build Date: %s\r\n", get_build_stamp());
  crash_write_date_line(&r, 1);
  write_report_line(&r, 1, "Last URL: %s\r\n", state().last_uri);
  crash_write_system_lines(&r, 1);
  g_written.store(1);
  crash_write_exception_lines(&r, 1, record);
  write_report_line(&r, 1, "Current Process : %lu\r\n", static_cast<unsigned long>(::getpid()));
  write_report_line(&r, 1, "Current Thread : %lu\r\n", static_cast<unsigned long>(::syscall(SYS_gettid)));
  crash_write_module_line(&r, 1, record->address);
  write_stack_trace(&r, record);
  if (fd >= 0) ::close(fd);
}

// Inside the signal handler: the report, a bare 500 to the client being
// served, and the two events; the guard then ends the process with 1.
void on_fault(const crash_record* record, void*) {
  write_report(record);
  int client = state().client;
  if (client >= 0) {
    static const char kAnswer[] =
        "HTTP/1.1 500 Internal Server Error\nContent-Type: text/html\n\n"
        "<HTML><BODY><H1>Error</H1><p>Exception caught in HTTP Server\n-VEK HTTP Server "
        "terminating<p></BODY></HTML>\r\n";
    ssize_t n = ::send(client, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
    (void)n;
    ::shutdown(client, SHUT_RDWR);
  }
  eventlog_source* source = server_source();
  if (source) {
    eventlog_report_signal_safe(source, EVENTLOG_ERROR, EV_HTTP_EXCEPTION, g_text);
    eventlog_report_signal_safe(source, EVENTLOG_ERROR, EV_HTTP_EXCEPTION, "VEK HTTP Server terminating");
  } else {
    static const char kLine[] = "VEK HTTP Exception\n- VEK HTTP Server terminating\n";
    ssize_t n = ::write(2, kLine, sizeof kLine - 1);
    n = ::write(2, g_text, std::strlen(g_text));
    (void)n;
  }
}

}  // namespace

int http_guard_enter() {
  if (crash_install() != 0) return -1;
  if (crash_report_path(state().settings.LogDir, g_path, sizeof g_path) != 0) g_path[0] = '\0';
  return crash_guard_enter(on_fault, nullptr, 1);
}

int http_guard_thread() { return crash_guard_enter(on_fault, nullptr, 1); }

void http_guard_leave() { crash_guard_leave(); }

std::string http_exception_report() {
  crash_record record;
  crash_record_for_exception(&record);
  crash_report_lock();
  write_report(&record);
  crash_report_unlock();
  return g_written.load() ? std::string(g_text) : std::string();
}

}  // namespace kyvek::http
