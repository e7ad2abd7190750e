#include "features/Feature0001FeatureSet.h"

#include <algorithm>

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Feature0001FeatureSet";
}

Feature0001FeatureSet::Feature0001FeatureSet(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature0001FeatureSet::GetCount(int* count) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(0, {}, response, 1)) return false;
  if (response.empty()) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (count) *count = response[0];
  xLogWrite(kTag, LogInfo, "rodiz::Feature0001FeatureSet::GetCount", "Feature0001FeatureSet::GetCount(* count = %d)",
            response[0]);
  return true;
}

bool Feature0001FeatureSet::GetFeatureID(int featureIndex, int* featureId, bool* engineering, bool* hidden,
                                         bool* obsolete, int* version) {
  std::vector<Byte> response;
  if (!sendFeatureCommand(1, {static_cast<Byte>(featureIndex)}, response, 1)) return false;
  response.resize(std::max<std::size_t>(response.size(), 4), 0);
  const int id = (response[0] << 8) | response[1];
  const bool is_obsolete = (response[2] & 0x80) != 0;
  const bool is_hidden = (response[2] & 0x40) != 0;
  const bool is_engineering = (response[2] & 0x20) != 0;
  const int feature_version = response[3];
  if (featureId) *featureId = id;
  if (engineering) *engineering = is_engineering;
  if (hidden) *hidden = is_hidden;
  if (obsolete) *obsolete = is_obsolete;
  if (version) *version = feature_version;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0001FeatureSet::GetFeatureID",
            "Feature0001FeatureSet::GetFeatureID(featureIndex = %d, *featureID = 0x%08x, *engineeringHidden = %d, "
            "*swHidden = %d, *obsolete = %d, *version = %d)",
            featureIndex, static_cast<unsigned>(id), is_engineering, is_hidden, is_obsolete, feature_version);
  return true;
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(0001, Feature0001FeatureSet)
