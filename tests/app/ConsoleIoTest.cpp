#include "app/console/ConsoleIo.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "app/CMirelDFUDlg.h"
#include "app/HostSoftware.h"
#include "app/console/ConsoleView.h"
#include "support/ScopedTempDir.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace mirel {
namespace {

// Redirected output is the text's own UTF-8 bytes on every platform (a
// console gets the wide API instead, which a test cannot see).
TEST(ConsoleIoTest, RedirectedOutputIsUtf8) {
  rodiz::test::ScopedTempDir dir;
  const auto path = dir.path() / "out.txt";
  const std::string text =
      "Zur\xC3\xBC"
      "ck \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC\n";
  {
    std::FILE* out = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(nullptr, out);
    EXPECT_FALSE(ConsoleIo::IsTerminal(out));
    EXPECT_TRUE(ConsoleIo::Write(out, text));
    std::fclose(out);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  EXPECT_EQ(text, content.str());
}

#if !defined(_WIN32)
// A reader that went away fails the write; the process lives on.
TEST(ConsoleIoTest, AClosedPipeFailsTheWriteInsteadOfEndingTheProcess) {
  ConsoleIo::PrepareProcess();
  int ends[2];
  ASSERT_EQ(0, ::pipe(ends));
  std::FILE* out = ::fdopen(ends[1], "w");
  ASSERT_NE(nullptr, out);
  ::close(ends[0]);
  EXPECT_FALSE(ConsoleIo::Write(out, "nobody reads this\n"));
  std::fclose(out);
}
#endif

TEST(ConsoleIoTest, AHangUpOutranksAnInterruptAndIsTakenOnce) {
  EXPECT_EQ(ConsoleIo::StopRequest::None, ConsoleIo::TakeStopRequest());
  ConsoleIo::RaiseStopRequest(ConsoleIo::StopRequest::Interrupt);
  ConsoleIo::RaiseStopRequest(ConsoleIo::StopRequest::HangUp);
  ConsoleIo::RaiseStopRequest(ConsoleIo::StopRequest::Interrupt);
  EXPECT_EQ(ConsoleIo::StopRequest::HangUp, ConsoleIo::TakeStopRequest());
  EXPECT_EQ(ConsoleIo::StopRequest::None, ConsoleIo::TakeStopRequest());
}

// During a flash a first interrupt warns; only a second one within 5 s of
// that warning stops the program, a later one warns again.
TEST(ConsoleViewTest, ASecondInterruptStopsTheFlashOnlyWithinFiveSeconds) {
  rodiz::test::ScopedTempDir dir;
  const auto path = dir.path() / "out.txt";
  std::FILE* out = std::fopen(path.string().c_str(), "w+b");
  ASSERT_NE(nullptr, out);
  {
    ConsoleView view(out, false, false);
    HostSoftware host;
    CMirelDFUDlg dialog(view, nullptr, host, FirmwareImageSet(), CMirelDFUDlg::Options());
    view.attach(&dialog);
    dialog.SwitchToState(CMirelDFUDlg::SendingImage1);  // no mouse: the state only
    const auto first = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
    view.on_interrupt(first);
    view.on_interrupt(first + ConsoleView::kInsistWindow + std::chrono::milliseconds(1));
    EXPECT_FALSE(dialog.abandoned());
    view.on_interrupt(first + 2 * ConsoleView::kInsistWindow);
    EXPECT_TRUE(dialog.abandoned());
  }
  std::fclose(out);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  const std::string said = text.str();
  const std::string warning = "The firmware update is in progress: stopping now leaves the mouse with incomplete";
  const std::size_t once = said.find(warning);
  ASSERT_NE(std::string::npos, once) << said;
  EXPECT_NE(std::string::npos, said.find(warning, once + 1)) << said;
  EXPECT_NE(std::string::npos, said.find("Stopping the update as asked.")) << said;
}

}  // namespace
}  // namespace mirel
