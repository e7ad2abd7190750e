#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "device/ErrorCode.h"
#include "device/LastError.h"
#include "runtime/RodizException.h"

namespace rodiz {
namespace {

TEST(ErrorCodeTest, EveryAssignedValueHasItsOwnName) {
  std::set<std::string> names;
  for (int value = 0; value <= 78; ++value) {
    const std::string name = error_code_name(static_cast<ErrorCode>(value));
    if (value == 3 || value == 23 || value == 24 || value == 69) {
      EXPECT_EQ("UnassignedErrorCode", name) << value;
    } else {
      EXPECT_TRUE(names.insert(name).second) << value << " " << name;
    }
  }
  EXPECT_EQ(75u, names.size());
  EXPECT_STREQ("NoResponse", error_code_name(NoResponse));
  EXPECT_STREQ("PingMismatch", error_code_name(PingMismatch));
  EXPECT_STREQ("UnassignedErrorCode", error_code_name(static_cast<ErrorCode>(500)));
}

TEST(ErrorCodeTest, DeviceErrorBytesMapIntoTheirRanges) {
  EXPECT_EQ(8, frap10_error(0));
  EXPECT_EQ(20, frap10_error(12));
  EXPECT_EQ(Frp10ErrorOther, frap10_error(13));
  EXPECT_EQ(Frp10ErrorOther, frap10_error(255));
  EXPECT_EQ(44, frap20_error(0));
  EXPECT_EQ(53, frap20_error(9));
  EXPECT_EQ(Frp20ErrorOther, frap20_error(10));
}

TEST(LastErrorTest, IsPerThreadAndTakenFromExceptions) {
  set_last_error(NoResponse, 7, "here");
  std::thread([] {
    EXPECT_EQ(NoError, last_error_code());
    set_last_error(WriteError, 9);
  }).join();
  EXPECT_EQ(NoResponse, last_error().code);
  EXPECT_EQ(7u, last_error().system);

  try {
    throw RodizException(SystemLibraryMissing, 126, "hid.dll missing");
  } catch (const RodizException& e) {
    EXPECT_STREQ("hid.dll missing", e.what());
    e.store_in_last_error();
  }
  EXPECT_EQ(SystemLibraryMissing, last_error().code);
  EXPECT_EQ(126u, last_error().system);
  EXPECT_STREQ("hid.dll missing", last_error().text);
  clear_last_error();
  EXPECT_EQ(NoError, last_error_code());
}

}  // namespace
}  // namespace rodiz
