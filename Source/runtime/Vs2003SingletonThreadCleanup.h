#pragma once

#include <functional>

namespace rodiz {

// Runs the library's shutdown functions at the end of the application's main
// scope, while library threads can still be joined safely. The application
// puts one guard object first in main(); its destructor runs every registered
// function in registration order, once.
class Vs2003SingletonThreadCleanup {
 public:
  // Marks the guard present.
  Vs2003SingletonThreadCleanup();
  // Runs the registered shutdown functions.
  ~Vs2003SingletonThreadCleanup();
  Vs2003SingletonThreadCleanup(const Vs2003SingletonThreadCleanup&) = delete;
  Vs2003SingletonThreadCleanup& operator=(const Vs2003SingletonThreadCleanup&) = delete;

  static void register_cleanup(std::function<void()> cleanup);
  // Called before joining library threads from a destructor. Returns when the
  // guard is present and has not run yet; otherwise (static destruction after
  // main, or no guard at all) ends the process with exit code 0 instead of
  // joining.
  static void about_to_join();
  // Runs the registered functions now (what the guard's destructor does).
  static void run_cleanups();
};

}  // namespace rodiz
