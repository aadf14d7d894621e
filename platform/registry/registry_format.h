/* In-memory form of the key store and its REGEDIT4 text (parse and write).
 * Pure functions and plain data; no locking, no files. */
#ifndef KYVEK_PLATFORM_REGISTRY_FORMAT_H
#define KYVEK_PLATFORM_REGISTRY_FORMAT_H

#include <string>
#include <string_view>
#include <vector>

#include "registry/registry.h"

namespace kyvek::registry {

inline constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
inline constexpr std::string_view kHeader = "REGEDIT4";

bool equal_nocase(std::string_view a, std::string_view b);

struct StoredKey {
  std::string name;  // full name including the root, as first written
  std::vector<Value> values;

  Value* find_value(std::string_view value_name);
  const Value* find_value(std::string_view value_name) const;
};

struct Document {
  std::vector<std::string> preamble;  // comment lines before the first key, kept on rewrite
  std::vector<StoredKey> keys;        // file order
  std::vector<int> bad_lines;         // 1-based numbers of lines that could not be read

  StoredKey* find_key(std::string_view full_name);
  const StoredKey* find_key(std::string_view full_name) const;
  // True when the key has its own section or any key below it has one.
  bool key_exists(std::string_view full_name) const;
  // The key's section, appended at the end when it has none.
  StoredKey& make_key(std::string_view full_name);
};

// "HKEY_LOCAL_MACHINE\<path>".
std::string full_key_name(std::string_view path);

// Checks a key path: not empty, no empty level, no line break, no NUL.
bool valid_key_path(std::string_view path);

Document parse_document(std::string_view text);
std::string write_document(const Document& doc);

// Quoted-string escaping used for names and text values.
std::string escape_text(std::string_view text);

}  // namespace kyvek::registry

#endif
