// The exception report of a connection worker. exception_filter runs inside
// the fatal-signal handler (platform/crash) or, for a C++ exception, after the
// serving loop: it only uses the report writers of platform/crash and reads
// the settings, the thread table and the RPC handle without locks.
#include "exception_report.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "crash/crash.h"
#include "events.h"
#include "server_utils.h"
#include "settings.h"
#include "thread_table.h"
#include "worker.h"

namespace {

// A thread-table line goes into the report text only while more than this
// many bytes of the text are left.
constexpr size_t kThreadListReserve = 80;
// Bound on the walk of a list that is read unguarded.
constexpr int kMaxThreadEntries = 100000;

struct WorkerGuard {
  RpcHandle* handle;
  int one_shot;
  char path[1024];
};

thread_local WorkerGuard t_worker __attribute__((tls_model("initial-exec")));

char g_text[CRASH_REPORT_TEXT_SIZE];
std::atomic<int> g_written{0};
// The event text of a fault; used under the report lock only.
char g_event_text[CRASH_REPORT_TEXT_SIZE + 128];

void write_thread_list(crash_report* report) {
  thread_entry_t** head = thread_table_head();
  if (head == nullptr || *head == nullptr) return;
  write_report_line(report, 1, "Thread List:\r\nin_use, threadid, threadh, socket, client_ip, dsn,start_time\r\n");
  bool cut = false;
  int count = 0;
  for (thread_entry_t* e = *head; e != nullptr && count < kMaxThreadEntries; e = e->next, ++count) {
    size_t left = report->capacity > report->length ? report->capacity - 1 - report->length : 0;
    bool to_text = left > kThreadListReserve;
    if (!to_text && !cut) {
      cut = true;
      static const char kMore[] = "...\r\n";
      if (report->text && left >= sizeof kMore - 1) {
        std::memcpy(report->text + report->length, kMore, sizeof kMore);
        report->length += sizeof kMore - 1;
      }
    }
    char started[32];
    crash_ctime(static_cast<time_t>(e->start_time), started);
    uintptr_t handle =
        e->kind & THREAD_KIND_PROCESS ? static_cast<uintptr_t>(e->pid) : static_cast<uintptr_t>(e->thread);
    write_report_line(report, to_text, "%d %u 0x%p %d %s %s %s\r\n", static_cast<int>(e->in_use), e->id,
                      reinterpret_cast<void*>(handle), e->socket, e->client_address[0] ? e->client_address : "-",
                      e->dsn[0] ? e->dsn : "-", started);
  }
}

// Event 0xC0020241 with the report text, from the signal handler.
void report_fault_event() {
  const char* report = g_written.load() ? g_text : "VEK Server ODBC thread/process Exception\n";
  const char* format = event_text_of(EV_WORKER_EXCEPTION);
  crash_format(g_event_text, sizeof g_event_text, format ? format : "%s", report);
  eventlog_source* source = server_event_source();
  if (source != nullptr) {
    eventlog_report_signal_safe(source, EVENTLOG_ERROR, EV_WORKER_EXCEPTION, g_event_text);
  } else {
    ssize_t w = ::write(2, g_event_text, std::strlen(g_event_text));
    w = ::write(2, "\n", 1);
    (void)w;
  }
  if (server_stats_t* block = server_event_block()) {
    // Without the block's lock: a lock cannot be taken here, and a torn text
    // does less harm than a process that never ends.
    size_t n = std::strlen(g_event_text);
    if (n >= sizeof block->last_event_text) n = sizeof block->last_event_text - 1;
    std::memcpy(block->last_event_text, g_event_text, n);
    block->last_event_text[n] = '\0';
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    __atomic_store_n(&block->last_event_time, static_cast<int64_t>(now.tv_sec), __ATOMIC_RELAXED);
  }
}

void on_fault(const crash_record* record, void*) {
  exception_filter(record, record->context, t_worker.handle);
  if (t_worker.one_shot) {
    ssize_t w = ::write(1, "Exception\n", 10);
    (void)w;
  }
  report_fault_event();
}

}  // namespace

extern "C" int exception_filter(const void* record_in, const void*, RpcHandle* handle) {
  crash_record local;
  const auto* record = static_cast<const crash_record*>(record_in);
  bool in_handler = record != nullptr;
  if (!in_handler) {
    crash_record_for_exception(&local);
    record = &local;
    crash_report_lock();
  }
  int fd = t_worker.path[0] ? crash_open_report_file(t_worker.path) : -1;
  crash_report r;
  crash_report_begin(&r, fd, g_text, sizeof g_text);
  g_written.store(0);
  write_report_line(&r, 1, "%s\r\n", "Kyronde Vekamar");
  write_report_line(&r, 1, "Version: %s\r\n", "02.04.0003");
  write_report_line(&r, 1, "Component: VEK Server (ODBC thread/process)\r\n");
  write_report_line(&r, 1, "Build Date: %s\r\n", get_build_stamp());
  crash_write_date_line(&r, 1);
  const server_settings_t* settings = server_settings();
  write_report_line(&r, 1, "Current VEK Flags: 0X%lx\r\n", static_cast<unsigned long>(settings ? settings->Flags : 0));
  crash_write_system_lines(&r, 1);
  g_written.store(1);
  crash_write_exception_lines(&r, 1, record);
  write_report_line(&r, 1, "exception_filter() at %p\r\n", reinterpret_cast<void*>(&exception_filter));
  write_report_line(&r, 1, "RPCAllocHandle() at %p\r\n", reinterpret_cast<void*>(&RPCAllocHandle));
  if (handle == nullptr) {
    write_report_line(&r, 1, "Last RPC: (NULL RPC handle)\r\n");
  } else {
    const char* name = nullptr;
    int ordinal = RPCLastRPC(handle, &name);
    if (ordinal < 0)
      write_report_line(&r, 1, "Last RPC: (RPC handle invalid)\r\n");
    else
      write_report_line(&r, 1, "Last RPC: Name=%s, Ordinal=%d\r\n", name ? name : "Unknown", ordinal);
  }
  write_report_line(&r, 1, "Current Thread : %lu\r\n", static_cast<unsigned long>(::syscall(SYS_gettid)));
  crash_write_module_line(&r, 1, record->address);
  write_stack_trace(&r, record);
  write_thread_list(&r);
  if (fd >= 0) ::close(fd);
  if (!in_handler) crash_report_unlock();
  return 1;
}

extern "C" const char* exception_report_text(void) { return g_written.load() ? g_text : nullptr; }

extern "C" void clear_exception_report(void) { g_written.store(0); }

extern "C" int exception_guard_enter(RpcHandle* h, int one_shot) {
  if (crash_install() != 0) return -1;
  WorkerGuard& g = t_worker;
  g.handle = h;
  g.one_shot = one_shot;
  char dir[512];
  if (read_setting_text(dir, sizeof dir, "LogDir") != 0) dir[0] = '\0';
  if (crash_report_path(dir, g.path, sizeof g.path) != 0) g.path[0] = '\0';
  return crash_guard_enter(on_fault, nullptr, 1);
}

extern "C" void exception_guard_leave(void) {
  crash_guard_leave();
  t_worker.handle = nullptr;
}
