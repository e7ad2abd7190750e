#include "app/LogindInhibitor.h"

#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstring>

#include "app/AppTrace.h"

namespace mirel {

namespace {

// The controller's thread waits for the answer: a login manager that does not
// answer must not hold the update up for long.
constexpr std::uint64_t kCallTimeoutUs = 5'000'000;

}  // namespace

LogindInhibitor::~LogindInhibitor() { Release(); }

bool LogindInhibitor::Acquire(const std::string& reason) {
  if (m_fd >= 0) return true;
  sd_bus* bus = nullptr;
  int result = sd_bus_open_system(&bus);
  if (result < 0) {
    Trace("No system bus to keep the machine awake during the update (%s); the update goes on\n",
          std::strerror(-result));
    return false;
  }
  sd_bus_set_method_call_timeout(bus, kCallTimeoutUs);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  result =
      sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                         "Inhibit", &error, &reply, "ssss", kWhat, kWho, reason.c_str(), kMode);
  if (result < 0) {
    Trace("The login manager cannot keep the machine awake during the update (%s); the update goes on\n",
          error.message != nullptr ? error.message : std::strerror(-result));
  } else {
    int fd = -1;
    result = sd_bus_message_read(reply, "h", &fd);
    // The message owns its descriptor: keep a copy of our own.
    if (result >= 0 && fd >= 0) m_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (m_fd < 0) Trace("The login manager's lock could not be kept; the update goes on\n");
  }
  sd_bus_message_unref(reply);
  sd_bus_error_free(&error);
  sd_bus_flush_close_unref(bus);
  if (m_fd >= 0) Trace("The machine is kept awake until the update has finished\n");
  return m_fd >= 0;
}

void LogindInhibitor::Release() {
  if (m_fd < 0) return;
  ::close(m_fd);
  m_fd = -1;
  Trace("The machine may sleep again\n");
}

}  // namespace mirel
