/* Connection workers: one RPC server handle per client link, bound to the
 * link's socket and to the server's procedure table, serving calls until the
 * client goes away. connection_thread runs on a thread the listener starts;
 * one_shot_connect serves the single link of a one-connection process (an
 * inherited socket, "tcpip_listen", "inetd"). Also the child-process starters
 * (a MultiProcess worker, the HTTP administration server). */
#ifndef KYVEK_SERVER_WORKER_H
#define KYVEK_SERVER_WORKER_H

#include <stdint.h>
#include <sys/types.h>

#include "kyrpc.h"
#include "stats.h"
#include "thread_table.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Methods of the server process. */
enum {
  METHOD_INHERIT_SOCKET = 1, /* Winsock-style transport on an inherited socket */
  METHOD_LISTEN = 2,         /* becomes 1 once a connection is accepted */
  METHOD_INETD = 3,          /* TTY transport on standard input */
  METHOD_STANDALONE = 4
};

/* Allocated by the listener, freed by the worker as its first step. */
typedef struct worker_start_block {
  server_stats_t* stats;
  thread_entry_t* entry;
} worker_start_block;

/* Thread function; returns the connection exit status as (void *)(uintptr_t). */
void* connection_thread(void* start_block);

/* Serves one link; the connection exit status, or -1 when the RPC handle could
 * not be set up. */
int one_shot_connect(int method, int socket, const char* port_text, server_stats_t* stats);

/* Starts a child of this program with "tcpip_inherit_socket <socket>"; only the
 * socket is inherited. The child's pid, or -1 (the client then got a refusal
 * frame). Marks the entry as a process and closes the listener's copy of the
 * socket on success. */
pid_t start_new_process(thread_entry_t* entry, server_stats_t* stats);

/* Starts "<this program> httpd" as a child. 0 or -1. */
int start_httpd_process(server_stats_t* stats);
/* Reaps the HTTP child when it has ended (periodic step). */
void reap_httpd_process(void);

/* Hands the process's settings, DSN access rules and log directory to the
 * request handlers (server_policy.h). Every link does it before it serves;
 * a program that calls handlers without a link calls it first. */
void worker_install_server_policy(void);

/* Set by a worker that caught an exception; the service loop stops on it. */
int worker_exception_stop(void);
void set_worker_exception_stop(int on);

/* The exception report of the serving loop (exception_report.cpp): appends the
 * report of a fault to "kyvek.exception" and fills the report text. record is
 * a crash_record (platform/crash), NULL for a C++ exception; context is unused
 * (the record carries it). Returns 1. */
int exception_filter(const void* record, const void* context, RpcHandle* handle);
/* Text of the last report written, or NULL. */
const char* exception_report_text(void);

#ifdef __cplusplus
}
#endif

#endif
