// The server's statement record (statement_t, built with allocate_statement),
// and the numbering that both ends use for a statement's descriptor slots,
// fetch kinds and need-data sources. The client driver keeps its own record
// (client_stmt, client/driver/driver.h) with these numbers.
#pragma once

#include <stdint.h>

#include "diag_post.h"

#ifdef __cplusplus
extern "C" {
#endif

struct descriptor_t;

#define KY_TAG_STMT "STMT"

// Descriptor slots of a statement.
enum { DESC_APD = 0, DESC_ARD = 1, DESC_IPD = 2, DESC_IRD = 3, DESC_SLOTS = 4 };

// Statement flags word.
enum {
  STMT_DESCRIBED = 0x80,        // the current result set has been described
  STMT_VALUES_REFUSED = 0x100,  // the last parameter-value transfer failed: the execution after it is refused
};

// Fetch kinds (how the last fetch was made).
enum { FETCH_PLAIN = 1, FETCH_EXTENDED = 2, FETCH_SCROLL = 3 };

// Need-data sources (which call returned SQL_NEED_DATA).
enum { NEED_DATA_EXECUTE = 1, NEED_DATA_EXEC_DIRECT = 2, NEED_DATA_SETPOS = 3, NEED_DATA_BULK = 4 };

typedef struct statement_t {
  char tag[4];               // "STMT"; cleared before the record is freed
  void* owner;               // the connection_t
  struct statement_t* next;  // doubly linked statement list of the connection
  struct statement_t* prev;
  void* driver_stmt;                               // the Driver Manager's statement handle
  struct descriptor_t* implicit_desc[DESC_SLOTS];  // APD, ARD, IPD, IRD made with the statement; owned by it
  struct descriptor_t* current_desc[DESC_SLOTS];   // in use; APD/ARD may be explicit descriptors
  int16_t result_columns;                          // SQLNumResultCols of the current result set
  uint32_t flags;                                  // STMT_*
  int32_t fetch_kind;                              // FETCH_*
  int32_t need_data_source;                        // NEED_DATA_*
  char* saved_text;                                // last prepared statement text (owned), or null
  int32_t log_next_diag;                           // 1: log the next diagnostic read to the SQL error log
  void* bookmark_buf;                              // server-owned SQL_ATTR_FETCH_BOOKMARK_PTR buffer, or null
  uint64_t bookmark_size;                          // bytes allocated for bookmark_buf
  diag_header diags;
  int16_t handle_kind;  // 3
} statement_t;

// A zeroed statement record with its tag and owner, or null without memory.
// Free it with free_statement_record once every owned member is released.
statement_t* allocate_statement(void* owner);

// Clears the tag, frees the diagnostics, the saved text and the bookmark buffer,
// and the record itself. Descriptors are the caller's.
void free_statement_record(statement_t* stmt);

#ifdef __cplusplus
}  // extern "C"
#endif
