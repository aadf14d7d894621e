// Procedures that serve the link itself rather than an ODBC handle: logon
// (authenticate), server information (server_get_info, get_system_dsns) and the
// scrambling choice (server_set_attribute); plus the connection exit status
// that the worker of a link ends with.
//
// All run on the worker thread of their link; the exit status is per thread.
#ifndef KYVEK_SERVER_ODBC_SERVER_INFO_H
#define KYVEK_SERVER_ODBC_SERVER_INFO_H

#include <stdint.h>

#include <sql.h>
#include <sqlext.h>

#include "handlers.h"
#include "kyrpc.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Connection exit statuses. */
enum { CONNECTION_STATUS_OK = 0, CONNECTION_STATUS_AUTH_DENIED = 201, CONNECTION_STATUS_NOT_RPC = 202 };

/* server_get_info types and server_set_attribute attributes. */
enum { SERVER_INFO_VERSION = 1, SERVER_INFO_NAME = 2, SERVER_INFO_HAS_FAZE2 = 3, SERVER_SYSTEM_DSNS = 4 };
enum { SERVER_ATTR_NOP = 1, SERVER_ATTR_FAZE2 = 2 };

#define SERVER_VERSION_TEXT "2.4.03"
#define SERVER_NAME_TEXT "VEK"

/* The calling worker's connection exit status; reset by the worker. */
uint32_t connection_exit_status(void);
void set_connection_exit_status(uint32_t status);

/* authenticate, server_get_info and server_set_attribute are declared in
 * handlers.h from their rows:
 *   int32_t authenticate(RpcHandle*, char* user, char* password);
 *   int32_t server_get_info(int32_t type, int32_t* length, char* buffer);
 *   int32_t server_set_attribute(RpcHandle*, int32_t attribute, int32_t length, char* value); */

/* The system data sources as "A,B,C" in a new text of at most capacity bytes
 * (free() it), or NULL with *reason set to a static text or NULL. */
char* get_system_dsns(int32_t capacity, const char** reason);

/* Trace line for a connection attribute (value, or the address of it when
 * direct is 0). See connect_attr_names.cpp. */
void log_connect_attr(int32_t attribute, intptr_t value, int32_t direct);

/* The same line into out (at most 256 bytes with the NUL); for tests. */
int format_connect_attr(int32_t attribute, intptr_t value, int32_t direct, char* out, int capacity);

#ifdef __cplusplus
}
#endif

#endif
