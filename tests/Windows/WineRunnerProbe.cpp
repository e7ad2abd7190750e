// Cases for checking the Wine test runner (tools/wine-test.sh) itself: each
// ctest entry runs one of them and expects the runner's verdict. They are not
// part of any test suite run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

TEST(WineRunnerProbe, Passes) { SUCCEED(); }

// An address no process can map (Wine may map the page at 0); the pointer
// is volatile so the compiler cannot reason about it.
void write_nowhere() {
  int* volatile nowhere = reinterpret_cast<int*>(0xFFFF800000000000ULL);
  *nowhere = 1;
}

TEST(WineRunnerProbe, Crashes) { write_nowhere(); }

TEST(WineRunnerProbe, CrashesOnAnotherThread) { std::thread(write_nowhere).join(); }

// As a library thread joined at static destruction would (status 0, results lost).
TEST(WineRunnerProbe, LeavesEarlyWithStatusZero) { std::_Exit(0); }

}  // namespace
