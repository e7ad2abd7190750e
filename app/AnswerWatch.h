#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/IDevice.h"
#include "runtime/Subscriber.h"

namespace mirel {

// Guards blocking exchanges with a mouse that may not answer at all. The
// library retries a silent device for half a minute and more; the
// controller's thread would be stuck in that call and nothing could say why.
// Between Begin and End a thread of this object waits; when no answer of the
// device has arrived for the limit (the command engine's own time-out is
// shorter, so a single lost answer and its retry pass), it abandons the
// device's exchanges (IDevice::abandon), so that the blocked call fails at
// once and the controller can say that the mouse does not answer. Answers
// carrying another program's id do not count. An abandoned device stays
// unusable: the mouse has to be connected again.
//
// Begin and End are called on one thread (the controller's); the device's
// answers arrive on its read thread.
class AnswerWatch : public rodiz::Subscriber<rodiz::IDevice::Report> {
 public:
  explicit AnswerWatch(std::chrono::milliseconds limit);
  ~AnswerWatch() override;
  AnswerWatch(const AnswerWatch&) = delete;
  AnswerWatch& operator=(const AnswerWatch&) = delete;

  // Starts watching `device` (held weakly); ends a watch still running.
  void Begin(const std::shared_ptr<rodiz::IDevice>& device);
  // Ends the watch; true when the device was abandoned for its silence.
  bool End();
  std::chrono::milliseconds limit() const { return m_limit; }

  // The device's reports (its read thread).
  void onReport(const std::vector<rodiz::Byte>& report, unsigned int system_error, unsigned int byte_count,
                rodiz::IDevice::ReportType type) override;

 private:
  static std::int64_t Now();

  const std::chrono::milliseconds m_limit;
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_ended = true;
  std::atomic<std::int64_t> m_lastAnswer{0};
  std::atomic<bool> m_gaveUp{false};
  std::shared_ptr<rodiz::IDevice> m_subscribed;
  std::thread m_thread;
};

}  // namespace mirel
