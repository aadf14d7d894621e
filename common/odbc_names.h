/* ODBC name tables for traces: write ODBC numbers as names in the trace log.
 *
 * Each helper writes unconditionally; callers test the trace mask first. The
 * numbers are those of the ODBC headers; names are upper case without the
 * SQL_, SQL_ATTR_, SQL_DESC_ or SQL_COLUMN_ prefix (function names keep their
 * "SQL"). Lookups scan a fixed table; the first match wins.
 *
 * Threading: no state of their own; lines go through the trace log writer. */
#ifndef KYVEK_CLIENT_COMMON_ODBC_NAMES_H
#define KYVEK_CLIENT_COMMON_ODBC_NAMES_H

#include <sql.h>
#include <stdint.h>

/* Modes of log_stmt_attr and log_desc_field. */
#define KY_NAME_ONLY_CONTINUE 0 /* write "\t<name>\t" without a line end */
#define KY_NAME_AND_VALUE 1     /* write "\t<name>\t<value>\n" */
#define KY_NAME_ONLY 2          /* write nothing, return the name */

/* Returned by log_stmt_attr and log_desc_field for a number not in the table. */
#define KY_UNKNOWN_ATTRIBUTE "Unknown Statement attribute"

#ifdef __cplusplus
extern "C" {
#endif

/* Writes a successful SQLGetFunctions result: function_id 999 reads supported
 * as the ODBC 3 bitmap (250 entries), 0 as the 100-entry ODBC 2 array, any
 * other id reads supported[0]. */
void log_functions_supported(uint16_t function_id, const uint16_t* supported);

/* One ODBC 2 connection option and its value (a number, or a text pointer). */
void log_connect_option(uint16_t option, SQLULEN value);

/* One column attribute: text for text fields, *numeric for number fields. */
void log_col_attribute(uint16_t column, uint16_t field, const char* text, const SQLLEN* numeric);

/* Name of a statement attribute / descriptor field (KY_UNKNOWN_ATTRIBUTE when
 * not in the table), written per mode. value is a number, a text pointer or a
 * pointer, as the row says. */
const char* log_stmt_attr(int32_t attribute, SQLULEN value, int mode);
const char* log_desc_field(int16_t field, SQLULEN value, int mode, void* unused);

#ifdef __cplusplus
}
#endif

#endif
