#include "sim/SimDfuReceiver.h"

#include <algorithm>

namespace rodiz::sim {

SimDfuReceiver::SimDfuReceiver(std::vector<SimImage> expected)
    : expected_(std::move(expected)), verified_(expected_.size(), false) {}

void SimDfuReceiver::reset() {
  verified_.assign(expected_.size(), false);
  current_ = 0;
  next_ = 0;
  matches_ = false;
  last_packet_.clear();
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

bool SimDfuReceiver::expected_at(std::uint32_t index, const std::vector<std::uint8_t>& data) const {
  const auto& expected = expected_[static_cast<std::size_t>(current_ - 1)].bytes;
  const std::size_t offset = static_cast<std::size_t>(index) * 16;
  if (offset >= expected.size() || data.size() < 16) return false;
  // The last slice of an image that is not a multiple of 16 long is
  // compared as far as the image goes.
  const std::size_t n = std::min<std::size_t>(16, expected.size() - offset);
  return std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n),
                    expected.begin() + static_cast<std::ptrdiff_t>(offset));
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
  last_packet_.assign(packet.begin(), packet.begin() + 16);
  matches_ = expected_at(0, last_packet_);
  next_ = 1;
  const bool complete = packets_of(image) <= 1;
  if (complete) verified_[static_cast<std::size_t>(image - 1)] = matches_;
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
  if (next_ > 1 && function == next_ % 4 && last_packet_.size() == 16 &&
      std::equal(data.begin(), data.begin() + 16, last_packet_.begin())) {
    answer.status = last_status_;
    answer.next_packet = next_;
    answer.duplicate = true;
    return answer;
  }
  if (next_ >= total || function != (next_ + 1) % 4) {
    return answer;
  }
  matches_ = matches_ && expected_at(next_, data);
  last_packet_.assign(data.begin(), data.begin() + 16);
  ++next_;
  if (next_ == total) {
    verified_[static_cast<std::size_t>(current_ - 1)] = matches_;
    last_status_ = kComplete;
  } else {
    last_status_ = kAccepted;
  }
  answer.status = last_status_;
  answer.next_packet = next_;
  return answer;
}

SimDfuReceiver::Progress SimDfuReceiver::progress() const {
  Progress p;
  p.erased = erased_;
  p.verified = verified_;
  p.current = current_;
  p.next = next_;
  p.last_status = last_status_;
  p.matches = matches_;
  p.last_packet = last_packet_;
  return p;
}

bool SimDfuReceiver::restore(const Progress& p) {
  if (p.verified.size() < expected_.size() || p.current < 0 || p.current > static_cast<int>(expected_.size())) {
    return false;
  }
  // Images this receiver does not know cannot have been verified by it.
  for (std::size_t i = expected_.size(); i < p.verified.size(); ++i) {
    if (p.verified[i]) return false;
  }
  if (p.current == 0 ? p.next != 0 : p.next > packets_of(p.current)) return false;
  if (!p.last_packet.empty() && p.last_packet.size() != 16) return false;
  erased_ = p.erased;
  verified_.assign(p.verified.begin(), p.verified.begin() + static_cast<std::ptrdiff_t>(expected_.size()));
  current_ = p.current;
  next_ = p.next;
  last_status_ = p.last_status;
  matches_ = p.matches;
  last_packet_ = p.last_packet;
  return true;
}

}  // namespace rodiz::sim
