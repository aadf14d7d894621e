// Connection strings: parsing into an ordered attribute list, editing it, and
// writing it back. Values follow ODBC's brace rule in both directions, so a
// value holding ';' (a password, say) can never split into extra keys.
// A con_str is not locked: its owner serialises use.
#include <cstring>
#include <string>
#include <string_view>

#include "ky_constr.h"
#include "ky_string.h"

namespace {

constexpr int kOk = 0;
constexpr int kRefused = 1;
constexpr int kNoData = 100;
constexpr int kError = -1;

bool key_is(const char* key, const char* name) { return string_compare(key, name) == 0; }

bool starts_with_ci(std::string_view key, std::string_view prefix) {
  if (key.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char a = key[i];
    if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 'a' + 'A');
    if (a != prefix[i]) return false;
  }
  return true;
}

// Keys whose values are always written in braces (prefix given upper-case).
bool always_braced(const char* key) {
  return key_is(key, "DRIVER") || starts_with_ci(key, "SQITARGET") || starts_with_ci(key, "REMOTESTRING");
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool needs_braces(std::string_view v) {
  if (v.find_first_of(";{}") != std::string_view::npos) return true;
  return !v.empty() && (is_blank(v.front()) || is_blank(v.back()));
}

void append_braced(std::string& out, std::string_view v) {
  out += '{';
  for (char c : v) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
}

std::string entry_of(const pair* p, bool force_braces) {
  const char* value = p->value ? p->value : "";
  std::string e = p->key ? p->key : "";
  e += '=';
  if (force_braces || needs_braces(value)) {
    append_braced(e, value);
  } else {
    e += value;
  }
  e += ';';
  return e;
}

bool has_pairs(const con_str* cs) { return cs && cs->count > 0 && cs->list; }

pair* pair_of(ListNode* n) { return static_cast<pair*>(ListData(n)); }

ListNode* find_first(con_str* cs, const char* key) {
  if (!has_pairs(cs) || !key) return nullptr;
  for (ListNode* n = ListFirst(cs->list); n; n = ListNext(n)) {
    if (key_is(pair_of(n)->key, key)) return n;
  }
  return nullptr;
}

ListNode* find_last(con_str* cs, const char* key) {
  if (!has_pairs(cs) || !key) return nullptr;
  for (ListNode* n = ListLast(cs->list); n; n = ListPrior(n)) {
    if (key_is(pair_of(n)->key, key)) return n;
  }
  return nullptr;
}

// Replaces one text of a pair. The new copy is made first, so a failure
// leaves the pair as it was.
int replace_text(char*& slot, const char* text, mem_handle* pool) {
  char* copy = string_duplicate(text, pool);
  if (!copy) return kError;
  if (slot) ky_mem_free(pool, slot);
  slot = copy;
  return kOk;
}

char* upper_copy(const char* key, mem_handle* pool) {
  char* k = string_duplicate(key, pool);
  if (k) {
    for (char* c = k; *c; ++c) {
      if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    }
  }
  return k;
}

struct Item {
  std::string key;
  std::string value;
};

// Reads one KEY=value item at `pos`; false when no '=' follows.
bool next_item(std::string_view s, size_t& pos, Item& item) {
  const size_t eq = s.find('=', pos);
  if (eq == std::string_view::npos) return false;
  item.key.assign(s.substr(pos, eq - pos));
  item.value.clear();
  pos = eq + 1;
  if (pos < s.size() && s[pos] == '{') {
    size_t i = pos + 1;
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
    if (!closed) {
      pos = s.size();  // an open brace takes the rest of the text
      return true;
    }
    // Anything between the closing brace and the next ';' is dropped.
    const size_t semi = s.find(';', i);
    pos = semi == std::string_view::npos ? s.size() : semi + 1;
    return true;
  }
  const size_t semi = s.find(';', pos);
  item.value.assign(s.substr(pos, semi == std::string_view::npos ? std::string_view::npos : semi - pos));
  pos = semi == std::string_view::npos ? s.size() : semi + 1;
  return true;
}

enum class Form { kConnect, kNoDm };

char* generate(con_str* cs, char* out, int32_t capacity, Form form) {
  if (!out) return nullptr;
  if (capacity <= 0) return out;
  out[0] = '\0';
  if (!has_pairs(cs)) return out;
  const bool dsn_present = get_attribute_value(cs, "DSN") != nullptr;
  const auto cap = static_cast<size_t>(capacity);
  size_t used = 0;
  for (ListNode* n = ListFirst(cs->list); n; n = ListNext(n)) {
    const pair* p = pair_of(n);
    bool force = false;
    if (form == Form::kConnect) {
      if (dsn_present && key_is(p->key, "DRIVER")) continue;
      if (key_is(p->key, "DESCRIPTION")) continue;
      force = p->key && always_braced(p->key);
    } else if (key_is(p->key, "ODBCDM")) {
      continue;
    }
    const std::string e = entry_of(p, force);
    if (used + e.size() + 1 > cap) break;  // the first entry that does not fit ends the text
    std::memcpy(out + used, e.data(), e.size());
    used += e.size();
    out[used] = '\0';
  }
  return out;
}

int append_new_pair(con_str* cs, const char* key, const char* value, mem_handle* pool) {
  auto* p = static_cast<pair*>(ky_mem_alloc(pool, sizeof(pair)));
  char* k = upper_copy(key, pool);
  char* v = string_duplicate(value, pool);
  List* list = (p && k && v) ? ListAppend(p, cs->count > 0 ? cs->list : nullptr, pool) : nullptr;
  if (!list) {
    ky_mem_free(pool, v);
    ky_mem_free(pool, k);
    ky_mem_free(pool, p);
    return kError;
  }
  p->key = k;
  p->value = v;
  cs->list = list;
  cs->count++;
  return kOk;
}

}  // namespace

extern "C" {

KY_API void init_con_str(con_str* cs) {
  if (!cs) return;
  cs->count = 0;
  cs->list = nullptr;
}

KY_API int parse_connection_string(con_str* cs, mem_handle* pool, const char* text, int32_t length, int32_t flags) {
  if (!cs) return kError;
  // A second parse into the same list starts afresh; the old texts stay in
  // the pool until it is released, since callers may still hold them.
  init_con_str(cs);
  if (!pool) return kError;
  if (!text) text = "";
  std::string_view s;
  if (length == KY_CONSTR_NTS) {
    s = text;
  } else if (length < 0) {
    return kError;
  } else {
    s = std::string_view(text, strnlen(text, static_cast<size_t>(length)));
  }
  if (s.empty() || s == ";") return kOk;

  bool has_source = false;
  size_t pos = 0;
  Item item;
  while (pos < s.size() && next_item(s, pos, item)) {
    const bool repeat = (flags & KY_CONSTR_KEEP_REPEATS) && find_first(cs, item.key.c_str());
    const int rc = repeat ? append_new_pair(cs, item.key.c_str(), item.value.c_str(), pool)
                          : append_pair(cs, item.key.c_str(), item.value.c_str(), pool);
    if (rc != kOk) return kError;
    const char* k = item.key.c_str();
    if (key_is(k, "DSN") || key_is(k, "DRIVER") || key_is(k, "FILEDSN")) has_source = true;
  }
  if (!has_source && !(flags & KY_CONSTR_NO_DEFAULT_DSN)) {
    if (append_pair(cs, "DSN", "DEFAULT", pool) != kOk) return kError;
  }
  return kOk;
}

KY_API int append_pair(con_str* cs, const char* key, const char* value, mem_handle* pool) {
  if (!cs || !pool) return kError;
  if (!key || !value) return kRefused;
  if (ListNode* n = find_first(cs, key)) return replace_text(pair_of(n)->value, value, pool);
  return append_new_pair(cs, key, value, pool);
}

KY_API const char* get_attribute_value(con_str* cs, const char* key) {
  ListNode* n = find_first(cs, key);
  if (!n) return nullptr;
  const pair* p = pair_of(n);
  return p->value ? p->value : "";
}

KY_API char* generate_connection_string(con_str* cs, char* out, int32_t capacity) {
  return generate(cs, out, capacity, Form::kConnect);
}

KY_API char* generate_connection_string_ex(con_str* cs, char* out, int32_t capacity) {
  return generate(cs, out, capacity, Form::kNoDm);
}

KY_API char* generate_connection_string_config(con_str* cs, char* out, int32_t capacity) {
  if (!out || capacity < 2) return nullptr;
  const auto cap = static_cast<size_t>(capacity);
  size_t used = 0;
  if (has_pairs(cs)) {
    for (ListNode* n = ListFirst(cs->list); n; n = ListNext(n)) {
      const pair* p = pair_of(n);
      std::string e = p->key ? p->key : "";
      e += '=';
      e += p->value ? p->value : "";
      if (used + e.size() + 2 > cap) break;  // entry, its NUL and the final NUL
      std::memcpy(out + used, e.c_str(), e.size() + 1);
      used += e.size() + 1;
    }
  } else {
    out[used++] = '\0';
  }
  out[used] = '\0';
  return out;
}

KY_API int merge_connection_string(con_str* target, con_str* source, mem_handle* pool) {
  if (!target || !pool) return kError;
  if (!has_pairs(source)) return kOk;
  for (ListNode* s = ListFirst(source->list); s; s = ListNext(s)) {
    const pair* sp = pair_of(s);
    if (!sp->key) continue;
    const char* value = sp->value ? sp->value : "";
    if (!find_first(target, sp->key)) {
      if (append_pair(target, sp->key, value, pool) != kOk) return kError;
      continue;
    }
    for (ListNode* t = ListFirst(target->list); t; t = ListNext(t)) {
      if (key_is(pair_of(t)->key, sp->key) && replace_text(pair_of(t)->value, value, pool) != kOk) {
        return kError;
      }
    }
  }
  return kOk;
}

KY_API int modify_connection_string(con_str* cs, const char* key, const char* value, mem_handle* pool) {
  if (!cs || !pool) return kError;
  if (!key || !value) return kRefused;
  ListNode* n = find_first(cs, key);
  return n ? replace_text(pair_of(n)->value, value, pool) : kNoData;
}

KY_API int change_connection_string(con_str* cs, const char* key, const char* new_key, mem_handle* pool) {
  if (!cs || !pool) return kError;
  if (!key || !new_key) return kRefused;
  ListNode* n = find_first(cs, key);
  return n ? replace_text(pair_of(n)->key, new_key, pool) : kNoData;
}

KY_API int replace_connection_string(con_str* cs, const char* old_key, const char* new_key, mem_handle* pool) {
  if (!cs || !pool) return kError;
  if (!old_key || !*old_key || !new_key || !*new_key || !has_pairs(cs)) return kNoData;
  if (find_first(cs, new_key)) return kNoData;
  ListNode* n = find_last(cs, old_key);
  return n ? replace_text(pair_of(n)->key, new_key, pool) : kNoData;
}

KY_API int delete_connection_string(con_str* cs, const char* key, mem_handle* pool) {
  if (!cs || !pool) return kError;
  if (!key || !*key) return kNoData;
  ListNode* n = find_first(cs, key);
  if (!n) return kNoData;
  pair* p = pair_of(n);
  ky_mem_free(pool, p->key);
  ky_mem_free(pool, p->value);
  ky_mem_free(pool, p);
  ListDelete(cs->list, n, pool);
  cs->count--;
  return kOk;
}

}  // extern "C"
