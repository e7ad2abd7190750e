#include "transport/ScriptedReceiver.h"

#include <cstdio>

#include "support/FrapScript.h"

namespace rodiz::test {

ScriptedReceiver::ScriptedReceiver(int pid, int protocol, std::string path)
    : protocol_(protocol), channel_(std::make_shared<FakeChannel>(pid, 0, std::move(path))) {
  channel_->set_script([this](const std::vector<Byte>& written) { return handle(written); });
}

void ScriptedReceiver::pair(int slot, int qid, bool link, std::string name) {
  std::lock_guard<std::mutex> guard(lock_);
  slots_[slot] = Slot{qid, link, std::move(name)};
}

void ScriptedReceiver::unpair_slot(int slot) {
  std::lock_guard<std::mutex> guard(lock_);
  slots_.erase(slot);
}

void ScriptedReceiver::set_register(Byte reg, std::array<Byte, 3> value) {
  std::lock_guard<std::mutex> guard(lock_);
  registers_[reg] = value;
}

std::array<Byte, 3> ScriptedReceiver::register_value(Byte reg) {
  std::lock_guard<std::mutex> guard(lock_);
  return registers_[reg];
}

void ScriptedReceiver::claim_connected(int count) {
  std::lock_guard<std::mutex> guard(lock_);
  claimed_connected_ = count;
}

void ScriptedReceiver::limit_announcements(int count) {
  std::lock_guard<std::mutex> guard(lock_);
  announce_limit_ = count;
}

void ScriptedReceiver::set_activity(std::vector<Byte> values) {
  std::lock_guard<std::mutex> guard(lock_);
  activity_ = std::move(values);
}

void ScriptedReceiver::claim_name_length(int claimed) {
  std::lock_guard<std::mutex> guard(lock_);
  claimed_name_length_ = claimed;
}

void ScriptedReceiver::answer_devices(bool answer) {
  std::lock_guard<std::mutex> guard(lock_);
  answer_devices_ = answer;
}

std::vector<Byte> ScriptedReceiver::connection(int slot, int qid, bool link) const {
  return {0x10,
          static_cast<Byte>(slot + 1),
          0x41,
          static_cast<Byte>(protocol_),
          static_cast<Byte>(link ? 0x00 : 0x40),
          static_cast<Byte>(qid & 0xFF),
          static_cast<Byte>((qid >> 8) & 0xFF)};
}

void ScriptedReceiver::forget_requests() {
  std::lock_guard<std::mutex> guard(lock_);
  forgotten_ = channel_->write_count();
}

void ScriptedReceiver::pulled_out() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    pulled_out_ = true;
  }
  channel_->fail_writes(DeviceRemoved);
}

void ScriptedReceiver::plugged_back() {
  channel_->fail_writes(NoError, 0, 0);
  std::lock_guard<std::mutex> guard(lock_);
  pulled_out_ = false;
}

std::vector<std::string> ScriptedReceiver::register_requests() {
  std::vector<std::string> result;
  std::size_t skip = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    skip = forgotten_;
  }
  const auto written = channel_->written();
  for (std::size_t i = skip; i < written.size(); ++i) {
    const auto& w = written[i];
    if (w.size() < 7 || w[1] != 0xFF) continue;
    char text[32];
    std::snprintf(text, sizeof text, "%02x %02x %02x %02x %02x", w[2], w[3], w[4], w[5], w[6]);
    result.push_back(text);
  }
  return result;
}

std::vector<FakeChannel::Reply> ScriptedReceiver::handle(const std::vector<Byte>& w) {
  std::lock_guard<std::mutex> guard(lock_);
  if (w.size() < 7 || pulled_out_) return {};
  if (w[1] != 0xFF) {
    if (!answer_devices_) return {};
    // The paired device answers as a device with only the root feature.
    std::vector<Byte> request = w;
    request[1] = 0xFF;
    std::vector<FakeChannel::Reply> replies = root_only_script()(request);
    for (auto& reply : replies) reply.report[1] = w[1];
    return replies;
  }
  const Byte reg = w[3];
  if (w[2] == 0x81) {
    std::array<Byte, 3> value = registers_[reg];
    if (reg == 0x02) {
      // Every paired device is counted: every one is announced.
      value[1] = static_cast<Byte>(claimed_connected_ >= 0 ? claimed_connected_ : static_cast<int>(slots_.size()));
    }
    return {{{0x10, 0xFF, 0x81, reg, value[0], value[1], value[2]}, 0}};
  }
  if (w[2] == 0x80) {
    std::vector<FakeChannel::Reply> replies;
    if (reg == 0x02 && w[4] == 0x02) {
      int announced = 0;
      for (const auto& [slot, s] : slots_) {
        if (announce_limit_ >= 0 && announced >= announce_limit_) break;
        replies.push_back({connection(slot, s.qid, s.link), 0});
        ++announced;
      }
    } else if (reg != 0xB2) {
      registers_[reg] = {w[4], w[5], w[6]};
    }
    replies.push_back({{0x10, 0xFF, 0x80, reg, 0x00, 0x00, 0x00}, 0});
    return replies;
  }
  if (w[2] == 0x83) {
    std::vector<Byte> reply{0x11, 0xFF, 0x83, reg};
    if (reg == 0xB3) {
      reply.insert(reply.end(), activity_.begin(), activity_.end());
    } else if (reg == 0xB5) {
      const int slot = w[4] - 0x40;
      const std::string name = slots_.count(slot) ? slots_[slot].name : std::string();
      reply.push_back(w[4]);
      reply.push_back(static_cast<Byte>(claimed_name_length_ >= 0 ? claimed_name_length_ : name.size()));
      reply.insert(reply.end(), name.begin(), name.end());
    }
    reply.resize(20, 0);
    return {{reply, 0}};
  }
  return {};
}

}  // namespace rodiz::test
