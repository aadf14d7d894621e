// Process facts that the fault handler may not compute itself, formatted
// beforehand by crash_install (and the local time offset by each guard entry).
#ifndef KYVEK_PLATFORM_CRASH_INTERNAL_H
#define KYVEK_PLATFORM_CRASH_INTERNAL_H

#include <atomic>

namespace kyvek::crash {

struct Facts {
  char os_line[512];
  char page_line[160];
  char processor_line[128];
  char user[128];  // "" when unknown
  char host[256];  // "unknown" when unknown
  char exe[512];   // path of the running program
  std::atomic<long> utc_offset{0};
  std::atomic<bool> ready{false};
};

Facts& facts();

// Formats the facts (normal context). Called by crash_install.
void prepare_facts();

}  // namespace kyvek::crash

#endif
