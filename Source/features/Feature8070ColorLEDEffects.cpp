#include "features/Feature8070ColorLEDEffects.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Feature8070ColorLEDEffects";
}

Feature8070ColorLEDEffects::Feature8070ColorLEDEffects(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature8070ColorLEDEffects::present() {
  const int index = feature_index();
  return index >= 1 && index <= 254;
}

bool Feature8070ColorLEDEffects::GetNvConfig(int id, Byte* b2, Byte* b3, Byte* b4) {
  if (!present()) {
    set_last_error(FeatureNotSupported);
    return false;
  }
  std::vector<Byte> p;
  if (!sendFeatureCommand(4, {static_cast<Byte>((id >> 8) & 0xFF), static_cast<Byte>(id & 0xFF)}, p, 0)) {
    xLogWrite(kTag, LogDebug, "rodiz::Feature8070ColorLEDEffects::GetNvConfig",
              "Feature8070ColorLEDEffects::GetNvConfig failed");
    return false;
  }
  if (p.size() < 5) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (b2) *b2 = p[2];
  if (b3) *b3 = p[3];
  if (b4) *b4 = p[4];
  return true;
}

bool Feature8070ColorLEDEffects::SetNvConfig(int id, Byte a, Byte b, Byte c) {
  if (!present()) {
    set_last_error(FeatureNotSupported);
    return false;
  }
  std::vector<Byte> p;
  if (!sendFeatureCommand(5, {static_cast<Byte>((id >> 8) & 0xFF), static_cast<Byte>(id & 0xFF), a, b, c}, p, 0)) {
    xLogWrite(kTag, LogDebug, "rodiz::Feature8070ColorLEDEffects::SetNvConfig",
              "Feature8070ColorLEDEffects::GetNvConfig failed");
    return false;
  }
  return true;
}

void Feature8070ColorLEDEffects::onFeatureReport(unsigned /*function*/, const std::vector<Byte>& payload) {
  Producer<IFeature8070ColorLEDEffects::Report>::produce(
      [payload](IFeature8070ColorLEDEffects::Report* s) { s->onSyncReport(payload); },
      "Feature8070ColorLEDEffects::Report::onSyncReport");
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(8070, Feature8070ColorLEDEffects)
