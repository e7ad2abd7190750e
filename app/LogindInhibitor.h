#pragma once

#include <string>

#include "app/UpdateInhibitor.h"

namespace mirel {

// The lock of the login manager on Linux: an inhibitor of sleep, shutdown and
// idle in "block" mode, asked for on the system bus. The login manager holds
// it for as long as the descriptor it hands out stays open; this object keeps
// that descriptor (not inherited by programs started later) and closes it to
// release. Without a system bus or a login manager, Acquire writes one line
// to the trace and returns false.
class LogindInhibitor : public UpdateInhibitor {
 public:
  // The name the login manager shows for the holder of the lock.
  static constexpr const char* kWho = "Mirel Firmware Update";
  static constexpr const char* kWhat = "sleep:shutdown:idle";
  static constexpr const char* kMode = "block";

  LogindInhibitor() = default;
  ~LogindInhibitor() override;
  LogindInhibitor(const LogindInhibitor&) = delete;
  LogindInhibitor& operator=(const LogindInhibitor&) = delete;

  bool Acquire(const std::string& reason) override;
  void Release() override;
  bool held() const override { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

}  // namespace mirel
