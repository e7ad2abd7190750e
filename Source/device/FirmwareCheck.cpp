#include "device/FirmwareCheck.h"

#include <cstdint>
#include <cstdio>

#include "device/Device.h"
#include "device/LastError.h"
#include "features/Feature.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Device";
}  // namespace

#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

FirmwareCheck::FirmwareCheck(Device& device) : device_(device) {}

std::string FirmwareCheck::read_fwinfo(bool cached) {
  DLOG(LogInfo, "read_fwinfo enter, cached=%d", cached);
  std::shared_ptr<IFeature0003FirmwareInfo> info = device_.feature<IFeature0003FirmwareInfo>();
  if (!info) {
    if (last_error_code() == FeatureNotSupported) {
      DLOG(LogInfo, "read_fwinfo returning NotPresent");
      return "NotPresent";
    }
    DLOG(LogInfo, "read_fwinfo returning error=%d", last_error_code());
    return std::string();
  }
  const int cache_mode = cached ? 1 : 0;
  auto identity = [](int type, const std::string& prefix, const std::string& version, const std::string& build) {
    return std::to_string(type) + prefix + version + build;
  };
  auto unit_text = [](std::uint32_t unit) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", unit);
    return std::string(text);
  };

  auto base = std::dynamic_pointer_cast<Feature>(info);
  if (base && base->version() >= 1) {
    int count = 0;
    std::uint32_t unit = 0;
    if (!info->GetEntityCount(&count, &unit, nullptr, nullptr, nullptr, nullptr, nullptr, cache_mode)) {
      return std::string();
    }
    auto try_entity = [&](int entity, std::string& out) {
      int type = 0;
      int rdnf = 0;
      std::string prefix, version, build;
      if (!info->GetFwInfo(entity, &type, &prefix, &version, &build, &rdnf, static_cast<std::vector<Byte>*>(nullptr),
                           cache_mode)) {
        return false;
      }
      if ((rdnf & 1) == 0) return false;
      out = identity(type, prefix, version, build) + unit_text(unit);
      return true;
    };
    std::string result;
    bool found = active_entity_ < count && try_entity(active_entity_, result);
    for (int entity = 0; !found && entity < count; ++entity) {
      if (entity == active_entity_) continue;
      if (try_entity(entity, result)) {
        active_entity_ = entity;
        found = true;
      }
    }
    if (found) {
      DLOG(LogInfo, "read_fwinfo returning %s", result.c_str());
      return result;
    }
  }
  int type = 0;
  int rdnf = 0;
  std::string prefix, version, build;
  if (!info->GetFwInfo(0, &type, &prefix, &version, &build, &rdnf, static_cast<std::vector<Byte>*>(nullptr),
                       cache_mode)) {
    return std::string();
  }
  const std::string result = identity(type, prefix, version, build);
  DLOG(LogInfo, "read_fwinfo returning %s", result.c_str());
  return result;
}

bool FirmwareCheck::load_fwinfo(bool cache_present) {
  if (!fwinfo_.empty()) return true;
  fwinfo_ = read_fwinfo(true);
  if (fwinfo_.empty()) return false;
  if (cache_present) device_.engine_.request_fwcheck();
  // The device's own view of its connection decides, not the channel's: a
  // channel can be up while the device behind it was reported gone. Answers
  // read from a cache file are confirmed at once all the same: after a
  // firmware update the file is always stale, and a check deferred to the
  // first uncached command would fail that command instead.
  const bool from_file = cache_present && device_.take_cache_file_loaded();
  if ((device_.connection_.reported_connected() || from_file) && !do_fwcheck()) {
    DLOG(LogInfo, "load_fwinfo failing (do_fwcheck failed)");
    return false;
  }
  return true;
}

bool FirmwareCheck::do_fwcheck() {
  DLOG(LogInfo, "do_fwcheck entry");
  if (fwinfo_.empty()) {
    DLOG(LogInfo, "do_fwcheck exit, true, skipping check due to initial fwinfo not read yet");
    return true;
  }
  if (in_fwcheck_) {
    DLOG(LogInfo, "do_fwcheck exit, true, skipping check due to being recursively called");
    return true;
  }
  in_fwcheck_ = true;
  std::string current = read_fwinfo(false);
  if (current.empty()) {
    DLOG(LogInfo, "do_fwcheck error reading fw info, err=%d", last_error_code());
    if (!device_.table_.load_feature(IFeature0003FirmwareInfo::kFeatureId, 0)) {
      DLOG(LogInfo, "do_fwcheck exit, false, error loading 0x0003 feature, err=%d", last_error_code());
      in_fwcheck_ = false;
      return false;
    }
    current = read_fwinfo(false);
  }
  in_fwcheck_ = false;
  if (current.empty()) {
    DLOG(LogInfo, "do_fwcheck exit, false, error reading fw info, err=%d", last_error_code());
    return false;
  }
  device_.engine_.fwcheck_done();
  if (current == fwinfo_) {
    DLOG(LogInfo, "do_fwcheck exit, true, fw version matched (%s)", current.c_str());
    return true;
  }
  const std::string old = fwinfo_;
  device_.forget();
  fwinfo_.clear();
  device_.engine_.mark_cache_dirty();
  device_.fire_firmware_changed();
  DLOG(LogInfo, "do_fwcheck exit, false, FwVersionChanged (old=%s new=%s)", old.c_str(), current.c_str());
  set_last_error(FwVersionChanged);
  return false;
}

}  // namespace rodiz
