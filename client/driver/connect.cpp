// The connect road: SQLConnect, SQLDriverConnect, SQLDisconnect, the RPC link
// over the server:port list and its failure callback.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connect_keywords.h"
#include "identity.h"
#include "driver.h"
#include "api.h"
#include "kyrpc.h"
#include "logon/logon.h"
#include "remote.h"
#include "scramble.h"
#include "trace.h"

namespace kyvek::driver {

namespace {

// Builds "server:port,..." by pairing the comma lists SERVER and PORT in order.
// Empty when not even one pair can be made.
std::string pair_servers(const std::string& servers, const std::string& ports) {
  auto split = [](const std::string& s) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= s.size()) {
      size_t comma = s.find(',', start);
      if (comma == std::string::npos) comma = s.size();
      size_t b = start;
      while (b < comma && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
      items.push_back(s.substr(b, comma - b));
      start = comma + 1;
    }
    return items;
  };
  std::vector<std::string> sv = split(servers), pv = split(ports);
  std::string out;
  for (size_t i = 0; i < sv.size() && i < pv.size(); ++i) {
    if (sv[i].empty() || pv[i].empty()) {
      if (i == 0) return "";
      break;
    }
    if (!out.empty()) out += ',';
    out += sv[i] + ":" + pv[i];
  }
  return out;
}

void free_rpc(RpcHandle* h) {
  RPCTerminate(h);
  RPCFreeHandle(h);
}

void report_missing(client_dbc* dbc, uint32_t mask) {
  std::string names;
  const std::pair<uint32_t, const char*> wanted[] = {
      {kKeyTargetDsn, "TARGETDSN"}, {kKeyLogonUser, "LOGONUSER"}, {kKeyServerPort, "SERVERPORT"}};
  for (const auto& w : wanted) {
    if (mask & w.first) continue;
    if (!names.empty()) names += ',';
    names += w.second;
  }
  post_client(&dbc->diag, dbc, 0, sqlstate::kHY000.state, false, "general error: Missing attribute(s): %s",
              names.c_str());
}

// The SQLSTATE of the server connection's first record, or "" when it has none.
std::string server_first_state(client_dbc* dbc, void* server_dbc) {
  char state[8] = {};
  int32_t state_len = 7;
  int16_t sl = 0;
  if (!rc_ok(remote_sql_get_diag_field_string(dbc->rpc, SQL_HANDLE_DBC, server_dbc, 1, SQL_DIAG_SQLSTATE, &state_len,
                                              state, 7, &sl)))
    return "";
  return state;
}

// A data source missing on the server reads like one missing here: say
// where it is missing, and which name was looked for, before the server's
// own records.
void report_target_not_found(client_dbc* dbc, void* server_dbc, const AttrList& list) {
  if (server_first_state(dbc, server_dbc) != "IM002") return;
  const std::string* target = list.get("DSN");
  post_client(&dbc->diag, dbc, 0, sqlstate::kIM002.state, true,
              "Data source not found on the server: TARGETDSN '%s' is not defined there",
              target ? target->c_str() : "");
}

bool sufficient(uint32_t mask, uint32_t extra) {
  // SERVER, PORT and TARGETDSN, or SERVERPORT and TARGETDSN.
  const uint32_t apart = extra | kKeyServer | kKeyPort | kKeyTargetDsn;
  const uint32_t joined = extra | kKeyServerPort | kKeyTargetDsn;
  return (mask & apart) == apart || (mask & joined) == joined;
}

// Scrambles a copy of text for the server, by the variant the server serves.
std::string scrambled(const client_dbc* dbc, const std::string& text) {
  std::string buf(text.size() * 2 + 1, '\0');
  std::memcpy(buf.data(), text.c_str(), text.size() + 1);
  scramble_string(buf.data(), (dbc->server_flags & kServerFaze2) ? 3 : 1);
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

// The server gets the target data source, user and password, this driver's
// options that the server uses, and every keyword this driver does not know
// (the target driver's options, which the server passes on where its
// administrator allows them). Keywords naming files, libraries or Driver
// Manager settings stay here.
void keep_only_server_keywords(AttrList& list) {
  AttrList kept;
  for (const auto& [key, value] : list.pairs()) {
    bool held = iequals(key, "DESCRIPTION");
    for (const char* k : kNeverPassedConnectKeywords) held = held || iequals(key, k);
    if (!held && !kept.has(key)) {
      kept.set(key, value);
      if (list.braced(key)) kept.mark_braced(key);
    } else {
      TRACE(kTraceConnect, "\tNot passed on to the server: %s\n", key.c_str());
    }
  }
  list = kept;
}

}  // namespace

// Closes the connection's link, if any, and forgets it.
void take_link_down(client_dbc* dbc) {
  if (!dbc->rpc) return;
  RPCDisconnect(dbc->rpc);
  RPCTerminate(dbc->rpc);
  RPCFreeHandle(dbc->rpc);
  dbc->rpc = nullptr;
}

// Copies the out string into the application's buffer; 01004 when cut.
bool write_out_string(client_dbc* dbc, const std::string& text, SQLCHAR* out, SQLSMALLINT outmax, SQLSMALLINT* outlen) {
  if (outlen) *outlen = static_cast<SQLSMALLINT>(text.size() > 32767 ? 32767 : text.size());
  if (!out || outmax <= 0) return false;
  if (static_cast<size_t>(outmax) > text.size()) {
    std::memcpy(out, text.c_str(), text.size() + 1);
    return false;
  }
  std::memcpy(out, text.data(), static_cast<size_t>(outmax - 1));
  out[outmax - 1] = '\0';
  post_client(&dbc->diag, dbc, 4, sqlstate::k01004, false);
  return true;
}

void set_link_wait(client_dbc* dbc, SQLULEN seconds, const sqlstate::Row& state) {
  dbc->wait_state = &state;
  if (dbc->rpc) RPCSetWaitLimit(dbc->rpc, seconds > 0 && seconds < 2000000 ? long(seconds) * 1000 : 0);
}

void end_connect_bound(client_dbc* dbc) {
  dbc->connect_end.reset();
  if (!dbc->rpc) return;
  RPCSetWaitEnd(dbc->rpc, 0);
  set_link_wait(dbc, static_cast<SQLULEN>(dbc->connection_timeout), sqlstate::kHYT01);
}

void rpc_error_callback(int code, void* context) {
  if (vekc_chk_handle(kDbc, context)) return;
  auto* dbc = static_cast<client_dbc*>(context);
  const char* text = nullptr;
  if (dbc->rpc) RPCReportError(dbc->rpc, &text);
  if (dbc->rpc && RPCTimedOut(dbc->rpc)) {
    // The server stayed silent past the limit; its link is closed, so the call
    // and every later one fail rather than read a late answer.
    dbc->dead = 1;
    const sqlstate::Row& state = *dbc->wait_state.load();
    post_client(&dbc->diag, dbc, 0, state, false);
    post_client(&dbc->diag, dbc, 0, state.state, false, "%s", text && *text ? text : "Timed out");
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    for (client_stmt* s = dbc->statements; s; s = s->next) post_client(&s->diags, dbc, 0, state, false);
    return;
  }
  if (code == RPC_ERR_NONAME) {
    // A procedure the server does not offer: the link itself is sound.
    post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "General error: %s",
                text && *text ? text : "No Error Text");
    return;
  }
  dbc->dead = 1;
  post_client(&dbc->diag, dbc, 45, sqlstate::k08S01, false);
  post_client(&dbc->diag, dbc, 4, sqlstate::k08S01.state, false, "%s", text && *text ? text : "No Error Text");
  std::lock_guard<std::recursive_mutex> g(dbc->lock);
  for (client_stmt* s = dbc->statements; s; s = s->next) post_client(&s->diags, dbc, 45, sqlstate::k08S01, false);
}

// Milliseconds left of the connect's login time-out: -1 for no bound, 0 when
// it has run out.
long connect_time_left(const client_dbc* dbc) {
  if (!dbc->connect_end) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*dbc->connect_end -
                                                                    std::chrono::steady_clock::now()).count();
  return left > 0 ? long(left) : 0;
}

int rpc_connect(client_dbc* dbc, const AttrList& list) {
  std::string pairs;
  if (const std::string* sp = list.get("SERVERPORT"); sp && !sp->empty()) {
    pairs = *sp;
  } else {
    const std::string *port = list.get("PORT"), *server = list.get("SERVER");
    if (!port || port->empty() || !server || server->empty()) {
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "general error: Missing ServerPort attribute");
      return -1;
    }
    pairs = pair_servers(*server, *port);
    if (pairs.empty()) {
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "general error: Mismatched Server/Port");
      return -1;
    }
  }
  char timeout[32];
  std::snprintf(timeout, sizeof timeout, "%lu", static_cast<unsigned long>(dbc->connection_timeout));
  const int32_t login = dbc->login_timeout > 0 ? dbc->login_timeout : dbc->connection_timeout;
  dbc->connect_end.reset();
  if (login > 0) dbc->connect_end = std::chrono::steady_clock::now() + std::chrono::seconds(login);
  const std::string* logon_user = list.get("LOGONUSER");
  const std::string* logon_auth = list.get("LOGONAUTH");

  // Every item is checked before the first attempt, so a malformed list is
  // reported rather than half tried.
  struct Target {
    std::string server, port;
  };
  std::vector<Target> targets;
  size_t pos = 0;
  while (pos < pairs.size()) {
    size_t comma = pairs.find(',', pos);
    if (comma == std::string::npos) comma = pairs.size();
    std::string item = pairs.substr(pos, comma - pos);
    pos = comma + 1;
    size_t b = 0;
    while (b < item.size() && std::isspace(static_cast<unsigned char>(item[b]))) ++b;
    item.erase(0, b);
    if (item.empty()) continue;
    // An IPv6 address is written in brackets: "[::1]:8888".
    size_t close = item[0] == '[' ? item.find(']') : 0;
    size_t colon = close == std::string::npos ? close : item.find(':', close);
    if (colon == std::string::npos || colon == 0) {
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false,
                  "general error: Invalid ServerPort item \"%s\" (expected server:port, [IPv6 address]:port)",
                  item.c_str());
      return -1;
    }
    std::string port = item.substr(colon + 1);
    size_t end = port.find_first_of(" \t\r\n,");
    if (end != std::string::npos) port.erase(end);
    targets.push_back({item.substr(0, colon), port});
  }
  if (targets.empty()) {
    post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "general error: Missing ServerPort attribute");
    return -1;
  }

  std::vector<std::string> failures;
  bool timed_out = false;
  for (size_t i = 0; i < targets.size(); ++i) {
    const Target& t = targets[i];
    bool last = i + 1 == targets.size();
    TRACE(kTraceRpc, "\t\tRPCAllocHandle\n");
    RpcHandle* h = RPCAllocHandle();
    if (!h) {
      post_client(&dbc->diag, dbc, 250, sqlstate::kHY013, false);
      return -1;
    }
    if (RPCInitialise(h, RPC_MODE_CLIENT, 0)) {
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "general error: %s", "RPCInitialise failed");
      RPCFreeHandle(h);
      return -1;
    }
    int transports = 0;
    const char *name, *description;
    while (RPCEnumerateTransports(h, transports, &name, &description) == 0) ++transports;
    if (transports == 0) {
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "general error: %s", "No RPC transports found");
      free_rpc(h);
      return -1;
    }
    if (vek_lookup_service(t.port.c_str(), nullptr, 0) < 0) {
      post_client(&dbc->diag, dbc, 9, sqlstate::kHY000.state, false, "general error: Service/Port (%s) not found",
                  t.port.c_str());
      free_rpc(h);
      return -1;
    }
    if (refuse_sqlserver_port(dbc, std::atoi(t.port.c_str())) < 0) {
      free_rpc(h);
      return -1;
    }
    TRACE(kTraceRpc, "\t\tServer=%s Port=%s ConnectTimeout=%s\n", t.server.c_str(), t.port.c_str(),
          dbc->connection_timeout ? timeout : "Not Set");
    if (RPCSetTransportOpts(h, RPC_TRANSPORT_BSD, t.server.c_str(), t.port.c_str(),
                            logon_user ? logon_user->c_str() : nullptr, logon_auth ? logon_auth->c_str() : nullptr,
                            nullptr, nullptr, dbc->connection_timeout ? timeout : nullptr)) {
      const char* text = nullptr;
      RPCReportError(h, &text);
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "general error: %s", "RPCSetTransportOpts failed");
      post_client(&dbc->diag, dbc, 4, sqlstate::kHY000.state, false, "%s", text ? text : "");
      free_rpc(h);
      return -1;
    }
    const std::pair<int, int32_t> lowl[] = {{RPC_LOWL_RCVLOWAT, dbc->rcv_lowat},
                                            {RPC_LOWL_RCVBUF, dbc->rcv_buf},
                                            {RPC_LOWL_SNDBUF, dbc->snd_buf},
                                            {RPC_LOWL_ATTEMPTS, dbc->connect_retries}};
    for (const auto& o : lowl) {
      if (o.second == -1) continue;
      char v[32];
      std::snprintf(v, sizeof v, "%ld", static_cast<long>(o.second));
      RPCSetLowLTransportOpts(h, 1, o.first, v);
    }
    // The logon time-out bounds the whole connect: every server and attempt,
    // the handshake and the logon (cleared once connected).
    const long left = connect_time_left(dbc);
    if (left == 0) {
      failures.push_back(t.server + " port " + t.port + ": not tried, the login time-out ran out");
      timed_out = true;
      free_rpc(h);
      break;
    }
    RPCSetWaitEnd(h, left);
    dbc->wait_state = &sqlstate::kHYT00;
    TRACE(kTraceRpc, "\t\tRPCConnect %d %d\n", 1, 0);
    if (RPCConnect(h, KY_RPC_VERSION, KY_RPC_MINOR_VERSION, KY_RPC_PROGRAM_ID)) {
      const char* reported = nullptr;
      RPCReportError(h, &reported);
      std::string text = reported && *reported ? reported : "no answer";
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
      if (RPCTimedOut(h)) {
        timed_out = true;
        if (text.rfind("Timed out: ", 0) == 0) text.erase(0, 11);
      }
      // Every text names the server it is about.
      if (text.find(" port " + t.port) == std::string::npos)
        text = (timed_out ? "" : "Could not connect to ") + t.server + " port " + t.port + ": " + text;
      failures.push_back(text);
      free_rpc(h);
      if (last) break;
      continue;
    }
    char order[20] = {};
    if (RPCGetInfo(h, RPC_INFO_BYTE_ORDER, order, sizeof order) >= 0 && std::strcmp(order, "Y") == 0) {
      TRACE(kTraceDetail, "\tDiff Endianness\n");
      dbc->server_flags |= kServerOtherByteOrder;
    }
    RPCSetError(h, rpc_error_callback, dbc);
    dbc->rpc = h;
    return 0;
  }
  // One record says what happened with each server tried, in the system's words.
  std::string joined;
  for (const std::string& f : failures) joined += (joined.empty() ? "" : "; ") + f;
  if (timed_out)
    post_client(&dbc->diag, dbc, 0, sqlstate::kHYT00.state, false, "Login timeout expired: %s", joined.c_str());
  else
    post_client(&dbc->diag, dbc, 4, sqlstate::k08001.state, false, "%s", joined.c_str());
  return -1;
}

namespace {

struct ConnectArgs {
  void* hwnd;
  std::string in;
  SQLCHAR* out;
  SQLSMALLINT outmax;
  SQLSMALLINT* outlen;
  SQLUSMALLINT completion;
};

// A remote step failed. The server's own records were fetched already; when it
// gave none, say which step failed rather than fail without a word.
SQLRETURN remote_failure(client_dbc* dbc, const char* step, int rc) {
  if (dbc->diag.record_count == 0 && !dbc->dead)
    post_client(&dbc->diag, dbc, 0, sqlstate::kHY000.state, false, "General error: Remote %s failed (%d)", step, rc);
  return rc_ok(rc) ? SQL_ERROR : static_cast<SQLRETURN>(rc);
}

// The connection string as given, but every LOGONAUTH item replaced by
// DISGUISEDLOGONAUTH, the form a later connect takes back.
std::string without_clear_logon_auth(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    // One item: up to a ';' outside braces ("}}" inside braces is a brace).
    size_t end = pos;
    bool braced = false;
    while (end < text.size()) {
      char c = text[end];
      if (braced && c == '}' && end + 1 < text.size() && text[end + 1] == '}') {
        end += 2;
        continue;
      }
      if (c == '{') braced = true;
      if (c == '}') braced = false;
      if (c == ';' && !braced) break;
      ++end;
    }
    std::string item = text.substr(pos, end - pos);
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq == std::string::npos ? item.size() : eq);
    while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back()))) key.pop_back();
    while (!key.empty() && std::isspace(static_cast<unsigned char>(key.front()))) key.erase(0, 1);
    if (eq != std::string::npos && iequals(key, "LOGONAUTH")) {
      AttrList one;
      one.parse(item);
      const std::string* plain = one.get("LOGONAUTH");
      item = std::string(kDisguisedLogonAuth) + "=" + disguised_logon_auth(plain ? *plain : "");
    }
    out += item;
    if (end < text.size()) out += ';';
    pos = end + 1;
  }
  return out;
}

// What a refused logon tells the user: which account, and what to do, never
// which of name and password was wrong (the server's log has the detail).
std::string logon_failure_text(const std::string& user, bool no_password, int32_t code) {
  std::string text = "logon failed for user " + user + ": ";
  switch (code) {
    case KY_LOGON_ERROR_LOGON_FAILURE:
    case KY_LOGON_ERROR_NO_SUCH_USER:
      text += "wrong user name or password";
      if (no_password) text += " (no LOGONAUTH was given)";
      break;
    case KY_LOGON_ERROR_ACCOUNT_RESTRICTION:
      text += "the account may not log on now (expired, locked or outside its hours)";
      break;
    case KY_LOGON_ERROR_PRIVILEGE_NOT_HELD:
      text += "the server may not act as that user (it does not run as root, or serves another user)";
      break;
    default:
      text += "the server refused it (code " + std::to_string(code) + "); the server's log says why";
      break;
  }
  return text;
}

}  // namespace

SQLRETURN open_server_session(client_dbc* dbc, AttrList& list, bool may_prompt, bool* warned) {
  client_env* env = dbc->env;
  // Server information and the scrambling variant.
  auto info = [&](int32_t type, std::string* out) {
    char buf[101] = {};
    int32_t len = 100;
    int32_t r = remote_server_get_info(dbc->rpc, type, &len, buf);
    if (r != 0) return false;
    *out = buf;
    return true;
  };
  std::string text;
  if (info(1, &text))
    TRACE(kTraceConnect, "\tserver_get_info(SERVER_INFO_VERSION) : %s\n", text.c_str());
  else
    TRACE(kTraceConnect, "\tserver_get_info not supported\n");
  if (info(2, &text)) TRACE(kTraceConnect, "\tserver_get_info(SERVER_INFO_NAME) : %s\n", text.c_str());
  if (info(3, &text) && text == SERVER_HAS_FAZE2) dbc->server_flags |= kServerFaze2;
  int32_t sa = remote_server_set_attribute(dbc->rpc, SERVER_ATTR_USE_FAZE2, 2, "1");
  TRACE(kTraceConnect, "\tserver_set_attribute(USE_FAZE2)=%d\n", sa);
  if (dbc->dead) return SQL_ERROR;

  // Logon to the server's operating system.
  std::string user = list.get("LOGONUSER") ? *list.get("LOGONUSER") : "";
  std::string password = list.get("LOGONAUTH") ? *list.get("LOGONAUTH") : "";
  if (user != "28000") {
    for (int attempt = 0;; ++attempt) {
      int32_t r = remote_authenticate(dbc->rpc, user.c_str(), scrambled(dbc, password).c_str());
      if (r == 0) break;
      if (attempt == 0 && may_prompt && r != -1) {
        TRACE(kTraceConnect, "[1] Prompting for OS auth\n");
        char ubuf[256] = {}, pbuf[256] = {};
        std::snprintf(ubuf, sizeof ubuf, "%s", user.c_str());
        std::snprintf(pbuf, sizeof pbuf, "%s", password.c_str());
        int d = dialog_prompt_logon(0, ubuf, pbuf, 256);
        if (d == 0) return SQL_NO_DATA;
        if (d > 0) {
          user = ubuf;
          password = pbuf;
          list.set("LOGONUSER", user);
          list.set("LOGONAUTH", password);
          continue;
        }
        if (d < -1) {
          post_client(&dbc->diag, dbc, 0, sqlstate::kHY000.state, false, "Error from prompt_logon");
          return SQL_ERROR;
        }
      }
      if (dbc->dead) return SQL_ERROR;
      post_client(&dbc->diag, dbc, r, sqlstate::k28000.state, false, "%s",
                  logon_failure_text(user, password.empty(), r).c_str());
      return SQL_ERROR;
    }
  }

  // Remote environment and connection.
  if (g_connection_pooling != 0) {
    TRACE(kTraceConnect, "\tSetting remote CONNECTION_POOLING to %lu\n",
          static_cast<unsigned long>(g_connection_pooling));
    remote_sql_set_env_attr(dbc->rpc, nullptr, SQL_ATTR_CONNECTION_POOLING, g_connection_pooling);
  }
  void* server_env = nullptr;
  int rc = remote_sql_alloc_handle(dbc->rpc, env->odbc_version, SQL_HANDLE_ENV, nullptr, &server_env);
  if (!rc_ok(rc) || !server_env) {
    post_client(&dbc->diag, dbc, 0, sqlstate::kIM004, true);
    return rc_ok(rc) ? SQL_ERROR : static_cast<SQLRETURN>(rc);
  }
  dbc->server_env = reinterpret_cast<uint64_t>(server_env);
  auto env_attr = [&](int32_t attr, int32_t v) {
    int r = remote_sql_set_env_attr(dbc->rpc, server_env, attr, v);
    if (!rc_ok(r)) retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_ENV, dbc->server_env);
    return r;
  };
  rc = env_attr(SQL_ATTR_ODBC_VERSION, env->odbc_version);
  if (rc_ok(rc)) rc = env_attr(SQL_ATTR_OUTPUT_NTS, env->output_nts);
  if (rc_ok(rc) && (env->set_mask & kEnvSetCpMatch)) rc = env_attr(SQL_ATTR_CP_MATCH, env->cp_match);
  if (!rc_ok(rc)) return remote_failure(dbc, "SQLSetEnvAttr", rc);
  void* server_dbc = nullptr;
  rc = remote_sql_alloc_handle(dbc->rpc, env->odbc_version, SQL_HANDLE_DBC, server_env, &server_dbc);
  if (!rc_ok(rc) || !server_dbc) {
    retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_ENV, dbc->server_env);
    return remote_failure(dbc, "SQLAllocHandle(SQL_HANDLE_DBC)", rc);
  }
  dbc->server_dbc = reinterpret_cast<uint64_t>(server_dbc);
  if (send_cached_connect_attrs(dbc) != 0) {
    if (dbc->dead) return SQL_ERROR;
    *warned = true;  // IM006 stays as a warning; the connect goes on
  }
  return SQL_SUCCESS;
}

namespace {

// Runs once the link is up; any failure returned here takes the link down.
SQLRETURN connect_over_link(client_dbc* dbc, AttrList& list, const ConnectArgs& a, bool* warned) {
  bool may_prompt = a.hwnd && a.completion != SQL_DRIVER_NOPROMPT;
  SQLRETURN rc = open_server_session(dbc, list, may_prompt, warned);
  if (rc != SQL_SUCCESS) return rc;
  void* server_env = reinterpret_cast<void*>(dbc->server_env);
  void* server_dbc = reinterpret_cast<void*>(dbc->server_dbc);

  // Translated (out) string.
  list.rename("TARGETUSER", "UID");
  list.rename("TARGETAUTH", "PWD");
  list.remove("FILEDSN");
  list.remove("SAVEFILE");
  if (list.has("SERVER") && list.has("PORT")) {
    if (!list.has("SERVERPORT")) list.set("SERVERPORT", pair_servers(*list.get("SERVER"), *list.get("PORT")));
    list.remove("PORT");
    list.remove("SERVER");
  }
  uint32_t f = dbc->client_flags;
  if (f & kFlagMetadataBlockFetch) list.remove("METADATABLOCKFETCH");
  if (!(f & kFlagUseVekDbAuth)) list.remove("USEVEKDBAUTH");
  if (!(f & kFlagMetadataIdIdentifiers)) list.remove("METADATA_ID_IDENTIFIERS");
  if (f & kFlagMapExecDirect) list.remove("MAPEXECDIRECT");
  if (!(f & kFlagGetInfoPassthru)) list.remove("GETINFOPASSTHRU");
  if (!(f & kFlagOverrideLength)) list.remove("OVERRIDELENGTH");
  if (dbc->block_fetch_size == 0) list.remove("BLOCKFETCHSIZE");
  if (!(f & kFlagDisguiseWide)) list.remove("DISGUISEWIDE");
  if (dbc->connect_retries == 5) list.remove("CONNECTATTEMPTS");
  std::string translated = list.to_string();
  if (tracing(kTraceConnect))
    log_printf_tid("\tTranslated connection string =\n\t%s\n", trace_safe_connection_string(translated).c_str());

  // Remote connection string: target DSN, user and password only.
  for (const char* k : {"DSN", "SERVER", "PORT", "SERVERPORT", "TRANSPORT", "BLOCKFETCHSIZE", "LOGONUSER", "LOGONAUTH",
                        "METADATABLOCKFETCH", "DISGUISEWIDE", "USEVEKDBAUTH", "GETINFOPASSTHRU", "OVERRIDELENGTH",
                        "MAPEXECDIRECT", "CONNECTATTEMPTS"})
    while (list.remove(k)) {
    }
  list.rename("TARGETDSN", "DSN");
  list.rename("TARGETUSER", "UID");
  list.rename("TARGETAUTH", "PWD");
  keep_only_server_keywords(list);
  bool db_prompted = false;
  for (;;) {
    std::string remote = list.to_string();
    if (tracing(kTraceConnect))
      log_printf_tid("\tUsing remote connection string:\n\t%s\n", trace_safe_connection_string(remote).c_str());
    // "xx" and the scrambled string; the block holds 2n+5 bytes, zeroed.
    std::string block(remote.size() * 2 + 5, '\0');
    block[0] = block[1] = 'x';
    std::string s = scrambled(dbc, remote);
    std::memcpy(block.data() + 2, s.data(), s.size());
    std::vector<char> server_out(a.outmax > 0 ? static_cast<size_t>(a.outmax) + 1 : 1, '\0');
    int32_t out_cap = a.out && a.outmax > 0 ? a.outmax : 0;
    rc = remote_sql_driver_connect(dbc->rpc, server_dbc, static_cast<int32_t>(block.size()), block.data(), &out_cap,
                                   server_out.data(), a.outmax, static_cast<int16_t>(a.completion));
    TRACE(kTraceConnect, "\tRemote SQLDriverConnect returned %d\n", rc);
    if (rc == SQL_SUCCESS || !may_prompt || db_prompted || dbc->dead) break;
    if (server_first_state(dbc, server_dbc) != "28000") break;
    TRACE(kTraceConnect, "Prompting for DB auth\n");
    db_prompted = true;
    char ubuf[256] = {}, pbuf[256] = {};
    std::snprintf(ubuf, sizeof ubuf, "%s", list.get("UID") ? list.get("UID")->c_str() : "");
    std::snprintf(pbuf, sizeof pbuf, "%s", list.get("PWD") ? list.get("PWD")->c_str() : "");
    int d = dialog_prompt_logon(1, ubuf, pbuf, 256);
    if (d == 0) return SQL_NO_DATA;
    if (d < 0) break;
    list.set("UID", ubuf);
    list.set("PWD", pbuf);
    AttrList out_list;
    out_list.parse(translated);
    out_list.set("UID", ubuf);
    out_list.set("PWD", pbuf);
    translated = out_list.to_string();
    if (rc_ok(rc)) break;
  }
  if (!rc_ok(rc)) {
    if (!dbc->dead) {
      report_target_not_found(dbc, server_dbc, list);
      retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
      remote_sql_free_handle(dbc->rpc, SQL_HANDLE_DBC, server_dbc);
      remote_sql_free_handle(dbc->rpc, SQL_HANDLE_ENV, server_env);
    }
    dbc->server_dbc = dbc->server_env = 0;
    return remote_failure(dbc, "SQLDriverConnect", rc);
  }
  if (rc == SQL_SUCCESS_WITH_INFO) {
    retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
    *warned = true;
  }

  // Out string: the logon password never in clear.
  const std::string out_text = without_clear_logon_auth(a.completion == SQL_DRIVER_NOPROMPT ? a.in : translated);
  if (write_out_string(dbc, out_text, a.out, a.outmax, a.outlen)) *warned = true;
  if (tracing(kTraceConnect))
    log_printf_tid("\tOut Connect String: \\%s\\\n", trace_safe_connection_string(out_text).c_str());
  char size_text[16];
  std::snprintf(size_text, sizeof size_text, "%d", dbc->default_param_size);
  if (!rc_ok(remote_set_config_param(dbc->rpc, server_dbc, 4, dbc->default_param_size,
                                     static_cast<int32_t>(std::strlen(size_text) + 1), size_text)))
    TRACE(kTraceServerFail, "\tset_config_param(DEFAULTPARAMSIZE) failed\n");
  return SQL_SUCCESS;
}

SQLRETURN driver_connect(client_dbc* dbc, const ConnectArgs& a) {
  {
    bool ok_env = vekc_chk_handle(kEnv, dbc->env) == 0;
    clear_errors(&dbc->diag);
    dbc->dead = 0;
    dbc->server_flags = 0;  // learned anew from each server
    if (!ok_env) {
      post_client(&dbc->diag, dbc, 2, sqlstate::kHY000.state, false,
                  "General error: Internal client error (SQLDriverConnect - back env ptr %p)",
                  static_cast<void*>(dbc->env));
      return SQL_INVALID_HANDLE;
    }
  }
  if (is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08002);
  if (a.outmax < 0) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
  if (a.completion == SQL_DRIVER_PROMPT && !a.hwnd)
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY092.state, "Option type out of range");
  if (a.completion > SQL_DRIVER_COMPLETE_REQUIRED) {
    post_client(&dbc->diag, dbc, 0, sqlstate::kHY105.state, true, "Invalid driver completion");
    return SQL_ERROR;
  }
  bool warned = false;
  if (g_connection_pooling != 0 && a.completion != SQL_DRIVER_NOPROMPT) {
    post_client(&dbc->diag, dbc, 0, sqlstate::kHY105.state, true, "Invalid driver completion");
    warned = true;
  }
  TRACE(kTraceConnect, "\tParsing connection string\n");
  AttrList list;
  list.parse(a.in);
  reveal_disguised_logon_auth(list);
  uint32_t mask = attribute_presence_mask(list);
  if (const std::string* dsn = list.get("DSN"))
    std::snprintf(dbc->dsn_name, sizeof dbc->dsn_name, "%s", dsn->c_str());
  else
    dbc->dsn_name[0] = '\0';
  if (a.completion == SQL_DRIVER_NOPROMPT && !(mask & (kKeyDsn | kKeyDriver))) {
    post_client(&dbc->diag, dbc, 0, sqlstate::kIM007, true);
    return SQL_ERROR;
  }
  if ((mask & (kKeyDriver | kKeyFileDsn | kKeySaveFile)) == kKeySaveFile) {
    post_client(&dbc->diag, dbc, 0, sqlstate::k01S09, false);
    warned = true;
  }
  retrieve_vek_flags(dbc);
  get_attrs_from_constr(dbc, &mask, list);
  uint32_t extra = 0;
  if (dbc->client_flags & kFlagUseVekDbAuth) {
    TRACE(kTraceConnect, "\tIgnoring UID/PWD and using VEK's TARGET values instead\n");
    list.remove("UID");
    list.remove("PWD");
    mask &= ~(kKeyTargetUser | kKeyTargetAuth);
    extra = kKeyTargetUser | kKeyTargetAuth;
  }
  if (list.rename_unless_present("UID", "TARGETUSER")) mask |= kKeyTargetUser;
  if (list.rename_unless_present("PWD", "TARGETAUTH")) mask |= kKeyTargetAuth;

  bool forced = a.completion == SQL_DRIVER_PROMPT;
  if (!sufficient(mask, extra) || forced) {
    bool has_dsn = mask & kKeyDsn, has_driver = mask & kKeyDriver;
    if (has_dsn) {
      get_connect_attrs_from_dsn(dbc, &mask, list);
      if (dbc->client_flags & kFlagUseVekDbAuth) extra = 0x300;
    }
    if (has_dsn || has_driver) {
      while (!sufficient(mask, extra) || forced) {
        if (a.completion == SQL_DRIVER_NOPROMPT) {
          // What is missing comes first: the data source itself was named.
          report_missing(dbc, mask);
          post_client(&dbc->diag, dbc, 0, sqlstate::kIM007, true);
          return SQL_ERROR;
        }
        int d = a.hwnd ? dialog_complete_info(a.hwnd, list, &mask) : -1;
        if (d == -1 || !a.hwnd) {
          // No window, or the setup library cannot be loaded: no dialog.
          post_client(&dbc->diag, dbc, 0, sqlstate::kIM008, true);
          report_missing(dbc, mask);
          return SQL_ERROR;
        }
        if (d < 0) {
          post_client(&dbc->diag, dbc, 0, sqlstate::kIM008, true);
          return SQL_ERROR;
        }
        if (d == 0) return SQL_NO_DATA;
        forced = false;
      }
    }
  }

  dbc->target_dbms_known = false;
  // Without BLOCKFETCHSIZE (connection string or data source) the driver
  // reads ahead on its own where the application cannot tell.
  if (mask & kKeyBlockFetchSize)
    dbc->client_flags &= ~static_cast<uint32_t>(kFlagBlockFetchDefault);
  else
    dbc->client_flags |= kFlagBlockFetchDefault;

  if (rpc_connect(dbc, list) != 0) return SQL_ERROR;
  SQLRETURN rc = connect_over_link(dbc, list, a, &warned);
  end_connect_bound(dbc);
  if (rc != SQL_SUCCESS) {
    // Every failure, a cancelled dialog included, leaves the record unconnected.
    dbc->server_dbc = dbc->server_env = 0;
    take_link_down(dbc);
    return rc;
  }
  return warned ? set_return_code(&dbc->diag, SQL_SUCCESS_WITH_INFO) : SQL_SUCCESS;
}

}  // namespace

}  // namespace kyvek::driver

using namespace kyvek::driver;

namespace kyvek::driver::api {

SQLRETURN driver_connect(SQLHDBC handle, SQLHWND hwnd, SQLCHAR* in, SQLSMALLINT inlen, SQLCHAR* out, SQLSMALLINT outmax,
                         SQLSMALLINT* outlen, SQLUSMALLINT completion) {
  start_trace_log();
  if (tracing(kTraceEntry)) {
    std::string shown =
        in ? trace_safe_connection_string(inlen == SQL_NTS
                                              ? std::string_view(reinterpret_cast<char*>(in))
                                              : std::string_view(reinterpret_cast<char*>(in), inlen > 0 ? inlen : 0))
           : "NULL";
    log_printf_tid("SQLDriverConnect(%p,%p,%s,%d,%p,%d,%p,%u)\n", handle, static_cast<void*>(hwnd), shown.c_str(),
                   inlen, static_cast<void*>(out), outmax, static_cast<void*>(outlen), completion);
  }
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  if (inlen < 0 && inlen != SQL_NTS) {
    clear_errors(&dbc->diag);
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
  }
  ConnectArgs a{hwnd, "", out, outmax, outlen, completion};
  if (in)
    a.in = inlen == SQL_NTS ? std::string(reinterpret_cast<char*>(in))
                            : std::string(reinterpret_cast<char*>(in), static_cast<size_t>(inlen));
  SQLRETURN rc = kyvek::driver::driver_connect(dbc, a);
  return rc;
}

SQLRETURN connect(SQLHDBC handle, SQLCHAR* server, SQLSMALLINT server_len, SQLCHAR* user, SQLSMALLINT user_len,
                  SQLCHAR* password, SQLSMALLINT password_len) {
  TRACE(kTraceEntry, "SQLConnect(%p,%s,%d,%s,%d,%s,%d)\n", handle, server ? "<dsn>" : "NULL", server_len,
        user ? "<user>" : "NULL", user_len, password ? "*****" : "NULL", password_len);
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  auto bad_len = [](SQLSMALLINT n) { return n < 0 && n != SQL_NTS; };
  if (bad_len(server_len) || bad_len(user_len) || bad_len(password_len))
    return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::kHY090);
  if (!server) {
    post_client(&dbc->diag, dbc, 0, sqlstate::kIM002, true);
    return SQL_ERROR;
  }
  auto text = [](SQLCHAR* p, SQLSMALLINT n) {
    if (!p) return std::string();
    return n == SQL_NTS ? std::string(reinterpret_cast<char*>(p))
                        : std::string(reinterpret_cast<char*>(p), static_cast<size_t>(n));
  };
  std::string dsn = text(server, server_len), u = text(user, user_len), p = text(password, password_len);
  std::string connection;
  append_connection_item(connection, "DSN", dsn);
  if (!u.empty() && !p.empty()) {
    append_connection_item(connection, "UID", u);
    append_connection_item(connection, "PWD", p);
  }
  // No out string is wanted, so none can be cut.
  return driver_connect(handle, nullptr, reinterpret_cast<SQLCHAR*>(connection.data()), SQL_NTS, nullptr, 0, nullptr,
                        SQL_DRIVER_NOPROMPT);
}

SQLRETURN disconnect(SQLHDBC handle) {
  TRACE(kTraceEntry, "SQLDisconnect(%p)\n", handle);
  if (vekc_chk_handle(kDbc, handle)) return SQL_INVALID_HANDLE;
  auto* dbc = static_cast<client_dbc*>(handle);
  clear_errors(&dbc->diag);
  if (dbc->browse_state != 0) {
    // A browse connect in progress is abandoned; a link it opened is closed.
    end_browse(dbc);
    return SQL_SUCCESS;
  }
  if (!is_connected(dbc)) return post_rc(&dbc->diag, dbc, SQL_ERROR, 0, sqlstate::k08003);
  if (dbc->dead) {
    TRACE(kTraceDetail, "\tConnection dead\n");
  } else {
    int rc = remote_sql_disconnect(dbc->rpc, reinterpret_cast<void*>(dbc->server_dbc));
    if (!rc_ok(rc) && !dbc->dead) {
      retrieve_server_diags(dbc, kDbc, dbc, SQL_HANDLE_DBC, dbc->server_dbc);
      return set_return_code(&dbc->diag, static_cast<SQLRETURN>(rc));
    }
  }
  bool warned = false;
  {
    std::lock_guard<std::recursive_mutex> g(dbc->lock);
    for (client_stmt* s = dbc->statements; s; s = s->next) s->driver_stmt = nullptr;
    for (client_desc* d = dbc->descriptors; d; d = d->next) d->server_desc = 0;
    dbc->info_count = 0;
  }
  SQLRETURN rc = disconnect_dbc(dbc);
  if (rc != SQL_SUCCESS) warned = true;
  // The server's records go even when it refuses to free them: the link is
  // about to close, which releases everything the connection held there.
  struct Remote {
    int16_t type;
    uint64_t* handle;
    const char* trace;
  } remotes[] = {{SQL_HANDLE_DBC, &dbc->server_dbc, "\tFreeing remote dbc %p\n"},
                 {SQL_HANDLE_ENV, &dbc->server_env, "\tFreeing remote env %p\n"}};
  for (const Remote& r : remotes) {
    if (!*r.handle) continue;
    if (!dbc->dead) {
      TRACE(kTraceDetail, r.trace, reinterpret_cast<void*>(*r.handle));
      int frc = remote_sql_free_handle(dbc->rpc, r.type, reinterpret_cast<void*>(*r.handle));
      if (!rc_ok(frc)) {
        if (!dbc->dead) retrieve_server_diags(dbc, kDbc, dbc, r.type, *r.handle);
        warned = true;
      }
    }
    *r.handle = 0;
  }
  take_link_down(dbc);
  dbc->dsn_name[0] = '\0';
  rc = warned ? set_return_code(&dbc->diag, SQL_SUCCESS_WITH_INFO) : SQL_SUCCESS;
  return rc;
}

}  // namespace kyvek::driver::api
