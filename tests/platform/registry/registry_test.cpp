// Key store: file format, names, exact-fit reads, atomic locked writes.
#include "registry/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "registry/registry_format.h"

namespace fs = std::filesystem;
using namespace kyvek::registry;

namespace {

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kyvek-registry-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    store_ = dir_ + "/registry.reg";
    ::setenv("KYVEK_REGISTRY", store_.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("KYVEK_REGISTRY");
    fs::remove_all(dir_);
  }

  void write_store(const std::string& text) { std::ofstream(store_, std::ios::binary) << text; }
  std::string read_store() {
    std::ifstream in(store_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  Key open_key(const char* path, Access access = Access::kWrite) {
    Key k;
    Status s = Key::open(path, access, &k);
    EXPECT_TRUE(s.ok()) << s.message;
    return k;
  }
  std::string value(const Key& k, const char* name) {
    std::string v;
    Status s = k.read_value(name, &v);
    EXPECT_TRUE(s.ok()) << s.message;
    return v;
  }

  std::string dir_;
  std::string store_;
};

TEST_F(RegistryTest, StorePathComesFromTheEnvironment) {
  EXPECT_EQ(store_path(), store_);
  ::setenv("KYVEK_REGISTRY", "", 1);
  EXPECT_EQ(store_path(), kDefaultStorePath);
}

TEST_F(RegistryTest, OpenNeverCreatesAndMissingKeysAreEnoent) {
  Key k;
  Status s = Key::open("SOFTWARE\\Nothing", Access::kRead, &k);
  EXPECT_EQ(s.code, ENOENT);
  EXPECT_NE(s.message.find("SOFTWARE\\Nothing"), std::string::npos) << s.message;
  EXPECT_FALSE(fs::exists(store_));

  ASSERT_TRUE(create_key("SOFTWARE\\A\\B").ok());
  EXPECT_EQ(Key::open("SOFTWARE\\A\\C", Access::kWrite, &k).code, ENOENT);
  // Levels above a created key exist too; bad names are refused.
  EXPECT_TRUE(Key::open("SOFTWARE\\A", Access::kRead, &k).ok());
  for (const char* bad : {"", "SOFTWARE\\\\A", "SOFTWARE\\A\\", "SOFTWARE\\A\nB"})
    EXPECT_EQ(Key::open(bad, Access::kRead, &k).code, EINVAL) << bad;
}

TEST_F(RegistryTest, NamesMatchWithoutCaseAndKeepTheirFirstCase) {
  ASSERT_TRUE(create_key("SOFTWARE\\Vendor\\System\\Settings").ok());
  Key w = open_key("software\\VENDOR\\system\\settings");
  ASSERT_TRUE(w.set_value("LogDir", "/var/log").ok());
  ASSERT_TRUE(w.set_value("LOGDIR", "/srv/log").ok());

  Key r = open_key("SOFTWARE\\Vendor\\System\\Settings", Access::kRead);
  EXPECT_EQ(value(r, "logdir"), "/srv/log");
  std::vector<Value> values;
  ASSERT_TRUE(r.values(&values).ok());
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "LogDir");
  EXPECT_NE(read_store().find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\System\\Settings]"), std::string::npos);
}

TEST_F(RegistryTest, ReadsFitExactlyOrLeaveTheBufferAlone) {
  ASSERT_TRUE(create_key("K").ok());
  Key k = open_key("K");
  ASSERT_TRUE(k.set_value("v", "abcd").ok());

  char buf[8];
  size_t len = 0;
  ASSERT_TRUE(k.read_value("v", buf, 5, &len).ok());  // four characters and the NUL
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(len, 4u);

  std::memcpy(buf, "xxxxxxx", 8);
  EXPECT_EQ(k.read_value("v", buf, 4).code, EOVERFLOW);
  EXPECT_STREQ(buf, "xxxxxxx");
  EXPECT_EQ(k.read_value("missing", buf, sizeof buf).code, ENOENT);
}

TEST_F(RegistryTest, WritesNeedWriteAccessAndAnExistingKey) {
  ASSERT_TRUE(create_key("K").ok());
  Key r = open_key("K", Access::kRead);
  EXPECT_EQ(r.set_value("v", "x").code, EACCES);

  Key w = open_key("K");
  // The key disappears behind the opened handle: the write must not bring it back.
  write_store("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Other]\n");
  EXPECT_EQ(w.set_value("v", "x").code, ENOENT);
  EXPECT_EQ(read_store().find("[HKEY_LOCAL_MACHINE\\K]"), std::string::npos);
}

TEST_F(RegistryTest, ValuesKeepOrderAndTypes) {
  ASSERT_TRUE(create_key("K").ok());
  Key k = open_key("K");
  ASSERT_TRUE(k.set_value("first", "1").ok());
  ASSERT_TRUE(k.set_dword("second", 0x1f).ok());
  ASSERT_TRUE(k.set_value("third", "3").ok());
  ASSERT_TRUE(k.set_value("FIRST", "one").ok());  // replaced in place
  ASSERT_TRUE(k.delete_value("third").ok());
  EXPECT_EQ(k.delete_value("third").code, ENOENT);

  std::vector<Value> values;
  ASSERT_TRUE(k.values(&values).ok());
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].name, "first");
  EXPECT_EQ(values[0].data, "one");
  EXPECT_EQ(values[1].type, ValueType::kDword);
  EXPECT_EQ(values[1].data, "31");
  EXPECT_NE(read_store().find("\"second\"=dword:0000001f\n"), std::string::npos);
}

// Texts that would break a naive line format: each must come back unchanged and
// the file must keep one line per value.
TEST_F(RegistryTest, EscapedTextsRoundTrip) {
  struct Case {
    const char* name;
    const char* data;
  };
  const Case cases[] = {
      {"plain", "text"},
      {"path", "C:\\dir\\file"},
      {"quote\"in\"name", "say \"hi\""},
      {"breaks", "line1\nline2\r\nline3"},
      {"trailing backslash\\", "ends with \\"},
      {"fake end", "\"\n[HKEY_LOCAL_MACHINE\\Injected]\n\"x\"=\"y"},
      {"", "unnamed value"},
      {"empty", ""},
  };
  ASSERT_TRUE(create_key("SOFTWARE\\Esc").ok());
  Key k = open_key("SOFTWARE\\Esc");
  for (const auto& c : cases) ASSERT_TRUE(k.set_value(c.name, c.data).ok()) << c.name;

  std::string text = read_store();
  EXPECT_EQ(text.find("Injected]"), text.find("Injected]\\n"));  // only inside the escaped text
  Document doc = parse_document(text);
  EXPECT_TRUE(doc.bad_lines.empty());
  EXPECT_EQ(write_document(doc), text);
  const StoredKey* key = doc.find_key("HKEY_LOCAL_MACHINE\\SOFTWARE\\Esc");
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), std::size(cases));
  EXPECT_EQ(doc.find_key("HKEY_LOCAL_MACHINE\\Injected"), nullptr);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(key->values[i].name, cases[i].name);
    EXPECT_EQ(key->values[i].data, cases[i].data);
    EXPECT_EQ(value(k, cases[i].name), cases[i].data);
  }
}

TEST_F(RegistryTest, HandWrittenStoresAreReadAndKeptOnRewrite) {
  write_store(
      "; written by hand\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\App\\System\\Settings]\r\n"
      "\"Path\"=\"C:\\Program Files\\App\"\r\n"
      "\"Flags\"=dword:00018002\r\n"
      "\"Blob\"=hex:01,02,03\r\n"
      "@=\"default\"\r\n");
  Key k = open_key("SOFTWARE\\App\\System\\Settings");
  EXPECT_EQ(value(k, "Path"), "C:\\Program Files\\App");  // single backslashes are kept
  EXPECT_EQ(value(k, "Flags"), "98306");
  EXPECT_EQ(value(k, ""), "default");
  EXPECT_EQ(value(k, "Blob"), "hex:01,02,03");

  ASSERT_TRUE(k.set_value("New", "n").ok());
  std::string text = read_store();
  EXPECT_EQ(text.rfind("REGEDIT4\n\n; written by hand\n", 0), 0u);
  EXPECT_NE(text.find("\"Blob\"=hex:01,02,03\n"), std::string::npos);
  EXPECT_NE(text.find("\"Flags\"=dword:00018002\n"), std::string::npos);
  EXPECT_EQ(value(k, "Path"), "C:\\Program Files\\App");
}

TEST_F(RegistryTest, UnreadableLinesAreSkippedButNeverRewritten) {
  const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n\"good\"=\"1\"\n\"broken=\"2\n\"after\"=\"3\"\n";
  write_store(text);
  Key k = open_key("K");
  EXPECT_EQ(value(k, "good"), "1");
  EXPECT_EQ(value(k, "after"), "3");
  Status s = k.set_value("x", "y");
  EXPECT_EQ(s.code, EINVAL);
  EXPECT_NE(s.message.find("line 5"), std::string::npos) << s.message;
  EXPECT_EQ(read_store(), text);
}

TEST_F(RegistryTest, RewriteKeepsPermissionsAndLeavesNoTemporaryFiles) {
  ASSERT_TRUE(create_key("K").ok());
  ASSERT_EQ(::chmod(store_.c_str(), 0600), 0);
  Key k = open_key("K");
  ASSERT_TRUE(k.set_value("v", "1").ok());
  struct stat st;
  ASSERT_EQ(::stat(store_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(RegistryTest, FailedWriteReportsTheSystemErrorAndKeepsTheStore) {
  ASSERT_TRUE(create_key("K").ok());
  Key k = open_key("K");
  const std::string before = read_store();
  // A directory where the lock file belongs makes every write fail, even for root.
  fs::remove(store_ + ".lock");
  fs::create_directory(store_ + ".lock");
  Status s = k.set_value("v", "1");
  EXPECT_EQ(s.code, EISDIR);
  EXPECT_NE(s.message.find("Is a directory"), std::string::npos) << s.message;
  EXPECT_EQ(read_store(), before);
}

TEST_F(RegistryTest, ConcurrentWritersInOneProcessLoseNothing) {
  ASSERT_TRUE(create_key("K").ok());
  constexpr int kThreads = 4, kWrites = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      Key k;
      ASSERT_TRUE(Key::open("K", Access::kWrite, &k).ok());
      for (int i = 0; i < kWrites; ++i) {
        std::string name = "t" + std::to_string(t) + "_" + std::to_string(i);
        ASSERT_TRUE(k.set_value(name, name).ok());
        std::string back;
        ASSERT_TRUE(k.read_value(name, &back).ok());
        ASSERT_EQ(back, name);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::vector<Value> values;
  ASSERT_TRUE(open_key("K", Access::kRead).values(&values).ok());
  EXPECT_EQ(values.size(), size_t{kThreads * kWrites});
}

}  // namespace
