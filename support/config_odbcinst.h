/* The ODBC installer library (unixODBC's libodbcinst), loaded at run time on
 * first use and bound by name, so that kysupp never links it. Internal to kysupp. */
#ifndef KY_CONFIG_ODBCINST_H
#define KY_CONFIG_ODBCINST_H

#include <string>

namespace kyvek::support {

inline constexpr const char* kOdbcInstLibrary = "libodbcinst.so.2";

class OdbcInstaller {
 public:
  // Loads library (RTLD_NOW | RTLD_LOCAL) and binds the functions used here.
  // False, with the reason in *error, when the library cannot be loaded; a
  // function that cannot be bound makes its calls fail.
  bool load(const char* library, std::string* error);
  ~OdbcInstaller();

  // SQLGetPrivateProfileString on "ODBC.INI": the installer's character count,
  // or -1 when it fails. out[capacity] is always terminated (capacity >= 1).
  int get(const char* section, const char* key, const char* default_value, char* out, int capacity) const;
  // SQLWritePrivateProfileString on "ODBC.INI"; false with the installer's text.
  bool write(const char* section, const char* key, const char* value, std::string* error) const;

 private:
  std::string last_installer_error() const;

  void* handle_ = nullptr;
  void* get_ = nullptr;
  void* write_ = nullptr;
  void* error_ = nullptr;
};

// The process's installer, loaded on the first call (the failure, too, is
// remembered and reported to standard error once). Null with *error set when
// it cannot be loaded. Calls through it are serialised.
const OdbcInstaller* odbc_installer(std::string* error);

}  // namespace kyvek::support

#endif
