// SQLBrowseConnect: the attributes a connection needs, found in a sequence of
// calls. The first answer asks for the server (and offers the logon and target
// users); the second opens the link and offers the server's data sources; the
// last connects to the chosen one. Each step but the last returns
// SQL_NEED_DATA. The state is the connection's own, so browses on different
// connections never meet.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "api.h"
#include "driver.h"
#include "remote.h"
#include "trace.h"

namespace kyvek::driver {

namespace {

// Attribute presence-mask bits (keywords.cpp) that the browse looks at.
constexpr uint32_t kDriver = kKeyDriver, kDsn = kKeyDsn, kServer = kKeyServer, kPort = kKeyPort,
                   kTargetDsn = kKeyTargetDsn, kServerPort = kKeyServerPort;

// The optional items of the first answer, in the order they are offered.
struct OptionalItem {
  uint32_t bit;
  const char* keyword;
  const char* prompt;
};
constexpr OptionalItem kOptionalItems[] = {
    {0x400, "LOGONUSER", "Logon User"},
    {0x800, "LOGONAUTH", "Logon Auth"},
    {0x100, "TARGETUSER", "Target User"},
    {0x200, "TARGETAUTH", "Target Auth"},
};

constexpr int kMaxDataSources = 10000;

// Values that a DSN may supply to the first answer.
constexpr const char* kFromDsn[] = {"SERVERPORT", "TARGETUSER", "TARGETAUTH", "LOGONUSER", "LOGONAUTH"};

SQLRETURN general_error(client_dbc* dbc, int32_t native, const char* text) {
  post_client(&dbc->diag, dbc, native, sqlstate::kHY000.state, false, "general error: %s", text);
  return SQL_ERROR;
}

// Frees the server's connection and environment and closes the link.
void disconnect_from_server(client_dbc* dbc) {
  if (!is_connected(dbc)) return;
  if (!dbc->dead) {
    if (dbc->server_dbc) remote_sql_free_handle(dbc->rpc, SQL_HANDLE_DBC, reinterpret_cast<void*>(dbc->server_dbc));
    if (dbc->server_env) remote_sql_free_handle(dbc->rpc, SQL_HANDLE_ENV, reinterpret_cast<void*>(dbc->server_env));
  }
  dbc->server_dbc = dbc->server_env = 0;
  take_link_down(dbc);
}

// Opens the link to the first server of SERVERPORT, logs on with LOGONUSER and
// LOGONAUTH and makes the server's environment and connection. Every failure
// leaves no link behind.
SQLRETURN connect_to_server(client_dbc* dbc, const AttrList& list) {
  const std::string* sp = list.get("SERVERPORT");
  if (!sp || sp->empty()) return general_error(dbc, 4, "No ServerPort found");
  std::string first = sp->substr(0, sp->find(','));
  const size_t begin = first.find_first_not_of(" \t");
  first.erase(0, begin == std::string::npos ? first.size() : begin);
  if (first.find(':') == std::string::npos) return general_error(dbc, 4, "Invalid ServerPort");
  AttrList link;
  link.set("SERVERPORT", first);
  for (const char* k : {"LOGONUSER", "LOGONAUTH"})
    if (const std::string* v = list.get(k)) link.set(k, *v);
  dbc->dead = 0;
  dbc->server_flags = 0;  // learned anew from each server
  if (rpc_connect(dbc, link) != 0) return SQL_ERROR;
  bool warned = false;
  SQLRETURN rc = open_server_session(dbc, link, false, &warned);
  end_connect_bound(dbc);
  if (rc != SQL_SUCCESS) {
    dbc->server_dbc = dbc->server_env = 0;
    take_link_down(dbc);
    return rc_ok(rc) || rc == SQL_NO_DATA ? SQL_ERROR : rc;
  }
  return warned ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS;
}

// Hands a browse result to the application and waits for the next call.
SQLRETURN answer(client_dbc* dbc, int32_t state, const std::string& text, SQLCHAR* out, SQLSMALLINT outmax,
                 SQLSMALLINT* outlen) {
  TRACE(kTraceConnect, "\tBrowse result: %s\n", trace_safe_connection_string(text).c_str());
  write_out_string(dbc, text, out, outmax, outlen);
  dbc->browse_state = state;
  return set_return_code(&dbc->diag, SQL_NEED_DATA);
}

// The first answer: what is known so far, the server list it needs, and the
// logon and target users it may be given.
SQLRETURN first_answer(client_dbc* dbc, const AttrList& list, SQLCHAR* out, SQLSMALLINT outmax, SQLSMALLINT* outlen) {
  dbc->browse_required = kServerPort;
  dbc->browse_optional = 0;
  std::string text = list.to_string();
  text += "SERVERPORT:ServerPort=?;";
  for (const OptionalItem& item : kOptionalItems) {
    if (list.has_value(item.keyword)) continue;
    dbc->browse_optional |= item.bit;
    text += std::string("*") + item.keyword + ":" + item.prompt + "=?;";
  }
  return answer(dbc, 1, text, out, outmax, outlen);
}

// The second answer: the link opened, the server's data sources offered.
SQLRETURN data_source_list(client_dbc* dbc, const AttrList& list, SQLCHAR* out, SQLSMALLINT outmax,
                           SQLSMALLINT* outlen) {
  retrieve_vek_flags(dbc);
  SQLRETURN rc = connect_to_server(dbc, list);
  if (!rc_ok(rc)) return rc;
  // The link belongs to the browse from here on: every failure closes it.
  dbc->browse_state = 2;
  void* server_env = reinterpret_cast<void*>(dbc->server_env);
  std::string item;
  int count = 0;
  int16_t direction = SQL_FETCH_FIRST_SYSTEM;
  // A bound on the names, so that a server that never says "no more" cannot
  // keep the call going for ever.
  for (int guard = 0; guard < kMaxDataSources; ++guard) {
    char name[513] = {}, description[513] = {};
    int16_t name_len = 0, description_len = 0;
    int32_t name_cap = 512, description_cap = 512;
    TRACE(kTraceConnect, "\tCalling sql_data_sources()\n");
    rc = static_cast<SQLRETURN>(remote_sql_data_sources(dbc->rpc, server_env, direction, &name_len, &name_cap, name,
                                                        &description_len, &description_cap, description));
    TRACE(kTraceConnect, "\treturns %d\n", rc);
    if (!rc_ok(rc)) break;
    direction = SQL_FETCH_NEXT;
    item += count++ == 0 ? "TARGETDSN:Target DSN={" : ",";
    item += name;
    TRACE(kTraceConnect, "\tAdding DSN: %s (current length=%d)\n", name, static_cast<int>(item.size()));
  }
  if (rc_ok(rc)) rc = SQL_NO_DATA;  // the bound: the names so far are offered
  if (rc != SQL_NO_DATA) {
    if (!dbc->dead) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_ENV, dbc->server_env);
    end_browse(dbc);
    return rc;
  }
  if (count == 0) {
    end_browse(dbc);
    return general_error(dbc, 0, "No DataSources found");
  }
  item += "};";
  dbc->browse_required = kTargetDsn;
  dbc->browse_optional = 0;
  return answer(dbc, 2, item, out, outmax, outlen);
}

// The last step: connects the server's connection to the target data source.
SQLRETURN final_step(client_dbc* dbc, const std::string& in_text, SQLCHAR* out, SQLSMALLINT outmax,
                     SQLSMALLINT* outlen) {
  AttrList list;
  list.parse(dbc->browse_accum.empty() ? in_text : dbc->browse_accum);
  const std::string *dsn = list.get("TARGETDSN"), *user = list.get("TARGETUSER"), *password = list.get("TARGETAUTH");
  std::string remote;
  append_connection_item(remote, "DSN", dsn ? *dsn : "");
  if (user && password && !user->empty() && !password->empty()) {
    append_connection_item(remote, "UID", *user);
    append_connection_item(remote, "PWD", *password);
  }
  if (tracing(kTraceConnect)) log_printf_tid("Connecting with %s\n", trace_safe_connection_string(remote).c_str());
  bool warned = false;
  if (!is_connected(dbc)) {
    retrieve_vek_flags(dbc);
    SQLRETURN rc = connect_to_server(dbc, list);
    if (!rc_ok(rc)) {
      end_browse(dbc);
      return rc;
    }
    warned = rc == SQL_SUCCESS_WITH_INFO;
  }
  // The server writes the target's completed string into a buffer of its own;
  // the application gets the attributes it gave instead.
  std::vector<char> server_out(outmax > 0 ? static_cast<size_t>(outmax) + 1 : 1, '\0');
  int32_t out_cap = out && outmax > 0 ? outmax : 0;
  SQLRETURN rc = static_cast<SQLRETURN>(remote_sql_driver_connect(
      dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc), static_cast<int32_t>(remote.size() + 1), remote.c_str(),
      &out_cap, server_out.data(), outmax > 0 ? outmax : 0, SQL_DRIVER_NOPROMPT));
  if (!rc_ok(rc)) {
    TRACE(kTraceConnect, "\tsql_driver_connect()=%d\n", rc);
    // Nothing else could use the link: it is closed with the browse, so the
    // connection can be freed or browsed again.
    if (!dbc->dead) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
    dbc->browse_state = 2;
    end_browse(dbc);
    if (dbc->diag.record_count == 0)
      post_client(&dbc->diag, dbc, 0, sqlstate::kHY000.state, false,
                  "General error: Remote SQLDriverConnect failed (%d)", rc);
    return rc;
  }
  if (rc == SQL_SUCCESS_WITH_INFO) {
    retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
    warned = true;
  }
  if (write_out_string(dbc, dbc->browse_accum, out, outmax, outlen)) warned = true;
  dbc->browse_state = 0;
  dbc->browse_accum.clear();
  dbc->browse_required = dbc->browse_optional = 0;
  if (const std::string* name = list.get("DSN"))
    std::snprintf(dbc->dsn_name, sizeof dbc->dsn_name, "%s", name->c_str());
  return warned ? set_return_code(&dbc->diag, SQL_SUCCESS_WITH_INFO) : SQL_SUCCESS;
}

SQLRETURN browse(client_dbc* dbc, const std::string& in_text, SQLCHAR* out, SQLSMALLINT outmax, SQLSMALLINT* outlen) {
  TRACE(kTraceConnect, "\tstate = %d\n", static_cast<int>(dbc->browse_state));
  if (dbc->browse_state == 0) dbc->browse_accum.clear();
  AttrList list;
  list.parse(in_text);
  const uint32_t mask = attribute_presence_mask(list);

  if (dbc->browse_state == 0) {
    if ((mask & (kServer | kPort | kServerPort)) == (kServer | kPort | kServerPort) && !(mask & kDriver)) {
      post_client(&dbc->diag, dbc, 0, sqlstate::kIM002, true);
      return SQL_ERROR;
    }
    if (mask & kDsn) {
      if (!list.has_value("DSN")) return general_error(dbc, 0, "Parsed a DSN but no value found");
      AttrList stored;
      stored.parse(in_text);
      uint32_t stored_mask = mask;
      get_connect_attrs_from_dsn(dbc, &stored_mask, stored);
      for (const char* k : kFromDsn)
        if (!list.has_value(k) && stored.has_value(k)) list.set(k, *stored.get(k));
    }
    if ((mask & (kServer | kPort)) != (kServer | kPort) && !(mask & kServerPort))
      return first_answer(dbc, list, out, outmax, outlen);
    if (!(mask & kTargetDsn)) {
      // The server came in the first call: its data sources are offered next,
      // and the server stays part of the final string.
      dbc->browse_accum = list.to_string();
      return data_source_list(dbc, list, out, outmax, outlen);
    }
    return final_step(dbc, in_text, out, outmax, outlen);
  }

  if ((mask & dbc->browse_required) != dbc->browse_required) {
    end_browse(dbc);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k01S00);
  }
  dbc->browse_accum += list.to_string();
  if (dbc->browse_state == 1 && !(mask & kTargetDsn)) return data_source_list(dbc, list, out, outmax, outlen);
  return final_step(dbc, in_text, out, outmax, outlen);
}

}  // namespace

void end_browse(client_dbc* dbc) {
  if (dbc->browse_state == 2) disconnect_from_server(dbc);
  dbc->browse_state = 0;
  dbc->browse_accum.clear();
  dbc->browse_required = dbc->browse_optional = 0;
}

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace kyvek::driver::api {

SQLRETURN browse_connect(SQLHDBC handle, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT outmax,
                         SQLSMALLINT* outlen) {
  start_trace_log();
  std::string in_text;
  if (in && (inlen >= 0 || inlen == SQL_NTS))
    in_text = inlen == SQL_NTS ? std::string(reinterpret_cast<char*>(in))
                               : std::string(reinterpret_cast<char*>(in), static_cast<size_t>(inlen));
  if (tracing(kTraceEntry))
    log_printf_tid("SQLBrowseConnect(%p,%s,%d,%p,%d,%p)\n", handle,
                   in ? trace_safe_connection_string(in_text).c_str() : "NULL", inlen, static_cast<void*>(out), outmax,
                   static_cast<void*>(outlen));
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (dbc->browse_state == 0 && is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08002);
  if ((inlen < 0 && inlen != SQL_NTS) || outmax < 0) {
    end_browse(dbc);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
  }
  SQLRETURN rc = browse(dbc, in_text, out, outmax, outlen);
  if (rc != SQL_NEED_DATA && !rc_ok(rc)) end_browse(dbc);
  return rc;
}

}  // namespace kyvek::driver::api
