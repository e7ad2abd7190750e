#include "Linux/BluezIdentity.h"

#include <cstdio>

namespace rodiz {

namespace {
int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hexadecimal digits at `at`.
bool hex16(const std::string& text, std::size_t at, std::uint16_t& value) {
  if (at + 4 > text.size()) return false;
  unsigned result = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const int digit = hex_digit(text[i]);
    if (digit < 0) return false;
    result = result * 16 + static_cast<unsigned>(digit);
  }
  value = static_cast<std::uint16_t>(result);
  return true;
}
}  // namespace

bool BluezIdentity::parse_address(const std::string& text, std::uint64_t& address) {
  if (text.size() != 17) return false;
  std::uint64_t result = 0;
  for (std::size_t byte = 0; byte < 6; ++byte) {
    const std::size_t at = byte * 3;
    if (byte > 0 && text[at - 1] != ':') return false;
    const int high = hex_digit(text[at]);
    const int low = hex_digit(text[at + 1]);
    if (high < 0 || low < 0) return false;
    result = (result << 8) | static_cast<std::uint64_t>(high * 16 + low);
  }
  address = result;
  return true;
}

std::string BluezIdentity::bluez_text(std::uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>((address >> 40) & 0xFF),
                static_cast<unsigned>((address >> 32) & 0xFF), static_cast<unsigned>((address >> 24) & 0xFF),
                static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                static_cast<unsigned>(address & 0xFF));
  return text;
}

std::string BluezIdentity::library_text(std::uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X%02X:%02X:%02X%02X%02X", static_cast<unsigned>((address >> 40) & 0xFF),
                static_cast<unsigned>((address >> 32) & 0xFF), static_cast<unsigned>((address >> 24) & 0xFF),
                static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                static_cast<unsigned>(address & 0xFF));
  return text;
}

bool BluezIdentity::modalias_product(const std::string& modalias, std::uint16_t& product) {
  const std::size_t colon = modalias.find(':');
  if (colon == std::string::npos) return false;
  // "v" and four digits, then "p" and four digits.
  const std::size_t v = colon + 1;
  std::uint16_t vendor = 0;
  if (v + 10 > modalias.size() || modalias[v] != 'v' || !hex16(modalias, v + 1, vendor) || modalias[v + 5] != 'p') {
    return false;
  }
  return hex16(modalias, v + 6, product);
}

}  // namespace rodiz
