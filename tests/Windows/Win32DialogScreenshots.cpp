// Renders the update window in each state a person sees (waiting for the
// mouse, ready to start, updating at 40 %, success, failure countdown), in
// English and German, to PNG files: the window drives the controller and the
// simulated mouse as in a real run. Run under Wine on a display by
// tools/win32-screenshots.sh.
//   win32_dialog_screenshots OUTPUT_DIRECTORY
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <wincodec.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/res/resource.h"
#include "app/win32/Win32DialogView.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

namespace {

using mirel::CMirelDFUDlg;
using mirel::FirmwareImageSet;
using mirel::Win32DialogView;
using mirel::test::UpdateRig;

class QuietView : public Win32DialogView {
 protected:
  void present_notice(const std::wstring&) override {}
};

std::vector<std::uint8_t> small_image(int which) {
  const char* codes[2] = {"ZKT58_E1", "WVN31_F2"};
  const std::size_t sizes[2] = {4800, 1600};
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

// Writes 32-bit BGRX pixels, top row first, as a PNG file.
bool write_png(const std::wstring& path, const std::vector<std::uint8_t>& pixels, UINT width, UINT height) {
  IWICImagingFactory* factory = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                reinterpret_cast<void**>(&factory)))) {
    return false;
  }
  bool ok = false;
  IWICStream* stream = nullptr;
  IWICBitmapEncoder* encoder = nullptr;
  IWICBitmapFrameEncode* frame = nullptr;
  if (SUCCEEDED(factory->CreateStream(&stream)) &&
      SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
      SUCCEEDED(factory->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
      SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
      SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
      SUCCEEDED(frame->SetSize(width, height))) {
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGR;
    ok = SUCCEEDED(frame->SetPixelFormat(&format)) && IsEqualGUID(format, GUID_WICPixelFormat32bppBGR) &&
         SUCCEEDED(frame->WritePixels(height, width * 4, static_cast<UINT>(pixels.size()),
                                      const_cast<BYTE*>(pixels.data()))) &&
         SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
  }
  if (frame != nullptr) frame->Release();
  if (encoder != nullptr) encoder->Release();
  if (stream != nullptr) stream->Release();
  factory->Release();
  return ok;
}

// The whole window, frame and caption included, as it is on the screen.
// PrintWindow would ask the window to draw itself into a bitmap, which Wine
// does without the controls; the screen has what the person sees.
bool capture(HWND window, const std::wstring& path) {
  ::SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
  ::RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  ::GdiFlush();
  // Wine draws into a copy of the window and puts it on the screen while
  // the thread waits for messages: let it, painting only, so that the
  // controller stays where the picture is meant to show it.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE)) ::DispatchMessageW(&message);
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_PAINT);
  }
  RECT rect;
  ::GetWindowRect(window, &rect);
  const LONG width = rect.right - rect.left;
  const LONG height = rect.bottom - rect.top;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  const HDC screen = ::GetDC(nullptr);
  const HDC memory = ::CreateCompatibleDC(screen);
  const HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  bool ok = false;
  if (bitmap != nullptr) {
    const HGDIOBJ previous = ::SelectObject(memory, bitmap);
    ok = ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT) != FALSE;
    ::GdiFlush();
    if (ok) {
      const auto* start = static_cast<const std::uint8_t*>(bits);
      std::vector<std::uint8_t> pixels(start, start + static_cast<std::size_t>(width) * height * 4);
      ok = write_png(path, pixels, static_cast<UINT>(width), static_cast<UINT>(height));
    }
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
  }
  ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return ok;
}

class Session {
 public:
  explicit Session(bool with_mouse) {
    rodiz::sim::SimMouseConfig config = UpdateRig::config_with_embedded_images();
    config.expected_images = {{"ZKT58_E1", stored_image(0)}, {"WVN31_F2", stored_image(1)}};
    rig_ = std::make_unique<UpdateRig>(config);
    if (!with_mouse) rig_->bus->remove(rig_->mouse);
    dialog_ = std::make_unique<CMirelDFUDlg>(view_, rig_->library, rig_->host, small_images(), CMirelDFUDlg::Options());
    view_.attach(dialog_.get());
    created_ = view_.create();
  }
  ~Session() {
    dialog_.reset();
    rig_.reset();
  }
  // Runs the window's messages one at a time until `done` holds, so that a
  // state the update passes quickly is seen; false when the window is gone
  // or after 60 s.
  bool pump_until(const std::function<bool()>& done) {
    if (!created_) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done()) {
      if (window() == nullptr || std::chrono::steady_clock::now() > deadline) return false;
      MSG message;
      if (!::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
        continue;
      }
      if (message.message == WM_QUIT) return false;
      if (!::IsDialogMessageW(window(), &message)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
      }
    }
    return true;
  }
  bool settled() {
    return pump_until([&] { return view_.text(IDC_STATUS) != "__Instructions__"; });
  }
  int state() const { return dialog_->state(); }
  CMirelDFUDlg& dialog() { return *dialog_; }
  Win32DialogView& view() { return view_; }
  HWND window() const { return view_.window(); }

 private:
  std::unique_ptr<UpdateRig> rig_;
  QuietView view_;
  std::unique_ptr<CMirelDFUDlg> dialog_;
  bool created_ = false;
};

int percent(HWND progress) {
  const auto high = ::SendMessageW(progress, PBM_GETRANGE, FALSE, 0);
  const auto position = ::SendMessageW(progress, PBM_GETPOS, 0, 0);
  return high > 0 ? static_cast<int>(position * 100 / high) : 0;
}

bool render_language(const std::wstring& directory, const std::wstring& suffix) {
  bool ok = true;
  const auto shot = [&](const Session& session, const wchar_t* name) {
    const std::wstring path = directory + L"\\win32-" + name + suffix + L".png";
    if (!capture(session.window(), path)) {
      std::fwprintf(stderr, L"could not capture %ls\n", path.c_str());
      ok = false;
    }
  };
  {
    Session waiting(false);
    if (waiting.settled())
      shot(waiting, L"waiting");
    else
      ok = false;
    // The failure countdown, as the failure path leaves the window.
    waiting.dialog().SwitchToState(CMirelDFUDlg::Failed);
    if (waiting.pump_until([] { return true; }))
      shot(waiting, L"failure");
    else
      ok = false;
  }
  {
    Session update(true);
    if (update.pump_until([&] { return update.state() == CMirelDFUDlg::ReadyToStart; })) {
      shot(update, L"ready");
      ::SendMessageW(::GetDlgItem(update.window(), IDC_START), BM_CLICK, 0, 0);
      const HWND progress = ::GetDlgItem(update.window(), IDC_PROGRESS);
      if (update.pump_until([&] { return update.state() == CMirelDFUDlg::SendingImage1 && percent(progress) >= 40; })) {
        shot(update, L"updating");
      } else {
        ok = false;
      }
      if (update.pump_until([&] { return update.state() == CMirelDFUDlg::Succeeded; }))
        shot(update, L"success");
      else
        ok = false;
    } else {
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  rodiz::Vs2003SingletonThreadCleanup guard;
  if (argc != 2) {
    std::fprintf(stderr, "usage: win32_dialog_screenshots OUTPUT_DIRECTORY\n");
    return 2;
  }
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  std::wstring directory(std::strlen(argv[1]), L'\0');
  directory.resize(
      static_cast<std::size_t>(::MultiByteToWideChar(CP_ACP, 0, argv[1], static_cast<int>(std::strlen(argv[1])),
                                                     directory.data(), static_cast<int>(directory.size()))));
  bool ok = render_language(directory, L"");
  const LANGID german = MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN);
  ::SetThreadUILanguage(german);
  ::SetThreadLocale(MAKELCID(german, SORT_DEFAULT));
  ok = render_language(directory, L"-de") && ok;
  ::CoUninitialize();
  rodiz::Vs2003SingletonThreadCleanup::run_cleanups();
  return ok ? 0 : 1;
}
