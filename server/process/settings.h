/* The server's settings: the ini_settings table, its reader, the reactions to
 * changed values, and the Flags bits.
 *
 * Values live under section "Settings" of the configuration key
 * "SOFTWARE\Kyronde Vekamar\Configuration" (mode 0 of the configuration access).
 *
 * The server's own table writes into a working copy that only the listener
 * thread touches. After a successful read that copy is published as a new
 * immutable snapshot (server_settings()); workers always read one whole
 * snapshot, never a half-updated one. Snapshots stay valid for the life of the
 * process, so a pointer taken from server_settings() never dangles. */
#ifndef KYVEK_SERVER_SETTINGS_H
#define KYVEK_SERVER_SETTINGS_H

#include <stddef.h>
#include <stdint.h>

#define KYVEK_SETTINGS_SECTION "Settings"

/* Kinds of an ini_settings record. */
enum {
  INI_KIND_NUMBER = 1,
  INI_KIND_TEXT = 2,
  INI_KIND_LIST = 3, /* numbered list: <name> = count, <name>1 .. <name>count */
  INI_KIND_IPV4 = 4
};

/* Flags of an ini_settings record. */
enum {
  INI_HAS_DEFAULT = 0x1,
  INI_REQUIRED = 0x2,
  INI_LISTENER = 0x4 /* read only when the reader's listener switch is on */
};

#ifdef __cplusplus
#define KYVEK_DEFAULT_ARG(v) = v
#else
#define KYVEK_DEFAULT_ARG(v)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Trace writer: printf-like (log_printf_tid has this shape). */
typedef void (*ini_trace_fn)(const char* format, ...);

typedef struct ini_settings ini_settings;

/* Called after each record is read; moderate_ini_setting is the server's. */
typedef int (*ini_checker_fn)(ini_settings* record, ini_trace_fn trace);

struct ini_settings {
  uint32_t kind;
  const char* name; /* NULL ends the table */
  uint8_t flags;
  uint32_t default_number;  /* kind 1, with INI_HAS_DEFAULT */
  const char* default_text; /* kinds 2 and 4, with INI_HAS_DEFAULT */
  uint32_t minimum;         /* for the configuration pages; not checked */
  uint32_t maximum;
  void* destination; /* uint32_t for kinds 1 and 4, char[buffer_size] for 2 and 3 */
  uint64_t buffer_size;
  uint32_t previous_value; /* kind 1: destination before the last read */
};

/* The values of the server's table, by name. */
typedef struct server_settings_t {
  uint32_t Flags;
  uint32_t Port;
  uint32_t Port64;
  char IPAddress[100];
  uint32_t HTTPPort;
  uint32_t Logging;
  uint32_t RetryCount;
  uint32_t RetryPause;
  uint32_t MaxThreadCount;
  uint32_t MaxClientConnect;
  uint32_t ListenBacklog;
  uint32_t Affinity;
  char HTTPAdmin[100];
  char HTTPNetworkAccess[100];
  char Timeout[10];
  char Path[1024];
  char LogDir[1024];
  char AllowList[4096];
  char DenyList[4096];
  char DSNACL[4096];
} server_settings_t;

/* Reads every record of table (up to the record whose name is NULL) from
 * section "Settings". Returns 0; -1 with *error_text set to a static text of
 * the reader (valid until the next call on this thread); -2 when error_text is
 * NULL. trace and checker may be NULL. Records with INI_LISTENER are skipped
 * unless listener is non-zero. Numbers take the base of their prefix (0x hex,
 * 0 octal) and must fit 32 bits. */
int read_ini_settings(ini_settings* table, char** error_text, ini_trace_fn trace KYVEK_DEFAULT_ARG(nullptr),
                      ini_checker_fn checker KYVEK_DEFAULT_ARG(nullptr), int listener KYVEK_DEFAULT_ARG(0));

/* The server's checker: reacts to IPAddress, HTTPNetworkAccess, Flags, Logging
 * and DSNACL (see settings.cpp). Returns 0. */
int moderate_ini_setting(ini_settings* record, ini_trace_fn trace);

/* Reads Flags afresh (default 0x10002). 0 with *word set; -1 when empty,
 * not a number or out of range (a message on standard error). */
int read_flags_setting(uint32_t* word);

/* Reads Logging afresh (default "0"); 0 for text that is not a number. */
uint32_t read_logging_setting(void);

/* The server's table (20 records and the end record), writing into the
 * listener's working copy. */
ini_settings* server_ini_settings(void);

/* The working copy the table writes into (listener thread only). */
server_settings_t* server_settings_working(void);

/* Reads the server's table with moderate_ini_setting as checker and, on
 * success, publishes the working copy as the current snapshot. On failure the
 * working copy is restored from the current snapshot (nothing half-read is
 * ever published) and the result of read_ini_settings is returned. */
int load_server_settings(char** error_text, ini_trace_fn trace, int listener);

/* Publishes the working copy as the current snapshot (listener thread). */
void publish_server_settings(void);

/* The current snapshot; never NULL (all zero before the first load). */
const server_settings_t* server_settings(void);

/* Reads Settings/name afresh as text. 0 (empty when absent); -1 when the value
 * and its terminator do not fit capacity (out untouched). */
int read_setting_text(char* out, size_t capacity, const char* name);

/* Joins the current snapshot's LogDir and a file name ("\\" in LogDir becomes
 * "/"; an empty LogDir is the temporary directory). */
int server_log_path(char* out, size_t capacity, const char* file_name);

/* Hooks run by moderate_ini_setting: the units that own what a setting
 * controls install them, so this unit knows none of them. Until set they do
 * nothing.
 * - DSNACL changed: rebuild the DSN access rules from the joined text.
 * - Logging set to 0: close the start-up log.
 * - Flags lost AuditODBCAccess: close the audit trail. */
typedef void (*dsnacl_rebuild_hook_fn)(const char* dsnacl);
void set_dsnacl_rebuild_hook(dsnacl_rebuild_hook_fn hook);
typedef void (*startup_log_close_hook_fn)(void);
void set_startup_log_close_hook(startup_log_close_hook_fn hook);
typedef void (*audit_close_hook_fn)(void);
void set_audit_close_hook(audit_close_hook_fn hook);

/* Names text of the configuration pages (fifteen names, blank separated) and
 * their values, ended by 0. */
extern const char* const flag_names_text;
extern const uint32_t flag_values[16];

#ifdef __cplusplus
}
#endif

/* Flags bits. */
#ifdef __cplusplus
inline constexpr uint32_t Authentication_Disabled = 0x1;
inline constexpr uint32_t StartHTTPAdminChild = 0x2; /* console listener starts the HTTP admin child */
inline constexpr uint32_t MultiProcess = 0x4;
inline constexpr uint32_t HideSensitive = 0x10;
inline constexpr uint32_t ReverseLookup = 0x20;
inline constexpr uint32_t AuditODBCAccess = 0x40;
inline constexpr uint32_t FreeStmtsOnDisconnect = 0x80;
inline constexpr uint32_t ShowProcessTime = 0x100;
inline constexpr uint32_t HTTPAuthAll = 0x400;
inline constexpr uint32_t ConnectionPooling = 0x800;
inline constexpr uint32_t LogFailingSQL = 0x1000;
inline constexpr uint32_t AllowDBBrowse = 0x2000;
inline constexpr uint32_t AutoDenyNonVEKClients = 0x4000;
inline constexpr uint32_t AllowDSNBrowse = 0x8000;
inline constexpr uint32_t NoStatusArrayResize = 0x10000;
inline constexpr uint32_t WriteStatsOnExit = 0x20000;
#endif

#endif
