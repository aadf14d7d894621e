/* Threads, events and the statement time-out check. Threads are POSIX
 * threads, started detached (nothing waits for their end; they report
 * through events). Events are auto-reset: one wait consumes one signal.
 * Waits and deadlines use the monotonic clock, so setting the wall clock
 * neither fires nor stalls them. The numbered locks are in ky_lock.h. */
#ifndef KY_THREAD_H
#define KY_THREAD_H

#include <pthread.h>
#include <stdint.h>

#include "ky_api.h"
#include "ky_handle.h"

KY_EXTERN_C_BEGIN

typedef struct ky_event ky_event;
typedef void* (*ky_thread_start)(void* argument);

/* 1: connections and statements may run asynchronously. */
KY_API int can_connect_async(void);
KY_API int can_statement_async(void);

/* Creates the wanted events (auto-reset, not signalled) and starts
 * start(argument) on a new detached thread. 0 when the thread runs; 1 when
 * an event or the thread cannot be made (no event is left then). */
KY_API int odbc_thread_create(pthread_t* thread_out, ky_thread_start start, void* argument, ky_event** event1,
                              ky_event** event2);

/* Counts a thread out (the locks are never deleted). Returns the number of
 * started threads not yet counted out. */
KY_API int thread_cleanup(void);

/* 0 when the event is signalled (or null); 1 when milliseconds pass first.
 * A negative time waits without limit. */
KY_API int thread_wait_on_semaphore(ky_event* event, int32_t milliseconds);

/* Signals the event; null does nothing. */
KY_API void thread_clear_semaphore(ky_event* event);

/* Frees the event; null does nothing. No thread may still wait on it. */
KY_API void thread_close_semaphore(ky_event* event);

/* For a statement executing or fetching (state 2 or 3) whose deadline has
 * passed: return code -1, "HYT00" "Timeout Expired" posted, -1 (a pending
 * cancel stays for the next check). Else, when its cancel flag is set: the
 * flag cleared, return code -1, "HY008" "Operation Canceled" posted, -1.
 * Else 0. */
KY_API int check_timeout(ky_stmt* stmt);

KY_EXTERN_C_END

#endif
