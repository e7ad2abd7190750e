#include "Linux/HidrawTestbed.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

namespace rodiz::test {

namespace {

std::string hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value & 0xFFFFu);
  return text;
}

std::string take(gchar* text) {
  std::string result = text != nullptr ? text : "";
  g_free(text);
  return result;
}

}  // namespace

HidrawTestbed::HidrawTestbed()
    : testbed_(umockdev_testbed_new()), root_(take(umockdev_testbed_get_root_dir(testbed_))) {}

HidrawTestbed::~HidrawTestbed() {
  // Stops the testbed's thread and removes its folder before the nodes go.
  g_object_unref(testbed_);
  entries_.clear();
  retired_.clear();
}

std::string HidrawTestbed::add_usb_device(const std::string& name, std::uint16_t product, std::uint16_t version) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string product_hex = hex4(product);
  const std::string version_hex = hex4(version);
  const std::string syspath =
      take(umockdev_testbed_add_device(testbed_, "usb", name.c_str(), nullptr, "idVendor", "046d", "idProduct",
                                       product_hex.c_str(), "bcdDevice", version_hex.c_str(), nullptr, "DEVTYPE",
                                       "usb_device", "PRODUCT", ("46d/" + product_hex + "/0").c_str(), nullptr));
  entries_.push_back({syspath, "", nullptr});
  return syspath;
}

std::string HidrawTestbed::add_hidraw(const std::string& usb, int interface, int minor,
                                      std::shared_ptr<EmulatedHidrawNode> node, unsigned mode) {
  std::lock_guard<std::mutex> guard(lock_);
  const std::string usb_name = usb.substr(usb.find_last_of('/') + 1);
  const std::string interface_name = usb_name + ":1." + std::to_string(interface);
  const std::string interface_path = take(umockdev_testbed_add_device(
      testbed_, "usb", interface_name.c_str(), usb.c_str(), "bInterfaceNumber",
      ("0" + std::to_string(interface)).c_str(), nullptr, "DEVTYPE", "usb_interface", nullptr));
  const std::string vendor = hex4(node->identity().vendor);
  const std::string product = hex4(node->identity().product);
  char hid_name[64];
  std::snprintf(hid_name, sizeof hid_name, "0003:%s:%s.%04X", vendor.c_str(), product.c_str(),
                static_cast<unsigned>(minor + 1));
  const std::string hid_id = "0003:0000" + vendor + ":0000" + product;
  const std::string hid_path =
      take(umockdev_testbed_add_device(testbed_, "hid", hid_name, interface_path.c_str(), nullptr, "HID_ID",
                                       hid_id.c_str(), "HID_NAME", node->identity().name.c_str(), nullptr));
  const std::string devnode = "/dev/hidraw" + std::to_string(minor);
  // The node must be whole before a listing can find it: a program that
  // opens a node whose device file exists but whose handler does not listen
  // yet is ended by the preload library. So the handler first, then the
  // device file (which the testbed does not make for a node it only
  // emulates), and the hidraw device that udev lists last.
  umockdev_testbed_attach_ioctl(testbed_, devnode.c_str(), node->handler(), nullptr);
  g_mkdir_with_parents((root_ + "/dev").c_str(), 0755);
  g_file_set_contents((root_ + devnode).c_str(), "", 0, nullptr);
  ::chmod((root_ + devnode).c_str(), static_cast<mode_t>(mode));
  const std::string major_minor = "241:" + std::to_string(minor);
  const std::string hidraw_path =
      take(umockdev_testbed_add_device(testbed_, "hidraw", ("hidraw" + std::to_string(minor)).c_str(), hid_path.c_str(),
                                       "dev", major_minor.c_str(), nullptr, "DEVNAME", devnode.c_str(), nullptr));
  entries_.push_back({interface_path, "", nullptr});
  entries_.push_back({hid_path, "", nullptr});
  entries_.push_back({hidraw_path, devnode, node});
  return hidraw_path;
}

void HidrawTestbed::uevent(const std::string& syspath, const char* action) {
  std::lock_guard<std::mutex> guard(lock_);
  umockdev_testbed_uevent(testbed_, syspath.c_str(), action);
}

void HidrawTestbed::remove(const std::string& syspath) {
  std::lock_guard<std::mutex> guard(lock_);
  // Children first, as the kernel takes them away.
  for (auto it = entries_.rbegin(); it != entries_.rend();) {
    const bool below = it->syspath == syspath || it->syspath.rfind(syspath + "/", 0) == 0;
    if (!below) {
      ++it;
      continue;
    }
    // The reverse of add_hidraw: out of udev's listing, then the device
    // file (an open now fails with ENOENT, as for a node that has gone), and
    // only then the handler, whose socket would end a program that opens
    // the node once it stops listening.
    umockdev_testbed_remove_device(testbed_, it->syspath.c_str());
    if (!it->devnode.empty()) {
      ::unlink((root_ + it->devnode).c_str());
      umockdev_testbed_detach_ioctl(testbed_, it->devnode.c_str(), nullptr);
      retired_.push_back(it->node);
    }
    it = std::vector<Entry>::reverse_iterator(entries_.erase(std::next(it).base()));
  }
}

bool HidrawTestbed::set_node_mode(int minor, unsigned mode) {
  const std::string file = root_ + "/dev/hidraw" + std::to_string(minor);
  return ::chmod(file.c_str(), static_cast<mode_t>(mode)) == 0;
}

}  // namespace rodiz::test
