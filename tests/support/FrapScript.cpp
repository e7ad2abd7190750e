#include "support/FrapScript.h"

#include <algorithm>

namespace rodiz::test {

std::vector<Byte> answer(const std::vector<Byte>& request, std::vector<Byte> params) {
  std::vector<Byte> reply(std::max<std::size_t>(20, 4 + params.size()), 0);
  reply[0] = 0x11;
  for (std::size_t i = 1; i < 4; ++i) reply[i] = i < request.size() ? request[i] : Byte{0};
  for (std::size_t i = 0; i < params.size(); ++i) reply[4 + i] = params[i];
  return reply;
}

std::vector<Byte> frap10_error(const std::vector<Byte>& request, Byte error, Byte device_index) {
  return {0x10, device_index, 0x8F, request[2], request[3], error, 0x00};
}

std::vector<Byte> frap20_error(const std::vector<Byte>& request, Byte error) {
  std::vector<Byte> reply{0x11, request[1], 0xFF, request[2], request[3], error};
  reply.resize(20, 0);
  return reply;
}

bool is_ping(const std::vector<Byte>& written) {
  return written.size() >= 7 && written[2] == 0x00 && (written[3] >> 4) == 1 && written[6] != 0;
}

FakeChannel::Script root_only_script(std::map<int, int> features, bool answer_pings) {
  return [features, answer_pings](const std::vector<Byte>& w) -> std::vector<FakeChannel::Reply> {
    if (w.size() < 7 || w[2] != 0x00) return {};
    const int function = w[3] >> 4;
    if (function == 1) {
      if (w[6] != 0 && !answer_pings) return {};
      return {{answer(w, {0x04, 0x00, w[6]}), 0}};
    }
    if (function == 0) {
      const int id = (w[4] << 8) | w[5];
      auto it = features.find(id);
      const bool found = it != features.end();
      return {{answer(w, {static_cast<Byte>(found ? it->second : 0), 0x00, static_cast<Byte>(found ? 1 : 0)}), 0}};
    }
    return {};
  };
}

}  // namespace rodiz::test
