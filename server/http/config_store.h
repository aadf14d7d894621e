// The administration pages' view of the server's settings: reading and
// writing values of section "Settings", the DSN rules, list texts, and the
// configuration page table.
#ifndef KYVEK_SERVER_HTTP_CONFIG_STORE_H
#define KYVEK_SERVER_HTTP_CONFIG_STORE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "http_internal.h"

namespace kyvek::http {

// Reads a value of section "Settings" (cut at capacity - 1 like the server's
// reader); def when there is none.
std::string read_setting(const char* name, const char* def, size_t capacity = 512);
// Writes the values in one change of the store (all or none). 0, or -1 with
// the store's error text in *error.
int write_settings(const std::vector<std::pair<std::string, std::string>>& values, std::string* error);

// One DSN rule: the value "dsn,allow,deny" of DSNACL<n>.
struct dsnacl_node {
  uint32_t number = 0;  // n of DSNACL<n>
  uint32_t max_items = 0;
  std::string dsn, allow, deny;
};
// Most rules read (a count above this is treated as malformed).
constexpr uint32_t kMaxDsnRules = 1000;
// The stored count (0 for none or a malformed count) and the non-empty rules.
uint32_t read_dsnacl_list(std::vector<dsnacl_node>& out);
// Splits a rule value at its first two ','.
dsnacl_node split_dsnacl(std::string_view value);

// Removes a whole '|'-separated item and one adjacent '|'. 0, or -1 when the
// item is not one of the list's items.
int remove_list_item(std::string& list, std::string_view item);
// 1 when a blank-separated word of the list equals item (case ignored), else 0.
int ip_exists_in_list(std::string_view list, std::string_view item);
// Removes the first blank-separated word equal to item; false when none.
bool remove_list_word(std::string& list, std::string_view item);

// Sets the statistics block's configuration-changed word and waits (bounded)
// until the listener has taken it; true when it did.
bool signal_config_changed(int wait_ms = 12000);

// The configuration page table.
enum : uint32_t {
  CFG_PASSWORD = 0x1,
  CFG_READONLY = 0x2,
  CFG_UNSIGNED = 0x4,
  CFG_DIRECTORY = 0x8,
  CFG_BITS = 0x10,
  CFG_TEXT = 0x20,
  CFG_SENSITIVE = 0x40,
  CFG_SIGNED = 0x80,
  CFG_ADDRESS = 0x100,
  CFG_ZERO_IS_ALL = 0x800,
};
struct config_page_entry {
  const char* name;
  uint32_t kind;
  int64_t minimum;
  int64_t maximum;
  std::vector<std::pair<std::string, uint32_t>> bits;
  uint32_t readonly_bits = 0;
  uint32_t hidden_bits = 0;
  uint32_t warning_bits = 0;
  const char* def = nullptr;
};
const std::vector<config_page_entry>& config_page_table();
const config_page_entry* find_config_entry(std::string_view field);
uint32_t config_bit_value(std::string_view field, const config_page_entry& entry);

}  // namespace kyvek::http

#endif
