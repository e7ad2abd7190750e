#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "runtime/IDeviceManager.h"
#include "runtime/ITimer.h"
#include "runtime/Subscriber.h"
#include "transport/IHardwareBus.h"

namespace rodiz {

// Assembles the bus chain, decides which hardware devices the library
// handles, turns them into devices and announces arrivals and removals. It
// also owns the run-loop queue, the configuration items, the session's active
// flag and the software id.
//
// Threads: bus, timer and active-state events arrive through the run loop, so
// the device list and bus sets are touched from the run-loop thread only and
// are not locked. The queue has its own lock and may be used from any thread.
class DeviceManager : public IDeviceManager,
                      public Producer<IDeviceManager::ArrivalRemoval>,
                      public Producer<IDeviceManager::ActiveChanged>,
                      public Producer<IDeviceManager::UnreportedError>,
                      public Producer<IDeviceManager::RunLoopEvent>,
                      public Subscriber<IHardwareBus::PlugUnplug>,
                      public Subscriber<IDeviceManager::ActiveChanged>,
                      public Subscriber<ITimer::TimerEvent>,
                      public std::enable_shared_from_this<DeviceManager> {
 public:
  static constexpr int addbusRetryTimerId = 1;
  static constexpr unsigned kConfigItems = 9;

  using TimerFactory = std::function<std::shared_ptr<ITimer>(int id)>;

  DeviceManager();
  ~DeviceManager() override;

  std::vector<std::shared_ptr<IDevice>> devices() override;
  std::vector<std::shared_ptr<IDevice>> devices_on_bus(std::shared_ptr<IDevice> receiver) override;
  void swid(int value) override;
  int swid() override;
  bool is_active() override { return active_; }
  void set_active(bool active) override;
  void report_unreported_error(const char* context) override;
  void enqueue_event_for_runloop(RunLoopEntry entry) override;
  void call_event_from_runloop() override;
  void remove_runloop_events(const void* subscriber, const void* producer) override;
  // Discards every queued entry of `subscriber` (any producer) or of
  // `producer` (any subscriber); the other argument must be null. Both null
  // discards nothing, unlike remove_runloop_events.
  void remove_runloop_events_of(const void* subscriber, const void* producer);
  void persistent_data_directory(std::string directory) override;
  bool config_default(unsigned item, bool* value) override;
  bool config_get(unsigned item, bool* value) override;
  bool config_set(unsigned item, bool value) override;
  bool connectToHardwareBusses() override;
  std::shared_ptr<IDevice> makeDevice(std::shared_ptr<IHardwareDevice> hwdev, int force_plain, int pid) override;
  virtual bool addBus(std::shared_ptr<IHardwareBus> bus);
  virtual void removeBus(std::shared_ptr<IHardwareBus> bus);

  bool lazyInitializeHardwareBusses();
  // A receiver bus whose enumeration failed: retried by the retry timer with a
  // growing pause (2 s, then 8 s doubling), nine attempts in all.
  void retry_bus_later(std::shared_ptr<IHardwareBus> bus);
  void dumpDevices();
  // Notifications sent and not yet answered by call_event_from_runloop.
  int triggers();
  std::size_t queued_events();

  // Bus events (run-loop thread).
  void onPlug(std::shared_ptr<IHardwareDevice> hwdev) override;
  void onUnplug(std::shared_ptr<IHardwareDevice> hwdev) override;
  void onPowerChange(bool standBy) override;
  // The manager's own active flag (run-loop thread).
  void onActiveChanged(bool active) override;
  // Receiver-bus retry (run-loop thread).
  void onTimerEvent(int id) override;

  // Test seam: where the retry timer comes from (default: a Timer).
  void set_timer_factory(TimerFactory factory) { timer_factory_ = std::move(factory); }
  // Test seam: how long new devices wait for an answer (0: their default).
  void set_device_timeout_ms(int ms) { device_timeout_ms_ = ms; }
  const std::set<std::shared_ptr<IHardwareBus>>& retry_busses() const { return retry_busses_; }

 protected:
  bool on_subscribe(Subscriber<IDeviceManager::ArrivalRemoval>* s) override;
  void on_subscription_added(Subscriber<IDeviceManager::RunLoopEvent>* s, bool immediate) override;

 private:
  struct Entry {
    std::shared_ptr<IHardwareDevice> hwdev;
    std::shared_ptr<IDevice> device;
  };

  bool accepted(const std::shared_ptr<IHardwareDevice>& hwdev);
  void raise_run_loop_event();
  void raise_arrival(const std::shared_ptr<IDevice>& device);
  void raise_removal(const std::shared_ptr<IDevice>& device);
  void raise_active_changed(bool active);

  bool hardware_initialised_ = false;
  int swid_ = 0;
  bool active_ = true;
  std::string persistent_directory_;
  // Read by producer threads (enqueue, unreported errors) while the
  // destructor sets it.
  std::atomic<bool> destructing_{false};
  // The manager's own active-flag subscription is made once per manager.
  bool active_subscribed_ = false;

  std::mutex queue_lock_;
  std::deque<RunLoopEntry> queue_;
  int triggers_ = 0;

  // Keyed by the hardware device's path: two objects with one path are one device.
  std::map<std::string, Entry> deviceList_;
  std::set<std::shared_ptr<IHardwareBus>> busses_;
  std::set<std::shared_ptr<IHardwareBus>> top_busses_;
  std::array<bool, kConfigItems> config_{};
  std::shared_ptr<ITimer> retry_timer_;
  int retry_count_ = 0;
  std::set<std::shared_ptr<IHardwareBus>> retry_busses_;
  TimerFactory timer_factory_;
  int device_timeout_ms_ = 0;
};

}  // namespace rodiz
