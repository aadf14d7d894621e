// IP access lists: parsing settings text into entries and matching clients.
#include "access_list.h"

#include <arpa/inet.h>

#include <cstdio>
#include <string>
#include <cstdlib>
#include <cstring>

#include "settings.h"
#include "text_parsers.h"
#include "trace_log.h"

namespace {

constexpr const char* kCreateName = "veks_create_ip_acl";
thread_local char acl_error[512];

void split_octets(const char* text, size_t length, uint32_t octets[4]) {
  char copy[64];
  if (length >= sizeof copy) length = sizeof copy - 1;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  char* cursor = copy;
  for (int i = 0; i < 4; ++i) {
    if (cursor == nullptr) {
      octets[i] = 0;
      continue;
    }
    char* dot = std::strchr(cursor, '.');
    if (dot != nullptr && i < 3) *dot = '\0';
    octets[i] = static_cast<uint32_t>(std::atol(cursor));
    cursor = (dot != nullptr && i < 3) ? dot + 1 : nullptr;
  }
}

bool masked_equal(const uint32_t client[4], const ip_acl_entry* entry) {
  for (int i = 0; i < 4; ++i)
    if ((client[i] & entry->mask[i]) != (entry->address[i] & entry->mask[i])) return false;
  return true;
}

void free_entries(ip_acl_entry* entry) {
  while (entry != nullptr) {
    ip_acl_entry* next = entry->next;
    std::free(entry->name);
    std::free(entry);
    entry = next;
  }
}

// "10.0.0.0/8": the address and the mask of the prefix length.
bool cidr_entry(const char* token, ip_acl_entry* entry) {
  const char* slash = std::strchr(token, '/');
  if (slash == nullptr || parse_prefix_length(slash + 1) < 0) return false;
  std::string address(token, size_t(slash - token));
  if (check_ip_address(address.c_str(), 1, nullptr) != 0) return false;
  unsigned char bytes[4] = {};
  int bits = ::inet_net_pton(AF_INET, token, bytes, sizeof bytes);
  if (bits < 0) return false;
  for (int i = 0; i < 4; ++i) {
    entry->address[i] = bytes[i];
    int left = bits - 8 * i;
    entry->mask[i] = left >= 8 ? 255u : left <= 0 ? 0u : (0xFFu << (8 - left)) & 0xFFu;
  }
  return true;
}

bool is_address_token(const char* token, const char** slash) {
  const char* stop = nullptr;
  *slash = nullptr;
  if (check_ip_address(token, 1, &stop) == 0) return true;
  if (stop != nullptr && *stop == '/') {
    const char* mask_stop = nullptr;
    if (check_ip_address(stop + 1, 1, &mask_stop) == 0) {
      *slash = stop;
      return true;
    }
  }
  return false;
}

// Builds the entries of text into *out; 0, or -1 with acl_error set.
int build_entries(const char* separators, const char* text, ip_acl_entry** out) {
  *out = nullptr;
  size_t length = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) {
    std::snprintf(acl_error, sizeof acl_error, "%s: Failed to allocate %d bytes for ACL copy", kCreateName,
                  static_cast<int>(length));
    return -1;
  }
  std::memcpy(copy, text, length + 1);
  ip_acl_entry* head = nullptr;
  ip_acl_entry** tail = &head;
  char* save = nullptr;
  const char* seps = separators ? separators : " ";
  for (char* token = strtok_r(copy, seps, &save); token != nullptr; token = strtok_r(nullptr, seps, &save)) {
    auto* entry = static_cast<ip_acl_entry*>(std::calloc(1, sizeof(ip_acl_entry)));
    if (entry == nullptr) {
      std::snprintf(acl_error, sizeof acl_error, "%s: Failed to allocate %d bytes for ACL LL item", kCreateName,
                    static_cast<int>(sizeof(ip_acl_entry)));
      free_entries(head);
      std::free(copy);
      return -1;
    }
    const char* slash = nullptr;
    if (cidr_entry(token, entry)) {
      // address and mask set
    } else if (is_address_token(token, &slash)) {
      if (slash != nullptr) {
        split_octets(slash + 1, std::strlen(slash + 1), entry->mask);
        split_octets(token, static_cast<size_t>(slash - token), entry->address);
      } else {
        for (uint32_t& m : entry->mask) m = 255;
        split_octets(token, std::strlen(token), entry->address);
      }
    } else {
      entry->name = strdup(token);
      if (entry->name == nullptr) {
        std::snprintf(acl_error, sizeof acl_error, "%s: Failed to allocate %d bytes username", kCreateName,
                      static_cast<int>(std::strlen(token)));
        std::free(entry);
        free_entries(head);
        std::free(copy);
        return -1;
      }
      // Anything else with a "/" is no address: the item is a name and will
      // never match an address. Say so in the trace.
      if (std::strchr(token, '/') != nullptr && trace_on(kTraceDetail))
        log_printf_tid("ACL item \"%s\" is not an address and mask; treated as a name\n", token);
    }
    *tail = entry;
    tail = &entry->next;
  }
  std::free(copy);
  *out = head;
  return 0;
}

// The listener's lists: built and matched on the listener thread only.
ip_acl_entry* allow_head = nullptr;
ip_acl_entry* deny_head = nullptr;

}  // namespace

extern "C" int veks_create_ip_acl(const char* separators, const char* text, ip_acl_entry** head, char** error_text) {
  acl_error[0] = '\0';
  if (error_text) *error_text = acl_error;
  if (text == nullptr) {
    std::snprintf(acl_error, sizeof acl_error, "%s: internal error - no ACL string", kCreateName);
    return -1;
  }
  if (head == nullptr) {
    std::snprintf(acl_error, sizeof acl_error, "%s: now where to return ACL LL", kCreateName);
    return -1;
  }
  ip_acl_entry* built = nullptr;
  if (build_entries(separators, text, &built) != 0) return -1;  // the old list stays
  free_ip_acl(head);
  *head = built;
  return 0;
}

extern "C" int match_ip_acl(const char* client, const ip_acl_entry* allow, const ip_acl_entry* deny, uint32_t options) {
  const char* who = client ? client : "";
  uint32_t octets[4];
  split_octets(who, std::strlen(who), octets);
  for (const ip_acl_entry* e = deny; e != nullptr; e = e->next) {
    if (e->name != nullptr) {
      if ((options & ACL_MATCH_NAMES) && std::strcmp(e->name, who) == 0) return 0;
    } else if (masked_equal(octets, e)) {
      return 0;
    }
  }
  if ((options & ACL_SKIP_ALLOW) || allow == nullptr) return 1;
  int verdict = 1;
  for (const ip_acl_entry* e = allow; e != nullptr; e = e->next) {
    if (e->name != nullptr) {
      if ((options & ACL_MATCH_NAMES) && std::strcmp(e->name, who) == 0) return 1;
    } else if (masked_equal(octets, e)) {
      return 1;
    } else {
      verdict = 0;
    }
  }
  return verdict;
}

extern "C" int free_ip_acl(ip_acl_entry** head) {
  if (head == nullptr) return -1;
  free_entries(*head);
  *head = nullptr;
  return 0;
}

extern "C" ip_acl_entry** server_allow_acl(void) { return &allow_head; }
extern "C" ip_acl_entry** server_deny_acl(void) { return &deny_head; }

extern "C" int build_server_acls(const server_settings_t* s, char** error_text) {
  static thread_local char first_error[512];
  first_error[0] = '\0';
  if (error_text) *error_text = first_error;
  if (s == nullptr) return -1;
  int rc = 0;
  char* message = nullptr;
  if (veks_create_ip_acl(" ", s->AllowList, &allow_head, &message) != 0) {
    std::snprintf(first_error, sizeof first_error, "%s", message);
    rc = -1;
  }
  if (veks_create_ip_acl(" ", s->DenyList, &deny_head, &message) != 0) {
    if (rc == 0) std::snprintf(first_error, sizeof first_error, "%s", message);
    rc = -1;
  }
  return rc;
}

extern "C" void free_server_acls(void) {
  free_ip_acl(&allow_head);
  free_ip_acl(&deny_head);
}
