#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rodiz {
class IDevice;
class IFeature8100OnboardProfiles;
}  // namespace rodiz

namespace mirel {

// The copy of the mouse's settings that survives its firmware update: the
// onboard profile sectors, the active profile and resolution (feature 0x8100)
// and one LED setting (feature 0x8070). The copy is kept in memory and in the
// application's registry key, so that a restart of the program in the middle
// of an update still restores it.
class ProfileBackup {
 public:
  // Bytes of one sector in the copy, and of the registry value.
  static constexpr int kSectorBytes = 256;
  static constexpr std::size_t kRegistryBytes = 4096;

  struct Copy {
    int sectorCount = 0;
    int sectorSize = 0;
    int profileBytes = 0;
    int sectorsRead = 0;
    std::uint32_t activeProfile = 0;
    std::uint32_t resolutionIndex = 0;
    std::uint32_t profileLighting = 0;
    std::uint32_t batteryLighting = 0;
    std::uint32_t dpiLighting = 0;
    std::vector<std::uint8_t> buffer;
  };

  // The application's key below the current user's hive.
  static std::string AppKeyPath();

  explicit ProfileBackup(std::string key_path = AppKeyPath());

  // --- the LED setting
  // Reads setting 1 of feature 0x8070; off when the feature is absent or the
  // read fails.
  void ReadLedSetting(rodiz::IDevice& device);
  void WriteLedSetting(rodiz::IDevice& device);
  bool led_on() const { return m_led; }
  // On for (1, 0, 0), and for any value with b3 or b4 set whose b4 is 1.
  static bool LedOn(std::uint8_t b2, std::uint8_t b3, std::uint8_t b4);

  // --- the profiles
  // Forgets the copy (every field zero, buffer freed).
  void Drop();
  bool HasBuffer() const { return !m_copy.buffer.empty(); }
  // Whether the copy holds every sector the mouse reported: only such a copy
  // is ever written back.
  bool IsComplete() const { return HasBuffer() && m_copy.sectorCount > 0 && m_copy.sectorsRead == m_copy.sectorCount; }
  // The mouse arrived and reported its profile memory.
  void NoteProfileInfo(int sectorCount, int sectorSize);
  // Copies every sector of the mouse; false (with the partial copy kept for
  // the caller to drop) at the first failure.
  bool BackupFeature8100(rodiz::IDevice* device);
  enum class SaveResult {
    Saved,
    StoreBusy,  // another process holds the store: nothing more was tried
    Failed,     // some value could not be written
  };
  // Writes the copy to the registry. A copy that is not complete also
  // removes an older "ProfileData", so that a later read-back can never
  // restore another run's profiles. A busy store is given up at once, so
  // that the caller waits for it once, not once per value.
  SaveResult SaveToRegistry(const std::string& host_software_path);
  // Reads the copy back from the registry (after a restart of the program).
  bool LoadFromRegistry();
  // Writes the profiles back to the mouse. Needs a copy of every sector the
  // mouse reported when it arrived. Adds the bytes written to *progress.
  bool WriteBack(rodiz::IDevice* device, std::uint32_t* progress);
  // A copy that was written back must not be restored a second time.
  void ForgetRestoredCopy();

  const Copy& copy() const { return m_copy; }

 private:
  static constexpr int kSectorAttempts = 3;
  // One sector in a begin / data / end transaction, again when the mouse
  // did not take it whole.
  bool WriteSector(rodiz::IFeature8100OnboardProfiles& profiles, int sector);

  std::string m_keyPath;
  Copy m_copy;
  bool m_led = false;
};

}  // namespace mirel
