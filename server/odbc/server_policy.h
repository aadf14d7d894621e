// What the request handlers need from the process that serves them: its
// settings, its per-DSN access rules and its log directory. The handlers know
// the process only through this table, so this library links without it.
//
// The process hands its table in once, before it serves the first link
// (worker.cpp); the table and the functions it names must stay valid for the
// life of the process. Until a table is handed in (a test of the handlers
// alone) the defaults answer: Flags 0, Logging 0, every setting empty, every
// DSN allowed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "net_connection.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct veks_server_policy {
  // The Flags setting read afresh: 0 with *word set, -1 when it cannot be read.
  int (*read_flags)(uint32_t* word);
  // The Flags word of the settings the process last loaded.
  uint32_t (*loaded_flags)(void);
  // The Logging setting read afresh.
  uint32_t (*read_logging)(void);
  // A setting read afresh as text: 0 (empty when absent), -1 when it does not fit.
  int (*read_setting_text)(char* out, size_t capacity, const char* name);
  // Checks the link's DSN against the access rules and notes it in the
  // process's state: 0, or -1 with message set.
  int (*register_dsn)(net_connection_info_t* info, char* message, size_t size);
  // Reports a refused logon (event and audit line) at the moment it happens,
  // with the user name given and the link's address.
  void (*logon_refused)(const net_connection_info_t* info, const char* user, int code);
  // Notes the user of a link that has logged on (info->user_name), before any
  // DSN is connected.
  void (*logged_on)(const net_connection_info_t* info);
  // Reports a connection string refused for the keyword named (audit line).
  void (*connect_refused)(const net_connection_info_t* info, const char* keyword);
} veks_server_policy;

// Hands the process's table in; NULL returns to the defaults.
void veks_set_server_policy(const veks_server_policy* policy);

// The table in force (the defaults when none was handed in); never NULL.
const veks_server_policy* veks_server_policy_get(void);

#ifdef __cplusplus
}  // extern "C"
#endif
