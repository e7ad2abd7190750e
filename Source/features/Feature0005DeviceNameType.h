#pragma once

#include <string>

#include "features/Feature.h"
#include "features/IFeature0005DeviceNameType.h"

namespace rodiz {

class Feature0005DeviceNameType : public Feature, public IFeature0005DeviceNameType {
 public:
  Feature0005DeviceNameType(int index, std::weak_ptr<Device> device);

  bool GetCount(int* count) override;
  bool GetDeviceName(std::string* name) override;
  bool GetDeviceNameChunk(int offset, std::vector<Byte>* chunk) override;
  bool GetDeviceType(int* type) override;
  bool GetDeviceType(int& type) override;

 private:
  std::string name_;
};

}  // namespace rodiz
