#include "device/Device.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "device/FrapReport.h"
#include "features/Feature.h"
#include "features/Feature0000Root.h"
#include "features/FeatureRegistry.h"
#include "features/IFeature0001FeatureSet.h"
#include "features/IFeature0003FirmwareInfo.h"
#include "features/IFeature0020ConfigChange.h"
#include "log/xLog.h"
#include "runtime/Timer.h"
#include "transport/IHardwareBus.h"
#include "transport/IReceiver.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Device";

enum DeviceTimerId : int {
  kDeactivationTimerId = 0,
  kCacheWriteTimerId = 1,
  kFwCheckTimerId = 2,
};

constexpr int kDeactivationDelayMs = 5000;
constexpr int kCacheWriteDelayMs = 10000;
constexpr int kConnectBurstMs = 1000;

// Soft errors are retried after a ping; every other failure ends the call.
bool is_soft_command_error(ErrorCode code) {
  return code == NoResponse || code == Frp10Error7 || code == Frp10Error9 || code == Frp20Error8 ||
         code == WriteGenFailure || code == SwidConflict;
}

bool is_soft_ping_error(ErrorCode code) {
  return code == NoResponse || code == Frp20Error8 || code == WriteGenFailure || code == SwidConflict;
}

// The cache key and value forms: the swid nibble is not part of an answer.
std::vector<Byte> with_swid(std::vector<Byte> report, unsigned swid) {
  if (report.size() > 3) report[3] = static_cast<Byte>((report[3] & 0xF0) | (swid & 0x0F));
  return report;
}

}  // namespace

#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

Device::Clock Device::system_clock() {
  Clock clock;
  clock.sleep_ms = [](unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  clock.now_ms = [] {
    return static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
  };
  clock.random = [] { return std::rand(); };
  return clock;
}

Device::Device(std::weak_ptr<IDeviceManager> manager, std::shared_ptr<IHardwareDevice> hwdev)
    : manager_(std::move(manager)), hwdev_(std::move(hwdev)), clock_(system_clock()) {
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
  if (cache_dirty_) write_cache_file();
  DLOG(LogInfo, "Device::~Device() exit");
}

// ---------------------------------------------------------------------------
// Identity and small operations

int Device::swid() {
  int current = swid_.load();
  if (current == 0) {
    if (std::shared_ptr<IDeviceManager> m = manager_.lock()) {
      current = m->swid() & 0x0F;
      swid_ = current;
    }
  }
  return current == 0 ? 15 : current;
}

int Device::rand(int min, int max) { return min + clock_.random() % (max - min + 1); }

bool Device::feature_based() {
  std::lock_guard<std::mutex> guard(feature_table_mutex_);
  return !feature_table_.empty();
}

std::size_t Device::sync_cache_size() {
  std::lock_guard<std::mutex> guard(sync_cache_lock_);
  return sync_cache_.size();
}

int Device::select_swid() {
  if (switch_swid_.exchange(false)) swid_ = swid_table_.least_recently_seen();
  return swid();
}

std::vector<Byte> Device::make_ping(int ping_swid, Byte ping_data) const {
  return {frap::kShortReportId,
          frap::kDeviceIndexSelf,
          0x00,
          static_cast<Byte>(0x10 | (static_cast<unsigned>(ping_swid) & 0x0F)),
          0x00,
          0x00,
          ping_data};
}

void Device::deliver_write_failure(ErrorCode code, std::uint32_t system) { onWrite(std::vector<Byte>(), code, system); }

// ---------------------------------------------------------------------------
// Command engine

bool Device::sendCommand(const std::vector<Byte>& report, bool blocking) {
  if (abandoned_) {
    DLOG(LogError, "Device::sendCommand() - abandoned!");
    set_last_error(Abandoned);
    return false;
  }
  if (removed_) {
    DLOG(LogError, "Device::sendCommand() - removed!");
    set_last_error(DeviceRemoved);
    return false;
  }
  if (!hwdev_->open()) {
    DLOG(LogError, "Device::sendCommand() - hardware device not open!");
    return false;
  }
  if (blocking && !ensure_subscriptions()) return false;
  if (!hwdev_->write(report, blocking)) {
    DLOG(LogError, "Device::sendCommand() - hwdev->write() failed, errcode = %d!", last_error_code());
    return false;
  }
  return true;
}

bool Device::sendSynchronousCommand(const std::vector<Byte>& command, std::vector<Byte>& response, int cache_mode,
                                    const std::vector<unsigned>& match_positions) {
  DLOG(LogInfo, "sendSynchronousCommand enter, dev=%s", hwdev_->name().c_str());
  if (command.size() >= 4) {
    DLOG(LogInfo, "sendSynchronousCommand cmd starts with %02x %02x %02x %02x", command[0], command[1], command[2],
         command[3]);
  }

  // FRAP 1.0 register requests and requests too short to carry a swid are
  // never cached.
  if (cache_mode == 1 && (command.size() < 4 || command[2] >= frap::kFirstFrap10SubId)) cache_mode = 0;
  if (cache_mode == 1) {
    const std::vector<Byte> key = with_swid(command, 0xA);
    std::vector<Byte> cached;
    bool found = false;
    {
      std::lock_guard<std::mutex> guard(sync_cache_lock_);
      auto it = sync_cache_.find(key);
      if (it != sync_cache_.end()) {
        cached = it->second;
        found = true;
      }
    }
    if (found) {
      response = with_swid(cached, static_cast<unsigned>(swid()));
      DLOG(LogInfo, "sendSynchronousCommand exit (true, returning cached data)");
      return true;
    }
    DLOG(LogInfo, "requested command not in cache:");
  }

  if (quarantined_) {
    DLOG(LogInfo, "device is quarantined, returning NotConnected");
    set_last_error(NotConnected);
    return false;
  }

  silent_ = true;
  for (int i = 0;; ++i) {
    if (i > max_retries_) {
      set_last_error(NoResponse);
      DLOG(LogInfo, "sendSynchronousCommand exit (false, NoResponse)");
      cookie_ = 0;
      return false;
    }
    if (i > silent_tries_threshold_ && silent_ && hwdev_->bus_type() != 0) {
      DLOG(LogInfo, "device was silent for %d tries, quarantining it until it reconnects", silent_tries_threshold_);
      quarantined_ = true;
      onDisconnect(hwdev_);
      set_last_error(NotConnected);
      return false;
    }

    if (need_ping_.exchange(false)) {
      DLOG(LogInfo, "need a ping");
      if (feature_based()) {
        if (i > 0) {
          DLOG(LogInfo, "delaying before ping");
          clock_.sleep_ms(static_cast<unsigned>(clock_.random() % 500 + (10 << i)));
        }
        DLOG(LogInfo, "sending ping");
        const int ping_swid = select_swid();
        const std::vector<Byte> ping = make_ping(ping_swid, static_cast<Byte>(rand(16, 255)));
        std::vector<Byte> ping_response;
        if (!sendSynchronousCommandWithoutRetry(ping, ping_response, {2}, false)) {
          const ErrorCode code = last_error_code();
          if (is_soft_ping_error(code)) {
            DLOG(LogInfo, "on ping soft error errcode=%d, will ping and retry %d more times", code, max_retries_ - i);
            need_ping_ = true;
            continue;
          }
          DLOG(LogInfo, "Device::sendSynchronousCommand exit (false, ping hard error %d)", code);
          cookie_ = 0;
          return false;
        }
        DLOG(LogInfo, "ping successful");
        // A swid conflict seen meanwhile asks for another ping first.
        if (need_ping_) continue;
      } else {
        DLOG(LogInfo, "not sending ping because device not feature based");
      }
    }

    if (need_fwcheck_ && !do_fwcheck()) {
      DLOG(LogInfo, "before sending command the fw check failed, err=%d", last_error_code());
      cookie_ = 0;
      return false;
    }

    std::vector<Byte> copy = command;
    const bool is_feature_based = feature_based();
    if (is_feature_based && copy.size() > 3) copy = with_swid(copy, static_cast<unsigned>(swid()));
    if (sendSynchronousCommandWithoutRetry(copy, response, match_positions, true)) {
      DLOG(LogInfo, "sendSynchronousCommand exit (true, success)");
      const unsigned current = static_cast<unsigned>(swid());
      if (cache_mode == 1 && copy.size() > 3 && response.size() > 3 && (copy[3] & 0x0F) == current &&
          (response[3] & 0x0F) == current) {
        {
          std::lock_guard<std::mutex> guard(sync_cache_lock_);
          sync_cache_[with_swid(copy, 0xA)] = with_swid(response, 0xA);
          cache_dirty_ = true;
        }
        if (cache_write_timer_) cache_write_timer_->start(kCacheWriteDelayMs);
      }
      return true;
    }
    const ErrorCode code = last_error_code();
    if (is_soft_command_error(code)) {
      DLOG(LogInfo, "synchronous command soft error errcode=%d, will ping and retry %d more times", code,
           max_retries_ - i);
      need_ping_ = true;
      // No answer at all: the device may have restarted with other firmware.
      if (code == NoResponse) need_fwcheck_ = true;
      continue;
    }
    DLOG(LogInfo, "synchronous command hard error errcode=%d", code);
    cookie_ = 0;
    return false;
  }
}

bool Device::sendSynchronousCommandWithoutRetry(const std::vector<Byte>& command, std::vector<Byte>& response,
                                                const std::vector<unsigned>& match_positions, bool blocking) {
  // An exchange never goes on without the cross-process lock.
  if (!named_mutex_.lock()) {
    DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - cannot take the device lock '%s'!",
         named_mutex_.name().c_str());
    const LastError failure = last_error();
    deliver_write_failure(failure.code, failure.system);
    set_last_error(failure.code, failure.system, failure.text);
    return false;
  }
  // Subscribe to the channel before taking command_mutex: the read thread
  // holds the channel's Read lock while it waits for command_mutex.
  if (blocking && !removed_ && !abandoned_) ensure_subscriptions();
  const bool is_feature_based = feature_based();
  bool ok = false;
  std::unique_lock<std::mutex> lock(command_mutex_);

  if (switch_swid_ && is_feature_based) {
    const int current = swid();
    deliver_write_failure(SwidConflict, static_cast<std::uint32_t>(current));
    set_last_error(SwidConflict, static_cast<std::uint32_t>(current));
  } else {
    if (blocking) hwdev_->reserved_hook();
    pending_command_ = command;
    readCompleted_ = false;
    pending_match_positions_ = match_positions;
    _initiated_brb_workaround = false;

    if (!sendCommand(command, blocking)) {
      DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - sendCommand failed!");
      if (!hwdev_->verify_connection_following_timeout()) {
        DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - not connected after timeout!");
        set_last_error(NotConnected);
        deliver_write_failure(NotConnected, 0);
      }
      readCompleted_ = true;
      if (brb_workaround_enabled_) {
        previous_command_ = pending_command_;
        previous_match_positions_ = pending_match_positions_;
      }
      pending_command_.clear();
      DLOG(LogInfo, "sendSynchronousCommandWithoutRetry returning error %d", last_error_code());
    } else {
      if (brb_active_) {
        DLOG(LogInfo,
             "sendSynchronousCommandWithoutRetry brb workaround sending extra get protocol request to flush response");
        std::vector<Byte> flush(frap::kShortReportSize, 0);
        flush[3] = static_cast<Byte>(0x10 | (static_cast<unsigned>(swid()) & 0x0F));
        sendCommand(flush, false);
      }

      const std::int64_t started = clock_.now_ms();
      const bool settled =
          command_done_.wait_for(lock, std::chrono::milliseconds(timeout_ms_), [this] { return readCompleted_; });
      const std::int64_t elapsed = clock_.now_ms() - started;

      if (brb_workaround_enabled_) {
        previous_command_ = pending_command_;
        previous_match_positions_ = pending_match_positions_;
      }
      pending_command_.clear();

      if (_initiated_brb_workaround) {
        _initiated_brb_workaround = false;
        DLOG(LogInfo, "Device::_initiated_brb_workaround, returning no response to trigger a quick retry");
        deliver_write_failure(NoResponse, 0);
        set_last_error(NoResponse);
      } else if (abandoned_) {
        DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - abandoned!");
        deliver_write_failure(Abandoned, 0);
        set_last_error(Abandoned);
      } else if (settled && response_.size() >= 4 && response_[2] == frap::kFrap10ErrorSubId) {
        const Byte error_byte = frap::at(response_, 5);
        const ErrorCode code = frap10_error(error_byte);
        deliver_write_failure(code, error_byte);
        set_last_error(code, error_byte);
      } else if (settled && response_.size() >= 4 && response_[2] == frap::kFrap20ErrorIndex) {
        const Byte error_byte = frap::at(response_, 5);
        const ErrorCode code = frap20_error(error_byte);
        deliver_write_failure(code, error_byte);
        set_last_error(code, error_byte);
      } else if (settled) {
        response = response_;
        xLogWrite("Timeout", LogInfo, __PRETTY_FUNCTION__, "pid %04x elapsed command time %d ms",
                  static_cast<unsigned>(hwdev_->pid()), static_cast<int>(elapsed));
        ok = true;
      } else {
        xLogWrite("Timeout", LogWarning, __PRETTY_FUNCTION__,
                  "Device::sendSynchronousCommandWithoutRetry timeout, no response after %d ms, timeout was %d ms",
                  static_cast<int>(elapsed), timeout_ms_);
        if (hwdev_->verify_connection_following_timeout()) {
          DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - no response!");
          deliver_write_failure(NoResponse, 0);
          set_last_error(NoResponse);
        } else {
          DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - not connected after timeout!");
          deliver_write_failure(NotConnected, 0);
          set_last_error(NotConnected);
        }
      }
    }
  }
  lock.unlock();
  named_mutex_.unlock();
  return ok;
}

void Device::abandon() {
  DLOG(LogInfo, "Device::abandon enter");
  abandoned_ = true;
  DLOG(LogVerbose, "Device::abandon setting readCompleted_");
  {
    std::lock_guard<std::mutex> guard(command_mutex_);
    readCompleted_ = true;
  }
  command_done_.notify_all();
  DLOG(LogInfo, "Device::abandon exit");
}

IDevice::ReportType Device::onReadHandler(std::vector<Byte> report, bool force_broadcast_index) {
  {
    std::lock_guard<std::mutex> guard(last_report_lock_);
    last_report_time_ = clock_.now_ms();
  }
  silent_ = false;

  if (report.size() < frap::kShortReportSize) {
    DLOG(LogWarning, "Not processing short read report of %d bytes", static_cast<int>(report.size()));
    return Unhandled;
  }
  if (force_broadcast_index) report[1] = frap::kDeviceIndexSelf;
  if (frap::is_frap10_notification(report[2])) {
    DLOG(LogVerbose, "Report is a Frap 1.0 notification");
    return Notification;
  }
  if (report[1] != 0xFF && report[1] != 0x00) return Unhandled;

  const bool is_feature_based = feature_based();
  const std::vector<Byte> params(report.begin() + 4, report.end());
  if (is_feature_based) {
    std::shared_ptr<Feature> feature = report[2] < frap::kFirstFrap10SubId ? table_feature(report[2]) : nullptr;
    if (feature && (report[3] & 0x0F) == 0) {
      DLOG(LogVerbose, "Report is a FRAP 2.0 notification");
      if (active_) feature->dispatch_feature_report(report[3] >> 4, 0, params);
      return Notification;
    }
  } else if (report[2] >= 0x01 && report[2] <= 0x7F) {
    DLOG(LogVerbose, "Report is a Frap 1.0 notification or a Frap 2.0 response/event for an unknown feature");
    return Unhandled;
  }

  {
    std::unique_lock<std::mutex> lock(command_mutex_);
    if (readCompleted_) {
      DLOG(LogVerbose, "No command in progress");
    } else {
      const std::vector<Byte>& c = pending_command_;
      const std::vector<Byte>& r = report;
      if (c.empty()) DLOG(LogVerbose, "Command in progress, size is %d", static_cast<int>(c.size()));
      bool settle = false;
      if (r[2] == frap::kFrap10ErrorSubId &&
          ((r[1] == frap::at(c, 1) && r[3] == frap::at(c, 2) && r[4] == frap::at(c, 3)) ||
           (r[1] == 0x00 && frap::at(c, 1) == 0xFF && r[3] == frap::at(c, 2) && r[4] == frap::at(c, 3)))) {
        DLOG(LogVerbose, "Report is a Frap error response");
        settle = true;
      } else if (r[2] == frap::kFrap20ErrorIndex && r[1] == frap::at(c, 1) && r[3] == frap::at(c, 2) &&
                 r[4] == frap::at(c, 3)) {
        DLOG(LogVerbose, "Report is a Frap error response");
        settle = true;
      } else {
        const bool header = frap::header_matches(r, c);
        const bool payload = header && frap::payload_matches(r, c, pending_match_positions_);
        if (header && payload) {
          DLOG(LogVerbose, "Report is a Frap command response");
          settle = true;
        } else {
          if (!header) {
            DLOG(LogVerbose,
                 "Response with mismatched header does not complete our pending command. Continuing decoding... (!)");
          } else {
            DLOG(LogVerbose,
                 "Response with mismatched payload does not complete our pending command. Continuing decoding...");
          }
          if (brb_workaround_enabled_ && !brb_active_ && frap::header_matches(r, previous_command_) &&
              frap::payload_matches(r, previous_command_, previous_match_positions_)) {
            DLOG(LogInfo, "Response matches previous command. Activating brb workaround.");
            brb_active_ = true;
            _initiated_brb_workaround = true;
            settle = true;
          }
        }
      }
      if (settle) {
        response_ = report;
        readCompleted_ = true;
        lock.unlock();
        command_done_.notify_all();
        return Response;
      }
    }
  }

  if (!is_feature_based) {
    DLOG(LogVerbose, "Report is an unexpected FRAP 1.0 command response, ignoring");
    return ForeignResponse;
  }

  const Byte index = report[2];
  const unsigned function = report[3] >> 4;
  const int other_swid = report[3] & 0x0F;
  if (index == 0 && function == 1 && report[6] == 0) {
    DLOG(LogVerbose, "Report is a protocol check response from other SW using swid 0x%x, ignoring", other_swid);
    return ForeignResponse;
  }
  DLOG(LogVerbose, "Report is a feature response from other SW using swid 0x%x", other_swid);
  if (other_swid == swid()) {
    DLOG(LogVerbose, "Report is an unexpected command response with our swid 0x%x, so we will switch our swid",
         other_swid);
    switch_swid_ = true;
    need_ping_ = true;
  }
  swid_table_.seen(other_swid);

  std::shared_ptr<Feature> feature = index < frap::kFirstFrap10SubId ? table_feature(index) : nullptr;
  if (!feature) {
    if (other_swid != 0) {
      DLOG(LogVerbose, "Report is a response to an unknown feature index %02x from other SW using swid 0x%x, ignoring",
           index, other_swid);
    } else {
      DLOG(LogVerbose, "Report is a notif from an unknown feature at index %02x, ignoring", index);
    }
  } else if (active_) {
    feature->dispatch_unexpected_response(function, static_cast<unsigned>(other_swid), params);
  }
  return ForeignResponse;
}

void Device::onRead(std::vector<Byte> report, bool routed, unsigned int system_error, unsigned int byte_count) {
  const ReportType type = onReadHandler(report, routed);
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
// Feature table and discovery

std::shared_ptr<Feature> Device::table_feature(int index) {
  std::lock_guard<std::mutex> guard(feature_table_mutex_);
  auto it = feature_table_.find(index);
  return it == feature_table_.end() ? nullptr : it->second;
}

void Device::table_store(int index, std::shared_ptr<Feature> feature) {
  std::lock_guard<std::mutex> guard(feature_table_mutex_);
  feature_table_[index] = std::move(feature);
}

std::shared_ptr<IFeature> Device::feature_by_index(int index) { return table_feature(index); }

bool Device::load_feature_root(bool retry) {
  if (retry) {
    DLOG(LogInfo, "Device::load_feature_root - retry was requested");
    root_state_ = 0;
  }
  if (root_state_ == 2) {
    DLOG(LogInfo, "Device::load_feature_root - using previous true result (feature already loaded)");
    return true;
  }
  if (root_state_ == 1) {
    set_last_error(NotFrp20);
    DLOG(LogInfo, "Device::load_feature_root - using previous false result (NotFrp20)");
    return false;
  }
  DLOG(LogInfo, "Device::load_feature_root enter");
  const bool cache_present = sync_cache_size() > 0;
  std::shared_ptr<Feature> created = FeatureRegistry::create(IFeature0000Root::kFeatureId, 0, weak_from_this());
  if (!created) {
    set_last_error(InternalError, 0, "cannot create root feature");
    DLOG(LogInfo, "Device::load_feature_root exit (false, cannot create root feature)");
    return false;
  }
  auto root = std::dynamic_pointer_cast<IFeature0000Root>(created);
  if (!root) {
    set_last_error(InternalError, 0, "load_feature_root cannot cast root feature");
    DLOG(LogInfo, "Device::load_feature_root exit (false, cannot cast root feature)");
    return false;
  }
  if (!root->TargetSw(nullptr, nullptr)) {
    if (last_error_code() == Frp10Error1) {
      root_state_ = 1;
      set_last_error(NotFrp20);
      DLOG(LogInfo, "Device::load_feature_root exit (false, not FRP 2.0 device)");
      return false;
    }
    DLOG(LogInfo, "Device::load_feature_root exit (false, error)");
    return false;
  }
  root_state_ = 2;
  table_store(0, created);
  DLOG(LogInfo, "Device::load_feature_root success, now need a ping");
  need_ping_ = true;
  if (!load_fwinfo(cache_present)) {
    DLOG(LogInfo, "load_feature_root failing (load_fwinfo failed)");
    return false;
  }
  if (hwdev_->bus_type() == 1) subscribe_wireless_status();
  DLOG(LogInfo, "Device::load_feature_root exit (true, success)");
  return true;
}

void Device::subscribe_wireless_status() {
  std::shared_ptr<IFeature1D4BWirelessStatus> status = feature<IFeature1D4BWirelessStatus>();
  bool subscribed = false;
  if (status) {
    subscribed =
        Subscriber<IFeature1D4BWirelessStatus::Report>::subscribe(status, DeliveryRunLoop, "Device::WirelessStatus");
  }
  DLOG(LogInfo, "Device::load_feature_root subscribing to 1d4b, ret=%d", subscribed);
}

std::shared_ptr<IFeature> Device::load_feature(int id, int cache_mode) {
  DLOG(LogInfo, "Device::load_feature(0x%04x)", static_cast<unsigned>(id));
  if (!load_feature_root(false)) return nullptr;
  if (id == 0) return table_feature(0);
  auto root = std::dynamic_pointer_cast<IFeature0000Root>(table_feature(0));
  if (!root) {
    set_last_error(InternalError, 0, "load_feature cannot cast root feature");
    return nullptr;
  }
  int index = 0;
  bool obsolete = false;
  bool hidden = false;
  bool engineering = false;
  int version = 0;
  if (!root->GetFeature(id, &index, &obsolete, &hidden, &engineering, &version, cache_mode)) return nullptr;
  if (index == 0) {
    set_last_error(FeatureNotSupported);
    return nullptr;
  }
  std::shared_ptr<Feature> feature = FeatureRegistry::create(id, index, weak_from_this());
  feature->set_flags(obsolete, hidden, engineering, version);
  table_store(index, feature);
  return feature;
}

bool Device::load_features() {
  DLOG(LogInfo, "Device::load_features()");
  if (!load_feature_root(false)) {
    DLOG(LogInfo, "Device::load_features fail (load_feature_root fail)");
    return false;
  }
  if (all_features_loaded_) {
    DLOG(LogInfo, "Device::load_features success (all_features_loaded)");
    return true;
  }
  std::shared_ptr<IFeature0001FeatureSet> feature_set = feature<IFeature0001FeatureSet>();
  if (!feature_set) {
    DLOG(LogInfo, "Device::load_features fail (no IFeature0001FeatureSet)");
    return false;
  }
  int count = 0;
  if (!feature_set->GetCount(&count)) {
    DLOG(LogInfo, "Device::load_features fail (no featureSet->GetCount)");
    return false;
  }
  for (int index = 2; index <= count; ++index) {
    int id = 0;
    bool engineering = false;
    bool hidden = false;
    bool obsolete = false;
    int version = 0;
    if (!feature_set->GetFeatureID(index, &id, &engineering, &hidden, &obsolete, &version)) {
      DLOG(LogInfo, "Device::load_features fail (no featureSet->GetFeatureID %d)", index);
      return false;
    }
    std::shared_ptr<Feature> feature = FeatureRegistry::create(id, index, weak_from_this());
    feature->set_flags(obsolete, hidden, engineering, version);
    table_store(index, feature);
  }
  all_features_loaded_ = true;
  if (hwdev_->bus_type() == 1) subscribe_wireless_status();
  DLOG(LogInfo, "Device::load_features success (%d features)", count);
  return true;
}

std::shared_ptr<IFeature> Device::feature_by_id(int id) {
  DLOG(LogInfo, "Device::feature_by_id(0x%04x)", static_cast<unsigned>(id));
  {
    std::lock_guard<std::mutex> guard(feature_table_mutex_);
    std::shared_ptr<Feature> found;
    for (const auto& [index, feature] : feature_table_) {
      if (feature && feature->feature_id() == id) found = feature;
    }
    if (found) return found;
    if (all_features_loaded_) {
      set_last_error(FeatureNotSupported);
      return nullptr;
    }
  }
  return load_feature(id, 1);
}

std::vector<std::shared_ptr<IFeature>> Device::features() {
  DLOG(LogInfo, "Device::features");
  if (!load_features()) return {};
  std::lock_guard<std::mutex> guard(feature_table_mutex_);
  std::vector<std::shared_ptr<IFeature>> result;
  for (const auto& [index, feature] : feature_table_) result.push_back(feature);
  return result;
}

bool Device::retry_load_feature_root() { return load_feature_root(true); }

// ---------------------------------------------------------------------------
// Firmware identity

std::string Device::read_fwinfo(bool cached) {
  DLOG(LogInfo, "read_fwinfo enter, cached=%d", cached);
  std::shared_ptr<IFeature0003FirmwareInfo> info = feature<IFeature0003FirmwareInfo>();
  if (!info) {
    if (last_error_code() == FeatureNotSupported) {
      DLOG(LogInfo, "read_fwinfo returning NotPresent");
      return "NotPresent";
    }
    DLOG(LogInfo, "read_fwinfo returning error=%d", last_error_code());
    return std::string();
  }
  const int cache_mode = cached ? 1 : 0;
  auto identity = [](int type, const std::string& prefix, const std::string& version, const std::string& build) {
    return std::to_string(type) + prefix + version + build;
  };
  auto unit_text = [](std::uint32_t unit) {
    char text[16];
    std::snprintf(text, sizeof text, "%X", unit);
    return std::string(text);
  };

  auto base = std::dynamic_pointer_cast<Feature>(info);
  if (base && base->version() >= 1) {
    int count = 0;
    std::uint32_t unit = 0;
    if (!info->GetEntityCount(&count, &unit, nullptr, nullptr, nullptr, nullptr, nullptr, cache_mode)) {
      return std::string();
    }
    auto try_entity = [&](int entity, std::string& out) {
      int type = 0;
      int rdnf = 0;
      std::string prefix, version, build;
      if (!info->GetFwInfo(entity, &type, &prefix, &version, &build, &rdnf, static_cast<std::vector<Byte>*>(nullptr),
                           cache_mode)) {
        return false;
      }
      if ((rdnf & 1) == 0) return false;
      out = identity(type, prefix, version, build) + unit_text(unit);
      return true;
    };
    std::string result;
    bool found = active_entity_ < count && try_entity(active_entity_, result);
    for (int entity = 0; !found && entity < count; ++entity) {
      if (entity == active_entity_) continue;
      if (try_entity(entity, result)) {
        active_entity_ = entity;
        found = true;
      }
    }
    if (found) {
      DLOG(LogInfo, "read_fwinfo returning %s", result.c_str());
      return result;
    }
  }
  int type = 0;
  int rdnf = 0;
  std::string prefix, version, build;
  if (!info->GetFwInfo(0, &type, &prefix, &version, &build, &rdnf, static_cast<std::vector<Byte>*>(nullptr),
                       cache_mode)) {
    return std::string();
  }
  const std::string result = identity(type, prefix, version, build);
  DLOG(LogInfo, "read_fwinfo returning %s", result.c_str());
  return result;
}

bool Device::load_fwinfo(bool cache_present) {
  if (!fwinfo_.empty()) return true;
  fwinfo_ = read_fwinfo(true);
  if (fwinfo_.empty()) return false;
  if (cache_present) need_fwcheck_ = true;
  if (hwdev_->connected() && !do_fwcheck()) {
    DLOG(LogInfo, "load_fwinfo failing (do_fwcheck failed)");
    return false;
  }
  return true;
}

bool Device::do_fwcheck() {
  DLOG(LogInfo, "do_fwcheck entry");
  if (fwinfo_.empty()) {
    DLOG(LogInfo, "do_fwcheck exit, true, skipping check due to initial fwinfo not read yet");
    return true;
  }
  if (in_fwcheck_) {
    DLOG(LogInfo, "do_fwcheck exit, true, skipping check due to being recursively called");
    return true;
  }
  in_fwcheck_ = true;
  std::string current = read_fwinfo(false);
  if (current.empty()) {
    DLOG(LogInfo, "do_fwcheck error reading fw info, err=%d", last_error_code());
    if (!load_feature(IFeature0003FirmwareInfo::kFeatureId, 0)) {
      DLOG(LogInfo, "do_fwcheck exit, false, error loading 0x0003 feature, err=%d", last_error_code());
      in_fwcheck_ = false;
      return false;
    }
    current = read_fwinfo(false);
  }
  in_fwcheck_ = false;
  if (current.empty()) {
    DLOG(LogInfo, "do_fwcheck exit, false, error reading fw info, err=%d", last_error_code());
    return false;
  }
  need_fwcheck_ = false;
  if (current == fwinfo_) {
    DLOG(LogInfo, "do_fwcheck exit, true, fw version matched (%s)", current.c_str());
    return true;
  }
  const std::string old = fwinfo_;
  forget();
  fwinfo_.clear();
  cache_dirty_ = true;
  std::shared_ptr<IDevice> self = shared_from_this();
  Producer<IDevice::Connect>::produce([self](IDevice::Connect* s) { s->onFirmwareChanged(self); },
                                      "Device::Connect::onFirmwareChanged");
  DLOG(LogInfo, "do_fwcheck exit, false, FwVersionChanged (old=%s new=%s)", old.c_str(), current.c_str());
  set_last_error(FwVersionChanged);
  return false;
}

// ---------------------------------------------------------------------------
// Lifecycle, connection and configuration

void Device::initDevice(std::shared_ptr<IDeviceManager> manager) {
  DLOG(LogInfo, "Device::initDevice() enter");
  if (manager) manager_ = manager;
  const int product = hwdev_->pid();
  const bool receiver_family = product == 0xC52B || product == 0xC52F || product == 0xC534 || hwdev_->bus_type() == 1;
  if (receiver_family) {
    named_mutex_.init("OrvaVireon");
  } else {
    char name[32];
    std::snprintf(name, sizeof name, "rodiz_0x%x", static_cast<unsigned>(product));
    named_mutex_.init(name);
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

  if (hwdev_->bus_type() == 1) {
    if (manager_config(7)) {
      brb_workaround_enabled_ = true;
      DLOG(LogDebug, "This vireon device enabling the brb workaround, pid=0x%x", static_cast<unsigned>(product));
    } else {
      DLOG(LogDebug, "Vireon device but brb workaround disabled, pid=0x%x", static_cast<unsigned>(product));
    }
  }
  if (manager_config(8)) {
    generic_cache_enabled_ = true;
    DLOG(LogDebug, "Enabled generic cache, pid=0x%x", static_cast<unsigned>(product));
  } else {
    DLOG(LogDebug, "Not enabling generic cache, pid=0x%x", static_cast<unsigned>(product));
  }
  DLOG(LogInfo, "Device::initDevice() exit");
}

bool Device::manager_config(unsigned item) {
  bool value = false;
  std::shared_ptr<IDeviceManager> m = manager_.lock();
  return m && m->config_get(item, &value) && value;
}

void Device::report_unreported(const char* context) {
  if (std::shared_ptr<IDeviceManager> m = manager_.lock()) m->report_unreported_error(context);
}

void Device::uninitDevice() {
  DLOG(LogInfo, "Device::uninitDevice() enter");
  removed_ = true;
  Subscriber<IHardwareDevice::Connect>::unsubscribe(hwdev_);
  Subscriber<IHardwareDevice::Read>::unsubscribe(hwdev_);
  subscribed_ = false;
  subscribed_read_ = false;
  if (std::shared_ptr<IDeviceManager> m = manager_.lock()) Subscriber<IDeviceManager::ActiveChanged>::unsubscribe(m);
  hwdev_->close();
  DLOG(LogInfo, "Device::uninitDevice() exit");
}

bool Device::ensure_read_subscription() {
  if (subscribed_read_) return true;
  if (!Subscriber<IHardwareDevice::Read>::subscribe(hwdev_, DeliveryImmediate, "Device::Read")) return false;
  subscribed_read_ = true;
  return true;
}

bool Device::ensure_subscriptions() {
  if (subscribed_) return true;
  if (!Subscriber<IHardwareDevice::Connect>::subscribe(hwdev_, DeliveryRunLoop, "Device::Connect")) {
    report_unreported("Device::initDevice subscribe(IHardwareDevice::Connect)");
    return false;
  }
  if (hwdev_->connected()) {
    if (!ensure_read_subscription()) {
      report_unreported("Device::initDevice subscribe(IHardwareDevice::Read)");
      hwdev_->open();
    }
    connected_ = active_;
  } else {
    connected_ = false;
  }
  subscribed_ = true;
  return true;
}

bool Device::connected() {
  ensure_subscriptions();
  if (reported_state_ == 0) reported_state_ = connected_ ? 2 : 1;
  return connected_;
}

bool Device::configured() { return !configured_features_.empty(); }

bool Device::pending() { return !pending_features_.empty(); }

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

void Device::onConnect(std::shared_ptr<IHardwareDevice> /*hwdev*/) { handle_connect(); }

void Device::onDisconnect(std::shared_ptr<IHardwareDevice> /*hwdev*/) { handle_disconnect(); }

void Device::handle_connect() {
  const unsigned product = static_cast<unsigned>(hwdev_->pid());
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-connect- pid=%04x begin...", product);
  quarantined_ = false;
  if (!ensure_read_subscription()) report_unreported("Device::onConnect subscribe(IHardwareDevice::Read)");

  if (connected_) {
    DLOG(LogInfo, "connect of already connected device");
    std::int64_t since = 0;
    {
      std::lock_guard<std::mutex> guard(last_report_lock_);
      since = clock_.now_ms() - last_report_time_;
    }
    DLOG(LogInfo, "its been %ld milliseconds since last report", static_cast<long>(since));
    if (since < kConnectBurstMs) {
      DLOG(LogInfo, "time since last report less than a second, so delaying onConnect processing");
      if (fw_check_timer_) fw_check_timer_->trigger(kConnectBurstMs);
      DLOG(LogDebug, "...Device::onConnect() pid=0x%x end.", product);
      return;
    }
  }

  if (!active_) {
    if (configured()) {
      DLOG(LogInfo, "inactive session, device configured, connect triggering deactivation");
      if (deactivation_timer_) deactivation_timer_->start(kDeactivationDelayMs);
    } else {
      DLOG(LogInfo, "inactive session, device not configured, connect ignored");
    }
    DLOG(LogDebug, "...Device::onConnect() pid=0x%x end.", product);
    return;
  }

  if (brb_active_) {
    DLOG(LogInfo, "Deactivating brb workaround");
    brb_active_ = false;
  }
  bool configured_by_us = configured();
  bool lost = false;
  bool mismatch = false;

  bool check_passed = do_fwcheck();
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
      std::shared_ptr<IFeature0020ConfigChange> config = feature<IFeature0020ConfigChange>();
      if (!config) {
        if (last_error_code() == NotConnected) {
          DLOG(LogInfo, "Not reporting connect due to NotConnected");
          return;
        }
        DLOG(LogInfo, "onConnect: losing configuration because no 0x0020 feature present");
        lost = true;
      } else {
        DLOG(LogInfo, "OnConnect is reading cookie");
        std::uint16_t read = 0;
        if (!config->GetCookie(&read)) {
          DLOG(LogInfo, "onConnect: could not read cookie, err=%d", last_error_code());
          if (last_error_code() == NotConnected) {
            DLOG(LogInfo, "Not reporting connect due to NotConnected");
            return;
          }
          DLOG(LogInfo, "onConnect: losing configuration because could not get cookie");
          lost = true;
        } else {
          DLOG(LogInfo, "OnConnect: read cookie %04x", read);
          if (read == cookie_) {
            DLOG(LogInfo, "onConnect: cookie matched");
          } else {
            DLOG(LogInfo, "onConnect: losing configuration because cookie did not match");
            lost = true;
            mismatch = true;
            if (read != 0) device_cookie_ = read;
          }
        }
      }
    }
  }

  if (!pending_features_.empty() && !lost) {
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
        lost = true;
        if (code == NotConnected) {
          // The feature keeps its values; it tries again at the next connect.
          DLOG(LogInfo, "Not reporting connect due to NotConnected");
          return;
        }
      }
      pending_features_.erase(pending_features_.begin());
    }
    if (std::shared_ptr<IFeature0020ConfigChange> config = feature<IFeature0020ConfigChange>()) {
      DLOG(LogInfo, "onConnect is writing cookie to 0x0020 feature (config complete)");
      if (!config->SetCookie(cookie_)) {
        const ErrorCode code = last_error_code();
        DLOG(LogInfo,
             "onConnect: losing configuration because could not write configuration complete to receiver, err=%d",
             code);
        lost = true;
        if (code == NotConnected) {
          DLOG(LogInfo, "Not reporting connect due to NotConnected");
          return;
        }
      }
    }
  }

  if (lost) {
    if (!configured_features_.empty()) fire_config_change();
    for (const std::shared_ptr<IFeature>& feature : configured_features_) {
      DLOG(LogInfo, "onConnect: telling feature 0x%04x about the lost configuration",
           static_cast<unsigned>(feature->feature_id()));
      if (auto base = std::dynamic_pointer_cast<Feature>(feature)) base->clear_configured();
    }
    configured_features_.clear();
    configured_by_us = false;
    if (!mismatch) device_unowned_but_dirty_ = true;
  }

  connected_ = true;
  xLogWrite(kTag, LogInfo, __PRETTY_FUNCTION__, "-connect- sending connect pid %04x with device_configured_by_us = %d",
            product, configured_by_us);
  reported_state_ = 2;
  fire_connect(configured_by_us);
  DLOG(LogDebug, "...Device::onConnect() pid=0x%x end.", product);
}

void Device::handle_disconnect() {
  const unsigned product = static_cast<unsigned>(hwdev_->pid());
  DLOG(LogInfo, "Device::onDisconnect enter, pid = 0x%x", product);
  if (deactivation_timer_) deactivation_timer_->stop();
  if (fw_check_timer_) fw_check_timer_->stop();
  connected_ = false;
  reported_state_ = 1;
  fire_disconnect();
  DLOG(LogInfo, "Device::onDisconnect exit, pid = 0x%x", product);
}

void Device::onActiveChanged(bool active) {
  DLOG(LogDebug, "Device::onActiveChanged(active = %d)", active);
  if (active == active_) return;
  active_ = active;
  DLOG(LogInfo, "Changed active state to %d", active);
  if (!subscribed_ || !hwdev_->connected()) return;
  const unsigned product = static_cast<unsigned>(hwdev_->pid());
  if (active) {
    DLOG(LogInfo, "Going active while device %04x is connected", product);
    if (deactivation_timer_) deactivation_timer_->stop();
    handle_connect();
  } else {
    DLOG(LogInfo, "Going inactive while device %04x is connected", product);
    handle_disconnect();
    if (configured() && deactivation_timer_) deactivation_timer_->start(kDeactivationDelayMs);
  }
}

void Device::onTimerEvent(int id) {
  switch (id) {
    case kDeactivationTimerId:
      run_deactivation();
      break;
    case kCacheWriteTimerId:
      write_cache_file();
      break;
    case kFwCheckTimerId:
      handle_connect();
      break;
    default:
      break;
  }
}

void Device::run_deactivation() {
  const unsigned product = static_cast<unsigned>(hwdev_->pid());
  DLOG(LogInfo, "Starting deactivation of device %04x", product);
  if (active_) {
    DLOG(LogInfo, "Deactivation for device %04x skipped due to active_", product);
  } else if (!subscribed_ || !hwdev_->connected()) {
    DLOG(LogInfo, "Deactivation for device %04x skipped due to !hwdev->connected()", product);
  } else if (std::shared_ptr<IFeature0020ConfigChange> config = feature<IFeature0020ConfigChange>(); !config) {
    DLOG(LogInfo, "Deactivation: skipping deactivation because no 0x0020 feature");
  } else {
    DLOG(LogInfo, "Deactivation is checking 0x0020 feature to see if we still hold the configuration");
    std::uint16_t read = 0;
    if (!config->GetCookie(&read)) {
      DLOG(LogInfo, "Deactivation: skipping deactivation because could not read cookie, err=%d", last_error_code());
    } else if (read != cookie_) {
      DLOG(LogInfo, "Deactivation: skipping deactivation because cookie did not match");
      if (read != 0) device_cookie_ = read;
    } else {
      DLOG(LogInfo, "Deactivation: we still hold configuration, resetting device by clearing 0x0020 cookie");
      if (!config->SetCookie(0))
        DLOG(LogInfo, "could not clear cookie in 0x0020 feature, errcode=%d", last_error_code());
      if (!configured_features_.empty()) fire_config_change();
      for (const std::shared_ptr<IFeature>& feature : configured_features_) {
        DLOG(LogInfo, "onConnect: telling feature 0x%04x about the reset",
             static_cast<unsigned>(feature->feature_id()));
        if (auto base = std::dynamic_pointer_cast<Feature>(feature)) base->clear_configured();
      }
      configured_features_.clear();
    }
  }
  DLOG(LogInfo, "Deactivation exit");
}

bool Device::mark_receiver_presence() {
  std::shared_ptr<IReceiver> receiver = std::dynamic_pointer_cast<IReceiver>(hwdev_->owning_bus().lock());
  if (!receiver) return true;
  return receiver->set_software_present();
}

bool Device::set_configured(std::shared_ptr<IFeature> claimer) {
  if (shutting_down_) return true;
  if (!configured_features_.empty()) {
    configured_features_.push_back(std::move(claimer));
    device_unowned_but_dirty_ = false;
    return true;
  }
  if (hwdev_->bus_type() == 1) {
    receiver_marked_ = true;
    if (!mark_receiver_presence()) return false;
  }
  if (std::shared_ptr<IFeature0020ConfigChange> config = feature<IFeature0020ConfigChange>()) {
    std::uint16_t existing = 0;
    if (!config->GetCookie(&existing)) return false;
    DLOG(LogInfo, "set_configured read existing cookie from device: 0x%04x", existing);
    if (existing != 0) {
      DLOG(LogInfo, "set_configured is writing 0 cookie to 0x0020 feature to reset device");
      device_cookie_ = existing;
      if (!config->SetCookie(0)) return false;
    }
    // Never pick 0 (nobody) or the last foreign cookie.
    int picked = rand(1, 0xFFFE);
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
  fire_config_change();
  configured_features_.push_back(std::move(claimer));
  device_unowned_but_dirty_ = false;
  return true;
}

bool Device::set_pending(std::shared_ptr<IFeature> feature) {
  if (shutting_down_) return true;
  if (pending_features_.empty() && hwdev_->bus_type() == 1) {
    std::shared_ptr<IReceiver> receiver = std::dynamic_pointer_cast<IReceiver>(hwdev_->owning_bus().lock());
    if (receiver) {
      if (!receiver_marked_) {
        receiver_marked_ = true;
        if (!receiver->set_software_present()) return false;
      }
      if (!receiver->set_slot_configured(hwdev_->transport_variant() - 1)) return false;
    }
  }
  pending_features_.push_back(std::move(feature));
  return true;
}

void Device::onWirelessStatusEvent(bool reconnect, bool config_needed, bool powerswitch) {
  DLOG(LogInfo, "enter, reconnect=%d, config_needed=%d, powerswitch=%d", reconnect, config_needed, powerswitch);
  if (!config_needed) {
    DLOG(LogInfo, "exit, no config needed");
    return;
  }
  do_fwcheck();
  if (configured_features_.empty()) {
    DLOG(LogInfo, "exit, no features configured");
    return;
  }
  std::shared_ptr<IFeature0020ConfigChange> config = feature<IFeature0020ConfigChange>();
  if (!config) {
    DLOG(LogInfo, "feature 0020 missing");
    if (last_error_code() == NotConnected) {
      DLOG(LogInfo, "Not reporting lost settings due to NotConnected");
      return;
    }
  } else {
    DLOG(LogInfo, "reading 0020 cookie");
    std::uint16_t read = 0;
    if (!config->GetCookie(&read)) {
      DLOG(LogInfo, "failed to get 0020 cookie");
      if (last_error_code() == NotConnected) {
        DLOG(LogInfo, "Not reporting lost settings due to NotConnected");
        return;
      }
    } else {
      DLOG(LogInfo, "OnConnect: read cookie %04x", read);
      if (read == cookie_) {
        DLOG(LogInfo, "Not reporting lost settings due to cookie matching");
        return;
      }
      DLOG(LogInfo, "cookie did not match");
    }
  }
  if (reported_state_ == 2) {
    DLOG(LogInfo, "reporting settings lost via an onDisconnect/onConnect sequence");
    std::shared_ptr<IDevice> self = shared_from_this();
    Producer<IDevice::Connect>::produce([self](IDevice::Connect* s) { s->onDisconnect(self); },
                                        "Device::Connect::onConnect");
    Producer<IDevice::Connect>::produce([self](IDevice::Connect* s) { s->onConnect(self, false); },
                                        "Device::Connect::onConnect");
  } else {
    DLOG(LogInfo, "Not reporting lost settings due to latest reported connected state being other than connected");
  }
  DLOG(LogInfo, "exit");
}

void Device::confirm_configuration() {
  const unsigned product = static_cast<unsigned>(hwdev_->pid());
  DLOG(LogInfo, "Device::confirm_configuration(pid = 0x%04x) begin...", product);
  if (subscribed_ && hwdev_->connected()) handle_connect();
  DLOG(LogInfo, "Device::confirm_configuration(pid = 0x%04x) ...end", product);
}

void Device::forget() {
  DLOG(LogInfo, "Device::forget() enter");
  {
    std::lock_guard<std::mutex> guard(feature_table_mutex_);
    std::shared_ptr<Feature> root;
    auto it = feature_table_.find(0);
    if (it != feature_table_.end()) root = it->second;
    feature_table_.clear();
    if (root) feature_table_[0] = root;
  }
  root_state_ = 0;
  all_features_loaded_ = false;
  if (!configured_features_.empty()) fire_config_change();
  configured_features_.clear();
  pending_features_.clear();
  {
    std::lock_guard<std::mutex> guard(sync_cache_lock_);
    sync_cache_.clear();
  }
  DLOG(LogInfo, "Device::forget() exit");
}

bool Device::shutdown() {
  shutting_down_ = true;
  DLOG(LogInfo, "Device::shutdown");
  bool result = true;
  if (receiver_marked_ && hwdev_->bus_type() == 1) {
    std::shared_ptr<IReceiver> receiver = std::dynamic_pointer_cast<IReceiver>(hwdev_->owning_bus().lock());
    if (receiver) result = receiver->shutdown();
  }
  if (!configured_features_.empty() || device_unowned_but_dirty_) {
    DLOG(LogInfo, "configured = %d, device_unowned_but_dirty = %d", !configured_features_.empty(),
         device_unowned_but_dirty_);
    if (std::shared_ptr<IFeature0020ConfigChange> config = feature<IFeature0020ConfigChange>()) {
      DLOG(LogInfo, "set_configured is resetting device by clearing cookie in 0x0020 feature");
      if (!config->SetCookie(0))
        DLOG(LogInfo, "could not clear cookie in 0x0020 feature, errcode=%d", last_error_code());
    }
    configured_features_.clear();
    device_unowned_but_dirty_ = false;
  }
  return result;
}

// ---------------------------------------------------------------------------
// Persistent data

void Device::persistent_data_directory(const std::string& directory) {
  DLOG(LogInfo, "Device::persistent_data_directory(%s)", directory.c_str());
  if (directory.empty()) return;
  persistent_path_ = directory;
}

void Device::write_cache_file() {
  // The feature cache file is not kept yet; the answers live in memory only.
  cache_dirty_ = false;
  if (persistent_path_.empty()) DLOG(LogInfo, "perform_cache_write: feature cache path is empty");
}

}  // namespace rodiz
