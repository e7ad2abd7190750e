#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "app/ProductInfo.h"
#include "app/StringTable.h"
#include "app/res/resource.h"

namespace mirel {
namespace {

// Every language the program ships, as Windows language ids.
const std::vector<unsigned> kLanguages = {9,    1028, 1029, 1030, 1031, 1035, 1036, 1038, 1040, 1041,
                                          1042, 1043, 1044, 1045, 1049, 1053, 1055, 2052, 2070, 3082};
constexpr unsigned kFirstText = IDS_WINDOW_TITLE;
constexpr unsigned kLastText = IDS_STATUS_UPDATE_NEEDED;
constexpr char kSupportAddress[] = "https://support.orvantis.example/mirel";

std::size_t Count(const std::string& text, std::string_view what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

TEST(StringTableTexts, EveryLanguageHasEveryTextWithItsPlaceholders) {
  for (unsigned language : kLanguages) {
    for (unsigned id = kFirstText; id <= kLastText; ++id) {
      const auto english = StringTable::FindText(id, StringTable::kEnglish);
      const auto text = StringTable::FindText(id, language);
      ASSERT_TRUE(english.has_value()) << "English text " << id;
      ASSERT_TRUE(text.has_value()) << "language " << language << ", text " << id;
      EXPECT_FALSE(text->empty()) << "language " << language << ", text " << id;
      const std::string_view placeholders[] = {kProductNamePlaceholder, kPackageVersionPlaceholder,
                                               "%%CURRENT_VERSION%%", "%%SECONDS%%"};
      for (std::string_view placeholder : placeholders) {
        EXPECT_EQ(Count(*text, placeholder), Count(*english, placeholder))
            << "language " << language << ", text " << id << ", " << placeholder;
      }
      // A misspelt placeholder would reach the screen as it is; the mouse's
      // version and the seconds are put in where the text is used.
      std::string shown = StringTable::SubstituteProductText(*text);
      shown =
          StringTable::ReplaceAll(StringTable::ReplaceAll(shown, "%%CURRENT_VERSION%%", "14.2.6"), "%%SECONDS%%", "5");
      EXPECT_EQ(shown.find("%%"), std::string::npos) << "language " << language << ", text " << id;
    }
  }
}

TEST(StringTableTexts, TranslationsAreTranslatedAndConsistent) {
  const auto english_warning = StringTable::FindText(IDS_WARNING_LINE, StringTable::kEnglish);
  for (unsigned language : kLanguages) {
    SCOPED_TRACE(language);
    // A language file copied from English and never translated.
    if (language != StringTable::kEnglish) {
      EXPECT_NE(StringTable::FindText(IDS_WARNING_LINE, language), english_warning);
    }
    // The instruction names the Start button as that language labels it.
    const std::string start = StringTable::FindText(IDS_START, language).value_or("?");
    EXPECT_NE(StringTable::FindText(IDS_STATUS_CLICK_START, language).value_or("").find(start), std::string::npos);
    EXPECT_NE(StringTable::FindText(IDS_ERROR_CONTACT_SUPPORT, language).value_or("").find(kSupportAddress),
              std::string::npos);
  }
}

TEST(StringTableLoadText, GermanLanguageGetsGermanTexts) {
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, 1031), "Schließen");
  EXPECT_EQ(StringTable::LoadText(IDS_STATUS_UP_TO_DATE, 1031),
            "Ihr Gerät hat bereits Firmware v14.2.7 oder höher. Es ist kein Update erforderlich.");
  EXPECT_EQ(StringTable::LoadText(IDS_WINDOW_TITLE, 1031),
            "Orvantis Mirel VELOXA Wireless Gaming Mouse Update-Tool v14.2.7");
}

TEST(StringTableLoadText, LanguagesWithoutTableGetEnglish) {
  // Spanish with the traditional sort, Brazilian Portuguese, British English,
  // neutral, the user-default id, and ids beyond 16 bits.
  for (unsigned language : {1034u, 1046u, 2057u, 1033u, 0u, 0x400u, 0xFFFFu, 0x10407u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(language);
    EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, language), "Close");
    EXPECT_EQ(StringTable::LoadText(IDS_STATUS_UP_TO_DATE, language),
              "Your device has firmware v14.2.7 or higher. No update is needed.");
  }
  EXPECT_EQ(StringTable::LoadText(IDS_WINDOW_TITLE, 1033),
            "Orvantis Mirel VELOXA Wireless Gaming Mouse Update Tool v14.2.7");
  EXPECT_EQ(StringTable::LoadText(IDS_ERROR_CONTACT_SUPPORT, 1033),
            std::string("An error occurred. Please contact Customer Care for further assistance at ") +
                kSupportAddress + ".");
}

TEST(StringTableLoadText, IdsOutsideTheTableAreEmpty) {
  // 0x10400 would find 1024 if the id were cut to 16 bits.
  for (unsigned id : {0u, kFirstText - 1, kLastText + 1, 0xFFFFu, 0x10000u + kFirstText, 0xFFFFFFFFu}) {
    EXPECT_EQ(StringTable::LoadText(id, 1031), "") << id;
    EXPECT_FALSE(StringTable::FindText(id, StringTable::kEnglish).has_value()) << id;
  }
}

TEST(StringTableLoadText, NonLatinAndPunctuatedTextsComeBackExactly) {
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, 1041), "閉じる");
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, 1042), "닫기");
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, 1049), "Закрыть");
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, 2052), "关闭");
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE, 1028), "關閉");
  EXPECT_EQ(StringTable::LoadText(IDS_STATUS_UPDATING, 1041),
            "ファームウェアを更新しています。Mirel VELOXA Wireless Gaming Mouse を取り外さないでください");
  EXPECT_EQ(StringTable::LoadText(IDS_STATUS_CLICK_START, 1036),
            "Cliquez sur «\u00a0Démarrer\u00a0» pour lancer la mise à jour du micrologiciel");
  EXPECT_EQ(StringTable::LoadText(IDS_STATUS_CLICK_START, 1040),
            "Fai clic su \"Avvia\" per iniziare l'aggiornamento del firmware");
}

TEST(SubstituteProductText, ReplacesEveryPlaceholderLeftToRightWithoutRescanning) {
  const std::string name = kProductName;
  EXPECT_EQ(StringTable::SubstituteProductText("%%DFU_PRODUCT_NAME%% v%%DFU_PACKAGE_VERSION%% %%DFU_PRODUCT_NAME%%"),
            name + " v14.2.7 " + name);
  EXPECT_EQ(StringTable::SubstituteProductText(""), "");
  EXPECT_EQ(StringTable::SubstituteProductText("%%%DFU_PRODUCT_NAME%%%"), "%" + name + "%");
  // Overlapping placeholders: the product name goes first and takes the
  // shared percent signs, so the version placeholder no longer matches.
  EXPECT_EQ(StringTable::SubstituteProductText("%%DFU_PRODUCT_NAME%%DFU_PACKAGE_VERSION%%"),
            name + "DFU_PACKAGE_VERSION%%");
  EXPECT_EQ(StringTable::SubstituteProductText("%%DFU_PACKAGE_VERSION%%DFU_PRODUCT_NAME%%"),
            "%%DFU_PACKAGE_VERSION" + name);
  // Near misses stay as they are.
  for (const char* text :
       {"%%DFU_PRODUCT_NAME%", "%DFU_PRODUCT_NAME%%", "%%dfu_product_name%%", "DFU_PACKAGE_VERSION"}) {
    EXPECT_EQ(StringTable::SubstituteProductText(text), text);
  }

  EXPECT_EQ(StringTable::ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(StringTable::ReplaceAll("%x%", "%x%", "%x%%x%"), "%x%%x%");
  EXPECT_EQ(StringTable::ReplaceAll("abc", "", "z"), "abc");
}

TEST(LanguageFromLocaleName, MapsLocalesToTheTablesThatServeThem) {
  const struct {
    const char* locale;
    unsigned language;
  } cases[] = {
      {"de_DE.UTF-8", 1031},
      {"de_AT", 1031},
      {"de-DE", 1031},
      {"DE_de", 1031},
      {"fr_CA.UTF-8", 1036},
      {"es_ES.UTF-8", 3082},
      {"es_MX", 3082},
      {"it_IT@euro", 1040},
      {"nl_BE", 1043},
      {"sv_FI", 1053},
      {"da_DK", 1030},
      {"fi_FI", 1035},
      {"cs_CZ", 1029},
      {"pl_PL", 1045},
      {"hu_HU", 1038},
      {"tr_TR", 1055},
      {"ru_RU.KOI8-R", 1049},
      {"ja_JP.eucJP", 1041},
      {"ko_KR.UTF-8", 1042},
      {"nb_NO.UTF-8", 1044},
      {"nn_NO", 1044},
      {"no_NO", 1044},
      {"zh_CN.UTF-8", 2052},
      {"zh_SG", 2052},
      {"zh", 2052},
      {"zh_TW.UTF-8", 1028},
      {"zh_HK", 1028},
      {"zh_MO", 1028},
      {"zh-Hant", 1028},
      {"zh_Hans_HK", 2052},
      {"pt_PT.UTF-8", 2070},
      {"pt", 2070},
      {"pt_BR.UTF-8", 1033},
      {"pt_br", 1033},
      {"en_GB.UTF-8", 1033},
      {"C", 1033},
      {"C.UTF-8", 1033},
      {"POSIX", 1033},
      {"", 1033},
      {"el_GR.UTF-8", 1033},
      {"ca_ES@valencia", 1033},
      {"_DE", 1033},
      {".UTF-8", 1033},
      {"deutsch", 1033},
      {"d1_DE", 1033},
  };
  for (const auto& c : cases) EXPECT_EQ(StringTable::LanguageFromLocaleName(c.locale), c.language) << c.locale;
}

}  // namespace
}  // namespace mirel
