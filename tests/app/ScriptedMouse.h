#pragma once

#include <memory>
#include <string>

#include "device/Device.h"
#include "features/Feature.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature00c2DFUControl.h"

namespace mirel::test {

// Firmware information that says exactly what a test wants, including
// version texts the device protocol cannot express (one dot, a five-digit
// build).
class ScriptedFirmwareInfo : public rodiz::Feature, public rodiz::IFeature0003FirmwareInfo {
 public:
  ScriptedFirmwareInfo(std::string version, std::uint16_t type6_build)
      : rodiz::Feature(kFeatureId, 1, {}), version_(std::move(version)), type6_build_(type6_build) {}

  bool GetEntityCount(int*, std::uint32_t*, std::uint16_t*, std::uint16_t*, std::uint16_t*, std::uint16_t*, int*,
                      int) override {
    return false;
  }
  bool GetFwInfo(int, int*, std::string*, std::string*, std::string*, int*, std::vector<rodiz::Byte>*, int) override {
    return false;
  }
  bool GetFwInfo(int, int*, std::string*, std::uint16_t*, std::uint16_t*, int*, std::vector<rodiz::Byte>*,
                 int) override {
    return false;
  }
  bool GetFwFormattedVersionByKind(int, std::string*, std::uint16_t*, std::uint16_t*, int*) override { return false; }
  bool GetFwFormattedVersion(std::string* text) override {
    *text = version_;
    return true;
  }
  bool GetFwInfoByType(int type, std::string*, std::uint16_t*, std::uint16_t* build, int*,
                       std::vector<rodiz::Byte>*) override {
    if (type != 6) return false;
    if (build) *build = type6_build_;
    return true;
  }
  bool GetModelId(std::uint32_t*) override { return false; }
  bool GetExtendedModelId(int* id, int) override {
    *id = 0;
    return true;
  }

 private:
  std::string version_;
  std::uint16_t type6_build_;
};

// A control feature that only counts the requests to enter the bootloader.
class CountingDfuControl : public rodiz::Feature, public rodiz::IFeature00c2DFUControl {
 public:
  CountingDfuControl() : rodiz::Feature(kFeatureId, 2, {}) {}
  bool GetDfuControl(bool*) override { return false; }
  bool SetDfuControl(rodiz::Byte, rodiz::Byte) override {
    ++requests;
    return true;
  }
  int requests = 0;
};

// A mouse in application mode whose firmware information and control
// feature are scripted; every other feature is absent, so that nothing waits
// for answers that a scripted channel never gives.
class ScriptedMouse : public rodiz::Device {
 public:
  ScriptedMouse(std::string version, std::uint16_t type6_build);
  std::shared_ptr<rodiz::IFeature> feature_by_id(int id) override;

  std::shared_ptr<ScriptedFirmwareInfo> info;
  std::shared_ptr<CountingDfuControl> control;
};

}  // namespace mirel::test
