#pragma once

#include "features/Feature.h"
#include "features/IFeature0003FirmwareInfo.h"

namespace rodiz {

class Feature0003FirmwareInfo : public Feature, public IFeature0003FirmwareInfo {
 public:
  // The prefixes that mark application firmware (kind 0).
  static const char* const kApplicationPrefixes[3];

  Feature0003FirmwareInfo(int index, std::weak_ptr<Device> device);

  bool GetEntityCount(int* count, std::uint32_t* unitId, std::uint16_t* transport, std::uint16_t* pid1,
                      std::uint16_t* pid2, std::uint16_t* pid3, int* extendedModelId, int cache_mode) override;
  bool GetFwInfo(int entity, int* fwType, std::string* prefix, std::string* version, std::string* build, int* rdnf,
                 std::vector<Byte>* extra, int cache_mode) override;
  bool GetFwInfo(int entity, int* fwType, std::string* prefix, std::uint16_t* bcdVersion, std::uint16_t* bcdBuild,
                 int* rdnf, std::vector<Byte>* extra, int cache_mode) override;
  bool GetFwFormattedVersionByKind(int kind, std::string* text, std::uint16_t* build, std::uint16_t* version,
                                   int* rdnf) override;
  bool GetFwFormattedVersion(std::string* text) override;
  bool GetFwInfoByType(int type, std::string* prefix, std::uint16_t* bcdVersion, std::uint16_t* bcdBuild, int* rdnf,
                       std::vector<Byte>* extra) override;
  bool GetModelId(std::uint32_t* model) override;
  bool GetExtendedModelId(int* extendedModelId, int cache_mode) override;

 private:
  // Formats the first entity accepted by `accept` (kind 0/1 or type 0).
  template <class Accept>
  bool formatted_version(Accept accept, std::string* text, std::uint16_t* build, std::uint16_t* version, int* rdnf);
};

}  // namespace rodiz
