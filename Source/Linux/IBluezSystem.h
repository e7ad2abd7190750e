#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace rodiz {

// The properties of one interface of a BlueZ object, as far as this library
// reads them: strings and object paths, booleans, string arrays and byte
// arrays, each by property name. Properties of other types are left out.
struct BluezProperties {
  std::map<std::string, std::string> text;
  std::map<std::string, bool> flags;
  std::map<std::string, std::vector<std::string>> lists;
  std::map<std::string, std::vector<std::uint8_t>> bytes;
};

// One change of BlueZ's object tree, or of the service itself.
struct BluezEvent {
  enum class Kind {
    Added,        // `interfaces` were added to the object at `path` (or it was listed)
    Removed,      // `removed` interfaces left the object at `path`
    Changed,      // properties of one interface changed: `interfaces` holds that one
    ServiceGone,  // BlueZ left the bus: every object is gone
    ServiceBack,  // BlueZ is on the bus again: its objects must be listed anew
  };
  Kind kind = Kind::Added;
  std::string path;
  std::map<std::string, BluezProperties> interfaces;
  std::vector<std::string> removed;
};

// What the Bluetooth buses need of BlueZ on the system bus (sd-bus). One
// connection carries the signals and is processed by one thread only (fd,
// events, process, managed_objects); the method calls on characteristics go
// through a second connection of their own and may come from any thread, so
// they never leave signals waiting behind the first one's poll.
// Failing calls return a negative errno value.
class IBluezSystem {
 public:
  virtual ~IBluezSystem() = default;

  // Connects both connections and subscribes to BlueZ's signals. A negative
  // result means no system bus (the caller logs it once and stays empty).
  virtual int connect() = 0;
  // The signal connection's descriptor and the poll events it waits for now;
  // -1 and 0 when not connected or lost.
  virtual int fd() = 0;
  virtual short events() = 0;
  // Appends what arrived, until the connection's queue is empty (so that a
  // poll for events() wakes for the next message). False when the system bus
  // was lost; the connection is then closed.
  virtual bool process(std::vector<BluezEvent>& events) = 0;
  // BlueZ's whole object tree as Added events. A negative result when BlueZ
  // does not answer (-EHOSTUNREACH when it is not running).
  virtual int managed_objects(std::vector<BluezEvent>& objects) = 0;

  // AcquireWrite or AcquireNotify of a characteristic: a descriptor carrying
  // one value per packet (the caller closes it) and the link's MTU.
  virtual int acquire(const std::string& characteristic, bool notify, unsigned& mtu) = 0;
  // WriteValue, as a write request (`with_response`) or a command.
  virtual int write_value(const std::string& characteristic, const std::vector<std::uint8_t>& value,
                          bool with_response) = 0;
  // StartNotify or StopNotify; the values then arrive as changes of the
  // characteristic's "Value" property.
  virtual int notify(const std::string& characteristic, bool start) = 0;
};

}  // namespace rodiz
