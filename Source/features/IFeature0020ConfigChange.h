#pragma once

#include <cstdint>

namespace rodiz {

// ConfigChange 0x0020: the configuration cookie. A program that configured the
// device writes a random 16-bit cookie; reading it back tells whether the
// settings are still that program's. 0 means nobody.
class IFeature0020ConfigChange {
 public:
  static constexpr int kFeatureId = 0x0020;

  // Another program wrote its cookie.
  class ConfigReport {
   public:
    virtual void onCookieSet(std::uint16_t /*cookie*/, unsigned int /*swid*/) {}
    virtual ~ConfigReport() = default;
  };

  virtual ~IFeature0020ConfigChange() = default;
  virtual bool GetCookie(std::uint16_t* cookie) = 0;
  virtual bool SetCookie(std::uint16_t cookie) = 0;
};

}  // namespace rodiz
