#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mirel {

// The application's texts (string ids 1024 to 1039, app/res/resource.h) in
// every language the program carries. Texts are UTF-8. Windows reads them from
// the executable's STRINGTABLE resources, Linux from the built-in table; both
// come from the same data (app/res/strings/*.json).
class StringTable {
 public:
  static constexpr unsigned kEnglish = 9;       // English is stored with the neutral sublanguage
  static constexpr unsigned kUsEnglish = 1033;  // what every language falls back to

  // The language texts are shown in, as a Windows language id. Windows: the
  // language of the calling thread's locale. Linux: the first non-empty of
  // LC_ALL, LC_MESSAGES and LANG, through LanguageFromLocaleName.
  static unsigned CurrentLanguage();

  // The text in the current language, or in `language`; US English when that
  // language lacks it; empty when no language has it. The product text
  // substitution is applied.
  static std::string LoadText(unsigned id);
  static std::string LoadText(unsigned id, unsigned language);

  // Replaces every "%%DFU_PRODUCT_NAME%%" by the product name, then every
  // "%%DFU_PACKAGE_VERSION%%" by the package version (app/ProductInfo.h).
  static std::string SubstituteProductText(const std::string& text);

  // The text stored for exactly this language, without fallback or
  // substitution; nothing when that language has no such text.
  static std::optional<std::string> FindText(unsigned id, unsigned language);

  // The languages LoadText tries for `language`, in order: the language
  // itself, its primary language with the neutral sublanguage (as Windows
  // looks resources up), US English, then neutral English.
  static std::vector<unsigned> LookupOrder(unsigned language);

  // Maps a POSIX locale name such as "de_AT.UTF-8", "zh_TW" or "pt_BR" to the
  // language of the table that serves it; US English for "C", "POSIX", an
  // empty or malformed name and every language without a table.
  static unsigned LanguageFromLocaleName(std::string_view locale);

  // Replaces the occurrences of `from` found left to right, without overlap;
  // an inserted `to` is not searched again. An empty `from` changes nothing.
  static std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);
};

}  // namespace mirel
