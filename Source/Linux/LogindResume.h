#pragma once

struct sd_bus;
struct sd_bus_slot;

namespace rodiz {

// Follows logind's PrepareForSleep signal on the system bus (sd-bus) and
// tells when the system has woken up again. It runs no thread of its own:
// the owner polls fd() for events() and calls process() when it is ready.
class LogindResume {
 public:
  LogindResume() = default;
  ~LogindResume();
  LogindResume(const LogindResume&) = delete;
  LogindResume& operator=(const LogindResume&) = delete;

  // Connects to the system bus and subscribes to the signal; false (logged
  // once) when there is no system bus, after which the object stays idle.
  bool start();
  // The descriptor to poll, -1 when not started.
  int fd() const;
  // The poll events the connection waits for now; 0 once the bus is lost.
  short events() const;
  // Handles whatever arrived, until the connection's queue is empty (so that
  // a poll for events() wakes for the next message); true when a wake-up
  // (PrepareForSleep(false)) was among it. A lost bus is logged and closed.
  bool process();

 private:
  friend struct LogindSignal;

  sd_bus* bus_ = nullptr;
  sd_bus_slot* slot_ = nullptr;
  bool resumed_ = false;
};

}  // namespace rodiz
