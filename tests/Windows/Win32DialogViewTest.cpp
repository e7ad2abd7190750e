#include <gtest/gtest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/StringTable.h"
#include "app/res/resource.h"
#include "app/win32/Win32DialogView.h"

namespace mirel {
namespace {

using test::UpdateRig;

// Notices are recorded instead of waiting for a person in a message box.
class TestDialogView : public Win32DialogView {
 public:
  explicit TestDialogView(bool auto_answer) : Win32DialogView(nullptr, auto_answer) {}
  std::vector<std::wstring> notices;

 protected:
  void present_notice(const std::wstring& text) override { notices.push_back(text); }
};

// Small made-up images with the real images' hardware codes keep a whole
// update short.
std::vector<std::uint8_t> small_image(int which) {
  const char* codes[2] = {"ZKT58_E1", "WVN31_F2"};
  const std::size_t sizes[2] = {1600, 480};
  std::vector<std::uint8_t> image;
  image.reserve(sizes[which]);
  image.push_back(static_cast<std::uint8_t>(which * 2));
  image.push_back(0x01);
  for (std::size_t c = 0; c < 8; ++c) image.push_back(static_cast<std::uint8_t>(codes[which][c]));
  while (image.size() < 16) image.push_back(0);
  for (std::size_t b = 16; b < sizes[which]; ++b) image.push_back(static_cast<std::uint8_t>(b * 7 + which));
  return image;
}

const std::vector<std::uint8_t>& stored_image(int which) {
  static const std::vector<std::vector<std::uint8_t>> images = {small_image(0), small_image(1)};
  return images[static_cast<std::size_t>(which)];
}

FirmwareImageSet small_images() {
  return FirmwareImageSet([](int id, const std::uint8_t** data, std::uint32_t* size) {
    if (id != 2000 && id != 2001) return false;
    const auto& image = stored_image(id - 2000);
    *data = image.data();
    *size = static_cast<std::uint32_t>(image.size());
    return true;
  });
}

rodiz::sim::SimMouseConfig small_mouse() {
  rodiz::sim::SimMouseConfig config = UpdateRig::config_with_embedded_images();
  config.expected_images = {{"ZKT58_E1", stored_image(0)}, {"WVN31_F2", stored_image(1)}};
  return config;
}

// The icon's size and its colour pixels, top row first.
struct IconLook {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

IconLook icon_look(HICON icon) {
  IconLook look;
  ICONINFO info{};
  if (icon == nullptr || !::GetIconInfo(icon, &info)) return look;
  BITMAP bitmap{};
  ::GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
  look.width = bitmap.bmWidth;
  look.height = bitmap.bmHeight;
  BITMAPINFO format{};
  format.bmiHeader.biSize = sizeof format.bmiHeader;
  format.bmiHeader.biWidth = bitmap.bmWidth;
  format.bmiHeader.biHeight = -bitmap.bmHeight;
  format.bmiHeader.biPlanes = 1;
  format.bmiHeader.biBitCount = 32;
  format.bmiHeader.biCompression = BI_RGB;
  look.pixels.resize(static_cast<std::size_t>(bitmap.bmWidth) * static_cast<std::size_t>(bitmap.bmHeight));
  const HDC screen = ::GetDC(nullptr);
  ::GetDIBits(screen, info.hbmColor, 0, static_cast<UINT>(bitmap.bmHeight), look.pixels.data(), &format,
              DIB_RGB_COLORS);
  ::ReleaseDC(nullptr, screen);
  ::DeleteObject(info.hbmColor);
  ::DeleteObject(info.hbmMask);
  return look;
}

LOGFONTW font_of(HWND control) {
  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)), sizeof font, &font);
  return font;
}

bool font_alive(HFONT font) { return ::GetObjectType(font) == OBJ_FONT; }

bool icon_alive(HICON icon) {
  ICONINFO info{};
  if (!::GetIconInfo(icon, &info)) return false;
  ::DeleteObject(info.hbmColor);
  ::DeleteObject(info.hbmMask);
  return true;
}

class Win32DialogViewTest : public ::testing::Test {
 protected:
  void TearDown() override {
    dialog_.reset();
    view_.reset();
    rig_.reset();
    ::SetThreadUILanguage(0);
    ::SetThreadLocale(LOCALE_USER_DEFAULT);
  }

  // The window with its controller on the simulated mouse.
  void open(bool with_mouse = true, bool auto_answer = false) {
    rodiz::sim::SimMouseConfig config = small_mouse();
    rig_ = std::make_unique<UpdateRig>(config);
    if (!with_mouse) rig_->bus->remove(rig_->mouse);
    view_ = std::make_unique<TestDialogView>(auto_answer);
    dialog_ =
        std::make_unique<CMirelDFUDlg>(*view_, rig_->library, rig_->host, small_images(), CMirelDFUDlg::Options());
    view_->attach(dialog_.get());
    ASSERT_TRUE(view_->create());
  }
  HWND item(int id) const { return ::GetDlgItem(view_->window(), id); }
  bool shown(int id) const { return (::GetWindowLongW(item(id), GWL_STYLE) & WS_VISIBLE) != 0; }
  // Runs the window's messages and timers until `done` holds; false after 10 s.
  bool pump_until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (!view_->pump() && !done()) return false;
      if (std::chrono::steady_clock::now() > deadline) return false;
      ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
  }
  bool reach(int state) {
    return pump_until([&] { return dialog_->state() == state; });
  }
  void click(int id) { ::SendMessageW(item(id), BM_CLICK, 0, 0); }
  // The control's rectangle in the window's client area.
  RECT place(int id) const {
    RECT rect{};
    ::GetWindowRect(item(id), &rect);
    ::MapWindowPoints(nullptr, view_->window(), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
  }
  // What the system sends when the window reaches a monitor of `dpi`: the
  // window's rectangle scaled about its top left corner.
  RECT send_dpi_change(unsigned dpi) {
    RECT window{};
    ::GetWindowRect(view_->window(), &window);
    const int now = static_cast<int>(view_->dpi());
    const RECT suggested{window.left, window.top,
                         window.left + ::MulDiv(window.right - window.left, static_cast<int>(dpi), now),
                         window.top + ::MulDiv(window.bottom - window.top, static_cast<int>(dpi), now)};
    ::SendMessageW(view_->window(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    return suggested;
  }

  struct Shown {
    bool progress;
    bool start;
    bool close;
    unsigned status;
  };
  void expect_shown(const Shown& expected) {
    EXPECT_EQ(shown(IDC_PROGRESS), expected.progress);
    EXPECT_EQ(shown(IDC_START), expected.start);
    EXPECT_EQ(shown(IDC_CLOSE), expected.close);
    EXPECT_EQ(view_->text(IDC_STATUS), StringTable::LoadText(expected.status));
  }

  std::unique_ptr<UpdateRig> rig_;
  std::unique_ptr<TestDialogView> view_;
  std::unique_ptr<CMirelDFUDlg> dialog_;
};

TEST_F(Win32DialogViewTest, TheTemplateIsFilledBeforeTheWindowShows) {
  open(false);
  const HWND window = view_->window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(::IsWindowVisible(window));
  EXPECT_NE(::GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
  for (int id : {IDC_PROGRESS, IDC_TITLE, IDC_RELEASE_NOTES, IDC_RELEASE_NOTES_HEADING, IDC_STATUS, IDC_CLOSE,
                 IDC_WARNING, IDC_PRODUCT_PICTURE, IDC_START}) {
    EXPECT_NE(item(id), nullptr) << id;
  }
  EXPECT_EQ(view_->text(0), StringTable::LoadText(IDS_WINDOW_TITLE));
  EXPECT_EQ(view_->text(IDC_TITLE), StringTable::LoadText(IDS_TITLE_LINE));
  EXPECT_EQ(view_->text(IDC_WARNING), StringTable::LoadText(IDS_WARNING_LINE));
  EXPECT_EQ(view_->text(IDC_RELEASE_NOTES_HEADING), StringTable::LoadText(IDS_RELEASE_NOTES_HEADING));
  EXPECT_EQ(view_->text(IDC_CLOSE), StringTable::LoadText(IDS_CLOSE));
  EXPECT_EQ(view_->text(IDC_START), StringTable::LoadText(IDS_START));

  ASSERT_EQ(::SendMessageW(item(IDC_RELEASE_NOTES), LB_GETCOUNT, 0, 0), 1);
  std::vector<wchar_t> entry(static_cast<std::size_t>(::SendMessageW(item(IDC_RELEASE_NOTES), LB_GETTEXTLEN, 0, 0)) +
                             1);
  ::SendMessageW(item(IDC_RELEASE_NOTES), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(entry.data()));
  EXPECT_EQ(entry[0], L'*');
  EXPECT_EQ(::SendMessageW(item(IDC_RELEASE_NOTES), LB_GETHORIZONTALEXTENT, 0, 0), 1200);

  LOGFONTW font{};
  ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(item(IDC_STATUS), WM_GETFONT, 0, 0)), sizeof font, &font);
  EXPECT_GE(font.lfWeight, FW_BOLD);

  const HICON picture = reinterpret_cast<HICON>(::SendMessageW(item(IDC_PRODUCT_PICTURE), STM_GETICON, 0, 0));
  ICONINFO info{};
  ASSERT_TRUE(::GetIconInfo(picture, &info));
  BITMAP bitmap{};
  ::GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
  EXPECT_EQ(bitmap.bmWidth, 128);
  EXPECT_EQ(bitmap.bmHeight, 128);
  ::DeleteObject(info.hbmColor);
  ::DeleteObject(info.hbmMask);
  EXPECT_NE(::SendMessageW(window, WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(::SendMessageW(window, WM_GETICON, ICON_SMALL, 0), 0);
  EXPECT_EQ(::SendMessageW(window, WM_QUERYDRAGICON, 0, 0), ::SendMessageW(window, WM_GETICON, ICON_BIG, 0));

  // The first state arrives as a posted message.
  ASSERT_TRUE(pump_until([&] { return view_->text(IDC_STATUS) != "__Instructions__"; }));
  expect_shown({false, false, false, IDS_STATUS_CONNECT});
}

TEST_F(Win32DialogViewTest, AWholeUpdateThroughTheWindowsMessagesAndTimers) {
  open();
  ASSERT_TRUE(reach(CMirelDFUDlg::ReadyToStart));
  expect_shown({false, true, false, IDS_STATUS_CLICK_START});

  click(IDC_START);
  EXPECT_EQ(dialog_->state(), CMirelDFUDlg::EnteringBootloader);
  expect_shown({true, false, false, IDS_STATUS_PREPARING});
  // Mid-update nothing closes the window: the close box, Escape, Enter.
  ::SendMessageW(view_->window(), WM_CLOSE, 0, 0);
  ::SendMessageW(view_->window(), WM_COMMAND, IDCANCEL, 0);
  ::SendMessageW(view_->window(), WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(view_->pump());

  ASSERT_TRUE(reach(CMirelDFUDlg::Succeeded));
  expect_shown({false, false, true, IDS_STATUS_SUCCESS});
  const HWND progress = item(IDC_PROGRESS);
  EXPECT_EQ(::SendMessageW(progress, PBM_GETPOS, 0, 0), ::SendMessageW(progress, PBM_GETRANGE, FALSE, 0));
  EXPECT_EQ(rig_->mouse->version().build, 7);

  click(IDC_CLOSE);
  EXPECT_FALSE(view_->pump());
  EXPECT_FALSE(::IsWindowVisible(view_->window()));
  EXPECT_TRUE(view_->notices.empty());
}

// The button shown takes the keyboard, so Enter presses it; a click that
// reaches Start once it is hidden starts nothing again.
TEST_F(Win32DialogViewTest, OnlyTheButtonShownTakesTheKeyboardAndClicks) {
  const auto enter = [this] {
    MSG key{::GetFocus(), WM_KEYDOWN, VK_RETURN, 0, 0, {0, 0}};
    EXPECT_TRUE(::IsDialogMessageW(view_->window(), &key));
  };
  open();
  ASSERT_TRUE(reach(CMirelDFUDlg::ReadyToStart));
  EXPECT_EQ(::GetFocus(), item(IDC_START));
  enter();
  ASSERT_EQ(dialog_->state(), CMirelDFUDlg::EnteringBootloader);
  EXPECT_NE(::GetFocus(), item(IDC_START));

  ASSERT_TRUE(reach(CMirelDFUDlg::Succeeded));
  EXPECT_EQ(::GetFocus(), item(IDC_CLOSE));
  ::SendMessageW(view_->window(), WM_COMMAND, MAKEWPARAM(IDC_START, BN_CLICKED),
                 reinterpret_cast<LPARAM>(item(IDC_START)));
  EXPECT_EQ(dialog_->state(), CMirelDFUDlg::Succeeded);
  enter();
  EXPECT_FALSE(view_->pump());
}

// With autoAnswer (--yes) Start and Close press themselves: the update runs
// and the window closes without anyone, and notices wait for nobody.
TEST_F(Win32DialogViewTest, AutoAnswerRunsTheUpdateAndClosesTheWindow) {
  open(true, true);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (view_->pump() && std::chrono::steady_clock::now() < deadline) {
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  EXPECT_EQ(dialog_->state(), CMirelDFUDlg::Succeeded);
  EXPECT_FALSE(::IsWindowVisible(view_->window()));
  EXPECT_EQ(rig_->mouse->version().build, 7);
  view_->show_notice("nobody reads this");
  EXPECT_TRUE(view_->notices.empty());
}

TEST_F(Win32DialogViewTest, WithoutADeviceTheCloseBoxEscapeAndAltF4Close) {
  struct Case {
    const char* name;
    std::function<void(HWND)> close;
  };
  const Case cases[] = {
      {"close box", [](HWND w) { ::SendMessageW(w, WM_SYSCOMMAND, SC_CLOSE, 0); }},
      {"Escape", [](HWND w) { ::SendMessageW(w, WM_COMMAND, IDCANCEL, 0); }},
      {"Enter", [](HWND w) { ::SendMessageW(w, WM_COMMAND, IDOK, 0); }},
      {"Alt-F4", [](HWND w) { ::SendMessageW(w, WM_CLOSE, 0, 0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    open(false);
    ASSERT_TRUE(pump_until([&] { return view_->text(IDC_STATUS) != "__Instructions__"; }));
    c.close(view_->window());
    EXPECT_FALSE(view_->pump());
    TearDown();
  }
}

TEST_F(Win32DialogViewTest, TextsFollowTheThreadsLanguage) {
  const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
  ::SetThreadUILanguage(german);
  ::SetThreadLocale(MAKELCID(german, SORT_DEFAULT));
  open(false);
  const std::string start = StringTable::LoadText(IDS_START, 1031);
  ASSERT_NE(start, StringTable::LoadText(IDS_START, 1033));
  EXPECT_EQ(view_->text(IDC_START), start);
  EXPECT_EQ(view_->text(0), StringTable::LoadText(IDS_WINDOW_TITLE, 1031));
}

// Moving to a monitor of another DPI lays the window out again from the
// template: sizes, places, fonts, the picture and the icons at the new DPI,
// and what they replaced freed once, without touching the dialog's own font.
TEST_F(Win32DialogViewTest, ADpiChangeRebuildsTheLayoutAndFreesWhatItReplaced) {
  open(false);
  const HWND window = view_->window();
  const int base = static_cast<int>(view_->dpi());
  const auto scaled = [base](int value, int dpi) { return ::MulDiv(value, dpi, base); };
  const HFONT dialog_font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
  ASSERT_TRUE(font_alive(dialog_font));
  const LONG status_height = font_of(item(IDC_STATUS)).lfHeight;
  const LONG text_height = font_of(item(IDC_START)).lfHeight;
  const int big_icon = icon_look(reinterpret_cast<HICON>(::SendMessageW(window, WM_GETICON, ICON_BIG, 0))).width;
  const RECT start = place(IDC_START);
  // Not the list: it keeps a whole number of lines.
  const RECT status = place(IDC_STATUS);
  const RECT picture_place = place(IDC_PRODUCT_PICTURE);

  struct Owned {
    HFONT text;
    HFONT status;
    HICON picture;
    HICON big;
    HICON small;
  };
  const auto owned = [&] {
    return Owned{reinterpret_cast<HFONT>(::SendMessageW(item(IDC_START), WM_GETFONT, 0, 0)),
                 reinterpret_cast<HFONT>(::SendMessageW(item(IDC_STATUS), WM_GETFONT, 0, 0)),
                 reinterpret_cast<HICON>(::SendMessageW(item(IDC_PRODUCT_PICTURE), STM_GETICON, 0, 0)),
                 reinterpret_cast<HICON>(::SendMessageW(window, WM_GETICON, ICON_BIG, 0)),
                 reinterpret_cast<HICON>(::SendMessageW(window, WM_GETICON, ICON_SMALL, 0))};
  };
  Owned before = owned();

  // Asked first for the size at the new DPI, the window wants room for its
  // scaled client area.
  RECT client{};
  ::GetClientRect(window, &client);
  SIZE wanted{};
  ASSERT_NE(::SendMessageW(window, 0x02E4 /* WM_GETDPISCALEDSIZE */, base * 2, reinterpret_cast<LPARAM>(&wanted)), 0);
  EXPECT_GE(wanted.cx, 2 * client.right);
  EXPECT_GE(wanted.cy, 2 * client.bottom);
  EXPECT_LT(wanted.cy, 2 * client.bottom + 200);

  // Up, further up, and back: nothing drifts, and a second change frees
  // what the first one made.
  for (const int dpi : {base * 3 / 2, base * 2, base}) {
    SCOPED_TRACE(dpi);
    const RECT suggested = send_dpi_change(static_cast<unsigned>(dpi));
    EXPECT_EQ(view_->dpi(), static_cast<unsigned>(dpi));
    RECT now{};
    ::GetWindowRect(window, &now);
    EXPECT_TRUE(::EqualRect(&now, &suggested));

    const IconLook picture =
        icon_look(reinterpret_cast<HICON>(::SendMessageW(item(IDC_PRODUCT_PICTURE), STM_GETICON, 0, 0)));
    EXPECT_EQ(picture.width, ::MulDiv(128, dpi, 96));
    EXPECT_EQ(picture.height, ::MulDiv(128, dpi, 96));
    // In its place, and as large as the picture.
    const RECT shown_at = place(IDC_PRODUCT_PICTURE);
    EXPECT_EQ(shown_at.left, scaled(picture_place.left, dpi));
    EXPECT_EQ(shown_at.top, scaled(picture_place.top, dpi));
    EXPECT_EQ(shown_at.right - shown_at.left, picture.width);
    EXPECT_EQ(icon_look(reinterpret_cast<HICON>(::SendMessageW(window, WM_GETICON, ICON_BIG, 0))).width,
              scaled(big_icon, dpi));
    EXPECT_EQ(::SendMessageW(window, WM_QUERYDRAGICON, 0, 0), ::SendMessageW(window, WM_GETICON, ICON_BIG, 0));
    EXPECT_EQ(font_of(item(IDC_STATUS)).lfHeight, scaled(status_height, dpi));
    EXPECT_GE(font_of(item(IDC_STATUS)).lfWeight, FW_BOLD);
    EXPECT_EQ(font_of(item(IDC_START)).lfHeight, scaled(text_height, dpi));
    EXPECT_LT(font_of(item(IDC_START)).lfWeight, FW_BOLD);
    for (const auto& [id, from] : {std::pair{IDC_START, start}, std::pair{IDC_STATUS, status}}) {
      const RECT at = place(id);
      EXPECT_EQ(at.left, scaled(from.left, dpi)) << id;
      EXPECT_EQ(at.top, scaled(from.top, dpi)) << id;
      EXPECT_EQ(at.right, scaled(from.right, dpi)) << id;
      EXPECT_EQ(at.bottom, scaled(from.bottom, dpi)) << id;
    }
    EXPECT_EQ(::SendMessageW(item(IDC_RELEASE_NOTES), LB_GETHORIZONTALEXTENT, 0, 0), ::MulDiv(1200, dpi, 96));

    const Owned after = owned();
    for (const HFONT font : {after.text, after.status}) EXPECT_TRUE(font_alive(font));
    for (const HICON icon : {after.picture, after.big, after.small}) EXPECT_TRUE(icon_alive(icon));
    // The replaced ones are gone, except the dialog's own font, which the
    // dialog frees when it is destroyed.
    EXPECT_EQ(font_alive(before.text), before.text == dialog_font);
    EXPECT_FALSE(font_alive(before.status));
    for (const HICON icon : {before.picture, before.big, before.small}) EXPECT_FALSE(icon_alive(icon));
    EXPECT_TRUE(font_alive(dialog_font));
    before = after;
  }
}

// Minimised, the window offers the application icon, not the product
// picture. (Where it paints it cannot be seen here: a minimised window
// under Wine has no client area.)
TEST_F(Win32DialogViewTest, MinimisedTheWindowShowsTheApplicationIcon) {
  open(false);
  const HWND window = view_->window();
  ::ShowWindow(window, SW_MINIMIZE);
  ASSERT_TRUE(::IsIconic(window));
  ::InvalidateRect(window, nullptr, TRUE);
  ::UpdateWindow(window);
  const HICON dragged = reinterpret_cast<HICON>(::SendMessageW(window, WM_QUERYDRAGICON, 0, 0));
  EXPECT_EQ(reinterpret_cast<LRESULT>(dragged), ::SendMessageW(window, WM_GETICON, ICON_BIG, 0));
  const IconLook look = icon_look(dragged);
  ASSERT_GT(look.width, 0);
  const auto resource = [&](int id) {
    const HICON icon = static_cast<HICON>(
        ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(id), IMAGE_ICON, look.width, look.height, 0));
    IconLook loaded = icon_look(icon);
    ::DestroyIcon(icon);
    return loaded;
  };
  EXPECT_EQ(look.pixels, resource(IDI_MIREL_APP).pixels);
  EXPECT_NE(look.pixels, resource(IDI_PRODUCT).pixels);
  ::ShowWindow(window, SW_RESTORE);
  EXPECT_FALSE(::IsIconic(window));
}

}  // namespace
}  // namespace mirel
