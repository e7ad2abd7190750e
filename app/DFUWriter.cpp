#include "app/DFUWriter.h"

namespace mirel {

std::uint32_t DFUWriter::PacketsFor(std::uint32_t bytes) {
  return bytes / kPacketSize + (bytes % kPacketSize != 0 ? 1 : 0);
}

bool DFUWriter::nextPacket(std::vector<std::uint8_t>* packet) const {
  // Written as offset <= size - 16 so that an offset near the top of the
  // range cannot wrap around and pass the check.
  if (packet == nullptr || data == nullptr || size < kPacketSize || offset > size - kPacketSize) return false;
  packet->assign(data + offset, data + offset + kPacketSize);
  return true;
}

}  // namespace mirel
