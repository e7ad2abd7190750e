#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace rodiz {
class IDevice;
}

namespace mirel {

// Guards a blocking exchange with a mouse that may not answer at all. The
// library retries a silent device for half a minute and more; the
// controller's thread would be stuck in that call and nothing could say why.
// Between Begin and End a thread of this object waits; if End has not come
// within the limit, it abandons the device's exchanges (IDevice::abandon), so
// that the blocked call fails at once and the controller can say that the
// mouse does not answer. An abandoned device stays unusable; the mouse has
// to be connected again.
class AnswerWatch {
 public:
  explicit AnswerWatch(std::chrono::milliseconds limit);
  ~AnswerWatch();
  AnswerWatch(const AnswerWatch&) = delete;
  AnswerWatch& operator=(const AnswerWatch&) = delete;

  // Starts watching `device` (held weakly); ends a watch still running.
  void Begin(const std::shared_ptr<rodiz::IDevice>& device);
  // Ends the watch; true when the limit passed first and the device was
  // abandoned.
  bool End();
  std::chrono::milliseconds limit() const { return m_limit; }

 private:
  const std::chrono::milliseconds m_limit;
  std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_ended = true;
  std::atomic<bool> m_gaveUp{false};
  std::thread m_thread;
};

}  // namespace mirel
