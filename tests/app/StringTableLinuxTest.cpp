#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "app/StringTable.h"
#include "app/res/resource.h"

namespace mirel {
namespace {

// Clears the locale variables for one test and puts back what the process had.
class LocaleEnvironment {
 public:
  LocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      if (const char* value = std::getenv(kNames[i])) saved_[i] = value;
      ::unsetenv(kNames[i]);
    }
  }
  ~LocaleEnvironment() {
    for (int i = 0; i < 3; ++i) {
      if (saved_[i]) {
        ::setenv(kNames[i], saved_[i]->c_str(), 1);
      } else {
        ::unsetenv(kNames[i]);
      }
    }
  }
  LocaleEnvironment(const LocaleEnvironment&) = delete;
  LocaleEnvironment& operator=(const LocaleEnvironment&) = delete;

  static void Set(const char* name, const char* value) { ::setenv(name, value, 1); }

 private:
  static constexpr const char* kNames[3] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::optional<std::string> saved_[3];
};

TEST(CurrentLanguage, FirstNonEmptyOfLcAllLcMessagesLangDecides) {
  LocaleEnvironment environment;
  EXPECT_EQ(StringTable::CurrentLanguage(), 1033u);

  LocaleEnvironment::Set("LANG", "de_DE.UTF-8");
  EXPECT_EQ(StringTable::CurrentLanguage(), 1031u);
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), "Schließen");

  LocaleEnvironment::Set("LC_MESSAGES", "fr_FR.UTF-8");
  EXPECT_EQ(StringTable::CurrentLanguage(), 1036u);

  LocaleEnvironment::Set("LC_ALL", "");
  EXPECT_EQ(StringTable::CurrentLanguage(), 1036u);

  LocaleEnvironment::Set("LC_ALL", "ja_JP.UTF-8");
  EXPECT_EQ(StringTable::CurrentLanguage(), 1041u);
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), "閉じる");

  // "C" is a decision too: the ones below it are not consulted.
  LocaleEnvironment::Set("LC_ALL", "C");
  EXPECT_EQ(StringTable::CurrentLanguage(), 1033u);
}

TEST(CurrentLanguage, UnknownLocaleShowsEnglish) {
  LocaleEnvironment environment;
  LocaleEnvironment::Set("LANG", "el_GR.UTF-8");
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), "Close");
  EXPECT_EQ(StringTable::LoadText(IDS_STATUS_UP_TO_DATE),
            "Your device has firmware v14.2.7 or higher. No update is needed.");
}

}  // namespace
}  // namespace mirel
