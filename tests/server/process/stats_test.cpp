// The statistics block: shared between real processes, zeroed only when new,
// counters that never go below zero, the host table's limit and the report.
#include "stats.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "server_utils.h"
#include "settings.h"
#include "state_test_env.h"

using namespace state_test;

namespace {

class StatsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int serial = 0;
    name_ = "/kyvek_state_test_" + std::to_string(getpid()) + "_" + std::to_string(++serial);
    setenv("KYVEK_SHM_NAME", name_.c_str(), 1);
  }
  void TearDown() override {
    shm_unlink(name_.c_str());
    unsetenv("KYVEK_SHM_NAME");
  }
  std::string name_;
};

TEST_F(StatsTest, TwoProcessesShareTheBlockAndARecreatedBlockStartsAtZero) {
  uint32_t error = 0;
  server_stats_t* block = create_shared_statistics(&error);
  ASSERT_NE(block, nullptr) << error;
  block->port = 8888;
  constexpr int kPerProcess = 2000;

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char* text = nullptr;
    server_stats_t* mine = get_ipcshm(&text);
    if (mine == nullptr || mine->port != 8888) _exit(2);
    for (int i = 0; i < kPerProcess; ++i) update_statistics(mine, STATS_WORKER_STARTED, nullptr, nullptr);
    release_shared_statistics(mine);
    _exit(0);
  }
  for (int i = 0; i < kPerProcess; ++i) update_statistics(block, STATS_WORKER_STARTED, nullptr, nullptr);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(block->workers_started, 2u * kPerProcess) << "updates from both processes count";

  // While the block is held, a second server attaches and keeps the counters.
  server_stats_t* second = create_shared_statistics(&error);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->workers_started, 2u * kPerProcess);
  EXPECT_EQ(release_shared_statistics(second), 0);
  const std::string object = "/dev/shm" + name_;
  EXPECT_EQ(access(object.c_str(), F_OK), 0) << "still held by the first server";

  EXPECT_EQ(release_shared_statistics(block), 0);
  EXPECT_NE(access(object.c_str(), F_OK), 0) << "the last user removes the name";
  EXPECT_EQ(release_shared_statistics(nullptr), -1);

  // Nobody holds it now: a child cannot open it, and a new creator zeroes it.
  char* text = nullptr;
  EXPECT_EQ(get_ipcshm(&text), nullptr);
  EXPECT_EQ(std::string(text).rfind("Failed open shared memory mapping - ", 0), 0u) << text;
  block = create_shared_statistics(&error);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(block->workers_started, 0u);
  EXPECT_EQ(block->port, 0u);
  release_shared_statistics(block);
}

TEST_F(StatsTest, ABlockOfAnotherAccountIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a block owned by another account";
  int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, SERVER_STATS_SIZE), 0);
  ASSERT_EQ(fchown(fd, 65534, 65534), 0);
  uint32_t error = 0;
  EXPECT_EQ(create_shared_statistics(&error), nullptr);
  EXPECT_EQ(error, static_cast<uint32_t>(EPERM));
  close(fd);
}

TEST_F(StatsTest, ConnectionsHostsAndDisconnections) {
  server_stats_t* block = create_shared_statistics(nullptr);
  ASSERT_NE(block, nullptr);
  set_server_clock(fake_clock);
  fake_now = 1000;

  update_statistics(block, STATS_WORKER_ENDED, nullptr, nullptr);
  EXPECT_EQ(block->active_workers, 0u) << "never below zero";

  update_statistics(block, STATS_CONNECTION, nullptr, nullptr);
  EXPECT_EQ(block->total_connections, 1u);
  EXPECT_EQ(block->active_workers, 1u);
  EXPECT_EQ(block->peak_workers, 1u);
  EXPECT_EQ(block->last_connect_time, 1000);
  fake_now = 1010;
  update_statistics(block, STATS_WORKER_ENDED, nullptr, nullptr);
  EXPECT_EQ(block->active_workers, 0u);
  EXPECT_EQ(block->peak_workers, 1u);
  EXPECT_EQ(block->last_disconnect_time, 1010);

  for (int i = 1; i <= 21; ++i) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    std::string address = "10.0.0." + std::to_string(i);
    inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
    update_statistics(block, STATS_CLIENT_HOST, &peer, i == 1 ? "first.example" : nullptr);
    if (i == 1) update_statistics(block, STATS_CLIENT_HOST, &peer, nullptr);
  }
  EXPECT_EQ(block->host_count, 20u) << "the 21st host is not recorded";
  EXPECT_STREQ(block->hosts[0].address, "10.0.0.1");
  EXPECT_STREQ(block->hosts[0].name, "first.example");
  EXPECT_EQ(block->hosts[0].connections, 2u);
  EXPECT_STREQ(block->hosts[19].address, "10.0.0.20");
  EXPECT_STREQ(block->hosts[19].name, "unknown");

  // DSN time: an empty DSN never takes another's slot; names compare whole.
  std::strcpy(block->dsns[0].name, "sales");
  stats_add_dsn_time(block, "", 50);
  stats_add_dsn_time(block, "sale", 50);
  stats_add_dsn_time(block, "sales", 60);
  EXPECT_EQ(block->dsns[0].total_seconds, 60u);
  EXPECT_EQ(block->dsns[1].total_seconds, 0u);

  set_server_clock(nullptr);
  release_shared_statistics(block);
}

TEST_F(StatsTest, ReportText) {
  setenv("TZ", "UTC", 1);
  tzset();
  server_stats_t block{};
  block.start_time = 1700000000;
  block.total_connections = 7;
  block.workers_started = 6;
  block.active_workers = 1;
  block.peak_workers = 3;
  block.last_connect_time = 1700000010;
  block.last_disconnect_time = 1700000020;
  block.user_cpu_seconds = 1.5;
  block.kernel_cpu_seconds = 0.25;
  std::strcpy(block.dsns[0].name, "sales");
  block.dsns[0].connections = 4;
  block.dsns[0].total_seconds = 10;
  std::memset(block.dsns[1].name, 'z', sizeof block.dsns[1].name);  // no terminator
  block.dsns[1].connections = 1;
  block.host_count = 1;
  std::strcpy(block.hosts[0].address, "10.0.0.1");
  std::strcpy(block.hosts[0].name, "h1");

  char out[4096];
  format_statistics_report(&block, 1700000030, ShowProcessTime, out, sizeof out);
  const std::string expected =
      "Server up time 0 days, 0 hours, 0 minutes and 30 seconds\r\n"
      "Server CPU time(s): \t\t\tu=1.50 k=0.25\r\n"
      "Total Connections: \t\t\t7\r\n"
      "Total Threads/Processes: \t\t\t6\r\n"
      "Active Threads/Processes: \t\t\t1\r\n"
      "Peak concurrent Threads/Processes: \t\t3\r\n"
      "Connections/minute: \t\t\t7\r\n"
      "Last Connection time: \t\tTue Nov 14 22:13:30 2023\r\n"
      "Last Disconnect time: \t\tTue Nov 14 22:13:40 2023\r\n"
      "\r\nDSN\tConnections\tTotal Time (s)\tConnections/minute\tAverage Time per connection (s)\t\r\n"
      "sales\t4\t10\t4\t2.50\t\r\n" +
      std::string(32, 'z') + "\t1\t0\t1\t0.00\t\r\n" +
      "\r\n"
      "Number of different client hosts: \t1\r\n"
      "\t10.0.0.1 (h1)\r\n"
      "\r\n";
  EXPECT_EQ(std::string(out), expected);

  // Two hours later the rates are per minute; no DSN gives its own line.
  block.dsns[0].name[0] = '\0';
  format_statistics_report(&block, 1700000000 + 2 * 3600 + 61, 0, out, sizeof out);
  std::string later = out;
  EXPECT_NE(later.find("Server up time 0 days, 2 hours, 1 minutes and 1 seconds\r\n"), std::string::npos);
  EXPECT_EQ(later.find("CPU"), std::string::npos);
  EXPECT_NE(later.find("Connections/minute: \t\t\t0\r\n"), std::string::npos);
  EXPECT_NE(later.find("No DSNs registered\r\n\r\n"), std::string::npos);

  char small[40];
  EXPECT_EQ(format_statistics_report(&block, 1700000030, 0, small, sizeof small), sizeof small - 1);
}

TEST_F(StatsTest, StatisticsFileOnlyWithWriteStatsOnExit) {
  TempDir dir;
  server_settings_t* w = server_settings_working();
  std::snprintf(w->LogDir, sizeof w->LogDir, "%s", dir.path().c_str());
  w->Flags = 0;
  publish_server_settings();
  server_stats_t block{};
  set_server_clock(fake_clock);
  fake_now = 1700000000;
  setenv("TZ", "UTC", 1);
  tzset();
  testing::internal::CaptureStdout();
  write_statistics_file(&block);
  EXPECT_FALSE(std::filesystem::exists(dir.file("kyvek_stats_14_11_2023_221320.stats")));
  w->Flags = WriteStatsOnExit;
  publish_server_settings();
  write_statistics_file(&block);
  std::string printed = testing::internal::GetCapturedStdout();
  std::string file = read_file(dir.file("kyvek_stats_14_11_2023_221320.stats"));
  EXPECT_EQ(file, printed);
  EXPECT_EQ(file.rfind("Server up time ", 0), 0u);
  set_server_clock(nullptr);
}

}  // namespace
