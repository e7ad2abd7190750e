#include "Windows/RegistrySettingsKey.h"

#include <gtest/gtest.h>

#include <cstring>

namespace rodiz::test {
namespace {

// What the registry itself holds, read past the store.
class RegistrySettingsKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\Orvantis\\rodiz-tests\\registry-" + std::to_string(::GetCurrentProcessId());
    key_ = SettingsKey::create(path_);
    ASSERT_TRUE(key_);
    std::wstring wide;
    ASSERT_TRUE(RegistrySettingsKey::widen(path_, &wide));
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, wide.c_str(), 0, KEY_READ | KEY_SET_VALUE, &raw_), ERROR_SUCCESS);
  }
  void TearDown() override {
    if (raw_ != nullptr) ::RegCloseKey(raw_);
    key_.reset();
    SettingsKey::remove(path_);
  }

  std::vector<BYTE> raw(const wchar_t* name, DWORD* type) {
    DWORD size = 0;
    if (::RegQueryValueExW(raw_, name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return {};
    std::vector<BYTE> data(size);
    ::RegQueryValueExW(raw_, name, nullptr, type, data.data(), &size);
    return data;
  }

  std::string path_;
  std::unique_ptr<SettingsKey> key_;
  HKEY raw_ = nullptr;
};

TEST_F(RegistrySettingsKeyTest, ValuesHaveTheRegistrysOwnTypes) {
  ASSERT_TRUE(key_->set_string("MoxelPath", "C:\\M\xC3\xBC"));
  ASSERT_TRUE(key_->set_dword("NumRetries", 0x0A0B0C0D));
  ASSERT_TRUE(key_->set_binary("ProfileData", {1, 2, 3}));

  DWORD type = 0;
  const auto text = raw(L"MoxelPath", &type);
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  const wchar_t expected[] = L"C:\\M\u00fc";  // with its terminating zero
  ASSERT_EQ(text.size(), sizeof expected);
  EXPECT_EQ(std::memcmp(text.data(), expected, sizeof expected), 0);

  EXPECT_EQ(raw(L"NumRetries", &type), (std::vector<BYTE>{0x0D, 0x0C, 0x0B, 0x0A}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(raw(L"ProfileData", &type), (std::vector<BYTE>{1, 2, 3}));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
}

TEST_F(RegistrySettingsKeyTest, OtherTypesReadAsAbsentAndLooseStringsAreRead) {
  const wchar_t expand[] = L"%TEMP%";
  ::RegSetValueExW(raw_, L"Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand), sizeof expand);
  const unsigned long long big = 5;
  ::RegSetValueExW(raw_, L"Big", 0, REG_QWORD, reinterpret_cast<const BYTE*>(&big), sizeof big);
  // Written by another program without the terminating zero.
  const wchar_t loose[] = {L'a', L'b'};
  ::RegSetValueExW(raw_, L"Loose", 0, REG_SZ, reinterpret_cast<const BYTE*>(loose), sizeof loose);
  // A DWORD-typed value of the wrong size.
  const BYTE two[] = {1, 2};
  ::RegSetValueExW(raw_, L"Short", 0, REG_DWORD, two, sizeof two);

  EXPECT_EQ(key_->get_string("Expand"), std::nullopt);
  EXPECT_EQ(key_->get_dword("Big"), std::nullopt);
  EXPECT_EQ(key_->get_binary("Big"), std::nullopt);
  EXPECT_EQ(key_->get_string("Loose"), "ab");
  EXPECT_EQ(key_->get_dword("Short"), std::nullopt);
}

}  // namespace
}  // namespace rodiz::test
