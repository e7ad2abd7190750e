#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "device/ErrorCode.h"
#include "runtime/Producer.h"
#include "support/FakeChannel.h"
#include "transport/IHardwareBus.h"

namespace rodiz::test {

// A bus whose devices the test plugs and unplugs by hand; events are raised on
// the calling thread. Enumeration can be made to fail.
class FakeBus : public IHardwareBus,
                public Producer<IHardwareBus::PlugUnplug>,
                public std::enable_shared_from_this<FakeBus> {
 public:
  std::vector<std::shared_ptr<IHardwareDevice>> devices() override;
  bool wants_combiner() override { return wants_combiner_; }

  void set_wants_combiner(bool wants) { wants_combiner_ = wants; }
  // devices() fails with `code` (NoError: works).
  void fail_enumeration(ErrorCode code) { failure_ = code; }
  void plug(std::shared_ptr<IHardwareDevice> device);
  void unplug(const std::shared_ptr<IHardwareDevice>& device);
  void power_change(bool standby);
  int enumerations() const { return enumerations_; }

 private:
  std::mutex lock_;
  std::vector<std::shared_ptr<IHardwareDevice>> devices_;
  bool wants_combiner_ = false;
  ErrorCode failure_ = NoError;
  int enumerations_ = 0;
};

}  // namespace rodiz::test
