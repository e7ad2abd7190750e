// Feeds arbitrary notifications and foreign answers to every registered
// feature class, as a hostile or broken device would send them: their
// decoders must never read past the parameters.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "features/Feature.h"
#include "features/FeatureRegistry.h"

namespace {

// Subscribes to nothing: decoding runs before any subscriber is asked.
std::vector<std::shared_ptr<rodiz::Feature>> make_features() {
  rodiz::FeatureRegistry::link_all_features();
  std::vector<std::shared_ptr<rodiz::Feature>> features;
  for (int id : rodiz::FeatureRegistry::registered_ids()) features.push_back(rodiz::FeatureRegistry::create(id, 1, {}));
  return features;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::shared_ptr<rodiz::Feature>> features = make_features();
  // Byte 0 picks the feature, byte 1 the function (high nibble) and software
  // id (low nibble, 0 a notification); the rest are the parameters.
  if (size < 2 || features.empty()) return 0;
  rodiz::Feature& feature = *features[data[0] % features.size()];
  const unsigned function = data[1] >> 4;
  const unsigned swid = data[1] & 0x0F;
  const std::vector<rodiz::Byte> params(data + 2, data + size);
  if (swid == 0) {
    feature.dispatch_feature_report(function, 0, params);
  } else {
    feature.dispatch_unexpected_response(function, swid, params);
  }
  return 0;
}
