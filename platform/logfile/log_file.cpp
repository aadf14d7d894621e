#include "log_file.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

constexpr long kUnknown = -2;  // not looked up yet
constexpr long kNoGroup = -1;  // no group "adm" on this system

std::atomic<long> g_adm_gid{kUnknown};

long adm_gid() {
  long gid = g_adm_gid.load();
  if (gid != kUnknown) return gid;
  group entry{};
  group* found = nullptr;
  char buffer[4096];
  gid = (::getgrnam_r("adm", &entry, buffer, sizeof buffer, &found) == 0 && found) ? long(found->gr_gid) : kNoGroup;
  g_adm_gid.store(gid);
  return gid;
}

// The group of the directory that holds path, or -1. No allocation.
long directory_group(const char* path) {
  char dir[4096];
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    dir[0] = '.';
    dir[1] = '\0';
  } else {
    size_t n = slash == path ? 1 : size_t(slash - path);
    if (n >= sizeof dir) return -1;
    std::memcpy(dir, path, n);
    dir[n] = '\0';
  }
  struct stat st;
  return ::stat(dir, &st) == 0 ? long(st.st_gid) : -1;
}

}  // namespace

extern "C" void ky_log_file_rule_init(void) { (void)adm_gid(); }

extern "C" void ky_apply_log_file_rule(int fd, const char* path) {
  struct stat st;
  if (fd < 0 || path == nullptr || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return;
  const long adm = adm_gid();
  if (adm >= 0 && directory_group(path) == adm) {
    if (st.st_gid != gid_t(adm) && ::fchown(fd, uid_t(-1), gid_t(adm)) != 0) {
      (void)::fchmod(fd, 0600);  // a group it may not give stays shut out
      return;
    }
    (void)::fchmod(fd, 0640);
    return;
  }
  (void)::fchmod(fd, 0600);
}

extern "C" int ky_open_log_file(const char* path, int flags) {
  int fd = ::open(path, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) ky_apply_log_file_rule(fd, path);
  return fd;
}
