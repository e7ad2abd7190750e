#include "log/XLogFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>

namespace rodiz::test {
namespace {

std::string formatted(const std::string& argument, bool newline = false) {
  char buffer[XLogFormat::kBufferSize];
  const std::size_t length = newline ? XLogFormat::format(buffer, "%s\n", argument.c_str())
                                     : XLogFormat::format(buffer, "%s", argument.c_str());
  EXPECT_EQ(length, std::string(buffer).size());
  return std::string(buffer, length);
}

TEST(XLogFormat, TextThatFitsIsUnchanged) {
  EXPECT_EQ(formatted("short"), "short");
  const std::string longest(1023, 'y');
  EXPECT_EQ(formatted(longest), longest);
}

TEST(XLogFormat, LongTextIsCutWithAMarker) {
  const std::string text(2000, 'x');
  EXPECT_EQ(formatted(text), std::string(1010, 'x') + " (truncated) ");
  EXPECT_EQ(formatted(std::string(1024, 'x')), std::string(1010, 'x') + " (truncated) ");
  // A format ending with a newline keeps its newline.
  EXPECT_EQ(formatted(text, true), std::string(1010, 'x') + " (truncated)\n");
}

TEST(XLogFormat, FormattingErrorIsMarked) {
  // A wide character that the C locale cannot convert makes vsnprintf fail
  // where the C library reports it.
  char probe[64];
  if (std::snprintf(probe, sizeof probe, "%ls", L"\u00e9") >= 0) GTEST_SKIP() << "this C library does not fail";
  char buffer[XLogFormat::kBufferSize];
  const std::size_t length = XLogFormat::format(buffer, "abc %ls\n", L"\u00e9");
  const std::string result(buffer, length);
  EXPECT_NE(result.find(" (vsnprintf error)"), std::string::npos) << result;
  EXPECT_EQ(result.back(), '\n');
  EXPECT_LE(length, 1023u);
}

// The log formats integers, characters and strings itself; the C library's
// snprintf is the reference for every result.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
template <typename... A>
std::string ours(const char* format, A... args) {
  char buffer[XLogFormat::kBufferSize];
  const std::size_t length = XLogFormat::format(buffer, format, args...);
  EXPECT_EQ(length, std::strlen(buffer)) << format;
  return std::string(buffer, length);
}
template <typename... A>
std::string reference(const char* format, A... args) {
  char buffer[XLogFormat::kBufferSize];
  std::snprintf(buffer, sizeof buffer, format, args...);
  return buffer;
}
#pragma GCC diagnostic pop

#define EXPECT_LIKE_SNPRINTF(...) EXPECT_EQ(reference(__VA_ARGS__), ours(__VA_ARGS__))

TEST(XLogFormat, IntegersCharactersAndStringsAsTheCLibraryFormatsThem) {
  EXPECT_LIKE_SNPRINTF("plain text, 100%% sure");
  EXPECT_LIKE_SNPRINTF("%d %i %d %d", 0, -1, INT_MAX, INT_MIN);
  EXPECT_LIKE_SNPRINTF("%u %x %X %o", 0u, 0xDEADBEEFu, 0xDEADBEEFu, 0777u);
  EXPECT_LIKE_SNPRINTF("%hhd %hhu %hd %hu", 200, 300, 70000, 70000);
  EXPECT_LIKE_SNPRINTF("%ld %lu %lld %llu", LONG_MIN, ULONG_MAX, LLONG_MIN, ULLONG_MAX);
  EXPECT_LIKE_SNPRINTF("%zu %zd %jd %td", std::size_t{12}, std::size_t{SIZE_MAX}, std::intmax_t{-5},
                       std::ptrdiff_t{-7});
  EXPECT_LIKE_SNPRINTF("[%5d] [%-5d] [%05d] [%-05d] [%+d] [% d] [%+ d]", 42, 42, -42, 42, 42, 42, 42);
  EXPECT_LIKE_SNPRINTF("[%.3d] [%8.3d] [%08.3d] [%.0d] [%3.0d] [%.0x]", 7, -7, 7, 0, 0, 0u);
  EXPECT_LIKE_SNPRINTF("[%#x] [%#X] [%#o] [%#x] [%#o] [%#5.3o] [%#08x]", 255u, 255u, 8u, 0u, 0u, 8u, 255u);
  // The C standard's answer, checked apart: msvcrt prints nothing for this one.
  EXPECT_EQ("[0]", ours("[%#.0o]", 0u));
  EXPECT_LIKE_SNPRINTF("[%*d] [%-*d] [%*d] [%.*d] [%.*d]", 6, 1, 6, 1, -6, 1, 3, 1, -3, 1);
  EXPECT_LIKE_SNPRINTF("[%c] [%3c] [%-3c]", 'a', 'b', 'c');
  EXPECT_LIKE_SNPRINTF("[%s] [%8s] [%-8s] [%.2s] [%8.2s] [%.*s] [%s]", "abc", "abc", "abc", "abc", "abc", 1, "xyz", "");
  EXPECT_LIKE_SNPRINTF("%llu.%06u\t%s.%03u\t%u\t<%05u>.%s.%s\t%u\t%-20.*s\t%.*s %.*s\n", 12345ull, 42u, "2026/12/09",
                       7u, 99u, 1234u, "rodiz", "app", 2u, 8, "-Device-", 6, "Device", 5, "hello");
  // Left to the C library: floating point, pointers, null strings, and odd directives.
  EXPECT_LIKE_SNPRINTF("%f %.2e %g", 1.5, 2.25, 0.125);
  EXPECT_LIKE_SNPRINTF("%p", static_cast<void*>(nullptr));
  // Output that does not fit is cut the same way as before.
  EXPECT_EQ(std::string(1010, ' ') + " (truncated) ", ours("%2000d", 0));
}

TEST(XLogFormat, RandomIntegerDirectivesMatchTheCLibrary) {
  std::mt19937 random(20261209);
  auto pick = [&random](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  for (int i = 0; i < 20000; ++i) {
    std::string directive = "<%";
    const char* flags = "-+ #0";
    for (int f = 0; f < 5; ++f) {
      if (pick(4) == 0) directive += flags[f];
    }
    if (pick(2) == 0) directive += std::to_string(pick(14));
    if (pick(2) == 0) directive += "." + std::to_string(pick(6));
    const char conversion = "diuxXoc"[pick(7)];
    const bool is_signed = conversion == 'd' || conversion == 'i';
    const long long value = static_cast<long long>(random()) - (1ll << 31) + pick(3) - 1;
    SCOPED_TRACE(directive + conversion + " with " + std::to_string(value));
    switch (conversion == 'c' ? 5 : pick(5)) {
      case 0:
        directive += conversion;
        directive += '>';
        if (is_signed) {
          EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<int>(value));
        } else {
          EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<unsigned>(value));
        }
        break;
      case 1:
        directive += "hh";
        directive += conversion;
        directive += '>';
        EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<int>(value));
        break;
      case 2:
        directive += "l";
        directive += conversion;
        directive += '>';
        if (is_signed) {
          EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<long>(value * 4099));
        } else {
          EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<unsigned long>(value * 4099));
        }
        break;
      case 3:
        directive += "ll";
        directive += conversion;
        directive += '>';
        if (is_signed) {
          EXPECT_LIKE_SNPRINTF(directive.c_str(), value * 1000003);
        } else {
          EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<unsigned long long>(value * 1000003));
        }
        break;
      case 4:
        directive += "h";
        directive += conversion;
        directive += '>';
        EXPECT_LIKE_SNPRINTF(directive.c_str(), static_cast<int>(value));
        break;
      default: {
        directive += "c>";
        const int letter = 'A' + pick(26);
        EXPECT_LIKE_SNPRINTF(directive.c_str(), letter);
        break;
      }
    }
  }
}

TEST(XLogFormat, ShortNames) {
  EXPECT_EQ(XLogFormat::short_name("rodiz::DeviceManager::addBus"), "DeviceManager::addBus");
  EXPECT_EQ(XLogFormat::short_name("bool rodiz::CRodiz::config_get(unsigned int, bool *)"), "CRodiz::config_get");
  EXPECT_EQ(XLogFormat::short_name("rodiz::xLogInit"), "xLogInit");
  EXPECT_EQ(XLogFormat::short_name("char* rodiz::A::name()"), "A::name");
  EXPECT_EQ(XLogFormat::short_name("void f(void (*)(int))"), "f");
  // What the compiler's own signatures add after the parameter list.
  EXPECT_EQ(XLogFormat::short_name("bool rodiz::NamedMutex::valid() const"), "NamedMutex::valid");
  EXPECT_EQ(XLogFormat::short_name("void rodiz::Producer<E>::produce(F, const char*) [with E = rodiz::X; F = int]"),
            "Producer<E>::produce");
  EXPECT_EQ(XLogFormat::short_name(""), "");

  EXPECT_EQ(XLogFormat::method_part("CRodiz::config_get"), "config_get");
  EXPECT_EQ(XLogFormat::method_part("xLogInit"), "xLogInit");
}

TEST(XLogFormat, MessagesLoseTheirCallersName) {
  const std::string_view name = "Feature2205PointerMotionScaling::GetPointerScalingValue";
  EXPECT_STREQ(XLogFormat::clean_message(
                   "Feature2205PointerMotionScaling::GetPointerScalingValue( *currentScalingValue = 5, )", name),
               "( *currentScalingValue = 5, )");
  EXPECT_STREQ(XLogFormat::clean_message("GetPointerScalingValue enter", name), "enter");
  EXPECT_STREQ(XLogFormat::clean_message("DeviceManager::addBus exit (true, success)", "DeviceManager::addBus"),
               "exit (true, success)");
  // Only whole words: a longer name is another name.
  EXPECT_STREQ(XLogFormat::clean_message("addBusy now", "DeviceManager::addBus"), "addBusy now");
  EXPECT_STREQ(XLogFormat::clean_message("anything", ""), "anything");
}

TEST(XLogFormat, InlineTags) {
  EXPECT_EQ(XLogFormat::inline_tag("-api- exit"), "api");
  EXPECT_EQ(XLogFormat::inline_tag("-hid- "), "hid");
  EXPECT_EQ(XLogFormat::inline_tag("-api-exit"), "");
  EXPECT_EQ(XLogFormat::inline_tag("-- x"), "");
  EXPECT_EQ(XLogFormat::inline_tag("-a b- x"), "");
  EXPECT_EQ(XLogFormat::inline_tag("-a-b- x"), "");
  EXPECT_EQ(XLogFormat::inline_tag("api- x"), "");
  EXPECT_EQ(XLogFormat::inline_tag("-api"), "");
}

}  // namespace
}  // namespace rodiz::test
