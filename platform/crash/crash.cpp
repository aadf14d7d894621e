// The fatal-signal handler, the per-thread guards with their alternate stacks,
// and the report lock. See crash.h for the order of events after a fault.
#include "crash/crash.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unwind.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "crash/crash_internal.h"

namespace {

// SIGABRT too: abort() in a loaded driver (a failed assertion, a corrupted
// heap) ends the process as surely as a fault, and deserves its report.
constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
// The handler walks the stack and formats lines of up to 1 KiB on this stack;
// the sanitizers make frames larger still.
constexpr size_t kAltStackSize = 256 * 1024;
// How long the process waits for its copy to write the core.
constexpr int kCoreWaitMs = 60000;

// Per-thread state. Plain data: the handler reads it without any set-up.
struct Guard {
  crash_report_fn fn;
  void* arg;
  int exit_code;
  int armed;
  int in_handler;
  void* alt_stack;  // mapping: one guard page, then the stack
  stack_t old_alt_stack;
  uintptr_t stack_low;
};

thread_local Guard t_guard __attribute__((tls_model("initial-exec")));

// Thread id of the thread writing a report, 0 when none.
std::atomic<pid_t> g_reporter{0};
std::once_flag g_install_once;
int g_install_result = -1;

pid_t thread_id() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

void pause_briefly() {
  timespec ts{0, 10 * 1000 * 1000};
  ::nanosleep(&ts, nullptr);
}

// Takes the report lock; a second faulting thread waits here (for good: the
// first one ends the process).
void acquire_reporter(pid_t me) {
  pid_t expected = 0;
  while (!g_reporter.compare_exchange_weak(expected, me)) {
    expected = 0;
    pause_briefly();
  }
}

void reset_to_default(int sig) {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(sig, &sa, nullptr);
}

void reset_all_to_default() {
  for (int sig : kFatalSignals) reset_to_default(sig);
}

// After the handler resets the signal to its default action: a fault of the
// processor comes back when the handler returns and takes that action; a
// signal sent by a process or thread must be sent again.
void take_default_action(int sig, const siginfo_t* si) {
  if (si->si_code <= 0) ::syscall(SYS_tgkill, ::getpid(), thread_id(), sig);
}

// Lets the kernel write a core for the crash collector from a copy of the
// process that dies of the same signal, and waits (bounded) for it. The copy
// returns true: it must return from the handler. Without a core size limit
// above 0 nothing is written, and no copy is made.
bool dump_core_from_copy(int sig, const siginfo_t* si) {
  rlimit core{};
  if (::getrlimit(RLIMIT_CORE, &core) != 0 || core.rlim_cur == 0) return false;
  pid_t pid = ::_Fork();
  if (pid == 0) {
    // A thread that acted as a client's user changed the process's ids, which
    // made it undumpable. The copy takes the process's own ids back (so the
    // core belongs to the server's user, never to a client's) and may dump.
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (::syscall(SYS_getresuid, &ruid, &euid, &suid) == 0 && euid != suid) ::syscall(SYS_setresuid, -1, suid, -1);
    if (::syscall(SYS_getresgid, &rgid, &egid, &sgid) == 0 && egid != sgid) ::syscall(SYS_setresgid, -1, sgid, -1);
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    take_default_action(sig, si);
    return true;
  }
  if (pid < 0) return false;
  for (int waited = 0; waited < kCoreWaitMs; waited += 10) {
    int status = 0;
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return false;
    pause_briefly();
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return false;
}

void on_fatal_signal(int sig, siginfo_t* si, void* context) {
  Guard& g = t_guard;
  if (g.in_handler) {
    // A fault while this thread writes its report: no second report.
    reset_to_default(sig);
    take_default_action(sig, si);
    return;
  }
  g.in_handler = 1;
  int saved_errno = errno;
  pid_t me = thread_id();
  if (g_reporter.load() == me) {
    // A fault inside a report written outside the handler (C++ exception).
    reset_all_to_default();
    take_default_action(sig, si);
    return;
  }
  acquire_reporter(me);
  if (!g.armed || g.fn == nullptr) {
    // Outside any guard: the default action (a core, death by the signal).
    reset_all_to_default();
    take_default_action(sig, si);
    return;
  }
  crash_record record;
  crash_record_from_signal(&record, sig, si, context, g.stack_low);
  g.fn(&record, g.arg);
  reset_all_to_default();
  if (dump_core_from_copy(sig, si)) return;
  errno = saved_errno;
  ::_exit(g.exit_code);
}

void warm_up_unwinder() {
  // The unwinder and dladdr set up their state on first use (outside the
  // handler, so that the handler's first walk allocates nothing).
  _Unwind_Backtrace([](_Unwind_Context*, void*) { return _URC_NO_REASON; }, nullptr);
  char module[64];
  uint32_t section = 0;
  uintptr_t offset = 0;
  get_logical_address(reinterpret_cast<uintptr_t>(&warm_up_unwinder), module, sizeof module, &section, &offset);
}

int install_handlers() {
  kyvek::crash::prepare_facts();
  warm_up_unwinder();
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = on_fatal_signal;
  sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // While the handler runs every fatal signal stays blocked on its thread: a
  // fault inside the handler then takes the default action at once.
  sigemptyset(&sa.sa_mask);
  for (int sig : kFatalSignals) sigaddset(&sa.sa_mask, sig);
  for (int sig : kFatalSignals)
    if (::sigaction(sig, &sa, nullptr) != 0) return -1;
  return 0;
}

uintptr_t lowest_stack_address() {
  pthread_attr_t attr;
  if (::pthread_getattr_np(::pthread_self(), &attr) != 0) return 0;
  void* addr = nullptr;
  size_t size = 0;
  uintptr_t low = 0;
  if (::pthread_attr_getstack(&attr, &addr, &size) == 0) low = reinterpret_cast<uintptr_t>(addr);
  ::pthread_attr_destroy(&attr);
  return low;
}

}  // namespace

extern "C" int crash_install(void) {
  std::call_once(g_install_once, [] { g_install_result = install_handlers(); });
  return g_install_result;
}

extern "C" int crash_guard_enter(crash_report_fn fn, void* arg, int exit_code) {
  Guard& g = t_guard;
  if (g.alt_stack == nullptr) {
    long page = ::sysconf(_SC_PAGESIZE);
    size_t guard_size = page > 0 ? static_cast<size_t>(page) : 4096;
    void* mem = ::mmap(nullptr, guard_size + kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return -1;
    // A guard page below the stack: running off it faults instead of
    // writing over other memory.
    ::mprotect(mem, guard_size, PROT_NONE);
    stack_t ss{};
    ss.ss_sp = static_cast<char*>(mem) + guard_size;
    ss.ss_size = kAltStackSize;
    if (::sigaltstack(&ss, &g.old_alt_stack) != 0) {
      ::munmap(mem, guard_size + kAltStackSize);
      return -1;
    }
    g.alt_stack = mem;
    g.stack_low = lowest_stack_address();
  }
  time_t now = std::time(nullptr);
  tm local{};
  if (::localtime_r(&now, &local)) kyvek::crash::facts().utc_offset.store(local.tm_gmtoff);
  g.fn = fn;
  g.arg = arg;
  g.exit_code = exit_code;
  g.armed = 1;
  return 0;
}

extern "C" void crash_guard_leave(void) {
  Guard& g = t_guard;
  g.armed = 0;
  g.fn = nullptr;
  g.arg = nullptr;
  if (g.alt_stack == nullptr) return;
  stack_t current{};
  ::sigaltstack(nullptr, &current);
  if (!(current.ss_flags & SS_ONSTACK)) {
    stack_t restore = g.old_alt_stack;
    if (restore.ss_sp == nullptr) restore.ss_flags = SS_DISABLE;
    ::sigaltstack(&restore, nullptr);
    long page = ::sysconf(_SC_PAGESIZE);
    size_t guard_size = page > 0 ? static_cast<size_t>(page) : 4096;
    ::munmap(g.alt_stack, guard_size + kAltStackSize);
    g.alt_stack = nullptr;
  }
}

extern "C" int crash_guard_active(void) { return t_guard.armed; }

extern "C" void crash_report_lock(void) { acquire_reporter(thread_id()); }

extern "C" void crash_report_unlock(void) { g_reporter.store(0); }
