// Small pure functions over ODBC SQL and C type codes: default C type of a
// result column, validity checks, datetime/interval splitting and the element
// size of a server data array. Built into the server and into the client driver.
// Thread-safe (no state).
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Flag of get_type_len: the octet length may be used for variable-size types.
#define KY_TYPELEN_USE_OCTET 0x1

// Default C type of a result column of SQL type sqltype: 0 and *ctype, or -1.
int sqltype2ctype(int16_t sqltype, int16_t* ctype);

// 0 when the code is a C (resp. SQL) type this system accepts, -1 otherwise.
int is_valid_ctype(int16_t ctype);
int is_valid_sqltype(int16_t sqltype);

// True (non-zero) for 9, 10, 11, 91, 92, 93.
int is_datetime_type(int16_t type);
// True for 101-113.
int is_interval_type(int16_t type);
// True for 101-113 and the ODBC 2 interval codes -80 to -92.
int is_any_interval_type(int16_t type);
// True for SQL_NUMERIC, SQL_DECIMAL, SQL_FLOAT, SQL_REAL, SQL_DOUBLE.
int is_precision_type(int16_t sqltype);

// Verbose type (SQL_DATETIME / SQL_INTERVAL), concise type and, with flags bit
// 0x1 or 0x2, the subcode. Null out pointers are skipped.
void split_datetime_type(int16_t type, int16_t* verbose, int16_t* concise, int16_t* subcode, uint32_t flags);
void split_interval_type(int16_t type, int16_t* verbose, int16_t* concise, int16_t* subcode, uint32_t flags);

// Size in bytes of one element of a server data array of C type ctype, or -1
// (0 for character and binary types without a usable octet length). The octet
// length is an SQLLEN; character sizes at or above 2147483647 are not raised.
int64_t get_type_len(int16_t ctype, int64_t octet_length, uint32_t flags);

// Name of a C type for traces ("SQL_C_CHAR"...), or null.
const char* ctype_name(int16_t ctype);

#ifdef __cplusplus
}  // extern "C"
#endif
