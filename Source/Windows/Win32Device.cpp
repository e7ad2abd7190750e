#include "Windows/Win32Device.h"

#include <algorithm>
#include <cstdio>

#include "Windows/BleHidPath.h"
#include "Windows/OverlappedTransfer.h"
#include "Windows/WideText.h"
#include "Windows/Win32Bus.h"
#include "device/LastError.h"
#include "log/xLog.h"
#include "runtime/RodizException.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Win32Device";
#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

// How long close waits for writes given up on time-out, and the read thread
// for its cancelled read, before leaving them to the system for good.
constexpr DWORD kCancelWaitMs = 1000;
// Reads that fail this many times in a row will not recover: the loop stops
// rather than spin on them.
constexpr unsigned kMaxFailedReads = 8;

// "-hid- 0x%x [W]: 11 ff ..." in a 256-byte line; what does not fit is dropped.
void log_traffic(const char* function, int pid, const char* direction, const Byte* data, std::size_t size) {
  char line[256];
  int used = std::snprintf(line, sizeof line, "-hid- 0x%x [%s]: ", static_cast<unsigned>(pid), direction);
  for (std::size_t i = 0; i < size && used > 0 && static_cast<std::size_t>(used) + 4 < sizeof line; ++i) {
    used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used), "%02x ", data[i]);
  }
  xLogWrite(kTag, LogVerbose, function, "%s", line);
}

// Frees the preparsed data on every way out of the identity checks.
class PreparsedData {
 public:
  explicit PreparsedData(IWin32System& system) : system_(system) {}
  ~PreparsedData() {
    if (data_ == nullptr) return;
    try {
      system_.HidD_FreePreparsedData(data_);
    } catch (const RodizException&) {
      // hid.dll gave us the data, so it is loaded; nothing to do.
    }
  }
  PreparsedData(const PreparsedData&) = delete;
  PreparsedData& operator=(const PreparsedData&) = delete;
  PHIDP_PREPARSED_DATA* out() { return &data_; }
  PHIDP_PREPARSED_DATA get() const { return data_; }

 private:
  IWin32System& system_;
  PHIDP_PREPARSED_DATA data_ = nullptr;
};

}  // namespace

// What the read thread owns: it outlives the channel when the channel is
// destroyed or closed from inside a Read callback, so that the pending read's
// buffer, OVERLAPPED record and events stay valid until the system is done.
struct Win32Device::ReadContext {
  HANDLE file = INVALID_HANDLE_VALUE;  // not owned: the bus or the channel closes it
  HDEVNOTIFY notification = nullptr;
  HANDLE stop_event = nullptr;
  std::unique_ptr<OverlappedTransfer> transfer;
  std::atomic<bool> running{true};
  int pid = 0;
  std::string path;
  std::mutex lock;
  std::condition_variable changed;
  bool started = false;

  ~ReadContext() {
    if (transfer && transfer->pending()) {
      transfer->cancel();
      if (!transfer->wait_finished(kCancelWaitMs)) {
        // The system still holds the read: leaving it allocated is the only
        // safe choice.
        xLogWrite(kTag, LogError, "ReadContext", "read not finished after cancel, leaving its buffer to the system");
        static_cast<void>(transfer.release());
      }
    }
    if (stop_event != nullptr) ::CloseHandle(stop_event);
  }
};

Win32Device::Win32Device(std::weak_ptr<Win32Bus> bus, std::shared_ptr<IWin32System> system, std::string path,
                         DWORD /*device_node*/)
    : bus_(std::move(bus)), system_(std::move(system)), path_(std::move(path)) {}

Win32Device::~Win32Device() {
  DLOG(LogInfo, "Win32Device::~Win32Device enter");
  destructed_ = true;
  close();
  DLOG(LogInfo, "Win32Device::~Win32Device exit");
}

std::weak_ptr<IHardwareBus> Win32Device::owning_bus() {
  std::shared_ptr<Win32Bus> bus = bus_.lock();
  return bus ? std::weak_ptr<IHardwareBus>(bus) : std::weak_ptr<IHardwareBus>();
}

std::string Win32Device::name() { return product_name_; }

int Win32Device::collections_needed() {
  if (product_id_ == 0x5800) return 2;
  if (usage_page_ == 0xFF43) return usage_ >> 8;
  if (usage_page_ == 0xFF00 && (usage_ == 1 || usage_ == 2)) return 3;
  return usage_ & 0xFF;
}

std::string Win32Device::combine_key() {
  return collections_needed() == collection_bit() ? path_ : parent_instance_id_;
}

std::map<unsigned, unsigned> Win32Device::report_lengths() const { return report_lengths_; }

std::size_t Win32Device::abandoned_writes() {
  std::lock_guard<std::mutex> guard(lock_);
  reap_abandoned_locked();
  return abandoned_.size();
}

bool Win32Device::open() {
  std::unique_lock<std::mutex> guard(lock_);
  if (removed_) {
    DLOG(LogInfo, "Win32Device::open exit (false, DeviceRemoved)");
    set_last_error(DeviceRemoved);
    return false;
  }
  if (destructed_) {
    DLOG(LogInfo, "Win32Device::open enter/exit (false, already destructed)");
    set_last_error(ShuttingDown);
    return false;
  }
  if (is_open_) {
    DLOG(LogInfo, "Win32Device::open verifying handle that is already open");
    const HDEVNOTIFY notification = notification_;
    const HANDLE handle = handle_;
    guard.unlock();
    std::shared_ptr<Win32Bus> bus = bus_.lock();
    if (notification != nullptr && bus && bus->verifyDeviceNotificationHandleOpen(notification, handle)) {
      DLOG(LogInfo, "Win32Device::open exit (true, already open)");
      return true;
    }
    close();
    DLOG(LogInfo, "Win32Device::open handle not valid, reopening");
    guard.lock();
    if (is_open_) return true;  // another thread reopened it meanwhile
  }
  try {
    return open_locked();
  } catch (const RodizException& e) {
    // A system library or function is missing: a clean failure, not a crash
    // on whichever thread asked.
    e.store_in_last_error();
    DLOG(LogError, "Win32Device::open exit (false, %s)", e.what());
    close_locked();
    return false;
  }
}

bool Win32Device::open_locked() {
  if (path_.empty()) {
    set_last_error(NoFilePath);
    DLOG(LogInfo, "Win32Device::open exit (false, no filepath)");
    return false;
  }
  DLOG(LogInfo, "Opening device '%s'", path_.c_str());
  const std::wstring wide = WideText::widen(path_);
  handle_ = system_->CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE || handle_ == nullptr) {
    handle_ = INVALID_HANDLE_VALUE;
    set_last_error(CreateFileFailed, ::GetLastError(), "CreateFile failed");
    DLOG(LogInfo, "Win32Device::open exit (false, CreateFile failed)");
    return false;
  }
  is_open_ = true;

  if (!attributes_read_ && !read_identity()) {
    const LastError saved = last_error();
    close_locked();
    last_error() = saved;
    return false;
  }

  std::shared_ptr<Win32Bus> bus = bus_.lock();
  if (!bus) {
    DLOG(LogInfo, "Win32Device::open could not lock bus to register handle");
    close_locked();
    set_last_error(ShuttingDown);
    return false;
  }
  notification_ = bus->registerDeviceNotificationAndTakeOwnershipOfHandle(handle_);
  if (notification_ == nullptr) {
    const LastError saved = last_error();
    close_locked();
    DLOG(LogInfo, "Win32Device::open exit (false, could not register device notification)");
    last_error() = saved;
    return false;
  }
  if (read_wanted_) start_read_thread_locked();
  DLOG(LogInfo, "Win32Device::open opened dev=%s", path_.c_str());
  DLOG(LogInfo, "Win32Device::open exit (true)");
  return true;
}

bool Win32Device::read_identity() {
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (!system_->HidD_GetAttributes(handle_, &attributes)) {
    set_last_error(GetAttributesFailed, ::GetLastError());
    DLOG(LogInfo, "Win32Device::open exit (false, HidD_GetAttributes failed)");
    return false;
  }
  vendor_id_ = attributes.VendorID;
  product_id_ = attributes.ProductID;
  version_ = attributes.VersionNumber;
  DLOG(LogInfo, "Win32Device::open vid=0x%04x pid=0x%04x ver=0x%04x", vendor_id_, product_id_, version_);

  if (vendor_id_ == 0 && product_id_ == 0) {
    // A Bluetooth low-energy collection: its ids are in its path.
    BleHidPath::Ids ids;
    if (BleHidPath::parse(path_, &ids)) {
      vendor_id_ = ids.vendor;
      product_id_ = ids.product;
    }
    if (!ids.vendor_text.empty()) {
      DLOG(LogInfo, "vid is %s and pid is %s", ids.vendor_text.c_str(), ids.product_text.c_str());
    }
  }
  if (vendor_id_ != kVendorId) {
    set_last_error(ForeignVendor, product_id_);
    DLOG(LogInfo, "Win32Device::open exit (false, ignoring non orvantis device)");
    return false;
  }

  PreparsedData data(*system_);
  if (!system_->HidD_GetPreparsedData(handle_, data.out())) {
    set_last_error(GetPreparsedDataFailed, ::GetLastError());
    DLOG(LogInfo, "Win32Device::open exit (false, HidD_GetPreparsedData failed)");
    return false;
  }
  HIDP_CAPS caps{};
  if (system_->HidP_GetCaps(data.get(), &caps) < 0) {
    set_last_error(HidCapsFailed, ::GetLastError());
    DLOG(LogInfo, "Win32Device::open exit (false, HidP_GetCaps failed)");
    return false;
  }
  output_report_length_ = caps.OutputReportByteLength;
  usage_ = caps.Usage;
  usage_page_ = caps.UsagePage;
  DLOG(LogInfo, "Win32Device::open inReportLength=%d outReportLength=%d usagePage=0x%04x usage=0x%04x",
       caps.InputReportByteLength, caps.OutputReportByteLength, caps.UsagePage, caps.Usage);
  DLOG(LogInfo, "Win32Device::open NumberInputDataIndices=%d NumberInputValueCaps=%d NumberInputButtonCaps=%d",
       caps.NumberInputDataIndices, caps.NumberInputValueCaps, caps.NumberInputButtonCaps);
  DLOG(LogInfo, "Win32Device::open NumberOutputDataIndices=%d NumberOutputValueCaps=%d NumberOutputButtonCaps=%d",
       caps.NumberOutputDataIndices, caps.NumberOutputValueCaps, caps.NumberOutputButtonCaps);
  DLOG(LogInfo, "Win32Device::open NumberLinkCollectionNodes=%d featureLength=%d", caps.NumberLinkCollectionNodes,
       caps.FeatureReportByteLength);

  bool usage_ok = false;
  if (usage_page_ == 0xFF00) {
    usage_ok = usage_ == 1 || usage_ == 2;
  } else if (usage_page_ == 0xFF43) {
    const unsigned t = usage_ & 0xFF;
    const unsigned x = usage_ >> 8;
    unsigned b = 8;
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (t == (1u << bit)) b = bit;
    }
    DLOG(LogInfo, "Win32Device::open thisusage=%u expected=%u bit=%u", t, x, b);
    usage_ok = b < 8 && (x & t) != 0;
  } else {
    set_last_error(NotVendorUsagePage);
    DLOG(LogInfo, "Win32Device::open exit (false, not vendor usage page)");
    return false;
  }
  if (!usage_ok) {
    set_last_error(NotFrapCollection);
    DLOG(LogInfo, "Win32Device::open exit (false, not a frapp collection usage code)");
    return false;
  }
  if (caps.NumberOutputValueCaps + caps.NumberOutputButtonCaps != 1 ||
      caps.NumberInputValueCaps + caps.NumberInputButtonCaps != 1) {
    set_last_error(NotFrapCollection);
    DLOG(LogInfo, "Win32Device::open exit (false, not just a single button or value cap)");
    return false;
  }
  if (caps.InputReportByteLength != caps.OutputReportByteLength) {
    set_last_error(NotFrapCollection);
    DLOG(LogInfo, "Win32Device::open exit (false, mismatched input and output report sizes)");
    return false;
  }
  if (output_report_length_ < 2) {
    // A report must hold its id and at least one byte.
    set_last_error(NotFrapCollection);
    DLOG(LogInfo, "Win32Device::open exit (false, report too short)");
    return false;
  }

  report_lengths_.clear();
  if (caps.NumberOutputValueCaps > 0) {
    std::vector<HIDP_VALUE_CAPS> values(caps.NumberOutputValueCaps);
    USHORT count = caps.NumberOutputValueCaps;
    const NTSTATUS status = system_->HidP_GetValueCaps(HidP_Output, values.data(), &count, data.get());
    if (status < 0) {
      const DWORD error = ::GetLastError();
      set_last_error(HidCapsFailed, error);
      DLOG(LogInfo, "Win32Device::open exit (false, HidP_GetValueCaps failed status=%lx err=%lu)",
           static_cast<unsigned long>(status), error);
      return false;
    }
    for (std::size_t i = 0; i < count && i < values.size(); ++i) {
      const HIDP_VALUE_CAPS& cap = values[i];
      DLOG(LogInfo, "Win32Device::open valcap%d reportid=%d bitsize=%d count=%d isrange=%d usage=%d",
           static_cast<int>(i), cap.ReportID, cap.BitSize, cap.ReportCount, cap.IsRange,
           cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage);
      report_lengths_[cap.ReportID] = output_report_length_;
    }
  }
  if (caps.NumberOutputButtonCaps > 0) {
    std::vector<HIDP_BUTTON_CAPS> buttons(caps.NumberOutputButtonCaps);
    USHORT count = caps.NumberOutputButtonCaps;
    const NTSTATUS status = system_->HidP_GetButtonCaps(HidP_Output, buttons.data(), &count, data.get());
    if (status < 0) {
      const DWORD error = ::GetLastError();
      set_last_error(HidCapsFailed, error);
      DLOG(LogInfo, "Win32Device::open exit (false, HidP_GetButtonCaps failed status=%lx err=%lu)",
           static_cast<unsigned long>(status), error);
      return false;
    }
    for (std::size_t i = 0; i < count && i < buttons.size(); ++i) {
      const HIDP_BUTTON_CAPS& cap = buttons[i];
      DLOG(LogInfo, "Win32Device::open butcap%d reportid=%d isrange=%d usage=%d", static_cast<int>(i), cap.ReportID,
           cap.IsRange, cap.IsRange ? cap.Range.UsageMin : cap.NotRange.Usage);
      report_lengths_[cap.ReportID] = output_report_length_;
    }
  }

  wchar_t product[126] = {};
  if (!system_->HidD_GetProductString(handle_, product, sizeof product)) {
    DLOG(LogWarning, "Win32Device::open HidD_GetProductString failed, err=%lu", ::GetLastError());
  } else {
    product_name_.clear();
    for (std::size_t i = 0; i < 126 && product[i] != 0; ++i) {
      product_name_.push_back(static_cast<char>(product[i] & 0xFF));
    }
    DLOG(LogInfo, "HidD_GetProductString returned str %s", product_name_.c_str());
  }
  attributes_read_ = true;

  if (collections_needed() != collection_bit() && parent_instance_id_.empty()) read_parent_instance();
  return true;
}

void Win32Device::read_parent_instance() {
  // The parent device node is the physical device that all collections of
  // one device share; a failure leaves the key empty.
  parent_instance_id_ = system_->setupdi_parent(system_->setupdi_instance_from_path(path_));
}

bool Win32Device::on_subscribe(Subscriber<IHardwareDevice::Read>* /*s*/) {
  DLOG(LogInfo, "Win32Device::on_subscribe enter");
  std::lock_guard<std::mutex> guard(lock_);
  read_wanted_ = true;
  if (is_open_) start_read_thread_locked();
  DLOG(LogInfo, "Win32Device::on_subscribe exit, ret=%d", 1);
  return true;
}

void Win32Device::start_read_thread_locked() {
  if (read_running_) {
    DLOG(LogInfo, "Win32Device::on_subscribe device already has read thread");
    return;
  }
  DLOG(LogInfo, "Win32Device::on_subscribe starting read thread");
  auto context = std::make_shared<ReadContext>();
  context->file = handle_;
  context->notification = notification_;
  context->pid = product_id_;
  context->path = path_;
  context->stop_event = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  context->transfer = std::make_unique<OverlappedTransfer>(output_report_length_);
  if (context->stop_event == nullptr || !context->transfer->valid()) {
    DLOG(LogError, "Win32Device::on_subscribe could not create the read events, err=%lu", ::GetLastError());
    return;
  }
  read_running_ = true;
  read_ended_ = false;
  read_context_ = context;
  reader_ = std::make_unique<std::thread>(&Win32Device::read_thread, weak_from_this(), context);
  DLOG(LogInfo, "Win32Device::on_subscribe waiting for read thread to start");
  std::unique_lock<std::mutex> wait(context->lock);
  context->changed.wait(wait, [&] { return context->started; });
}

void Win32Device::read_thread(std::weak_ptr<Win32Device> weak, std::shared_ptr<ReadContext> context) {
  const char* const function = "rodiz::Win32Device::read_thread";
  xLogWrite(kTag, LogInfo, function, "Win32Device::read_thread start");
  {
    std::lock_guard<std::mutex> guard(context->lock);
    context->started = true;
  }
  context->changed.notify_all();
  {
    std::shared_ptr<Win32Device> self = weak.lock();
    if (!self || self->destructed_) {
      xLogWrite(kTag, LogInfo, function, "Win32Device::read_thread end (already destructed)");
      return;
    }
    self->reader_thread_id_ = ::GetCurrentThreadId();
  }
  OverlappedTransfer& transfer = *context->transfer;
  unsigned failures = 0;
  while (context->running) {
    DWORD error = 0;
    DWORD bytes = 0;
    bool success = false;
    if (transfer.start_read(context->file, &error)) {
      const HANDLE events[2] = {context->stop_event, transfer.event()};
      const DWORD waited = ::WaitForMultipleObjects(2, events, FALSE, INFINITE);
      if (waited == WAIT_OBJECT_0) {
        // The context's destructor cancels the pending read and waits for it.
        xLogWrite(kTag, LogInfo, function, "Win32Device::read_thread got stop event");
        context->running = false;
        break;
      }
      if (waited != WAIT_OBJECT_0 + 1) {
        xLogWrite(kTag, LogError, function, "Win32Device::read_thread wait failed, err=%lu", ::GetLastError());
        context->running = false;
        break;
      }
      success = transfer.result(&bytes, &error);
    }

    std::shared_ptr<Win32Device> self = weak.lock();
    if (!self || self->destructed_) {
      xLogWrite(kTag, LogInfo, function,
                "Win32Device::read_thread stopping because destructed (before producing event)");
      context->running = false;
      break;
    }
    if (!success && error == ERROR_DEVICE_NOT_CONNECTED) {
      xLogWrite(kTag, LogError, function, "Win32Device::read_thread ERROR_DEVICE_NOT_CONNECTED");
      if (std::shared_ptr<Win32Bus> bus = self->bus_.lock()) {
        bus->read_failed_with_disconnect_error(context->path);
        self->removed_ = true;
      }
      self->produce_read({}, ERROR_DEVICE_NOT_CONNECTED, 0);
      context->running = false;
      break;
    }
    if (success) {
      log_traffic(function, context->pid, "R", transfer.buffer().data(), bytes);
      if (bytes < transfer.buffer().size()) {
        // Only what was read is passed on: the rest of the buffer is stale.
        xLogWrite(kTag, LogWarning, function, "Win32Device::read_thread short read (%lu of %u bytes)", bytes,
                  static_cast<unsigned>(transfer.buffer().size()));
      }
    }
    xLogWrite(kTag, LogVerbose, function, "Win32Device::read_thread producing event");
    std::vector<Byte> report;
    if (success) report.assign(transfer.buffer().begin(), transfer.buffer().begin() + bytes);
    self->produce_read(std::move(report), success ? 0 : error, bytes);
    if (self->destructed_) {
      xLogWrite(kTag, LogInfo, function,
                "Win32Device::read_thread stopping because destructed (after producing event)");
      context->running = false;
      break;
    }
    failures = success ? 0 : failures + 1;
    if (failures >= kMaxFailedReads) {
      xLogWrite(kTag, LogError, function, "Win32Device::read_thread %u reads failed in a row (err=%lu), stopping",
                failures, error);
      context->running = false;
      break;
    }
    if (!success) {
      // Once the handle is gone (closed by the bus on a removal query, or
      // invalid) every further read fails at once: stop instead of spinning.
      std::shared_ptr<Win32Bus> bus = self->bus_.lock();
      const bool handle_gone = error == ERROR_INVALID_HANDLE || !bus ||
                               !bus->verifyDeviceNotificationHandleOpen(context->notification, context->file);
      if (handle_gone) {
        xLogWrite(kTag, LogInfo, function, "Win32Device::read_thread handle closed, stopping");
        context->running = false;
        break;
      }
    }
    // Dropping the last reference here destroys the channel on this thread;
    // its close detaches this thread and clears `running`.
    self.reset();
  }
  if (std::shared_ptr<Win32Device> self = weak.lock()) self->read_ended_ = true;
  xLogWrite(kTag, LogInfo, function, "Win32Device::read_thread end");
}

void Win32Device::produce_read(std::vector<Byte> report, unsigned system_error, unsigned count) {
  Producer<IHardwareDevice::Read>::produce(
      [report = std::move(report), system_error, count](IHardwareDevice::Read* s) {
        s->onRead(report, false, system_error, count);
      },
      "Win32Device::Read::onRead");
}

void Win32Device::produce_write(const std::vector<Byte>& report) {
  const LastError error = last_error();
  Producer<IHardwareDevice::Write>::produce(
      [report, error](IHardwareDevice::Write* s) { s->onWrite(report, error.code, error.system); },
      "Win32Device::Write::onWrite");
}

bool Win32Device::write(std::vector<Byte> report, bool blocking) {
  DLOG(LogVerbose, "Win32Device::write enter");
  if (!open()) {
    DLOG(LogInfo, "Win32Device::write exit (false, open failed)");
    produce_write({});
    return false;
  }
  std::unique_ptr<OverlappedTransfer> transfer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    reap_abandoned_locked();
    ErrorCode early = NoError;
    if (handle_ == INVALID_HANDLE_VALUE) {
      early = InvalidDeviceHandle;
      DLOG(LogInfo, "Win32Device::write exit (false, InvalidDeviceHandle)");
    } else if (report.empty()) {
      early = WriteTooShort;
      DLOG(LogInfo, "Win32Device::write exit (false, WriteTooShort)");
    } else {
      for (const auto& [id, length] : report_lengths_) {
        if (length >= report.size()) {
          report[0] = static_cast<Byte>(id);
          break;
        }
      }
      if (report.size() > output_report_length_) {
        early = WriteExceedsCollectionSize;
        DLOG(LogInfo, "Win32Device::write exit (false, WriteExceedsCollectionSize)");
      } else {
        report.resize(output_report_length_, 0);
      }
    }
    if (early == NoError && blocking) {
      if (!read_running_) {
        early = CannotPerformWriteWithoutReadThreadRunning;
        DLOG(LogInfo, "Win32Device::write dev=%s", path_.c_str());
        DLOG(LogInfo, "Win32Device::write exit (false, CannotPerformWriteWithoutReadThreadRunning)");
      } else if (reader_thread_id_ == ::GetCurrentThreadId()) {
        early = CannotPerformBlockingWriteOnReadThread;
        DLOG(LogInfo, "Win32Device::write exit (false, CannotPerformBlockingWriteOnReadThread)");
      }
    }
    if (early != NoError) {
      set_last_error(early);
      produce_write({});
      return false;
    }
    log_traffic("rodiz::Win32Device::write", product_id_, "W", report.data(), report.size());
    transfer = std::make_unique<OverlappedTransfer>(report.size());
    std::copy(report.begin(), report.end(), transfer->buffer().begin());
    DWORD error = 0;
    if (!transfer->start_write(handle_, &error)) {
      set_last_error(WriteError, error == 0 ? ::GetLastError() : error);
      transfer.reset();
    }
  }

  if (transfer) {
    const DWORD waited = ::WaitForSingleObject(transfer->event(), write_timeout_ms_);
    if (waited != WAIT_OBJECT_0) {
      DLOG(LogWarning, "Win32Device::write timeout, waitresult=0x%08lx", waited);
      set_last_error(WriteTimeout);
      transfer->cancel();
      // Not waited for: the transfer is kept until the system has finished
      // with its buffer and OVERLAPPED record.
      std::lock_guard<std::mutex> guard(lock_);
      abandoned_.push_back(std::move(transfer));
    } else {
      DWORD bytes = 0;
      DWORD error = 0;
      if (transfer->result(&bytes, &error)) {
        clear_last_error();
      } else {
        set_last_error(WriteError, error);
      }
    }
  }

  if (last_error_code() == WriteError) {
    DLOG(LogWarning, "Win32Device::write WriteError, errcode_sys=%u", last_error().system);
    if (last_error().system == ERROR_GEN_FAILURE) set_last_error(WriteGenFailure, ERROR_GEN_FAILURE);
  } else if (last_error_code() == WriteTimeout) {
    DLOG(LogWarning, "Win32Device::write WriteTimeout");
  }
  const bool ok = last_error_code() == NoError;
  if (ok) DLOG(LogVerbose, "Win32Device::write successful");
  produce_write(report);
  DLOG(LogVerbose, "Win32Device::write exit, ret=%d", ok ? 1 : 0);
  return ok;
}

void Win32Device::reap_abandoned_locked() {
  std::erase_if(abandoned_, [](const std::unique_ptr<OverlappedTransfer>& t) { return !t->pending(); });
}

void Win32Device::stop_read_thread() {
  std::unique_ptr<std::thread> reader;
  std::shared_ptr<ReadContext> context;
  {
    std::lock_guard<std::mutex> guard(lock_);
    reader = std::move(reader_);
    context = std::move(read_context_);
    read_running_ = false;
  }
  if (!reader) return;
  context->running = false;
  ::SetEvent(context->stop_event);
  if (reader->get_id() == std::this_thread::get_id()) {
    DLOG(LogError, "close is being called from the read thread, so detaching read thread instead of joining it");
    reader->detach();
  } else {
    try {
      reader->join();
    } catch (const std::exception& e) {
      DLOG(LogError, "Win32Device::close join failed: %s", e.what());
    }
  }
  reader_thread_id_ = 0;
}

void Win32Device::close() {
  DLOG(LogInfo, "Win32Device::close enter, dev=%s", path_.c_str());
  stop_read_thread();
  std::lock_guard<std::mutex> guard(lock_);
  close_locked();
}

void Win32Device::close_locked() {
  // Writes given up earlier are cancelled while the handle is still ours.
  for (auto& transfer : abandoned_) transfer->cancel();
  if (notification_ != nullptr) {
    if (std::shared_ptr<Win32Bus> bus = bus_.lock()) {
      bus->unregisterDeviceNotificationAndCloseTrackedHandle(notification_, handle_);
    }
    // The bus owns the handle from registration on.
    handle_ = INVALID_HANDLE_VALUE;
    notification_ = nullptr;
  } else if (handle_ != INVALID_HANDLE_VALUE) {
    ::CloseHandle(handle_);
    DLOG(LogInfo, "Win32Device::close closed handle %p", handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  const ULONGLONG deadline = ::GetTickCount64() + kCancelWaitMs;
  for (auto& transfer : abandoned_) {
    const ULONGLONG now = ::GetTickCount64();
    if (!transfer->wait_finished(now < deadline ? static_cast<DWORD>(deadline - now) : 0)) {
      DLOG(LogError, "Win32Device::close a cancelled write is still pending, leaving its buffer to the system");
      static_cast<void>(transfer.release());
    }
  }
  abandoned_.clear();
  is_open_ = false;
  DLOG(LogInfo, "Win32Device::close exit");
}

bool Win32Device::verify_connection_following_timeout() {
  DLOG(LogInfo, "Win32Device::verify_connection_following_timeout() enter");
  std::shared_ptr<Win32Bus> bus = bus_.lock();
  if (!bus) {
    DLOG(LogInfo, "Win32Device::verify_connection_following_timeout could not lock bus");
    return true;
  }
  if (bus->verify_device_exists(path_)) {
    DLOG(LogInfo, "Win32Device::verify_connection_following_timeout exit, returning true");
    return true;
  }
  DLOG(LogWarning, "Win32Device::verify_connection_following_timeout returning false (is a zombie)");
  return false;
}

}  // namespace rodiz
