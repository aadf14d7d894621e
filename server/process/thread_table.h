/* The thread table: one entry per worker (thread or child process) in a singly
 * linked list kept by the listener thread. It enforces MaxThreadCount and
 * MaxClientConnect, reaps ended workers (statistics, events, audit, AutoDeny)
 * and accounts connected time per DSN.
 *
 * Exit codes of workers: 0 normal, 201 logon refused, 202 not an RPC client.
 * A thread worker returns its code as the thread's result
 * ((void *)(uintptr_t)code); the listener reaps it with pthread_tryjoin_np.
 * A process worker's code is its exit status (waitpid); a child ended by a
 * signal counts as the unexpected code 0x100 + the signal number.
 *
 * Locks: the thread-table lock (list membership, entry DSNs) before the
 * statistics lock (stats_lock); never the other way round. */
#ifndef KYVEK_SERVER_THREAD_TABLE_H
#define KYVEK_SERVER_THREAD_TABLE_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include "stats.h"

#define THREAD_KIND_PROCESS 0x1
#define THREAD_KIND_THREAD 0x2
#define THREAD_STILL_ACTIVE 259

#ifdef __cplusplus
extern "C" {
#endif

typedef struct thread_entry_t {
  uint32_t in_use;         /* 1 while a worker runs for it */
  uint32_t id;             /* thread id (gettid) or process id */
  pthread_t thread;        /* kind THREAD: the thread to join */
  pid_t pid;               /* kind PROCESS: the child */
  int has_handle;          /* 1 until reaped */
  int socket;              /* the client socket */
  int64_t start_time;      /* seconds since 1970 */
  char idle_timeout[16];   /* copy of the Timeout setting */
  uint32_t kind;           /* THREAD_KIND_PROCESS or THREAD_KIND_THREAD */
  char client_address[17]; /* dotted quad */
  char client_host[32];    /* host name cut to 31, or "unknown" */
  char dsn[32];            /* set by register_dsn under the thread-table lock */
  struct thread_entry_t* next;
} thread_entry_t;

/* Hands out a free (or new) entry. 0 with *entry set; -1 no memory; -2 limit
 * (non-zero) reached by entries still in use. */
int create_new_thread_entry(thread_entry_t** head, uint32_t limit, thread_entry_t** entry, server_stats_t* block,
                            uint32_t flags);

void fill_thread_entry(int socket, thread_entry_t* entry, const char* address, const char* host_name);

/* Marks a started worker: in use, kind, and its thread or process. */
void start_thread_entry_thread(thread_entry_t* entry, pthread_t thread);
void start_thread_entry_process(thread_entry_t* entry, pid_t pid);

/* Reaps entry when its worker has ended (see the file comment). */
void exited_thread(thread_entry_t* entry, server_stats_t* block, uint32_t flags);

/* 1 under the limit (or no limit), 0 limit reached (or no address); *count
 * gets the number of live connections of address counted. */
int count_client_connections(const char* address, uint32_t limit, thread_entry_t* head, server_stats_t* block,
                             uint32_t* count, uint32_t flags);

/* Reaps every entry, moves free ones to the front and frees spares beyond five.
 * *count is set to 0. */
void cleanup_exited_threads(thread_entry_t** head, server_stats_t* block, uint32_t flags, uint32_t* count);

/* Test seam: how a new entry is allocated (calloc's contract); NULL restores
 * calloc. Set before the listener starts. */
typedef void* (*thread_entry_alloc_fn)(size_t count, size_t size);
void set_thread_entry_allocator(thread_entry_alloc_fn fn);
/* Frees every entry (service stop). */
void free_thread_table(thread_entry_t** head);

/* The thread-table lock (recursive). */
void lock_thread_table(void);
void unlock_thread_table(void);

/* The process-wide table head (for the exception report and register_dsn). */
thread_entry_t** thread_table_head(void);

#ifdef __cplusplus
}
#endif

#endif
