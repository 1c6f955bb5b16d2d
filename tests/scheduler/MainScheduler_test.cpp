// The daemon in-process: wake-up timing driven by a scripted clock, module
// dispatch with real child processes, and start-up and shut-down through
// schedulerMain.
#include "scheduler/MainScheduler.h"

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelschedulersts.h"
#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

namespace fs = std::filesystem;

// A scripted clock that can turn one second further right after its first
// reading, as a wall clock does when a call runs across a minute boundary.
class TurningClock : public FakeClock {
 public:
  time_t Now() override {
    time_t now = FakeClock::Now();
    if (turnAfterFirstRead_) {
      turnAfterFirstRead_ = false;
      Advance(1);
    }
    return now;
  }
  bool turnAfterFirstRead_ = false;
};

// A data home on 4 December 2026 under a scripted clock.
class SchedulerTest : public ::testing::Test {
 protected:
  ~SchedulerTest() override { signal(SIGCHLD, SIG_DFL); }

  // Sets the clock to "HH:MM:SS" or "D HH:MM:SS" (day D of December 2026).
  void At(const char* when) {
    int day = 4, hour = 0, minute = 0, second = 0;
    if (sscanf(when, "%d %d:%d:%d", &day, &hour, &minute, &second) != 4) {
      day = 4;
      ASSERT_EQ(3, sscanf(when, "%d:%d:%d", &hour, &minute, &second)) << when;
    }
    clock_.SetLocal(2026, 12, day, hour, minute, second);
  }
  DaemonHome home_;
  TurningClock clock_;
  ScopedClock scoped_{&clock_};
};

// ---- Wake-up timing ----------------------------------------------------------------

struct TimingCase {
  const char* what;
  int interval;
  bool first;  // first pass (pair -1), else a later one
  // "HH:MM:SS" on 4 December; "turning" after it: the clock turns one second
  // further right after its first reading.
  const char* start;
  const char* reached;
  const char* nexttime;  // at the first sleep; "" when none is written
  std::vector<unsigned> sleeps;
  std::vector<std::string> alarms = {};  // "MMDD/HH/MM" directories of the alarm index
  // The first piece is cut short after this many seconds (0: never), and
  // then another program writes `lowered` (nullptr: nothing) into nexttime.
  unsigned interruptAfter = 0;
  const char* lowered = nullptr;
  // The clock set after piece 1, 2, ... ("" leaves it).
  std::vector<const char*> clockAfter = {};
};

TEST_F(SchedulerTest, WakeUpTiming) {
  const std::string longName(40, '1');
  // clang-format off
  const TimingCase cases[] = {
    {"first pass on a tick", 15, true, "10:30:20", "10:30", "", {}},
    {"first pass off a tick", 15, true, "10:07:00", "10:15", "20261204101500", {480}},
    {"pieces end on the minute", 15, true, "10:07:30", "10:15", "20261204101500", {450}},
    {"tick after midnight", 15, false, "23:50:00", "00:00", "20261205000000", {600}},
    {"60", 60, false, "10:20:00", "11:00", "20261204110000", {2400}},
    {"180, first pass", 180, true, "10:20:00", "11:00", "20261204110000", {2400}},
    {"180 at 22:00", 180, false, "22:00:00", "01:00", "20261205010000", {10800}},
    // Intervals the tick arithmetic is not made for: never a division by
    // zero, never a spin, never an unreachable target.
    {"0, first pass", 0, true, "10:07:30", "10:07", "", {}},
    {"0", 0, false, "10:07:00", "10:08", "20261204100800", {60}},
    {"-15", -15, false, "10:07:00", "10:15", "20261204101500", {480}},
    {"INT_MIN", INT_MIN, false, "10:00:30", "10:00", "20261205100000", {86370}},
    {"2880", 2880, false, "10:00:00", "10:00", "20261205100000", {86400}},
    {"7, no divisor", 7, false, "10:57:00", "11:03", "20261204110300", {360}},
    // A module ending in the minute of the daily tick must not start a
    // second round of every module.
    {"1440, child ends", 1440, false, "10:00:00", "10:00", "20261205100000", {86400, 86385},
     {}, 15},
    // Alarms of today.
    {"earlier alarm", 15, false, "10:07:00", "10:12", "20261204101200", {300},
     {"1204/10/12", "1204/11/00"}},
    {"alarms not pending", 15, false, "10:07:00", "10:15", "20261204101500", {480},
     {"1204/10/07", "1204/09/30", "1204/10/05"}},
    {"alarm equal to the tick", 15, false, "10:07:00", "10:15", "20261204101500", {480},
     {"1204/10/15"}},
    {"alarm before a tick tomorrow", 60, false, "23:20:00", "23:40", "20261204234000", {1200},
     {"1204/23/40"}},
    {"only today is scanned", 120, false, "23:10:00", "01:00", "20261205010000", {6600},
     {"1205/00/30"}},
    {"no minute of the day", 15, false, "10:07:00", "10:15", "20261204101500", {480},
     {"1204/24/00", "1204/1x/30", "1204/10/3", "1204/10/075", "1204/10/60", "1204/10/" + longName,
      "1204/" + longName + "/30"}},
    // The clock turns midnight between the first reading and the choice:
    // the tick is tomorrow's of that first reading, and yesterday's alarms
    // are past.
    {"choice across midnight", 15, false, "23:59:59 turning", "00:00", "20261205000000", {1},
     {"1204/23/30"}},
    // Wall clock changes during the sleep.
    {"clock set back", 5, false, "10:12:00", "10:15", "20261204101500", {180, 180, 300, 300},
     {}, 0, nullptr, {"10:02:00"}},
    {"one minute late", 15, false, "10:07:00", "10:15", "20261204101500", {480},
     {}, 0, nullptr, {"10:16:00"}},
    {"two minutes late is tomorrow", 15, false, "10:07:00", "10:15", "20261204101500", {480, 780},
     {}, 0, nullptr, {"10:17:00", "5 10:15:00"}},
    // Another program lowers the record and signals one minute into the sleep
    // towards 10:15: only a time earlier than the target and not stale is
    // adopted.
    {"lowered", 15, false, "10:00:00", "10:09", "20261204101500", {900, 480},
     {}, 60, "20261204100900"},
    {"lowered one minute past", 15, false, "10:00:00", "10:00", "20261204101500", {900},
     {}, 60, "20261204100000"},
    {"later", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840},
     {}, 60, "20261204102000"},
    {"emptied", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840}, {}, 60, ""},
    {"stale: two minutes past", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840},
     {}, 60, "20261204095900"},
    {"stale: yesterday", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840},
     {}, 60, "20261203101000"},
    {"tomorrow is later", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840},
     {}, 60, "20261205100900"},
    {"lowered to tomorrow", 120, false, "23:10:00", "00:30", "20261205010000", {6600, 4740},
     {}, 60, "20261205003000"},
    {"hour 24: no minute of a day", 15, false, "23:50:00", "00:00", "20261205000000", {600, 540},
     {}, 60, "20261204240000"},
  };
  // clang-format on
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonHome home;
    for (const std::string& a : c.alarms) {
      fs::create_directories(home.Data("scheduler/alarm/2026/" + a));
    }
    static_cast<FakeClock&>(clock_) = FakeClock();
    At(c.start);
    if (c.interruptAfter > 0) clock_.InterruptSleepAfter(c.interruptAfter);
    clock_.turnAfterFirstRead_ = strstr(c.start, "turning") != nullptr;
    std::string nextAtFirstSleep;
    clock_.OnSleep([&](unsigned) {
      size_t n = clock_.sleeps().size();
      if (n == 1) nextAtFirstSleep = NextTime();
      if (n == 1 && c.lowered != nullptr) {
        CKorAlarmTime record;
        record.Set("nexttime", c.lowered);
        CS3DataIO io;
        EXPECT_EQ(0, io.Mod(record));
      }
      if (n <= c.clockAfter.size() && c.clockAfter[n - 1][0] != '\0') At(c.clockAfter[n - 1]);
      if (n > 200) throw std::runtime_error("the wake-up never came");
    });
    int hour = c.first ? -1 : 0;
    int minute = c.first ? -1 : 0;
    schedulerSetTimeSleep(c.interval, &hour, &minute);
    char reached[16];
    snprintf(reached, sizeof(reached), "%02d:%02d", hour, minute);
    EXPECT_EQ(c.reached, std::string(reached));
    EXPECT_EQ(c.nexttime, c.sleeps.empty() ? NextTime() : nextAtFirstSleep);
    EXPECT_EQ(c.sleeps, clock_.sleeps());
  }
}

// The scan callback keeps the earliest pending minute in whatever order the
// directory yields the hours, and an hour that is past neither adds nor
// erases anything.
TEST_F(SchedulerTest, AlarmScanKeepsTheEarliestPendingMinute) {
  At("10:00:00");
  std::string day = home_.Data("scheduler/alarm/2026/1204");
  for (const char* d : {"/14/30", "/08/10", "/11/45"}) fs::create_directories(day + d);
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
  std::string log = home_.home + "/log";

  // The first 2047 characters of the overlong path name a real program.
  std::string deep = home_.home + "/d";
  while (deep.size() < 2000) deep += "/" + std::string(100, 'x');
  fs::create_directories(deep);
  std::string cut = deep + "/" + std::string(kSchedProgramPathSize - 2 - deep.size(), 'p');
  WriteScript(cut, "echo \"$0|$2|$3\" >> " + log);
  Schedule(AddModule(cut + "q"), "00", "00");
  Schedule(AddModule(cut), "00", "00");

  EXPECT_EQ(0, schedulerModuleExec(24, 0, home_.home.c_str()));  // hour 24 is midnight
  EXPECT_TRUE(WaitNoChildren(getpid()).empty());
  EXPECT_EQ(std::vector<std::string>{cut + "|00|00"}, ReadLines(log));

  // A missing module table is an empty one.
  ASSERT_EQ(0, comDirDelete(home_.Data("scheduler/module").c_str(), nullptr));
  EXPECT_EQ(0, schedulerModuleExec(0, 0, home_.home.c_str()));
}

// ---- Start-up and shut-down --------------------------------------------------------------

int RunMain(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return schedulerMain(static_cast<int>(args.size()), argv.data());
}

TEST_F(SchedulerTest, StartUpChecksAndFinalStatus) {
  EXPECT_EQ(99, RunMain({"scheduler", home_.home}));
  EXPECT_EQ(1, RunMain({"scheduler", std::string(kS3HomeMax + 1, 'h'), "15"}));
  EXPECT_EQ(1, RunMain({"scheduler", "", "15"}));
  struct stat st;
  EXPECT_NE(0, stat(home_.Data("").c_str(), &st)) << "nothing may be touched";

  // No module table: refused at start.
  EXPECT_EQ(1, RunMain({"scheduler", home_.home, "15"}));
  CvelSchedulerSts sts;
  ASSERT_EQ(0, sts.Get());
  EXPECT_EQ(-110, sts.GetStatus());
  EXPECT_EQ(getpid(), sts.GetPid());

  AddModule("idle");
  for (const char* bad : {"7", "45", "61", "90", "abc", "-", "", "-7", "4294967356"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(1, RunMain({"scheduler", home_.home, bad}));
    ASSERT_EQ(0, sts.Get());
    EXPECT_EQ(-99, sts.GetStatus());
  }
  // Admitted intervals run until another program writes its pid.
  for (const char* good : {"15", "30", "1", "60", "120", "180", "0", "15\n", "-15", "2880"}) {
    SCOPED_TRACE(good);
    static_cast<FakeClock&>(clock_) = FakeClock();
    At("10:07:00");
    clock_.OnSleep([](unsigned) { CvelSchedulerSts().Mod(1); });
    EXPECT_EQ(0, RunMain({"scheduler", home_.home, good}));
    ASSERT_EQ(0, sts.Get());
    EXPECT_EQ(1, sts.GetPid());
    EXPECT_TRUE(sts.HasStatus());
    EXPECT_EQ(0, sts.GetStatus());
  }
  // The own status file is gone and no backup copy of it is left behind (the
  // unit logs go when the process ends).
  EXPECT_NE(0, stat(home_.Data("scheduler/status." + std::to_string(getpid())).c_str(), &st));
  s3JournalRelease();
  EXPECT_TRUE(!PathExists(home_.Data("tmp")) || fs::is_empty(home_.Data("tmp")));
}

}  // namespace
