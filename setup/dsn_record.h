// The stored form of a client data source, without widgets: the installer's
// attribute list, the values of one data source, their loading (attributes
// first, odbc.ini where those are empty), the checks, and the save that
// removes and rewrites the odbc.ini section through the installer library.
// The DSN dialog shows and edits a DsnRecord; a silent ConfigDSN uses it alone.
//
// Passwords (LOGONAUTH, TARGETAUTH) are stored disguised with kycrypt as
// upper-case hexadecimal; they are never traced and their buffers are wiped.
#ifndef KYVEK_SETUP_DSN_RECORD_H
#define KYVEK_SETUP_DSN_RECORD_H

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kyvek::setup {

// Request modes of the installer.
inline constexpr int kModeAdd = 1;
inline constexpr int kModeConfigure = 2;

// kycrypt keys of the two stored passwords; the driver reads with the same.
inline constexpr const char* kLogonAuthKey = "vejqdumxo";
inline constexpr const char* kTargetAuthKey = "pwxnqlrtoz";

// The longest password the 256-byte hexadecimal form can hold.
inline constexpr size_t kMaxPasswordLength = 127;
// Attribute keys and values are limited to 1023 characters each.
inline constexpr size_t kMaxAttributeLength = 1023;

// Wipes a text's bytes before it goes away.
void wipe(std::string& text);

// The values named by the installer's attribute list, keys upper-case. UID
// and PWD are kept apart from TARGETUSER and TARGETAUTH. Wiped when destroyed.
struct AttributeValues {
  std::map<std::string, std::string> values;
  std::vector<std::string> servers;  // from SERVERPORT, or SERVER x PORT

  AttributeValues() = default;
  AttributeValues(const AttributeValues&) = delete;
  AttributeValues& operator=(const AttributeValues&) = delete;
  ~AttributeValues();

  // The value of a key, or null when the list did not give it.
  const std::string* get(const std::string& key) const;
  // The value, or "" when not given.
  std::string text(const std::string& key) const;
};

// Reads an installer-style list (key=value items, each ended by NUL, the list
// by an empty item) into values. A null list is empty. -1 (values cleared)
// when an item has no "=" or a key or value is longer than 1023 characters.
int parse_attributes(const char* list, AttributeValues* values);

// The values of one data source as the dialog edits them.
struct DsnRecord {
  std::string name;
  std::string driver;  // the installer's driver description; empty: never saved
  std::string description;
  std::string servers;  // server:port entries joined by ","
  std::string logon_user;
  std::string logon_auth;
  std::string target_dsn;
  std::string target_user;
  std::string target_auth;
  int block_fetch_size = -1;  // 0..100; -1: not set, the driver reads ahead where nobody can tell
  bool metadata_block_fetch = true;
  bool use_vek_db_auth = false;
  bool getinfo_passthru = false;
  bool override_length = false;
  std::string ignore_stmt_attrs;
  bool disguise_wide = false;
  bool map_exec_direct = true;
  int connect_attempts = 5;  // 1..99

  DsnRecord() = default;
  DsnRecord(const DsnRecord& other) = default;
  DsnRecord& operator=(const DsnRecord& other) = default;
  ~DsnRecord();
};

// A message for the user: a box when interactive, else a trace line and
// standard error. (caption, text)
using Notify = std::function<void(const std::string&, const std::string&)>;

// Fills a record from the attribute values and, where those are empty and a
// name is known in a mode other than add, from the odbc.ini section.
// Inconsistent SERVER and PORT lists give the "Server/Port conflict" notice.
DsnRecord load_dsn(const AttributeValues& attrs, int mode, const Notify& notify);

// Splits a server text at "," (empty entries dropped). True when every entry
// is exactly host:port with a port of 1 to 65535; an empty text passes.
bool validate_servers(const std::string& text, std::vector<std::string>* list = nullptr);

// The dialog's value of a harvested key as text ("" when empty): SERVER and
// PORT are the host and port pieces of the server entries.
std::string record_value(const DsnRecord& record, const std::string& key);

// The 16 (key, text) pairs a save writes, in order; IGNORESTMTATTRS only when
// not empty. Passwords appear in clear here; save_dsn disguises them.
std::vector<std::pair<std::string, std::string>> stored_values(const DsnRecord& record);

// Upper-case hexadecimal of count bytes, high half first.
std::string hex_encode(const unsigned char* bytes, size_t count);
// The stored form of a password ("" for an empty one); "" too when it is too
// long to be stored (callers check the length first).
std::string disguise_password(const std::string& plain, const char* key);
// The plain text of a stored password (whatever kycrypt gives for other input).
std::string reveal_password(const std::string& stored, const char* key);

// Why a save did not happen.
enum class SaveError {
  kNone,
  kNoName,           // nothing to name the section with
  kPasswordTooLong,  // a password over 127 characters
  kLineBreak,        // a line break in the name or a value
  kInstaller,        // the installer refused the section or a value
};

struct SaveResult {
  SaveError error = SaveError::kNone;
  std::string message;  // for the user
  // The installer's records (code, message) when it refused.
  std::vector<std::pair<unsigned long, std::string>> installer;
  bool ok() const { return error == SaveError::kNone; }
};

// Checks what the installer would store badly (passwords, line breaks, an
// empty name) before anything is written.
SaveResult check_for_save(const DsnRecord& record);

// Removes the section and writes it again with the record's values. On a
// refusal by the installer the section is put back as it was. A record
// without a driver text writes nothing (the driver's completion dialog).
SaveResult save_dsn(const DsnRecord& record);

}  // namespace kyvek::setup

#endif
