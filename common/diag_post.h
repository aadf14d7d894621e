// Diagnostic record lists kept inside every handle record, and the posting
// functions that fill them. Built into the server and into the client driver
// with the same layout and vendor texts; needs no Driver Manager.
//
// Threading: a list belongs to the thread serving its handle. A list that several
// threads reach (a pooled environment) is given a lock with diag_make_shared();
// posting and clearing then take it, and readers take it with diag_lock().
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// One diagnostic record. Fields follow the alphabetical order of the ODBC
// diagnostic field names. Every text is a private heap copy owned by the record.
typedef struct error_record {
  char* class_origin;     // "ISO 9075", "ODBC 3.0", "ODBC 2.0" or "UNKNOWN"
  int32_t column_number;  // SQL_DIAG_COLUMN_NUMBER
  char* connection_name;  // vendor identifier, also the bracketed message prefix
  char* message_text;     // "[" connection_name "]" message; null when none was posted
  int32_t native_error;   // SQL_DIAG_NATIVE
  int64_t row_number;     // SQL_DIAG_ROW_NUMBER (an SQLLEN in ODBC)
  char* server_name;      // data source name of the connection, or ""
  char* sqlstate;         // five characters, or null
  char* subclass_origin;  // or null
  struct error_record* next;
} error_record;

enum {
  DIAG_RC_RECORDED = 0x1,  // diag_header.flags: set_return_code stored a result
  DIAG_ERROR_WALK = 0x2,   // diag_header.flags: an ODBC 2 SQLError walk runs (the driver)
  DIAG_OWN_ONLY = 0x4,     // diag_header.flags: the call was refused before the target driver saw it, so the
                           // driver's records are an earlier call's and are not listed (the server)
};

typedef struct diag_header {
  int16_t return_code;   // recorded by set_return_code
  uint32_t flags;        // DIAG_RC_RECORDED; cleared with the list
  int32_t record_count;  // completed records in the list
  error_record* first;   // posting order; null when empty
  void* lock;            // null, or the lock of a list shared between threads
  // The driver's SQLError walk, valid while DIAG_ERROR_WALK is set: the records
  // still to return and the number of the next one. Clearing the list ends it.
  int32_t walk_remaining;
  int32_t walk_next;
} diag_header;

// Vendor flags of post_error, tested in this order when no connection name is given.
enum {
  VENDOR_SERVER = 0x1,  // "Kyronde ODBC (Server)"
  VENDOR_CLIENT = 0x2,  // "Kyronde ODBC (Client)"
  VENDOR_COMMON = 0x4,  // "Kyronde ODBC (Common)"
  VENDOR_NONE = 0x8,    // "" (empty)
};

// Class kinds of post_error.
enum {
  CLASS_ODBC3 = 0,  // "ODBC 3.0"
  CLASS_ISO = 1,    // "ISO 9075"
  CLASS_ODBC2 = 2,  // "ODBC 2.0" (the driver's ODBC 2 functions)
};

// The longest text the system formats for a record of its own. A record's
// text (one copied from a target driver above all) is kept whole, whatever
// its length.
#define KY_MAX_DIAG_MESSAGE 1023

// Appends one record. A null errp adds nothing. The format is expanded with
// the arguments; connection_name is copied literally. Never reports failure:
// when memory runs out the list stays as it was.
void post_error(diag_header* errp, uint32_t vendor_flags, int class_kind, int32_t column_number,
                const char* connection_name, const char* server_name, int32_t native_error, int64_t row_number,
                const char* subclass_origin, const char* sqlstate, const char* message_format, ...)
    __attribute__((format(printf, 11, 12)));

// Stores rc and marks it recorded; returns rc. A null errp stores nothing and returns 0.
int16_t set_return_code(diag_header* errp, int16_t rc);

// Frees every record and empties the list (flags and count to 0).
void clear_errors(diag_header* errp);

// Number of the record (1-based) or null. The caller holds the list's lock
// when the list is shared.
const error_record* diag_record(const diag_header* errp, int32_t number);

// Shared lists: give the list a lock (idempotent; 0 on success, -1 without
// memory); release it when the record is freed. diag_lock/diag_unlock are no-ops
// for lists without a lock. The lock is recursive.
int diag_make_shared(diag_header* errp);
void diag_free_lock(diag_header* errp);
void diag_lock(diag_header* errp);
void diag_unlock(diag_header* errp);

// Vendor identifier chosen by the vendor flags (never null).
const char* diag_vendor_text(uint32_t vendor_flags);

#ifdef __cplusplus
}  // extern "C"

#include "sqlstate.h"

// Appends one record of a state with its text from the table.
inline void post_error(diag_header* errp, uint32_t vendor_flags, int class_kind, int32_t column_number,
                       const char* connection_name, const char* server_name, int32_t native_error, int64_t row_number,
                       const char* subclass_origin, const kyvek::sqlstate::Row& state) {
  post_error(errp, vendor_flags, class_kind, column_number, connection_name, server_name, native_error, row_number,
             subclass_origin, state.state, "%s", state.text);
}
#endif
