#include "app/win32/WindowDpi.h"

namespace mirel {

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
using SetDialogDpiChangeBehaviorFn = BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS, DIALOG_DPI_CHANGE_BEHAVIORS);

// The addresses, or null where this system's user32 lacks them.
struct User32Dpi {
  GetDpiForWindowFn getDpiForWindow = nullptr;
  GetSystemMetricsForDpiFn getSystemMetricsForDpi = nullptr;
  AdjustWindowRectExForDpiFn adjustWindowRectExForDpi = nullptr;
  SetDialogDpiChangeBehaviorFn setDialogDpiChangeBehavior = nullptr;
};

template <typename Fn>
Fn lookup(HMODULE module, const char* name) {
  // Through a plain function pointer type: the address's own type differs.
  return module == nullptr ? nullptr
                           : reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
}

const User32Dpi& user32() {
  static const User32Dpi functions = [] {
    // The program links user32, so it stays loaded.
    const HMODULE module = ::GetModuleHandleW(L"user32.dll");
    User32Dpi found;
    found.getDpiForWindow = lookup<GetDpiForWindowFn>(module, "GetDpiForWindow");
    found.getSystemMetricsForDpi = lookup<GetSystemMetricsForDpiFn>(module, "GetSystemMetricsForDpi");
    found.adjustWindowRectExForDpi = lookup<AdjustWindowRectExForDpiFn>(module, "AdjustWindowRectExForDpi");
    found.setDialogDpiChangeBehavior = lookup<SetDialogDpiChangeBehaviorFn>(module, "SetDialogDpiChangeBehavior");
    return found;
  }();
  return functions;
}

unsigned system_dpi() {
  const HDC screen = ::GetDC(nullptr);
  const int dpi = screen != nullptr ? ::GetDeviceCaps(screen, LOGPIXELSY) : 0;
  if (screen != nullptr) ::ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<unsigned>(dpi) : WindowDpi::kBase;
}

}  // namespace

unsigned WindowDpi::ForWindow(HWND window) {
  if (user32().getDpiForWindow != nullptr && window != nullptr) {
    const UINT dpi = user32().getDpiForWindow(window);
    if (dpi != 0) return dpi;
  }
  return system_dpi();
}

int WindowDpi::SystemMetric(int index, unsigned dpi) {
  if (user32().getSystemMetricsForDpi != nullptr) return user32().getSystemMetricsForDpi(index, dpi);
  return ::MulDiv(::GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(system_dpi()));
}

bool WindowDpi::WindowSizeAt(SIZE client, DWORD style, DWORD extended, unsigned dpi, SIZE* window) {
  if (user32().adjustWindowRectExForDpi == nullptr) return false;
  RECT rect{0, 0, client.cx, client.cy};
  if (!user32().adjustWindowRectExForDpi(&rect, style, FALSE, extended, dpi)) return false;
  window->cx = rect.right - rect.left;
  window->cy = rect.bottom - rect.top;
  return true;
}

void WindowDpi::LeaveScalingToDialog(HWND dialog) {
  if (user32().setDialogDpiChangeBehavior != nullptr) {
    user32().setDialogDpiChangeBehavior(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
  }
}

}  // namespace mirel
