// The SQL error log "vek_sql.log" (failing statements and the first
// diagnostic read after each) and the diagnostic dump file. Each line is
// formatted whole and appended with one write, so lines of several workers
// never mix.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "server_records.h"

#ifdef __cplusplus
extern "C" {
#endif

// Statement line: time, "\"dsn\" " (with a connection), "<NULL EFFECT> " for
// SQL_NO_DATA, then exactly length bytes of text.
void log_failing_sql(const connection_t* dbc, int16_t driver_rc, const char* text, size_t length);

// Diagnostic line for one record; resets the statement's log-next-diagnostic word.
void log_sql_diag(statement_t* stmt, const char* sqlstate, int64_t native, const char* message);

// One line of the diagnostic dump (trace bit 0x80); null parts are left out.
void dump_diag_line(const char* sqlstate, const int32_t* native, const char* message);

// Opens the SQL error log for the process if it is not open yet. Call it as
// the server's own user, before a thread acts as a client's user, so the file
// takes every user's lines. Without it each line opens the file afresh.
void sql_log_open(void);

// Closes it (log rotation); the next sql_log_open opens the file by its name.
void sql_log_close(void);

// Path of the SQL error log (LogDir, else the temporary directory).
void sql_log_path(char* out, size_t size);

#ifdef __cplusplus
}  // extern "C"
#endif
