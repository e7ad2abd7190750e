#include "Linux/HidrawChannel.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "Linux/HidrawBus.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "transport/HidReportDescriptor.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "HidrawChannel";
#define CLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

constexpr std::uint16_t kShortLongPage = 0xFF00;
constexpr std::uint16_t kCollectionBitPage = 0xFF43;
// A device with this product id needs only its long collection.
constexpr int kLongOnlyPid = 0x5800;
// A read thread that keeps failing without a disconnect error gives up.
constexpr int kMaxConsecutiveReadErrors = 16;
constexpr auto kPermissionRetryStep = std::chrono::milliseconds(50);

// Whether `collection` is one the library speaks to; its bit in `bit`.
ErrorCode frap_collection(const HidCollection& collection, int& bit) {
  const unsigned usage = collection.usage;
  bit = static_cast<int>(usage & 0xFFu);
  if (collection.usage_page == kShortLongPage) {
    if (usage != 1 && usage != 2) return NotFrapCollection;
  } else if (collection.usage_page == kCollectionBitPage) {
    const unsigned t = usage & 0xFFu;
    const unsigned x = usage >> 8;
    unsigned b = 8;
    for (unsigned i = 0; i < 8; ++i) {
      if (t == (1u << i)) b = i;
    }
    CLOG(LogDebug, "HidrawChannel::open thisusage=%u expected=%u bit=%u", t, x, b);
    if (b == 8 || (x & t) == 0) return NotFrapCollection;
  } else {
    return NotVendorUsagePage;
  }
  if (collection.input_caps != 1 || collection.output_caps != 1) {
    CLOG(LogInfo, "HidrawChannel::open collection refused (false, not just a single button or value cap)");
    return NotFrapCollection;
  }
  if (collection.input_length != collection.output_length) {
    CLOG(LogInfo, "HidrawChannel::open collection refused (false, mismatched input and output report sizes)");
    return NotFrapCollection;
  }
  return NoError;
}

int needed_collections(int pid, const HidCollection& collection) {
  if (pid == kLongOnlyPid) return 2;
  if (collection.usage_page == kCollectionBitPage) return collection.usage >> 8;
  if (collection.usage_page == kShortLongPage && (collection.usage == 1 || collection.usage == 2)) return 3;
  return collection.usage & 0xFF;
}

void log_traffic(int pid, const char* direction, const std::uint8_t* data, std::size_t size) {
  char line[256];
  int used = std::snprintf(line, sizeof line, "-hid- 0x%x [%s]: ", static_cast<unsigned>(pid), direction);
  for (std::size_t i = 0; i < size && used > 0 && static_cast<std::size_t>(used) + 4 < sizeof line; ++i) {
    used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), "%02x ", data[i]);
  }
  xLogWrite(kTag, LogVerbose, "rodiz::HidrawChannel::traffic", "%s", line);
}
}  // namespace

const char* const HidrawChannel::kPermissionMessage =
    "No permission to open the mouse's hidraw device node. Install the udev rule 70-mirel-mouse.rules "
    "(sudo cmake --install <build directory> --component udev, or copy packaging/linux/70-mirel-mouse.rules "
    "to /etc/udev/rules.d/), then run: sudo udevadm control --reload && sudo udevadm trigger";

HidrawChannel::HidrawChannel(std::weak_ptr<HidrawBus> bus, std::shared_ptr<IHidrawSystem> system, HidrawNode node)
    : bus_(std::move(bus)), system_(std::move(system)), node_(std::move(node)) {}

HidrawChannel::~HidrawChannel() {
  CLOG(LogInfo, "HidrawChannel::~HidrawChannel enter");
  destructed_ = true;
  close();
  CLOG(LogInfo, "HidrawChannel::~HidrawChannel exit");
}

std::weak_ptr<IHardwareBus> HidrawChannel::owning_bus() {
  std::shared_ptr<HidrawBus> bus = bus_.lock();
  return bus ? std::weak_ptr<IHardwareBus>(bus) : std::weak_ptr<IHardwareBus>();
}

std::string HidrawChannel::combine_key() {
  if (collections_needed_ == collection_bits_ || node_.interface_path.empty()) return node_.devnode;
  return node_.interface_path;
}

bool HidrawChannel::open() {
  if (removed_) {
    CLOG(LogInfo, "HidrawChannel::open exit (false, DeviceRemoved)");
    set_last_error(DeviceRemoved);
    return false;
  }
  if (destructed_) {
    CLOG(LogInfo, "HidrawChannel::open enter/exit (false, already destructed)");
    return false;
  }
  std::lock_guard<std::mutex> guard(io_lock_);
  if (fd_ >= 0) {
    // The node stays valid until a read reports it gone, which sets removed_.
    CLOG(LogInfo, "HidrawChannel::open exit (true, already open)");
    return true;
  }
  if (node_.devnode.empty()) {
    set_last_error(NoFilePath);
    CLOG(LogInfo, "HidrawChannel::open exit (false, no filepath)");
    return false;
  }
  CLOG(LogInfo, "Opening device '%s'", node_.devnode.c_str());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(permission_retry_ms_);
  int fd = -1;
  int error = 0;
  for (;;) {
    fd = system_->open_node(node_.devnode, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    error = fd < 0 ? errno : 0;
    if (fd >= 0 || error != EACCES) break;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPermissionRetryStep, deadline - now));
  }
  if (fd < 0) {
    open_errno_ = error;
    if (error == EACCES) {
      set_last_error(CreateFileFailed, static_cast<std::uint32_t>(error), kPermissionMessage);
      CLOG(LogError, "HidrawChannel::open exit (false, permission denied on %s): %s", node_.devnode.c_str(),
           kPermissionMessage);
    } else {
      set_last_error(CreateFileFailed, static_cast<std::uint32_t>(error), "open failed");
      CLOG(LogInfo, "HidrawChannel::open exit (false, open failed, errno=%d)", error);
    }
    return false;
  }
  open_errno_ = 0;
  fd_ = fd;
  if (!identity_read_ && !read_identity()) {
    const LastError kept = last_error();
    close_locked();
    last_error() = kept;
    return false;
  }
  if (read_wanted_) start_reader();
  CLOG(LogInfo, "HidrawChannel::open opened dev=%s", node_.devnode.c_str());
  CLOG(LogInfo, "HidrawChannel::open exit (true)");
  return true;
}

bool HidrawChannel::read_identity() {
  std::uint32_t bus_type = 0;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  if (system_->raw_info(fd_, bus_type, vendor, product) != 0) {
    set_last_error(GetAttributesFailed, static_cast<std::uint32_t>(errno));
    CLOG(LogInfo, "HidrawChannel::open exit (false, HIDIOCGRAWINFO failed)");
    return false;
  }
  CLOG(LogInfo, "HidrawChannel::open vid=0x%04x pid=0x%04x ver=0x%04x bus=%u", vendor, product, node_.version,
       bus_type);
  if (vendor != kVendorId) {
    set_last_error(ForeignVendor, product);
    CLOG(LogInfo, "HidrawChannel::open exit (false, ignoring non orvantis device)");
    return false;
  }
  std::vector<std::uint8_t> bytes;
  if (system_->report_descriptor(fd_, bytes) != 0) {
    set_last_error(GetPreparsedDataFailed, static_cast<std::uint32_t>(errno));
    CLOG(LogInfo, "HidrawChannel::open exit (false, HIDIOCGRDESC failed)");
    return false;
  }
  HidReportDescriptor descriptor;
  std::string why;
  if (!descriptor.parse(bytes, why)) {
    set_last_error(HidCapsFailed, 0, "malformed report descriptor");
    CLOG(LogWarning, "HidrawChannel::open exit (false, malformed report descriptor: %s)", why.c_str());
    return false;
  }
  int bits = 0;
  int need = 0;
  bool vendor_page = false;
  ErrorCode refusal = NotVendorUsagePage;
  std::map<unsigned, unsigned> outputs;
  std::map<unsigned, unsigned> inputs;
  for (const HidCollection& collection : descriptor.collections()) {
    CLOG(LogInfo, "HidrawChannel::open inReportLength=%u outReportLength=%u usagePage=0x%04x usage=0x%04x",
         collection.input_length, collection.output_length, collection.usage_page, collection.usage);
    CLOG(LogInfo, "HidrawChannel::open NumberInputCaps=%d NumberOutputCaps=%d", collection.input_caps,
         collection.output_caps);
    int bit = 0;
    const ErrorCode verdict = frap_collection(collection, bit);
    if (verdict != NotVendorUsagePage) vendor_page = true;
    if (verdict != NoError) {
      refusal = verdict;
      continue;
    }
    bits |= bit;
    need |= needed_collections(product, collection);
    for (unsigned id : collection.output_report_ids()) outputs[id] = collection.output_length;
    for (unsigned id : collection.input_report_ids()) inputs[id] = collection.input_length;
  }
  if (bits == 0 || outputs.empty()) {
    const ErrorCode code = vendor_page ? NotFrapCollection : refusal;
    set_last_error(code);
    CLOG(LogInfo, code == NotVendorUsagePage ? "HidrawChannel::open exit (false, not vendor usage page)"
                                             : "HidrawChannel::open exit (false, not a frapp collection usage code)");
    return false;
  }
  std::string name;
  if (system_->raw_name(fd_, name) != 0) {
    CLOG(LogWarning, "HidrawChannel::open HIDIOCGRAWNAME failed, err=%d", errno);
  } else {
    CLOG(LogInfo, "HIDIOCGRAWNAME returned str %s", name.c_str());
  }
  unsigned longest_output = 0;
  unsigned longest_input = 0;
  for (const auto& [id, length] : outputs) longest_output = std::max(longest_output, length);
  for (const auto& [id, length] : inputs) longest_input = std::max(longest_input, length);
  vendor_id_ = vendor;
  product_id_ = product;
  product_name_ = name;
  collection_bits_ = bits;
  collections_needed_ = need;
  uses_report_ids_ = descriptor.uses_report_ids();
  output_lengths_ = std::move(outputs);
  input_lengths_ = std::move(inputs);
  output_report_length_ = static_cast<std::uint16_t>(longest_output);
  // One byte more than the longest report, so that an oversized one shows.
  input_buffer_size_ = longest_input + 1;
  identity_read_ = true;
  CLOG(LogInfo, "HidrawChannel::open collection_bit=%d collections_needed=%d", bits, need);
  return true;
}

void HidrawChannel::close() {
  CLOG(LogInfo, "HidrawChannel::close enter, dev=%s", node_.devnode.c_str());
  std::thread reader;
  {
    std::lock_guard<std::mutex> guard(io_lock_);
    if (reader_.joinable()) {
      reader_state_->stop = true;
      if (stop_fd_ >= 0) eventfd_write(stop_fd_, 1);
      if (reader_.get_id() == std::this_thread::get_id()) {
        CLOG(LogError, "close is being called from the read thread, so detaching read thread instead of joining it");
        reader_.detach();
      } else {
        reader = std::move(reader_);
      }
    }
    reading_ = false;
  }
  // Joined without the lock: the read thread may be inside a callback that writes.
  if (reader.joinable()) reader.join();
  std::lock_guard<std::mutex> guard(io_lock_);
  close_locked();
  CLOG(LogInfo, "HidrawChannel::close exit");
}

void HidrawChannel::close_locked() {
  if (fd_ >= 0) {
    system_->close_node(fd_);
    CLOG(LogInfo, "HidrawChannel::close closed node %d", fd_);
    fd_ = -1;
  }
  if (stop_fd_ >= 0 && !reader_.joinable()) {
    ::close(stop_fd_);
    stop_fd_ = -1;
  }
}

bool HidrawChannel::on_subscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  CLOG(LogInfo, "HidrawChannel::on_subscribe enter");
  std::lock_guard<std::mutex> guard(io_lock_);
  read_wanted_ = true;
  if (fd_ >= 0) start_reader();
  CLOG(LogInfo, "HidrawChannel::on_subscribe exit, ret=1");
  return true;
}

void HidrawChannel::on_subscription_added(Subscriber<IHardwareDevice::Read>* /*s*/, bool /*immediate*/) { ++readers_; }

void HidrawChannel::on_unsubscribe(Subscriber<IHardwareDevice::Read>* /*s*/) { --readers_; }

void HidrawChannel::start_reader() {
  if (reading_) {
    CLOG(LogInfo, "HidrawChannel::on_subscribe device already has read thread");
    return;
  }
  if (reader_.joinable()) reader_.join();  // a reader that ended on its own (disconnect, detached close)
  if (stop_fd_ < 0) stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stop_fd_ < 0) {
    CLOG(LogError, "HidrawChannel::on_subscribe eventfd failed, err=%d", errno);
    return;
  }
  eventfd_t drained = 0;
  eventfd_read(stop_fd_, &drained);
  CLOG(LogInfo, "HidrawChannel::on_subscribe starting read thread");
  reader_state_ = std::make_shared<ReaderState>();
  reading_ = true;
  reader_ = std::thread(read_loop, weak_from_this(), system_, fd_, stop_fd_, reader_state_, input_buffer_size_);
  reader_id_ = reader_.get_id();
}

void HidrawChannel::read_loop(std::weak_ptr<HidrawChannel> weak, std::shared_ptr<IHidrawSystem> system, int fd,
                              int stop_fd, std::shared_ptr<ReaderState> state, std::size_t buffer_size) {
  CLOG(LogInfo, "HidrawChannel::read_thread start");
  std::vector<std::uint8_t> buffer(buffer_size);
  int consecutive_errors = 0;
  while (!state->stop) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int ready = system->poll_fds(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (state->stop || (ready > 0 && (fds[1].revents & POLLIN) != 0)) {
      CLOG(LogInfo, "HidrawChannel::read_thread got stop event");
      break;
    }
    ssize_t count = -1;
    int error = 0;
    if (ready < 0) {
      error = errno;
    } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
      // hidraw hangs up when its device goes; reports still queued are moot.
      error = ENODEV;
    } else if ((fds[0].revents & POLLIN) != 0) {
      count = system->read_node(fd, buffer.data(), buffer.size());
      if (count < 0) error = errno;
      // A live node never reads empty: end of file is the device gone.
      if (count == 0) {
        count = -1;
        error = ENODEV;
      }
    } else {
      continue;
    }
    if (count < 0 && (error == EAGAIN || error == EINTR)) {
      // Nothing yet. A node that polls readable and then has nothing (an
      // emulated node does so all the time) is asked again only after a
      // millisecond, still watching the stop descriptor meanwhile.
      pollfd stop{stop_fd, POLLIN, 0};
      if (error == EAGAIN) system->poll_fds(&stop, 1, 1);
      continue;
    }
    std::shared_ptr<HidrawChannel> self = weak.lock();
    if (!self || self->destructed_) break;
    if (count < 0) {
      if (error == ENODEV || error == EIO || error == EBADF || ++consecutive_errors > kMaxConsecutiveReadErrors) {
        self->disconnected(error);
        break;
      }
      CLOG(LogWarning, "HidrawChannel::read_thread read failed, err=%d", error);
      Producer<IHardwareDevice::Read>* producer = self.get();
      producer->produce([error](IHardwareDevice::Read* s) { s->onRead({}, false, static_cast<unsigned>(error), 0); },
                        "HidrawChannel::Read::onRead");
      continue;
    }
    consecutive_errors = 0;
    self->deliver(buffer.data(), static_cast<std::size_t>(count));
    // Released here, so that a channel whose last owner let go during the
    // event is destroyed on this thread while it still may be.
    self.reset();
  }
  CLOG(LogInfo, "HidrawChannel::read_thread end");
}

void HidrawChannel::deliver(const std::uint8_t* data, std::size_t count) {
  const unsigned id = uses_report_ids_ ? data[0] : 0;
  const auto known = input_lengths_.find(id);
  if (known == input_lengths_.end()) {
    CLOG(LogWarning, "HidrawChannel::read_thread dropping report with unknown id 0x%02x (%zu bytes)", id, count);
    return;
  }
  const std::size_t expected = known->second - (uses_report_ids_ ? 0 : 1);
  if (count != expected) {
    CLOG(LogWarning, "HidrawChannel::read_thread dropping %s report 0x%02x of %zu bytes (expected %zu)",
         count < expected ? "short" : "oversized", id, count, expected);
    return;
  }
  std::vector<Byte> report;
  report.reserve(known->second);
  if (!uses_report_ids_) report.push_back(0);
  report.insert(report.end(), data, data + count);
  log_traffic(product_id_, "R", report.data(), report.size());
  const auto size = static_cast<unsigned>(report.size());
  Producer<IHardwareDevice::Read>::produce(
      [&report, size](IHardwareDevice::Read* s) { s->onRead(report, false, 0, size); }, "HidrawChannel::Read::onRead");
}

void HidrawChannel::disconnected(int error) {
  CLOG(LogError, "HidrawChannel::read_thread device gone, err=%d", error);
  removed_ = true;
  if (std::shared_ptr<HidrawBus> bus = bus_.lock()) bus->read_failed_with_disconnect_error(node_.devnode);
  Producer<IHardwareDevice::Read>::produce(
      [error](IHardwareDevice::Read* s) { s->onRead({}, false, static_cast<unsigned>(error), 0); },
      "HidrawChannel::Read::onRead");
}

bool HidrawChannel::finish_write(std::vector<Byte>& report, ErrorCode result, std::uint32_t system) {
  if (result == WriteError) CLOG(LogWarning, "HidrawChannel::write WriteError, errcode_sys=%u", system);
  if (result == WriteTimeout) CLOG(LogWarning, "HidrawChannel::write WriteTimeout");
  if (result == NoError) {
    CLOG(LogInfo, "HidrawChannel::write successful");
  } else {
    set_last_error(result, system);
  }
  Producer<IHardwareDevice::Write>::produce(
      [&report, result, system](IHardwareDevice::Write* s) { s->onWrite(report, result, system); },
      "HidrawChannel::Write::onWrite");
  CLOG(LogInfo, "HidrawChannel::write exit, ret=%d", result == NoError);
  return result == NoError;
}

bool HidrawChannel::write(std::vector<Byte> report, bool blocking) {
  CLOG(LogInfo, "HidrawChannel::write enter");
  if (!open()) {
    CLOG(LogInfo, "HidrawChannel::write exit (false, open failed)");
    const LastError error = last_error();
    report.clear();
    return finish_write(report, error.code, error.system);
  }
  if (report.empty()) {
    CLOG(LogInfo, "HidrawChannel::write exit (false, WriteTooShort)");
    return finish_write(report, WriteTooShort, 0);
  }
  // The smallest output report that holds the message carries it.
  unsigned target = 0;
  for (const auto& [id, length] : output_lengths_) {
    if (length >= report.size()) {
      report[0] = static_cast<Byte>(id);
      target = length;
      break;
    }
  }
  if (target == 0) {
    CLOG(LogInfo, "HidrawChannel::write exit (false, WriteExceedsCollectionSize)");
    report.clear();
    return finish_write(report, WriteExceedsCollectionSize, 0);
  }
  report.resize(target, 0);
  if (blocking && !reading_) {
    CLOG(LogInfo, "HidrawChannel::write dev=%s", node_.devnode.c_str());
    CLOG(LogInfo, "HidrawChannel::write exit (false, CannotPerformWriteWithoutReadThreadRunning)");
    report.clear();
    return finish_write(report, CannotPerformWriteWithoutReadThreadRunning, 0);
  }
  if (blocking && reader_id_.load() == std::this_thread::get_id()) {
    CLOG(LogInfo, "HidrawChannel::write exit (false, CannotPerformBlockingWriteOnReadThread)");
    report.clear();
    return finish_write(report, CannotPerformBlockingWriteOnReadThread, 0);
  }
  log_traffic(product_id_, "W", report.data(), report.size());

  std::lock_guard<std::mutex> guard(io_lock_);
  if (fd_ < 0) {
    CLOG(LogInfo, "HidrawChannel::write exit (false, InvalidDeviceHandle)");
    return finish_write(report, InvalidDeviceHandle, 0);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(write_timeout_ms_);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    pollfd node{fd_, POLLOUT, 0};
    const int ready = left <= 0 ? 0 : system_->poll_fds(&node, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return finish_write(report, WriteError, static_cast<std::uint32_t>(errno));
    if (ready == 0) {
      CLOG(LogWarning, "HidrawChannel::write timeout after %u ms", write_timeout_ms_);
      return finish_write(report, WriteTimeout, 0);
    }
    if ((node.revents & POLLOUT) == 0) return finish_write(report, WriteError, ENODEV);
    if (system_->write_node(fd_, report.data(), report.size()) >= 0) return finish_write(report, NoError, 0);
    const int error = errno;
    if (error == EAGAIN || error == EINTR) continue;
    // A stalled endpoint is the device refusing this report, not the device gone.
    if (error == EPIPE) return finish_write(report, WriteGenFailure, static_cast<std::uint32_t>(error));
    return finish_write(report, WriteError, static_cast<std::uint32_t>(error));
  }
}

bool HidrawChannel::verify_connection_following_timeout() {
  CLOG(LogInfo, "HidrawChannel::verify_connection_following_timeout() enter");
  if (removed_) return false;
  std::shared_ptr<HidrawBus> bus = bus_.lock();
  if (!bus) {
    CLOG(LogInfo, "HidrawChannel::verify_connection_following_timeout could not lock bus");
    return true;
  }
  if (bus->node_present(node_.devnode)) {
    CLOG(LogInfo, "HidrawChannel::verify_connection_following_timeout exit, returning true");
    return true;
  }
  CLOG(LogWarning, "HidrawChannel::verify_connection_following_timeout returning false (is a zombie)");
  return false;
}

}  // namespace rodiz
