#include "device/ConnectionTracker.h"

#include "device/Device.h"
#include "device/LastError.h"
#include "features/Feature.h"
#include "features/IFeature0020ConfigChange.h"
#include "log/xLog.h"
#include "runtime/ITimer.h"
#include "transport/IHardwareBus.h"
#include "transport/TransportKind.h"
#include "transport/VireonBus.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Device";
constexpr int kDeactivationDelayMs = 5000;
constexpr int kConnectBurstMs = 1000;

}  // namespace

#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

ConnectionTracker::ConnectionTracker(Device& device) : device_(device) {}

// ---------------------------------------------------------------------------
// Subscriptions and state

bool ConnectionTracker::ensure_read_subscription() {
  if (subscribed_read_) return true;
  if (!device_.Subscriber<IHardwareDevice::Read>::subscribe(device_.hwdev_, DeliveryImmediate, "Device::Read")) {
    return false;
  }
  subscribed_read_ = true;
  return true;
}

bool ConnectionTracker::ensure_subscriptions() {
  if (subscribed_) return true;
  if (!device_.Subscriber<IHardwareDevice::Connect>::subscribe(device_.hwdev_, DeliveryRunLoop, "Device::Connect")) {
    device_.report_unreported("Device::initDevice subscribe(IHardwareDevice::Connect)");
    return false;
  }
  if (device_.hwdev_->connected()) {
    if (!ensure_read_subscription()) {
      device_.report_unreported("Device::initDevice subscribe(IHardwareDevice::Read)");
      (void)device_.hwdev_->open();
    }
    connected_ = device_.active_;
  } else {
    connected_ = false;
  }
  subscribed_ = true;
  return true;
}

void ConnectionTracker::drop_subscriptions() {
  device_.Subscriber<IHardwareDevice::Connect>::unsubscribe(device_.hwdev_);
  device_.Subscriber<IHardwareDevice::Read>::unsubscribe(device_.hwdev_);
  subscribed_ = false;
  subscribed_read_ = false;
}

bool ConnectionTracker::connected() {
  (void)ensure_subscriptions();
  if (reported_state_ == ReportedState::None) {
    reported_state_ = connected_ ? ReportedState::Connected : ReportedState::Disconnected;
  }
  return connected_;
}

// ---------------------------------------------------------------------------
// The configuration cookie

ConnectionTracker::CookieCheck ConnectionTracker::check_cookie(const CookieTexts& texts) {
  std::shared_ptr<IFeature0020ConfigChange> config = device_.feature<IFeature0020ConfigChange>();
  if (!config) {
    if (texts.no_feature) DLOG(LogInfo, "%s", texts.no_feature);
    return CookieCheck::NoFeature;
  }
  DLOG(LogInfo, "%s", texts.reading);
  std::uint16_t read = 0;
  if (!config->GetCookie(&read)) {
    // Keep the request's reason for the caller across this log line.
    const LastError failure = last_error();
    if (texts.failure_has_code) {
      DLOG(LogInfo, "%s%d", texts.read_failed, failure.code);
    } else {
      DLOG(LogInfo, "%s", texts.read_failed);
    }
    set_last_error(failure.code, failure.system, failure.text);
    return CookieCheck::ReadFailed;
  }
  if (texts.read_value) DLOG(LogInfo, "%s%04x", texts.read_value, read);
  if (read == cookie_) return CookieCheck::Matched;
  if (read != 0) device_cookie_ = read;
  return CookieCheck::Differs;
}

void ConnectionTracker::drop_configuration(const char* reason) {
  if (!configured_features_.empty()) device_.fire_config_change();
  for (const std::shared_ptr<IFeature>& feature : configured_features_) {
    DLOG(LogInfo, "onConnect: telling feature 0x%04x about the %s", static_cast<unsigned>(feature->feature_id()),
         reason);
    if (auto base = std::dynamic_pointer_cast<Feature>(feature)) base->clear_configured();
  }
  configured_features_.clear();
}

// ---------------------------------------------------------------------------
// Connect and disconnect

bool ConnectionTracker::write_pending_changes(bool configured_by_us, bool* lost) {
  DLOG(LogInfo, "onConnect: Letting features write pending changes");
  while (!pending_features_.empty()) {
    std::shared_ptr<Feature> feature = std::dynamic_pointer_cast<Feature>(pending_features_.front());
    bool written = true;
    if (feature) {
      feature->set_writing_pending(true);
      written = feature->process_pending_changes(configured_by_us);
      if (written) feature->clear_pending();
      feature->set_writing_pending(false);
    }
    if (!written) {
      const ErrorCode code = last_error_code();
      DLOG(LogInfo, "onConnect: losing configuration because some feature could not write pending changes, err=%d",
           code);
      *lost = true;
      if (code == NotConnected) {
        // The feature keeps its values; it tries again at the next connect.
        DLOG(LogInfo, "Not reporting connect due to NotConnected");
        return false;
      }
    }
    pending_features_.erase(pending_features_.begin());
  }
  if (std::shared_ptr<IFeature0020ConfigChange> config = device_.feature<IFeature0020ConfigChange>()) {
    DLOG(LogInfo, "onConnect is writing cookie to 0x0020 feature (config complete)");
    if (!config->SetCookie(cookie_)) {
      const ErrorCode code = last_error_code();
      DLOG(LogInfo,
           "onConnect: losing configuration because could not write configuration complete to receiver, err=%d", code);
      *lost = true;
      if (code == NotConnected) {
        DLOG(LogInfo, "Not reporting connect due to NotConnected");
        return false;
      }
    }
  }
  return true;
}

void ConnectionTracker::handle_connect() {
  const unsigned product = static_cast<unsigned>(device_.hwdev_->pid());
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-connect- pid=%04x begin...", product);
  device_.engine_.end_quarantine();
  if (!ensure_read_subscription()) device_.report_unreported("Device::onConnect subscribe(IHardwareDevice::Read)");

  if (connected_) {
    DLOG(LogInfo, "connect of already connected device");
    const std::int64_t since = device_.engine_.ms_since_last_report();
    DLOG(LogInfo, "its been %ld milliseconds since last report", static_cast<long>(since));
    if (since < kConnectBurstMs) {
      DLOG(LogInfo, "time since last report less than a second, so delaying onConnect processing");
      if (device_.fw_check_timer_) device_.fw_check_timer_->trigger(kConnectBurstMs);
      DLOG(LogDebug, "...Device::onConnect() pid=0x%x end.", product);
      return;
    }
  }

  if (!device_.active_) {
    if (configured()) {
      DLOG(LogInfo, "inactive session, device configured, connect triggering deactivation");
      if (device_.deactivation_timer_) device_.deactivation_timer_->start(kDeactivationDelayMs);
    } else {
      DLOG(LogInfo, "inactive session, device not configured, connect ignored");
    }
    DLOG(LogDebug, "...Device::onConnect() pid=0x%x end.", product);
    return;
  }

  device_.engine_.end_brb_workaround();
  bool configured_by_us = configured();
  bool lost = false;
  bool mismatch = false;

  const bool check_passed = device_.firmware_.do_fwcheck();
  if (!check_passed) {
    if (last_error_code() == NotConnected) {
      DLOG(LogInfo, "Not reporting connect due to NotConnected");
      return;
    }
    DLOG(LogInfo, "onConnect: fw check failed, err=%d", last_error_code());
    clear_last_error();
    configured_by_us = false;
    DLOG(LogInfo, "onConnect: device not configured");
  }

  if (check_passed) {
    if (!configured_by_us) {
      DLOG(LogInfo, "onConnect: device not configured");
    } else if (cookie_ == 0) {
      lost = true;
      DLOG(LogInfo, "onConnect: device not configured");
    } else {
      static constexpr CookieTexts kTexts = {nullptr, "OnConnect is reading cookie",
                                             "onConnect: could not read cookie, err=", true, "OnConnect: read cookie "};
      switch (check_cookie(kTexts)) {
        case CookieCheck::NoFeature:
          if (last_error_code() == NotConnected) {
            DLOG(LogInfo, "Not reporting connect due to NotConnected");
            return;
          }
          DLOG(LogInfo, "onConnect: losing configuration because no 0x0020 feature present");
          lost = true;
          break;
        case CookieCheck::ReadFailed:
          if (last_error_code() == NotConnected) {
            DLOG(LogInfo, "Not reporting connect due to NotConnected");
            return;
          }
          DLOG(LogInfo, "onConnect: losing configuration because could not get cookie");
          lost = true;
          break;
        case CookieCheck::Matched:
          DLOG(LogInfo, "onConnect: cookie matched");
          break;
        case CookieCheck::Differs:
          DLOG(LogInfo, "onConnect: losing configuration because cookie did not match");
          lost = true;
          mismatch = true;
          break;
      }
    }
  }

  if (!pending_features_.empty() && !lost && !write_pending_changes(configured_by_us, &lost)) return;

  if (lost) {
    drop_configuration("lost configuration");
    configured_by_us = false;
    if (!mismatch) device_unowned_but_dirty_ = true;
  }

  connected_ = true;
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-connect- sending connect pid %04x with device_configured_by_us = %d",
            product, configured_by_us);
  reported_state_ = ReportedState::Connected;
  device_.fire_connect(configured_by_us);
  DLOG(LogDebug, "...Device::onConnect() pid=0x%x end.", product);
}

void ConnectionTracker::handle_disconnect() {
  const unsigned product = static_cast<unsigned>(device_.hwdev_->pid());
  DLOG(LogInfo, "Device::onDisconnect enter, pid = 0x%x", product);
  if (device_.deactivation_timer_) device_.deactivation_timer_->stop();
  if (device_.fw_check_timer_) device_.fw_check_timer_->stop();
  connected_ = false;
  reported_state_ = ReportedState::Disconnected;
  device_.fire_disconnect();
  DLOG(LogInfo, "Device::onDisconnect exit, pid = 0x%x", product);
}

void ConnectionTracker::on_active_changed(bool active) {
  DLOG(LogDebug, "Device::onActiveChanged(active = %d)", active);
  if (active == device_.active_) return;
  device_.active_ = active;
  DLOG(LogInfo, "Changed active state to %d", active);
  if (!subscribed_ || !device_.hwdev_->connected()) return;
  const unsigned product = static_cast<unsigned>(device_.hwdev_->pid());
  if (active) {
    DLOG(LogInfo, "Going active while device %04x is connected", product);
    if (device_.deactivation_timer_) device_.deactivation_timer_->stop();
    handle_connect();
  } else {
    DLOG(LogInfo, "Going inactive while device %04x is connected", product);
    handle_disconnect();
    if (configured() && device_.deactivation_timer_) device_.deactivation_timer_->start(kDeactivationDelayMs);
  }
}

void ConnectionTracker::run_deactivation() {
  const unsigned product = static_cast<unsigned>(device_.hwdev_->pid());
  DLOG(LogInfo, "Starting deactivation of device %04x", product);
  if (device_.active_) {
    DLOG(LogInfo, "Deactivation for device %04x skipped due to active_", product);
  } else if (!subscribed_ || !device_.hwdev_->connected()) {
    DLOG(LogInfo, "Deactivation for device %04x skipped due to !hwdev->connected()", product);
  } else {
    static constexpr CookieTexts kTexts = {
        "Deactivation: skipping deactivation because no 0x0020 feature",
        "Deactivation is checking 0x0020 feature to see if we still hold the configuration",
        "Deactivation: skipping deactivation because could not read cookie, err=", true, nullptr};
    switch (check_cookie(kTexts)) {
      case CookieCheck::NoFeature:
      case CookieCheck::ReadFailed:
        break;
      case CookieCheck::Differs:
        DLOG(LogInfo, "Deactivation: skipping deactivation because cookie did not match");
        break;
      case CookieCheck::Matched: {
        DLOG(LogInfo, "Deactivation: we still hold configuration, resetting device by clearing 0x0020 cookie");
        std::shared_ptr<IFeature0020ConfigChange> config = device_.feature<IFeature0020ConfigChange>();
        if (config && !config->SetCookie(0)) {
          DLOG(LogInfo, "could not clear cookie in 0x0020 feature, errcode=%d", last_error_code());
        }
        drop_configuration("reset");
        break;
      }
    }
  }
  DLOG(LogInfo, "Deactivation exit");
}

void ConnectionTracker::on_wireless_status(bool reconnect, bool config_needed, bool powerswitch) {
  DLOG(LogInfo, "enter, reconnect=%d, config_needed=%d, powerswitch=%d", reconnect, config_needed, powerswitch);
  if (!config_needed) {
    DLOG(LogInfo, "exit, no config needed");
    return;
  }
  (void)device_.firmware_.do_fwcheck();
  if (configured_features_.empty()) {
    DLOG(LogInfo, "exit, no features configured");
    return;
  }
  static constexpr CookieTexts kTexts = {"feature 0020 missing", "reading 0020 cookie", "failed to get 0020 cookie",
                                         false, "OnConnect: read cookie "};
  switch (check_cookie(kTexts)) {
    case CookieCheck::NoFeature:
    case CookieCheck::ReadFailed:
      if (last_error_code() == NotConnected) {
        DLOG(LogInfo, "Not reporting lost settings due to NotConnected");
        return;
      }
      break;
    case CookieCheck::Matched:
      DLOG(LogInfo, "Not reporting lost settings due to cookie matching");
      return;
    case CookieCheck::Differs:
      DLOG(LogInfo, "cookie did not match");
      break;
  }
  if (reported_state_ == ReportedState::Connected) {
    DLOG(LogInfo, "reporting settings lost via an onDisconnect/onConnect sequence");
    device_.fire_disconnect();
    device_.fire_connect(false);
  } else {
    DLOG(LogInfo, "Not reporting lost settings due to latest reported connected state being other than connected");
  }
  DLOG(LogInfo, "exit");
}

void ConnectionTracker::confirm_configuration() {
  const unsigned product = static_cast<unsigned>(device_.hwdev_->pid());
  DLOG(LogInfo, "Device::confirm_configuration(pid = 0x%04x) begin...", product);
  if (subscribed_ && device_.hwdev_->connected()) handle_connect();
  DLOG(LogInfo, "Device::confirm_configuration(pid = 0x%04x) ...end", product);
}

// ---------------------------------------------------------------------------
// Claims

bool ConnectionTracker::mark_receiver_presence() {
  std::shared_ptr<VireonBus> receiver = std::dynamic_pointer_cast<VireonBus>(device_.hwdev_->owning_bus().lock());
  if (!receiver) return true;
  return receiver->set_software_present();
}

bool ConnectionTracker::set_configured(std::shared_ptr<IFeature> claimer) {
  if (shutting_down_) return true;
  if (!configured_features_.empty()) {
    configured_features_.push_back(std::move(claimer));
    device_unowned_but_dirty_ = false;
    return true;
  }
  if (transport_kind(device_.hwdev_->bus_type()) == TransportKind::Receiver) {
    receiver_marked_ = true;
    if (!mark_receiver_presence()) return false;
  }
  if (std::shared_ptr<IFeature0020ConfigChange> config = device_.feature<IFeature0020ConfigChange>()) {
    std::uint16_t existing = 0;
    if (!config->GetCookie(&existing)) return false;
    DLOG(LogInfo, "set_configured read existing cookie from device: 0x%04x", existing);
    if (existing != 0) {
      DLOG(LogInfo, "set_configured is writing 0 cookie to 0x0020 feature to reset device");
      device_cookie_ = existing;
      if (!config->SetCookie(0)) return false;
    }
    // Never pick 0 (nobody) or the last foreign cookie.
    int picked = device_.rand(1, 0xFFFE);
    if (picked >= device_cookie_) picked += 1;
    cookie_ = static_cast<std::uint16_t>(picked);
    DLOG(LogInfo, "set_configured picked a new cookie 0x%04x", cookie_);
    if (!pending_features_.empty()) {
      DLOG(LogInfo, "set_configured delaying writing of new cookie because we are processing a pending change");
    } else {
      DLOG(LogInfo, "set_configured is writing new cookie to 0x0020 feature");
      if (!config->SetCookie(cookie_)) return false;
    }
  }
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-api- set_configured produuing onConfigChange");
  device_.fire_config_change();
  configured_features_.push_back(std::move(claimer));
  device_unowned_but_dirty_ = false;
  return true;
}

bool ConnectionTracker::set_pending(std::shared_ptr<IFeature> feature) {
  if (shutting_down_) return true;
  if (pending_features_.empty() && transport_kind(device_.hwdev_->bus_type()) == TransportKind::Receiver) {
    std::shared_ptr<VireonBus> receiver = std::dynamic_pointer_cast<VireonBus>(device_.hwdev_->owning_bus().lock());
    if (receiver) {
      if (!receiver_marked_) {
        receiver_marked_ = true;
        if (!receiver->set_software_present()) return false;
      }
      if (!receiver->set_slot_configured(device_.hwdev_->transport_variant() - 1)) return false;
    }
  }
  pending_features_.push_back(std::move(feature));
  return true;
}

void ConnectionTracker::forget() {
  if (!configured_features_.empty()) device_.fire_config_change();
  configured_features_.clear();
  pending_features_.clear();
}

bool ConnectionTracker::shutdown() {
  shutting_down_ = true;
  DLOG(LogInfo, "Device::shutdown");
  bool result = true;
  if (receiver_marked_ && transport_kind(device_.hwdev_->bus_type()) == TransportKind::Receiver) {
    std::shared_ptr<VireonBus> receiver = std::dynamic_pointer_cast<VireonBus>(device_.hwdev_->owning_bus().lock());
    if (receiver) result = receiver->clear_software_present();
  }
  if (!configured_features_.empty() || device_unowned_but_dirty_) {
    DLOG(LogInfo, "configured = %d, device_unowned_but_dirty = %d", !configured_features_.empty(),
         device_unowned_but_dirty_);
    if (std::shared_ptr<IFeature0020ConfigChange> config = device_.feature<IFeature0020ConfigChange>()) {
      DLOG(LogInfo, "set_configured is resetting device by clearing cookie in 0x0020 feature");
      if (!config->SetCookie(0)) {
        DLOG(LogInfo, "could not clear cookie in 0x0020 feature, errcode=%d", last_error_code());
      }
    }
    configured_features_.clear();
    device_unowned_but_dirty_ = false;
  }
  return result;
}

}  // namespace rodiz
