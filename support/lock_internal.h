// Access to the numbered locks from inside the library.
#ifndef KY_LOCK_INTERNAL_H
#define KY_LOCK_INTERNAL_H

#include <cstdint>
#include <mutex>

namespace ky {

// The numbered lock, or null for an index outside 0-5.
std::recursive_mutex* numbered_lock(int32_t index);

// Holds a numbered lock for a scope.
class NumberedLock {
 public:
  explicit NumberedLock(int32_t index) : m_(numbered_lock(index)) { m_->lock(); }
  ~NumberedLock() { m_->unlock(); }
  NumberedLock(const NumberedLock&) = delete;
  NumberedLock& operator=(const NumberedLock&) = delete;

 private:
  std::recursive_mutex* m_;
};

}  // namespace ky

#endif
