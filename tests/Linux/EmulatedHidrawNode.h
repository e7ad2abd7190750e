#pragma once

#include <umockdev.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rodiz::test {

// The device side of one hidraw node emulated by umockdev: it answers the
// identity ioctls (HIDIOCGRAWINFO, HIDIOCGRDESCSIZE, HIDIOCGRDESC,
// HIDIOCGRAWNAME) from its identity, hands out the reports sent to it one per
// read (EAGAIN while none waits, as a non-blocking hidraw node does) and
// passes each report the host writes to its write handler. Once unplugged it
// fails every read with EIO and every write and ioctl with ENODEV, as the
// kernel does for a node whose device has gone. The handlers run on the
// testbed's own thread; every public operation is thread-safe.
class EmulatedHidrawNode {
 public:
  using Bytes = std::vector<std::uint8_t>;

  struct Identity {
    std::uint16_t vendor = 0x046D;
    std::uint16_t product = 0xC087;
    Bytes descriptor;
    std::string name;
  };

  // `on_write` receives each written report on the testbed's thread, without
  // the node's lock held; it may call send().
  EmulatedHidrawNode(Identity identity, std::function<void(const Bytes&)> on_write);
  ~EmulatedHidrawNode();
  EmulatedHidrawNode(const EmulatedHidrawNode&) = delete;
  EmulatedHidrawNode& operator=(const EmulatedHidrawNode&) = delete;

  // The handler to attach to the node's path; owned by the node.
  UMockdevIoctlBase* handler() const { return handler_; }
  const Identity& identity() const { return identity_; }

  // The device sends one input report.
  void send(Bytes report);
  // The device has gone: reads, writes and ioctls fail from now on.
  void unplug();
  // How many reports the host wrote, and how often it asked for the identity.
  int writes() const;
  int identity_queries() const;

 private:
  static gboolean on_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  static gboolean on_read(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  static gboolean on_write(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  gboolean answer_ioctl(UMockdevIoctlClient* client);

  const Identity identity_;
  const std::function<void(const Bytes&)> on_write_;
  UMockdevIoctlBase* handler_;
  mutable std::mutex lock_;
  std::deque<Bytes> to_read_;
  bool gone_ = false;
  int writes_ = 0;
  int identity_queries_ = 0;
};

}  // namespace rodiz::test
