/* The shared statistics block: the server's counters in named shared memory
 * ("/KyrondeVEKServerSHM", or $KYVEK_SHM_NAME), seen by the listener, the
 * per-connection child processes and the HTTP administration server.
 *
 * The block is created by the listener (create_shared_statistics) and opened by
 * child processes (get_ipcshm). It lives as long as some process has it
 * attached: a block that no process holds when it is created starts zeroed; one
 * that is held keeps its contents. Counters are changed with atomic operations
 * so several processes may update them at once. Texts in the block may have
 * been written by another process: read them with the bounded readers below. */
#ifndef KYVEK_SERVER_STATS_H
#define KYVEK_SERVER_STATS_H

#include <stddef.h>
#include <stdint.h>

#define SERVER_STATS_NAME "KyrondeVEKServerSHM"
#define SERVER_STATS_SIZE 3464
#define SERVER_STATS_ZEROED 2440 /* bytes zeroed when the block is new */
#define SERVER_STATS_MAX_HOSTS 20
#define SERVER_STATS_MAX_DSNS 10

#ifdef __cplusplus
extern "C" {
#endif

typedef struct server_stats_host_t {
  char address[16]; /* dotted quad */
  char name[52];    /* host name or "unknown" */
  uint32_t connections;
} server_stats_host_t; /* 72 bytes */

typedef struct server_stats_dsn_t {
  char name[32];
  uint32_t connections;
  uint32_t total_seconds;
} server_stats_dsn_t; /* 40 bytes */

/* Layout fixed by the block's other users (byte offsets in comments). */
typedef struct server_stats_t {
  uint32_t total_connections;                        /*    0 */
  uint32_t active_workers;                           /*    4 */
  uint32_t workers_started;                          /*    8 */
  uint32_t peak_workers;                             /*   12 */
  int64_t last_connect_time;                         /*   16 seconds since 1970 */
  int64_t last_disconnect_time;                      /*   24 */
  int64_t start_time;                                /*   32 */
  uint32_t host_count;                               /*   40 at most 20 */
  server_stats_host_t hosts[SERVER_STATS_MAX_HOSTS]; /* 44 */
  uint32_t port;                                     /* 1484 */
  double user_cpu_seconds;                           /* 1488 */
  double kernel_cpu_seconds;                         /* 1496 */
  uint32_t paused;                                   /* 1504 1 while the service is paused */
  server_stats_dsn_t dsns[SERVER_STATS_MAX_DSNS];    /* 1508 */
  char last_event_text[516];                         /* 1908 */
  int64_t last_event_time;                           /* 2424 */
  uint32_t config_changed;                           /* 2432 set by the admin pages, cleared by the listener */
  uint32_t reserved;                                 /* 2436 */
  unsigned char internal[SERVER_STATS_SIZE - SERVER_STATS_ZEROED]; /* 2440: the block's lock */
} server_stats_t;

/* Events of update_statistics. */
enum {
  STATS_CONNECTION = 1,  /* arg: thread_entry_t *head or NULL */
  STATS_CLIENT_HOST = 2, /* arg: const struct sockaddr_in *peer; host_name or NULL */
  STATS_WORKER_STARTED = 3,
  STATS_WORKER_ENDED = 4 /* worker ended or connection refused */
};

/* The block's shared memory name: "/" and $KYVEK_SHM_NAME, or "/"
 * SERVER_STATS_NAME. Written into out (cut to size); returns its length. */
size_t server_stats_shm_name(char* out, size_t size);

/* Creates (or attaches to) the block. NULL on failure with the errno value in
 * *error (when given) and event 0xC0020201 reported. */
server_stats_t* create_shared_statistics(uint32_t* error);

/* Opens an existing block (child processes). NULL on failure with a static
 * error text in *error_text. */
server_stats_t* get_ipcshm(char** error_text);

/* Detaches. 0, or -1 for NULL. */
int release_shared_statistics(server_stats_t* block);

void update_statistics(server_stats_t* block, int event, const void* arg, const char* host_name);

/* With WriteStatsOnExit: prints the report and writes
 * <LogDir>/kyvek_stats_DD_MM_YYYY_HHMMSS.stats. */
void write_statistics_file(server_stats_t* block);

/* The report text itself (for tests and the file writer); out is always
 * terminated. Returns the text's length. */
size_t format_statistics_report(const server_stats_t* block, int64_t now, uint32_t flags, char* out, size_t capacity);

/* The statistics lock: guards the DSN table across threads and processes. */
void stats_lock(server_stats_t* block);
void stats_unlock(server_stats_t* block);

/* Adds seconds to the first DSN entry whose name equals dsn (compared within
 * the entry's 32 bytes); an empty dsn is ignored. Takes the statistics lock. */
void stats_add_dsn_time(server_stats_t* block, const char* dsn, uint32_t seconds);

/* Counters that never go below zero. */
void stats_decrement(uint32_t* counter);

/* Bounded copies of the block's texts (another process may have written them
 * without a terminator). out always terminated; returns the copied length. */
size_t stats_copy_text(const char* field, size_t field_size, char* out, size_t capacity);

#ifdef __cplusplus
}
static_assert(sizeof(server_stats_host_t) == 72);
static_assert(sizeof(server_stats_dsn_t) == 40);
static_assert(offsetof(server_stats_t, host_count) == 40);
static_assert(offsetof(server_stats_t, hosts) == 44);
static_assert(offsetof(server_stats_t, port) == 1484);
static_assert(offsetof(server_stats_t, user_cpu_seconds) == 1488);
static_assert(offsetof(server_stats_t, paused) == 1504);
static_assert(offsetof(server_stats_t, dsns) == 1508);
static_assert(offsetof(server_stats_t, last_event_text) == 1908);
static_assert(offsetof(server_stats_t, last_event_time) == 2424);
static_assert(offsetof(server_stats_t, config_changed) == 2432);
static_assert(offsetof(server_stats_t, internal) == SERVER_STATS_ZEROED);
static_assert(sizeof(server_stats_t) == SERVER_STATS_SIZE);
#endif

#endif
