#include "app/AnswerWatch.h"

namespace mirel {

AnswerWatch::AnswerWatch(std::chrono::milliseconds limit) : m_limit(limit) {}

AnswerWatch::~AnswerWatch() {
  End();
  leave_all();
}

std::int64_t AnswerWatch::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void AnswerWatch::onReport(const std::vector<rodiz::Byte>&, unsigned int, unsigned int,
                           rodiz::IDevice::ReportType type) {
  if (type == rodiz::IDevice::Response || type == rodiz::IDevice::Notification) m_lastAnswer = Now();
}

void AnswerWatch::Begin(const std::shared_ptr<rodiz::IDevice>& device) {
  End();
  m_gaveUp = false;
  m_lastAnswer = Now();
  {
    std::lock_guard<std::mutex> hold(m_lock);
    m_ended = false;
  }
  // Immediate: the controller's thread is the one waiting for the answers.
  if (device && subscribe(device, rodiz::DeliveryImmediate, "AnswerWatch")) m_subscribed = device;
  std::weak_ptr<rodiz::IDevice> watched = device;
  m_thread = std::thread([this, watched] {
    std::unique_lock<std::mutex> hold(m_lock);
    while (!m_ended) {
      const std::int64_t silent_for = Now() - m_lastAnswer.load();
      const std::int64_t limit = std::chrono::duration_cast<std::chrono::nanoseconds>(m_limit).count();
      if (silent_for >= limit) break;
      m_wake.wait_for(hold, std::chrono::nanoseconds(limit - silent_for));
    }
    if (m_ended) return;
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
  if (m_subscribed) {
    unsubscribe(m_subscribed);
    m_subscribed.reset();
  }
  return m_gaveUp;
}

}  // namespace mirel
