#pragma once

#include "features/Feature.h"
#include "features/IFeature0000Root.h"

namespace rodiz {

class Feature0000Root : public Feature, public IFeature0000Root {
 public:
  Feature0000Root(int index, std::weak_ptr<Device> device);

  bool GetFeature(int featureId, int* featureIndex, bool* obsolete, bool* hidden, bool* engineering, int* version,
                  int cache_mode) override;
  bool GetProtocolVersion(Byte ping, int* protocol, int* targetsw, int* ping_received) override;
  bool TargetSw(int* protocol, int* targetsw) override;
  bool Ping(Byte data) override;

 private:
  bool target_known_ = false;
  int protocol_ = 0;
  int targetsw_ = 0;
};

}  // namespace rodiz
