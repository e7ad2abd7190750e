#pragma once

#include "runtime/Producer.h"
#include "transport/IHardwareBus.h"

namespace rodiz {

// A bus that never has devices: the stand-in on a platform whose HID bus is
// not available.
class EmptyBus : public IHardwareBus, public Producer<IHardwareBus::PlugUnplug> {
 public:
  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
};

}  // namespace rodiz
