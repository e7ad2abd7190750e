#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "runtime/IDeviceManager.h"
#include "runtime/Subscriber.h"

namespace rodiz {

class DeviceManager;

// The application's one way into the library. It creates the device manager
// on first use, forwards every call to it, stops handing it out once shutdown
// has begun, and never lets it outlive the application's main scope (the
// thread-cleanup guard runs shutdown()). The process-wide instance is
// rodiz::facade(); tests may create private instances.
class CRodiz : public IDeviceManager {
 public:
  CRodiz();
  ~CRodiz() override;
  CRodiz(const CRodiz&) = delete;
  CRodiz& operator=(const CRodiz&) = delete;

  std::vector<std::shared_ptr<IDevice>> devices() override;
  std::vector<std::shared_ptr<IDevice>> devices_on_bus(std::shared_ptr<IDevice> receiver) override;
  void swid(int value) override;
  int swid() override;
  bool is_active() override;
  void set_active(bool active) override;
  void report_unreported_error(const char* context) override;
  void enqueue_event_for_runloop(RunLoopEntry entry) override;
  void call_event_from_runloop() override;
  void remove_runloop_events(const void* subscriber, const void* producer) override;
  void persistent_data_directory(std::string directory) override;
  bool config_default(unsigned item, bool* value) override;
  bool config_get(unsigned item, bool* value) override;
  bool config_set(unsigned item, bool value) override;
  bool connectToHardwareBusses() override;
  std::shared_ptr<IDevice> makeDevice(std::shared_ptr<IHardwareDevice> hwdev, int force_plain, int pid) override;
  // Subscribes directly to the manager's arrival producer, without the
  // subscriber-side bookkeeping; undone only by manual_unsubscribe.
  virtual bool manual_subscribe(Subscriber<IDeviceManager::ArrivalRemoval>* subscriber, int delivery);
  virtual void manual_unsubscribe(Subscriber<IDeviceManager::ArrivalRemoval>* subscriber);

  // Discards the queued entries of one subscriber or of one producer (the
  // other argument null); nothing without a manager.
  void remove_runloop_events_of(const void* subscriber, const void* producer);

  // Refuses the manager from now on and destroys it.
  void shutdown();
  // Destroys the manager (discarding queued events) on the calling thread,
  // after threads that only pass through it have let go; the next call that
  // needs one creates a fresh manager.
  void reset();
  // The manager, created on demand; empty after shutdown (LastError
  // ShuttingDown) or destruction.
  std::shared_ptr<DeviceManager> getimpl();
  // The manager as the library's top interface, created on demand.
  operator std::shared_ptr<IDeviceManager>();

 private:
  // The manager if one exists; never creates one.
  std::shared_ptr<DeviceManager> existing();
  // Waits, up to half a second, until `manager` (already taken out of the
  // facade) has no other owner, so that it ends on the calling thread.
  static void wait_for_passing_users(const std::shared_ptr<DeviceManager>& manager);

  std::shared_ptr<DeviceManager> impl;
  std::mutex impl_lock;
  bool shutting_down = false;
  std::atomic<bool> destroyed{false};
};

// The process-wide facade.
CRodiz& facade();

}  // namespace rodiz
