#include "features/Feature00c1DFUControl.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

Feature00c1DFUControl::Feature00c1DFUControl(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature00c1DFUControl::GetDfuControl(int* value) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(0, {}, response, 0)) return false;
  if (response.size() < 2) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (value) *value = response[1];
  return true;
}

bool Feature00c1DFUControl::SetDfuControl(Byte a, Byte b, Byte c, Byte d) {
  std::vector<Byte> response;
  return sendFeatureCommand(1, {a, b, c, d, 'D', 'F', 'U'}, response, 0);
}

void Feature00c1DFUControl::onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>&) {
  xLogWrite("Feature00c1DFUControl", LogInfo, "rodiz::Feature00c1DFUControl::onUnexpectedResponse",
            "Feature00c1DFUControl::onUnexpectedResponse(func=%d, swid=0x%x)", function, swid);
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(00c1, Feature00c1DFUControl)
