#pragma once

#include <string>

namespace rodiz {

// The text conversions of the Windows transports: system strings are UTF-16;
// paths and instance ids are kept as lower-case UTF-8 and converted back for
// system calls.
class WideText {
 public:
  // UTF-8 to UTF-16; invalid input gives an empty string.
  static std::wstring widen(const std::string& text);
  // UTF-16 (at most `length` units, stopping at a zero) to UTF-8, ASCII
  // letters lower-cased. Invalid UTF-16 gives an empty string.
  static std::string lower_utf8(const wchar_t* text, std::size_t length);
  static std::string lower_utf8(const std::wstring& text) { return lower_utf8(text.c_str(), text.size()); }
  // The same conversion with the case kept, for names shown to people.
  static std::string utf8(const wchar_t* text, std::size_t length);
};

}  // namespace rodiz
