#include "features/FeatureRegistry.h"

#include <map>
#include <mutex>

#include "features/Feature.h"
#include "features/FeatureCatalogueIds.inc"

// Every feature class of the library. Adding a class means adding its id here
// (or to the catalogue's generated list) as well as its RODIZ_REGISTER_FEATURE line.
#define RODIZ_FEATURE_IDS(X) \
  X(0000)                    \
  X(0001)                    \
  X(0003)                    \
  X(0005)                    \
  X(0020)                    \
  X(1D4B)                    \
  X(00c0)                    \
  X(00c1)                    \
  X(00c2)                    \
  X(00d0)                    \
  X(8070)                    \
  X(8100)                    \
  RODIZ_CATALOGUE_FEATURE_IDS(X)

namespace rodiz {

#define RODIZ_DECLARE_ANCHOR(ID4) void link_feature_##ID4();
RODIZ_FEATURE_IDS(RODIZ_DECLARE_ANCHOR)
#undef RODIZ_DECLARE_ANCHOR

namespace {

struct Registry {
  std::mutex lock;
  std::map<int, FeatureFactory> factories;
};

// Created on first use: registrations run during static initialisation, in
// no particular order across translation units.
Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

bool FeatureRegistry::register_feature(int id, FeatureFactory factory) {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  FeatureFactory& slot = r.factories[id];
  if (slot != nullptr) return false;
  slot = factory;
  return true;
}

std::shared_ptr<Feature> FeatureRegistry::create(int id, int index, std::weak_ptr<Device> device) {
  FeatureFactory factory = nullptr;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    // Unknown ids are entered with an empty factory, as the lookup of a map does.
    factory = r.factories[id];
  }
  std::shared_ptr<Feature> feature;
  if (factory != nullptr) feature = factory(index, device);
  if (!feature) feature = std::make_shared<Feature>(id, index, std::move(device));
  return feature;
}

std::vector<int> FeatureRegistry::registered_ids() {
  Registry& r = registry();
  std::lock_guard<std::mutex> guard(r.lock);
  std::vector<int> ids;
  for (const auto& [id, factory] : r.factories) {
    if (factory != nullptr) ids.push_back(id);
  }
  return ids;
}

void FeatureRegistry::link_all_features() {
#define RODIZ_CALL_ANCHOR(ID4) link_feature_##ID4();
  RODIZ_FEATURE_IDS(RODIZ_CALL_ANCHOR)
#undef RODIZ_CALL_ANCHOR
}

}  // namespace rodiz
