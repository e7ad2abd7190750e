// Feeds arbitrary locale names (as LC_ALL, LC_MESSAGES or LANG may hold them)
// and text ids to the string-table lookup: every name maps to a language the
// table serves or to US English, and every lookup ends in a text or nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/StringTable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned id = 1024u + (data[0] % 20u);  // a few ids past the last one too
  const std::string_view locale(reinterpret_cast<const char*>(data + 1), size - 1);
  const unsigned language = mirel::StringTable::LanguageFromLocaleName(locale);
  const auto order = mirel::StringTable::LookupOrder(language);
  if (order.empty() || order.front() != language) std::abort();
  (void)mirel::StringTable::LoadText(id, language);
  // The product substitution over the name itself: no overlap, no growth loop.
  const std::string replaced = mirel::StringTable::ReplaceAll(locale, locale.substr(0, locale.size() / 2), "%%");
  if (locale.size() / 2 > 0 && replaced.size() > locale.size() * 2) std::abort();
  return 0;
}
