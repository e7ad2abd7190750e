#include "features/Feature1D4BWirelessStatus.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

Feature1D4BWirelessStatus::Feature1D4BWirelessStatus(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

void Feature1D4BWirelessStatus::onFeatureReport(unsigned /*function*/, const std::vector<Byte>& payload) {
  xLogWrite("Feature1D4BWirelessStatus", LogInfo, "rodiz::Feature1D4BWirelessStatus::onFeatureReport",
            "Feature1D4BWirelessStatus::onFeatureReport");
  if (payload.size() < 3) {
    set_last_error(CommandResponseTooShort);
    return;
  }
  const bool reconnect = payload[0] == 1;
  const bool config_needed = payload[1] == 1;
  const bool powerswitch = payload[2] == 1;
  Producer<IFeature1D4BWirelessStatus::Report>::produce(
      [=](IFeature1D4BWirelessStatus::Report* s) { s->onWirelessStatusEvent(reconnect, config_needed, powerswitch); },
      "Feature1D4BWirelessStatus::Report::onWirelessStatusEvent");
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(1D4B, Feature1D4BWirelessStatus)
