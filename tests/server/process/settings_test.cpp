// Settings: the reader over a real key store, the reactions to changed values,
// the fresh readers of Flags and Logging, and whole snapshots under re-reads.
#include "settings.h"

#include <arpa/inet.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audit.h"
#include "events.h"
#include "state_test_env.h"
#include "trace_log.h"

using namespace state_test;

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = std::make_unique<SettingsStore>(dir_);
    store_->set("Path", "/opt/kyvek");
  }
  TempDir dir_;
  std::unique_ptr<SettingsStore> store_;
};

struct NumberCase {
  const char* stored;  // nullptr: value absent
  int rc;
  uint32_t value;
  const char* error;
};

TEST_F(SettingsTest, FlagsValuesPrefixesRangesAndErrorTexts) {
  const NumberCase cases[] = {
      {nullptr, 0, 98306, ""},
      {"0x8004", 0, 32772, ""},
      {"010", 0, 8, ""},
      {"4294967295", 0, 4294967295u, ""},
      {"12abc", -1, 0, "invalid ini setting Flags = 12abc"},
      {"4294967296", -1, 0, "Ini setting Flags = 4294967296, out of range"},
      {"0x100000000", -1, 0, "Ini setting Flags = 0x100000000, out of range"},
      {"-1", -1, 0, "Ini setting Flags = -1, out of range"},
      {"", -1, 0, "ini setting Flags cannot be found"},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "(absent)");
    if (c.stored)
      store_->set("Flags", c.stored);
    else
      store_->remove("Flags");
    server_settings_working()->Flags = 7;
    char* error = nullptr;
    EXPECT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, nullptr, 0), c.rc);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, c.error);
    if (c.rc == 0 || std::string(c.error).find("cannot be found") != std::string::npos) {
      EXPECT_EQ(server_settings_working()->Flags, c.value);
    }
  }
}

TEST_F(SettingsTest, DefaultsAndListenerSwitch) {
  server_settings_t* w = server_settings_working();
  w->Port = 1;
  w->ListenBacklog = 1;
  store_->set("Port", "9999");
  store_->set("ListenBacklog", "500");
  char* error = nullptr;
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, nullptr, 0), 0) << error;
  EXPECT_EQ(w->Port, 1u) << "listener settings are not read without the switch";
  EXPECT_EQ(w->RetryCount, 4u);
  EXPECT_EQ(w->RetryPause, 3u);
  EXPECT_STREQ(w->Timeout, "7200");
  EXPECT_STREQ(w->HTTPAdmin, "") << "listener-only text stays";
  EXPECT_STREQ(w->Path, "/opt/kyvek");

  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, nullptr, 1), 0) << error;
  EXPECT_EQ(w->Port, 9999u);
  EXPECT_EQ(w->ListenBacklog, 500u) << "the range is not enforced by the reader";
  EXPECT_EQ(w->HTTPPort, 8890u);
  EXPECT_STREQ(w->HTTPAdmin, "disabled");
}

TEST_F(SettingsTest, RecordsAfterAFailureKeepTheirValues) {
  server_settings_t* w = server_settings_working();
  std::strcpy(w->Timeout, "old");
  w->RetryCount = 77;
  store_->set("Logging", "zz");  // fails at record 6
  store_->set("RetryCount", "9");
  store_->set("Timeout", "30");
  char* error = nullptr;
  EXPECT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, nullptr, 0), -1);
  EXPECT_STREQ(error, "invalid ini setting Logging = zz");
  EXPECT_EQ(w->RetryCount, 77u);
  EXPECT_STREQ(w->Timeout, "old");
}

uint32_t ipv4_value;
char text_value[8];
uint32_t number_value;

TEST_F(SettingsTest, TableErrorsAndOtherKinds) {
  char* error = nullptr;
  EXPECT_EQ(read_ini_settings(nullptr, &error, nullptr, nullptr, 0), -1);
  EXPECT_STREQ(error, "Invalid/NULL ini_settings structure array");
  EXPECT_EQ(read_ini_settings(server_ini_settings(), nullptr, nullptr, nullptr, 0), -2);

  struct Case {
    ini_settings record;
    const char* stored;
    int rc;
    const char* error;
  } cases[] = {
      {{INI_KIND_IPV4, "Addr", 0x1, 0, "", 0, 0, &ipv4_value, 0, 0}, "10.1.2.3", 0, ""},
      {{INI_KIND_IPV4, "Addr", 0x1, 0, "", 0, 0, &ipv4_value, 0, 0}, "10.1.2", 0, ""},
      {{INI_KIND_IPV4, "Addr", 0x1, 0, "", 0, 0, &ipv4_value, 0, 0}, "bogus", -1, "invalid ini setting Addr = bogus"},
      {{INI_KIND_IPV4, "Addr", 0x3, 0, "", 0, 0, &ipv4_value, 0, 0}, "", -1, "ini setting Addr cannot be found"},
      {{INI_KIND_IPV4, "Addr", 0x1, 0, nullptr, 0, 0, &ipv4_value, 0, 0},
       "1.2.3.4",
       -1,
       "ini setting Addr - missing default"},
      {{INI_KIND_TEXT, "Name", 0x1, 0, nullptr, 0, 0, text_value, 8, 0}, "x", -1, "ini setting Name - missing default"},
      {{INI_KIND_TEXT, "Name", 0x0, 0, nullptr, 0, 0, text_value, 8, 0}, "toolongvalue", 0, ""},
      {{INI_KIND_TEXT, "Name", 0x0, 0, nullptr, 0, 0, nullptr, 8, 0},
       "x",
       -1,
       "internal error processing ini setting Name - no destination"},
      {{9, "Odd", 0x0, 0, nullptr, 0, 0, &number_value, 0, 0}, "1", -1, "Invalid ini setting type 9"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(std::string(c.record.name) + "=" + c.stored);
    store_->set(c.record.name, c.stored);
    ini_settings table[2] = {c.record, {}};
    EXPECT_EQ(read_ini_settings(table, &error, nullptr, nullptr, 0), c.rc);
    EXPECT_STREQ(error, c.error);
    store_->remove(c.record.name);
  }
  store_->set("Addr", "10.1.2.3");
  ini_settings table[2] = {{INI_KIND_IPV4, "Addr", 0x1, 0, "", 0, 0, &ipv4_value, 0, 0}, {}};
  ASSERT_EQ(read_ini_settings(table, &error, nullptr, nullptr, 0), 0);
  EXPECT_EQ(ipv4_value, inet_addr("10.1.2.3"));
  EXPECT_STREQ(text_value, "") << "a value that does not fit leaves the empty default";
}

std::vector<std::string> rebuilt;
void record_rebuild(const char* text) { rebuilt.emplace_back(text); }

TEST_F(SettingsTest, NumberedListJoinsItemsAndKeepsRulesWhenAbsent) {
  rebuilt.clear();
  set_dsnacl_rebuild_hook(record_rebuild);
  server_settings_t* w = server_settings_working();
  char* error = nullptr;

  store_->set("DSNACL", "3");
  store_->set("DSNACL1", "sales,10.0.0.0/255.0.0.0,");
  store_->set("DSNACL2", "");
  store_->set("DSNACL3", "hr,,bob");
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, moderate_ini_setting, 0), 0);
  EXPECT_STREQ(w->DSNACL, "sales,10.0.0.0/255.0.0.0,,hr,,bob");
  ASSERT_EQ(rebuilt.size(), 1u);
  EXPECT_EQ(rebuilt[0], w->DSNACL);

  store_->set("DSNACL", "many");  // not a count: text and rules stay
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, moderate_ini_setting, 0), 0);
  EXPECT_STREQ(w->DSNACL, "sales,10.0.0.0/255.0.0.0,,hr,,bob");
  EXPECT_EQ(rebuilt.size(), 1u);

  store_->remove("DSNACL");  // absent: text emptied, rules kept
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, moderate_ini_setting, 0), 0);
  EXPECT_STREQ(w->DSNACL, "");
  EXPECT_EQ(rebuilt.size(), 1u);

  // Items that do not fit the 4096-byte text are skipped; later ones still join.
  const std::string a(1023, 'a'), b(1023, 'b'), c(1023, 'c'), d(1020, 'd');
  store_->set("DSNACL", "6");
  store_->set("DSNACL1", a);
  store_->set("DSNACL2", b);
  store_->set("DSNACL3", c);
  store_->set("DSNACL4", d);
  store_->set("DSNACL5", "eeee");
  store_->set("DSNACL6", "f");
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, moderate_ini_setting, 0), 0);
  EXPECT_EQ(std::string(w->DSNACL), a + "," + b + "," + c + "," + d + ",f");
  set_dsnacl_rebuild_hook(nullptr);
}

int startup_closed = 0;
void count_startup_close() { ++startup_closed; }

TEST_F(SettingsTest, ModerationOfFlagsLoggingAndAddresses) {
  std::string events = dir_.file("events.log");
  setenv("KYVEK_EVENTLOG", events.c_str(), 1);
  eventlog_source* source = eventlog_register(SERVER_EVENT_SOURCE_NAME);
  set_server_event_target(nullptr, source);
  set_startup_log_close_hook(count_startup_close);
  reset_server_event_state();
  server_settings_t* w = server_settings_working();
  char* error = nullptr;

  store_->set("Flags", "0x804");  // MultiProcess | ConnectionPooling
  store_->set("Logging", "0x801");
  store_->set("IPAddress", "300.1.1.1");
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, moderate_ini_setting, 1), 0);
  EXPECT_EQ(w->Flags, 0x4u) << "MultiProcess clears ConnectionPooling";
  EXPECT_EQ(startup_closed, 0);

  reset_server_event_state();
  store_->set("IPAddress", "127.0.0.1");
  store_->set("HTTPNetworkAccess", "10.0.0.x");
  store_->set("Logging", "0");
  set_trace_mask(0x801);
  ASSERT_EQ(read_ini_settings(server_ini_settings(), &error, nullptr, moderate_ini_setting, 1), 0);
  EXPECT_EQ(startup_closed, 1) << "Logging to 0 closes the start-up log";
  EXPECT_EQ(get_trace_mask(), 0u);

  std::string log = read_file(events);
  EXPECT_NE(log.find("0xC0020201 \"300.1.1.1\" is invalid IP address for server to bind to\n"), std::string::npos)
      << log;
  EXPECT_NE(log.find("0xC0020201 \"10.0.0.x\" is invalid IP/Network address - invalid "
                     "character at x\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(count_of(log, "127.0.0.1"), 0);
  set_startup_log_close_hook(nullptr);
  set_server_event_target(nullptr, nullptr);
  eventlog_deregister(source);
  unsetenv("KYVEK_EVENTLOG");
}

TEST_F(SettingsTest, LosingAuditODBCAccessClosesTheTrail) {
  server_settings_t* w = server_settings_working();
  std::snprintf(w->LogDir, sizeof w->LogDir, "%s", dir_.path().c_str());
  publish_server_settings();
  store_->set("LogDir", dir_.path());
  store_->set("Flags", "0x40");
  char* error = nullptr;
  ASSERT_EQ(load_server_settings(&error, nullptr, 0), 0) << error;
  audit_event(AUDIT_CONNECT, "10.0.0.1", "h");
  const std::string trail = dir_.file("kyvek_access.log");
  ASSERT_TRUE(std::filesystem::remove(trail));

  store_->set("Flags", "0x0");
  ASSERT_EQ(load_server_settings(&error, nullptr, 0), 0) << error;
  audit_event(AUDIT_CONNECT, "10.0.0.2", "h");
  EXPECT_NE(read_file(trail).find("10.0.0.2"), std::string::npos)
      << "the closed trail is opened afresh, not written through the old descriptor";
  close_audit_file();
}

TEST_F(SettingsTest, FreshReadersOfFlagsAndLogging) {
  struct Case {
    const char* stored;
    int rc;
    uint32_t word;
  } cases[] = {
      {nullptr, 0, 65538}, {"0x8004", 0, 32772}, {"12abc", -1, 12}, {"4294967296", -1, 0}, {"", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "(absent)");
    if (c.stored)
      store_->set("Flags", c.stored);
    else
      store_->remove("Flags");
    uint32_t word = 99;
    EXPECT_EQ(read_flags_setting(&word), c.rc);
    EXPECT_EQ(word, c.word);
  }
  store_->set("Logging", "0x801");
  EXPECT_EQ(read_logging_setting(), 0x801u);
  store_->set("Logging", "abc");
  EXPECT_EQ(read_logging_setting(), 0u);
  store_->remove("Logging");
  EXPECT_EQ(read_logging_setting(), 0u);
}

TEST_F(SettingsTest, ReReadsPublishWholeSnapshots) {
  char* error = nullptr;
  store_->set("AllowList", std::string(4000, 'A'));
  store_->set("DenyList", std::string(4000, 'A'));
  ASSERT_EQ(load_server_settings(&error, nullptr, 1), 0) << error;
  const server_settings_t* first = server_settings();
  EXPECT_EQ(first->AllowList[3999], 'A');

  std::atomic<bool> stop{false};
  std::atomic<int> torn{0};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const server_settings_t* s = server_settings();
      if (s->AllowList[0] != s->DenyList[3999] || s->AllowList[3999] != s->DenyList[0]) ++torn;
      ++reads;
    }
  });
  for (int i = 0; i < 20; ++i) {
    std::string fill(4000, i % 2 ? 'A' : 'B');
    store_->set("AllowList", fill);
    store_->set("DenyList", fill);
    ASSERT_EQ(load_server_settings(&error, nullptr, 1), 0) << error;
  }
  stop = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(first->AllowList[0], 'A') << "an old snapshot stays readable";

  // A failed re-read publishes nothing and leaves the working copy as published.
  const server_settings_t* before = server_settings();
  store_->set("Flags", "junk");
  EXPECT_EQ(load_server_settings(&error, nullptr, 1), -1);
  EXPECT_EQ(server_settings(), before);
  EXPECT_EQ(server_settings_working()->Flags, before->Flags);
  EXPECT_STREQ(server_settings_working()->AllowList, before->AllowList);
}

}  // namespace
