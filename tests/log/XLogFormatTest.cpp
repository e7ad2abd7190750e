#include "log/XLogFormat.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cwchar>
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
