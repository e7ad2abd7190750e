#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Linux/IHidrawSystem.h"

namespace rodiz::test {

// An IHidrawSystem whose nodes are socket pairs: the channel gets one end,
// the test plays the device on the other (one report per datagram, like
// hidraw). Identity, enumeration and monitor events are scripted; poll,
// read and write are the real calls, with errors injected where asked.
class FakeHidrawSystem : public IHidrawSystem {
 public:
  struct Node {
    HidrawNode info;
    std::uint16_t vendor = 0x046D;  // as HIDIOCGRAWINFO reports it
    std::uint16_t product = 0xC087;
    std::vector<std::uint8_t> descriptor;
    std::string name = "Mirel VELOXA";
    int eacces_opens = 0;       // the next this many opens fail with EACCES (-1: all)
    bool block_writes = false;  // the node never takes a report
    bool vanishes = false;      // listed and announced, but gone (ENOENT) when opened
  };

  ~FakeHidrawSystem() override;

  // Adds a node as present. With `announce`, it appears when the bus takes
  // the queued "add" event.
  void add(Node node, bool announce);
  // Takes a node away: its device side hangs up. With `announce`, that
  // happens when the bus takes the queued "remove" event.
  void remove(const std::string& devnode, bool announce);
  void set_eacces_opens(const std::string& devnode, int count);
  void set_block_writes(const std::string& devnode, bool block);
  // The next read of the node fails with `error`; the node is woken for it.
  void fail_next_read(const std::string& devnode, int error);
  void queue_overflow();
  // udev applied its rules to a present node again ("change").
  void change(const std::string& devnode);
  // The device sends one report.
  void send(const std::string& devnode, const std::vector<std::uint8_t>& report);
  // Reports the channel wrote, oldest first, taken from the device side.
  std::vector<std::vector<std::uint8_t>> written(const std::string& devnode);
  int opens(const std::string& devnode);
  // The device side of the node's last open (a SOCK_SEQPACKET socket), -1 when closed.
  int device_side(const std::string& devnode);
  int open_descriptors();

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
  short sleep_events() override { return POLLIN; }
  bool take_resume() override;
  // The system woke from sleep.
  void resume();

 private:
  struct State {
    Node node;
    bool present = true;
    int device_fd = -1;
    int opens = 0;
    int read_error = 0;
  };
  State* by_fd(int fd);
  static void take_away(State& state);
  void put(Node node);
  void queue(HidrawEvent event);
  void push(HidrawEvent event);

  std::mutex lock_;
  std::map<std::string, State> nodes_;
  std::map<int, std::string> fds_;  // channel ends to their node
  std::deque<HidrawEvent> events_;
  std::deque<Node> pending_adds_;
  int monitor_[2] = {-1, -1};
  int sleep_[2] = {-1, -1};
};

}  // namespace rodiz::test
