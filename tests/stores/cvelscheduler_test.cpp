#include "stores/cvelscheduler.h"

#include <gtest/gtest.h>

#include "common/com.h"
#include "tests/s3/io_testing.h"

namespace {

// Add entry 1 for module 3 at a time, then ask for it at another.
TEST(CvelScheduler, AddThenGet) {
  struct Case {
    const char* hour;
    const char* minute;
    int addRc;
    const char* file;  // written by Add; null: nothing may be touched
    const char* askHour;
    const char* askMinute;
    int getRc;
  } cases[] = {
      {"10", "15", kResOk, "scheduler/10/15/3", "10", "15", kResOk},
      {"10", "15", kResOk, "scheduler/10/15/3", "10", "16", kResNoEntry},
      {"24", "00", kResOk, "scheduler/00/00/3", "24", "00", kResOk},
      {"10", "60", kResOk, "scheduler/10/60/3", "10", "60", kResOk},
      {"25", "00", kResSchedTimeRange, nullptr, "25", "00", kResSchedTimeRange},
      {"10", "-1", kResSchedTimeRange, nullptr, "10", "61", kResSchedTimeRange},
      {"1x", "00", kResIntNotNumber, nullptr, "1x", "00", kResIntNotNumber},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.hour << ":" << c.minute);
    TempHome home;
    CvelScheduler entry;
    EXPECT_EQ(c.addRc, entry.Add(1, 3, c.hour, c.minute));
    if (c.file != nullptr) {
      EXPECT_EQ("object 1\n_item=1\nend\n", ReadFile(home.Data(c.file)));
    } else {
      EXPECT_FALSE(PathExists(home.Data("scheduler")));
    }
    EXPECT_EQ(c.getRc, CvelScheduler().Get(3, c.askHour, c.askMinute));
  }
}

TEST(CvelScheduler, EntriesComeAndGoButTheFileStays) {
  TempHome home;
  const char file[] = "scheduler/10/15/3";
  CvelScheduler entry;
  EXPECT_EQ(kResNoEntry, entry.Del(1, 3, "10", "15"));
  EXPECT_FALSE(PathExists(home.Data(file)));
  for (int value : {1, 2, 1}) ASSERT_EQ(kResOk, entry.Add(value, 3, "10", "15"));
  EXPECT_EQ("object 1\n_item=1\n_item=2\nend\n",
            ReadFile(home.Data(file)));  // 1 revived, not doubled
  ASSERT_EQ(kResOk, entry.Get(3, "10", "15"));
  EXPECT_EQ(2, entry.GetElementCount());
  for (int value : {1, 2}) ASSERT_EQ(kResOk, entry.Del(value, 3, "10", "15"));
  EXPECT_EQ("object 1\nend\n", ReadFile(home.Data(file)));
  EXPECT_EQ(kResOk, entry.Get(3, "10", "15"));  // still due at 10:15
  PutFile(home.Data(file), "");
  EXPECT_EQ(kResNoEntry, entry.Get(3, "10", "15"));  // an empty file is no entry
}

}  // namespace
