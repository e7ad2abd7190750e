#pragma once

#include <sys/types.h>
#include <systemd/sd-bus.h>

#include <string>

namespace rodiz::test {

// A private D-Bus daemon with one python-dbusmock template running on it, for
// tests of code that talks to a system service (login manager, power daemon,
// Bluetooth...). Nothing of the machine's own buses is touched: the test
// points the program at address() (for example through
// DBUS_SYSTEM_BUS_ADDRESS). Both processes are ended and reaped by the
// destructor.
class DbusMockSession {
 public:
  // Starts the daemon and `python3 -m dbusmock --template <template_name>`,
  // as the system bus (`system_bus`) or the session bus, and waits up to 20 s
  // until `bus_name` (the template's service name, such as
  // "org.freedesktop.login1") is owned. On failure ready() is false and
  // error() says why.
  DbusMockSession(const std::string& template_name, const std::string& bus_name, bool system_bus = true);
  ~DbusMockSession();
  DbusMockSession(const DbusMockSession&) = delete;
  DbusMockSession& operator=(const DbusMockSession&) = delete;

  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  // The daemon's address ("unix:path=...").
  const std::string& address() const { return address_; }
  // A new client connection to the daemon (the caller unrefs it), or null.
  sd_bus* connect() const;

 private:
  bool wait_for_name(const std::string& bus_name);
  static void stop(pid_t& pid);

  pid_t daemon_ = -1;
  pid_t mock_ = -1;
  bool ready_ = false;
  std::string address_;
  std::string error_;
};

}  // namespace rodiz::test
