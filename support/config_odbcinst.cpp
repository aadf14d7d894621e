/* Run-time binding of the ODBC installer library.
 *
 * The installer keeps one process-wide error stack and unixODBC does not guard
 * its ini handling for concurrent callers, so every call made from here holds
 * one process-wide mutex. */
#include "config_odbcinst.h"

#include <dlfcn.h>
#include <odbcinst.h>

#include <cstdio>
#include <cstring>
#include <mutex>

namespace kyvek::support {
namespace {

using GetFn = decltype(&SQLGetPrivateProfileString);
using WriteFn = decltype(&SQLWritePrivateProfileString);
using ErrorFn = decltype(&SQLInstallerError);

constexpr const char* kOdbcIni = "ODBC.INI";

std::mutex installer_mutex;

}  // namespace

bool OdbcInstaller::load(const char* library, std::string* error) {
  handle_ = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = ::dlerror();
    *error = std::string("Cannot load the ODBC installer library ") + library + ": " + (why ? why : "unknown reason");
    return false;
  }
  get_ = ::dlsym(handle_, "SQLGetPrivateProfileString");
  write_ = ::dlsym(handle_, "SQLWritePrivateProfileString");
  error_ = ::dlsym(handle_, "SQLInstallerError");
  return true;
}

OdbcInstaller::~OdbcInstaller() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

int OdbcInstaller::get(const char* section, const char* key, const char* default_value, char* out, int capacity) const {
  if (capacity < 1) return -1;
  out[0] = '\0';
  if (get_ == nullptr) return -1;
  std::lock_guard<std::mutex> lock(installer_mutex);
  int n = reinterpret_cast<GetFn>(get_)(section, key, default_value, out, capacity, kOdbcIni);
  out[capacity - 1] = '\0';
  return n;
}

std::string OdbcInstaller::last_installer_error() const {
  if (error_ == nullptr) return {};
  char text[SQL_MAX_MESSAGE_LENGTH + 1] = {};
  DWORD code = 0;
  WORD length = 0;
  SQLRETURN rc = reinterpret_cast<ErrorFn>(error_)(1, &code, text, sizeof text - 1, &length);
  if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) return {};
  return text;
}

bool OdbcInstaller::write(const char* section, const char* key, const char* value, std::string* error) const {
  if (write_ == nullptr) {
    *error = "The ODBC installer library has no SQLWritePrivateProfileString";
    return false;
  }
  std::lock_guard<std::mutex> lock(installer_mutex);
  if (reinterpret_cast<WriteFn>(write_)(section, key, value, kOdbcIni)) return true;
  std::string text = last_installer_error();
  *error = text.empty() ? std::string("The ODBC installer refused to write \"") + (key ? key : "") + "\" in section [" +
                              (section ? section : "") + "]"
                        : text;
  return false;
}

const OdbcInstaller* odbc_installer(std::string* error) {
  // Loaded once and kept for the life of the process.
  static OdbcInstaller* installer = nullptr;
  static std::string load_error;
  static std::once_flag once;
  std::call_once(once, [] {
    auto* candidate = new OdbcInstaller;
    if (candidate->load(kOdbcInstLibrary, &load_error)) {
      installer = candidate;
    } else {
      delete candidate;
      std::fprintf(stderr, "%s\n", load_error.c_str());
    }
  });
  if (installer == nullptr) *error = load_error;
  return installer;
}

}  // namespace kyvek::support
