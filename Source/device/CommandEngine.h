#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "NamedMutex.h"
#include "device/ErrorCode.h"
#include "device/IDevice.h"
#include "device/SwidTable.h"
#include "runtime/Byte.h"

namespace rodiz {

class Device;

// The request/response engine of one Device: writes requests through the
// device's channel, matches their answers on the read thread, retries soft
// failures after a ping, keeps the in-memory response cache and tracks which
// software ids other programs use.
//
// Threads: the send operations run on the caller's thread and serialise on
// the cross-process lock and then command_mutex; onReadHandler runs on the
// channel's read thread and takes command_mutex, the feature-table lock and
// the swid-table lock one at a time.
class CommandEngine {
 public:
  // Sources of sleep, time and randomness, replaceable so that retries,
  // back-off and connect delays can be tested quickly.
  struct Clock {
    std::function<void(unsigned ms)> sleep_ms;
    std::function<std::int64_t()> now_ms;  // a monotonic millisecond count
    std::function<int()> random;           // like the C library's rand()
  };
  static Clock system_clock();

  // `device` owns the engine and outlives it.
  explicit CommandEngine(Device& device);
  CommandEngine(const CommandEngine&) = delete;
  CommandEngine& operator=(const CommandEngine&) = delete;

  // Writes one report without waiting for an answer. False with LastError
  // (Abandoned, DeviceRemoved, or the channel's reason).
  [[nodiscard]] bool sendCommand(const std::vector<Byte>& report, bool blocking);
  // Sends a request with pings and retries and returns its whole answer.
  [[nodiscard]] bool sendSynchronousCommand(const std::vector<Byte>& command, std::vector<Byte>& response,
                                            int cache_mode, const std::vector<unsigned>& match_positions);
  // One exchange under the cross-process lock and the command mutex.
  [[nodiscard]] bool sendSynchronousCommandWithoutRetry(const std::vector<Byte>& command, std::vector<Byte>& response,
                                                        const std::vector<unsigned>& match_positions, bool blocking);
  // Ends a pending exchange now; later sends fail with Abandoned.
  void abandon();
  // Classifies one incoming report and settles the pending request with it
  // when it is the answer. Safe for any byte sequence.
  IDevice::ReportType onReadHandler(std::vector<Byte> report, bool force_broadcast_index);

  // The software id in use, 1..15 (the manager's default until a conflict).
  int swid();
  // min + random() mod (max - min + 1).
  int rand(int min, int max);

  // Flags raised by discovery, the firmware check and the connection.
  void request_ping() { need_ping_ = true; }
  void request_fwcheck() { need_fwcheck_ = true; }
  void fwcheck_done() { need_fwcheck_ = false; }
  void end_quarantine() { quarantined_ = false; }
  void end_brb_workaround();
  void enable_brb_workaround() { brb_workaround_enabled_ = true; }

  // The cache of answers that never change. Keys and answers carry 0xA in
  // the software-id nibble.
  std::size_t sync_cache_size();
  void clear_sync_cache();
  std::map<std::vector<Byte>, std::vector<Byte>> sync_cache_entries();
  // Adds an answer read from the cache file unless the key is cached already
  // (what was learned from the device wins); true when it was added.
  bool adopt_cached(std::vector<Byte> key, std::vector<Byte> response);
  void mark_cache_dirty() { cache_dirty_ = true; }
  // Whether the cache changed since the last call, and clears the mark.
  bool take_cache_dirty();
  bool cache_dirty() const { return cache_dirty_; }

  // The cross-process lock's name, chosen when the device is initialised.
  void init_lock(const std::string& name) { named_mutex_.init(name); }
  // Milliseconds since the last report arrived (for the connect-burst rule).
  std::int64_t ms_since_last_report();

  void set_clock(Clock clock) { clock_ = std::move(clock); }
  const Clock& clock() const { return clock_; }
  void set_timeout_ms(int ms) { timeout_ms_ = ms; }
  void set_max_retries(int retries) { max_retries_ = retries; }
  bool quarantined() const { return quarantined_; }
  bool brb_active() const { return brb_active_; }
  bool abandoned() const { return abandoned_; }

 private:
  // How one failure code is handled by the retry loop.
  struct RetryRule {
    ErrorCode code;
    bool retry_command;     // a failed request is tried again after a ping
    bool retry_ping;        // a failed ping is tried again
    bool recheck_firmware;  // the device may have restarted with other firmware
  };
  static const RetryRule* retry_rule(ErrorCode code);

  int select_swid();
  std::vector<Byte> make_ping(Byte device_index, int ping_swid, Byte ping_data) const;
  void deliver_write_failure(ErrorCode code, std::uint32_t system);
  // Fails the call the way every hard failure does: the configuration cookie
  // is no longer trusted.
  bool fail_hard();
  bool feature_based();
  // The settled answer turned into a result; false with LastError for an
  // error response, a timeout or an abandoned exchange.
  bool finish_exchange(bool settled, std::int64_t elapsed, std::vector<Byte>& response);
  void remember_previous_command();
  // True when `report` settles `command` (an answer or an error response).
  bool settles_pending(const std::vector<Byte>& report);

  Device& device_;
  Clock clock_;

  int timeout_ms_ = 3000;
  int max_retries_ = 10;
  int silent_tries_threshold_ = 4;
  std::atomic<bool> silent_{false};
  std::atomic<bool> quarantined_{false};
  std::atomic<bool> need_ping_{false};
  std::atomic<bool> need_fwcheck_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<int> swid_{0};
  std::atomic<bool> switch_swid_{false};
  SwidTable swid_table_;

  // The pending exchange, guarded by command_mutex_. readCompleted_ is only
  // written under the mutex; it is atomic so that the sender can spin on it
  // without the mutex before it sleeps.
  std::mutex command_mutex_;
  std::condition_variable command_done_;
  std::vector<Byte> pending_command_;
  std::vector<unsigned> pending_match_positions_;
  std::atomic<bool> readCompleted_{true};
  std::vector<Byte> response_;
  std::vector<Byte> previous_command_;
  std::vector<unsigned> previous_match_positions_;
  bool brb_workaround_enabled_ = false;
  std::atomic<bool> brb_active_{false};
  bool _initiated_brb_workaround = false;

  std::mutex last_report_lock_;
  std::int64_t last_report_time_ = 0;
  NamedMutex named_mutex_;

  std::mutex sync_cache_lock_;
  std::map<std::vector<Byte>, std::vector<Byte>> sync_cache_;
  std::atomic<bool> cache_dirty_{false};
};

}  // namespace rodiz
