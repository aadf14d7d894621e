/* File-backed key store that holds the machine's configuration keys.
 *
 * The store is one REGEDIT4 text file: "[HKEY_LOCAL_MACHINE\<path>]" key lines
 * followed by "name"="text" and "name"=dword:xxxxxxxx value lines. Its path is
 * $KYVEK_REGISTRY, else the installed default (/etc/kyvek/registry.reg under the
 * prefix /usr; the build names <sysconfdir>/kyvek/registry.reg of its prefix in
 * KYVEK_DEFAULT_REGISTRY). Paths given here are relative to
 * HKEY_LOCAL_MACHINE, with '\\' between levels ("SOFTWARE\\A\\B").
 *
 * Key and value names match without regard to (ASCII) case and keep the case in
 * which they were first written; values keep their order. Opening never creates
 * a key; create_key() is for installation and tests.
 *
 * Threads and processes: every function may be called from any thread. Readers
 * see the last complete file (writers replace it by rename). Writers serialise on
 * an exclusive flock of "<store>.lock", re-read the file, change it, write a
 * temporary file, fsync it and rename it over the store.
 *
 * Errors carry an errno value and a text that names what failed. */
#ifndef KYVEK_PLATFORM_REGISTRY_H
#define KYVEK_PLATFORM_REGISTRY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kyvek::registry {

// Result of a store operation: code 0 on success, else an errno value
// (ENOENT missing key or value, EOVERFLOW value does not fit, EINVAL bad name or
// malformed store, EACCES/EROFS/... from the file system) and a readable text.
struct [[nodiscard]] Status {
  int code = 0;
  std::string message;

  bool ok() const { return code == 0; }
  static Status Ok() { return {}; }
  static Status Error(int code, std::string message) { return {code, std::move(message)}; }
};

enum class Access { kRead, kWrite };

enum class ValueType { kText, kDword, kOther };

struct Value {
  std::string name;  // as first written
  ValueType type = ValueType::kText;
  std::string data;    // text; for kDword the number in decimal; for kOther the raw line part
  uint32_t dword = 0;  // kDword only
};

// The store's file path: $KYVEK_REGISTRY when set and not empty, else the default.
std::string store_path();
#ifndef KYVEK_DEFAULT_REGISTRY
#define KYVEK_DEFAULT_REGISTRY "/etc/kyvek/registry.reg"
#endif
inline constexpr const char* kDefaultStorePath = KYVEK_DEFAULT_REGISTRY;

// An opened key. Holds only the key's path; each operation works on the current
// contents of the store, so a Key may be kept and used from any thread.
class Key {
 public:
  Key() = default;

  // Opens an existing key for reading or for writing. A missing key is ENOENT.
  static Status open(std::string_view path, Access access, Key* out);

  // Reads a value as text into out[capacity]. Exact-fit rule: the text and its
  // terminating NUL must fit, else EOVERFLOW and out is left unchanged. On
  // success *length (when given) gets the text's length. Dword values read as
  // their decimal text.
  Status read_value(std::string_view name, char* out, size_t capacity, size_t* length = nullptr) const;
  // Reads a value of any length.
  Status read_value(std::string_view name, std::string* out) const;

  // Sets a text value (created at the end of the key's list when new, replaced
  // in place otherwise). Needs write access; the key must still exist.
  Status set_value(std::string_view name, std::string_view text) const;
  Status set_dword(std::string_view name, uint32_t value) const;
  // Sets several text values in one change of the store: all or none.
  Status set_values(const std::vector<std::pair<std::string, std::string>>& values) const;

  // Removes a value; ENOENT when there is none. Needs write access.
  Status delete_value(std::string_view name) const;

  // The key's values in store order.
  Status values(std::vector<Value>* out) const;

  const std::string& path() const { return path_; }
  bool is_open() const { return open_; }

 private:
  std::string path_;
  Access access_ = Access::kRead;
  bool open_ = false;
};

// What start-up reports about the store file at path: *missing when there is
// no file (an empty store), and the 1-based numbers of the lines that cannot be
// read. A file that exists but cannot be read gives its errno.
Status inspect_store(const std::string& path, bool* missing, std::vector<int>* bad_lines);

// Creates a key and every missing key above it (installation and tests only).
// An existing key is not an error.
Status create_key(std::string_view path);

}  // namespace kyvek::registry

#endif
