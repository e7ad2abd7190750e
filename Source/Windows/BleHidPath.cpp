#include "Windows/BleHidPath.h"

namespace rodiz {

namespace {

bool hex4(const std::string& text, std::uint16_t* value) {
  unsigned result = 0;
  for (char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    result = result * 16 + digit;
  }
  *value = static_cast<std::uint16_t>(result);
  return true;
}

}  // namespace

bool BleHidPath::parse(const std::string& path, Ids* ids) {
  *ids = Ids{};
  const std::size_t g = path.find("}_dev_vid&02");
  if (g == std::string::npos || g + 25 >= path.size()) return false;
  Ids found;
  found.vendor_text = path.substr(g + 12, 4);
  found.product_text = path.substr(g + 21, 4);
  if (!hex4(found.vendor_text, &found.vendor) || !hex4(found.product_text, &found.product)) {
    ids->vendor_text = found.vendor_text;
    ids->product_text = found.product_text;
    return false;
  }
  *ids = found;
  return true;
}

}  // namespace rodiz
