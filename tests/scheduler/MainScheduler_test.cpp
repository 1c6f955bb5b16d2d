// The daemon in-process: wake-up timing driven by a scripted clock, module
// dispatch with real child processes, and start-up and shut-down through
// schedulerMain.
#include "scheduler/MainScheduler.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "s3/cs3dataiofile.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelschedulersts.h"
#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

// A data home on 4 December 2026 under a scripted clock.
class SchedulerTest : public ::testing::Test {
 protected:
  SchedulerTest() { S3ComPathHomeSave(home_.c_str()); }
  ~SchedulerTest() override { signal(SIGCHLD, SIG_DFL); }

  void At(int hour, int minute, int second = 0, int day = 4) {
    clock_.SetLocal(2026, 12, day, hour, minute, second);
  }
  static std::string NextTime() {
    CKorAlarmTime record;
    record.Get();
    return record.GetNextTime();
  }
  // Plays another program writing the next-alarm record.
  static void WriteNextTime(const char* stamp) {
    CKorAlarmTime record;
    record.Set("nexttime", stamp);
    CS3DataIO io;
    EXPECT_EQ(0, io.Mod(record));
  }
  // One wake-up pass from the previous minute prev (negative: first pass).
  // Returns "HH:MM" reached; records nexttime as it was at the first sleep.
  // A pass that does not end within 200 sleeps fails instead of hanging.
  std::string Pass(int interval, int prevHour, int prevMinute) {
    clock_.OnSleep([this](unsigned) {
      size_t n = clock_.sleeps().size();
      if (n == 1) nextAtFirstSleep_ = NextTime();
      if (onSleep_) onSleep_(n);
      if (n > 200) throw std::runtime_error("the wake-up never came");
    });
    int hour = prevHour;
    int minute = prevMinute;
    schedulerSetTimeSleep(interval, &hour, &minute);
    char text[16];
    snprintf(text, sizeof(text), "%02d:%02d", hour, minute);
    return text;
  }
  TempDir home_;
  FakeClock clock_;
  ScopedClock scoped_{&clock_};
  std::string nextAtFirstSleep_;
  std::function<void(size_t)> onSleep_;
};

// ---- Wake-up timing ----------------------------------------------------------------

struct TimingCase {
  const char* what;
  int interval, prevHour;  // prevHour -1: first pass
  int hour, minute, second;
  std::vector<std::string> alarms;  // "MMDD/HH/MM"
  const char* reached;
  const char* nexttime;  // at the first sleep; "" when none is written
  std::vector<unsigned> sleeps;
};

TEST_F(SchedulerTest, WakeUpSituations) {
  const std::string longName(40, '1');
  // clang-format off
  const TimingCase cases[] = {
    {"first pass on a tick", 15, -1, 10, 30, 20, {}, "10:30", "", {}},
    {"first pass off a tick", 15, -1, 10, 7, 0, {}, "10:15", "20261204101500", {480}},
    {"pieces end on the minute", 15, -1, 10, 7, 30, {}, "10:15", "20261204101500", {450}},
    {"interval 5", 5, 10, 10, 7, 0, {}, "10:10", "20261204101000", {180}},
    {"tick after midnight", 15, 23, 23, 50, 0, {}, "00:00", "20261205000000", {600}},
    {"interval 60", 60, 10, 10, 20, 0, {}, "11:00", "20261204110000", {2400}},
    {"180, first pass", 180, -1, 10, 20, 0, {}, "11:00", "20261204110000", {2400}},
    {"180, later pass", 180, 11, 11, 0, 0, {}, "14:00", "20261204140000", {10800}},
    {"180 at 22:00", 180, 22, 22, 0, 0, {}, "01:00", "20261205010000", {10800}},
    {"earlier alarm", 15, 10, 10, 7, 0, {"1204/10/12", "1204/11/00"}, "10:12",
     "20261204101200", {300}},
    {"alarms not pending", 15, 10, 10, 7, 0, {"1204/10/07", "1204/09/30", "1204/10/05"},
     "10:15", "20261204101500", {480}},
    {"alarm equal to the tick", 15, 10, 10, 7, 0, {"1204/10/15"}, "10:15", "20261204101500",
     {480}},
    {"alarm before a tick tomorrow", 60, 23, 23, 20, 0, {"1204/23/40"}, "23:40",
     "20261204234000", {1200}},
    {"only today is scanned", 120, 23, 23, 10, 0, {"1205/00/30"}, "01:00", "20261205010000",
     {6600}},
    {"no minute of the day", 15, 10, 10, 7, 0, {"1204/24/00", "1204/1x/30", "1204/10/3",
     "1204/10/075", "1204/10/" + longName, "1204/" + longName + "/30"}, "10:15",
     "20261204101500", {480}},
  };
  // clang-format on
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir home;
    S3ComPathHomeSave(home.c_str());
    clock_ = FakeClock();
    At(c.hour, c.minute, c.second);
    for (const std::string& a : c.alarms) MakeDirs(home.Path("data/scheduler/alarm/2026/" + a));
    EXPECT_EQ(c.reached, Pass(c.interval, c.prevHour, c.prevHour < 0 ? -1 : 0));
    EXPECT_EQ(c.nexttime, c.sleeps.empty() ? NextTime() : nextAtFirstSleep_);
    EXPECT_EQ(c.sleeps, clock_.sleeps());
  }
}

// Every admitted interval, from several minutes of the day, on a later pass:
// the target is the next multiple of the interval (of 60 minutes counted
// from the current hour for multiples of 60), no piece exceeds the interval,
// and the pieces add up to the distance.
TEST_F(SchedulerTest, TicksForEveryDivisorAndMultipleOf60) {
  const int intervals[] = {1, 2, 3, 4, 5, 6, 10, 12, 15, 20, 30, 60, 120, 180, 240, 360, 720, 1440};
  const int starts[][2] = {{0, 0}, {7, 59}, {10, 7}, {13, 30}, {23, 59}};
  for (int w : intervals) {
    for (const auto& s : starts) {
      SCOPED_TRACE(testing::Message() << "interval " << w << " at " << s[0] << ":" << s[1]);
      At(s[0], s[1]);
      clock_ = FakeClock(clock_.Now());
      int now = s[0] * 60 + s[1];
      int target = w < 60 ? (now / w + 1) * w % 1440 : (s[0] + w / 60) % 24 * 60;
      int distance = (target - now + 1440) % 1440;
      if (distance == 0) distance = 1440;
      char expected[16];
      snprintf(expected, sizeof(expected), "%02d:%02d", target / 60, target % 60);
      EXPECT_EQ(expected, Pass(w, s[0], s[1]));
      unsigned total = 0;
      for (unsigned piece : clock_.sleeps()) {
        EXPECT_LE(piece, static_cast<unsigned>(w) * 60);
        total += piece;
      }
      EXPECT_EQ(static_cast<unsigned>(distance) * 60, total);
    }
  }
}

// Intervals the tick arithmetic is not made for: never a division by zero,
// never a spin, never an unreachable target.
TEST_F(SchedulerTest, OddIntervalsNeverSpin) {
  struct Case {
    int interval, prevHour, hour, minute, second, interruptAfter;
    const char* reached;
    std::vector<unsigned> sleeps;
  } cases[] = {
      {0, -1, 10, 7, 30, 0, "10:07", {}},
      {0, 10, 10, 7, 0, 0, "10:08", {60}},
      {-15, 10, 10, 7, 0, 0, "10:15", {480}},
      {INT_MIN, 10, 10, 0, 30, 0, "10:00", {86370}},
      {1440, -1, 10, 20, 0, 0, "11:00", {2400}},
      {1440, 10, 10, 0, 30, 0, "10:00", {86370}},
      // A module ending in the minute of the daily tick must not start a
      // second round of every module.
      {1440, 10, 10, 0, 0, 15, "10:00", {86400, 86385}},
      {2880, 10, 10, 0, 0, 0, "10:00", {86400}},
      {7, 10, 10, 57, 0, 0, "11:03", {360}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "interval " << c.interval);
    clock_ = FakeClock();
    At(c.hour, c.minute, c.second);
    if (c.interruptAfter > 0) clock_.InterruptSleepAfter(c.interruptAfter);
    EXPECT_EQ(c.reached, Pass(c.interval, c.prevHour, c.prevHour < 0 ? -1 : 0));
    EXPECT_EQ(c.sleeps, clock_.sleeps());
  }
}

TEST_F(SchedulerTest, ClockSetBackMeetsTheTicksAgain) {
  At(10, 12);
  onSleep_ = [this](size_t n) {
    if (n == 1) At(10, 2);
  };
  EXPECT_EQ("10:15", Pass(5, 10, 10));
  EXPECT_EQ((std::vector<unsigned>{180, 180, 300, 300}), clock_.sleeps());
}

TEST_F(SchedulerTest, OneMinuteLateStillReachesTheTargetTwoMinutesDoNot) {
  At(10, 7);
  onSleep_ = [this](size_t) { clock_.Advance(60); };
  EXPECT_EQ("10:15", Pass(15, 10, 0));
  EXPECT_EQ(std::vector<unsigned>{480}, clock_.sleeps());

  clock_ = FakeClock();
  At(10, 7);
  onSleep_ = [this](size_t n) {
    if (n == 1) clock_.Advance(120);
    if (n == 2) At(10, 15, 0, 5);  // the same minute tomorrow
  };
  EXPECT_EQ("10:15", Pass(15, 10, 0));
  EXPECT_EQ((std::vector<unsigned>{480, 780}), clock_.sleeps());
}

// Another program lowers the record and signals during the sleep towards
// 10:15 (the sleep ends after one minute); the daemon adopts only a time that
// is earlier than its target and not already past.
TEST_F(SchedulerTest, LoweredNextAlarmAfterAnInterruption) {
  struct Case {
    int interval, hour, minute;
    const char* written;
    const char* reached;
    std::vector<unsigned> sleeps;
  } cases[] = {
      {15, 10, 0, "20261204100900", "10:09", {900, 480}},
      {15, 10, 0, "20261204102000", "10:15", {900, 840}},
      {15, 10, 0, "", "10:15", {900, 840}},
      {15, 10, 0, "20261204090000", "10:15", {900, 840}},  // stale: already past
      {15, 10, 0, "20261205100900", "10:15", {900, 840}},  // tomorrow is later
      {120, 23, 10, "20261205003000", "00:30", {6600, 4740}},
      {15, 23, 50, "20261204240000", "00:00", {600, 540}},  // hour 24: no minute of a day
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.written);
    clock_ = FakeClock();
    At(c.hour, c.minute);
    clock_.InterruptSleepAfter(60);
    onSleep_ = [&](size_t n) {
      if (n == 1) WriteNextTime(c.written);
    };
    EXPECT_EQ(c.reached, Pass(c.interval, c.hour, 0));
    EXPECT_EQ(c.sleeps, clock_.sleeps());
  }
}

// Directory order is whatever the file system yields: every creation order
// gives the same earliest pending minute, and the callback keeps the earliest
// in whatever order it is called.
TEST_F(SchedulerTest, AlarmScanIndependentOfDirectoryOrder) {
  std::vector<std::string> dirs = {"14/30", "08/10", "11/45", "11/20"};
  std::sort(dirs.begin(), dirs.end());
  do {
    TempDir home;
    S3ComPathHomeSave(home.c_str());
    for (const std::string& d : dirs) MakeDirs(home.Path("data/scheduler/alarm/2026/1204/" + d));
    clock_ = FakeClock();
    At(10, 0);
    EXPECT_EQ("11:20", Pass(120, 8, 0));
  } while (std::next_permutation(dirs.begin(), dirs.end()));

  S3ComPathHomeSave(home_.c_str());
  At(10, 0);
  std::string day = home_.Path("data/scheduler/alarm/2026/1204");
  for (const char* d : {"/14/30", "/08/10", "/11/45"}) MakeDirs(day + d);
  char best[32] = "";
  for (const char* hour : {"14", "08", "11"}) {
    EXPECT_EQ(0, schedulerSetTimeSleepNextTime((day + "/" + hour).c_str(), best, false));
  }
  EXPECT_STREQ("1145", best);
  EXPECT_EQ(1, schedulerSetTimeSleepNextTime((day + "/08/10").c_str(), best, false));
  EXPECT_EQ(0, schedulerSetTimeSleepNextTime("14", best, false));
  EXPECT_EQ(0, schedulerSetTimeSleepNextTime("1130", best, true));
  EXPECT_STREQ("1145", best);
}

// ---- Module dispatch -------------------------------------------------------------------

// Starting modules, finding their programs and healing the table are tested
// end to end; in-process only what needs a file tree or an odd argument.
TEST_F(SchedulerTest, DispatchNeverRunsACutPath) {
  std::string log = home_.Path("log");

  // The first 2047 characters of the overlong path name a real program.
  std::string deep = home_.Path("d");
  while (deep.size() < 2000) deep += "/" + std::string(100, 'x');
  MakeDirs(deep);
  std::string cut = deep + "/" + std::string(kSchedProgramPathSize - 2 - deep.size(), 'p');
  WriteScript(cut, "echo \"$0|$2|$3\" >> " + log);
  Schedule(AddModule(cut + "q"), "00", "00");
  Schedule(AddModule(cut), "00", "00");

  EXPECT_EQ(0, schedulerModuleExec(24, 0, home_.c_str()));  // hour 24 is midnight
  EXPECT_TRUE(WaitNoChildren(getpid()).empty());
  EXPECT_EQ(std::vector<std::string>{cut + "|00|00"}, ReadLines(log));

  // A missing module table is an empty one.
  ASSERT_EQ(0, comDirDelete(home_.Path("data/scheduler/module").c_str(), nullptr));
  EXPECT_EQ(0, schedulerModuleExec(0, 0, home_.c_str()));
}

// ---- Start-up and shut-down --------------------------------------------------------------

int RunMain(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return schedulerMain(static_cast<int>(args.size()), argv.data());
}

TEST_F(SchedulerTest, StartUpChecksAndFinalStatus) {
  EXPECT_EQ(99, RunMain({"scheduler", home_.path()}));
  EXPECT_EQ(1, RunMain({"scheduler", std::string(kS3HomeMax + 1, 'h'), "15"}));
  EXPECT_EQ(1, RunMain({"scheduler", "", "15"}));
  struct stat st;
  EXPECT_NE(0, stat(home_.Path("data").c_str(), &st)) << "nothing may be touched";

  // No module table: refused at start.
  EXPECT_EQ(1, RunMain({"scheduler", home_.path(), "15"}));
  CvelSchedulerSts sts;
  ASSERT_EQ(0, sts.Get());
  EXPECT_EQ(-110, sts.GetStatus());
  EXPECT_EQ(getpid(), sts.GetPid());

  AddModule("idle");
  for (const char* bad : {"7", "45", "61", "90", "abc", "-", "", "-7", "4294967356"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(1, RunMain({"scheduler", home_.path(), bad}));
    ASSERT_EQ(0, sts.Get());
    EXPECT_EQ(-99, sts.GetStatus());
  }
  // Admitted intervals run until another program writes its pid.
  for (const char* good : {"15", "30", "1", "60", "120", "180", "0", "15\n", "-15", "2880"}) {
    SCOPED_TRACE(good);
    clock_ = FakeClock();
    At(10, 7);
    clock_.OnSleep([](unsigned) { CvelSchedulerSts().Mod(1); });
    EXPECT_EQ(0, RunMain({"scheduler", home_.path(), good}));
    ASSERT_EQ(0, sts.Get());
    EXPECT_EQ(1, sts.GetPid());
    EXPECT_TRUE(sts.HasStatus());
    EXPECT_EQ(0, sts.GetStatus());
  }
  // The own status file is gone and no backup copy of it is left behind.
  EXPECT_NE(0, stat(home_.Path("data/scheduler/status." + std::to_string(getpid())).c_str(), &st));
  char entries[32] = "";
  comDirSaveFileName(home_.Path("data/tmp").c_str(), entries,
                     [](const char* name, char* out, bool) {
                       snprintf(out, 32, "%s", name);
                       return 1;
                     });
  EXPECT_STREQ("", entries);
}

}  // namespace
