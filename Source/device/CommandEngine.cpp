#include "device/CommandEngine.h"

#include <cstdlib>
#include <thread>

#include "NamedMutexLock.h"
#include "device/Device.h"
#include "device/FrapReport.h"
#include "device/LastError.h"
#include "features/Feature.h"
#include "log/xLog.h"
#include "runtime/IDeviceManager.h"
#include "runtime/SpinWait.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Device";
constexpr int kCacheWriteDelayMs = 10000;
// How long a sender looks for the answer before it sleeps: about what a
// thread's wake-up costs, so that a slow answer costs little more CPU time.
constexpr std::chrono::microseconds kAnswerSpin{20};

// The cache key and value forms: the swid nibble is not part of an answer.
std::vector<Byte> with_swid(std::vector<Byte> report, unsigned swid) {
  if (report.size() > 3) report[3] = static_cast<Byte>((report[3] & 0xF0) | (swid & 0x0F));
  return report;
}

}  // namespace

#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

// Soft failures are retried after a ping; every code not listed here is hard
// and ends the call at once. Pings are not retried after a FRAP 1.0 busy or
// unavailable answer: only commands are.
const CommandEngine::RetryRule* CommandEngine::retry_rule(ErrorCode code) {
  static constexpr RetryRule kRules[] = {
      {NoResponse, true, true, true},   {Frp10Error7, true, false, false},    {Frp10Error9, true, false, false},
      {Frp20Error8, true, true, false}, {WriteGenFailure, true, true, false}, {SwidConflict, true, true, false},
  };
  for (const RetryRule& rule : kRules) {
    if (rule.code == code) return &rule;
  }
  return nullptr;
}

CommandEngine::Clock CommandEngine::system_clock() {
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

CommandEngine::CommandEngine(Device& device) : device_(device), clock_(system_clock()) {}

int CommandEngine::swid() {
  int current = swid_.load();
  if (current == 0) {
    if (std::shared_ptr<IDeviceManager> m = device_.manager_.lock()) {
      current = m->swid() & 0x0F;
      swid_ = current;
    }
  }
  return current == 0 ? 15 : current;
}

int CommandEngine::rand(int min, int max) { return min + clock_.random() % (max - min + 1); }

std::size_t CommandEngine::sync_cache_size() {
  std::lock_guard<std::mutex> guard(sync_cache_lock_);
  return sync_cache_.size();
}

void CommandEngine::clear_sync_cache() {
  std::lock_guard<std::mutex> guard(sync_cache_lock_);
  sync_cache_.clear();
}

std::map<std::vector<Byte>, std::vector<Byte>> CommandEngine::sync_cache_entries() {
  std::lock_guard<std::mutex> guard(sync_cache_lock_);
  return sync_cache_;
}

bool CommandEngine::adopt_cached(std::vector<Byte> key, std::vector<Byte> response) {
  std::lock_guard<std::mutex> guard(sync_cache_lock_);
  return sync_cache_.emplace(std::move(key), std::move(response)).second;
}

bool CommandEngine::take_cache_dirty() { return cache_dirty_.exchange(false); }

std::int64_t CommandEngine::ms_since_last_report() {
  std::lock_guard<std::mutex> guard(last_report_lock_);
  return clock_.now_ms() - last_report_time_;
}

void CommandEngine::end_brb_workaround() {
  if (brb_active_) {
    DLOG(LogInfo, "Deactivating brb workaround");
    brb_active_ = false;
  }
}

bool CommandEngine::feature_based() { return device_.table_.feature_based(); }

int CommandEngine::select_swid() {
  if (switch_swid_.exchange(false)) swid_ = swid_table_.least_recently_seen();
  return swid();
}

// The ping goes to the same device index as the request it precedes: behind
// a receiver the channel rewrites only 0xFF, so another index must survive.
std::vector<Byte> CommandEngine::make_ping(Byte device_index, int ping_swid, Byte ping_data) const {
  return {frap::kShortReportId,
          device_index,
          0x00,
          static_cast<Byte>(0x10 | (static_cast<unsigned>(ping_swid) & 0x0F)),
          0x00,
          0x00,
          ping_data};
}

void CommandEngine::deliver_write_failure(ErrorCode code, std::uint32_t system) {
  device_.onWrite(std::vector<Byte>(), code, system);
}

bool CommandEngine::fail_hard() {
  device_.connection_.forget_cookie();
  return false;
}

// ---------------------------------------------------------------------------
// Sending

bool CommandEngine::sendCommand(const std::vector<Byte>& report, bool blocking) {
  if (abandoned_) {
    DLOG(LogError, "Device::sendCommand() - abandoned!");
    set_last_error(Abandoned);
    return false;
  }
  if (device_.removed_) {
    DLOG(LogError, "Device::sendCommand() - removed!");
    set_last_error(DeviceRemoved);
    return false;
  }
  if (!device_.hwdev_->open()) {
    DLOG(LogError, "Device::sendCommand() - hardware device not open!");
    return false;
  }
  if (blocking && !device_.connection_.ensure_subscriptions()) return false;
  if (!device_.hwdev_->write(report, blocking)) {
    DLOG(LogError, "Device::sendCommand() - hwdev->write() failed, errcode = %d!", last_error_code());
    return false;
  }
  return true;
}

bool CommandEngine::sendSynchronousCommand(const std::vector<Byte>& command, std::vector<Byte>& response,
                                           int cache_mode, const std::vector<unsigned>& match_positions) {
  DLOG(LogInfo, "sendSynchronousCommand enter, dev=%s", device_.hwdev_->name().c_str());
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
      return fail_hard();
    }
    if (i > silent_tries_threshold_ && silent_ && transport_kind(device_.hwdev_->bus_type()) != TransportKind::Hid) {
      DLOG(LogInfo, "device was silent for %d tries, quarantining it until it reconnects", silent_tries_threshold_);
      quarantined_ = true;
      device_.onDisconnect(device_.hwdev_);
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
        const Byte device_index = command.size() > 1 ? command[1] : frap::kDeviceIndexSelf;
        const std::vector<Byte> ping = make_ping(device_index, ping_swid, static_cast<Byte>(rand(16, 255)));
        std::vector<Byte> ping_response;
        if (!sendSynchronousCommandWithoutRetry(ping, ping_response, {2}, false)) {
          const ErrorCode code = last_error_code();
          const RetryRule* rule = retry_rule(code);
          if (rule && rule->retry_ping) {
            DLOG(LogInfo, "on ping soft error errcode=%d, will ping and retry %d more times", code, max_retries_ - i);
            need_ping_ = true;
            continue;
          }
          DLOG(LogInfo, "Device::sendSynchronousCommand exit (false, ping hard error %d)", code);
          return fail_hard();
        }
        DLOG(LogInfo, "ping successful");
        // A swid conflict seen meanwhile asks for another ping first.
        if (need_ping_) continue;
      } else {
        DLOG(LogInfo, "not sending ping because device not feature based");
      }
    }

    if (need_fwcheck_ && !device_.firmware_.do_fwcheck()) {
      DLOG(LogInfo, "before sending command the fw check failed, err=%d", last_error_code());
      return fail_hard();
    }

    std::vector<Byte> copy = command;
    if (feature_based() && copy.size() > 3) copy = with_swid(copy, static_cast<unsigned>(swid()));
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
        device_.schedule_cache_write(kCacheWriteDelayMs);
      }
      return true;
    }
    const ErrorCode code = last_error_code();
    const RetryRule* rule = retry_rule(code);
    if (rule && rule->retry_command) {
      DLOG(LogInfo, "synchronous command soft error errcode=%d, will ping and retry %d more times", code,
           max_retries_ - i);
      need_ping_ = true;
      if (rule->recheck_firmware) need_fwcheck_ = true;
      continue;
    }
    DLOG(LogInfo, "synchronous command hard error errcode=%d", code);
    return fail_hard();
  }
}

void CommandEngine::remember_previous_command() {
  if (brb_workaround_enabled_) {
    previous_command_ = pending_command_;
    previous_match_positions_ = pending_match_positions_;
  }
  pending_command_.clear();
}

bool CommandEngine::sendSynchronousCommandWithoutRetry(const std::vector<Byte>& command, std::vector<Byte>& response,
                                                       const std::vector<unsigned>& match_positions, bool blocking) {
  // An exchange never goes on without the cross-process lock.
  NamedMutexLock device_lock(named_mutex_);
  if (!device_lock.owns()) {
    DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - cannot take the device lock '%s'!",
         named_mutex_.name().c_str());
    const LastError failure = last_error();
    deliver_write_failure(failure.code, failure.system);
    set_last_error(failure.code, failure.system, failure.text);
    return false;
  }
  // Subscribe to the channel before taking command_mutex: the read thread
  // holds the channel's Read lock while it waits for command_mutex. Every
  // exchange needs the answer, the ping too: with discovery answered from a
  // cache file, a ping can be the first report this device writes.
  if (!device_.removed_ && !abandoned_) (void)device_.connection_.ensure_subscriptions();
  const bool is_feature_based = feature_based();
  std::unique_lock<std::mutex> lock(command_mutex_);

  if (switch_swid_ && is_feature_based) {
    const int current = swid();
    deliver_write_failure(SwidConflict, static_cast<std::uint32_t>(current));
    set_last_error(SwidConflict, static_cast<std::uint32_t>(current));
    return false;
  }

  if (blocking) device_.hwdev_->reserved_hook();
  pending_command_ = command;
  readCompleted_ = false;
  pending_match_positions_ = match_positions;
  _initiated_brb_workaround = false;

  if (!sendCommand(command, blocking)) {
    DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - sendCommand failed!");
    // The write's own reason decides between a retry and the end of the
    // call; the connection check must not overwrite it when the device is
    // still there (a real channel's check enumerates devices).
    const LastError write_failure = last_error();
    if (!device_.hwdev_->verify_connection_following_timeout()) {
      DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - not connected after timeout!");
      set_last_error(NotConnected);
      deliver_write_failure(NotConnected, 0);
    } else {
      set_last_error(write_failure.code, write_failure.system, write_failure.text);
    }
    readCompleted_ = true;
    remember_previous_command();
    DLOG(LogInfo, "sendSynchronousCommandWithoutRetry returning error %d", last_error_code());
    return false;
  }

  if (brb_active_) {
    DLOG(LogInfo,
         "sendSynchronousCommandWithoutRetry brb workaround sending extra get protocol request to flush response");
    std::vector<Byte> flush(frap::kShortReportSize, 0);
    flush[3] = static_cast<Byte>(0x10 | (static_cast<unsigned>(swid()) & 0x0F));
    (void)sendCommand(flush, false);
  }

  const std::int64_t started = clock_.now_ms();
  // A device close by answers within microseconds, sooner than a sleeping
  // thread can be woken: look for the answer a little before sleeping. The
  // mutex is free meanwhile, as it is while the thread sleeps.
  if (!readCompleted_) {
    lock.unlock();
    (void)SpinWait::Until([this] { return readCompleted_.load(); }, kAnswerSpin);
    lock.lock();
  }
  const bool settled =
      command_done_.wait_for(lock, std::chrono::milliseconds(timeout_ms_), [this] { return readCompleted_.load(); });
  const std::int64_t elapsed = clock_.now_ms() - started;
  remember_previous_command();
  return finish_exchange(settled, elapsed, response);
}

bool CommandEngine::finish_exchange(bool settled, std::int64_t elapsed, std::vector<Byte>& response) {
  if (_initiated_brb_workaround) {
    _initiated_brb_workaround = false;
    DLOG(LogInfo, "Device::_initiated_brb_workaround, returning no response to trigger a quick retry");
    deliver_write_failure(NoResponse, 0);
    set_last_error(NoResponse);
    return false;
  }
  if (abandoned_) {
    DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - abandoned!");
    deliver_write_failure(Abandoned, 0);
    set_last_error(Abandoned);
    return false;
  }
  if (settled && response_.size() >= 4 &&
      (response_[2] == frap::kFrap10ErrorSubId || response_[2] == frap::kFrap20ErrorIndex)) {
    const Byte error_byte = frap::at(response_, 5);
    const ErrorCode code =
        response_[2] == frap::kFrap10ErrorSubId ? frap10_error(error_byte) : frap20_error(error_byte);
    deliver_write_failure(code, error_byte);
    set_last_error(code, error_byte);
    return false;
  }
  if (settled) {
    response = response_;
    xLogWrite("Timeout", LogInfo, __PRETTY_FUNCTION__, "pid %04x elapsed command time %d ms",
              static_cast<unsigned>(device_.hwdev_->pid()), static_cast<int>(elapsed));
    return true;
  }
  xLogWrite("Timeout", LogWarning, __PRETTY_FUNCTION__,
            "Device::sendSynchronousCommandWithoutRetry timeout, no response after %d ms, timeout was %d ms",
            static_cast<int>(elapsed), timeout_ms_);
  if (device_.hwdev_->verify_connection_following_timeout()) {
    DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - no response!");
    deliver_write_failure(NoResponse, 0);
    set_last_error(NoResponse);
  } else {
    DLOG(LogError, "Device::sendSynchronousCommandWithoutRetry() - not connected after timeout!");
    deliver_write_failure(NotConnected, 0);
    set_last_error(NotConnected);
  }
  return false;
}

void CommandEngine::abandon() {
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

// ---------------------------------------------------------------------------
// Matching (read thread)

bool CommandEngine::settles_pending(const std::vector<Byte>& r) {
  const std::vector<Byte>& c = pending_command_;
  if (c.empty()) DLOG(LogVerbose, "Command in progress, size is %d", static_cast<int>(c.size()));
  if (r[2] == frap::kFrap10ErrorSubId &&
      ((r[1] == frap::at(c, 1) && r[3] == frap::at(c, 2) && r[4] == frap::at(c, 3)) ||
       (r[1] == 0x00 && frap::at(c, 1) == 0xFF && r[3] == frap::at(c, 2) && r[4] == frap::at(c, 3)))) {
    DLOG(LogVerbose, "Report is a Frap error response");
    return true;
  }
  if (r[2] == frap::kFrap20ErrorIndex && r[1] == frap::at(c, 1) && r[3] == frap::at(c, 2) && r[4] == frap::at(c, 3)) {
    DLOG(LogVerbose, "Report is a Frap error response");
    return true;
  }
  const bool header = frap::header_matches(r, c);
  if (header && frap::payload_matches(r, c, pending_match_positions_)) {
    DLOG(LogVerbose, "Report is a Frap command response");
    return true;
  }
  if (!header) {
    DLOG(LogVerbose,
         "Response with mismatched header does not complete our pending command. Continuing decoding... (!)");
  } else {
    DLOG(LogVerbose, "Response with mismatched payload does not complete our pending command. Continuing decoding...");
  }
  if (brb_workaround_enabled_ && !brb_active_ && frap::header_matches(r, previous_command_) &&
      frap::payload_matches(r, previous_command_, previous_match_positions_)) {
    DLOG(LogInfo, "Response matches previous command. Activating brb workaround.");
    brb_active_ = true;
    _initiated_brb_workaround = true;
    return true;
  }
  return false;
}

IDevice::ReportType CommandEngine::onReadHandler(std::vector<Byte> report, bool force_broadcast_index) {
  {
    std::lock_guard<std::mutex> guard(last_report_lock_);
    last_report_time_ = clock_.now_ms();
  }
  silent_ = false;

  if (report.size() < frap::kShortReportSize) {
    DLOG(LogWarning, "Not processing short read report of %d bytes", static_cast<int>(report.size()));
    return IDevice::Unhandled;
  }
  if (force_broadcast_index) report[1] = frap::kDeviceIndexSelf;
  if (frap::is_frap10_notification(report[2])) {
    DLOG(LogVerbose, "Report is a Frap 1.0 notification");
    return IDevice::Notification;
  }
  if (report[1] != 0xFF && report[1] != 0x00) return IDevice::Unhandled;

  const bool is_feature_based = feature_based();
  const std::vector<Byte> params(report.begin() + 4, report.end());
  if (is_feature_based) {
    std::shared_ptr<Feature> feature =
        report[2] < frap::kFirstFrap10SubId ? device_.table_.feature_at(report[2]) : nullptr;
    if (feature && (report[3] & 0x0F) == 0) {
      DLOG(LogVerbose, "Report is a FRAP 2.0 notification");
      if (device_.active_) feature->dispatch_feature_report(report[3] >> 4, 0, params);
      return IDevice::Notification;
    }
  } else if (report[2] >= 0x01 && report[2] <= 0x7F) {
    DLOG(LogVerbose, "Report is a Frap 1.0 notification or a Frap 2.0 response/event for an unknown feature");
    return IDevice::Unhandled;
  }

  {
    std::unique_lock<std::mutex> lock(command_mutex_);
    if (readCompleted_) {
      DLOG(LogVerbose, "No command in progress");
    } else if (settles_pending(report)) {
      response_ = report;
      readCompleted_ = true;
      lock.unlock();
      command_done_.notify_all();
      return IDevice::Response;
    }
  }

  if (!is_feature_based) {
    DLOG(LogVerbose, "Report is an unexpected FRAP 1.0 command response, ignoring");
    return IDevice::ForeignResponse;
  }

  const Byte index = report[2];
  const unsigned function = report[3] >> 4;
  const int other_swid = report[3] & 0x0F;
  if (index == 0 && function == 1 && report[6] == 0) {
    DLOG(LogVerbose, "Report is a protocol check response from other SW using swid 0x%x, ignoring", other_swid);
    return IDevice::ForeignResponse;
  }
  DLOG(LogVerbose, "Report is a feature response from other SW using swid 0x%x", other_swid);
  if (other_swid == swid()) {
    DLOG(LogVerbose, "Report is an unexpected command response with our swid 0x%x, so we will switch our swid",
         other_swid);
    switch_swid_ = true;
    need_ping_ = true;
  }
  swid_table_.seen(other_swid);

  std::shared_ptr<Feature> feature = index < frap::kFirstFrap10SubId ? device_.table_.feature_at(index) : nullptr;
  if (!feature) {
    if (other_swid != 0) {
      DLOG(LogVerbose, "Report is a response to an unknown feature index %02x from other SW using swid 0x%x, ignoring",
           index, other_swid);
    } else {
      DLOG(LogVerbose, "Report is a notif from an unknown feature at index %02x, ignoring", index);
    }
  } else if (device_.active_) {
    feature->dispatch_unexpected_response(function, static_cast<unsigned>(other_swid), params);
  }
  return IDevice::ForeignResponse;
}

}  // namespace rodiz
