#include "Linux/EmulatedMouse.h"

#include <cstdio>

#include "runtime/Subscriber.h"
#include "sim/SimChannel.h"
#include "support/HidDescriptors.h"

namespace rodiz::test {

// Hands what the simulated mouse sends through a collection to its node.
class EmulatedMouse::Reader : public Subscriber<IHardwareDevice::Read> {
 public:
  explicit Reader(std::shared_ptr<EmulatedHidrawNode> node) : node_(std::move(node)) {}
  ~Reader() override { leave_all(); }
  void onRead(std::vector<Byte> report, bool, unsigned, unsigned) override { node_->send(std::move(report)); }

 private:
  std::shared_ptr<EmulatedHidrawNode> node_;
};

EmulatedMouse::EmulatedMouse(HidrawTestbed& testbed, sim::SimMouseConfig config, bool boot_mouse_interface)
    : testbed_(testbed),
      mouse_(std::make_shared<sim::SimMouse>(std::move(config))),
      boot_mouse_interface_(boot_mouse_interface) {
  mouse_->set_presence_listener([this] { follow(); });
}

EmulatedMouse::~EmulatedMouse() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (current_) leave_locked();
    closed_ = true;
  }
  mouse_->set_presence_listener(nullptr);
  // The mouse's thread ends here, before the members it calls back into.
  mouse_.reset();
}

void EmulatedMouse::plug() { mouse_->start(); }

void EmulatedMouse::set_node_mode(unsigned mode) {
  std::lock_guard<std::mutex> guard(lock_);
  mode_ = mode;
}

void EmulatedMouse::trigger_rules(unsigned mode) {
  std::lock_guard<std::mutex> guard(lock_);
  mode_ = mode;
  if (!current_) return;
  for (int minor : current_->minors) testbed_.set_node_mode(minor, mode);
  for (const std::string& hidraw : current_->hidraw) testbed_.uevent(hidraw, "change");
}

std::vector<std::string> EmulatedMouse::history() {
  std::lock_guard<std::mutex> guard(lock_);
  return history_;
}

int EmulatedMouse::boot_mouse_writes() {
  std::lock_guard<std::mutex> guard(lock_);
  int total = 0;
  for (const auto& node : boot_nodes_) total += node->writes();
  return total;
}

int EmulatedMouse::boot_mouse_queries() {
  std::lock_guard<std::mutex> guard(lock_);
  int total = 0;
  for (const auto& node : boot_nodes_) total += node->identity_queries();
  return total;
}

void EmulatedMouse::follow() {
  std::lock_guard<std::mutex> guard(lock_);
  if (closed_) return;
  const std::vector<sim::SimCollection> collections = mouse_->collections();
  if (current_ && (collections.empty() || collections.front().generation != current_->generation)) leave_locked();
  if (!current_ && !collections.empty()) appear_locked(collections);
}

void EmulatedMouse::leave_locked() {
  // The nodes fail their I/O first, as the kernel's do when the device goes;
  // then udev announces the removal.
  for (const auto& node : current_->nodes) node->unplug();
  for (const std::string& hidraw : current_->hidraw) testbed_.uevent(hidraw, "remove");
  testbed_.remove(current_->usb);
  history_.push_back("-" + current_->vendor_devnode);
  current_->reader.reset();
  for (auto& [id, channel] : current_->channels) channel->close();
  current_.reset();
}

void EmulatedMouse::appear_locked(const std::vector<sim::SimCollection>& collections) {
  auto appearance = std::make_unique<Appearance>();
  const sim::SimCollection& first = collections.front();
  appearance->generation = first.generation;
  const auto product = static_cast<std::uint16_t>(first.pid);

  for (const sim::SimCollection& collection : collections) {
    const int report_id = collection.report_length <= 7 ? 0x10 : 0x11;
    appearance->channels[report_id] =
        std::make_shared<sim::SimChannel>(std::weak_ptr<sim::SimBus>(), mouse_, collection);
  }
  // Written reports go to the collection of their report id.
  const std::map<int, std::shared_ptr<sim::SimChannel>> channels = appearance->channels;
  auto to_mouse = [channels](const EmulatedHidrawNode::Bytes& report) {
    if (report.empty()) return;
    auto it = channels.find(report[0]);
    if (it != channels.end()) it->second->write(report, false);
  };
  auto vendor = std::make_shared<EmulatedHidrawNode>(
      EmulatedHidrawNode::Identity{0x046D, product, mouse_vendor_descriptor(), first.name}, to_mouse);
  appearance->reader = std::make_shared<Reader>(vendor);
  for (auto& [id, channel] : appearance->channels) {
    appearance->reader->subscribe(channel, DeliveryImmediate);
    channel->open();
  }

  appearance->usb = testbed_.add_usb_device("1-" + std::to_string(next_usb_++), product, 0x1402);
  if (boot_mouse_interface_ && first.pid == sim::SimMouse::kApplicationPid) {
    auto boot = std::make_shared<EmulatedHidrawNode>(
        EmulatedHidrawNode::Identity{0x046D, product, boot_mouse_descriptor(), first.name}, nullptr);
    const int minor = next_minor_++;
    appearance->hidraw.push_back(testbed_.add_hidraw(appearance->usb, 0, minor, boot, mode_));
    appearance->minors.push_back(minor);
    appearance->nodes.push_back(boot);
    boot_nodes_.push_back(boot);
  }
  const int minor = next_minor_++;
  appearance->hidraw.push_back(testbed_.add_hidraw(appearance->usb, 2, minor, vendor, mode_));
  appearance->minors.push_back(minor);
  appearance->nodes.push_back(vendor);
  appearance->vendor_devnode = "/dev/hidraw" + std::to_string(minor);
  char line[64];
  std::snprintf(line, sizeof line, "+%s %04x", appearance->vendor_devnode.c_str(), static_cast<unsigned>(product));
  history_.push_back(line);
  for (const std::string& hidraw : appearance->hidraw) testbed_.uevent(hidraw, "add");
  current_ = std::move(appearance);
}

}  // namespace rodiz::test
