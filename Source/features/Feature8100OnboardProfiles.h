#pragma once

#include "features/Feature.h"
#include "features/IFeature8100OnboardProfiles.h"

namespace rodiz {

class Feature8100OnboardProfiles : public Feature,
                                   public IFeature8100OnboardProfiles,
                                   public Producer<IFeature8100OnboardProfiles::Report> {
 public:
  Feature8100OnboardProfiles(int index, std::weak_ptr<Device> device);

  bool GetOnboardProfilesInfo(Info* info) override;
  bool SetOnboardMode(bool onboard) override;
  bool IsOnboardMode(bool* onboard) override;
  bool SetActiveProfile(int profile) override;
  bool GetActiveProfile(int* profile) override;
  bool ReadData(int sector, int sectorAddr, std::vector<Byte>* data) override;
  bool BeginWrite(int sector, int sectorAddr, int count) override;
  bool WriteData(const std::vector<Byte>& data, int* result) override;
  bool EndWrite() override;
  bool ExecuteMacro(int a, int b) override;
  bool GetCRC(int sector, std::vector<Byte>* crc) override;
  bool GetActiveProfileResolution(int* index) override;
  bool SetActiveProfileResolution(int index) override;
  void onFeatureReport(unsigned function, const std::vector<Byte>& payload) override;

 private:
  // Sends `function` and checks the answer holds `needed` bytes; logs a
  // failed command under `operation` ("GetActiveProfile", ...).
  bool exchange(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& answer, std::size_t needed,
                const char* operation, bool log_failure = true);
};

}  // namespace rodiz
