#pragma once

#include <windows.h>

namespace mirel {

// The DPI functions of user32 that older systems lack (the program runs from
// Windows 8.1 on), looked up once at run time, with the fallbacks those
// systems call for. Every function may be called on any thread.
class WindowDpi {
 public:
  // The DPI that sizes are given at when nothing is scaled.
  static constexpr unsigned kBase = 96;

  // The DPI the window is drawn at: its monitor's on Windows 10 1607 and
  // later (per-monitor awareness), the system's before that. Never 0.
  static unsigned ForWindow(HWND window);
  // The system metric `index` (the icon sizes, for example) at `dpi`; before
  // Windows 10 1607 the system's value scaled from the system's DPI.
  static int SystemMetric(int index, unsigned dpi);
  // The size of a window of `style` and `extended` style (no menu) whose
  // client area is `client` at `dpi`; false where the system cannot tell
  // (before Windows 10 1607).
  static bool WindowSizeAt(SIZE client, DWORD style, DWORD extended, unsigned dpi, SIZE* window);
  // Stops the dialog manager from rescaling `dialog` on a DPI change by
  // itself, which Windows 10 1703 and later do for per-monitor v2 dialogs,
  // so that the dialog's own handling of WM_DPICHANGED is the only one.
  // Nothing to do where the system does not rescale dialogs.
  static void LeaveScalingToDialog(HWND dialog);
  // `value`, given at kBase, at `dpi`.
  static int Scale(int value, unsigned dpi) { return ::MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBase)); }
};

}  // namespace mirel
