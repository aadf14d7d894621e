// The setup library's exports: the installer's ConfigDSN and ConfigDriver, and
// the driver's two dialogs vek_prompt_logon and vek_complete_info.
// Everything runs on the caller's thread; no exception leaves an export.
//
// A ConfigDSN without a window handle saves silently through the widget-free
// DsnRecord: it creates no application object and needs no display. With a
// handle (only its being non-null counts; it is never dereferenced) the DSN
// dialog runs modally.
#include <odbcinst.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "application.h"
#include "dsn_record.h"
#include "dsn_dialog.h"
#include "logon_dialog.h"
#include "installer.h"
#include "kysupp.h"
#include "trace.h"

namespace kyvek::setup {

namespace {

// The keys handed back to the driver after a completed dialog, in order, with
// their bits of the driver's attribute presence mask.
struct HarvestKey {
  const char* key;
  uint32_t bit;
};

constexpr HarvestKey kHarvest[] = {
    {"LOGONUSER", 0x400},
    {"LOGONAUTH", 0x800},
    {"TARGETDSN", 0x80},
    {"TARGETUSER", 0x100},
    {"TARGETAUTH", 0x200},
    {"SERVER", 0x10},
    {"PORT", 0x40},
    {"SERVERPORT", 0x80000},
    {"BLOCKFETCHSIZE", 0x1000},
    {"METADATABLOCKFETCH", 0x2000},
    {"USEVEKDBAUTH", 0x8000},
    {"GETINFOPASSTHRU", 0x10000},
    {"OVERRIDELENGTH", 0x800000},
    {"IGNORESTMTATTRS", 0x1000000},
    {"DISGUISEWIDE", 0x4000},
    {"CONNECTATTEMPTS", 0x40000},
};

// Installer error texts.
constexpr const char* kInvalidRequest = "Invalid type of request";
constexpr const char* kInvalidAttributes = "Invalid lpszAttributes";
constexpr const char* kInvalidRemoveDsn = "Invalid DSN specified to ODBC_REMOVE_DSN";
constexpr const char* kInvalidDsn = "Invalid DSN specified (fails SQLValidDSN)";
constexpr const char* kDsnNotFound = "DSN not found";
constexpr const char* kNoMemory = "Insufficient virtual memory";
constexpr const char* kBadServers = "Server must be server:port[,server:port...]";
constexpr const char* kNoDialog = "Cannot show the DSN dialog: no display";

constexpr const char* kDisplayName = "Kyronde Vekamar";

BOOL fail(DWORD code, const char* text) {
  post_installer_error(code, text);
  return FALSE;
}

// Hands a harvested value to the driver's list and sets the key's bit.
using ValueOf = std::function<std::string(const char* key)>;

void harvest_dialog_values(con_str* list, uint32_t* mask, mem_handle* pool, const ValueOf& value_of) {
  for (const HarvestKey& h : kHarvest) {
    std::string v = value_of(h.key);
    if (v.empty()) continue;
    if (std::strcmp(h.key, "SERVER") == 0) SETUP_TRACE("Retrieved server = %s\n", v.c_str());
    if (std::strcmp(h.key, "PORT") == 0) SETUP_TRACE("Retrieved port = %s\n", v.c_str());
    if (std::strcmp(h.key, "SERVERPORT") == 0) SETUP_TRACE("Retrieved serverport = %s\n", v.c_str());
    append_pair(list, h.key, v.c_str(), pool);
    *mask |= h.bit;
    wipe(v);
  }
}

void notify_stderr(const std::string& caption, const std::string& text) {
  SETUP_TRACE("%s: %s\n", caption.c_str(), text.c_str());
  std::fprintf(stderr, "kyvekset: %s: %s\n", caption.c_str(), text.c_str());
}

// The silent save of ConfigDSN: the dialog's checks and save without widgets.
// TRUE when saved; otherwise FALSE with the installer error posted.
BOOL silent_config(int request, const char* attributes, const char* driver) {
  AttributeValues attrs;
  if (parse_attributes(attributes, &attrs) != 0) return fail(ODBC_ERROR_INVALID_NAME, kInvalidAttributes);
  DsnRecord record = load_dsn(attrs, request, notify_stderr);
  record.driver = driver ? driver : "";
  bool name_check = !(request == kModeConfigure && record.name.empty());
  if (name_check && !valid_dsn(record.name.c_str())) return fail(ODBC_ERROR_INVALID_KEYWORD_VALUE, kInvalidDsn);
  if (!validate_servers(record.servers)) return fail(ODBC_ERROR_INVALID_KEYWORD_VALUE, kBadServers);
  SaveResult saved = save_dsn(record);
  switch (saved.error) {
    case SaveError::kNone: return TRUE;
    case SaveError::kNoName: return fail(ODBC_ERROR_INVALID_NAME, kInvalidAttributes);
    case SaveError::kInstaller:
      for (const auto& [code, message] : saved.installer)
        post_installer_error(static_cast<DWORD>(code), message.c_str());
      if (saved.installer.empty()) return fail(ODBC_ERROR_REQUEST_FAILED, saved.message.c_str());
      return FALSE;
    case SaveError::kPasswordTooLong:
    case SaveError::kLineBreak: break;
  }
  return fail(ODBC_ERROR_INVALID_KEYWORD_VALUE, saved.message.c_str());
}

// Runs the DSN dialog modally: 1 completed, 0 cancelled, -1 when no dialog
// can be shown. With a list, the values go back to the driver.
int run_dsn_dialog(int request, const char* attributes, const char* driver, con_str* list, uint32_t* mask,
                   mem_handle* pool) {
  SETUP_TRACE("_ConfigDSN(%d,%p,%p,%p,%p)\n", request, static_cast<const void*>(attributes),
              static_cast<const void*>(driver), static_cast<void*>(list), static_cast<void*>(mask));
  if (!ensure_application("setup")) return -1;
  DsnDialog dialog(nullptr, nullptr, false, {});
  dialog.setAttributes(attributes, driver, request, 1);
  dialog.exec();
  if (dialog.was_cancelled()) {
    SETUP_TRACE("Dialogue Cancelled\n");
    return 0;
  }
  if (list && mask && pool) {
    harvest_dialog_values(list, mask, pool, [&](const char* key) {
      const char* v = dialog.attribute_value(key);
      return std::string(v ? v : "");
    });
  }
  return 1;
}

bool dsn_exists(const std::string& name) {
  SETUP_TRACE("Checking for DSN %s\n", name.c_str());
  UWORD mode = 99;
  get_config_mode(&mode);
  SETUP_TRACE("Mode is %u\n", static_cast<unsigned>(mode));
  char buf[256] = {};
  int count = get_private_profile_string(name.c_str(), "DRIVER", "", buf, sizeof buf, kOdbcIni);
  buf[sizeof buf - 1] = '\0';
  SETUP_TRACE("count=%d, length=%d\n", count, static_cast<int>(std::strlen(buf)));
  return count > 0 && buf[0] != '\0';
}

BOOL config_dsn(HWND parent, WORD request, LPCSTR driver, LPCSTR attributes) {
  init_logging("kyveksetup.log", KY_CONFIGURATION_KEY, 0);
  SETUP_TRACE("ConfigDSN(%p,%d,%s,%p)\n", static_cast<void*>(parent), request, driver ? driver : "NULL",
              static_cast<const void*>(attributes));
  if (request != ODBC_ADD_DSN && request != ODBC_CONFIG_DSN && request != ODBC_REMOVE_DSN) {
    SETUP_TRACE("Invalid request\n");
    return fail(ODBC_ERROR_INVALID_REQUEST_TYPE, kInvalidRequest);
  }
  if (request != ODBC_ADD_DSN && (!attributes || !*attributes))
    return fail(ODBC_ERROR_INVALID_NAME, kInvalidAttributes);
  // A missing list asks for an empty dialog.
  static const char kEmptyList[2] = {'\0', '\0'};
  if (!attributes) attributes = kEmptyList;

  SETUP_TRACE("Parsing\n");
  AttributeValues attrs;
  if (parse_attributes(attributes, &attrs) != 0) return fail(ODBC_ERROR_INVALID_NAME, kInvalidAttributes);
  const std::string dsn = attrs.text("DSN");

  if (request == ODBC_REMOVE_DSN) {
    if (dsn.empty() || installer_section_name(dsn.c_str())) {
      SETUP_TRACE("No DSN\n");
      return fail(ODBC_ERROR_INVALID_NAME, kInvalidRemoveDsn);
    }
    if (remove_dsn_from_ini(dsn.c_str())) return TRUE;
    for (const InstallerRecord& r : installer_records(256, false)) post_installer_error(r.code, r.message.c_str());
    return FALSE;
  }
  if (!dsn.empty() && !valid_dsn(dsn.c_str())) {
    SETUP_TRACE("DSN not valid\n");
    return fail(ODBC_ERROR_INVALID_KEYWORD_VALUE, kInvalidDsn);
  }
  // Configuring names a data source: without a name there is nothing to find
  // (the installer would answer for an empty section name).
  if (request == ODBC_CONFIG_DSN && (dsn.empty() || !dsn_exists(dsn))) {
    SETUP_TRACE("DSN does not exist\n");
    return fail(ODBC_ERROR_INVALID_KEYWORD_VALUE, kDsnNotFound);
  }
  if (!parent) return silent_config(request, attributes, driver);
  int shown = run_dsn_dialog(request, attributes, driver, nullptr, nullptr, nullptr);
  if (shown < 0) return fail(ODBC_ERROR_REQUEST_FAILED, kNoDialog);
  // A cancelled setup changed nothing, and says so.
  return shown == 1 ? TRUE : FALSE;
}

int prompt_logon(int32_t kind, char* user, char* password, int32_t size) {
  if (!user || !password || size <= 0) return -1;
  if (!ensure_application("logon")) return -1;
  LogonDialog dialog(nullptr, nullptr, false, {});
  dialog.setup_logon(user, password, kind);
  dialog.exec();
  if (dialog.was_cancelled()) {
    SETUP_TRACE("Dialogue Cancelled\n");
    return 0;
  }
  auto copy = [size](const char* value, char* out) {
    if (!value) return;
    size_t n = std::min(std::strlen(value), static_cast<size_t>(size) - 1);
    std::memcpy(out, value, n);
    out[n] = '\0';
  };
  copy(dialog.logon_value("USERNAME"), user);
  copy(dialog.logon_value("PASSWORD"), password);
  return 1;
}

int complete_info(void* window, con_str* list, uint32_t* mask, mem_handle* pool) {
  if (!list || !mask || !pool) return -1;
  char buffer[4096];
  generate_connection_string_config(list, buffer, sizeof buffer);
  int r;
  if (window) {
    r = run_dsn_dialog(ODBC_CONFIG_DSN, buffer, nullptr, list, mask, pool);
  } else {
    // No window: the values as loaded, without a dialog.
    AttributeValues attrs;
    parse_attributes(buffer, &attrs);
    DsnRecord record = load_dsn(attrs, kModeConfigure, notify_stderr);
    harvest_dialog_values(list, mask, pool, [&](const char* key) { return record_value(record, key); });
    r = 1;
  }
  explicit_bzero(buffer, sizeof buffer);
  return r;
}

}  // namespace

}  // namespace kyvek::setup

using namespace kyvek::setup;

extern "C" {

__attribute__((visibility("default"))) BOOL ConfigDSN(HWND parent, WORD request, LPCSTR driver, LPCSTR attributes) {
  try {
    return config_dsn(parent, request, driver, attributes);
  } catch (const std::bad_alloc&) {
    SETUP_TRACE("malloc failure\n");
    return fail(ODBC_ERROR_REQUEST_FAILED, kNoMemory);
  } catch (...) {
    return fail(ODBC_ERROR_GENERAL_ERR, "General installer error");
  }
}

__attribute__((visibility("default"))) BOOL ConfigDriver(HWND, WORD request, LPCSTR, LPCSTR, LPSTR message, WORD size,
                                                         WORD* out_length) {
  if (request != ODBC_INSTALL_DRIVER && request != ODBC_REMOVE_DRIVER)
    return fail(ODBC_ERROR_INVALID_REQUEST_TYPE, kInvalidRequest);
  const size_t length = std::strlen(kDisplayName);
  if (message && size > 0) {
    size_t n = std::min<size_t>(length, size - 1u);
    std::memcpy(message, kDisplayName, n);
    message[n] = '\0';
  }
  if (out_length) *out_length = static_cast<WORD>(length);
  return TRUE;
}

__attribute__((visibility("default"))) int vek_prompt_logon(int32_t kind, char* user, char* password, int32_t size) {
  try {
    return prompt_logon(kind, user, password, size);
  } catch (...) {
    return -1;
  }
}

__attribute__((visibility("default"))) int vek_complete_info(void* window, con_str* list, uint32_t* mask,
                                                             mem_handle* pool) {
  try {
    return complete_info(window, list, mask, pool);
  } catch (...) {
    return -1;
  }
}

}  // extern "C"
