#include <gtest/gtest.h>

#include "NamedMutex.h"
#include "log/XLogTesting.h"
#include "runtime/CRodiz.h"
#include "runtime/Vs2003SingletonThreadCleanup.h"
#include "support/ScopedTempDir.h"

namespace {

// Every test executable shares these: device locks in a private directory,
// and no device manager left alive at exit (the facade would otherwise end
// the process at static destruction, hiding the result).
class LibraryEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    locks_ = std::make_unique<rodiz::test::ScopedTempDir>();
    rodiz::NamedMutex::set_lock_directory_for_testing(locks_->str());
  }
  void TearDown() override {
    rodiz::facade().reset();
    // Joins the log thread: nothing of the log may run during static destruction.
    rodiz::XLogTesting::reset();
    locks_.reset();
  }

 private:
  std::unique_ptr<rodiz::test::ScopedTempDir> locks_;
};

}  // namespace

int main(int argc, char** argv) {
  // As in the program: joining a library thread while main runs is allowed;
  // without the guard it ends the process with status 0, hiding the result.
  rodiz::Vs2003SingletonThreadCleanup guard;
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  return RUN_ALL_TESTS();
}
