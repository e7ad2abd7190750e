#include "Linux/LogindResume.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cstring>

#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "LogindResume";
#define RLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)
}  // namespace

// The sd-bus handler of PrepareForSleep.
struct LogindSignal {
  static int on_signal(sd_bus_message* message, void* self, sd_bus_error* /*error*/) {
    int going_to_sleep = 0;
    if (sd_bus_message_read(message, "b", &going_to_sleep) < 0) return 0;
    RLOG(LogInfo, "LogindResume PrepareForSleep(%s)", going_to_sleep ? "true" : "false");
    if (!going_to_sleep) static_cast<LogindResume*>(self)->resumed_ = true;
    return 0;
  }
};

LogindResume::~LogindResume() {
  if (slot_ != nullptr) sd_bus_slot_unref(slot_);
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

bool LogindResume::start() {
  if (bus_ != nullptr) return true;
  sd_bus* bus = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result >= 0) {
    result = sd_bus_match_signal(bus, &slot_, "org.freedesktop.login1", "/org/freedesktop/login1",
                                 "org.freedesktop.login1.Manager", "PrepareForSleep", &LogindSignal::on_signal, this);
  }
  if (result < 0) {
    RLOG(LogWarning, "LogindResume::start no system bus (%s): resume from sleep is not followed",
         std::strerror(-result));
    if (slot_ != nullptr) slot_ = sd_bus_slot_unref(slot_);
    if (bus != nullptr) sd_bus_unref(bus);
    return false;
  }
  bus_ = bus;
  // The calls above leave messages in the connection's queue (the bus's
  // greeting at least); while any waits, sd_bus_get_events() asks for no
  // POLLIN and a poll on fd() would never wake. Drained here, the queue is
  // empty whenever the owner polls, since process() drains it too.
  process();
  if (bus_ == nullptr) return false;
  RLOG(LogInfo, "LogindResume::start following PrepareForSleep");
  return true;
}

int LogindResume::fd() const { return bus_ != nullptr ? sd_bus_get_fd(bus_) : -1; }

short LogindResume::events() const {
  if (bus_ == nullptr) return 0;
  const int events = sd_bus_get_events(bus_);
  return events < 0 ? POLLIN : static_cast<short>(events);
}

bool LogindResume::process() {
  if (bus_ == nullptr) return false;
  resumed_ = false;
  for (;;) {
    const int result = sd_bus_process(bus_, nullptr);
    if (result == 0) break;
    if (result < 0) {
      RLOG(LogWarning, "LogindResume::process lost the system bus (%s)", std::strerror(-result));
      if (slot_ != nullptr) slot_ = sd_bus_slot_unref(slot_);
      bus_ = sd_bus_flush_close_unref(bus_);
      break;
    }
  }
  return resumed_;
}

}  // namespace rodiz
