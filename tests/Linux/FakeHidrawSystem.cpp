#include "Linux/FakeHidrawSystem.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace rodiz::test {

FakeHidrawSystem::~FakeHidrawSystem() {
  stop_monitor();
  for (auto& [path, state] : nodes_) {
    if (state.device_fd >= 0) ::close(state.device_fd);
  }
}

void FakeHidrawSystem::add(Node node, bool announce) {
  if (announce) {
    // The node appears when its event is taken, so that a burst keeps its order.
    HidrawEvent event;
    event.kind = HidrawEvent::Kind::Add;
    event.node = node.info;
    std::lock_guard<std::mutex> guard(lock_);
    pending_adds_.push_back(std::move(node));
    queue(std::move(event));
    return;
  }
  std::lock_guard<std::mutex> guard(lock_);
  put(std::move(node));
}

void FakeHidrawSystem::put(Node node) {
  State& state = nodes_[node.info.devnode];
  if (state.device_fd >= 0) ::close(state.device_fd);
  state = State();
  state.node = std::move(node);
}

void FakeHidrawSystem::remove(const std::string& devnode, bool announce) {
  if (announce) {
    // The node goes when its event is taken, so that a burst keeps its order.
    HidrawEvent event;
    event.kind = HidrawEvent::Kind::Remove;
    event.node.devnode = devnode;
    push(event);
    return;
  }
  std::lock_guard<std::mutex> guard(lock_);
  take_away(nodes_[devnode]);
}

void FakeHidrawSystem::take_away(State& state) {
  state.present = false;
  if (state.device_fd >= 0) ::close(state.device_fd);
  state.device_fd = -1;
}

void FakeHidrawSystem::set_eacces_opens(const std::string& devnode, int count) {
  std::lock_guard<std::mutex> guard(lock_);
  nodes_[devnode].node.eacces_opens = count;
}

void FakeHidrawSystem::set_block_writes(const std::string& devnode, bool block) {
  std::lock_guard<std::mutex> guard(lock_);
  nodes_[devnode].node.block_writes = block;
}

void FakeHidrawSystem::fail_next_read(const std::string& devnode, int error) {
  std::lock_guard<std::mutex> guard(lock_);
  State& state = nodes_[devnode];
  state.read_error = error;
  const std::uint8_t wake = 0;
  if (state.device_fd >= 0) (void)::write(state.device_fd, &wake, 1);
}

void FakeHidrawSystem::queue_overflow() {
  HidrawEvent event;
  event.kind = HidrawEvent::Kind::Overflow;
  push(event);
}

void FakeHidrawSystem::change(const std::string& devnode) {
  std::lock_guard<std::mutex> guard(lock_);
  HidrawEvent event;
  event.kind = HidrawEvent::Kind::Change;
  event.node = nodes_[devnode].node.info;
  queue(std::move(event));
}

void FakeHidrawSystem::send(const std::string& devnode, const std::vector<std::uint8_t>& report) {
  std::lock_guard<std::mutex> guard(lock_);
  (void)::write(nodes_[devnode].device_fd, report.data(), report.size());
}

std::vector<std::vector<std::uint8_t>> FakeHidrawSystem::written(const std::string& devnode) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::vector<std::uint8_t>> reports;
  const int fd = nodes_[devnode].device_fd;
  std::uint8_t buffer[256];
  for (;;) {
    const ssize_t count = fd < 0 ? -1 : ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (count < 0) break;
    reports.emplace_back(buffer, buffer + count);
  }
  return reports;
}

int FakeHidrawSystem::opens(const std::string& devnode) {
  std::lock_guard<std::mutex> guard(lock_);
  return nodes_[devnode].opens;
}

int FakeHidrawSystem::device_side(const std::string& devnode) {
  std::lock_guard<std::mutex> guard(lock_);
  return nodes_[devnode].device_fd;
}

int FakeHidrawSystem::open_descriptors() {
  std::lock_guard<std::mutex> guard(lock_);
  return static_cast<int>(fds_.size());
}

FakeHidrawSystem::State* FakeHidrawSystem::by_fd(int fd) {
  const auto found = fds_.find(fd);
  if (found == fds_.end()) return nullptr;
  return &nodes_[found->second];
}

int FakeHidrawSystem::open_node(const std::string& path, int /*flags*/) {
  std::lock_guard<std::mutex> guard(lock_);
  const auto found = nodes_.find(path);
  if (found == nodes_.end() || !found->second.present || found->second.node.vanishes) {
    errno = ENOENT;
    return -1;
  }
  State& state = found->second;
  ++state.opens;
  if (state.node.eacces_opens != 0) {
    if (state.node.eacces_opens > 0) --state.node.eacces_opens;
    errno = EACCES;
    return -1;
  }
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) return -1;
  if (state.device_fd >= 0) ::close(state.device_fd);
  state.device_fd = pair[1];
  fds_[pair[0]] = path;
  return pair[0];
}

int FakeHidrawSystem::close_node(int fd) {
  std::lock_guard<std::mutex> guard(lock_);
  fds_.erase(fd);
  return ::close(fd);
}

ssize_t FakeHidrawSystem::read_node(int fd, void* buffer, std::size_t size) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    State* state = by_fd(fd);
    if (state != nullptr && state->read_error != 0) {
      std::uint8_t wake[1];
      (void)::recv(fd, wake, sizeof wake, MSG_DONTWAIT);
      errno = state->read_error;
      state->read_error = 0;
      return -1;
    }
  }
  return ::recv(fd, buffer, size, MSG_DONTWAIT);
}

ssize_t FakeHidrawSystem::write_node(int fd, const void* data, std::size_t size) {
  return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
}

int FakeHidrawSystem::poll_fds(pollfd* fds, nfds_t count, int timeout_ms) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (nfds_t i = 0; i < count; ++i) {
      State* state = by_fd(fds[i].fd);
      if (state != nullptr && state->node.block_writes) fds[i].events &= static_cast<short>(~POLLOUT);
    }
  }
  return ::poll(fds, count, timeout_ms);
}

int FakeHidrawSystem::raw_info(int fd, std::uint32_t& bus_type, std::uint16_t& vendor, std::uint16_t& product) {
  std::lock_guard<std::mutex> guard(lock_);
  State* state = by_fd(fd);
  if (state == nullptr) {
    errno = EBADF;
    return -1;
  }
  bus_type = 3;  // USB
  vendor = state->node.vendor;
  product = state->node.product;
  return 0;
}

int FakeHidrawSystem::report_descriptor(int fd, std::vector<std::uint8_t>& descriptor) {
  std::lock_guard<std::mutex> guard(lock_);
  State* state = by_fd(fd);
  if (state == nullptr) {
    errno = EBADF;
    return -1;
  }
  descriptor = state->node.descriptor;
  return 0;
}

int FakeHidrawSystem::raw_name(int fd, std::string& name) {
  std::lock_guard<std::mutex> guard(lock_);
  State* state = by_fd(fd);
  if (state == nullptr) {
    errno = EBADF;
    return -1;
  }
  name = state->node.name;
  return 0;
}

bool FakeHidrawSystem::enumerate(std::vector<HidrawNode>& nodes) {
  std::lock_guard<std::mutex> guard(lock_);
  nodes.clear();
  for (const auto& [path, state] : nodes_) {
    if (state.present) nodes.push_back(state.node.info);
  }
  return true;
}

int FakeHidrawSystem::start_monitor() {
  std::lock_guard<std::mutex> guard(lock_);
  if (monitor_[0] < 0) {
    if (::pipe2(monitor_, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    const std::uint8_t one = 1;
    for (std::size_t i = 0; i < events_.size(); ++i) (void)::write(monitor_[1], &one, 1);
  }
  return monitor_[0];
}

void FakeHidrawSystem::push(HidrawEvent event) {
  std::lock_guard<std::mutex> guard(lock_);
  queue(std::move(event));
}

void FakeHidrawSystem::queue(HidrawEvent event) {
  events_.push_back(std::move(event));
  const std::uint8_t one = 1;
  if (monitor_[1] >= 0) (void)::write(monitor_[1], &one, 1);
}

HidrawEvent FakeHidrawSystem::receive_event() {
  std::lock_guard<std::mutex> guard(lock_);
  if (events_.empty()) return {};
  std::uint8_t one = 0;
  (void)::read(monitor_[0], &one, 1);
  HidrawEvent event = std::move(events_.front());
  events_.pop_front();
  if (event.kind == HidrawEvent::Kind::Remove) take_away(nodes_[event.node.devnode]);
  if (event.kind == HidrawEvent::Kind::Add) {
    put(std::move(pending_adds_.front()));
    pending_adds_.pop_front();
  }
  return event;
}

int FakeHidrawSystem::start_sleep_monitor() {
  std::lock_guard<std::mutex> guard(lock_);
  if (sleep_[0] < 0 && ::pipe2(sleep_, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  return sleep_[0];
}

void FakeHidrawSystem::resume() {
  std::lock_guard<std::mutex> guard(lock_);
  const std::uint8_t one = 1;
  if (sleep_[1] >= 0) (void)::write(sleep_[1], &one, 1);
}

bool FakeHidrawSystem::take_resume() {
  std::lock_guard<std::mutex> guard(lock_);
  std::uint8_t buffer[16];
  return sleep_[0] >= 0 && ::read(sleep_[0], buffer, sizeof buffer) > 0;
}

void FakeHidrawSystem::stop_monitor() {
  std::lock_guard<std::mutex> guard(lock_);
  for (int& fd : sleep_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  for (int& fd : monitor_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

}  // namespace rodiz::test
