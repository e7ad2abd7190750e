#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/SimHidDevice.h"
#include "sim/SimMouse.h"
#include "sim/SimReceiverFaults.h"
#include "sim/SimScheduler.h"

namespace rodiz::sim {

// The simulated wireless receiver (product id 0xC52B, six pairing slots): the
// receiver side of the FRAP 1.0 register protocol, and the wireless link to
// the simulated mice paired in its slots. A report written with device index
// slot + 1 goes to that slot's mouse (as a request to itself), and the
// mouse's answers come back with that index. Notifications (device
// connection and unpairing, pairing lock) are sent only while the host has
// enabled wireless notifications in register 0x00. It answers on a thread of
// its own after its latency. All public operations are thread-safe.
class SimReceiver : public SimHidDevice, public std::enable_shared_from_this<SimReceiver> {
 public:
  static constexpr int kPid = 0xC52B;
  static constexpr int kProtocol = 4;
  static constexpr int kSlots = 6;

  // Why a paired mouse cannot be reached.
  enum class Link { Connected, SwitchedOff, OutOfRange, Asleep };

  struct Config {
    std::chrono::microseconds latency{1000};
    std::chrono::milliseconds lock_timeout{30000};  // the pairing lock closes by itself after this
    int serial = 1;
  };

  SimReceiver();
  explicit SimReceiver(Config config);
  ~SimReceiver() override;

  // Comes onto the bus, or leaves it.
  void plug();
  void unplug();

  // --- SimHidDevice
  void set_presence_listener(std::function<void()> listener) override;
  std::vector<SimCollection> collections() const override;
  bool is_current(std::uint32_t generation) const override;
  bool receive(std::uint32_t generation, int bit, const std::vector<std::uint8_t>& report) override;
  void attach(std::uint32_t generation, int bit, std::weak_ptr<SimChannel> channel) override;

  // --- pairing
  // Pairs `mouse` in the first free slot, as at the factory (no lock needed)
  // and starts it if it is off; -1 when every slot is taken.
  int pair(std::shared_ptr<SimMouse> mouse, std::string name);
  // Pairs `mouse` the way a user does: only while the pairing lock is open,
  // which it then closes. -1 when the lock is closed or no slot is free.
  int pair_through_lock(std::shared_ptr<SimMouse> mouse, std::string name);
  // The user removes the pairing of `slot` on the receiver.
  void unpair(int slot);
  bool lock_open() const;

  // --- what the user and the radio do to a paired mouse
  void set_link(int slot, Link link);
  // Asleep, and awake by itself after `wake_after`.
  void sleep(int slot, std::chrono::milliseconds wake_after);

  // --- faults and checks
  void set_faults(const SimReceiverFaults& faults);
  void set_latency(std::chrono::microseconds latency);
  std::array<std::uint8_t, 3> register_value(std::uint8_t reg) const;
  int activity(int slot) const;
  std::shared_ptr<SimMouse> mouse(int slot) const;
  // Register requests answered (including error answers and lost answers).
  int register_requests() const;
  // Waits until nothing is due within `horizon`.
  void wait_idle(std::chrono::milliseconds horizon = std::chrono::milliseconds(0));

 private:
  struct Slot {
    std::shared_ptr<SimMouse> mouse;
    std::string name;
    Link link = Link::Connected;
    int last_qid = 0;
    std::uint8_t activity = 0;
  };

  std::vector<std::vector<std::uint8_t>> handle(const std::vector<std::uint8_t>& report);
  std::vector<std::vector<std::uint8_t>> handle_register(const std::vector<std::uint8_t>& request);
  std::vector<std::vector<std::uint8_t>> register_faults_after(int request_number);
  // The device-connection notification of a slot as it stands.
  std::vector<std::uint8_t> connection_locked(int slot);
  bool notifications_on_locked() const;
  void send(std::vector<std::vector<std::uint8_t>> reports);
  void deliver(const std::vector<std::uint8_t>& report);
  void notify_presence();
  // A mouse of `slot` came, went or changed mode.
  void mouse_changed(int slot);
  void link_mouse(int slot);
  void close_lock_locked(std::uint8_t error, std::vector<std::vector<std::uint8_t>>* out);

  const Config config_;
  mutable std::mutex lock_;
  bool plugged_ = false;
  std::uint32_t generation_ = 0;
  std::chrono::microseconds latency_;
  std::map<std::uint8_t, std::array<std::uint8_t, 3>> registers_;
  std::array<Slot, kSlots> slots_;
  bool lock_open_ = false;
  std::uint32_t lock_round_ = 0;
  SimReceiverFaults faults_;
  int register_requests_ = 0;
  std::map<int, std::weak_ptr<SimChannel>> channels_;
  std::function<void()> listener_;
  // Last: destroyed first, so no task runs on a half-destroyed receiver.
  SimScheduler scheduler_;
};

}  // namespace rodiz::sim
