#pragma once

#include <cstdint>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// OnboardProfiles 0x8100: the profiles a mouse keeps in its own memory,
// organised in sectors read 16 bytes at a time and written in three steps.
class IFeature8100OnboardProfiles {
 public:
  static constexpr int kFeatureId = 0x8100;

  using ProfileId = std::uint16_t;

  struct Info {
    int info[6] = {0, 0, 0, 0, 0, 0};  // answer bytes 0..5
    int sectorCount = 0;               // byte 6
    int sectorSize = 0;                // bytes 7..8
    bool flagA = false;                // bits 0-1 of byte 9 equal 2
    bool flagB = false;                // bits 2-3 of byte 9 equal 2
  };

  class Report {
   public:
    virtual void onProfileActivated(ProfileId /*profile*/) {}
    virtual void onActiveProfileResolutionChanged(int /*index*/) {}
    virtual ~Report() = default;
  };

  virtual ~IFeature8100OnboardProfiles() = default;
  virtual bool GetOnboardProfilesInfo(Info* info) = 0;
  virtual bool SetOnboardMode(bool onboard) = 0;
  virtual bool IsOnboardMode(bool* onboard) = 0;
  virtual bool SetActiveProfile(int profile) = 0;
  virtual bool GetActiveProfile(int* profile) = 0;
  // 16 bytes of `sector` from `sectorAddr`.
  virtual bool ReadData(int sector, int sectorAddr, std::vector<Byte>* data) = 0;
  virtual bool BeginWrite(int sector, int sectorAddr, int count) = 0;
  // At most 16 bytes, zero-filled to 16 on the wire.
  virtual bool WriteData(const std::vector<Byte>& data, int* result) = 0;
  virtual bool EndWrite() = 0;
  virtual bool ExecuteMacro(int a, int b) = 0;
  virtual bool GetCRC(int sector, std::vector<Byte>* crc) = 0;
  virtual bool GetActiveProfileResolution(int* index) = 0;
  virtual bool SetActiveProfileResolution(int index) = 0;
};

}  // namespace rodiz
