#include "device/FrapReport.h"

namespace rodiz::frap {

bool is_frap10_notification(Byte sub_id) {
  return sub_id == 0x40 || sub_id == 0x41 || sub_id == 0x49 || sub_id == 0x4B;
}

bool header_matches(const std::vector<Byte>& response, const std::vector<Byte>& command) {
  for (std::size_t i = 1; i <= 3; ++i) {
    if (at(response, i) != at(command, i)) return false;
  }
  return true;
}

bool payload_matches(const std::vector<Byte>& response, const std::vector<Byte>& command,
                     const std::vector<unsigned>& positions) {
  for (unsigned k : positions) {
    const std::size_t i = 4 + static_cast<std::size_t>(k);
    if (at(response, i) != at(command, i)) return false;
  }
  return true;
}

std::vector<Byte> feature_request(Byte index, unsigned function, unsigned swid, const std::vector<Byte>& params) {
  std::vector<Byte> request;
  request.reserve(4 + params.size());
  request.push_back(kShortReportId);
  request.push_back(kDeviceIndexSelf);
  request.push_back(index);
  request.push_back(static_cast<Byte>(((function & 0x0F) << 4) | (swid & 0x0F)));
  request.insert(request.end(), params.begin(), params.end());
  if (request.size() > kShortReportSize) request[0] = kLongReportId;
  return request;
}

}  // namespace rodiz::frap
