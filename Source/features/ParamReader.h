#pragma once

#include <cstddef>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// Reads the fields of a notification's parameters in order, most significant
// byte first. Reading past the end yields 0 and marks the reader short, so a
// decoder reads every field and then asks complete() once.
class ParamReader {
 public:
  explicit ParamReader(const std::vector<Byte>& params) : params_(params) {}

  // One byte, widened without sign.
  unsigned u8();
  // Two bytes, most significant first.
  unsigned u16();
  // Two bytes as a signed 16-bit value.
  int s16();
  // Every byte not read yet.
  std::vector<Byte> rest();
  // Every remaining whole pair of bytes as a 16-bit value; an odd last byte
  // carries no value and is skipped.
  std::vector<unsigned> rest_u16();
  // No field reached past the end of the parameters.
  bool complete() const { return complete_; }

 private:
  const std::vector<Byte>& params_;
  std::size_t position_ = 0;
  bool complete_ = true;
};

}  // namespace rodiz
