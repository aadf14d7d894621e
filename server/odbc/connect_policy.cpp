// The check of a client's connection string. See connect_policy.h.
#include "connect_policy.h"

#include <sql.h>
#include <sqlext.h>
#include <strings.h>

#include <vector>

#include "connect_keywords.h"
#include "ky_constr.h"
#include "ky_mem.h"
#include "net_connection.h"

namespace kyvek::server {

namespace {

// Keywords that name a file, a library or a setting of the Driver Manager.
constexpr const char* kFileOrLibrary[] = {"DRIVER",     "FILEDSN",    "SAVEFILE",  "TRACE",   "TRACEFILE",
                                          "DMCONNATTR", "DMSTMTATTR", "DMENVATTR", "LOADEXT", "ODBCDM"};

bool one_of(const char* key, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (strcasecmp(key, names[i]) == 0) return true;
  return false;
}

template <size_t N>
bool one_of(const char* key, const char* const (&names)[N]) {
  return one_of(key, names, N);
}

// A value that holds ';' with '=' after it would read as a further keyword to
// a driver that does not know the brace rule.
bool hides_a_keyword(const std::string& value) {
  const size_t semi = value.find(';');
  return semi != std::string::npos && value.find('=', semi) != std::string::npos;
}

bool refuse(ClientConnectString* out, const std::string& keyword, const char* reason) {
  out->keyword = keyword;
  out->reason = reason;
  return false;
}

struct Pool {
  mem_handle* handle = ky_mem_alloc_handle(nullptr);
  ~Pool() {
    if (handle != nullptr) ky_mem_release_handle(handle);
  }
};

}  // namespace

bool check_client_connect_string(const std::string& text, ClientConnectString* out) {
  Pool pool;
  con_str cs;
  init_con_str(&cs);
  if (pool.handle == nullptr ||
      parse_connection_string(&cs, pool.handle, text.c_str(), static_cast<int32_t>(text.size()),
                              KY_CONSTR_NO_DEFAULT_DSN | KY_CONSTR_KEEP_REPEATS) != 0) {
    out->no_memory = true;
    return false;
  }
  std::vector<std::string> seen;
  for (ListNode* n = cs.count > 0 ? ListFirst(cs.list) : nullptr; n != nullptr; n = ListNext(n)) {
    const auto* p = static_cast<const pair*>(ListData(n));
    const std::string key = p->key != nullptr ? p->key : "";
    const std::string value = p->value != nullptr ? p->value : "";
    if (one_of(key.c_str(), kFileOrLibrary))
      return refuse(out, key, "a client may not name files, libraries or Driver Manager settings on the server");
    if (!one_of(key.c_str(), kForwardedConnectKeywords))
      return refuse(out, key, "only DSN, UID, PWD and the client driver's own options are accepted");
    for (const std::string& earlier : seen)
      if (strcasecmp(earlier.c_str(), key.c_str()) == 0) return refuse(out, key, "the keyword is given twice");
    seen.push_back(key);
    if (hides_a_keyword(value)) return refuse(out, key, "its value holds ';' followed by '='");
  }
  const char* dsn = get_attribute_value(&cs, "DSN");
  if (dsn == nullptr) return refuse(out, "DSN", "a connection string must name a data source of the server");
  out->dsn = dsn;
  if (out->dsn.empty() || out->dsn.size() >= NET_DSN_SIZE)
    return refuse(out, "DSN", "the data source name is empty or too long");
  std::vector<char> buffer(text.size() * 2 + 16, '\0');
  generate_connection_string_ex(&cs, buffer.data(), static_cast<int32_t>(buffer.size()));
  out->passed_on = buffer.data();
  return true;
}

bool defined_data_source(const std::string& name) {
  SQLHENV env = SQL_NULL_HENV;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) return false;
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  bool found = false;
  SQLCHAR dsn[SQL_MAX_DSN_LENGTH * 4 + 1];
  SQLCHAR description[2];
  SQLSMALLINT dsn_len = 0, description_len = 0;
  for (SQLUSMALLINT direction = SQL_FETCH_FIRST;
       !found && SQL_SUCCEEDED(SQLDataSources(env, direction, dsn, sizeof dsn, &dsn_len, description,
                                              sizeof description, &description_len));
       direction = SQL_FETCH_NEXT) {
    found = strcasecmp(reinterpret_cast<char*>(dsn), name.c_str()) == 0;
  }
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return found;
}

}  // namespace kyvek::server
