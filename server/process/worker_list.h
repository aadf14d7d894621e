/* The listener's live workers as other processes see them: a second named
 * shared memory block ("<statistics block name>.workers") beside the
 * statistics block, made by the listener and read by the HTTP administration
 * server's thread page.
 *
 * Each worker keeps its own slot: a worker thread or a per-connection child
 * process takes a free slot when it starts, notes its user when the client
 * logs on and its DSN when the client connects to one, and gives the slot
 * back when it ends. The listener
 * gives back the slot of a child that ended without doing so. Slots of
 * processes that are gone are neither read nor kept: a new listener clears
 * them.
 *
 * Readers copy a slot between two reads of its sequence word (odd while its
 * owner writes it), so they never wait for a worker and never show half a
 * change. */
#ifndef KYVEK_SERVER_WORKER_LIST_H
#define KYVEK_SERVER_WORKER_LIST_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define WORKER_LIST_SLOTS 256

#ifdef __cplusplus
extern "C" {
#endif

typedef struct worker_slot_t {
  uint32_t owner;    /* pid of the process holding the slot; 0 when free */
  uint32_t sequence; /* odd while the owner writes the fields below */
  uint32_t kind;     /* THREAD_KIND_THREAD or THREAD_KIND_PROCESS; 0 while being filled */
  uint32_t id;       /* thread id or process id */
  int64_t start_time; /* seconds since 1970 */
  char client_address[20];
  char user[64];
  char dsn[32];
} worker_slot_t;

/* A copy of one live worker, for readers. */
typedef struct worker_info_t {
  uint32_t kind;
  uint32_t id;
  int64_t start_time;
  char client_address[20];
  char user[64];
  char dsn[32];
} worker_info_t;

/* Listener: creates (or attaches to) the block and clears slots whose
 * processes are gone. 0, or -1 with errno. */
int worker_list_create(void);
/* Listener, at stop: the name goes when no other process holds the block. */
void worker_list_release(void);

/* Worker (on its own thread): takes a slot for the calling thread (kind
 * THREAD_KIND_THREAD, id its thread id) or process (THREAD_KIND_PROCESS, id
 * the pid). A per-connection child attaches to the listener's block first;
 * without a listener (or with every slot taken) the worker is not listed. */
void worker_list_enter(uint32_t kind, const char* client_address, int64_t start_time);
/* Worker: the user logged on and the DSN connected to. */
void worker_list_note_connection(const char* user, const char* dsn);
/* Worker: the user logged on, before any DSN. */
void worker_list_note_user(const char* user);
/* Worker: gives its slot back. */
void worker_list_leave(void);

/* Listener: gives back the slot of a reaped child process. */
void worker_list_forget_process(pid_t pid);

/* Reader: copies up to capacity live workers, oldest first. Returns the
 * number copied, or -1 when no listener holds the block. */
int worker_list_read(worker_info_t* out, size_t capacity);

#ifdef __cplusplus
}
#endif

#endif
