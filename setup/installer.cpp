// Binding of the ODBC installer library. See installer.h.
#include "installer.h"

#include <dlfcn.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "trace.h"

namespace kyvek::setup {

namespace {

struct Installer {
  decltype(&::SQLValidDSN) valid = nullptr;
  decltype(&::SQLGetPrivateProfileString) get_profile = nullptr;
  decltype(&::SQLWritePrivateProfileString) write_profile = nullptr;
  decltype(&::SQLWriteDSNToIni) write_dsn = nullptr;
  decltype(&::SQLRemoveDSNFromIni) remove_dsn = nullptr;
  decltype(&::SQLInstallerError) error = nullptr;
  decltype(&::SQLPostInstallerError) post_error = nullptr;
  decltype(&::SQLGetConfigMode) config_mode = nullptr;
};

template <typename Fn>
void bind(void* lib, const char* name, Fn* slot) {
  *slot = reinterpret_cast<Fn>(dlsym(lib, name));
  if (!*slot) {
    std::fprintf(stderr, "kyvekset: the ODBC installer library lacks %s\n", name);
    SETUP_TRACE("Failed to bind %s\n", name);
  }
}

const Installer& installer() {
  static Installer inst;
  static std::once_flag once;
  std::call_once(once, [] {
    // The installer's own library is normally loaded already (it loaded us);
    // this finds that copy, so its error records are the caller's.
    void* lib = dlopen("libodbcinst.so.2", RTLD_NOW | RTLD_GLOBAL);
    if (!lib) lib = dlopen("libodbcinst.so", RTLD_NOW | RTLD_GLOBAL);
    if (!lib) {
      std::fprintf(stderr, "kyvekset: cannot load the ODBC installer library: %s\n", dlerror());
      SETUP_TRACE("Failed to load the ODBC installer library\n");
      return;
    }
    bind(lib, "SQLValidDSN", &inst.valid);
    bind(lib, "SQLGetPrivateProfileString", &inst.get_profile);
    bind(lib, "SQLWritePrivateProfileString", &inst.write_profile);
    bind(lib, "SQLWriteDSNToIni", &inst.write_dsn);
    bind(lib, "SQLRemoveDSNFromIni", &inst.remove_dsn);
    bind(lib, "SQLInstallerError", &inst.error);
    bind(lib, "SQLPostInstallerError", &inst.post_error);
    bind(lib, "SQLGetConfigMode", &inst.config_mode);
  });
  return inst;
}

}  // namespace

bool installer_section_name(const char* name) {
  // The installer keeps its own settings and its list of data sources in these
  // sections (in either case): neither names a data source, and saving or
  // removing one as such would overwrite them.
  return name != nullptr && (strcasecmp(name, "ODBC") == 0 || strcasecmp(name, "ODBC Data Sources") == 0);
}

BOOL valid_dsn(const char* name) {
  if (installer_section_name(name)) return FALSE;
  auto fn = installer().valid;
  return fn ? fn(name) : FALSE;
}

int get_private_profile_string(const char* section, const char* key, const char* fallback, char* out, int size,
                               const char* file) {
  auto fn = installer().get_profile;
  if (!fn) {
    if (out && size > 0) out[0] = '\0';
    return 0;
  }
  return fn(section, key, fallback, out, size, file);
}

BOOL write_private_profile_string(const char* section, const char* key, const char* value, const char* file) {
  auto fn = installer().write_profile;
  return fn ? fn(section, key, value, file) : FALSE;
}

BOOL write_dsn_to_ini(const char* name, const char* driver) {
  auto fn = installer().write_dsn;
  return fn ? fn(name, driver) : FALSE;
}

BOOL remove_dsn_from_ini(const char* name) {
  auto fn = installer().remove_dsn;
  return fn ? fn(name) : FALSE;
}

SQLRETURN installer_error(WORD record, DWORD* code, char* message, WORD size, WORD* length) {
  auto fn = installer().error;
  return fn ? fn(record, code, message, size, length) : SQLRETURN(-1);
}

SQLRETURN post_installer_error(DWORD code, const char* message) {
  auto fn = installer().post_error;
  return fn ? fn(code, message) : SQLRETURN(-1);
}

BOOL get_config_mode(UWORD* mode) {
  auto fn = installer().config_mode;
  return fn ? fn(mode) : FALSE;
}

std::vector<InstallerRecord> installer_records(WORD size, bool with_info) {
  std::vector<InstallerRecord> records;
  std::vector<char> buf(size, '\0');
  for (WORD n = 1; n <= 8; ++n) {
    DWORD code = 0;
    WORD length = 0;
    std::fill(buf.begin(), buf.end(), '\0');
    SQLRETURN r = installer_error(n, &code, buf.data(), size, &length);
    if (r == SQL_SUCCESS || (with_info && r == SQL_SUCCESS_WITH_INFO))
      records.push_back({code, std::string(buf.data())});
  }
  return records;
}

std::string read_ini_value(const std::string& section, const char* key) {
  char buf[256] = {};
  int n = get_private_profile_string(section.c_str(), key, "", buf, sizeof buf, kOdbcIni);
  if (n <= 0) return "";
  buf[sizeof buf - 1] = '\0';
  return buf;
}

}  // namespace kyvek::setup
