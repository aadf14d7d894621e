/* Service control of the server process: the service status record reported
 * to the service manager, the control handler (ServiceHandle, on the
 * dispatcher's thread), the dispatcher start and the HTTP administration
 * server's service main. The listener's loops read the state this unit keeps;
 * this unit knows nothing of the loops. */
#ifndef KYVEK_SERVER_SERVICE_CONTROL_H
#define KYVEK_SERVER_SERVICE_CONTROL_H

#include <stdint.h>

#include "eventlog/eventlog.h"
#include "stats.h"

#define SERVER_SERVICE_NAME "Kyronde Vekamar Server x64"
#define HTTP_SERVICE_NAME "Kyronde Vekamar HTTP Admin x64"
#define SERVER_VERSION_STRING "02.04.0003"

#ifdef __cplusplus
extern "C" {
#endif

/* 1 ODBC server (initial), 0 HTTP administration; picks the control events.
 * Set once by main before any service starts. */
extern int server_kind;

/* The process's event source (NULL in the console: events go to standard
 * error). */
eventlog_source* server_source(void);
void set_server_source(eventlog_source* source);

/* The control handler. */
void ServiceHandle(uint32_t control);
/* Service main of the HTTP administration server. */
void httpdServiceMain(int argc, char** argv);

/* 1 when run as a service, 0 when not, -1 on failure. */
int start_service_dispatcher(const char* service_name, void (*service_main)(int, char**));

/* The process's service state word (the control handler writes it) and the
 * report of a new state; the loops poll and report through them. */
uint32_t service_state(void);
void report_service_state(uint32_t state);

/* The administration server's entry, set by the program before the service
 * dispatcher runs httpdServiceMain (the HTTP library sits above this one). */
typedef int (*http_server_entry_fn)(server_stats_t* block);
void set_http_server_entry(http_server_entry_fn entry);

#ifdef __cplusplus
}

/* The rest of the service status record, for the loops that run under service
 * control. Every function takes the status lock; none blocks. */
void service_set_exit_codes(uint32_t win32, uint32_t specific);
void service_checkpoint(void);
/* True while a control handler is registered (the process runs as a service). */
bool service_registered(void);
/* Registers the control handler and reports "start pending"; trace goes to the
 * start-up log. */
void service_begin(const char* trace);
/* Reports the event and "stopped" once; the dispatcher then returns. */
void service_end(uint32_t event_id);
/* An event of the process through its event source and statistics block. */
void server_event(uint16_t type, uint32_t id, const char* text1, const char* text2 = nullptr);
#endif

#endif
