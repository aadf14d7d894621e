// The shared statistics block in named shared memory (platform/shm): a block
// that no process holds when the listener creates it starts zeroed; child
// processes only attach to a block that a live process holds.
#include "stats.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "events.h"
#include "server_utils.h"
#include "settings.h"
#include "shm/shm.h"
#include "thread_table.h"
#include "trace_log.h"
#include "logfile/log_file.h"
#include "text_parsers.h"

namespace {

constexpr uint32_t kLockMagic = 0x4B59534C;  // marks an initialised block lock

struct BlockLock {
  pthread_mutex_t mutex;
  uint32_t magic;
};
static_assert(sizeof(BlockLock) <= sizeof(server_stats_t::internal));

std::mutex mapping_mutex;
// The mapping of each attached block, guarded by mapping_mutex (reachable and
// never destroyed, so process exit never races a late release).
std::map<server_stats_t*, shm_block>* mappings = new std::map<server_stats_t*, shm_block>;

thread_local char ipc_error[512];

BlockLock* block_lock(server_stats_t* block) { return reinterpret_cast<BlockLock*>(block->internal); }

void init_block_lock(server_stats_t* block) {
  BlockLock* lock = block_lock(block);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(&lock->mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  __atomic_store_n(&lock->magic, kLockMagic, __ATOMIC_RELEASE);
}

std::string shm_name() {
  char name[256];
  server_stats_shm_name(name, sizeof name);
  return name;
}

void creation_failed(const char* format, int error, uint32_t* error_out) {
  char text[256];
  std::snprintf(text, sizeof text, format, static_cast<long>(error));
  server_trace(kTraceExit, "%s\n", text);
  log_server_event(nullptr, server_event_source(), EVENTLOG_ERROR, EV_ERROR_TEXT, text, nullptr);
  if (error_out) *error_out = static_cast<uint32_t>(error);
}

void remember(server_stats_t* block, const shm_block& mapping) {
  std::lock_guard<std::mutex> lock(mapping_mutex);
  (*mappings)[block] = mapping;
}

void store_max(uint32_t* target, uint32_t value) {
  uint32_t seen = __atomic_load_n(target, __ATOMIC_RELAXED);
  while (seen < value && !__atomic_compare_exchange_n(target, &seen, value, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

void set_ipc_error(const char* what, int error) {
  char* text = nullptr;
  format_system_error(&text, error);
  if (text)
    std::snprintf(ipc_error, sizeof ipc_error, "%s - %s", what, text);
  else
    std::snprintf(ipc_error, sizeof ipc_error, "%s - error %d", what, error);
  std::free(text);
}

void add_client_host(server_stats_t* block, const void* arg, const char* host_name) {
  // The block keeps 15 characters: a long IPv6 address is cut.
  char address[sizeof block->hosts[0].address] = "";
  socket_address_text(static_cast<const sockaddr*>(arg), address, sizeof address);
  const char* name = host_name ? host_name : "unknown";
  stats_lock(block);
  uint32_t used = block->host_count;
  if (used > SERVER_STATS_MAX_HOSTS) used = SERVER_STATS_MAX_HOSTS;
  for (uint32_t i = 0; i < used; ++i) {
    server_stats_host_t& host = block->hosts[i];
    if (strncmp(host.address, address, sizeof host.address) == 0) {
      __atomic_add_fetch(&host.connections, 1, __ATOMIC_RELAXED);
      stats_unlock(block);
      return;
    }
  }
  if (used < SERVER_STATS_MAX_HOSTS) {
    server_stats_host_t& host = block->hosts[used];
    std::memset(&host, 0, sizeof host);
    std::snprintf(host.address, sizeof host.address, "%s", address);
    std::snprintf(host.name, sizeof host.name, "%s", name);
    host.connections = 1;
    block->host_count = used + 1;
  }
  stats_unlock(block);
}

std::string ctime_text(int64_t when) {
  time_t t = static_cast<time_t>(when);
  char buf[64] = "";
  if (ctime_r(&t, buf) == nullptr) return "";
  std::string text = buf;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

}  // namespace

extern "C" size_t server_stats_shm_name(char* out, size_t size) {
  const char* name = std::getenv("KYVEK_SHM_NAME");
  const char* base = (name && *name) ? name : SERVER_STATS_NAME;
  const char* slash = base[0] == '/' ? "" : "/";
  int length = std::snprintf(size > 0 ? out : nullptr, size, "%s%s", slash, base);
  return length > 0 ? static_cast<size_t>(length) : 0;
}

extern "C" server_stats_t* create_shared_statistics(uint32_t* error) {
  server_trace(kTraceDetail, "Creating shared memory\n");
  shm_block mapping{};
  int fresh = 0;
  int code = 0;
  int rc = shm_block_create(shm_name().c_str(), SERVER_STATS_SIZE, &mapping, &fresh, &code);
  if (rc != SHM_OK) {
    creation_failed(
        rc == SHM_FAILED_MAP ? "Failed to map view of file - error %ld" : "Failed to create file mapping - error %ld",
        code, error);
    return nullptr;
  }
  auto* block = static_cast<server_stats_t*>(mapping.view);
  if (fresh) {
    std::memset(block, 0, SERVER_STATS_ZEROED);
    init_block_lock(block);
    shm_block_ready(&mapping);
  } else if (__atomic_load_n(&block_lock(block)->magic, __ATOMIC_ACQUIRE) != kLockMagic) {
    init_block_lock(block);
  }
  remember(block, mapping);
  return block;
}

extern "C" server_stats_t* get_ipcshm(char** error_text) {
  server_trace(kTraceDetail, "get_ipcshm()\n");
  ipc_error[0] = '\0';
  if (error_text) *error_text = ipc_error;
  shm_block mapping{};
  int code = 0;
  int rc = shm_block_open(shm_name().c_str(), SERVER_STATS_SIZE, &mapping, &code);
  if (rc != SHM_OK) {
    const char* what =
        rc == SHM_FAILED_MAP ? "Failed to map view of shared memory" : "Failed open shared memory mapping";
    server_trace(kTraceExit, "%s Error %d\n", what, code);
    set_ipc_error(what, code);
    return nullptr;
  }
  auto* block = static_cast<server_stats_t*>(mapping.view);
  remember(block, mapping);
  return block;
}

extern "C" int release_shared_statistics(server_stats_t* block) {
  if (block == nullptr) return -1;
  shm_block mapping{block, SERVER_STATS_SIZE, -1};
  {
    std::lock_guard<std::mutex> lock(mapping_mutex);
    auto it = mappings->find(block);
    if (it != mappings->end()) {
      mapping = it->second;
      mappings->erase(it);
    }
  }
  if (int failed = shm_block_release(&mapping, shm_name().c_str()))
    server_trace(kTraceExit, "Failed to unmap shared memory (error %d)\n", failed);
  return 0;
}

// Blocks not made by create_shared_statistics (a copy in memory) have no lock.
extern "C" void stats_lock(server_stats_t* block) {
  if (block == nullptr) return;
  BlockLock* lock = block_lock(block);
  if (__atomic_load_n(&lock->magic, __ATOMIC_ACQUIRE) != kLockMagic) return;
  if (pthread_mutex_lock(&lock->mutex) == EOWNERDEAD) pthread_mutex_consistent(&lock->mutex);
}

extern "C" void stats_unlock(server_stats_t* block) {
  if (block == nullptr) return;
  BlockLock* lock = block_lock(block);
  if (__atomic_load_n(&lock->magic, __ATOMIC_ACQUIRE) != kLockMagic) return;
  pthread_mutex_unlock(&lock->mutex);
}

extern "C" void stats_decrement(uint32_t* counter) {
  uint32_t seen = __atomic_load_n(counter, __ATOMIC_RELAXED);
  while (seen > 0 && !__atomic_compare_exchange_n(counter, &seen, seen - 1, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
}

extern "C" size_t stats_copy_text(const char* field, size_t field_size, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  size_t n = field ? strnlen(field, field_size) : 0;
  if (n >= capacity) n = capacity - 1;
  if (n) std::memcpy(out, field, n);
  out[n] = '\0';
  return n;
}

extern "C" void update_statistics(server_stats_t* block, int event, const void* arg, const char* host_name) {
  server_trace(kTraceDetail, "\tUpdating statistics (%d)\n", event);
  if (block == nullptr) return;
  int64_t now = server_time_now();
  switch (event) {
    case STATS_CONNECTION: {
      __atomic_add_fetch(&block->total_connections, 1, __ATOMIC_RELAXED);
      __atomic_store_n(&block->last_connect_time, now, __ATOMIC_RELAXED);
      uint32_t active = 1;
      for (auto* e = static_cast<const thread_entry_t*>(arg); e != nullptr; e = e->next)
        if (e->in_use) ++active;
      __atomic_store_n(&block->active_workers, active, __ATOMIC_RELAXED);
      store_max(&block->peak_workers, active);
      break;
    }
    case STATS_CLIENT_HOST: add_client_host(block, arg, host_name); break;
    case STATS_WORKER_STARTED: __atomic_add_fetch(&block->workers_started, 1, __ATOMIC_RELAXED); break;
    case STATS_WORKER_ENDED:
      stats_decrement(&block->active_workers);
      __atomic_store_n(&block->last_disconnect_time, now, __ATOMIC_RELAXED);
      break;
    default: break;
  }
}

extern "C" void stats_add_dsn_time(server_stats_t* block, const char* dsn, uint32_t seconds) {
  if (block == nullptr || dsn == nullptr || dsn[0] == '\0') return;
  size_t dsn_length = strnlen(dsn, sizeof block->dsns[0].name - 1);
  stats_lock(block);
  for (server_stats_dsn_t& entry : block->dsns) {
    size_t length = strnlen(entry.name, sizeof entry.name);
    if (length == dsn_length && std::memcmp(entry.name, dsn, length) == 0) {
      entry.total_seconds += seconds;
      break;
    }
  }
  stats_unlock(block);
}

extern "C" size_t format_statistics_report(const server_stats_t* block, int64_t now, uint32_t flags, char* out,
                                           size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = '\0';
  if (block == nullptr) return 0;
  std::string report;
  char line[512];
  auto add = [&report](const char* piece) { report += piece; };
  uint64_t up = now > block->start_time ? static_cast<uint64_t>(now - block->start_time) : 0;
  unsigned long minutes_total = static_cast<unsigned long>(up / 60);
  auto rate = [&](unsigned long count) { return minutes_total ? count / minutes_total : count; };
  auto number_line = [&](const char* format, unsigned long value) {
    std::snprintf(line, sizeof line, format, value);
    add(line);
  };
  std::snprintf(line, sizeof line, "Server up time %lu days, %lu hours, %lu minutes and %lu seconds\r\n",
                static_cast<unsigned long>(up / 86400), static_cast<unsigned long>(up % 86400 / 3600),
                static_cast<unsigned long>(up % 3600 / 60), static_cast<unsigned long>(up % 60));
  add(line);
  if (flags & ShowProcessTime) {
    std::snprintf(line, sizeof line, "Server CPU time(s): \t\t\tu=%2.2f k=%2.2f\r\n", block->user_cpu_seconds,
                  block->kernel_cpu_seconds);
    add(line);
  }
  number_line("Total Connections: \t\t\t%lu\r\n", block->total_connections);
  number_line("Total Threads/Processes: \t\t\t%lu\r\n", block->workers_started);
  number_line("Active Threads/Processes: \t\t\t%lu\r\n", block->active_workers);
  number_line("Peak concurrent Threads/Processes: \t\t%lu\r\n", block->peak_workers);
  number_line("Connections/minute: \t\t\t%lu\r\n", rate(block->total_connections));
  add("Last Connection time: \t\t");
  add(ctime_text(block->last_connect_time).c_str());
  add("\r\n");
  add("Last Disconnect time: \t\t");
  add(ctime_text(block->last_disconnect_time).c_str());
  add("\r\n");
  add("\r\nDSN\tConnections\tTotal Time (s)\tConnections/minute\tAverage Time per connection "
      "(s)\t\r\n");
  if (block->dsns[0].name[0] == '\0') {
    add("No DSNs registered\r\n");
  } else {
    for (const server_stats_dsn_t& entry : block->dsns) {
      char name[sizeof entry.name + 1];
      stats_copy_text(entry.name, sizeof entry.name, name, sizeof name);
      if (entry.connections == 0 || name[0] == '\0') continue;
      std::snprintf(line, sizeof line, "%s\t%lu\t%lu\t%lu\t%.2f\t\r\n", name,
                    static_cast<unsigned long>(entry.connections), static_cast<unsigned long>(entry.total_seconds),
                    rate(entry.connections), static_cast<double>(entry.total_seconds) / entry.connections);
      add(line);
    }
  }
  add("\r\n");
  uint32_t hosts = block->host_count;
  number_line("Number of different client hosts: \t%lu\r\n", hosts);
  if (hosts > SERVER_STATS_MAX_HOSTS) hosts = SERVER_STATS_MAX_HOSTS;
  for (uint32_t i = 0; i < hosts; ++i) {
    char address[sizeof block->hosts[i].address + 1];
    char name[sizeof block->hosts[i].name + 1];
    stats_copy_text(block->hosts[i].address, sizeof block->hosts[i].address, address, sizeof address);
    stats_copy_text(block->hosts[i].name, sizeof block->hosts[i].name, name, sizeof name);
    std::snprintf(line, sizeof line, "\t%s (%s)\r\n", address, name);
    if (report.size() + std::strlen(line) + std::strlen("\r\n") + 1 > capacity) break;
    report += line;
  }
  add("\r\n");
  return stats_copy_text(report.data(), report.size(), out, capacity);
}

extern "C" void write_statistics_file(server_stats_t* block) {
  uint32_t flags = server_settings()->Flags;
  if (block == nullptr || !(flags & WriteStatsOnExit)) return;
  int64_t now = server_time_now();
  static char report[16384];
  size_t length = format_statistics_report(block, now, flags, report, sizeof report);
  std::fwrite(report, 1, length, stdout);
  std::fflush(stdout);
  time_t t = static_cast<time_t>(now);
  struct tm parts {};
  localtime_r(&t, &parts);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%.2d_%.2d_%.2d_%.2d%.2d%.2d", parts.tm_mday, parts.tm_mon + 1,
                parts.tm_year + 1900, parts.tm_hour, parts.tm_min, parts.tm_sec);
  char file_name[128];
  std::snprintf(file_name, sizeof file_name, "kyvek_stats_%s.stats", stamp);
  char path[2048];
  if (server_log_path(path, sizeof path, file_name) != 0) return;
  int fd = ky_open_log_file(path, O_WRONLY | O_TRUNC);
  if (fd < 0) return;  // a file that cannot be created is skipped
  write_fully(fd, report, length);
  ::close(fd);
}
