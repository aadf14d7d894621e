/* Text primitives of the ODBC layers: copying a result into a caller's
 * buffer with ODBC's truncation rule (cut to capacity - 1 and terminated, the
 * full length reported), appending with the same rule, case-insensitive
 * equality, copying into a pool and a re-entrant tokenizer.
 * A capacity of 0 or less always means "no room". */
#ifndef KY_STRING_H
#define KY_STRING_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

/* ODBC copy: len_out (optional) receives the full length of text (null
 * counts as ""); a text shorter than the capacity is copied whole and 0 is
 * returned; otherwise capacity - 1 bytes and a NUL are written and 1 is
 * returned (0 when there is no buffer or no room). The 16-bit length
 * saturates at 32767. */
KY_API int copy_str_buffer(char* buf, int32_t capacity, int16_t* len_out, const char* text);
KY_API int copy_str_bufferi(char* buf, int32_t capacity, int32_t* len_out, const char* text);
KY_API int copy_str_bufferl(char* buf, SQLLEN capacity, SQLLEN* len_out, const char* text);

/* The same into 16-bit characters (capacity and length in characters); each
 * byte becomes one character (0xE9 gives 0x00E9). */
KY_API int copy_nstr_bufferl(SQLWCHAR* buf, SQLLEN capacity, SQLLEN* len_out, const char* text);

/* Appends text after the text already in buf (found within the capacity, so
 * an earlier cut never moves the write position past the buffer). 0 when
 * the whole text fits, 1 when cut. *len (optional) grows by the text's full
 * length either way, saturating at 32767. */
KY_API int cat_str_buffer(char* buf, int32_t capacity, int16_t* len, const char* text);

/* 0 when equal ignoring ASCII letter case (two nulls are equal), else 1. */
KY_API int string_compare(const char* a, const char* b);

/* Copy of text (null gives "") allocated from pool; null on failure. */
KY_API char* string_duplicate(const char* text, mem_handle* pool);

/* Next token of text (null continues at *cursor), delimiters skipped; the
 * delimiter after the token is overwritten with NUL. Null at the end. */
KY_API char* safe_strtok(char* text, const char* delims, char** cursor);

KY_EXTERN_C_END

#endif
