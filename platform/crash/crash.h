/* Fatal faults of a process: the fatal signals (SIGSEGV, SIGBUS, SIGILL,
 * SIGFPE, SIGABRT) taken on an alternate stack per thread, turned into an exception
 * record (code, address, parameters, registers), and the pieces of the
 * exception report "kyvek.exception" that the server and the HTTP
 * administration server both write.
 *
 * A thread that runs guarded code calls crash_guard_enter first: it gets its
 * own alternate signal stack and names the report function and the exit code.
 * When a fatal signal hits a guarded thread the handler
 *   1. waits while another thread is reporting (reports never interleave);
 *   2. calls the report function, which must be async-signal-safe: it may use
 *      only the writers below (no malloc, no stdio, no locks);
 *   3. lets the kernel write a core, when the process may dump one
 *      (RLIMIT_CORE not 0, as under systemd), from a forked copy of the process
 *      that dies of the same signal with the default action;
 *   4. ends the process with _exit(exit code): a thread cannot carry on after
 *      such a signal. The exit code survives because the core comes from the
 *      copy, not from the process itself.
 * A fault outside any guard, or a fault inside the handler itself, takes the
 * default action (a core, death by the signal) without recursing: the nested
 * entry resets the signal to its default action before anything else, and the
 * fatal signals stay blocked while the handler runs.
 *
 * Everything that may not be computed in the handler (host, user, kernel
 * version, the executable's path, the local time offset) is formatted by
 * crash_install and crash_guard_enter beforehand. */
#ifndef KYVEK_PLATFORM_CRASH_H
#define KYVEK_PLATFORM_CRASH_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Exception codes (see exception_code_name). */
#define CRASH_GUARD_PAGE 0x80000001u
#define CRASH_DATATYPE_MISALIGNMENT 0x80000002u
#define CRASH_ACCESS_VIOLATION 0xC0000005u
#define CRASH_IN_PAGE_ERROR 0xC0000006u
#define CRASH_ILLEGAL_INSTRUCTION 0xC000001Du
#define CRASH_ARRAY_BOUNDS_EXCEEDED 0xC000008Cu
#define CRASH_FLT_DIVIDE_BY_ZERO 0xC000008Eu
#define CRASH_FLT_INEXACT_RESULT 0xC000008Fu
#define CRASH_FLT_INVALID_OPERATION 0xC0000090u
#define CRASH_FLT_OVERFLOW 0xC0000091u
#define CRASH_FLT_UNDERFLOW 0xC0000093u
#define CRASH_INT_DIVIDE_BY_ZERO 0xC0000094u
#define CRASH_INT_OVERFLOW 0xC0000095u
#define CRASH_PRIV_INSTRUCTION 0xC0000096u
#define CRASH_STACK_OVERFLOW 0xC00000FDu
#define CRASH_CPP_EXCEPTION 0xE06D7363u /* a C++ exception that reached a guard */
#define CRASH_FATAL_APP_EXIT 0x40000015u /* abort(): SIGABRT */

/* Name of the report file in the log directory. */
#define CRASH_REPORT_FILE_NAME "kyvek.exception"
/* Size of a process-wide report text. */
#define CRASH_REPORT_TEXT_SIZE 8192

/* One fault. */
typedef struct crash_record {
  uint32_t code;
  uint32_t flags;    /* 0: these faults are not continuable in a documented way */
  uintptr_t address; /* program counter of the fault; 0 for a C++ exception */
  uint32_t parameter_count;
  uintptr_t parameters[2]; /* access violation and in-page error: read (0) / write (1) /
                              execute (8), then the data address */
  int signal_number;       /* 0 for a C++ exception */
  int signal_code;         /* si_code */
  const void* context;     /* the ucontext_t of the fault, NULL for a C++ exception */
} crash_record;

/* Name of an exception code ("ACCESS_VIOLATION", ...), "unknown" for others. */
const char* exception_code_name(uint32_t code);

/* The exception code of a fatal signal and its si_code. fault_address and
 * page_error (the page-fault error word of the context) serve the access
 * violation; stack_low is the lowest usable address of the faulting thread's
 * stack (0 when unknown): a fault just below it is a stack overflow. */
uint32_t crash_code_of_signal(int signal_number, int signal_code, uintptr_t fault_address, uintptr_t page_error,
                              uintptr_t stack_low);

/* Fills a record from a signal (siginfo_t and ucontext_t of the handler). */
void crash_record_from_signal(crash_record* record, int signal_number, const void* siginfo, const void* ucontext,
                              uintptr_t stack_low);
/* A record for a C++ exception caught by a guard. */
void crash_record_for_exception(crash_record* record);

/* Module, segment and offset of a code address: the module's file name into
 * module[capacity], the 1-based index of the loadable segment that holds the
 * address, and the offset inside that segment. 0, or -1 when the address is
 * in no loaded module. Async-signal-safe in practice (dladdr). */
int get_logical_address(uintptr_t address, char* module, size_t capacity, uint32_t* section, uintptr_t* offset);

/* Async-signal-safe formatting: %s %hs %c %d %i %u %x %X %p %% with the l
 * modifier, a '0' flag and a width. %p is the address as 16 upper-case hex
 * digits. Always terminated; returns the length written. */
int crash_vformat(char* out, size_t capacity, const char* format, va_list args);
int crash_format(char* out, size_t capacity, const char* format, ...);

/* ctime's text for a time ("Thu Dec 10 17:24:22 2026\n"), in local time by
 * the offset that crash_install (or the last guard entry) saw. out >= 26
 * bytes. Async-signal-safe. */
void crash_ctime(time_t when, char* out);

/* One report being written: the file (-1: none) and the text (NULL: none). */
typedef struct crash_report {
  int fd;
  int file_failed; /* a write to the file failed: no more file writes */
  char* text;
  size_t capacity;
  size_t length;
} crash_report;

void crash_report_begin(crash_report* report, int fd, char* text, size_t capacity);

/* Formats one line (up to 1023 bytes) and writes it to the file and, when
 * to_text, appends it to the text as far as it fits. A failing write (a full
 * disk) stops later writes to the file; the text is still built. Returns the
 * line's length. Async-signal-safe. */
size_t write_report_line(crash_report* report, int to_text, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* The report file "<log_dir>/kyvek.exception": an empty log directory, the
 * Windows default "c:\temp", or one of 498 characters or more means the
 * temporary directory ($TMPDIR, else /tmp). 0, or -1 when it does not fit. */
int crash_report_path(const char* log_dir, char* out, size_t capacity);

/* Opens the report file for appending, never following a link, mode 0600,
 * created when absent, as the process's own user even while the calling
 * thread acts as another user. A file that is not a regular file or that
 * another user owns is refused. The descriptor, or -1. Async-signal-safe. */
int crash_open_report_file(const char* path);

/* The lines about the machine: "OS: ...", "PageSize: ...", "Active Processor
 * Mask: ...", "Username: ..." (when known), "Computer Name: ...", "cwd: ...",
 * "System Dir: ...", "Windows Dir: ...". Async-signal-safe. */
void crash_write_system_lines(crash_report* report, int to_text);
/* "Caught Exception on <ctime>" (or "date/time unknown"). */
void crash_write_date_line(crash_report* report, int to_text);
/* "Exception Code: ..." to "Exception Record: ..." and the information lines. */
void crash_write_exception_lines(crash_report* report, int to_text, const crash_record* record);
/* "Module: %s, Section: %02X, Offset:%08X" when the address is in a module. */
void crash_write_module_line(crash_report* report, int to_text, uintptr_t address);
/* The call stack of the fault (file only): "Call Stack:", "Address   Frame",
 * one line per frame, "No deeper stack frame" at the stack's end, "Last error
 * from StackWalk = %ld". Without a context the walk starts at the caller. */
void write_stack_trace(crash_report* report, const crash_record* record);

/* Installs the handlers and formats the process facts. Idempotent; 0 or -1. */
int crash_install(void);

/* The report function of a guard: runs inside the handler (or after a C++
 * exception, in normal context) and must be async-signal-safe. */
typedef void (*crash_report_fn)(const crash_record* record, void* arg);

/* Guards the calling thread: an alternate signal stack, the report function
 * and its argument, the exit code of the process after a fault. Refreshes the
 * local time offset. 0 or -1 (no stack could be had). */
int crash_guard_enter(crash_report_fn fn, void* arg, int exit_code);
/* Ends the calling thread's guard and frees its alternate stack. */
void crash_guard_leave(void);
/* 1 while the calling thread is guarded. */
int crash_guard_active(void);

/* The process-wide report lock, for a report written outside the handler (a
 * C++ exception): a thread faulting meanwhile waits for it. */
void crash_report_lock(void);
void crash_report_unlock(void);

#ifdef __cplusplus
}
#endif

#endif
