#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "app/HostSoftware.h"

namespace mirel {

// The host software on Linux: the same program run under a compatibility
// layer, or a native build of it. Running instances are found through /proc
// by the image name, compared ignoring case with the name of the process's
// executable and with the file name of its command line's first word (a
// program run under Wine has the loader as its executable and its Windows
// path there). Only processes of this program's own user are ever signalled.
//
// ShutDown asks every instance to quit with SIGTERM, waits up to 1000 ms for
// them (less when all have gone), then ends what remains with SIGKILL,
// waiting up to 1000 ms for each. Processes are held through process file
// descriptors from the moment they are listed, so a process that ends and
// whose id is reused meanwhile is never signalled; one that is gone before it
// is signalled is no error. The executable and command line of the first
// instance found are remembered; Relaunch starts that command line again
// when it is given that executable, or `path` alone otherwise, detached from
// this program (own session, standard streams on /dev/null).
class LinuxHostSoftware : public HostSoftware {
 public:
  // `image_name`: the name to look for; tests pass names of their own so that
  // they never meet another program.
  explicit LinuxHostSoftware(std::string image_name = kImageName);

  std::string ShutDown(bool* was_running) override;
  void Relaunch(const std::string& path) override;
  void TraceOtherUsers(const std::string& device_path) override;

  // What ShutDown remembered of the first instance it found.
  const std::string& executable() const { return m_executable; }
  const std::vector<std::string>& command_line() const { return m_commandLine; }

 private:
  struct Instance {
    pid_t pid = 0;
    int pidfd = -1;
    std::string executable;
    std::vector<std::string> arguments;
  };
  std::vector<Instance> FindInstances() const;

  std::string m_imageName;
  std::string m_executable;
  std::vector<std::string> m_commandLine;
};

}  // namespace mirel
