#include <gtest/gtest.h>

#include "NamedMutex.h"
#include "runtime/CRodiz.h"
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
    locks_.reset();
  }

 private:
  std::unique_ptr<rodiz::test::ScopedTempDir> locks_;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  return RUN_ALL_TESTS();
}
