// Cost of the log call: one that no output wants (filtered before any
// formatting) and one written to the log file on the caller's thread.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "log/XLogTesting.h"
#include "log/xLog.h"
#include "runtime/SettingsKey.h"

#if defined(_WIN32)
#include <process.h>
#define RODIZ_GETPID _getpid
#else
#include <unistd.h>
#define RODIZ_GETPID getpid
#endif

namespace {

constexpr const char* kKey = "Software\\Orvantis\\rodiz-bench";

void set_env(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  ::setenv(name, value.c_str(), 1);
#endif
}

// Settings and log files in a folder of the benchmark's own, removed at the end.
class BenchHome {
 public:
  BenchHome() : dir_(std::filesystem::temp_directory_path() / ("rodiz-bench-" + std::to_string(RODIZ_GETPID()))) {
    std::filesystem::create_directories(dir_);
    for (const char* variable : {"TMPDIR", "TMP", "TEMP"}) set_env(variable, dir_.string());
    set_env("XDG_CONFIG_HOME", (dir_ / "config").string());
    rodiz::XLogTesting::set_console_sink([](unsigned, const std::string&) {});
  }
  ~BenchHome() {
    rodiz::XLogTesting::reset();
    rodiz::SettingsKey::remove(kKey);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::filesystem::path dir_;
};

// Starts the log afresh with these outputs and the default tag filter.
void start_log(std::uint32_t output) {
  rodiz::SettingsKey::create(kKey)->set_dword("loggingoutput", output);
  rodiz::XLogTesting::reset(kKey);
  rodiz::xLogWrite("", rodiz::LogInfo, "rodiz::bench", "started");
}

// Level 4 goes nowhere with the debugger output alone (its highest level is 3).
void BM_LogCallAboveEveryOutputsLevel(benchmark::State& state) {
  start_log(2);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rodiz::xLogWrite("Device", rodiz::LogVerbose, "rodiz::Device::onRead", "report %d", ++i));
  }
}
BENCHMARK(BM_LogCallAboveEveryOutputsLevel);

// Level 3 of a tag the default filter hides: the filter runs, nothing is formatted.
void BM_LogCallHiddenByTagFilter(benchmark::State& state) {
  start_log(2);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        rodiz::xLogWrite("Device", rodiz::LogDebug, "rodiz::Device::sendSynchronousCommand", "-hid- request %d", ++i));
  }
}
BENCHMARK(BM_LogCallHiddenByTagFilter);

// Formatted, written and flushed to the log file by the calling thread.
void BM_LogCallWrittenToFile(benchmark::State& state) {
  start_log(4);
  int i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        rodiz::xLogWrite("Device", rodiz::LogDebug, "bool rodiz::Device::sendSynchronousCommand(int)",
                         "Device::sendSynchronousCommand request %d to feature 0x%04x", ++i, 0x00d0));
  }
}
BENCHMARK(BM_LogCallWrittenToFile)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  BenchHome home;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
