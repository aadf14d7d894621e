/* Configuration access (ky_config.h): modes 0 and 1 on the key store, other
 * modes on odbc.ini through the ODBC installer library.
 *
 * A handle belongs to one thread at a time; the store and the installer binding
 * are safe for concurrent handles. */
#include "ky_config.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "config_odbcinst.h"
#include "registry/registry.h"

namespace {

namespace reg = kyvek::registry;

constexpr const char* kUnknownError = "Unknown error";
constexpr size_t kKeyPathMax = 255;

// Copies text (null as "") into out, cut to capacity - 1 characters, terminated.
void copy_cut(char* out, int32_t capacity, const char* text) {
  if (out == nullptr || capacity <= 0) return;
  size_t n = text ? std::strlen(text) : 0;
  if (n > static_cast<size_t>(capacity) - 1) n = static_cast<size_t>(capacity) - 1;
  if (n > 0) std::memmove(out, text, n);
  out[n] = '\0';
}

void set_error(ConfigHandle* h, const std::string& text) {
  std::snprintf(h->last_error, sizeof h->last_error, "%s", text.c_str());
}

// The ODBC installer, or null with the reason recorded on the handle.
const kyvek::support::OdbcInstaller* installer(ConfigHandle* h) {
  std::string error;
  const kyvek::support::OdbcInstaller* inst = kyvek::support::odbc_installer(&error);
  if (inst == nullptr) set_error(h, error);
  return inst;
}

bool is_registry_mode(int mode) { return mode == 0 || mode == 1; }

// "<root>\System\<section>" or "<root>\ZAR\<section>"; false when it does not
// fit the key path limit or there is no section.
bool key_path(const ConfigHandle* h, int mode, const char* section, std::string* out) {
  if (section == nullptr) return false;
  *out = h->root;
  *out += mode == 0 ? "\\System\\" : "\\ZAR\\";
  *out += section;
  return out->size() <= kKeyPathMax;
}

bool copy_field(char* field, size_t size, const char* text) {
  size_t n = std::strlen(text);
  if (n >= size) return false;
  std::memcpy(field, text, n + 1);
  return true;
}

int read_installer(ConfigHandle* h, const char* section, const char* key, const char* default_value, char* out,
                   int32_t capacity) {
  const kyvek::support::OdbcInstaller* inst = installer(h);
  if (inst == nullptr) return -1;
  // A section or key of null would make the installer list names instead.
  if (section == nullptr || key == nullptr || out == nullptr || capacity < 2) return 0;
  // The installer is asked with an empty default: it answers 0 characters both
  // for a missing key and for an empty value, and the caller's default applies
  // (given the caller's default it would report that default's length, and a
  // null default fails). It reads the user's odbc.ini, then the system's, and may
  // serve a value cached for some seconds after the file was edited by hand.
  std::string value(static_cast<size_t>(capacity), '\0');
  int n = inst->get(section, key, "", value.data(), capacity);
  if (n > 0 && value[0] != '\0') {
    copy_cut(out, capacity, value.c_str());
  } else {
    copy_cut(out, capacity, default_value);
  }
  return 0;
}

int write_installer(ConfigHandle* h, const char* section, const char* key, const char* value) {
  const kyvek::support::OdbcInstaller* inst = installer(h);
  if (inst == nullptr) return -1;
  if (section == nullptr || *section == '\0' || key == nullptr) {
    set_error(h, "No ODBC.INI section or key given");
    return -1;
  }
  std::string error;
  if (!inst->write(section, key, value, &error)) {
    set_error(h, error);
    return -1;
  }
  return 0;
}

// Removes every double quote at the end of text, then every one at its start.
void strip_quotes(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && text[n - 1] == '"') text[--n] = '\0';
  size_t start = 0;
  while (start < n && text[start] == '"') ++start;
  if (start > 0) std::memmove(text, text + start, n - start + 1);
}

}  // namespace

extern "C" {

ConfigHandle* open_registry(void) {
  auto* h = new (std::nothrow) ConfigHandle{};
  if (h == nullptr) return nullptr;
  copy_field(h->root, sizeof h->root, KY_CONFIG_DEFAULT_ROOT);
  copy_field(h->last_error, sizeof h->last_error, kUnknownError);
  return h;
}

void close_registry(ConfigHandle* handle) { delete handle; }

int set_config(ConfigHandle* handle, const char* root) {
  if (handle == nullptr || root == nullptr) return -1;
  return copy_field(handle->root, sizeof handle->root, root) ? 0 : -1;
}

int set_dsn(ConfigHandle* handle, const char* dsn) {
  if (handle == nullptr) return -1;
  return copy_field(handle->dsn, sizeof handle->dsn, dsn ? dsn : "") ? 0 : -1;
}

void set_ini_function(ConfigHandle* handle, ky_ini_function function) {
  if (handle != nullptr) handle->ini_function = function;
}

int get_profile_string(ConfigHandle* handle, int mode, const char* section, const char* key, const char* default_value,
                       char* out, int32_t capacity) {
  copy_cut(out, capacity, default_value);
  if (handle == nullptr) return -1;
  if (!is_registry_mode(mode)) return read_installer(handle, section, key, default_value, out, capacity);

  std::string path;
  reg::Key k;
  if (!key_path(handle, mode, section, &path) || !reg::Key::open(path, reg::Access::kRead, &k).ok()) return 1;
  if (key == nullptr || out == nullptr || capacity <= 0) return 0;
  // The value must fit with its terminator; otherwise the default stays.
  if (!k.read_value(key, out, static_cast<size_t>(capacity)).ok()) copy_cut(out, capacity, default_value);
  return 0;
}

int set_profile_string(ConfigHandle* handle, int mode, const char* section, const char* key, const char* value) {
  if (handle == nullptr) return -1;
  set_error(handle, kUnknownError);
  if (!is_registry_mode(mode)) return write_installer(handle, section, key, value);

  std::string path;
  if (!key_path(handle, mode, section, &path)) {
    set_error(handle, section == nullptr ? "No registry section given" : "Registry key name too long (" + path + ")");
    return -1;
  }
  if (key == nullptr || value == nullptr) {
    set_error(handle, "No registry value name or text given");
    return -1;
  }
  reg::Key k;
  reg::Status s = reg::Key::open(path, reg::Access::kWrite, &k);
  if (s.ok()) s = k.set_value(key, value);
  if (!s.ok()) {
    set_error(handle, s.message);
    return -1;
  }
  return 0;
}

const char* registry_error(ConfigHandle* handle) { return handle ? handle->last_error : nullptr; }

int get_default(ConfigHandle* handle, const char* key, char* out, int32_t capacity) {
  if (handle == nullptr || out == nullptr || capacity < 1) return -1;
  if (handle->dsn[0] == '\0') {
    get_profile_string(handle, 0, "default", key, "", out, capacity);
    return 0;
  }
  get_profile_string(handle, 2, handle->dsn, key, "", out, capacity);
  if (out[0] == '\0') get_profile_string(handle, 0, "default", key, "", out, capacity);
  strip_quotes(out);
  return 0;
}

}  // extern "C"
