#pragma once

#include "transport/IHardwareBus.h"

namespace rodiz {

// A bus that depends on the notifications of another bus.
class IHardwareSecondaryBus : public IHardwareBus {
 public:
  virtual void process_wm_devicechange(unsigned /*event*/, const void* /*header*/) {}
};

}  // namespace rodiz
