// The listener's live workers in named shared memory (see worker_list.h).
#include "worker_list.h"

#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "shm/shm.h"
#include "stats.h"
#include "thread_table.h"

namespace {

constexpr uint32_t kMagic = 0x4B59574C;  // "KYWL": a block this code laid out

struct WorkerBlock {
  uint32_t magic;
  uint32_t slots;
  uint32_t reserved[6];
  worker_slot_t slot[WORKER_LIST_SLOTS];
};

std::string block_name() {
  char name[256];
  server_stats_shm_name(name, sizeof name);
  return std::string(name) + ".workers";
}

// This process's attachment (the listener's, or a child's), guarded by
// attach_mutex; the slot a worker holds is its own thread's.
std::mutex attach_mutex;
shm_block g_mapping{nullptr, 0, -1};
thread_local worker_slot_t* t_slot = nullptr;

WorkerBlock* attached() {
  std::lock_guard<std::mutex> lock(attach_mutex);
  return static_cast<WorkerBlock*>(g_mapping.view);
}

bool process_alive(uint32_t pid) { return pid != 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

void copy_text(char* field, size_t size, const char* text) { std::snprintf(field, size, "%s", text ? text : ""); }

// The owner's writes: the sequence word is odd in between.
void begin_write(worker_slot_t* s) { __atomic_add_fetch(&s->sequence, 1, __ATOMIC_ACQ_REL); }
void end_write(worker_slot_t* s) { __atomic_add_fetch(&s->sequence, 1, __ATOMIC_RELEASE); }

void clear_slot(worker_slot_t* s) {
  begin_write(s);
  __atomic_store_n(&s->kind, 0u, __ATOMIC_RELAXED);
  s->id = 0;
  s->start_time = 0;
  std::memset(s->client_address, 0, sizeof s->client_address);
  std::memset(s->user, 0, sizeof s->user);
  std::memset(s->dsn, 0, sizeof s->dsn);
  end_write(s);
  __atomic_store_n(&s->owner, 0u, __ATOMIC_RELEASE);
}

// A consistent copy of a live slot; false for a free, unfinished or dead one.
bool read_slot(const worker_slot_t* s, worker_info_t* out) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint32_t before = __atomic_load_n(&s->sequence, __ATOMIC_ACQUIRE);
    if (before & 1) continue;
    uint32_t owner = __atomic_load_n(&s->owner, __ATOMIC_ACQUIRE);
    if (owner == 0) return false;
    out->kind = __atomic_load_n(&s->kind, __ATOMIC_RELAXED);
    out->id = s->id;
    out->start_time = s->start_time;
    stats_copy_text(s->client_address, sizeof s->client_address, out->client_address, sizeof out->client_address);
    stats_copy_text(s->user, sizeof s->user, out->user, sizeof out->user);
    stats_copy_text(s->dsn, sizeof s->dsn, out->dsn, sizeof out->dsn);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&s->sequence, __ATOMIC_RELAXED) != before) continue;
    return out->kind != 0 && process_alive(owner);
  }
  return false;
}

}  // namespace

extern "C" int worker_list_create(void) {
  std::lock_guard<std::mutex> lock(attach_mutex);
  if (g_mapping.view) return 0;
  shm_block mapping{};
  int fresh = 0, error = 0;
  if (shm_block_create(block_name().c_str(), sizeof(WorkerBlock), &mapping, &fresh, &error) != SHM_OK) {
    errno = error;
    return -1;
  }
  auto* b = static_cast<WorkerBlock*>(mapping.view);
  if (fresh || b->magic != kMagic || b->slots != WORKER_LIST_SLOTS) {
    std::memset(b, 0, sizeof *b);
    b->slots = WORKER_LIST_SLOTS;
    __atomic_store_n(&b->magic, kMagic, __ATOMIC_RELEASE);
  } else {
    for (worker_slot_t& s : b->slot) {
      uint32_t owner = __atomic_load_n(&s.owner, __ATOMIC_ACQUIRE);
      if (owner != 0 && !process_alive(owner)) clear_slot(&s);
    }
  }
  if (fresh) shm_block_ready(&mapping);
  g_mapping = mapping;
  return 0;
}

// The name goes when no other process holds the block; the mapping stays, so
// that a worker thread still ending can give its slot back.
extern "C" void worker_list_release(void) {
  std::lock_guard<std::mutex> lock(attach_mutex);
  if (g_mapping.fd < 0) return;
  if (::flock(g_mapping.fd, LOCK_EX | LOCK_NB) == 0) {
    ::shm_unlink(block_name().c_str());
    ::flock(g_mapping.fd, LOCK_SH);
  }
}

extern "C" void worker_list_enter(uint32_t kind, const char* client_address, int64_t start_time) {
  if (t_slot) return;
  WorkerBlock* b = attached();
  if (!b && kind == THREAD_KIND_PROCESS) {
    std::lock_guard<std::mutex> lock(attach_mutex);
    shm_block mapping{};
    int error = 0;
    if (!g_mapping.view && shm_block_open(block_name().c_str(), sizeof(WorkerBlock), &mapping, &error) == SHM_OK)
      g_mapping = mapping;
    b = static_cast<WorkerBlock*>(g_mapping.view);
  }
  if (!b || __atomic_load_n(&b->magic, __ATOMIC_ACQUIRE) != kMagic) return;
  const uint32_t pid = static_cast<uint32_t>(::getpid());
  for (worker_slot_t& s : b->slot) {
    uint32_t free_word = 0;
    if (!__atomic_compare_exchange_n(&s.owner, &free_word, pid, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) continue;
    begin_write(&s);
    s.id = kind == THREAD_KIND_THREAD ? static_cast<uint32_t>(::syscall(SYS_gettid)) : pid;
    s.start_time = start_time;
    copy_text(s.client_address, sizeof s.client_address, client_address);
    std::memset(s.user, 0, sizeof s.user);
    std::memset(s.dsn, 0, sizeof s.dsn);
    __atomic_store_n(&s.kind, kind, __ATOMIC_RELAXED);
    end_write(&s);
    t_slot = &s;
    return;
  }
}

extern "C" void worker_list_note_connection(const char* user, const char* dsn) {
  worker_slot_t* s = t_slot;
  if (!s) return;
  begin_write(s);
  copy_text(s->user, sizeof s->user, user);
  copy_text(s->dsn, sizeof s->dsn, dsn);
  end_write(s);
}

extern "C" void worker_list_note_user(const char* user) {
  worker_slot_t* s = t_slot;
  if (!s) return;
  begin_write(s);
  copy_text(s->user, sizeof s->user, user);
  end_write(s);
}

extern "C" void worker_list_leave(void) {
  worker_slot_t* s = t_slot;
  t_slot = nullptr;
  if (s) clear_slot(s);
}

extern "C" void worker_list_forget_process(pid_t pid) {
  WorkerBlock* b = attached();
  if (!b || pid <= 0) return;
  for (worker_slot_t& s : b->slot)
    if (__atomic_load_n(&s.owner, __ATOMIC_ACQUIRE) == static_cast<uint32_t>(pid)) clear_slot(&s);
}

extern "C" int worker_list_read(worker_info_t* out, size_t capacity) {
  shm_block mapping{};
  int error = 0;
  if (shm_block_open(block_name().c_str(), sizeof(WorkerBlock), &mapping, &error) != SHM_OK) return -1;
  const auto* b = static_cast<const WorkerBlock*>(mapping.view);
  size_t n = 0;
  if (__atomic_load_n(&b->magic, __ATOMIC_ACQUIRE) == kMagic)
    for (const worker_slot_t& s : b->slot)
      if (n < capacity && read_slot(&s, &out[n])) ++n;
  shm_block_close(&mapping);
  std::stable_sort(out, out + n,
                   [](const worker_info_t& x, const worker_info_t& y) { return x.start_time < y.start_time; });
  return static_cast<int>(n);
}
