// The trace log writer: settings, entry limits, reopening, whole lines under
// concurrent writers and closers, safe file opening, and texts fit for traces.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"
#include "trace_log.h"

namespace {

using kytest::TempDir;

// A key store holding the two settings, and the trace log set up from it.
std::string init_from_settings(const TempDir& dir, const std::string& logging,
                               const std::string& name = "kyvektest.log", std::string log_dir = "") {
  if (log_dir.empty()) log_dir = dir.path();
  std::string reg = dir.file("registry.reg");
  kytest::write_file(reg,
                     "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration\\System\\Settings]\n"
                     "\"LogDir\"=\"" +
                         log_dir + "\"\n\"Logging\"=\"" + logging + "\"\n");
  ::setenv("KYVEK_REGISTRY", reg.c_str(), 1);
  trace_log_reset_for_tests();
  init_logging(name.c_str(), KY_CONFIGURATION_KEY, KY_LOG_OPT_TIME);
  ::unsetenv("KYVEK_REGISTRY");
  return dir.file(name);
}

TEST(TraceLog, LoggingSettingSetsTheMask) {
  struct Case {
    const char* logging;
    uint32_t mask;
    const char* expect;  // a line part that must be in the file; null: no file
  } cases[] = {
      {"0x21", 0x21, ") Logging Started with 21 at "},
      {"12abc", 12, ") Invalid value for logging (unconverted chrs \"12abc\")in registry/ini file\n"},
      {"4294967296", 0xFFFFFFFF, ") Invalid value 4294967296 for Logging (out of range)in registry/ini file\n"},
      {"010 ", 8, ") Logging Started with 8 at "},
      {"0", 0, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.logging);
    TempDir dir;
    std::string log = init_from_settings(dir, c.logging);
    EXPECT_EQ(get_trace_mask(), c.mask);
    if (c.expect == nullptr) {
      EXPECT_NE(::access(log.c_str(), F_OK), 0);
    } else {
      std::string text = kytest::read_file(log);
      EXPECT_NE(text.find(c.expect), std::string::npos) << text;
      // The time option puts the seconds after the thread id.
      EXPECT_TRUE(std::regex_search(text, std::regex("^[0-9]+: \\([0-9]+\\) "))) << text;
    }
  }
  trace_log_reset_for_tests();
}

TEST(TraceLog, EntryLimits) {
  TempDir dir;
  std::string log = kytest::fresh_trace_log(dir);
  std::string long_format(4096, 'f');
  log_printf_tid("%s", long_format.c_str());  // fits: a 4096-character text is cut
  log_printf_tid(long_format.c_str(), 0);     // a 4096-character format is refused
  std::vector<std::string> lines = kytest::read_lines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(kytest::without_prefix(lines[0]), std::string(4095, 'f') + "** Logging/Tracing buffer truncated **");
  EXPECT_EQ(kytest::without_prefix(lines[1]), "String too long to log");
  trace_log_reset_for_tests();
}

TEST(TraceLog, ContinuedLinesRawTextAndReopening) {
  TempDir dir;
  std::string log = kytest::fresh_trace_log(dir);
  log_printf_tid("entry(");
  log_text(KY_LOG_TEXT_NTS, "%s%n", KY_LOG_TEXT_NO_PREFIX | KY_LOG_TEXT_NO_NEWLINE);  // never a format
  log_printf(",%d", 5);
  log_text(1, ")", KY_LOG_TEXT_NO_PREFIX);
  close_log();
  log_printf_tid("after close\n");
  std::vector<std::string> lines = kytest::read_lines(log);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(kytest::without_prefix(lines[0]), "entry(%s%n,5)");
  EXPECT_EQ(kytest::without_prefix(lines[1]), "after close");
  struct stat st;
  ASSERT_EQ(::stat(log.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  trace_log_reset_for_tests();
}

TEST(TraceLog, LinesStayWholeUnderConcurrentWritersAndClosers) {
  TempDir dir;
  std::string log = kytest::fresh_trace_log(dir);
  constexpr int kThreads = 6, kLines = 200;
  std::atomic<bool> stop{false};
  std::thread closer([&] {
    while (!stop) {
      close_log();
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) {
        std::string payload(size_t((i * 37 + t * 101) % 3000 + 1), char('a' + t));
        log_printf_tid("T%d-%d %s|\n", t, i, payload.c_str());
      }
    });
  for (auto& w : writers) w.join();
  stop = true;
  closer.join();
  std::vector<std::string> lines = kytest::read_lines(log);
  ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
  std::regex shape("^[0-9]+: T([0-9])-([0-9]+) ([a-z]+)\\|$");
  for (const std::string& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << l.substr(0, 80);
    int t = std::stoi(m[1]), i = std::stoi(m[2]);
    EXPECT_EQ(m[3].str(), std::string(size_t((i * 37 + t * 101) % 3000 + 1), char('a' + t)));
  }
  trace_log_reset_for_tests();
}

TEST(TraceLog, RefusesLinksAndUsesTheFallbackWithoutSettings) {
  TempDir dir;
  std::string target = dir.file("target"), link = dir.file("link");
  kytest::write_file(target, "");
  ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
  trace_log_reset_for_tests();
  set_log_file(link.c_str());
  log_printf_tid("not through a link\n");
  EXPECT_EQ(kytest::read_file(target), "");

  trace_log_reset_for_tests();
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  log_printf_tid("before any set-up\n");
  trace_log_reset_for_tests();
  std::filesystem::current_path(cwd);
  EXPECT_EQ(kytest::without_prefix(kytest::read_lines(dir.file("kyvek_fallback.log")).at(0)), "before any set-up");
}

TEST(TraceLog, AnOverlongJoinedPathFallsBackAndSaysWhy) {
  TempDir dir;
  std::string cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  init_from_settings(dir, "1", std::string(700, 'n'), dir.path() + "/" + std::string(400, 'd'));
  trace_log_reset_for_tests();
  std::filesystem::current_path(cwd);
  std::vector<std::string> lines = kytest::read_lines(dir.file("kyvek_fallback.log"));
  ASSERT_EQ(lines.size(), 3u);  // the reason, then the start line (its date text ends in a newline)
  EXPECT_NE(lines[0].find("Log path too long, using kyvek_fallback.log"), std::string::npos);
  EXPECT_NE(lines[1].find("Logging Started with 1 at "), std::string::npos);
}

TEST(TraceLog, SecretsAreMaskedInConnectionStrings) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"DSN=a;UID=u;PWD=secret;", "DSN=a;UID=u;PWD=*****;"},
      {"LOGONAUTH=0A1B;TARGETAUTH={x;y}}z};SERVER=h", "LOGONAUTH=*****;TARGETAUTH=*****;SERVER=h"},
      {"pwd={a}", "pwd=*****"},
      {"xx\x7f\x01scrambled", "xx<scrambled>"},
      {"DSN=plain", "DSN=plain"},
  };
  for (const Case& c : cases) EXPECT_EQ(trace_safe_connection_string(c.in), c.out) << c.in;
}

}  // namespace
