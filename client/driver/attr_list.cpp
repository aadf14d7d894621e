#include "attr_list.h"

#include <algorithm>
#include <cctype>

namespace kyvek::driver {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

namespace {

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string upper(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

bool needs_braces(std::string_view v) {
  if (v.empty()) return false;
  if (v.find_first_of(";{}") != std::string_view::npos) return true;
  return std::isspace(static_cast<unsigned char>(v.front())) || std::isspace(static_cast<unsigned char>(v.back()));
}

}  // namespace

void append_connection_item(std::string& out, std::string_view key, std::string_view value, bool force_braces) {
  out.append(key);
  out.push_back('=');
  if (force_braces || needs_braces(value)) {
    out.push_back('{');
    for (char c : value) {
      out.push_back(c);
      if (c == '}') out.push_back('}');
    }
    out.push_back('}');
  } else {
    out.append(value);
  }
  out.push_back(';');
}

void AttrList::parse(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    size_t key_end = i;
    while (key_end < text.size() && text[key_end] != '=' && text[key_end] != ';') ++key_end;
    std::string key = upper(trim(text.substr(i, key_end - i)));
    std::string value;
    bool in_braces = false;
    i = key_end;
    if (i < text.size() && text[i] == '=') {
      ++i;
      size_t start = i;
      while (start < text.size() && text[start] == ' ') ++start;
      if (start < text.size() && text[start] == '{') {
        // Braced value: up to the closing brace, "}}" standing for '}'.
        size_t j = start + 1;
        bool closed = false;
        while (j < text.size()) {
          if (text[j] == '}') {
            if (j + 1 < text.size() && text[j + 1] == '}') {
              value.push_back('}');
              j += 2;
              continue;
            }
            closed = true;
            ++j;
            break;
          }
          value.push_back(text[j++]);
        }
        if (!closed) {
          // Unterminated braces: take the rest literally.
          value = std::string(text.substr(start));
        }
        in_braces = closed;
        i = j;
        while (i < text.size() && text[i] != ';') ++i;
      } else {
        size_t end = text.find(';', i);
        if (end == std::string_view::npos) end = text.size();
        value = std::string(trim(text.substr(i, end - i)));
        i = end;
      }
    }
    if (i < text.size() && text[i] == ';') ++i;
    if (!key.empty()) {
      set(key, value);
      if (in_braces) mark_braced(key);
    }
  }
}

const std::string* AttrList::get(std::string_view key) const {
  for (const auto& p : pairs_)
    if (iequals(p.first, key)) return &p.second;
  return nullptr;
}

bool AttrList::has_value(std::string_view key) const {
  const std::string* v = get(key);
  return v && !v->empty();
}

void AttrList::set(std::string_view key, std::string_view value) {
  for (auto it = braced_.begin(); it != braced_.end(); ++it)
    if (iequals(*it, key)) {
      braced_.erase(it);
      break;
    }
  for (auto& p : pairs_)
    if (iequals(p.first, key)) {
      p.second.assign(value);
      return;
    }
  pairs_.emplace_back(upper(key), std::string(value));
}

bool AttrList::braced(std::string_view key) const {
  for (const std::string& k : braced_)
    if (iequals(k, key)) return true;
  return false;
}

void AttrList::mark_braced(std::string_view key) {
  if (!braced(key)) braced_.push_back(upper(key));
}

bool AttrList::remove(std::string_view key) {
  for (auto it = pairs_.begin(); it != pairs_.end(); ++it)
    if (iequals(it->first, key)) {
      pairs_.erase(it);
      return true;
    }
  return false;
}

bool AttrList::rename(std::string_view key, std::string_view new_key) {
  for (auto& p : pairs_)
    if (iequals(p.first, key)) {
      p.first = upper(new_key);
      return true;
    }
  return false;
}

bool AttrList::rename_unless_present(std::string_view key, std::string_view new_key) {
  if (has(new_key)) return false;
  for (auto it = pairs_.rbegin(); it != pairs_.rend(); ++it)
    if (iequals(it->first, key)) {
      it->first = upper(new_key);
      return true;
    }
  return false;
}

std::string AttrList::to_string() const {
  std::string out;
  bool has_dsn = has("DSN");
  for (const auto& p : pairs_) {
    if (iequals(p.first, "DESCRIPTION")) continue;
    bool driver = iequals(p.first, "DRIVER");
    if (driver && has_dsn) continue;
    append_connection_item(out, p.first, p.second, driver || braced(p.first));
  }
  return out;
}

}  // namespace kyvek::driver
