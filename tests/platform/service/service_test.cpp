// The service layer in a child process: signals become control codes, the
// state file follows each report, and a non-service falls back at once.
#include "service/service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* kName = "Test Service x64";

std::atomic<uint32_t> g_state{0};
ky_service_status_handle g_status = nullptr;
ky_service_status g_record{};

void report(uint32_t state) {
  g_record.current_state = state;
  g_state = state;
  ky_service_set_status(g_status, &g_record);
}

void handler(uint32_t control) {
  ++g_record.check_point;
  if (control == KY_SERVICE_CONTROL_STOP) report(KY_SERVICE_STOP_PENDING);
  if (control == KY_SERVICE_CONTROL_PAUSE) report(KY_SERVICE_PAUSE_PENDING);
  if (control == KY_SERVICE_CONTROL_CONTINUE) report(KY_SERVICE_RUNNING);
}

// A miniature service loop: pause pending becomes paused, stop pending stopped.
void service_main(int, char**) {
  g_record = {KY_SERVICE_WIN32_OWN_PROCESS, KY_SERVICE_STOPPED, 7, 0, 0, 0, 1000};
  g_status = ky_service_register_handler(kName, handler);
  if (!g_status) return;
  report(KY_SERVICE_RUNNING);
  int fd = ky_service_wakeup_fd();
  for (;;) {
    if (fd >= 0) ky_service_drain_wakeup();
    uint32_t s = g_state;
    if (s == KY_SERVICE_PAUSE_PENDING) report(KY_SERVICE_PAUSED);
    if (s == KY_SERVICE_STOP_PENDING) {
      g_record.win32_exit_code = KY_SERVICE_SPECIFIC_ERROR;
      g_record.service_exit_code = 42;
      report(KY_SERVICE_STOPPED);
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
}

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kyvek-svc-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    ::setenv("KYVEK_RUNDIR", (dir_ / "run").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KYVEK_RUNDIR");
    ::unsetenv("KYVEK_SERVICE");
    fs::remove_all(dir_);
  }
  // Waits (bounded) until the state file shows the state.
  bool wait_state(uint32_t state) {
    for (int i = 0; i < 250; ++i) {
      ky_service_status st;
      if (ky_service_query(kName, &st, nullptr) == 0 && st.current_state == state) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  fs::path dir_;
};

TEST_F(ServiceTest, NotAServiceWithoutTheVariable) {
  ::unsetenv("KYVEK_SERVICE");
  EXPECT_EQ(ky_service_start_dispatcher(kName, service_main), 0);
  ::setenv("KYVEK_SERVICE", "yes", 1);
  EXPECT_EQ(ky_service_start_dispatcher(kName, service_main), 0);
  EXPECT_EQ(ky_service_register_handler(kName, handler), nullptr);
  ky_service_status st;
  EXPECT_EQ(ky_service_query(kName, &st, nullptr), -1);
  EXPECT_EQ(ky_service_control(kName, KY_SERVICE_CONTROL_STOP), -1);
}

TEST_F(ServiceTest, SignalsDriveTheStateFile) {
  ::setenv("KYVEK_SERVICE", "1", 1);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int rc = ky_service_start_dispatcher(kName, service_main);
    ::_exit(rc == 1 ? 0 : 10 + rc);
  }
  ASSERT_TRUE(wait_state(KY_SERVICE_RUNNING));
  ky_service_status st;
  pid_t pid = 0;
  ASSERT_EQ(ky_service_query(kName, &st, &pid), 0);
  EXPECT_EQ(pid, child);
  EXPECT_EQ(st.controls_accepted, 7u);
  EXPECT_EQ(st.wait_hint, 1000u);

  EXPECT_EQ(ky_service_control(kName, KY_SERVICE_CONTROL_PAUSE), 0);
  EXPECT_TRUE(wait_state(KY_SERVICE_PAUSED));
  EXPECT_EQ(ky_service_control(kName, KY_SERVICE_CONTROL_CONTINUE), 0);
  EXPECT_TRUE(wait_state(KY_SERVICE_RUNNING));
  EXPECT_EQ(ky_service_control(kName, KY_SERVICE_CONTROL_INTERROGATE), -1);
  EXPECT_EQ(ky_service_control(kName, KY_SERVICE_CONTROL_STOP), 0);
  EXPECT_TRUE(wait_state(KY_SERVICE_STOPPED));

  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(ky_service_query(kName, &st, nullptr), 0);
  EXPECT_EQ(st.win32_exit_code, 1066u);
  EXPECT_EQ(st.service_exit_code, 42u);
  EXPECT_GE(st.check_point, 3u);
  // A stopped service takes no further controls.
  EXPECT_EQ(ky_service_control(kName, KY_SERVICE_CONTROL_STOP), -1);
  // No temporary file is left beside the state file.
  int files = 0;
  for (auto& e : fs::directory_iterator(dir_ / "run")) (void)e, ++files;
  EXPECT_EQ(files, 1);
}

}  // namespace
