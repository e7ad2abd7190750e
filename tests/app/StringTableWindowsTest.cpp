#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/StringTable.h"
#include "app/StringTableData.h"
#include "app/res/resource.h"

namespace mirel {
namespace {

HMODULE Executable() { return ::GetModuleHandleW(nullptr); }

BOOL CALLBACK CollectLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR param) {
  reinterpret_cast<std::set<unsigned>*>(param)->insert(language);
  return TRUE;
}

// The texts come back through the STRINGTABLE resources exactly as the data
// holds them, non-Latin scripts included, and no language is added or lost.
TEST(StringTableResources, EveryResourceTextMatchesTheData) {
  std::set<unsigned> data_languages;
  for (const StringTableEntry& entry : BuiltInStringTable()) {
    data_languages.insert(entry.language);
    EXPECT_EQ(StringTable::FindText(entry.id, entry.language).value_or("<none>"), entry.text)
        << "language " << entry.language << ", text " << entry.id;
  }
  std::set<unsigned> resource_languages;
  ::EnumResourceLanguagesW(Executable(), RT_STRING, MAKEINTRESOURCEW(IDS_WINDOW_TITLE / 16 + 1), CollectLanguage,
                           reinterpret_cast<LONG_PTR>(&resource_languages));
  EXPECT_EQ(resource_languages, data_languages);
  EXPECT_EQ(data_languages.size(), 20u);
}

class ThreadLocale {
 public:
  ThreadLocale() : saved_(::GetThreadLocale()) {}
  ~ThreadLocale() { ::SetThreadLocale(saved_); }
  ThreadLocale(const ThreadLocale&) = delete;
  ThreadLocale& operator=(const ThreadLocale&) = delete;
  static void Set(LANGID language) { ASSERT_TRUE(::SetThreadLocale(MAKELCID(language, SORT_DEFAULT))); }

 private:
  LCID saved_;
};

TEST(StringTableResources, ThreadLocaleChoosesTheLanguage) {
  ThreadLocale locale;
  ThreadLocale::Set(1031);
  EXPECT_EQ(StringTable::CurrentLanguage(), 1031u);
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), "Schließen");
  ThreadLocale::Set(1034);  // Spanish with the traditional sort has no table
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), "Close");
  ThreadLocale::Set(2052);
  EXPECT_EQ(StringTable::LoadText(IDS_CLOSE), "关闭");
}

TEST(AppResources, IconsLoadAtTheSizesTheWindowShowsThem) {
  const struct {
    unsigned id;
    int size;
  } cases[] = {{IDI_MIREL_APP, 16},  {IDI_MIREL_APP, 32}, {IDI_MIREL_APP, 48},
               {IDI_MIREL_APP, 256}, {IDI_PRODUCT, 128},  {IDI_PRODUCT_MODEL1, 128}};
  for (const auto& c : cases) {
    HICON icon = static_cast<HICON>(
        ::LoadImageW(Executable(), MAKEINTRESOURCEW(c.id), IMAGE_ICON, c.size, c.size, LR_DEFAULTCOLOR));
    ASSERT_NE(icon, nullptr) << "icon " << c.id << " at " << c.size;
    ICONINFO info{};
    ASSERT_TRUE(::GetIconInfo(icon, &info));
    BITMAP bitmap{};
    ::GetObjectW(info.hbmColor, sizeof(bitmap), &bitmap);
    EXPECT_EQ(bitmap.bmWidth, c.size) << "icon " << c.id;
    EXPECT_EQ(bitmap.bmHeight, c.size) << "icon " << c.id;
    if (info.hbmColor != nullptr) ::DeleteObject(info.hbmColor);
    if (info.hbmMask != nullptr) ::DeleteObject(info.hbmMask);
    ::DestroyIcon(icon);
  }
}

// Reads the compiled extended dialog template back, as the dialog manager
// will, to see the controls land with the ids, places and styles the
// controller and views rely on.
class TemplateReader {
 public:
  TemplateReader(const BYTE* data, std::size_t size) : data_(data), size_(size) {}
  template <typename T>
  T Read() {
    T value{};
    if (offset_ + sizeof(T) > size_) throw std::runtime_error("template cut short");
    std::memcpy(&value, data_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  // A name or ordinal: 0xFFFF then the ordinal, or a zero-terminated string.
  std::wstring ReadNameOrOrdinal() {
    const WORD first = Read<WORD>();
    if (first == 0xFFFF) return L"#" + std::to_wstring(Read<WORD>());
    std::wstring name;
    for (WORD c = first; c != 0; c = Read<WORD>()) name.push_back(static_cast<wchar_t>(c));
    return name;
  }
  // Window classes may be stored by name or by the ordinal of a system class,
  // and their names in any case.
  std::wstring ReadWindowClass() {
    std::wstring name = ReadNameOrOrdinal();
    static const wchar_t* const kSystemClasses[] = {L"button", L"edit", L"static", L"listbox"};
    for (int i = 0; i < 4; ++i) {
      if (name == L"#" + std::to_wstring(0x80 + i)) return kSystemClasses[i];
    }
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    return name;
  }
  void AlignToDword() { offset_ = (offset_ + 3) & ~std::size_t{3}; }
  void Skip(std::size_t bytes) { offset_ += bytes; }

 private:
  const BYTE* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

TEST(AppResources, DialogTemplateHasTheControlsOfTheUpdateWindow) {
  HRSRC info = ::FindResourceW(Executable(), MAKEINTRESOURCEW(IDD_MIREL_DFU_DIALOG), RT_DIALOG);
  ASSERT_NE(info, nullptr);
  TemplateReader reader(static_cast<const BYTE*>(::LockResource(::LoadResource(Executable(), info))),
                        ::SizeofResource(Executable(), info));

  ASSERT_EQ(reader.Read<WORD>(), 1);       // version of an extended template
  ASSERT_EQ(reader.Read<WORD>(), 0xFFFF);  // its signature
  reader.Read<DWORD>();                    // help id
  EXPECT_EQ(reader.Read<DWORD>(), static_cast<DWORD>(WS_EX_APPWINDOW));
  const DWORD style = reader.Read<DWORD>();
  const DWORD wanted = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
  EXPECT_EQ(style & wanted, wanted);
  const WORD count = reader.Read<WORD>();
  reader.Read<short>();
  reader.Read<short>();
  EXPECT_EQ(reader.Read<short>(), 401);
  EXPECT_EQ(reader.Read<short>(), 242);
  EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // no menu
  EXPECT_EQ(reader.ReadNameOrOrdinal(), L"");  // the standard dialog class
  reader.ReadNameOrOrdinal();                  // caption, replaced at run time
  EXPECT_EQ(reader.Read<WORD>(), 8);
  reader.Read<WORD>();
  reader.Read<BYTE>();
  reader.Read<BYTE>();
  EXPECT_EQ(reader.ReadNameOrOrdinal(), L"MS Shell Dlg");

  const struct {
    DWORD id;
    std::wstring window_class;
    short x, y, cx, cy;
    bool visible;
  } expected[] = {
      {IDC_PRODUCT_PICTURE, L"static", 28, 10, 18, 16, true},
      {IDC_TITLE, L"static", 131, 15, 259, 25, true},
      {IDC_WARNING, L"static", 131, 50, 259, 25, true},
      {IDC_RELEASE_NOTES_HEADING, L"static", 16, 100, 369, 8, true},
      {IDC_RELEASE_NOTES, L"listbox", 16, 113, 369, 43, true},
      {IDC_STATUS, L"static", 16, 166, 369, 37, true},
      {IDC_PROGRESS, L"msctls_progress32", 16, 223, 369, 11, false},
      {IDC_CLOSE, L"button", 280, 217, 110, 17, false},
      {IDC_START, L"button", 280, 217, 110, 17, false},
  };
  ASSERT_EQ(count, std::size(expected));
  for (const auto& control : expected) {
    SCOPED_TRACE(control.id);
    reader.AlignToDword();
    reader.Read<DWORD>();  // help id
    reader.Read<DWORD>();  // extended style
    const DWORD control_style = reader.Read<DWORD>();
    EXPECT_EQ(reader.Read<short>(), control.x);
    EXPECT_EQ(reader.Read<short>(), control.y);
    EXPECT_EQ(reader.Read<short>(), control.cx);
    EXPECT_EQ(reader.Read<short>(), control.cy);
    EXPECT_EQ(reader.Read<DWORD>(), control.id);
    EXPECT_EQ(reader.ReadWindowClass(), control.window_class);
    const std::wstring text = reader.ReadNameOrOrdinal();
    reader.Skip(reader.Read<WORD>());  // creation data
    EXPECT_EQ((control_style & WS_VISIBLE) != 0, control.visible);

    if (control.id == IDC_PRODUCT_PICTURE) {
      EXPECT_EQ(control_style & SS_TYPEMASK, static_cast<DWORD>(SS_ICON));
      EXPECT_EQ(text, L"#" + std::to_wstring(IDI_PRODUCT));
    }
    if (control.id == IDC_STATUS) {
      EXPECT_EQ(text, L"__Instructions__");
    }
    if (control.id == IDC_RELEASE_NOTES) {
      const DWORD list = LBS_NOSEL | WS_VSCROLL | WS_HSCROLL | WS_BORDER;
      EXPECT_EQ(control_style & list, list);
    }
    if (control.id == IDC_PROGRESS) {
      EXPECT_NE(control_style & WS_BORDER, 0u);
    }
  }
}

}  // namespace
}  // namespace mirel
