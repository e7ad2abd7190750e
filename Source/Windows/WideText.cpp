#include "Windows/WideText.h"

#include <windows.h>

#include <cwchar>

namespace rodiz {

std::wstring WideText::widen(const std::string& text) {
  if (text.empty()) return {};
  const int size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (size <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                            size) != size) {
    return {};
  }
  return wide;
}

std::string WideText::lower_utf8(const wchar_t* text, std::size_t length) {
  std::string result = utf8(text, length);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

std::string WideText::utf8(const wchar_t* text, std::size_t length) {
  if (text == nullptr) return {};
  length = ::wcsnlen(text, length);
  if (length == 0) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
  if (size <= 0) return {};
  std::string result(static_cast<std::size_t>(size), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(length), result.data(), size, nullptr,
                            nullptr) != size) {
    return {};
  }
  return result;
}

}  // namespace rodiz
