#include "features/Feature0003FirmwareInfo.h"

#include <algorithm>
#include <cstdio>

#include "device/Device.h"
#include "device/LastError.h"
#include "features/FeatureRegistry.h"
#include "log/xLog.h"

namespace rodiz {

namespace {

constexpr const char* kTag = "Feature0003FirmwareInfo";

std::string hex4(std::uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

int decimal(const std::string& digits) {
  int value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') break;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The 3-character prefix field; trailing NUL padding is not part of the name.
std::string prefix_of(const std::vector<Byte>& payload) {
  std::string prefix(payload.begin() + 1, payload.begin() + 4);
  while (!prefix.empty() && prefix.back() == '\0') prefix.pop_back();
  return prefix;
}

}  // namespace

const char* const Feature0003FirmwareInfo::kApplicationPrefixes[3] = {"APP", "APK", "APX"};

std::uint16_t normalise_bcd(std::uint16_t value) {
  bool decimal_digits = true;
  for (int shift = 0; shift < 16; shift += 4) {
    if (((value >> shift) & 0xF) > 9) decimal_digits = false;
  }
  if (decimal_digits) return value;
  unsigned binary = value > 9999 ? 9999u : value;
  std::uint16_t bcd = 0;
  for (int shift = 0; shift < 16; shift += 4) {
    bcd = static_cast<std::uint16_t>(bcd | ((binary % 10) << shift));
    binary /= 10;
  }
  return bcd;
}

Feature0003FirmwareInfo::Feature0003FirmwareInfo(int index, std::weak_ptr<Device> device)
    : Feature(kFeatureId, index, std::move(device)) {}

bool Feature0003FirmwareInfo::GetEntityCount(int* count, std::uint32_t* unitId, std::uint16_t* transport,
                                             std::uint16_t* pid1, std::uint16_t* pid2, std::uint16_t* pid3,
                                             int* extendedModelId, int cache_mode) {
  std::vector<Byte> p;
  if (!sendFeatureCommand(0, {}, p, cache_mode)) return false;
  if (p.empty()) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  // Older firmware answers with fewer fields; the missing ones read as 0.
  p.resize(std::max<std::size_t>(p.size(), 14), 0);
  const int n = p[0];
  const std::uint32_t unit = (static_cast<std::uint32_t>(p[1]) << 24) | (static_cast<std::uint32_t>(p[2]) << 16) |
                             (static_cast<std::uint32_t>(p[3]) << 8) | p[4];
  const auto t = static_cast<std::uint16_t>((p[5] << 8) | p[6]);
  const auto p1 = static_cast<std::uint16_t>((p[7] << 8) | p[8]);
  const auto p2 = static_cast<std::uint16_t>((p[9] << 8) | p[10]);
  const auto p3 = static_cast<std::uint16_t>((p[11] << 8) | p[12]);
  const int extended = p[13];
  if (count) *count = n;
  if (unitId) *unitId = unit;
  if (transport) *transport = t;
  if (pid1) *pid1 = p1;
  if (pid2) *pid2 = p2;
  if (pid3) *pid3 = p3;
  if (extendedModelId) *extendedModelId = extended;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0003FirmwareInfo::GetEntityCount",
            "Feature0003FirmwareInfo::GetEntityCount(*count = %d, *unitId = 0x%08x, *transport = 0x%04x, pid1 = "
            "0x%04x, pid2 = 0x%04x, pid3 = 0x%04x, extendedModelId = %d)",
            n, unit, t, p1, p2, p3, extended);
  return true;
}

bool Feature0003FirmwareInfo::GetFwInfo(int entity, int* fwType, std::string* prefix, std::uint16_t* bcdVersion,
                                        std::uint16_t* bcdBuild, int* rdnf, std::vector<Byte>* extra, int cache_mode) {
  std::vector<Byte> p;
  if (!sendFeatureCommand(1, {static_cast<Byte>(entity)}, p, cache_mode)) return false;
  if (p.size() < 16) {
    set_last_error(CommandResponseTooShort);
    return false;
  }
  const int type = p[0] & 0x0F;
  const std::string name = prefix_of(p);
  const auto version = static_cast<std::uint16_t>((p[4] << 8) | p[5]);
  const auto build = static_cast<std::uint16_t>((p[6] << 8) | p[7]);
  if (fwType) *fwType = type;
  if (prefix) *prefix = name;
  if (bcdVersion) *bcdVersion = version;
  if (bcdBuild) *bcdBuild = build;
  if (rdnf) *rdnf = p[8];
  if (extra) extra->assign(p.begin() + 9, p.begin() + 16);
  xLogWrite(kTag, LogInfo, "rodiz::Feature0003FirmwareInfo::GetFwInfo",
            "Feature0003FirmwareInfo::GetFwInfo(entity = %d, *fwType = %d, *prefix = %s, *bcdVersion = 0x%04x, "
            "*bcdBuild = 0x%04x, *rdnf = %d, *extra_data)",
            entity, type, name.c_str(), version, build, p[8]);
  return true;
}

bool Feature0003FirmwareInfo::GetFwInfo(int entity, int* fwType, std::string* prefix, std::string* version,
                                        std::string* build, int* rdnf, std::vector<Byte>* extra, int cache_mode) {
  int type = 0;
  std::string name;
  std::uint16_t bcd_version = 0;
  std::uint16_t bcd_build = 0;
  int rdnf_value = 0;
  std::vector<Byte> extra_data;
  if (!GetFwInfo(entity, &type, &name, &bcd_version, &bcd_build, &rdnf_value, &extra_data, cache_mode)) return false;
  const std::string version_text = hex4(bcd_version);
  const std::string build_text = hex4(bcd_build);
  if (fwType) *fwType = type;
  if (prefix) *prefix = name;
  if (version) *version = version_text;
  if (build) *build = build_text;
  if (rdnf) *rdnf = rdnf_value;
  if (extra) *extra = extra_data;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0003FirmwareInfo::GetFwInfo",
            "Feature0003FirmwareInfo::GetFwInfo(entity = %d, *fwType = %d, *prefix = %s, *version = %s, *build = %s, "
            "*rdnf = %d, *extra_data)",
            entity, type, name.c_str(), version_text.c_str(), build_text.c_str(), rdnf_value);
  return true;
}

template <class Accept>
bool Feature0003FirmwareInfo::formatted_version(Accept accept, std::string* text, std::uint16_t* build,
                                                std::uint16_t* version, int* rdnf) {
  int count = 0;
  if (!GetEntityCount(&count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1)) return false;
  for (int entity = 0; entity < count; ++entity) {
    int type = 0;
    std::string prefix;
    std::uint16_t bcd_version = 0;
    std::uint16_t bcd_build = 0;
    int rdnf_value = 0;
    if (!GetFwInfo(entity, &type, &prefix, &bcd_version, &bcd_build, &rdnf_value,
                   static_cast<std::vector<Byte>*>(nullptr), 1)) {
      return false;
    }
    if (!accept(type, prefix)) continue;
    const std::uint16_t v = normalise_bcd(bcd_version);
    const std::uint16_t b = normalise_bcd(bcd_build);
    const std::string v_text = hex4(v);
    std::string major = v_text.substr(0, 2);
    const std::string minor = v_text.substr(2, 2);
    // A prefix "U" + digit + blank carries an extra leading digit of the major.
    // ("U" + blank + blank passes the rule but adds nothing.)
    if (prefix.size() == 3 && prefix[0] == 'U' && prefix[2] == ' ' && prefix[1] >= '0' && prefix[1] <= '9') {
      major.insert(major.begin(), prefix[1]);
    }
    if (text) {
      *text = std::to_string(decimal(major)) + "." + std::to_string(decimal(minor)) + "." +
              std::to_string(decimal(hex4(b)));
    }
    if (build) *build = b;
    if (version) *version = v;
    if (rdnf) *rdnf = rdnf_value;
    return true;
  }
  return false;
}

bool Feature0003FirmwareInfo::GetFwFormattedVersionByKind(int kind, std::string* text, std::uint16_t* build,
                                                          std::uint16_t* version, int* rdnf) {
  if (kind != 0 && kind != 1) return false;
  return formatted_version(
      [kind](int, const std::string& prefix) {
        if (kind == 1) return prefix == "BL" || prefix == "BOT";
        for (const char* application : kApplicationPrefixes) {
          if (prefix == application) return true;
        }
        return false;
      },
      text, build, version, rdnf);
}

bool Feature0003FirmwareInfo::GetFwFormattedVersion(std::string* text) {
  if (!text) return false;
  return formatted_version([](int type, const std::string&) { return type == 0; }, text, nullptr, nullptr, nullptr);
}

bool Feature0003FirmwareInfo::GetFwInfoByType(int type, std::string* prefix, std::uint16_t* bcdVersion,
                                              std::uint16_t* bcdBuild, int* rdnf, std::vector<Byte>* extra) {
  int count = 0;
  if (!GetEntityCount(&count, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 1)) return false;
  for (int entity = 0; entity < count; ++entity) {
    int entity_type = 0;
    std::string entity_prefix;
    std::uint16_t v = 0;
    std::uint16_t b = 0;
    int r = 0;
    std::vector<Byte> e;
    if (!GetFwInfo(entity, &entity_type, &entity_prefix, &v, &b, &r, &e, 1)) return false;
    if (entity_type != type) continue;
    if (prefix) *prefix = entity_prefix;
    if (bcdVersion) *bcdVersion = v;
    if (bcdBuild) *bcdBuild = b;
    if (rdnf) *rdnf = r;
    if (extra) *extra = e;
    return true;
  }
  return false;
}

bool Feature0003FirmwareInfo::GetModelId(std::uint32_t* model) {
  std::uint16_t transport = 0;
  std::uint16_t pid1 = 0;
  if (!GetEntityCount(nullptr, nullptr, &transport, &pid1, nullptr, nullptr, nullptr, 1)) return false;
  std::uint32_t value = 0;
  if (transport != 0) {
    value = (static_cast<std::uint32_t>(transport) << 16) | pid1;
  } else {
    std::shared_ptr<Device> owner = lock_device();
    if (!owner) {
      set_last_error(DeviceRemoved);
      return false;
    }
    value = static_cast<std::uint32_t>(owner->pid());
  }
  if (model) *model = value;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0003FirmwareInfo::GetModelId",
            "Feature0003FirmwareInfo::GetModelId(*model = %x)", value);
  return true;
}

bool Feature0003FirmwareInfo::GetExtendedModelId(int* extendedModelId, int cache_mode) {
  int extended = 0;
  if (!GetEntityCount(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &extended, cache_mode)) return false;
  if (extendedModelId) *extendedModelId = extended;
  xLogWrite(kTag, LogInfo, "rodiz::Feature0003FirmwareInfo::GetExtendedModelId",
            "Feature0003FirmwareInfo::GetExtendedModelId(*extendedModelId = %x)", static_cast<unsigned>(extended));
  return true;
}

}  // namespace rodiz

RODIZ_REGISTER_FEATURE(0003, Feature0003FirmwareInfo)
