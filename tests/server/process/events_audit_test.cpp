// Events with repeat folding and literal texts; the audit trail's lines and its
// rollover at midnight, also with two processes rolling at the same moment.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "audit.h"
#include "events.h"
#include "server_utils.h"
#include "settings.h"
#include "state_test_env.h"

using namespace state_test;

namespace {

class EventsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    log_ = dir_.file("events.log");
    setenv("KYVEK_EVENTLOG", log_.c_str(), 1);
    source_ = eventlog_register(SERVER_EVENT_SOURCE_NAME);
    fake_now = 1700000000;
    set_server_clock(fake_clock);
    reset_server_event_state();
  }
  void TearDown() override {
    reset_server_event_state();
    set_server_clock(nullptr);
    eventlog_deregister(source_);
    unsetenv("KYVEK_EVENTLOG");
  }
  std::string log() { return read_file(log_); }

  TempDir dir_;
  std::string log_;
  eventlog_source* source_ = nullptr;
};

TEST_F(EventsTest, FiftyOneRepeatsGiveTheEventOnceThenRepeated50) {
  for (int i = 0; i < 51; ++i) {
    log_server_event(nullptr, source_, EVENTLOG_WARNING, EV_CLIENT_REFUSED, "10.0.0.1", nullptr);
    fake_now += 1;
  }
  EXPECT_EQ(log(),
            "0x80020281 Client refused access - 10.0.0.1\n"
            "0x80020291 Last message repeated 50 times\n");
  // The next one is reported again.
  log_server_event(nullptr, source_, EVENTLOG_WARNING, EV_CLIENT_REFUSED, "10.0.0.1", nullptr);
  EXPECT_EQ(count_of(log(), "0x80020281"), 2);
}

TEST_F(EventsTest, PendingRepeatsFlushOnAnotherIdAndAfterFiveMinutes) {
  for (int i = 0; i < 3; ++i) log_server_event(nullptr, source_, EVENTLOG_WARNING, EV_CLIENT_REFUSED, "a", nullptr);
  log_server_event(nullptr, source_, EVENTLOG_ERROR, EV_BIND_FAILED, "in use", nullptr);
  log_server_event(nullptr, source_, EVENTLOG_ERROR, EV_BIND_FAILED, "in use", nullptr);
  fake_now += 301;
  log_server_event(nullptr, source_, EVENTLOG_ERROR, EV_BIND_FAILED, "in use", nullptr);
  EXPECT_EQ(log(),
            "0x80020281 Client refused access - a\n"
            "0x80020291 Last message repeated 2 times\n"
            "0xC0020071 Failed to bind to port - in use\n"
            "0x80020291 Last message repeated 2 times\n");
}

TEST_F(EventsTest, TextsAreWrittenLiterallyAndBoundedInTheBlock) {
  server_stats_t block{};
  log_server_event(&block, source_, EVENTLOG_ERROR, EV_SELECT_FAILED, "%s%n%x", "second");
  log_server_event(&block, source_, EVENTLOG_WARNING, EV_CLIENT_DENIED, "%n", "%s");
  EXPECT_EQ(log(),
            "0xC0020171 %s%n%x second\n"
            "0x80020261 Client (%n) denied access - %s\n");
  EXPECT_STREQ(block.last_event_text, "Client (%n) denied access - %s");
  EXPECT_EQ(block.last_event_time, fake_now);

  std::string longer(2000, 'x');
  log_server_event(&block, source_, EVENTLOG_ERROR, EV_ERROR_TEXT, longer.c_str(), nullptr);
  EXPECT_EQ(std::strlen(block.last_event_text), sizeof block.last_event_text - 1);

  // Without a source the text goes to standard error; the repeat event never
  // replaces the block's last text.
  testing::internal::CaptureStderr();
  log_server_event(&block, nullptr, EVENTLOG_WARNING, EV_BIND_FAILED, "x", nullptr);
  log_server_event(&block, nullptr, EVENTLOG_WARNING, EV_BIND_FAILED, "x", nullptr);
  // Refused logons never fold: each is its own line, and ends a run of others.
  log_server_event(&block, nullptr, EVENTLOG_WARNING, EV_INVALID_AUTH, "10.1.1.1", nullptr);
  log_server_event(&block, nullptr, EVENTLOG_WARNING, EV_INVALID_AUTH, "10.1.1.1", nullptr);
  log_server_event(&block, nullptr, EVENTLOG_WARNING, EV_BIND_FAILED, "x", nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "Failed to bind to port - x\n"
            "Last message repeated 1 times\n"
            "Invalid authorisation from 10.1.1.1\n"
            "Invalid authorisation from 10.1.1.1\n"
            "Failed to bind to port - x\n");
  EXPECT_STREQ(block.last_event_text, "Failed to bind to port - x");
  EXPECT_EQ(event_type_of(EV_ERROR_TEXT), EVENTLOG_ERROR);
  EXPECT_EQ(event_type_of(EV_INVALID_AUTH), EVENTLOG_WARNING);
  EXPECT_EQ(event_type_of(EV_REQUEST_STOP), EVENTLOG_INFORMATION);
  EXPECT_EQ(event_type_of(EV_SERVER_RUNNING), EVENTLOG_INFORMATION);
}

TEST_F(EventsTest, IdsWithoutATableTextAreNeverBareNumbers) {
  log_server_event(nullptr, source_, EVENTLOG_INFORMATION, EV_SERVER_STOPPED, nullptr, nullptr);
  log_server_event(nullptr, source_, EVENTLOG_INFORMATION, EV_REQUEST_STOP, "", nullptr);
  log_server_event(nullptr, source_, EVENTLOG_INFORMATION, EV_HTTP_STOPPED, nullptr, nullptr);
  // An insertion string still stands alone.
  log_server_event(nullptr, source_, EVENTLOG_INFORMATION, EV_SERVER_RUNNING, "Listening on 0.0.0.0 port 8888",
                   nullptr);
  std::string text = log();
  for (const char* line : {" Server stopped\n", " Stop requested\n", " HTTP administration server stopped\n",
                           " Listening on 0.0.0.0 port 8888\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}

class AuditTest : public EventsTest {
 protected:
  void SetUp() override {
    EventsTest::SetUp();
    set_server_event_target(nullptr, source_);
    server_settings_t* w = server_settings_working();
    std::snprintf(w->LogDir, sizeof w->LogDir, "%s", dir_.path().c_str());
    publish_server_settings();
    close_audit_file();
    fake_now = 1700006399;  // Tue, 14 Nov 2023 23:59:59 UTC
  }
  void TearDown() override {
    close_audit_file();
    set_server_event_target(nullptr, nullptr);
    EventsTest::TearDown();
  }
  std::string trail() { return read_file(dir_.file("kyvek_access.log")); }
  std::string archive() { return dir_.file("kyvek_access_14_11_2023.log"); }
};

TEST_F(AuditTest, LineFormatsByCode) {
  audit_event(AUDIT_CONNECT, "10.0.0.1", "my host");
  audit_event(AUDIT_REFUSED_BY_RULE, "10.0.0.1", nullptr);
  audit_event(AUDIT_REFUSED_BY_DSN_RULE, "sales", "bob smith");
  audit_event(AUDIT_DISCONNECT, "10.0.0.1", "h");
  audit_event(AUDIT_AUTH_DENIED, "10.0.0.1", "h");
  audit_event(AUDIT_SERVER_SUSPENDED, "123", nullptr);
  audit_event(AUDIT_SERVER_RESUMED, "123", nullptr);
  audit_event(AUDIT_ODBC_CONNECT, "x", "y");
  audit_event(AUDIT_REFUSED_KEYWORD, "10.0.0.1", "TRACEFILE");
  audit_event(AUDIT_CONNECT, "10.0.0.1", "evil\r\nTue, forged");
  const std::string d = "Tue, 14 Nov 2023 23:59:59 UTC";
  EXPECT_EQ(trail(), d + " CONNECT 10.0.0.1(my_host)\r\n" + d + " REFUSED_BY_RULE 10.0.0.1(unknown)\r\n" + d +
                         " REFUSED_BY_DSN_RULE sales(bob_smith)\r\n" + d + " DISCONNECT 10.0.0.1(h)\r\n" + d +
                         " AUTH_DENIED 10.0.0.1(h)\r\n" + d + " SERVER_SUSPENDED (PID=123)\r\n" + d +
                         " SERVER_RESUMED (PID=123)\r\n" + "Unrecognised event\r\n" + d +
                         " REFUSED_CONNECT_KEYWORD 10.0.0.1(TRACEFILE)\r\n" + d +
                         " CONNECT 10.0.0.1(evil__Tue,_forged)\r\n");
  EXPECT_STREQ(audit_event_name(8), "AUTH_DENIED");
  EXPECT_STREQ(audit_event_name(9), "REFUSED_CONNECT_KEYWORD");
  EXPECT_EQ(audit_event_name(10), nullptr);
}

TEST_F(AuditTest, MidnightRolloverRenamesYesterdaysTrail) {
  audit_event(AUDIT_CONNECT, "10.0.0.1", "a");
  fake_now += 2;  // Wed 00:00:01
  audit_event(AUDIT_CONNECT, "10.0.0.2", "b");
  EXPECT_EQ(read_file(archive()), "Tue, 14 Nov 2023 23:59:59 UTC CONNECT 10.0.0.1(a)\r\n");
  EXPECT_EQ(trail(), "Wed, 15 Nov 2023 00:00:01 UTC CONNECT 10.0.0.2(b)\r\n");
}

TEST_F(AuditTest, AServerStartedOnANewDayAppendsUntilTheNextDayChange) {
  {
    std::ofstream old(dir_.file("kyvek_access.log"));
    old << "yesterday\r\n";
  }
  audit_event(AUDIT_CONNECT, "10.0.0.1", "a");
  EXPECT_EQ(trail().rfind("yesterday\r\n", 0), 0u);
  EXPECT_EQ(count_of(trail(), "CONNECT"), 1);
}

TEST_F(AuditTest, RolloverNeverOverwritesAnEarlierArchive) {
  audit_event(AUDIT_CONNECT, "10.0.0.1", "a");
  {
    std::ofstream other(archive());
    other << "archived by another process\r\n";
  }
  fake_now += 2;
  audit_event(AUDIT_CONNECT, "10.0.0.2", "b");
  EXPECT_EQ(read_file(archive()), "archived by another process\r\n");
  EXPECT_NE(trail().find("CONNECT 10.0.0.2(b)"), std::string::npos);
}

TEST_F(AuditTest, TwoProcessesRollingAtOnceLoseNothing) {
  audit_event(AUDIT_CONNECT, "10.0.0.1", "before");
  fake_now += 2;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t children[2];
  for (int i = 0; i < 2; ++i) {
    children[i] = fork();
    ASSERT_GE(children[i], 0);
    if (children[i] == 0) {
      char byte;
      close(go[1]);
      if (read(go[0], &byte, 1) < 0) _exit(3);  // end of file releases it
      audit_event(AUDIT_CONNECT, i == 0 ? "10.0.0.2" : "10.0.0.3", "after");
      _exit(0);
    }
  }
  close(go[0]);
  close(go[1]);  // releases both children at once
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(read_file(archive()), "Tue, 14 Nov 2023 23:59:59 UTC CONNECT 10.0.0.1(before)\r\n");
  std::string today = trail();
  EXPECT_EQ(count_of(today, "(after)\r\n"), 2) << today;
  EXPECT_EQ(count_of(today, "before"), 0);
}

TEST_F(AuditTest, UnwritableDirectoryReportsAFileError) {
  server_settings_t* w = server_settings_working();
  std::snprintf(w->LogDir, sizeof w->LogDir, "%s/missing", dir_.path().c_str());
  publish_server_settings();
  audit_event(AUDIT_CONNECT, "10.0.0.1", "a");
  std::string expected = "0x80020301 " + dir_.path() +
                         "/missing/kyvek_access.log File Error "
                         "(Failed to open " +
                         dir_.path() +
                         "/missing/kyvek_access.log for create/append - (No such file or "
                         "directory))\n";
  EXPECT_EQ(log(), expected);
}

}  // namespace
