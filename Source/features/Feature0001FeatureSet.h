#pragma once

#include "features/Feature.h"
#include "features/IFeature0001FeatureSet.h"

namespace rodiz {

class Feature0001FeatureSet : public Feature, public IFeature0001FeatureSet {
 public:
  Feature0001FeatureSet(int index, std::weak_ptr<Device> device);

  bool GetCount(int* count) override;
  bool GetFeatureID(int featureIndex, int* featureId, bool* engineering, bool* hidden, bool* obsolete,
                    int* version) override;
};

}  // namespace rodiz
