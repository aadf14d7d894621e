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

/* "$Built: Sep 14 2018 15:55:16 $" */
const char* get_build_stamp(void);

/* CPU seconds of this process. 0; -1 when an output is NULL or platform is 0
 * (outputs untouched) or the times cannot be read (both 0.0). */
int get_cpu_times(uint16_t platform, double* kernel_seconds, double* user_seconds);

/* Restricts the process to the requested processors that exist (call before
 * any thread starts); no change when none of them exists. */
void set_process_affinity(uint32_t mask);

/* Low 32 bits of the active processor mask and the number of processors. */
void get_processor_info(uint32_t* mask, uint32_t* count);

/* "%s, %.2d %s %d %.2d:%.2d:%.2d %s" (day, date, month, year, time, zone) of
 * *when (NULL: now) in local time. flags 0x1: no zone (the text ends in a
 * blank). An empty zone name gives "GMT" and UTC. tm_out receives the broken
 * down time. 0; -1 when capacity is below 64. */
int format_date_text(char* out, size_t capacity, const time_t* when, struct tm* tm_out, uint32_t flags);

/* The server's clock (seconds since 1970); replaceable for tests. */
typedef time_t (*server_clock_fn)(void);
time_t server_time_now(void);
void set_server_clock(server_clock_fn clock); /* NULL: the system clock */

/* Writes all size bytes of data to fd, again after EINTR. 0; -1 when a write
 * fails (errno set; what came before it stays written). */
int write_fully(int fd, const void* data, size_t size);

/* Trace line through the server log when trace bits are set in the trace mask. */
void server_trace(uint32_t bits, const char* format, ...) __attribute__((format(printf, 2, 3)));

#ifdef __cplusplus
}

#include <string>

/* The system's text of an errno value, with the number: "Address already in
 * use (errno 98)". Every event and trace line of the server that names an
 * errno value uses it. */
std::string errno_text(int e);
#endif

#endif
