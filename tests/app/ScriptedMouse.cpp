#include "app/ScriptedMouse.h"

#include "support/FakeChannel.h"

namespace mirel::test {

ScriptedMouse::ScriptedMouse(std::string version, std::uint16_t type6_build)
    : rodiz::Device(std::weak_ptr<rodiz::IDeviceManager>(), std::make_shared<rodiz::test::FakeChannel>(0xC087)),
      info(std::make_shared<ScriptedFirmwareInfo>(std::move(version), type6_build)),
      control(std::make_shared<CountingDfuControl>()) {}

std::shared_ptr<rodiz::IFeature> ScriptedMouse::feature_by_id(int id) {
  if (id == rodiz::IFeature0003FirmwareInfo::kFeatureId) return info;
  if (id == rodiz::IFeature00c2DFUControl::kFeatureId) return control;
  return nullptr;
}

}  // namespace mirel::test
