#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/SimDfuReceiver.h"

namespace rodiz::sim {

// The simulated mouse's memory kept in a file, so that the program can be
// killed and started again against the same mouse: its mode, firmware, the
// transfer its bootloader has under way, its onboard profiles and its LED
// setting. The file is text, one item per line; it is outside input to the
// program and is read strictly (every item once, in order, within its range).
class SimStateFile {
 public:
  // Longest file accepted: many times what any mouse needs.
  static constexpr std::size_t kMaxFileBytes = 1 << 20;
  static constexpr int kMaxSectors = 64;
  static constexpr int kMaxSectorSize = 4096;

  struct State {
    // The mode the mouse shows when it is next powered (a mouse on its way
    // into its bootloader or back from a restart counts as arrived).
    bool bootloader = false;
    int major = 14;
    int minor = 2;
    int build = 6;
    int type6_build = 2;
    SimDfuReceiver::Progress dfu;
    int sector_size = 256;
    std::vector<std::vector<std::uint8_t>> sectors;
    int active_profile = 0;
    int resolution_index = 0;
    bool onboard_mode = true;
    std::array<std::uint8_t, 3> led{};  // bytes 2..4 of the LED record
  };

  // The file's text for `state`.
  static std::string Format(const State& state);
  // Reads the text of a state file. False with a message naming the line
  // when it is damaged; `state` is then left as it was.
  static bool Parse(const std::string& text, State* state, std::string* error);

  // Reads `path`. A missing file is not an error: false with `error` empty.
  static bool Load(const std::string& path, State* state, std::string* error);
  // Writes `text` to `path` through a temporary file that is renamed over
  // it, so that a reader (or a program killed meanwhile) finds either the
  // old or the new state, never a mix. False with a message on failure.
  static bool Save(const std::string& path, const std::string& text, std::string* error);
};

}  // namespace rodiz::sim
