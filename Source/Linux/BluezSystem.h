#pragma once

#include <mutex>

#include "Linux/IBluezSystem.h"

struct sd_bus;
struct sd_bus_slot;

namespace rodiz {

// IBluezSystem over sd-bus on the system bus (DBUS_SYSTEM_BUS_ADDRESS when
// set). The signal connection belongs to the thread that polls it; the call
// connection is guarded by a mutex of its own.
class BluezSystem : public IBluezSystem {
 public:
  BluezSystem() = default;
  ~BluezSystem() override;
  BluezSystem(const BluezSystem&) = delete;
  BluezSystem& operator=(const BluezSystem&) = delete;

  int connect() override;
  int fd() override;
  short events() override;
  bool process(std::vector<BluezEvent>& events) override;
  int managed_objects(std::vector<BluezEvent>& objects) override;
  int acquire(const std::string& characteristic, bool notify, unsigned& mtu) override;
  int write_value(const std::string& characteristic, const std::vector<std::uint8_t>& value,
                  bool with_response) override;
  int notify(const std::string& characteristic, bool start) override;

 private:
  friend struct BluezSignal;
  void close();
  // Drops what the call connection received besides replies (its greeting).
  void drain_calls();

  sd_bus* signals_ = nullptr;
  sd_bus_slot* slots_[4] = {};
  // Filled by on_signal while process() runs.
  std::vector<BluezEvent>* sink_ = nullptr;
  std::mutex calls_lock_;
  sd_bus* calls_ = nullptr;
};

}  // namespace rodiz
