// Handle checks and small accessors of the server's handle records.
#include "server_records.h"

#include <cstring>
#include <mutex>

#include "handle_registry.h"
#include "odbc_trace.h"

namespace {

const char* tag_of(int16_t type) {
  switch (type) {
    case VEKS_ENV: return KY_TAG_ENV;
    case VEKS_DBC: return KY_TAG_DBC;
    case VEKS_STMT: return KY_TAG_STMT;
    case VEKS_DESC: return KY_TAG_DESC;
    case VEKS_DESR: return KY_TAG_DESR;
    default: return nullptr;
  }
}

}  // namespace

extern "C" {

int veks_tag_ok(int16_t type, const void* record) {
  const char* tag = tag_of(type);
  return tag != nullptr && record != nullptr && memcmp(record, tag, 4) == 0;
}

int veks_chk_handle(int16_t type, const void* record) {
  const char* tag = tag_of(type);
  if (tag == nullptr) {
    KY_TRACE(kyvek::odbc::kTraceInternal, "veks_chk_handle - Invalid handle type\n");
    return 2;
  }
  if (record == nullptr) return 1;
  // Descriptor records never travel to a peer; everything else must have been
  // issued on this thread's link before its memory is read.
  if (type != VEKS_DESR && !veks_registry_has(veks_registry_current(), record, type)) return 1;
  return memcmp(record, tag, 4) == 0 ? 0 : 1;
}

void veks_env_lock(environment_t* env) {
  if (env != nullptr && env->lock != nullptr) static_cast<std::recursive_mutex*>(env->lock)->lock();
}

void veks_env_unlock(environment_t* env) {
  if (env != nullptr && env->lock != nullptr) static_cast<std::recursive_mutex*>(env->lock)->unlock();
}

const char* veks_dbc_dsn(const connection_t* dbc) { return dbc != nullptr ? dbc->dsn : ""; }

connection_t* veks_stmt_dbc(const statement_t* stmt) {
  return stmt != nullptr ? static_cast<connection_t*>(stmt->owner) : nullptr;
}

}  // extern "C"
