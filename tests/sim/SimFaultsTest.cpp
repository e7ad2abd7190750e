#include <gtest/gtest.h>

#include "sim/SimFaults.h"
#include "sim/SimProfileMemory.h"

namespace rodiz::sim {
namespace {

TEST(SimFaultsTest, ParsesTheCommandLineForm) {
  SimFaults faults;
  std::string error;
  ASSERT_TRUE(SimFaults::parse("drop=120,image=2,late=5,late-ms=40,silent", &faults, &error)) << error;
  EXPECT_EQ(120, faults.drop_response_to_packet);
  EXPECT_EQ(2, faults.image);
  EXPECT_EQ(5, faults.late_packet);
  EXPECT_EQ(40, faults.late_by.count());
  EXPECT_TRUE(faults.silent);

  SimFaults untouched;
  EXPECT_FALSE(SimFaults::parse("drop=abc", &untouched, &error));
  EXPECT_NE(std::string::npos, error.find("drop"));
  EXPECT_FALSE(SimFaults::parse("explode=1", &untouched, &error));
  EXPECT_FALSE(SimFaults::parse("status-value=999", &untouched, &error));
  EXPECT_EQ(-1, untouched.drop_response_to_packet);  // a bad list changes nothing
  EXPECT_TRUE(SimFaults::parse("", &untouched, &error));
}

TEST(SimProfileMemoryTest, WritesCommitOnlyWhenComplete) {
  SimProfileMemory memory(4, 256);
  std::vector<std::uint8_t> before;
  ASSERT_TRUE(memory.read(1, 0, &before));
  EXPECT_EQ('P', before[0]);
  int remaining = 0;
  ASSERT_TRUE(memory.begin_write(1, 0, 32));
  ASSERT_TRUE(memory.write_data(std::vector<std::uint8_t>(16, 0xAA), &remaining));
  EXPECT_EQ(16, remaining);
  EXPECT_FALSE(memory.end_write());  // half a transaction changes nothing
  std::vector<std::uint8_t> after;
  ASSERT_TRUE(memory.read(1, 0, &after));
  EXPECT_EQ(before, after);

  ASSERT_TRUE(memory.begin_write(1, 0, 32));
  ASSERT_TRUE(memory.write_data(std::vector<std::uint8_t>(16, 0xAA), &remaining));
  ASSERT_TRUE(memory.write_data(std::vector<std::uint8_t>(16, 0xBB), &remaining));
  EXPECT_TRUE(memory.end_write());
  ASSERT_TRUE(memory.read(1, 16, &after));
  EXPECT_EQ(std::vector<std::uint8_t>(16, 0xBB), after);
  EXPECT_FALSE(memory.read(4, 0, &after));
  EXPECT_FALSE(memory.read(0, 248, &after));
  EXPECT_FALSE(memory.begin_write(0, 250, 16));
}

}  // namespace
}  // namespace rodiz::sim
