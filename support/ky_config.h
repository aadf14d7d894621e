/* Configuration access: one value at a time from the machine's configuration
 * keys or from a data source's section of odbc.ini.
 *
 * A ConfigHandle names a configuration root key and, optionally, a data source.
 * Places by mode:
 *   0          key "<root>\System\<section>" of the key store
 *   1          key "<root>\ZAR\<section>" of the key store
 *   any other  section <section> of "ODBC.INI" (user and system odbc.ini) through
 *              the ODBC installer library, loaded on first use
 * Keys are opened, never created.
 *
 * A handle is used by one thread at a time; different handles may be used from
 * any threads at once. Results: 0 success, 1 (reads) key missing, -1 error. */
#ifndef KY_CONFIG_H
#define KY_CONFIG_H

#include <stdint.h>

#include "ky_api.h"

KY_EXTERN_C_BEGIN

#define KY_CONFIG_ROOT_MAX 255 /* characters of the root key text */
#define KY_CONFIG_DSN_MAX 255  /* characters of the data source name */
#define KY_CONFIG_ERROR_SIZE 512

/* Default root of a new handle. */
#define KY_CONFIG_DEFAULT_ROOT "SOFTWARE\\Kyronde SQL Engine\\Configuration"

/* Stored for callers that want it; this library never calls it. */
typedef void (*ky_ini_function)(void);

typedef struct ConfigHandle {
  char root[KY_CONFIG_ROOT_MAX + 1];
  char dsn[KY_CONFIG_DSN_MAX + 1];
  ky_ini_function ini_function;
  char last_error[KY_CONFIG_ERROR_SIZE];
} ConfigHandle;

/* New handle with the default root, no data source and the last error
 * "Unknown error"; null when memory is exhausted. */
KY_API ConfigHandle* open_registry(void);
KY_API void close_registry(ConfigHandle* handle);

/* Replaces the root. 0, or -1 (root unchanged) for a null handle or text or a
 * text longer than KY_CONFIG_ROOT_MAX. */
KY_API int set_config(ConfigHandle* handle, const char* root);

/* Sets the data source used by get_default (null or "" clears it). 0, or -1
 * (unchanged) for a null handle or a name longer than KY_CONFIG_DSN_MAX. */
KY_API int set_dsn(ConfigHandle* handle, const char* dsn);

KY_API void set_ini_function(ConfigHandle* handle, ky_ini_function function);

/* Reads one value into out[capacity], always NUL-terminated when capacity > 0.
 * out first gets the default cut to capacity - 1 characters (a null default
 * gives ""). Modes 0 and 1: a missing key returns 1 with the default; a missing
 * value, or one that does not fit with its NUL, leaves the default; else 0.
 * Other modes: the installer's value (cut to capacity - 1), or the default when
 * it gives nothing; -1 (with the last error set) when the installer library
 * cannot be loaded. */
KY_API int get_profile_string(ConfigHandle* handle, int mode, const char* section, const char* key,
                              const char* default_value, char* out, int32_t capacity);

/* Writes one value as text. 0, or -1 with the reason in the last error text
 * (missing key, unwritable store, installer refusal or installer missing).
 * Installer modes: a null value removes the key from the section; registry
 * modes refuse a null value. */
KY_API int set_profile_string(ConfigHandle* handle, int mode, const char* section, const char* key, const char* value);

/* The last error text ("Unknown error" until a failure is recorded); null for a
 * null handle. Valid until the next call with the handle. */
KY_API const char* registry_error(ConfigHandle* handle);

/* Reads key with fallback into out[capacity]: with a data source set, from the
 * data source's odbc.ini section, and when that gives "" from registry section
 * "default" (mode 0), then every double quote at the end and at the start of the
 * text is removed; without a data source, from section "default" only, quotes
 * kept. 0, or -1 for a null handle or out or a capacity below 1. */
KY_API int get_default(ConfigHandle* handle, const char* key, char* out, int32_t capacity);

KY_EXTERN_C_END

#endif
