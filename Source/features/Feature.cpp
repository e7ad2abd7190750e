#include "features/Feature.h"

#include "device/Device.h"
#include "device/FrapReport.h"
#include "device/LastError.h"

namespace rodiz {

Feature::Feature(int id, int index, std::weak_ptr<Device> device)
    : feature_id_(id), feature_index_(index), device_(std::move(device)) {}

Feature::~Feature() = default;

std::shared_ptr<IDevice> Feature::device() { return device_.lock(); }

bool Feature::sendFeatureCommand(unsigned function, const std::vector<Byte>& params) {
  std::shared_ptr<Device> owner = device_.lock();
  if (!owner) {
    set_last_error(DeviceRemoved);
    return false;
  }
  const std::vector<Byte> request =
      frap::feature_request(static_cast<Byte>(feature_index_), function, static_cast<unsigned>(owner->swid()), params);
  return owner->sendCommand(request, false);
}

bool Feature::sendFeatureCommand(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& response,
                                 int cache_mode) {
  return sendFeatureCommand(function, params, response, cache_mode, {});
}

bool Feature::sendFeatureCommand(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& response,
                                 int cache_mode, const std::vector<unsigned>& match_positions) {
  std::shared_ptr<Device> owner = device_.lock();
  if (!owner) {
    set_last_error(DeviceRemoved);
    return false;
  }
  const std::vector<Byte> request =
      frap::feature_request(static_cast<Byte>(feature_index_), function, static_cast<unsigned>(owner->swid()), params);
  std::vector<Byte> reply;
  if (!owner->sendSynchronousCommand(request, reply, cache_mode, match_positions)) return false;
  if (reply.size() < frap::kShortReportSize) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  // The engine may have switched swid while retrying; compare with the one in use now.
  const auto expected_function =
      static_cast<Byte>(((function & 0x0F) << 4) | (static_cast<unsigned>(owner->swid()) & 0x0F));
  if (reply[2] != static_cast<Byte>(feature_index_) || reply[3] != expected_function) {
    set_last_error(InternalError, 0, "response does not match command");
    return false;
  }
  response.assign(reply.begin() + 4, reply.end());
  return true;
}

bool Feature::process_pending_changes(bool /*device_configured*/) { return true; }

void Feature::onFeatureReport(unsigned /*function*/, const std::vector<Byte>& /*payload*/) {}

void Feature::onUnexpectedResponse(unsigned /*function*/, unsigned /*swid*/, const std::vector<Byte>& /*payload*/) {}

bool Feature::set_configured() {
  if (configured_) return true;
  std::shared_ptr<Device> owner = device_.lock();
  if (!owner) {
    set_last_error(DeviceRemoved);
    return false;
  }
  const bool result = owner->set_configured(shared_from_this());
  configured_ = true;
  return result;
}

bool Feature::set_pending() {
  if (writing_pending_) {
    set_last_error(PendingWriteInProgress);
    return false;
  }
  if (pending_) return true;
  std::shared_ptr<Device> owner = device_.lock();
  if (!owner) {
    set_last_error(DeviceRemoved);
    return false;
  }
  const bool result = owner->set_pending(shared_from_this());
  pending_ = true;
  return result;
}

void Feature::dispatch_feature_report(unsigned function, unsigned swid, const std::vector<Byte>& payload) {
  Producer<IFeature::FeatureReport>::produce(
      [function, swid, payload](IFeature::FeatureReport* s) { s->onFeatureReport(function, swid, payload); },
      "Feature::FeatureReport::onFeatureReport");
  onFeatureReport(function, payload);
}

void Feature::dispatch_unexpected_response(unsigned function, unsigned swid, const std::vector<Byte>& payload) {
  const int function_swid = static_cast<int>(((function & 0x0F) << 4) | (swid & 0x0F));
  Producer<IFeature::FeatureReport>::produce(
      [function_swid, payload](IFeature::FeatureReport* s) { s->onUnexpectedResponse(function_swid, payload); },
      "Feature::FeatureReport::onUnexpectedResponse");
  onUnexpectedResponse(function, swid, payload);
}

void Feature::set_flags(bool obsolete, bool hidden, bool engineering, int version) {
  obsolete_ = obsolete;
  hidden_ = hidden;
  engineering_ = engineering;
  version_ = version;
}

}  // namespace rodiz
