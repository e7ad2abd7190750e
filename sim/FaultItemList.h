#pragma once

#include <string>
#include <vector>

namespace rodiz::sim {

// Splits a fault list of the command-line form "name=value,name,..." into its
// items; empty items (",,", a trailing comma) are skipped. Header-only, so
// that the program's own option check can use it without the simulator.
class FaultItemList {
 public:
  struct Item {
    std::string text;   // the item as written
    std::string name;   // before the first '='
    std::string value;  // after it; empty when there is none
    bool has_value = false;
  };

  static std::vector<Item> split(const std::string& text) {
    std::vector<Item> items;
    std::size_t start = 0;
    while (start <= text.size()) {
      const std::size_t comma = text.find(',', start);
      std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
      start = comma == std::string::npos ? text.size() + 1 : comma + 1;
      if (item.empty()) continue;
      const std::size_t equals = item.find('=');
      Item parsed;
      parsed.name = item.substr(0, equals);
      parsed.has_value = equals != std::string::npos;
      if (parsed.has_value) parsed.value = item.substr(equals + 1);
      parsed.text = std::move(item);
      items.push_back(std::move(parsed));
    }
    return items;
  }
};

}  // namespace rodiz::sim
