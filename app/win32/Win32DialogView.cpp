#include "app/win32/Win32DialogView.h"

#include <commctrl.h>

#include <vector>

#include "app/AppTrace.h"
#include "app/CMirelDFUDlg.h"
#include "app/res/resource.h"
#include "app/win32/WindowDpi.h"

namespace mirel {

namespace {

// At 96 DPI.
constexpr int kPicturePixels = 128;
// The view's own message: press the button whose id is in wParam (with
// autoAnswer). Above the controller's private messages, which start at
// WM_USER.
constexpr UINT kPressMessage = WM_APP + 1;
// WM_GETDPISCALEDSIZE, which the headers declare only for Windows 10 targets.
constexpr UINT kGetDpiScaledSize = 0x02E4;

std::wstring to_wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int size = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
  if (size > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  }
  return wide;
}

std::string to_utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size, nullptr,
                          nullptr);
  }
  return narrow;
}

std::wstring window_text(HWND window) {
  if (window == nullptr) return std::wstring();
  const int length = ::GetWindowTextLengthW(window);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1, L'\0');
  const int read = ::GetWindowTextW(window, buffer.data(), length + 1);
  return std::wstring(buffer.data(), static_cast<std::size_t>(read > 0 ? read : 0));
}

// Whether the control has been shown, whether or not its window is on the
// screen yet.
bool shown(HWND dialog, int control) {
  const HWND item = ::GetDlgItem(dialog, control);
  return item != nullptr && (::GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE) != 0;
}

}  // namespace

Win32DialogView::Win32DialogView(HINSTANCE resources, bool autoAnswer)
    : m_resources(resources != nullptr ? resources : ::GetModuleHandleW(nullptr)), m_auto(autoAnswer) {}

Win32DialogView::~Win32DialogView() {
  if (m_hwnd != nullptr) ::DestroyWindow(m_hwnd);
  release_resources();
}

bool Win32DialogView::create() {
  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof controls;
  controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
  ::InitCommonControlsEx(&controls);
  m_init_ok = false;
  m_ended = false;
  m_code = kClosedBySystem;
  // WM_INITDIALOG sets m_hwnd and runs the controller's initialisation.
  const HWND created = ::CreateDialogParamW(m_resources, MAKEINTRESOURCEW(IDD_MIREL_DFU_DIALOG), nullptr,
                                            &Win32DialogView::DialogProcStatic, reinterpret_cast<LPARAM>(this));
  if (created == nullptr) return false;
  if (!m_init_ok) {
    ::DestroyWindow(created);
    return false;
  }
  return true;
}

int Win32DialogView::run() {
  MSG message;
  while (m_hwnd != nullptr && !m_ended) {
    const BOOL got = ::GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      // Someone ended the thread's loop (WM_QUIT): pass it on to any outer loop.
      ::PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (got < 0) break;
    if (!::IsDialogMessageW(m_hwnd, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  if (m_hwnd != nullptr) ::DestroyWindow(m_hwnd);
  return m_code;
}

bool Win32DialogView::pump() {
  MSG message;
  while (m_hwnd != nullptr && !m_ended && ::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(message.wParam));
      break;
    }
    if (!::IsDialogMessageW(m_hwnd, &message)) {
      ::TranslateMessage(&message);
      ::DispatchMessageW(&message);
    }
  }
  return m_hwnd != nullptr && !m_ended;
}

std::string Win32DialogView::text(int control) const {
  const HWND window = m_hwnd.load();
  return to_utf8(window_text(control == 0 ? window : ::GetDlgItem(window, control)));
}

INT_PTR CALLBACK Win32DialogView::DialogProcStatic(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  Win32DialogView* view = nullptr;
  if (message == WM_INITDIALOG) {
    view = reinterpret_cast<Win32DialogView*>(lparam);
    ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(view));
    view->m_hwnd = hwnd;
  } else {
    view = reinterpret_cast<Win32DialogView*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (view == nullptr) return FALSE;
  const INT_PTR result = view->DialogProc(message, wparam, lparam);
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    view->m_hwnd = nullptr;
  }
  return result;
}

INT_PTR Win32DialogView::DialogProc(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      note_layout();
      m_init_ok = m_controller != nullptr && m_controller->OnInitDialog();
      return TRUE;
    case kGetDpiScaledSize:
      // The size whose client area holds the scaled layout; the system's
      // own guess scales the frame and caption with it.
      if (!scaled_size(static_cast<unsigned>(wparam), reinterpret_cast<SIZE*>(lparam))) return FALSE;
      ::SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_DPICHANGED:
      on_dpi_changed(HIWORD(wparam), reinterpret_cast<const RECT*>(lparam));
      return TRUE;
    case WM_COMMAND:
      on_command(LOWORD(wparam), HIWORD(wparam));
      return TRUE;
    case WM_CLOSE:
      // The close box and Alt-F4.
      if (m_controller != nullptr) m_controller->OnClose();
      return TRUE;
    case WM_TIMER:
      if (m_controller != nullptr) m_controller->OnTimer(static_cast<unsigned>(wparam));
      return TRUE;
    case WM_SETCURSOR:
      if (m_busy) {
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
        ::SetWindowLongPtrW(m_hwnd, DWLP_MSGRESULT, TRUE);
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      if (::IsIconic(m_hwnd)) {
        paint_minimised();
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_big_icon);
    case kPressMessage:
      press(static_cast<int>(wparam));
      return TRUE;
    default:
      break;
  }
  if (message == CMirelDFUDlg::MSG_RUN_LOOP_EVENT || message == CMirelDFUDlg::MSG_SWITCH_STATE) {
    if (m_controller != nullptr) m_controller->OnMessage(message, static_cast<std::uintptr_t>(wparam));
    return TRUE;
  }
  return FALSE;
}

void Win32DialogView::on_command(int control, int notification) {
  if (m_controller == nullptr) return;
  switch (control) {
    case IDC_START:
      // Only while it is shown: the update's states never start again.
      if (notification == BN_CLICKED && shown(m_hwnd, IDC_START)) m_controller->OnStart();
      break;
    case IDC_CLOSE:
      if (notification == BN_CLICKED) m_controller->OnClose();
      break;
    case IDOK:      // Enter
    case IDCANCEL:  // Escape
      m_controller->OnClose();
      break;
    default:
      break;
  }
}

void Win32DialogView::press(int control) {
  // Only a button that is still shown: the controller may have moved on.
  if (!m_ended && shown(m_hwnd, control)) on_command(control, BN_CLICKED);
}

void Win32DialogView::paint_minimised() {
  PAINTSTRUCT paint;
  const HDC dc = ::BeginPaint(m_hwnd, &paint);
  ::SendMessageW(m_hwnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  ::GetClientRect(m_hwnd, &client);
  const int width = WindowDpi::SystemMetric(SM_CXICON, m_dpi);
  const int height = WindowDpi::SystemMetric(SM_CYICON, m_dpi);
  const HICON icon = m_big_icon != nullptr ? m_big_icon : ::LoadIconW(m_resources, MAKEINTRESOURCEW(IDI_MIREL_APP));
  if (icon != nullptr) {
    ::DrawIconEx(dc, (client.right - client.left - width + 1) / 2, (client.bottom - client.top - height + 1) / 2, icon,
                 width, height, 0, nullptr, DI_NORMAL);
  }
  ::EndPaint(m_hwnd, &paint);
}

HICON Win32DialogView::load_icon(int icon, int size) const {
  return static_cast<HICON>(::LoadImageW(m_resources, MAKEINTRESOURCEW(icon), IMAGE_ICON, size, size, 0));
}

void Win32DialogView::release_resources() {
  for (HICON* icon : {&m_big_icon, &m_small_icon, &m_picture}) {
    if (*icon != nullptr) ::DestroyIcon(*icon);
    *icon = nullptr;
  }
  for (HFONT* font : {&m_font, &m_bold_font}) {
    if (*font != nullptr) ::DeleteObject(*font);
    *font = nullptr;
  }
}

void Win32DialogView::note_layout() {
  m_base_dpi = WindowDpi::ForWindow(m_hwnd);
  m_dpi = m_base_dpi;
  ::GetClientRect(m_hwnd, &m_base_client);
  m_layout.clear();
  for (HWND child = ::GetWindow(m_hwnd, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
    Placement place{child, {}};
    ::GetWindowRect(child, &place.rect);
    ::MapWindowPoints(nullptr, m_hwnd, reinterpret_cast<POINT*>(&place.rect), 2);
    m_layout.push_back(place);
  }
  HFONT font = reinterpret_cast<HFONT>(::SendMessageW(m_hwnd, WM_GETFONT, 0, 0));
  if (font == nullptr) font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
  if (::GetObjectW(font, sizeof m_template_font, &m_template_font) == 0) m_template_font = LOGFONTW{};
  // This window scales itself, on every system alike.
  WindowDpi::LeaveScalingToDialog(m_hwnd);
}

HFONT Win32DialogView::make_font(bool bold) const {
  LOGFONTW font = m_template_font;
  // No font was found at initialisation: the controls keep theirs.
  if (font.lfFaceName[0] == L'\0' && font.lfHeight == 0) return nullptr;
  font.lfHeight = ::MulDiv(font.lfHeight, static_cast<int>(m_dpi), static_cast<int>(m_base_dpi));
  font.lfWidth = ::MulDiv(font.lfWidth, static_cast<int>(m_dpi), static_cast<int>(m_base_dpi));
  if (bold) font.lfWeight = FW_BOLD;
  return ::CreateFontIndirectW(&font);
}

void Win32DialogView::apply_bold_font() {
  const HWND item = ::GetDlgItem(m_hwnd, m_bold_control);
  if (item == nullptr) return;
  const HFONT bold = make_font(true);
  if (bold == nullptr) return;
  ::SendMessageW(item, WM_SETFONT, reinterpret_cast<WPARAM>(bold), TRUE);
  // The control has let go of the old one.
  if (m_bold_font != nullptr) ::DeleteObject(m_bold_font);
  m_bold_font = bold;
}

bool Win32DialogView::scaled_size(unsigned dpi, SIZE* size) const {
  if (dpi == 0 || size == nullptr || m_hwnd == nullptr) return false;
  const SIZE client{::MulDiv(m_base_client.right, static_cast<int>(dpi), static_cast<int>(m_base_dpi)),
                    ::MulDiv(m_base_client.bottom, static_cast<int>(dpi), static_cast<int>(m_base_dpi))};
  const auto style = static_cast<DWORD>(::GetWindowLongW(m_hwnd, GWL_STYLE));
  const auto extended = static_cast<DWORD>(::GetWindowLongW(m_hwnd, GWL_EXSTYLE));
  return WindowDpi::WindowSizeAt(client, style, extended, dpi, size);
}

void Win32DialogView::on_dpi_changed(unsigned dpi, const RECT* suggested) {
  if (dpi == 0 || m_hwnd == nullptr) return;
  m_dpi = dpi;
  // The suggested rectangle keeps the window on the monitor that caused the
  // change; another size could move it back and forth between two monitors.
  if (suggested != nullptr) {
    ::SetWindowPos(m_hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // From the template's places each time, so that rounding does not pile up.
  const HFONT font = make_font(false);
  for (const Placement& place : m_layout) {
    const RECT& r = place.rect;
    const auto scale = [&](LONG value) {
      return ::MulDiv(static_cast<int>(value), static_cast<int>(m_dpi), static_cast<int>(m_base_dpi));
    };
    ::MoveWindow(place.control, scale(r.left), scale(r.top), scale(r.right) - scale(r.left),
                 scale(r.bottom) - scale(r.top), FALSE);
    if (font != nullptr) ::SendMessageW(place.control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  }
  if (font != nullptr) {
    // No control uses the old one any more; the template's own belongs to the dialog.
    if (m_font != nullptr) ::DeleteObject(m_font);
    m_font = font;
  }
  if (m_bold_control != 0) apply_bold_font();
  if (m_picture_icon != 0) set_product_picture(m_picture_icon);
  if (m_window_icon != 0) set_window_icon(m_window_icon);
  if (m_list_control != 0) set_list_extent(m_list_control, m_list_extent);
  // The controls were moved and given their fonts without drawing.
  ::RedrawWindow(m_hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void Win32DialogView::set_window_title(const std::string& text) { ::SetWindowTextW(m_hwnd, to_wide(text).c_str()); }

void Win32DialogView::set_text(int control, const std::string& text) {
  ::SetDlgItemTextW(m_hwnd, control, to_wide(text).c_str());
}

void Win32DialogView::show(int control, bool visible) {
  const HWND item = ::GetDlgItem(m_hwnd, control);
  if (item == nullptr) return;
  const bool button = control == IDC_START || control == IDC_CLOSE;
  if (button && !visible) {
    // A hidden button keeps neither the keyboard nor the default: Enter
    // without a button shown asks to close (IDOK).
    if (::GetFocus() == item) ::SetFocus(m_hwnd);
    if (LOWORD(::SendMessageW(m_hwnd, DM_GETDEFID, 0, 0)) == control) ::SendMessageW(m_hwnd, DM_SETDEFID, IDOK, 0);
  }
  ::ShowWindow(item, visible ? SW_SHOW : SW_HIDE);
  if (!visible || !button) return;
  // The one button in that place takes the keyboard and is the default, so
  // Enter and Space press it.
  ::SendMessageW(m_hwnd, DM_SETDEFID, static_cast<WPARAM>(control), 0);
  ::SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
  // After the controller's step, as a user's click would come.
  if (m_auto) ::PostMessageW(m_hwnd, kPressMessage, static_cast<WPARAM>(control), 0);
}

void Win32DialogView::add_list_entry(int control, const std::string& text) {
  ::SendDlgItemMessageW(m_hwnd, control, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(to_wide(text).c_str()));
}

void Win32DialogView::set_list_extent(int control, int pixels) {
  m_list_control = control;
  m_list_extent = pixels;
  // The entry's text grows with the DPI, and so does the room it needs.
  const int scaled = WindowDpi::Scale(pixels, m_dpi);
  ::SendDlgItemMessageW(m_hwnd, control, LB_SETHORIZONTALEXTENT, static_cast<WPARAM>(scaled > 0 ? scaled : 0), 0);
}

void Win32DialogView::make_bold(int control) {
  m_bold_control = control;
  apply_bold_font();
}

void Win32DialogView::set_window_icon(int icon) {
  m_window_icon = icon;
  const HICON big = load_icon(icon, WindowDpi::SystemMetric(SM_CXICON, m_dpi));
  const HICON small = load_icon(icon, WindowDpi::SystemMetric(SM_CXSMICON, m_dpi));
  ::SendMessageW(m_hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  ::SendMessageW(m_hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
  // The window no longer uses the old ones.
  if (m_big_icon != nullptr) ::DestroyIcon(m_big_icon);
  if (m_small_icon != nullptr) ::DestroyIcon(m_small_icon);
  m_big_icon = big;
  m_small_icon = small;
}

void Win32DialogView::set_product_picture(int icon) {
  m_picture_icon = icon;
  const HICON picture = load_icon(icon, WindowDpi::Scale(kPicturePixels, m_dpi));
  if (picture == nullptr) return;
  ::SendDlgItemMessageW(m_hwnd, IDC_PRODUCT_PICTURE, STM_SETICON, reinterpret_cast<WPARAM>(picture), 0);
  // The template's own icon is shared and is not destroyed; ours is.
  if (m_picture != nullptr) ::DestroyIcon(m_picture);
  m_picture = picture;
}

void Win32DialogView::set_busy(bool busy) {
  m_busy = busy;
  POINT cursor;
  // Change the cursor now if it is over the window, not at its next move.
  const HWND window = m_hwnd.load();
  if (window != nullptr && ::GetCursorPos(&cursor) && ::WindowFromPoint(cursor) != nullptr) {
    ::SendMessageW(window, WM_SETCURSOR, reinterpret_cast<WPARAM>(window), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  }
}

void Win32DialogView::show_notice(const std::string& text) {
  if (m_auto) {
    Trace("%s\n", text.c_str());
    return;
  }
  present_notice(to_wide(text));
}

void Win32DialogView::present_notice(const std::wstring& text) {
  const HWND window = m_hwnd.load();
  const HWND owner = window != nullptr && ::IsWindowVisible(window) ? window : nullptr;
  const std::wstring caption = window_text(window);
  ::MessageBoxW(owner, text.c_str(), caption.empty() ? nullptr : caption.c_str(), MB_OK | MB_ICONWARNING);
}

void Win32DialogView::set_progress_range(std::uint32_t low, std::uint32_t high) {
  ::SendDlgItemMessageW(m_hwnd, IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

void Win32DialogView::set_progress_step(int step) {
  ::SendDlgItemMessageW(m_hwnd, IDC_PROGRESS, PBM_SETSTEP, static_cast<WPARAM>(step), 0);
}

void Win32DialogView::set_progress_position(std::uint32_t position) {
  ::SendDlgItemMessageW(m_hwnd, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void Win32DialogView::post_message(unsigned message, std::uintptr_t wparam) {
  // The window exists before the controller can post anything (it starts in
  // WM_INITDIALOG); what arrives after it is gone has nobody to go to.
  if (const HWND window = m_hwnd.load()) ::PostMessageW(window, message, static_cast<WPARAM>(wparam), 0);
}

void Win32DialogView::set_timer(unsigned id, unsigned period_ms) {
  ::SetTimer(m_hwnd, static_cast<UINT_PTR>(id), period_ms, nullptr);
}

void Win32DialogView::kill_timer(unsigned id) { ::KillTimer(m_hwnd, static_cast<UINT_PTR>(id)); }

void Win32DialogView::end_dialog(int code) {
  m_code = code;
  m_ended = true;
  // Gone from the screen at once; run() destroys it once the message being
  // handled returns.
  if (m_hwnd != nullptr) ::ShowWindow(m_hwnd, SW_HIDE);
}

}  // namespace mirel
