#include "sim/SimDfuReceiver.h"

#include <algorithm>

namespace rodiz::sim {

SimDfuReceiver::SimDfuReceiver(std::vector<SimImage> expected)
    : expected_(std::move(expected)), verified_(expected_.size(), false) {}

void SimDfuReceiver::reset() {
  verified_.assign(expected_.size(), false);
  current_ = 0;
  next_ = 0;
  received_.clear();
  erased_ = false;
}

int SimDfuReceiver::image_for(const std::vector<std::uint8_t>& start_record) const {
  if (start_record.size() < 10 || start_record[1] != 0x01) return 0;
  const std::string code(start_record.begin() + 2, start_record.begin() + 10);
  for (std::size_t i = 0; i < expected_.size(); ++i) {
    if (expected_[i].hardware_code == code) return static_cast<int>(i) + 1;
  }
  return 0;
}

std::uint32_t SimDfuReceiver::packets_of(int image) const {
  if (image < 1 || image > static_cast<int>(expected_.size())) return 0;
  const std::size_t size = expected_[static_cast<std::size_t>(image - 1)].bytes.size();
  return static_cast<std::uint32_t>(size / 16 + (size % 16 != 0 ? 1 : 0));
}

bool SimDfuReceiver::verified(int image) const {
  return image >= 1 && image <= static_cast<int>(verified_.size()) && verified_[static_cast<std::size_t>(image - 1)];
}

SimDfuReceiver::Answer SimDfuReceiver::start(const std::vector<std::uint8_t>& packet) {
  Answer answer;
  const int image = image_for(packet);
  if (image == 0 || packet.size() < 16) {
    current_ = 0;
    return answer;
  }
  erased_ = true;
  current_ = image;
  verified_[static_cast<std::size_t>(image - 1)] = false;
  received_.assign(packet.begin(), packet.begin() + 16);
  next_ = 1;
  const bool complete = packets_of(image) <= 1;
  if (complete) {
    const auto& expected = expected_[static_cast<std::size_t>(image - 1)].bytes;
    verified_[static_cast<std::size_t>(image - 1)] =
        std::equal(expected.begin(), expected.end(), received_.begin(),
                   received_.begin() + static_cast<std::ptrdiff_t>(expected.size() < 16 ? expected.size() : 16));
  }
  last_status_ = complete ? kComplete : kAccepted;
  answer.status = complete ? kComplete : kWait;
  answer.next_packet = 1;
  return answer;
}

SimDfuReceiver::Answer SimDfuReceiver::packet(unsigned function, const std::vector<std::uint8_t>& data) {
  Answer answer;
  if (current_ == 0 || data.size() < 16) return answer;
  const std::uint32_t total = packets_of(current_);
  // A repeat of the packet just stored: its answer was lost on the way.
  if (next_ > 1 && function == next_ % 4 && received_.size() >= next_ * 16 &&
      std::equal(data.begin(), data.begin() + 16, received_.end() - 16)) {
    answer.status = last_status_;
    answer.next_packet = next_;
    answer.duplicate = true;
    return answer;
  }
  if (next_ >= total || function != (next_ + 1) % 4) {
    return answer;
  }
  received_.insert(received_.end(), data.begin(), data.begin() + 16);
  ++next_;
  if (next_ == total) {
    const auto& expected = expected_[static_cast<std::size_t>(current_ - 1)].bytes;
    verified_[static_cast<std::size_t>(current_ - 1)] =
        received_.size() >= expected.size() && std::equal(expected.begin(), expected.end(), received_.begin());
    last_status_ = kComplete;
  } else {
    last_status_ = kAccepted;
  }
  answer.status = last_status_;
  answer.next_packet = next_;
  return answer;
}

}  // namespace rodiz::sim
