#include "log/XLogFormat.h"

#include <cstdio>
#include <cstring>

namespace rodiz {

namespace {

constexpr char kTruncated[] = " (truncated) ";
constexpr char kFormatError[] = " (vsnprintf error) ";
constexpr std::size_t kTruncateAt = XLogFormat::kBufferSize - 1 - (sizeof kTruncated - 1);       // 1010
constexpr std::size_t kLatestErrorAt = XLogFormat::kBufferSize - 1 - (sizeof kFormatError - 1);  // 1004

bool is_identifier_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Removes `prefix` and one space after it, when the message begins with it as
// a whole word ("addBus" does not take the front off "addBusy").
const char* skip_word(const char* message, std::string_view prefix) {
  if (prefix.empty() || std::strncmp(message, prefix.data(), prefix.size()) != 0) return message;
  const char* rest = message + prefix.size();
  if (is_identifier_char(*rest)) return message;
  return *rest == ' ' ? rest + 1 : rest;
}

}  // namespace

std::size_t XLogFormat::vformat(char* buffer, const char* format, va_list args) {
  buffer[0] = '\0';
  const int written = std::vsnprintf(buffer, kBufferSize, format, args);
  std::size_t length = 0;
  if (written < 0) {
    // What was produced before the error stays.
    std::size_t produced = ::strnlen(buffer, kBufferSize - 1);
    if (produced > kLatestErrorAt) produced = kLatestErrorAt;
    std::memcpy(buffer + produced, kFormatError, sizeof kFormatError);
    length = produced + sizeof kFormatError - 1;
  } else if (static_cast<std::size_t>(written) >= kBufferSize) {
    std::memcpy(buffer + kTruncateAt, kTruncated, sizeof kTruncated);
    length = kTruncateAt + sizeof kTruncated - 1;
  } else {
    return static_cast<std::size_t>(written);
  }
  const std::size_t format_length = std::strlen(format);
  if (format_length > 0 && format[format_length - 1] == '\n') buffer[length - 1] = '\n';
  return length;
}

std::size_t XLogFormat::format(char* buffer, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t length = vformat(buffer, format, args);
  va_end(args);
  return length;
}

std::string_view XLogFormat::short_name(std::string_view name) {
  // The compiler's own signatures (__PRETTY_FUNCTION__) may add template
  // arguments and qualifiers after the parameter list.
  if (!name.empty() && name.back() == ']') {
    const std::size_t with = name.rfind(" [with ");
    if (with != std::string_view::npos) name = name.substr(0, with);
  }
  for (bool again = true; again;) {
    again = false;
    for (std::string_view qualifier : {" const", " volatile", " &&", " &", " noexcept"}) {
      if (ends_with(name, qualifier)) {
        name.remove_suffix(qualifier.size());
        again = true;
      }
    }
  }
  if (!name.empty() && name.back() == ')') {
    int depth = 0;
    for (std::size_t i = name.size(); i-- > 0;) {
      if (name[i] == ')') ++depth;
      if (name[i] == '(' && --depth == 0) {
        name = name.substr(0, i);
        break;
      }
    }
  }
  const std::size_t cut = name.find_last_of(" *");
  if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
  constexpr std::string_view kNamespace = "rodiz::";
  if (name.substr(0, kNamespace.size()) == kNamespace) name.remove_prefix(kNamespace.size());
  return name;
}

std::string_view XLogFormat::method_part(std::string_view short_name) {
  const std::size_t colons = short_name.find("::");
  return colons == std::string_view::npos ? short_name : short_name.substr(colons + 2);
}

std::string_view XLogFormat::inline_tag(const char* text) {
  if (text[0] != '-') return {};
  std::size_t i = 1;
  while (text[i] != '\0' && text[i] != '-' && static_cast<unsigned char>(text[i]) > ' ') ++i;
  if (i == 1 || text[i] != '-' || text[i + 1] != ' ') return {};
  return std::string_view(text + 1, i - 1);
}

const char* XLogFormat::clean_message(const char* message, std::string_view short_name) {
  message = skip_word(message, method_part(short_name));
  return skip_word(message, short_name);
}

const char* XLogFormat::level_name(unsigned level) {
  static constexpr const char* kNames[] = {"ERROR", "WARNING", "INFO", "DEBUG", "VERBOSE"};
  // No caller uses a higher level; one that does is at least verbose.
  return kNames[level < 5 ? level : 4];
}

}  // namespace rodiz
