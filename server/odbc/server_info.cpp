// authenticate, server_get_info, server_set_attribute and get_system_dsns:
// the procedures that serve the link itself. Run on the link's worker thread.
#include "server_info.h"

#include <sql.h>
#include <sqlext.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logon/logon.h"
#include "net_connection.h"
#include "handle_alloc.h"
#include "kyrpc_server.h"
#include "scramble.h"
#include "server_policy.h"
#include "trace_log.h"

namespace {

thread_local uint32_t t_exit_status = CONNECTION_STATUS_OK;

const char kDsnBrowseForbidden[] = "Remote DSN list forbidden by VEK Server. AllowDSNBrowse disabled.";

// Copies text with its NUL when it fits capacity; else an empty answer.
int32_t answer_if_fits(const char* text, int32_t* length, char* buffer) {
  int32_t need = static_cast<int32_t>(std::strlen(text)) + 1;
  if (buffer && need <= *length) {
    std::memcpy(buffer, text, static_cast<size_t>(need));
    *length = need;
  } else {
    *length = 0;
  }
  return 1;
}

const char* fixed_answer(int32_t type) {
  switch (type) {
    case SERVER_INFO_VERSION: return SERVER_VERSION_TEXT;
    case SERVER_INFO_NAME: return SERVER_NAME_TEXT;
    case SERVER_INFO_HAS_FAZE2: return SERVER_HAS_FAZE2;
    default: return nullptr;
  }
}

}  // namespace

extern "C" uint32_t connection_exit_status(void) { return t_exit_status; }
extern "C" void set_connection_exit_status(uint32_t status) { t_exit_status = status; }

extern "C" int32_t authenticate(RpcHandle* handle, char* user, char* password) {
  auto* info = static_cast<net_connection_info_t*>(RPCGetPrivatePtr(handle));
  if (password) {
    bool faze2 = info && (info->op_flags1 & NET_OP_FAZE2);
    scramble_string(password, faze2 ? KY_SCRAMBLE_FAZE2_UNSCRAMBLE : KY_SCRAMBLE_UNSCRAMBLE);
  }
  if (!user) return -1;
  if (info) {
    // The whole text, domain included, cut so that a NUL always follows.
    std::strncpy(info->user_name, user, NET_USER_NAME_SIZE - 1);
    info->user_name[NET_USER_NAME_SIZE - 1] = '\0';
  }

  uint32_t flags = 0;
  if (veks_server_policy_get()->read_flags(&flags) != 0) flags = 0;
  // The client is logged on (or the administrator lets anyone on): from now on
  // the RPC tracing it asked for is switched on.
  if (flags & VEKS_FLAG_AUTHENTICATION_DISABLED) {
    if (info) veks_server_policy_get()->logged_on(info);
    RPCPermitTracing(handle);
    return 0;
  }

  std::string copy;
  try {
    copy = user;
  } catch (...) {
    return -1;
  }
  std::string domain, name = copy;
  bool has_domain = false;
  if (auto slash = copy.find('/'); slash != std::string::npos) {
    domain = copy.substr(0, slash);
    name = copy.substr(slash + 1);
    has_domain = true;
  }
  if (trace_on(kTraceConnect))
    log_printf_tid("\tauthenticate: user '%s' domain '%s'\n", name.c_str(), has_domain ? domain.c_str() : "");

  int rc = ky_logon_verify_password_from(name.c_str(), has_domain ? domain.c_str() : nullptr, password ? password : "",
                                         info ? info->client_address : nullptr);
  if (password) ::explicit_bzero(password, std::strlen(password));
  if (rc != KY_LOGON_OK) {
    t_exit_status = CONNECTION_STATUS_AUTH_DENIED;
    veks_server_policy_get()->logon_refused(info, user, rc);
    if (trace_on(kTraceExit)) log_printf_tid("-authenticate()=%d (logon refused)\n", rc);
    return rc;
  }
  int imp = ky_logon_impersonate(name.c_str());
  if (imp == KY_IMPERSONATE_FAILED) {
    int e = errno;
    t_exit_status = CONNECTION_STATUS_AUTH_DENIED;
    int code = (e == EPERM) ? KY_LOGON_ERROR_PRIVILEGE_NOT_HELD : KY_LOGON_ERROR_NO_SUCH_USER;
    if (trace_on(kTraceExit)) log_printf_tid("-authenticate()=%d (impersonation failed, errno %d)\n", code, e);
    return code;
  }
  if (imp == KY_IMPERSONATE_SKIPPED && trace_on(kTraceConnect))
    log_printf_tid("\tauthenticate: not running as root, impersonation of '%s' skipped\n", name.c_str());
  if (info) veks_server_policy_get()->logged_on(info);
  RPCPermitTracing(handle);
  return 0;
}

extern "C" int32_t server_set_attribute(RpcHandle* handle, int32_t attribute, int32_t, char*) {
  switch (attribute) {
    case SERVER_ATTR_NOP: return 0;
    case SERVER_ATTR_FAZE2: {
      auto* info = static_cast<net_connection_info_t*>(RPCGetPrivatePtr(handle));
      if (info) info->op_flags1 |= NET_OP_FAZE2;
      return 0;
    }
    default: return -1;
  }
}

extern "C" int32_t server_get_info(int32_t type, int32_t* length, char* buffer) {
  init_logging("kyvekserver.log", KY_CONFIGURATION_KEY, KY_LOG_OPT_TIME);
  set_trace_mask(veks_server_policy_get()->read_logging());
  if (trace_on(kTraceEntry))
    log_printf_tid("%s(%ld,%p,%p)\n", "server_get_info", static_cast<long>(type), static_cast<void*>(length),
                   static_cast<void*>(buffer));
  int32_t ignored = 0;
  if (!length) length = &ignored;
  int32_t capacity = buffer ? *length : 0;
  if (capacity < 0) capacity = 0;
  *length = capacity;

  if (const char* text = fixed_answer(type)) {
    int32_t n = static_cast<int32_t>(std::strlen(text)) + 1;
    if (n > capacity) {
      if (capacity > 0) {
        std::memcpy(buffer, text, static_cast<size_t>(capacity - 1));
        buffer[capacity - 1] = '\0';
      }
      if (trace_on(kTraceExit)) log_printf_tid("-%s()=1 (buffer too small)\n", "server_get_info");
      return 1;
    }
    std::memcpy(buffer, text, static_cast<size_t>(n));
    *length = n;
    return 0;
  }
  if (type == SERVER_SYSTEM_DSNS) {
    if (!(veks_server_policy_get()->loaded_flags() & VEKS_FLAG_ALLOW_DSN_BROWSE)) {
      if (trace_on(kTraceDetail)) log_printf_tid("SERVER_SYSTEM_DSNS forbidden\n");
      return answer_if_fits(kDsnBrowseForbidden, length, buffer);
    }
    if (capacity == 0) {
      *length = 0;
      return 1;
    }
    const char* reason = nullptr;
    char* list = get_system_dsns(capacity, &reason);
    if (!list) {
      if (!reason) {
        *length = 0;
        return 1;
      }
      return answer_if_fits(reason, length, buffer);
    }
    size_t n = std::strlen(list) + 1;  // fits: the list never exceeds capacity
    std::memcpy(buffer, list, n);
    *length = static_cast<int32_t>(n);
    if (trace_on(kTraceExit)) log_printf_tid("%s()=0 (%s)\n", "server_get_info", list);
    std::free(list);
    return 0;
  }
  if (trace_on(kTraceExit)) log_printf_tid("-%s()=-1 (unrecognised type)\n", "server_get_info");
  return -1;
}

extern "C" char* get_system_dsns(int32_t capacity, const char** reason) {
  const char* dummy;
  if (!reason) reason = &dummy;
  *reason = nullptr;
  if (trace_on(kTraceEntry)) log_printf_tid("get_system_dsns\n");
  if (capacity < 1) return nullptr;
  char* list = static_cast<char*>(std::malloc(static_cast<size_t>(capacity)));
  if (!list) return nullptr;
  list[0] = '\0';
  SQLHENV env = SQL_NULL_HENV;
  if (SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env) != SQL_SUCCESS) {
    *reason = "Failed to allocate env";
    std::free(list);
    return nullptr;
  }
  if (SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0) != SQL_SUCCESS) {
    *reason = "Failed set ODBC version";
    SQLFreeHandle(SQL_HANDLE_ENV, env);
    std::free(list);
    return nullptr;
  }
  size_t used = 0;
  SQLCHAR name[34];
  SQLSMALLINT name_len = 0;
  SQLUSMALLINT direction = SQL_FETCH_FIRST_SYSTEM;
  for (;;) {
    SQLRETURN rc = SQLDataSources(env, direction, name, sizeof name, &name_len, nullptr, 0, nullptr);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
    direction = SQL_FETCH_NEXT;
    size_t len = strnlen(reinterpret_cast<char*>(name), sizeof name - 1);
    if (used + len + 2 > static_cast<size_t>(capacity)) break;
    if (used > 0) list[used++] = ',';
    std::memcpy(list + used, name, len);
    used += len;
    list[used] = '\0';
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return list;
}
