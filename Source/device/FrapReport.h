#pragma once

#include <cstddef>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// The FRAP report layout, stated once. Offsets count from the report id.
//   0  report id: 0x10 short (7 bytes), 0x11 long (20 bytes)
//   1  device index: 0xFF the device itself
//   2  FRAP 2.0 feature index, or FRAP 1.0 sub-id (0x80 and above)
//   3  FRAP 2.0: function << 4 | software id; FRAP 1.0: register address
//   4+ parameters, most significant byte first
namespace frap {

constexpr Byte kShortReportId = 0x10;
constexpr Byte kLongReportId = 0x11;
constexpr std::size_t kShortReportSize = 7;
constexpr std::size_t kLongReportSize = 20;
constexpr Byte kDeviceIndexSelf = 0xFF;
constexpr Byte kFrap10ErrorSubId = 0x8F;
constexpr Byte kFrap20ErrorIndex = 0xFF;
// Sub-ids at and above this are never FRAP 2.0 feature indexes.
constexpr Byte kFirstFrap10SubId = 0x80;

// Byte i of a report, 0 beyond its end.
inline Byte at(const std::vector<Byte>& report, std::size_t i) { return i < report.size() ? report[i] : Byte{0}; }

// FRAP 1.0 notification sub-ids (0x40, 0x41, 0x49, 0x4B).
bool is_frap10_notification(Byte sub_id);

// Bytes 1, 2 and 3 are equal, a byte beyond either end counting as 0.
bool header_matches(const std::vector<Byte>& response, const std::vector<Byte>& command);

// For each parameter position k, byte 4 + k is equal (missing bytes count as 0).
bool payload_matches(const std::vector<Byte>& response, const std::vector<Byte>& command,
                     const std::vector<unsigned>& positions);

// A request of feature `index`, function `function`, software id `swid`:
// a short report when the parameters fit in 3 bytes, else a long one.
std::vector<Byte> feature_request(Byte index, unsigned function, unsigned swid, const std::vector<Byte>& params);

}  // namespace frap
}  // namespace rodiz
