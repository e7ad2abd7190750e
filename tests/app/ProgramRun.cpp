#include "app/ProgramRun.h"

#include "app/res/resource.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"

namespace mirel::test {

ProgramRun::ProgramRun(UpdateRig& rig, FirmwareImageSet images, UpdateInhibitor* inhibitor, HostSoftware* host)
    : view_(50) {
  dialog_ = std::make_unique<CMirelDFUDlg>(view_, rig.library, host ? *host : rig.host, std::move(images),
                                           CMirelDFUDlg::Options(), inhibitor);
}

bool ProgramRun::go(std::chrono::milliseconds limit) {
  if (!dialog_->OnInitDialog()) return false;
  presser_ = [this] {
    if (view_.visible(IDC_START) && dialog_->state() == CMirelDFUDlg::ReadyToStart) {
      view_.visible_controls[IDC_START] = false;
      dialog_->OnStart();
    }
    const int s = dialog_->state();
    if (s == CMirelDFUDlg::Succeeded || s == CMirelDFUDlg::UpToDate) dialog_->OnClose();
    if (user_) user_(*dialog_);
  };
  view_.loop.set_timer(kPressTimer, 5);
  bool timed_out = false;
  view_.loop.set_timer(kLimitTimer, static_cast<unsigned>(limit.count()));
  view_.loop.run([&](unsigned message, std::uintptr_t wparam) { dialog_->OnMessage(message, wparam); },
                 [&](unsigned id) {
                   if (id == kPressTimer) {
                     presser_();
                   } else if (id == kLimitTimer) {
                     timed_out = true;
                     view_.loop.quit(-1);
                   } else {
                     dialog_->OnTimer(id);
                   }
                 });
  return !timed_out;
}

void ProgramRun::switch_off_and_on_when_asked(std::shared_ptr<rodiz::sim::SimMouse> mouse) {
  set_user([mouse, waiting_ticks = 0](CMirelDFUDlg& dialog) mutable {
    const bool waiting =
        mouse->mode() == rodiz::sim::SimMouse::Mode::Absent || dialog.state() == CMirelDFUDlg::AwaitingPowerCycle;
    waiting_ticks = waiting ? waiting_ticks + 1 : 0;
    if (waiting_ticks == 40) mouse->power_cycle();
  });
}

const std::vector<std::uint8_t>& ProgramRun::small_image(int which) {
  static const std::vector<std::vector<std::uint8_t>> images = [] {
    std::vector<std::vector<std::uint8_t>> made(2);
    const char* codes[2] = {"ZKT58_E1", "WVN31_F2"};
    const std::size_t sizes[2] = {1600, 480};
    for (std::size_t i = 0; i < 2; ++i) {
      made[i].assign(sizes[i], 0);
      made[i][0] = static_cast<std::uint8_t>(i * 2);
      made[i][1] = 0x01;
      for (std::size_t c = 0; c < 8; ++c) made[i][2 + c] = static_cast<std::uint8_t>(codes[i][c]);
      for (std::size_t b = 16; b < sizes[i]; ++b) made[i][b] = static_cast<std::uint8_t>(b * 7 + i);
    }
    return made;
  }();
  return images[static_cast<std::size_t>(which)];
}

FirmwareImageSet ProgramRun::small_images() {
  return FirmwareImageSet([](int id, const std::uint8_t** data, std::uint32_t* size) {
    if (id != 2000 && id != 2001) return false;
    const auto& image = small_image(id - 2000);
    *data = image.data();
    *size = static_cast<std::uint32_t>(image.size());
    return true;
  });
}

rodiz::sim::SimMouseConfig ProgramRun::small_mouse() {
  rodiz::sim::SimMouseConfig config = UpdateRig::config_with_embedded_images();
  config.expected_images = {{"ZKT58_E1", small_image(0)}, {"WVN31_F2", small_image(1)}};
  return config;
}

void ProgramRun::restart_library(UpdateRig& rig) {
  rig.library.reset();
  rodiz::facade().reset();
  auto manager = rodiz::facade().getimpl();
  manager->set_device_timeout_ms(200);
  rig.library = manager;
}

}  // namespace mirel::test
