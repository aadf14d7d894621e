/* Handle records of the library's own ODBC layer: environment (node kind
 * 200), connection (201) and statement (202). Each begins with the same
 * head, which carries the ODBC version the application asked for and the
 * diagnostics area (ky_diag.h). The cursor names (ky_cursor.h), the time-out
 * check (ky_thread.h) and the operators on value cells work on these
 * records. */
#ifndef KY_HANDLE_H
#define KY_HANDLE_H

#include <stdint.h>

#include "ky_api.h"
#include "ky_config.h"
#include "ky_list.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

typedef struct ErrorHeader ErrorHeader;

/* Longest cursor name a statement holds, in bytes. */
#define KY_CURSOR_NAME_MAX 128

/* Common head of the three records. */
typedef struct ky_handle {
  int32_t node_kind;    /* KY_NODE_ENV, KY_NODE_DBC or KY_NODE_STMT */
  int32_t odbc_version; /* 2, 3 or 380; 3 and above behave as ODBC 3 */
  mem_handle* pool;     /* pool of the record's allocations */
  ErrorHeader* errors;  /* diagnostics area, or null */
} ky_handle;

typedef struct ky_env {
  ky_handle head;
} ky_env;

typedef struct ky_dbc {
  ky_handle head;
  ConfigHandle* config;    /* configuration of the connection, or null */
  uint32_t cursor_counter; /* next number of a generated cursor name */
  List* cursors;           /* statements bearing names; null data: free slot */
} ky_dbc;

/* Statement states in which a time-out applies. */
#define KY_STMT_EXECUTING 2
#define KY_STMT_FETCHING 3

typedef struct ky_stmt {
  ky_handle head;
  ky_dbc* dbc;
  char cursor_name[KY_CURSOR_NAME_MAX + 1]; /* "" when the statement has none */
  int32_t state;
  /* Deadline in milliseconds of the monotonic clock (CLOCK_MONOTONIC), 0
   * for none, so that setting the wall clock neither fires nor stalls it. */
  int64_t deadline_ms;
  int32_t cancel; /* set by another thread to cancel; read atomically */
} ky_stmt;

/* Evaluation of an expression on a statement: the operators on value cells
 * post their errors on the statement (when given) and set `failed`. */
typedef struct ky_eval_context {
  ky_stmt* stmt;
  int32_t failed;
} ky_eval_context;

KY_EXTERN_C_END

#endif
