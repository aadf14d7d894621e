// The thread table over real child processes and threads: exit statuses 0,
// 201, 202 and others, AutoDeny, limits, per-client counts, spare entries and
// DSN time.
#include "thread_table.h"

#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "access_list.h"
#include "audit.h"
#include "events.h"
#include "server_utils.h"
#include "settings.h"
#include "state_test_env.h"

using namespace state_test;

namespace {

// A child process that exits with code once released (or at once).
class Child {
 public:
  explicit Child(int code, bool wait_for_release = false) {
    if (pipe(pipe_) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(pipe_[1]);
      if (wait_for_release) {
        char byte;
        (void)!read(pipe_[0], &byte, 1);
      }
      _exit(code);
    }
    close(pipe_[0]);
  }
  ~Child() {
    release();
    if (pid_ > 0) waitpid(pid_, nullptr, WNOHANG);
  }
  void release() {
    // A byte, not just the close: later children hold copies of the write end.
    if (pipe_[1] >= 0) {
      (void)!write(pipe_[1], "x", 1);
      close(pipe_[1]);
    }
    pipe_[1] = -1;
  }
  // Waits until the child has ended, leaving it for the table to reap.
  void wait_ended() {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
  pid_t pid() const { return pid_; }

 private:
  int pipe_[2] = {-1, -1};
  pid_t pid_ = -1;
};

class ThreadTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);  // releasing a child that has already ended
    setenv("TZ", "UTC", 1);
    tzset();
    log_ = dir_.file("events.log");
    setenv("KYVEK_EVENTLOG", log_.c_str(), 1);
    source_ = eventlog_register(SERVER_EVENT_SOURCE_NAME);
    set_server_event_target(nullptr, source_);
    reset_server_event_state();
    server_settings_t* w = server_settings_working();
    std::memset(w, 0, sizeof *w);
    std::snprintf(w->LogDir, sizeof w->LogDir, "%s", dir_.path().c_str());
    std::strcpy(w->Timeout, "7200");
    std::strcpy(w->DenyList, "192.168.0.1");
    publish_server_settings();
    char* error = nullptr;
    ASSERT_EQ(build_server_acls(server_settings(), &error), 0) << error;
    close_audit_file();
  }
  void TearDown() override {
    free_thread_table(&head_);
    free_server_acls();
    close_audit_file();
    set_server_event_target(nullptr, nullptr);
    eventlog_deregister(source_);
    unsetenv("KYVEK_EVENTLOG");
  }

  thread_entry_t* add_process(const Child& child, const char* address) {
    thread_entry_t* entry = nullptr;
    EXPECT_EQ(create_new_thread_entry(&head_, 0, &entry, &block_, 0), 0);
    fill_thread_entry(5, entry, address, "my host");
    update_statistics(&block_, STATS_CONNECTION, head_, nullptr);
    start_thread_entry_process(entry, child.pid());
    return entry;
  }
  size_t table_size() {
    size_t n = 0;
    for (thread_entry_t* e = head_; e; e = e->next) ++n;
    return n;
  }
  std::string log() { return read_file(log_); }
  std::string trail() { return read_file(dir_.file("kyvek_access.log")); }

  TempDir dir_;
  std::string log_;
  eventlog_source* source_ = nullptr;
  thread_entry_t* head_ = nullptr;
  server_stats_t block_{};
};

TEST_F(ThreadTableTest, ExitStatusesGiveEventsAuditLinesAndAutoDeny) {
  struct Case {
    int code;
    const char* address;
    const char* event;  // expected event line, or "" for none
    const char* audit;  // expected audit line part besides DISCONNECT
  } cases[] = {
      {0, "10.0.0.1", "", ""},
      // A refused logon was reported by the worker when it happened.
      {201, "10.0.0.2", "", ""},
      {202, "10.0.0.3", "0x80020341 Client 10.0.0.3 disabled (added to denied ACL)\n", ""},
      {7, "10.0.0.4", "0xC0020201 Thread/Process exited with unexpected code 7\n", ""},
  };
  const uint32_t flags = AuditODBCAccess | AutoDenyNonVEKClients;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    reset_server_event_state();
    std::string log_before = log();
    Child child(c.code);
    thread_entry_t* entry = add_process(child, c.address);
    child.wait_ended();
    exited_thread(entry, &block_, flags);
    EXPECT_EQ(entry->in_use, 0u);
    EXPECT_EQ(log().substr(log_before.size()), c.event);
    std::string disconnect = std::string("DISCONNECT ") + c.address + "(my_host)\r\n";
    EXPECT_NE(trail().find(disconnect), std::string::npos);
    if (*c.audit) {
      EXPECT_NE(trail().find(c.audit), std::string::npos);
    }
    EXPECT_EQ(block_.active_workers, 0u);
  }
  const ip_acl_entry* deny = *server_deny_acl();
  EXPECT_EQ(match_ip_acl("10.0.0.3", *server_allow_acl(), deny, 0), 0) << "auto-denied";
  EXPECT_EQ(match_ip_acl("192.168.0.1", *server_allow_acl(), deny, 0), 0) << "kept";
  EXPECT_EQ(match_ip_acl("10.0.0.1", *server_allow_acl(), deny, 0), 1);
  EXPECT_STREQ(server_settings_working()->DenyList, "192.168.0.1 10.0.0.3");
}

TEST_F(ThreadTableTest, AutoDenyNeedsTheFlagAndASignalledChildIsUnexpected) {
  Child child(202);
  thread_entry_t* entry = add_process(child, "10.0.0.9");
  child.wait_ended();
  exited_thread(entry, &block_, 0);
  EXPECT_EQ(match_ip_acl("10.0.0.9", nullptr, *server_deny_acl(), 0), 1);
  EXPECT_EQ(log(), "");
  EXPECT_FALSE(std::filesystem::exists(dir_.file("kyvek_access.log"))) << "no audit without the flag";

  Child killed(0, true);
  entry = add_process(killed, "10.0.0.8");
  kill(killed.pid(), SIGKILL);
  killed.wait_ended();
  exited_thread(entry, &block_, 0);
  EXPECT_EQ(log(), "0xC0020201 Thread/Process exited with unexpected code 109\n");
}

void* thread_worker(void* code) { return code; }

TEST_F(ThreadTableTest, ThreadWorkersAreJoined) {
  thread_entry_t* entry = nullptr;
  ASSERT_EQ(create_new_thread_entry(&head_, 0, &entry, &block_, 0), 0);
  fill_thread_entry(5, entry, "10.0.0.5", nullptr);
  EXPECT_STREQ(entry->client_host, "unknown");
  EXPECT_STREQ(entry->idle_timeout, "7200");
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, nullptr, thread_worker, reinterpret_cast<void*>(201)), 0);
  start_thread_entry_thread(entry, thread);
  while (entry->in_use) {
    exited_thread(entry, &block_, 0);
    usleep(1000);
  }
  EXPECT_EQ(log(), "") << "the worker reports a refused logon itself";
}

TEST_F(ThreadTableTest, LimitsCountOnlyLiveWorkers) {
  Child first(0, true), second(0, true);
  add_process(first, "10.0.0.1");
  add_process(second, "10.0.0.1");
  thread_entry_t* entry = nullptr;
  EXPECT_EQ(create_new_thread_entry(&head_, 2, &entry, &block_, 0), -2);
  EXPECT_EQ(entry, nullptr);

  uint32_t count = 99;
  EXPECT_EQ(count_client_connections("10.0.0.1", 2, head_, &block_, &count, 0), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(count_client_connections("10.0.0.2", 2, head_, &block_, &count, 0), 1);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(count_client_connections("", 2, head_, &block_, &count, 0), 0);
  EXPECT_EQ(count_client_connections("10.0.0.1", 0, head_, &block_, &count, 0), 1);

  first.release();
  first.wait_ended();
  EXPECT_EQ(count_client_connections("10.0.0.1", 2, head_, &block_, &count, 0), 1);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(create_new_thread_entry(&head_, 2, &entry, &block_, 0), 0);
  EXPECT_EQ(table_size(), 2u) << "the reaped entry is reused";
  EXPECT_EQ(entry->in_use, 0u);
  EXPECT_EQ(entry->client_address[0], '\0') << "a reused entry starts clean";
  second.release();
  second.wait_ended();
}

TEST_F(ThreadTableTest, CleanupKeepsFiveSpares) {
  std::vector<std::unique_ptr<Child>> children;
  for (int i = 0; i < 7; ++i) {
    children.push_back(std::make_unique<Child>(0));
    add_process(*children.back(), "10.0.0.1");
  }
  Child live(0, true);
  add_process(live, "10.0.0.2");
  for (auto& c : children) c->wait_ended();
  uint32_t count = 5;
  cleanup_exited_threads(&head_, &block_, 0, &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(table_size(), 6u) << "five spares and the live entry";
  size_t in_use = 0;
  for (thread_entry_t* e = head_; e; e = e->next) in_use += e->in_use;
  EXPECT_EQ(in_use, 1u);
  live.release();
  live.wait_ended();
}

TEST_F(ThreadTableTest, DsnTimeIsCreditedLessTheReapingLag) {
  set_server_clock(fake_clock);
  fake_now = 1000;
  std::strcpy(block_.dsns[0].name, "sales");
  Child child(0), other(0);
  thread_entry_t* entry = add_process(child, "10.0.0.1");
  std::strcpy(entry->dsn, "sales");
  thread_entry_t* no_dsn = add_process(other, "10.0.0.2");
  fake_now = 1065;
  child.wait_ended();
  other.wait_ended();
  exited_thread(entry, &block_, 0);
  exited_thread(no_dsn, &block_, 0);
  EXPECT_EQ(block_.dsns[0].total_seconds, 60u);
  EXPECT_EQ(block_.dsns[1].total_seconds, 0u);

  Child multi(0);
  entry = add_process(multi, "10.0.0.1");
  std::strcpy(entry->dsn, "sales");
  fake_now = 2000;
  multi.wait_ended();
  exited_thread(entry, &block_, MultiProcess);
  EXPECT_EQ(block_.dsns[0].total_seconds, 60u) << "a child accounts its own time";
  set_server_clock(nullptr);
}

}  // namespace
