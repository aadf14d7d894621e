// The thread table: workers of the listener, their limits and their reaping.
#include "thread_table.h"

#include <pthread.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "access_list.h"
#include "audit.h"
#include "events.h"
#include "server_utils.h"
#include "settings.h"
#include "trace_log.h"
#include "worker_list.h"

namespace {

constexpr int kSpareEntries = 5;
constexpr int64_t kSelectLag = 5;  // reaping happens up to one 5-second pass late

// The thread-table lock: list membership and entry DSNs. Recursive because
// reaping runs inside the locked walks and may be entered again by callers
// that already hold it (register_dsn, the exception report).
std::recursive_mutex table_mutex;
// Changed only by the listener thread.
thread_entry_t* table_head = nullptr;

void warn(server_stats_t* block, uint32_t id, const char* text) {
  log_server_event(block, server_event_source(), EVENTLOG_WARNING, id, text, nullptr);
}

void system_error_event(server_stats_t* block, uint32_t id, int error, const char* fallback) {
  char* text = nullptr;
  format_system_error(&text, error);
  log_server_event(block, server_event_source(), EVENTLOG_ERROR, id, text ? text : fallback, nullptr);
  std::free(text);
}

// The exit code of an entry that cannot be asked for one: logged, and the
// entry is let go with code 0.
void exit_code_unavailable(thread_entry_t* entry, server_stats_t* block, uint32_t* code, const char* call, int error) {
  char message[128];
  std::snprintf(message, sizeof message, "\tFailed call to %s, %d\n", call, error);
  server_trace(kTraceExit, "%s", message);
  system_error_event(block, EV_EXIT_CODE_UNAVAILABLE, error, message);
  entry->has_handle = 0;
  *code = 0;
}

// Exit code of the entry's worker, THREAD_STILL_ACTIVE while it runs; false
// when the entry is neither a thread nor a process.
bool worker_exit_code(thread_entry_t* entry, server_stats_t* block, uint32_t* code) {
  if (entry->kind == THREAD_KIND_THREAD) {
    server_trace(kTraceDetail, "\tChecking thread %u\n", entry->id);
    void* result = nullptr;
    int rc = entry->has_handle ? pthread_tryjoin_np(entry->thread, &result) : ESRCH;
    if (rc == EBUSY) {
      *code = THREAD_STILL_ACTIVE;
    } else if (rc == 0) {
      *code = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(result));
      entry->has_handle = 0;
    } else {
      exit_code_unavailable(entry, block, code, "GetExitCodeThread", rc);
    }
    return true;
  }
  if (entry->kind == THREAD_KIND_PROCESS) {
    server_trace(kTraceDetail, "\tChecking process %u\n", static_cast<unsigned>(entry->pid));
    int status = 0;
    pid_t rc = entry->has_handle ? waitpid(entry->pid, &status, WNOHANG) : -1;
    int error = entry->has_handle ? errno : ECHILD;
    if (rc == 0) {
      *code = THREAD_STILL_ACTIVE;
    } else if (rc == entry->pid) {
      entry->has_handle = 0;
      if (WIFEXITED(status))
        *code = static_cast<uint32_t>(WEXITSTATUS(status));
      else if (WIFSIGNALED(status))
        *code = 0x100u + static_cast<uint32_t>(WTERMSIG(status));
      else
        *code = THREAD_STILL_ACTIVE;  // stopped or continued: still there
    } else {
      exit_code_unavailable(entry, block, code, "GetExitCodeProcess", error);
    }
    return true;
  }
  return false;
}

void auto_deny(thread_entry_t* entry, server_stats_t* block) {
  server_settings_t* working = server_settings_working();
  size_t used = strnlen(working->DenyList, sizeof working->DenyList);
  size_t add = 1 + std::strlen(entry->client_address);
  if (used + add + 1 <= sizeof working->DenyList) {
    working->DenyList[used] = ' ';
    std::memcpy(working->DenyList + used + 1, entry->client_address, add);
  }
  char* error = nullptr;
  // On failure the deny list in force stays as it was.
  if (veks_create_ip_acl(" ", working->DenyList, server_deny_acl(), &error) != 0) warn(block, EV_ERROR_TEXT, error);
  warn(block, EV_CLIENT_AUTO_DENIED, entry->client_address);
}

}  // namespace

namespace {
thread_entry_alloc_fn entry_alloc = std::calloc;
}  // namespace

extern "C" void set_thread_entry_allocator(thread_entry_alloc_fn fn) { entry_alloc = fn ? fn : std::calloc; }

extern "C" void lock_thread_table(void) { table_mutex.lock(); }
extern "C" void unlock_thread_table(void) { table_mutex.unlock(); }
extern "C" thread_entry_t** thread_table_head(void) { return &table_head; }

extern "C" int create_new_thread_entry(thread_entry_t** head, uint32_t limit, thread_entry_t** entry,
                                       server_stats_t* block, uint32_t flags) {
  server_trace(kTraceDetail, "\tCreating new thread entry\n");
  if (entry) *entry = nullptr;
  if (head == nullptr || entry == nullptr) return -1;
  std::lock_guard<std::recursive_mutex> lock(table_mutex);
  thread_entry_t* free_entry = nullptr;
  int position = 0;
  int free_position = 0;
  uint32_t in_use = 0;
  for (thread_entry_t* e = *head; e != nullptr; e = e->next, ++position) {
    server_trace(kTraceDetail, "Processing thread entry %p\n", static_cast<void*>(e));
    if (limit != 0) {
      if (e->in_use) {
        exited_thread(e, block, flags);
        if (e->in_use) ++in_use;
      }
      if (!e->in_use && free_entry == nullptr) {
        free_entry = e;
        free_position = position;
      }
    } else if (!e->in_use) {
      free_entry = e;
      free_position = position;
      break;
    }
  }
  if (limit != 0) {
    server_trace(kTraceDetail, "\tMax threads/processes in use set\n");
    if (in_use >= limit) return -2;
  }
  if (free_entry == nullptr) {
    server_trace(kTraceDetail, "\tNo empty entries found\n");
    free_entry = static_cast<thread_entry_t*>(entry_alloc(1, sizeof(thread_entry_t)));
    if (free_entry == nullptr) return -1;
    server_trace(kTraceDetail, "\tNew thread entry %p\n", static_cast<void*>(free_entry));
    free_entry->next = *head;
    *head = free_entry;
    server_trace(kTraceDetail, "\tNew slot placed at start of list\n");
  } else {
    server_trace(kTraceDetail, "\tEmpty entry found at position %d\n", free_position);
    // A reused entry starts clean (an old DSN would take the new worker's time).
    thread_entry_t* next = free_entry->next;
    std::memset(free_entry, 0, sizeof *free_entry);
    free_entry->next = next;
  }
  free_entry->start_time = server_time_now();
  *entry = free_entry;
  return 0;
}

extern "C" void fill_thread_entry(int socket, thread_entry_t* entry, const char* address, const char* host_name) {
  if (entry == nullptr) return;
  std::snprintf(entry->idle_timeout, sizeof entry->idle_timeout, "%s", server_settings()->Timeout);
  entry->in_use = 0;
  entry->id = 0;
  entry->socket = socket;
  entry->kind = 0;
  std::snprintf(entry->client_address, sizeof entry->client_address, "%s", address ? address : "");
  std::snprintf(entry->client_host, sizeof entry->client_host, "%s", host_name ? host_name : "unknown");
}

extern "C" void start_thread_entry_thread(thread_entry_t* entry, pthread_t thread) {
  std::lock_guard<std::recursive_mutex> lock(table_mutex);
  entry->kind = THREAD_KIND_THREAD;
  entry->thread = thread;
  entry->has_handle = 1;
  entry->in_use = 1;
}

extern "C" void start_thread_entry_process(thread_entry_t* entry, pid_t pid) {
  std::lock_guard<std::recursive_mutex> lock(table_mutex);
  entry->kind = THREAD_KIND_PROCESS;
  entry->pid = pid;
  entry->id = static_cast<uint32_t>(pid);
  entry->has_handle = 1;
  entry->in_use = 1;
}

extern "C" void exited_thread(thread_entry_t* entry, server_stats_t* block, uint32_t flags) {
  if (entry == nullptr) return;
  if (!entry->in_use) {
    server_trace(kTraceDetail, "\tProcess/thread slot not in use\n");
    return;
  }
  uint32_t code = 0;
  if (!worker_exit_code(entry, block, &code)) {
    server_trace(kTraceDetail, "\tthread slot not a process or thread\n");
    log_server_event(block, server_event_source(), EVENTLOG_ERROR, EV_ERROR_TEXT,
                     "Internal error - exited_thread() thread entry not a thread or process", nullptr);
    return;
  }
  if (code == THREAD_STILL_ACTIVE) {
    server_trace(kTraceDetail, "\tThread/Process still running\n");
    return;
  }
  server_trace(kTraceDetail, "\tThread/Process no longer active - exit code %lx\n", static_cast<unsigned long>(code));
  if (block) update_statistics(block, STATS_WORKER_ENDED, nullptr, nullptr);
  if (code == 201) {
    // The worker reported the refused logon when it happened (with the user).
  } else if (code == 202) {
    if ((flags & AutoDenyNonVEKClients) && entry->client_address[0] != '\0') auto_deny(entry, block);
  } else if (code != 0) {
    char text[96];
    std::snprintf(text, sizeof text, "Thread/Process exited with unexpected code %lx",
                  static_cast<unsigned long>(code));
    warn(block, EV_ERROR_TEXT, text);
  }
  if (flags & AuditODBCAccess) audit_event(AUDIT_DISCONNECT, entry->client_address, entry->client_host);
  if (entry->kind == THREAD_KIND_PROCESS) worker_list_forget_process(entry->pid);
  entry->has_handle = 0;
  server_trace(kTraceDetail, "\tThread entry %p set to unused\n", static_cast<void*>(entry));
  entry->in_use = 0;
  if (!(flags & MultiProcess) && block != nullptr) {
    int64_t seconds = server_time_now() - entry->start_time;
    if (seconds < 0) seconds = 0;
    if (seconds > kSelectLag) seconds -= kSelectLag;
    char dsn[sizeof entry->dsn];
    {
      std::lock_guard<std::recursive_mutex> lock(table_mutex);
      stats_copy_text(entry->dsn, sizeof entry->dsn, dsn, sizeof dsn);
    }
    stats_add_dsn_time(block, dsn, static_cast<uint32_t>(seconds));
  }
}

extern "C" int count_client_connections(const char* address, uint32_t limit, thread_entry_t* head,
                                        server_stats_t* block, uint32_t* count, uint32_t flags) {
  if (count) *count = 0;
  if (limit == 0 || head == nullptr) return 1;
  if (address == nullptr || address[0] == '\0') return 0;
  uint32_t live = 0;
  for (thread_entry_t* e = head; e != nullptr; e = e->next) {
    if (!e->in_use || std::strcmp(e->client_address, address) != 0) continue;
    exited_thread(e, block, flags);
    if (!e->in_use) continue;
    if (++live >= limit) {
      if (count) *count = live;
      return 0;
    }
  }
  if (count) *count = live;
  return 1;
}

extern "C" void cleanup_exited_threads(thread_entry_t** head, server_stats_t* block, uint32_t flags, uint32_t* count) {
  server_trace(kTraceDetail, "Cleaning up exited threads\n");
  if (count) *count = 0;
  if (head == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(table_mutex);
  thread_entry_t* prev = nullptr;
  int free_seen = 0;
  thread_entry_t* e = *head;
  while (e != nullptr) {
    thread_entry_t* next = e->next;
    exited_thread(e, block, flags);
    if (e->in_use) {
      prev = e;
    } else if (++free_seen <= kSpareEntries) {
      if (prev != nullptr && prev->in_use) {
        server_trace(kTraceDetail, "\tMoving unused block %p to start of LL\n", static_cast<void*>(e));
        prev->next = next;
        e->next = *head;
        *head = e;
      } else {
        prev = e;
      }
    } else {
      server_trace(kTraceDetail, "Too many spare slots - considering freeing some\n");
      if (prev != nullptr) {
        server_trace(kTraceDetail, "\tFreeing thread entry %p\n", static_cast<void*>(e));
        prev->next = next;
        std::free(e);
      } else {
        prev = e;
      }
    }
    e = next;
  }
}

extern "C" void free_thread_table(thread_entry_t** head) {
  if (head == nullptr) return;
  std::lock_guard<std::recursive_mutex> lock(table_mutex);
  thread_entry_t* e = *head;
  while (e != nullptr) {
    thread_entry_t* next = e->next;
    std::free(e);
    e = next;
  }
  *head = nullptr;
}
