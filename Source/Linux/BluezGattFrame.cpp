#include "Linux/BluezGattFrame.h"

namespace rodiz {

std::vector<Byte> BluezGattFrame::report(const std::uint8_t* value, std::size_t size, bool variable_length,
                                         unsigned& byte_count) {
  std::vector<Byte> report;
  report.reserve(size + 2);
  report.push_back(size > 7 ? 0x11 : 0x10);
  if (variable_length) report.push_back(0xFF);
  if (size > 0) report.insert(report.end(), value, value + size);
  byte_count = static_cast<unsigned>(report.size());
  report.resize(kReportLength, 0);
  return report;
}

std::vector<std::uint8_t> BluezGattFrame::value(const std::vector<Byte>& report, bool variable_length) {
  if (variable_length) {
    std::vector<std::uint8_t> value(report.begin() + (report.size() > 2 ? 2 : static_cast<long>(report.size())),
                                    report.end());
    while (value.size() > 1 && value.back() == 0) value.pop_back();
    if (value.empty()) value.push_back(0);
    return value;
  }
  std::vector<std::uint8_t> padded(report.begin(), report.end());
  padded.resize(kReportLength, 0);
  return std::vector<std::uint8_t>(padded.begin() + 1, padded.end());
}

}  // namespace rodiz
