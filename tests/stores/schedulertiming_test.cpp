#include "stores/schedulertiming.h"

#include <gtest/gtest.h>

namespace {

TEST(SchedulerTiming, ReachableEntries) {
  struct Case {
    int hour, minute, interval;
    bool reached;
    const char* why;
  } cases[] = {
      {10, 7, 15, false, "minute 07 is not a multiple of the interval 15"},
      {10, 7, 1, true, ""},
      {0, 0, 5, true, ""},
      {23, 55, 5, true, ""},
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

// Wall-clock date-times: the minutes between two stamps across the ends of a
// day, a month, a leap day and a year, each read back as it was; texts that
// are no date-time of a real day read as none.
TEST(SchedulerTiming, WallClockDateTimes) {
  struct Case {
    const char* from;
    const char* to;
    long long minutes;
  } cases[] = {
      {"20261231235900", "20270101000000", 1},
      {"20240228120000", "20240301120000", 2 * 1440},
      {"21000228120000", "21000301120000", 1440},  // no leap day in 2100
      {"20000229000000", "20010301000000", 366 * 1440},
  };
  for (const Case& c : cases) {
    SchedulerMinute from = schedulerMinuteOfStamp(c.from);
    SchedulerMinute to = schedulerMinuteOfStamp(c.to);
    EXPECT_EQ(c.minutes, to - from) << c.from;
    char text[15];
    schedulerMinuteStamp(from, text, sizeof(text));
    EXPECT_STREQ(c.from, text);
    schedulerMinuteStamp(to, text, sizeof(text));
    EXPECT_STREQ(c.to, text);
  }
  EXPECT_EQ(schedulerMinuteOf(2026, 12, 32, 24, 0), schedulerMinuteOfStamp("20270102000000"));
  for (const char* none : {"20261204240000", "20261204106000", "20260229100000", "20261300100000",
                           "20261200100000", "2026120410", "2026120410x0"}) {
    EXPECT_EQ(kSchedulerNoMinute, schedulerMinuteOfStamp(none)) << none;
  }
}

}  // namespace
