#pragma once

#include <map>
#include <vector>

#include "runtime/Byte.h"
#include "support/FakeChannel.h"

namespace rodiz::test {

// Builders for FRAP reports and a minimal FRAP 2.0 device for engine tests.
// The answer to `request`: its header echoed, then `params`, as a long report.
std::vector<Byte> answer(const std::vector<Byte>& request, std::vector<Byte> params = {});
std::vector<Byte> frap10_error(const std::vector<Byte>& request, Byte error, Byte device_index = 0xFF);
std::vector<Byte> frap20_error(const std::vector<Byte>& request, Byte error);

// Answers the root feature only: GetProtocolVersion with ping data 0 (root
// discovery) and GetFeature from `features` (id -> index, absent ids: 0).
// Pings with other data are answered when `answer_pings` is set.
FakeChannel::Script root_only_script(std::map<int, int> features = {}, bool answer_pings = true);
bool is_ping(const std::vector<Byte>& written);

}  // namespace rodiz::test
