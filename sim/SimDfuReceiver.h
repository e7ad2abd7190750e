#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rodiz::sim {

// One firmware image the simulated bootloader knows: the hardware code of its
// start record and the bytes it must receive.
struct SimImage {
  std::string hardware_code;
  std::vector<std::uint8_t> bytes;
};

// The bootloader's side of an image transfer: a start record opens one of the
// expected images, then 16-byte packets must come in order, each with the
// function index that follows from its number. What arrived is compared with
// the expected image packet by packet; it counts as verified when its last
// packet is in and every packet matched.
class SimDfuReceiver {
 public:
  // Status values of the transfer feature.
  static constexpr std::uint8_t kAccepted = 1;
  static constexpr std::uint8_t kComplete = 2;
  static constexpr std::uint8_t kWait = 3;
  static constexpr std::uint8_t kError = 4;

  struct Answer {
    std::uint8_t status = kError;
    std::uint32_t next_packet = 0;
    bool duplicate = false;
  };

  // Where a transfer stands: what a bootloader keeps in its own memory,
  // and what the mouse's state file carries across runs of the program.
  struct Progress {
    bool erased = false;
    std::vector<bool> verified;  // one per expected image
    int current = 0;
    std::uint32_t next = 0;
    std::uint8_t last_status = kError;
    // Whether every byte received so far equals the expected image's.
    bool matches = false;
    // The packet stored last, to recognise it when it is sent again.
    std::vector<std::uint8_t> last_packet;
  };

  explicit SimDfuReceiver(std::vector<SimImage> expected);

  // A start record: opens the image it names (answer kWait, next packet 1,
  // or kComplete for a one-packet image) or refuses it (kError).
  Answer start(const std::vector<std::uint8_t>& packet);
  // Packet `next_packet()` sent with `function`. The previous packet sent
  // again (its answer was lost) is answered again without being stored twice.
  Answer packet(unsigned function, const std::vector<std::uint8_t>& data);

  // 1-based index of the image being received, 0 for none.
  int current_image() const { return current_; }
  std::uint32_t next_packet() const { return next_; }
  bool verified(int image) const;
  // Whether any transfer started since the last reset (the application area
  // is erased by then).
  bool erased() const { return erased_; }
  void reset();
  // Image number for a start record, 0 when unknown.
  int image_for(const std::vector<std::uint8_t>& start_record) const;
  std::uint32_t packets_of(int image) const;
  std::size_t image_count() const { return expected_.size(); }

  Progress progress() const;
  // Takes over a transfer saved earlier; false (nothing changed) when it
  // does not fit the expected images.
  bool restore(const Progress& progress);

 private:
  // Compares packet `index` of the current image with what is expected there.
  bool expected_at(std::uint32_t index, const std::vector<std::uint8_t>& data) const;

  std::vector<SimImage> expected_;
  std::vector<bool> verified_;
  int current_ = 0;
  std::uint32_t next_ = 0;
  std::uint8_t last_status_ = kError;
  bool matches_ = false;
  std::vector<std::uint8_t> last_packet_;
  bool erased_ = false;
};

}  // namespace rodiz::sim
