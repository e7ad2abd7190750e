#include "sim/SimReceiverFaults.h"

#include <cstdlib>

#include "sim/FaultItemList.h"

namespace rodiz::sim {

bool SimReceiverFaults::parse(const std::string& text, SimReceiverFaults* faults, std::string* error) {
  SimReceiverFaults result = *faults;
  for (const FaultItemList::Item& entry : FaultItemList::split(text)) {
    const std::string& item = entry.text;
    const std::string& name = entry.name;
    const std::string& value = entry.value;
    char* end = nullptr;
    const long number = value.empty() ? -2 : std::strtol(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0' || number < 0 || number > 1000000) {
      *error = "receiver fault '" + name + "' needs a number from 0, got '" + value + "'";
      return false;
    }
    const int n = static_cast<int>(number);
    if (name == "lose-register") {
      result.lose_register_answer = n;
    } else if (name == "error-register") {
      result.error_register_answer = n;
    } else if (name == "error-byte") {
      if (n > 255) {
        *error = "receiver fault 'error-byte' needs a byte, got '" + value + "'";
        return false;
      }
      result.register_error = static_cast<std::uint8_t>(n);
    } else if (name == "storm") {
      result.storm_after_register = n;
    } else if (name == "storm-count") {
      result.storm_count = n;
    } else if (name == "stray-index") {
      result.stray_index_after_register = n;
    } else {
      *error = "unknown receiver fault '" + item + "'";
      return false;
    }
  }
  *faults = result;
  return true;
}

}  // namespace rodiz::sim
