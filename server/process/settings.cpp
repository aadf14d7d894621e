// The server's settings table, its reader and the reactions to changed values.
#include "settings.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>
#include <vector>

#include "identity.h"
#include "events.h"
#include "ky_config.h"
#include "text_parsers.h"
#include "trace_log.h"

extern "C" const char* const flag_names_text =
    "Authentication_Disabled MultiProcess HideSensitive ReverseLookup AuditODBCAccess "
    "FreeStmtsOnDisconnect ShowProcessTime HTTPAuthAll ConnectionPooling LogFailingSQL "
    "AllowDBBrowse AutoDenyNonVEKClients AllowDSNBrowse NoStatusArrayResize WriteStatsOnExit";
extern "C" const uint32_t flag_values[16] = {
    Authentication_Disabled, MultiProcess,          HideSensitive,    ReverseLookup,
    AuditODBCAccess,         FreeStmtsOnDisconnect, ShowProcessTime,  HTTPAuthAll,
    ConnectionPooling,       LogFailingSQL,         AllowDBBrowse,    AutoDenyNonVEKClients,
    AllowDSNBrowse,          NoStatusArrayResize,   WriteStatsOnExit, 0};

namespace {

// Upper bound of a numbered list's count: a mistyped count must not keep the
// listener reading for hours.
constexpr unsigned long long kMaxListCount = 100000;

thread_local char reader_error[1400];

// The table's destinations: read and changed on the listener thread only.
server_settings_t working{};
const server_settings_t kEmptySettings{};
std::atomic<const server_settings_t*> current{&kEmptySettings};
std::mutex publish_mutex;
// Every published snapshot stays alive for the life of the process, so a
// pointer a worker holds never dangles. Reachable through this pointer, so not
// a leak; re-reads happen only after an administrator's change.
std::vector<std::unique_ptr<server_settings_t>>* published = new std::vector<std::unique_ptr<server_settings_t>>;

std::atomic<dsnacl_rebuild_hook_fn> dsnacl_hook{nullptr};
std::atomic<startup_log_close_hook_fn> startup_close_hook{nullptr};
std::atomic<audit_close_hook_fn> audit_close_hook{nullptr};

constexpr ini_settings number(const char* name, uint8_t flags, uint32_t def, uint32_t* dest, uint32_t min = 0,
                              uint32_t max = 0) {
  return ini_settings{INI_KIND_NUMBER, name, flags, def, nullptr, min, max, dest, 0, 0};
}

template <size_t N>
constexpr ini_settings text(const char* name, uint8_t flags, const char* def, char (&dest)[N],
                            uint32_t kind = INI_KIND_TEXT) {
  return ini_settings{kind, name, flags, 0, def, 0, 0, dest, N, 0};
}

ini_settings server_table[] = {
    number("Flags", 0x3, 0x18002, &working.Flags),
    number("Port", 0x5, 8888, &working.Port),
    number("Port64", 0x5, 0, &working.Port64),
    text("IPAddress", 0x5, "", working.IPAddress),
    number("HTTPPort", 0x5, 8890, &working.HTTPPort),
    number("Logging", 0x1, 0, &working.Logging),
    number("RetryCount", 0x1, 4, &working.RetryCount),
    number("RetryPause", 0x1, 3, &working.RetryPause),
    number("MaxThreadCount", 0x1, 0, &working.MaxThreadCount),
    number("MaxClientConnect", 0x1, 0, &working.MaxClientConnect),
    number("ListenBacklog", 0x5, 20, &working.ListenBacklog, 1, 100),
    number("Affinity", 0x5, 0, &working.Affinity),
    text("HTTPAdmin", 0x5, "disabled", working.HTTPAdmin),
    text("HTTPNetworkAccess", 0x1, "", working.HTTPNetworkAccess),
    text("Timeout", 0x1, "7200", working.Timeout),
    text("Path", 0x2, nullptr, working.Path),
    text("LogDir", 0x1, "", working.LogDir),
    text("AllowList", 0x1, "", working.AllowList),
    text("DenyList", 0x1, "", working.DenyList),
    text("DSNACL", 0x0, "", working.DSNACL, INI_KIND_LIST),
    ini_settings{0, nullptr, 0, 0, nullptr, 0, 0, nullptr, 0, 0},
};

enum class Parse { kOk, kInvalid, kRange };

// An unsigned number whose base follows its prefix, no characters left over,
// at most 32 bits.
Parse parse_u32(const char* text, uint32_t* value) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (end == text || *end != '\0') {
    *value = static_cast<uint32_t>(v > UINT32_MAX ? 0 : v);
    return Parse::kInvalid;
  }
  // strtoull accepts a sign; a negative number is out of range, not wrapped.
  const char* p = text;
  while (*p == ' ' || *p == '\t') ++p;
  if (errno == ERANGE || v > UINT32_MAX || *p == '-') {
    *value = 0;
    return Parse::kRange;
  }
  *value = static_cast<uint32_t>(v);
  return Parse::kOk;
}

class ConfigKey {
 public:
  ConfigKey() : handle_(open_registry()) {
    if (handle_) set_config(handle_, KY_CONFIGURATION_KEY);
  }
  ~ConfigKey() {
    if (handle_) close_registry(handle_);
  }
  ConfigKey(const ConfigKey&) = delete;
  ConfigKey& operator=(const ConfigKey&) = delete;
  void read(const char* name, const char* def, char* out, size_t capacity) {
    if (capacity == 0) return;
    size_t cap = capacity > INT32_MAX ? INT32_MAX : capacity;
    if (handle_ == nullptr) {
      std::snprintf(out, cap, "%s", def ? def : "");
      return;
    }
    get_profile_string(handle_, 0, KYVEK_SETTINGS_SECTION, name, def, out, static_cast<int32_t>(cap));
  }

 private:
  ConfigHandle* handle_;
};

__attribute__((format(printf, 1, 2))) int fail(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vsnprintf(reader_error, sizeof reader_error, format, args);
  va_end(args);
  return -1;
}

int read_number(ConfigKey& key, ini_settings* rec, ini_trace_fn trace, ini_checker_fn checker) {
  char def[32] = "";
  if (rec->flags & INI_HAS_DEFAULT) std::snprintf(def, sizeof def, "%lu", (unsigned long)rec->default_number);
  char value[100];
  key.read(rec->name, def, value, sizeof value);
  auto* dest = static_cast<uint32_t*>(rec->destination);
  uint32_t parsed = 0;
  if (value[0] == '\0') {
    if (rec->flags & INI_REQUIRED) {
      *dest = 0;
      return fail("ini setting %s cannot be found", rec->name);
    }
  } else {
    switch (parse_u32(value, &parsed)) {
      case Parse::kInvalid: return fail("invalid ini setting %s = %s", rec->name, value);
      case Parse::kRange: return fail("Ini setting %s = %s, out of range", rec->name, value);
      case Parse::kOk: break;
    }
  }
  rec->previous_value = *dest;
  *dest = parsed;
  if (checker) checker(rec, trace);
  if (trace) trace("\tvalue = %lu (0x%lx)\n", (unsigned long)*dest, (unsigned long)*dest);
  return 0;
}

int text_default(const ini_settings* rec, const char** def) {
  *def = "";
  if (rec->flags & INI_HAS_DEFAULT) {
    if (rec->default_text == nullptr) return fail("ini setting %s - missing default", rec->name);
    *def = rec->default_text;
  }
  return 0;
}

int read_text(ConfigKey& key, ini_settings* rec, ini_trace_fn trace, ini_checker_fn checker) {
  const char* def;
  if (text_default(rec, &def) != 0) return -1;
  auto* dest = static_cast<char*>(rec->destination);
  if (rec->buffer_size == 0) return 0;
  dest[0] = '\0';
  key.read(rec->name, def, dest, rec->buffer_size);
  if (checker) checker(rec, trace);
  if (trace) trace("\tvalue = %s\n", dest);
  return 0;
}

int read_list(ConfigKey& key, ini_settings* rec, ini_trace_fn trace, ini_checker_fn checker) {
  auto* dest = static_cast<char*>(rec->destination);
  size_t size = rec->buffer_size;
  if (size == 0) return 0;
  char count_text[100];
  key.read(rec->name, "", count_text, sizeof count_text);
  if (count_text[0] == '\0') {
    if (trace) trace("%s not found\n", rec->name);
    dest[0] = '\0';
    return 0;
  }
  uint32_t count = 0;
  if (parse_u32(count_text, &count) != Parse::kOk) return 0;
  if (trace) trace("\tEnumerated, %s\n", count_text);
  dest[0] = '\0';
  size_t used = 0;
  unsigned long long last = count < kMaxListCount ? count : kMaxListCount;
  for (unsigned long long i = 1; i <= last; ++i) {
    char item_name[300];
    std::snprintf(item_name, sizeof item_name, "%s%u", rec->name, static_cast<unsigned>(i));
    char item[1024];
    key.read(item_name, "", item, sizeof item);
    if (item[0] == '\0') continue;
    size_t item_length = std::strlen(item);
    size_t comma = used > 0 ? 1 : 0;
    if (used + comma + item_length + 1 > size) continue;  // does not fit: skipped
    if (trace) trace("\t\tappending: %s\n", item);
    if (comma) dest[used++] = ',';
    std::memcpy(dest + used, item, item_length + 1);
    used += item_length;
  }
  if (trace) trace("\t%s = %s\n", rec->name, dest);
  if (checker) checker(rec, trace);
  return 0;
}

int read_ipv4(ConfigKey& key, ini_settings* rec, ini_trace_fn trace, ini_checker_fn checker) {
  const char* def;
  if (text_default(rec, &def) != 0) return -1;
  char value[100];
  key.read(rec->name, def, value, sizeof value);
  auto* dest = static_cast<uint32_t*>(rec->destination);
  if (value[0] != '\0') {
    struct in_addr address {};
    if (inet_aton(value, &address) == 0) return fail("invalid ini setting %s = %s", rec->name, value);
    *dest = address.s_addr;
  } else {
    if (rec->flags & INI_REQUIRED) return fail("ini setting %s cannot be found", rec->name);
    *dest = 0;
  }
  if (checker) checker(rec, trace);
  if (trace) {
    struct in_addr address {};
    address.s_addr = *dest;
    char dotted[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    trace("\tvalue = %s\n", dotted);
  }
  return 0;
}

void warn(const char* text) {
  log_server_event(server_event_block(), server_event_source(), EVENTLOG_WARNING, EV_ERROR_TEXT, text, nullptr);
}

}  // namespace

extern "C" int read_ini_settings(ini_settings* table, char** error_text, ini_trace_fn trace, ini_checker_fn checker,
                                 int listener) {
  if (trace) trace("read_ini_settings\n");
  reader_error[0] = '\0';
  if (table == nullptr) {
    std::snprintf(reader_error, sizeof reader_error, "Invalid/NULL ini_settings structure array");
    if (error_text) *error_text = reader_error;
    if (trace) trace("-read_ini_settings()=-1 (!settings)\n");
    return -1;
  }
  if (error_text == nullptr) {
    if (trace) trace("-read_ini_settings()=-1 (!error_message)\n");
    return -2;
  }
  *error_text = reader_error;
  ConfigKey key;
  for (ini_settings* rec = table; rec->name != nullptr; ++rec) {
    if (trace) trace("Processing ini option %s\n", rec->name);
    if ((rec->flags & INI_LISTENER) && !listener) continue;
    if (rec->destination == nullptr)
      return fail("internal error processing ini setting %s - no destination", rec->name);
    int rc;
    switch (rec->kind) {
      case INI_KIND_NUMBER: rc = read_number(key, rec, trace, checker); break;
      case INI_KIND_TEXT: rc = read_text(key, rec, trace, checker); break;
      case INI_KIND_LIST: rc = read_list(key, rec, trace, checker); break;
      case INI_KIND_IPV4: rc = read_ipv4(key, rec, trace, checker); break;
      default: rc = fail("Invalid ini setting type %u", static_cast<unsigned>(rec->kind)); break;
    }
    if (rc != 0) return rc;
  }
  return 0;
}

extern "C" int moderate_ini_setting(ini_settings* rec, ini_trace_fn trace) {
  if (rec == nullptr || rec->name == nullptr) return 0;
  if (trace) trace("moderate_ini_setting - %s\n", rec->name);
  char message[1400];
  if (std::strcmp(rec->name, "IPAddress") == 0) {
    const char* value = static_cast<const char*>(rec->destination);
    sockaddr_storage address{};
    if (value[0] != '\0' && parse_bind_address(value, &address) == 0) {
      std::snprintf(message, sizeof message, "\"%s\" is invalid IP address for server to bind to", value);
      warn(message);
    }
  } else if (std::strcmp(rec->name, "HTTPNetworkAccess") == 0) {
    const char* value = static_cast<const char*>(rec->destination);
    const char* stop = nullptr;
    if (value[0] != '\0' && parse_ip_and_mask(value, 1, &stop) != 0) {
      if (stop != nullptr)
        std::snprintf(message, sizeof message, "\"%s\" is invalid IP/Network address - invalid character at %s", value,
                      stop);
      else
        std::snprintf(message, sizeof message, "\"%s\" is invalid IP/Network address", value);
      warn(message);
    }
  } else if (std::strcmp(rec->name, "Flags") == 0) {
    auto* flags = static_cast<uint32_t*>(rec->destination);
    if ((rec->previous_value & AuditODBCAccess) && !(*flags & AuditODBCAccess)) {
      if (audit_close_hook_fn hook = audit_close_hook.load()) hook();
    }
    if (*flags & MultiProcess) *flags &= ~ConnectionPooling;
  } else if (std::strcmp(rec->name, "Logging") == 0) {
    auto* logging = static_cast<uint32_t*>(rec->destination);
    if (rec->previous_value != 0 && *logging == 0) {
      // Stop tracing too: with the mask left set the next trace line would
      // open the log again at once.
      set_trace_mask(0);
      close_log();
      if (startup_log_close_hook_fn hook = startup_close_hook.load()) hook();
    }
  } else if (std::strcmp(rec->name, "DSNACL") == 0) {
    if (dsnacl_rebuild_hook_fn hook = dsnacl_hook.load()) hook(static_cast<const char*>(rec->destination));
  }
  return 0;
}

extern "C" int read_flags_setting(uint32_t* word) {
  char value[100];
  {
    ConfigKey key;
    key.read("Flags", "65538", value, sizeof value);
  }
  uint32_t parsed = 0;
  if (value[0] == '\0') {
    if (word) *word = 0;
    return -1;
  }
  Parse result = parse_u32(value, &parsed);
  if (word) *word = parsed;
  if (result == Parse::kInvalid) {
    std::fprintf(stderr, "Invalid flags \"%s\"\n", value);
    return -1;
  }
  if (result == Parse::kRange) {
    std::fprintf(stderr, "Flags \"%s\" out of range\n", value);
    return -1;
  }
  return 0;
}

extern "C" uint32_t read_logging_setting(void) {
  char value[256];
  {
    ConfigKey key;
    key.read("Logging", "0", value, sizeof value);
  }
  uint32_t parsed = 0;
  return parse_u32(value, &parsed) == Parse::kOk ? parsed : 0;
}

extern "C" ini_settings* server_ini_settings(void) { return server_table; }

extern "C" server_settings_t* server_settings_working(void) { return &working; }

extern "C" void publish_server_settings(void) {
  auto copy = std::make_unique<server_settings_t>(working);
  std::lock_guard<std::mutex> lock(publish_mutex);
  current.store(copy.get(), std::memory_order_release);
  published->push_back(std::move(copy));
}

extern "C" int load_server_settings(char** error_text, ini_trace_fn trace, int listener) {
  int rc = read_ini_settings(server_table, error_text, trace, moderate_ini_setting, listener);
  if (rc == 0) {
    publish_server_settings();
  } else {
    working = *current.load(std::memory_order_acquire);
  }
  return rc;
}

extern "C" const server_settings_t* server_settings(void) { return current.load(std::memory_order_acquire); }

extern "C" void set_dsnacl_rebuild_hook(dsnacl_rebuild_hook_fn hook) { dsnacl_hook.store(hook); }

extern "C" void set_startup_log_close_hook(startup_log_close_hook_fn hook) { startup_close_hook.store(hook); }

extern "C" void set_audit_close_hook(audit_close_hook_fn hook) { audit_close_hook.store(hook); }

extern "C" int read_setting_text(char* out, size_t capacity, const char* name) {
  if (out == nullptr || name == nullptr) return -1;
  char scratch[4096] = "";
  ConfigHandle* handle = open_registry();
  if (handle != nullptr) {
    set_config(handle, KY_CONFIGURATION_KEY);
    get_profile_string(handle, 0, KYVEK_SETTINGS_SECTION, name, "", scratch, static_cast<int32_t>(sizeof scratch));
    close_registry(handle);
  }
  size_t length = std::strlen(scratch);
  if (length + 1 > capacity) return -1;
  std::memcpy(out, scratch, length + 1);
  return 0;
}

extern "C" int server_log_path(char* out, size_t capacity, const char* file_name) {
  if (out == nullptr || capacity == 0) return -1;
  std::string dir = server_settings()->LogDir;
  for (char& c : dir)
    if (c == '\\') c = '/';
  if (strcasecmp(dir.c_str(), "c:/temp") == 0 || strcasecmp(dir.c_str(), "c:/temp/") == 0)
    dir.clear();  // the Windows default means the temporary directory
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    dir = tmp && *tmp ? tmp : "/tmp";
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  int n = std::snprintf(out, capacity, "%s/%s", dir.c_str(), file_name ? file_name : "");
  return n >= 0 && static_cast<size_t>(n) < capacity ? 0 : -1;
}
