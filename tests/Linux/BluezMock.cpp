#include "Linux/BluezMock.h"

#include <gtest/gtest.h>

#include <cstdarg>

namespace rodiz::test {

namespace {
constexpr const char* kMock = "org.freedesktop.DBus.Mock";
constexpr const char* kBluezMock = "org.bluez.Mock";
constexpr const char* kCharacteristic = "org.bluez.GattCharacteristic1";
constexpr const char* kFixed = "00010000-0000-1000-8000-011f2000046d";
constexpr const char* kVariable = "00010001-0000-1000-8000-011f2000046d";

// The object manager's signals for objects made with AddObject, which sends none itself.
constexpr const char* kAnnounce =
    "objects['/'].EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesAdded', 'oa{sa{sv}}', "
    "[dbus.ObjectPath(args[0]), objects[args[0]].props])";
constexpr const char* kRetract =
    "objects['/'].EmitSignal('org.freedesktop.DBus.ObjectManager', 'InterfacesRemoved', 'oas', "
    "[dbus.ObjectPath(args[0]), list(objects[args[0]].props.keys())])\n"
    "self.RemoveObject(args[0])";

// The characteristic's calls, and the test's own three: Written, SendValue, HangUp.
constexpr const char* kWriteValue = "self.values = getattr(self, 'values', []) + [bytes(args[0])]";
constexpr const char* kAcquireWrite =
    "import socket\n"
    "mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
    "self.write_peer = mine\n"
    "ret = (dbus.types.UnixFd(theirs), dbus.UInt16(23))\n"
    "theirs.close()";
constexpr const char* kAcquireNotify =
    "import socket\n"
    "mine, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)\n"
    "self.notify_peer = mine\n"
    "ret = (dbus.types.UnixFd(theirs), dbus.UInt16(23))\n"
    "theirs.close()";
constexpr const char* kWritten =
    "import socket\n"
    "out = list(getattr(self, 'values', []))\n"
    "self.values = []\n"
    "peer = getattr(self, 'write_peer', None)\n"
    "while peer is not None:\n"
    "    try:\n"
    "        out.append(peer.recv(1024, socket.MSG_DONTWAIT))\n"
    "    except BlockingIOError:\n"
    "        break\n"
    "ret = dbus.Array([dbus.ByteArray(v) for v in out], signature='ay')";
constexpr const char* kSendValue =
    "peer = getattr(self, 'notify_peer', None)\n"
    "if peer is not None:\n"
    "    peer.send(bytes(args[0]))\n"
    "else:\n"
    "    self.UpdateProperties('org.bluez.GattCharacteristic1', {'Value': dbus.Array(args[0], signature='y')})";
constexpr const char* kHangUp =
    "self.notify_peer.close()\n"
    "del self.notify_peer";
}  // namespace

BluezMock::BluezMock() : session_("bluez5", "org.bluez") {
  if (!session_.ready()) {
    error_ = session_.error();
    return;
  }
  client_ = session_.connect();
  if (client_ == nullptr) {
    error_ = "no client connection to the private bus";
    return;
  }
  call("/", kMock, "AddMethod", "sssss", kBluezMock, "Announce", "s", "", kAnnounce);
  call("/", kMock, "AddMethod", "sssss", kBluezMock, "Retract", "s", "", kRetract);
  ready_ = !::testing::Test::HasFailure();
}

BluezMock::~BluezMock() {
  if (client_ != nullptr) sd_bus_flush_close_unref(client_);
}

sd_bus_message* BluezMock::start_call(const std::string& path, const std::string& interface,
                                      const std::string& member) {
  sd_bus_message* call = nullptr;
  const int r =
      sd_bus_message_new_method_call(client_, &call, "org.bluez", path.c_str(), interface.c_str(), member.c_str());
  EXPECT_GE(r, 0) << member;
  return call;
}

void BluezMock::finish_call(sd_bus_message* call, sd_bus_message** reply) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  const int r = sd_bus_call(client_, call, 0, &error, reply);
  EXPECT_GE(r, 0) << sd_bus_message_get_member(call) << ": " << (error.message != nullptr ? error.message : "");
  sd_bus_error_free(&error);
  sd_bus_message_unref(call);
}

void BluezMock::call(const std::string& path, const std::string& interface, const std::string& member,
                     const char* types, ...) {
  sd_bus_message* message = start_call(path, interface, member);
  if (message == nullptr) return;
  va_list args;
  va_start(args, types);
  const int r = sd_bus_message_appendv(message, types, args);
  va_end(args);
  EXPECT_GE(r, 0) << member;
  finish_call(message);
}

std::string BluezMock::add_adapter(const std::string& name) {
  call("/", kBluezMock, "AddAdapter", "ss", name.c_str(), "test host");
  return "/org/bluez/" + name;
}

void BluezMock::remove_adapter(const std::string& name) { call("/", kBluezMock, "RemoveAdapter", "s", name.c_str()); }

std::string BluezMock::add_device(const std::string& adapter, const std::string& address, const std::string& alias) {
  call("/", kBluezMock, "AddDevice", "sss", adapter.c_str(), address.c_str(), alias.c_str());
  std::string path = "/org/bluez/" + adapter + "/dev_" + address;
  for (char& c : path) {
    if (c == ':') c = '_';
  }
  return path;
}

void BluezMock::pair(const std::string& adapter, const std::string& address) {
  call("/", kBluezMock, "PairDevice", "ssi", adapter.c_str(), address.c_str(), 0x2580);
}

void BluezMock::connect(const std::string& adapter, const std::string& address) {
  call("/", kBluezMock, "ConnectDevice", "ss", adapter.c_str(), address.c_str());
}

void BluezMock::disconnect(const std::string& adapter, const std::string& address) {
  call("/", kBluezMock, "DisconnectDevice", "ss", adapter.c_str(), address.c_str());
}

void BluezMock::remove_device(const std::string& adapter, const std::string& device_path) {
  call("/org/bluez/" + adapter, "org.bluez.Adapter1", "RemoveDevice", "o", device_path.c_str());
}

void BluezMock::set_flag(const std::string& path, const std::string& interface, const std::string& name, bool value) {
  call(path, kMock, "UpdateProperties", "sa{sv}", interface.c_str(), 1, name.c_str(), "b", value ? 1 : 0);
}

void BluezMock::announce(const std::string& path) { call("/", kBluezMock, "Announce", "s", path.c_str()); }

void BluezMock::remove_object(const std::string& path) { call("/", kBluezMock, "Retract", "s", path.c_str()); }

std::string BluezMock::add_gatt_service(const std::string& device_path, bool fixed, bool variable, bool acquire) {
  const std::string service = device_path + "/service0010";
  call("/", kMock, "AddObject", "ssa{sv}a(ssss)", service.c_str(), "org.bluez.GattService1", 3, "UUID", "s", kFixed,
       "Device", "o", device_path.c_str(), "Primary", "b", 1, 0);
  announce(service);
  if (fixed) add_characteristic(service + "/char0", service, kFixed, acquire);
  if (variable) add_characteristic(service + "/char1", service, kVariable, acquire);
  return service;
}

void BluezMock::add_characteristic(const std::string& path, const std::string& service, const std::string& uuid,
                                   bool acquire) {
  sd_bus_message* message = start_call("/", kMock, "AddObject");
  if (message == nullptr) return;
  int r = sd_bus_message_append(message, "ss", path.c_str(), kCharacteristic);
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "{sv}");
  if (r >= 0) r = sd_bus_message_append(message, "{sv}", "UUID", "s", uuid.c_str());
  if (r >= 0) r = sd_bus_message_append(message, "{sv}", "Service", "o", service.c_str());
  if (r >= 0) {
    r = sd_bus_message_append(message, "{sv}", "Flags", "as", 4, "read", "write", "write-without-response", "notify");
  }
  if (r >= 0) r = sd_bus_message_append(message, "{sv}", "Value", "ay", 0);
  if (acquire && r >= 0) r = sd_bus_message_append(message, "{sv}", "WriteAcquired", "b", 0);
  if (acquire && r >= 0) r = sd_bus_message_append(message, "{sv}", "NotifyAcquired", "b", 0);
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) {
    r = sd_bus_message_append(message, "a(ssss)", 8, "WriteValue", "aya{sv}", "", kWriteValue, "StartNotify", "", "",
                              "", "StopNotify", "", "", "", "AcquireWrite", "a{sv}", "hq", kAcquireWrite,
                              "AcquireNotify", "a{sv}", "hq", kAcquireNotify, "Written", "", "aay", kWritten,
                              "SendValue", "ay", "", kSendValue, "HangUp", "", "", kHangUp);
  }
  EXPECT_GE(r, 0) << "AddObject " << path;
  finish_call(message);
  announce(path);
}

std::vector<std::vector<std::uint8_t>> BluezMock::written(const std::string& characteristic) {
  std::vector<std::vector<std::uint8_t>> values;
  sd_bus_message* message = start_call(characteristic, kCharacteristic, "Written");
  if (message == nullptr) return values;
  sd_bus_message* reply = nullptr;
  finish_call(message, &reply);
  if (reply == nullptr) return values;
  if (sd_bus_message_enter_container(reply, 'a', "ay") > 0) {
    const void* data = nullptr;
    size_t size = 0;
    while (sd_bus_message_read_array(reply, 'y', &data, &size) > 0) {
      const auto* bytes = static_cast<const std::uint8_t*>(data);
      values.emplace_back(bytes, bytes + size);
    }
  }
  sd_bus_message_unref(reply);
  return values;
}

void BluezMock::notify(const std::string& characteristic, const std::vector<std::uint8_t>& value) {
  sd_bus_message* message = start_call(characteristic, kCharacteristic, "SendValue");
  if (message == nullptr) return;
  EXPECT_GE(sd_bus_message_append_array(message, 'y', value.data(), value.size()), 0);
  finish_call(message);
}

void BluezMock::hang_up(const std::string& characteristic) { call(characteristic, kCharacteristic, "HangUp", ""); }

}  // namespace rodiz::test
