// Per-DSN access rules (the DSNACL setting): which client addresses and users
// may connect to a data source, checked when a client connects.
//
// Threading: the rule set is rebuilt by the thread that reads the settings and
// read by workers; each rebuild publishes a complete new set in one step.
#pragma once

#include <stddef.h>

#include "net_connection.h"

#ifdef __cplusplus
extern "C" {
#endif

// Replaces the rules by those of the joined DSNACL text (groups of DSN, allow
// list, deny list separated by ','; entries within a list by '|').
void veks_rebuild_dsn_rules(const char* dsnacl);

// 0 allowed, -2 refused (and a warning event). No DSN or no rule for it: 0.
int check_dsn_access(struct server_stats_t* block, const char* dsn, const char* user, const char* address);

// Checks the connection's DSN, then counts it in the statistics block and notes
// it in the worker's thread-table entry. 0, or -1 with the message set.
int register_dsn(net_connection_info_t* info, char* message, size_t size);

#ifdef __cplusplus
}  // extern "C"
#endif
