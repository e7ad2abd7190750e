#pragma once

#include "features/Feature.h"
#include "features/IFeature00c1DFUControl.h"

namespace rodiz {

class Feature00c1DFUControl : public Feature,
                              public IFeature00c1DFUControl,
                              public Producer<IFeature00c1DFUControl::ConfigReport> {
 public:
  Feature00c1DFUControl(int index, std::weak_ptr<Device> device);

  bool GetDfuControl(int* value) override;
  bool SetDfuControl(Byte a, Byte b, Byte c, Byte d) override;
  void onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) override;
};

}  // namespace rodiz
