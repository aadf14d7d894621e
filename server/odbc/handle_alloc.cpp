// "sql_alloc_handle" and "sql_free_handle": server handle records with their
// Driver Manager handles, pooled driver environments, and the clean-up run
// when a client link ends (see handle_alloc.h).
#include "handle_alloc.h"

#include <sqlext.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "handle_registry.h"
#include "handler_util.h"
#include "handlers.h"
#include "kyrpc.h"
#include "odbc_trace.h"
#include "record_lists.h"
#include "server_diag.h"
#include "server_policy.h"
#include "trace_log.h"

using kyvek::server::Exit;
using kyvek::server::through_exit;

namespace {

// Shared environments: slot 0 for ODBC 2, slot 1 for every other version.
// Set once per slot and never cleared; guarded by g_pool_mutex.
std::mutex g_pool_mutex;
environment_t* g_pool[2] = {nullptr, nullptr};
bool g_pool_reused[2] = {false, false};

uint32_t this_thread_id() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

void free_env_record(environment_t* env) {
  clear_errors(&env->diags);
  diag_free_lock(&env->diags);
  delete static_cast<std::recursive_mutex*>(env->lock);
  memset(env->tag, 0, sizeof(env->tag));
  free(env);
}

// Removes every statement and descriptor record a connection still lists.
// The driver's handles are forgotten, not freed: they went with the driver
// connection.
void drop_connection_children(connection_t* dbc) {
  while (dbc->first_stmt != nullptr) {
    statement_t* s = dbc->first_stmt;
    if (!veks_tag_ok(VEKS_STMT, s)) {
      KY_TRACE(kTraceDetail, "\tStatement %p invalid - skipping\n", static_cast<void*>(s));
      dbc->first_stmt = nullptr;
      break;
    }
    s->driver_stmt = nullptr;
    if (find_statement_in_list(dbc, s, nullptr, LIST_REMOVE) != nullptr) {
      KY_TRACE(kTraceDetail, "Failed to cleanup statement %p\n", static_cast<void*>(s));
      break;
    }
  }
  while (dbc->first_desc != nullptr) {
    descriptor_t* d = dbc->first_desc;
    if (!veks_tag_ok(VEKS_DESC, d)) {
      KY_TRACE(kTraceDetail, "\tDescriptor %p invalid - skipping\n", static_cast<void*>(d));
      dbc->first_desc = nullptr;
      break;
    }
    d->driver_desc = nullptr;
    if (find_descriptor_in_list(dbc, nullptr, d, nullptr, LIST_REMOVE) != nullptr) {
      KY_TRACE(kTraceDetail, "Failed to cleanup descriptor %p\n", static_cast<void*>(d));
      break;
    }
  }
}

// Unlinks a connection from its environment (under the environment's lock)
// and frees the record with whatever it still lists.
void destroy_connection(connection_t* dbc) {
  environment_t* env = dbc->env;
  if (veks_tag_ok(VEKS_ENV, env)) {
    veks_env_lock(env);
    for (connection_t** p = &env->first_dbc; *p != nullptr; p = &(*p)->next) {
      if (*p == dbc) {
        *p = dbc->next;
        break;
      }
    }
    veks_env_unlock(env);
  }
  drop_connection_children(dbc);
  clear_errors(&dbc->diags);
  diag_free_lock(&dbc->diags);
  veks_registry_remove(dbc->registry, dbc);
  memset(dbc->tag, 0, sizeof(dbc->tag));
  free(dbc);
}

void cleanup_env(environment_t* env, veks_handle_registry* reg) {
  KY_TRACE(kTraceEntry | kTraceInternal, "veks_cleanup(%p)\n", static_cast<void*>(env));
  const uint32_t flags = veks_flags();
  if (!veks_tag_ok(VEKS_ENV, env)) {
    KY_TRACE(kTraceInternal, "-veks_cleanup() - ENV handle already freed\n");
  } else {
    veks_env_lock(env);
    connection_t* dbc = env->first_dbc;
    while (dbc != nullptr) {
      if (!veks_tag_ok(VEKS_DBC, dbc)) {
        KY_TRACE(kTraceDetail, "\tveks_cleanup() - Invalid DBC %p - already freed?", static_cast<void*>(dbc));
        break;
      }
      connection_t* next = dbc->next;
      // Only this link's connections: others in a shared environment belong
      // to other workers.
      if (dbc->registry != reg) {
        KY_TRACE(kTraceDetail, "\tSkipping dbc %p, not owned by this thread\n", static_cast<void*>(dbc));
      } else {
        if (dbc->driver_dbc != nullptr) veks_release_driver_link(dbc);
        destroy_connection(dbc);
      }
      dbc = next;
    }
    veks_env_unlock(env);
    clear_errors(&env->diags);
    veks_registry_remove(reg, env);
    if (!env->pooled) {
      KY_TRACE(kTraceDetail, "\tFreeing driver environment %p\n", static_cast<void*>(env->driver_env));
      SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_ENV, env->driver_env);
      if (!SQL_SUCCEEDED(rc)) {
        KY_TRACE(kTraceDetail, "\tFailed SQLFreeHandle(%p)=%d\n", static_cast<void*>(env->driver_env), rc);
      }
      free_env_record(env);
    }
  }
  KY_TRACE(kTraceExit | kTraceInternal, "-veks_cleanup(%p)\n", static_cast<void*>(env));
  // A child process serving one connection is about to end.
  if (flags & VEKS_FLAG_MULTIPROCESS) close_log();
}

// The registry handles of this call come from: the link's, or the thread's
// binding when no link is given (embedded and test use).
veks_handle_registry* registry_for(RpcHandle* rpc) {
  return rpc != nullptr ? veks_registry_for_link(rpc) : veks_registry_current();
}

SQLRETURN alloc_env(RpcHandle* rpc, int32_t version, void** out, Exit& exit) {
  logging_noop();
  init_logging("kyvekserver.log", KY_CONFIGURATION_KEY, KY_LOG_OPT_TIME);
  veks_handle_registry* reg = registry_for(rpc);
  if (reg == nullptr) return SQL_ERROR;
  const bool pooling = veks_pooling_on(veks_flags()) != 0;
  const int slot = version == 2 ? 0 : 1;
  std::unique_lock<std::mutex> pool_lock(g_pool_mutex, std::defer_lock);
  if (pooling) {
    KY_TRACE(kTraceDetail, "\tEnabling pooling\n");
    if (!SQL_SUCCEEDED(SQLSetEnvAttr(SQL_NULL_HANDLE, SQL_ATTR_CONNECTION_POOLING,
                                     reinterpret_cast<SQLPOINTER>(SQL_CP_ONE_PER_DRIVER), SQL_IS_INTEGER))) {
      KY_TRACE(kTraceDetail, "\tFailed to turn connection pooling on\n");
    }
    // Held until the new environment is in its slot, so two workers never both make one.
    pool_lock.lock();
    if (g_pool[slot] != nullptr) {
      KY_TRACE(kTraceDetail, slot == 0 ? "\thenv for ODBC2 already existed\n" : "\thenv for ODBC3 already existed\n");
      if (veks_registry_add(reg, g_pool[slot], VEKS_ENV) != 0) return SQL_ERROR;
      g_pool_reused[slot] = true;
      *out = g_pool[slot];
      return SQL_SUCCESS;
    }
  }
  SQLHENV henv = SQL_NULL_HENV;
  SQLRETURN rc = version == 2 ? SQLAllocEnv(&henv) : SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &henv);
  if (!SQL_SUCCEEDED(rc)) {
    exit.because("drivers SQLAllocHandleSQLAllocEnv failed");
    return rc;
  }
  auto* env = static_cast<environment_t*>(calloc(1, sizeof(environment_t)));
  bool ok = env != nullptr;
  if (ok) {
    memcpy(env->tag, KY_TAG_ENV, sizeof(env->tag));
    env->handle_kind = 1;
    env->driver_env = henv;
    env->odbc_version = version;
    if (pooling) {
      env->pooled = 1;
      env->lock = new (std::nothrow) std::recursive_mutex;
      ok = env->lock != nullptr && diag_make_shared(&env->diags) == 0;
    }
    ok = ok && veks_registry_add(reg, env, VEKS_ENV) == 0;
  }
  if (!ok) {
    exit.because("Failed to allocate %d bytes for environment", static_cast<int>(sizeof(environment_t)));
    if (env != nullptr) free_env_record(env);
    SQLFreeHandle(SQL_HANDLE_ENV, henv);
    *out = nullptr;
    return SQL_ERROR;
  }
  if (pooling) g_pool[slot] = env;
  *out = env;
  return rc;
}

SQLRETURN alloc_dbc(RpcHandle* rpc, int32_t version, void* input, void** out, Exit& exit) {
  auto* env = static_cast<environment_t*>(input);
  if (veks_chk_handle(VEKS_ENV, env) != 0) {
    exit.because("Invalid environment handle");
    return SQL_INVALID_HANDLE;
  }
  SQLHDBC hdbc = SQL_NULL_HDBC;
  SQLRETURN rc =
      version == 2 ? SQLAllocConnect(env->driver_env, &hdbc) : SQLAllocHandle(SQL_HANDLE_DBC, env->driver_env, &hdbc);
  if (!SQL_SUCCEEDED(rc)) {
    exit.because("SQLAllocHandle() failed for connection");
    return rc;
  }
  auto* dbc = static_cast<connection_t*>(calloc(1, sizeof(connection_t)));
  veks_handle_registry* reg = veks_registry_current();
  if (dbc == nullptr || veks_registry_add(reg, dbc, VEKS_DBC) != 0) {
    free(dbc);
    SQLFreeHandle(SQL_HANDLE_DBC, hdbc);
    veks_post(&env->diags, nullptr, sqlstate::kHY001, 0);
    exit.because("Memory allocation for connection_t failed");
    return SQL_ERROR;
  }
  memcpy(dbc->tag, KY_TAG_DBC, sizeof(dbc->tag));
  dbc->driver_dbc = hdbc;
  dbc->handle_kind = 2;
  dbc->env = env;
  dbc->default_param_size = 255;
  dbc->creator_pid = static_cast<uint32_t>(getpid());
  dbc->creator_tid = this_thread_id();
  dbc->rpc = rpc;
  dbc->registry = reg;
  veks_env_lock(env);
  dbc->next = env->first_dbc;
  env->first_dbc = dbc;
  veks_env_unlock(env);
  *out = dbc;
  return rc;
}

SQLRETURN alloc_stmt(int32_t version, void* input, void** out) {
  auto* dbc = static_cast<connection_t*>(input);
  if (veks_chk_handle(VEKS_DBC, dbc) != 0) return SQL_INVALID_HANDLE;
  SQLHSTMT hstmt = SQL_NULL_HSTMT;
  SQLRETURN rc =
      version == 2 ? SQLAllocStmt(dbc->driver_dbc, &hstmt) : SQLAllocHandle(SQL_HANDLE_STMT, dbc->driver_dbc, &hstmt);
  if (!SQL_SUCCEEDED(rc)) return rc;
  statement_t* stmt = find_statement_in_list(dbc, nullptr, hstmt, LIST_CREATE);
  if (stmt == nullptr) {
    load_sql_diags(VEKS_DBC, dbc, SQL_HANDLE_STMT, hstmt);
    SQLFreeHandle(SQL_HANDLE_STMT, hstmt);
    return SQL_ERROR;
  }
  *out = stmt;
  return rc;
}

SQLRETURN alloc_desc(void* input, void** out) {
  auto* dbc = static_cast<connection_t*>(input);
  if (veks_chk_handle(VEKS_DBC, dbc) != 0) return SQL_INVALID_HANDLE;
  SQLHDESC hdesc = SQL_NULL_HDESC;
  SQLRETURN rc = SQLAllocHandle(SQL_HANDLE_DESC, dbc->driver_dbc, &hdesc);
  if (!SQL_SUCCEEDED(rc)) return rc;
  descriptor_t* desc = find_descriptor_in_list(dbc, nullptr, nullptr, hdesc, LIST_CREATE);
  if (desc == nullptr) {
    SQLFreeHandle(SQL_HANDLE_DESC, hdesc);
    veks_post(&dbc->diags, dbc, sqlstate::kHY001, 0);
    return SQL_ERROR;
  }
  desc->dbc = dbc;
  *out = desc;
  return rc;
}

SQLRETURN free_env(environment_t* env, Exit& exit) {
  if (veks_chk_handle(VEKS_ENV, env) != 0) return SQL_INVALID_HANDLE;
  clear_errors(&env->diags);
  // A pooled environment lives in its slot for the life of the process,
  // whatever Flags says now.
  if (env->pooled) {
    KY_TRACE(kTraceDetail, "\tPooling, env not freed\n");
    return SQL_SUCCESS;
  }
  SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_ENV, env->driver_env);
  if (!SQL_SUCCEEDED(rc)) {
    exit.because("Failed to free ENV in driver");
    return rc;
  }
  veks_registry_remove(veks_registry_current(), env);
  free_env_record(env);
  return rc;
}

SQLRETURN free_dbc(connection_t* dbc, Exit& exit) {
  if (veks_chk_handle(VEKS_DBC, dbc) != 0) return SQL_INVALID_HANDLE;
  clear_errors(&dbc->diags);
  if (veks_chk_handle(VEKS_ENV, dbc->env) != 0) {
    veks_post(&dbc->diags, dbc, sqlstate::kHY000.state, 2, "General error: Internal server error (sql_free_handle)");
    return SQL_ERROR;
  }
  SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_DBC, dbc->driver_dbc);
  if (!SQL_SUCCEEDED(rc)) {
    exit.because("Failed to free DBC in driver");
    return rc;
  }
  dbc->driver_dbc = nullptr;
  destroy_connection(dbc);
  return rc;
}

SQLRETURN free_stmt(statement_t* stmt, Exit& exit) {
  if (veks_chk_handle(VEKS_STMT, stmt) != 0) return SQL_INVALID_HANDLE;
  clear_errors(&stmt->diags);
  connection_t* dbc = veks_stmt_dbc(stmt);
  if (veks_chk_handle(VEKS_DBC, dbc) != 0) {
    veks_post(&stmt->diags, nullptr, sqlstate::kHY000.state, 2,
              "General error: Internal server error (sql_free_handle)");
    return SQL_ERROR;
  }
  SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_STMT, stmt->driver_stmt);
  if (!SQL_SUCCEEDED(rc)) {
    exit.because("Drivers SQLFreeHandle failed");
    return rc;
  }
  stmt->driver_stmt = nullptr;
  if (find_statement_in_list(dbc, stmt, nullptr, LIST_REMOVE) != nullptr) {
    veks_post(&stmt->diags, dbc, sqlstate::kHY000.state, 6, "General error: Failed to remove statement");
    return SQL_ERROR;
  }
  return rc;
}

SQLRETURN free_desc(descriptor_t* desc, Exit& exit) {
  if (veks_chk_handle(VEKS_DESC, desc) != 0) return SQL_INVALID_HANDLE;
  clear_errors(&desc->diags);
  if (desc->owner != nullptr || desc->alloc_type == DESC_ALLOC_AUTO) {
    veks_post(&desc->diags, desc->dbc, sqlstate::kHY017, 0);
    exit.because("can't free implicit descriptor");
    return SQL_ERROR;
  }
  SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_DESC, desc->driver_desc);
  if (!SQL_SUCCEEDED(rc)) {
    exit.because("Failed to free drivers DESC");
    return rc;
  }
  desc->driver_desc = nullptr;
  if (find_descriptor_in_list(desc->dbc, nullptr, desc, nullptr, LIST_REMOVE) != nullptr) {
    veks_post(&desc->diags, desc->dbc, sqlstate::kHY000.state, 6, "General error: Failed to remove descriptor");
    return SQL_ERROR;
  }
  return rc;
}

}  // namespace

extern "C" {

uint32_t veks_flags(void) {
  uint32_t word = 0;
  return veks_server_policy_get()->read_flags(&word) == 0 ? word : 0;
}

int veks_env_reused(const environment_t* env) {
  std::lock_guard<std::mutex> lock(g_pool_mutex);
  for (int slot = 0; slot < 2; ++slot) {
    if (env != nullptr && g_pool[slot] == env) return g_pool_reused[slot] ? 1 : 0;
  }
  return 0;
}

int veks_pooling_on(uint32_t flags) {
  return (flags & VEKS_FLAG_CONNECTION_POOLING) != 0 && (flags & VEKS_FLAG_MULTIPROCESS) == 0;
}

// Frees the driver statements a connection still has: a disconnect with a
// statement open can fail, and the connection would stay behind with its files
// and memory. (Explicit descriptors go with the disconnect.)
static void free_driver_children(connection_t* dbc) {
  for (statement_t* s = dbc->first_stmt; s != nullptr && veks_tag_ok(VEKS_STMT, s); s = s->next) {
    if (s->driver_stmt == nullptr) continue;
    SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_STMT, s->driver_stmt);
    if (!SQL_SUCCEEDED(rc)) {
      KY_TRACE(kTraceDetail, "\tFailed SQLFreeHandle(STMT %p)=%d\n", s->driver_stmt, rc);
    }
    s->driver_stmt = nullptr;
  }
}

void veks_release_driver_link(connection_t* dbc) {
  SQLHDBC h = dbc->driver_dbc;
  free_driver_children(dbc);
  if (!SQL_SUCCEEDED(SQLDisconnect(h))) {
    char state[10] = {0};
    SQLSMALLINT len = 0;
    if (!SQL_SUCCEEDED(SQLGetDiagField(SQL_HANDLE_DBC, h, 1, SQL_DIAG_SQLSTATE, state, sizeof(state), &len))) {
      kyvek::odbc::trace("\t\tno SQLSTATE available\n");
      kyvek::odbc::trace("\t\tdo not know whether to roll back or not\n");
    }
    state[sizeof(state) - 1] = '\0';
    // A link that went away never commits: whatever kept the driver from
    // disconnecting, an open transaction is rolled back and the disconnect retried.
    if (SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, h, SQL_ROLLBACK))) {
      KY_TRACE(kTraceDetail, "\t\ttransaction rolled back\n");
    } else {
      KY_TRACE(kTraceDetail, "\t\tSQLEndTran/ROLLBACK failed\n");
    }
    SQLDisconnect(h);
  }
  SQLRETURN rc = SQLFreeHandle(SQL_HANDLE_DBC, h);
  if (SQL_SUCCEEDED(rc)) {
    KY_TRACE(kTraceDetail, "\tDriver connection freed\n");
  } else {
    KY_TRACE(kTraceDetail, "\tFailed SQLFreeHandle(%p)=%d\n", static_cast<void*>(h), rc);
  }
  dbc->driver_dbc = nullptr;
  dbc->connected = 0;
}

void veks_cleanup(void* environment) { cleanup_env(static_cast<environment_t*>(environment), veks_registry_current()); }

void veks_link_cleanup(void* registry) {
  auto* reg = static_cast<veks_handle_registry*>(registry);
  if (reg == nullptr) return;
  veks_handle_registry* previous = veks_registry_current();
  veks_registry_bind(reg);
  std::vector<void*> envs(static_cast<size_t>(veks_registry_list(reg, VEKS_ENV, nullptr, 0)));
  envs.resize(static_cast<size_t>(veks_registry_list(reg, VEKS_ENV, envs.data(), static_cast<int64_t>(envs.size()))));
  for (void* env : envs) cleanup_env(static_cast<environment_t*>(env), reg);
  veks_registry_bind(previous == reg ? nullptr : previous);
  veks_registry_destroy(reg);
}

SQLRETURN sql_alloc_handle(RpcHandle* rpc, int32_t version, int16_t type, void* input, void** out) {
  KY_TRACE(kTraceEntry, "%s(%p,%d,%d,%p,%p)\n", "sql_alloc_handle", static_cast<void*>(rpc), version, type, input,
           static_cast<void*>(out));
  return through_exit("sql_alloc_handle", [&](Exit& exit) -> SQLRETURN {
    if (out == nullptr) return SQL_ERROR;
    *out = nullptr;
    if (rpc != nullptr) veks_registry_for_link(rpc);
    SQLRETURN rc;
    switch (type) {
      case SQL_HANDLE_ENV: rc = alloc_env(rpc, version, out, exit); break;
      case SQL_HANDLE_DBC: rc = alloc_dbc(rpc, version, input, out, exit); break;
      case SQL_HANDLE_STMT: rc = alloc_stmt(version, input, out); break;
      case SQL_HANDLE_DESC: rc = alloc_desc(input, out); break;
      default: exit.because("unknown Handle type"); return SQL_ERROR;
    }
    if (SQL_SUCCEEDED(rc)) exit.because("*O=%p", *out);
    return rc;
  });
}

SQLRETURN sql_free_handle(RpcHandle* rpc, int16_t type, void* handle) {
  KY_TRACE(kTraceEntry, "%s(%p,%d,%p)\n", "sql_free_handle", static_cast<void*>(rpc), type, handle);
  return through_exit("sql_free_handle", [&](Exit& exit) -> SQLRETURN {
    switch (type) {
      case SQL_HANDLE_ENV: return free_env(static_cast<environment_t*>(handle), exit);
      case SQL_HANDLE_DBC: return free_dbc(static_cast<connection_t*>(handle), exit);
      case SQL_HANDLE_STMT: return free_stmt(static_cast<statement_t*>(handle), exit);
      case SQL_HANDLE_DESC: return free_desc(static_cast<descriptor_t*>(handle), exit);
      default: exit.because("unknown handle type"); return SQL_ERROR;
    }
  });
}

}  // extern "C"
