// The check of a client's connection string. See connect_policy.h.
#include "connect_policy.h"

#include <sql.h>
#include <sqlext.h>
#include <strings.h>

#include <cctype>
#include <new>
#include <string_view>
#include <vector>

#include "connect_keywords.h"
#include "net_connection.h"

namespace kyvek::server {

namespace {

bool one_of(const std::string& key, const char* const* names, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (strcasecmp(key.c_str(), names[i]) == 0) return true;
  return false;
}

template <size_t N>
bool one_of(const std::string& key, const char* const (&names)[N]) {
  return one_of(key, names, N);
}

bool listed(const std::string& key, const std::vector<std::string>& names) {
  for (const std::string& n : names)
    if (strcasecmp(key.c_str(), n.c_str()) == 0) return true;
  return false;
}

// A value that holds ';' with '=' after it would read as a further keyword to
// a driver that does not know the brace rule.
bool hides_a_keyword(const std::string& value) {
  const size_t semi = value.find(';');
  return semi != std::string::npos && value.find('=', semi) != std::string::npos;
}

// Keywords are named upper-case in refusals, warnings and audit lines.
std::string upper(std::string key) {
  for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key;
}

bool refuse(ClientConnectString* out, const std::string& keyword, const char* reason) {
  out->keyword = upper(keyword);
  out->reason = reason;
  return false;
}

std::string trimmed(const std::string& key) {
  size_t a = 0, b = key.size();
  while (a < b && std::isspace(static_cast<unsigned char>(key[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(key[b - 1]))) --b;
  return key.substr(a, b - a);
}

// One KEY=value item of a connection string: the key as written, the value
// (braces taken off, "}}" read as '}'), and the item's text as written.
struct Item {
  std::string key, value, raw;
};

// The items of text, read as the support library's parser reads them: a
// braced value runs to its closing brace (text after it up to the next ';'
// is dropped), an open brace takes the rest, and text without '=' ends the
// string.
std::vector<Item> items_of(std::string_view s) {
  std::vector<Item> items;
  size_t pos = 0;
  while (pos < s.size()) {
    const size_t eq = s.find('=', pos);
    if (eq == std::string_view::npos) break;
    Item item;
    item.key.assign(s.substr(pos, eq - pos));
    size_t i = eq + 1;
    if (i < s.size() && s[i] == '{') {
      ++i;
      bool closed = false;
      while (i < s.size()) {
        if (s[i] == '}') {
          if (i + 1 < s.size() && s[i + 1] == '}') {
            item.value += '}';
            i += 2;
            continue;
          }
          closed = true;
          ++i;
          break;
        }
        item.value += s[i++];
      }
      item.raw.assign(s.substr(pos, i - pos));
      if (!closed) {
        pos = s.size();
      } else {
        const size_t semi = s.find(';', i);
        pos = semi == std::string_view::npos ? s.size() : semi + 1;
      }
    } else {
      const size_t semi = s.find(';', i);
      const size_t stop = semi == std::string_view::npos ? s.size() : semi;
      item.value.assign(s.substr(i, stop - i));
      item.raw.assign(s.substr(pos, stop - pos));
      pos = semi == std::string_view::npos ? s.size() : semi + 1;
    }
    items.push_back(std::move(item));
  }
  return items;
}

}  // namespace

std::vector<std::string> target_keyword_names(const std::string& setting) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos <= setting.size()) {
    size_t comma = setting.find(',', pos);
    if (comma == std::string::npos) comma = setting.size();
    size_t a = pos, b = comma;
    while (a < b && std::isspace(static_cast<unsigned char>(setting[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(setting[b - 1]))) --b;
    if (b > a) names.emplace_back(setting.substr(a, b - a));
    pos = comma + 1;
  }
  return names;
}

std::vector<std::string> never_passed_target_keywords(const std::string& setting) {
  std::vector<std::string> refused;
  for (const std::string& name : target_keyword_names(setting))
    if (one_of(name, kNeverPassedConnectKeywords)) refused.push_back(name);
  return refused;
}

bool check_client_connect_string(const std::string& text, const std::string& target_keywords,
                                 ClientConnectString* out) {
  const std::vector<std::string> allowed = target_keyword_names(target_keywords);
  std::vector<Item> items;
  try {
    items = items_of(text);
  } catch (const std::bad_alloc&) {
    out->no_memory = true;
    return false;
  }
  std::vector<std::string> seen;
  const Item* dsn = nullptr;
  for (const Item& item : items) {
    const std::string& key = item.key;
    // Blanks around a name do not hide it.
    if (one_of(trimmed(key), kNeverPassedConnectKeywords))
      return refuse(out, key, "a client may not name files, libraries or Driver Manager settings on the server");
    if (listed(key, seen)) return refuse(out, key, "the keyword is given twice");
    seen.push_back(key);
    if (hides_a_keyword(item.value)) return refuse(out, key, "its value holds ';' followed by '='");
    if (strcasecmp(key.c_str(), "DSN") == 0) dsn = &item;
  }
  if (dsn == nullptr) return refuse(out, "DSN", "a connection string must name a data source of the server");
  out->dsn = dsn->value;
  if (out->dsn.empty() || out->dsn.size() >= NET_DSN_SIZE)
    return refuse(out, "DSN", "the data source name is empty or too long");
  out->passed_on.clear();
  out->left_out.clear();
  for (const Item& item : items) {
    if (!one_of(item.key, kForwardedConnectKeywords) && !listed(item.key, allowed)) {
      out->left_out.push_back(upper(item.key));
      continue;
    }
    out->passed_on += item.raw;
    out->passed_on += ';';
  }
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
