#include "Windows/OverlappedTransfer.h"

#include "log/xLog.h"

namespace rodiz {

std::atomic<long> OverlappedTransfer::live_{0};
std::atomic<long> OverlappedTransfer::destroyed_pending_{0};

OverlappedTransfer::OverlappedTransfer(std::size_t buffer_size) : buffer_(buffer_size, 0) {
  event_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  overlapped_.hEvent = event_;
  ++live_;
}

OverlappedTransfer::~OverlappedTransfer() {
  if (pending()) {
    ++destroyed_pending_;
    xLogWrite("OverlappedTransfer", LogError, "rodiz::OverlappedTransfer::~OverlappedTransfer",
              "destroyed while the system may still write into it");
  }
  if (event_ != nullptr) ::CloseHandle(event_);
  --live_;
}

bool OverlappedTransfer::start(HANDLE file, bool write, DWORD* error) {
  *error = 0;
  if (!valid()) {
    *error = ERROR_INVALID_HANDLE;
    return false;
  }
  const HANDLE event = overlapped_.hEvent;
  overlapped_ = OVERLAPPED{};
  overlapped_.hEvent = event;
  ::ResetEvent(event_);
  file_ = file;
  const DWORD size = static_cast<DWORD>(buffer_.size());
  const BOOL done = write ? ::WriteFile(file, buffer_.data(), size, nullptr, &overlapped_)
                          : ::ReadFile(file, buffer_.data(), size, nullptr, &overlapped_);
  if (done) {
    started_ = true;
    return true;
  }
  const DWORD code = ::GetLastError();
  if (code == ERROR_IO_PENDING) {
    started_ = true;
    return true;
  }
  // Failed at once: the system keeps nothing of ours.
  started_ = false;
  *error = code;
  return false;
}

bool OverlappedTransfer::start_read(HANDLE file, DWORD* error) { return start(file, false, error); }

bool OverlappedTransfer::start_write(HANDLE file, DWORD* error) { return start(file, true, error); }

bool OverlappedTransfer::pending() const { return started_ && !HasOverlappedIoCompleted(&overlapped_); }

bool OverlappedTransfer::result(DWORD* bytes, DWORD* error) {
  *bytes = 0;
  *error = 0;
  if (::GetOverlappedResult(file_, &overlapped_, bytes, FALSE)) return true;
  *error = ::GetLastError();
  return false;
}

void OverlappedTransfer::cancel() {
  if (pending()) ::CancelIoEx(file_, &overlapped_);
}

bool OverlappedTransfer::wait_finished(DWORD timeout_ms) {
  if (!pending()) return true;
  ::WaitForSingleObject(event_, timeout_ms);
  return !pending();
}

long OverlappedTransfer::live_count() { return live_.load(); }

long OverlappedTransfer::destroyed_while_pending() { return destroyed_pending_.load(); }

}  // namespace rodiz
