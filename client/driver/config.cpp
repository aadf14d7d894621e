// Configuration reads of the driver: client settings from section "Settings"
// of the configuration key, data-source attributes from odbc.ini.
#include <memory>

#include "driver.h"
#include "ky_config.h"

namespace kyvek::driver {

namespace {

struct CloseConfig {
  void operator()(ConfigHandle* h) const { close_registry(h); }
};

std::string read(int mode, const char* section, const char* key, const char* def) {
  std::unique_ptr<ConfigHandle, CloseConfig> h(open_registry());
  if (!h) return def ? def : "";
  set_config(h.get(), kConfigRoot);
  char buf[1024] = {};
  get_profile_string(h.get(), mode, section, key, def, buf, sizeof buf);
  return buf;
}

}  // namespace

std::string read_dsn_value(const char* dsn, const char* key, const char* def) { return read(2, dsn, key, def); }

std::string read_setting(const char* key, const char* def) {
  std::unique_ptr<ConfigHandle, CloseConfig> h(open_registry());
  if (!h) return def ? def : "";
  set_config(h.get(), kConfigRoot);
  char buf[100] = {};
  get_profile_string(h.get(), 0, "Settings", key, def, buf, sizeof buf);
  return buf;
}

std::string read_odbc_section(const char* key) { return read(2, "odbc", key, ""); }

}  // namespace kyvek::driver
