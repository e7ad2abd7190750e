#pragma once

#include <mutex>
#include <vector>

#include "features/Feature.h"
#include "features/IFeature40A2FnInversion.h"

namespace rodiz {

class Feature40A2FnInversion : public Feature,
                               public IFeature40A2FnInversion,
                               public Producer<IFeature40A2FnInversion::SettingChange> {
 public:
  Feature40A2FnInversion(int index, std::weak_ptr<Device> device);

  bool GetGlobalFnInversion(bool* inverted, bool* second) override;
  bool SetGlobalFnInversion(Byte value) override;

  // Writes the kept values in order; stops at the first failure and keeps
  // that value and the later ones.
  bool process_pending_changes(bool device_configured) override;
  void onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) override;

 private:
  // Claims the configuration and writes `value` now.
  bool SetGlobalFnInversionNow(Byte value);

  // Values not written because the device was not connected, oldest first.
  std::mutex pending_lock_;
  std::vector<Byte> pending_values_;
};

}  // namespace rodiz
