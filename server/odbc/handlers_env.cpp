// Environment handlers: environment attributes and the server's data sources.
// They do not clear the environment's diagnostics on entry.
#include <sql.h>
#include <sqlext.h>

#include "handle_alloc.h"
#include "handler_util.h"
#include "handlers.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

void post_env(environment_t* env, const sqlstate::Row& state, int32_t native, const char* subclass,
              const char* text = nullptr) {
  post_error(&env->diags, VENDOR_SERVER, CLASS_ISO, 0, nullptr, nullptr, native, 0, subclass, state.state, "%s",
             text ? text : state.text);
}

// Environment attributes a client may set: each takes an integer. Anything
// else could make the Driver Manager read the value as a pointer or change the
// server process itself (unixODBC's 65003 puts text into its environment).
bool settable_env_attr(int32_t attr) {
  switch (attr) {
    case SQL_ATTR_ODBC_VERSION:
    case SQL_ATTR_CONNECTION_POOLING:
    case SQL_ATTR_CP_MATCH:
    case SQL_ATTR_OUTPUT_NTS: return true;
    default: return false;
  }
}

}  // namespace

extern "C" int16_t sql_set_env_attr(void* handle, int32_t attribute, int32_t value) {
  if (trace_on(kTraceEntry))
    log_printf_tid("sql_set_env_attr(%p,%ld,%lu)\n", handle, (long)attribute, (unsigned long)(uint32_t)value);
  SQLPOINTER v = reinterpret_cast<SQLPOINTER>(static_cast<uintptr_t>(static_cast<uint32_t>(value)));
  if (attribute == SQL_ATTR_CONNECTION_POOLING) {
    // A process-level attribute: the record is not looked at.
    return leave("sql_set_env_attr", SQLSetEnvAttr(SQL_NULL_HENV, SQL_ATTR_CONNECTION_POOLING, v, 0));
  }
  environment_t* env = enter<environment_t>(handle, "sql_set_env_attr", Diags::keep);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  // The first link's attributes stand on a shared environment.
  if (veks_env_reused(env)) return leave("sql_set_env_attr", SQL_SUCCESS);
  if (!settable_env_attr(attribute)) {
    post_env(env, sqlstate::kHY092, 0, "ISO 9075");
    return leave("sql_set_env_attr", SQL_ERROR);
  }
  SQLRETURN rc = SQLSetEnvAttr(env->driver_env, attribute, v, 0);
  if (succeeded(rc) && attribute == SQL_ATTR_ODBC_VERSION) env->odbc_version = value;
  return leave("sql_set_env_attr", rc);
}

extern "C" int16_t sql_get_env_attr_integer(void* handle, int32_t attribute, SQLLEN* value) {
  if (trace_on(kTraceEntry)) log_printf_tid("sql_get_env_attr(%p,%ld,%p)\n", handle, (long)attribute, (void*)value);
  environment_t* env = enter<environment_t>(handle, "sql_get_env_attr", Diags::keep, InvalidLine::silent);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  // Every environment attribute is an integer: read it into a 64-bit scratch.
  SQLLEN scratch = 0;
  SQLINTEGER narrow = 0;
  SQLRETURN rc = SQLGetEnvAttr(env->driver_env, attribute, &narrow, 0, nullptr);
  scratch = narrow;
  if (value != nullptr) *value = scratch;
  return leave("sql_get_env_attr", rc);
}

// Out arguments in row order: name length, name block, description length,
// description block.
extern "C" int16_t sql_data_sources(void* handle, int16_t direction, int16_t* name_length, int32_t* name_block,
                                    char* name, int16_t* desc_length, int32_t* desc_block, char* description) {
  static const char* kName = KY_HANDLER_NAME(sql_data_sources);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%u,%p,%p,%p,%p,%p,%p)\n", kName, handle, (unsigned)(uint16_t)direction, (void*)name_length,
                   (void*)name_block, (void*)name, (void*)desc_length, (void*)desc_block, (void*)description);
  }
  environment_t* env = enter<environment_t>(handle, kName, Diags::keep);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  int32_t name_cap = name_block != nullptr ? *name_block : 0;
  int32_t desc_cap = desc_block != nullptr ? *desc_block : 0;
  if (name_block != nullptr) *name_block = 0;
  if (desc_block != nullptr) *desc_block = 0;
  const uint16_t dir = static_cast<uint16_t>(direction);
  if (dir != SQL_FETCH_NEXT && dir != SQL_FETCH_FIRST && dir != SQL_FETCH_FIRST_USER && dir != SQL_FETCH_FIRST_SYSTEM) {
    post_env(env, sqlstate::kHY103, 0, "ODBC 3.0");
    return leave(kName, SQL_ERROR);
  }
  if (name_cap < 0 || desc_cap < 0) {
    post_env(env, sqlstate::kHY090, 0, "ISO 9075");
    return leave(kName, SQL_ERROR);
  }
  if ((veks_flags() & VEKS_FLAG_ALLOW_DSN_BROWSE) == 0) {
    post_env(env, sqlstate::kHY000, 46, "ISO 9075",
             "General error: Remote SQLDataSources forbidden - see AllowDSNBrowse");
    return leave(kName, SQL_ERROR);
  }
  // The lengths the driver may write are the buffers' real capacities.
  SQLSMALLINT name_len = 0, desc_len = 0;
  SQLSMALLINT name_max = static_cast<SQLSMALLINT>(name != nullptr ? (name_cap > 32767 ? 32767 : name_cap) : 0);
  SQLSMALLINT desc_max = static_cast<SQLSMALLINT>(description != nullptr ? (desc_cap > 32767 ? 32767 : desc_cap) : 0);
  SQLRETURN rc = SQLDataSources(env->driver_env, dir, reinterpret_cast<SQLCHAR*>(name), name_max, &name_len,
                                reinterpret_cast<SQLCHAR*>(description), desc_max, &desc_len);
  if (name_length != nullptr) *name_length = name_len;
  if (desc_length != nullptr) *desc_length = desc_len;
  if (succeeded(rc)) {
    if (name_block != nullptr) *name_block = text_block(name, name_max, name_len);
    if (desc_block != nullptr) *desc_block = text_block(description, desc_max, desc_len);
  }
  return leave(kName, rc);
}
