/* The listener of the "standalone" method: the service loop (under service
 * control) and the console loop share one pass: wait for a client, honour
 * pause and stop, run the periodic step, accept, check the client against the
 * access lists and limits, and start a worker thread or child process. Also the
 * service main, the control handler and the socket helpers used by the
 * one-connection methods. All of it runs on the listener thread except
 * ServiceHandle (the dispatcher's thread). */
#ifndef KYVEK_SERVER_LISTENER_H
#define KYVEK_SERVER_LISTENER_H

#include <stdint.h>
#include <stdio.h>
#include <netinet/in.h>
#include <pthread.h>

#include "eventlog/eventlog.h"
#include "stats.h"
#include "thread_table.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SERVER_SERVICE_NAME "Kyronde Vekamar Server x64"
#define HTTP_SERVICE_NAME "Kyronde Vekamar HTTP Admin x64"
#define SERVER_VERSION_STRING "02.04.0003"

/* Seconds one wait for a client lasts. */
#define LISTENER_WAIT_SECONDS 5

/* 1 ODBC server (initial), 0 HTTP administration; picks the control events. */
extern int server_kind;

/* The process's event source (NULL in the console: events go to standard
 * error). */
eventlog_source *server_source(void);
void set_server_source(eventlog_source *source);

/* Service main of the ODBC server and the control handler. */
void ServiceMain(int argc, char **argv);
void ServiceHandle(uint32_t control);
/* Service main of the HTTP administration server. */
void httpdServiceMain(int argc, char **argv);
/* The process's service state word (the control handler writes it) and the
 * report of a new state; the HTTP server's loop polls and reports through them. */
uint32_t service_state(void);
void report_service_state(uint32_t state);
/* The administration server's entry, set by the program before the service
 * dispatcher runs httpdServiceMain (the HTTP library sits above this one). */
typedef int (*http_server_entry_fn)(server_stats_t *block);
void set_http_server_entry(http_server_entry_fn entry);

/* The loop under service control: 0 after a stop, 1 after a failure. */
int Service(void);

/* "standalone": tries the service dispatcher, else runs the console loop.
 * Returns the exit code. */
int console_loop(int argc, char **argv);

/* SIGHUP, as the packaged units' reload sends it, makes the listener re-read
 * the settings (as a changed configuration does) and reopen its log files,
 * instead of ending the process. */
void install_hangup_handler(void);

/* 1 when run as a service, 0 when not, -1 on failure. */
int start_service_dispatcher(const char *service_name, void (*service_main)(int, char **));

/* Text to port number: 0, or -1 (message on standard error) when empty, not a
 * whole decimal number, or above 65535. */
int parse_port(const char *text, uint32_t *port);

int start_winsock(void);
int listen_on_port(uint16_t port, int *socket_out);
/* > 0 a client waits, 0 time-out (or a control woke the loop), -1 error. */
int wait_for_connection(int socket);
/* 0 serve; -1 refused (a refusal frame was sent and the socket closed).
 * address_out holds at least 33 bytes, host_out 52. */
int accept_connection_checks(int socket, thread_entry_t *head, server_stats_t *block,
                             const struct sockaddr_in *peer, char *address_out, char *host_out,
                             FILE *out);
/* Test seams: how a worker thread is started (pthread_create's result) and
 * how the listener pauses between attempts. NULL restores the default. Set
 * before the listener starts. */
typedef int (*listener_thread_starter_fn)(pthread_t *thread, void *(*fn)(void *), void *arg);
typedef void (*listener_sleep_fn)(unsigned seconds);
void set_listener_seams(listener_thread_starter_fn starter, listener_sleep_fn sleeper);

/* Shuts the socket down and closes it, dropping what the peer still sends for
 * at most about 2 seconds or 64 KiB. */
void close_socket_gracefully(int socket);

#ifdef __cplusplus
}
#endif

#endif
