/* IP access lists: entries of an address with a mask, or a name (user name),
 * built from settings text and matched against a client. */
#ifndef KYVEK_SERVER_ACCESS_LIST_H
#define KYVEK_SERVER_ACCESS_LIST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ip_acl_entry {
  uint32_t address[4];
  uint32_t mask[4];
  char* name; /* owned; NULL for an address entry */
  struct ip_acl_entry* next;
} ip_acl_entry;

/* Options of match_ip_acl. */
enum { ACL_SKIP_ALLOW = 0x1, ACL_MATCH_NAMES = 0x2 };

/* Builds a list from text cut at any of separators. 0 with *head replaced by
 * the new list (the old one freed); -1 with a message in the process-wide
 * error text (*error_text, when given, points at it) and *head left as it was,
 * so a failed rebuild never opens a list. */
int veks_create_ip_acl(const char* separators, const char* text, ip_acl_entry** head, char** error_text);

/* 1 admitted, 0 refused. */
int match_ip_acl(const char* client, const ip_acl_entry* allow, const ip_acl_entry* deny, uint32_t options);

/* Frees every entry; 0, or -1 for a NULL head pointer. */
int free_ip_acl(ip_acl_entry** head);

/* The listener's lists, built from the AllowList and DenyList settings
 * (blank separated). Listener thread only. */
ip_acl_entry** server_allow_acl(void);
ip_acl_entry** server_deny_acl(void);

/* Rebuilds both lists from s's AllowList and DenyList; a list whose text fails
 * keeps its old entries. 0, or -1 with the error text. */
struct server_settings_t;
int build_server_acls(const struct server_settings_t* s, char** error_text);

/* Frees both server lists (service stop, tests). */
void free_server_acls(void);

#ifdef __cplusplus
}
#endif

#endif
