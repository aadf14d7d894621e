#include "sqlite_memory.h"

#include <dlfcn.h>

bool switch_off_sqlite_memory_statistics() {
  constexpr int kConfigMemStatus = 9;  // SQLITE_CONFIG_MEMSTATUS
  constexpr int kOk = 0;
  void* lib = ::dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_GLOBAL);
  if (lib == nullptr) return false;
  using Config = int (*)(int, ...);
  auto config = reinterpret_cast<Config>(::dlsym(lib, "sqlite3_config"));
  return config != nullptr && config(kConfigMemStatus, 0) == kOk;
}
