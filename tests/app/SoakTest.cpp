// Many whole updates in one process, each with a fault drawn at random from a
// seeded generator: every run must end, in success or in the failure path;
// a later successful run must leave the settings as they were before the
// first; and the process's descriptors and threads must not grow.
//
// The test run does a short soak. A long one, with its figures:
//   RODIZ_SOAK_RUNS=200 RODIZ_SOAK_SEED=7 ASAN_OPTIONS=quarantine_size_mb=1
//   build/linux-asan/tests/app_soak_tests
// (on one line, with TMPDIR, HOME and XDG_CONFIG_HOME pointed at a scratch
// folder; the small quarantine makes the resident figure mean something).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "app/ProgramRun.h"

namespace mirel {
namespace {

using rodiz::sim::SimFaults;
using rodiz::sim::SimMouse;
using test::ProgramRun;
using test::UpdateRig;

int env_int(const char* name, int fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

std::size_t entries_in(const char* folder) {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) ++count;
  return count;
}

long resident_kib() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0;
  long resident = 0;
  statm >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

struct Usage {
  std::size_t descriptors;
  std::size_t threads;
  long resident;
};

Usage usage_now() { return {entries_in("/proc/self/fd"), entries_in("/proc/self/task"), resident_kib()}; }

// One fault of the kinds the simulated mouse offers, at a random point of one
// image (1600 bytes: 100 packets; 480 bytes: 30) or of the profile traffic.
// Faults that keep the mouse silent for good are left out: the program waits
// for a mouse like that until it is closed, which a soak cannot tell from a hang.
// A fault marked `every_attempt` is set again before each packet, so that the
// retries run out and the run takes the failure path.
struct Fault {
  std::string text;
  bool every_attempt = false;
};

Fault draw_fault(std::mt19937& random) {
  const int image = std::uniform_int_distribution<int>(1, 2)(random);
  const int packet = std::uniform_int_distribution<int>(1, image == 1 ? 99 : 29)(random);
  const std::string at = std::to_string(packet) + ",image=" + std::to_string(image);
  const int profile_request = std::uniform_int_distribution<int>(0, 40)(random);
  switch (std::uniform_int_distribution<int>(0, 12)(random)) {
    case 0:
    case 1:
      return {""};
    case 12:
      return {"status=" + at + ",refuse-restart", true};
    case 2:
      return {"drop=" + at};
    case 3:
      return {"late=" + at + ",late-ms=400"};
    case 4:
      return {"status=" + at};
    case 5:
      return {"error=" + at};
    case 6:
      return {"unsolicited=" + at};
    case 7:
      return {"vanish=" + at + ",reappear-ms=60"};
    case 8:
      return {"stay-away"};
    case 9:
      return {"refuse-restart"};
    case 10:
      return {(profile_request % 2 ? "drop-write=" : "drop-read=") + std::to_string(profile_request)};
    default:
      return {(profile_request % 2 ? "unplug-write=" : "unplug-read=") + std::to_string(profile_request)};
  }
}

TEST(SoakTest, ConsecutiveUpdatesWithRandomFaultsEndAndLeakNothing) {
  const int runs = env_int("RODIZ_SOAK_RUNS", 12);
  const unsigned seed = static_cast<unsigned>(env_int("RODIZ_SOAK_SEED", 20261209));
  std::mt19937 random(seed);

  const rodiz::sim::SimMouseConfig config = ProgramRun::small_mouse();
  UpdateRig rig(config);
  const auto sectors = rig.mouse->sectors();
  const int active_profile = rig.mouse->active_profile();
  const int resolution = rig.mouse->resolution_index();
  const auto led = rig.mouse->nv_config(1);

  Usage baseline{};
  Usage halfway{};
  int succeeded = 0;
  int failed = 0;
  for (int run = 0; run < runs; ++run) {
    const Fault fault = draw_fault(random);
    SCOPED_TRACE("run " + std::to_string(run) + " of seed " + std::to_string(seed) + ", faults \"" + fault.text +
                 (fault.every_attempt ? "\" on every attempt" : "\""));
    SimFaults faults;
    std::string error;
    ASSERT_TRUE(SimFaults::parse(fault.text, &faults, &error)) << error;
    rig.mouse->set_faults(faults);
    {
      ProgramRun program(rig, ProgramRun::small_images());
      if (fault.every_attempt) {
        program.set_user([&](CMirelDFUDlg&) { rig.mouse->set_faults(faults); });
      } else {
        program.switch_off_and_on_when_asked(rig.mouse);
      }
      ASSERT_TRUE(program.go(std::chrono::seconds(60))) << "the run did not end, state " << program.dialog().state();
      const int state = program.dialog().state();
      // Up to date: the mouse came back on its new firmware only after the
      // window, whose timers run fast here, had given it up; the settings
      // copy is then written back on its arrival all the same.
      ASSERT_TRUE(state == CMirelDFUDlg::Succeeded || state == CMirelDFUDlg::UpToDate || state == CMirelDFUDlg::Failed)
          << "state " << state;
      if (state != CMirelDFUDlg::Failed) {
        ++succeeded;
        EXPECT_EQ(7, rig.mouse->version().build);  // the package's 14.2.7
        // Whatever earlier runs met, the settings are the ones of before the first.
        EXPECT_TRUE(sectors == rig.mouse->sectors()) << "the profiles were not written back, state " << state;
        EXPECT_EQ(active_profile, rig.mouse->active_profile());
        EXPECT_EQ(resolution, rig.mouse->resolution_index());
        EXPECT_EQ(led, rig.mouse->nv_config(1));
      } else {
        ++failed;
        EXPECT_TRUE(CMirelDFUDlg::failure_path_taken());
      }
    }
    CMirelDFUDlg::reset_failure_path_for_testing();
    rig.mouse->set_faults(SimFaults());
    rig.mouse->wait_idle(std::chrono::milliseconds(200));
    // An updated mouse goes back to the old firmware for the next run; a
    // failed one is left as the failure left it, for the next run to mend.
    if (rig.mouse->mode() == SimMouse::Mode::Application && rig.mouse->version().build != config.version.build) {
      rig.mouse->set_firmware(config.version, config.type6_build);
    }
    ProgramRun::restart_library(rig);
    if (run == 0) baseline = usage_now();
    if (run == runs / 2) halfway = usage_now();
    if (HasFatalFailure()) break;
  }

  const Usage end = usage_now();
  std::printf(
      "soak: seed %u, %d runs: %d succeeded, %d failed; descriptors %zu -> %zu, threads %zu -> %zu, "
      "resident %ld -> %ld -> %ld KiB (after the first run, halfway, at the end)\n",
      seed, runs, succeeded, failed, baseline.descriptors, end.descriptors, baseline.threads, end.threads,
      baseline.resident, halfway.resident, end.resident);
  RecordProperty("runs", runs);
  RecordProperty("succeeded", succeeded);
  RecordProperty("resident_growth_kib", static_cast<int>(end.resident - baseline.resident));
  EXPECT_LE(end.descriptors, baseline.descriptors);
  EXPECT_LE(end.threads, baseline.threads);
  EXPECT_GT(succeeded, 0);
}

}  // namespace
}  // namespace mirel
