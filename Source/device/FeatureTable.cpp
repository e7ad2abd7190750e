#include "device/FeatureTable.h"

#include "device/Device.h"
#include "device/LastError.h"
#include "features/Feature.h"
#include "features/FeatureRegistry.h"
#include "features/IFeature0000Root.h"
#include "features/IFeature0001FeatureSet.h"
#include "log/xLog.h"

namespace rodiz {

namespace {
constexpr const char* kTag = "Device";
}  // namespace

#define DLOG(level, ...) xLogWrite(kTag, level, __PRETTY_FUNCTION__, __VA_ARGS__)

FeatureTable::FeatureTable(Device& device) : device_(device) {}

std::shared_ptr<Feature> FeatureTable::feature_at(int index) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = table_.find(index);
  return it == table_.end() ? nullptr : it->second;
}

void FeatureTable::store(int index, std::shared_ptr<Feature> feature) {
  std::lock_guard<std::mutex> guard(mutex_);
  table_[index] = std::move(feature);
}

bool FeatureTable::feature_based() {
  std::lock_guard<std::mutex> guard(mutex_);
  return !table_.empty();
}

bool FeatureTable::load_feature_root(bool retry) {
  if (retry) {
    DLOG(LogInfo, "Device::load_feature_root - retry was requested");
    root_state_ = RootState::Unknown;
  }
  if (root_state_ == RootState::Loaded) {
    DLOG(LogInfo, "Device::load_feature_root - using previous true result (feature already loaded)");
    return true;
  }
  if (root_state_ == RootState::NotFrp20) {
    set_last_error(NotFrp20);
    DLOG(LogInfo, "Device::load_feature_root - using previous false result (NotFrp20)");
    return false;
  }
  DLOG(LogInfo, "Device::load_feature_root enter");
  const bool cache_present = device_.engine_.sync_cache_size() > 0;
  std::shared_ptr<Feature> created = FeatureRegistry::create(IFeature0000Root::kFeatureId, 0, device_.weak_from_this());
  if (!created) {
    set_last_error(InternalError, 0, "cannot create root feature");
    DLOG(LogInfo, "Device::load_feature_root exit (false, cannot create root feature)");
    return false;
  }
  auto root = std::dynamic_pointer_cast<IFeature0000Root>(created);
  if (!root) {
    set_last_error(InternalError, 0, "load_feature_root cannot cast root feature");
    DLOG(LogInfo, "Device::load_feature_root exit (false, cannot cast root feature)");
    return false;
  }
  if (!root->TargetSw(nullptr, nullptr)) {
    if (last_error_code() == Frp10Error1) {
      root_state_ = RootState::NotFrp20;
      set_last_error(NotFrp20);
      DLOG(LogInfo, "Device::load_feature_root exit (false, not FRP 2.0 device)");
      return false;
    }
    DLOG(LogInfo, "Device::load_feature_root exit (false, error)");
    return false;
  }
  root_state_ = RootState::Loaded;
  store(0, created);
  DLOG(LogInfo, "Device::load_feature_root success, now need a ping");
  device_.engine_.request_ping();
  if (!device_.firmware_.load_fwinfo(cache_present)) {
    // Answers from a saved cache of another firmware (a file written before an
    // update): the check has dropped them and reset discovery, which now
    // starts again from the device instead of failing this lookup.
    if (cache_present && last_error_code() == FwVersionChanged && root_state_ == RootState::Unknown) {
      DLOG(LogInfo, "Device::load_feature_root cached answers were of another firmware, discovering again");
      return load_feature_root(false);
    }
    DLOG(LogInfo, "load_feature_root failing (load_fwinfo failed)");
    return false;
  }
  if (transport_kind(device_.hwdev_->bus_type()) == TransportKind::Receiver) device_.subscribe_wireless_status();
  DLOG(LogInfo, "Device::load_feature_root exit (true, success)");
  return true;
}

std::shared_ptr<IFeature> FeatureTable::load_feature(int id, int cache_mode) {
  DLOG(LogInfo, "Device::load_feature(0x%04x)", static_cast<unsigned>(id));
  if (!load_feature_root(false)) return nullptr;
  if (id == 0) return feature_at(0);
  auto root = std::dynamic_pointer_cast<IFeature0000Root>(feature_at(0));
  if (!root) {
    set_last_error(InternalError, 0, "load_feature cannot cast root feature");
    return nullptr;
  }
  int index = 0;
  bool obsolete = false;
  bool hidden = false;
  bool engineering = false;
  int version = 0;
  if (!root->GetFeature(id, &index, &obsolete, &hidden, &engineering, &version, cache_mode)) return nullptr;
  if (index == 0) {
    set_last_error(FeatureNotSupported);
    return nullptr;
  }
  std::shared_ptr<Feature> feature = FeatureRegistry::create(id, index, device_.weak_from_this());
  feature->set_flags(obsolete, hidden, engineering, version);
  store(index, feature);
  return feature;
}

bool FeatureTable::load_features() {
  DLOG(LogInfo, "Device::load_features()");
  if (!load_feature_root(false)) {
    DLOG(LogInfo, "Device::load_features fail (load_feature_root fail)");
    return false;
  }
  if (all_features_loaded_) {
    DLOG(LogInfo, "Device::load_features success (all_features_loaded)");
    return true;
  }
  std::shared_ptr<IFeature0001FeatureSet> feature_set = device_.feature<IFeature0001FeatureSet>();
  if (!feature_set) {
    DLOG(LogInfo, "Device::load_features fail (no IFeature0001FeatureSet)");
    return false;
  }
  int count = 0;
  if (!feature_set->GetCount(&count)) {
    DLOG(LogInfo, "Device::load_features fail (no featureSet->GetCount)");
    return false;
  }
  for (int index = 2; index <= count; ++index) {
    int id = 0;
    bool engineering = false;
    bool hidden = false;
    bool obsolete = false;
    int version = 0;
    if (!feature_set->GetFeatureID(index, &id, &engineering, &hidden, &obsolete, &version)) {
      DLOG(LogInfo, "Device::load_features fail (no featureSet->GetFeatureID %d)", index);
      return false;
    }
    std::shared_ptr<Feature> feature = FeatureRegistry::create(id, index, device_.weak_from_this());
    feature->set_flags(obsolete, hidden, engineering, version);
    store(index, feature);
  }
  all_features_loaded_ = true;
  if (transport_kind(device_.hwdev_->bus_type()) == TransportKind::Receiver) device_.subscribe_wireless_status();
  DLOG(LogInfo, "Device::load_features success (%d features)", count);
  return true;
}

std::shared_ptr<IFeature> FeatureTable::feature_by_id(int id) {
  DLOG(LogInfo, "Device::feature_by_id(0x%04x)", static_cast<unsigned>(id));
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::shared_ptr<Feature> found;
    for (const auto& [index, feature] : table_) {
      if (feature && feature->feature_id() == id) found = feature;
    }
    if (found) return found;
    if (all_features_loaded_) {
      set_last_error(FeatureNotSupported);
      return nullptr;
    }
  }
  return load_feature(id, 1);
}

std::vector<std::shared_ptr<IFeature>> FeatureTable::features() {
  DLOG(LogInfo, "Device::features");
  if (!load_features()) return {};
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<std::shared_ptr<IFeature>> result;
  for (const auto& [index, feature] : table_) result.push_back(feature);
  return result;
}

void FeatureTable::forget() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::shared_ptr<Feature> root;
    auto it = table_.find(0);
    if (it != table_.end()) root = it->second;
    table_.clear();
    if (root) table_[0] = root;
  }
  root_state_ = RootState::Unknown;
  all_features_loaded_ = false;
}

}  // namespace rodiz
