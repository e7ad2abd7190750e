#pragma once

#include <string>
#include <vector>

namespace mirel {

// Finds the other processes that hold a device's nodes open (Linux, through
// /proc/<pid>/fd). Only what this user may read is seen: other users'
// processes are visible to an administrator only.
class DeviceNodeUsers {
 public:
  struct User {
    int pid = 0;
    std::string name;  // the process's name (/proc/<pid>/comm)
    std::string node;  // which of the nodes it holds
  };

  // The device nodes behind a device's path: the path itself when it is a
  // character device; the hidraw nodes below it when it is a sysfs folder
  // (a device made of several interfaces); nothing otherwise.
  static std::vector<std::string> NodesOf(const std::string& device_path);
  // The processes other than this one with a descriptor open on one of
  // `nodes` (the same device number, whatever name they opened it by), in
  // order of process id.
  static std::vector<User> Find(const std::vector<std::string>& nodes);
};

}  // namespace mirel
