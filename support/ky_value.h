/* The typed value cell: one SQL datum with its type, NULL flag, interval
 * precisions, sharing state and data. Cells are nodes (ky_list.h) of kind
 * 154, or 166 when a 128-byte inline area follows the cell. This header
 * fixes the record; the interval functions (ky_interval.h) read and write
 * the interval data and precisions of a cell. */
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

typedef struct long_buffer long_buffer;

typedef struct Value {
    int32_t node_kind;         /* 154 or 166 */
    int32_t value_type;        /* KY_VT_* */
    int32_t length;            /* text length, or the binary's declared length */
    int32_t binary_length;
    int32_t no_share;          /* set: duplicates copy instead of sharing */
    int32_t leading_precision; /* intervals */
    int32_t seconds_precision; /* intervals */
    int32_t null_indicator;    /* nonzero (-1) means NULL */
    long_buffer *long_data;    /* types 29 and 30 */
    int32_t ref_count;         /* extra holders; 0 for a fresh cell */
    mem_handle *pool;          /* owning pool */
    int32_t is_inline;         /* 1: data.bytes points into the inline area */
    union {
        int32_t integer;
        double real;
        int64_t bigint;
        void *bytes; /* text (NUL-terminated) or binary */
        SQL_DATE_STRUCT date;
        SQL_TIME_STRUCT time;
        SQL_TIMESTAMP_STRUCT timestamp;
        SQL_NUMERIC_STRUCT numeric;
        SQL_INTERVAL_STRUCT interval;
    } data;
} Value;

KY_EXTERN_C_END

#endif
