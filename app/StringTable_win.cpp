#include <windows.h>

#include "app/StringTable.h"

namespace mirel {

namespace {

// A string resource block holds 16 texts: ids 16 * (block - 1) to 16 * block - 1.
constexpr unsigned kTextsPerBlock = 16;
constexpr unsigned kMaxResourceNumber = 0xFFFF;

struct LanguageSearch {
  WORD wanted;
  bool found;
};

BOOL CALLBACK OnResourceLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  auto* search = reinterpret_cast<LanguageSearch*>(param);
  if (language != search->wanted) return TRUE;
  search->found = true;
  return FALSE;
}

// FindResourceEx quietly falls back to other languages; the lookup order is
// ours to decide (StringTable::LookupOrder), so ask for exact presence first.
bool HasBlockInLanguage(HMODULE module, WORD block, WORD language) {
  LanguageSearch search{language, false};
  ::EnumResourceLanguagesW(module, RT_STRING, MAKEINTRESOURCEW(block), OnResourceLanguage,
                           reinterpret_cast<LONG_PTR>(&search));
  return search.found;
}

std::string Utf8FromUtf16(const WCHAR* text, int length) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

}  // namespace

unsigned StringTable::CurrentLanguage() { return LANGIDFROMLCID(::GetThreadLocale()); }

std::optional<std::string> StringTable::FindText(unsigned id, unsigned language) {
  if (id > kMaxResourceNumber || language > kMaxResourceNumber) return std::nullopt;
  const HMODULE module = ::GetModuleHandleW(nullptr);
  const WORD block = static_cast<WORD>(id / kTextsPerBlock + 1);
  if (!HasBlockInLanguage(module, block, static_cast<WORD>(language))) return std::nullopt;
  const HRSRC info = ::FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(block), static_cast<WORD>(language));
  if (info == nullptr) return std::nullopt;
  const HGLOBAL loaded = ::LoadResource(module, info);
  const auto* data = static_cast<const WCHAR*>(::LockResource(loaded));
  if (data == nullptr) return std::nullopt;

  // Each text is a length word followed by that many UTF-16 units; an absent
  // text has length 0. A block cut short yields nothing rather than a read
  // past its end.
  const std::size_t units = ::SizeofResource(module, info) / sizeof(WCHAR);
  std::size_t position = 0;
  for (unsigned index = 0; index < kTextsPerBlock; ++index) {
    if (position >= units) return std::nullopt;
    const std::size_t length = data[position++];
    if (length > units - position) return std::nullopt;
    if (index == id % kTextsPerBlock) {
      if (length == 0) return std::nullopt;
      return Utf8FromUtf16(data + position, static_cast<int>(length));
    }
    position += length;
  }
  return std::nullopt;
}

}  // namespace mirel
