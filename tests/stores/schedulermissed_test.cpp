// The runs missed in a gap, and what a catch-up runs of them, against a home
// with real schedule entries and alarms, played through the zone rules of
// Europe/Berlin (so the spring change is the daemon's own).
#include "stores/schedulermissed.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/scheduler/scheduler_testing.h"

namespace {

time_t LocalTime(const char* text) {
  struct tm t = {};
  strptime(text, "%Y-%m-%d %H:%M:%S", &t);
  t.tm_isdst = -1;
  return mktime(&t);
}

// "HH:MM ID" of each run, "a" after the ID of an alarm's, comma-separated.
std::string Shown(const std::vector<SchedulerMissedRun>& runs) {
  std::string out;
  for (const SchedulerMissedRun& run : runs) {
    char text[32];
    int minute = schedulerMinuteOfDay(run.due);
    snprintf(text, sizeof(text), "%s%02d:%02d %d%s", out.empty() ? "" : ",", minute / 60,
             minute % 60, run.module, run.alarm ? "a" : "");
    out += text;
  }
  return out;
}

TEST(SchedulerMissed, GapsAreThePlayedRunsAndACatchUpRunsEachModuleOnce) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  DaemonHome dir;
  AddModule("/bin/true", {"1015", "1030", "2345", "0015"});
  AddModule("/bin/true", {"1030"});
  AddModule("/bin/true", {"0200", "0230", "0300"});
  dir.Alarm(2, "20261204", "1020");  // off the ticks: an alarm wakes the daemon
  dir.Alarm(1, "20261205", "0005");
  struct Case {
    const char* name;
    const char* from;  // the last pass (its minute ran)
    const char* to;    // the start
    const char* missed;
    const char* caughtUp;
  };
  const Case cases[] = {
      {"one entry", "2026-12-04 10:10:05", "2026-12-04 10:20:00", "10:15 1", "10:15 1"},
      {"several entries of one module, an alarm", "2026-12-04 10:10:05", "2026-12-04 11:00:00",
       "10:15 1,10:20 2a,10:30 1,10:30 2", "10:20 2a,10:30 1,10:30 2"},
      {"over midnight", "2026-12-04 23:40:00", "2026-12-05 00:20:00", "23:45 1,00:05 1a,00:15 1",
       "00:05 1a,00:15 1"},
      {"a start on a tick runs it itself", "2026-12-04 10:00:00", "2026-12-04 10:15:30", "", ""},
      {"the pass's own minute ran", "2026-12-04 10:15:00", "2026-12-04 10:19:00", "", ""},
      // 02:00 runs late at 03:00, and 03:00 after it; 02:30 does not exist.
      {"spring forward", "2026-03-29 01:50:00", "2026-03-29 03:20:00", "02:00 3,03:00 3",
       "03:00 3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    time_t from = LocalTime(c.from);
    struct tm local = {};
    localtime_r(&from, &local);
    SchedulerMinute fromMinute = schedulerMinuteOf(local.tm_year + 1900, local.tm_mon + 1,
                                                   local.tm_mday, local.tm_hour, local.tm_min);
    std::vector<SchedulerMissedRun> missed;
    ASSERT_EQ(0, schedulerMissedRuns(from, fromMinute, LocalTime(c.to), 15, &missed));
    EXPECT_EQ(c.missed, Shown(missed));
    EXPECT_EQ(c.caughtUp, Shown(schedulerCatchUpRuns(missed)));
  }
}

// The record of passes reads back what a start and a pass write, and the
// choice what was chosen; what does not parse is no pass and no catch-up.
TEST(SchedulerMissed, RecordsReadBackAndDamageReadsAsNone) {
  DaemonHome dir;
  AddModule("/bin/true");
  SchedulerPasses none;
  const SchedulerMinute minute = schedulerMinuteOf(2026, 12, 4, 10, 10);
  SchedulerPasses before;
  before.hasPass = true;
  before.passMinute = minute;
  before.passAt = 1796379000;
  before.passInterval = 5;
  const std::string record = schedulerStartRecord(minute + 50, 1796382000, 15, before);
  PutFile(dir.Data(kSchedLastPassFile), record);
  SchedulerPasses read;
  ASSERT_EQ(0, schedulerReadPasses(&read));
  EXPECT_TRUE(read.hasPass && read.hasGap);
  EXPECT_EQ(minute + 50, read.passMinute);
  EXPECT_EQ(15, read.passInterval);
  EXPECT_EQ(minute, read.gapMinute);
  EXPECT_EQ(1796379000, read.gapFrom);
  EXPECT_EQ(1796382000, read.gapTo);
  EXPECT_EQ(5, read.gapInterval);
  // A pass rewrites the first line in place; the gap line stays whole.
  EXPECT_EQ(schedulerPassLine(minute, 1, 15).size(), record.find('\n') + 1);
  PutFile(dir.Data(kSchedLastPassFile), "pass 2026120410x0 001796379000 0005\ngap -\n");
  ASSERT_EQ(0, schedulerReadPasses(&read));
  EXPECT_FALSE(read.hasPass || read.hasGap);

  EXPECT_FALSE(schedulerCatchUpRead().on);
  ASSERT_EQ(0, schedulerCatchUpWrite(SchedulerCatchUp{true, 6}));
  EXPECT_TRUE(schedulerCatchUpRead().on);
  EXPECT_EQ(6, schedulerCatchUpRead().limitHours);
  PutFile(dir.Data(kSchedCatchUpFile), "on 0\n");
  EXPECT_FALSE(schedulerCatchUpRead().on);
}

}  // namespace
