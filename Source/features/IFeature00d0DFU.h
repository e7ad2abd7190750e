#pragma once

#include <cstdint>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// DFU transfer 0x00D0: the bootloader's feature that receives a firmware image
// in 16-byte packets and reports progress as status events.
class IFeature00d0DFU {
 public:
  static constexpr int kFeatureId = 0x00D0;

  // Status values of byte 4 of an event's data.
  enum Status : int {
    PacketAccepted = 1,  // send the packet the event names
    ImageAccepted = 2,   // the image is complete
    Wait = 3,            // another event follows
  };

  class Report {
   public:
    // `data` is the parameter bytes of the report; it always holds at least 5
    // bytes, so the status (byte 4) can be read without checking.
    virtual void onDfuStatus(std::uint32_t /*packetNumber*/, std::vector<Byte> /*data*/) {}
    virtual ~Report() = default;
  };

  virtual ~IFeature00d0DFU() = default;
  // Sends the first 16 bytes of an image. On success `status` receives byte 4
  // of the answer (values above 3 are errors); no event is raised.
  virtual bool DFUStart(std::vector<Byte> packet, int* status, std::vector<Byte>* response) = 0;
  // Sends packet number n with function (n + 1) mod 4 and, when the device
  // answers, raises onDfuStatus(n + 1, answer).
  virtual bool DFUSendPacket(std::uint32_t n, std::vector<Byte> packet) = 0;
  virtual bool DFURestart(Byte b) = 0;
};

}  // namespace rodiz
