#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "runtime/RunLoopEntry.h"

namespace rodiz {

// Delivery modes of a subscription. Any other value is accepted and ignored.
enum Delivery : int {
  DeliveryRunLoop = 0,    // queued; runs on the thread that drains the run loop
  DeliveryImmediate = 1,  // runs inside produce(), on the producing thread
};

template <class E>
class Subscriber;

// Base of every object that raises the event interface E. Immediate callbacks
// run while the producer's (non-recursive) lock is held, so a callback must not
// subscribe, unsubscribe or produce on the same producer. The hooks run
// without the lock.
template <class E>
class Producer {
 public:
  using Call = std::function<void(E*)>;

  Producer() = default;
  Producer(const Producer&) = delete;
  Producer& operator=(const Producer&) = delete;
  // Subscribers are not told; their weak references simply expire. Entries
  // still queued from this producer are discarded: they capture its state.
  virtual ~Producer() { runloop::remove_producer(runloop_identity()); }

  // Registers `s` for `delivery`. A subscriber already registered in that mode
  // is left alone (true, no hook). Returns false only when on_subscribe refuses.
  virtual bool subscribe(Subscriber<E>* s, int delivery) {
    if (delivery != DeliveryRunLoop && delivery != DeliveryImmediate) return true;
    std::set<Subscriber<E>*>& set = delivery == DeliveryImmediate ? immediate_ : runloop_;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (set.count(s) != 0) return true;
    }
    if (!on_subscribe(s)) return false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      set.insert(s);
    }
    // Outside the lock: the hook may itself produce (the run-loop producer does).
    on_subscription_added(s, delivery == DeliveryImmediate);
    return true;
  }

  // Removes `s` from both modes; run-loop entries already queued for it from
  // this producer are discarded so they never run.
  virtual void unsubscribe(Subscriber<E>* s) {
    bool was_immediate = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      was_immediate = immediate_.erase(s) != 0;
    }
    if (was_immediate) on_unsubscribe(s);
    bool was_runloop = false;
    {
      std::lock_guard<std::mutex> guard(lock_);
      was_runloop = runloop_.erase(s) != 0;
    }
    if (was_runloop) {
      on_unsubscribe(s);
      runloop::remove(static_cast<const void*>(s), runloop_identity());
    }
  }

  // Raises the event: immediate subscribers are called now, run-loop
  // subscribers get one queued entry each. `name` is "Class::Event::callback".
  virtual void produce(const Call& call, const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    for (Subscriber<E>* s : immediate_) call(s);
    for (Subscriber<E>* s : runloop_) {
      RunLoopEntry entry;
      entry.call = [call, s] { call(s); };
      entry.subscriber = static_cast<const void*>(s);
      entry.producer = runloop_identity();
      entry.name = name;
      runloop::enqueue(std::move(entry));
    }
  }

  virtual int subscriber_count() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(immediate_.size() + runloop_.size());
  }

 protected:
  // Asked before a new subscription is stored; false refuses it (the hook sets
  // LastError). Producers start lazy work here.
  virtual bool on_subscribe(Subscriber<E>* /*s*/) { return true; }
  // Told after a new subscription is stored, `immediate` true for delivery 1.
  virtual void on_subscription_added(Subscriber<E>* /*s*/, bool /*immediate*/) {}
  // Told after a subscription was removed.
  virtual void on_unsubscribe(Subscriber<E>* /*s*/) {}

  // The producer's identity in run-loop entries.
  const void* runloop_identity() const { return static_cast<const void*>(&runloop_); }

  // Calls `call` for each immediate subscriber only (for events that are
  // defined to reach immediate subscribers alone), without the lock, so that
  // a callback may subscribe or unsubscribe. A subscriber that leaves while
  // the others are being called is not called afterwards; the caller must
  // not destroy a subscriber on another thread during the call.
  void produce_immediate_only(const Call& call) {
    std::vector<Subscriber<E>*> targets;
    {
      std::lock_guard<std::mutex> guard(lock_);
      targets.assign(immediate_.begin(), immediate_.end());
    }
    for (Subscriber<E>* s : targets) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (immediate_.count(s) == 0) continue;
      }
      call(s);
    }
  }

 private:
  std::set<Subscriber<E>*> immediate_;
  std::set<Subscriber<E>*> runloop_;
  std::mutex lock_;
};

}  // namespace rodiz

// Delivery converts a Subscriber<E>* to E*, which needs the complete type.
#include "runtime/Subscriber.h"
