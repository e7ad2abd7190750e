#include "features/Feature8100OnboardProfiles.h"

#include <string>

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Feature8100OnboardProfiles";

Byte high(int value) { return static_cast<Byte>((value >> 8) & 0xFF); }
Byte low(int value) { return static_cast<Byte>(value & 0xFF); }

}  // namespace

Feature8100OnboardProfiles::Feature8100OnboardProfiles(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature8100OnboardProfiles::exchange(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& answer,
                                          std::size_t needed, const char* operation, bool log_failure) {
  if (!sendFeatureCommand(function, params, answer, 0)) {
    if (log_failure) {
      const std::string function_name = std::string("rodiz::Feature8100OnboardProfiles::") + operation;
      xLogWrite(kTag, LogDebug, function_name.c_str(), "Feature8100OnboardProfiles::%s failed", operation);
    }
    return false;
  }
  if (answer.size() < needed) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  return true;
}

bool Feature8100OnboardProfiles::GetOnboardProfilesInfo(Info* info) {
  std::vector<Byte> p;
  if (!exchange(0, {}, p, 10, "GetOnboardProfilesInfo")) return false;
  if (info) {
    for (int i = 0; i < 6; ++i) info->info[i] = p[static_cast<std::size_t>(i)];
    info->sectorCount = p[6];
    info->sectorSize = (p[7] << 8) | p[8];
    info->flagA = (p[9] & 0x03) == 2;
    info->flagB = (p[9] & 0x0C) == 8;
  }
  return true;
}

bool Feature8100OnboardProfiles::SetOnboardMode(bool onboard) {
  std::vector<Byte> p;
  return exchange(1, {static_cast<Byte>(onboard ? 1 : 2)}, p, 0, "SetOnboardMode");
}

bool Feature8100OnboardProfiles::IsOnboardMode(bool* onboard) {
  std::vector<Byte> p;
  if (!exchange(2, {}, p, 1, "IsOnboardMode")) return false;
  if (onboard) *onboard = p[0] == 1;
  return true;
}

bool Feature8100OnboardProfiles::SetActiveProfile(int profile) {
  std::vector<Byte> p;
  return exchange(3, {high(profile), low(profile)}, p, 0, "SetActiveProfile");
}

bool Feature8100OnboardProfiles::GetActiveProfile(int* profile) {
  std::vector<Byte> p;
  if (!exchange(4, {}, p, 2, "GetActiveProfile")) return false;
  const int value = (p[0] << 8) | p[1];
  if (profile) *profile = value;
  xLogWrite(kTag, LogDebug, "rodiz::Feature8100OnboardProfiles::GetActiveProfile",
            "Feature8100OnboardProfiles::GetActiveProfile returned 0x%x", static_cast<unsigned>(value));
  return true;
}

bool Feature8100OnboardProfiles::ReadData(int sector, int sectorAddr, std::vector<Byte>* data) {
  std::vector<Byte> p;
  if (!exchange(5, {high(sector), low(sector), high(sectorAddr), low(sectorAddr)}, p, 0, "ReadData")) return false;
  if (p.size() < 16) {
    xLogWrite(kTag, LogDebug, "rodiz::Feature8100OnboardProfiles::ReadData",
              "Feature8100OnboardProfiles::ReadData returned too few bytes (%d)", static_cast<int>(p.size()));
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (data) *data = p;
  xLogWrite(kTag, LogDebug, "rodiz::Feature8100OnboardProfiles::ReadData",
            "Feature8100OnboardProfiles::ReadData read %d bytes from sector %d sectorAddr %d",
            static_cast<int>(p.size()), sector, sectorAddr);
  return true;
}

bool Feature8100OnboardProfiles::BeginWrite(int sector, int sectorAddr, int count) {
  std::vector<Byte> p;
  return exchange(6, {high(sector), low(sector), high(sectorAddr), low(sectorAddr), high(count), low(count)}, p, 0,
                  "BeginWrite");
}

bool Feature8100OnboardProfiles::WriteData(const std::vector<Byte>& data, int* result) {
  if (data.empty() || data.size() > 16) {
    xLogWrite(kTag, LogDebug, "rodiz::Feature8100OnboardProfiles::WriteData",
              "Feature8100OnboardProfiles::WriteData invalid parameter");
    set_last_error(ParameterSizeMismatch);
    return false;
  }
  std::vector<Byte> params = data;
  params.resize(16, 0);
  std::vector<Byte> p;
  if (!exchange(7, params, p, 2, "WriteData")) return false;
  if (result) *result = (p[0] << 8) | p[1];
  return true;
}

bool Feature8100OnboardProfiles::EndWrite() {
  std::vector<Byte> p;
  return exchange(8, {}, p, 0, "EndWrite");
}

bool Feature8100OnboardProfiles::ExecuteMacro(int a, int b) {
  std::vector<Byte> p;
  return exchange(9, {high(a), low(a), high(b), low(b)}, p, 0, "ExecuteMacro");
}

bool Feature8100OnboardProfiles::GetCRC(int sector, std::vector<Byte>* crc) {
  std::vector<Byte> p;
  if (!exchange(10, {high(sector), low(sector)}, p, 0, "GetCRC", false)) return false;
  if (crc) *crc = p;
  return true;
}

bool Feature8100OnboardProfiles::GetActiveProfileResolution(int* index) {
  std::vector<Byte> p;
  if (!exchange(11, {}, p, 1, "GetActiveProfileResolution")) return false;
  if (index) *index = p[0];
  return true;
}

bool Feature8100OnboardProfiles::SetActiveProfileResolution(int index) {
  std::vector<Byte> p;
  return exchange(12, {low(index)}, p, 0, "SetActiveProfileResolution");
}

void Feature8100OnboardProfiles::onFeatureReport(unsigned function, const std::vector<Byte>& payload) {
  if (payload.empty()) return;
  if (function == 0) {
    const auto profile = static_cast<ProfileId>((payload[0] << 8) | (payload.size() > 1 ? payload[1] : 0));
    Producer<IFeature8100OnboardProfiles::Report>::produce(
        [profile](IFeature8100OnboardProfiles::Report* s) { s->onProfileActivated(profile); },
        "Feature8100OnboardProfiles::Report::onProfileActivated");
  } else if (function == 1) {
    const int index = payload[0];
    Producer<IFeature8100OnboardProfiles::Report>::produce(
        [index](IFeature8100OnboardProfiles::Report* s) { s->onActiveProfileResolutionChanged(index); },
        "Feature8100OnboardProfiles::Report::onActiveProfileResolutionChanged");
  }
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(8100, Feature8100OnboardProfiles)
