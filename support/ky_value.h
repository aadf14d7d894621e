/* The typed value cell: one SQL datum with its type, NULL flag, interval
 * precisions, sharing state and data. Cells are nodes (ky_list.h) of kind
 * 154, or 166 when a 128-byte inline area follows the cell; a larger inline
 * area makes one ordinary pool block of the cell and its bytes. Cells are
 * reference counted inside their pool, can be shared or deep-copied,
 * converted, compared, written as SQL literals and packed into a stored
 * field form for row storage.
 *
 * Stored field form: length (int32, -1 for NULL), binary data length
 * (int32), value type (int32), then the data bytes (KY_DM_HEADER bytes
 * from the start): integers 4, doubles and big integers 8, dates and times
 * 6, timestamps 16, numerics 19, intervals 28, texts and binaries their
 * length, long types none. */
#ifndef KY_VALUE_H
#define KY_VALUE_H

#include <stdint.h>
#include <sqltypes.h>

#include "ky_api.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

/* value_type codes */
#define KY_VT_INTEGER 1
#define KY_VT_DOUBLE 2
#define KY_VT_TEXT 3
#define KY_VT_INTEGER2 4
#define KY_VT_BINARY 5
#define KY_VT_DATE 7
#define KY_VT_TIME 8
#define KY_VT_TIMESTAMP 9
#define KY_VT_NUMERIC 10
#define KY_VT_NULL 11
#define KY_VT_BIGINT 12
#define KY_VT_INTERVAL_YM 13
#define KY_VT_INTERVAL_DS 14
#define KY_VT_LONG_TEXT 29
#define KY_VT_LONG_BINARY 30
#define KY_VT_UNKNOWN (-9999)

/* Operator codes of the operators on cells (numeric_operation,
 * bigint_operation, interval_operation). */
#define KY_OP_ADD 1
#define KY_OP_SUBTRACT 2
#define KY_OP_MULTIPLY 4
#define KY_OP_DIVIDE 5
#define KY_OP_LESS 7
#define KY_OP_GREATER 8
#define KY_OP_GREATER_EQUAL 9
#define KY_OP_LESS_EQUAL 10
#define KY_OP_EQUAL 11
#define KY_OP_NOT_EQUAL 12

/* Size of the inline area of a cell of kind 166. */
#define KY_VALUE_INLINE 128
/* Bytes before the data of a stored field. */
#define KY_DM_HEADER 12

typedef struct long_buffer long_buffer;

typedef struct Value {
  int32_t node_kind;  /* 154 or 166 */
  int32_t value_type; /* KY_VT_* */
  int32_t length;     /* text length, or the binary's declared length */
  int32_t binary_length;
  int32_t no_share;          /* set: duplicates copy instead of sharing */
  int32_t leading_precision; /* intervals */
  int32_t seconds_precision; /* intervals */
  int32_t null_indicator;    /* nonzero (-1) means NULL */
  long_buffer* long_data;    /* types 29 and 30 */
  int32_t ref_count;         /* extra holders; 0 for a fresh cell */
  mem_handle* pool;          /* owning pool */
  int32_t is_inline;         /* 1: data.bytes points into the inline area */
  union {
    int32_t integer;
    double real;
    int64_t bigint;
    void* bytes; /* text (NUL-terminated) or binary */
    SQL_DATE_STRUCT date;
    SQL_TIME_STRUCT time;
    SQL_TIMESTAMP_STRUCT timestamp;
    SQL_NUMERIC_STRUCT numeric;
    SQL_INTERVAL_STRUCT interval;
  } data;
} Value;

/* value_type of an SQL type code; KY_VT_UNKNOWN for others. */
KY_API int32_t sql_to_value_type(int32_t sql_type);

/* New cell in pool: length 0 a plain cell; below 128 a cell with a 128-byte
 * inline area; else a cell followed by length bytes. With a length, the
 * data pointer is set to the inline area. Null on failure or a negative
 * length. */
KY_API Value* NewValue(mem_handle* pool, int32_t length);

/* Drops one holder: a shared cell loses a reference, else its own text or
 * binary buffer, its long buffer and the cell are freed. Null does nothing. */
KY_API void release_value(mem_handle* pool, Value* cell);

/* Deep copy in pool (reference count 0, long data cloned); a NULL cell for
 * a null source; null when memory runs out. */
KY_API Value* duplicate_value(mem_handle* pool, const Value* cell);

/* The same cell with one more holder when it belongs to pool and may be
 * shared; else duplicate_value. */
KY_API Value* duplicate_value_ex(mem_handle* pool, Value* cell);

/* Copies type, NULL flag, precisions and data of src (an interval cell). */
KY_API void set_value_to_interval(Value* dest, const Value* src);

/* Stores d in the cell's own type: integers truncated toward zero, numerics
 * at the cell's precision and scale. 0; -2 when d does not fit (integers are
 * then set to the nearest limit, numerics left unchanged); -1 for a type
 * that holds no number. */
KY_API int set_value_to_double(Value* cell, double d);

/* The datum as a number: integers by value, doubles truncated toward zero,
 * texts by a decimal parse, numerics exactly; out-of-range values give the
 * nearest limit of the result type. 0 for NULL and other types. */
KY_API double get_double_from_value(const Value* cell);
KY_API int32_t get_int_from_value(const Value* cell);
KY_API int64_t get_bigint_from_value(const Value* cell);

/* The text of a text cell; "" for NULL or another type. */
KY_API const char* get_string_from_value(const Value* cell);

/* 2 for NULL, else 1 when the datum is nonzero, else 0. */
KY_API int32_t get_trivalue_from_value(const Value* cell);

/* Makes the cell an integer: 2 sets NULL and returns 0; else stores and
 * returns 1 for 1 and 0 for anything else. */
KY_API int32_t set_trivalue_in_value(Value* cell, int32_t tri);

/* Bytes a value of the SQL or C type needs. */
KY_API int32_t get_buffer_length(int32_t column_size, int32_t type);

/* Data bytes of the stored field form of an SQL type. */
KY_API int32_t get_dm_length(int32_t sql_type, int32_t column_size);

/* Packs the cell into the stored field dm of capacity bytes (header and
 * data). 0; -1 for a null argument, a type with no stored form or a field
 * that is too small. */
KY_API int value_to_dm(const Value* cell, void* dm, int32_t capacity);

/* Unpacks a stored field into the cell's own type. A text or binary that
 * does not fit the cell's buffer gets a new buffer from the cell's pool.
 * 0; -1 for a null argument or when no buffer can be had. */
KY_API int dm_to_value(const void* dm, Value* cell);

/* Data bytes of a stored field read as the cell's type; 0 for NULL. */
KY_API int32_t get_length_from_dm(const void* dm, const Value* cell);

/* -1 / 0 / 1; NULL sorts first. */
KY_API int compare_dm(const void* a, const void* b);
KY_API int compare_values(const Value* a, const Value* b);

/* SQL literal text of the cell, copied into out[capacity] with the ODBC
 * rule; returns out, or the static text "NULL" for a NULL cell (out left
 * alone), or null for a null cell or buffer. */
KY_API const char* value_as_text(const Value* cell, char* out, int32_t capacity);

/* Text with the caller's delimiters (null means ""); with flag set, a
 * timestamp of all zero fields is "NULL", one at midnight only its date and
 * one with a zero date only its time. Copied like value_as_text; returns
 * out, or null for a null cell or buffer. */
KY_API const char* value_as_text_ex(const Value* cell, char* out, int32_t capacity, const char* date_prefix,
                                    const char* date_suffix, const char* time_prefix, const char* time_suffix,
                                    const char* timestamp_prefix, const char* timestamp_suffix,
                                    const char* binary_prefix, const char* binary_suffix, int32_t flag);

KY_EXTERN_C_END

#endif
