#pragma once

#include <string>

namespace mirel {

// The list of faults given to the simulated mouse on the command line
// ("drop=120,image=1,stay-away"), checked before it reaches the simulator so
// that every mistake is named: the option, the item and what is allowed.
class SimFaultList {
 public:
  // True when every comma-separated item names a known fault, with a value
  // exactly when that fault takes one, written in decimal and in its range.
  // Empty items are allowed (a trailing comma). Otherwise false with a
  // message naming the option, the item and what it allows.
  static bool Check(const std::string& text, std::string* error);
  // The fault kinds for the help text, one per line, each indented by
  // `indent` spaces, saying which take a value and its range.
  static std::string Describe(int indent);
};

}  // namespace mirel
