#include "features/Feature0000Root.h"

#include <algorithm>

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Feature0000Root";
}

Feature0000Root::Feature0000Root(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature0000Root::GetFeature(int featureId, int* featureIndex, bool* obsolete, bool* hidden, bool* engineering,
                                 int* version, int cache_mode) {
  std::vector<Byte> response;
  const std::vector<Byte> params{static_cast<Byte>((featureId >> 8) & 0xFF), static_cast<Byte>(featureId & 0xFF)};
  if (!sendFeatureCommand(0, params, response, cache_mode)) return false;
  response.resize(std::max<std::size_t>(response.size(), 3), 0);
  const int index = response[0];
  const bool is_obsolete = (response[1] & 0x80) != 0;
  const bool is_hidden = (response[1] & 0x40) != 0;
  const bool is_engineering = (response[1] & 0x20) != 0;
  const int feature_version = response[2];
  if (featureIndex) *featureIndex = index;
  if (obsolete) *obsolete = is_obsolete;
  if (hidden) *hidden = is_hidden;
  if (engineering) *engineering = is_engineering;
  if (version) *version = feature_version;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0000Root::GetFeature",
            "Feature0000Root::GetFeature(featureId = 0x%08x, *featureIndex = %d, *obsolete = %d, *hidden = %d, "
            "*engineering = %d, *version = %d)",
            static_cast<unsigned>(featureId), index, is_obsolete, is_hidden, is_engineering, feature_version);
  return true;
}

bool Feature0000Root::GetProtocolVersion(Byte ping, int* protocol, int* targetsw, int* ping_received) {
  std::vector<Byte> response;
  // With ping data 0 the answer never changes, so it may come from the cache.
  if (!sendFeatureCommand(1, {0x00, 0x00, ping}, response, ping == 0 ? 1 : 0)) return false;
  if (response.size() < 3) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (protocol) *protocol = response[0];
  if (targetsw) *targetsw = response[1];
  if (ping_received) *ping_received = response[2];
  xLogWrite(kTag, LogInfo, "rodiz::Feature0000Root::GetProtocolVersion",
            "Feature0000Root::GetProtocolVersion(ping_sent = %d, *protocol = %d, *targetsw = %d, *ping_received = %d",
            ping, response[0], response[1], response[2]);
  return true;
}

bool Feature0000Root::TargetSw(int* protocol, int* targetsw) {
  if (!target_known_) {
    if (!GetProtocolVersion(0, &protocol_, &targetsw_, nullptr)) return false;
    target_known_ = true;
  }
  if (protocol) *protocol = protocol_;
  if (targetsw) *targetsw = targetsw_;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0000Root::TargetSw",
            "Feature0000Root::TargetSw(*protocol = %d, *targetsw = %d", protocol_, targetsw_);
  return true;
}

bool Feature0000Root::Ping(Byte data) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(1, {0x00, 0x00, data}, response, 0, {2})) return false;
  if (response.size() < 3) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (response[2] != data) {
    set_last_error(PingMismatch);
    return false;
  }
  xLogWrite(kTag, LogInfo, "rodiz::Feature0000Root::Ping", "Feature0000Root::Ping(%d)", data);
  return true;
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(0000, Feature0000Root)
