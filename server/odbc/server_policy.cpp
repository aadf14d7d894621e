// The process's policy table and its defaults. See server_policy.h.
#include "server_policy.h"

#include <atomic>

namespace {

int no_flags(uint32_t*) { return -1; }
uint32_t zero() { return 0; }
int empty_setting(char* out, size_t capacity, const char*) {
  if (out == nullptr || capacity == 0) return -1;
  out[0] = '\0';
  return 0;
}
int allow_dsn(net_connection_info_t*, char*, size_t) { return 0; }
void unreported(const net_connection_info_t*, const char*, int) {}
void unnoted(const net_connection_info_t*) {}
void unaudited(const net_connection_info_t*, const char*) {}

constexpr veks_server_policy kDefaults = {no_flags,  zero,       zero,   empty_setting, allow_dsn,
                                          unreported, unnoted, unaudited};

std::atomic<const veks_server_policy*> g_policy{&kDefaults};

}  // namespace

extern "C" void veks_set_server_policy(const veks_server_policy* policy) {
  g_policy.store(policy != nullptr ? policy : &kDefaults);
}

extern "C" const veks_server_policy* veks_server_policy_get(void) { return g_policy.load(); }
