#include "transport/FRP10Command.h"

#include <cstddef>

#include "device/FrapReport.h"
#include "device/IDevice.h"
#include "device/LastError.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "FRP10Command";
constexpr Byte kConnectionStateRegister = 0x02;
constexpr Byte kFakeArrivalRequest = 0x02;
constexpr Byte kNameRegister = 0xB5;
constexpr Byte kNameSubPageBase = 0x40;
constexpr std::size_t kNameAnswerMinimum = 16;
constexpr std::size_t kNameLengthOffset = 5;
constexpr std::size_t kNameOffset = 6;

#define FLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

const char* outcome(bool ok) { return ok ? "success" : "fail"; }

bool null_receiver(const char* message, const char* exit_line) {
  set_last_error(Frp10Error11, 0, message);
  FLOG(LogInfo, "%s", exit_line);
  return false;
}

}  // namespace

std::vector<Byte> FRP10Command::read_short_request(Byte reg) {
  return {frap::kShortReportId, frap::kDeviceIndexSelf, kReadShortRegister, reg, 0x00, 0x00, 0x00};
}

std::vector<Byte> FRP10Command::write_short_request(Byte reg, Byte p0, Byte p1, Byte p2) {
  return {frap::kShortReportId, frap::kDeviceIndexSelf, kWriteShortRegister, reg, p0, p1, p2};
}

std::vector<Byte> FRP10Command::read_long_request(Byte reg, Byte sub_page) {
  return {frap::kShortReportId, frap::kDeviceIndexSelf, kReadLongRegister, reg, sub_page, 0x00, 0x00};
}

bool FRP10Command::set_receiver_connection_state(IDevice* receiver) {
  if (receiver == nullptr) {
    return null_receiver("null device pointer passed to set_receiver_connection_state!",
                         "FRP10Command::set_receiver_connection_state exit (false, null device pointer)");
  }
  FLOG(LogInfo, "FRP10Command::set_receiver_connection_state enter");
  std::vector<Byte> response;
  const bool ok = receiver->sendSynchronousCommand(
      write_short_request(kConnectionStateRegister, kFakeArrivalRequest, 0x00, 0x00), response, 0, {});
  FLOG(LogInfo, "FRP10Command::set_receiver_connection_state exit (%s)", outcome(ok));
  return ok;
}

bool FRP10Command::read_receiver_connection_state(IDevice* receiver, int* count, int* second) {
  if (receiver == nullptr) {
    return null_receiver("null device pointer passed to read_receiver_connection_state!",
                         "FRP10Command::read_receiver_connection_state exit (false, null device pointer)");
  }
  FLOG(LogInfo, "FRP10Command::read_receiver_connection_state enter");
  std::vector<Byte> response;
  const bool ok = receiver->sendSynchronousCommand(read_short_request(kConnectionStateRegister), response, 0, {});
  if (ok) {
    if (count != nullptr) *count = frap::at(response, 5);
    if (second != nullptr) *second = frap::at(response, 6);
  }
  FLOG(LogInfo, "FRP10Command::read_receiver_connection_state exit (%s)", outcome(ok));
  return ok;
}

bool FRP10Command::read_receiver_paired_device_name(IDevice* receiver, int slot, std::string* name) {
  if (receiver == nullptr) {
    return null_receiver("null device pointer passed to read_receiver_paired_device_name!",
                         "FRP10Command::read_receiver_paired_device_name exit (false, null device pointer)");
  }
  FLOG(LogInfo, "FRP10Command::read_receiver_paired_device_name enter");
  std::vector<Byte> response;
  const Byte sub_page = static_cast<Byte>(kNameSubPageBase + slot);
  const bool ok = receiver->sendSynchronousCommand(read_long_request(kNameRegister, sub_page), response, 0, {0});
  if (ok) {
    if (response.size() < kNameAnswerMinimum) {
      set_last_error(CommandResponseTooShort);
      return false;
    }
    // The claimed length is the receiver's word; the answer's end is ours.
    const std::size_t claimed = response[kNameLengthOffset];
    const std::size_t available = response.size() - kNameOffset;
    const std::size_t length = claimed < available ? claimed : available;
    if (claimed > available) {
      FLOG(LogWarning, "device name of slot %d claims %u bytes, the answer holds %u: name cut", slot,
           static_cast<unsigned>(claimed), static_cast<unsigned>(available));
    }
    if (name != nullptr) {
      name->assign(response.begin() + static_cast<std::ptrdiff_t>(kNameOffset),
                   response.begin() + static_cast<std::ptrdiff_t>(kNameOffset + length));
    }
  }
  FLOG(LogInfo, "FRP10Command::read_receiver_paired_device_name exit (%s)", outcome(ok));
  return ok;
}

}  // namespace rodiz
