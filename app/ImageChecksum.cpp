#include "app/ImageChecksum.h"

#include <array>

namespace mirel {

namespace {

constexpr std::array<std::uint32_t, 256> MakeTable() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t value = i;
    for (int bit = 0; bit < 8; ++bit) value = (value & 1U) != 0 ? (value >> 1) ^ 0xEDB88320U : value >> 1;
    table[i] = value;
  }
  return table;
}

constexpr std::array<std::uint32_t, 256> kTable = MakeTable();

}  // namespace

std::uint32_t ImageChecksum::Update(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return crc;
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = kTable[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t ImageChecksum::Crc32(const std::uint8_t* data, std::size_t size) { return Update(0, data, size); }

std::uint32_t ImageChecksum::Crc32(const std::vector<std::uint8_t>& bytes) {
  return Update(0, bytes.data(), bytes.size());
}

}  // namespace mirel
