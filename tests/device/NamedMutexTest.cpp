#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "NamedMutex.h"
#include "device/Device.h"
#include "device/LastError.h"
#include "support/FakeChannel.h"
#include "support/ScopedTempDir.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace rodiz {
namespace {

TEST(NamedMutexTest, LockWithoutAHandleFailsInsteadOfGoingOnUnlocked) {
  NamedMutex unnamed;
  EXPECT_FALSE(unnamed.valid());
  EXPECT_FALSE(unnamed.lock());
  EXPECT_EQ(SystemCallFailed, last_error_code());
}

TEST(NamedMutexTest, TwoObjectsOfOneNameExcludeEachOther) {
  NamedMutex first("rodiz_test_exclusion");
  NamedMutex second("rodiz_test_exclusion");
  ASSERT_TRUE(first.lock());
  std::atomic<bool> second_has_it{false};
  std::thread other([&] {
    ASSERT_TRUE(second.lock());
    second_has_it = true;
    second.unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(second_has_it);
  first.unlock();
  other.join();
  EXPECT_TRUE(second_has_it);
}

#if !defined(_WIN32)
TEST(NamedMutexTest, ExcludesAnotherProcess) {
  NamedMutex mine("rodiz_test_process");
  ASSERT_TRUE(mine.lock());
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child may only take the lock once the parent released it.
    NamedMutex theirs("rodiz_test_process");
    const auto started = std::chrono::steady_clock::now();
    const bool locked = theirs.lock();
    const auto waited = std::chrono::steady_clock::now() - started;
    ::_exit(locked && waited >= std::chrono::milliseconds(80) ? 0 : 1);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  mine.unlock();
  int status = 0;
  ASSERT_EQ(child, ::waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(NamedMutexTest, ExchangeFailsWhenTheLockCannotBeCreated) {
  test::ScopedTempDir dir;
  const std::string usual = NamedMutex::lock_directory();
  NamedMutex::set_lock_directory_for_testing(dir.str() + "/missing");
  auto channel = std::make_shared<test::FakeChannel>();
  auto device = std::make_shared<Device>(std::weak_ptr<IDeviceManager>(), channel);
  device->initDevice(nullptr);
  NamedMutex::set_lock_directory_for_testing(usual);
  std::vector<Byte> response;
  EXPECT_FALSE(device->sendSynchronousCommand({0x10, 0xFF, 0x02, 0x1F, 0, 0, 0}, response, 0, {}));
  EXPECT_EQ(SystemCallFailed, last_error_code());
  EXPECT_EQ(0u, channel->write_count());
}
#endif

}  // namespace
}  // namespace rodiz
