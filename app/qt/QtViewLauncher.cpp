#include "app/qt/QtViewLauncher.h"

#include <QApplication>
#include <QString>
#include <cstdlib>
#include <mutex>

#include "app/AppTrace.h"
#include "app/qt/QtDialogView.h"

namespace mirel {

namespace {

// The plugin Qt falls back to when none of the real ones opens a display:
// it always loads, so that a failure is reported here instead of ending the
// process inside Qt.
constexpr char kFallbackPlugin[] = "minimal";

bool named(const char* value) { return value != nullptr && value[0] != '\0'; }

// What Qt says while it starts, kept for the reason of a failure instead of
// being printed among the program's own lines.
std::mutex g_messagesLock;
std::string* g_messages = nullptr;

void keep_message(QtMsgType, const QMessageLogContext&, const QString& text) {
  std::lock_guard<std::mutex> guard(g_messagesLock);
  if (g_messages == nullptr) return;
  if (!g_messages->empty()) *g_messages += "; ";
  *g_messages += text.toStdString();
}

}  // namespace

QtViewLauncher::QtViewLauncher(std::string program) : m_program(std::move(program)) {}

QtViewLauncher::~QtViewLauncher() = default;

std::string QtViewLauncher::MissingDisplay(const char* waylandDisplay, const char* x11Display) {
  if (named(waylandDisplay) || named(x11Display)) return std::string();
  return "no display: neither WAYLAND_DISPLAY nor DISPLAY is set";
}

std::string QtViewLauncher::PlatformPlugins(const char* qtQpaPlatform, const char* waylandDisplay,
                                            const char* x11Display) {
  if (named(qtQpaPlatform)) return qtQpaPlatform;
  std::string plugins;
  if (named(waylandDisplay)) plugins = "wayland";
  if (named(x11Display)) plugins += plugins.empty() ? "xcb" : ";xcb";
  return plugins;
}

std::unique_ptr<IProgramView> QtViewLauncher::Launch(bool autoAnswer, std::string* whyNot) {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* x11 = std::getenv("DISPLAY");
  std::string missing = MissingDisplay(wayland, x11);
  if (!missing.empty()) {
    *whyNot = missing;
    return nullptr;
  }
  if (m_app) {
    *whyNot = "the window was made once already";
    return nullptr;
  }
  const std::string plugins = PlatformPlugins(std::getenv("QT_QPA_PLATFORM"), wayland, x11);
  // Qt takes "-platform" before QT_QPA_PLATFORM; none of the program's own
  // arguments goes to Qt.
  m_arguments = {m_program, "-platform", plugins + ";" + kFallbackPlugin};
  m_argv.clear();
  for (std::string& argument : m_arguments) m_argv.push_back(argument.data());
  m_argv.push_back(nullptr);
  m_argc = static_cast<int>(m_arguments.size());

  std::string messages;
  {
    std::lock_guard<std::mutex> guard(g_messagesLock);
    g_messages = &messages;
  }
  const QtMessageHandler previous = qInstallMessageHandler(keep_message);
  m_app = std::make_unique<QApplication>(m_argc, m_argv.data());
  qInstallMessageHandler(previous);
  {
    std::lock_guard<std::mutex> guard(g_messagesLock);
    g_messages = nullptr;
  }
  if (!messages.empty()) Trace("Qt: %s\n", messages.c_str());

  const std::string opened = QGuiApplication::platformName().toStdString();
  if (opened == kFallbackPlugin && plugins.find(kFallbackPlugin) == std::string::npos) {
    m_app.reset();
    *whyNot = "Qt could not open the display with the platform plugin \"" + plugins + "\"";
    return nullptr;
  }
  QApplication::setQuitOnLastWindowClosed(false);
  return std::make_unique<QtDialogView>(autoAnswer);
}

}  // namespace mirel
