#include "log/XLogFormat.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

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

// The conversions log messages use (integers, characters, strings), written
// here because the C library's vsnprintf costs most of a log call. It follows
// the C standard's rules for these; whatever it does not handle (floating
// point, wide text, %p, %n, a null string, output that does not fit) it
// leaves to vsnprintf by returning false, before the caller used `args`.
class FastFormat {
 public:
  // A va_list travels between functions only by reference to its holder: on
  // some ABIs the type is an array that decays when passed.
  struct Args {
    va_list list;
  };

  FastFormat(char* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

  bool run(const char* p, Args& args) {
    for (; *p != '\0'; ++p) {
      if (*p != '%') {
        put(*p);
        continue;
      }
      ++p;
      if (*p == '%') {
        put('%');
        continue;
      }
      Conversion conv;
      for (;; ++p) {
        if (*p == '-') {
          conv.left = true;
        } else if (*p == '+') {
          conv.plus = true;
        } else if (*p == ' ') {
          conv.space = true;
        } else if (*p == '#') {
          conv.alternate = true;
        } else if (*p == '0') {
          conv.zero = true;
        } else {
          break;
        }
      }
      if (*p == '*') {
        const int width = va_arg(args.list, int);
        if (width < 0) {
          conv.left = true;
          conv.width = width == INT_MIN ? kMaxWidth + 1 : -width;
        } else {
          conv.width = width;
        }
        ++p;
      } else {
        while (*p >= '0' && *p <= '9' && conv.width <= kMaxWidth) conv.width = conv.width * 10 + (*p++ - '0');
      }
      if (*p == '.') {
        ++p;
        if (*p == '*') {
          const int precision = va_arg(args.list, int);
          conv.precision = precision < 0 ? -1 : precision;
          ++p;
        } else {
          conv.precision = 0;
          while (*p >= '0' && *p <= '9' && conv.precision <= kMaxWidth) {
            conv.precision = conv.precision * 10 + (*p++ - '0');
          }
        }
      }
      if (conv.width > kMaxWidth || conv.precision > kMaxWidth) return false;
      Length length = Length::None;
      if (*p == 'h') {
        length = p[1] == 'h' ? Length::Char : Length::Short;
        p += p[1] == 'h' ? 2 : 1;
      } else if (*p == 'l') {
        length = p[1] == 'l' ? Length::LongLong : Length::Long;
        p += p[1] == 'l' ? 2 : 1;
      } else if (*p == 'z') {
        length = Length::Size;
        ++p;
      } else if (*p == 'j') {
        length = Length::Max;
        ++p;
      } else if (*p == 't') {
        length = Length::Ptrdiff;
        ++p;
      }
      switch (*p) {
        case 'd':
        case 'i': {
          const long long value = signed_arg(args, length);
          const unsigned long long magnitude =
              value < 0 ? 0ull - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
          integer(conv, magnitude, 10, false, value < 0 ? '-' : conv.plus ? '+' : conv.space ? ' ' : '\0');
          break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
          if (conv.plus || conv.space) return false;
          const unsigned long long value = unsigned_arg(args, length);
          if (*p == 'u' && conv.alternate) return false;
          integer(conv, value, *p == 'o' ? 8 : *p == 'u' ? 10 : 16, *p == 'X', '\0');
          break;
        }
        case 'c': {
          if (length != Length::None || conv.zero || conv.plus || conv.space || conv.alternate) return false;
          const char c = static_cast<char>(static_cast<unsigned char>(va_arg(args.list, int)));
          text(conv, &c, 1);
          break;
        }
        case 's': {
          if (length != Length::None || conv.zero || conv.plus || conv.space || conv.alternate) return false;
          const char* s = va_arg(args.list, const char*);
          if (s == nullptr) return false;
          const std::size_t n =
              conv.precision >= 0 ? ::strnlen(s, static_cast<std::size_t>(conv.precision)) : std::strlen(s);
          text(conv, s, n);
          break;
        }
        default:
          return false;
      }
      if (overflow_) return false;
    }
    if (overflow_) return false;
    out_[length_] = '\0';
    return true;
  }

  std::size_t length() const { return length_; }

 private:
  static constexpr int kMaxWidth = 4096;
  enum class Length { None, Char, Short, Long, LongLong, Size, Max, Ptrdiff };
  struct Conversion {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    int width = 0;
    int precision = -1;
  };

  static long long signed_arg(Args& args, Length length) {
    switch (length) {
      case Length::Char:
        return static_cast<signed char>(va_arg(args.list, int));
      case Length::Short:
        return static_cast<short>(va_arg(args.list, int));
      case Length::Long:
        return va_arg(args.list, long);
      case Length::LongLong:
        return va_arg(args.list, long long);
      case Length::Size:
        return static_cast<long long>(static_cast<std::make_signed_t<std::size_t>>(va_arg(args.list, std::size_t)));
      case Length::Max:
        return static_cast<long long>(va_arg(args.list, std::intmax_t));
      case Length::Ptrdiff:
        return static_cast<long long>(va_arg(args.list, std::ptrdiff_t));
      case Length::None:
        break;
    }
    return va_arg(args.list, int);
  }

  static unsigned long long unsigned_arg(Args& args, Length length) {
    switch (length) {
      case Length::Char:
        return static_cast<unsigned char>(va_arg(args.list, unsigned));
      case Length::Short:
        return static_cast<unsigned short>(va_arg(args.list, unsigned));
      case Length::Long:
        return va_arg(args.list, unsigned long);
      case Length::LongLong:
        return va_arg(args.list, unsigned long long);
      case Length::Size:
        return va_arg(args.list, std::size_t);
      case Length::Max:
        return static_cast<unsigned long long>(va_arg(args.list, std::uintmax_t));
      case Length::Ptrdiff:
        return static_cast<unsigned long long>(
            static_cast<std::make_unsigned_t<std::ptrdiff_t>>(va_arg(args.list, std::ptrdiff_t)));
      case Length::None:
        break;
    }
    return va_arg(args.list, unsigned);
  }

  void put(char c) {
    if (length_ + 1 >= capacity_) {
      overflow_ = true;
      return;
    }
    out_[length_++] = c;
  }
  void pad(char c, int count) {
    for (int i = 0; i < count && !overflow_; ++i) put(c);
  }

  void text(const Conversion& conv, const char* s, std::size_t n) {
    const int fill = conv.width > static_cast<int>(n) ? conv.width - static_cast<int>(n) : 0;
    if (!conv.left) pad(' ', fill);
    for (std::size_t i = 0; i < n && !overflow_; ++i) put(s[i]);
    if (conv.left) pad(' ', fill);
  }

  void integer(const Conversion& conv, unsigned long long value, unsigned base, bool upper, char sign) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char reversed[24];
    int count = 0;
    for (unsigned long long v = value; v != 0; v /= base) reversed[count++] = digits[v % base];
    // A precision is the least number of digits; 0 with a value of 0 prints none.
    int precision = conv.precision >= 0 ? conv.precision : 1;
    if (base == 8 && conv.alternate && precision <= count) precision = count + 1;
    const int zeros = precision > count ? precision - count : 0;
    const char* prefix = base == 16 && conv.alternate && value != 0 ? (upper ? "0X" : "0x") : "";
    const int prefix_length = static_cast<int>(std::strlen(prefix)) + (sign != '\0' ? 1 : 0);
    const int body = prefix_length + zeros + count;
    const int fill = conv.width > body ? conv.width - body : 0;
    // The 0 flag pads with zeros after the sign, unless a precision or - is given.
    const bool zero_fill = conv.zero && !conv.left && conv.precision < 0;
    if (!conv.left && !zero_fill) pad(' ', fill);
    if (sign != '\0') put(sign);
    for (const char* c = prefix; *c != '\0'; ++c) put(*c);
    if (zero_fill) pad('0', fill);
    pad('0', zeros);
    while (count > 0 && !overflow_) put(reversed[--count]);
    if (conv.left) pad(' ', fill);
  }

  char* out_;
  std::size_t capacity_;
  std::size_t length_ = 0;
  bool overflow_ = false;
};

}  // namespace

std::size_t XLogFormat::vformat(char* buffer, const char* format, va_list args) {
  buffer[0] = '\0';
  {
    FastFormat::Args copy;
    va_copy(copy.list, args);
    FastFormat fast(buffer, kBufferSize);
    const bool done = fast.run(format, copy);
    va_end(copy.list);
    if (done) return fast.length();
  }
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
