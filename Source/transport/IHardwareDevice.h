#pragma once

#include <memory>
#include <string>
#include <vector>

#include "device/ErrorCode.h"
#include "runtime/Byte.h"

namespace rodiz {

class IHardwareBus;

// One raw report channel to one device. Every implementation is also a
// Producer of Connect, Read and Write, is created as a shared object and holds
// only a weak pointer to the bus that made it.
//
// Report id rule: byte 0 of every report, written or read, is the report id.
// Callers fill it (0x10 short, 0x11 long); a channel may overwrite it with the
// id of the smallest output report that holds the message and pad the message
// to that report's length.
class IHardwareDevice {
 public:
  // Reachability changes of channels whose device can come and go while the
  // channel object lives (receiver and Bluetooth channels).
  class Connect {
   public:
    virtual void onConnect(std::shared_ptr<IHardwareDevice> /*device*/) {}
    virtual void onDisconnect(std::shared_ptr<IHardwareDevice> /*device*/) {}
    virtual ~Connect() = default;
  };

  // One call per input report, on the channel's read thread. `routed` is true
  // only from the per-slot channel of a device behind a receiver. A failed read
  // carries an empty report and the system error.
  class Read {
   public:
    virtual void onRead(std::vector<Byte> /*report*/, bool /*routed*/, unsigned int /*system_error*/,
                        unsigned int /*byte_count*/) {}
    virtual ~Read() = default;
  };

  // The outcome of every write attempt; the report is empty when the write
  // failed before anything was sent.
  class Write {
   public:
    virtual void onWrite(std::vector<Byte> /*report*/, ErrorCode /*result*/, unsigned int /*system_error*/) {}
    virtual ~Write() = default;
  };

  virtual ~IHardwareDevice() = default;

  // Whether the device can be reached now.
  virtual bool connected() = 0;
  // Opens the channel; on an open channel, first verifies it is still valid.
  virtual bool open() = 0;
  // Closes the channel; harmless when closed.
  virtual void close() = 0;
  // Sends one report. `blocking` means the caller will wait for an answer that
  // arrives through the read path. On failure LastError holds the reason.
  // Callers write while holding their command lock, which the read thread
  // takes while it delivers a report: write must never wait for the lock of
  // the channel's own Read producer.
  virtual bool write(std::vector<Byte> report, bool blocking) = 0;
  virtual std::weak_ptr<IHardwareBus> owning_bus() = 0;
  // Unique per channel; buses and filters track devices by it.
  virtual std::string path() = 0;
  virtual int pid() = 0;
  virtual std::string name() = 0;
  virtual int reserved_value() = 0;
  // 0 HID collection, 1 behind a receiver, 2 Bluetooth classic, 3 low energy,
  // 4 low energy through GATT.
  virtual int bus_type() = 0;
  virtual int transport_variant() = 0;
  virtual void reserved_hook() {}
  virtual int reserved_timeout() { return 3000; }
  virtual int reserved_count() { return 0; }
  virtual void reserved_setter(int /*value*/) {}
  virtual int receiver_value() { return 0; }
  // Asked after a command timed out: false means the channel is dead.
  virtual bool verify_connection_following_timeout() { return true; }
  // Shared by all collections of one physical device.
  virtual std::string combine_key() { return path(); }
  // This channel's FRAP collection as one bit.
  virtual int collection_bit() { return 2; }
  // Mask of every FRAP collection the physical device exposes.
  virtual int collections_needed() { return 2; }
  // Length of the channel's reports in bytes, report id included.
  virtual int report_length() { return 20; }
};

}  // namespace rodiz
