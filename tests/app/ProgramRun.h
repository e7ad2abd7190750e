#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "app/CMirelDFUDlg.h"
#include "app/ControllerHarness.h"
#include "app/FirmwareImageSet.h"

namespace mirel::test {

// One run of the program in this process: the controller in a real loop whose
// timers run 50 times faster, pressing Start and Close like a user.
class ProgramRun {
 public:
  ProgramRun(UpdateRig& rig, FirmwareImageSet images, UpdateInhibitor* inhibitor = nullptr,
             HostSoftware* host = nullptr);
  // Runs until the window closes by itself (after success or the countdown);
  // false when `limit` passes first.
  bool go(std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
  // Also called every 5 ms on the controller's thread while the run goes on,
  // for what else a user would do (switch the mouse off and on...).
  void set_user(std::function<void(CMirelDFUDlg&)> user) { user_ = std::move(user); }
  // As a user would: switches `mouse` off and on once it has been away for
  // 200 ms, or once the window has asked for it for 200 ms.
  void switch_off_and_on_when_asked(std::shared_ptr<rodiz::sim::SimMouse> mouse);
  CMirelDFUDlg& dialog() { return *dialog_; }
  // Ends the run as a crash would: no close, no restore.
  void kill() { dialog_.reset(); }

  // Two small made-up images (1600 and 480 bytes) that keep fault runs short,
  // and a simulated mouse that expects them.
  static const std::vector<std::uint8_t>& small_image(int which);
  static FirmwareImageSet small_images();
  static rodiz::sim::SimMouseConfig small_mouse();
  // Ends the library as the end of a process would, for the next run.
  static void restart_library(UpdateRig& rig);

 private:
  static constexpr unsigned kPressTimer = 0x7E570010;
  static constexpr unsigned kLimitTimer = 0x7E570011;
  LoopView view_;
  std::unique_ptr<CMirelDFUDlg> dialog_;
  std::function<void()> presser_;
  std::function<void(CMirelDFUDlg&)> user_;
};

}  // namespace mirel::test
