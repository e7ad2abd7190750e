#pragma once

#include "features/Feature.h"
#include "features/IFeature0020ConfigChange.h"

namespace rodiz {

class Feature0020ConfigChange : public Feature,
                                public IFeature0020ConfigChange,
                                public Producer<IFeature0020ConfigChange::ConfigReport> {
 public:
  Feature0020ConfigChange(int index, std::weak_ptr<Device> device);

  bool GetCookie(std::uint16_t* cookie) override;
  bool SetCookie(std::uint16_t cookie) override;
  void onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) override;
};

}  // namespace rodiz
