#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/ErrorCode.h"
#include "device/LastError.h"
#include "features/IFeature.h"
#include "runtime/Byte.h"

namespace rodiz {

class IDeviceManager;
class IHardwareBus;

// A protocol-level device: one FRAP device on one report channel.
class IDevice {
 public:
  // How the response matcher classified an incoming report.
  enum ReportType : int {
    Unhandled = 0,        // ignored
    Response = 1,         // settled our pending request
    ForeignResponse = 2,  // a response meant for other software, or unexpected
    Notification = 3,
  };

  class Connect {
   public:
    virtual void onConnect(std::shared_ptr<IDevice> /*device*/, bool /*device_configured_by_us*/) {}
    virtual void onDisconnect(std::shared_ptr<IDevice> /*device*/) {}
    virtual void onFirmwareChanged(std::shared_ptr<IDevice> /*device*/) {}
    virtual ~Connect() = default;
  };

  // Our configuration was claimed, lost or given back.
  class ConfigChange {
   public:
    virtual void onConfigChange() {}
    virtual ~ConfigChange() = default;
  };

  // Every report of the channel while the session is active.
  class Report {
   public:
    virtual void onReport(const std::vector<Byte>& /*report*/, unsigned int /*system_error*/,
                          unsigned int /*byte_count*/, ReportType /*type*/) {}
    virtual ~Report() = default;
  };

  // Every write outcome while the session is active, and (with an empty report)
  // every exchange that failed inside the device.
  class WriteReport {
   public:
    virtual void onWriteReport(const std::vector<Byte>& /*report*/, ErrorCode /*result*/,
                               unsigned int /*system_error*/) {}
    virtual ~WriteReport() = default;
  };

  virtual void initDevice(std::shared_ptr<IDeviceManager> manager) = 0;
  virtual void uninitDevice() = 0;
  virtual ~IDevice() = default;
  // The connection state last reported to subscribers.
  virtual bool connected() = 0;
  virtual bool removed() = 0;
  virtual int bus_type() = 0;
  virtual int transport() = 0;
  virtual int transport_variant() = 0;
  // The channel's bus, empty when it is gone.
  virtual std::shared_ptr<IHardwareBus> owning_bus() = 0;
  virtual std::string path() = 0;
  virtual int pid() = 0;
  virtual std::string name() = 0;
  // The software id in use, 1..15.
  virtual int swid() = 0;
  virtual int reserved_value() = 0;
  virtual bool set_configured(std::shared_ptr<IFeature> feature) = 0;
  virtual bool configured() = 0;
  virtual bool set_pending(std::shared_ptr<IFeature> feature) = 0;
  virtual bool pending() = 0;
  virtual bool shutdown() = 0;
  virtual void forget() = 0;
  virtual std::weak_ptr<IDeviceManager> manager() = 0;
  // The feature with this id, discovering it on first use; empty with
  // FeatureNotSupported when the device lacks it.
  virtual std::shared_ptr<IFeature> feature_by_id(int id) = 0;
  // Every feature, in index order; empty on failure.
  virtual std::vector<std::shared_ptr<IFeature>> features() = 0;
  // Writes one report without waiting.
  virtual bool sendCommand(const std::vector<Byte>& report, bool blocking) = 0;
  // Sends a request and returns its whole response report. cache_mode 1 marks
  // a request whose answer never changes. match_positions lists parameter
  // positions (0 = byte 4) that the response must echo.
  virtual bool sendSynchronousCommand(const std::vector<Byte>& command, std::vector<Byte>& response, int cache_mode,
                                      const std::vector<unsigned>& match_positions) = 0;
  // Ends a pending exchange now; later sends fail with Abandoned.
  virtual void abandon() = 0;
  virtual bool retry_load_feature_root() = 0;
  virtual int receiver_value() = 0;
  virtual void confirm_configuration() = 0;
  // min + rand() mod (max - min + 1).
  virtual int rand(int min, int max) = 0;

  // The feature of interface T (T::kFeatureId), or empty: absent (LastError as
  // feature_by_id left it), or of another class (InternalError).
  template <class T>
  std::shared_ptr<T> feature() {
    std::shared_ptr<IFeature> found = feature_by_id(T::kFeatureId);
    if (!found) return nullptr;
    std::shared_ptr<T> typed = std::dynamic_pointer_cast<T>(found);
    if (!typed) set_last_error(InternalError, 0, "cannot cast feature to proper type");
    return typed;
  }
};

}  // namespace rodiz
