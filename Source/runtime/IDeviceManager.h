#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/ErrorCode.h"
#include "runtime/RunLoopEntry.h"

namespace rodiz {

class IDevice;
class IHardwareDevice;

// The library's top interface, implemented by the facade CRodiz (which
// forwards) and by DeviceManager (which does the work).
class IDeviceManager {
 public:
  class ArrivalRemoval {
   public:
    virtual void onDeviceArrival(std::shared_ptr<IDevice> /*device*/) {}
    virtual void onDeviceRemoval(std::shared_ptr<IDevice> /*device*/) {}
    virtual ~ArrivalRemoval() = default;
  };

  class ActiveChanged {
   public:
    virtual void onActiveChanged(bool /*active*/) {}
    virtual ~ActiveChanged() = default;
  };

  // A failure that had no caller to report to.
  class UnreportedError {
   public:
    virtual void onUnreportedError(const char* /*context*/, ErrorCode /*code*/, const char* /*message*/,
                                   unsigned long /*system*/) {}
    virtual ~UnreportedError() = default;
  };

  // Raised once per queued run-loop entry, on arbitrary threads. Subscribe with
  // immediate delivery only; the handler must just wake the application's
  // thread, which then calls call_event_from_runloop() once.
  class RunLoopEvent {
   public:
    virtual void onRunLoopEvent() {}
    virtual ~RunLoopEvent() = default;
  };

  virtual ~IDeviceManager() = default;

  virtual std::vector<std::shared_ptr<IDevice>> devices() = 0;
  virtual std::vector<std::shared_ptr<IDevice>> devices_on_bus(std::shared_ptr<IDevice> receiver) = 0;
  // The software id put into this program's requests; only the low 4 bits count.
  virtual void swid(int value) = 0;
  virtual int swid() = 0;
  virtual bool is_active() = 0;
  virtual void set_active(bool active) = 0;
  virtual void report_unreported_error(const char* context) = 0;
  virtual void enqueue_event_for_runloop(RunLoopEntry entry) = 0;
  // Runs at most one queued entry on the calling thread.
  virtual void call_event_from_runloop() = 0;
  // Discards queued entries of (subscriber, producer); (null, null) discards all.
  virtual void remove_runloop_events(const void* subscriber, const void* producer) = 0;
  virtual void persistent_data_directory(std::string directory) = 0;
  virtual bool config_default(unsigned item, bool* value) = 0;
  virtual bool config_get(unsigned item, bool* value) = 0;
  virtual bool config_set(unsigned item, bool value) = 0;
  virtual bool connectToHardwareBusses() = 0;
  virtual std::shared_ptr<IDevice> makeDevice(std::shared_ptr<IHardwareDevice> hwdev, int force_plain, int pid) = 0;
};

}  // namespace rodiz
