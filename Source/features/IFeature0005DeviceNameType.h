#pragma once

#include <string>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// DeviceNameType 0x0005: the device's marketing name and its type.
class IFeature0005DeviceNameType {
 public:
  static constexpr int kFeatureId = 0x0005;

  virtual ~IFeature0005DeviceNameType() = default;
  // Length of the name.
  virtual bool GetCount(int* count) = 0;
  virtual bool GetDeviceName(std::string* name) = 0;
  virtual bool GetDeviceNameChunk(int offset, std::vector<Byte>* chunk) = 0;
  virtual bool GetDeviceType(int* type) = 0;
  virtual bool GetDeviceType(int& type) = 0;
};

}  // namespace rodiz
