#pragma once

#include <cstddef>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

class Feature;

// The one request shape shared by the catalogue features whose operations
// pass their parameters and their answer through undecoded.
class CatalogueCommand {
 public:
  // The parameters of a long report: more cannot be sent.
  static constexpr std::size_t kMaxParams = 16;

  // Whether `params` fit in one request; if not, sets ParameterSizeMismatch.
  static bool fits(const std::vector<Byte>& params);

  // Sends `function` of `feature` with `params` and waits for the answer
  // (never served from the command cache). On success `response`, when given,
  // receives the answer's parameter bytes. More than kMaxParams parameters
  // fail with ParameterSizeMismatch without sending anything. A failed command
  // is logged at level 3 under tag `class_name` as "<class_name>::<operation>
  // failed", the last error being the command engine's.
  static bool exchange(Feature& feature, const char* class_name, const char* operation, unsigned function,
                       const std::vector<Byte>& params, std::vector<Byte>* response);

  // The same without waiting for an answer.
  static bool send(Feature& feature, const char* class_name, const char* operation, unsigned function,
                   const std::vector<Byte>& params);
};

}  // namespace rodiz
