// vekping as a program: its usage errors, the RPC mode against a kyvekserver
// on loopback (with and without a logon through the test PAM configuration),
// and the ODBC mode through the Driver Manager and the client driver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace kyvek::e2e {
namespace {

using namespace std::chrono_literals;

const std::string kUsage =
    "Usage: vekping [-h host | -d ODBC_connection_string] [-t port]\n"
    "               [-u osuser -p ospassword] [-e]\n"
    "       vekping --help | --version\n"
    "\n-h host\n"
    "   The name or IP address of the machine where the VEK Server is.\n"
    "-d ODBC_connection_string\n"
    "   The ODBC connection string is that defined by ODBC.\n"
    "   i.e. a list of semi-colon separated attribute=value pairs.\n"
    "   e.g. DSN=test;UID=lusk;PWD=drelka;\n"
    "   \n"
    "   If you specify -u and/or -p as well as -d\n"
    "   \"LogonUser=xxx;LogonAuth=yyy;\" will be added to the end of the\n"
    "   connection string where xxx and yyy are the values specified for\n"
    "   -u and -p.\n"
    "-t port\n"
    "   The port on which the VEK Server is listening\n"
    "-u osuser\n"
    "   A valid username on the \"host\" operating system\n"
    "-p ospassword\n"
    "   A password for the user specified with -u\n"
    "-e Show time to complete the requested operation\n"
    "--help     Print this help and exit\n"
    "--version  Print the version and exit\n"
    "\n"
    "Exit status: 0 the check passed, 1 the command line lacks something,\n"
    "2 the check failed or an option is not known.\n\n";

constexpr uint32_t kAuthenticationDisabled = 0x1;
constexpr uint32_t kAllowDsnBrowse = 0x8000;
constexpr const char* kPassword = "Right;Pass{1}";

struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome vekping(Fixture& f, const std::vector<std::string>& args) {
  Process p = f.spawn(Fixture::program("vekping"), args, -1, "vekping");
  Outcome r;
  r.status = Fixture::wait(p, 60000);
  r.out = Fixture::read_file(p.out);
  r.err = Fixture::read_file(p.err);
  return r;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

const std::regex kTimeLine("Time for execution: [0-9]+\\.[0-9]{3}s\n$");

std::string rpc_banner(const Fixture& f) {
  return "Host: 127.0.0.1, Port: " + f.port_text() +
         "\nAttempting connection...OK\nExamining Server...\n"
         "\tVEK Server Version: 2.4.03\n\tVEK Server Name: VEK\n";
}

TEST(Usage, ErrorsPrintTheirLineTheUsageAndExitOneOrTwo) {
  Fixture f;
  const struct {
    std::vector<std::string> args;
    std::string line;
    int status;
  } kCases[] = {
      {{}, "No host or connection specified\n", 1},
      {{"-e", "-u", "nobody", "-p", "x"}, "No host or connection specified\n", 1},
      {{"-h", "127.0.0.1", "-"}, "Invalid option -\n", 1},
      {{"-h", "127.0.0.1", "-t"}, "Missing option value for -t\n", 1},
      {{"-q", "-h", "127.0.0.1"}, "Option q not recognised\n", 2},
      {{"--quiet", "-h", "127.0.0.1"}, "Option --quiet not recognised\n", 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Outcome r = vekping(f, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.line + kUsage);
    EXPECT_EQ(r.out, "");
  }
}

TEST(Usage, HelpAndVersionGoToStandardOutputAndExitZero) {
  Fixture f;
  Outcome help = vekping(f, {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out, kUsage);
  EXPECT_EQ(help.err, "");
  Outcome version = vekping(f, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("vekping 2.", 0), 0u) << version.out;
  EXPECT_EQ(version.err, "");
}

TEST(RpcMode, ReportsTheServerAndLogsOnOnlyWithUserAndPassword) {
  Fixture f;
  ASSERT_TRUE(f.start_server());
  const std::string port = f.port_text();
  const struct {
    std::vector<std::string> args;
    bool timed;
  } kCases[] = {
      {{"-h", "127.0.0.1", "-t", port}, false},
      {{"-h127.0.0.1", "-t" + port, "-e"}, true},
      // A user alone is no logon: the link only.
      {{"-h", "127.0.0.1", "-t", port, "-u", "nobody"}, false},
      {{"-h", "127.0.0.1", "-t", port, "-p", "x"}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    Outcome r = vekping(f, c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.out.substr(0, rpc_banner(f).size()), rpc_banner(f));
    std::string rest = r.out.substr(rpc_banner(f).size());
    if (c.timed)
      EXPECT_TRUE(std::regex_match(rest, kTimeLine)) << rest;
    else
      EXPECT_EQ(rest, "");
  }
}

TEST(RpcMode, LogonThroughPam) {
  Options o;
  o.flags = kAllowDsnBrowse;  // logon on
  o.pam_users["nobody"] = kPassword;
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  const std::vector<std::string> base{"-h", "127.0.0.1", "-t", f.port_text(), "-u", "nobody", "-e"};

  auto with = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return vekping(f, args);
  };

  Outcome good = with({"-p", kPassword});
  EXPECT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(good.err, "");
  EXPECT_TRUE(contains(good.out, rpc_banner(f) + "Trying to authenticate...OK\nTime for execution: ")) << good.out;

  Outcome attached = with({std::string("-p") + kPassword});
  EXPECT_EQ(attached.status, 0) << attached.err;

  Outcome bad = with({"-p", "Bad-Pw-9"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.out, rpc_banner(f) + "Trying to authenticate...Fail\n") << "no time after a failed check";
  EXPECT_EQ(bad.err, "logon failed for user nobody: wrong user name or password (1326)\n");

  for (const Outcome* r : {&good, &attached, &bad}) {
    EXPECT_FALSE(contains(r->out + r->err, kPassword));
    EXPECT_FALSE(contains(r->out + r->err, "Bad-Pw-9"));
  }
}

TEST(RpcMode, ClosedPortFailsWithTheConnectionError) {
  Fixture f;  // no server: nothing listens on the fixture's port
  Outcome r = vekping(f, {"-h", "127.0.0.1", "-t", f.port_text(), "-e"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Host: 127.0.0.1, Port: " + f.port_text() + "\nAttempting connection...");
  EXPECT_TRUE(contains(r.err, "Connection refused")) << r.err;
  EXPECT_EQ(r.err.front(), '\n');
}

TEST(RpcMode, PasswordLeavesTheProcessListOnceRead) {
  Fixture f;
  // A listener that never answers the handshake keeps vekping waiting.
  int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(f.port()));
  ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(lst, 4), 0);

  Process p = f.spawn(Fixture::program("vekping"),
                      {"-h", "127.0.0.1", "-t", f.port_text(), "-u", "nobody", "-p", kPassword}, -1, "vekping");
  bool waiting = false;
  for (int i = 0; i < 1000 && !waiting; ++i) {
    waiting = contains(Fixture::read_file(p.out), "Attempting connection...");
    if (!waiting) std::this_thread::sleep_for(10ms);
  }
  std::string cmdline = Fixture::read_file(std::filesystem::path("/proc") / std::to_string(p.pid) / "cmdline");
  Fixture::wait(p, 0);
  ::close(lst);
  ASSERT_TRUE(waiting);
  EXPECT_TRUE(contains(cmdline, std::string("-u") + '\0' + "nobody")) << "the rest of the line stays";
  EXPECT_FALSE(contains(cmdline, kPassword));
}

TEST(OdbcMode, UnknownDataSourceFailsWithTheDriverManagersRecord) {
  Fixture f;
  // -d wins over -h: no RPC link is tried.
  Outcome r =
      vekping(f, {"-h", "127.0.0.1", "-t", f.port_text(), "-d", "DSN=nosuch", "-u", "nobody", "-p", kPassword, "-e"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Using Connection string :\nDSN=nosuch;LogonUser=nobody;LogonAuth=********\n");
  EXPECT_TRUE(std::regex_search(r.err, std::regex("^IM002:1:0:\\[unixODBC\\]\\[Driver Manager\\]Data source name "
                                                  "not found")))
      << r.err;
  EXPECT_FALSE(contains(r.out + r.err, kPassword));
}

TEST(OdbcMode, ConnectsThroughTheClientDsn) {
  Fixture f;
  ASSERT_TRUE(f.start_server());
  Outcome r = vekping(f, {"-d", std::string("DSN=") + Fixture::kClientDsn, "-e"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "Using Connection string :\nDSN=kyvek\nConnected OK\n\nOutConnectionString:\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nDBMS Name:  SQLite\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "\nDisconnecting\nTime for execution: ")) << r.out;
}

TEST(OdbcMode, LogonValuesReachTheServer) {
  Options o;
  o.flags = kAllowDsnBrowse;
  o.pam_users["nobody"] = kPassword;
  o.world_accessible = true;
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  const std::string dsn = std::string("DSN=") + Fixture::kClientDsn;

  Outcome good = vekping(f, {"-d", dsn, "-u", "nobody", "-p", kPassword});
  EXPECT_EQ(good.status, 0) << good.out << good.err;
  EXPECT_TRUE(contains(good.out, "Using Connection string :\n" + dsn + ";LogonUser=nobody;LogonAuth=********\n"))
      << good.out;
  EXPECT_TRUE(contains(good.out, "\nDBMS Name:  SQLite\n")) << good.out;

  Outcome bad = vekping(f, {"-d", dsn, "-u", "nobody", "-p", "Bad-Pw-9", "-e"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_TRUE(std::regex_search(bad.err, std::regex("(^|\n)28000:[0-9]+:[0-9]+:"))) << bad.err;
  EXPECT_FALSE(contains(bad.out, "Connected OK"));
  EXPECT_FALSE(contains(bad.out, "Time for execution"));

  for (const Outcome* r : {&good, &bad}) {
    EXPECT_FALSE(contains(r->out + r->err, kPassword));
    EXPECT_FALSE(contains(r->out + r->err, "Bad-Pw-9"));
  }
}

}  // namespace
}  // namespace kyvek::e2e
