#pragma once

#include "NamedMutex.h"

namespace rodiz {

// Holds a NamedMutex for one scope, so that an early return or an exception
// can never leave the cross-process lock held. Check owns() before going on:
// a lock that could not be taken leaves LastError as NamedMutex::lock() set it.
class NamedMutexLock {
 public:
  explicit NamedMutexLock(NamedMutex& mutex) : mutex_(mutex), owns_(mutex.lock()) {}
  NamedMutexLock(const NamedMutexLock&) = delete;
  NamedMutexLock& operator=(const NamedMutexLock&) = delete;
  ~NamedMutexLock() {
    if (owns_) mutex_.unlock();
  }

  [[nodiscard]] bool owns() const { return owns_; }

 private:
  NamedMutex& mutex_;
  const bool owns_;
};

}  // namespace rodiz
