#include "sim/SimReceiverFaults.h"

#include <cstdlib>

namespace rodiz::sim {

bool SimReceiverFaults::parse(const std::string& text, SimReceiverFaults* faults, std::string* error) {
  SimReceiverFaults result = *faults;
  std::size_t start = 0;
  while (start <= text.size()) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    if (item.empty()) continue;
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const std::string value = equals == std::string::npos ? std::string() : item.substr(equals + 1);
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
