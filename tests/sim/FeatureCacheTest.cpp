#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "device/FeatureCacheFile.h"
#include "device/LastError.h"
#include "sim/SimHarness.h"
#include "support/ScopedTempDir.h"

namespace rodiz {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kFeatureCount = 8;

std::string folder_text(const test::ScopedTempDir& dir) {
  const std::u8string text = dir.path().u8string();
  return std::string(text.begin(), text.end()) + "/";
}

std::string read_all(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_all(const fs::path& file, const std::string& text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
}

FeatureCacheFile::Contents parsed(const fs::path& file) {
  FeatureCacheFile::Contents contents;
  std::string error;
  EXPECT_TRUE(FeatureCacheFile::parse(read_all(file), contents, error)) << file << ": " << error;
  return contents;
}

std::vector<fs::path> files_in(const fs::path& folder) {
  std::vector<fs::path> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// One start of the library: a new Device on the mouse's channel, reported
// connected as the manager's connect handling would, its cache folder set,
// then the full discovery. Returns the requests the mouse answered; the
// device is gone (and its cache saved) when it returns.
struct Start {
  int requests = 0;
  std::string fwinfo;
  std::string device_file;
};
Start start(test::SimHarness& sim, const std::string& folder, bool generic = false, bool reported = true) {
  Start result;
  auto device = sim.make_device();
  if (!device) {
    ADD_FAILURE() << "no device";
    return result;
  }
  device->set_generic_cache_enabled(generic);
  const int before = sim.mouse->requests();
  if (reported) {
    EXPECT_TRUE(device->connected());
  }
  device->persistent_data_directory(folder);
  // The first lookup succeeds, whatever the file held.
  EXPECT_EQ(kFeatureCount, device->features().size()) << last_error_code();
  result.requests = sim.mouse->requests() - before;
  result.fwinfo = device->fwinfo();
  result.device_file = FeatureCacheFile::device_file_name(folder, device->pid(), device->path());
  return result;
}

TEST(FeatureCacheTest, SecondStartIsServedFromTheFile) {
  test::ScopedTempDir dir;
  test::SimHarness sim;
  const std::string folder = folder_text(dir);

  const Start first = start(sim, folder);
  ASSERT_TRUE(fs::is_regular_file(first.device_file));
  EXPECT_EQ(std::vector<fs::path>{fs::path(first.device_file).filename()}, files_in(dir.path()))
      << "no generic file and no temporary file";
  const FeatureCacheFile::Contents contents = parsed(first.device_file);
  EXPECT_EQ(first.fwinfo, contents.fw);
  EXPECT_EQ(sim.channel()->path(), contents.path);
  EXPECT_GE(contents.entries.size(), kFeatureCount);

  const Start second = start(sim, folder);
  EXPECT_LT(second.requests, first.requests / 2) << "first " << first.requests << ", second " << second.requests;
  EXPECT_GT(second.requests, 0) << "a connected device confirms its identity";
  EXPECT_EQ(first.fwinfo, second.fwinfo);

  // Without a folder nothing is read or written.
  const std::string saved = read_all(first.device_file);
  auto device = sim.make_device();
  device->persistent_data_directory("");
  EXPECT_EQ(kFeatureCount, device->features().size());
  EXPECT_GT(device->sync_cache_size(), kFeatureCount) << "learned from the mouse, not from the file";
  device->perform_cache_write();
  device.reset();
  EXPECT_EQ(1u, files_in(dir.path()).size());
  EXPECT_EQ(saved, read_all(first.device_file));
}

TEST(FeatureCacheTest, FileOfAnotherFirmwareIsDiscardedAndRewritten) {
  // After an update the file is always stale. Whether or not the device was
  // reported connected, the file is checked against the device at once and
  // discovery starts again from the device: no lookup or command fails.
  for (bool reported : {true, false}) {
    SCOPED_TRACE(reported ? "reported connected" : "not reported");
    test::ScopedTempDir dir;
    test::SimHarness sim;
    const std::string folder = folder_text(dir);
    const Start old_firmware = start(sim, folder, false, reported);

    sim.mouse->set_firmware({14, 3, 0}, 4);
    const Start updated = start(sim, folder, false, reported);
    EXPECT_NE(old_firmware.fwinfo, updated.fwinfo);
    EXPECT_GE(updated.requests, old_firmware.requests) << "nothing of the old file may be used";
    EXPECT_EQ(updated.fwinfo, parsed(updated.device_file).fw);

    const Start again = start(sim, folder, false, reported);
    EXPECT_LT(again.requests, updated.requests);
    EXPECT_EQ(updated.fwinfo, again.fwinfo);
  }
}

TEST(FeatureCacheTest, FileOfAnotherFirmwareLoadsNothingOnceTheIdentityIsKnown) {
  test::ScopedTempDir dir;
  test::SimHarness sim;
  const std::string folder = folder_text(dir);
  auto device = sim.make_device();
  ASSERT_EQ(kFeatureCount, device->features().size());
  ASSERT_FALSE(device->fwinfo().empty());
  const std::size_t learned = device->sync_cache_size();

  // A usable-looking entry under another identity must not reach memory.
  FeatureCacheFile::Entries foreign;
  foreign[{0x10, 0xFF, 0x7E, 0x0A}] = {0x11, 0xFF, 0x7E, 0x0A, 0x01};
  const std::string file = FeatureCacheFile::device_file_name(folder, device->pid(), device->path());
  write_all(file, FeatureCacheFile::format("0APP14990000", device->path(), foreign));
  device->perform_cache_write();  // clears the dirty mark; the folder is not set yet
  device->persistent_data_directory(folder);
  EXPECT_EQ(learned, device->sync_cache_size());
  EXPECT_TRUE(device->cache_dirty());

  device->perform_cache_write();
  const FeatureCacheFile::Contents contents = parsed(file);
  EXPECT_EQ(device->fwinfo(), contents.fw);
  EXPECT_EQ(learned, contents.entries.size());
}

TEST(FeatureCacheTest, DamagedFilesAreDiscardedAndReplaced) {
  test::ScopedTempDir dir;
  test::SimHarness sim;
  const std::string folder = folder_text(dir);
  const Start cold = start(sim, folder);
  const std::string good = read_all(cold.device_file);

  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"truncated", good.substr(0, good.size() / 2)},
      {"cut after an attribute's first quote", good.substr(0, good.rfind("rsp=\"") + 5)},
      {"not XML", "\x89PNG\r\n\x1a\n"},
      {"zero bytes", std::string(64, '\0')},
      {"empty", ""},
      {"answers of other requests",
       "<cache fw=\"" + cold.fwinfo + "\"><command cmd=\"10FF000A000000\" rsp=\"11FF050A0000\"/></cache>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    write_all(cold.device_file, c.text);
    const Start damaged = start(sim, folder);
    EXPECT_EQ(cold.requests, damaged.requests) << "a damaged file gives a cold start, no harm";
    EXPECT_EQ(good, read_all(cold.device_file)) << "the file was replaced whole";
  }
}

TEST(FeatureCacheTest, FolderInPlaceOfTheFileIsLeftAlone) {
  test::ScopedTempDir dir;
  test::SimHarness sim;
  const std::string folder = folder_text(dir);
  auto device = sim.make_device();
  const fs::path file = FeatureCacheFile::device_file_name(folder, device->pid(), device->path());
  const fs::path generic_file = FeatureCacheFile::generic_file_name(folder, device->pid());
  device.reset();
  fs::create_directories(file / "keep");

  const Start first = start(sim, folder);
  EXPECT_TRUE(fs::is_directory(file / "keep"));
  EXPECT_EQ(first.requests, start(sim, folder).requests) << "nothing could be saved";

  // The generic file still serves, and is still written.
  const Start generic = start(sim, folder, true);
  EXPECT_TRUE(fs::is_regular_file(generic_file));
  EXPECT_LT(start(sim, folder, true).requests, generic.requests);
  EXPECT_TRUE(fs::is_directory(file / "keep"));
}

TEST(FeatureCacheTest, UnitNeverSeenStartsFromTheGenericFile) {
  test::ScopedTempDir dir;
  const std::string folder = folder_text(dir);
  Start seen;
  {
    test::SimHarness sim;
    seen = start(sim, folder, true);
  }
  sim::SimMouseConfig config = test::SimHarness::fast_config();
  {
    config.serial = 2;  // another path, so another device file
    test::SimHarness sim(config);
    const Start unseen = start(sim, folder, true);
    ASSERT_NE(seen.device_file, unseen.device_file);
    EXPECT_LT(unseen.requests, seen.requests);
    // Adopted under its own name as well.
    EXPECT_EQ(sim.channel()->path(), parsed(unseen.device_file).path);
    EXPECT_EQ(3u, files_in(dir.path()).size());
  }
  // Without the generic cache an unseen unit starts cold.
  config.serial = 3;
  test::SimHarness third(config);
  EXPECT_EQ(seen.requests, start(third, folder, false).requests);
}

}  // namespace
}  // namespace rodiz
