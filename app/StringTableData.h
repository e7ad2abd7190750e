#pragma once

#include <span>

namespace mirel {

// One text of the built-in table, UTF-8, before product text substitution.
struct StringTableEntry {
  unsigned language;  // Windows language id; English is stored as 9
  unsigned id;
  const char* text;
};

// Every text of every language, sorted by language, then id. Generated at
// build time from app/res/strings/*.json by tools/gen_strings.py; the same
// data becomes the Windows STRINGTABLE resources.
std::span<const StringTableEntry> BuiltInStringTable();

}  // namespace mirel
