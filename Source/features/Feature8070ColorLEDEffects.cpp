#include "features/Feature8070ColorLEDEffects.h"

#include "device/LastError.h"
#include "features/CatalogueCommand.h"
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

bool Feature8070ColorLEDEffects::Function0(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function0", 0, params, response);
}

bool Feature8070ColorLEDEffects::Function1(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function1", 1, params, response);
}

bool Feature8070ColorLEDEffects::Function14(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function14", 14, params, response);
}

bool Feature8070ColorLEDEffects::Function2(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function2", 2, params, response);
}

bool Feature8070ColorLEDEffects::Function3(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function3", 3, params, response);
}

bool Feature8070ColorLEDEffects::Function6(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function6", 6, params, response);
}

bool Feature8070ColorLEDEffects::Function7(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function7", 7, params, response);
}

bool Feature8070ColorLEDEffects::Function8(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function8", 8, params, response);
}

bool Feature8070ColorLEDEffects::Function9(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function9", 9, params, response);
}

bool Feature8070ColorLEDEffects::Function10(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function10", 10, params, response);
}

bool Feature8070ColorLEDEffects::Function11(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function11", 11, params, response);
}

bool Feature8070ColorLEDEffects::Function12(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function12", 12, params, response);
}

bool Feature8070ColorLEDEffects::Function13(const std::vector<Byte>& params, std::vector<Byte>* response) {
  return CatalogueCommand::exchange(*this, kTag, "Function13", 13, params, response);
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
