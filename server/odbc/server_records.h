// The server's handle records. For every ODBC handle a client creates through
// the bridge the server keeps one of these, wrapping the Driver Manager's
// handle. The record's address is the opaque value the client holds; every
// value received from a peer is looked up in the connection's handle registry
// (handle_registry.h) before anything reads it, and veks_chk_handle does both
// the lookup and the tag test.
//
// Threading: records are reached by the worker of the connection that issued
// them. A pooled environment is shared by several workers: its connection list
// is guarded by its lock (veks_env_lock), its diagnostic list by the list's own.
#pragma once

#include <stdint.h>
#include <sql.h>

#include "diag_post.h"
#include "statement_record.h"

#ifdef __cplusplus
extern "C" {
#endif

struct RpcHandle;
struct veks_handle_registry;

// Handle kinds: the ODBC handle types, plus 7 for descriptor records.
enum {
  VEKS_ENV = 1,
  VEKS_DBC = 2,
  VEKS_STMT = 3,
  VEKS_DESC = 4,
  VEKS_DESR = 7,
};

#define KY_TAG_ENV "ENV "
#define KY_TAG_DBC "DBC "
#define KY_TAG_DESC "SDES"
#define KY_TAG_DESR "DESR"

// Descriptor AllocType values.
enum { DESC_ALLOC_AUTO = 1, DESC_ALLOC_USER = 2 };

typedef struct environment_t {
  char tag[4];  // "ENV "
  SQLHENV driver_env;
  struct connection_t* first_dbc;  // head of the connection list (guarded by lock when pooled)
  diag_header diags;
  int16_t handle_kind;   // 1
  int32_t odbc_version;  // version the client declared; 2 maps types for ODBC 2
  void* lock;            // recursive lock, only for a pooled (shared) environment
  int32_t pooled;        // non-zero: lives in a pool slot, never freed
} environment_t;

typedef struct connection_t {
  char tag[4];         // "DBC "
  SQLHDBC driver_dbc;  // null after release
  diag_header diags;
  int16_t handle_kind;              // 2
  struct environment_t* env;        // parent
  struct connection_t* next;        // next in the environment's list
  statement_t* first_stmt;          // head of the statement list
  struct descriptor_t* first_desc;  // head of the descriptor list (implicit and explicit)
  uint32_t creator_pid;
  uint32_t creator_tid;
  char driver_name[256];                  // SQL_DRIVER_NAME, "unknown" when unreadable
  char dsn[256];                          // DSN of the connection string; server_name of its diagnostics
  uint32_t block_fetch_size;              // set_config_param 1
  uint32_t max_bookmark_size;             // set_config_param 2
  uint32_t default_param_size;            // set_config_param 4; 255 at allocation
  struct RpcHandle* rpc;                  // the link that allocated the connection
  struct veks_handle_registry* registry;  // the registry of that link
  int32_t connected;                      // non-zero while the driver connection is connected
} connection_t;

typedef struct descriptor_record_t {
  char tag[4];            // "DESR"
  int16_t concise_type;   // C type (application) or SQL type (implementation)
  int16_t default_ctype;  // IRD: C type chosen for the column's SQL type
  void* data;             // server-owned, row_capacity x element_size bytes
  int16_t datetime_interval_code;
  int32_t datetime_interval_precision;
  SQLLEN* indicator;    // may be the same array as octet_length_array
  int64_t length;       // SQL_DESC_LENGTH
  char name[128];       // IRD: column name
  int16_t name_length;  // IRD
  int16_t nullable;     // IRD
  int32_t num_prec_radix;
  int64_t octet_length;  // SQL_DESC_OCTET_LENGTH; IRD: the column size
  SQLLEN* octet_length_array;
  int16_t parameter_type;  // IPD
  int16_t precision;
  int16_t scale;  // IRD: decimal digits
  int16_t type;   // SQL_DESC_TYPE (9 datetime, 10 interval, else concise)
  int16_t unnamed;
  uint64_t row_capacity;    // rows the arrays were sized for
  uint64_t data_alloc_len;  // bytes of the data array
  uint64_t element_size;    // bytes of one element of the data array
} descriptor_record_t;

typedef struct descriptor_t {
  char tag[4];                // "SDES"
  statement_t* owner;         // set for the implicit descriptors of a statement
  struct descriptor_t* next;  // next in the connection's descriptor list
  SQLHDESC driver_desc;       // null once the driver side is gone
  connection_t* dbc;
  int16_t alloc_type;            // DESC_ALLOC_AUTO or DESC_ALLOC_USER
  uint64_t array_size;           // SQL_DESC_ARRAY_SIZE; 1 at creation
  uint16_t* status_array;        // SQL_DESC_ARRAY_STATUS_PTR, server-owned
  uint64_t status_count;         // elements status_array was made for
  uint16_t* ext_status_array;    // IRD: row status array of an extended fetch
  uint64_t ext_status_count;     // elements of ext_status_array
  uint64_t ext_rowset_size;      // ARD: rowset size of the last extended fetch; 1 at creation
  uint32_t bind_type;            // SQL_DESC_BIND_TYPE
  int16_t record_count;          // SQL_DESC_COUNT
  SQLULEN* rows_processed;       // SQL_DESC_ROWS_PROCESSED_PTR, server-owned
  int32_t alloc_records;         // size of the record array
  descriptor_record_t* records;  // indexed by column or parameter number; 0 is the bookmark
  diag_header diags;
  int16_t handle_kind;  // 4 for explicit descriptors, 0 for implicit ones
} descriptor_t;

// Highest record number a descriptor may hold (SQL_DESC_COUNT is a SQLSMALLINT).
#define VEKS_MAX_DESC_RECORD 32767

// 0 when record is a live record of the kind and, for kinds 1-4, was issued on
// the calling thread's link; 1 otherwise (null, freed, foreign, wrong kind,
// random); 2 for a kind other than 1, 2, 3, 4, 7. Never reads memory that the
// registry does not vouch for. Kind 7 (descriptor records, never sent to a
// peer) is checked by tag only.
int veks_chk_handle(int16_t type, const void* record);

// Tag test alone, for pointers taken from the server's own lists.
int veks_tag_ok(int16_t type, const void* record);

// Lock of a pooled environment's connection list (no-op for others).
void veks_env_lock(environment_t* env);
void veks_env_unlock(environment_t* env);

// The connection's data source name for server_name of diagnostics ("" for null).
const char* veks_dbc_dsn(const connection_t* dbc);
// The connection owning a statement (as connection_t), or null.
connection_t* veks_stmt_dbc(const statement_t* stmt);

#ifdef __cplusplus
}  // extern "C"
#endif
