// Test environment of the server state units: a temporary directory with its
// own key store, event log file and shared memory name.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "registry/registry.h"

namespace state_test {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Kyronde Vekamar\\Configuration\\System\\Settings";

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/kyvek-state-XXXXXX";
    const char* made = mkdtemp(pattern);
    path_ = made ? made : "";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A key store of the test's own with the Settings key in it.
class SettingsStore {
 public:
  explicit SettingsStore(const TempDir& dir) {
    setenv("KYVEK_REGISTRY", dir.file("registry.reg").c_str(), 1);
    EXPECT_TRUE(kyvek::registry::create_key(kSettingsKey).ok());
  }
  void set(const std::string& name, const std::string& value) {
    kyvek::registry::Key key;
    ASSERT_TRUE(kyvek::registry::Key::open(kSettingsKey, kyvek::registry::Access::kWrite, &key).ok());
    ASSERT_TRUE(key.set_value(name, value).ok());
  }
  void remove(const std::string& name) {
    kyvek::registry::Key key;
    ASSERT_TRUE(kyvek::registry::Key::open(kSettingsKey, kyvek::registry::Access::kWrite, &key).ok());
    (void)key.delete_value(name);
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Fixed clock for the units that read the server clock.
inline time_t fake_now = 0;
inline time_t fake_clock() { return fake_now; }

}  // namespace state_test
