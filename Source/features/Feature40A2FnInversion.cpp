#include "features/Feature40A2FnInversion.h"

#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Feature40A2FnInversion";
constexpr const char* kSet = "rodiz::Feature40A2FnInversion::SetGlobalFnInversion";
constexpr const char* kSetNow = "rodiz::Feature40A2FnInversion::SetGlobalFnInversionNow";
constexpr unsigned kGetFunction = 0;
constexpr unsigned kSetFunction = 1;

}  // namespace

Feature40A2FnInversion::Feature40A2FnInversion(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature40A2FnInversion::GetGlobalFnInversion(bool* inverted, bool* second) {
  std::vector<Byte> answer;
  if (!sendFeatureCommand(kGetFunction, {0x00}, answer, 0)) return false;
  if (answer.size() < 2) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  if (inverted) *inverted = answer[0] != 0;
  if (second) *second = answer[1] != 0;
  return true;
}

bool Feature40A2FnInversion::SetGlobalFnInversionNow(Byte value) {
  if (!set_configured()) {
    xLogWrite(kTag, LogInfo, kSetNow, "set_configured failed");
    return false;
  }
  std::vector<Byte> answer;
  if (!sendFeatureCommand(kSetFunction, {value}, answer, 0)) {
    xLogWrite(kTag, LogInfo, kSetNow, "sendFeatureCommand failed");
    return false;
  }
  if (answer.size() < 2) {
    xLogWrite(kTag, LogInfo, kSetNow, "sendFeatureCommand failed, CommandResponseTooShort");
    set_last_error(CommandResponseTooShort);
    return false;
  }
  return true;
}

bool Feature40A2FnInversion::SetGlobalFnInversion(Byte value) {
  if (SetGlobalFnInversionNow(value)) return true;
  if (last_error_code() != NotConnected) return false;
  xLogWrite(kTag, LogInfo, kSet, "Feature 0x40A2 caching pending change");
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    pending_values_.push_back(value);
  }
  if (!set_pending()) {
    xLogWrite(kTag, LogInfo, kSet, "set_pending failed");
    return false;
  }
  clear_last_error();
  return true;
}

bool Feature40A2FnInversion::process_pending_changes(bool /*device_configured*/) {
  std::vector<Byte> values;
  {
    std::lock_guard<std::mutex> guard(pending_lock_);
    values = pending_values_;
  }
  // The lock is not held while writing: a setter may append meanwhile. What
  // was written is dropped, so a later attempt does not write it twice.
  std::size_t written = 0;
  bool ok = true;
  for (Byte value : values) {
    if (!SetGlobalFnInversionNow(value)) {
      ok = false;
      break;
    }
    ++written;
  }
  std::lock_guard<std::mutex> guard(pending_lock_);
  pending_values_.erase(pending_values_.begin(), pending_values_.begin() + static_cast<std::ptrdiff_t>(written));
  return ok;
}

void Feature40A2FnInversion::onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload) {
  if (function != kSetFunction || payload.empty()) return;
  const bool inverted = payload[0] != 0;
  Producer<IFeature40A2FnInversion::SettingChange>::produce(
      [swid, inverted](IFeature40A2FnInversion::SettingChange* s) { s->onSettingChange(swid, inverted); },
      "Feature40A2FnInversion::SettingChange::onSettingChange");
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(40A2, Feature40A2FnInversion)
