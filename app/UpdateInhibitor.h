#pragma once

#include <memory>
#include <string>

namespace mirel {

// Keeps the machine from sleeping, and asks it not to shut down, while a
// flash is in progress: from the backup of the mouse's settings until they
// are written back. This base holds nothing; ForThisPlatform gives the
// implementation of the platform.
//
// Acquire and Release are called on the controller's thread. The lock is
// also released when the object is destroyed, and with the process: a
// program that is killed holds nothing.
class UpdateInhibitor {
 public:
  virtual ~UpdateInhibitor() = default;

  // The implementation for the platform the program runs on.
  static std::unique_ptr<UpdateInhibitor> ForThisPlatform();

  // Takes the lock with `reason` (shown to a user who tries to shut down),
  // unless it is held already. Returns whether it is held afterwards; a
  // failure is written to the trace and the update goes on without it.
  virtual bool Acquire(const std::string& reason);
  // Gives the lock back; nothing when none is held.
  virtual void Release();
  virtual bool held() const;
};

}  // namespace mirel
