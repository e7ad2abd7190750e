#pragma once

namespace rodiz {

// FeatureSet 0x0001: enumerates the device's feature table.
class IFeature0001FeatureSet {
 public:
  static constexpr int kFeatureId = 0x0001;

  virtual ~IFeature0001FeatureSet() = default;
  // The highest feature index.
  virtual bool GetCount(int* count) = 0;
  virtual bool GetFeatureID(int featureIndex, int* featureId, bool* engineering, bool* hidden, bool* obsolete,
                            int* version) = 0;
};

}  // namespace rodiz
