#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/Producer.h"
#include "transport/IHardwareDevice.h"

namespace rodiz::test {

// A scripted report channel. Written reports are handed to a script on the
// channel's own thread (like a real device answering), and the script's
// replies come back as Read events from that thread, optionally after a delay.
class FakeChannel : public IHardwareDevice,
                    public Producer<IHardwareDevice::Connect>,
                    public Producer<IHardwareDevice::Read>,
                    public Producer<IHardwareDevice::Write>,
                    public std::enable_shared_from_this<FakeChannel> {
 public:
  struct Reply {
    std::vector<Byte> report;
    int delay_ms = 0;
  };
  using Script = std::function<std::vector<Reply>(const std::vector<Byte>& written)>;

  explicit FakeChannel(int pid = 0xC087, int bus_type = 0, std::string path = "fake://device");
  ~FakeChannel() override;

  void set_script(Script script);
  // Delivers a report from the channel's thread, in order with the replies.
  void inject(std::vector<Byte> report, int delay_ms = 0);
  void raise_connect();
  void raise_disconnect();
  // Waits until every queued reply has been delivered.
  void flush();

  std::vector<std::vector<Byte>> written();
  std::size_t write_count();
  // The next `count` writes fail with `code` (count < 0: every write).
  void fail_writes(ErrorCode code, std::uint32_t system = 0, int count = -1);
  void set_alive_after_timeout(bool alive) { alive_after_timeout_ = alive; }
  void set_connected(bool connected) { connected_ = connected; }

  bool connected() override { return connected_; }
  bool open() override;
  void close() override;
  bool write(std::vector<Byte> report, bool blocking) override;
  std::weak_ptr<IHardwareBus> owning_bus() override { return bus_; }
  void set_bus(std::weak_ptr<IHardwareBus> bus) { bus_ = std::move(bus); }
  std::string path() override { return path_; }
  int pid() override { return pid_; }
  std::string name() override { return "Fake Channel"; }
  int reserved_value() override { return 0; }
  int bus_type() override { return bus_type_; }
  int transport_variant() override { return 0; }
  bool verify_connection_following_timeout() override { return alive_after_timeout_; }

 private:
  struct Task {
    bool is_write = false;
    std::vector<Byte> report;
    int delay_ms = 0;
  };
  void run();
  void deliver(const std::vector<Byte>& report);

  const int pid_;
  const int bus_type_;
  const std::string path_;
  std::atomic<bool> connected_{true};
  std::atomic<bool> alive_after_timeout_{true};
  std::atomic<bool> open_{false};
  std::weak_ptr<IHardwareBus> bus_;

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<Task> tasks_;
  bool busy_ = false;
  bool stop_ = false;
  Script script_;
  std::vector<std::vector<Byte>> written_;
  ErrorCode write_error_ = NoError;
  std::uint32_t write_system_ = 0;
  int write_failures_left_ = 0;
  std::thread thread_;
};

}  // namespace rodiz::test
