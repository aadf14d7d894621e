// PAM password checks and per-thread impersonation. See logon.h.
#include "logon/logon.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

struct Credentials {
  const char* password;
};

// Answers every password prompt with the password; other messages need no
// answer. PAM frees the replies.
int converse(int n, const struct pam_message** msg, struct pam_response** resp, void* data) {
  if (n <= 0 || n > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  auto* cred = static_cast<Credentials*>(data);
  auto* replies = static_cast<pam_response*>(std::calloc(static_cast<size_t>(n), sizeof(pam_response)));
  if (!replies) return PAM_BUF_ERR;
  for (int i = 0; i < n; ++i) {
    int style = msg[i]->msg_style;
    if (style == PAM_PROMPT_ECHO_OFF || style == PAM_PROMPT_ECHO_ON) {
      replies[i].resp = ::strdup(cred->password ? cred->password : "");
      if (!replies[i].resp) {
        for (int j = 0; j < i; ++j) {
          if (replies[j].resp) {
            ::explicit_bzero(replies[j].resp, std::strlen(replies[j].resp));
            std::free(replies[j].resp);
          }
        }
        std::free(replies);
        return PAM_BUF_ERR;
      }
    }
  }
  *resp = replies;
  return PAM_SUCCESS;
}

int map_pam_error(int rc) {
  switch (rc) {
    case PAM_SUCCESS: return KY_LOGON_OK;
    case PAM_BUF_ERR: return KY_LOGON_ERROR_NOT_ENOUGH_MEMORY;
    case PAM_USER_UNKNOWN: return KY_LOGON_ERROR_LOGON_FAILURE;
    case PAM_ACCT_EXPIRED:
    case PAM_NEW_AUTHTOK_REQD:
    case PAM_PERM_DENIED: return KY_LOGON_ERROR_ACCOUNT_RESTRICTION;
    default: return KY_LOGON_ERROR_LOGON_FAILURE;
  }
}

long raw_setresuid(uid_t r, uid_t e, uid_t s) { return ::syscall(SYS_setresuid, r, e, s); }

std::atomic<bool> g_for_good{false};
std::atomic<long> g_dropped_to{-1};  // the user id dropped to for good, or -1

// The C library's wrappers change every thread of the process; all three ids
// move, so the saved id is no way back to root.
// 0 done; 1 nothing changed; -1 changed in part.
int drop_for_good(const struct passwd& pw, const std::vector<gid_t>& groups) {
  if (::setgroups(groups.size(), groups.data()) != 0) return 1;
  if (::setresgid(pw.pw_gid, pw.pw_gid, pw.pw_gid) != 0 || ::setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) != 0) return -1;
  uid_t r, e, s;
  gid_t gr, ge, gs;
  if (::getresuid(&r, &e, &s) != 0 || ::getresgid(&gr, &ge, &gs) != 0) return -1;
  if (r != pw.pw_uid || e != pw.pw_uid || s != pw.pw_uid || gr != pw.pw_gid || ge != pw.pw_gid || gs != pw.pw_gid)
    return -1;
  g_dropped_to.store(static_cast<long>(pw.pw_uid));
  return 0;
}
long raw_setresgid(gid_t r, gid_t e, gid_t s) { return ::syscall(SYS_setresgid, r, e, s); }
long raw_setgroups(size_t n, const gid_t* g) { return ::syscall(SYS_setgroups, n, g); }

// The process's own supplementary groups, taken before any thread changes its
// identity, so that reverting gives them back.
const std::vector<gid_t>& root_groups() {
  static const std::vector<gid_t> groups = [] {
    int n = ::getgroups(0, nullptr);
    std::vector<gid_t> g(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0 && ::getgroups(n, g.data()) != n) g.clear();
    return g;
  }();
  return groups;
}

}  // namespace

extern "C" int ky_logon_verify_password(const char* user, const char* domain, const char* password) {
  return ky_logon_verify_password_from(user, domain, password, nullptr);
}

// Every check has its own PAM handle and conversation, so checks run side by
// side: one user's failure delay holds back no one else. The modules of the
// shipped stack (pam_unix, and what common-auth usually names: pam_sss,
// pam_ldap, pam_faillock) are safe to use from several threads with separate
// handles, so no lock is taken.
extern "C" int ky_logon_verify_password_from(const char* user, const char* domain, const char* password,
                                             const char* rhost) {
  if (!user || !*user || !password) return KY_LOGON_ERROR_INVALID_PARAMETER;
  std::string who = user;
  if (domain && *domain) who += std::string("@") + domain;
  const char* svc = std::getenv("KYVEK_PAM_SERVICE");
  if (!svc || !*svc) svc = "kyvek";
  const char* confdir = std::getenv("KYVEK_PAM_CONFDIR");

  Credentials cred{password};
  struct pam_conv conv {
    converse, &cred
  };
  pam_handle_t* pamh = nullptr;
  int rc = (confdir && *confdir) ? ::pam_start_confdir(svc, who.c_str(), &conv, confdir, &pamh)
                                 : ::pam_start(svc, who.c_str(), &conv, &pamh);
  if (rc != PAM_SUCCESS) return map_pam_error(rc);
  if (rhost && *rhost) rc = ::pam_set_item(pamh, PAM_RHOST, rhost);
  if (rc != PAM_SUCCESS) {
    ::pam_end(pamh, rc);
    return map_pam_error(rc);
  }
  rc = ::pam_authenticate(pamh, PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK);
  if (rc == PAM_SUCCESS) rc = ::pam_acct_mgmt(pamh, PAM_SILENT);
  ::pam_end(pamh, rc);
  return map_pam_error(rc);
}

extern "C" int ky_logon_can_impersonate(void) { return ::getuid() == 0 ? 1 : 0; }

extern "C" int ky_logon_impersonate(const char* user) {
  if (!user || !*user) {
    errno = EINVAL;
    return KY_IMPERSONATE_FAILED;
  }
  const bool for_good = g_for_good.load();
  if (!(for_good && g_dropped_to.load() >= 0) && !ky_logon_can_impersonate()) return KY_IMPERSONATE_SKIPPED;
  if (!for_good) (void)root_groups();

  long bufsize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(bufsize > 0 ? static_cast<size_t>(bufsize) : 16384);
  struct passwd pw, *found = nullptr;
  int rc;
  while ((rc = ::getpwnam_r(user, &pw, buf.data(), buf.size(), &found)) == ERANGE && buf.size() < (1u << 20))
    buf.resize(buf.size() * 2);
  if (rc != 0 || !found) {
    errno = rc ? rc : ENOENT;
    return KY_IMPERSONATE_FAILED;
  }
  std::vector<gid_t> groups(32);
  int ngroups = static_cast<int>(groups.size());
  if (::getgrouplist(user, pw.pw_gid, groups.data(), &ngroups) < 0) {
    groups.resize(static_cast<size_t>(ngroups));
    if (::getgrouplist(user, pw.pw_gid, groups.data(), &ngroups) < 0) {
      errno = ENOMEM;
      return KY_IMPERSONATE_FAILED;
    }
  }
  groups.resize(static_cast<size_t>(ngroups));

  if (for_good) {
    const long dropped = g_dropped_to.load();
    if (dropped >= 0) {
      if (static_cast<uid_t>(dropped) == pw.pw_uid) return KY_IMPERSONATE_DONE;
      errno = EPERM;
      return KY_IMPERSONATE_FAILED;
    }
    const int dropped_now = drop_for_good(pw, groups);
    if (dropped_now < 0) ::_exit(126);  // half dropped: nothing more may run in this process
    return dropped_now == 0 ? KY_IMPERSONATE_DONE : KY_IMPERSONATE_FAILED;
  }

  // A thread that already impersonates goes back to root first: only an
  // effective root may change groups and ids.
  if (::geteuid() != 0 && ky_logon_revert() != 0) return KY_IMPERSONATE_FAILED;
  if (raw_setgroups(groups.size(), groups.data()) != 0) return KY_IMPERSONATE_FAILED;
  if (raw_setresgid(static_cast<gid_t>(-1), pw.pw_gid, static_cast<gid_t>(-1)) != 0) {
    ky_logon_revert();
    return KY_IMPERSONATE_FAILED;
  }
  if (raw_setresuid(static_cast<uid_t>(-1), pw.pw_uid, static_cast<uid_t>(-1)) != 0) {
    int e = errno;
    ky_logon_revert();
    errno = e;
    return KY_IMPERSONATE_FAILED;
  }
  return KY_IMPERSONATE_DONE;
}

extern "C" void ky_logon_set_for_good(int on) { g_for_good.store(on != 0); }

extern "C" int ky_logon_revert(void) {
  if (raw_setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0) return -1;
  if (raw_setresgid(static_cast<gid_t>(-1), 0, static_cast<gid_t>(-1)) != 0) return -1;
  const auto& g = root_groups();
  if (raw_setgroups(g.size(), g.data()) != 0) return -1;
  return 0;
}
