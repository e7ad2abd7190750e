#include "sim/SimReceiver.h"

#include <cstdio>

#include "sim/SimChannel.h"

namespace rodiz::sim {

namespace {

using Report = std::vector<std::uint8_t>;

constexpr std::uint8_t kSelf = 0xFF;
constexpr std::uint8_t kWriteShort = 0x80;
constexpr std::uint8_t kReadShort = 0x81;
constexpr std::uint8_t kReadLong = 0x83;
constexpr std::uint8_t kError = 0x8F;
constexpr std::uint8_t kConnection = 0x41;
constexpr std::uint8_t kUnpaired = 0x40;
constexpr std::uint8_t kLockChange = 0x4A;
constexpr std::uint8_t kLinkDown = 0x40;

// FRAP 1.0 error bytes this receiver answers with.
constexpr std::uint8_t kErrorInvalidSubId = 0x01;
constexpr std::uint8_t kErrorInvalidAddress = 0x02;
constexpr std::uint8_t kErrorInvalidValue = 0x03;
constexpr std::uint8_t kErrorUnreachable = 0x04;
// Pairing-lock notification error bytes.
constexpr std::uint8_t kLockTimedOut = 0x01;
constexpr std::size_t kNameRoom = 14;

Report error_answer(std::uint8_t index, const Report& request, std::uint8_t code) {
  return {0x10, index, kError, request[2], request[3], code, 0x00};
}

Report lock_change(std::uint8_t state, std::uint8_t error) { return {0x10, kSelf, kLockChange, state, error, 0, 0}; }

}  // namespace

SimReceiver::SimReceiver() : SimReceiver(Config()) {}

SimReceiver::SimReceiver(Config config) : config_(config), latency_(config.latency) {}

SimReceiver::~SimReceiver() {
  for (Slot& slot : slots_) {
    if (slot.mouse) slot.mouse->set_link(nullptr, nullptr);
  }
}

void SimReceiver::plug() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    plugged_ = true;
    ++generation_;
    channels_.clear();
    // Power comes with the plug: what the host set is gone.
    registers_.clear();
    lock_open_ = false;
  }
  notify_presence();
}

void SimReceiver::unplug() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    plugged_ = false;
    ++generation_;
    channels_.clear();
  }
  notify_presence();
}

void SimReceiver::set_presence_listener(std::function<void()> listener) {
  std::lock_guard<std::mutex> guard(lock_);
  listener_ = std::move(listener);
}

void SimReceiver::notify_presence() {
  std::function<void()> listener;
  {
    std::lock_guard<std::mutex> guard(lock_);
    listener = listener_;
  }
  if (listener) listener();
}

std::vector<SimCollection> SimReceiver::collections() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (!plugged_) return {};
  char serial[16];
  std::snprintf(serial, sizeof serial, "%08x", static_cast<unsigned>(0x51e0c000 + config_.serial));
  char key[96];
  std::snprintf(key, sizeof key, "usb\\vid_046d&pid_%04x&mi_02\\7&%s&0&0002", static_cast<unsigned>(kPid), serial);
  std::vector<SimCollection> result;
  for (int bit = 1; bit <= 2; ++bit) {
    char path[160];
    std::snprintf(path, sizeof path,
                  "\\\\?\\hid#vid_046d&pid_%04x&mi_02&col0%d#9&%s&0&000%d#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                  static_cast<unsigned>(kPid), bit, serial, bit - 1);
    SimCollection c;
    c.path = path;
    c.pid = kPid;
    c.bit = bit;
    c.need = 3;
    c.report_length = bit == 1 ? 7 : 20;
    c.combine_key = key;
    c.name = "Mirel Wireless Receiver";
    c.generation = generation_;
    result.push_back(c);
  }
  return result;
}

bool SimReceiver::is_current(std::uint32_t generation) const {
  std::lock_guard<std::mutex> guard(lock_);
  return plugged_ && generation == generation_;
}

void SimReceiver::attach(std::uint32_t generation, int bit, std::weak_ptr<SimChannel> channel) {
  std::lock_guard<std::mutex> guard(lock_);
  if (generation == generation_) channels_[bit] = std::move(channel);
}

bool SimReceiver::receive(std::uint32_t generation, int /*bit*/, const std::vector<std::uint8_t>& report) {
  std::chrono::microseconds latency{0};
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!plugged_ || generation != generation_) return false;
    latency = latency_;
  }
  std::weak_ptr<SimReceiver> weak = weak_from_this();
  scheduler_.post(
      [weak, generation, report] {
        std::shared_ptr<SimReceiver> self = weak.lock();
        if (!self || !self->is_current(generation)) return;
        self->send(self->handle(report));
      },
      latency);
  return true;
}

void SimReceiver::send(std::vector<Report> reports) {
  for (const Report& report : reports) deliver(report);
}

void SimReceiver::deliver(const Report& report) {
  std::shared_ptr<SimChannel> channel;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!plugged_) return;
    auto it = channels_.find(report.size() <= 7 ? 1 : 2);
    if (it == channels_.end()) it = channels_.begin();
    if (it == channels_.end()) return;
    channel = it->second.lock();
  }
  if (channel) channel->deliver(report);
}

// ---------------------------------------------------------------------------
// The protocol (receiver's thread)

bool SimReceiver::notifications_on_locked() const {
  auto it = registers_.find(0x00);
  return it != registers_.end() && (it->second[1] & 0x01) != 0;
}

Report SimReceiver::connection_locked(int slot) {
  Slot& s = slots_[static_cast<std::size_t>(slot)];
  const int pid = s.mouse ? s.mouse->pid() : 0;
  if (pid != 0) s.last_qid = pid;
  const bool up = pid != 0 && s.link == Link::Connected;
  return {0x10,
          static_cast<std::uint8_t>(slot + 1),
          kConnection,
          kProtocol,
          static_cast<std::uint8_t>(up ? 0x00 : kLinkDown),
          static_cast<std::uint8_t>(s.last_qid & 0xFF),
          static_cast<std::uint8_t>((s.last_qid >> 8) & 0xFF)};
}

std::vector<Report> SimReceiver::handle(const Report& report) {
  if (report.size() < 7) return {};
  const std::uint8_t index = report[1];
  if (index == kSelf) return handle_register(report);
  std::shared_ptr<SimMouse> target;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (index < 1 || index > kSlots) return {};
    Slot& s = slots_[static_cast<std::size_t>(index - 1)];
    if (!s.mouse) return {};
    if (s.link == Link::Connected) {
      target = s.mouse;
      if (s.activity < 0xFF) ++s.activity;
    }
  }
  Report forwarded = report;
  forwarded[1] = kSelf;
  if (target && target->receive_linked(forwarded)) return {};
  return {error_answer(index, report, kErrorUnreachable)};
}

std::vector<Report> SimReceiver::handle_register(const Report& r) {
  std::vector<Report> out;
  int number = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    number = register_requests_++;
    if (faults_.lose_register_answer == number) {
      faults_.lose_register_answer = -1;
      return {};
    }
    if (faults_.error_register_answer == number) {
      faults_.error_register_answer = -1;
      return {error_answer(kSelf, r, faults_.register_error)};
    }
    const std::uint8_t sub = r[2];
    const std::uint8_t reg = r[3];
    if (sub == kReadShort) {
      if (reg == 0x00 || reg == 0x03) {
        const auto value = registers_[reg];
        out.push_back({0x10, kSelf, kReadShort, reg, value[0], value[1], value[2]});
      } else if (reg == 0x02) {
        int paired = 0;
        for (const Slot& s : slots_) paired += s.mouse ? 1 : 0;
        out.push_back({0x10, kSelf, kReadShort, reg, 0x00, static_cast<std::uint8_t>(paired), 0x00});
      } else {
        out.push_back(error_answer(kSelf, r, kErrorInvalidAddress));
      }
    } else if (sub == kWriteShort) {
      const Report done{0x10, kSelf, kWriteShort, reg, 0x00, 0x00, 0x00};
      if (reg == 0x00 || reg == 0x03) {
        registers_[reg] = {r[4], r[5], r[6]};
        out.push_back(done);
      } else if (reg == 0x02 && r[4] == 0x02) {
        // Every paired device is announced before the request is answered.
        if (notifications_on_locked()) {
          for (int slot = 0; slot < kSlots; ++slot) {
            if (slots_[static_cast<std::size_t>(slot)].mouse) out.push_back(connection_locked(slot));
          }
        }
        out.push_back(done);
      } else if (reg == 0xB2 && r[4] == 0x01) {
        lock_open_ = true;
        const std::uint32_t round = ++lock_round_;
        out.push_back(done);
        if (notifications_on_locked()) out.push_back(lock_change(0x01, 0x00));
        std::weak_ptr<SimReceiver> weak = weak_from_this();
        scheduler_.post(
            [weak, round] {
              std::shared_ptr<SimReceiver> self = weak.lock();
              if (!self) return;
              std::vector<Report> closed;
              {
                std::lock_guard<std::mutex> g(self->lock_);
                if (!self->lock_open_ || self->lock_round_ != round) return;
                self->close_lock_locked(kLockTimedOut, &closed);
              }
              self->send(std::move(closed));
            },
            config_.lock_timeout);
      } else if (reg == 0xB2 && r[4] == 0x02) {
        out.push_back(done);
        close_lock_locked(0x00, &out);
      } else if (reg == 0xB2 && r[4] == 0x03 && r[5] >= 1 && r[5] <= kSlots &&
                 slots_[static_cast<std::size_t>(r[5] - 1)].mouse) {
        Slot& s = slots_[static_cast<std::size_t>(r[5] - 1)];
        s.mouse->set_link(nullptr, nullptr);
        s = Slot();
        out.push_back(done);
        if (notifications_on_locked()) out.push_back({0x10, r[5], kUnpaired, 0x02, 0x00, 0x00, 0x00});
      } else {
        out.push_back(error_answer(kSelf, r, kErrorInvalidValue));
      }
    } else if (sub == kReadLong) {
      Report answer{0x11, kSelf, kReadLong, reg};
      if (reg == 0xB3) {
        for (const Slot& s : slots_) answer.push_back(s.activity);
        answer.resize(20, 0);
        out.push_back(answer);
      } else if (reg == 0xB5 && r[4] >= 0x40 && r[4] < 0x40 + kSlots &&
                 slots_[static_cast<std::size_t>(r[4] - 0x40)].mouse) {
        const std::string& name = slots_[static_cast<std::size_t>(r[4] - 0x40)].name;
        const std::size_t length = name.size() < kNameRoom ? name.size() : kNameRoom;
        answer.push_back(r[4]);
        answer.push_back(static_cast<std::uint8_t>(length));
        answer.insert(answer.end(), name.begin(), name.begin() + static_cast<std::ptrdiff_t>(length));
        answer.resize(20, 0);
        out.push_back(answer);
      } else {
        out.push_back(error_answer(kSelf, r, kErrorInvalidAddress));
      }
    } else {
      out.push_back(error_answer(kSelf, r, kErrorInvalidSubId));
    }
  }
  for (Report& extra : register_faults_after(number)) out.push_back(std::move(extra));
  return out;
}

std::vector<Report> SimReceiver::register_faults_after(int number) {
  std::vector<Report> out;
  std::lock_guard<std::mutex> guard(lock_);
  if (faults_.storm_after_register == number) {
    faults_.storm_after_register = -1;
    for (int round = 0; round < faults_.storm_count; ++round) {
      for (int slot = 0; slot < kSlots; ++slot) {
        if (slots_[static_cast<std::size_t>(slot)].mouse) out.push_back(connection_locked(slot));
      }
    }
  }
  if (faults_.stray_index_after_register == number) {
    faults_.stray_index_after_register = -1;
    int free_index = kSlots + 1;
    for (int slot = kSlots - 1; slot >= 0; --slot) {
      if (!slots_[static_cast<std::size_t>(slot)].mouse) free_index = slot + 1;
    }
    const auto stray = static_cast<std::uint8_t>(free_index);
    Report device_report{0x11, stray, 0x00, 0x10, 0x04, 0x02, 0x00};
    device_report.resize(20, 0);
    out.push_back(device_report);
    out.push_back({0x10, kSlots + 1, kConnection, kProtocol, 0x00, 0x87, 0xC0});
    out.push_back({0x10, 0x00, kUnpaired, 0x02, 0x00, 0x00, 0x00});
  }
  return out;
}

void SimReceiver::close_lock_locked(std::uint8_t error, std::vector<Report>* out) {
  lock_open_ = false;
  ++lock_round_;
  if (notifications_on_locked()) out->push_back(lock_change(0x00, error));
}

// ---------------------------------------------------------------------------
// Pairing and links

void SimReceiver::link_mouse(int slot) {
  std::shared_ptr<SimMouse> mouse;
  {
    std::lock_guard<std::mutex> guard(lock_);
    mouse = slots_[static_cast<std::size_t>(slot)].mouse;
  }
  if (!mouse) return;
  std::weak_ptr<SimReceiver> weak = weak_from_this();
  std::weak_ptr<SimMouse> weak_mouse = mouse;
  // Everything goes through the receiver's own thread, in order.
  auto from_mouse = [weak, weak_mouse, slot](const Report& report) {
    std::shared_ptr<SimReceiver> self = weak.lock();
    if (!self) return;
    self->scheduler_.post([weak, weak_mouse, slot, report] {
      std::shared_ptr<SimReceiver> receiver = weak.lock();
      if (!receiver || report.size() < 2) return;
      {
        std::lock_guard<std::mutex> guard(receiver->lock_);
        const Slot& s = receiver->slots_[static_cast<std::size_t>(slot)];
        if (s.mouse != weak_mouse.lock() || s.link != Link::Connected) return;
      }
      Report routed = report;
      routed[1] = static_cast<std::uint8_t>(slot + 1);
      receiver->deliver(routed);
    });
  };
  auto presence = [weak, slot] {
    if (std::shared_ptr<SimReceiver> self = weak.lock()) {
      self->scheduler_.post([weak, slot] {
        if (std::shared_ptr<SimReceiver> receiver = weak.lock()) receiver->mouse_changed(slot);
      });
    }
  };
  mouse->set_link(from_mouse, presence);
}

void SimReceiver::mouse_changed(int slot) {
  Report notification;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!slots_[static_cast<std::size_t>(slot)].mouse || !notifications_on_locked()) return;
    notification = connection_locked(slot);
  }
  deliver(notification);
}

int SimReceiver::pair(std::shared_ptr<SimMouse> mouse, std::string name) {
  int slot = -1;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (int i = 0; i < kSlots && slot < 0; ++i) {
      if (!slots_[static_cast<std::size_t>(i)].mouse) slot = i;
    }
    if (slot < 0) return -1;
    Slot& s = slots_[static_cast<std::size_t>(slot)];
    s = Slot();
    s.mouse = mouse;
    s.name = std::move(name);
  }
  link_mouse(slot);
  if (mouse->mode() == SimMouse::Mode::Absent) {
    mouse->start();
  } else {
    std::weak_ptr<SimReceiver> weak = weak_from_this();
    scheduler_.post([weak, slot] {
      if (std::shared_ptr<SimReceiver> self = weak.lock()) self->mouse_changed(slot);
    });
  }
  return slot;
}

int SimReceiver::pair_through_lock(std::shared_ptr<SimMouse> mouse, std::string name) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!lock_open_) return -1;
  }
  const int slot = pair(std::move(mouse), std::move(name));
  if (slot < 0) return -1;
  std::weak_ptr<SimReceiver> weak = weak_from_this();
  scheduler_.post([weak] {
    std::shared_ptr<SimReceiver> self = weak.lock();
    if (!self) return;
    std::vector<Report> closed;
    {
      std::lock_guard<std::mutex> guard(self->lock_);
      self->close_lock_locked(0x00, &closed);
    }
    self->send(std::move(closed));
  });
  return slot;
}

void SimReceiver::unpair(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  std::shared_ptr<SimMouse> mouse;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    mouse = slots_[static_cast<std::size_t>(slot)].mouse;
    slots_[static_cast<std::size_t>(slot)] = Slot();
    notify = mouse && notifications_on_locked();
  }
  if (mouse) mouse->set_link(nullptr, nullptr);
  if (notify) {
    std::weak_ptr<SimReceiver> weak = weak_from_this();
    scheduler_.post([weak, slot] {
      if (std::shared_ptr<SimReceiver> self = weak.lock()) {
        self->deliver({0x10, static_cast<std::uint8_t>(slot + 1), kUnpaired, 0x02, 0x00, 0x00, 0x00});
      }
    });
  }
}

bool SimReceiver::lock_open() const {
  std::lock_guard<std::mutex> guard(lock_);
  return lock_open_;
}

void SimReceiver::set_link(int slot, Link link) {
  if (slot < 0 || slot >= kSlots) return;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!slots_[static_cast<std::size_t>(slot)].mouse) return;
    slots_[static_cast<std::size_t>(slot)].link = link;
  }
  std::weak_ptr<SimReceiver> weak = weak_from_this();
  scheduler_.post([weak, slot] {
    if (std::shared_ptr<SimReceiver> self = weak.lock()) self->mouse_changed(slot);
  });
}

void SimReceiver::sleep(int slot, std::chrono::milliseconds wake_after) {
  set_link(slot, Link::Asleep);
  std::weak_ptr<SimReceiver> weak = weak_from_this();
  scheduler_.post(
      [weak, slot] {
        std::shared_ptr<SimReceiver> self = weak.lock();
        if (!self) return;
        {
          std::lock_guard<std::mutex> guard(self->lock_);
          Slot& s = self->slots_[static_cast<std::size_t>(slot)];
          if (!s.mouse || s.link != Link::Asleep) return;
          s.link = Link::Connected;
        }
        self->mouse_changed(slot);
      },
      wake_after);
}

void SimReceiver::set_faults(const SimReceiverFaults& faults) {
  std::lock_guard<std::mutex> guard(lock_);
  faults_ = faults;
}

void SimReceiver::set_latency(std::chrono::microseconds latency) {
  std::lock_guard<std::mutex> guard(lock_);
  latency_ = latency;
}

std::array<std::uint8_t, 3> SimReceiver::register_value(std::uint8_t reg) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = registers_.find(reg);
  return it == registers_.end() ? std::array<std::uint8_t, 3>{0, 0, 0} : it->second;
}

int SimReceiver::activity(int slot) const {
  std::lock_guard<std::mutex> guard(lock_);
  return slot >= 0 && slot < kSlots ? slots_[static_cast<std::size_t>(slot)].activity : 0;
}

std::shared_ptr<SimMouse> SimReceiver::mouse(int slot) const {
  std::lock_guard<std::mutex> guard(lock_);
  return slot >= 0 && slot < kSlots ? slots_[static_cast<std::size_t>(slot)].mouse : nullptr;
}

int SimReceiver::register_requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return register_requests_;
}

void SimReceiver::wait_idle(std::chrono::milliseconds horizon) { scheduler_.wait_idle(horizon); }

}  // namespace rodiz::sim
