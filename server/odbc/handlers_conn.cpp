// Connection handlers: connecting through the server's Driver Manager,
// disconnecting, information, functions and connection attributes, native SQL,
// the bridge's own tuning (set_config_param), transactions and cancel.
#include <sql.h>
#include <sqlext.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "handle_alloc.h"
#include "handle_registry.h"
#include "handler_util.h"
#include "connect_policy.h"
#include "handlers.h"
#include "kyrpc.h"
#include "ky_constr.h"
#include "ky_mem.h"
#include "net_connection.h"
#include "odbc_names.h"
#include "record_lists.h"
#include "scramble.h"
#include "server_info.h"
#include "server_policy.h"
#include "trace_log.h"

using namespace kyvek::server;

namespace {

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// The access rules look at exactly the data source that is connected:
// lower case, as the rules are kept.
void access_rule_dsn(const std::string& dsn, net_connection_info_t* info) {
  const std::string l = lower(dsn);
  snprintf(info->dsn, sizeof(info->dsn), "%s", l.c_str());
}

// The DSN attribute of the connection string, for the records posted on the connection.
void keep_dsn(connection_t* dbc, const std::string& text) {
  dbc->dsn[0] = '\0';
  mem_handle* pool = ky_mem_alloc_handle(nullptr);
  if (pool == nullptr) return;  // the connection stands; its records carry no DSN
  con_str cs;
  init_con_str(&cs);
  if (parse_connection_string(&cs, pool, text.c_str(), KY_CONSTR_NTS, KY_CONSTR_NO_DEFAULT_DSN) == 0) {
    const char* dsn = get_attribute_value(&cs, "DSN");
    if (dsn != nullptr) snprintf(dbc->dsn, sizeof(dbc->dsn), "%s", dsn);
  }
  ky_mem_release_handle(pool);
}

// Connection attributes whose value is an integer: the only ones a client
// may set by value.
bool integer_connect_attr(int32_t attr) {
  switch (attr) {
    case SQL_ATTR_ACCESS_MODE:
    case SQL_ATTR_AUTOCOMMIT:
    case SQL_ATTR_LOGIN_TIMEOUT:
    case SQL_ATTR_TRANSLATE_OPTION:
    case SQL_ATTR_TXN_ISOLATION:
    case SQL_ATTR_ODBC_CURSORS:
    case SQL_ATTR_PACKET_SIZE:
    case SQL_ATTR_CONNECTION_TIMEOUT:
    case SQL_ATTR_ASYNC_ENABLE:
    case SQL_ATTR_METADATA_ID: return true;
    default: return false;
  }
}

// A driver-defined attribute (from 16384) the client sends by value: the
// application's StringLength names one of the integer widths.
bool driver_attr_by_value(int32_t attr, int32_t length) {
  return attr >= SQL_DRIVER_CONN_ATTR_BASE && (length == SQL_IS_INTEGER || length == SQL_IS_UINTEGER ||
                                               length == SQL_IS_SMALLINT || length == SQL_IS_USMALLINT);
}

// The setting TargetKeywords, read afresh for each connection.
std::string target_keywords_setting() {
  char text[4096] = "";
  if (veks_server_policy_get()->read_setting_text(text, sizeof text, "TargetKeywords") != 0) text[0] = '\0';
  return text;
}

SQLRETURN refuse_attr(connection_t* dbc) {
  KY_POST_DBC(dbc, sqlstate::kHY092, 0);
  refused_before_driver(&dbc->diags);
  return SQL_ERROR;
}

// Detail line of an attribute a getter read. The line is made from a
// terminated, aligned copy of what the driver wrote, so a text attribute read
// into a small buffer is never followed past its end.
void trace_attr_read(SQLRETURN rc, int32_t attribute, const void* value, size_t size) {
  if (!succeeded(rc) || !trace_on(kTraceDetail)) return;
  alignas(8) char copy[257] = {0};
  memcpy(copy, value, std::min(size, sizeof(copy) - 1));
  log_connect_attr(attribute, reinterpret_cast<intptr_t>(copy), 0);
}

// Detail line of an attribute a setter set: the value itself (a text's address).
void trace_attr_set(SQLRETURN rc, int32_t attribute, intptr_t value) {
  if (succeeded(rc) && trace_on(kTraceDetail)) log_connect_attr(attribute, value, 1);
}

SQLRETURN end_env_tran(environment_t* env, SQLSMALLINT how);

}  // namespace

extern "C" int16_t sql_driver_connect(void* handle, int32_t length, char* text, int32_t* out_block, char* out,
                                      int16_t buffer_length, int16_t completion) {
  static const char* kName = KY_HANDLER_NAME(sql_driver_connect);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%ld,%p,%p,%d,%u)\n", kName, handle, (long)length, (void*)out_block, (void*)out, buffer_length,
                   (unsigned)(uint16_t)completion);
  }
  const int32_t capacity = out_block != nullptr ? *out_block : 0;
  if (out_block != nullptr) *out_block = 0;
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  if (dbc->rpc == nullptr) {
    KY_POST_DBC(dbc, sqlstate::kHY000.state, 2, "General error: Internal server error (%s) invalid rpc backref", kName);
    return leave(kName, SQL_ERROR);
  }
  auto* info = static_cast<net_connection_info_t*>(RPCGetPrivatePtr(dbc->rpc));
  if (info == nullptr) {
    KY_POST_DBC(dbc, sqlstate::kHY000.state, 6, "General error: Failed to get RPC private pointer");
    return leave(kName, SQL_ERROR);
  }
  if (text == nullptr || length <= 0) {
    KY_POST_DBC(dbc, sqlstate::kHY090, 0);
    return leave(kName, SQL_ERROR);
  }
  // The block need not hold a NUL: the text ends at the first NUL or the block's end.
  std::string cs(text, strnlen(text, static_cast<size_t>(length)));
  if (cs.size() >= 3 && cs.compare(0, 2, "xx") == 0) {
    std::vector<char> plain(cs.begin() + 2, cs.end());
    plain.push_back('\0');
    scramble_string(plain.data(), (info->op_flags1 & NET_OP_FAZE2) ? 2 : 0);
    cs.assign(plain.data());
    std::fill(plain.begin(), plain.end(), '\0');
  }
  ClientConnectString checked;
  if (!check_client_connect_string(cs, target_keywords_setting(), &checked)) {
    std::fill(cs.begin(), cs.end(), '\0');
    if (checked.no_memory) {
      KY_POST_DBC(dbc, sqlstate::kHY001, 0);
      return leave(kName, SQL_ERROR);
    }
    veks_server_policy_get()->connect_refused(info, checked.keyword.c_str());
    KY_POST_DBC(dbc, sqlstate::kHY000.state, 6, "General error: Keyword %s is not accepted in a connection string: %s",
                checked.keyword.c_str(), checked.reason.c_str());
    return leave(kName, SQL_ERROR);
  }
  std::fill(cs.begin(), cs.end(), '\0');
  cs = checked.passed_on;
  std::fill(checked.passed_on.begin(), checked.passed_on.end(), '\0');
  // The Driver Manager falls back to a default data source for a name it does
  // not know: only names it lists are connected, so the rules see the real one.
  if (!defined_data_source(checked.dsn)) {
    std::fill(cs.begin(), cs.end(), '\0');
    veks_server_policy_get()->connect_refused(info, "DSN");
    KY_POST_DBC(dbc, sqlstate::kIM002.state, 0, "Data source name not found on the server: %s", checked.dsn.c_str());
    return leave(kName, SQL_ERROR);
  }
  access_rule_dsn(checked.dsn, info);
  char message[512] = {0};
  if (veks_server_policy_get()->register_dsn(info, message, sizeof(message)) < 0) {
    KY_POST_DBC(dbc, sqlstate::kHY000.state, 6, "General error: %s", message);
    return leave(kName, SQL_ERROR);
  }
  // Target options the administrator does not list are left out, never
  // silently: a warning on the connection and an audit line each.
  std::string left_out;
  for (const std::string& k : checked.left_out) {
    veks_server_policy_get()->connect_refused(info, k.c_str());
    left_out += (left_out.empty() ? "" : ", ") + k;
  }
  if (!left_out.empty()) {
    KY_POST_DBC(dbc, sqlstate::k01S00.state, 0,
                "Invalid connection string attribute: not passed on to the target driver: %s (the server's "
                "setting TargetKeywords must list them)",
                left_out.c_str());
  }

  // The completed string may carry the target's credentials: the driver writes
  // it into a private buffer, and the client gets only 'x' characters back.
  int32_t out_len = std::min<int32_t>(buffer_length, capacity);
  if (out == nullptr || out_len < 0) out_len = 0;
  std::vector<SQLCHAR> completed(static_cast<size_t>(out_len) + 1, 0);
  SQLSMALLINT driver_len = 0;
  SQLRETURN rc = SQLDriverConnect(dbc->driver_dbc, nullptr, (SQLCHAR*)cs.c_str(), SQL_NTS,
                                  out_len > 0 ? completed.data() : nullptr, static_cast<SQLSMALLINT>(out_len),
                                  &driver_len, SQL_DRIVER_NOPROMPT);
  std::fill(completed.begin(), completed.end(), 0);
  if (out_len > 0) memset(out, 'x', static_cast<size_t>(out_len));
  if (succeeded(rc) && out_block != nullptr && out_len > 0 && driver_len > 0) {
    *out_block = std::min<int32_t>(driver_len, out_len);
  }
  if (rc == SQL_SUCCESS_WITH_INFO) load_sql_diags(VEKS_DBC, dbc, SQL_HANDLE_DBC, dbc->driver_dbc);
  if (!succeeded(rc)) {
    std::fill(cs.begin(), cs.end(), '\0');
    return leave(kName, rc);
  }
  dbc->connected = 1;
  if (!left_out.empty()) rc = SQL_SUCCESS_WITH_INFO;

  Scratch name_len{};
  if (!succeeded(
          SQLGetInfo(dbc->driver_dbc, SQL_DRIVER_NAME, dbc->driver_name, sizeof(dbc->driver_name), &name_len.i16))) {
    snprintf(dbc->driver_name, sizeof(dbc->driver_name), "unknown");
  }
  dbc->driver_name[sizeof(dbc->driver_name) - 1] = '\0';
  keep_dsn(dbc, cs);
  std::fill(cs.begin(), cs.end(), '\0');
  return leave(kName, rc);
}

extern "C" int16_t sql_connect(void* handle, int32_t dsn_length, char* dsn, int32_t user_length, char* user,
                               int32_t password_length, char* password) {
  static const char* kName = KY_HANDLER_NAME(sql_connect);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%ld,%p,%ld,%p,%ld,%p)\n", kName, handle, (long)dsn_length, (void*)dsn, (long)user_length,
                   (void*)user, (long)password_length, (void*)password);
  }
  // Clients connect through sql_driver_connect only.
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  return dbc == nullptr ? SQL_INVALID_HANDLE : leave(kName, SQL_ERROR);
}

extern "C" int16_t sql_disconnect(void* handle) {
  static const char* kName = KY_HANDLER_NAME(sql_disconnect);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p)\n", kName, handle);
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  if (veks_flags() & VEKS_FLAG_FREE_STMTS_ON_DISCONNECT) {
    for (statement_t* s = dbc->first_stmt; s != nullptr; s = s->next) {
      if (s->driver_stmt == nullptr) continue;
      if (trace_on(kTraceDetail)) log_printf_tid("\tCancelling/Freeing stmt=%p\n", (void*)s);
      SQLCancel(s->driver_stmt);
      SQLFreeStmt(s->driver_stmt, SQL_DROP);
      s->driver_stmt = nullptr;
    }
  }
  SQLRETURN rc = SQLDisconnect(dbc->driver_dbc);
  if (!succeeded(rc)) {
    if (trace_on(kTraceDetail)) log_printf_tid("\tDrivers SQLDisconnect failed\n");
    return leave(kName, rc);
  }
  dbc->connected = 0;
  dbc->dsn[0] = '\0';
  // The Driver Manager freed the connection's statements and explicit
  // descriptors with the disconnect: their records go too.
  for (statement_t* s = dbc->first_stmt; s != nullptr;) {
    statement_t* next = s->next;
    s->driver_stmt = nullptr;
    if (find_statement_in_list(dbc, s, nullptr, LIST_REMOVE) != nullptr) {
      KY_POST_STMT(s, sqlstate::kHY000.state, 6, "General error: Failed to remove statement");
      return leave(kName, SQL_ERROR);
    }
    s = next;
  }
  for (descriptor_t* d = dbc->first_desc; d != nullptr;) {
    descriptor_t* next = d->next;
    d->driver_desc = nullptr;
    find_descriptor_in_list(dbc, nullptr, d, nullptr, LIST_REMOVE);
    d = next;
  }
  return leave(kName, rc);
}

extern "C" int16_t set_config_param(void* handle, int32_t id, int32_t value, int32_t, char*) {
  static const char* kName = KY_HANDLER_NAME(set_config_param);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%lu,%ld)\n", kName, handle, (unsigned long)(uint32_t)id, (long)value);
  }
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::keep);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  switch (static_cast<uint32_t>(id)) {
    case 1:
      dbc->block_fetch_size = static_cast<uint32_t>(value);
      if (trace_on(kTraceDetail)) log_printf_tid("\tCONFIG_PARAM_BLOCK_FETCH_SIZE = %ld\n", (long)value);
      return leave(kName, SQL_SUCCESS);
    case 2:
      dbc->max_bookmark_size = static_cast<uint32_t>(value);
      if (trace_on(kTraceDetail)) log_printf_tid("\tCONFIG_PARAM_MAX_BOOKMARK_SIZE = %ld\n", (long)value);
      return leave(kName, SQL_SUCCESS);
    case 4:
      dbc->default_param_size = static_cast<uint32_t>(value);
      if (trace_on(kTraceDetail)) log_printf_tid("\tCONFIG_PARAM_DEFAULT_PARAM_SIZE = %ld\n", (long)value);
      return leave(kName, SQL_SUCCESS);
    default:
      KY_POST_DBC(dbc, sqlstate::kHY000.state, 32, "General error: Unknown Parameter %lu",
                  static_cast<unsigned long>(static_cast<uint32_t>(id)));
      return leave(kName, SQL_ERROR);
  }
}

extern "C" int16_t sql_get_info_string(void* handle, int16_t type, int32_t* block, char* buffer, int16_t buffer_length,
                                       int16_t* reported) {
  static const char* kName = KY_HANDLER_NAME(sql_get_info_string);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%u,%p,%p,%d,%p)\n", kName, handle, (unsigned)(uint16_t)type, (void*)block, (void*)buffer,
                   buffer_length, (void*)reported);
  }
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  const int64_t len = capped(buffer_length, &cap, buffer);
  // The driver writes into scratch room at least as large as any fixed value.
  std::vector<char> scratch(static_cast<size_t>(std::max<int64_t>(len, 64)) + 1, 0);
  SQLSMALLINT driver_len = 4607;
  SQLRETURN rc = SQLGetInfo(dbc->driver_dbc, static_cast<SQLUSMALLINT>(type),
                            buffer != nullptr ? scratch.data() : nullptr, static_cast<SQLSMALLINT>(len), &driver_len);
  if (succeeded(rc) && buffer != nullptr && len > 0) {
    memcpy(buffer, scratch.data(), static_cast<size_t>(len));
    if (block != nullptr) *block = text_block(buffer, len, driver_len);
  }
  if (reported != nullptr) *reported = driver_len;
  return leave(kName, rc);
}

namespace {

SQLRETURN get_info_fixed(void* handle, const char* name, int16_t type, const void* value_out, int16_t buffer_length,
                         Scratch* value, int16_t* length) {
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%u,%p,%d,%p)\n", name, handle, (unsigned)(uint16_t)type, value_out, buffer_length,
                   (void*)length);
  }
  connection_t* dbc = enter<connection_t>(handle, name, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  SQLSMALLINT len = 0;
  SQLRETURN rc =
      SQLGetInfo(dbc->driver_dbc, static_cast<SQLUSMALLINT>(type), value->bytes, sizeof(value->bytes) - 1, &len);
  if (length != nullptr) *length = len;
  return leave(name, rc);
}

}  // namespace

extern "C" int16_t sql_get_info_integer(void* handle, int16_t type, int32_t* value, int16_t buffer_length,
                                        int16_t* length) {
  Scratch s{};
  SQLRETURN rc = get_info_fixed(handle, "sql_get_info_integer", type, value, buffer_length, &s, length);
  if (value != nullptr) *value = s.i32;
  return rc;
}

extern "C" int16_t sql_get_info_smallint(void* handle, int16_t type, int16_t* value, int16_t buffer_length,
                                         int16_t* length) {
  Scratch s{};
  SQLRETURN rc = get_info_fixed(handle, "sql_get_info_smallint", type, value, buffer_length, &s, length);
  if (value != nullptr) *value = s.i16;
  return rc;
}

namespace {

// SQLGetFunctions into room for the largest answer (the ODBC 3 bitmap), then
// only what the out array holds.
SQLRETURN get_functions(void* handle, const char* name, int16_t id, int16_t* out, size_t out_bytes) {
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%u,%p)\n", name, handle, (unsigned)(uint16_t)id, (void*)out);
  connection_t* dbc = enter<connection_t>(handle, name, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  SQLUSMALLINT all[SQL_API_ODBC3_ALL_FUNCTIONS_SIZE] = {0};
  SQLRETURN rc = SQLGetFunctions(dbc->driver_dbc, static_cast<SQLUSMALLINT>(id), all);
  if (succeeded(rc) && trace_on(kTraceDetail)) log_functions_supported(static_cast<uint16_t>(id), all);
  if (out != nullptr) memcpy(out, all, std::min(out_bytes, sizeof(all)));
  return leave(name, rc);
}

}  // namespace

extern "C" int16_t sql_get_functions_odbc3_all(void* handle, int16_t id, int16_t* supported) {
  return get_functions(handle, "sql_get_functions_odbc3_all", id, supported, 500);
}

extern "C" int16_t sql_get_functions_all(void* handle, int16_t id, int16_t* supported) {
  return get_functions(handle, "sql_get_functions_all", id, supported, 200);
}

extern "C" int16_t sql_get_function(void* handle, int16_t id, int16_t* supported) {
  return get_functions(handle, "sql_get_function", id, supported, sizeof(int16_t));
}

extern "C" int16_t sql_get_connect_attr_integer(void* handle, int32_t attribute, SQLLEN* value) {
  static const char* kName = KY_HANDLER_NAME(sql_get_connect_attr_integer);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%ld,%p)\n", kName, handle, (long)attribute, (void*)value);
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  Scratch s{};
  SQLRETURN rc = SQLGetConnectAttr(dbc->driver_dbc, attribute, s.bytes, SQL_IS_INTEGER, nullptr);
  if (value != nullptr) *value = s.i32;  // widened with its sign
  trace_attr_read(rc, attribute, s.bytes, sizeof(s.bytes));
  return leave(kName, rc);
}

extern "C" int16_t sql_get_connect_attr_handle(void* handle, int32_t attribute, void** value) {
  static const char* kName = KY_HANDLER_NAME(sql_get_connect_attr_handle);
  if (trace_on(kTraceEntry)) log_printf_tid("%s(%p,%ld,%p)\n", kName, handle, (long)attribute, (void*)value);
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  Scratch s{};
  SQLRETURN rc = SQLGetConnectAttr(dbc->driver_dbc, attribute, s.bytes, 0, nullptr);
  if (value != nullptr) *value = s.ptr;
  trace_attr_read(rc, attribute, s.bytes, sizeof(s.bytes));
  return leave(kName, rc);
}

namespace {

SQLRETURN get_connect_attr_text(void* handle, const char* name, int32_t attribute, int32_t* block, char* buffer,
                                int32_t buffer_length, int32_t* reported, bool binary) {
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%ld,%p,%p,%ld,%p)\n", name, handle, (long)attribute, (void*)block, (void*)buffer,
                   (long)buffer_length, (void*)reported);
  }
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  connection_t* dbc = enter<connection_t>(handle, name, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  const int64_t len = capped(buffer_length, &cap, buffer);
  std::vector<char> scratch(static_cast<size_t>(std::max<int64_t>(len, 64)) + 1, 0);
  SQLINTEGER driver_len = 0;
  SQLRETURN rc = SQLGetConnectAttr(dbc->driver_dbc, attribute, buffer != nullptr ? scratch.data() : nullptr,
                                   static_cast<SQLINTEGER>(len), &driver_len);
  if (reported != nullptr) *reported = driver_len;
  if (succeeded(rc) && buffer != nullptr && len > 0) {
    memcpy(buffer, scratch.data(), static_cast<size_t>(len));
    if (block != nullptr) {
      *block = binary ? static_cast<int32_t>(std::min<int64_t>(driver_len < 0 ? len : driver_len, len))
                      : text_block(buffer, len, driver_len);
    }
  }
  trace_attr_read(rc, attribute, scratch.data(), scratch.size());
  return leave(name, rc);
}

}  // namespace

extern "C" int16_t sql_get_connect_attr_string(void* handle, int32_t attribute, int32_t* block, char* buffer,
                                               int32_t buffer_length, int32_t* reported) {
  return get_connect_attr_text(handle, "sql_get_connect_attr_string", attribute, block, buffer, buffer_length, reported,
                               false);
}

extern "C" int16_t sql_get_connect_attr_binary(void* handle, int32_t attribute, int32_t* block, char* buffer,
                                               int32_t buffer_length, int32_t* reported) {
  return get_connect_attr_text(handle, "sql_get_connect_attr_binary", attribute, block, buffer, buffer_length, reported,
                               true);
}

extern "C" int16_t sql_set_connect_attr_long(void* handle, int32_t attribute, SQLLEN value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_connect_attr_long);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%ld,%ld,%ld)\n", kName, handle, (long)attribute, (long)value, (long)length);
  }
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  if (!integer_connect_attr(attribute) && !driver_attr_by_value(attribute, length))
    return leave(kName, refuse_attr(dbc));
  SQLRETURN rc = SQLSetConnectAttr(dbc->driver_dbc, attribute, reinterpret_cast<SQLPOINTER>(value), length);
  trace_attr_set(rc, attribute, static_cast<intptr_t>(value));
  return leave(kName, rc);
}

extern "C" int16_t sql_set_connect_attr_ptr(void* handle, int32_t attribute, void* value, int32_t length) {
  static const char* kName = KY_HANDLER_NAME(sql_set_connect_attr_ptr);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%ld,%p,%ld)\n", kName, handle, (long)attribute, value, (long)length);
  }
  // A pointer from the peer means nothing here: only integer attributes pass.
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  if (!integer_connect_attr(attribute)) return leave(kName, refuse_attr(dbc));
  SQLRETURN rc = SQLSetConnectAttr(dbc->driver_dbc, attribute, value, length);
  trace_attr_set(rc, attribute, reinterpret_cast<intptr_t>(value));
  return leave(kName, rc);
}

extern "C" int16_t sql_set_connect_attr_strbin(void* handle, int32_t attribute, int32_t block_length, char* block,
                                               int32_t length) {
  if (trace_on(kTraceEntry)) {
    log_printf_tid("sql_set_connect_attr_strbin(%p,%ld,%ld,%p,%ld)\n", handle, (long)attribute, (long)block_length,
                   (void*)block, (long)length);
  }
  connection_t* dbc = enter<connection_t>(handle, KY_HANDLER_NAME(sql_set_connect_attr_strbin), Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  // The current catalog and driver-defined attributes: a trace file or a
  // translation library named by a client would make the server write files
  // or load code.
  const bool driver_defined = attribute >= SQL_DRIVER_CONN_ATTR_BASE;
  if (attribute != SQL_ATTR_CURRENT_CATALOG && !driver_defined)
    return leave("sql_set_connect_attr_strbin", refuse_attr(dbc));
  SQLINTEGER n = 0;
  if (!text_length(block, block_length, length, &n)) {
    KY_POST_DBC(dbc, sqlstate::kHY090, 0);
    refused_before_driver(&dbc->diags);
    return leave("sql_set_connect_attr_strbin", SQL_ERROR);
  }
  // A private, terminated copy. A driver-defined value goes as the
  // application gave it: its bytes and its length (or SQL_NTS).
  std::string value(block, n == SQL_NTS ? strlen(block) : static_cast<size_t>(n));
  SQLRETURN rc = SQLSetConnectAttr(dbc->driver_dbc, attribute, (SQLPOINTER)value.c_str(),
                                   driver_defined && n != SQL_NTS ? n : SQL_NTS);
  trace_attr_set(rc, attribute, reinterpret_cast<intptr_t>(value.c_str()));
  return leave("sql_set_connect_attr_strbin", rc);
}

extern "C" int16_t sql_set_connect_option_integer(void* handle, int16_t option, SQLLEN value) {
  connection_t* dbc = enter<connection_t>(handle, KY_HANDLER_NAME(sql_set_connect_option_integer), Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  // ODBC 2 also sets statement options (0-12, all integers) through the connection.
  const bool statement_option = option >= SQL_QUERY_TIMEOUT && option <= SQL_USE_BOOKMARKS;
  if (!integer_connect_attr(option) && !statement_option) {
    return leave("sql_set_connect_option_integer", refuse_attr(dbc));
  }
  // The driver hands these on to statements allocated later, behind the
  // server's records: a row-wise bind type or a larger rowset would make it
  // write past the column-wise arrays the server sized per statement.
  // Row-wise binding is the client's business (as for the statement
  // attribute); a rowset size is set per statement.
  if (option == SQL_BIND_TYPE && value != SQL_BIND_BY_COLUMN) {
    Exit exit("sql_set_connect_option_integer");
    exit.because("BIND_TYPE ignored");
    return exit.leave(SQL_SUCCESS);
  }
  if (option == SQL_ROWSET_SIZE) return leave("sql_set_connect_option_integer", refuse_attr(dbc));
  SQLRETURN rc = SQLSetConnectOption(dbc->driver_dbc, static_cast<SQLUSMALLINT>(option), static_cast<SQLULEN>(value));
  return leave("sql_set_connect_option_integer", rc);
}

extern "C" int16_t sql_native_sql(void* handle, int32_t in_length, char* in, int32_t* block, char* out,
                                  int32_t buffer_length, int32_t* total) {
  static const char* kName = KY_HANDLER_NAME(sql_native_sql);
  if (trace_on(kTraceEntry)) {
    log_printf_tid("%s(%p,%ld,%p,%p,%p,%ld,%p)\n", kName, handle, (long)in_length, (void*)in, (void*)block, (void*)out,
                   (long)buffer_length, (void*)total);
  }
  const int32_t cap = block != nullptr ? *block : 0;
  if (block != nullptr) *block = 0;
  connection_t* dbc = enter<connection_t>(handle, kName, Diags::clear);
  if (dbc == nullptr) return SQL_INVALID_HANDLE;
  if (in == nullptr || in_length <= 0) {
    KY_POST_DBC(dbc, sqlstate::kHY009, 0);
    return leave(kName, SQL_ERROR);
  }
  std::string text(in, strnlen(in, static_cast<size_t>(in_length)));
  const int64_t len = capped(buffer_length, &cap, out);
  std::vector<char> scratch(static_cast<size_t>(len) + 1, 0);
  SQLINTEGER driver_total = 0;
  SQLRETURN rc = SQLNativeSql(dbc->driver_dbc, (SQLCHAR*)text.c_str(), SQL_NTS,
                              out != nullptr && len > 0 ? (SQLCHAR*)scratch.data() : nullptr,
                              static_cast<SQLINTEGER>(len), &driver_total);
  if (total != nullptr) *total = driver_total;
  if (succeeded(rc) && out != nullptr && len > 0) {
    memcpy(out, scratch.data(), static_cast<size_t>(len));
    if (block != nullptr) *block = text_block(out, len, driver_total);
  }
  return leave(kName, rc);
}

extern "C" int16_t sql_end_tran(int16_t type, void* handle, int16_t completion) {
  static const char* kName = KY_HANDLER_NAME(sql_end_tran);
  const SQLSMALLINT how = static_cast<SQLSMALLINT>(static_cast<uint16_t>(completion));
  if (type == SQL_HANDLE_DBC) {
    connection_t* dbc = enter<connection_t>(handle, kName, Diags::keep, InvalidLine::silent);
    if (dbc == nullptr) return SQL_INVALID_HANDLE;
    return leave(kName, SQLEndTran(SQL_HANDLE_DBC, dbc->driver_dbc, how));
  }
  if (type != SQL_HANDLE_ENV) {
    Exit exit(kName);
    exit.because("HandleType %d", type);
    return exit.leave(SQL_ERROR);
  }
  environment_t* env = enter<environment_t>(handle, kName, Diags::keep, InvalidLine::silent);
  if (env == nullptr) return SQL_INVALID_HANDLE;
  return leave(kName, end_env_tran(env, how));
}

extern "C" int16_t sql_cancel(void* handle) {
  // Takes no lock: a cancel never waits behind the call it cancels.
  statement_t* stmt = enter<statement_t>(handle, KY_HANDLER_NAME(sql_cancel), Diags::clear);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  return leave(KY_HANDLER_NAME(sql_cancel), SQLCancel(stmt->driver_stmt));
}

namespace {

// SQLEndTran on an entered environment.
SQLRETURN end_env_tran(environment_t* env, SQLSMALLINT how) {
  if (!env->pooled) return SQLEndTran(SQL_HANDLE_ENV, env->driver_env, how);
  // A shared environment carries other clients' connections: end only this
  // link's transactions.
  SQLRETURN result = SQL_SUCCESS;
  veks_env_lock(env);
  for (connection_t* c = env->first_dbc; c != nullptr; c = c->next) {
    if (c->registry != veks_registry_current() || c->driver_dbc == nullptr || !c->connected) continue;
    SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, c->driver_dbc, how);
    if (!succeeded(rc))
      result = rc;
    else if (rc == SQL_SUCCESS_WITH_INFO && result == SQL_SUCCESS)
      result = rc;
  }
  veks_env_unlock(env);
  return result;
}

}  // namespace
