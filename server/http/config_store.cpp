// Settings access for the administration pages.
#include "config_store.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "identity.h"
#include "ky_config.h"
#include "registry/registry.h"
#include "settings.h"

namespace kyvek::http {

namespace {

constexpr const char* kSettingsKey = KY_CONFIGURATION_KEY "\\System\\Settings";

uint32_t count_items(std::string_view list) {
  if (list.empty()) return 0;
  uint32_t n = 0;
  size_t pos = 0;
  for (;;) {
    size_t bar = list.find('|', pos);
    std::string_view item = list.substr(pos, bar == std::string_view::npos ? std::string_view::npos : bar - pos);
    if (item.empty()) break;
    ++n;
    if (bar == std::string_view::npos) break;
    pos = bar + 1;
  }
  return n;
}

std::vector<config_page_entry> build_config_table() {
  std::vector<std::pair<std::string, uint32_t>> cpus;
  for (uint32_t i = 0; i < 32; ++i) cpus.push_back({"CPU_" + std::to_string(i), 1u << i});
  std::vector<std::pair<std::string, uint32_t>> flags;
  const char* names = flag_names_text;
  for (size_t i = 0; flag_values[i] != 0; ++i) {
    while (*names == ' ') ++names;
    const char* end = std::strchr(names, ' ');
    size_t len = end ? static_cast<size_t>(end - names) : std::strlen(names);
    flags.push_back({std::string(names, len), flag_values[i]});
    names += len;
  }
  std::vector<config_page_entry> t;
  t.push_back({"Port", CFG_UNSIGNED, 1, 65535, {}});
  t.push_back({"IPAddress", CFG_ADDRESS, 1, 0, {}, 0, 0, 0, ""});
  t.push_back({"HTTPPort", CFG_UNSIGNED, 1, 65535, {}});
  t.push_back({"Timeout", CFG_UNSIGNED, 0, 0, {}});
  t.push_back({"RetryCount", CFG_UNSIGNED, 0, 99, {}});
  t.push_back({"RetryPause", CFG_UNSIGNED, 0, 0, {}});
  t.push_back({"HTTPAdmin", CFG_TEXT | CFG_SENSITIVE, 1, 99, {}, 0, 0, 0, "disabled"});
  t.push_back({"HTTPNetworkAccess", CFG_ADDRESS, 1, 99, {}, 0, 0, 0, ""});
  t.push_back({"MaxBookMarkSize", CFG_UNSIGNED, 4, 0, {}});
  t.push_back({"Path", CFG_READONLY, 0, 0, {}});
  t.push_back({"Logging", CFG_UNSIGNED, 0, 0, {}});
  t.push_back({"LogDir", CFG_DIRECTORY, 0, 0, {}});
  t.push_back({"MaxThreadCount", CFG_UNSIGNED, 0, 0, {}});
  t.push_back({"MaxClientConnect", CFG_UNSIGNED, 0, 0, {}});
  t.push_back({"NetRCVLOWAT", CFG_SIGNED, -1, 0, {}, 0, 0, 0, "-1"});
  t.push_back({"NetRCVBUF", CFG_SIGNED, -1, 0, {}, 0, 0, 0, "-1"});
  t.push_back({"NetSNDBUF", CFG_SIGNED, -1, 0, {}, 0, 0, 0, "-1"});
  t.push_back({"ListenBacklog", CFG_SIGNED, 1, 100, {}, 0, 0, 0, "20"});
  t.push_back({"Affinity", CFG_BITS | CFG_ZERO_IS_ALL, 0, 0, cpus, 0, 0, 0, "0"});
  t.push_back({"Flags", CFG_BITS, 0, 0, flags, 0, 0x1, 0x1});
  return t;
}

}  // namespace

std::string read_setting(const char* name, const char* def, size_t capacity) {
  std::vector<char> buf(capacity, '\0');
  ConfigHandle* h = open_registry();
  if (!h) return def ? def : "";
  set_config(h, KY_CONFIGURATION_KEY);
  get_profile_string(h, 0, KYVEK_SETTINGS_SECTION, name, def, buf.data(), static_cast<int32_t>(capacity));
  close_registry(h);
  return buf.data();
}

int write_settings(const std::vector<std::pair<std::string, std::string>>& values, std::string* error) {
  registry::Key key;
  registry::Status st = registry::Key::open(kSettingsKey, registry::Access::kWrite, &key);
  if (st.ok()) st = key.set_values(values);
  if (!st.ok()) {
    if (error) *error = st.message;
    http_trace("Failed to write settings: %s\n", st.message.c_str());
    return -1;
  }
  return 0;
}

dsnacl_node split_dsnacl(std::string_view value) {
  dsnacl_node n;
  size_t a = value.find(',');
  n.dsn = std::string(value.substr(0, a));
  if (a != std::string_view::npos) {
    size_t b = value.find(',', a + 1);
    n.allow = std::string(value.substr(a + 1, b == std::string_view::npos ? std::string_view::npos : b - a - 1));
    if (b != std::string_view::npos) n.deny = std::string(value.substr(b + 1));
  }
  n.max_items = std::max(count_items(n.allow), count_items(n.deny));
  return n;
}

uint32_t read_dsnacl_list(std::vector<dsnacl_node>& out) {
  out.clear();
  std::string count_text = read_setting("DSNACL", "", 40);
  if (count_text.empty()) return 0;
  char* end = nullptr;
  unsigned long long count = std::strtoull(count_text.c_str(), &end, 0);
  if (*end != '\0' || count == 0 || count > kMaxDsnRules) return 0;
  for (uint32_t i = 1; i <= count; ++i) {
    std::string name = "DSNACL" + std::to_string(i);
    std::string value = read_setting(name.c_str(), "", 1024);
    http_trace("%s = %s\n", name.c_str(), value.c_str());
    if (value.empty()) continue;
    dsnacl_node n = split_dsnacl(value);
    n.number = i;
    out.push_back(std::move(n));
  }
  return static_cast<uint32_t>(count);
}

int remove_list_item(std::string& list, std::string_view item) {
  if (item.empty()) return -1;
  size_t pos = 0;
  for (;;) {
    size_t bar = list.find('|', pos);
    size_t end = bar == std::string::npos ? list.size() : bar;
    if (std::string_view(list).substr(pos, end - pos) == item) {
      if (pos > 0)
        list.erase(pos - 1, end - pos + 1);  // with the '|' before it
      else
        list.erase(0, bar == std::string::npos ? end : end + 1);  // with the '|' after it
      return 0;
    }
    if (bar == std::string::npos) return -1;
    pos = bar + 1;
  }
}

int ip_exists_in_list(std::string_view list, std::string_view item) {
  size_t pos = 0;
  while (pos < list.size()) {
    size_t start = list.find_first_not_of(' ', pos);
    if (start == std::string_view::npos) break;
    size_t end = list.find(' ', start);
    std::string_view word = list.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (word.size() == item.size() && strncasecmp(word.data(), item.data(), item.size()) == 0) return 1;
    if (end == std::string_view::npos) break;
    pos = end;
  }
  return 0;
}

bool remove_list_word(std::string& list, std::string_view item) {
  size_t pos = 0;
  while (pos < list.size()) {
    size_t start = list.find_first_not_of(' ', pos);
    if (start == std::string::npos) break;
    size_t end = list.find(' ', start);
    if (end == std::string::npos) end = list.size();
    if (std::string_view(list).substr(start, end - start) == item) {
      list.erase(start, end - start);
      size_t first = list.find_first_not_of(' ');
      list.erase(0, first == std::string::npos ? list.size() : first);
      return true;
    }
    pos = end;
  }
  return false;
}

bool signal_config_changed(int wait_ms) {
  server_stats_t* b = state().block;
  if (!b) return false;
  __atomic_store_n(&b->config_changed, 1u, __ATOMIC_SEQ_CST);
  for (int waited = 0; waited < wait_ms; waited += 100) {
    if (__atomic_load_n(&b->config_changed, __ATOMIC_SEQ_CST) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

const std::vector<config_page_entry>& config_page_table() {
  static const std::vector<config_page_entry> table = build_config_table();
  return table;
}

const config_page_entry* find_config_entry(std::string_view field) {
  for (const auto& e : config_page_table())
    if (field == e.name) return &e;
  for (const auto& e : config_page_table()) {
    if (!(e.kind & CFG_BITS)) continue;
    for (const auto& [name, value] : e.bits)
      if (field == name) return &e;
  }
  return nullptr;
}

uint32_t config_bit_value(std::string_view field, const config_page_entry& entry) {
  for (const auto& [name, value] : entry.bits)
    if (field == name) return value;
  return 0;
}

}  // namespace kyvek::http
