#pragma once

#include "features/Feature.h"
#include "features/IFeature00c0DFUControl.h"

namespace rodiz {

class Feature00c0DFUControl : public Feature,
                              public IFeature00c0DFUControl,
                              public Producer<IFeature00c0DFUControl::ConfigReport> {
 public:
  Feature00c0DFUControl(int index, std::weak_ptr<Device> device);

  bool EnterDfu() override;
  void onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) override;
};

}  // namespace rodiz
