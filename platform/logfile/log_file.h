/* The files the server writes for its administrators (trace and start-up logs,
 * the audit trail, statistics, the failing-statement log, event and fault
 * reports) are all made by one rule:
 *
 *   mode 0640 and group "adm" when the directory the file is in belongs to
 *   group "adm" (as the package makes /var/log/kyvek), so that the members of
 *   adm read them as they read other daemons' logs; else mode 0600.
 *
 * The rule is applied to a file this process owns each time it opens it, so a
 * file made before (by an older version, or under another rule) comes to it
 * too. Files of another owner are left alone. */
#ifndef KYVEK_PLATFORM_LOG_FILE_H
#define KYVEK_PLATFORM_LOG_FILE_H

#ifdef __cplusplus
extern "C" {
#endif

/* open(path, flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC) with the rule above
 * applied; the descriptor or -1 (errno set). */
int ky_open_log_file(const char* path, int flags);

/* Applies the rule to an open file of that path. Safe in a signal handler once
 * ky_log_file_rule_init has run (it then reads no group database). */
void ky_apply_log_file_rule(int fd, const char* path);

/* Looks the group "adm" up once; called early by programs that may apply the
 * rule from a signal handler. */
void ky_log_file_rule_init(void);

#ifdef __cplusplus
}
#endif

#endif
