// A SQLite extension that only reports being loaded: its constructor creates
// "<its own path>.loaded". Tests check that a client can never make the
// server load it.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace {

__attribute__((constructor)) void mark_loaded() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&mark_loaded), &info) == 0 || info.dli_fname == nullptr) return;
  const std::string marker = std::string(info.dli_fname) + ".loaded";
  int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) ::close(fd);
}

}  // namespace

extern "C" int sqlite3_extension_init(void*, char**, const void*) { return 0; }
