// The driver's attribute list: the KEY=value pairs of a connection string,
// completed from the DSN's stored attributes. Keys compare without regard to
// case and are kept upper-cased; values may hold anything, and strings built
// from the list brace-quote every value that needs it, so a password can never
// add or change a keyword.
#ifndef KYVEK_DRIVER_ATTR_LIST_H
#define KYVEK_DRIVER_ATTR_LIST_H

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kyvek::driver {

class AttrList {
 public:
  // Adds the KEY=value items of a connection string (';' separated; a value in
  // braces may hold ';', and "}}" inside braces is one '}'). Keys are trimmed
  // and upper-cased; an item without '=' gets an empty value.
  void parse(std::string_view text);

  // The value of the first pair whose key matches; nullptr when absent.
  const std::string* get(std::string_view key) const;
  bool has(std::string_view key) const { return get(key) != nullptr; }
  // True when the key is present with a non-empty value.
  bool has_value(std::string_view key) const;

  // Replaces the value of the first matching pair, else appends KEY=value.
  void set(std::string_view key, std::string_view value);
  // Removes the first matching pair; true when one was removed.
  bool remove(std::string_view key);
  // Renames the first pair bearing key to new_key.
  bool rename(std::string_view key, std::string_view new_key);
  // Renames the last pair bearing key unless a pair with new_key exists.
  bool rename_unless_present(std::string_view key, std::string_view new_key);

  // "KEY=value;" for every pair, skipping DESCRIPTION, and DRIVER when a DSN
  // is present; DRIVER always in braces, any other value braced when needed.
  std::string to_string() const;

  const std::vector<std::pair<std::string, std::string>>& pairs() const { return pairs_; }
  void clear() {
    pairs_.clear();
    braced_.clear();
  }

  // Whether the value of key was written in braces (parse marks it, and
  // to_string writes it in braces again, so a value reaches its reader as
  // written: "pqopt={application_name=x}").
  bool braced(std::string_view key) const;
  void mark_braced(std::string_view key);

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
  std::vector<std::string> braced_;  // upper-case keys
};

// Appends KEY=value; to out, bracing the value when it holds ';', '{', '}',
// or leading or trailing blanks (a '}' inside braces is doubled).
void append_connection_item(std::string& out, std::string_view key, std::string_view value, bool force_braces = false);

bool iequals(std::string_view a, std::string_view b);

}  // namespace kyvek::driver

#endif
