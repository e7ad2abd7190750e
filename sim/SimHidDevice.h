#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rodiz::sim {

class SimChannel;

// One HID collection through which a simulated device shows itself on the bus.
struct SimCollection {
  std::string path;
  int pid = 0;
  int bit = 0;
  int need = 0;
  int report_length = 0;
  std::string combine_key;
  std::string name;
  std::uint32_t generation = 0;
};

// What the simulated HID bus and its channels need of a simulated USB device
// (the mouse on its cable, the receiver). Implementations are thread-safe.
class SimHidDevice {
 public:
  virtual ~SimHidDevice() = default;
  // Called (from any thread, without locks held) whenever the collections change.
  virtual void set_presence_listener(std::function<void()> listener) = 0;
  // The collections it shows now; none while it is off the bus.
  virtual std::vector<SimCollection> collections() const = 0;
  // Whether collections of `generation` are still the ones it shows.
  virtual bool is_current(std::uint32_t generation) const = 0;
  // A report written to collection `bit` of generation `generation`; false
  // when that collection is gone.
  virtual bool receive(std::uint32_t generation, int bit, const std::vector<std::uint8_t>& report) = 0;
  // The channel through which the device's reports of collection `bit` go up.
  virtual void attach(std::uint32_t generation, int bit, std::weak_ptr<SimChannel> channel) = 0;
};

}  // namespace rodiz::sim
