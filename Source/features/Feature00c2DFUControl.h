#pragma once

#include "features/Feature.h"
#include "features/IFeature00c2DFUControl.h"

namespace rodiz {

class Feature00c2DFUControl : public Feature,
                              public IFeature00c2DFUControl,
                              public Producer<IFeature00c2DFUControl::ConfigReport> {
 public:
  Feature00c2DFUControl(int index, std::weak_ptr<Device> device);

  bool GetDfuControl(bool* value) override;
  bool SetDfuControl(Byte a, Byte b) override;
  void onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) override;
};

}  // namespace rodiz
