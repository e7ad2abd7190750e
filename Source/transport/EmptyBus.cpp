#include "transport/EmptyBus.h"

#include "device/LastError.h"

namespace rodiz {

std::vector<std::shared_ptr<IHardwareDevice>> EmptyBus::devices() {
  clear_last_error();
  return {};
}

}  // namespace rodiz
