// Numbered process-wide locks. They are created on first use and never
// destroyed, so no thread can find a lock deleted under it, and each is
// recursive because the pool release re-enters lock 1.
#include "ky_lock.h"

#include "lock_internal.h"

namespace ky {

std::recursive_mutex* numbered_lock(int32_t index) {
  // Leaked on purpose: a static destructor could run while another thread
  // still holds a lock at exit.
  static auto* locks = new std::recursive_mutex[KY_LOCK_COUNT];
  if (index < 0 || index >= KY_LOCK_COUNT) return nullptr;
  return &locks[index];
}

}  // namespace ky

extern "C" {

KY_API int mutex_entry(int32_t index) {
  if (auto* m = ky::numbered_lock(index)) m->lock();
  return 0;
}

KY_API void* mutex_exit(int32_t index) {
  if (auto* m = ky::numbered_lock(index)) m->unlock();
  return nullptr;
}

KY_API int odbc_thread_init(int32_t) { return 0; }

KY_API int thread_term(int32_t) { return 0; }

}  // extern "C"
