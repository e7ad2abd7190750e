#include "sim/SimProfileMemory.h"

#include <cstdio>

namespace rodiz::sim {

SimProfileMemory::SimProfileMemory(int sector_count, int sector_size)
    : sector_size_(sector_size > 0 ? sector_size : 256),
      sectors_(static_cast<std::size_t>(sector_count > 0 ? sector_count : 0),
               std::vector<std::uint8_t>(static_cast<std::size_t>(sector_size_), 0)) {
  fill_user_content();
}

void SimProfileMemory::fill_user_content() {
  for (std::size_t s = 0; s < sectors_.size(); ++s) {
    std::vector<std::uint8_t>& sector = sectors_[s];
    char title[16];
    std::snprintf(title, sizeof title, "PROFILE %02u", static_cast<unsigned>(s));
    for (std::size_t i = 0; i < sector.size(); ++i) {
      sector[i] = i < 10 ? static_cast<std::uint8_t>(title[i]) : static_cast<std::uint8_t>((s * 31 + i * 7) & 0xFF);
    }
  }
  active_profile = 3;
  resolution_index = 2;
}

void SimProfileMemory::reset_to_factory() {
  for (auto& sector : sectors_) {
    for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = 0xFF;
  }
  active_profile = 1;
  resolution_index = 0;
  writing_ = false;
}

bool SimProfileMemory::read(int sector, int address, std::vector<std::uint8_t>* data) const {
  if (sector < 0 || sector >= sector_count() || address < 0 || address + 16 > sector_size_) return false;
  const auto& bytes = sectors_[static_cast<std::size_t>(sector)];
  data->assign(bytes.begin() + address, bytes.begin() + address + 16);
  return true;
}

bool SimProfileMemory::begin_write(int sector, int address, int count) {
  if (sector < 0 || sector >= sector_count() || address < 0 || count <= 0 || address + count > sector_size_) {
    return false;
  }
  writing_ = true;
  write_sector_ = sector;
  write_address_ = address;
  write_count_ = count;
  write_buffer_.clear();
  return true;
}

bool SimProfileMemory::write_data(const std::vector<std::uint8_t>& data, int* remaining) {
  if (!writing_) return false;
  const std::size_t room = static_cast<std::size_t>(write_count_) - write_buffer_.size();
  const std::size_t taken = data.size() < room ? data.size() : room;
  write_buffer_.insert(write_buffer_.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
  *remaining = write_count_ - static_cast<int>(write_buffer_.size());
  return true;
}

bool SimProfileMemory::end_write() {
  if (!writing_) return false;
  writing_ = false;
  // An incomplete transaction leaves the sector as it was.
  if (static_cast<int>(write_buffer_.size()) != write_count_) return false;
  auto& sector = sectors_[static_cast<std::size_t>(write_sector_)];
  for (std::size_t i = 0; i < write_buffer_.size(); ++i) {
    sector[static_cast<std::size_t>(write_address_) + i] = write_buffer_[i];
  }
  return true;
}

bool SimProfileMemory::crc(int sector, std::uint16_t* value) const {
  if (sector < 0 || sector >= sector_count()) return false;
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t byte : sectors_[static_cast<std::size_t>(sector)]) {
    crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  *value = crc;
  return true;
}

}  // namespace rodiz::sim
