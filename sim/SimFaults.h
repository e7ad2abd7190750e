#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace rodiz::sim {

// Faults the simulated mouse can be told to show. Packet numbers count the
// 16-byte slices of an image from 0 (the start record); `image` selects which
// image they apply to (1 or 2; 0 for whichever reaches the packet first).
// Each packet fault fires once.
struct SimFaults {
  int image = 0;
  int drop_response_to_packet = -1;  // the answer is lost (the data is kept)
  int late_packet = -1;              // the answer comes `late_by` late
  std::chrono::milliseconds late_by{0};
  int error_response_to_packet = -1;  // a FRAP 2.0 error response instead of the answer
  std::uint8_t error_byte = 8;        // (8: busy)
  int bad_status_packet = -1;         // the answer reports `bad_status`
  std::uint8_t bad_status = 4;
  int unsolicited_status_after_packet = -1;  // a status notification nobody asked for follows
  int disappear_at_packet = -1;              // the mouse drops off the bus instead of answering
  int reappear_after_ms = 500;               // ... and is back in bootloader mode after this long (-1: never)
  bool stay_away_after_restart = false;      // after a restart only a power cycle brings it back
  bool refuse_restart = false;               // the restart request gets an error response
  bool foreign_swid = false;                 // every answer carries another program's software id
  bool silent = false;                       // answers nothing at all
  // Onboard-profile requests, counted from 0 for the life of the mouse:
  // reads (function 5) and writes (begin, data and end).
  int drop_profile_read = -1;     // the answer to read N is lost
  int drop_profile_write = -1;    // the answer to write N is lost (the write is done)
  int unplug_profile_read = -1;   // power is lost at read N (back after reappear_after_ms)
  int unplug_profile_write = -1;  // power is lost at write N

  // Parses "name=value,name=value" (the command-line form), for example
  // "drop=120,image=1" or "silent". Returns false with a message on bad input.
  static bool parse(const std::string& text, SimFaults* faults, std::string* error);
};

}  // namespace rodiz::sim
