#include "features/Feature0020ConfigChange.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

Feature0020ConfigChange::Feature0020ConfigChange(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature0020ConfigChange::GetCookie(std::uint16_t* cookie) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(0, {}, response, 0)) return false;
  if (response.size() < 2) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (cookie) *cookie = static_cast<std::uint16_t>((response[0] << 8) | response[1]);
  return true;
}

bool Feature0020ConfigChange::SetCookie(std::uint16_t cookie) {
  std::vector<Byte> response;
  return sendFeatureCommand(1, {static_cast<Byte>(cookie >> 8), static_cast<Byte>(cookie & 0xFF)}, response, 0);
}

void Feature0020ConfigChange::onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) {
  xLogWrite("Feature0020ConfigChange", LogInfo, "rodiz::Feature0020ConfigChange::onUnexpectedResponse",
            "Feature0020ConfigChange::onUnexpectedResponse(func=%d, swid=0x%x)", function, swid);
  if (function != 1) return;
  // The echo of another program's SetCookie carries the cookie it wrote.
  const auto cookie =
      static_cast<std::uint16_t>(((payload.size() > 0 ? payload[0] : 0) << 8) | (payload.size() > 1 ? payload[1] : 0));
  Producer<IFeature0020ConfigChange::ConfigReport>::produce(
      [cookie, swid](IFeature0020ConfigChange::ConfigReport* s) { s->onCookieSet(cookie, swid); },
      "Feature0020ConfigChange::ConfigReport::onCookieSet");
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(0020, Feature0020ConfigChange)
