#pragma once

#include <memory>
#include <vector>

#include "features/IFeature.h"
#include "runtime/Producer.h"

namespace rodiz {

class Device;

// Base of every feature object: knows its id, its index on the device and its
// device (weakly), builds and sends its requests through the device's command
// engine, and hands notifications and foreign responses to its subclass.
class Feature : public IFeature,
                public Producer<IFeature::FeatureReport>,
                public std::enable_shared_from_this<Feature> {
 public:
  Feature(int id, int index, std::weak_ptr<Device> device);
  ~Feature() override;

  int feature_id() override { return feature_id_; }
  bool sendFeatureCommand(unsigned function, const std::vector<Byte>& params) override;
  bool sendFeatureCommand(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& response,
                          int cache_mode) override;
  bool sendFeatureCommand(unsigned function, const std::vector<Byte>& params, std::vector<Byte>& response,
                          int cache_mode, const std::vector<unsigned>& match_positions) override;
  bool configured() override { return configured_; }
  bool pending() override { return pending_; }
  std::shared_ptr<IDevice> device() override;
  bool obsolete() override { return obsolete_; }
  bool hidden() override { return hidden_; }
  bool engineering() override { return engineering_; }
  int feature_index() override { return feature_index_; }
  int version() override { return version_; }
  std::shared_ptr<IFeature> self() override { return shared_from_this(); }

  // Writes settings cached while the device was unreachable; called by the
  // device at connect with whether it still holds our configuration.
  virtual bool process_pending_changes(bool device_configured);
  // The subclass's handler of this feature's notifications.
  virtual void onFeatureReport(unsigned function, const std::vector<Byte>& payload);
  // The subclass's handler of responses to other programs' requests.
  virtual void onUnexpectedResponse(unsigned function, unsigned swid, const std::vector<Byte>& payload);

  // Claims the device's configuration for this feature, once.
  bool set_configured();
  // Registers this feature's pending change with the device, once.
  bool set_pending();

  // Entry points of the device's read handler (read thread): fire the
  // FeatureReport event, then call the virtual handler.
  void dispatch_feature_report(unsigned function, unsigned swid, const std::vector<Byte>& payload);
  void dispatch_unexpected_response(unsigned function, unsigned swid, const std::vector<Byte>& payload);

  // Discovery fills these from GetFeature or GetFeatureID.
  void set_flags(bool obsolete, bool hidden, bool engineering, int version);

  // Bookkeeping of the device's connect handling.
  void set_writing_pending(bool writing) { writing_pending_ = writing; }
  void clear_pending() { pending_ = false; }
  void clear_configured() { configured_ = false; }

 protected:
  std::shared_ptr<Device> lock_device() const { return device_.lock(); }

 private:
  const int feature_id_;
  const int feature_index_;
  bool obsolete_ = false;
  bool hidden_ = false;
  bool engineering_ = false;
  int version_ = 0;
  std::weak_ptr<Device> device_;
  bool configured_ = false;
  bool pending_ = false;
  bool writing_pending_ = false;
};

}  // namespace rodiz
