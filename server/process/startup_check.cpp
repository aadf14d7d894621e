// Start-up checks of the registry file and the settings that decide where the
// server listens and whom it admits.
#include "startup_check.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "identity.h"
#include "access_list.h"
#include "connect_policy.h"
#include "events.h"
#include "registry/registry.h"
#include "settings.h"
#include "text_parsers.h"

namespace {

// One finding: standard error, and the event log under the server's source.
void report(uint16_t type, const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  eventlog_source* source = eventlog_register(SERVER_EVENT_SOURCE_NAME);
  if (source == nullptr) return;
  eventlog_report(source, type, type == EVENTLOG_ERROR ? EV_ERROR_TEXT : EV_WARNING_TEXT, text.c_str());
  eventlog_deregister(source);
}

void inform(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

// Whether the registry file can be used; reports what start-up found.
bool check_registry_file() {
  namespace reg = kyvek::registry;
  const std::string path = reg::store_path();
  bool missing = false;
  std::vector<int> bad;
  if (reg::Status st = reg::inspect_store(path, &missing, &bad); !st.ok()) {
    report(EVENTLOG_ERROR, "Registry file " + path + " cannot be read: " + std::strerror(st.code));
    return false;
  }
  if (missing) {
    report(EVENTLOG_WARNING, "Registry file " + path + " is missing; default settings apply");
    return true;
  }
  inform("Using registry file " + path);
  for (int line : bad)
    report(EVENTLOG_WARNING, "Registry file " + path + " line " + std::to_string(line) + " cannot be read; ignored");
  const std::string key = std::string(KY_CONFIGURATION_KEY) + "\\System\\" + KYVEK_SETTINGS_SECTION;
  reg::Key opened;
  if (!reg::Key::open(key, reg::Access::kRead, &opened).ok())
    report(EVENTLOG_WARNING,
           "Registry file " + path + " has no key [HKEY_LOCAL_MACHINE\\" + key + "]; default settings apply");
  return true;
}

// An item of the list syntax: a full dotted address, address/mask with a full
// dotted mask, or a name. Text with '/' or ',' that is not an address/mask,
// and digits and dots that are not a full address, are typing errors.
bool valid_item(const char* item) {
  if (parse_ip_and_mask(item, 1, nullptr) == 0) return true;
  if (std::strpbrk(item, "/,;") != nullptr) return false;
  return std::strspn(item, "0123456789.") != std::strlen(item);
}

}  // namespace

extern "C" int port_in_range(uint32_t port) { return port >= 1 && port <= 65535 ? 0 : -1; }

extern "C" int check_access_list(const char* list_name, const char* text, int* items) {
  std::string copy = text ? text : "";
  int all = 0, valid = 0;
  char* save = nullptr;
  for (char* item = strtok_r(copy.data(), " ", &save); item != nullptr; item = strtok_r(nullptr, " ", &save)) {
    ++all;
    if (valid_item(item)) {
      ++valid;
    } else {
      report(EVENTLOG_WARNING,
             std::string(list_name) + " item \"" + item + "\" is not an address, address/mask or name; ignored");
    }
  }
  if (items) *items = all;
  return valid;
}

extern "C" int check_startup_settings(const server_settings_t* s, int check_port) {
  bool ok = check_registry_file();
  uint32_t port = s->Port64 ? s->Port64 : s->Port;
  if (check_port && port_in_range(port) != 0) {
    report(EVENTLOG_ERROR, "Port " + std::to_string(port) + " is out of range (1-65535)");
    ok = false;
  }
  sockaddr_storage parsed{};
  if (s->IPAddress[0] && parse_bind_address(s->IPAddress, &parsed) == 0) {
    report(EVENTLOG_ERROR, std::string("IPAddress \"") + s->IPAddress + "\" is not an IPv4 or IPv6 address");
    ok = false;
  }
  const struct {
    const char* name;
    const char* text;
  } lists[] = {{"AllowList", s->AllowList}, {"DenyList", s->DenyList}};
  for (const auto& l : lists) {
    int items = 0;
    if (check_access_list(l.name, l.text, &items) == 0 && items > 0) {
      report(EVENTLOG_ERROR, std::string(l.name) + " has no valid item; the server does not start");
      ok = false;
    }
  }
  // Keywords that name files, libraries or Driver Manager settings never
  // reach a target driver: a TargetKeywords that lists one is a mistake.
  char target_keywords[4096] = "";
  if (read_setting_text(target_keywords, sizeof target_keywords, "TargetKeywords") != 0) {
    report(EVENTLOG_ERROR, "TargetKeywords is too long; the server does not start");
    ok = false;
  }
  for (const std::string& k : kyvek::server::never_passed_target_keywords(target_keywords)) {
    report(EVENTLOG_ERROR, "TargetKeywords lists " + k +
                               ", which names a file, a library or a Driver Manager setting and is never passed "
                               "on to a target driver; the server does not start");
    ok = false;
  }
  // Without logons a client's calls run with the server's own identity.
  if (ok && (s->Flags & Authentication_Disabled) && ::geteuid() == 0)
    report(EVENTLOG_WARNING,
           "Logons are disabled (Authentication_Disabled) and the server runs as root: every client acts as "
           "root on this machine. Run a server without logons under an unprivileged user.");
  return ok ? 0 : -1;
}
