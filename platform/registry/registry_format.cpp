/* REGEDIT4 text of the key store.
 *
 *   REGEDIT4
 *
 *   [HKEY_LOCAL_MACHINE\SOFTWARE\Example]
 *   "Name"="text with \\ and \" and \n"
 *   "Count"=dword:0000001f
 *   @="the key's unnamed value"
 *
 * Lines may end in CR LF; the header line may be missing. ';' starts a comment
 * line; comments above the first key are kept when the file is rewritten, others
 * are dropped. In quoted texts "\\" is a backslash, "\"" a quote, "\n" and "\r"
 * line breaks; any other backslash is kept as it stands, so hand-written paths
 * with single backslashes still read.
 * Values of other types ("hex:...") are kept verbatim. Lines that cannot be read
 * are skipped by readers and recorded so that writers refuse to rewrite the file. */
#include "registry/registry_format.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace kyvek::registry {
namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Reads a quoted text starting at s[pos] == '"'; on success pos is just past the
// closing quote.
bool read_quoted(std::string_view s, size_t& pos, std::string* out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  ++pos;
  out->clear();
  while (pos < s.size()) {
    char c = s[pos++];
    if (c == '"') return true;
    if (c == '\\' && pos < s.size()) {
      char n = s[pos];
      switch (n) {
        case '\\':
          out->push_back('\\');
          ++pos;
          continue;
        case '"':
          out->push_back('"');
          ++pos;
          continue;
        case 'n':
          out->push_back('\n');
          ++pos;
          continue;
        case 'r':
          out->push_back('\r');
          ++pos;
          continue;
        default: break;
      }
    }
    out->push_back(c);
  }
  return false;
}

bool parse_dword(std::string_view hex, uint32_t* out) {
  if (hex.empty() || hex.size() > 8) return false;
  uint32_t v = 0;
  for (char c : hex) {
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

bool parse_value_line(std::string_view line, Value* v) {
  size_t pos = 0;
  if (line.substr(0, 2) == "@=") {
    v->name.clear();
    pos = 1;
  } else if (!read_quoted(line, pos, &v->name)) {
    return false;
  }
  if (pos >= line.size() || line[pos] != '=') return false;
  ++pos;
  std::string_view rest = line.substr(pos);
  if (!rest.empty() && rest[0] == '"') {
    size_t p = pos;
    if (!read_quoted(line, p, &v->data) || p != line.size()) return false;
    v->type = ValueType::kText;
    return true;
  }
  constexpr std::string_view kDword = "dword:";
  if (rest.size() > kDword.size() && equal_nocase(rest.substr(0, kDword.size()), kDword)) {
    if (!parse_dword(rest.substr(kDword.size()), &v->dword)) return false;
    v->type = ValueType::kDword;
    v->data = std::to_string(v->dword);
    return true;
  }
  if (rest.empty()) return false;
  v->type = ValueType::kOther;
  v->data = std::string(rest);
  return true;
}

}  // namespace

bool equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

Value* StoredKey::find_value(std::string_view value_name) {
  for (auto& v : values)
    if (equal_nocase(v.name, value_name)) return &v;
  return nullptr;
}

const Value* StoredKey::find_value(std::string_view value_name) const {
  return const_cast<StoredKey*>(this)->find_value(value_name);
}

StoredKey* Document::find_key(std::string_view full_name) {
  for (auto& k : keys)
    if (equal_nocase(k.name, full_name)) return &k;
  return nullptr;
}

const StoredKey* Document::find_key(std::string_view full_name) const {
  return const_cast<Document*>(this)->find_key(full_name);
}

bool Document::key_exists(std::string_view full_name) const {
  for (const auto& k : keys) {
    std::string_view n = k.name;
    if (n.size() < full_name.size()) continue;
    if (!equal_nocase(n.substr(0, full_name.size()), full_name)) continue;
    if (n.size() == full_name.size() || n[full_name.size()] == '\\') return true;
  }
  return false;
}

StoredKey& Document::make_key(std::string_view full_name) {
  if (StoredKey* k = find_key(full_name)) return *k;
  keys.push_back(StoredKey{std::string(full_name), {}});
  return keys.back();
}

std::string full_key_name(std::string_view path) {
  std::string s(kRootName);
  s += '\\';
  s += path;
  return s;
}

bool valid_key_path(std::string_view path) {
  if (path.empty()) return false;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string_view part = path.substr(start, end == std::string_view::npos ? end : end - start);
    if (part.empty()) return false;
    for (char c : part)
      if (c == '\n' || c == '\r' || c == '\0') return false;
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

Document parse_document(std::string_view text) {
  Document doc;
  StoredKey* current = nullptr;
  bool header_seen = false;
  int number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (line[0] == ';') {
      if (doc.keys.empty()) doc.preamble.emplace_back(line);
      continue;
    }
    if (!header_seen) {  // the header is optional; writers always put it
      header_seen = true;
      if (line == kHeader) continue;
    }
    if (line[0] == '[') {
      if (line.size() < 3 || line.back() != ']') {
        doc.bad_lines.push_back(number);
        current = nullptr;
        continue;
      }
      std::string_view name = line.substr(1, line.size() - 2);
      if (name[0] == '-') {  // deletion entries belong to import files, not to a store
        doc.bad_lines.push_back(number);
        current = nullptr;
        continue;
      }
      current = &doc.make_key(name);
      continue;
    }
    Value v;
    if (current == nullptr || !parse_value_line(line, &v)) {
      doc.bad_lines.push_back(number);
      continue;
    }
    if (Value* old = current->find_value(v.name)) {
      v.name = old->name;
      *old = std::move(v);
    } else {
      current->values.push_back(std::move(v));
    }
  }
  return doc;
}

std::string escape_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string write_document(const Document& doc) {
  std::string out(kHeader);
  out += "\n";
  if (!doc.preamble.empty()) out += "\n";
  for (const auto& line : doc.preamble) {
    out += line;
    out += '\n';
  }
  for (const auto& k : doc.keys) {
    out += "\n[";
    out += k.name;
    out += "]\n";
    for (const auto& v : k.values) {
      if (v.name.empty()) {
        out += "@=";
      } else {
        out += '"';
        out += escape_text(v.name);
        out += "\"=";
      }
      switch (v.type) {
        case ValueType::kText:
          out += '"';
          out += escape_text(v.data);
          out += "\"\n";
          break;
        case ValueType::kDword: {
          char buf[24];
          std::snprintf(buf, sizeof buf, "dword:%08" PRIx32 "\n", v.dword);
          out += buf;
          break;
        }
        case ValueType::kOther:
          out += v.data;
          out += '\n';
          break;
      }
    }
  }
  return out;
}

}  // namespace kyvek::registry
