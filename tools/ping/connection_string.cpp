// Connection strings of vekping's ODBC mode. See connection_string.h.
#include "connection_string.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vekping {

namespace {

constexpr std::string_view kMask = "********";
constexpr std::array<std::string_view, 3> kPasswordKeys = {"PWD", "LOGONAUTH", "TARGETAUTH"};

bool needs_braces(std::string_view v) {
  if (v.find_first_of(";{}") != std::string_view::npos) return true;
  return !v.empty() &&
         (std::isspace(static_cast<unsigned char>(v.front())) || std::isspace(static_cast<unsigned char>(v.back())));
}

void append_value(std::string& out, std::string_view v) {
  if (!needs_braces(v)) {
    out += v;
    return;
  }
  out += '{';
  for (char c : v) {
    out += c;
    if (c == '}') out += '}';
  }
  out += '}';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

bool is_password_key(std::string_view key) {
  key = trim(key);
  return std::any_of(kPasswordKeys.begin(), kPasswordKeys.end(), [key](std::string_view k) {
    return k.size() == key.size() && std::equal(k.begin(), k.end(), key.begin(), [](char a, char b) {
             return a == std::toupper(static_cast<unsigned char>(b));
           });
  });
}

// End of the value that starts at pos: the next ';' outside braces. A value
// whose first non-blank is '{' runs to its closing brace ("}}" stands for '}');
// an unclosed brace takes the rest of the text.
std::size_t value_end(std::string_view s, std::size_t pos) {
  std::size_t i = pos;
  while (i < s.size() && s[i] == ' ') ++i;
  if (i < s.size() && s[i] == '{') {
    for (++i; i < s.size(); ++i) {
      if (s[i] != '}') continue;
      if (i + 1 < s.size() && s[i + 1] == '}') {
        ++i;
        continue;
      }
      break;
    }
    if (i >= s.size()) return s.size();
  }
  std::size_t semi = s.find(';', i);
  return semi == std::string_view::npos ? s.size() : semi;
}

}  // namespace

std::string build_connection_string(std::string_view given, const std::optional<std::string>& user,
                                    const std::optional<std::string>& password) {
  std::string s(given);
  if (user) {
    s += ";LogonUser=";
    append_value(s, *user);
  }
  if (password) {
    s += ";LogonAuth=";
    append_value(s, *password);
  }
  return s;
}

std::string mask_passwords(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eq = text.find('=', pos);
    std::size_t semi = text.find(';', pos);
    if (eq == std::string_view::npos || (semi != std::string_view::npos && semi < eq)) {
      // An item without '=': copy it with its ';'.
      std::size_t end = semi == std::string_view::npos ? text.size() : semi + 1;
      out += text.substr(pos, end - pos);
      pos = end;
      continue;
    }
    std::size_t end = value_end(text, eq + 1);
    out += text.substr(pos, eq + 1 - pos);
    if (is_password_key(text.substr(pos, eq - pos)))
      out += kMask;
    else
      out += text.substr(eq + 1, end - eq - 1);
    if (end < text.size()) out += ';';
    pos = end + 1;
  }
  return out;
}

}  // namespace vekping
