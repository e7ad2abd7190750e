#include "features/Feature00d0DFU.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Feature00d0DFU";
}

Feature00d0DFU::Feature00d0DFU(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature00d0DFU::DFUStart(std::vector<Byte> packet, int* status, std::vector<Byte>* response) {
  std::vector<Byte> answer;
  if (!sendFeatureCommand(4, packet, answer, 0)) return false;
  if (answer.size() < kStatusDataSize) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (status) *status = answer[4];
  if (response) *response = answer;
  return true;
}

bool Feature00d0DFU::DFUSendPacket(std::uint32_t n, std::vector<Byte> packet) {
  xLogWrite(kTag, LogInfo, "rodiz::Feature00d0DFU::DFUSendPacket", "DFUSendPacket:Sending packet : 0x%04x", n + 1);
  std::vector<Byte> answer;
  // Consecutive packets use consecutive function indexes 0..3.
  if (!sendFeatureCommand((n + 1) % 4, packet, answer, 0)) return false;
  if (answer.size() < kStatusDataSize) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  raise_status(n + 1, answer);
  return true;
}

bool Feature00d0DFU::DFURestart(Byte b) {
  std::vector<Byte> answer;
  return sendFeatureCommand(5, {b}, answer, 0);
}

void Feature00d0DFU::onFeatureReport(unsigned /*function*/, const std::vector<Byte>& payload) {
  // A notification names the next packet in bytes 2..3 and its status in byte
  // 4. One without the status byte (4 bytes or fewer) is dropped: an event
  // without a status would make every reader index past its data.
  if (payload.size() < kStatusDataSize) {
    xLogWrite(kTag, LogWarning, "rodiz::Feature00d0DFU::onFeatureReport",
              "status notification of %d bytes has no status byte, ignored", static_cast<int>(payload.size()));
    set_last_error(CommandResponseTooShort);
    return;
  }
  raise_status(static_cast<std::uint32_t>((payload[2] << 8) | payload[3]), payload);
}

void Feature00d0DFU::raise_status(std::uint32_t packet_number, const std::vector<Byte>& data) {
  Producer<IFeature00d0DFU::Report>::produce(
      [packet_number, data](IFeature00d0DFU::Report* s) { s->onDfuStatus(packet_number, data); },
      "IFeature00d0DFU::Report::onDfuStatus");
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(00d0, Feature00d0DFU)
