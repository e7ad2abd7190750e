#include "features/Feature00c0DFUControl.h"

#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

Feature00c0DFUControl::Feature00c0DFUControl(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature00c0DFUControl::EnterDfu() {
  std::vector<Byte> response;
  return sendFeatureCommand(0, {'D', 'F', 'U'}, response, 0);
}

void Feature00c0DFUControl::onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) {
  xLogWrite("Feature00c0DFUControl", LogInfo, "rodiz::Feature00c0DFUControl::onUnexpectedResponse",
            "Feature00c0DFUControl::onUnexpectedResponse(func=%d, swid=0x%x)", function, swid);
  if (function != 1) return;
  const auto value =
      static_cast<std::uint16_t>(((payload.size() > 0 ? payload[0] : 0) << 8) | (payload.size() > 1 ? payload[1] : 0));
  const int other = static_cast<int>(swid);
  // Run-loop subscribers are deliberately left out: only immediate ones hear it.
  Producer<IFeature00c0DFUControl::ConfigReport>::produce_immediate_only(
      [other, value](IFeature00c0DFUControl::ConfigReport* s) { s->onDfuControl(other, value); });
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(00c0, Feature00c0DFUControl)
