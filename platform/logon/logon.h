/* Logon layer: password checks through PAM and per-thread impersonation.
 *
 * The PAM service name comes from KYVEK_PAM_SERVICE (default "kyvek"); when
 * KYVEK_PAM_CONFDIR is set the configuration is read from that directory
 * instead of the system's. Checks run side by side, each with its own PAM
 * handle.
 *
 * Impersonation changes only the calling thread: the raw setgroups, setresgid
 * and setresuid system calls act per thread (the C library's wrappers would
 * change every thread of the process). The saved user id stays 0, so reverting
 * restores root. A process that is not root checks passwords but does not
 * impersonate.
 *
 * A process that serves one connection (ky_logon_set_for_good) instead drops
 * to the user for good: every thread, real, effective and saved ids alike, so
 * that nothing in the process can become root again. */
#ifndef KYVEK_PLATFORM_LOGON_H
#define KYVEK_PLATFORM_LOGON_H

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes in the meaning callers report them (Windows numbering). */
enum {
  KY_LOGON_OK = 0,
  KY_LOGON_ERROR_NOT_ENOUGH_MEMORY = 8,
  KY_LOGON_ERROR_INVALID_PARAMETER = 87,
  KY_LOGON_ERROR_PRIVILEGE_NOT_HELD = 1314,
  KY_LOGON_ERROR_NO_SUCH_USER = 1317,
  KY_LOGON_ERROR_LOGON_FAILURE = 1326,
  KY_LOGON_ERROR_ACCOUNT_RESTRICTION = 1327
};

/* Results of ky_logon_impersonate. */
enum { KY_IMPERSONATE_DONE = 0, KY_IMPERSONATE_SKIPPED = 1, KY_IMPERSONATE_FAILED = -1 };

/* Checks user and password with PAM (authentication, then account). A non-null,
 * non-empty domain is passed on as "user@domain". Returns KY_LOGON_OK or one of
 * the error codes above. */
int ky_logon_verify_password(const char* user, const char* domain, const char* password);

/* The same, telling PAM where the logon comes from (PAM_RHOST, e.g. the
 * client's address) when rhost is non-null and non-empty. */
int ky_logon_verify_password_from(const char* user, const char* domain, const char* password, const char* rhost);

/* Makes the calling thread act as the named local user (its groups, effective
 * group and user id). KY_IMPERSONATE_SKIPPED when the process is not root;
 * KY_IMPERSONATE_FAILED when the user is unknown or a call fails (errno set). */
int ky_logon_impersonate(const char* user);

/* With on, later impersonations change the whole process for good (see
 * above); once done, only the same user may log on again (any other fails
 * with EPERM). Set before the first logon. */
void ky_logon_set_for_good(int on);

/* Gives the calling thread root's identity back. 0 or -1. */
int ky_logon_revert(void);

/* 1 when the process runs as root, so that impersonation takes place. */
int ky_logon_can_impersonate(void);

#ifdef __cplusplus
}
#endif

#endif
