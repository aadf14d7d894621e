/* The exception report of a connection worker: the guard around the serving
 * loop, the "kyvek.exception" report (exception_filter, declared with the
 * worker) and the process-wide report text. A fatal signal inside the guard
 * writes the report and the event 0xC0020241 from the signal handler and ends
 * the process with exit code 1 (in MultiProcess mode only the connection's
 * child); a C++ exception is reported by the worker after the guard. */
#ifndef KYVEK_SERVER_EXCEPTION_REPORT_H
#define KYVEK_SERVER_EXCEPTION_REPORT_H

#include "kyrpc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Guards the calling thread while it serves the link h: the report file's path
 * (LogDir read afresh), the fatal-signal handlers and this thread's alternate
 * signal stack. one_shot: the process serves this one link (prints
 * "Exception" on standard output after a fault). 0 or -1. */
int exception_guard_enter(RpcHandle* h, int one_shot);
void exception_guard_leave(void);

/* Clears the report-written flag once the report text has been reported. */
void clear_exception_report(void);

#ifdef __cplusplus
}
#endif

#endif
