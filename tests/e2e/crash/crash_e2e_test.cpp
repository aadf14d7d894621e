// A fault in the target driver while kyvekserver serves a statement: the
// exception report in LogDir, the event, the exit status of the server (threads)
// or of the connection's child (MultiProcess, where the server and the other
// connections carry on). The statement travels from isql through the client
// driver and the server to a target driver that faults on request.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client_side.h"
#include "e2e_fixture.h"
#include "rpc_client.h"

namespace fs = std::filesystem;
using kyvek::e2e::Fixture;
using kyvek::e2e::Options;
using kyvek::e2e::Process;
using kyvek::e2e::RpcClient;

namespace {

constexpr uint32_t kAuthOff = 0x1, kMultiProcess = 0x4, kDsnBrowse = 0x8000;
constexpr const char* kCrashDsn = "crashdb";
// The server must see the faults itself, not the sanitizer runtime.
constexpr const char* kServerAsan =
    "detect_leaks=1:abort_on_error=1:handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0";

Options crash_options(uint32_t flags) {
  Options o;
  o.flags = flags;
  const char* driver = std::getenv("KYVEK_CRASH_DRIVER");
  o.extra_drivers["KyvekCrash"] = driver ? driver : "";
  o.extra_driver_dsns[kCrashDsn] = "KyvekCrash";
  return o;
}

// Starts the server with the crash environment; later processes (isql) get the
// sanitizer preload of the client side.
void start(Fixture& f) {
  f.set_env("ASAN_OPTIONS", kServerAsan);
  ASSERT_TRUE(f.start_server()) << Fixture::read_file(f.server().err);
  kyvek::e2e::preload_sanitizers(f);
}

// Runs one statement with isql through the client driver; what isql wrote.
std::string run_statement(Fixture& f, const std::string& sql, const std::string& logon = "") {
  fs::path script = f.dir() / "statement.sql";
  std::ofstream(script) << sql << "\n";
  int in = ::open(script.c_str(), O_RDONLY | O_CLOEXEC);
  std::string connect =
      "DRIVER={Kyvek};SERVERPORT=127.0.0.1:" + f.port_text() + ";TARGETDSN=" + kCrashDsn + ";" + logon;
  Process isql = f.spawn("/usr/bin/isql", {"-b", "-e", "-k", connect}, in, "isql");
  ::close(in);
  int status = Fixture::wait(isql, 60000);
  return "status " + std::to_string(status) + "\n" + Fixture::read_file(isql.out) + Fixture::read_file(isql.err);
}

fs::path report_path(const Fixture& f) { return f.dir() / "log" / "kyvek.exception"; }

// Every piece appears, in this order.
void expect_in_order(const std::string& text, const std::vector<std::string>& pieces) {
  size_t at = 0;
  for (const auto& p : pieces) {
    size_t found = text.find(p, at);
    ASSERT_NE(found, std::string::npos) << "missing after offset " << at << ": " << p << "\n" << text;
    at = found + p.size();
  }
}

size_t count_of(const std::string& text, const std::string& piece) {
  size_t n = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

struct FaultCase {
  const char* sql;
  const char* code_line;
  std::vector<std::string> information;
  // The module that holds the faulting instruction.
  const char* module = "libkyvekcrashdrv.so";
};

const FaultCase kCases[] = {
    {"CRASH READ",
     "Exception Code: 0XC0000005 (ACCESS_VIOLATION)\r\n",
     {"Number of Parameters: 2\r\n", "Exception Information (RW Flag) : Read\r\n",
      "Exception Information (Virtual Address) : 0X0000000000000000\r\n"}},
    {"CRASH WRITE",
     "Exception Code: 0XC0000005 (ACCESS_VIOLATION)\r\n",
     {"Exception Information (RW Flag) : Write\r\n"}},
    {"CRASH DIVIDE", "Exception Code: 0XC0000094 (INT_DIVIDE_BY_ZERO)\r\n", {"Number of Parameters: 0\r\n"}},
    {"CRASH BUS",
     "Exception Code: 0XC0000006 (IN_PAGE_ERROR)\r\n",
     {"Number of Parameters: 2\r\n", "Exception Information[0]: 0\r\n", "Exception Information[1]: "}},
    // abort() raises SIGABRT inside the C library, called from the driver.
    {"CRASH ABORT", "Exception Code: 0X40000015 (FATAL_APP_EXIT)\r\n", {"Number of Parameters: 0\r\n"}, "libc.so"},
};

void expect_report(const std::string& report, const FaultCase& c) {
  std::vector<std::string> pieces = {
      "Kyronde Vekamar\r\nVersion: 02.04.0003\r\n"
      "Component: VEK Server (ODBC thread/process)\r\nBuild Date: ",
      "Caught Exception on ",
      "Current VEK Flags: 0X",
      "OS: Major ",
      "Computer Name: ",
      "cwd: ",
      "Windows Dir: Not Known\r\n",
      c.code_line,
      "Exception Flags: 0\r\nException Address: 0X"};
  pieces.insert(pieces.end(), c.information.begin(), c.information.end());
  pieces.insert(pieces.end(),
                {"exception_filter() at ", "RPCAllocHandle() at ", "Last RPC: Name=sql_exec", "Current Thread : ",
                 "Module: ", std::string(c.module), ", Section: ", "Call Stack:\r\nAddress   Frame\r\n",
                 "libkyvekcrashdrv.so\r\n", "SQLExec", "No deeper stack frame\n", "Last error from StackWalk = 0\r\n"});
  expect_in_order(report, pieces);
}

TEST(CrashReport, ThreadedServerReportsEachFaultAndExitsOne) {
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.sql);
    Fixture f(crash_options(kAuthOff | kDsnBrowse));
    start(f);
    run_statement(f, c.sql);
    EXPECT_EQ(Fixture::wait(f.server(), 30000), 1) << Fixture::read_file(f.server().err);
    std::string report = Fixture::read_file(report_path(f));
    expect_report(report, c);
    // The worker's thread is listed with the others in the table.
    expect_in_order(report, {"Thread List:\r\nin_use, threadid, threadh, socket, client_ip, dsn,start_time\r\n", "1 ",
                             " 127.0.0.1 "});
    struct stat st {};
    ASSERT_EQ(::stat(report_path(f).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, ::geteuid());
    EXPECT_TRUE(f.wait_event("Exception in VEK thread handling ODBC connection - Kyronde Vekamar", 1000));
  }
}

TEST(CrashReport, ChildProcessFaultLeavesServerAndOtherLinksRunning) {
  Fixture f(crash_options(kAuthOff | kDsnBrowse | kMultiProcess));
  // A report already in the file stays: reports are appended.
  std::ofstream(report_path(f)) << "earlier report\r\n";
  ::chmod(report_path(f).c_str(), 0600);
  start(f);
  RpcClient other;
  ASSERT_TRUE(other.connect(f.port())) << other.error();
  ASSERT_EQ(other.logon_sequence("anyone", "secret"), 0) << other.error();

  run_statement(f, "CRASH READ");
  run_statement(f, "CRASH DIVIDE");
  // The listener reaps each child and reports its exit code 1.
  EXPECT_TRUE(f.wait_event("Thread/Process exited with unexpected code 1", 20000))
      << Fixture::read_file(f.server().err);
  EXPECT_TRUE(f.wait_event("Exception in VEK thread handling ODBC connection - Kyronde Vekamar", 1000));

  EXPECT_TRUE(f.server_running());
  EXPECT_EQ(other.logon_sequence("anyone", "secret"), 0) << other.error();
  std::string later = run_statement(f, "SELECT 1");
  EXPECT_NE(later.find("SQLRowCount returns 0"), std::string::npos) << later;
  EXPECT_EQ(later.find("ERROR"), std::string::npos) << later;

  std::string report = Fixture::read_file(report_path(f));
  EXPECT_EQ(report.rfind("earlier report\r\n", 0), 0u) << report;
  EXPECT_EQ(count_of(report, "Component: VEK Server (ODBC thread/process)"), 2u) << report;
  expect_report(report, kCases[0]);
  expect_in_order(report, {kCases[0].code_line, kCases[2].code_line});
  // A one-connection process says so on standard output.
  EXPECT_EQ(count_of(Fixture::read_file(f.server().out), "Exception\n"), 2u);
}

TEST(CrashReport, ReportIsRefusedThroughALinkButTheEventStillCarriesIt) {
  Fixture f(crash_options(kAuthOff | kDsnBrowse));
  fs::path target = f.dir() / "elsewhere";
  std::ofstream(target) << "keep\n";
  fs::create_symlink(target, report_path(f));
  start(f);
  run_statement(f, "CRASH READ");
  EXPECT_EQ(Fixture::wait(f.server(), 30000), 1);
  EXPECT_EQ(Fixture::read_file(target), "keep\n");
  EXPECT_TRUE(fs::is_symlink(report_path(f)));
  EXPECT_TRUE(f.wait_event("Exception Code: 0XC0000005 (ACCESS_VIOLATION)", 1000));
}

TEST(CrashReport, FaultWhileActingAsTheClientsUserReportsAsTheServer) {
  if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  Options o = crash_options(kDsnBrowse);
  o.pam_users["nobody"] = "right";
  o.world_accessible = true;  // the log directory is open to nobody too
  Fixture f(o);
  start(f);
  run_statement(f, "CRASH READ", "LOGONUSER=nobody;LOGONAUTH=right;");
  EXPECT_EQ(Fixture::wait(f.server(), 30000), 1) << Fixture::read_file(f.server().err);
  struct stat st {};
  ASSERT_EQ(::stat(report_path(f).c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  expect_report(Fixture::read_file(report_path(f)), kCases[0]);
}

}  // namespace
