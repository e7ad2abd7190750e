#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "app/CMirelDFUDlg.h"
#include "app/DialogLoop.h"
#include "app/IDialogView.h"
#include "sim/SimBus.h"
#include "sim/SimMouse.h"
#include "support/ScopedTempDir.h"

namespace mirel::test {

// A view that remembers what the controller showed. Posted messages queue up
// until the test delivers them; timers only fire when the test says so, so a
// 15 s watchdog or a 10 s countdown takes no time at all.
class FakeView : public IDialogView {
 public:
  void set_window_title(const std::string& text) override { title = text; }
  void set_text(int control, const std::string& text) override { texts[control] = text; }
  void show(int control, bool visible) override { visible_controls[control] = visible; }
  void add_list_entry(int, const std::string& text) override { list.push_back(text); }
  void set_list_extent(int, int) override {}
  void make_bold(int) override {}
  void set_window_icon(int) override {}
  void set_product_picture(int icon) override { picture = icon; }
  void set_busy(bool) override {}
  void show_notice(const std::string& text) override { notices.push_back(text); }
  void set_progress_range(std::uint32_t, std::uint32_t high) override { progress_high = high; }
  void set_progress_step(int) override {}
  void set_progress_position(std::uint32_t position) override { progress = position; }
  void post_message(unsigned message, std::uintptr_t wparam) override;
  void set_timer(unsigned id, unsigned period) override { timers[id] = period; }
  void kill_timer(unsigned id) override { timers.erase(id); }
  void end_dialog(int code) override {
    ended = true;
    end_code = code;
  }

  // Delivers queued messages to `dialog` until `done` holds or `timeout` passes.
  bool run_until(CMirelDFUDlg& dialog, const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Fires timer `id` if it is set.
  bool fire(CMirelDFUDlg& dialog, unsigned id);
  bool visible(int control) { return visible_controls[control]; }
  // Forgets everything shown and every queued message, for the next run.
  void clear();

  std::string title;
  std::map<int, std::string> texts;
  std::map<int, bool> visible_controls;
  std::vector<std::string> list;
  std::vector<std::string> notices;
  int picture = 0;
  std::uint32_t progress = 0;
  std::uint32_t progress_high = 0;
  std::map<unsigned, unsigned> timers;
  bool ended = false;
  int end_code = -1;

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::pair<unsigned, std::uintptr_t>> messages_;
};

// A view that runs the controller in a real loop with real timers, but with
// every timer period divided by `time_scale`.
class LoopView : public FakeView {
 public:
  explicit LoopView(unsigned time_scale) : scale_(time_scale) {}
  void post_message(unsigned message, std::uintptr_t wparam) override { loop.post(message, wparam); }
  void set_timer(unsigned id, unsigned period) override;
  void kill_timer(unsigned id) override { loop.kill_timer(id); }
  void end_dialog(int code) override;
  // Runs `dialog` until the window closes or `limit` passes; false on the latter.
  bool run(CMirelDFUDlg& dialog, std::chrono::milliseconds limit);
  DialogLoop loop;

 private:
  unsigned scale_;
};

// The simulated mouse behind the facade, with fast answers and short
// timeouts, and the application's registry key in a private folder.
class UpdateRig {
 public:
  explicit UpdateRig(rodiz::sim::SimMouseConfig config);
  ~UpdateRig();
  static rodiz::sim::SimMouseConfig config_with_embedded_images();

  std::shared_ptr<rodiz::sim::SimMouse> mouse;
  std::shared_ptr<rodiz::sim::SimBus> bus;
  std::shared_ptr<rodiz::IDeviceManager> library;
  HostSoftware host;

 private:
  rodiz::test::ScopedTempDir home_;
};

}  // namespace mirel::test
