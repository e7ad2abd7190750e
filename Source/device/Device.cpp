#include "device/Device.h"

#include <cstdio>

#include "device/FeatureCacheFile.h"

#include "features/Feature.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"
#include "runtime/AtomicFile.h"
#include "runtime/Timer.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Device";
}  // namespace

#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

Device::Device(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareDevice> hwdev)
    : manager_(std::move(manager)), hwdev_(std::move(hwdev)) {
  FeatureRegistry::link_all_features();
}

Device::~Device() {
  DLOG(LogInfo, "Device::~Device() enter");
  // Leave every producer first: their callbacks (read thread, queued timer
  // and connect events) must not reach a half-destroyed device.
  Subscriber<IHardwareDevice::Read>::leave_all();
  Subscriber<IHardwareDevice::Write>::leave_all();
  Subscriber<IHardwareDevice::Connect>::leave_all();
  Subscriber<ITimer::TimerEvent>::leave_all();
  Subscriber<IDeviceManager::ActiveChanged>::leave_all();
  Subscriber<IFeature1D4BWirelessStatus::Report>::leave_all();
  if (engine_.cache_dirty()) perform_cache_write();
  DLOG(LogInfo, "Device::~Device() exit");
}

// ---------------------------------------------------------------------------
// Lifecycle

void Device::initDevice(std::shared_ptr<IDeviceManager> manager) {
  DLOG(LogInfo, "Device::initDevice() enter");
  if (manager) manager_ = manager;
  const int product = hwdev_->pid();
  const bool behind_receiver = transport_kind(hwdev_->bus_type()) == TransportKind::Receiver;
  const bool receiver_family = product == 0xC52B || product == 0xC52F || product == 0xC534 || behind_receiver;
  if (receiver_family) {
    engine_.init_lock("OrvaVireon");
  } else {
    char name[32];
    std::snprintf(name, sizeof name, "rodiz_0x%x", static_cast<unsigned>(product));
    engine_.init_lock(name);
  }
  DLOG(LogInfo, "Device::initDevice enter, pid=0x%x", static_cast<unsigned>(product));

  if (std::shared_ptr<IDeviceManager> m = manager_.lock()) {
    if (!Subscriber<IDeviceManager::ActiveChanged>::subscribe(m, DeliveryRunLoop, "Device::ActiveChanged")) {
      m->report_unreported_error("Device::initDevice subscribe(IDeviceManager::ActiveChanged)");
    }
    active_ = m->is_active();
  }
  DLOG(LogInfo, "Device::initDevice exit");

  auto make_timer = [this](int id, const char* context) {
    auto timer = std::make_shared<Timer>(id);
    if (!Subscriber<ITimer::TimerEvent>::subscribe(timer, DeliveryRunLoop, "Device::TimerEvent")) {
      report_unreported(context);
    }
    return timer;
  };
  deactivation_timer_ = make_timer(kDeactivationTimerId, "Device::initDevice subscribe(deactivation_timer)");
  cache_write_timer_ = make_timer(kCacheWriteTimerId, "Device::initDevice subscribe(cache_write_timer)");
  fw_check_timer_ = make_timer(kFwCheckTimerId, "Device::initDevice subscribe(fw_check_timer)");

  if (behind_receiver) {
    if (manager_config(ConfigItem::BrbWorkaround)) {
      engine_.enable_brb_workaround();
      DLOG(LogDebug, "This vireon device enabling the brb workaround, pid=0x%x", static_cast<unsigned>(product));
    } else {
      DLOG(LogDebug, "Vireon device but brb workaround disabled, pid=0x%x", static_cast<unsigned>(product));
    }
  }
  if (manager_config(ConfigItem::GenericCache)) {
    generic_cache_enabled_ = true;
    DLOG(LogDebug, "Enabled generic cache, pid=0x%x", static_cast<unsigned>(product));
  } else {
    DLOG(LogDebug, "Not enabling generic cache, pid=0x%x", static_cast<unsigned>(product));
  }
  DLOG(LogInfo, "Device::initDevice() exit");
}

bool Device::manager_config(ConfigItem item) {
  bool value = false;
  std::shared_ptr<IDeviceManager> m = manager_.lock();
  return m && m->config_get(item_number(item), &value) && value;
}

void Device::report_unreported(const char* context) {
  if (std::shared_ptr<IDeviceManager> m = manager_.lock()) m->report_unreported_error(context);
}

void Device::uninitDevice() {
  DLOG(LogInfo, "Device::uninitDevice() enter");
  removed_ = true;
  connection_.drop_subscriptions();
  if (std::shared_ptr<IDeviceManager> m = manager_.lock()) Subscriber<IDeviceManager::ActiveChanged>::unsubscribe(m);
  hwdev_->close();
  DLOG(LogInfo, "Device::uninitDevice() exit");
}

bool Device::set_configured(std::shared_ptr<IFeature> feature) {
  return connection_.set_configured(std::move(feature));
}

bool Device::set_pending(std::shared_ptr<IFeature> feature) { return connection_.set_pending(std::move(feature)); }

bool Device::shutdown() { return connection_.shutdown(); }

void Device::forget() {
  DLOG(LogInfo, "Device::forget() enter");
  table_.forget();
  connection_.forget();
  engine_.clear_sync_cache();
  DLOG(LogInfo, "Device::forget() exit");
}

std::shared_ptr<IFeature> Device::feature_by_index(int index) { return table_.feature_at(index); }

void Device::subscribe_wireless_status() {
  std::shared_ptr<IFeature1D4BWirelessStatus> status = feature<IFeature1D4BWirelessStatus>();
  bool subscribed = false;
  if (status) {
    subscribed =
        Subscriber<IFeature1D4BWirelessStatus::Report>::subscribe(status, DeliveryRunLoop, "Device::WirelessStatus");
  }
  DLOG(LogInfo, "Device::load_feature_root subscribing to 1d4b, ret=%d", subscribed);
}

// ---------------------------------------------------------------------------
// Events raised

void Device::fire_config_change() {
  Producer<IDevice::ConfigChange>::produce([](IDevice::ConfigChange* s) { s->onConfigChange(); },
                                           "Device::Report::onConfigChange");
}

void Device::fire_connect(bool configured_by_us) {
  std::shared_ptr<IDevice> self = shared_from_this();
  Producer<IDevice::Connect>::produce(
      [self, configured_by_us](IDevice::Connect* s) { s->onConnect(self, configured_by_us); },
      "Device::Connect::onConnect");
}

void Device::fire_disconnect() {
  std::shared_ptr<IDevice> self = shared_from_this();
  Producer<IDevice::Connect>::produce([self](IDevice::Connect* s) { s->onDisconnect(self); },
                                      "Device::Connect::onDisconnect");
}

void Device::fire_firmware_changed() {
  std::shared_ptr<IDevice> self = shared_from_this();
  Producer<IDevice::Connect>::produce([self](IDevice::Connect* s) { s->onFirmwareChanged(self); },
                                      "Device::Connect::onFirmwareChanged");
}

// ---------------------------------------------------------------------------
// Events received

void Device::onConnect(std::shared_ptr<IHardwareDevice> /*hwdev*/) { connection_.handle_connect(); }

void Device::onDisconnect(std::shared_ptr<IHardwareDevice> /*hwdev*/) { connection_.handle_disconnect(); }

void Device::onActiveChanged(bool active) { connection_.on_active_changed(active); }

void Device::onWirelessStatusEvent(bool reconnect, bool config_needed, bool powerswitch) {
  connection_.on_wireless_status(reconnect, config_needed, powerswitch);
}

void Device::onTimerEvent(int id) {
  switch (id) {
    case kDeactivationTimerId:
      connection_.run_deactivation();
      break;
    case kCacheWriteTimerId:
      perform_cache_write();
      break;
    case kFwCheckTimerId:
      connection_.handle_connect();
      break;
    default:
      break;
  }
}

void Device::onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) {
  const ReportType type = engine_.onReadHandler(report, routed);
  if (!active_) return;
  Producer<IDevice::Report>::produce([report = std::move(report), system_error, byte_count, type](
                                         IDevice::Report* s) { s->onReport(report, system_error, byte_count, type); },
                                     "Device::Report::onReport");
}

void Device::onWrite(std::vector<Byte> report, ErrorCode result, unsigned int system_error) {
  if (!active_) return;
  Producer<IDevice::WriteReport>::produce(
      [report = std::move(report), result, system_error](IDevice::WriteReport* s) {
        s->onWriteReport(report, result, system_error);
      },
      "Device::Report::onWriteReport");
}

bool Device::on_subscribe(Subscriber<IDevice::WriteReport>* /*s*/) {
  // The channel's write outcomes are only followed while someone listens.
  if (!logging_writes_) {
    if (!Subscriber<IHardwareDevice::Write>::subscribe(hwdev_, DeliveryImmediate, "IHardwareDevice::Write")) {
      return false;
    }
    logging_writes_ = true;
  }
  return true;
}

void Device::on_unsubscribe(Subscriber<IDevice::WriteReport>* /*s*/) {
  if (logging_writes_ && Producer<IDevice::WriteReport>::subscriber_count() == 0) {
    Subscriber<IHardwareDevice::Write>::unsubscribe(hwdev_);
    logging_writes_ = false;
  }
}

// ---------------------------------------------------------------------------
// Persistent data

void Device::persistent_data_directory(const std::string& directory) {
  DLOG(LogInfo, "Device::persistent_data_directory(%s)", directory.c_str());
  if (directory.empty()) return;
  persistent_path_ = directory;
  perform_cache_read();
}

void Device::perform_cache_read() {
  DLOG(LogInfo, "Device::perform_cache_read enter persistent_path=%s", persistent_path_.c_str());
  if (persistent_path_.empty()) {
    DLOG(LogInfo, "data cache dir is empty");
    return;
  }
  std::string file = FeatureCacheFile::device_file_name(persistent_path_, hwdev_->pid(), hwdev_->path());
  DLOG(LogInfo, "Device::perform_cache_read reading file %s", file.c_str());
  std::string text;
  AtomicFile::ReadResult result = AtomicFile::read(file, FeatureCacheFile::kMaxFileSize, text);
  // A folder in the file's place cannot be opened as a file: the same as none.
  if (result == AtomicFile::ReadResult::Missing || result == AtomicFile::ReadResult::NotAFile) {
    if (!generic_cache_enabled_) {
      DLOG(LogInfo, "cache file does not exist");
      return;
    }
    file = FeatureCacheFile::generic_file_name(persistent_path_, hwdev_->pid());
    DLOG(LogInfo, "file does not exist, trying generic file %s", file.c_str());
    result = AtomicFile::read(file, FeatureCacheFile::kMaxFileSize, text);
    if (result == AtomicFile::ReadResult::Missing || result == AtomicFile::ReadResult::NotAFile) {
      DLOG(LogInfo, "generic file does not exist either");
      return;
    }
    // What the generic file holds is saved under the device's own name.
    engine_.mark_cache_dirty();
  }

  FeatureCacheFile::Contents contents;
  std::string reason;
  bool damaged = true;
  if (result == AtomicFile::ReadResult::TooLarge) {
    reason = "too large";
  } else if (result == AtomicFile::ReadResult::Failed) {
    reason = "read error";
  } else {
    damaged = !FeatureCacheFile::parse(std::move(text), contents, reason);
  }
  if (damaged) {
    // Discarded whole: a partly read file could hold answers cut in half.
    DLOG(LogWarning, "cache file %s is damaged (%s)... discarding", file.c_str(), reason.c_str());
    engine_.mark_cache_dirty();
    DLOG(LogInfo, "Device::perform_cache_read exit");
    return;
  }

  if (contents.has_cache) {
    const std::string known = firmware_.fwinfo();
    if (!known.empty() && known != contents.fw) {
      DLOG(LogInfo, "cache is incorrect version (%s != %s)... invalidating", contents.fw.c_str(), known.c_str());
      engine_.mark_cache_dirty();
    } else {
      for (auto& [key, response] : contents.entries) {
        if (engine_.adopt_cached(std::move(key), std::move(response))) cache_file_loaded_ = true;
      }
      if (contents.unusable > 0) {
        DLOG(LogWarning, "cache file %s: %u entries that answer no request were skipped", file.c_str(),
             static_cast<unsigned>(contents.unusable));
        engine_.mark_cache_dirty();
      }
    }
  }
  DLOG(LogInfo, "Device::perform_cache_read exit");
}

void Device::schedule_cache_write(int delay_ms) {
  if (cache_write_timer_) cache_write_timer_->start(delay_ms);
}

void Device::perform_cache_write() {
  (void)engine_.take_cache_dirty();
  if (persistent_path_.empty()) {
    DLOG(LogInfo, "perform_cache_write: feature cache path is empty");
    return;
  }
  const std::string fw = firmware_.fwinfo();
  if (fw.empty()) {
    DLOG(LogInfo, "perform_cache_write: fwinfo is empty");
    return;
  }
  const std::string path = hwdev_->path();
  const std::string document = FeatureCacheFile::format(fw, path, engine_.sync_cache_entries());
  const std::string file = FeatureCacheFile::device_file_name(persistent_path_, hwdev_->pid(), path);
  if (AtomicFile::replace(file, document)) DLOG(LogInfo, "wrote feature cache to file %s", file.c_str());
  if (generic_cache_enabled_) {
    const std::string generic = FeatureCacheFile::generic_file_name(persistent_path_, hwdev_->pid());
    if (AtomicFile::replace(generic, document))
      DLOG(LogInfo, "wrote feature cache to generic file %s", generic.c_str());
  }
}

}  // namespace rodiz
