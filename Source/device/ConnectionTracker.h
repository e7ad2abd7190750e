#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "features/IFeature.h"

namespace rodiz {

class Device;

// Follows one Device's connection and the ownership of its configuration: the
// channel subscriptions, connects and disconnects as reported to
// subscribers, the configuration cookie of feature 0x0020, the features that
// claimed the configuration or wait to write pending changes, deactivation
// of an inactive session, and the wireless status of a device behind a
// receiver.
//
// Threads: every operation runs on the run-loop thread (connect, timer and
// active-state events arrive through the run loop; the application calls
// set_configured and set_pending from it).
class ConnectionTracker {
 public:
  // What was last reported to subscribers. The numbers are fixed: they are
  // logged and compared as integers.
  enum class ReportedState { None = 0, Disconnected = 1, Connected = 2 };

  // `device` owns the tracker and outlives it.
  explicit ConnectionTracker(Device& device);
  ConnectionTracker(const ConnectionTracker&) = delete;
  ConnectionTracker& operator=(const ConnectionTracker&) = delete;

  // Subscribes to the channel once (Connect, and Read when it is connected).
  [[nodiscard]] bool ensure_subscriptions();
  [[nodiscard]] bool ensure_read_subscription();
  // Forgets the subscriptions after the device was removed.
  void drop_subscriptions();

  // The connection state, recording it as reported when nothing was yet.
  bool connected();
  bool reported_connected() const { return reported_state_ == ReportedState::Connected; }
  bool subscribed() const { return subscribed_; }

  void handle_connect();
  void handle_disconnect();
  void on_active_changed(bool active);
  void run_deactivation();
  void on_wireless_status(bool reconnect, bool config_needed, bool powerswitch);
  void confirm_configuration();

  [[nodiscard]] bool set_configured(std::shared_ptr<IFeature> claimer);
  [[nodiscard]] bool set_pending(std::shared_ptr<IFeature> feature);
  bool configured() const { return !configured_features_.empty(); }
  bool pending() const { return !pending_features_.empty(); }
  // Drops the claims and pending changes (after the firmware changed).
  void forget();
  // Gives the configuration back to the device before the device goes.
  [[nodiscard]] bool shutdown();
  // A hard command failure: our cookie can no longer be trusted.
  void forget_cookie() { cookie_ = 0; }

  std::uint16_t cookie() const { return cookie_; }
  bool device_unowned_but_dirty() const { return device_unowned_but_dirty_; }

 private:
  // The outcome of reading feature 0x0020's cookie and comparing it with ours.
  enum class CookieCheck { Matched, Differs, NoFeature, ReadFailed };
  // The log texts of one caller of check_cookie.
  struct CookieTexts {
    const char* no_feature;   // the feature is absent
    const char* reading;      // about to read
    const char* read_failed;  // followed by the error code when failure_has_code
    bool failure_has_code;
    const char* read_value;  // followed by the cookie read; null: not logged
  };
  // Looks up 0x0020 and reads its cookie; a foreign non-zero cookie is kept
  // so that our next cookie differs from it. On NoFeature and ReadFailed,
  // LastError says why.
  CookieCheck check_cookie(const CookieTexts& texts);
  // Tells every claiming feature that the configuration is gone ("the
  // lost configuration" or "the reset", as `reason` says) and empties the list.
  void drop_configuration(const char* reason);
  // Writes every pending change; false when the connect must not be reported.
  bool write_pending_changes(bool configured_by_us, bool* lost);
  bool mark_receiver_presence();

  Device& device_;
  bool subscribed_ = false;
  bool subscribed_read_ = false;
  bool connected_ = false;
  ReportedState reported_state_ = ReportedState::None;
  bool shutting_down_ = false;
  bool receiver_marked_ = false;
  std::uint16_t cookie_ = 0;
  std::uint16_t device_cookie_ = 0;
  std::vector<std::shared_ptr<IFeature>> configured_features_;
  std::vector<std::shared_ptr<IFeature>> pending_features_;
  bool device_unowned_but_dirty_ = false;
};

}  // namespace rodiz
