#include "Linux/BluezSystem.h"

#include <fcntl.h>
#include <poll.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>

#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "BluezSystem";
#define ZLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

constexpr const char* kService = "org.bluez";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
// A characteristic call waits no longer than the HID bus waits for its window thread.
constexpr std::uint64_t kCallTimeoutUsec = 5'000'000;

// Reads one variant whose contents are `contents` into `props` under `name`;
// values of other types are skipped.
int read_variant(sd_bus_message* m, const char* name, const char* contents, BluezProperties& props) {
  int r = 0;
  if (std::strcmp(contents, "s") == 0 || std::strcmp(contents, "o") == 0) {
    const char* value = nullptr;
    r = sd_bus_message_read(m, "v", contents, &value);
    if (r >= 0 && value != nullptr) props.text[name] = value;
  } else if (std::strcmp(contents, "b") == 0) {
    int value = 0;
    r = sd_bus_message_read(m, "v", "b", &value);
    if (r >= 0) props.flags[name] = value != 0;
  } else if (std::strcmp(contents, "as") == 0) {
    r = sd_bus_message_enter_container(m, 'v', "as");
    if (r < 0) return r;
    r = sd_bus_message_enter_container(m, 'a', "s");
    if (r < 0) return r;
    std::vector<std::string>& list = props.lists[name];
    list.clear();
    const char* item = nullptr;
    while ((r = sd_bus_message_read_basic(m, 's', &item)) > 0) list.emplace_back(item);
    if (r < 0) return r;
    r = sd_bus_message_exit_container(m);
    if (r >= 0) r = sd_bus_message_exit_container(m);
  } else if (std::strcmp(contents, "ay") == 0) {
    r = sd_bus_message_enter_container(m, 'v', "ay");
    if (r < 0) return r;
    const void* data = nullptr;
    size_t size = 0;
    r = sd_bus_message_read_array(m, 'y', &data, &size);
    if (r < 0) return r;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    props.bytes[name].assign(bytes, bytes + size);
    r = sd_bus_message_exit_container(m);
  } else {
    r = sd_bus_message_skip(m, "v");
  }
  return r;
}

// a{sv}
int read_properties(sd_bus_message* m, BluezProperties& props) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* name = nullptr;
    r = sd_bus_message_read_basic(m, 's', &name);
    if (r < 0) return r;
    char type = 0;
    const char* contents = nullptr;
    r = sd_bus_message_peek_type(m, &type, &contents);
    if (r < 0) return r;
    if (type != 'v' || contents == nullptr) return -EBADMSG;
    r = read_variant(m, name, contents, props);
    if (r < 0) return r;
    r = sd_bus_message_exit_container(m);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// a{sa{sv}}
int read_interfaces(sd_bus_message* m, std::map<std::string, BluezProperties>& interfaces) {
  int r = sd_bus_message_enter_container(m, 'a', "{sa{sv}}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
    const char* name = nullptr;
    r = sd_bus_message_read_basic(m, 's', &name);
    if (r < 0) return r;
    r = read_properties(m, interfaces[name]);
    if (r < 0) return r;
    r = sd_bus_message_exit_container(m);
    if (r < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int read_signal(sd_bus_message* m, BluezEvent& event) {
  const char* member = sd_bus_message_get_member(m);
  if (member == nullptr) return -EBADMSG;
  int r = 0;
  if (std::strcmp(member, "InterfacesAdded") == 0) {
    const char* path = nullptr;
    event.kind = BluezEvent::Kind::Added;
    r = sd_bus_message_read_basic(m, 'o', &path);
    if (r < 0) return r;
    event.path = path;
    return read_interfaces(m, event.interfaces);
  }
  if (std::strcmp(member, "InterfacesRemoved") == 0) {
    const char* path = nullptr;
    event.kind = BluezEvent::Kind::Removed;
    r = sd_bus_message_read_basic(m, 'o', &path);
    if (r < 0) return r;
    event.path = path;
    r = sd_bus_message_enter_container(m, 'a', "s");
    if (r < 0) return r;
    const char* name = nullptr;
    while ((r = sd_bus_message_read_basic(m, 's', &name)) > 0) event.removed.emplace_back(name);
    if (r < 0) return r;
    return sd_bus_message_exit_container(m);
  }
  if (std::strcmp(member, "PropertiesChanged") == 0) {
    const char* interface = nullptr;
    event.kind = BluezEvent::Kind::Changed;
    const char* path = sd_bus_message_get_path(m);
    if (path == nullptr) return -EBADMSG;
    event.path = path;
    r = sd_bus_message_read_basic(m, 's', &interface);
    if (r < 0) return r;
    return read_properties(m, event.interfaces[interface]);
  }
  if (std::strcmp(member, "NameOwnerChanged") == 0) {
    const char* name = nullptr;
    const char* old_owner = nullptr;
    const char* new_owner = nullptr;
    r = sd_bus_message_read(m, "sss", &name, &old_owner, &new_owner);
    if (r < 0) return r;
    if (name == nullptr || std::strcmp(name, kService) != 0) return 0;
    event.kind =
        (new_owner != nullptr && *new_owner != '\0') ? BluezEvent::Kind::ServiceBack : BluezEvent::Kind::ServiceGone;
    return 1;
  }
  return 0;
}

}  // namespace

BluezSystem::~BluezSystem() { close(); }

void BluezSystem::close() {
  for (sd_bus_slot*& slot : slots_) slot = sd_bus_slot_unref(slot);
  if (signals_ != nullptr) signals_ = sd_bus_flush_close_unref(signals_);
  std::lock_guard<std::mutex> guard(calls_lock_);
  if (calls_ != nullptr) calls_ = sd_bus_flush_close_unref(calls_);
}

// The sd-bus handler of every signal the connection subscribed to.
struct BluezSignal {
  static int on_signal(sd_bus_message* message, void* self, sd_bus_error* error);
};

int BluezSignal::on_signal(sd_bus_message* message, void* self, sd_bus_error* /*error*/) {
  auto* system = static_cast<BluezSystem*>(self);
  BluezEvent event;
  const int r = read_signal(message, event);
  if (r < 0) {
    // A malformed signal is dropped; the next listing puts the state right.
    ZLOG(LogWarning, "BluezSystem dropping malformed %s signal (%s)", sd_bus_message_get_member(message),
         std::strerror(-r));
    return 0;
  }
  if (r > 0 && system->sink_ != nullptr) system->sink_->push_back(std::move(event));
  return 0;
}

int BluezSystem::connect() {
  if (signals_ != nullptr) return 0;
  int r = sd_bus_open_system(&signals_);
  if (r >= 0) r = sd_bus_set_method_call_timeout(signals_, kCallTimeoutUsec);
  if (r >= 0) {
    std::lock_guard<std::mutex> guard(calls_lock_);
    r = sd_bus_open_system(&calls_);
    if (r >= 0) r = sd_bus_set_method_call_timeout(calls_, kCallTimeoutUsec);
  }
  const char* const rules[] = {
      "type='signal',sender='org.bluez',path='/',interface='org.freedesktop.DBus.ObjectManager',"
      "member='InterfacesAdded'",
      "type='signal',sender='org.bluez',path='/',interface='org.freedesktop.DBus.ObjectManager',"
      "member='InterfacesRemoved'",
      "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path_namespace='/org/bluez'",
      "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
      "member='NameOwnerChanged',arg0='org.bluez'",
  };
  for (int i = 0; r >= 0 && i < 4; ++i)
    r = sd_bus_add_match(signals_, &slots_[i], rules[i], &BluezSignal::on_signal, this);
  if (r < 0) {
    close();
    return r;
  }
  drain_calls();
  return 0;
}

int BluezSystem::fd() { return signals_ != nullptr ? sd_bus_get_fd(signals_) : -1; }

short BluezSystem::events() {
  if (signals_ == nullptr) return 0;
  const int events = sd_bus_get_events(signals_);
  return events < 0 ? POLLIN : static_cast<short>(events);
}

bool BluezSystem::process(std::vector<BluezEvent>& events) {
  if (signals_ == nullptr) return false;
  sink_ = &events;
  bool alive = true;
  for (;;) {
    const int r = sd_bus_process(signals_, nullptr);
    if (r == 0) break;
    if (r < 0) {
      ZLOG(LogWarning, "BluezSystem lost the system bus (%s)", std::strerror(-r));
      alive = false;
      break;
    }
  }
  sink_ = nullptr;
  if (!alive) close();
  return alive;
}

int BluezSystem::managed_objects(std::vector<BluezEvent>& objects) {
  if (signals_ == nullptr) return -ENOTCONN;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int r = sd_bus_call_method(signals_, kService, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", &error,
                             &reply, "");
  if (r < 0) {
    ZLOG(LogDebug, "BluezSystem GetManagedObjects failed: %s", error.message != nullptr ? error.message : "");
    sd_bus_error_free(&error);
    return r;
  }
  r = sd_bus_message_enter_container(reply, 'a', "{oa{sa{sv}}}");
  while (r >= 0 && (r = sd_bus_message_enter_container(reply, 'e', "oa{sa{sv}}")) > 0) {
    const char* path = nullptr;
    BluezEvent event;
    r = sd_bus_message_read_basic(reply, 'o', &path);
    if (r >= 0) {
      event.path = path;
      r = read_interfaces(reply, event.interfaces);
    }
    if (r >= 0) r = sd_bus_message_exit_container(reply);
    if (r >= 0) objects.push_back(std::move(event));
  }
  if (r >= 0) r = sd_bus_message_exit_container(reply);
  sd_bus_message_unref(reply);
  if (r < 0) ZLOG(LogWarning, "BluezSystem malformed object list (%s)", std::strerror(-r));
  return r < 0 ? r : 0;
}

void BluezSystem::drain_calls() {
  std::lock_guard<std::mutex> guard(calls_lock_);
  if (calls_ == nullptr) return;
  while (sd_bus_process(calls_, nullptr) > 0) {
  }
}

int BluezSystem::acquire(const std::string& characteristic, bool notify, unsigned& mtu) {
  std::lock_guard<std::mutex> guard(calls_lock_);
  if (calls_ == nullptr) return -ENOTCONN;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r = sd_bus_message_new_method_call(calls_, &call, kService, characteristic.c_str(), kCharacteristic,
                                         notify ? "AcquireNotify" : "AcquireWrite");
  if (r >= 0) r = sd_bus_message_append(call, "a{sv}", 0);
  if (r >= 0) r = sd_bus_call(calls_, call, kCallTimeoutUsec, &error, &reply);
  int fd = -1;
  std::uint16_t link_mtu = 0;
  if (r >= 0) r = sd_bus_message_read(reply, "hq", &fd, &link_mtu);
  if (r >= 0) {
    // The descriptor belongs to the reply.
    fd = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    r = fd < 0 ? -errno : fd;
    mtu = link_mtu;
  }
  if (r < 0) {
    ZLOG(LogInfo, "BluezSystem %s %s failed: %s", notify ? "AcquireNotify" : "AcquireWrite", characteristic.c_str(),
         error.message != nullptr ? error.message : std::strerror(-r));
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return r;
}

int BluezSystem::write_value(const std::string& characteristic, const std::vector<std::uint8_t>& value,
                             bool with_response) {
  std::lock_guard<std::mutex> guard(calls_lock_);
  if (calls_ == nullptr) return -ENOTCONN;
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  int r =
      sd_bus_message_new_method_call(calls_, &call, kService, characteristic.c_str(), kCharacteristic, "WriteValue");
  if (r >= 0) r = sd_bus_message_append_array(call, 'y', value.data(), value.size());
  if (r >= 0) r = sd_bus_message_append(call, "a{sv}", 1, "type", "s", with_response ? "request" : "command");
  if (r >= 0) r = sd_bus_call(calls_, call, kCallTimeoutUsec, &error, &reply);
  if (r < 0) {
    ZLOG(LogInfo, "BluezSystem WriteValue %s failed: %s", characteristic.c_str(),
         error.message != nullptr ? error.message : std::strerror(-r));
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_message_unref(call);
  return r < 0 ? r : 0;
}

int BluezSystem::notify(const std::string& characteristic, bool start) {
  std::lock_guard<std::mutex> guard(calls_lock_);
  if (calls_ == nullptr) return -ENOTCONN;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int r = sd_bus_call_method(calls_, kService, characteristic.c_str(), kCharacteristic,
                                   start ? "StartNotify" : "StopNotify", &error, &reply, "");
  if (r < 0) {
    ZLOG(LogInfo, "BluezSystem %s %s failed: %s", start ? "StartNotify" : "StopNotify", characteristic.c_str(),
         error.message != nullptr ? error.message : std::strerror(-r));
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  return r < 0 ? r : 0;
}

}  // namespace rodiz
