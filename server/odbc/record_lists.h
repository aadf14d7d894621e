// Statement and descriptor lists of a connection, descriptor record arrays,
// the server-owned data, length and status arrays bound on the driver in place
// of the client's memory, and the description of new result sets.
//
// Threading: a connection's lists belong to the worker serving it.
#pragma once

#include <stdint.h>
#include <sql.h>

#include "server_records.h"

#ifdef __cplusplus
extern "C" {
#endif

// List operation modes.
enum { LIST_FIND = 0, LIST_CREATE = 1, LIST_REMOVE = 2 };

// Bound on one server array (data, lengths or statuses), in bytes.
#define VEKS_MAX_ARRAY_BYTES (256ull * 1024 * 1024)

descriptor_t* allocate_descriptor(connection_t* dbc, statement_t* owner, SQLHDESC driver_desc);

// CREATE/FIND: the record or null. REMOVE: null on success, non-null on failure.
// FIND searches by driver handle; CREATE and REMOVE by record address.
// CREATE of a statement also makes its four implicit descriptors; REMOVE frees
// only implicit descriptors (an explicit current APD/ARD stays with its connection).
descriptor_t* find_descriptor_in_list(connection_t* dbc, statement_t* owner, descriptor_t* desc, SQLHDESC driver_desc,
                                      int mode);
statement_t* find_statement_in_list(connection_t* dbc, statement_t* stmt, SQLHSTMT driver_stmt, int mode);

// Address of record n (records 0..n exist afterwards), or null when n is out of
// range (negative or above VEKS_MAX_DESC_RECORD) or memory fails.
descriptor_record_t* veks_expand_desc_recs(descriptor_t* desc, int32_t n);

// Modes of veks_release_desc_recs.
enum { RELEASE_TRIM = 0, RELEASE_ALL = 1, RELEASE_ABOVE = 2 };
void veks_release_desc_recs(descriptor_t* desc, int32_t k, int mode);

// Frees one record's arrays (a shared indicator/octet-length array once).
void veks_free_record_arrays(descriptor_record_t* rec);

SQLRETURN resize_buffers(statement_t* stmt, descriptor_t* desc, uint64_t rows);
SQLRETURN resize_status_array(uint64_t count, statement_t* stmt, SQLINTEGER attribute, descriptor_t* desc);
SQLRETURN resize_row_status_arrays(uint64_t count, statement_t* stmt, descriptor_t* ard, descriptor_t* ird);
SQLRETURN resize_parameter_status_array(uint64_t count, statement_t* stmt, descriptor_t* apd, descriptor_t* ipd);

// Describes the current result set into the statement's IRD (once per result set).
SQLRETURN veks_new_result_set(statement_t* stmt, SQLRETURN driver_result);

// 0 when desc may become the statement's APD or ARD (attribute 10011 or 10010).
int check_desc_assignable(statement_t* stmt, SQLINTEGER attribute, descriptor_t* desc);
// Implicit-descriptor slots of the connection's statements that hold desc.
int count_desc_users(descriptor_t* desc, statement_t** first);

#ifdef __cplusplus
}  // extern "C"
#endif
