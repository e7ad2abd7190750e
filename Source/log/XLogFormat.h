#pragma once

#include <cstdarg>
#include <cstddef>
#include <string_view>

#include "log/xLog.h"

namespace rodiz {

// The text rules of the log: fixed-buffer formatting, short function names,
// inline tags and the clean-up of messages that repeat their caller's name.
class XLogFormat {
 public:
  // Every message, console line, record and file line is made in a buffer of
  // this size, so a line is at most one byte shorter.
  static constexpr std::size_t kBufferSize = 1024;

  // printf into `buffer` (kBufferSize bytes). Text that does not fit is cut
  // to 1010 characters followed by " (truncated) "; a formatting error puts
  // " (vsnprintf error) " after what was produced. Either way a format that
  // ends with a newline gives a result that ends with one. Returns the length.
  static std::size_t vformat(char* buffer, const char* format, va_list args);
  static std::size_t format(char* buffer, const char* format, ...) RODIZ_PRINTF_FORMAT(2, 3);

  // "bool rodiz::CRodiz::config_get(unsigned int, bool *)" gives
  // "CRodiz::config_get": without parameter list, return type and "rodiz::".
  static std::string_view short_name(std::string_view function);
  // What follows the first "::" of a short name, else all of it.
  static std::string_view method_part(std::string_view short_name);
  // The word of a text that begins "-word- " (no space or dash in the word);
  // empty when the text has no inline tag.
  static std::string_view inline_tag(const char* text);
  // `message` without a leading method part or short name of its caller, and
  // the space after it.
  static const char* clean_message(const char* message, std::string_view short_name);
  static const char* level_name(unsigned level);
};

}  // namespace rodiz
