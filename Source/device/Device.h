#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device/CommandEngine.h"
#include "device/ConnectionTracker.h"
#include "device/FeatureTable.h"
#include "device/FirmwareCheck.h"
#include "device/IDevice.h"
#include "features/IFeature1D4BWirelessStatus.h"
#include "runtime/ConfigItem.h"
#include "runtime/IDeviceManager.h"
#include "runtime/ITimer.h"
#include "runtime/Subscriber.h"
#include "transport/IHardwareDevice.h"
#include "transport/TransportKind.h"

namespace rodiz {

class Feature;

// The protocol-level device on one report channel. It owns four parts and
// delegates to them: the command engine (send, match, retry, cache), the
// feature table (discovery, lookup), the firmware check, and the connection
// and configuration tracking. The device itself keeps the channel, the
// events it raises and receives, its timers and the feature cache file.
//
// Threads: commands run on the caller's thread (in the application, the
// run-loop thread); onReadHandler runs on the channel's read thread; connect,
// timer and active-state callbacks arrive through the run loop.
class Device : public IDevice,
               public Producer<IDevice::Connect>,
               public Producer<IDevice::ConfigChange>,
               public Producer<IDevice::Report>,
               public Producer<IDevice::WriteReport>,
               public Subscriber<IHardwareDevice::Connect>,
               public Subscriber<IHardwareDevice::Read>,
               public Subscriber<IHardwareDevice::Write>,
               public Subscriber<IDeviceManager::ActiveChanged>,
               public Subscriber<ITimer::TimerEvent>,
               public Subscriber<IFeature1D4BWirelessStatus::Report>,
               public std::enable_shared_from_this<Device> {
 public:
  using Clock = CommandEngine::Clock;
  static Clock system_clock() { return CommandEngine::system_clock(); }

  Device(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareDevice> hwdev);
  ~Device() override;

  // --- IDevice
  void initDevice(std::shared_ptr<IDeviceManager> manager) override;
  void uninitDevice() override;
  bool connected() override { return connection_.connected(); }
  bool removed() override { return removed_; }
  int bus_type() override { return hwdev_->bus_type(); }
  int transport() override { return hwdev_->bus_type(); }
  int transport_variant() override { return hwdev_->transport_variant(); }
  std::shared_ptr<IHardwareBus> owning_bus() override { return hwdev_->owning_bus().lock(); }
  std::string path() override { return hwdev_->path(); }
  int pid() override { return hwdev_->pid(); }
  std::string name() override { return hwdev_->name(); }
  int swid() override { return engine_.swid(); }
  int reserved_value() override { return hwdev_->reserved_value(); }
  [[nodiscard]] bool set_configured(std::shared_ptr<IFeature> feature) override;
  bool configured() override { return connection_.configured(); }
  [[nodiscard]] bool set_pending(std::shared_ptr<IFeature> feature) override;
  bool pending() override { return connection_.pending(); }
  bool shutdown() override;
  void forget() override;
  std::weak_ptr<IDeviceManager> manager() override { return manager_; }
  std::shared_ptr<IFeature> feature_by_id(int id) override { return table_.feature_by_id(id); }
  std::vector<std::shared_ptr<IFeature>> features() override { return table_.features(); }
  [[nodiscard]] bool sendCommand(const std::vector<Byte>& report, bool blocking) override {
    return engine_.sendCommand(report, blocking);
  }
  [[nodiscard]] bool sendSynchronousCommand(const std::vector<Byte>& command, std::vector<Byte>& response,
                                            int cache_mode, const std::vector<unsigned>& match_positions) override {
    return engine_.sendSynchronousCommand(command, response, cache_mode, match_positions);
  }
  void abandon() override { engine_.abandon(); }
  [[nodiscard]] bool retry_load_feature_root() override { return table_.load_feature_root(true); }
  int receiver_value() override { return hwdev_->receiver_value(); }
  void confirm_configuration() override { connection_.confirm_configuration(); }
  int rand(int min, int max) override { return engine_.rand(min, max); }

  // --- command engine
  // One exchange under the cross-process lock and the command mutex.
  [[nodiscard]] bool sendSynchronousCommandWithoutRetry(const std::vector<Byte>& command, std::vector<Byte>& response,
                                                        const std::vector<unsigned>& match_positions, bool blocking) {
    return engine_.sendSynchronousCommandWithoutRetry(command, response, match_positions, blocking);
  }
  // Classifies one incoming report and settles the pending request with it
  // when it is the answer. Safe for any byte sequence.
  ReportType onReadHandler(std::vector<Byte> report, bool force_broadcast_index) {
    return engine_.onReadHandler(std::move(report), force_broadcast_index);
  }

  // --- discovery
  [[nodiscard]] bool load_feature_root(bool retry) { return table_.load_feature_root(retry); }
  std::shared_ptr<IFeature> load_feature(int id, int cache_mode) { return table_.load_feature(id, cache_mode); }
  [[nodiscard]] bool load_features() { return table_.load_features(); }
  std::shared_ptr<IFeature> feature_by_index(int index);
  // Whether the device speaks FRAP 2.0 (its feature table is not empty).
  bool feature_based() { return table_.feature_based(); }

  // --- firmware identity
  std::string read_fwinfo(bool cached) { return firmware_.read_fwinfo(cached); }
  [[nodiscard]] bool load_fwinfo(bool cache_present) { return firmware_.load_fwinfo(cache_present); }
  [[nodiscard]] bool do_fwcheck() { return firmware_.do_fwcheck(); }
  std::string fwinfo() const { return firmware_.fwinfo(); }

  // --- persistent data (feature cache file)
  // Stores `directory` (ending with a separator) as the folder of the cache
  // files and loads this device's file from it; an empty text changes nothing.
  void persistent_data_directory(const std::string& directory);
  // Loads the device's cache file (or, with the generic cache enabled and no
  // file of its own, the file of its product id) into the response cache.
  // Answers already in memory win. A file made for another firmware than the
  // one already known, or a damaged file, loads nothing and is replaced at
  // the next write. Missing folders and files are only logged.
  void perform_cache_read();
  // Saves the response cache to the device's file (and to the product's
  // generic file when enabled), replacing it whole. Nothing is written
  // without a folder or before the firmware identity is known; a file that
  // cannot be written is skipped. Clears the dirty mark in every case.
  void perform_cache_write();
  // Whether the response cache changed since the last write attempt.
  bool cache_dirty() const { return engine_.cache_dirty(); }
  void set_generic_cache_enabled(bool enabled) { generic_cache_enabled_ = enabled; }
  // Whether answers were loaded from a cache file since the last call, and
  // clears the mark.
  bool take_cache_file_loaded() { return cache_file_loaded_.exchange(false); }

  // --- engine parameters and test seams
  void set_clock(Clock clock) { engine_.set_clock(std::move(clock)); }
  void set_timeout_ms(int ms) { engine_.set_timeout_ms(ms); }
  void set_max_retries(int retries) { engine_.set_max_retries(retries); }
  bool quarantined() const { return engine_.quarantined(); }
  bool brb_active() const { return engine_.brb_active(); }
  std::uint16_t cookie() const { return connection_.cookie(); }
  bool device_unowned_but_dirty() const { return connection_.device_unowned_but_dirty(); }
  std::shared_ptr<IHardwareDevice> hardware() const { return hwdev_; }
  // Number of entries of the in-memory response cache.
  std::size_t sync_cache_size() { return engine_.sync_cache_size(); }

  // --- event callbacks (channel, manager, timers, 0x1D4B)
  void onConnect(std::shared_ptr<IHardwareDevice> hwdev) override;
  void onDisconnect(std::shared_ptr<IHardwareDevice> hwdev) override;
  void onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) override;
  void onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) override;
  void onActiveChanged(bool active) override;
  void onTimerEvent(int id) override;
  void onWirelessStatusEvent(bool reconnect, bool config_needed, bool powerswitch) override;

 protected:
  // Whether the session is active, as the device last heard from its manager.
  bool session_active() const { return active_; }
  bool on_subscribe(Subscriber<IDevice::WriteReport>* s) override;
  void on_unsubscribe(Subscriber<IDevice::WriteReport>* s) override;

 private:
  friend class CommandEngine;
  friend class FeatureTable;
  friend class FirmwareCheck;
  friend class ConnectionTracker;

  // The device's timers, told apart by id in onTimerEvent.
  enum TimerId : int { kDeactivationTimerId = 0, kCacheWriteTimerId = 1, kFwCheckTimerId = 2 };

  void report_unreported(const char* context);
  bool manager_config(ConfigItem item);
  void subscribe_wireless_status();
  void schedule_cache_write(int delay_ms);

  void fire_config_change();
  void fire_connect(bool configured);
  void fire_disconnect();
  void fire_firmware_changed();

  // Owned channel and weak manager.
  std::weak_ptr<IDeviceManager> manager_;
  std::shared_ptr<IHardwareDevice> hwdev_;
  std::atomic<bool> removed_{false};
  std::atomic<bool> active_{true};
  bool logging_writes_ = false;

  // The parts; each holds a reference back to this device.
  CommandEngine engine_{*this};
  FeatureTable table_{*this};
  FirmwareCheck firmware_{*this};
  ConnectionTracker connection_{*this};

  std::shared_ptr<ITimer> deactivation_timer_;
  std::shared_ptr<ITimer> cache_write_timer_;
  std::shared_ptr<ITimer> fw_check_timer_;

  // Feature cache file.
  std::string persistent_path_;
  bool generic_cache_enabled_ = false;
  std::atomic<bool> cache_file_loaded_{false};
};

}  // namespace rodiz
