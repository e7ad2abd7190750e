#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/IProgramView.h"

class QApplication;

namespace mirel {

// Decides whether the update can be shown in a Qt window and makes it: a
// display must be named (WAYLAND_DISPLAY or DISPLAY) and Qt's platform plugin
// must open it. Qt's application object lives as long as the launcher, which
// must outlive the window it made.
class QtViewLauncher {
 public:
  explicit QtViewLauncher(std::string program);
  ~QtViewLauncher();
  QtViewLauncher(const QtViewLauncher&) = delete;
  QtViewLauncher& operator=(const QtViewLauncher&) = delete;

  // The window, or null with the reason in `whyNot` (one line, no full
  // stop). Called at most once.
  std::unique_ptr<IProgramView> Launch(bool autoAnswer, std::string* whyNot);

  // Why no display is there to show a window on, from the values of
  // WAYLAND_DISPLAY and DISPLAY (null when unset); empty when one is named.
  static std::string MissingDisplay(const char* waylandDisplay, const char* x11Display);
  // The platform plugins to try, in order: the user's QT_QPA_PLATFORM when
  // set, otherwise Wayland when WAYLAND_DISPLAY is named and X11 when DISPLAY
  // is, separated by ';' as Qt takes them.
  static std::string PlatformPlugins(const char* qtQpaPlatform, const char* waylandDisplay, const char* x11Display);

 private:
  std::string m_program;
  std::vector<std::string> m_arguments;
  std::vector<char*> m_argv;
  int m_argc = 0;
  std::unique_ptr<QApplication> m_app;
};

}  // namespace mirel
