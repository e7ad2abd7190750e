#pragma once

#include <cstdint>
#include <vector>

namespace mirel {

// One firmware image being streamed to the bootloader in 16-byte packets.
struct DFUWriter {
  static constexpr std::uint32_t kPacketSize = 16;

  // Image size in bytes, as the resource reports it.
  std::uint32_t size = 0;
  // The image bytes; owned by the executable, never copied or freed.
  const std::uint8_t* data = nullptr;
  // Number of 16-byte packets, counting a partial last one.
  std::uint32_t packets = 0;
  // Bytes the device has accepted so far.
  std::uint32_t offset = 0;

  static std::uint32_t PacketsFor(std::uint32_t bytes);

  // The 16 bytes at `offset`, when a whole packet is left there. A partial
  // tail is never sent.
  bool nextPacket(std::vector<std::uint8_t>* packet) const;
};

}  // namespace mirel
