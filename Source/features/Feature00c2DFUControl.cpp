#include "features/Feature00c2DFUControl.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

Feature00c2DFUControl::Feature00c2DFUControl(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature00c2DFUControl::GetDfuControl(bool* value) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(0, {}, response, 0)) {
    set_last_error(InternalError);
    return false;
  }
  if (response.size() < 3) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (value) *value = (response[2] & 0x01) != 0;
  return true;
}

bool Feature00c2DFUControl::SetDfuControl(Byte a, Byte b) {
  // One-way: the device reboots instead of answering.
  if (!sendFeatureCommand(1, {a, b, 0x00, 0x00, 'D', 'F', 'U'})) {
    set_last_error(InternalError);
    return false;
  }
  return true;
}

void Feature00c2DFUControl::onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>&) {
  xLogWrite("Feature00c2DFUControl", LogInfo, "rodiz::Feature00c2DFUControl::onUnexpectedResponse",
            "Feature00c2DFUControl::onUnexpectedResponse(func=%d, swid=0x%x)", function, swid);
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(00c2, Feature00c2DFUControl)
