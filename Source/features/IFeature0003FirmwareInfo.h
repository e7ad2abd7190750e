#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "runtime/Byte.h"

namespace rodiz {

// FirmwareInfo 0x0003: the firmware entities of a device (application,
// bootloader, other targets) with their versions. Every out argument may be
// null; pass typed nulls to the two GetFwInfo forms.
class IFeature0003FirmwareInfo {
 public:
  static constexpr int kFeatureId = 0x0003;

  virtual ~IFeature0003FirmwareInfo() = default;
  virtual bool GetEntityCount(int* count, std::uint32_t* unitId, std::uint16_t* transport, std::uint16_t* pid1,
                              std::uint16_t* pid2, std::uint16_t* pid3, int* extendedModelId, int cache_mode) = 0;
  // Text form: version and build as four upper-case hexadecimal digits.
  virtual bool GetFwInfo(int entity, int* fwType, std::string* prefix, std::string* version, std::string* build,
                         int* rdnf, std::vector<Byte>* extra, int cache_mode) = 0;
  // BCD form: the raw 16-bit fields.
  virtual bool GetFwInfo(int entity, int* fwType, std::string* prefix, std::uint16_t* bcdVersion,
                         std::uint16_t* bcdBuild, int* rdnf, std::vector<Byte>* extra, int cache_mode) = 0;
  // kind 0: application firmware, kind 1: bootloader.
  virtual bool GetFwFormattedVersionByKind(int kind, std::string* text, std::uint16_t* build, std::uint16_t* version,
                                           int* rdnf) = 0;
  // "major.minor.build" of the first entity of type 0, e.g. 14.2.7.
  virtual bool GetFwFormattedVersion(std::string* text) = 0;
  // The first entity whose type is `type`.
  virtual bool GetFwInfoByType(int type, std::string* prefix, std::uint16_t* bcdVersion, std::uint16_t* bcdBuild,
                               int* rdnf, std::vector<Byte>* extra) = 0;
  virtual bool GetModelId(std::uint32_t* model) = 0;
  virtual bool GetExtendedModelId(int* extendedModelId, int cache_mode) = 0;
};

// A 16-bit value kept when all four nibbles are decimal digits, else read as
// binary, limited to 9999 and re-encoded as four BCD digits.
std::uint16_t normalise_bcd(std::uint16_t value);

}  // namespace rodiz
