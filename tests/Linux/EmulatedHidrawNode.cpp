#include "Linux/EmulatedHidrawNode.h"

#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rodiz::test {

EmulatedHidrawNode::EmulatedHidrawNode(Identity identity, std::function<void(const Bytes&)> on_write)
    : identity_(std::move(identity)), on_write_(std::move(on_write)), handler_(umockdev_ioctl_base_new()) {
  g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&EmulatedHidrawNode::on_ioctl), this);
  g_signal_connect(handler_, "handle-read", G_CALLBACK(&EmulatedHidrawNode::on_read), this);
  g_signal_connect(handler_, "handle-write", G_CALLBACK(&EmulatedHidrawNode::on_write), this);
}

EmulatedHidrawNode::~EmulatedHidrawNode() {
  // The testbed may still hold the handler: it must not call back into a dead node.
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
}

void EmulatedHidrawNode::send(Bytes report) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!gone_) to_read_.push_back(std::move(report));
}

void EmulatedHidrawNode::unplug() {
  std::lock_guard<std::mutex> guard(lock_);
  gone_ = true;
  to_read_.clear();
}

int EmulatedHidrawNode::writes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return writes_;
}

int EmulatedHidrawNode::identity_queries() const {
  std::lock_guard<std::mutex> guard(lock_);
  return identity_queries_;
}

gboolean EmulatedHidrawNode::on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  return static_cast<EmulatedHidrawNode*>(self)->answer_ioctl(client);
}

gboolean EmulatedHidrawNode::on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* node = static_cast<EmulatedHidrawNode*>(self);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  Bytes report;
  {
    std::lock_guard<std::mutex> guard(node->lock_);
    if (node->gone_) {
      umockdev_ioctl_client_complete(client, -1, EIO);
      return TRUE;
    }
    if (node->to_read_.empty()) {
      umockdev_ioctl_client_complete(client, -1, EAGAIN);
      return TRUE;
    }
    report = std::move(node->to_read_.front());
    node->to_read_.pop_front();
  }
  // One report per read; a short buffer gets the report's beginning.
  const std::size_t count = std::min(report.size(), static_cast<std::size_t>(buffer->data_len));
  std::memcpy(buffer->data, report.data(), count);
  umockdev_ioctl_client_complete(client, static_cast<glong>(count), 0);
  return TRUE;
}

gboolean EmulatedHidrawNode::on_write(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* node = static_cast<EmulatedHidrawNode*>(self);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  Bytes report(buffer->data, buffer->data + buffer->data_len);
  {
    std::lock_guard<std::mutex> guard(node->lock_);
    if (node->gone_) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    ++node->writes_;
  }
  umockdev_ioctl_client_complete(client, static_cast<glong>(report.size()), 0);
  if (node->on_write_) node->on_write_(report);
  return TRUE;
}

gboolean EmulatedHidrawNode::answer_ioctl(UMockdevIoctlClient* client) {
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (gone_) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    ++identity_queries_;
  }
  auto answer = [&](const void* data, std::size_t size, glong result) {
    UMockdevIoctlData* target = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    if (target == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return TRUE;
    }
    std::memcpy(target->data, data, size);
    umockdev_ioctl_client_complete(client, result, 0);
    return TRUE;
  };
  if (request == HIDIOCGRAWINFO) {
    hidraw_devinfo info{};
    info.bustype = 3;  // BUS_USB
    // Signed 16-bit in the kernel's struct: ids above 0x7FFF read negative.
    info.vendor = static_cast<__s16>(identity_.vendor);
    info.product = static_cast<__s16>(identity_.product);
    return answer(&info, sizeof info, 0);
  }
  if (request == HIDIOCGRDESCSIZE) {
    const int size = static_cast<int>(identity_.descriptor.size());
    return answer(&size, sizeof size, 0);
  }
  if (request == HIDIOCGRDESC) {
    hidraw_report_descriptor raw{};
    raw.size = static_cast<__u32>(std::min<std::size_t>(identity_.descriptor.size(), HID_MAX_DESCRIPTOR_SIZE));
    std::memcpy(raw.value, identity_.descriptor.data(), raw.size);
    return answer(&raw, sizeof raw, 0);
  }
  if (_IOC_TYPE(request) == 'H' && _IOC_NR(request) == 0x04 && _IOC_SIZE(request) > 0) {  // HIDIOCGRAWNAME(len)
    std::vector<char> text(_IOC_SIZE(request), '\0');
    const std::size_t count = std::min(identity_.name.size(), text.size() - 1);
    std::memcpy(text.data(), identity_.name.data(), count);
    return answer(text.data(), text.size(), static_cast<glong>(count + 1));
  }
  umockdev_ioctl_client_complete(client, -1, ENOTTY);
  return TRUE;
}

}  // namespace rodiz::test
