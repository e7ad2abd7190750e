#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "features/IFeature.h"

namespace rodiz {

class Device;
class Feature;

// The feature table of one Device: the root feature's protocol check,
// discovery of single features and of the whole table, and lookups by index
// (from the read thread) and by id.
//
// Threads: lookups by index take the table lock only; discovery runs on the
// caller's thread and sends its requests through the device's engine.
class FeatureTable {
 public:
  // What the root feature's protocol check found.
  enum class RootState { Unknown = 0, NotFrp20 = 1, Loaded = 2 };

  // `device` owns the table and outlives it.
  explicit FeatureTable(Device& device);
  FeatureTable(const FeatureTable&) = delete;
  FeatureTable& operator=(const FeatureTable&) = delete;

  // Loads the root feature once (again with `retry`); false with NotFrp20 for
  // a FRAP 1.0 device, or with the reason of the failed request.
  [[nodiscard]] bool load_feature_root(bool retry);
  // Asks the device where feature `id` lives and adds it; empty with
  // FeatureNotSupported when the device lacks it.
  std::shared_ptr<IFeature> load_feature(int id, int cache_mode);
  // Enumerates every feature once.
  [[nodiscard]] bool load_features();
  // The feature with this id, discovering it on first use.
  std::shared_ptr<IFeature> feature_by_id(int id);
  // Every feature in index order; empty on failure.
  std::vector<std::shared_ptr<IFeature>> features();
  // The feature at `index`, or empty; safe from any thread.
  std::shared_ptr<Feature> feature_at(int index);
  // Whether the device speaks FRAP 2.0 (the table is not empty).
  bool feature_based();
  // Drops every feature but the root, so that discovery runs again.
  void forget();

 private:
  void store(int index, std::shared_ptr<Feature> feature);

  Device& device_;
  std::mutex mutex_;
  std::map<int, std::shared_ptr<Feature>> table_;
  RootState root_state_ = RootState::Unknown;
  bool all_features_loaded_ = false;
};

}  // namespace rodiz
