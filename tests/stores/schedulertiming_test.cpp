#include "stores/schedulertiming.h"

#include <gtest/gtest.h>

namespace {

TEST(SchedulerTiming, ReachableEntries) {
  struct Case {
    int hour, minute, interval;
    bool reached;
    const char* why;
  } cases[] = {
      {10, 15, 15, true, ""},
      {10, 7, 15, false, "minute 07 is not a multiple of the interval 15"},
      {10, 7, 1, true, ""},
      {10, 7, 0, true, ""},  // 0 ticks every minute
      {0, 0, 5, true, ""},
      {23, 55, 5, true, ""},
      {10, 30, -15, true, ""},
      {10, 30, 60, false, "the daemon wakes only at full hours with the interval 60"},
      {13, 0, 180, true, ""},
      {13, 5, 5000, false, "the daemon wakes only at full hours with the interval 1440"},
  };
  for (const Case& c : cases) {
    char why[128] = "";
    EXPECT_EQ(schedulerTickReaches(c.hour, c.minute, c.interval, why, sizeof(why)), c.reached)
        << c.hour << ":" << c.minute << " every " << c.interval;
    EXPECT_STREQ(why, c.why);
  }
}

}  // namespace
