/* Connection strings: KEY=value items ended by ';', parsed into an ordered
 * attribute list and written back in three forms (connection string, the
 * same without the driver manager's key, and the installer's NUL-separated
 * list). Values follow ODBC's brace rule: a value in braces may hold ';',
 * and '}}' inside braces stands for '}'. The writers brace DRIVER and keys
 * beginning with SQITARGET or REMOTESTRING always, and any other value that
 * holds ';', '{', '}' or leading or trailing blanks.
 * Keys compare without regard to ASCII case. Results: 0 success,
 * 1 refused (null key or value), 100 no such key, -1 error (null list or
 * pool, memory exhausted). */
#ifndef KY_CONSTR_H
#define KY_CONSTR_H

#include <stdint.h>

#include "ky_api.h"
#include "ky_list.h"
#include "ky_mem.h"

KY_EXTERN_C_BEGIN

typedef struct pair {
  char* key;   /* from the pool; upper-cased when added by append_pair */
  char* value; /* from the pool */
} pair;

typedef struct con_str {
  int32_t count; /* number of pairs; 0 means empty whatever the list holds */
  List* list;    /* List of pair* in order of first appearance */
} con_str;

#define KY_CONSTR_NTS (-3)
/* parse_connection_string flag: do not add DSN=DEFAULT. */
#define KY_CONSTR_NO_DEFAULT_DSN 0x1
/* parse_connection_string flag: a repeated key becomes a pair of its own
 * instead of replacing the value, so that a caller can refuse repeats. */
#define KY_CONSTR_KEEP_REPEATS 0x2

KY_API void init_con_str(con_str* cs);

/* Empties cs, then parses text (length bytes, or up to its NUL with -3; a
 * length beyond the NUL stops at the NUL). A repeated key keeps its first
 * position and takes the last value (flags 0x2: is kept as a further pair;
 * lookups then find the first). Without DSN, DRIVER or FILEDSN, and
 * unless flags has 0x1, DSN=DEFAULT is added. 0, or -1 on error. */
KY_API int parse_connection_string(con_str* cs, mem_handle* pool, const char* text, int32_t length, int32_t flags);

/* Replaces the value of the first pair with key, or appends a new pair with
 * the key upper-cased. 1 without change for a null key or value. */
KY_API int append_pair(con_str* cs, const char* key, const char* value, mem_handle* pool);

/* Value of the first pair with key (an empty text when it has none); null
 * when absent, or for a null or empty list or key. */
KY_API const char* get_attribute_value(con_str* cs, const char* key);

/* Connection-string form: DRIVER is skipped when DSN is present, Description
 * always. Entries are written while each, with the terminator, fits the
 * capacity; the first that does not fit ends the text. Returns out (null for
 * a null out); an empty list writes "". */
KY_API char* generate_connection_string(con_str* cs, char* out, int32_t capacity);

/* Every pair except ODBCDM, as "KEY=value;" (braced as needed), bounded as
 * above. */
KY_API char* generate_connection_string_ex(con_str* cs, char* out, int32_t capacity);

/* Installer form: "KEY=value" NUL for every pair that fits with its NUL and
 * one final NUL, then the final NUL. An empty list gives two NULs. Null for
 * a null out or a capacity below 2. */
KY_API char* generate_connection_string_config(con_str* cs, char* out, int32_t capacity);

/* Every source pair: appended when target lacks the key, else the value of
 * every target pair bearing it is replaced. */
KY_API int merge_connection_string(con_str* target, con_str* source, mem_handle* pool);

/* Replaces the value of the first pair with key; 100 when absent. */
KY_API int modify_connection_string(con_str* cs, const char* key, const char* value, mem_handle* pool);

/* Renames the first pair with key to new_key (stored as written); 100 when
 * absent. */
KY_API int change_connection_string(con_str* cs, const char* key, const char* new_key, mem_handle* pool);

/* When no pair bears new_key, renames the last pair bearing old_key; 100
 * when nothing was renamed (no such pair, new_key present, empty list, or a
 * null or empty key). */
KY_API int replace_connection_string(con_str* cs, const char* old_key, const char* new_key, mem_handle* pool);

/* Removes the first pair with key, returning its texts to the pool; 100 when
 * absent or for a null or empty key. */
KY_API int delete_connection_string(con_str* cs, const char* key, mem_handle* pool);

KY_EXTERN_C_END

#endif
