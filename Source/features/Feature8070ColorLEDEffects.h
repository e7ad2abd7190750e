#pragma once

#include "features/Feature.h"
#include "features/IFeature8070ColorLEDEffects.h"

namespace rodiz {

class Feature8070ColorLEDEffects : public Feature,
                                   public IFeature8070ColorLEDEffects,
                                   public Producer<IFeature8070ColorLEDEffects::Report> {
 public:
  Feature8070ColorLEDEffects(int index, std::weak_ptr<Device> device);

  bool GetNvConfig(int id, Byte* b2, Byte* b3, Byte* b4) override;
  bool SetNvConfig(int id, Byte a, Byte b, Byte c) override;
  void onFeatureReport(unsigned function, const std::vector<Byte>& payload) override;

 private:
  // The feature sits at an index the device reported (1..254).
  bool present();
};

}  // namespace rodiz
