// Client handle records: the registry of live records, the tag check, the
// record lists and their locks, SQLAllocHandle, SQLFreeHandle, SQLFreeStmt.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <atomic>
#include <new>
#include <shared_mutex>
#include <unordered_map>

#include "driver.h"
#include "api.h"
#include "remote.h"
#include "statements.h"
#include "trace.h"

namespace kyvek::driver {

namespace {

// A live record. The call lock is the lock the entry guard holds for the
// length of a call on the handle (a statement's is its own call_lock); it is
// shared so that a guard that frees the handle can still release it.
struct Live {
  int type;
  std::shared_ptr<std::recursive_mutex> call_lock;
};

// Look-ups take the lock shared; registering and freeing take it whole.
std::shared_mutex& registry_lock() {
  static std::shared_mutex m;
  return m;
}

// An ordinary static: the Driver Manager unloads the driver when its last
// environment goes, and the table must go with it.
std::unordered_map<const void*, Live>& registry() {
  static std::unordered_map<const void*, Live> r;
  return r;
}

// Every free counts here (before the record leaves the registry). A thread
// keeps the few handles it found live last, each with the count at the
// time; while the count stands, none of them has been freed since, and the
// check needs neither the lock nor the map.
std::atomic<uint64_t> g_frees{0};

struct Seen {
  const void* rec;
  int type;
  uint64_t frees;
};
constexpr unsigned kSeen = 4;
thread_local Seen t_seen[kSeen];
thread_local unsigned t_seen_next;

bool seen_live(int type, const void* rec) {
  const uint64_t now = g_frees.load(std::memory_order_acquire);
  for (const Seen& s : t_seen)
    if (s.rec == rec && s.type == type && s.frees == now) return true;
  return false;
}

void remember_live(int type, const void* rec, uint64_t frees) {
  t_seen[t_seen_next] = Seen{rec, type, frees};
  t_seen_next = (t_seen_next + 1) % kSeen;
}

// The registry's word on a record: live with this type (remembered then).
bool registered(int type, const void* rec) {
  const uint64_t frees = g_frees.load(std::memory_order_acquire);
  {
    std::shared_lock<std::shared_mutex> g(registry_lock());
    auto it = registry().find(rec);
    if (it == registry().end() || it->second.type != type) return false;
  }
  remember_live(type, rec, frees);
  return true;
}

const char* tag_of(int type) {
  switch (type) {
    case kEnv: return "ENV ";
    case kDbc: return "DBC ";
    case kStmt: return "STMT";
    case kDesc: return "CDES";
    case kDescRec: return "DESR";
    default: return nullptr;
  }
}

}  // namespace

bool register_handle(int type, void* rec) {
  try {
    Live live{type, nullptr};
    if (type == kStmt)
      live.call_lock = static_cast<client_stmt*>(rec)->call_lock;
    else
      live.call_lock = std::make_shared<std::recursive_mutex>();
    std::unique_lock<std::shared_mutex> g(registry_lock());
    registry()[rec] = std::move(live);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void unregister_handle(void* rec) {
  Live gone{};
  {
    std::unique_lock<std::shared_mutex> g(registry_lock());
    auto it = registry().find(rec);
    if (it == registry().end()) return;
    g_frees.fetch_add(1, std::memory_order_acq_rel);
    gone = std::move(it->second);
    registry().erase(it);
  }
}

uint64_t handle_frees() { return g_frees.load(std::memory_order_acquire); }

std::shared_ptr<std::recursive_mutex> handle_call_lock(int type, const void* rec) {
  if (!rec || type == kDescRec || !tag_of(type)) return nullptr;
  // A statement carries its own call lock.
  if (type == kStmt && seen_live(type, rec)) {
    if (std::memcmp(rec, tag_of(type), 4) != 0) return nullptr;
    return static_cast<const client_stmt*>(rec)->call_lock;
  }
  const uint64_t frees = g_frees.load(std::memory_order_acquire);
  std::shared_ptr<std::recursive_mutex> lock;
  {
    std::shared_lock<std::shared_mutex> g(registry_lock());
    auto it = registry().find(rec);
    if (it == registry().end() || it->second.type != type) return nullptr;
    if (std::memcmp(rec, tag_of(type), 4) != 0) return nullptr;
    lock = it->second.call_lock;
  }
  remember_live(type, rec, frees);
  return lock;
}

int vekc_chk_handle(int type, const void* rec) {
  if (!rec) return 1;
  const char* tag = tag_of(type);
  if (!tag) return 2;
  if (type != kDescRec) {
    // Descriptor records live inside their descriptor's array and are reached
    // only through it; every other record must be a live registered handle
    // before a byte of it is read.
    if (!seen_live(type, rec) && !registered(type, rec)) return 1;
  }
  return std::memcmp(rec, tag, 4) == 0 ? 0 : 1;
}

// ---- lists ---------------------------------------------------------------

void add_handle_to_list(int type, void* owner, void* rec) {
  if (type == kDbc) {
    auto* env = static_cast<client_env*>(owner);
    auto* dbc = static_cast<client_dbc*>(rec);
    std::lock_guard<std::recursive_mutex> g(env->lock);
    dbc->prev = nullptr;
    dbc->next = env->connections;
    if (env->connections) env->connections->prev = dbc;
    env->connections = dbc;
  } else if (type == kStmt) {
    auto* dbc = static_cast<client_dbc*>(owner);
    auto* stmt = static_cast<client_stmt*>(rec);
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    stmt->prev = nullptr;
    stmt->next = dbc->statements;
    if (dbc->statements) dbc->statements->prev = stmt;
    dbc->statements = stmt;
  } else if (type == kDesc) {
    auto* dbc = static_cast<client_dbc*>(owner);
    auto* desc = static_cast<client_desc*>(rec);
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    desc->prev = nullptr;
    desc->next = dbc->descriptors;
    if (dbc->descriptors) dbc->descriptors->prev = desc;
    dbc->descriptors = desc;
  }
}

namespace {
template <typename T, typename Owner>
void unlink(T* rec, T*& head) {
  if (rec->prev)
    rec->prev->next = rec->next;
  else if (head == rec)
    head = rec->next;
  if (rec->next) rec->next->prev = rec->prev;
  rec->next = rec->prev = nullptr;
  (void)sizeof(Owner);
}
}  // namespace

void remove_handle_from_list(int type, void* owner, void* rec) {
  if (type == kDbc) {
    auto* env = static_cast<client_env*>(owner);
    std::lock_guard<std::recursive_mutex> g(env->lock);
    unlink<client_dbc, client_env>(static_cast<client_dbc*>(rec), env->connections);
  } else if (type == kStmt) {
    auto* dbc = static_cast<client_dbc*>(owner);
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    unlink<client_stmt, client_dbc>(static_cast<client_stmt*>(rec), dbc->statements);
  } else if (type == kDesc) {
    auto* dbc = static_cast<client_dbc*>(owner);
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    unlink<client_desc, client_dbc>(static_cast<client_desc*>(rec), dbc->descriptors);
  }
}

// ---- constructors ----------------------------------------------------------

client_dbc* allocate_connection(client_env* env) {
  auto* dbc = new (std::nothrow) client_dbc();
  if (!dbc) return nullptr;
  std::memcpy(dbc->tag, "DBC ", 4);
  dbc->env = env;
  if (!register_handle(kDbc, dbc)) {
    delete dbc;
    return nullptr;
  }
  return dbc;
}

client_desc* vekc_alloc_desc(client_dbc* dbc, client_stmt* stmt) {
  auto* desc = new (std::nothrow) client_desc();
  if (!desc) return nullptr;
  std::memcpy(desc->tag, "CDES", 4);
  desc->dbc = dbc;
  desc->stmt = stmt;
  desc->alloc_type = stmt ? 1 : 2;
  desc->array_size = 1;
  if (!register_handle(kDesc, desc)) {
    delete desc;
    return nullptr;
  }
  return desc;
}

namespace {

void destroy_desc(client_desc* desc) {
  unregister_handle(desc);
  clear_errors(&desc->diag);
  std::memset(desc->tag, 0, 4);
  delete desc;
}

void destroy_stmt(client_stmt* stmt) {
  unregister_handle(stmt);
  std::memset(stmt->tag, 0, 4);
  clear_errors(&stmt->diags);
  delete stmt;
}

// A remote free of a handle whose connection is still alive; a dead link
// skips the call, since the server has already let everything go.
int remote_free(client_dbc* dbc, int16_t type, uint64_t handle) {
  if (!dbc || !is_connected(dbc) || dbc->dead || !handle) return SQL_SUCCESS;
  return remote_sql_free_handle(dbc->rpc, type, reinterpret_cast<void*>(handle));
}

}  // namespace

SQLRETURN free_desc(client_desc* desc) {
  TRACE(kTraceInternal | kTraceEntry, "^free_desc(%p)\n", static_cast<void*>(desc));
  client_dbc* dbc = desc->dbc;
  if (desc->server_desc && desc->alloc_type == 2) {
    if (desc->stmt) {
      post_client(&desc->diag, dbc, 17, sqlstate::kHY000.state, false,
                  "General error: Internal descriptor type inconsistent");
      return SQL_ERROR;
    }
    int rc = remote_free(dbc, SQL_HANDLE_DESC, desc->server_desc);
    if (!rc_ok(rc)) return static_cast<SQLRETURN>(rc);
    desc->server_desc = 0;
  }
  vekc_release_desc_recs(desc, 0, 1);
  if (dbc) remove_handle_from_list(kDesc, dbc, desc);
  destroy_desc(desc);
  return SQL_SUCCESS;
}

SQLRETURN freeup_descriptors(client_dbc* dbc, client_stmt* stmt) {
  diag_header* where = stmt ? &stmt->diags : &dbc->diag;
  std::unique_lock<std::recursive_mutex> g(dbc->lock);
  client_desc* desc = dbc->descriptors;
  while (desc) {
    client_desc* next = desc->next;
    if (vekc_chk_handle(kDesc, desc) != 0) {
      post_client(where, dbc, 5, sqlstate::kHY000.state, false, "General error: Internal descriptor invalid");
      return SQL_ERROR;
    }
    if (stmt && desc->stmt != stmt) {
      desc = next;
      continue;
    }
    if (stmt && desc->alloc_type != 1) {
      post_client(where, dbc, 17, sqlstate::kHY000.state, false,
                  "General error: Internal descriptor type inconsistent");
      return SQL_ERROR;
    }
    vekc_release_desc_recs(desc, 0, 1);
    // Implicit descriptors die with their statement on the server; only an
    // explicit one has a server record of its own to free.
    if (desc->alloc_type == 1) {
      desc->stmt = nullptr;
      desc->server_desc = 0;
    }
    g.unlock();
    SQLRETURN rc = free_desc(desc);
    g.lock();
    if (rc != SQL_SUCCESS) return rc;
    desc = next;
  }
  return SQL_SUCCESS;
}

SQLRETURN free_stmt(client_stmt* stmt) {
  auto* dbc = static_cast<client_dbc*>(stmt->owner);
  if (stmt->driver_stmt) {
    int rc = remote_free(dbc, SQL_HANDLE_STMT, reinterpret_cast<uint64_t>(stmt->driver_stmt));
    if (!rc_ok(rc)) return static_cast<SQLRETURN>(rc);
    stmt->driver_stmt = nullptr;
  }
  SQLRETURN rc = freeup_descriptors(dbc, stmt);
  if (rc != SQL_SUCCESS) return rc;
  remove_handle_from_list(kStmt, dbc, stmt);
  destroy_stmt(stmt);
  return SQL_SUCCESS;
}

SQLRETURN freeup_statements(client_dbc* dbc) {
  std::unique_lock<std::recursive_mutex> g(dbc->lock);
  while (client_stmt* stmt = dbc->statements) {
    g.unlock();
    // A call still running on the statement in another thread ends first.
    std::shared_ptr<std::recursive_mutex> call = handle_call_lock(kStmt, stmt);
    std::unique_lock<std::recursive_mutex> busy;
    if (call) busy = std::unique_lock<std::recursive_mutex>(*call);
    SQLRETURN rc = free_stmt(stmt);
    busy = {};
    g.lock();
    if (rc != SQL_SUCCESS) return rc;
  }
  return SQL_SUCCESS;
}

SQLRETURN disconnect_dbc(client_dbc* dbc) {
  TRACE(kTraceInternal | kTraceEntry, "\t^disconnect_dbc(%p)\n", static_cast<void*>(dbc));
  SQLRETURN rc = freeup_statements(dbc);
  if (rc != SQL_SUCCESS) return rc;
  return freeup_descriptors(dbc, nullptr);
}

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace {

SQLRETURN alloc_env(SQLHANDLE* out) {
  if (std::string t = read_odbc_section("Trace"); !t.empty()) {
    char* end = nullptr;
    unsigned long v = std::strtoul(t.c_str(), &end, 0);
    if (*end == '\0' && v != 0) switch_trace_on();
  }
  start_trace_log();
  if (!out) return SQL_ERROR;
  auto* env = new (std::nothrow) client_env();
  if (!env) return SQL_ERROR;
  std::memcpy(env->tag, "ENV ", 4);
  if (!register_handle(kEnv, env)) {
    delete env;
    return SQL_ERROR;
  }
  *out = env;
  return SQL_SUCCESS;
}

SQLRETURN alloc_dbc(SQLHANDLE input, SQLHANDLE* out) {
  if (vekc_chk_handle(kEnv, input)) return SQL_INVALID_HANDLE;
  auto* env = static_cast<client_env*>(input);
  clear_errors(&env->diag);
  if (!out) return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY009);
  client_dbc* dbc = allocate_connection(env);
  if (!dbc) {
    *out = nullptr;
    return post_rc(&env->diag, nullptr, SQL_ERROR, 252, sqlstate::kHY013);
  }
  add_handle_to_list(kDbc, env, dbc);
  *out = dbc;
  return SQL_SUCCESS;
}

// The common start of allocating a statement or descriptor under a connection: the handle and
// output checks, then the server's own handle of the given type. False with *rc the result to
// return when any step fails.
bool alloc_server_child(SQLHANDLE input, SQLHANDLE* out, SQLSMALLINT type, client_dbc** dbc_out, void** server,
                        SQLRETURN* rc) {
  if (vekc_chk_handle(kDbc, input)) {
    *rc = SQL_INVALID_HANDLE;
    return false;
  }
  auto* dbc = static_cast<client_dbc*>(input);
  *dbc_out = dbc;
  clear_errors(&dbc->diag);
  if (!out) {
    *rc = post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY009);
    return false;
  }
  *out = nullptr;
  if (!is_connected(dbc)) {
    *rc = post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
    return false;
  }
  if (dbc->dead) {
    *rc = post_rc(&dbc->diag, dbc, SQL_ERROR, 45, sqlstate::k08S01);
    return false;
  }
  int r = remote_sql_alloc_handle(dbc->rpc, 0, type, reinterpret_cast<void*>(dbc->server_dbc), server);
  if (!rc_ok(r)) {
    if (!dbc->dead) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
    *rc = static_cast<SQLRETURN>(r);
    if (dbc->dead && dbc->diag.record_count == 0) post_client(&dbc->diag, dbc, 45, sqlstate::k08S01, false);
    return false;
  }
  return true;
}

// A statement record of the connection; null without memory.
client_stmt* new_statement(client_dbc* dbc) {
  try {
    auto* stmt = new client_stmt();
    std::memcpy(stmt->tag, "STMT", 4);
    stmt->owner = dbc;
    return stmt;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

SQLRETURN alloc_stmt(SQLHANDLE input, SQLHANDLE* out) {
  client_dbc* dbc = nullptr;
  void* server_stmt = nullptr;
  SQLRETURN rc = SQL_SUCCESS;
  if (!alloc_server_child(input, out, SQL_HANDLE_STMT, &dbc, &server_stmt, &rc)) return rc;
  // APD, ARD, IPD, IRD of the new server statement.
  static constexpr int32_t kDescAttrs[4] = {SQL_ATTR_APP_PARAM_DESC, SQL_ATTR_APP_ROW_DESC, SQL_ATTR_IMP_PARAM_DESC,
                                            SQL_ATTR_IMP_ROW_DESC};
  void* server_desc[4] = {};
  for (int i = 0; i < 4; ++i)
    if (!rc_ok(remote_sql_get_stmt_attr_handle(dbc->rpc, server_stmt, kDescAttrs[i], &server_desc[i])))
      server_desc[i] = nullptr;

  client_stmt* stmt = new_statement(dbc);
  if (!stmt) {
    remote_sql_free_handle(dbc->rpc, SQL_HANDLE_STMT, server_stmt);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY001);
  }
  if (!register_handle(kStmt, stmt)) {
    delete stmt;
    remote_sql_free_handle(dbc->rpc, SQL_HANDLE_STMT, server_stmt);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY001);
  }
  if (dbc->block_fetch_size > 0) {
    stmt->flags |= kStmtBlockFetchWanted;
    stmt->block_fetch_size = dbc->block_fetch_size;
  }
  stmt->options[SQL_RETRIEVE_DATA] = SQL_RD_ON;
  stmt->driver_stmt = server_stmt;

  client_desc* descs[4] = {};
  for (int i = 0; i < 4; ++i) {
    descs[i] = vekc_alloc_desc(dbc, stmt);
    if (!descs[i]) {
      for (int j = 0; j < i; ++j) destroy_desc(descs[j]);
      destroy_stmt(stmt);
      remote_sql_free_handle(dbc->rpc, SQL_HANDLE_STMT, server_stmt);
      return post_rc(&dbc->diag, dbc, SQL_ERROR, 254, sqlstate::kHY013);
    }
  }
  add_handle_to_list(kStmt, dbc, stmt);
  for (int i = 0; i < 4; ++i) {
    descs[i]->server_desc = reinterpret_cast<uint64_t>(server_desc[i]);
    add_handle_to_list(kDesc, dbc, descs[i]);
    stmt->current_desc[i] = (descs[i]);
    stmt->implicit_desc[i] = (descs[i]);
  }
  if (dbc->client_flags & kFlagMetadataIdIdentifiers) {
    if (!rc_ok(remote_sql_set_stmt_attr_integer(dbc->rpc, server_stmt, SQL_ATTR_METADATA_ID, 1, SQL_IS_INTEGER)))
      TRACE(kTraceServerFail, "Failed to set SQL_ATTR_METADATA_ID to SQL_TRUE\n");
  }
  *out = stmt;
  return SQL_SUCCESS;
}

SQLRETURN alloc_desc(SQLHANDLE input, SQLHANDLE* out) {
  client_dbc* dbc = nullptr;
  void* server_desc = nullptr;
  SQLRETURN rc = SQL_SUCCESS;
  if (!alloc_server_child(input, out, SQL_HANDLE_DESC, &dbc, &server_desc, &rc)) return rc;
  client_desc* desc = vekc_alloc_desc(dbc, nullptr);
  if (!desc) {
    remote_sql_free_handle(dbc->rpc, SQL_HANDLE_DESC, server_desc);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 256, sqlstate::kHY013);
  }
  desc->server_desc = reinterpret_cast<uint64_t>(server_desc);
  add_handle_to_list(kDesc, dbc, desc);
  *out = desc;
  return SQL_SUCCESS;
}

SQLRETURN free_env(SQLHANDLE handle) {
  if (vekc_chk_handle(kEnv, handle)) return SQL_INVALID_HANDLE;
  auto* env = static_cast<client_env*>(handle);
  clear_errors(&env->diag);
  {
    std::lock_guard<std::recursive_mutex> g(env->lock);
    if (env->connections) return post_rc(&env->diag, nullptr, SQL_ERROR, 0, sqlstate::kHY010);
  }
  unregister_handle(env);
  std::memset(env->tag, 0, 4);
  delete env;
  return SQL_SUCCESS;
}

SQLRETURN free_dbc(SQLHANDLE handle) {
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (vekc_chk_handle(kEnv, dbc->env))
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 2, sqlstate::kHY000.state,
                   "General error: Internal client error (FreeHandle)");
  if (is_connected(dbc)) {
    TRACE(kTraceExit, "-SQLFreeHandle()=SQL_ERROR (Still Connected)\n");
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY010);
  }
  remove_handle_from_list(kDbc, dbc->env, dbc);
  unregister_handle(dbc);
  delete dbc->current_catalog;
  delete dbc->translate_lib;
  clear_errors(&dbc->diag);
  std::memset(dbc->tag, 0, 4);
  delete dbc;
  return SQL_SUCCESS;
}

}  // namespace

namespace kyvek::driver::api {

SQLRETURN alloc_handle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* out) {
  TRACE(kTraceEntry, "SQLAllocHandle(%d, %p, %p)\n", type, input, static_cast<void*>(out));
  SQLRETURN rc = SQL_ERROR;
  switch (type) {
    case SQL_HANDLE_ENV: rc = alloc_env(out); break;
    case SQL_HANDLE_DBC: rc = alloc_dbc(input, out); break;
    case SQL_HANDLE_STMT: rc = alloc_stmt(input, out); break;
    case SQL_HANDLE_DESC: rc = alloc_desc(input, out); break;
    default: rc = SQL_ERROR; break;
  }
  if (rc_ok(rc) && out) TRACE(kTraceDetail, "\tReturned handle = %p\n", *out);
  return rc;
}

SQLRETURN free_handle(SQLSMALLINT type, SQLHANDLE handle) {
  TRACE(kTraceEntry, "SQLFreeHandle(%d,%p)\n", type, handle);
  switch (type) {
    case SQL_HANDLE_ENV: return free_env(handle);
    case SQL_HANDLE_DBC: return free_dbc(handle);
    case SQL_HANDLE_STMT: {
      if (vekc_chk_handle(kStmt, handle)) return SQL_INVALID_HANDLE;
      auto* stmt = static_cast<client_stmt*>(handle);
      clear_errors(&stmt->diags);
      return kyvek::driver::free_stmt(stmt);
    }
    case SQL_HANDLE_DESC: {
      if (vekc_chk_handle(kDesc, handle)) return SQL_INVALID_HANDLE;
      auto* desc = static_cast<client_desc*>(handle);
      clear_errors(&desc->diag);
      if (desc->stmt || desc->alloc_type == 1) return post_rc(&desc->diag, desc->dbc, SQL_ERROR, 0, sqlstate::kHY017);
      return free_desc(desc);
    }
    default: return SQL_INVALID_HANDLE;
  }
}

SQLRETURN free_stmt(SQLHSTMT handle, SQLUSMALLINT option) {
  TRACE(kTraceEntry, "SQLFreeStmt(%p,%u)\n", handle, option);
  if (vekc_chk_handle(kStmt, handle)) return SQL_INVALID_HANDLE;
  auto* stmt = static_cast<client_stmt*>(handle);
  clear_errors(&stmt->diags);
  if (option == SQL_DROP) return kyvek::driver::free_stmt(stmt);
  auto* dbc = static_cast<client_dbc*>(stmt->owner);
  if (vekc_chk_handle(kDbc, dbc))
    return post_rc(&stmt->diags, nullptr, SQL_ERROR, 2, sqlstate::kHY000.state,
                   "General error: Internal client error (FreeStmt)");
  if (option != SQL_CLOSE && option != SQL_UNBIND && option != SQL_RESET_PARAMS)
    return post_rc(&stmt->diags, dbc, SQL_ERROR, 0, sqlstate::kHY092.state, "Option type out of range");
  if (!is_connected(dbc) || dbc->dead) {
    if (dbc->dead) return post_rc(&stmt->diags, dbc, SQL_ERROR, 45, sqlstate::k08S01);
    return post_rc(&stmt->diags, dbc, SQL_ERROR, 3, sqlstate::kHY000.state,
                   "General error: Internal client error (FreeStmt)");
  }
  auto* ard = stmt->current_desc[DESC_ARD];
  auto* apd = stmt->current_desc[DESC_APD];
  if (option == SQL_UNBIND && (stmt->flags & kStmtBlockFetchOn) && block_fetch_drops_bindings(stmt)) return SQL_SUCCESS;
  if (option == SQL_UNBIND && (stmt->flags & kStmtBlockFetchOn)) {
    // Block-fetch mode binds nothing on the server; the application's bindings
    // are dropped here alone.
    if (ard) vekc_release_desc_recs(ard, 0, 1);
    return SQL_SUCCESS;
  }
  // A close, an unbinding or a reset cannot fail on a valid handle: it
  // leaves with the next call, and nobody waits for its answer (outside
  // asynchronous mode, where a statement may still be running).
  int rc = dbc->async_enable == SQL_ASYNC_ENABLE_OFF && stmt->options[SQL_ASYNC_ENABLE] == SQL_ASYNC_ENABLE_OFF
               ? (kyproc::client::post<kyproc::rows::sql_free_stmt>(dbc->rpc, stmt->driver_stmt,
                                                                   static_cast<int16_t>(option))
                      ? SQL_SUCCESS
                      : -1)
               : remote_sql_free_stmt(dbc->rpc, stmt->driver_stmt, static_cast<int16_t>(option));
  // A closed cursor has no rows left in the block cache either, as after SQLCloseCursor.
  if (option == SQL_CLOSE) stmt->block_cursor = -1;
  if (rc_ok(rc)) {
    if (option == SQL_UNBIND && ard) vekc_release_desc_recs(ard, 0, 1);
    if (option == SQL_RESET_PARAMS) {
      if (apd) vekc_release_desc_recs(apd, 0, 1);
      // The parameter count is the prepared statement's: it stays known.
      stmt->flags |= kStmtParamsReset;
    }
    if (option == SQL_CLOSE) {
      stmt->cursor_state = 0;
      block_fetch_closed(stmt);
    }
  } else {
    retrieve_server_diags(dbc, kStmt, stmt, SQL_HANDLE_STMT, reinterpret_cast<uint64_t>(stmt->driver_stmt));
  }
  return static_cast<SQLRETURN>(rc);
}

}  // namespace kyvek::driver::api
