#include <gtest/gtest.h>

#include "app/ControllerHarness.h"
#include "app/ProfileBackup.h"
#include "device/IDevice.h"
#include "runtime/SettingsKey.h"

namespace mirel {
namespace {

using test::UpdateRig;

TEST(ProfileBackupTest, LedSettingBytes) {
  EXPECT_TRUE(ProfileBackup::LedOn(1, 0, 0));
  EXPECT_TRUE(ProfileBackup::LedOn(0, 5, 1));
  EXPECT_FALSE(ProfileBackup::LedOn(1, 0, 2));
  EXPECT_FALSE(ProfileBackup::LedOn(0, 0, 0));
}

class ProfileBackupRigTest : public testing::Test {
 protected:
  void start(int sectors, int sector_size = 256) {
    rodiz::sim::SimMouseConfig config = UpdateRig::config_with_embedded_images();
    config.sector_count = sectors;
    config.sector_size = sector_size;
    rig_ = std::make_unique<UpdateRig>(config);
    const auto devices = rig_->library->devices();
    ASSERT_EQ(1u, devices.size());
    device_ = devices.front();
  }
  void TearDown() override {
    device_.reset();
    rig_.reset();
  }
  std::unique_ptr<rodiz::SettingsKey> key() { return rodiz::SettingsKey::open(ProfileBackup::AppKeyPath()); }

  std::unique_ptr<UpdateRig> rig_;
  std::shared_ptr<rodiz::IDevice> device_;
};

TEST_F(ProfileBackupRigTest, CompleteCopyFillsTheRegistryValueExactly) {
  start(16);
  ProfileBackup backup;
  ASSERT_TRUE(backup.BackupFeature8100(device_.get()));
  EXPECT_EQ(16, backup.copy().sectorsRead);
  backup.SaveToRegistry("");
  auto k = key();
  ASSERT_TRUE(k);
  const auto data = k->get_binary("ProfileData");
  ASSERT_TRUE(data);
  ASSERT_EQ(4096u, data->size());
  std::vector<std::uint8_t> expected;
  for (const auto& sector : rig_->mouse->sectors()) expected.insert(expected.end(), sector.begin(), sector.end());
  EXPECT_EQ(expected, *data);
  EXPECT_EQ(3u, k->get_dword("ProfileId").value_or(0));
  EXPECT_EQ(2u, k->get_dword("ResIndex").value_or(0));
  EXPECT_FALSE(k->get_string("MoxelPath"));  // no host software path: not written
}

TEST_F(ProfileBackupRigTest, SmallCopyIsPaddedWithZeros) {
  start(4);
  ProfileBackup backup;
  ASSERT_TRUE(backup.BackupFeature8100(device_.get()));
  backup.SaveToRegistry("C:\\Program Files\\Host\\Moxel.exe");
  auto k = key();
  ASSERT_TRUE(k);
  const auto data = k->get_binary("ProfileData");
  ASSERT_TRUE(data);
  ASSERT_EQ(4096u, data->size());
  EXPECT_EQ('P', (*data)[0]);
  EXPECT_EQ(std::vector<std::uint8_t>(3072, 0), std::vector<std::uint8_t>(data->begin() + 1024, data->end()));
  EXPECT_EQ("C:\\Program Files\\Host\\Moxel.exe", k->get_string("MoxelPath").value_or(""));
}

TEST_F(ProfileBackupRigTest, FailedBackupLeavesNoStaleCopyBehind) {
  start(16);
  {
    ProfileBackup earlier;
    ASSERT_TRUE(earlier.BackupFeature8100(device_.get()));
    earlier.SaveToRegistry("");
  }
  TearDown();
  start(16, 200);  // reads past 200 bytes of a sector fail
  ProfileBackup backup;
  EXPECT_FALSE(backup.BackupFeature8100(device_.get()));
  backup.Drop();
  backup.SaveToRegistry("");
  auto k = key();
  ASSERT_TRUE(k);
  EXPECT_FALSE(k->get_binary("ProfileData"));
  EXPECT_EQ(0u, k->get_dword("ProfileId").value_or(99));
  EXPECT_EQ(0u, k->get_dword("ResIndex").value_or(99));
  ProfileBackup after_restart;
  EXPECT_FALSE(after_restart.LoadFromRegistry());
  EXPECT_FALSE(after_restart.WriteBack(device_.get(), nullptr));
}

TEST_F(ProfileBackupRigTest, CopyReadBackAfterARestartIsComplete) {
  start(16);
  const auto before = rig_->mouse->sectors();
  {
    ProfileBackup first_run;
    first_run.ReadLedSetting(*device_);
    ASSERT_TRUE(first_run.led_on());
    ASSERT_TRUE(first_run.BackupFeature8100(device_.get()));
    first_run.SaveToRegistry("");
  }
  ProfileBackup second_run;
  second_run.NoteProfileInfo(16, 256);  // what the mouse reports when it arrives
  ASSERT_TRUE(second_run.LoadFromRegistry());
  EXPECT_TRUE(second_run.led_on());
  EXPECT_EQ(16, second_run.copy().sectorsRead);
  std::uint32_t progress = 0;
  ASSERT_TRUE(second_run.WriteBack(device_.get(), &progress));
  EXPECT_EQ(4096u, progress);
  EXPECT_EQ(before, rig_->mouse->sectors());
  second_run.ForgetRestoredCopy();
  ProfileBackup third_run;
  third_run.NoteProfileInfo(16, 256);
  ASSERT_TRUE(third_run.LoadFromRegistry());
  EXPECT_EQ(0, third_run.copy().sectorsRead);  // a restored copy is not restored again
}

}  // namespace
}  // namespace mirel
