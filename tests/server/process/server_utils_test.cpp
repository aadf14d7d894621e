// Utilities: base64, tokenisers, date texts, the setting-text reader, CPU times
// and affinity.
#include "server_utils.h"
#include "settings.h"
#include "text_parsers.h"

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "state_test_env.h"

using namespace state_test;

namespace {

struct Base64Case {
  const char* text;
  size_t reserved;
  std::string decoded;
};

TEST(ServerUtils, Base64) {
  const Base64Case cases[] = {
      {"TWFu", 4, "Man"},
      {"TWE=", 4, "Ma"},
      {"TW", 4, "M"},
      {"T", 4, ""},
      {"", 1, ""},
      {"YWxhZGRpbjpvcGVuc2VzYW1l", 19, "aladdin:opensesame"},
      {"TWFu TWFu", 4, "Man"},
      {"/+/+", 4, "\xff\xef\xfe"},
  };
  for (const Base64Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(base64_decoded_size(c.text), c.reserved);
    std::string out(base64_decoded_size(c.text), '\x7f');
    size_t n = base64_decode(reinterpret_cast<unsigned char*>(out.data()), c.text);
    EXPECT_EQ(std::string(out.data(), n), c.decoded);
    EXPECT_EQ(out[n], '\0');
    EXPECT_LT(n, out.size());
  }
  // The build's own date and time, in the compiler's form.
  EXPECT_TRUE(std::regex_match(get_build_stamp(),
                               std::regex(R"(\$Built: [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} \$)")))
      << get_build_stamp();
  EXPECT_EQ(std::string(get_build_stamp()).find("2018"), std::string::npos);
}

TEST(ServerUtils, NextToken) {
  char text[] = "a;;b";
  char* cursor = nullptr;
  EXPECT_STREQ(next_token(text, ";", &cursor), "a");
  EXPECT_STREQ(next_token(nullptr, ";", &cursor), "");
  EXPECT_STREQ(next_token(nullptr, ";", &cursor), "b");
  EXPECT_EQ(next_token(nullptr, ";", &cursor), nullptr);
  char empty[] = "";
  EXPECT_EQ(next_token(empty, ";", &cursor), empty);
  EXPECT_EQ(cursor, nullptr);
}

TEST(ServerUtils, SplitString) {
  struct Case {
    const char* text;
    int slots;
    int result;
    std::vector<const char*> parts;  // nullptr: slot set to NULL
  } cases[] = {
      {"a,b", 3, 3, {"a", "b", nullptr}}, {"a", 3, 2, {"a"}}, {"a,b,c,d", 3, 4, {"a", "b", "c,d"}},
      {"a,,b", 2, 3, {"a", ",b"}},        {"x", 1, 2, {"x"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::string text = c.text;
    char* slots[4] = {reinterpret_cast<char*>(1), reinterpret_cast<char*>(1), reinterpret_cast<char*>(1),
                      reinterpret_cast<char*>(1)};
    ASSERT_EQ(split_string(",", c.slots, slots, text.data()), c.result);
    for (size_t i = 0; i < c.parts.size(); ++i) {
      if (c.parts[i] == nullptr) {
        EXPECT_EQ(slots[i], nullptr);
      } else {
        EXPECT_STREQ(slots[i], c.parts[i]);
      }
    }
    EXPECT_EQ(slots[c.parts.size()], reinterpret_cast<char*>(1)) << "no slot written after";
    // Copies are the caller's; the last slot (the rest) points into the text.
    int copies = c.result - 1 < c.slots ? c.result - 1 : c.slots - 1;
    for (int i = 0; i < copies; ++i) std::free(slots[i]);
  }
  char* slots[1];
  char text[] = "a";
  EXPECT_EQ(split_string(",", 0, slots, text), -1);
  EXPECT_EQ(split_string(",", 2, slots, nullptr), -1);
}

TEST(ServerUtils, DateTexts) {
  setenv("TZ", "UTC", 1);
  tzset();
  char out[256];
  time_t when = 784111777;  // 6 November 1994, 08:49:37 UTC
  struct tm parts {};
  ASSERT_EQ(format_date_text(out, sizeof out, &when, &parts, 0x1), 0);
  EXPECT_STREQ(out, "Sun, 06 Nov 1994 08:49:37 ");
  EXPECT_EQ(parts.tm_year, 94);
  ASSERT_EQ(format_date_text(out, sizeof out, &when, nullptr, 0), 0);
  EXPECT_STREQ(out, "Sun, 06 Nov 1994 08:49:37 UTC");
  setenv("TZ", "CET-1", 1);  // POSIX form: needs no zone files
  tzset();
  ASSERT_EQ(format_date_text(out, sizeof out, &when, nullptr, 0), 0);
  EXPECT_STREQ(out, "Sun, 06 Nov 1994 09:49:37 CET");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(format_date_text(out, 63, &when, nullptr, 0), -1);
}

TEST(ServerUtils, ReadSettingText) {
  TempDir dir;
  SettingsStore store(dir);
  store.set("HTTPAdmin", "abcde");
  char out[16] = "keep";
  EXPECT_EQ(read_setting_text(out, 5, "HTTPAdmin"), -1);
  EXPECT_STREQ(out, "keep");
  EXPECT_EQ(read_setting_text(out, 6, "HTTPAdmin"), 0);
  EXPECT_STREQ(out, "abcde");
  EXPECT_EQ(read_setting_text(out, sizeof out, "Missing"), 0);
  EXPECT_STREQ(out, "");
}

TEST(ServerUtils, CpuTimesAndAffinity) {
  double kernel = -1, user = -1;
  EXPECT_EQ(get_cpu_times(0, &kernel, &user), -1);
  EXPECT_EQ(kernel, -1);
  EXPECT_EQ(get_cpu_times(2, nullptr, &user), -1);
  ASSERT_EQ(get_cpu_times(2, &kernel, &user), 0);
  EXPECT_GE(kernel, 0.0);
  EXPECT_GE(user, 0.0);

  uint32_t mask = 0, count = 0;
  get_processor_info(&mask, &count);
  EXPECT_GE(count, 1u);
  EXPECT_NE(mask, 0u);

  cpu_set_t before;
  ASSERT_EQ(sched_getaffinity(0, sizeof before, &before), 0);
  long cpus = sysconf(_SC_NPROCESSORS_CONF);
  if (cpus < 32) {
    set_process_affinity(1u << 31);  // a processor the system does not have
    cpu_set_t after;
    ASSERT_EQ(sched_getaffinity(0, sizeof after, &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&before, &after));
  }
  int first = -1;
  for (int i = 0; i < 32 && first < 0; ++i)
    if (CPU_ISSET(i, &before)) first = i;
  ASSERT_GE(first, 0);
  set_process_affinity(1u << first);
  cpu_set_t narrowed;
  ASSERT_EQ(sched_getaffinity(0, sizeof narrowed, &narrowed), 0);
  EXPECT_EQ(CPU_COUNT(&narrowed), 1);
  EXPECT_TRUE(CPU_ISSET(first, &narrowed));
  sched_setaffinity(0, sizeof before, &before);
}

}  // namespace

namespace {

TEST(ServerUtils, LogPaths) {
  setenv("TMPDIR", "/tmp/kyvek-tmp", 1);
  struct Case {
    const char* log_dir;
    const char* path;
  } cases[] = {
      {"", "/tmp/kyvek-tmp/kyvek_access.log"},          {"c:\\temp\\", "/tmp/kyvek-tmp/kyvek_access.log"},
      {"C:\\Temp", "/tmp/kyvek-tmp/kyvek_access.log"},  {"/var/log/kyvek/", "/var/log/kyvek/kyvek_access.log"},
      {"logs\\server", "logs/server/kyvek_access.log"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log_dir);
    std::snprintf(server_settings_working()->LogDir, 1024, "%s", c.log_dir);
    publish_server_settings();
    char out[256];
    ASSERT_EQ(server_log_path(out, sizeof out, "kyvek_access.log"), 0);
    EXPECT_STREQ(out, c.path);
  }
  char tiny[8];
  EXPECT_EQ(server_log_path(tiny, sizeof tiny, "kyvek_access.log"), -1);
  unsetenv("TMPDIR");
}

}  // namespace
