#include "app/StringTable.h"

#include <algorithm>
#include <array>
#include <cctype>

#include "app/ProductInfo.h"

namespace mirel {

namespace {

constexpr unsigned kLanguageMask = 0x3FF;  // the primary language of a Windows language id

struct LocaleLanguage {
  std::string_view code;  // ISO 639 language code as POSIX locale names carry it
  unsigned language;
};

// Languages that have a table and are decided by the language code alone.
// Chinese and Portuguese also depend on the region (LanguageFromLocaleName).
constexpr std::array<LocaleLanguage, 19> kLocaleLanguages{{
    {"cs", 1029}, {"da", 1030}, {"de", 1031}, {"en", 1033}, {"es", 3082}, {"fi", 1035}, {"fr", 1036},
    {"hu", 1038}, {"it", 1040}, {"ja", 1041}, {"ko", 1042}, {"nb", 1044}, {"nl", 1043}, {"nn", 1044},
    {"no", 1044}, {"pl", 1045}, {"ru", 1049}, {"sv", 1053}, {"tr", 1055},
}};

constexpr unsigned kChineseTraditional = 1028;
constexpr unsigned kChineseSimplified = 2052;
constexpr unsigned kPortuguesePortugal = 2070;

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// "zh_Hant_TW" -> {"zh", "hant", "tw"}; both '_' and '-' separate.
std::vector<std::string> SplitLocaleName(std::string_view name) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '_' || name[i] == '-') {
      parts.push_back(Lower(name.substr(start, i - start)));
      start = i + 1;
    }
  }
  return parts;
}

bool Contains(const std::vector<std::string>& parts, std::string_view part) {
  return std::find(parts.begin() + 1, parts.end(), part) != parts.end();
}

}  // namespace

std::string StringTable::LoadText(unsigned id) { return LoadText(id, CurrentLanguage()); }

std::string StringTable::LoadText(unsigned id, unsigned language) {
  for (unsigned candidate : LookupOrder(language)) {
    if (auto text = FindText(id, candidate)) return SubstituteProductText(*text);
  }
  return std::string();
}

std::string StringTable::SubstituteProductText(const std::string& text) {
  return ReplaceAll(ReplaceAll(text, kProductNamePlaceholder, kProductName), kPackageVersionPlaceholder,
                    kPackageVersion);
}

std::vector<unsigned> StringTable::LookupOrder(unsigned language) {
  std::vector<unsigned> order;
  for (unsigned candidate : {language, language & kLanguageMask, kUsEnglish, kEnglish}) {
    if (std::find(order.begin(), order.end(), candidate) == order.end()) order.push_back(candidate);
  }
  return order;
}

unsigned StringTable::LanguageFromLocaleName(std::string_view locale) {
  // language[_territory][.codeset][@modifier]: only the part before the code
  // set or modifier names the language.
  const std::size_t end = locale.find_first_of(".@");
  const std::vector<std::string> parts = SplitLocaleName(locale.substr(0, end));
  const std::string& code = parts.front();
  if (code.size() < 2 || code.size() > 3 ||
      !std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isalpha(c) != 0; })) {
    return kUsEnglish;
  }
  if (code == "zh") {
    if (Contains(parts, "hant")) return kChineseTraditional;
    if (Contains(parts, "hans")) return kChineseSimplified;
    if (Contains(parts, "tw") || Contains(parts, "hk") || Contains(parts, "mo")) return kChineseTraditional;
    return kChineseSimplified;
  }
  if (code == "pt") {
    // Brazilian Portuguese differs too much from the European table; English
    // serves it as it serves every other language without a table.
    return Contains(parts, "br") ? kUsEnglish : kPortuguesePortugal;
  }
  for (const LocaleLanguage& entry : kLocaleLanguages) {
    if (entry.code == code) return entry.language;
  }
  return kUsEnglish;
}

std::string StringTable::ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t position = 0;
  for (std::size_t found; (found = text.find(from, position)) != std::string_view::npos;
       position = found + from.size()) {
    out.append(text, position, found - position);
    out.append(to);
  }
  out.append(text, position);
  return out;
}

}  // namespace mirel
