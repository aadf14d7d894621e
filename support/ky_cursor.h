/* Cursor names per connection: each statement may bear a name, unique
 * within its connection, set by the application or generated. The
 * connection lists the statements that bear names; a freed slot is reused.
 * Names match exactly (letter case counts). All operations run under
 * numbered lock KY_LOCK_CURSOR, so statements of one connection may be used
 * from several threads. */
#ifndef KY_CURSOR_H
#define KY_CURSOR_H

#include "ky_api.h"
#include "ky_handle.h"

KY_EXTERN_C_BEGIN

/* The statement of stmt's connection that bears name, or null. */
KY_API ky_stmt* get_stmt_by_cursor(ky_stmt* stmt, const char* name);

/* Gives stmt the name (replacing its own) and registers it with its
 * connection. 0; -1 with a record posted on the statement: "34000" for a
 * null or empty name or one longer than KY_CURSOR_NAME_MAX, "3C000" when
 * another statement of the connection bears it, "HY001" when memory runs
 * out. */
KY_API int insert_cursor_name(ky_stmt* stmt, const char* name);

/* The statement of stmt's connection that bears name loses it and its slot;
 * returns that statement, or null when none bears it. */
KY_API ky_stmt* remove_cursor_name(ky_stmt* stmt, const char* name);

/* Gives stmt the first name "SQL_CUR%08x" (from the connection's counter)
 * that no statement of the connection bears. 0, or -1 as for
 * insert_cursor_name. */
KY_API int generate_cursor_name(ky_stmt* stmt);

/* The statement's cursor name ("" when it has none). */
KY_API const char* get_cursor_name(ky_stmt* stmt);

KY_EXTERN_C_END

#endif
