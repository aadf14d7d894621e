// The ODBC installer library (unixODBC's libodbcinst), bound by name on first
// use. A function that cannot be bound behaves as a failed call: SQLValidDSN
// and the writers give FALSE, the profile read 0, the error functions -1.
// Threading: binding happens once (call_once); the calls themselves are the
// installer's.
#ifndef KYVEK_SETUP_INSTALLER_H
#define KYVEK_SETUP_INSTALLER_H

#include <odbcinst.h>

// The installer's BOOL results.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#include <string>
#include <vector>

namespace kyvek::setup {

// The data-source store every call of this library names.
inline constexpr const char* kOdbcIni = "odbc.ini";

// "ODBC" or "ODBC Data Sources" in any case: sections of the installer's own.
bool installer_section_name(const char* name);
// SQLValidDSN, and not one of the installer's own sections.
BOOL valid_dsn(const char* name);
int get_private_profile_string(const char* section, const char* key, const char* fallback, char* out, int size,
                               const char* file);
BOOL write_private_profile_string(const char* section, const char* key, const char* value, const char* file);
BOOL write_dsn_to_ini(const char* name, const char* driver);
BOOL remove_dsn_from_ini(const char* name);
SQLRETURN installer_error(WORD record, DWORD* code, char* message, WORD size, WORD* length);
SQLRETURN post_installer_error(DWORD code, const char* message);
BOOL get_config_mode(UWORD* mode);

// One installer error record.
struct InstallerRecord {
  DWORD code = 0;
  std::string message;
};

// The installer's records 1 through 8 that read successfully (SQL_SUCCESS or
// SQL_SUCCESS_WITH_INFO when with_info), each message read into a buffer of
// size bytes.
std::vector<InstallerRecord> installer_records(WORD size, bool with_info);

// One value of a section of odbc.ini, read into a 256-byte buffer (so at most
// 255 characters); "" when absent.
std::string read_ini_value(const std::string& section, const char* key);

}  // namespace kyvek::setup

#endif
