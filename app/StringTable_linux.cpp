#include <algorithm>
#include <cstdlib>

#include "app/StringTable.h"
#include "app/StringTableData.h"

namespace mirel {

// The locale categories in the order the C library lets them override each
// other for messages; the first one set decides.
unsigned StringTable::CurrentLanguage() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return LanguageFromLocaleName(value);
  }
  return kUsEnglish;
}

std::optional<std::string> StringTable::FindText(unsigned id, unsigned language) {
  const auto table = BuiltInStringTable();
  const auto entry = std::find_if(table.begin(), table.end(), [&](const StringTableEntry& candidate) {
    return candidate.language == language && candidate.id == id;
  });
  if (entry == table.end()) return std::nullopt;
  return std::string(entry->text);
}

}  // namespace mirel
