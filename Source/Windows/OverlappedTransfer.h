#pragma once

#include <windows.h>

#include <atomic>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// One overlapped read or write: its OVERLAPPED record, its completion event
// and its buffer live together in this object, which must stay alive for as
// long as the system may still write into them. Its owner starts the I/O
// with start_read or start_write and must not destroy the object while
// `pending()` is true; a transfer that is given up is cancelled and kept
// until it completes (or, if the system never finishes it, kept for good).
class OverlappedTransfer {
 public:
  // The event is manual-reset, so that its state stays readable after a wait.
  explicit OverlappedTransfer(std::size_t buffer_size);
  ~OverlappedTransfer();
  OverlappedTransfer(const OverlappedTransfer&) = delete;
  OverlappedTransfer& operator=(const OverlappedTransfer&) = delete;

  // False when the event could not be made; nothing may be started then.
  bool valid() const { return event_ != nullptr; }
  HANDLE event() const { return event_; }
  std::vector<Byte>& buffer() { return buffer_; }

  // Starts the I/O on `file` with the whole buffer. Returns true when it
  // completed at once or is pending; false (with the system error in
  // `*error`) when it failed at once.
  bool start_read(HANDLE file, DWORD* error);
  bool start_write(HANDLE file, DWORD* error);
  // The system may still write into this object.
  bool pending() const;
  // The outcome of a transfer that is no longer pending: true with the byte
  // count, or false with the system error.
  bool result(DWORD* bytes, DWORD* error);
  // Asks the system to cancel this transfer (no wait).
  void cancel();
  // Waits up to `timeout_ms` for the transfer to finish; true when it has.
  bool wait_finished(DWORD timeout_ms);

  // Objects alive now, and objects that were destroyed while the system could
  // still write into them (must stay 0: each would be a use after free).
  static long live_count();
  static long destroyed_while_pending();

 private:
  bool start(HANDLE file, bool write, DWORD* error);

  OVERLAPPED overlapped_{};
  HANDLE event_ = nullptr;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  bool started_ = false;
  std::vector<Byte> buffer_;

  static std::atomic<long> live_;
  static std::atomic<long> destroyed_pending_;
};

}  // namespace rodiz
