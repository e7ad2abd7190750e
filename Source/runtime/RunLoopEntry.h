#pragma once

#include <functional>
#include <string>

namespace rodiz {

// One queued delivery of an event to one run-loop subscriber.
struct RunLoopEntry {
  // Delivers the event; never empty.
  std::function<void()> call;
  // Identity of the subscriber the entry is for.
  const void* subscriber = nullptr;
  // Identity of the producer that raised it (the address of its run-loop set).
  const void* producer = nullptr;
  // Class, event interface and callback joined by "::".
  std::string name;
};

namespace runloop {

// The producers' side of the run-loop queue. The facade owns the queue; these
// calls are the only way in, so that the event mechanism does not depend on
// the facade's header.
void enqueue(RunLoopEntry entry);
// Discards the entries of one subscription (both identities must match).
void remove(const void* subscriber, const void* producer);
// Discards every entry raised by `producer`, whoever it is for. A producer
// calls this as it dies, so that no entry runs code captured from it.
void remove_producer(const void* producer);
// Discards every entry addressed to `subscriber`, whoever raised it. A
// subscriber calls this as it dies, so that no entry reaches freed memory even
// when its producer died first and could no longer be left.
void remove_subscriber(const void* subscriber);

}  // namespace runloop
}  // namespace rodiz
