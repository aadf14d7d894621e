/* The audit trail: one line per client event in <LogDir>/kyvek_access.log,
 * rolled over to kyvek_access_DD_MM_YYYY.log at the first line of a new day.
 * Callers call audit_event only when Flags has AuditODBCAccess. Several
 * processes may write and roll the same trail: lines are appended with one
 * write each and a rollover never replaces an earlier archive. */
#ifndef KYVEK_SERVER_AUDIT_H
#define KYVEK_SERVER_AUDIT_H

#include <stdint.h>
#include <time.h>

#define AUDIT_FILE_NAME "kyvek_access.log"
#define AUDIT_INVALID_HANDLE (-1)

enum {
  AUDIT_CONNECT = 1,
  AUDIT_REFUSED_BY_RULE = 2,
  AUDIT_ODBC_CONNECT = 3,
  AUDIT_REFUSED_MAXCLIENTCONNECT = 4,
  AUDIT_REFUSED_MAXCONCURRENT = 5,
  AUDIT_DISCONNECT = 6,
  AUDIT_REFUSED_BY_DSN_RULE = 7,
  AUDIT_AUTH_DENIED = 8,
  AUDIT_REFUSED_KEYWORD = 9,
  AUDIT_SERVER_SUSPENDED = 16,
  AUDIT_SERVER_RESUMED = 32
};

#ifdef __cplusplus
extern "C" {
#endif

/* Appends one line for code (texts: client address and host, DSN and user,
 * or the process id). Blanks in the texts become '_'. */
void audit_event(uint32_t code, const char* text1, const char* text2);

/* The code's name, or NULL. */
const char* audit_event_name(uint32_t code);

/* Opens (creating) the trail for appending: name, or <LogDir>/kyvek_access.log
 * for NULL. Returns a descriptor or AUDIT_INVALID_HANDLE (event 0x80020301). */
int open_audit_file(const char* name);

/* Closes handle, moves current_name to new_name (never replacing new_name) and
 * opens current_name again. */
int rename_audit_file(int handle, const char* current_name, const char* new_name);

/* The trail's handle for a line written at local time *now: opens it when
 * closed, rolls it over when the day differs from the day it was opened. */
int rollover_audit_file(int handle, const struct tm* now);

/* Opens the trail now, while this process may still create and write files in
 * LogDir: a process that drops to a logged-on user for good keeps it open, so
 * a refusal after the first logon still reaches the trail. */
void audit_open_early(void);

/* Closes the process's open trail (Flags lost AuditODBCAccess). */
void close_audit_file(void);

#ifdef __cplusplus
}
#endif

#endif
