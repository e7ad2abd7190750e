#include <string>
#include <vector>

#include "app/CMirelDFUApp.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"

#if defined(MIREL_QT_VIEW)
#include "app/qt/QtViewLauncher.h"
#endif

#if defined(_WIN32)
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <memory>

#include "app/win32/Win32DialogView.h"
#endif

namespace {

#if defined(_WIN32)
std::string to_utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return std::string();
  std::string result(static_cast<std::size_t>(size - 1), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  return result;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // First: the library's threads are joined when this scope ends.
  rodiz::Vs2003SingletonThreadCleanup guard;
  std::vector<std::string> args;
  std::string program = argc > 0 ? argv[0] : "MirelFirmwareUpdate";
#if defined(_WIN32)
  // The system's own splitting rules, and arguments in UTF-8 whatever the code page.
  int count = 0;
  if (LPWSTR* split = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(to_utf8(split[i]));
    ::LocalFree(split);
  }
#else
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
#endif
  const std::size_t slash = program.find_last_of("/\\");
  if (slash != std::string::npos) program = program.substr(slash + 1);
#if defined(MIREL_QT_VIEW)
  // Outlives the window it makes: Qt's application object goes last.
  mirel::QtViewLauncher qt(program);
  return mirel::CMirelDFUApp().Run(program, args, [&qt](const mirel::AppOptions& options, std::string* whyNot) {
    return qt.Launch(options.yes, whyNot);
  });
#elif defined(_WIN32)
  // Windows always has a desktop to show the dialog on.
  return mirel::CMirelDFUApp().Run(program, args, [](const mirel::AppOptions& options, std::string*) {
    return std::make_unique<mirel::Win32DialogView>(nullptr, options.yes);
  });
#else
  return mirel::CMirelDFUApp().Run(program, args);
#endif
}
