#pragma once

#include <memory>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

class IDevice;

// A wireless receiver as its users see it: the devices paired to it, its
// pairing lock, unpairing and the activity of its slots. Every receiver bus
// is also a Producer of LockingChange and RegisterZeroOverwritten.
class IReceiver {
 public:
  // The two bytes of a pairing-lock notification, passed on unchanged.
  enum class State : Byte {};
  enum class ErrorType : Byte {};

  // The receiver reported a change of its pairing lock (read thread).
  class LockingChange {
   public:
    virtual void onLockingChange(std::shared_ptr<IDevice> /*receiver*/, State /*state*/, ErrorType /*error*/) {}
    virtual ~LockingChange() = default;
  };

  // Someone wrote the receiver's notification register: the bits this
  // library set there may be gone.
  class RegisterZeroOverwritten {
   public:
    virtual void onRegisterZeroOverwritten() {}
    virtual ~RegisterZeroOverwritten() = default;
  };

  virtual ~IReceiver() = default;
  // The protocol-level devices the device manager made from this receiver's
  // slots; empty when the manager is gone.
  virtual std::vector<std::shared_ptr<IDevice>> paired_devices() = 0;
  // Reads the activity value of every slot into the receiver and into each
  // paired device (its reserved value). False with LastError when the read
  // failed.
  virtual bool read_activity() = 0;
  // Whether the receiver is one of the two-slot models with their own rules.
  virtual bool special_receiver() = 0;
  // Opens the pairing lock: the receiver accepts a new device for a while.
  virtual bool open_lock() = 0;
  // Closes the pairing lock.
  virtual bool close_lock() = 0;
  // Removes the pairing of `device` (its device index, the slot plus 1).
  virtual bool unpair(int device) = 0;
};

}  // namespace rodiz
