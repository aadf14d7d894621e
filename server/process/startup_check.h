/* The checks the server makes once its settings are read at start-up: which
 * registry file is used (or that it is missing and defaults apply), its
 * unreadable lines, the port, IPAddress and the access lists. Each finding goes
 * to standard error and the event log. A setting that would make the server
 * listen somewhere else than meant, or admit clients it was told to refuse,
 * stops the start. */
#ifndef KYVEK_SERVER_STARTUP_CHECK_H
#define KYVEK_SERVER_STARTUP_CHECK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct server_settings_t;

/* 0 when the server may start; -1 when it must not (each reason reported).
 * check_port is 0 when the command line names the port. */
int check_startup_settings(const struct server_settings_t* s, int check_port);

/* 0 for a port the server can listen on (1..65535), -1 otherwise. */
int port_in_range(uint32_t port);

/* Reports the items of an access list (blank separated) that are not an
 * address, an address/mask or a name, one message per item naming the list.
 * Returns the number of valid items; *items (when given) gets the number of
 * all items. */
int check_access_list(const char* list_name, const char* text, int* items);

#ifdef __cplusplus
}
#endif

#endif
