/* Small functions of the server program shared by its process part and its
 * HTTP administration component. */
#ifndef KYVEK_SERVER_UTILS_H
#define KYVEK_SERVER_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Reads Settings/name as text. 0 (empty when absent); -1 when the value and
 * its terminator do not fit capacity (out untouched). */
int read_setting_text(char *out, size_t capacity, const char *name);

/* Bytes to reserve for decoding text: ((n + 3) / 4) * 3 + 1, n = the number of
 * leading base64 characters. */
size_t base64_decoded_size(const char *text);

/* Decodes the leading run of base64 characters; out gets the bytes and a NUL.
 * Returns the number of bytes decoded. */
size_t base64_decode(unsigned char *out, const char *text);
size_t base64_decode_text(char *out, const char *text); /* same, for text buffers */

/* "$Built: Sep 14 2018 15:55:16 $" */
const char *get_build_stamp(void);

/* CPU seconds of this process. 0; -1 when an output is NULL or platform is 0
 * (outputs untouched) or the times cannot be read (both 0.0). */
int get_cpu_times(uint16_t platform, double *kernel_seconds, double *user_seconds);

/* Cuts text at the first of separators (overwritten with NUL). text NULL
 * continues from *cursor. Returns the token, or NULL when exhausted. */
char *next_token(char *text, const char *separators, char **cursor);

/* Cuts text into at most slots parts: each part a malloc'ed copy, the last slot
 * the uncut rest (not copied; NULL when nothing is left). Returns the number of
 * slots written + 1, or -1 when text is NULL, slots < 1 or a copy fails. */
int split_string(const char *separators, int slots, char **out, char *text);

/* Restricts the process to the requested processors that exist (call before
 * any thread starts); no change when none of them exists. */
void set_process_affinity(uint32_t mask);

/* Low 32 bits of the active processor mask and the number of processors. */
void get_processor_info(uint32_t *mask, uint32_t *count);

/* Always 1 here. */
int is_windows_nt(void);

/* No effect; 0. */
int set_process_tag(const char *tag);

/* "%s, %.2d %s %d %.2d:%.2d:%.2d %s" (day, date, month, year, time, zone) of
 * *when (NULL: now) in local time. flags 0x1: no zone (the text ends in a
 * blank). An empty zone name gives "GMT" and UTC. tm_out receives the broken
 * down time. 0; -1 when capacity is below 64. */
int format_date_text(char *out, size_t capacity, const time_t *when, struct tm *tm_out,
                     uint32_t flags);

/* The server's clock (seconds since 1970); replaceable for tests. */
typedef time_t (*server_clock_fn)(void);
time_t server_time_now(void);
void set_server_clock(server_clock_fn clock); /* NULL: the system clock */

/* Joins LogDir and a file name ("\\" in LogDir becomes "/"; an empty LogDir is
 * the temporary directory). */
int server_log_path(char *out, size_t capacity, const char *file_name);

/* Writes all size bytes of data to fd, again after EINTR. 0; -1 when a write
 * fails (errno set; what came before it stays written). */
int write_fully(int fd, const void *data, size_t size);

/* Trace line through the server log when trace bits are set in the trace mask. */
void server_trace(uint32_t bits, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}
#endif

#endif
