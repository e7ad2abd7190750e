#pragma once

#include <cstdint>
#include <vector>

namespace rodiz::sim {

// The onboard profile memory of the simulated mouse: numbered sectors read
// 16 bytes at a time and written in a begin / data / end transaction, plus the
// active profile and resolution. Not thread-safe; the mouse guards it.
class SimProfileMemory {
 public:
  SimProfileMemory(int sector_count, int sector_size);

  // The content a user would have: recognisable per sector ("PROFILE 03 ...").
  void fill_user_content();
  // What a firmware update leaves behind: another, plainly different content.
  void reset_to_factory();

  int sector_count() const { return static_cast<int>(sectors_.size()); }
  int sector_size() const { return sector_size_; }
  // 16 bytes from `address` of `sector`; false when out of range.
  bool read(int sector, int address, std::vector<std::uint8_t>* data) const;
  bool begin_write(int sector, int address, int count);
  // Appends up to 16 bytes; `remaining` is what the transaction still expects.
  bool write_data(const std::vector<std::uint8_t>& data, int* remaining);
  // Commits the transaction when it received every byte it announced.
  bool end_write();
  // Power lost mid-transaction: nothing of it is kept.
  void abort_write() { writing_ = false; }
  // CRC-16/CCITT of a sector.
  bool crc(int sector, std::uint16_t* value) const;

  const std::vector<std::vector<std::uint8_t>>& sectors() const { return sectors_; }
  void set_sectors(std::vector<std::vector<std::uint8_t>> sectors) { sectors_ = std::move(sectors); }

  int active_profile = 1;
  int resolution_index = 2;
  bool onboard_mode = true;

 private:
  int sector_size_;
  std::vector<std::vector<std::uint8_t>> sectors_;
  bool writing_ = false;
  int write_sector_ = 0;
  int write_address_ = 0;
  int write_count_ = 0;
  std::vector<std::uint8_t> write_buffer_;
};

}  // namespace rodiz::sim
