#include "device/SwidTable.h"

namespace rodiz {

void SwidTable::seen(int swid) {
  std::lock_guard<std::mutex> guard(lock_);
  ++counter_;
  last_seen_[static_cast<unsigned>(swid) & 0x0F] = counter_;
}

int SwidTable::least_recently_seen() {
  std::lock_guard<std::mutex> guard(lock_);
  int best = 1;
  for (int swid = 1; swid <= 15; ++swid) {
    if (last_seen_[static_cast<unsigned>(swid)] <= last_seen_[static_cast<unsigned>(best)]) best = swid;
  }
  return best;
}

}  // namespace rodiz
