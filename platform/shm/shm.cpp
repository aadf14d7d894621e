// Named shared memory on shm_open, mmap and flock.
#include "shm/shm.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

std::string object_name(const char* name) {
  std::string base = name ? name : "";
  return !base.empty() && base[0] == '/' ? base : "/" + base;
}

int fail(int fd, int step, int code, int* error) {
  if (fd >= 0) close(fd);
  if (error) *error = code;
  return step;
}

// A block someone else made is not trusted: shared memory names are open to
// every account.
bool owned_by_us(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && st.st_uid == geteuid();
}

size_t current_size(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

int map(int fd, size_t size, shm_block* out, int* error) {
  void* view = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (view == MAP_FAILED) return fail(fd, SHM_FAILED_MAP, errno, error);
  out->view = view;
  out->size = size;
  out->fd = fd;
  return SHM_OK;
}

}  // namespace

extern "C" int shm_block_create(const char* name, size_t size, shm_block* out, int* fresh, int* error) {
  if (out == nullptr || size == 0) return fail(-1, SHM_FAILED_OPEN, EINVAL, error);
  *out = shm_block{nullptr, 0, -1};
  int fd = shm_open(object_name(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return fail(-1, SHM_FAILED_OPEN, errno, error);
  bool is_new = flock(fd, LOCK_EX | LOCK_NB) == 0;
  // Waiting for the shared lock also waits for a creator still initialising.
  if (!is_new && flock(fd, LOCK_SH) != 0) return fail(fd, SHM_FAILED_OPEN, errno, error);
  if (!owned_by_us(fd)) return fail(fd, SHM_FAILED_OPEN, EPERM, error);
  if (current_size(fd) < size && ftruncate(fd, static_cast<off_t>(size)) != 0)
    return fail(fd, SHM_FAILED_OPEN, errno, error);
  int rc = map(fd, size, out, error);
  if (rc != SHM_OK) return rc;
  if (fresh) *fresh = is_new ? 1 : 0;
  if (!is_new) return SHM_OK;
  if (fresh == nullptr) shm_block_ready(out);
  return SHM_OK;
}

extern "C" void shm_block_ready(shm_block* block) {
  if (block != nullptr && block->fd >= 0) flock(block->fd, LOCK_SH);
}

extern "C" int shm_block_open(const char* name, size_t size, shm_block* out, int* error) {
  if (out == nullptr || size == 0) return fail(-1, SHM_FAILED_OPEN, EINVAL, error);
  *out = shm_block{nullptr, 0, -1};
  int fd = shm_open(object_name(name).c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return fail(-1, SHM_FAILED_OPEN, errno, error);
  if (flock(fd, LOCK_EX | LOCK_NB) == 0)  // nobody holds it: not a live block
    return fail(fd, SHM_FAILED_OPEN, ENOENT, error);
  if (flock(fd, LOCK_SH) != 0) return fail(fd, SHM_FAILED_OPEN, errno, error);
  if (!owned_by_us(fd)) return fail(fd, SHM_FAILED_OPEN, EPERM, error);
  if (current_size(fd) < size) return fail(fd, SHM_FAILED_MAP, EINVAL, error);
  return map(fd, size, out, error);
}

extern "C" int shm_block_close(shm_block* block) {
  if (block == nullptr) return EINVAL;
  int result = 0;
  if (block->view != nullptr && munmap(block->view, block->size) != 0) result = errno;
  if (block->fd >= 0 && close(block->fd) != 0 && result == 0) result = errno;
  *block = shm_block{nullptr, 0, -1};
  return result;
}

extern "C" int shm_block_release(shm_block* block, const char* name) {
  if (block == nullptr) return EINVAL;
  // The exclusive lock is granted only when no other process holds the block:
  // then nobody needs its name any more and the object goes with the last user.
  if (block->fd >= 0 && name != nullptr && flock(block->fd, LOCK_EX | LOCK_NB) == 0)
    shm_unlink(object_name(name).c_str());
  return shm_block_close(block);
}
