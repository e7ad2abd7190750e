#pragma once

#include "features/Feature.h"
#include "features/IFeature1D4BWirelessStatus.h"

namespace rodiz {

class Feature1D4BWirelessStatus : public Feature,
                                  public IFeature1D4BWirelessStatus,
                                  public Producer<IFeature1D4BWirelessStatus::Report> {
 public:
  Feature1D4BWirelessStatus(int index, std::weak_ptr<Device> device);

  void onFeatureReport(unsigned function, const std::vector<Byte>& payload) override;
};

}  // namespace rodiz
