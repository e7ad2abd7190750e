#include "features/ParamReader.h"

#include <cstdint>

namespace rodiz {

unsigned ParamReader::u8() {
  if (position_ >= params_.size()) {
    complete_ = false;
    return 0;
  }
  return params_[position_++];
}

unsigned ParamReader::u16() {
  const unsigned high = u8();
  return (high << 8) | u8();
}

int ParamReader::s16() { return static_cast<std::int16_t>(static_cast<std::uint16_t>(u16())); }

std::vector<Byte> ParamReader::rest() {
  std::vector<Byte> bytes;
  if (position_ < params_.size()) bytes.assign(params_.begin() + static_cast<std::ptrdiff_t>(position_), params_.end());
  position_ = params_.size();
  return bytes;
}

std::vector<unsigned> ParamReader::rest_u16() {
  std::vector<unsigned> values;
  while (position_ + 1 < params_.size()) values.push_back(u16());
  position_ = params_.size();
  return values;
}

}  // namespace rodiz
