// The one rule for the files the server writes for its administrators: 0640
// and group adm in a directory of group adm, else 0600; applied on every open
// to a file of this process's own.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "logfile/log_file.h"

namespace fs = std::filesystem;

namespace {

struct TempDir {
  TempDir() {
    std::string templ = (fs::temp_directory_path() / "kylogfile.XXXXXX").string();
    path = ::mkdtemp(templ.data());
  }
  ~TempDir() { fs::remove_all(path); }
  fs::path path;
};

struct stat stat_of(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st;
}

TEST(LogFile, ModeAndGroupFollowTheDirectory) {
  group* adm = ::getgrnam("adm");
  ASSERT_NE(adm, nullptr) << "the group adm is part of every Debian system";
  ASSERT_EQ(::geteuid(), 0u) << "giving a file the group adm takes root (the tests run as root)";
  TempDir plain, logs;
  ASSERT_EQ(::chown(logs.path.c_str(), uid_t(-1), adm->gr_gid), 0);
  struct {
    const char* name;
    fs::path file;
    mode_t mode;
    gid_t group;
  } cases[] = {
      {"directory of group adm", logs.path / "kyvekserver.log", 0640, adm->gr_gid},
      {"any other directory", plain.path / "kyvekserver.log", 0600, stat_of(plain.path).st_gid},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = ky_open_log_file(c.file.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0);
    ::close(fd);
    struct stat st = stat_of(c.file);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_gid, c.group);
  }
  // A file made before under another rule comes to this one when opened.
  fs::path old = logs.path / "audit.log";
  int made = ::open(old.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(made, 0);
  ::close(made);
  ASSERT_EQ(::chown(old.c_str(), uid_t(-1), 0), 0);
  int fd = ky_open_log_file(old.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(stat_of(old).st_mode & 07777, 0640u);
  EXPECT_EQ(stat_of(old).st_gid, adm->gr_gid);
  // A symbolic link in a log file's place is never followed.
  fs::create_symlink("/etc/passwd", logs.path / "trap.log");
  EXPECT_LT(ky_open_log_file((logs.path / "trap.log").c_str(), O_WRONLY | O_APPEND), 0);
}

}  // namespace
