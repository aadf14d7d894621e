/* Long-data buffers: long text and long binary values (value types 29 and
 * 30) kept in an unnamed temporary file that disappears with its last
 * descriptor. Data is appended, then read out in pieces with SQLGetData's
 * rules: the length of the rest, truncation, NULL once, then no data. A
 * buffer is a pool block; cloning into another pool shares the file, and
 * every buffer reads at its own position, so clones never disturb each
 * other. Lengths and positions are 64-bit. */
#ifndef KY_LONGBUF_H
#define KY_LONGBUF_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_config.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

#define KY_LONG_STATE_SIZE 1025
#define KY_LONG_NAME_SIZE 128
/* Largest length a buffer grows to unless its max_length is set lower. */
#define KY_LONG_BUFFER_MAX_DEFAULT ((int64_t)1 << 40)

typedef struct long_buffer {
  mem_handle* pool;
  intptr_t words[2];              /* the caller's, copied on clone */
  int64_t position;               /* next byte to read */
  int64_t length;                 /* bytes appended */
  char state[KY_LONG_STATE_SIZE]; /* the caller's, copied on clone */
  int32_t is_null;                /* set: the buffer stands for an SQL NULL */
  int fd;
  int64_t word64;   /* 0 at allocation */
  int32_t sql_type; /* SQL_LONGVARBINARY (-4) marks long binary */
  ConfigHandle* config;
  char file_name[KY_LONG_NAME_SIZE]; /* directory of the unnamed file */
  int32_t stmt_created;
  void* stmt;
  int64_t max_length; /* appends beyond it are refused */
  int32_t finished;   /* the last piece has been handed out */
} long_buffer;

/* Creates an unnamed temporary file in the "blob_path" directory of the
 * configuration (get_default), or $TMPDIR or /tmp when that is empty or the
 * handle is null; name_out (optional, 128 bytes) gets the directory. The
 * descriptor, or -1. */
KY_API int open_buffer(ConfigHandle* config, char* name_out);

/* New empty buffer in pool with its own file; null when the file or the
 * block cannot be made. */
KY_API long_buffer* allocate_long_buffer(mem_handle* pool, intptr_t word1, intptr_t word2, ConfigHandle* config,
                                         int32_t sql_type);

/* In the buffer's own pool: the same buffer with one more reference. In
 * another pool: a new buffer sharing the file, with the same position,
 * length, NULL flag and state. Null on failure. Release with ky_mem_free. */
KY_API long_buffer* clone_long_buffer(long_buffer* buf, mem_handle* pool);

/* Appends count bytes (-3: a NUL-terminated text, refused for long binary).
 * 0; -1 for a bad count, an append beyond max_length or a failed write, the
 * length then unchanged. */
KY_API int append_to_long_buffer(long_buffer* buf, const void* data, SQLLEN count);

/* The next piece into out[capacity]: 0 when the rest fitted, 1 when cut
 * (text: capacity - 1 bytes and a NUL; binary: capacity bytes), 100 when no
 * data remains (len_out 0), -1 on a read failure. len_out gets the length of
 * the rest before the call, or -1 once for a NULL buffer. Capacity 0 only
 * reports the length. */
KY_API int extract_from_long_buffer(long_buffer* buf, void* out, SQLLEN capacity, SQLLEN* len_out, int32_t binary);

/* The same with each byte widened to one 16-bit character; capacity and
 * lengths in characters. */
KY_API int extract_from_long_nbuffer(long_buffer* buf, SQLWCHAR* out, SQLLEN capacity, SQLLEN* len_out, int32_t binary);

/* Reading starts again at the beginning. 0, -1 for null. */
KY_API int rewind_long_buffer(long_buffer* buf);

/* Reading continues at offset (past the end: no data). Returns the offset,
 * -1 for null or a negative offset. */
KY_API SQLLEN position_long_buffer(long_buffer* buf, SQLLEN offset);

KY_API SQLLEN long_buffer_length(long_buffer* buf);

/* Plain file access: bytes transferred (file_write loops until all are
 * written) or -1; file_close returns 0; file_seek moves to offset from the
 * start and returns the new position, or -1. */
KY_API SQLLEN file_read(void* data, SQLLEN count, int fd);
KY_API SQLLEN file_write(const void* data, SQLLEN count, int fd);
KY_API int file_close(int fd);
KY_API SQLLEN file_seek(int fd, SQLLEN offset);

KY_EXTERN_C_END

#endif
