// kyvekserver's start-up on registry files an administrator may get wrong: the
// exit status, the messages on standard error and in the event log, and for the
// files it accepts the address it listens on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e_fixture.h"
#include "rpc_client.h"

namespace fs = std::filesystem;
using kyvek::e2e::Fixture;
using kyvek::e2e::Process;

namespace {

const char* const kRoot = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration";

// A store with the given value lines under section `section` of the settings.
std::string store(const Fixture& f, const std::vector<std::string>& lines, const std::string& section = "Settings") {
  std::string r = "REGEDIT4\n\n[" + std::string(kRoot) + "\\System\\" + section + "]\n";
  r += "\"Flags\"=\"0x8001\"\n\"LogDir\"=\"" + (f.dir() / "log").string() + "\"\n";
  for (const auto& l : lines) r += l + "\n";
  return r;
}

// Waits until text appears in the file (or the process ends).
bool wait_for_text(const fs::path& file, const std::string& text, pid_t pid) {
  for (int i = 0; i < 200; ++i) {
    if (Fixture::read_file(file).find(text) != std::string::npos) return true;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return Fixture::read_file(file).find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

TEST(StartupSettings, TableOfRegistryFiles) {
  enum class File { kWritten, kMissing, kDirectory };
  struct Case {
    const char* what;
    File file;
    std::vector<std::string> lines;
    const char* section;
    bool port_on_command_line;
    int code;                           // -1: starts and listens
    std::vector<std::string> messages;  // on standard error ("<reg>" is the store's path, "<port>" the port)
  };
  const Case cases[] = {
      {"missing file",
       File::kMissing,
       {},
       "Settings",
       true,
       -1,
       {"Registry file <reg> is missing; default settings apply", "Listening on 0.0.0.0 port <port>"}},
      {"unreadable file",
       File::kDirectory,
       {},
       "Settings",
       true,
       1,
       {"Registry file <reg> cannot be read: Is a directory"}},
      {"garbled line",
       File::kWritten,
       {"\"IPAddress\"=\"127.0.0.1\"", "Port=<port>", "\"Port\"=\"<port>\""},
       "Settings",
       false,
       -1,
       {"Using registry file <reg>", "Registry file <reg> line 7 cannot be read; ignored",
        "Listening on 127.0.0.1 port <port>"}},
      {"misspelled section",
       File::kWritten,
       {"\"Port\"=\"1\""},
       "Setings",
       true,
       -1,
       {"Registry file <reg> has no key [HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde "
        "Vekamar\\Configuration\\System\\Settings]; "
        "default settings apply",
        "Listening on 0.0.0.0 port <port>"}},
      {"port 0", File::kWritten, {"\"Port\"=\"0\""}, "Settings", false, 1, {"Port 0 is out of range (1-65535)"}},
      {"port 65536",
       File::kWritten,
       {"\"Port\"=\"65536\""},
       "Settings",
       false,
       1,
       {"Port 65536 is out of range (1-65535)"}},
      {"port 99999",
       File::kWritten,
       {"\"Port\"=\"99999\""},
       "Settings",
       false,
       1,
       {"Port 99999 is out of range (1-65535)"}},
      {"invalid IPAddress",
       File::kWritten,
       {"\"Port\"=\"<port>\"", "\"IPAddress\"=\"127.0.0.300\""},
       "Settings",
       false,
       1,
       {"IPAddress \"127.0.0.300\" is not an IPv4 or IPv6 address"}},
      {"allow list of a prefix length too long",
       File::kWritten,
       {"\"Port\"=\"<port>\"", "\"AllowList\"=\"10.0.0.0/33\""},
       "Settings",
       false,
       1,
       {"AllowList item \"10.0.0.0/33\" is not an address, address/mask or name; ignored",
        "AllowList has no valid item; the server does not start"}},
      {"allow list of a CIDR item",
       File::kWritten,
       {"\"Port\"=\"<port>\"", "\"AllowList\"=\"10.0.0.0/8 127.0.0.0/8\""},
       "Settings",
       false,
       -1,
       {"Listening on 0.0.0.0 port <port>"}},
      {"allow list with commas",
       File::kWritten,
       {"\"Port\"=\"<port>\"", "\"AllowList\"=\"10.0.0.1,10.0.0.2\""},
       "Settings",
       false,
       1,
       {"AllowList item \"10.0.0.1,10.0.0.2\" is not an address, address/mask or name; ignored"}},
      {"deny list of a prefix length out of range",
       File::kWritten,
       {"\"Port\"=\"<port>\"", "\"DenyList\"=\"127.0.0.0/99\""},
       "Settings",
       false,
       1,
       {"DenyList has no valid item; the server does not start"}},
      {"deny list with one bad item",
       File::kWritten,
       {"\"Port\"=\"<port>\"", "\"DenyList\"=\"127.0.0 10.0.0.0/255.0.0.0 somehost\""},
       "Settings",
       false,
       -1,
       {"DenyList item \"127.0.0\" is not an address, address/mask or name; ignored",
        "Listening on 0.0.0.0 port <port>"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    fs::path reg = f.dir() / "case.reg";
    auto expand = [&](std::string s) {
      for (auto [key, value] : {std::pair<std::string, std::string>{"<reg>", reg.string()}, {"<port>", f.port_text()}})
        for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
      return s;
    };
    if (c.file == File::kWritten) {
      std::vector<std::string> lines;
      for (const auto& l : c.lines) lines.push_back(expand(l));
      std::ofstream(reg) << store(f, lines, c.section);
    } else if (c.file == File::kDirectory) {
      fs::create_directory(reg);
    }
    f.set_env("KYVEK_REGISTRY", reg.string());
    std::vector<std::string> args{"standalone"};
    if (c.port_on_command_line) args.push_back(f.port_text());
    Process p = f.spawn(Fixture::program("kyvekserver"), args);
    if (c.code >= 0) {
      EXPECT_EQ(Fixture::wait(p, 20000), c.code);
    } else {
      EXPECT_TRUE(wait_for_text(p.err, expand(c.messages.back()), p.pid)) << Fixture::read_file(p.err);
      EXPECT_TRUE(Fixture::listening(f.port()));
      ::kill(p.pid, SIGTERM);
      Fixture::wait(p, 15000);
    }
    std::string err = Fixture::read_file(p.err);
    for (const auto& m : c.messages) EXPECT_NE(err.find(expand(m) + "\n"), std::string::npos) << m << "\n" << err;
    // Errors and warnings also reach the event log.
    if (c.code >= 0) {
      EXPECT_TRUE(f.wait_event(expand(c.messages.front()), 1000)) << Fixture::read_file(f.eventlog_path());
    }
  }
}

// A server without logons lends its own identity to every client: as root it
// says so at start-up; with logons on it does not.
TEST(StartupSettings, LogonsOffAsRootIsAWarning) {
  const std::string warning = "Logons are disabled (Authentication_Disabled) and the server runs as root";
  for (uint32_t flags : {0x8001u, 0x8000u}) {
    SCOPED_TRACE(flags);
    kyvek::e2e::Options o;
    o.flags = flags;
    Fixture f(o);
    ASSERT_TRUE(f.start_server());
    bool expected = (flags & 0x1) && ::geteuid() == 0;
    EXPECT_EQ(f.wait_event(warning, expected ? 10000 : 500), expected) << Fixture::read_file(f.eventlog_path());
    f.stop_server();
  }
}

// SIGHUP, as a reload or a log rotation sends it: the server keeps running,
// takes a changed DenyList and opens its start-up log afresh after a rename.
TEST(Hangup, RereadsTheSettingsAndReopensTheLogs) {
  kyvek::e2e::Options o;
  o.settings["Logging"] = "0x800";
  Fixture f(o);
  ASSERT_TRUE(f.start_server());
  kyvek::e2e::RpcClient before;
  ASSERT_TRUE(before.connect(f.port())) << before.error();
  fs::path log = f.dir() / "log" / "kyvekstart.log";
  ASSERT_TRUE(fs::exists(log));
  fs::rename(log, f.dir() / "log" / "kyvekstart.log.1");
  f.set_setting("DenyList", "127.0.0.1");
  ASSERT_EQ(::kill(f.server().pid, SIGHUP), 0);
  bool denied = false;
  for (int i = 0; i < 100 && !denied; ++i) {
    kyvek::e2e::RpcClient c;
    denied = !c.connect(f.port()) && c.error().find("denied access") != std::string::npos;
    if (!denied) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(denied);
  EXPECT_NE(Fixture::read_file(log).find("Configuration changed - rereading\n"), std::string::npos);
  int status = 0;
  EXPECT_EQ(::waitpid(f.server().pid, &status, WNOHANG), 0) << "the server ended on SIGHUP";
  EXPECT_TRUE(Fixture::listening(f.port()));
}

}  // namespace
