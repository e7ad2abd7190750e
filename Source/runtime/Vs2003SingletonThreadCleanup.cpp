#include "runtime/Vs2003SingletonThreadCleanup.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "log/xLog.h"

namespace rodiz {

namespace {

struct CleanupRegistry {
  std::mutex lock;
  std::vector<std::function<void()>> cleanups;
  bool guard_present = false;
  bool cleanup_done = false;
};

CleanupRegistry& registry() {
  // Never destroyed: static destructors of other objects still consult it.
  static CleanupRegistry* instance = new CleanupRegistry;
  return *instance;
}

}  // namespace

Vs2003SingletonThreadCleanup::Vs2003SingletonThreadCleanup() {
  std::lock_guard<std::mutex> guard(registry().lock);
  registry().guard_present = true;
}

Vs2003SingletonThreadCleanup::~Vs2003SingletonThreadCleanup() { run_cleanups(); }

void Vs2003SingletonThreadCleanup::register_cleanup(std::function<void()> cleanup) {
  std::lock_guard<std::mutex> guard(registry().lock);
  registry().cleanups.push_back(std::move(cleanup));
}

void Vs2003SingletonThreadCleanup::run_cleanups() {
  std::vector<std::function<void()>> cleanups;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    cleanups.swap(registry().cleanups);
  }
  // Run without the lock: a cleanup may register or consult the registry.
  for (auto& cleanup : cleanups) cleanup();
  std::lock_guard<std::mutex> guard(registry().lock);
  registry().cleanup_done = true;
}

void Vs2003SingletonThreadCleanup::about_to_join() {
  bool present = false;
  {
    std::lock_guard<std::mutex> guard(registry().lock);
    present = registry().guard_present;
    if (present && !registry().cleanup_done) return;
  }
  xLogWrite("Untagged", LogInfo, "rodiz::Vs2003SingletonThreadCleanup::about_to_join",
            "joinable threads after main exited, so terminating process to avoid VS2003 runtime library crash");
  if (!present) {
    xLogWrite("Untagged", LogInfo, "rodiz::Vs2003SingletonThreadCleanup::about_to_join",
              "you should have put a Vs2003SingletonThreadCleanup guard object in main()");
  }
  // Ended with _Exit, not exit(): the one path that gets here is the static
  // destruction of the facade at process exit, and calling exit() while exit()
  // is already running is undefined (it would run the handlers and static
  // destructors that brought us here a second time). What normal exit would
  // still do for us is flushing the C streams; the log file writes through
  // and needs nothing more.
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace rodiz
