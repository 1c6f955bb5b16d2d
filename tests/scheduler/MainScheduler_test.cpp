// The daemon in-process: wake-up timing driven by a scripted clock, module
// dispatch with real child processes, and start-up and shut-down through
// schedulerMain.
#include "scheduler/MainScheduler.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "stores/runjournal.h"
#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

namespace fs = std::filesystem;

// A data home on 4 December 2026 under a scripted clock.
class SchedulerTest : public ::testing::Test {
 protected:
  ~SchedulerTest() override { signal(SIGCHLD, SIG_DFL); }

  // Sets the clock, or with `fresh` a new one, to When(when).
  void At(const std::string& when, bool fresh = false) {
    if (fresh) clock_ = FakeClock();
    clock_.Set(When(when));
  }
  // The local time "HH:MM:SS", "D HH:MM:SS" (day D of December 2026) or
  // "YYYY-MM-DD HH:MM:SS".
  static time_t When(const std::string& when) {
    std::string full = when[1] == ' ' ? "2026-12-0" + when : when;
    if (full[2] == ':') full = "2026-12-04 " + full;
    struct tm t = {};
    EXPECT_NE(nullptr, strptime(full.c_str(), "%Y-%m-%d %H:%M:%S", &t)) << when;
    t.tm_isdst = -1;
    return mktime(&t);
  }
  DaemonHome home_;
  FakeClock clock_;
  ScopedClock scoped_{&clock_};
};

// ---- Wake-up timing ----------------------------------------------------------------

struct TimingCase {
  const char* what;
  int interval;
  bool first;  // the first call is a first pass (pair -1), else a later one
  // As At() takes it (Europe/Berlin); "turning" after it: the clock turns
  // one second further right after its first reading.
  const char* start;
  // "HH:MM" reached by each call in turn, one call per minute given; each
  // call after the first is a later pass.
  const char* reached;
  const char* nexttime;                  // at the first sleep; "" when none is written
  std::vector<unsigned> sleeps;          // of all calls
  std::vector<std::string> alarms = {};  // "MMDD/HH/MM" directories of the alarm index
  // What befalls the first piece `after` seconds into it (0: nothing): a
  // caught signal, after which another program writes `lowered` (nullptr:
  // nothing) into nexttime; or with `pause`, the daemon stopped for that
  // many seconds and then continued; or with `setTo`, the wall clock set to
  // that time (as At() takes it).
  struct Befall {
    unsigned after = 0;
    unsigned pause = 0;
    const char* setTo = nullptr;
  } during = {};
  const char* lowered = nullptr;
  // The wall clock set after piece 1, 2, ... ("" leaves it): a step, or a
  // sleep that ended late (suspend); the monotonic clock does not move.
  std::vector<const char*> clockAfter = {};
  // The wall clock set between the first call and the second (nullptr:
  // left), as a clock stepped while the modules of the first are started.
  const char* stepAfterFirst = nullptr;
  // The run journal's clock-jump lines, "from|to".
  std::vector<std::string> jumps = {};
};

TEST_F(SchedulerTest, WakeUpTiming) {
  const std::string longName(40, '1');
  // clang-format off
  const TimingCase cases[] = {
    {"first pass on a tick", 15, true, "10:30:20", "10:30", "", {}},
    {"pieces end on the minute", 15, true, "10:07:30", "10:15", "20261204101500", {450}},
    {"60", 60, false, "10:20:00", "11:00", "20261204110000", {2400}},
    {"180, first pass", 180, true, "10:20:00", "11:00", "20261204110000", {2400}},
    {"180 at 22:00", 180, false, "22:00:00", "01:00", "20261205010000", {10800}},
    // Intervals the tick arithmetic is not made for: never a division by
    // zero, never a spin, never an unreachable target.
    {"0", 0, false, "10:07:00", "10:08", "20261204100800", {60}},
    {"-15", -15, false, "10:07:00", "10:15", "20261204101500", {480}},
    {"INT_MIN", INT_MIN, false, "10:00:30", "10:00", "20261205100000", {86370}},
    {"2880", 2880, false, "10:00:00", "10:00", "20261205100000", {86400}},
    {"7, no divisor", 7, false, "10:57:00", "11:03", "20261204110300", {360}},
    // A module ending in the minute of the daily tick must not start a
    // second round of every module.
    {"1440, child ends", 1440, false, "10:00:00", "10:00", "20261205100000", {86400, 86385},
     {}, {15}},
    // Alarms of today.
    {"earlier alarm", 15, false, "10:07:00", "10:12", "20261204101200", {300},
     {"1204/10/12", "1204/11/00"}},
    {"alarms not pending", 15, false, "10:07:00", "10:15", "20261204101500", {480},
     {"1204/10/07", "1204/09/30", "1204/10/05"}},
    {"alarm before a tick tomorrow", 60, false, "23:20:00", "23:40", "20261204234000", {1200},
     {"1204/23/40"}},
    {"only today is scanned", 120, false, "23:10:00", "01:00", "20261205010000", {6600},
     {"1205/00/30"}},
    {"no minute of the day", 15, false, "10:07:00", "10:15", "20261204101500", {480},
     {"1204/24/00", "1204/1x/30", "1204/10/3", "1204/10/075", "1204/10/60", "1204/10/" + longName,
      "1204/" + longName + "/30"}},
    // The clock turns midnight between the first reading and the choice:
    // the tick is tomorrow's of that first reading, yesterday's alarms are
    // past, and the piece has ended by the time the daemon sleeps.
    {"choice across midnight", 15, false, "23:59:59 turning", "00:00", "20261205000000", {0},
     {"1204/23/30"}},
    // The daemon paused in the middle of a piece (stopped and continued, a
    // paused virtual machine): the piece ends on the wall clock, so a pause
    // past its end wakes the daemon the moment it runs again. Late, the
    // target runs once and the minute the clock stands on runs when it is a
    // tick.
    {"1: paused 40 s", 1, false, "10:14:20", "10:15 10:16", "20261204101500", {40, 50},
     {}, {10, 40}},
    {"1: paused 150 s, one minute late", 1, false, "10:38:20", "10:39 10:40 10:41",
     "20261204103900", {40, 10}, {}, {0, 150}},
    {"1: paused 3 min", 1, false, "10:14:20", "10:15 10:17 10:18", "20261204101500", {40, 30},
     {}, {10, 180}, nullptr, {}, nullptr, {"2026-12-04 10:15|2026-12-04 10:17"}},
    {"1: paused 2 h", 1, false, "10:14:20", "10:15 12:14 12:15", "20261204101500", {40, 30},
     {}, {10, 7200}, nullptr, {}, nullptr, {"2026-12-04 10:15|2026-12-04 12:14"}},
    {"15: paused 40 s", 15, false, "10:07:00", "10:15 10:30", "20261204101500", {480, 890},
     {}, {450, 40}},
    {"15: paused 3 min", 15, false, "10:07:00", "10:15 10:30", "20261204101500", {480, 780},
     {}, {420, 180}, nullptr, {}, nullptr, {"2026-12-04 10:15|2026-12-04 10:17"}},
    {"15: paused 2 h", 15, false, "10:07:00", "10:15 12:15", "20261204101500", {480, 300},
     {}, {180, 7200}, nullptr, {}, nullptr, {"2026-12-04 10:15|2026-12-04 12:10"}},
    {"60: paused 40 s", 60, false, "10:20:00", "11:00 12:00", "20261204110000", {2400, 3590},
     {}, {2370, 40}},
    {"60: paused 3 min, one minute late", 60, false, "10:20:00", "11:00 12:00", "20261204110000",
     {2400, 3540}, {}, {2280, 180}},
    {"60: paused 2 h", 60, false, "10:20:00", "11:00 13:00", "20261204110000", {2400, 1800},
     {}, {600, 7200}, nullptr, {}, nullptr, {"2026-12-04 11:00|2026-12-04 12:30"}},
    // The wall clock set in the middle of a piece ends it at once. Set back,
    // the pieces meet the tick grid again; set forward past the target, it
    // runs late, once.
    {"set back 5 minutes in a piece", 5, false, "10:12:00", "10:15", "20261204101500",
     {180, 120, 300}, {}, {60, 0, "10:08:00"}},
    {"set forward 30 minutes in a piece", 15, false, "10:07:00", "10:15 10:45", "20261204101500",
     {480, 300}, {}, {180, 0, "10:40:00"}, nullptr, {}, nullptr,
     {"2026-12-04 10:15|2026-12-04 10:40"}},
    // A sleep that ends late (a stalled machine) reaches its target too.
    {"late across midnight", 15, false, "23:30:00", "23:45 00:15", "20261204234500", {900, 300},
     {}, {}, nullptr, {"5 00:10:00"}, nullptr, {"2026-12-04 23:45|2026-12-05 00:10"}},
    // A clock set back after a run never runs a minute up to that one again
    // within an hour; set back by a day, the daemon runs by the clock again
    // after an hour and a minute.
    {"set back 5 minutes after a run", 15, false, "10:14:00", "10:15 10:30", "20261204101500",
     {60, 300, 900}, {}, {}, nullptr, {}, "10:10:00"},
    {"set back 60 minutes after a run", 15, false, "10:14:00", "10:15 10:30", "20261204101500",
     {60, 900, 900, 900, 900, 900}, {}, {}, nullptr, {}, "09:15:00"},
    {"set back a day after a run", 15, false, "10:14:00", "10:15 11:15", "20261204101500",
     {60, 60, 900, 900, 900, 900}, {}, {}, nullptr, {}, "3 10:14:00"},
    // Daylight-saving days. Spring: the sleep towards 02:00 ends at 03:00;
    // the late 02:00 runs, then 03:00. Autumn: the sleep towards 03:00 meets
    // the repeated hour and sleeps through it; every minute runs once.
    {"spring change", 15, false, "2026-03-29 01:45:00", "02:00 03:00 03:15", "20260329020000",
     {900, 900}, {}, {}, nullptr, {}, nullptr, {"2026-03-29 02:00|2026-03-29 03:00"}},
    {"autumn change", 15, false, "2026-10-25 01:59:00", "02:00 02:15 02:30 02:45 03:00",
     "20261025020000", {60, 900, 900, 900, 900, 900, 900, 900, 900}},
    // Another program lowers the record and signals one minute into the sleep
    // towards 10:15: only a time earlier than the target and not stale is
    // adopted.
    {"lowered", 15, false, "10:00:00", "10:09", "20261204101500", {900, 480},
     {}, {60}, "20261204100900"},
    {"lowered one minute past", 15, false, "10:00:00", "10:00", "20261204101500", {900},
     {}, {60}, "20261204100000"},
    // A stop lowers the record to the minute just run: the call returns for
    // the status check only, and then sleeps on to the next tick.
    {"lowered to the minute just run", 15, true, "10:15:00", "10:15 (10:15) 10:30",
     "20261204103000", {900, 840}, {}, {60}, "20261204101500"},
    {"emptied", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840}, {}, {60}, ""},
    {"stale: two minutes past", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840},
     {}, {60}, "20261204095900"},
    {"tomorrow is later", 15, false, "10:00:00", "10:15", "20261204101500", {900, 840},
     {}, {60}, "20261205100900"},
    {"lowered to tomorrow", 120, false, "23:10:00", "00:30", "20261205010000", {6600, 4740},
     {}, {60}, "20261205003000"},
  };
  // clang-format on
  ScopedTimeZone zone("Europe/Berlin");
  for (const TimingCase& c : cases) {
    SCOPED_TRACE(c.what);
    DaemonHome home;
    PutFile(home.Data(kRunJournalFile), "");
    for (const std::string& a : c.alarms) {
      fs::create_directories(home.Data("scheduler/alarm/2026/" + a));
    }
    At(c.start, true);
    if (c.during.pause > 0) {
      clock_.PauseSleepAfter(c.during.after, c.during.pause);
    } else if (c.during.setTo != nullptr) {
      clock_.SetClockInSleepAfter(c.during.after, When(c.during.setTo));
    } else if (c.during.after > 0) {
      clock_.InterruptSleepAfter(c.during.after);
    }
    if (strstr(c.start, "turning") != nullptr) clock_.TurnAfterNextRead(1);
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
    SchedulerWakeMemory memory;
    std::string reached;
    size_t passes = 1 + std::count(c.reached, c.reached + strlen(c.reached), ' ');
    for (size_t pass = 0; pass < passes; ++pass) {
      if (pass == 1 && c.stepAfterFirst != nullptr) At(c.stepAfterFirst);
      schedulerSetTimeSleep(c.interval, &hour, &minute, &memory);
      // "(HH:MM)": returned for the status check only, nothing to run.
      char text[16];
      snprintf(text, sizeof(text), memory.dispatch ? "%s%02d:%02d" : "%s(%02d:%02d)",
               pass > 0 ? " " : "", hour, minute);
      reached += text;
    }
    EXPECT_EQ(c.reached, reached);
    EXPECT_EQ(c.nexttime, c.sleeps.empty() ? NextTime() : nextAtFirstSleep);
    EXPECT_EQ(c.sleeps, clock_.sleeps());
    std::vector<std::string> jumps;
    for (const std::string& text : ReadLines(home.Data(kRunJournalFile))) {
      RunJournalLine line;
      ASSERT_TRUE(runJournalParse(text, &line)) << text;
      EXPECT_EQ("clock-jump", line.event) << "nothing else is written: " << text;
      ASSERT_EQ(2u, line.fields.size()) << text;
      jumps.push_back(line.fields[0] + "|" + line.fields[1]);
    }
    EXPECT_EQ(c.jumps, jumps);
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

// ---- Module dispatch and the children's ends ------------------------------------------

// A wake-up at midnight (hour 24 is midnight) exercises every way a module
// is found, skipped or healed: a bare name runs from the working directory
// before the data home; a name found in neither, a module whose record is
// gone (it leaves the table) and an alarm file that is empty run nothing; and
// the first 2047 characters of an overlong path, which name a real program,
// are never run. With the run journal off (no runs.log) no journal file is
// made.
TEST_F(SchedulerTest, DispatchFindsSkipsAndHealsModules) {
  const std::string& work = home_.work;
  const std::string& home = home_.home;
  const std::string log = home_.root.Path("log");
  const std::string logged = "echo \"$0|$1|$2|$3\" >> " + log;
  WriteScript(work + "/both", logged);
  WriteScript(home + "/both", "echo wrong >> " + log);
  WriteScript(home + "/homeonly", logged);
  WriteScript(work + "/alarmed", logged);
  std::string deep = home + "/d";
  while (deep.size() < 2000) deep += "/" + std::string(100, 'x');
  fs::create_directories(deep);
  std::string cut = deep + "/" + std::string(kSchedProgramPathSize - 2 - deep.size(), 'p');
  WriteScript(cut, logged);
  int emptyAlarm = AddModule(work + "/alarmed");
  int gone = AddModule("both", {"0000"});
  int viaWork = AddModule("both", {"0000"});
  int viaHome = AddModule("homeonly", {"0000"});
  int missing = AddModule("nowhere", {"0000"});
  int alarmed = AddModule(work + "/alarmed");
  int overlong = AddModule(cut + "q", {"0000"});
  int fits = AddModule(cut, {"0000"});
  home_.Alarm(emptyAlarm, "20261204", "0000", "");
  home_.Alarm(alarmed, "20261204", "0000", "alarm text");
  ASSERT_EQ(0,
            comDirDelete(home_.Data("scheduler/module/" + std::to_string(gone)).c_str(), nullptr));

  At("10:00:00");
  const fs::path cwd = fs::current_path();
  fs::current_path(work);
  EXPECT_EQ(0, schedulerModuleExec(24, 0, home.c_str()));
  fs::current_path(cwd);
  while (wait(nullptr) > 0) {
  }  // the children are the caller's to reap
  std::vector<std::string> lines = ReadLines(log);
  std::sort(lines.begin(), lines.end());
  const std::string args = "|" + home + "|00|00";
  EXPECT_EQ((std::vector<std::string>{"./both" + args, cut + args, home + "/homeonly" + args,
                                      work + "/alarmed" + args}),
            lines);
  CvelSchedulerModules modules;
  ASSERT_EQ(0, modules.Get());
  std::vector<int> ids;
  for (int i = 0; i < modules.GetElementCount(); ++i) ids.push_back(modules.GetElement(i)->GetID());
  EXPECT_EQ((std::vector<int>{emptyAlarm, viaWork, viaHome, missing, alarmed, overlong, fits}),
            ids);
  EXPECT_FALSE(PathExists(home_.Data(kRunJournalFile)));

  // A missing module table is an empty one.
  ASSERT_EQ(0, comDirDelete(home_.Data("scheduler/module").c_str(), nullptr));
  EXPECT_EQ(0, schedulerModuleExec(0, 0, home.c_str()));
}

int RunMain(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return schedulerMain(static_cast<int>(args.size()), argv.data());
}

// Every child reaped and journalled once, with its real result, however many
// end in one sleep: modules started at 10:15 stop themselves and are let go
// together in the sleep that follows, more of them than the child-exit
// handler keeps.
TEST_F(SchedulerTest, EveryChildEndingInOneSleepIsReapedAndJournalledOnce) {
  auto allChildrenIn = [](char state) {
    auto children = ChildrenOf(getpid());
    return std::all_of(children.begin(), children.end(),
                       [&](auto& c) { return c.second == state; });
  };
  for (int children : {1, kSchedulerKeptEnds, 3 * kSchedulerKeptEnds + 1}) {
    SCOPED_TRACE(children);
    DaemonHome home;
    std::string program = home.work + "/module";
    WriteScript(program, "kill -STOP $$");
    for (int i = 0; i < children; ++i) AddModule(program, {"1015"});
    WriteFile(home.Data(kRunJournalFile), "");
    At("10:14:00", true);
    clock_.OnSleep([&](unsigned) {
      if (clock_.sleeps().size() != 2) return;  // the sleep after the dispatch
      ASSERT_TRUE(Eventually([&] { return allChildrenIn('T'); }));
      for (auto& child : ChildrenOf(getpid())) kill(child.first, SIGCONT);
      Eventually([&] { return allChildrenIn('Z'); });
      CvelSchedulerSts().Mod(1);
    });
    EXPECT_EQ(0, RunMain({"scheduler", home.home, "15"}));
    EXPECT_TRUE(ChildrenOf(getpid()).empty()) << "a child stayed a zombie";

    std::set<std::string> started;
    std::set<std::string> ended;
    for (const std::string& text : ReadLines(home.Data(kRunJournalFile))) {
      RunJournalLine line;
      ASSERT_TRUE(runJournalParse(text, &line)) << text;
      if (line.event == "run") started.insert(line.fields[2]);
      if (line.event != "exit") continue;
      EXPECT_EQ("status 0", line.fields[2]) << text;
      EXPECT_TRUE(ended.insert(line.fields[0]).second) << "twice: " << text;
    }
    EXPECT_EQ(static_cast<size_t>(children), started.size());
    EXPECT_EQ(started, ended);
  }
}

// A wake-up that comes late past midnight runs the alarms of the day its
// target was due on, not those of the day the clock now shows.
TEST_F(SchedulerTest, LateWakePastMidnightRunsTheDueDaysAlarm) {
  std::string ran = home_.root.Path("ran");
  for (const char* day : {"20261204", "20261205"}) {
    std::string program = home_.work + "/" + day;
    WriteScript(program, std::string("echo ") + day + "-\"$2$3\" >> " + ran);
    home_.Alarm(AddModule(program), day, "2345");
  }
  At("23:40:00");
  clock_.OnSleep([&](unsigned) {
    if (clock_.sleeps().size() == 1) At("5 00:10:00");  // suspended past midnight
    if (clock_.sleeps().size() == 2) CvelSchedulerSts().Mod(1);
  });
  EXPECT_EQ(0, RunMain({"scheduler", home_.home, "15"}));
  while (waitpid(-1, nullptr, 0) > 0) {
  }
  EXPECT_EQ(std::vector<std::string>{"20261204-2345"}, ReadLines(ran));
}

// ---- Start-up and shut-down --------------------------------------------------------------

TEST_F(SchedulerTest, StartUpChecksAndFinalStatus) {
  EXPECT_EQ(99, RunMain({"scheduler", home_.home}));
  EXPECT_EQ(1, RunMain({"scheduler", std::string(kS3HomeMax + 1, 'h'), "15"}));
  EXPECT_EQ(1, RunMain({"scheduler", "", "15"}));
  EXPECT_FALSE(PathExists(home_.Data(""))) << "nothing may be touched";

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
    At("10:07:00", true);
    clock_.OnSleep([](unsigned) { CvelSchedulerSts().Mod(1); });
    EXPECT_EQ(0, RunMain({"scheduler", home_.home, good}));
    ASSERT_EQ(0, sts.Get());
    EXPECT_EQ(1, sts.GetPid());
    EXPECT_TRUE(sts.HasStatus());
    EXPECT_EQ(0, sts.GetStatus());
  }
  // A removed record stops it too, and comes back with the final status alone.
  At("10:07:00", true);
  clock_.OnSleep([&](unsigned) {
    if (clock_.sleeps().size() > 1) throw std::runtime_error("a removed record did not stop it");
    ASSERT_EQ(0, unlink(home_.Data("scheduler/schedulersts").c_str()));
  });
  EXPECT_EQ(0, RunMain({"scheduler", home_.home, "15"}));
  EXPECT_EQ("object 1\nstatus=0\nend\n", ReadFile(home_.Data("scheduler/schedulersts")));
  // The own status file is gone and no backup copy of it is left behind (the
  // unit logs go when the process ends).
  EXPECT_FALSE(PathExists(home_.Data("scheduler/status." + std::to_string(getpid()))));
  s3JournalRelease();
  EXPECT_TRUE(!PathExists(home_.Data("tmp")) || fs::is_empty(home_.Data("tmp")));
}

}  // namespace
