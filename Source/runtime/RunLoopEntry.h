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
// two calls are the only way in, so that the event mechanism does not depend
// on the facade's header.
void enqueue(RunLoopEntry entry);
void remove(const void* subscriber, const void* producer);

}  // namespace runloop
}  // namespace rodiz
