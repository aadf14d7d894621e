// Server-side parts of diagnostics and type mapping that need the Driver
// Manager or a server connection record: copying a driver handle's diagnostic
// records into a server record's list, and the ODBC 2 type mappings.
#pragma once

#include <stdint.h>
#include <sql.h>

#include "server_records.h"
#include "sqlstate.h"

#ifdef __cplusplus
extern "C" {
#endif

// Appends the diagnostic records of a driver handle (driver_type: SQL_HANDLE_*)
// to the list of a server record of kind server_type (1-4).
void load_sql_diags(int16_t server_type, void* server_record, int16_t driver_type, SQLHANDLE driver_handle);

// The diagnostic list inside a server record of kind 1-4, or null.
diag_header* veks_diag_of(int16_t kind, void* record);

// Posts a server record (vendor "Kyronde ODBC (Server)", class and subclass
// origin "ISO 9075") with the connection's data source name as server name.
void veks_post(diag_header* errp, const connection_t* dbc, const char* sqlstate, int32_t native_error,
               const char* format, ...) __attribute__((format(printf, 5, 6)));

// The type as an ODBC 2 application sees it (ODBC version 2 of the connection's
// environment); every other code, or another version, passes unchanged.
int16_t map_sql_type_odbc2(const connection_t* dbc, int16_t sqltype);
int16_t map_c_type_odbc2(const connection_t* dbc, int16_t ctype);

#ifdef __cplusplus
}  // extern "C"

// Posts a server record of a state with its text from the table.
inline void veks_post(diag_header* errp, const connection_t* dbc, const kyvek::sqlstate::Row& state,
                      int32_t native_error) {
  veks_post(errp, dbc, state.state, native_error, "%s", state.text);
}
#endif
