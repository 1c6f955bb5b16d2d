#include "stores/ckorstatus.h"

#include <string>

#include <gtest/gtest.h>

#include "common/com.h"
#include "stores/ckorschedulersts.h"
#include "tests/s3/io_testing.h"

namespace {

TEST(CKorSchedulerSts, DelAllRemovesOnlyStatusEntries) {
  TempHome home;
  CKorSchedulerSts sts;
  EXPECT_EQ(kResOk, sts.Set("PID", "100"));  // field names are matched in any case
  EXPECT_EQ(kResUnknownField, sts.Set("pids", "1"));
  EXPECT_EQ(kResOk, sts.DelAll());  // no scheduler directory
  for (const char* name : {"status.100", "status.200", "status.9/x", "schedulersts"}) {
    PutFile(home.Data(std::string("scheduler/") + name), "x");
  }
  EXPECT_EQ(kResOk, sts.DelAll());
  for (const char* name : {"status.100", "status.200", "status.9"}) {
    EXPECT_FALSE(PathExists(home.Data(std::string("scheduler/") + name))) << name;
  }
  EXPECT_EQ("x", ReadFile(home.Data("scheduler/schedulersts")));
}

}  // namespace
