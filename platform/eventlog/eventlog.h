/* The system event log: numbered events of an event source, written to syslog
 * (facility LOG_DAEMON, ident = the program's name, the source name leading
 * the message) as one line each,
 * "0x%08X <text>". When $KYVEK_EVENTLOG names a file the same line is appended
 * there too (one write per line, so lines from several processes stay whole).
 * Texts are written literally, never used as formats. */
#ifndef KYVEK_PLATFORM_EVENTLOG_H
#define KYVEK_PLATFORM_EVENTLOG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Event types. */
enum { EVENTLOG_ERROR = 1, EVENTLOG_WARNING = 2, EVENTLOG_INFORMATION = 4 };

typedef struct eventlog_source eventlog_source;

/* A handle for the named source; NULL when memory is exhausted. */
eventlog_source* eventlog_register(const char* source_name);
void eventlog_deregister(eventlog_source* source);

/* Reports one event. 0, or -1 for a NULL source. */
int eventlog_report(eventlog_source* source, uint16_t type, uint32_t id, const char* text);

/* Reports one event without allocating or locking, for a fatal-signal
 * handler: the syslog line goes straight to the /dev/log socket, and the
 * $KYVEK_EVENTLOG file gets the line too. Lines longer than 16 KiB are cut.
 * 0, or -1 for a NULL source. */
int eventlog_report_signal_safe(const eventlog_source* source, uint16_t type, uint32_t id, const char* text);

/* The line as written: "0x%08X " and the text, into out[capacity] (always
 * terminated). Returns the length of the full line. */
int eventlog_format_line(uint32_t id, const char* text, char* out, int capacity);

#ifdef __cplusplus
}
#endif

#endif
