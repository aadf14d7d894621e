// Configuration access: registry modes on a temporary key store, installer mode
// on temporary odbc.ini files through the real libodbcinst.
#include "kysupp.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr const char* kRoot = "SOFTWARE\\Kyronde Vekamar\\Configuration";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// One temporary directory for the whole run: unixODBC keeps the system ini
// directory for the life of the process and caches what it reads, so the odbc.ini
// files are written once, before the installer is first used.
class OdbcFiles : public ::testing::Environment {
 public:
  void SetUp() override {
    char tmpl[] = "/tmp/kyvek-config-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir = tmpl;
    fs::create_directory(dir + "/sys");
    user_ini = dir + "/odbc.ini";
    std::ofstream(user_ini) << "[DSN1]\n"
                               "Driver=SQLite3\n"
                               "Server=db.example\n"
                               "work_dir_path=\"\"/dsn/work\"\"\n"
                               "\n"
                               "[DSN2]\n"
                               "Driver=SQLite3\n";
    ::setenv("ODBCSYSINI", (dir + "/sys").c_str(), 1);
    ::setenv("ODBCINI", user_ini.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir); }

  static inline std::string dir;
  static inline std::string user_ini;
};

const auto* const odbc_files = ::testing::AddGlobalTestEnvironment(new OdbcFiles);

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = OdbcFiles::dir + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".reg";
    std::ofstream(store_) << "REGEDIT4\n"
                             "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration\\System\\Settings]\n"
                             "\"Port\"=\"8888\"\n"
                             "\"Long\"=\"0123456789\"\n"
                             "\"Flags\"=dword:00018002\n"
                             "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration\\System\\default]\n"
                             "\"blob_path\"=\"\\\"/tmp/blobs\\\"\"\n"
                             "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Kyronde Vekamar\\Configuration\\ZAR\\Settings]\n"
                             "\"Port\"=\"9999\"\n";
    ::setenv("KYVEK_REGISTRY", store_.c_str(), 1);
    h_ = open_registry();
    ASSERT_NE(h_, nullptr);
    ASSERT_EQ(set_config(h_, kRoot), 0);
  }
  void TearDown() override {
    close_registry(h_);
    ::unsetenv("KYVEK_REGISTRY");
  }

  std::string read(int mode, const char* section, const char* key, const char* def = "", int cap = 512,
                   int* rc = nullptr) {
    char buf[600];
    int r = get_profile_string(h_, mode, section, key, def, buf, cap);
    if (rc) *rc = r;
    return buf;
  }

  std::string store_;
  ConfigHandle* h_ = nullptr;
};

TEST_F(ConfigTest, NewHandleDefaults) {
  ConfigHandle* h = open_registry();
  ASSERT_NE(h, nullptr);
  EXPECT_STREQ(h->root, "SOFTWARE\\Kyronde SQL Engine\\Configuration");
  EXPECT_STREQ(h->dsn, "");
  EXPECT_EQ(h->ini_function, nullptr);
  EXPECT_STREQ(registry_error(h), "Unknown error");
  EXPECT_EQ(registry_error(nullptr), nullptr);
  close_registry(h);
  close_registry(nullptr);
}

TEST_F(ConfigTest, ReadTable) {
  const std::string long_section(300, 's');
  struct Case {
    const char* name;
    int mode;
    const char* section;
    const char* key;
    const char* def;
    int cap;
    const char* want;
    int rc;
  };
  const Case cases[] = {
      {"value", 0, "Settings", "Port", "1", 100, "8888", 0},
      {"names in another case", 0, "settings", "PORT", "1", 100, "8888", 0},
      {"mode 1 place", 1, "Settings", "Port", "1", 100, "9999", 0},
      {"missing key", 0, "Missing", "Port", "default-text", 100, "default-text", 1},
      {"missing key, default cut", 0, "Missing", "Port", "default-text", 5, "defa", 1},
      {"missing value, default cut", 0, "Settings", "Nope", "default-text", 5, "defa", 0},
      {"exact fit", 0, "Settings", "Long", "dflt", 11, "0123456789", 0},
      {"one byte short", 0, "Settings", "Long", "dflt", 10, "dflt", 0},
      {"too long, default cut", 0, "Settings", "Long", "a-long-default", 10, "a-long-de", 0},
      {"null default", 0, "Settings", "Nope", nullptr, 100, "", 0},
      {"capacity 1", 0, "Settings", "Port", "x", 1, "", 0},
      {"number value as text", 0, "Settings", "Flags", "0", 100, "98306", 0},
      {"key path over 255", 0, long_section.c_str(), "Port", "d", 100, "d", 1},
      {"no section", 0, nullptr, "Port", "d", 100, "d", 1},
      {"installer value", 2, "DSN1", "Server", "d", 100, "db.example", 0},
      {"installer value cut", 2, "DSN1", "Server", "d", 5, "db.e", 0},
      {"installer missing key", 2, "DSN1", "Nope", "dflt-long", 5, "dflt", 0},
      {"installer missing section", 2, "NoSuchDSN", "Server", "d", 100, "d", 0},
      {"installer capacity 1", 2, "DSN1", "Server", "d", 1, "", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char buf[128];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(get_profile_string(h_, c.mode, c.section, c.key, c.def, buf, c.cap), c.rc);
    EXPECT_STREQ(buf, c.want);
    EXPECT_EQ(buf[c.cap], 'Z') << "wrote past the capacity";
  }
}

TEST_F(ConfigTest, RegistryWrites) {
  EXPECT_EQ(set_profile_string(h_, 0, "Settings", "LogDir", "/var/log/kyvek"), 0);
  EXPECT_STREQ(registry_error(h_), "Unknown error");
  EXPECT_EQ(set_profile_string(h_, 1, "settings", "port", "7777"), 0);
  EXPECT_EQ(read(0, "Settings", "logdir"), "/var/log/kyvek");
  EXPECT_EQ(read(1, "Settings", "Port"), "7777");
  EXPECT_NE(slurp(store_).find("\"Port\"=\"7777\""), std::string::npos);  // first case kept

  // A missing key is reported, and not created.
  EXPECT_EQ(set_profile_string(h_, 0, "Nothing", "A", "1"), -1);
  std::string error = registry_error(h_);
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  EXPECT_NE(error.find("System\\Nothing"), std::string::npos) << error;
  int rc = 0;
  read(0, "Nothing", "A", "", 512, &rc);
  EXPECT_EQ(rc, 1);

  // The error text is reset by the next write.
  EXPECT_EQ(set_profile_string(h_, 0, "Settings", "Port", "1"), 0);
  EXPECT_STREQ(registry_error(h_), "Unknown error");
  EXPECT_EQ(set_profile_string(h_, 0, "Settings", "Port", nullptr), -1);
  EXPECT_STRNE(registry_error(h_), "Unknown error");
}

TEST_F(ConfigTest, RootAndDataSourceMustFitTheirFields) {
  const std::string fits(255, 'r'), too_long(256, 'r');
  EXPECT_EQ(set_config(h_, too_long.c_str()), -1);
  EXPECT_STREQ(h_->root, kRoot);
  EXPECT_EQ(set_config(h_, nullptr), -1);
  EXPECT_EQ(set_config(h_, fits.c_str()), 0);
  EXPECT_EQ(h_->root, fits);

  EXPECT_EQ(set_dsn(h_, "DSN1"), 0);
  EXPECT_EQ(set_dsn(h_, too_long.c_str()), -1);
  EXPECT_STREQ(h_->dsn, "DSN1");
  EXPECT_EQ(set_dsn(h_, fits.c_str()), 0);
  EXPECT_EQ(h_->dsn, fits);
  EXPECT_EQ(set_dsn(h_, nullptr), 0);
  EXPECT_STREQ(h_->dsn, "");
}

TEST_F(ConfigTest, InstallerWritesReachOdbcIni) {
  EXPECT_EQ(set_profile_string(h_, 2, "DSN2", "Database", "/data/x.db"), 0);
  EXPECT_STREQ(registry_error(h_), "Unknown error");
  EXPECT_EQ(read(2, "DSN2", "Database"), "/data/x.db");
  EXPECT_NE(slurp(OdbcFiles::user_ini).find("Database=/data/x.db"), std::string::npos);
}

TEST_F(ConfigTest, InstallerRefusalIsReportedWithItsText) {
  EXPECT_EQ(set_profile_string(h_, 2, "", "Key", "v"), -1);
  EXPECT_STRNE(registry_error(h_), "Unknown error");
  EXPECT_STRNE(registry_error(h_), "");

  // A user file that cannot be written, for a section the system file lacks.
  const std::string saved = OdbcFiles::user_ini;
  ::setenv("ODBCINI", "/nonexistent-kyvek-dir/odbc.ini", 1);
  int rc = set_profile_string(h_, 2, "NewDSN", "Key", "v");
  ::setenv("ODBCINI", saved.c_str(), 1);
  EXPECT_EQ(rc, -1);
  EXPECT_STRNE(registry_error(h_), "Unknown error");
  EXPECT_FALSE(fs::exists(OdbcFiles::dir + "/sys/odbc.ini") &&
               slurp(OdbcFiles::dir + "/sys/odbc.ini").find("NewDSN") != std::string::npos);
}

TEST_F(ConfigTest, DefaultsFallBackAndLoseTheirQuotes) {
  char buf[64];
  // Without a data source: section "default" only, quotes kept.
  EXPECT_EQ(get_default(h_, "blob_path", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "\"/tmp/blobs\"");

  ASSERT_EQ(set_dsn(h_, "DSN1"), 0);
  // The data source lacks the key: section "default", quotes removed.
  EXPECT_EQ(get_default(h_, "blob_path", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "/tmp/blobs");
  // The data source's own value wins; doubled quotes at both ends go too.
  EXPECT_EQ(get_default(h_, "work_dir_path", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "/dsn/work");
  EXPECT_EQ(get_default(h_, "nowhere", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(get_default(h_, "blob_path", buf, 5), 0);
  EXPECT_STREQ(buf, "");  // a stored value that does not fit is not cut: the empty default stays
  EXPECT_EQ(get_default(h_, "blob_path", nullptr, 5), -1);
}

TEST_F(ConfigTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kWrites = 60;
  pid_t children[2];
  for (int p = 0; p < 2; ++p) {
    children[p] = ::fork();
    ASSERT_GE(children[p], 0);
    if (children[p] == 0) {
      ConfigHandle* h = open_registry();
      int failures = h == nullptr || set_config(h, kRoot) != 0;
      for (int i = 0; i < kWrites && failures == 0; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        failures += set_profile_string(h, 0, "Settings", name.c_str(), name.c_str()) != 0;
      }
      close_registry(h);
      ::_exit(failures == 0 ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int p = 0; p < 2; ++p) {
    for (int i = 0; i < kWrites; ++i) {
      std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
      ASSERT_EQ(read(0, "Settings", name.c_str(), "lost"), name);
    }
  }
  EXPECT_EQ(read(0, "Settings", "Port"), "8888");
}

TEST_F(ConfigTest, InstalledDefaultStore) {
  // The registry file as installed (configured for the build's prefix).
  const char* bin = std::getenv("KYVEK_BINARY_DIR");
  ASSERT_NE(bin, nullptr);
  fs::copy_file(std::string(bin) + "/packaging/registry.reg", store_, fs::copy_options::overwrite_existing);
  int rc = -1;
  EXPECT_EQ(read(0, "Settings", "Port", "", 512, &rc), "8888");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(read(0, "Settings", "HTTPAdmin"), "disabled");
  EXPECT_EQ(read(0, "Settings", "LogDir"), "/var/log/kyvek");
  read(0, "default", "blob_path", "", 512, &rc);
  EXPECT_EQ(rc, 0);
  // Writable as shipped.
  EXPECT_EQ(set_profile_string(h_, 0, "Settings", "Logging", "0x800"), 0) << registry_error(h_);
  EXPECT_EQ(read(0, "Settings", "Logging"), "0x800");
}

}  // namespace
