#include "app/qt/QtControllerLoop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>
#include <algorithm>

namespace mirel {

namespace {

// One event type for both: a posted controller message, and a held delivery
// handed back to the loop.
const QEvent::Type kDeliveryEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class DeliveryEvent : public QEvent {
 public:
  DeliveryEvent(bool timer, unsigned id, std::uintptr_t wparam)
      : QEvent(kDeliveryEvent), timer_(timer), id_(id), wparam_(wparam) {}
  bool timer_;
  unsigned id_;
  std::uintptr_t wparam_;
};

}  // namespace

QtControllerLoop::QtControllerLoop(MessageHandler onMessage, TimerHandler onTimer, unsigned timeScale)
    : m_onMessage(std::move(onMessage)), m_onTimer(std::move(onTimer)), m_timeScale(std::max(1u, timeScale)) {}

QtControllerLoop::~QtControllerLoop() {
  for (const auto& [id, qtId] : m_timers) killTimer(qtId);
}

void QtControllerLoop::post(unsigned message, std::uintptr_t wparam) {
  // postEvent is safe from any thread and takes the event's ownership.
  QCoreApplication::postEvent(this, new DeliveryEvent(false, message, wparam));
}

void QtControllerLoop::set_timer(unsigned id, unsigned periodMs) {
  kill_timer(id);
  const unsigned scaled = std::max(1u, periodMs / m_timeScale);
  const int qtId = startTimer(static_cast<int>(std::min(scaled, 0x7FFFFFFFu)), Qt::PreciseTimer);
  if (qtId == 0) return;
  m_timers[id] = qtId;
  m_timerIds[qtId] = id;
}

void QtControllerLoop::kill_timer(unsigned id) {
  const auto it = m_timers.find(id);
  if (it == m_timers.end()) return;
  killTimer(it->second);
  m_timerIds.erase(it->second);
  m_timers.erase(it);
}

void QtControllerLoop::hold() { ++m_holds; }

void QtControllerLoop::release() {
  if (m_holds == 0 || --m_holds > 0) return;
  // Back through the loop, so that none of them runs inside the step that
  // released the hold.
  while (!m_held.empty()) {
    const Delivery delivery = m_held.front();
    m_held.pop_front();
    QCoreApplication::postEvent(this, new DeliveryEvent(delivery.timer, delivery.id, delivery.wparam));
  }
}

bool QtControllerLoop::event(QEvent* event) {
  if (event->type() != kDeliveryEvent) return QObject::event(event);
  const auto* delivery = static_cast<DeliveryEvent*>(event);
  deliver(Delivery{delivery->timer_, delivery->id_, delivery->wparam_});
  return true;
}

void QtControllerLoop::timerEvent(QTimerEvent* event) {
  const auto it = m_timerIds.find(event->timerId());
  if (it == m_timerIds.end()) return;
  deliver(Delivery{true, it->second, 0});
}

void QtControllerLoop::deliver(const Delivery& delivery) {
  if (m_holds > 0) {
    // A timer that fires again while held still counts once, as a window
    // timer's expiries do.
    const bool repeat = delivery.timer && std::any_of(m_held.begin(), m_held.end(), [&](const Delivery& held) {
                          return held.timer && held.id == delivery.id;
                        });
    if (!repeat) m_held.push_back(delivery);
    return;
  }
  if (delivery.timer) {
    // Killed while its expiry waited: nothing to deliver.
    if (m_timers.count(delivery.id) == 0) return;
    if (m_onTimer) m_onTimer(delivery.id);
  } else if (m_onMessage) {
    m_onMessage(delivery.id, delivery.wparam);
  }
}

}  // namespace mirel
