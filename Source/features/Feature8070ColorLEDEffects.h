#pragma once

#include "features/Feature.h"
#include "features/IFeature8070ColorLEDEffects.h"

namespace rodiz {

class Feature8070ColorLEDEffects : public Feature,
                                   public IFeature8070ColorLEDEffects,
                                   public Producer<IFeature8070ColorLEDEffects::Report> {
 public:
  Feature8070ColorLEDEffects(int index, std::weak_ptr<Device> device);

  bool Function0(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function1(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function14(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function2(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function3(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool GetNvConfig(int id, Byte* b2, Byte* b3, Byte* b4) override;
  bool SetNvConfig(int id, Byte a, Byte b, Byte c) override;
  bool Function6(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function7(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function8(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function9(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function10(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function11(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function12(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  bool Function13(const std::vector<Byte>& params, std::vector<Byte>* response) override;
  void onFeatureReport(unsigned function, const std::vector<Byte>& payload) override;

 private:
  // The feature sits at an index the device reported (1..254).
  bool present();
};

}  // namespace rodiz
