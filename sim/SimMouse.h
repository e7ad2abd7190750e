#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimDfuReceiver.h"
#include "sim/SimFaults.h"
#include "sim/SimHidDevice.h"
#include "sim/SimProfileMemory.h"
#include "sim/SimScheduler.h"
#include "sim/SimStateFile.h"

namespace rodiz::sim {

class SimChannel;

// A firmware version as the mouse reports it: BCD major.minor and build.
struct SimVersion {
  int major = 14;
  int minor = 2;
  int build = 6;
};

struct SimMouseConfig {
  SimVersion version;  // application firmware before an update
  SimVersion updated_version{14, 2, 7};
  int type6_build = 2;  // the build of the type-6 firmware entity
  int updated_type6_build = 3;
  int extended_model_id = 0;
  std::string name = "Mirel VELOXA Wireless Gaming Mouse";
  std::uint32_t unit_id = 0x5A3C9E17;
  // Per-report answer time: a full-speed USB device answers in the next 1 ms frame.
  std::chrono::microseconds latency{1000};
  // When not zero, the USB timing model: reports move only at frame
  // boundaries this far apart (an interrupt endpoint polled every frame), so
  // an answer reaches the host at the start of the frame after its request,
  // and a report due `latency` later leaves that many frames later.
  // `latency` then no longer delays the answer itself.
  std::chrono::microseconds frame_interval{0};
  std::chrono::milliseconds reboot_delay{400};   // from SetDfuControl to the bootloader's arrival
  std::chrono::milliseconds restart_delay{400};  // from DFURestart to the application's arrival
  int sector_count = 16;
  int sector_size = 256;
  std::vector<SimImage> expected_images;  // image 1 (main), image 2 (second target)
  bool start_in_bootloader = false;
  // Tells serial numbers (and so paths) of several simulated mice apart.
  int serial = 1;
  // Where the mouse keeps its state at every change (empty: nowhere).
  std::string state_file;
};

// The simulated mouse: the device side of the report protocol in application
// mode (product id 0xC087) and bootloader mode (0xAADB), with onboard
// profiles, LED configuration, a bootloader that verifies what it receives,
// and fault injection. It answers on a thread of its own after its latency.
// All public operations are thread-safe.
//
// Paired to a simulated receiver, it also answers what the receiver forwards
// (receive_linked) and sends its answers and notifications to the receiver's
// link; an answer goes back the way its request came.
class SimMouse : public SimHidDevice, public std::enable_shared_from_this<SimMouse> {
 public:
  enum class Mode { Absent, Application, Bootloader };

  static constexpr int kApplicationPid = 0xC087;
  static constexpr int kBootloaderPid = 0xAADB;

  explicit SimMouse(SimMouseConfig config);
  ~SimMouse() override;

  // Comes onto the bus (in application or bootloader mode, as configured
  // or restored).
  void start();
  // Takes over the state a state file holds, before start(). False with a
  // message (and nothing changed) when it does not fit this mouse.
  bool restore(const SimStateFile::State& state, std::string* error);
  // The state as the state file would hold it now.
  SimStateFile::State snapshot() const;
  void set_presence_listener(std::function<void()> listener) override;
  std::vector<SimCollection> collections() const override;
  bool is_current(std::uint32_t generation) const override;
  bool receive(std::uint32_t generation, int bit, const std::vector<std::uint8_t>& report) override;
  void attach(std::uint32_t generation, int bit, std::weak_ptr<SimChannel> channel) override;

  // The wireless link to a receiver: `sink` gets the reports that go back over
  // it, `presence` is told (like the bus's listener) when the mouse comes,
  // goes or changes mode. Empty functions cut the link.
  void set_link(std::function<void(const std::vector<std::uint8_t>&)> sink, std::function<void()> presence);
  // A request the receiver forwards (device index 0xFF); false while the
  // mouse is off.
  bool receive_linked(const std::vector<std::uint8_t>& report);
  // The product id of its current mode; 0 while off.
  int pid() const;

  // --- what tests and the command line can do to it
  void set_faults(const SimFaults& faults);
  SimFaults faults() const;
  void set_latency(std::chrono::microseconds latency);
  // Switches the USB timing model on with frames of `interval`, or off with 0.
  void set_frame_interval(std::chrono::microseconds interval);
  // Under the timing model, the first frame boundary after `t` (strictly
  // after when `strictly`, else at or after); `t` itself without the model.
  SimScheduler::Clock::time_point frame_boundary(SimScheduler::Clock::time_point t, bool strictly) const;
  // Changes the running firmware behind the host's back.
  void set_firmware(SimVersion version, int type6_build);
  // Pulls the plug and puts it back: also brings back a mouse that stays away.
  void power_cycle();
  // The user switched profile on the mouse: a notification follows.
  void press_profile_button(int profile);
  // Another program on the same mouse wrote its configuration cookie; its
  // answer is seen by every reader of the device.
  void foreign_set_cookie(std::uint16_t cookie, int swid);
  // Waits until nothing is due within `horizon` (answers, reboots).
  void wait_idle(std::chrono::milliseconds horizon = std::chrono::milliseconds(0));

  // --- state, for checks
  Mode mode() const;
  SimVersion version() const;
  int type6_build() const;
  std::vector<std::vector<std::uint8_t>> sectors() const;
  int active_profile() const;
  int resolution_index() const;
  std::vector<std::uint8_t> nv_config(int id) const;
  std::uint16_t cookie() const;
  bool image_verified(int image) const;
  // Number of requests it answered (including error answers).
  int requests() const;

 private:
  struct Output {
    std::vector<std::uint8_t> report;
    std::chrono::microseconds delay{0};
  };
  // Where reports go: back the way the request came, or (unsolicited) everywhere.
  enum class Route { Channels, Link, Everywhere };

  // The feature ids of the current mode, by index.
  const std::vector<int>& feature_table() const;
  int index_of(int feature_id) const;
  std::vector<Output> handle(const std::vector<std::uint8_t>& request);
  // How many parameter bytes `function` of `feature` reads from a request.
  static std::size_t parameter_bytes_needed(int feature, unsigned function);
  std::vector<Output> handle_profiles(const std::vector<std::uint8_t>& request, unsigned function,
                                      const std::vector<std::uint8_t>& params);
  std::vector<Output> handle_dfu(const std::vector<std::uint8_t>& request, unsigned function,
                                 const std::vector<std::uint8_t>& params);
  std::vector<std::uint8_t> answer(const std::vector<std::uint8_t>& request,
                                   const std::vector<std::uint8_t>& params) const;
  std::vector<std::uint8_t> error(const std::vector<std::uint8_t>& request, std::uint8_t code) const;
  std::vector<std::uint8_t> notification(int index, unsigned function, const std::vector<std::uint8_t>& params) const;
  void deliver(const std::vector<std::uint8_t>& report, Route route);
  // Sends `outputs` the way `route` says, each `delay` after `now` (the
  // frame the answer leaves in, under the timing model).
  void emit(std::vector<Output> outputs, SimScheduler::Clock::time_point now, Route route = Route::Everywhere);
  bool accept(std::uint32_t generation, const std::vector<std::uint8_t>& report, Route route);

  // Presence changes (scheduler thread or caller, lock held by caller).
  // Drops off the bus; `comes_back_as` is the mode it shows when it is
  // next powered, which the state file records.
  void go_absent_locked(Mode comes_back_as);
  // Drops off the bus now and comes back in bootloader mode after
  // `return_after` (never when negative); a fresh bootloader forgets any
  // transfer it had started.
  void drop_off_locked(std::chrono::milliseconds return_after, bool fresh_bootloader);
  void appear_locked(Mode mode);
  void notify_presence();
  // The firmware just received takes over: new version, its default
  // profiles and LED setting.
  void apply_update_locked();
  // The mode a power-up brings: the application unless a transfer left it
  // incomplete.
  Mode power_up_mode_locked() const;
  // Power lost: any profile write in progress is lost with it; back after
  // `return_after` (never when negative).
  void lose_power_locked(std::chrono::milliseconds return_after);
  SimStateFile::State snapshot_locked() const;
  // Writes the state file when the state changed since it was last written.
  void save_locked();
  // Faults of the profile memory; true when the request goes unanswered.
  bool profile_fault_locked(unsigned function, bool* lost_power);

  mutable std::mutex lock_;
  SimMouseConfig config_;
  // Frame boundaries are counted from here.
  const SimScheduler::Clock::time_point frame_epoch_ = SimScheduler::Clock::now();
  SimFaults faults_;
  Mode mode_ = Mode::Absent;
  Mode comes_back_as_ = Mode::Application;
  // Between a restart request and the drop off the bus: the state file
  // already records the mode it comes back in.
  bool restarting_ = false;
  std::string saved_state_;
  bool save_failure_reported_ = false;
  int profile_reads_ = 0;
  int profile_writes_ = 0;
  std::uint32_t generation_ = 0;
  SimVersion version_;
  int type6_build_ = 0;
  SimProfileMemory profiles_;
  std::map<int, std::vector<std::uint8_t>> nv_config_;
  std::uint16_t cookie_ = 0;
  SimDfuReceiver receiver_;
  bool stay_away_ = false;
  int requests_ = 0;
  std::map<int, std::weak_ptr<SimChannel>> channels_;
  std::function<void()> listener_;
  std::function<void(const std::vector<std::uint8_t>&)> link_;
  std::function<void()> link_presence_;
  // Last: destroyed first, so no task runs on a half-destroyed mouse.
  SimScheduler scheduler_;
};

}  // namespace rodiz::sim
