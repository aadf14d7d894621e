// platform/crash: the signal-safe formatter and clock text, the exception
// codes of signals, logical addresses, the report file's opening rules, and
// the fault handler itself in forked children (one report per fault, a second
// faulting thread waits, a fault inside the report or outside a guard takes
// the default action, the exit code survives a core dump).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "crash/crash.h"

namespace fs = std::filesystem;

namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kyvek-crash-XXXXXX";
    path_ = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  fs::path file(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string read_file(const fs::path& p) {
  std::ifstream f(p);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

size_t count_of(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

TEST(CrashFormat, ConversionsAsTheReportUsesThem) {
  char out[256];
  int n = crash_format(out, sizeof out, "%08X|%02X|%lx|%d|%3d|%-4s|%s|%p|%%|%u|%ld|%c", 0xABCu, 5u, 0x1fUL, -42, 7,
                       "ab", static_cast<const char*>(nullptr), reinterpret_cast<void*>(0x1234), 12u, -9L, 'z');
  EXPECT_STREQ(out, "00000ABC|05|1f|-42|  7|ab  |(null)|0000000000001234|%|12|-9|z");
  EXPECT_EQ(n, static_cast<int>(std::strlen(out)));
  crash_format(out, sizeof out, "%lu %ld %p", ULONG_MAX, LONG_MIN, reinterpret_cast<void*>(UINTPTR_MAX));
  EXPECT_STREQ(out, "18446744073709551615 -9223372036854775808 FFFFFFFFFFFFFFFF");
  // A small buffer is filled and terminated.
  EXPECT_EQ(crash_format(out, 5, "%s", "abcdefgh"), 4);
  EXPECT_STREQ(out, "abcd");
}

TEST(CrashFormat, ClockTextMatchesCtime) {
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  ASSERT_EQ(crash_install(), 0);
  for (time_t t : {time_t{0}, time_t{951782400}, time_t{1704153600}, time_t{1700000000}, time_t{4102444799}}) {
    char mine[32], libc[32];
    crash_ctime(t, mine);
    tm parts{};
    ::gmtime_r(&t, &parts);
    ::asctime_r(&parts, libc);
    EXPECT_STREQ(mine, libc) << t;
  }
}

TEST(CrashCodes, SignalsMapToExceptionCodesAndNames) {
  const uintptr_t low = 0x7f0000000000;
  struct Row {
    int sig, code;
    uintptr_t fault, stack_low;
    uint32_t expected;
    const char* name;
  } rows[] = {
      {SIGSEGV, SEGV_MAPERR, 0x10, low, 0xC0000005u, "ACCESS_VIOLATION"},
      {SIGSEGV, SEGV_ACCERR, low - 100, low, 0xC00000FDu, "STACK_OVERFLOW"},
      {SIGSEGV, SEGV_MAPERR, low - 1024 * 1024, low, 0xC0000005u, "ACCESS_VIOLATION"},
      {SIGFPE, FPE_INTDIV, 0, 0, 0xC0000094u, "INT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_INTOVF, 0, 0, 0xC0000095u, "INT_OVERFLOW"},
      {SIGFPE, FPE_FLTDIV, 0, 0, 0xC000008Eu, "FLT_DIVIDE_BY_ZERO"},
      {SIGFPE, FPE_FLTOVF, 0, 0, 0xC0000091u, "FLT_OVERFLOW"},
      {SIGFPE, FPE_FLTUND, 0, 0, 0xC0000093u, "FLT_UNDERFLOW"},
      {SIGFPE, FPE_FLTRES, 0, 0, 0xC000008Fu, "FLT_INEXACT_RESULT"},
      {SIGFPE, FPE_FLTINV, 0, 0, 0xC0000090u, "FLT_INVALID_OPERATION"},
      {SIGILL, ILL_ILLOPC, 0, 0, 0xC000001Du, "ILLEGAL_INSTRUCTION"},
      {SIGILL, ILL_PRVOPC, 0, 0, 0xC0000096u, "PRIV_INSTRUCTION"},
      {SIGBUS, BUS_ADRALN, 0, 0, 0x80000002u, "DATATYPE_MISALIGNMENT"},
      {SIGBUS, BUS_ADRERR, 0, 0, 0xC0000006u, "IN_PAGE_ERROR"},
      {SIGABRT, SI_TKILL, 0, 0, 0x40000015u, "FATAL_APP_EXIT"},
  };
  for (const Row& r : rows) {
    uint32_t code = crash_code_of_signal(r.sig, r.code, r.fault, 0, r.stack_low);
    EXPECT_EQ(code, r.expected) << r.sig << "/" << r.code;
    EXPECT_STREQ(exception_code_name(code), r.name);
  }
  EXPECT_STREQ(exception_code_name(CRASH_CPP_EXCEPTION), "unknown");
  EXPECT_STREQ(exception_code_name(0x80000003u), "BREAKPOINT");
}

TEST(CrashAddress, CodeInAModuleHasASegmentAndOffset) {
  char module[512];
  uint32_t section = 0;
  uintptr_t offset = 0;
  auto here = reinterpret_cast<uintptr_t>(&count_of);
  ASSERT_EQ(get_logical_address(here, module, sizeof module, &section, &offset), 0);
  EXPECT_EQ(fs::path(module), fs::read_symlink("/proc/self/exe"));
  EXPECT_GE(section, 1u);
  // The same address one byte on is one byte further in the same segment.
  uint32_t section2 = 0;
  uintptr_t offset2 = 0;
  ASSERT_EQ(get_logical_address(here + 1, module, sizeof module, &section2, &offset2), 0);
  EXPECT_EQ(section2, section);
  EXPECT_EQ(offset2, offset + 1);

  auto in_libc = reinterpret_cast<uintptr_t>(::dlsym(RTLD_DEFAULT, "getpid"));
  ASSERT_EQ(get_logical_address(in_libc, module, sizeof module, &section, &offset), 0);
  EXPECT_NE(std::string(module).find("libc.so"), std::string::npos) << module;

  int on_stack = 0;
  EXPECT_EQ(get_logical_address(0x10, module, sizeof module, &section, &offset), -1);
  EXPECT_EQ(get_logical_address(reinterpret_cast<uintptr_t>(&on_stack), module, sizeof module, &section, &offset), -1);
}

TEST(CrashReportFile, PathFollowsTheLogDirectory) {
  ::setenv("TMPDIR", "/scratch", 1);
  struct Row {
    std::string dir, expected;
  } rows[] = {
      {"", "/scratch/kyvek.exception"},
      {"c:\\temp\\", "/scratch/kyvek.exception"},
      {"C:\\Temp", "/scratch/kyvek.exception"},
      {"/var/log/kyvek/", "/var/log/kyvek/kyvek.exception"},
      {"D:\\logs", "D:/logs/kyvek.exception"},
      {std::string(497, 'a'), std::string(497, 'a') + "/kyvek.exception"},
      {std::string(498, 'a'), "/scratch/kyvek.exception"},
  };
  for (const Row& r : rows) {
    char out[1024];
    ASSERT_EQ(crash_report_path(r.dir.c_str(), out, sizeof out), 0);
    EXPECT_EQ(out, r.expected);
  }
  char small[8];
  EXPECT_EQ(crash_report_path("/var/log", small, sizeof small), -1);
  ::unsetenv("TMPDIR");
}

TEST(CrashReportFile, AFullDiskStopsTheFileButNotTheText) {
  int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char text[64];
  crash_report r;
  crash_report_begin(&r, fd, text, sizeof text);
  write_report_line(&r, 1, "first %d\r\n", 1);
  EXPECT_EQ(r.file_failed, 1);
  write_report_line(&r, 1, "second\r\n");
  write_report_line(&r, 0, "file only\r\n");
  EXPECT_STREQ(text, "first 1\r\nsecond\r\n");
  // Past the text's end the lines are cut, never written beyond it.
  for (int i = 0; i < 10; ++i) write_report_line(&r, 1, "line %d of filler\r\n", i);
  EXPECT_EQ(std::strlen(text), sizeof text - 1);
  EXPECT_EQ(r.length, sizeof text - 1);
  ::close(fd);
}

TEST(CrashReportFile, OpensForAppendingOnlyAPlainFileOfItsOwn) {
  TempDir dir;
  fs::path path = dir.file("kyvek.exception");
  int fd = crash_open_report_file(path.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "one\n", 4), 4);
  ::close(fd);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  fd = crash_open_report_file(path.c_str());
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "two\n", 4), 4);
  ::close(fd);
  EXPECT_EQ(read_file(path), "one\ntwo\n");

  // Refused: a link (never written through), a FIFO, a directory.
  fs::path target = dir.file("target");
  std::ofstream(target) << "keep\n";
  fs::path link = dir.file("link.exception");
  fs::create_symlink(target, link);
  EXPECT_EQ(crash_open_report_file(link.c_str()), -1);
  EXPECT_EQ(read_file(target), "keep\n");
  fs::path fifo = dir.file("fifo.exception");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(crash_open_report_file(fifo.c_str()), -1);
  EXPECT_EQ(crash_open_report_file(dir.path().c_str()), -1);

  if (::geteuid() != 0) GTEST_SKIP() << "a file of another user needs root";
  fs::path foreign = dir.file("foreign.exception");
  std::ofstream(foreign) << "theirs\n";
  ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
  EXPECT_EQ(crash_open_report_file(foreign.c_str()), -1);
  EXPECT_EQ(read_file(foreign), "theirs\n");
}

TEST(CrashReportFile, AThreadActingAsAnotherUserWritesAsTheProcess) {
  if (::geteuid() != 0) GTEST_SKIP() << "impersonation needs root";
  TempDir dir;
  ::chmod(dir.path().c_str(), 0700);  // closed to the other user
  fs::path path = dir.file("kyvek.exception");
  int fd = -1;
  uid_t during = 0, after = 0;
  std::thread([&] {
    // Acts as "nobody" on this thread only, as the logon layer does.
    ASSERT_EQ(::syscall(SYS_setresgid, -1, 65534, -1), 0);
    ASSERT_EQ(::syscall(SYS_setresuid, -1, 65534, -1), 0);
    during = static_cast<uid_t>(::syscall(SYS_geteuid));
    fd = crash_open_report_file(path.c_str());
    after = static_cast<uid_t>(::syscall(SYS_geteuid));
    ::syscall(SYS_setresuid, -1, 0, -1);
    ::syscall(SYS_setresgid, -1, 0, -1);
  }).join();
  EXPECT_EQ(during, 65534u);
  EXPECT_EQ(after, 65534u);  // the thread is the other user again
  ASSERT_GE(fd, 0);
  ::close(fd);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
}

// ---- the handler, in forked children ----

const char* g_report_path = nullptr;
int g_fault_in_report = 0;

void fault_now();

void test_report(const crash_record* record, void*) {
  int fd = crash_open_report_file(g_report_path);
  crash_report r;
  crash_report_begin(&r, fd, nullptr, 0);
  write_report_line(&r, 0, "BEGIN\r\n");
  // Leaves time for another thread to fault meanwhile.
  timespec ts{0, 50 * 1000 * 1000};
  ::nanosleep(&ts, nullptr);
  if (g_fault_in_report) fault_now();
  crash_write_exception_lines(&r, 0, record);
  crash_write_module_line(&r, 0, record->address);
  write_stack_trace(&r, record);
  write_report_line(&r, 0, "END\r\n");
  ::close(fd);
}

// Real processor faults: the undefined-behaviour checks would report them
// first.
int* volatile g_null = nullptr;
volatile int g_divisor = 0;
volatile int g_depth_limit = INT_MAX;

__attribute__((noinline, no_sanitize("undefined"))) void fault_now() { *g_null = 1; }

// The quotient goes to a volatile store: with the result unused, an optimising
// compiler would drop the division and the fault with it.
volatile int g_quotient = 0;
__attribute__((noipa, no_sanitize("undefined"))) void divide_now() { g_quotient = 7 / g_divisor; }

__attribute__((noinline)) int recurse(int depth) {
  volatile char pad[512];
  pad[0] = static_cast<char>(depth);
  if (depth >= g_depth_limit) return pad[0];
  return recurse(depth + 1) + pad[0];
}

// Runs body in a child that guards its threads; the child's wait status.
int run_child(const fs::path& report, bool guard, const std::function<void()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    g_report_path = report.c_str();
    if (crash_install() != 0 || (guard && crash_guard_enter(test_report, nullptr, 1) != 0)) ::_exit(90);
    body();
    ::_exit(91);
  }
  int status = 0;
  for (int waited = 0; waited < 30000; waited += 10) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return status;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

TEST(CrashHandler, GuardedFaultsWriteOneReportAndExitOne) {
  struct Row {
    const char* what;
    std::function<void()> body;
    const char* code_line;
  } rows[] = {
      {"null write", [] { fault_now(); }, "Exception Code: 0XC0000005 (ACCESS_VIOLATION)\r\n"},
      {"divide", [] { divide_now(); }, "Exception Code: 0XC0000094 (INT_DIVIDE_BY_ZERO)\r\n"},
      {"stack overflow", [] { recurse(0); }, "Exception Code: 0XC00000FD (STACK_OVERFLOW)\r\n"},
      {"raised", [] { ::raise(SIGBUS); }, "Exception Code: 0XC0000006 (IN_PAGE_ERROR)\r\n"},
      {"abort", [] { std::abort(); }, "Exception Code: 0X40000015 (FATAL_APP_EXIT)\r\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    fs::path report = dir.file("kyvek.exception");
    int status = run_child(report, true, row.body);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text = read_file(report);
    EXPECT_EQ(count_of(text, "BEGIN"), 1u) << text;
    EXPECT_NE(text.find(row.code_line), std::string::npos) << text;
    EXPECT_NE(text.find("Call Stack:\r\nAddress   Frame\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nEND\r\n"), std::string::npos) << text;
  }
}

TEST(CrashHandler, NullWriteNamesTheModuleAndWalksToTheEnd) {
  TempDir dir;
  fs::path report = dir.file("kyvek.exception");
  int status = run_child(report, true, [] { fault_now(); });
  ASSERT_TRUE(WIFEXITED(status));
  std::string text = read_file(report);
  std::string exe = fs::read_symlink("/proc/self/exe").string();
  EXPECT_NE(text.find("Exception Information (RW Flag) : Write\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Module: " + exe + ", Section: "), std::string::npos) << text;
  EXPECT_NE(text.find("No deeper stack frame\nLast error from StackWalk = 0\r\n"), std::string::npos) << text;
}

TEST(CrashHandler, SecondFaultingThreadWaitsForTheFirstReport) {
  TempDir dir;
  fs::path report = dir.file("kyvek.exception");
  int status = run_child(report, true, [] {
    std::thread other([] {
      crash_guard_enter(test_report, nullptr, 1);
      fault_now();
    });
    fault_now();
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::string text = read_file(report);
  EXPECT_EQ(count_of(text, "BEGIN"), 1u) << text;
  EXPECT_EQ(count_of(text, "END\r\n"), 1u) << text;
  EXPECT_EQ(count_of(text, "Exception Code:"), 1u) << text;
}

TEST(CrashHandler, FaultsInsideTheReportOrOutsideAGuardTakeTheDefaultAction) {
  TempDir dir;
  fs::path report = dir.file("kyvek.exception");
  int status = run_child(report, true, [] {
    g_fault_in_report = 1;
    fault_now();
  });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_EQ(read_file(report), "BEGIN\r\n");

  fs::path unguarded = dir.file("unguarded.exception");
  status = run_child(unguarded, false, [] { fault_now(); });
  ASSERT_TRUE(WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_FALSE(fs::exists(unguarded));
}

TEST(CrashHandler, ExitCodeStaysOneWhenACoreIsWritten) {
  // Only where cores are plain files in the working directory: a core must not
  // reach the system's crash collector from a test.
  std::string pattern = read_file("/proc/sys/kernel/core_pattern");
  if (pattern.rfind("core", 0) != 0) GTEST_SKIP() << "cores go to " << pattern;
  TempDir dir;
  fs::path report = dir.file("kyvek.exception");
  fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  int status = run_child(report, true, [] {
    // The core comes from the process's copy; the process itself exits 1.
    rlimit core{RLIM_INFINITY, RLIM_INFINITY};
    ::setrlimit(RLIMIT_CORE, &core);
    fault_now();
  });
  fs::current_path(cwd);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(count_of(read_file(report), "BEGIN"), 1u);
  bool core_found = false;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("core", 0) == 0) core_found = true;
  EXPECT_TRUE(core_found);
}

}  // namespace
