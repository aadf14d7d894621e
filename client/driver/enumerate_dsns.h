// enumerate_dsns: the client data sources of an odbc.ini file with the
// attributes the driver knows, as a list that the caller hands back to free.
#ifndef KYVEK_DRIVER_ENUMERATE_DSNS_H
#define KYVEK_DRIVER_ENUMERATE_DSNS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vek_dsn_entry {
  char* name;  // the section name
  char* description;
  char* server;
  char* port;
  char* transport;
  char* target_user;
  char* target_auth;  // as stored (hexadecimal)
  char* target_dsn;
  char* logon_user;
  char* logon_auth;  // as stored (hexadecimal)
  char* block_fetch_size;
  struct vek_dsn_entry* next;
} vek_dsn_entry;

typedef struct vek_dsn_list {
  vek_dsn_entry* first;
  vek_dsn_entry* last;
} vek_dsn_list;

// With no list: reads the user's odbc.ini ($ODBCINI, else ~/.odbc.ini), or with
// flags bit 0x1 the system's ($ODBCSYSINI/odbc.ini, else /etc/odbc.ini), and
// returns a new list (null on failure). With a list: frees it, returns null.
vek_dsn_list* enumerate_dsns(vek_dsn_list* list, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif
