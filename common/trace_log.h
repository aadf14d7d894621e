/* Trace log writer shared by the server, the client driver and the setup library.
 *
 * One log file, one log path and one trace mask per process. Callers test their
 * own bits of the trace mask before calling a writer; the writers write
 * unconditionally. Settings come from section "Settings" of the configuration
 * key given to init_logging: `LogDir` (directory, default the temporary
 * directory: $TMPDIR, else /tmp) and `Logging` (the trace mask as text, base
 * from its prefix: decimal, "0x" hexadecimal, leading "0" octal).
 *
 * Threading: every writer, init_logging, set_log_file and close_log take one
 * process-wide lock; one entry (prefix and text) reaches the file in a single
 * write, so entries from several threads never mix within a line. The mask is
 * atomic. The file is opened lazily with O_APPEND, O_NOFOLLOW and mode 0600,
 * and closed when the program or library holding this unit is unloaded.
 *
 * Files: the server gives "kyvekserver.log" (options 1), the driver
 * "kyvekclient.log", the setup library "kyveksetup.log"; without a usable name
 * the path is "kyvek_fallback.log" in the current directory. */
#ifndef KYVEK_CLIENT_COMMON_TRACE_LOG_H
#define KYVEK_CLIENT_COMMON_TRACE_LOG_H

#include <stdarg.h>
#include <stdint.h>

#ifdef __cplusplus
#include <atomic>
#include <string>
#include <string_view>
#endif

#include "identity.h"

/* init_logging options: bit 0x1 adds "(<seconds since 1970>) " after the thread
 * id of every prefixed entry. */
#define KY_LOG_OPT_TIME 0x1u

/* log_text: length of a NUL-terminated text; flags. */
#define KY_LOG_TEXT_NTS (-3)
#define KY_LOG_TEXT_NO_PREFIX 0x1u
#define KY_LOG_TEXT_NO_NEWLINE 0x2u

/* Size of one formatted entry, NUL included. */
#define KY_LOG_LINE_MAX 4096
/* Size of the log path buffer, NUL included. */
#define KY_LOG_PATH_MAX 1024

#ifdef __cplusplus
extern "C" {
#endif

/* Sets up path and trace mask; does nothing while the log file is open.
 * name: file name joined to `LogDir` ("<dir>/<name>"); a path set earlier stays.
 * source: the configuration key text, or null (then nothing is read). With no
 * usable name and no path yet, the path becomes "kyvek_fallback.log". When the
 * mask read is not 0 it writes "Logging Started with %lx at %s\n". */
void init_logging(const char* name, const char* source, uint32_t options);

/* Takes path as the new log path when it fits KY_LOG_PATH_MAX with its NUL,
 * else ignores it; returns 0 either way. An open file stays open. */
int set_log_file(const char* path);

/* Closes the log file if open; the next entry reopens the path for appending. */
void close_log(void);

/* The writer: prefix non-zero adds "<thread id>: " (and the time with
 * KY_LOG_OPT_TIME). A format of KY_LOG_LINE_MAX characters or more is written
 * as "String too long to log\n"; a longer result is cut to 4095 characters and
 * followed by "** Logging/Tracing buffer truncated **\n". */
void log_vwrite(int prefix, const char* format, va_list args);

/* log_vwrite without prefix: continues the line of the previous entry. */
void log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* log_vwrite with prefix: the call nearly all tracing uses. */
void log_printf_tid(const char* format, ...) __attribute__((format(printf, 1, 2)));

/* Writes length bytes of text raw (KY_LOG_TEXT_NTS: up to its NUL); never used
 * as a format. Prefix unless KY_LOG_TEXT_NO_PREFIX; "\n" after unless
 * KY_LOG_TEXT_NO_NEWLINE. */
void log_text(long length, const char* text, uint32_t flags);

/* Does nothing (kept for callers that call it before init_logging). */
void logging_noop(void);

/* The trace mask as a plain word, for C callers. */
uint32_t get_trace_mask(void);
void set_trace_mask(uint32_t mask);

#ifdef __cplusplus
}

/* The process-wide trace mask (the `Logging` setting as a number). */
extern std::atomic<uint32_t> trace_mask;

/* Trace mask bits. Each caller tests its own bits; kTraceInternal only counts
 * together with kTraceEntry or kTraceExit (entry and exit lines of internal
 * functions, marked with a caret). */
constexpr uint32_t kTraceEntry = 0x1;       /* entry lines with arguments */
constexpr uint32_t kTraceExit = 0x2;        /* exit lines, failure reasons */
constexpr uint32_t kTraceRpc = 0x4;         /* RPC link set-up steps (client) */
constexpr uint32_t kTraceDetail = 0x8;      /* detail lines, tab-indented */
constexpr uint32_t kTraceData = 0x10;       /* array dumps, new server buffers */
constexpr uint32_t kTraceInternal = 0x20;   /* with 0x1/0x2: internal functions */
constexpr uint32_t kTraceServerFail = 0x40; /* failed server-side/driver calls */
constexpr uint32_t kTraceDiag = 0x80;       /* diagnostic counts, merging, dump */
constexpr uint32_t kTraceStatement = 0x100; /* statement texts */
constexpr uint32_t kTraceConnect = 0x200;   /* connection and logon steps */
constexpr uint32_t kTraceAttr = 0x400;      /* attribute and option detail */
constexpr uint32_t kTraceStartup = 0x800;   /* the server's start-up log */
constexpr uint32_t kTraceValues = 0x1000;   /* one item per value-array element */
constexpr uint32_t kTraceTiming = 0x2000;   /* time stamps around execution */

/* True when every bit of bits is set in the trace mask. */
inline bool trace_on(uint32_t bits) { return (trace_mask.load(std::memory_order_relaxed) & bits) == bits; }

/* A connection string fit for a trace: the values of PWD, TARGETAUTH,
 * LOGONAUTH and any other key ending in "PWD" or "AUTH" become "*****"; a
 * scrambled remote string (prefix "xx") is shown as "xx<scrambled>". Passwords
 * and scrambled texts never reach a trace in clear. */
std::string trace_safe_connection_string(std::string_view text);

/* Closes the file and forgets path, options and mask (tests only). */
void trace_log_reset_for_tests();
#endif

#endif
