#include <gtest/gtest.h>

#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
#endif

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

#if defined(_WIN32)
// A crash ends the process at once with the exception code as its status,
// instead of waiting for a debugger or a crash dialog.
LONG WINAPI end_on_crash(EXCEPTION_POINTERS* info) {
  const DWORD code = info->ExceptionRecord->ExceptionCode;
  std::fprintf(stderr, "rodiz-test-main: unhandled exception 0x%08lx at %p\n", static_cast<unsigned long>(code),
               info->ExceptionRecord->ExceptionAddress);
  std::fflush(stderr);
  ::TerminateProcess(::GetCurrentProcess(), code);
  return EXCEPTION_EXECUTE_HANDLER;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  // As in the program: joining a library thread while main runs is allowed;
  // without the guard it ends the process with status 0, hiding the result.
  rodiz::Vs2003SingletonThreadCleanup guard;
#if defined(_WIN32)
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  ::SetUnhandledExceptionFilter(&end_on_crash);
#endif
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new LibraryEnvironment);
  const int status = RUN_ALL_TESTS();
  // The Wine runner (tools/wine-test.sh) fails a run without this line: the
  // program crashed or left before its last test.
  std::printf("rodiz-test-main: test run finished\n");
  std::fflush(stdout);
  return status;
}
