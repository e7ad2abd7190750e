#include "app/AnswerWatch.h"

#include "device/IDevice.h"

namespace mirel {

AnswerWatch::AnswerWatch(std::chrono::milliseconds limit) : m_limit(limit) {}

AnswerWatch::~AnswerWatch() { End(); }

void AnswerWatch::Begin(const std::shared_ptr<rodiz::IDevice>& device) {
  End();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ended = false;
  }
  m_gaveUp = false;
  std::weak_ptr<rodiz::IDevice> watched = device;
  m_thread = std::thread([this, watched] {
    std::unique_lock<std::mutex> hold(m_lock);
    if (m_wake.wait_for(hold, m_limit, [this] { return m_ended; })) return;
    hold.unlock();
    if (std::shared_ptr<rodiz::IDevice> silent = watched.lock()) {
      m_gaveUp = true;
      silent->abandon();
    }
  });
}

bool AnswerWatch::End() {
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ended = true;
  }
  m_wake.notify_all();
  if (m_thread.joinable()) m_thread.join();
  return m_gaveUp;
}

}  // namespace mirel
