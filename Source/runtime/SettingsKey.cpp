#include "runtime/SettingsKey.h"

namespace rodiz {

bool SettingsKey::split_path(const std::string& path, std::vector<std::string>* names) {
  names->clear();
  std::size_t begin = 0;
  std::size_t end = path.size();
  while (begin < end && path[begin] == '\\') ++begin;
  while (end > begin && path[end - 1] == '\\') --end;
  if (begin == end) return false;
  while (begin <= end) {
    std::size_t next = path.find('\\', begin);
    if (next == std::string::npos || next > end) next = end;
    std::string name = path.substr(begin, next - begin);
    // The registry limits key names to 255 characters.
    if (name.empty() || name.size() > 255 || name == "." || name == "..") return false;
    for (unsigned char c : name) {
      if (c < 0x20 || c == 0x7F || c == '/') return false;
    }
    names->push_back(std::move(name));
    begin = next + 1;
  }
  return true;
}

bool SettingsKey::is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra = 0;
    std::uint32_t code = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1;
      code = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      code = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      code = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= text.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

bool SettingsKey::is_storable_string(std::string_view text) {
  return text.find('\0') == std::string_view::npos && is_valid_utf8(text);
}

}  // namespace rodiz
