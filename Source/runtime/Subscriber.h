#pragma once

#include <map>
#include <memory>
#include <string>

#include "device/LastError.h"
#include "runtime/Producer.h"

namespace rodiz {

// Base of every object that receives the event interface E; override the
// callbacks of E. A subscriber remembers (weakly) every producer it joined and
// leaves them all when destroyed, which also discards its queued run-loop
// entries. Its own bookkeeping is not locked: subscribe, unsubscribe and
// destruction happen on one thread at a time.
template <class E>
class Subscriber : public E {
 public:
  Subscriber() = default;
  Subscriber(const Subscriber&) = delete;
  Subscriber& operator=(const Subscriber&) = delete;

  // Also drops entries queued for this subscriber by producers that are
  // already gone: leave_all() can no longer reach those.
  ~Subscriber() override {
    leave_all();
    runloop::remove_subscriber(static_cast<const void*>(static_cast<Subscriber<E>*>(this)));
  }

  // Joins the producer of E behind `target` (any library object). Fails with
  // SubscribeCastFailed when `target` does not raise E. Joining a producer that
  // is already joined succeeds without changing the delivery mode. `name`
  // labels the subscription for readers of the code; it is not interpreted.
  template <class T>
  bool subscribe(const std::shared_ptr<T>& target, int delivery, const std::string& name = std::string()) {
    (void)name;
    std::shared_ptr<Producer<E>> producer = std::dynamic_pointer_cast<Producer<E>>(target);
    if (!producer) {
      set_last_error(SubscribeCastFailed, 0, "dynamic pointer cast in subscribe failed");
      return false;
    }
    auto it = producers_.find(producer.get());
    if (it != producers_.end() && !it->second.expired()) return true;
    if (!producer->subscribe(this, delivery)) return false;
    producers_[producer.get()] = producer;
    return true;
  }

  template <class T>
  void unsubscribe(const std::shared_ptr<T>& target) {
    std::shared_ptr<Producer<E>> producer = std::dynamic_pointer_cast<Producer<E>>(target);
    if (!producer) return;
    auto it = producers_.find(producer.get());
    if (it == producers_.end()) return;
    producers_.erase(it);
    producer->unsubscribe(this);
  }

  // Whether this subscriber currently records `target` as joined.
  template <class T>
  bool is_subscribed_to(const std::shared_ptr<T>& target) const {
    std::shared_ptr<Producer<E>> producer = std::dynamic_pointer_cast<Producer<E>>(target);
    if (!producer) return false;
    auto it = producers_.find(producer.get());
    return it != producers_.end() && !it->second.expired();
  }

 protected:
  // Leaves every producer still alive. Classes whose callbacks may run on
  // other threads call this first thing in their own destructor, so that no
  // callback reaches a half-destroyed object.
  void leave_all() {
    auto producers = std::move(producers_);
    producers_.clear();
    for (auto& entry : producers) {
      if (std::shared_ptr<Producer<E>> producer = entry.second.lock()) producer->unsubscribe(this);
    }
  }

 private:
  std::map<Producer<E>*, std::weak_ptr<Producer<E>>> producers_;
};

}  // namespace rodiz
