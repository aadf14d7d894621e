/* The listener of the "standalone" method: the service loop (under service
 * control) and the console loop share one pass: wait for a client, honour
 * pause and stop, run the periodic step, accept, check the client against the
 * access lists and limits, and start a worker thread or child process. Also the
 * ODBC server's service main and the listening helpers of the one-connection
 * methods. All of it runs on the listener thread. Service control is in
 * service_control.h, the socket helpers in sockets.h. */
#ifndef KYVEK_SERVER_LISTENER_H
#define KYVEK_SERVER_LISTENER_H

#include <stdint.h>
#include <stdio.h>
#include <netinet/in.h>
#include <pthread.h>

#include "service_control.h"
#include "sockets.h"
#include "stats.h"
#include "thread_table.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Seconds one wait for a client lasts. */
#define LISTENER_WAIT_SECONDS 5

/* Service main of the ODBC server. */
void ServiceMain(int argc, char** argv);

/* The loop under service control: 0 after a stop, 1 after a failure. */
int Service(void);

/* "standalone": tries the service dispatcher, else runs the console loop.
 * Returns the exit code. */
int console_loop(int argc, char** argv);

/* SIGHUP, as the packaged units' reload sends it, makes the listener re-read
 * the settings (as a changed configuration does) and reopen its log files,
 * instead of ending the process. */
void install_hangup_handler(void);

/* Text to port number: 0, or -1 (message on standard error) when empty, not a
 * whole decimal number, or above 65535. */
int parse_port(const char* text, uint32_t* port);

int start_winsock(void);
int listen_on_port(uint16_t port, int* socket_out);
/* > 0 a client waits, 0 time-out (or a control woke the loop), -1 error. */
int wait_for_connection(int socket);
/* 0 serve; -1 refused (a refusal frame was sent and the socket closed).
 * address_out holds at least 33 bytes, host_out 52. */
int accept_connection_checks(int socket, thread_entry_t* head, server_stats_t* block, const struct sockaddr* peer,
                             char* address_out, char* host_out, FILE* out);
/* Test seams: how a worker thread is started (pthread_create's result) and
 * how the listener pauses between attempts. NULL restores the default. Set
 * before the listener starts. */
typedef int (*listener_thread_starter_fn)(pthread_t* thread, void* (*fn)(void*), void* arg);
typedef void (*listener_sleep_fn)(unsigned seconds);
void set_listener_seams(listener_thread_starter_fn starter, listener_sleep_fn sleeper);

#ifdef __cplusplus
}
#endif

#endif
