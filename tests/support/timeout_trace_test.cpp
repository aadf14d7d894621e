// The time-out check against an injected clock, and trace lines once the
// library's trace mask is set. Links the static archive for both hooks.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "ky_thread.h"
#include "ky_trace.h"
#include "support_fixture.h"
#include "thread_internal.h"
#include "trace_internal.h"

namespace {

int64_t g_now = 0;
int64_t fake_clock() { return g_now; }

class Timeouts : public kytest::StatementFixture {
 protected:
  void SetUp() override {
    kytest::StatementFixture::SetUp();
    ky::set_timeout_clock(fake_clock);
  }
  void TearDown() override {
    ky::set_timeout_clock(nullptr);
    kytest::StatementFixture::TearDown();
  }
};

TEST_F(Timeouts, DeadlineBeforeCancel) {
  struct Case {
    int32_t state;
    int64_t deadline, now;
    int32_t cancel;
    int rc;
    const char* posted;
    int32_t cancel_after;
  } cases[] = {
      {KY_STMT_EXECUTING, 1000, 999, 0, 0, "", 0},
      {KY_STMT_EXECUTING, 1000, 1000, 0, 0, "", 0},  // not yet earlier than now
      {KY_STMT_EXECUTING, 1000, 1001, 0, -1, "HYT00", 0},
      {KY_STMT_FETCHING, 1000, 5000, 1, -1, "HYT00", 1},  // the cancel waits for the next check
      {KY_STMT_EXECUTING, 0, 5000, 0, 0, "", 0},          // no deadline
      {1, 1000, 5000, 0, 0, "", 0},                       // not running
      {1, 1000, 5000, 1, -1, "HY008", 0},
      {KY_STMT_EXECUTING, 9000, 5000, 1, -1, "HY008", 0},
  };
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    SCOPED_TRACE(i);
    clear();
    const auto& c = cases[i];
    stmt.state = c.state;
    stmt.deadline_ms = c.deadline;
    stmt.cancel = c.cancel;
    g_now = c.now;
    EXPECT_EQ(check_timeout(&stmt), c.rc);
    EXPECT_EQ(last_state(), c.posted);
    EXPECT_EQ(stmt.cancel, c.cancel_after);
    if (c.rc != 0) {
      EXPECT_EQ(stmt.head.errors->return_code, -1);
    }
  }
  clear();
  stmt.state = KY_STMT_EXECUTING;
  stmt.deadline_ms = 1;
  g_now = 2;
  check_timeout(&stmt);
  EXPECT_EQ(last_message(), "[Kyronde ODBC]Timeout Expired");
  EXPECT_STREQ(stmt.head.errors->last->subclass_origin, "ODBC 3.0");
  stmt.deadline_ms = 0;
  stmt.cancel = 1;
  check_timeout(&stmt);
  EXPECT_EQ(last_message(), "[Kyronde ODBC]Operation Canceled");
  EXPECT_STREQ(stmt.head.errors->last->subclass_origin, "ISO 9075");
}

TEST(MonotonicClock, DeadlinesUseIt) {
  // A deadline taken from the monotonic clock a minute ahead has not passed.
  ky_stmt s{};
  s.state = KY_STMT_EXECUTING;
  s.deadline_ms = ky::monotonic_ms() + 60000;
  EXPECT_EQ(check_timeout(&s), 0);
  s.deadline_ms = ky::monotonic_ms() - 1;
  EXPECT_EQ(check_timeout(&s), -1);  // no diagnostics area: only the result
}

TEST(Trace, SilentUnlessTheMaskIsSet) {
  testing::internal::CaptureStderr();
  log_message("f.c", 7, 0xFFFFFFFFu, "never %I", 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  ky::set_trace_mask(0x2);
  testing::internal::CaptureStderr();
  log_message("f.c", 7, 0x1, "other bit");
  const char* text = "ab";
  int16_t len = 2;
  log_message("src/x.c", 42, 0x2, "%I %U %i %e %e %S %S %S%q|", -5, 4000000000u, -3, 1, 77, text, 2, text, -3, nullptr,
              0);
  log_message("src/x.c", 43, 0x2, "%*S %s", text, &len, nullptr);
  log_message("src/x.c", 44, 0x2, nullptr);
  const std::string out = testing::internal::GetCapturedStderr();
  ky::set_trace_mask(0);
  const std::string pid = "[" + std::to_string(getpid()) + "]";
  std::string head = pid + "src/x.c@0042";
  head.resize(30, ' ');
  EXPECT_NE(out.find(head + ":-5 4000000000 -3 SQL_SUCESS_WITH_INFO UNKNOWN=77 \"ab\"{2} \"ab\"{SQL_NTS} "
                            "<NULL>{0}|\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"ab\"{0x"), std::string::npos) << out;
  EXPECT_NE(out.find("->2} <NULLPTR>\n"), std::string::npos) << out;
  EXPECT_NE(out.find("@0044"), std::string::npos);
  EXPECT_NE(out.find(":<NULL FORMAT>\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("other bit"), std::string::npos);
}

TEST(Trace, LinesGoToTheConfiguredFile) {
  char dir_template[] = "/tmp/kysupp-traceXXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  const std::string dir = dir_template;
  const std::string store = dir + "/registry.reg", log = dir + "/trace.log";
  {
    std::ofstream reg(store);
    reg << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde SQL Engine\\Configuration\\System\\settings]\n"
        << "\"log_file\"=\"" << log << "\"\n";
  }
  const char* old = std::getenv("KYVEK_REGISTRY");
  const std::string saved = old ? old : "";
  setenv("KYVEK_REGISTRY", store.c_str(), 1);
  ky::set_trace_mask(0x4);
  log_message("a.c", 1, 0x4, "first %I", 1);
  log_message("a.c", 2, 0x4, "second");
  ky::set_trace_mask(0);
  if (old) {
    setenv("KYVEK_REGISTRY", saved.c_str(), 1);
  } else {
    unsetenv("KYVEK_REGISTRY");
  }
  std::ifstream in(log);
  std::stringstream text;
  text << in.rdbuf();
  std::string head1 = "[" + std::to_string(getpid()) + "]a.c@0001", head2 = head1;
  head2[head2.size() - 1] = '2';
  head1.resize(30, ' ');
  head2.resize(30, ' ');
  EXPECT_EQ(text.str(), head1 + ":first 1\n" + head2 + ":second\n");
  std::remove(log.c_str());
  std::remove(store.c_str());
  rmdir(dir.c_str());
}

}  // namespace
