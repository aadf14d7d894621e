/* The start-up log of the server process: "kyvekstart.log" in LogDir, written
 * only while trace bit 0x800 is set. Entries are "(<seconds>) (<thread id>) "
 * and the text; the file is flushed after each entry and stays open until
 * close_startup_log (Logging switched off). Any thread may write. */
#ifndef KYVEK_SERVER_STARTUP_LOG_H
#define KYVEK_SERVER_STARTUP_LOG_H

#ifdef __cplusplus
extern "C" {
#endif

void startup_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void close_startup_log(void);

#ifdef __cplusplus
}
#endif

#endif
