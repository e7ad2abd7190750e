#include "app/DeviceNodeUsers.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

namespace mirel {

namespace {

bool is_char_device(const std::string& path, dev_t* device) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  *device = info.st_rdev;
  return true;
}

std::vector<int> process_ids() {
  std::vector<int> pids;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && pid > 0) pids.push_back(static_cast<int>(pid));
  }
  ::closedir(proc);
  std::sort(pids.begin(), pids.end());
  return pids;
}

}  // namespace

std::vector<std::string> DeviceNodeUsers::NodesOf(const std::string& device_path) {
  dev_t device = 0;
  if (is_char_device(device_path, &device)) return {device_path};
  std::vector<std::string> nodes;
  std::error_code error;
  if (device_path.rfind("/sys/", 0) != 0 || !std::filesystem::is_directory(device_path, error)) return nodes;
  // A USB interface's folder holds its HID devices, each with hidraw/hidrawN.
  std::filesystem::recursive_directory_iterator it(device_path, error), end;
  for (; !error && it != end; it.increment(error)) {
    if (it.depth() > 3) {
      it.disable_recursion_pending();
      continue;
    }
    const std::string name = it->path().filename().string();
    if (name.rfind("hidraw", 0) == 0 && name.size() > 6 && it->path().parent_path().filename() == "hidraw") {
      nodes.push_back("/dev/" + name);
    }
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

std::vector<DeviceNodeUsers::User> DeviceNodeUsers::Find(const std::vector<std::string>& nodes) {
  std::vector<User> users;
  std::vector<std::pair<dev_t, std::string>> devices;
  for (const std::string& node : nodes) {
    dev_t device = 0;
    if (is_char_device(node, &device)) devices.emplace_back(device, node);
  }
  if (devices.empty()) return users;
  const int self = static_cast<int>(::getpid());
  for (const int pid : process_ids()) {
    if (pid == self) continue;
    const std::string dir = "/proc/" + std::to_string(pid);
    DIR* fds = ::opendir((dir + "/fd").c_str());
    if (fds == nullptr) continue;  // another user's, or gone
    std::set<std::string> held;
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      struct stat info {};
      if (::stat((dir + "/fd/" + entry->d_name).c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) continue;
      for (const auto& [device, node] : devices) {
        if (info.st_rdev == device) held.insert(node);
      }
    }
    ::closedir(fds);
    if (held.empty()) continue;
    std::string name;
    std::ifstream comm(dir + "/comm");
    std::getline(comm, name);
    for (const std::string& node : held) users.push_back(User{pid, name, node});
  }
  return users;
}

}  // namespace mirel
