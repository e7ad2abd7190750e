#pragma once

#include <mutex>

#include "Linux/IHidrawSystem.h"
#include "Linux/LogindResume.h"

struct udev;
struct udev_monitor;
struct udev_device;

namespace rodiz {

// The real IHidrawSystem: libc for the nodes, libudev for enumeration and
// the monitor, logind's PrepareForSleep through sd-bus for the resume. One
// udev context serves every thread under a lock; the sleep monitor belongs to
// the thread that polls it.
class HidrawSystem : public IHidrawSystem {
 public:
  HidrawSystem();
  ~HidrawSystem() override;
  HidrawSystem(const HidrawSystem&) = delete;
  HidrawSystem& operator=(const HidrawSystem&) = delete;

  int open_node(const std::string& path, int flags) override;
  int close_node(int fd) override;
  ssize_t read_node(int fd, void* buffer, std::size_t size) override;
  ssize_t write_node(int fd, const void* data, std::size_t size) override;
  int poll_fds(pollfd* fds, nfds_t count, int timeout_ms) override;
  int raw_info(int fd, std::uint32_t& bus_type, std::uint16_t& vendor, std::uint16_t& product) override;
  int report_descriptor(int fd, std::vector<std::uint8_t>& descriptor) override;
  int raw_name(int fd, std::string& name) override;
  bool enumerate(std::vector<HidrawNode>& nodes) override;
  int start_monitor() override;
  HidrawEvent receive_event() override;
  void stop_monitor() override;
  int start_sleep_monitor() override;
  short sleep_events() override;
  bool take_resume() override;

 private:
  static HidrawNode describe(udev_device* device);

  std::mutex lock_;
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  LogindResume resume_;
};

}  // namespace rodiz
