#include "features/Feature0005DeviceNameType.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Feature0005DeviceNameType";
}

Feature0005DeviceNameType::Feature0005DeviceNameType(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature0005DeviceNameType::GetCount(int* count) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(0, {}, response, 1)) return false;
  if (response.empty()) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (count) *count = response[0];
  xLogWrite(kTag, LogInfo, "rodiz::Feature0005DeviceNameType::GetCount",
            "Feature0005DeviceNameType::GetCount(*count = %d)", response[0]);
  return true;
}

bool Feature0005DeviceNameType::GetDeviceNameChunk(int offset, std::vector<Byte>* chunk) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(1, {static_cast<Byte>(offset)}, response, 1)) return false;
  if (chunk) *chunk = response;
  return true;
}

bool Feature0005DeviceNameType::GetDeviceName(std::string* name) {
  int count = 0;
  if (!GetCount(&count)) return false;
  name_.clear();
  int offset = 0;
  while (offset < count) {
    std::vector<Byte> chunk;
    if (!GetDeviceNameChunk(offset, &chunk)) return false;
    if (chunk.empty()) {
      set_last_error(EmptyResponse);
      return false;
    }
    name_.append(chunk.begin(), chunk.end());
    offset += static_cast<int>(chunk.size());
  }
  if (name_.size() > static_cast<std::size_t>(count)) name_.resize(static_cast<std::size_t>(count));
  if (name) *name = name_;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0005DeviceNameType::GetDeviceName",
            "Feature0005DeviceNameType::GetDeviceName(*name = %s)", name_.c_str());
  return true;
}

bool Feature0005DeviceNameType::GetDeviceType(int* type) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(2, {}, response, 1)) return false;
  if (response.empty()) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (type) *type = response[0];
  xLogWrite(kTag, LogInfo, "rodiz::Feature0005DeviceNameType::GetDeviceType",
            "Feature0005DeviceNameType::GetDeviceType(*type = %d)", response[0]);
  return true;
}

bool Feature0005DeviceNameType::GetDeviceType(int& type) { return GetDeviceType(&type); }

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(0005, Feature0005DeviceNameType)
