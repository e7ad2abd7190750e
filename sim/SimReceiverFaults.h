#pragma once

#include <cstdint>
#include <string>

namespace rodiz::sim {

// Faults the simulated receiver can be told to show. Register requests are
// counted from 0 for the life of the receiver; each fault fires once.
struct SimReceiverFaults {
  int lose_register_answer = -1;        // the answer to register request N is lost
  int error_register_answer = -1;       // register request N gets a FRAP 1.0 error answer
  std::uint8_t register_error = 9;      // ... with this error byte (9: busy, which is retried)
  int storm_after_register = -1;        // after answering request N: a burst of connection notifications
  int storm_count = 50;                 // ... this many rounds over every paired slot
  int stray_index_after_register = -1;  // after answering request N: reports for a device index no slot holds

  // Parses "name=value,name=value" (the command-line form), for example
  // "lose-register=3" or "storm=2,storm-count=10". Returns false with a
  // message on bad input.
  static bool parse(const std::string& text, SimReceiverFaults* faults, std::string* error);
};

}  // namespace rodiz::sim
