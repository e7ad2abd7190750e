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

#include "NamedMutex.h"
#include "device/IDevice.h"
#include "device/SwidTable.h"
#include "features/IFeature1D4BWirelessStatus.h"
#include "runtime/IDeviceManager.h"
#include "runtime/ITimer.h"
#include "runtime/Subscriber.h"
#include "transport/IHardwareDevice.h"

namespace rodiz {

class Feature;

// The protocol-level device on one report channel: the FRAP command engine and
// response matcher, feature discovery, firmware identity and check, and the
// tracking of connection and configuration ownership.
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
  // Sources of sleep, time and randomness of the command engine, replaceable
  // so that retries, back-off and connect delays can be tested quickly.
  struct Clock {
    std::function<void(unsigned ms)> sleep_ms;
    std::function<std::int64_t()> now_ms;  // a monotonic millisecond count
    std::function<int()> random;           // like the C library's rand()
  };
  static Clock system_clock();

  Device(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareDevice> hwdev);
  ~Device() override;

  // --- IDevice
  void initDevice(std::shared_ptr<IDeviceManager> manager) override;
  void uninitDevice() override;
  bool connected() override;
  bool removed() override { return removed_; }
  int bus_type() override { return hwdev_->bus_type(); }
  int transport() override { return hwdev_->bus_type(); }
  int transport_variant() override { return hwdev_->transport_variant(); }
  std::shared_ptr<IHardwareBus> owning_bus() override { return hwdev_->owning_bus().lock(); }
  std::string path() override { return hwdev_->path(); }
  int pid() override { return hwdev_->pid(); }
  std::string name() override { return hwdev_->name(); }
  int swid() override;
  int reserved_value() override { return hwdev_->reserved_value(); }
  bool set_configured(std::shared_ptr<IFeature> feature) override;
  bool configured() override;
  bool set_pending(std::shared_ptr<IFeature> feature) override;
  bool pending() override;
  bool shutdown() override;
  void forget() override;
  std::weak_ptr<IDeviceManager> manager() override { return manager_; }
  std::shared_ptr<IFeature> feature_by_id(int id) override;
  std::vector<std::shared_ptr<IFeature>> features() override;
  bool sendCommand(const std::vector<Byte>& report, bool blocking) override;
  bool sendSynchronousCommand(const std::vector<Byte>& command, std::vector<Byte>& response, int cache_mode,
                              const std::vector<unsigned>& match_positions) override;
  void abandon() override;
  bool retry_load_feature_root() override;
  int receiver_value() override { return hwdev_->receiver_value(); }
  void confirm_configuration() override;
  int rand(int min, int max) override;

  // --- command engine
  // One exchange under the cross-process lock and the command mutex.
  bool sendSynchronousCommandWithoutRetry(const std::vector<Byte>& command, std::vector<Byte>& response,
                                          const std::vector<unsigned>& match_positions, bool blocking);
  // Classifies one incoming report and settles the pending request with it
  // when it is the answer. Safe for any byte sequence.
  ReportType onReadHandler(std::vector<Byte> report, bool force_broadcast_index);

  // --- discovery
  bool load_feature_root(bool retry);
  std::shared_ptr<IFeature> load_feature(int id, int cache_mode);
  bool load_features();
  std::shared_ptr<IFeature> feature_by_index(int index);
  // Whether the device speaks FRAP 2.0 (its feature table is not empty).
  bool feature_based();

  // --- firmware identity
  std::string read_fwinfo(bool cached);
  bool load_fwinfo(bool cache_present);
  bool do_fwcheck();
  std::string fwinfo() const { return fwinfo_; }

  // --- persistent data (feature cache file)
  void persistent_data_directory(const std::string& directory);

  // --- engine parameters and test seams
  void set_clock(Clock clock) { clock_ = std::move(clock); }
  void set_timeout_ms(int ms) { timeout_ms_ = ms; }
  void set_max_retries(int retries) { max_retries_ = retries; }
  bool quarantined() const { return quarantined_; }
  bool brb_active() const { return brb_active_; }
  std::uint16_t cookie() const { return cookie_; }
  bool device_unowned_but_dirty() const { return device_unowned_but_dirty_; }
  std::shared_ptr<IHardwareDevice> hardware() const { return hwdev_; }
  // Number of entries of the in-memory response cache.
  std::size_t sync_cache_size();

  // --- event callbacks (channel, manager, timers, 0x1D4B)
  void onConnect(std::shared_ptr<IHardwareDevice> hwdev) override;
  void onDisconnect(std::shared_ptr<IHardwareDevice> hwdev) override;
  void onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) override;
  void onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) override;
  void onActiveChanged(bool active) override;
  void onTimerEvent(int id) override;
  void onWirelessStatusEvent(bool reconnect, bool config_needed, bool powerswitch) override;

 protected:
  bool on_subscribe(Subscriber<IDevice::WriteReport>* s) override;
  void on_unsubscribe(Subscriber<IDevice::WriteReport>* s) override;

 private:
  friend class Feature;

  // Connection handling.
  bool ensure_subscriptions();
  bool ensure_read_subscription();
  void handle_connect();
  void handle_disconnect();
  void run_deactivation();
  bool mark_receiver_presence();
  void report_unreported(const char* context);
  bool manager_config(unsigned item);

  // Command engine helpers.
  int select_swid();
  void deliver_write_failure(ErrorCode code, std::uint32_t system);
  std::vector<Byte> make_ping(int swid, Byte ping_data) const;
  void subscribe_wireless_status();

  // Feature table helpers (each takes feature_table_mutex_ for itself).
  std::shared_ptr<Feature> table_feature(int index);
  void table_store(int index, std::shared_ptr<Feature> feature);

  void fire_config_change();
  void fire_connect(bool configured);
  void fire_disconnect();
  void write_cache_file();

  // Owned channel and weak manager.
  std::weak_ptr<IDeviceManager> manager_;
  std::shared_ptr<IHardwareDevice> hwdev_;
  Clock clock_;

  // Command engine state.
  int timeout_ms_ = 3000;
  int max_retries_ = 10;
  int silent_tries_threshold_ = 4;
  std::atomic<bool> silent_{false};
  bool quarantined_ = false;
  std::atomic<bool> need_ping_{false};
  std::atomic<bool> need_fwcheck_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> removed_{false};
  std::atomic<bool> active_{true};
  std::atomic<int> swid_{0};
  std::atomic<bool> switch_swid_{false};
  SwidTable swid_table_;
  std::vector<Byte> pending_command_;
  std::vector<unsigned> pending_match_positions_;
  bool readCompleted_ = true;
  std::vector<Byte> response_;
  std::vector<Byte> previous_command_;
  std::vector<unsigned> previous_match_positions_;
  bool brb_workaround_enabled_ = false;
  std::atomic<bool> brb_active_{false};
  bool _initiated_brb_workaround = false;
  std::mutex last_report_lock_;
  std::int64_t last_report_time_ = 0;
  std::mutex command_mutex_;
  std::condition_variable command_done_;
  NamedMutex named_mutex_;
  std::mutex sync_cache_lock_;
  std::map<std::vector<Byte>, std::vector<Byte>> sync_cache_;
  bool cache_dirty_ = false;

  // Discovery state.
  std::mutex feature_table_mutex_;
  std::map<int, std::shared_ptr<Feature>> feature_table_;
  int root_state_ = 0;
  bool all_features_loaded_ = false;

  // Firmware state.
  std::string fwinfo_;
  bool in_fwcheck_ = false;
  int active_entity_ = 0;

  // Connection and configuration state.
  bool subscribed_ = false;
  bool subscribed_read_ = false;
  bool connected_ = false;
  int reported_state_ = 0;
  bool shutting_down_ = false;
  bool receiver_marked_ = false;
  std::uint16_t cookie_ = 0;
  std::uint16_t device_cookie_ = 0;
  std::vector<std::shared_ptr<IFeature>> configured_features_;
  std::vector<std::shared_ptr<IFeature>> pending_features_;
  bool device_unowned_but_dirty_ = false;
  std::shared_ptr<ITimer> deactivation_timer_;
  std::shared_ptr<ITimer> cache_write_timer_;
  std::shared_ptr<ITimer> fw_check_timer_;
  bool logging_writes_ = false;

  // Feature cache file.
  std::string persistent_path_;
  bool generic_cache_enabled_ = false;
};

}  // namespace rodiz
