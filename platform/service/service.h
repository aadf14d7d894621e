/* Service control layer: runs a program as a supervised service on Linux.
 *
 * A process counts as a service only when KYVEK_SERVICE is "1" (the shipped
 * systemd units set it). The dispatcher then starts the service main on a
 * thread of its own and turns signals on the calling thread into control codes
 * for the registered handler: SIGTERM stop, SIGUSR1 pause, SIGUSR2 continue.
 * Every status report is written atomically to <rundir>/<service name>.state
 * (rundir from KYVEK_RUNDIR, default /run/kyvek) and passed to systemd when
 * NOTIFY_SOCKET is set. Querying a service reads its state file; pause,
 * continue and stop send the matching signal to the pid written there.
 *
 * Threads: the handler runs on the dispatcher's (main) thread; status reports
 * may come from any thread and are serialised inside the layer. */
#ifndef KYVEK_PLATFORM_SERVICE_H
#define KYVEK_PLATFORM_SERVICE_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Service states. */
enum {
  KY_SERVICE_STOPPED = 1,
  KY_SERVICE_START_PENDING = 2,
  KY_SERVICE_STOP_PENDING = 3,
  KY_SERVICE_RUNNING = 4,
  KY_SERVICE_CONTINUE_PENDING = 5,
  KY_SERVICE_PAUSE_PENDING = 6,
  KY_SERVICE_PAUSED = 7
};

/* Control codes handed to the handler. */
enum {
  KY_SERVICE_CONTROL_STOP = 1,
  KY_SERVICE_CONTROL_PAUSE = 2,
  KY_SERVICE_CONTROL_CONTINUE = 3,
  KY_SERVICE_CONTROL_INTERROGATE = 4,
  KY_SERVICE_CONTROL_SHUTDOWN = 5
};

/* Controls a service accepts: stop, pause and continue, shutdown. */
enum { KY_SERVICE_ACCEPT_STOP = 0x1, KY_SERVICE_ACCEPT_PAUSE_CONTINUE = 0x2, KY_SERVICE_ACCEPT_SHUTDOWN = 0x4 };

enum { KY_SERVICE_WIN32_OWN_PROCESS = 16 };

/* The Win32 exit code that says "see the service-specific exit code". */
enum { KY_SERVICE_SPECIFIC_ERROR = 1066 };

typedef struct ky_service_status {
  uint32_t service_type;
  uint32_t current_state;
  uint32_t controls_accepted;
  uint32_t win32_exit_code;
  uint32_t service_exit_code;
  uint32_t check_point;
  uint32_t wait_hint;
} ky_service_status;

typedef struct ky_service_status_handle_s* ky_service_status_handle;

typedef void (*ky_service_main_fn)(int argc, char** argv);
typedef void (*ky_service_handler_fn)(uint32_t control);

/* Runs service_main under service control. Returns 1 after the service main
 * has returned (the process ran as a service), 0 when the process is not a
 * service (KYVEK_SERVICE is not "1"), -1 when the dispatcher cannot start
 * (errno tells why). */
int ky_service_start_dispatcher(const char* service_name, ky_service_main_fn service_main);

/* Registers the control handler of the running service. NULL when no
 * dispatcher runs for that name. */
ky_service_status_handle ky_service_register_handler(const char* service_name, ky_service_handler_fn handler);

/* Reports a status: rewrites the state file and tells systemd. 0 or -1. */
int ky_service_set_status(ky_service_status_handle handle, const ky_service_status* status);

/* A descriptor that becomes readable whenever a control code was handled, so
 * that a loop waiting in poll wakes at once. -1 before a dispatcher started.
 * Reading is left to ky_service_drain_wakeup. */
int ky_service_wakeup_fd(void);
void ky_service_drain_wakeup(void);

/* Path of the state file of a service into buf; 0, or -1 when it does not fit. */
/* A few words on where the service serves, added to the status text that the
 * service manager shows with the running and paused states. */
void ky_service_set_status_detail(const char* text);

int ky_service_state_path(const char* service_name, char* buf, size_t size);

/* Reads the state file of a service. 0, or -1 when there is none or it is
 * unreadable. pid may be NULL. */
int ky_service_query(const char* service_name, ky_service_status* status, pid_t* pid);

/* Sends a control (stop, pause, continue) to a running service by its state
 * file. 0, or -1 (no state file, process gone, control not sendable). */
int ky_service_control(const char* service_name, uint32_t control);

#ifdef __cplusplus
}
#endif

#endif
