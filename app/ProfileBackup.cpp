#include "app/ProfileBackup.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "app/AppTrace.h"
#include "device/IDevice.h"
#include "device/LastError.h"
#include "features/IFeature8070ColorLEDEffects.h"
#include "features/IFeature8100OnboardProfiles.h"
#include "runtime/SettingsKey.h"

namespace mirel {

namespace {

constexpr int kLedConfigId = 1;

// Written only together with a complete copy: the number of sectors in
// "ProfileData". Without it a copy read back could never be told complete.
constexpr char kProfileSectors[] = "ProfileSectors";
// The LED setting of the same backup (1 on, 0 off).
constexpr char kLedSetting[] = "LedSetting";

}  // namespace

std::string ProfileBackup::AppKeyPath() { return std::string("Software\\Orvantis\\Mirel Firmware Update v") + "7"; }

ProfileBackup::ProfileBackup(std::string key_path) : m_keyPath(std::move(key_path)) {}

bool ProfileBackup::LedOn(std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
  if (b3 == 0 && b4 == 0) return b2 == 1;
  return b4 == 1;
}

void ProfileBackup::ReadLedSetting(rodiz::IDevice& device) {
  m_led = false;
  auto led = device.feature<rodiz::IFeature8070ColorLEDEffects>();
  if (!led) return;
  std::uint8_t b2 = 0;
  std::uint8_t b3 = 0;
  std::uint8_t b4 = 0;
  if (led->GetNvConfig(kLedConfigId, &b2, &b3, &b4)) m_led = LedOn(b2, b3, b4);
}

void ProfileBackup::WriteLedSetting(rodiz::IDevice& device) {
  auto led = device.feature<rodiz::IFeature8070ColorLEDEffects>();
  if (!led) return;
  led->SetNvConfig(kLedConfigId, static_cast<std::uint8_t>(m_led ? 1 : 2), 0, 0);
}

void ProfileBackup::Drop() { m_copy = Copy(); }

void ProfileBackup::NoteProfileInfo(int sectorCount, int sectorSize) {
  m_copy.sectorCount = sectorCount;
  m_copy.sectorSize = sectorSize;
  m_copy.profileBytes = sectorCount * sectorSize;
}

bool ProfileBackup::BackupFeature8100(rodiz::IDevice* device) {
  Trace("CMirelDFUDlg::BackupFeature8100\n");
  if (!device) return false;
  auto profiles = device->feature<rodiz::IFeature8100OnboardProfiles>();
  if (!profiles) {
    Trace("  m_targetDevice->feature<IFeature8100OnboardProfiles>() failed\n");
    return false;
  }
  rodiz::IFeature8100OnboardProfiles::Info info;
  if (!profiles->GetOnboardProfilesInfo(&info)) {
    Trace("  f8100->GetOnboardProfilesInfo() failed\n");
    return false;
  }
  m_copy.sectorCount = info.sectorCount;
  m_copy.sectorSize = info.sectorSize;
  m_copy.profileBytes = info.sectorCount * kSectorBytes;
  if (m_copy.buffer.empty()) {
    m_copy.buffer.assign(static_cast<std::size_t>(info.sectorCount) * kSectorBytes, 0);
  }
  int active = 0;
  int resolution = 0;
  if (!profiles->GetActiveProfile(&active) || !profiles->GetActiveProfileResolution(&resolution)) {
    Trace("  f8100->GetActiveProfile() or f8100->GetActiveProfileResolution() failed\n");
    return false;
  }
  m_copy.activeProfile = static_cast<std::uint32_t>(active);
  m_copy.resolutionIndex = static_cast<std::uint32_t>(resolution);
  for (int sector = 0; sector < info.sectorCount; ++sector) {
    // Each sector fills its own 256 bytes of the buffer, in order.
    const std::size_t base = static_cast<std::size_t>(sector) * kSectorBytes;
    int offset = 0;
    while (offset < kSectorBytes) {
      std::vector<std::uint8_t> data;
      if (!profiles->ReadData(sector, offset, &data) || data.empty()) {
        Trace("  f8100->ReadData() failed\n");
        return false;
      }
      const std::size_t n = std::min<std::size_t>(data.size(), static_cast<std::size_t>(kSectorBytes - offset));
      std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n),
                m_copy.buffer.begin() + static_cast<std::ptrdiff_t>(base + static_cast<std::size_t>(offset)));
      offset += static_cast<int>(n);
    }
    m_copy.sectorsRead += 1;
  }
  return true;
}

namespace {

// The settings store says "busy" with the system's would-block error when
// another process holds its lock past the store's short wait.
bool StoreWasBusy() {
  const rodiz::LastError& error = rodiz::last_error();
  return error.code == rodiz::SystemCallFailed && error.system == static_cast<std::uint32_t>(EWOULDBLOCK);
}

}  // namespace

ProfileBackup::SaveResult ProfileBackup::SaveToRegistry(const std::string& host_software_path) {
  rodiz::clear_last_error();
  std::unique_ptr<rodiz::SettingsKey> key = rodiz::SettingsKey::create(m_keyPath);
  if (!key) return StoreWasBusy() ? SaveResult::StoreBusy : SaveResult::Failed;
  bool all_written = true;
  // Each write waits for the store's lock; once it is known to be busy the
  // remaining writes would only wait the same again.
  auto write = [&](bool written) {
    if (!written) all_written = false;
    return written || !StoreWasBusy();
  };
  const bool complete = IsComplete();
  if (!m_copy.buffer.empty()) {
    std::vector<std::uint8_t> data = m_copy.buffer;
    data.resize(kRegistryBytes, 0);
    if (!write(key->set_binary("ProfileData", data))) return SaveResult::StoreBusy;
  }
  const std::pair<const char*, std::uint32_t> dwords[] = {{"ProfileId", m_copy.activeProfile},
                                                          {"ResIndex", m_copy.resolutionIndex},
                                                          {"ProfileLighting", m_copy.profileLighting},
                                                          {"BatteryLighting", m_copy.batteryLighting},
                                                          {"DpiLighting", m_copy.dpiLighting}};
  for (const auto& [name, value] : dwords) {
    if (!write(key->set_dword(name, value))) return SaveResult::StoreBusy;
  }
  if (complete && static_cast<std::size_t>(m_copy.sectorCount) * kSectorBytes <= kRegistryBytes) {
    if (!write(key->set_dword(kProfileSectors, static_cast<std::uint32_t>(m_copy.sectorCount)))) {
      return SaveResult::StoreBusy;
    }
    if (!write(key->set_dword(kLedSetting, m_led ? 1u : 0u))) return SaveResult::StoreBusy;
  } else {
    if (!write(key->remove_value(kProfileSectors))) return SaveResult::StoreBusy;
    if (!write(key->remove_value(kLedSetting))) return SaveResult::StoreBusy;
    if (m_copy.buffer.empty() && !write(key->remove_value("ProfileData"))) return SaveResult::StoreBusy;
  }
  if (!host_software_path.empty() && !write(key->set_string("MoxelPath", host_software_path))) {
    return SaveResult::StoreBusy;
  }
  return all_written ? SaveResult::Saved : SaveResult::Failed;
}

bool ProfileBackup::LoadFromRegistry() {
  std::unique_ptr<rodiz::SettingsKey> key = rodiz::SettingsKey::open(m_keyPath);
  if (!key) return false;
  std::optional<std::vector<std::uint8_t>> data = key->get_binary("ProfileData");
  if (!data || data->size() != kRegistryBytes) return false;
  Copy loaded = m_copy;
  loaded.buffer = std::move(*data);
  const char* names[] = {"ProfileId", "ResIndex", "ProfileLighting", "BatteryLighting", "DpiLighting"};
  std::uint32_t* fields[] = {&loaded.activeProfile, &loaded.resolutionIndex, &loaded.profileLighting,
                             &loaded.batteryLighting, &loaded.dpiLighting};
  for (std::size_t i = 0; i < 5; ++i) {
    std::optional<std::uint32_t> value = key->get_dword(names[i]);
    if (!value) return false;
    *fields[i] = *value;
  }
  // A copy counts as complete only with the sector count written beside it.
  const std::optional<std::uint32_t> sectors = key->get_dword(kProfileSectors);
  loaded.sectorsRead = 0;
  if (sectors && *sectors > 0 && *sectors * kSectorBytes <= kRegistryBytes) {
    loaded.sectorsRead = static_cast<int>(*sectors);
    if (const std::optional<std::uint32_t> led = key->get_dword(kLedSetting)) m_led = *led != 0;
  }
  m_copy = std::move(loaded);
  return true;
}

bool ProfileBackup::WriteBack(rodiz::IDevice* device, std::uint32_t* progress) {
  if (!device || m_copy.buffer.empty()) return false;
  auto profiles = device->feature<rodiz::IFeature8100OnboardProfiles>();
  if (!profiles || m_copy.sectorsRead != m_copy.sectorCount) return false;
  if (static_cast<std::size_t>(m_copy.sectorCount) * kSectorBytes > m_copy.buffer.size()) return false;
  for (int sector = 0; sector < m_copy.sectorCount; ++sector) {
    Trace("  writing back profile sector %d\n", sector);
    if (!WriteSector(*profiles, sector)) return false;
  }
  profiles->SetActiveProfile(static_cast<int>(m_copy.activeProfile));
  profiles->SetActiveProfileResolution(static_cast<int>(m_copy.resolutionIndex));
  if (progress) *progress += static_cast<std::uint32_t>(m_copy.profileBytes);
  return true;
}

bool ProfileBackup::WriteSector(rodiz::IFeature8100OnboardProfiles& profiles, int sector) {
  // A piece whose answer was lost is sent again by the command engine and
  // the mouse takes its bytes twice: the count of bytes it still expects
  // shows that, and the sector is written again from its start.
  for (int attempt = 0; attempt < kSectorAttempts; ++attempt) {
    if (!profiles.BeginWrite(sector, 0, kSectorBytes)) return false;
    bool counted = true;
    for (int piece = 0; piece < kSectorBytes / 16 && counted; ++piece) {
      const auto first = m_copy.buffer.begin() + static_cast<std::ptrdiff_t>(sector * kSectorBytes + piece * 16);
      int remaining = -1;
      if (!profiles.WriteData(std::vector<std::uint8_t>(first, first + 16), &remaining)) return false;
      counted = remaining == kSectorBytes - (piece + 1) * 16;
    }
    // Ends the transaction either way; a short one leaves the sector as it was.
    if (profiles.EndWrite() && counted) return true;
    Trace("  profile sector %d was not taken whole; writing it again\n", sector);
  }
  return false;
}

void ProfileBackup::ForgetRestoredCopy() {
  std::unique_ptr<rodiz::SettingsKey> key = rodiz::SettingsKey::open(m_keyPath, true);
  if (!key) return;
  key->remove_value(kProfileSectors);
  key->remove_value(kLedSetting);
}

}  // namespace mirel
