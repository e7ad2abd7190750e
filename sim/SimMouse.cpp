#include "sim/SimMouse.h"

#include <cstdio>

#include "sim/SimChannel.h"

namespace rodiz::sim {

namespace {

constexpr int kRoot = 0x0000;
constexpr int kFeatureSet = 0x0001;
constexpr int kFirmwareInfo = 0x0003;
constexpr int kNameType = 0x0005;
constexpr int kConfigChange = 0x0020;
constexpr int kDfuControl = 0x00C2;
constexpr int kDfu = 0x00D0;
constexpr int kLedEffects = 0x8070;
constexpr int kOnboardProfiles = 0x8100;

// FRAP 2.0 error bytes the mouse answers with.
constexpr std::uint8_t kErrorInvalidArgument = 2;
constexpr std::uint8_t kErrorInvalidFunction = 7;
constexpr std::uint8_t kErrorUnknownIndex = 8;

constexpr std::uint8_t kNvLedId = 1;

const std::vector<int> kApplicationFeatures = {kRoot,         kFeatureSet, kFirmwareInfo, kNameType,
                                               kConfigChange, kDfuControl, kLedEffects,   kOnboardProfiles};
const std::vector<int> kBootloaderFeatures = {kRoot, kFeatureSet, kFirmwareInfo, kDfu};
const std::vector<int> kNoFeatures;

std::uint16_t bcd(int value) {
  std::uint16_t result = 0;
  unsigned v = value < 0 ? 0u : static_cast<unsigned>(value) % 10000;
  for (int shift = 0; shift < 16; shift += 4) {
    result = static_cast<std::uint16_t>(result | ((v % 10) << shift));
    v /= 10;
  }
  return result;
}

std::uint8_t hi(unsigned value) { return static_cast<std::uint8_t>((value >> 8) & 0xFF); }
std::uint8_t lo(unsigned value) { return static_cast<std::uint8_t>(value & 0xFF); }

bool applies(const SimFaults& faults, int packet_fault, int image, std::uint32_t packet) {
  return packet_fault >= 0 && static_cast<std::uint32_t>(packet_fault) == packet &&
         (faults.image == 0 || faults.image == image);
}

std::string serial_text(int serial) {
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(0x2a9c1b00 + serial));
  return text;
}

}  // namespace

SimMouse::SimMouse(SimMouseConfig config)
    : config_(std::move(config)),
      version_(config_.version),
      type6_build_(config_.type6_build),
      profiles_(config_.sector_count, config_.sector_size),
      receiver_(config_.expected_images) {
  // LED setting 1 is on: bytes 2..4 of its record read 1, 0, 0.
  nv_config_[kNvLedId] = {1, 0, 0};
}

SimMouse::~SimMouse() = default;

void SimMouse::start() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    appear_locked(config_.start_in_bootloader ? Mode::Bootloader : Mode::Application);
  }
  notify_presence();
}

void SimMouse::set_presence_listener(std::function<void()> listener) {
  std::lock_guard<std::mutex> guard(lock_);
  listener_ = std::move(listener);
}

std::vector<SimCollection> SimMouse::collections() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (mode_ == Mode::Absent) return {};
  const int pid = mode_ == Mode::Application ? kApplicationPid : kBootloaderPid;
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "\\\\?\\hid#vid_046d&pid_%04x&mi_01", static_cast<unsigned>(pid));
  const std::string serial = serial_text(config_.serial);
  char key[96];
  std::snprintf(key, sizeof key, "usb\\vid_046d&pid_%04x&mi_01\\7&%s&0&0001", static_cast<unsigned>(pid),
                serial.c_str());
  const std::string name = mode_ == Mode::Application ? config_.name : config_.name + " Bootloader";
  std::vector<SimCollection> result;
  // A short-report and a long-report collection of the vendor usage page.
  for (int bit = 1; bit <= 2; ++bit) {
    SimCollection c;
    c.path = std::string(prefix) + "&col0" + std::to_string(bit) + "#8&" + serial + "&0&000" + std::to_string(bit - 1) +
             "#{4d1e55b2-f16f-11cf-88cb-001111000030}";
    c.pid = pid;
    c.bit = bit;
    c.need = 3;
    c.report_length = bit == 1 ? 7 : 20;
    c.combine_key = key;
    c.name = name;
    c.generation = generation_;
    result.push_back(c);
  }
  return result;
}

bool SimMouse::is_current(std::uint32_t generation) const {
  std::lock_guard<std::mutex> guard(lock_);
  return mode_ != Mode::Absent && generation == generation_;
}

void SimMouse::attach(std::uint32_t generation, int bit, std::weak_ptr<SimChannel> channel) {
  std::lock_guard<std::mutex> guard(lock_);
  if (generation == generation_) channels_[bit] = std::move(channel);
}

bool SimMouse::receive(std::uint32_t generation, int /*bit*/, const std::vector<std::uint8_t>& report) {
  return accept(generation, report, Route::Channels);
}

bool SimMouse::receive_linked(const std::vector<std::uint8_t>& report) {
  std::uint32_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    generation = generation_;
  }
  return accept(generation, report, Route::Link);
}

void SimMouse::set_link(std::function<void(const std::vector<std::uint8_t>&)> sink, std::function<void()> presence) {
  std::lock_guard<std::mutex> guard(lock_);
  link_ = std::move(sink);
  link_presence_ = std::move(presence);
}

int SimMouse::pid() const {
  std::lock_guard<std::mutex> guard(lock_);
  if (mode_ == Mode::Absent) return 0;
  return mode_ == Mode::Application ? kApplicationPid : kBootloaderPid;
}

bool SimMouse::accept(std::uint32_t generation, const std::vector<std::uint8_t>& report, Route route) {
  std::chrono::microseconds latency{0};
  std::chrono::microseconds frame{0};
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (mode_ == Mode::Absent || generation != generation_) return false;
    latency = config_.latency;
    frame = config_.frame_interval;
  }
  // Under the timing model the request goes out in the current frame and
  // its answer comes back at the start of the next one.
  const auto due =
      frame.count() > 0 ? frame_boundary(SimScheduler::Clock::now(), true) : SimScheduler::Clock::now() + latency;
  std::weak_ptr<SimMouse> weak = weak_from_this();
  scheduler_.post_at(
      [weak, generation, report, due, route] {
        std::shared_ptr<SimMouse> self = weak.lock();
        if (!self) return;
        std::vector<Output> outputs;
        {
          std::lock_guard<std::mutex> guard(self->lock_);
          // A report sent to a mouse that has gone since is lost with it.
          if (self->mode_ == Mode::Absent || generation != self->generation_) return;
          outputs = self->handle(report);
          // Before anything is answered: the host never sees a change that
          // the state file does not hold yet.
          self->save_locked();
        }
        self->emit(std::move(outputs), due, route);
      },
      due);
  return true;
}

SimScheduler::Clock::time_point SimMouse::frame_boundary(SimScheduler::Clock::time_point t, bool strictly) const {
  std::chrono::microseconds frame{0};
  {
    std::lock_guard<std::mutex> guard(lock_);
    frame = config_.frame_interval;
  }
  if (frame.count() <= 0 || t < frame_epoch_) return t;
  const auto since = std::chrono::duration_cast<std::chrono::nanoseconds>(t - frame_epoch_);
  const auto step = std::chrono::duration_cast<std::chrono::nanoseconds>(frame);
  auto frames = since / step;
  if (strictly || since % step != std::chrono::nanoseconds(0)) ++frames;
  return frame_epoch_ + frames * step;
}

void SimMouse::emit(std::vector<Output> outputs, SimScheduler::Clock::time_point now, Route route) {
  std::weak_ptr<SimMouse> weak = weak_from_this();
  for (Output& output : outputs) {
    if (output.delay.count() == 0) {
      deliver(output.report, route);
    } else {
      // Later reports leave at a frame boundary too.
      scheduler_.post_at(
          [weak, report = std::move(output.report), route] {
            if (std::shared_ptr<SimMouse> self = weak.lock()) self->deliver(report, route);
          },
          frame_boundary(now + output.delay, false));
    }
  }
}

void SimMouse::deliver(const std::vector<std::uint8_t>& report, Route route) {
  std::shared_ptr<SimChannel> channel;
  std::function<void(const std::vector<std::uint8_t>&)> link;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (mode_ == Mode::Absent) return;
    if (route != Route::Channels) link = link_;
    if (route != Route::Link) {
      // Short reports come through the short collection, long ones through the long.
      auto it = channels_.find(report.size() <= 7 ? 1 : 2);
      if (it == channels_.end()) it = channels_.begin();
      if (it != channels_.end()) channel = it->second.lock();
    }
  }
  if (channel) channel->deliver(report);
  if (link) link(report);
}

// ---------------------------------------------------------------------------
// Presence

void SimMouse::go_absent_locked(Mode comes_back_as) {
  mode_ = Mode::Absent;
  comes_back_as_ = comes_back_as;
  restarting_ = false;
  channels_.clear();
  ++generation_;
  save_locked();
}

void SimMouse::appear_locked(Mode mode) {
  mode_ = mode;
  restarting_ = false;
  ++generation_;
  channels_.clear();
  save_locked();
}

void SimMouse::apply_update_locked() {
  version_ = config_.updated_version;
  type6_build_ = config_.updated_type6_build;
  profiles_.reset_to_factory();
  nv_config_[kNvLedId] = {0, 0, 0};
  receiver_.reset();
}

SimMouse::Mode SimMouse::power_up_mode_locked() const {
  return receiver_.erased() && !(receiver_.verified(1) && receiver_.verified(2)) ? Mode::Bootloader : Mode::Application;
}

void SimMouse::drop_off_locked(std::chrono::milliseconds return_after, bool fresh_bootloader) {
  // Nothing reaches a bootloader while it is off the bus, so a fresh one
  // forgets its transfer now: the state file then holds what it comes back with.
  if (fresh_bootloader) receiver_.reset();
  go_absent_locked(Mode::Bootloader);
  const std::uint32_t expected_generation = generation_;
  std::weak_ptr<SimMouse> weak = weak_from_this();
  scheduler_.post([weak] {
    if (auto self = weak.lock()) self->notify_presence();
  });
  if (return_after.count() < 0) {
    stay_away_ = true;
    return;
  }
  scheduler_.post(
      [weak, expected_generation] {
        std::shared_ptr<SimMouse> self = weak.lock();
        if (!self) return;
        {
          std::lock_guard<std::mutex> guard(self->lock_);
          // Plugged, cycled or restarted meanwhile: that event decides.
          if (self->generation_ != expected_generation) return;
          self->appear_locked(Mode::Bootloader);
        }
        self->notify_presence();
      },
      return_after);
}

void SimMouse::lose_power_locked(std::chrono::milliseconds return_after) {
  profiles_.abort_write();
  go_absent_locked(power_up_mode_locked());
  const std::uint32_t expected_generation = generation_;
  std::weak_ptr<SimMouse> weak = weak_from_this();
  scheduler_.post([weak] {
    if (auto self = weak.lock()) self->notify_presence();
  });
  if (return_after.count() < 0) {
    stay_away_ = true;
    return;
  }
  scheduler_.post(
      [weak, expected_generation] {
        std::shared_ptr<SimMouse> self = weak.lock();
        if (!self) return;
        {
          std::lock_guard<std::mutex> guard(self->lock_);
          if (self->generation_ != expected_generation) return;
          self->appear_locked(self->comes_back_as_);
        }
        self->notify_presence();
      },
      return_after);
}

void SimMouse::notify_presence() {
  std::function<void()> listener;
  std::function<void()> link_presence;
  {
    std::lock_guard<std::mutex> guard(lock_);
    listener = listener_;
    link_presence = link_presence_;
  }
  if (listener) listener();
  if (link_presence) link_presence();
}

void SimMouse::power_cycle() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stay_away_ = false;
    profiles_.abort_write();
    go_absent_locked(power_up_mode_locked());
  }
  notify_presence();
  {
    std::lock_guard<std::mutex> guard(lock_);
    // After power comes back the bootloader starts the application when the
    // application area is whole, and stays otherwise.
    const bool updated = receiver_.erased() && receiver_.verified(1) && receiver_.verified(2);
    const Mode mode = power_up_mode_locked();
    if (updated) apply_update_locked();
    appear_locked(mode);
  }
  notify_presence();
}

// ---------------------------------------------------------------------------
// The state file

bool SimMouse::restore(const SimStateFile::State& state, std::string* error) {
  std::lock_guard<std::mutex> guard(lock_);
  if (static_cast<int>(state.sectors.size()) != profiles_.sector_count() ||
      state.sector_size != profiles_.sector_size()) {
    *error = "the state file holds " + std::to_string(state.sectors.size()) + " profile sectors of " +
             std::to_string(state.sector_size) + " bytes; this mouse has " + std::to_string(profiles_.sector_count()) +
             " of " + std::to_string(profiles_.sector_size());
    return false;
  }
  if (!receiver_.restore(state.dfu)) {
    *error = "the transfer in the state file does not fit the images this program carries";
    return false;
  }
  version_ = {state.major, state.minor, state.build};
  type6_build_ = state.type6_build;
  profiles_.set_sectors(state.sectors);
  profiles_.active_profile = state.active_profile;
  profiles_.resolution_index = state.resolution_index;
  profiles_.onboard_mode = state.onboard_mode;
  nv_config_[kNvLedId] = {state.led[0], state.led[1], state.led[2]};
  config_.start_in_bootloader = state.bootloader;
  return true;
}

SimStateFile::State SimMouse::snapshot() const {
  std::lock_guard<std::mutex> guard(lock_);
  return snapshot_locked();
}

SimStateFile::State SimMouse::snapshot_locked() const {
  SimStateFile::State state;
  const Mode mode = mode_ == Mode::Absent || restarting_ ? comes_back_as_ : mode_;
  state.bootloader = mode == Mode::Bootloader;
  state.major = version_.major;
  state.minor = version_.minor;
  state.build = version_.build;
  state.type6_build = type6_build_;
  state.dfu = receiver_.progress();
  state.sector_size = profiles_.sector_size();
  state.sectors = profiles_.sectors();
  state.active_profile = profiles_.active_profile;
  state.resolution_index = profiles_.resolution_index;
  state.onboard_mode = profiles_.onboard_mode;
  auto led = nv_config_.find(kNvLedId);
  if (led != nv_config_.end() && led->second.size() == 3) state.led = {led->second[0], led->second[1], led->second[2]};
  return state;
}

void SimMouse::save_locked() {
  if (config_.state_file.empty()) return;
  std::string text = SimStateFile::Format(snapshot_locked());
  if (text == saved_state_) return;
  std::string error;
  if (!SimStateFile::Save(config_.state_file, text, &error)) {
    if (!save_failure_reported_) std::fprintf(stderr, "simulated mouse: %s\n", error.c_str());
    save_failure_reported_ = true;
    return;
  }
  saved_state_ = std::move(text);
}

bool SimMouse::profile_fault_locked(unsigned function, bool* lost_power) {
  *lost_power = false;
  auto fires = [](int* fault, int count) {
    if (*fault < 0 || *fault != count) return false;
    *fault = -1;
    return true;
  };
  if (function == 5) {
    const int n = profile_reads_++;
    if (fires(&faults_.unplug_profile_read, n)) {
      *lost_power = true;
      return true;
    }
    return fires(&faults_.drop_profile_read, n);
  }
  if (function >= 6 && function <= 8) {
    const int n = profile_writes_++;
    if (fires(&faults_.unplug_profile_write, n)) {
      *lost_power = true;
      return true;
    }
    return fires(&faults_.drop_profile_write, n);
  }
  return false;
}

// ---------------------------------------------------------------------------
// Test controls

void SimMouse::set_faults(const SimFaults& faults) {
  std::lock_guard<std::mutex> guard(lock_);
  faults_ = faults;
}

SimFaults SimMouse::faults() const {
  std::lock_guard<std::mutex> guard(lock_);
  return faults_;
}

void SimMouse::set_latency(std::chrono::microseconds latency) {
  std::lock_guard<std::mutex> guard(lock_);
  config_.latency = latency;
}

void SimMouse::set_frame_interval(std::chrono::microseconds interval) {
  std::lock_guard<std::mutex> guard(lock_);
  config_.frame_interval = interval.count() > 0 ? interval : std::chrono::microseconds(0);
}

void SimMouse::set_firmware(SimVersion version, int type6_build) {
  std::lock_guard<std::mutex> guard(lock_);
  version_ = version;
  type6_build_ = type6_build;
  save_locked();
}

void SimMouse::press_profile_button(int profile) {
  std::vector<Output> outputs;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (mode_ != Mode::Application) return;
    profiles_.active_profile = profile;
    save_locked();
    outputs.push_back({notification(index_of(kOnboardProfiles), 0,
                                    {hi(static_cast<unsigned>(profile)), lo(static_cast<unsigned>(profile))}),
                       config_.latency});
  }
  emit(std::move(outputs), SimScheduler::Clock::now());
}

void SimMouse::foreign_set_cookie(std::uint16_t cookie, int swid) {
  std::vector<Output> outputs;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (mode_ != Mode::Application) return;
    cookie_ = cookie;
    const int index = index_of(kConfigChange);
    std::vector<std::uint8_t> echo{
        0x11,       0xFF,      static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(0x10 | (swid & 0x0F)),
        hi(cookie), lo(cookie)};
    echo.resize(20, 0);
    outputs.push_back({echo, config_.latency});
  }
  emit(std::move(outputs), SimScheduler::Clock::now());
}

void SimMouse::wait_idle(std::chrono::milliseconds horizon) { scheduler_.wait_idle(horizon); }

SimMouse::Mode SimMouse::mode() const {
  std::lock_guard<std::mutex> guard(lock_);
  return mode_;
}

SimVersion SimMouse::version() const {
  std::lock_guard<std::mutex> guard(lock_);
  return version_;
}

int SimMouse::type6_build() const {
  std::lock_guard<std::mutex> guard(lock_);
  return type6_build_;
}

std::vector<std::vector<std::uint8_t>> SimMouse::sectors() const {
  std::lock_guard<std::mutex> guard(lock_);
  return profiles_.sectors();
}

int SimMouse::active_profile() const {
  std::lock_guard<std::mutex> guard(lock_);
  return profiles_.active_profile;
}

int SimMouse::resolution_index() const {
  std::lock_guard<std::mutex> guard(lock_);
  return profiles_.resolution_index;
}

std::vector<std::uint8_t> SimMouse::nv_config(int id) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = nv_config_.find(id);
  return it == nv_config_.end() ? std::vector<std::uint8_t>() : it->second;
}

std::uint16_t SimMouse::cookie() const {
  std::lock_guard<std::mutex> guard(lock_);
  return cookie_;
}

bool SimMouse::image_verified(int image) const {
  std::lock_guard<std::mutex> guard(lock_);
  return receiver_.verified(image);
}

int SimMouse::requests() const {
  std::lock_guard<std::mutex> guard(lock_);
  return requests_;
}

// ---------------------------------------------------------------------------
// The protocol (scheduler thread, lock held)

const std::vector<int>& SimMouse::feature_table() const {
  switch (mode_) {
    case Mode::Application:
      return kApplicationFeatures;
    case Mode::Bootloader:
      return kBootloaderFeatures;
    case Mode::Absent:
      break;
  }
  return kNoFeatures;
}

int SimMouse::index_of(int feature_id) const {
  const auto& table = feature_table();
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (table[i] == feature_id) return static_cast<int>(i);
  }
  return 0;
}

std::vector<std::uint8_t> SimMouse::answer(const std::vector<std::uint8_t>& request,
                                           const std::vector<std::uint8_t>& params) const {
  std::vector<std::uint8_t> report(request.begin(), request.begin() + 4);
  if (faults_.foreign_swid) {
    const unsigned swid = request[3] & 0x0F;
    report[3] = static_cast<std::uint8_t>((request[3] & 0xF0) | (swid % 15 + 1));
  }
  report.insert(report.end(), params.begin(), params.end());
  const bool fits_short = request[0] == 0x10 && report.size() <= 7;
  report[0] = fits_short ? 0x10 : 0x11;
  report.resize(fits_short ? 7 : 20, 0);
  return report;
}

std::vector<std::uint8_t> SimMouse::error(const std::vector<std::uint8_t>& request, std::uint8_t code) const {
  std::vector<std::uint8_t> report{0x11, request[1], 0xFF, request[2], request[3], code};
  report.resize(20, 0);
  return report;
}

std::vector<std::uint8_t> SimMouse::notification(int index, unsigned function,
                                                 const std::vector<std::uint8_t>& params) const {
  std::vector<std::uint8_t> report{0x11, 0xFF, static_cast<std::uint8_t>(index),
                                   static_cast<std::uint8_t>((function & 0x0F) << 4)};
  report.insert(report.end(), params.begin(), params.end());
  report.resize(20, 0);
  return report;
}

std::size_t SimMouse::parameter_bytes_needed(int feature, unsigned function) {
  switch (feature) {
    case kLedEffects:
      return function == 5 ? 5 : 2;
    case kOnboardProfiles:
      if (function == 5) return 4;
      if (function == 6) return 6;
      if (function == 7) return 16;
      return 2;
    default:
      return 3;
  }
}

std::vector<SimMouse::Output> SimMouse::handle(const std::vector<std::uint8_t>& request) {
  if (faults_.silent || request.size() < 7) return {};
  // Only requests addressed to the device itself are for us.
  if (request[1] != 0xFF) return {};
  ++requests_;
  const int index = request[2];
  const unsigned function = request[3] >> 4;
  const std::vector<std::uint8_t> params(request.begin() + 4, request.end());
  const auto& table = feature_table();
  if (index >= static_cast<int>(table.size())) return {{error(request, kErrorUnknownIndex)}};
  const int feature = table[static_cast<std::size_t>(index)];
  auto ok = [&](std::vector<std::uint8_t> result) { return std::vector<Output>{{answer(request, result)}}; };
  auto fail = [&](std::uint8_t code) { return std::vector<Output>{{error(request, code)}}; };
  // A short report carries 3 parameter bytes; a request whose function reads
  // more is malformed and answered as a device would, never read past.
  if (params.size() < parameter_bytes_needed(feature, function)) return fail(kErrorInvalidArgument);

  switch (feature) {
    case kRoot: {
      if (function == 0) {
        const int wanted = (params[0] << 8) | params[1];
        int found = 0;
        for (std::size_t i = 1; i < table.size(); ++i) {
          if (table[i] == wanted) found = static_cast<int>(i);
        }
        if (wanted == kRoot) found = 0;
        return ok({static_cast<std::uint8_t>(found), 0x00, static_cast<std::uint8_t>(found != 0 ? 1 : 0)});
      }
      if (function == 1) return ok({0x04, 0x02, params[2]});
      return fail(kErrorInvalidFunction);
    }
    case kFeatureSet: {
      if (function == 0) return ok({static_cast<std::uint8_t>(table.size() - 1)});
      if (function == 1) {
        const std::size_t i = params[0];
        if (i >= table.size()) return fail(kErrorInvalidArgument);
        return ok({hi(static_cast<unsigned>(table[i])), lo(static_cast<unsigned>(table[i])), 0x00,
                   static_cast<std::uint8_t>(table[i] == kFirmwareInfo ? 3 : 1)});
      }
      return fail(kErrorInvalidFunction);
    }
    case kFirmwareInfo: {
      struct Entity {
        std::uint8_t type;
        const char* prefix;
        std::uint16_t version;
        std::uint16_t build;
        std::uint8_t running;
      };
      std::vector<Entity> entities;
      if (mode_ == Mode::Application) {
        entities.push_back({0, "APP", static_cast<std::uint16_t>((bcd(version_.major) << 8) | bcd(version_.minor)),
                            bcd(version_.build), 1});
        entities.push_back({1, "BOT", 0x0105, 0x0012, 0});
        entities.push_back({6, "HWM", 0x0100, static_cast<std::uint16_t>(type6_build_), 0});
      } else {
        entities.push_back({1, "BOT", 0x0105, 0x0012, 1});
      }
      const unsigned pid = mode_ == Mode::Application ? kApplicationPid : kBootloaderPid;
      if (function == 0) {
        const std::uint32_t unit = config_.unit_id;
        return ok({static_cast<std::uint8_t>(entities.size()), static_cast<std::uint8_t>(unit >> 24),
                   static_cast<std::uint8_t>(unit >> 16), static_cast<std::uint8_t>(unit >> 8),
                   static_cast<std::uint8_t>(unit), 0x00, 0x00, hi(pid), lo(pid), 0x00, 0x00, 0x00, 0x00,
                   static_cast<std::uint8_t>(config_.extended_model_id)});
      }
      if (function == 1) {
        if (params[0] >= entities.size()) return fail(kErrorInvalidArgument);
        const Entity& e = entities[params[0]];
        return ok({e.type, static_cast<std::uint8_t>(e.prefix[0]), static_cast<std::uint8_t>(e.prefix[1]),
                   static_cast<std::uint8_t>(e.prefix[2]), hi(e.version), lo(e.version), hi(e.build), lo(e.build),
                   e.running, 0, 0, 0, 0, 0, 0, 0});
      }
      return fail(kErrorInvalidFunction);
    }
    case kNameType: {
      const std::string& name = config_.name;
      if (function == 0) return ok({static_cast<std::uint8_t>(name.size())});
      if (function == 1) {
        const std::size_t offset = params[0];
        if (offset >= name.size()) return ok({});
        const std::size_t n = std::min<std::size_t>(16, name.size() - offset);
        return ok(std::vector<std::uint8_t>(name.begin() + static_cast<std::ptrdiff_t>(offset),
                                            name.begin() + static_cast<std::ptrdiff_t>(offset + n)));
      }
      if (function == 2) return ok({0x03});  // a mouse
      return fail(kErrorInvalidFunction);
    }
    case kConfigChange: {
      if (function == 0) return ok({hi(cookie_), lo(cookie_)});
      if (function == 1) {
        cookie_ = static_cast<std::uint16_t>((params[0] << 8) | params[1]);
        return ok({});
      }
      return fail(kErrorInvalidFunction);
    }
    case kDfuControl: {
      if (function == 0) return ok({0x00, 0x00, 0x00});
      if (function == 1) {
        const bool dfu = params.size() >= 7 && params[4] == 'D' && params[5] == 'F' && params[6] == 'U';
        if (!dfu || params[0] != 1) return fail(kErrorInvalidArgument);
        // One-way: the mouse drops off the bus and comes back as its bootloader.
        drop_off_locked(config_.reboot_delay, true);
        return {};
      }
      return fail(kErrorInvalidFunction);
    }
    case kLedEffects: {
      if (function == 4) {
        const int id = (params[0] << 8) | params[1];
        auto it = nv_config_.find(id);
        if (it == nv_config_.end()) return fail(kErrorInvalidArgument);
        return ok({params[0], params[1], it->second[0], it->second[1], it->second[2]});
      }
      if (function == 5) {
        const int id = (params[0] << 8) | params[1];
        nv_config_[id] = {params[2], params[3], params[4]};
        return ok({params[0], params[1]});
      }
      return fail(kErrorInvalidFunction);
    }
    case kOnboardProfiles: {
      bool lost_power = false;
      if (profile_fault_locked(function, &lost_power)) {
        if (lost_power) {
          lose_power_locked(std::chrono::milliseconds(faults_.reappear_after_ms));
          return {};
        }
        // The request is carried out; only its answer is lost.
        (void)handle_profiles(request, function, params);
        return {};
      }
      return handle_profiles(request, function, params);
    }
    case kDfu:
      return handle_dfu(request, function, params);
    default:
      return fail(kErrorInvalidFunction);
  }
}

std::vector<SimMouse::Output> SimMouse::handle_profiles(const std::vector<std::uint8_t>& request, unsigned function,
                                                        const std::vector<std::uint8_t>& params) {
  auto ok = [&](std::vector<std::uint8_t> result) { return std::vector<Output>{{answer(request, result)}}; };
  auto fail = [&](std::uint8_t code) { return std::vector<Output>{{error(request, code)}}; };
  switch (function) {
    case 0: {
      const unsigned size = static_cast<unsigned>(profiles_.sector_size());
      return ok({0x01, 0x03, 0x05, 0x01, 0x02, 0x00, static_cast<std::uint8_t>(profiles_.sector_count()), hi(size),
                 lo(size), 0x0A});
    }
    case 1:
      profiles_.onboard_mode = params[0] == 1;
      return ok({});
    case 2:
      return ok({static_cast<std::uint8_t>(profiles_.onboard_mode ? 1 : 2)});
    case 3:
      profiles_.active_profile = (params[0] << 8) | params[1];
      return ok({});
    case 4:
      return ok(
          {hi(static_cast<unsigned>(profiles_.active_profile)), lo(static_cast<unsigned>(profiles_.active_profile))});
    case 5: {
      std::vector<std::uint8_t> data;
      if (!profiles_.read((params[0] << 8) | params[1], (params[2] << 8) | params[3], &data)) {
        return fail(kErrorInvalidArgument);
      }
      return ok(data);
    }
    case 6:
      if (!profiles_.begin_write((params[0] << 8) | params[1], (params[2] << 8) | params[3],
                                 (params[4] << 8) | params[5])) {
        return fail(kErrorInvalidArgument);
      }
      return ok({});
    case 7: {
      int remaining = 0;
      if (!profiles_.write_data(std::vector<std::uint8_t>(params.begin(), params.begin() + 16), &remaining)) {
        return fail(kErrorInvalidArgument);
      }
      return ok({hi(static_cast<unsigned>(remaining)), lo(static_cast<unsigned>(remaining))});
    }
    case 8:
      if (!profiles_.end_write()) return fail(kErrorInvalidArgument);
      return ok({});
    case 10: {
      std::uint16_t crc = 0;
      if (!profiles_.crc((params[0] << 8) | params[1], &crc)) return fail(kErrorInvalidArgument);
      return ok({hi(crc), lo(crc)});
    }
    case 11:
      return ok({static_cast<std::uint8_t>(profiles_.resolution_index)});
    case 12:
      profiles_.resolution_index = params[0];
      return ok({});
    default:
      return fail(kErrorInvalidFunction);
  }
}

std::vector<SimMouse::Output> SimMouse::handle_dfu(const std::vector<std::uint8_t>& request, unsigned function,
                                                   const std::vector<std::uint8_t>& params) {
  const int dfu_index = index_of(kDfu);
  auto status_params = [](std::uint32_t next, std::uint8_t status) {
    return std::vector<std::uint8_t>{0x00, 0x00, hi(next), lo(next), status};
  };

  if (function == 5 && faults_.refuse_restart) return {{error(request, 5)}};
  if (function == 5) {  // restart
    const bool updated = receiver_.erased() && receiver_.verified(1) && receiver_.verified(2);
    // Nothing written since the bootloader started: the old application is intact.
    const bool intact = !receiver_.erased();
    const Mode comes_back_as = updated || intact ? Mode::Application : Mode::Bootloader;
    // The restart is the mouse's own from here: a host that goes away now
    // changes nothing, so the new firmware takes over at once.
    if (updated) apply_update_locked();
    comes_back_as_ = comes_back_as;
    restarting_ = true;
    const bool stay_away = faults_.stay_away_after_restart;
    const std::uint32_t expected_generation = generation_;
    const auto restart_delay = config_.restart_delay;
    std::weak_ptr<SimMouse> weak = weak_from_this();
    // The answer goes out first; then the mouse drops off the bus and, unless
    // it needs a power cycle, comes back with whatever firmware it now has.
    scheduler_.post(
        [weak, expected_generation, comes_back_as, stay_away, restart_delay] {
          std::shared_ptr<SimMouse> self = weak.lock();
          if (!self) return;
          std::uint32_t absent_generation = 0;
          {
            std::lock_guard<std::mutex> guard(self->lock_);
            if (self->generation_ != expected_generation) return;
            self->go_absent_locked(comes_back_as);
            self->stay_away_ = stay_away;
            absent_generation = self->generation_;
          }
          self->notify_presence();
          if (stay_away) return;
          self->scheduler_.post(
              [weak, absent_generation, comes_back_as] {
                std::shared_ptr<SimMouse> mouse = weak.lock();
                if (!mouse) return;
                {
                  std::lock_guard<std::mutex> guard(mouse->lock_);
                  if (mouse->generation_ != absent_generation || mouse->stay_away_) return;
                  mouse->appear_locked(comes_back_as);
                }
                mouse->notify_presence();
              },
              restart_delay);
        },
        config_.latency + std::chrono::milliseconds(1));
    return {{answer(request, {})}};
  }

  const bool is_start = function == 4;
  if (!is_start && function > 3) return {{error(request, kErrorInvalidFunction)}};
  if (params.size() < 16) return {{error(request, kErrorInvalidArgument)}};
  const int image = is_start ? receiver_.image_for(params) : receiver_.current_image();
  const std::uint32_t packet = is_start ? 0 : receiver_.next_packet();

  if (applies(faults_, faults_.disappear_at_packet, image, packet)) {
    faults_.disappear_at_packet = -1;
    drop_off_locked(std::chrono::milliseconds(faults_.reappear_after_ms), false);
    return {};
  }
  if (applies(faults_, faults_.error_response_to_packet, image, packet)) {
    faults_.error_response_to_packet = -1;
    return {{error(request, faults_.error_byte)}};
  }
  if (applies(faults_, faults_.bad_status_packet, image, packet)) {
    faults_.bad_status_packet = -1;
    return {{answer(request, status_params(packet, faults_.bad_status))}};
  }

  std::vector<Output> outputs;
  if (is_start) {
    const SimDfuReceiver::Answer result = receiver_.start(params);
    outputs.push_back({answer(request, status_params(result.next_packet, result.status))});
    // The start is answered "wait"; the request for packet 1 follows as a notification.
    if (result.status == SimDfuReceiver::kWait || result.status == SimDfuReceiver::kComplete) {
      const std::uint8_t status =
          result.status == SimDfuReceiver::kComplete ? SimDfuReceiver::kComplete : SimDfuReceiver::kAccepted;
      outputs.push_back({notification(dfu_index, 0, status_params(result.next_packet, status)), config_.latency});
    }
  } else {
    const SimDfuReceiver::Answer result = receiver_.packet(function, params);
    outputs.push_back({answer(request, status_params(result.next_packet, result.status))});
  }

  if (applies(faults_, faults_.drop_response_to_packet, image, packet)) {
    faults_.drop_response_to_packet = -1;
    outputs.erase(outputs.begin());
  } else if (applies(faults_, faults_.late_packet, image, packet)) {
    faults_.late_packet = -1;
    outputs.front().delay = faults_.late_by;
  }
  if (applies(faults_, faults_.unsolicited_status_after_packet, image, packet)) {
    faults_.unsolicited_status_after_packet = -1;
    outputs.push_back({notification(dfu_index, 0, status_params(packet + 1, SimDfuReceiver::kAccepted)),
                       config_.latency + config_.latency});
  }
  return outputs;
}

}  // namespace rodiz::sim
