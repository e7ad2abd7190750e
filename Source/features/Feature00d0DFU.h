#pragma once

#include "features/Feature.h"
#include "features/IFeature00d0DFU.h"

namespace rodiz {

class Feature00d0DFU : public Feature, public IFeature00d0DFU, public Producer<IFeature00d0DFU::Report> {
 public:
  // Parameter bytes an event needs: the status is byte 4.
  static constexpr std::size_t kStatusDataSize = 5;

  Feature00d0DFU(int index, std::weak_ptr<Device> device);

  bool DFUStart(std::vector<Byte> packet, int* status, std::vector<Byte>* response) override;
  bool DFUSendPacket(std::uint32_t n, std::vector<Byte> packet) override;
  bool DFURestart(Byte b) override;
  // Status notifications of the bootloader.
  void onFeatureReport(unsigned function, const std::vector<Byte>& payload) override;

 private:
  void raise_status(std::uint32_t packet_number, const std::vector<Byte>& data);
};

}  // namespace rodiz
