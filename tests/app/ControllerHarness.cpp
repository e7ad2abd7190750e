#include "app/ControllerHarness.h"

#include "app/FirmwareResources.h"
#include "runtime/CRodiz.h"
#include "runtime/DeviceManager.h"
#include "runtime/SettingsKey.h"
#include "transport/HidBusFactory.h"

namespace mirel::test {

void FakeView::post_message(unsigned message, std::uintptr_t wparam) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.emplace_back(message, wparam);
  }
  wake_.notify_all();
}

void FakeView::clear() {
  title.clear();
  texts.clear();
  visible_controls.clear();
  list.clear();
  notices.clear();
  picture = 0;
  progress = 0;
  progress_high = 0;
  timers.clear();
  ended = false;
  end_code = -1;
  std::lock_guard<std::mutex> guard(lock_);
  messages_.clear();
}

bool FakeView::run_until(CMirelDFUDlg& dialog, const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    std::pair<unsigned, std::uintptr_t> message;
    {
      std::unique_lock<std::mutex> guard(lock_);
      if (!wake_.wait_until(guard, deadline, [this] { return !messages_.empty(); })) return done();
      message = messages_.front();
      messages_.pop_front();
    }
    dialog.OnMessage(message.first, message.second);
  }
}

bool FakeView::fire(CMirelDFUDlg& dialog, unsigned id) {
  if (timers.count(id) == 0) return false;
  dialog.OnTimer(id);
  return true;
}

void LoopView::set_timer(unsigned id, unsigned period) {
  FakeView::set_timer(id, period);
  loop.set_timer(id, period / scale_ > 0 ? period / scale_ : 1);
}

void LoopView::end_dialog(int code) {
  FakeView::end_dialog(code);
  loop.quit(code);
}

bool LoopView::run(CMirelDFUDlg& dialog, std::chrono::milliseconds limit) {
  bool timed_out = false;
  loop.set_timer(0x7E57FFFF, static_cast<unsigned>(limit.count()));
  loop.run([&](unsigned message, std::uintptr_t wparam) { dialog.OnMessage(message, wparam); },
           [&](unsigned id) {
             if (id == 0x7E57FFFF) {
               timed_out = true;
               loop.quit(-1);
               return;
             }
             dialog.OnTimer(id);
           });
  return !timed_out;
}

rodiz::sim::SimMouseConfig UpdateRig::config_with_embedded_images() {
  rodiz::sim::SimMouseConfig config;
  config.latency = std::chrono::microseconds(0);
  config.reboot_delay = std::chrono::milliseconds(30);
  config.restart_delay = std::chrono::milliseconds(30);
  for (int id : {FirmwareResources::kMainImageId, FirmwareResources::kSecondImageId}) {
    const std::uint8_t* data = nullptr;
    std::uint32_t size = 0;
    if (!LoadFirmwareResource(id, &data, &size)) continue;
    rodiz::sim::SimImage image;
    image.hardware_code.assign(reinterpret_cast<const char*>(data) + 2, 8);
    image.bytes.assign(data, data + size);
    config.expected_images.push_back(image);
  }
  return config;
}

UpdateRig::UpdateRig(rodiz::sim::SimMouseConfig config)
    : mouse(std::make_shared<rodiz::sim::SimMouse>(std::move(config))), bus(std::make_shared<rodiz::sim::SimBus>()) {
  home_.set_env("XDG_CONFIG_HOME", home_.str());
  home_.set_env("HOME", home_.str());
  CMirelDFUDlg::reset_failure_path_for_testing();
  rodiz::SettingsKey::remove(ProfileBackup::AppKeyPath());
  bus->add(mouse);
  std::shared_ptr<rodiz::sim::SimBus> shared = bus;
  rodiz::HidBusFactory::use_bus([shared](std::weak_ptr<rodiz::IDeviceManager>) { return shared; });
  auto manager = rodiz::facade().getimpl();
  manager->set_device_timeout_ms(200);
  manager->config_set(5, true);
  library = manager;
}

UpdateRig::~UpdateRig() {
  library.reset();
  rodiz::facade().reset();
  rodiz::HidBusFactory::use_bus(nullptr);
  bus->remove(mouse);
  bus->wait_idle();
  rodiz::SettingsKey::remove(ProfileBackup::AppKeyPath());
  CMirelDFUDlg::reset_failure_path_for_testing();
}

}  // namespace mirel::test
