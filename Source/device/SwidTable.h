#pragma once

#include <array>
#include <mutex>

namespace rodiz {

// Remembers which software ids other programs use on one device, so that a
// colliding program can move to the id least recently seen from others.
class SwidTable {
 public:
  // Counts one report from other software carrying `swid` (0..15).
  void seen(int swid);
  // Among 1..15 the swid with the smallest last-seen count; on equal counts
  // the higher swid wins, so a never-seen high swid is preferred.
  int least_recently_seen();

 private:
  std::mutex lock_;
  int counter_ = 0;
  std::array<int, 16> last_seen_{};
};

}  // namespace rodiz
