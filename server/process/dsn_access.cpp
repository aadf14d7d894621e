// Per-DSN access rules and the registration of a connection's DSN.
#include "dsn_access.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "access_list.h"
#include "audit.h"
#include "events.h"
#include "settings.h"
#include "stats.h"
#include "thread_table.h"
#include "trace_log.h"
#include "worker_list.h"

namespace {

constexpr size_t kMaxDsnName = 33;

std::string lower(const char* text) {
  std::string s = text != nullptr ? text : "";
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

struct Rule {
  std::string dsn;
  ip_acl_entry* allow = nullptr;
  ip_acl_entry* deny = nullptr;
};

class RuleSet {
 public:
  ~RuleSet() {
    for (Rule& r : rules_) {
      free_ip_acl(&r.allow);
      free_ip_acl(&r.deny);
    }
  }
  // The first rule of a DSN stands; a second one is dropped.
  void add(Rule rule) {
    if (index_.count(rule.dsn) != 0) {
      free_ip_acl(&rule.allow);
      free_ip_acl(&rule.deny);
      return;
    }
    index_[rule.dsn] = rules_.size();
    rules_.push_back(rule);
  }
  const Rule* find(const std::string& dsn) const {
    auto it = index_.find(dsn);
    return it == index_.end() ? nullptr : &rules_[it->second];
  }
  bool empty() const { return rules_.empty(); }

 private:
  std::vector<Rule> rules_;
  std::unordered_map<std::string, size_t> index_;
};

std::mutex g_rules_mutex;
std::shared_ptr<const RuleSet> g_rules;  // guarded by g_rules_mutex; the set itself is immutable

std::shared_ptr<const RuleSet> current_rules() {
  std::lock_guard<std::mutex> lock(g_rules_mutex);
  return g_rules;
}

std::unique_ptr<RuleSet> parse_rules(const char* text) {
  auto set = std::make_unique<RuleSet>();
  if (text == nullptr || *text == '\0') return set;
  if (trace_on(kTraceDetail)) log_printf_tid("processing %s\n", text);
  std::vector<std::string> items;
  std::string item;
  for (const char* p = text;; ++p) {
    if (*p == ',' || *p == '\0') {
      items.push_back(item);
      item.clear();
      if (*p == '\0') break;
    } else {
      item += *p;
    }
  }
  for (size_t i = 0; i + 2 < items.size(); i += 3) {
    Rule rule;
    bool good = items[i].size() <= kMaxDsnName;
    if (good) {
      rule.dsn = lower(items[i].c_str());
      if (trace_on(kTraceDetail)) log_printf_tid("\tDSN : %s\n", rule.dsn.c_str());
    }
    if (trace_on(kTraceDetail)) log_printf_tid("\tAllow : %s\n", items[i + 1].c_str());
    if (good && veks_create_ip_acl("|", items[i + 1].c_str(), &rule.allow, nullptr) != 0) good = false;
    if (trace_on(kTraceDetail)) log_printf_tid("\tDeny : %s\n", items[i + 2].c_str());
    if (good && veks_create_ip_acl("|", items[i + 2].c_str(), &rule.deny, nullptr) != 0) good = false;
    if (good) {
      set->add(rule);
    } else {
      free_ip_acl(&rule.allow);
      free_ip_acl(&rule.deny);
    }
  }
  return set;
}

// The rules follow the DSNACL setting from the first settings read on.
const bool g_hook_installed = (set_dsnacl_rebuild_hook(veks_rebuild_dsn_rules), true);

}  // namespace

extern "C" {

void veks_rebuild_dsn_rules(const char* dsnacl) {
  std::shared_ptr<const RuleSet> fresh(parse_rules(dsnacl).release());
  std::lock_guard<std::mutex> lock(g_rules_mutex);
  g_rules = fresh->empty() ? nullptr : fresh;
}

int check_dsn_access(server_stats_t* block, const char* dsn, const char* user, const char* address) {
  if (trace_on(kTraceDetail)) {
    log_printf_tid("\tcheck_dsn_access(%p,%s,%s,%s)\n", static_cast<void*>(block), dsn ? dsn : "(null)",
                   user ? user : "(null)", address ? address : "(null)");
  }
  if (dsn == nullptr || *dsn == '\0') return 0;
  std::shared_ptr<const RuleSet> rules = current_rules();
  if (!rules) return 0;
  const std::string key = lower(dsn);
  const Rule* rule = rules->find(key);
  if (rule == nullptr) {
    if (trace_on(kTraceDetail)) log_printf_tid("\tDSN %s not found in hash table\n", key.c_str());
    return 0;
  }
  const char* addr = address != nullptr ? address : "";
  if (trace_on(kTraceDetail)) log_printf_tid("\tChecking ACL for access to \\%s\\ with %s\n", key.c_str(), addr);
  int ip_ok = match_ip_acl(addr, rule->allow, rule->deny, 0);
  if (trace_on(kTraceDetail)) log_printf_tid("\tip_ok = %d\n", ip_ok);
  int user_ok = 1;
  if (user != nullptr && *user != '\0') {
    if (trace_on(kTraceDetail)) log_printf_tid("\tChecking ACL for access to \\%s\\ with %s\n", key.c_str(), user);
    user_ok = match_ip_acl(user, rule->allow, rule->deny, ACL_SKIP_ALLOW | ACL_MATCH_NAMES);
    if (trace_on(kTraceDetail)) log_printf_tid("\tuser_ok = %d\n", user_ok);
  }
  if (ip_ok && user_ok) return 0;
  log_server_event(block, server_event_source(), event_type_of(EV_CLIENT_DSN_DENIED), EV_CLIENT_DSN_DENIED,
                   ip_ok ? user : addr, dsn);
  return -2;
}

int register_dsn(net_connection_info_t* info, char* message, size_t size) {
  if (trace_on(kTraceEntry)) {
    log_printf_tid("register_dsn(%p,%p,%lu)\n", static_cast<void*>(info), static_cast<void*>(message),
                   static_cast<unsigned long>(size));
  }
  if (info == nullptr) return -1;
  const char* user = info->user_name[0] != '\0' ? info->user_name : nullptr;
  if (check_dsn_access(info->stats, info->dsn, user, info->client_address) != 0) {
    if (message != nullptr && size > 0) {
      snprintf(message, size, "Client (%s,%s) denied access to DSN %s due to access control rule\n",
               info->client_address, user != nullptr ? user : "unknown user", info->dsn);
    }
    audit_event(AUDIT_REFUSED_BY_DSN_RULE, info->dsn, user != nullptr ? user : "");
    return -1;
  }
  if (info->stats != nullptr && info->dsn[0] != '\0') {
    uint32_t flags = 0;
    if (read_flags_setting(&flags) != 0) flags = 0;
    const bool locked = (flags & MultiProcess) == 0;
    if (locked) stats_lock(info->stats);
    for (server_stats_dsn_t& slot : info->stats->dsns) {
      if (slot.connections == 0) {
        snprintf(slot.name, sizeof(slot.name), "%.31s", info->dsn);
        slot.connections = 1;
        break;
      }
      // Names are kept cut to the entry: a longer one matches its cut form.
      if (strncmp(slot.name, info->dsn, sizeof(slot.name) - 1) == 0) {
        slot.connections++;
        break;
      }
    }
    if (locked) stats_unlock(info->stats);
  }
  worker_list_note_connection(info->user_name, info->dsn);
  thread_entry_t** head = thread_table_head();
  if (head != nullptr && *head != nullptr) {
    const uint32_t tid = static_cast<uint32_t>(syscall(SYS_gettid));
    if (trace_on(kTraceDetail)) log_printf_tid("Registering DSN=%s for %ld\n", info->dsn, static_cast<long>(tid));
    lock_thread_table();
    for (thread_entry_t* e = *head; e != nullptr; e = e->next) {
      if (e->id == tid) {
        snprintf(e->dsn, sizeof(e->dsn), "%.31s", info->dsn);
        break;
      }
    }
    unlock_thread_table();
  }
  return 0;
}

}  // extern "C"
