#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/SimBus.h"
#include "sim/SimMouse.h"
#include "sim/SimStateFile.h"
#include "support/ScopedTempDir.h"

namespace rodiz::sim {
namespace {

SimStateFile::State sample_state() {
  SimStateFile::State state;
  state.bootloader = true;
  state.major = 14;
  state.minor = 2;
  state.build = 6;
  state.type6_build = 2;
  state.dfu.erased = true;
  // Built rather than assigned from a list: mingw's GCC 12 warns of a null
  // dereference inside vector<bool>'s list assignment.
  state.dfu.verified = std::vector<bool>(2, false);
  state.dfu.verified[0] = true;
  state.dfu.current = 2;
  state.dfu.next = 77;
  state.dfu.last_status = 1;
  state.dfu.matches = true;
  state.dfu.last_packet.assign(16, 0xA5);
  state.sector_size = 16;
  state.sectors = {std::vector<std::uint8_t>(16, 0x01), std::vector<std::uint8_t>(16, 0xFE)};
  state.active_profile = 3;
  state.resolution_index = 2;
  state.onboard_mode = true;
  state.led = {1, 0, 0};
  return state;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SimStateFileTest, WhatIsWrittenIsReadBack) {
  const SimStateFile::State state = sample_state();
  SimStateFile::State read;
  std::string error;
  ASSERT_TRUE(SimStateFile::Parse(SimStateFile::Format(state), &read, &error)) << error;
  EXPECT_EQ(SimStateFile::Format(state), SimStateFile::Format(read));
  EXPECT_TRUE(read.bootloader);
  EXPECT_EQ(77u, read.dfu.next);
  EXPECT_EQ(state.sectors, read.sectors);
}

// A damaged file is refused with the line it fails at, and the state handed
// in is left alone.
TEST(SimStateFileTest, DamagedFilesAreRefusedWithoutChangingTheState) {
  const std::string good = SimStateFile::Format(sample_state());
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    const char* name;
    std::string text;
  };
  const Case cases[] = {
      {"empty", ""},
      {"cut short", good.substr(0, good.size() / 2)},
      {"no end", replaced("end\n", "")},
      {"text after the end", good + "mode application\n"},
      {"another version", replaced("mirel-sim-state 1", "mirel-sim-state 2")},
      {"unknown mode", replaced("mode bootloader", "mode asleep")},
      {"minor out of range", replaced("version 14 2 6", "version 14 200 6")},
      {"sign", replaced("type6 2", "type6 -2")},
      {"two spaces", replaced("type6 2", "type6  2")},
      {"a value missing", replaced("led 1 0 0", "led 1 0")},
      {"image out of range", replaced("dfu 1 2 77", "dfu 1 3 77")},
      {"short packet", replaced("a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5", "a5a5")},
      {"more sectors than lines", replaced("sectors 2 16", "sectors 3 16")},
      {"too many sectors", replaced("sectors 2 16", "sectors 65 16")},
      {"upper-case hex", replaced("fefefefefefefefefefefefefefefefe", "FEFEFEFEFEFEFEFEFEFEFEFEFEFEFEFE")},
      {"odd hex", replaced("fefefefefefefefefefefefefefefefe", "fefefefefefefefefefefefefefefef")},
      {"huge number", replaced("profiles 3", "profiles 99999999999")},
      {"too long", good + std::string(SimStateFile::kMaxFileBytes, 'x')},
  };
  for (const Case& c : cases) {
    SimStateFile::State state;
    state.build = 4242;
    std::string error;
    EXPECT_FALSE(SimStateFile::Parse(c.text, &state, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
    EXPECT_EQ(4242, state.build) << c.name;
  }
}

TEST(SimStateFileTest, SavingReplacesTheFileWholeAndAMissingFileIsNoError) {
  rodiz::test::ScopedTempDir dir;
  const std::string path = (dir.path() / "mouse.state").string();
  SimStateFile::State state;
  std::string error;
  EXPECT_FALSE(SimStateFile::Load(path, &state, &error));
  EXPECT_TRUE(error.empty());

  SimStateFile::State first = sample_state();
  ASSERT_TRUE(SimStateFile::Save(path, SimStateFile::Format(first), &error)) << error;
  first.build = 7;
  ASSERT_TRUE(SimStateFile::Save(path, SimStateFile::Format(first), &error)) << error;
  ASSERT_TRUE(SimStateFile::Load(path, &state, &error)) << error;
  EXPECT_EQ(7, state.build);
  EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

  std::ofstream(path, std::ios::binary | std::ios::trunc) << "mirel-sim-state 1\nmode app";
  EXPECT_FALSE(SimStateFile::Load(path, &state, &error));
  EXPECT_NE(std::string::npos, error.find(path));
  EXPECT_NE(std::string::npos, error.find("line 2"));
}

// A mouse that keeps its state in a file is the same mouse when a new one
// is made from that file: profiles, LED setting, firmware and mode.
TEST(SimStateFileTest, AMouseMadeFromTheFileOfAnotherIsTheSameMouse) {
  rodiz::test::ScopedTempDir dir;
  SimMouseConfig config;
  config.state_file = (dir.path() / "mouse.state").string();
  config.latency = std::chrono::microseconds(0);
  std::vector<std::vector<std::uint8_t>> sectors;
  {
    auto first = std::make_shared<SimMouse>(config);
    first->start();
    first->press_profile_button(5);
    first->set_firmware({14, 2, 7}, 3);
    first->wait_idle();
    sectors = first->sectors();
  }
  SimStateFile::State state;
  std::string error;
  ASSERT_TRUE(SimStateFile::Load(config.state_file, &state, &error)) << error;
  auto second = std::make_shared<SimMouse>(config);
  ASSERT_TRUE(second->restore(state, &error)) << error;
  second->start();
  EXPECT_EQ(SimMouse::Mode::Application, second->mode());
  EXPECT_EQ(5, second->active_profile());
  EXPECT_EQ(7, second->version().build);
  EXPECT_EQ(3, second->type6_build());
  EXPECT_EQ(sectors, second->sectors());
  EXPECT_EQ((std::vector<std::uint8_t>{1, 0, 0}), second->nv_config(1));
  // Nothing was changed since: the file was not written again.
  EXPECT_EQ(SimStateFile::Format(state), read_file(config.state_file));

  // A file of another mouse (other profile memory) is refused.
  SimMouseConfig other = config;
  other.sector_count = 4;
  auto third = std::make_shared<SimMouse>(other);
  EXPECT_FALSE(third->restore(state, &error));
  EXPECT_NE(std::string::npos, error.find("sectors"));
}

}  // namespace
}  // namespace rodiz::sim
