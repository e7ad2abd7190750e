#pragma once

#include <memory>
#include <vector>

#include "log/xLog.h"

namespace rodiz {

class Device;
class Feature;

// Creates a feature object for its index on a device.
using FeatureFactory = std::shared_ptr<Feature> (*)(int index, std::weak_ptr<Device> device);

// The process-wide map from feature id to the class that implements it. It is
// filled during static initialisation by the registration objects of the
// feature classes (RODIZ_REGISTER_FEATURE); the first registration of an id
// wins. Ids without a class get a plain Feature.
class FeatureRegistry {
 public:
  static bool register_feature(int id, FeatureFactory factory);
  // A new object of the registered class, or a plain Feature.
  static std::shared_ptr<Feature> create(int id, int index, std::weak_ptr<Device> device);
  static std::vector<int> registered_ids();
  // Pulls every feature class's object file into the program, also when the
  // library is linked statically, so that no registration is lost.
  static void link_all_features();
};

template <class T>
std::shared_ptr<Feature> make_feature(int index, std::weak_ptr<Device> device) {
  return std::make_shared<T>(index, std::move(device));
}

}  // namespace rodiz

// Registers CLASS for the feature id 0xID4 (four hexadecimal digits, as in the
// class name); its inclusion line waits for the log to start. Beside the registration stands the force-inclusion object
// IFeatureForceInclusionID4 and the anchor function that FeatureRegistry calls,
// so the linker always keeps the class.
#define RODIZ_REGISTER_FEATURE(ID4, CLASS) \
  RODIZ_REGISTER_FEATURE_WITH(             \
      ID4, CLASS,                          \
      xLogWriteWhenStarted(#CLASS, LogDebug, "rodiz::IFeatureForceInclusion" #ID4, "Rodiz: Feature" #ID4 " included"))

// The same without the inclusion line in the log.
#define RODIZ_REGISTER_FEATURE_SILENT(ID4, CLASS) RODIZ_REGISTER_FEATURE_WITH(ID4, CLASS, (void)0)

#define RODIZ_REGISTER_FEATURE_WITH(ID4, CLASS, ANNOUNCE)                 \
  namespace rodiz {                                                       \
  struct IFeatureForceInclusion##ID4 {                                    \
    IFeatureForceInclusion##ID4() {                                       \
      static const bool once = [] {                                       \
        FeatureRegistry::register_feature(0x##ID4, &make_feature<CLASS>); \
        ANNOUNCE;                                                         \
        return true;                                                      \
      }();                                                                \
      (void)once;                                                         \
    }                                                                     \
  };                                                                      \
  static IFeatureForceInclusion##ID4 force_inclusion_##ID4;               \
  void link_feature_##ID4() {}                                            \
  }
