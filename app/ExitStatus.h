#pragma once

namespace mirel {

// The program's exit statuses, one for each way a run can end. Scripts rely
// on the numbers: they are listed in --help and the README and never change
// meaning. 0 is kept for a successful update.
enum class ExitStatus : int {
  // The mouse was updated and its settings restored.
  Updated = 0,
  // The update failed (also after the countdown that follows a failure), or
  // the program may not write its images to the mouse it found.
  Failed = 1,
  // The command line was not understood; nothing was done.
  BadCommandLine = 2,
  // The program was closed (or stopped) before an update finished.
  ClosedEarly = 3,
  // The mouse already has this firmware or a newer one; nothing was written.
  UpToDate = 4,
  // No usable mouse within the timeout: none was connected, it did not come
  // back after a restart, or it did not answer.
  NoDevice = 5,
  // --check found a mouse that needs the update; nothing was written.
  UpdateNeeded = 6,
};

constexpr int ToInt(ExitStatus status) { return static_cast<int>(status); }

// The word scripts see for a status in --json output ("updated", ...).
const char* ExitStatusName(ExitStatus status);

}  // namespace mirel
