/* Reading and rewriting the store file.
 *
 * Readers never lock: writers replace the file with rename, so an open always
 * sees one complete version. The parse of the last version read is kept per path
 * and reused while the file's bytes are unchanged (the file is small, so comparing
 * bytes is cheap and, unlike timestamps, exact).
 *
 * Writers hold an exclusive flock on "<store>.lock" while they re-read, change and
 * replace the store, so writers in any thread or process never lose each other's
 * changes. The lock file is never removed (removing it would let two writers hold
 * locks on different files). */
#include "registry/registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace kyvek::registry {
namespace {

constexpr size_t kMaxStoreSize = 64u << 20;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

struct CacheEntry {
  std::string bytes;
  std::shared_ptr<const Document> doc;
};

std::mutex cache_mutex;
std::map<std::string, CacheEntry> cache;  // guarded by cache_mutex

// Reads the whole file; a missing file gives "" and true in *missing.
Status read_file(const std::string& path, std::string* out, bool* missing) {
  out->clear();
  *missing = false;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) {
      *missing = true;
      return Status::Ok();
    }
    int e = errno;
    return Status::Error(e, error_text(e, "registry file " + path));
  }
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      return Status::Error(e, error_text(e, "reading registry file " + path));
    }
    if (n == 0) break;
    if (out->size() + static_cast<size_t>(n) > kMaxStoreSize)
      return Status::Error(EFBIG, error_text(EFBIG, "registry file " + path));
    out->append(buf, static_cast<size_t>(n));
  }
  return Status::Ok();
}

Status write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Status::Error(errno, "");
    }
    done += static_cast<size_t>(n);
  }
  return Status::Ok();
}

std::string directory_of(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes data to a temporary file beside path and renames it over path.
Status replace_file(const std::string& path, const std::string& data) {
  std::string tmp = path + ".XXXXXX";
  Fd fd(::mkostemp(tmp.data(), O_CLOEXEC));
  if (fd.get() < 0) {
    int e = errno;
    return Status::Error(e, error_text(e, "creating a temporary file beside " + path));
  }
  auto fail = [&](const char* what) {
    int e = errno;
    ::unlink(tmp.c_str());
    return Status::Error(e, error_text(e, std::string(what) + " " + tmp));
  };
  // Keep the store's permissions and owner; a new store is readable by all.
  struct stat st;
  mode_t mode = 0644;
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    if (::geteuid() == 0 && ::fchown(fd.get(), st.st_uid, st.st_gid) != 0) {
      // Not fatal: the file stays root's.
    }
  }
  if (::fchmod(fd.get(), mode) != 0) return fail("setting the mode of");
  if (Status s = write_all(fd.get(), data); !s.ok()) {
    errno = s.code;
    return fail("writing");
  }
  if (::fsync(fd.get()) != 0) return fail("flushing");
  if (::close(fd.release()) != 0) return fail("closing");
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail("renaming");
  // Make the rename itself durable.
  Fd dir(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() >= 0) ::fsync(dir.get());
  return Status::Ok();
}

void remember(const std::string& path, std::string bytes, std::shared_ptr<const Document> doc) {
  std::lock_guard<std::mutex> lock(cache_mutex);
  cache[path] = CacheEntry{std::move(bytes), std::move(doc)};
}

}  // namespace

std::string error_text(int code, const std::string& what) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be buf.
  const char* text = ::strerror_r(code, buf, sizeof buf);
  std::string s = text ? text : "Unknown error";
  if (!what.empty()) s += " (" + what + ")";
  return s;
}

Status load_document(const std::string& path, std::shared_ptr<const Document>* out) {
  std::string bytes;
  bool missing = false;
  if (Status s = read_file(path, &bytes, &missing); !s.ok()) return s;
  {
    std::lock_guard<std::mutex> lock(cache_mutex);
    auto it = cache.find(path);
    if (it != cache.end() && it->second.bytes == bytes) {
      *out = it->second.doc;
      return Status::Ok();
    }
  }
  auto doc = std::make_shared<const Document>(parse_document(bytes));
  *out = doc;
  remember(path, std::move(bytes), std::move(doc));
  return Status::Ok();
}

Status inspect_store(const std::string& path, bool* missing, std::vector<int>* bad_lines) {
  bool absent = false;
  std::string bytes;
  if (Status s = read_file(path, &bytes, &absent); !s.ok()) return s;
  if (missing) *missing = absent;
  if (bad_lines) *bad_lines = parse_document(bytes).bad_lines;
  return Status::Ok();
}

Status modify_document(const std::string& path, const std::function<Status(Document&)>& change) {
  std::string lock_path = path + ".lock";
  Fd lock(::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (lock.get() < 0) {
    int e = errno;
    return Status::Error(e, error_text(e, "registry lock file " + lock_path));
  }
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int e = errno;
    return Status::Error(e, error_text(e, "locking " + lock_path));
  }
  // The lock is released when the descriptor closes.
  std::string bytes;
  bool missing = false;
  if (Status s = read_file(path, &bytes, &missing); !s.ok()) return s;
  Document doc = parse_document(bytes);
  if (!doc.bad_lines.empty()) {
    return Status::Error(EINVAL, error_text(EINVAL, "registry file " + path + " has an unreadable line " +
                                                        std::to_string(doc.bad_lines.front()) + "; not rewritten"));
  }
  if (Status s = change(doc); !s.ok()) return s;
  std::string text = write_document(doc);
  if (Status s = replace_file(path, text); !s.ok()) return s;
  remember(path, std::move(text), std::make_shared<const Document>(std::move(doc)));
  return Status::Ok();
}

}  // namespace kyvek::registry
