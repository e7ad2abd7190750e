#include "app/ExitStatus.h"

namespace mirel {

const char* ExitStatusName(ExitStatus status) {
  switch (status) {
    case ExitStatus::Updated:
      return "updated";
    case ExitStatus::Failed:
      return "failed";
    case ExitStatus::BadCommandLine:
      return "bad-command-line";
    case ExitStatus::ClosedEarly:
      return "closed-early";
    case ExitStatus::UpToDate:
      return "up-to-date";
    case ExitStatus::NoDevice:
      return "no-device";
    case ExitStatus::UpdateNeeded:
      return "update-needed";
  }
  return "unknown";
}

}  // namespace mirel
