// schedulerctl end to end: the real binary on real data homes, and with the
// real daemon under faketime (one real second is one minute of the daemon's
// clock) for the commands that talk to it.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "s3/cs3dataiofile.h"
#include "stores/cvelschedulermodule.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"
#include "tests/tools/ctl_testing.h"

namespace {

// The daemon with interval 60 under a clock that starts at 2026-12-04
// 10:14:30 and runs sixty times fast; tools that must agree with it run
// under daemon->FaketimeArg().
class SchedulerctlDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveFaketime()) GTEST_SKIP() << "faketime is not installed";
  }
  void Start() { daemon = std::make_unique<Daemon>(ctl.home, "60", ctl.work, "10:14:30", "x60"); }
  // Waits until status, run on the daemon's clock, shows `text`.
  bool StatusShows(const std::string& text) {
    return Eventually(
        [&] {
          return ctl.Run({"status"}, daemon->FaketimeArg()).out.find(text) != std::string::npos;
        },
        50);
  }

  Ctl ctl;
  std::unique_ptr<Daemon> daemon;
};

TEST(SchedulerctlTest, TablesRoundTrip) {
  Ctl ctl;
  struct Step {
    Args args;
    int status;
    const char* out;  // regular expression the output must contain
  };
  const Step steps[] = {
      {{"--help"}, 0, "^Usage: schedulerctl HOME COMMAND \\[ARGUMENTS\\]\n"},
      {{"--version"}, 0, "^schedulerctl [0-9]+\\.[0-9]+\\.[0-9]+\n$"},
      {{"schedule", "add", "--help"}, 0, "^Usage: schedulerctl HOME schedule add ID HH:MM"},
      {{"stop", "-h"}, 0, "^Usage: schedulerctl HOME stop \\[--wait\\]"},
      {{"alarm", "prune", "--help"}, 0, "^Usage: schedulerctl HOME alarm prune --before"},
      {{"run", "--help"}, 0, "^Usage: schedulerctl HOME run ID\n"},
      {{"init"}, 0, "empty module table created"},
      {{"init"}, 0, "module table present \\(0 modules\\), left as it is"},
      {{"module", "add", "Mail", "mail.sh"}, 0, "^1\n$"},
      {{"module", "add", "Copy", "/bin/true"}, 0, "^2\n$"},
      {{"module", "list"},
       0,
       "\n1 +Mail +mail\\.sh +- +allow +none +\\(not found.*\n2 +Copy +/bin/true +/bin/true"},
      {{"schedule", "add", "1", "10:00", "9:05", "10:00"}, 0, "^$"},
      {{"schedule", "add", "2", "23:59"}, 0, "^$"},
      {{"schedule", "list"}, 0, "\n1 +Mail +09:05 10:00\n2 +Copy +23:59\n$"},
      {{"schedule", "remove", "1", "10:00"}, 0, "^$"},
      {{"schedule", "list", "1"}, 0, "^ID +NAME +TIMES\n1 +Mail +09:05\n$"},
      {{"alarm", "add", "2", "2030-01-02 03:04", "call back"}, 0, "^$"},
      {{"alarm", "add", "2", "2030-01-02", "02:59"}, 0, "^$"},
      {{"alarm", "add", "1", "2030-01-01 10:00"}, 0, "^$"},
      {{"alarm", "list"},
       0,
       "^TIME +ID +NAME +TEXT\n2030-01-01 10:00 +1 +Mail\n2030-01-02 02:59 +2 +Copy\n"
       "2030-01-02 03:04 +2 +Copy +call back\n$"},
      {{"alarm", "list", "--all", "9"},
       0,
       "^TIME +ID +NAME +TEXT\n2020-01-01 10:00 +9 +\\(not in the module table\\) +due\n$"},
      // The module's alarm goes with it; module 9's past alarm with the prune.
      {{"module", "remove", "1"}, 0, "^removed module 1 with 1 schedule entry and 1 alarm\n$"},
      {{"alarm", "prune", "--before", "2021-01-01"}, 0, "^1 alarm of the days before 2021"},
      {{"alarm", "remove", "2", "2030-01-02", "02:59"}, 0, "^$"},
      {{"doctor"}, 0, "^clean: nothing to report\n$"},
  };
  ctl.Alarm(9, "20200101", "1000");
  for (const Step& step : steps) {
    Result r = ctl.Run(step.args);
    EXPECT_EQ(r.status, step.status) << step.args[0] << " " << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(step.out))) << step.args[0] << ":\n" << r.out;
  }
  std::string capture = ctl.Scratch("version");
  EXPECT_EQ(Wait(Spawn({SCHEDULER_BIN, "--version"}, capture, capture)), 0);
  EXPECT_TRUE(
      std::regex_match(ReadFile(capture), std::regex("scheduler [0-9]+\\.[0-9]+\\.[0-9]+\n")));
  // The removed module's directory goes, and so do emptied schedule and alarm directories.
  namespace fs = std::filesystem;
  for (const char* gone :
       {"module/1", "09", "10", "alarm/2020", "alarm/2030/0101", "alarm/2030/0102/02"})
    EXPECT_FALSE(fs::exists(ctl.Data("scheduler/") + gone)) << gone;
  EXPECT_EQ(ReadFile(ctl.Data("scheduler/23/59/2")), "object 1\n_item=2\nend\n");
  EXPECT_EQ(ReadFile(ctl.Data("scheduler/module/index")), "object 1\n_lastid=2\n_item=2\nend\n");
  EXPECT_EQ(ReadFile(ctl.Data("scheduler/alarm/2030/0102/03/04/2")),
            "object 1\nmodule=2\ndatetime=20300102030400\ntext=call back\nend\n");
  // The earliest alarm is still the next wake-up: the daemon finds nothing due.
  EXPECT_EQ(ReadFile(ctl.Data("scheduler/controle/status")),
            "object 1\nnexttime=20300101100000\nend\n");
  EXPECT_TRUE(fs::is_empty(ctl.Data("tmp")));
}

// Every refused or failed command leaves the home as it was. A file that
// another process keeps locked makes the whole command fail: the files it
// already wrote are put back and its new directories removed.
TEST(SchedulerctlTest, RefusedAndFailedCommandsChangeNothing) {
  const std::string tooLong(247, 'h');
  Ctl bare;  // a home without a module table: every table command refuses it
  const std::string kBare = "HOME=" + bare.home;
  const char* kNoTable = "no module table (create it with: schedulerctl HOME init)";
  const bool root = geteuid() == 0;
  const char* kOnlyRoot = "only root can make a data home for another user";
  const std::string theirs = bare.Scratch("theirs");
  ASSERT_EQ(mkdir(theirs.c_str(), 0755), 0);
  ASSERT_TRUE(!root || chown(theirs.c_str(), 4242, 4242) == 0);
  struct Case {
    Args args;  // after HOME (see Ctl::Run)
    int status;
    const char* err;
    // A data-relative file held write-locked while the command runs, named
    // in the message.
    const char* locked = nullptr;
  };
  const Case cases[] = {
      {{}, 2, "missing COMMAND"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"module"}, 2, "module needs add, list, set or remove"},
      {{"module", "add", "x"}, 2, "needs NAME and PROGRAM"},
      {{"module", "add", std::string(256, 'n'), "p"}, 2, "longer than 255"},
      {{"module", "add", "two\nlines", "p"}, 2, "control characters"},
      {{"module", "add", "x", ""}, 2, "program must not be empty"},
      {{"module", "add", "x", std::string(2046, 'p')}, 2, "exceed 2047"},
      {{"module", "remove", "0"}, 2, "'0' is not a module ID"},
      {{"module", "remove", "1000000000"}, 2, "not a module ID"},
      {{"schedule", "add", "1"}, 2, "at least one HH:MM"},
      {{"schedule", "add", "1", "24:00"}, 2, "'24:00' is not a time of day"},
      {{"schedule", "add", "1", "10:00", "10:60"}, 2, "'10:60'"},
      {{"schedule", "add", "1", "1000"}, 2, "not a time of day HH:MM"},
      {{"schedule", "add", "1", "10:5"}, 2, "not a time of day HH:MM"},
      {{"alarm", "add", "1", "2026-02-29 10:00"}, 2, "not a calendar date"},
      {{"alarm", "add", "1", "tomorrow"}, 2, "not an alarm time"},
      {{"alarm", "add", "1", "2001-01-01 10:00"}, 2, "is in the past"},
      {{"alarm", "add", "1", "2030-01-01 10:00", "a", "b"}, 2, "too many arguments"},
      {{"alarm"}, 2, "alarm needs add, list, remove or prune"},
      {{"alarm", "list", "1", "2"}, 2, "at most one module ID"},
      {{"alarm", "remove", "1"}, 2, "needs a module ID and 'YYYY-MM-DD HH:MM'"},
      {{"alarm", "remove", "x", "2030-01-01 10:00"}, 2, "'x' is not a module ID"},
      {{"alarm", "prune", "2020-01-01"}, 2, "needs --before"},
      {{"alarm", "prune", "--before", "2020-1-1"}, 2, "not a date YYYY-MM-DD"},
      {{"alarm", "prune", "--before", "2999-01-01"}, 2, "is after today"},
      {{"run", "1", "2"}, 2, "run needs one module ID"},
      {{"stop", "--timeout", "0"}, 2, "not a number of seconds"},
      {{"stop", "--now"}, 2, "unexpected argument '--now'"},
      {{"next"}, 2, "give the interval to forecast for"},  // and no daemon to take it from
      {{"next", "--interval", "7"}, 2, "'7' is not an interval"},
      {{"next", "--interval", "15", "--until", "2999-01-01 00:00"},
       2,
       "is more than 366 days ahead"},
      {{"doctor", "--fix"}, 2, "doctor: unexpected argument '--fix'"},
      {{"doctor", "--discard", "journal1.1"}, 2, "--discard takes a log as doctor names it"},
      {{"doctor", "--repair", "--discard", "tmp/journal1.1"}, 2, "--discard goes alone"},
      {{"doctor", "--discard", "tmp/journal1.1"}, 1, "tmp/journal1.1: no such log"},
      {{"output", "kept"}, 2, "output takes one of keep, journal or console, or nothing"},
      {{"log", "--run", "2"}, 2, "log --run N needs --output ID"},
      {{"log", "--output", "1", "--follow"}, 2, "takes no other arguments but --run N and"},
      {{"log", "--output", "1"}, 1, "module 1 has no kept output (keep: each run's output"},
      {{"init", "--owner"}, 2, "init takes no arguments but --owner USER"},
      {{"init", "--owner", "no-such-user"}, 2, "'no-such-user' is no user of this system"},
      // Root: a home of root's that holds files, or another user's, is
      // handed over by chown -R. Others: only root names another user.
      {{"init", "--owner", "nobody"},
       root ? 1 : 2,
       root ? "belongs to root (uid 0) and is not empty; hand it over first" : kOnlyRoot},
      {{"HOME=" + theirs, "init", "--owner", "nobody"},
       root ? 1 : 2,
       root ? "belongs to uid 4242" : kOnlyRoot},
      {{"HOME=" + tooLong, "status"}, 2, "longer than 246 characters"},
      {{"HOME=/nonexistent/home", "status"}, 1, "/nonexistent/home: No such file"},
      {{"module", "remove", "9"}, 1, "module/index: the module table has no module 9"},
      {{"schedule", "add", "9", "10:00"}, 1, "has no module 9"},
      {{"schedule", "remove", "1", "10:00", "11:11"}, 1, "11/11/1: module 1 is not scheduled at"},
      {{"alarm", "add", "9", "2030-01-01 10:00"}, 1, "has no module 9"},
      {{"alarm", "remove", "1", "2030-01-01 10:00"},
       1,
       "module 1 has no alarm at 2030-01-01 10:00"},
      {{"run", "9"}, 1, "has no module 9"},
      {{"run", "1"}, 1, "found neither as ./mail.sh"},
      {{"stop", "--wait"}, 0, ""},
      {{kBare, "module", "list"}, 1, kNoTable},
      {{kBare, "module", "add", "a", "b"}, 1, kNoTable},
      {{kBare, "schedule", "list"}, 1, kNoTable},
      {{kBare, "alarm", "list"}, 1, kNoTable},
      // Last, as the lock files stay. Written: the alarm file; failed: the
      // next-alarm record.
      {{"alarm", "add", "1", "2030-01-01 10:00"}, 1, "", "scheduler/controle/status"},
      // An alarm that a program is filing now: no alarm, entry or record goes.
      {{"module", "remove", "1"}, 1, "", "scheduler/alarm/2020/0102/10/00/1"},
      {{"alarm", "prune", "--before", "2021-01-01"}, 1, "", "scheduler/alarm/2020/0102/10/00/1"},
      {{"schedule", "add", "1", "07:00", "08:05"}, 1, "", "scheduler/08/05/1"},
      {{"module", "add", "x", "y"}, 1, "", "scheduler/module/index"},
  };
  Ctl ctl;
  ctl.Setup({{"Mail", "mail.sh", {"10:00"}}});
  ctl.Alarm(1, "20200101", "1000");
  ctl.Alarm(1, "20200102", "1000");
  for (const Case& c : cases) {
    const Args& args = c.args;
    std::string shown = args.empty() ? "(none)" : args[0] + " " + (args.size() > 1 ? args[1] : "");
    std::string err = c.err, fake;
    std::unique_ptr<HoldingChild> holder;
    if (c.locked != nullptr) {
      if (!HaveFaketime()) continue;
      const std::string locked = ctl.Data(c.locked);
      std::filesystem::create_directories(std::filesystem::path(locked).parent_path());
      holder = std::make_unique<HoldingChild>([&] { return LockWhole(locked); });
      ASSERT_TRUE(holder->held()) << locked;
      err = locked + ": the file stayed locked by another process";
      fake = "@2026-12-04 10:00:00 x60";  // the ten lock attempts, a second apart, in moments
    }
    const auto before = Snapshot(ctl.home);
    Result r = ctl.Run(args, fake);
    holder.reset();
    EXPECT_EQ(r.status, c.status) << shown << ": " << r.err;
    EXPECT_NE(r.err.find(err), std::string::npos) << shown << ": " << r.err;
    EXPECT_EQ(Snapshot(ctl.home), before) << shown;
  }
  EXPECT_TRUE(std::filesystem::is_empty(bare.home));
}

// Run by root on a home of another user, every command acts as that user:
// all below the home stays the owner's. init --owner makes such a home of an
// empty one of root's, or of a missing one (the folders above stay root's).
TEST(SchedulerctlTest, RootActsAsTheHomesOwner) {
  const struct passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) GTEST_SKIP() << "needs root and the user nobody";
  Ctl ctl;
  ASSERT_EQ(chmod(ctl.root.c_str(), 0711), 0);  // nobody must reach its homes
  const std::string fresh = ctl.Scratch("srv/fresh"), found = ctl.Scratch("found");
  for (const Args& args :
       {Args{"init", "--owner", "nobody"}, Args{"HOME=" + fresh, "init", "--owner", "nobody"},
        Args{"module", "add", "Mail", "/bin/true"}, Args{"schedule", "add", "1", "10:00"},
        Args{"log", "--enable"}, Args{"alarm", "add", "1", "2030-01-01 10:00"},
        Args{"output", "journal"}}) {
    Result r = ctl.Run(args);
    EXPECT_EQ(r.status, 0) << args[0] << ": " << r.err;
  }
  EXPECT_EQ(Wait(Spawn({"find", ctl.home, fresh, "(", "!", "-uid", std::to_string(nobody->pw_uid),
                        "-o", "!", "-gid", std::to_string(nobody->pw_gid), ")", "-printf", "%p "},
                       found, found)),
            0);
  EXPECT_EQ(ReadFile(found), "") << "not nobody's";
  struct stat above;
  EXPECT_TRUE(stat(ctl.Scratch("srv").c_str(), &above) == 0 && above.st_uid == 0);
}

// The home's owner can write any pid into the status record and lock that
// pid's status file from a process of its own: stop and alarm add then find
// no daemon there and signal no process.
TEST(SchedulerctlTest, APlantedPidIsNeverSignalled) {
  Ctl ctl;
  ctl.Setup({{"Mail", "/bin/true"}});
  for (const Args& args : {Args{"stop"}, Args{"alarm", "add", "1", "2030-01-01 10:00"}}) {
    const pid_t stranger = Spawn({"sleep", "600"}, "/dev/null", "/dev/null");
    const std::string pid = std::to_string(stranger);
    HoldingChild planter([&] { return LockWhole(ctl.Data("scheduler/status." + pid)); });
    ASSERT_TRUE(planter.held());
    WriteFile(ctl.Data("scheduler/schedulersts"), Rec("1", "pid=" + pid + "\n"));
    Result r = ctl.Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("no daemon is running") != std::string::npos, args[0] == "stop") << r.out;
    kill(stranger, SIGKILL);
    EXPECT_EQ(Wait(stranger), 128 + SIGKILL) << args[0] << " signalled pid " << pid;
  }
}

// module list shows, and run starts, what the daemon would: the same
// resolution, the arguments PROGRAM HOME HH MM of the current minute, input
// from /dev/null; run's output is the module's, its exit status the module's
// (128+N for signal N), and the journal gets run and exit lines marked by-hand.
TEST(SchedulerctlTest, ModuleListAndRunResolveProgramsLikeTheDaemon) {
  struct Case {
    const char* program;
    bool inWorkDir, inHome;
    const char* runs;    // expected RUNS column; HOME stands for the data home
    const char* script;  // of the files found
    int status;          // of run
    const char* result;  // of the exit line; null: a program that is gone
  };
  const Case cases[] = {
      {"job", true, true, "./job", "echo $0 $1 $2 $3 $(readlink /proc/$$/fd/0); exit 3", 3,
       "status 3"},
      {"job", false, true, "HOME/job", "kill -TERM $$", 128 + SIGTERM, "signal 15"},
      {"bin/job", false, false, "bin/job", "", 1, nullptr},
  };
  for (const Case& c : cases) {
    Ctl ctl;
    ctl.Setup({{"Job", c.program}});
    ASSERT_EQ(ctl.Run({"log", "--enable"}).status, 0);
    if (c.inWorkDir) WriteScript(ctl.work + "/job", c.script);
    if (c.inHome) WriteScript(ctl.home + "/job", c.script);
    Result r = ctl.Run({"module", "list"}, "", ctl.work);
    std::string runs = ctl.Named(c.runs);
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n1 +Job +\\S+ +" + runs + "( |\n)")))
        << c.program << ":\n"
        << r.out;
    // run's own input is /dev/zero; the module's must be /dev/null all the same.
    int input = dup(0), zero = open("/dev/zero", O_RDONLY);
    dup2(zero, 0);
    Result run = ctl.Run({"run", "1"}, "@2026-12-04 10:15:30", ctl.work);
    dup2(input, 0);
    close(input), close(zero);
    EXPECT_EQ(run.status, c.status) << c.program << ": " << run.err;
    const std::string journal = ReadFile(ctl.Data("scheduler/runs.log"));
    if (c.result == nullptr) {
      EXPECT_NE(run.err.find("bin/job: No such file"), std::string::npos) << run.err;
      EXPECT_EQ(journal, "");
      continue;
    }
    EXPECT_EQ(run.out, c.status == 3 ? runs + " " + ctl.home + " 10 15 /dev/null\n" : "");
    const std::string at = "2026-12-04 10:15:..\t";
    EXPECT_TRUE(std::regex_match(
        journal, std::regex(at + "run\t10:15\t1\t([0-9]+)\t" + runs + "\tby-hand\n" + at +
                            "exit\t\\1\t1\t" + c.result + "\t0\tby-hand\n")))
        << journal;
    EXPECT_NE(ctl.Run({"log", "--json"}).out.find(runs + "\",\"started\":\"by-hand\"}"),
              std::string::npos);
  }
}

// An alarm filed while the daemon sleeps towards 11:00 wakes it for the
// alarm's minute, and the module runs then with that hour and minute; the
// module's end twenty seconds later cuts the next sleep short, so its exit
// line comes at once, not at 11:00; then stop ends the daemon.
TEST_F(SchedulerctlDaemonTest, AlarmWakesAndStopEndsTheSleepingDaemon) {
  ctl.Setup({{"Recorder", "record"}});
  ASSERT_EQ(ctl.Run({"log", "--enable"}).status, 0);
  std::string log = ctl.home + "/runs";
  WriteScript(ctl.home + "/record", "echo \"$2 $3\" >> \"$1/runs\"\nsleep 20");
  Start();
  ASSERT_TRUE(StatusShows("daemon:       running"));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // An entry off the daemon's hourly ticks is added, with a warning.
  for (const char* time : {"10:07", "12:00"}) {
    Result r = ctl.Run({"schedule", "add", "1", time});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("never runs") != std::string::npos, time[4] == '7') << r.err;
  }
  EXPECT_EQ(ctl.Run({"schedule", "list", "1"}).out,
            "ID  NAME      TIMES\n1   Recorder  10:07 12:00\n");
  // First an alarm from a program whose clock is an hour behind: the daemon
  // finds its time already past and keeps it for stale. It must not keep the
  // next alarm from waking the daemon.
  time_t behind = daemon->Now() - 3600;
  ASSERT_EQ(ctl.Run({"alarm", "add", "1", Daemon::Format(behind + 120, "%F %H:%M")},
                    daemon->FaketimeArg(behind))
                .status,
            0);
  time_t at = daemon->Now() + 180;  // three minutes ahead, on the daemon's clock
  Result r = ctl.Run({"alarm", "add", "1", Daemon::Format(at, "%F %H:%M"), "wake up"},
                     daemon->FaketimeArg());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Eventually([&] { return PathExists(log) && !ReadFile(log).empty(); }, 50))
      << "the module did not run; the daemon slept on towards 11:00";
  EXPECT_EQ(ReadFile(log), Daemon::Format(at, "%H %M") + "\n");
  EXPECT_TRUE(Eventually([&] {
    return ReadFile(ctl.Data("scheduler/runs.log")).find("\texit\t") != std::string::npos;
  })) << ReadFile(ctl.Data("scheduler/runs.log"));
  Result asleep = ctl.Run({"status"}, daemon->FaketimeArg());
  EXPECT_NE(asleep.out.find("next wake-up: 2026-12-04 11:00"), std::string::npos) << asleep.out;
  // stop --wait through the documented protocol: the daemon, asleep towards
  // 11:00 (some 40 real seconds away), ends within seconds, in order. A stop
  // whose clock disagrees with the daemon's cannot wake it: handed over to no
  // process, the daemon sleeps on, and is still found and waited for by the
  // next stop.
  int pid = daemon->Pid();
  Result early = ctl.Run({"stop"});
  EXPECT_EQ(early.status, 0) << early.err;
  EXPECT_NE(early.out.find("stop requested"), std::string::npos) << early.out;
  EXPECT_NE(
      ctl.Run({"status"}, daemon->FaketimeArg()).out.find("no longer named in the status record"),
      std::string::npos);
  auto begun = Clock::now();
  Result stop = ctl.Run({"stop", "--wait", "--timeout", "600"}, daemon->FaketimeArg());
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - begun).count(), 8.0);
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_NE(stop.out.find("final result 0 (stopped in order)"), std::string::npos) << stop.out;
  EXPECT_EQ(daemon->Wait(), 0);
  EXPECT_EQ(ReadFile(ctl.Data("scheduler/schedulersts")), "object 1\npid=0\nstatus=0\nend\n");
  EXPECT_FALSE(std::filesystem::exists(ctl.Data("scheduler/status." + std::to_string(pid))));
  Result status = ctl.Run({"status"});
  EXPECT_NE(status.out.find("last result:  0 (stopped in order)"), std::string::npos);
}

// next, worked out by hand for modules Mail (1) and Copy (2): Mail at 00:00,
// 10:07 and 10:15, Copy at 10:30 and 23:45, alarms for Copy today at 10:20 and
// for Mail tomorrow at 00:05; module 9 is not in the table and never runs.
TEST_F(SchedulerctlDaemonTest, NextForecastsTheDaemonsRuns) {
  const std::string kMorning = "@2026-12-04 10:00:00";
  const std::string kNever15 =
      "\nnever runs with the interval 15 (unless an alarm wakes the daemon then):\n"
      "10:07  1  Mail  minute 07 is not a multiple of the interval 15\n";
  struct Case {
    const char* what;
    std::string fake;
    Args args;
    std::string out;
  };
  // clang-format off
  const Case cases[] = {
      // An alarm wakes the 15-minute daemon between its ticks; 10:07 is off them.
      {"tick alignment", kMorning, {"next", "--interval", "15", "--count", "3"},
       "2026-12-04 10:15  1  Mail  schedule\n"
       "2026-12-04 10:20  2  Copy  alarm\n"
       "2026-12-04 10:30  2  Copy  schedule\n" + kNever15},
      {"until", kMorning, {"next", "--interval", "15", "--until", "2026-12-04", "10:20"},
       "2026-12-04 10:15  1  Mail  schedule\n"
       "2026-12-04 10:20  2  Copy  alarm\n" + kNever15},
      // Hourly: only the full hours and the alarm minutes are wake-ups; the
      // tick at midnight is on the next day, with that day's alarms.
      {"hourly", "@2026-12-04 23:40:00", {"next", "--interval", "60", "--count", "3"},
       "2026-12-05 00:00  1  Mail  schedule\n"
       "2026-12-05 00:05  1  Mail  alarm\n"
       "2026-12-06 00:00  1  Mail  schedule\n"
       "\nnever runs with the interval 60 (unless an alarm wakes the daemon then):\n"
       "10:07  1  Mail  the daemon wakes only at full hours with the interval 60\n"
       "10:15  1  Mail  the daemon wakes only at full hours with the interval 60\n"
       "10:30  2  Copy  the daemon wakes only at full hours with the interval 60\n"
       "23:45  2  Copy  the daemon wakes only at full hours with the interval 60\n"},
      {"json", kMorning, {"next", "--interval", "15", "--count", "2", "--json"},
       "{\"runs\":[{\"time\":\"2026-12-04 10:15\",\"module\":1,\"name\":\"Mail\","
       "\"why\":\"schedule\"},{\"time\":\"2026-12-04 10:20\",\"module\":2,\"name\":\"Copy\","
       "\"why\":\"alarm\"}],\"never\":[{\"module\":1,\"time\":\"10:07\",\"reason\":"
       "\"minute 07 is not a multiple of the interval 15\"}]}\n"},
      {"empty window", kMorning, {"next", "--interval", "15", "--until", "2026-12-04 10:10"},
       "no runs up to 2026-12-04 10:10\n" + kNever15},
  };
  // clang-format on

  ctl.Setup({{"Mail", "/bin/true", {"00:00", "10:07", "10:15"}},
             {"Copy", "/bin/true", {"10:30", "23:45"}}});
  ASSERT_EQ(ctl.Run({"alarm", "add", "2", "2026-12-04 10:20"}, kMorning).status, 0);
  ASSERT_EQ(ctl.Run({"alarm", "add", "1", "2026-12-05 00:05"}, kMorning).status, 0);
  WriteFile(ctl.Data("scheduler/10/15/9"), "object 1\n_item=9\nend\n");
  ctl.Alarm(9, "20261204", "1020");
  for (const Case& c : cases) {
    Result r = ctl.Run(c.args, c.fake);
    EXPECT_EQ(r.status, 0) << c.what << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.what;
  }
  // With a daemon running, its interval (60) is the default; --interval wins.
  // Its published wake-up (the alarm at 10:20) comes first, even for a tool
  // whose clock still shows the day before.
  Start();
  ASSERT_TRUE(StatusShows("next wake-up: 2026-12-04 10:20"));
  Result behind = ctl.Run({"next", "--count", "2"}, "@2026-12-03 23:00:00");
  EXPECT_EQ(behind.out.substr(0, 69),
            "2026-12-04 10:20  2  Copy  alarm\n2026-12-05 00:00  1  Mail  schedule\n")
      << behind.err;
  EXPECT_EQ(ctl.Run({"next", "--count", "1"}, kMorning).out.substr(0, 33),
            "2026-12-04 10:20  2  Copy  alarm\n");
  EXPECT_EQ(ctl.Run({"next", "--count", "1", "--interval", "15"}, kMorning).out.substr(0, 36),
            "2026-12-04 10:15  1  Mail  schedule\n");
}

}  // namespace

// The reading commands in each daemon state and with the run journal off and
// on, as the daemon writes it (here by hand): status, stop with no daemon
// alive, log, --json documents (byte for byte) and metrics (well-formed
// exposition text). None of them changes the home. A child that holds the
// lock of a per-process status file stands in for a live daemon; killed, it
// leaves what a killed daemon leaves.
TEST(SchedulerctlTest, ReadingCommandsInEachStateChangeNothing) {
  Ctl ctl;
  ctl.Setup({{"Mail \"x\"", "mail.sh", {"10:00", "09:05"}}, {"Copy", "/bin/true", {"23:59"}}});
  PutFile(ctl.Data("scheduler/11/30/9"), "object 1\n_item=1\nend\n");  // not in the table
  PutFile(ctl.Data("scheduler/controle/status"), "object 1\nnexttime=20301212101000\nend\n");
  ctl.Alarm(2, "20300101", "1000");
  ctl.Alarm(9, "20200101", "1000");  // past, of a module not in the table
  HoldingChild live(
      [&] { return LockWhole(ctl.Data("scheduler/status." + std::to_string(getpid()))); });
  ASSERT_TRUE(live.held());
  // PID stands for the child, SELF for this test's process, HOME for the home.
  const std::string pid = std::to_string(live.pid()), self = std::to_string(getpid());
  auto named = [&](std::string text) {
    text = std::regex_replace(text, std::regex("PID"), pid);
    return ctl.Named(std::regex_replace(text, std::regex("SELF"), self));
  };
  const std::string status = R"({"home":"HOME","daemon":)";  // status --json begins so
  const std::string output = R"(,"output":{"mode":"keep","failed":[]},"missed":{"runs":null,)"
                             R"("from":null,"to":null,"late":0,"catch_up":false,"limit_hours":24})";
  const std::string tables = "scheduler_modules 2;scheduler_schedule_entries 3;";
  struct Case {
    const char* record;  // the status record's fields ("" none)
    bool alive;          // the child still holds its lock
    Args args;
    std::string want;      // the output (metrics: its "name value;"s), part of status's and
                           // stop's, or of the message when `status` is not 0
    bool journal = false;  // runs.log.1 and runs.log as below; else the journal is off
    int status = 0;
  };
  // Module 1 failed twice (the second time by SIGKILL) and was run once by
  // hand, which no other figure counts; module 2's last child (a pid above
  // any pid_max) is gone without its exit line, module 3's (this process)
  // runs, module 7 has only an exit line left. log skips the line that is no
  // journal line and prints runs.log.1 first.
  const std::string old =
      "2026-12-04 10:14:30\tstarted\t50\t1\n"
      "2026-12-04 10:15:00\trun\t10:15\t1\t51\tmail.sh\n"
      "2026-12-04 10:15:02\texit\t51\t1\tstatus 3\t2\n";
  const std::string journal = named(
      "2026-12-04 10:16:00\trun\t10:16\t1\t52\tmail.sh\n"
      "2026-12-04 10:16:00\trun\t10:16\t2\t53\t/bin/true\n"
      "2026-12-04 10:16:00\texit\t53\t2\tstatus 0\t0\n"
      "2026-12-04 10:16:01\texit\t52\t1\tsignal 9\t1\n"
      "2026-12-04 10:16:02\trun\t10:16\t1\t60\tmail.sh\tby-hand\n"
      "2026-12-04 10:16:03\texit\t60\t1\tstatus 5\t1\tby-hand\n"
      "2026-12-04 10:16:05\texit\t54\t7\tstatus 0\t0\n"
      "2026-12-04 10:17:00\trun\t10:17\t2\t2147483647\t/bin/true\n"
      "2026-12-04 10:18:00\trun\t10:18\t3\tSELF\t/bin/sleep\n");
  // Per family, the samples of modules 1, 2, 3 and 7 ("": none).
  const std::pair<const char*, std::vector<const char*>> figures[] = {
      {"runs_total", {"2", "2", "1", "0"}},
      {"failures_total", {"2", "0", "0", "0"}},
      {"last_run_timestamp_seconds",
       {"2026-12-04 10:16:00", "2026-12-04 10:17:00", "2026-12-04 10:18:00", ""}},
      {"last_exit_status", {"137", "0", "", "0"}},
      {"by_hand_runs_total", {"1", "0", "0", "0"}},
  };
  std::string perModule;
  for (const auto& [family, values] : figures) {
    for (size_t m = 0; m < values.size(); ++m) {
      if (*values[m] == '\0') continue;
      perModule += std::string("scheduler_module_") + family + "{module=\"" + "1237"[m] + "\"} " +
                   values[m] + ";";
    }
  }
  // clang-format off
  const Case cases[] = {
      {"", true, {"module", "list", "--json"},
       R"({"modules":[{"id":1,"name":"Mail \"x\"","program":"mail.sh","runs":null,"note":"not )"
       R"(found: the daemon skips this module","overlap":"allow","time_limit":null},{"id":2,)"
       R"("name":"Copy","program":"/bin/true","runs":"/bin/true","note":null,"overlap":"allow",)"
       R"("time_limit":null}]})" "\n"},
      {"", true, {"schedule", "list", "--json"},
       R"({"schedule":[{"id":1,"name":"Mail \"x\"","times":["09:05","10:00"],"in_table":true},)"
       R"({"id":2,"name":"Copy","times":["23:59"],"in_table":true},{"id":9,"name":null,)"
       R"("times":["11:30"],"in_table":false}]})" "\n"},
      {"", true, {"alarm", "list", "--all", "--json"},
       R"({"alarms":[{"time":"2020-01-01 10:00","module":9,"name":null,"in_table":false,)"
       R"("texts":["due"],"past":true},{"time":"2030-01-01 10:00","module":2,"name":"Copy",)"
       R"("in_table":true,"texts":["due"],"past":false}]})" "\n"},
      {"", true, {"status", "--json"}, status +
       R"({"pid":PID,"running":true,"state":"handed-over"},"last_result":null,)"
       R"("next_wakeup":"2030-12-12 10:10")" + output + "}\n"},
      {"pid=PID", true, {"status", "--json"}, status +
       R"({"pid":PID,"running":true,"state":"running"},"last_result":null,)"
       R"("next_wakeup":"2030-12-12 10:10")" + output + "}\n"},
      {"pid=PID", true, {"metrics"},
       "scheduler_daemon_up 1;scheduler_next_wakeup_timestamp_seconds 2030-12-12 10:10;" + tables},
      {"", false, {"status", "--json"}, status +
       R"({"pid":null,"running":false,"state":"never-ran"},"last_result":null,"next_wakeup":null)" +
       output + "}\n"},
      {"pid=PID", false, {"status", "--json"}, status +
       R"({"pid":PID,"running":false,"state":"killed"},"last_result":null,"next_wakeup":null)" +
       output + "}\n"},
      {"pid=PID", false, {"status"}, "pid PID ended without its shut-down"},
      {"pid=PID", false, {"stop", "--wait"}, "no daemon is running"},  // the stale pid unsignalled
      {"pid=0\nstatus=0", false, {"status", "--json"}, status +
       R"({"pid":null,"running":false,"state":"stopped"},"last_result":{"code":0,)"
       R"("meaning":"stopped in order"},"next_wakeup":null)" + output + "}\n"},
      {"pid=0", false, {"log"}, "the run journal is off", false, 1},
      {"pid=0", false, {"metrics"}, "scheduler_daemon_up 0;" + tables + perModule, true},
      {"pid=0", false, {"status", "--json"}, status +
       R"({"pid":null,"running":false,"state":"handed-over"},"last_result":null,)"
       R"("next_wakeup":null)" + output + R"(,"modules":[{"id":1,"last_run":"2026-12-04 10:16:00",)"
       R"("result":"signal 9"},{"id":2,"last_run":"2026-12-04 10:17:00","result":"ended, )"
       R"(result not recorded"},{"id":3,"last_run":"2026-12-04 10:18:00","result":"running"}]})"
       "\n", true},
      {"pid=0", false, {"status"},
       "\nlast runs:\n  MODULE  LAST RUN             RESULT\n"
       "  1       2026-12-04 10:16:00  signal 9\n"
       "  2       2026-12-04 10:17:00  ended, result not recorded\n"
       "  3       2026-12-04 10:18:00  running\n", true},
      {"pid=0", false, {"log"}, old + journal, true},
      {"pid=0", false, {"log", "--module", "2", "--since", "2026-12-04 10:17", "--json"},
       "{\"time\":\"2026-12-04 10:17:00\",\"event\":\"run\",\"due\":\"10:17\",\"module\":2,"
       "\"pid\":2147483647,\"program\":\"/bin/true\"}\n", true},
      {"pid=0", false, {"log", "--module", "7", "--json"},
       "{\"time\":\"2026-12-04 10:16:05\",\"event\":\"exit\",\"pid\":54,\"module\":7,"
       "\"result\":\"status 0\",\"seconds\":0}\n", true},
  };
  // clang-format on
  const std::regex sample("([a-z_]+)(\\{[^}]*\\})? (-?[0-9]+)");
  const std::regex comment("# (HELP|TYPE) ([a-z_]+) .+");
  for (const Case& c : cases) {
    std::string shown = std::string(c.record) + ":";
    for (const std::string& a : c.args) shown += " " + a;
    if (!c.alive) live.End();
    std::filesystem::remove(ctl.Data("scheduler/schedulersts"));
    if (*c.record)
      WriteFile(ctl.Data("scheduler/schedulersts"), named(Rec("1", c.record + std::string("\n"))));
    std::filesystem::remove(ctl.Data("scheduler/runs.log"));
    std::filesystem::remove(ctl.Data("scheduler/runs.log.1"));
    if (c.journal) WriteFile(ctl.Data("scheduler/runs.log.1"), old);
    if (c.journal) WriteFile(ctl.Data("scheduler/runs.log"), "not a journal line\n" + journal);
    const auto before = Snapshot(ctl.home);
    Result r = ctl.Run(c.args);
    EXPECT_EQ(r.status, c.status) << shown << ": " << r.err;
    EXPECT_EQ(Snapshot(ctl.home), before) << shown;
    const std::string want = named(c.want);
    if (c.status != 0 || c.args[0] == "stop" || (c.args[0] == "status" && c.args.size() == 1)) {
      EXPECT_NE((c.status != 0 ? r.err : r.out).find(want), std::string::npos) << shown << ":\n"
                                                                               << r.out << r.err;
      continue;
    }
    std::string got = r.out;
    if (c.args[0] == "metrics") {
      got.clear();
      std::map<std::string, int> described;  // HELP and TYPE lines seen per name
      std::istringstream lines(r.out);
      for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, comment)) {
          ++described[m[2]];
          continue;
        }
        ASSERT_TRUE(std::regex_match(line, m, sample)) << shown << ": " << line;
        EXPECT_EQ(described[m[1]], 2) << m[1] << " without its # HELP and # TYPE lines";
        std::string value = m[3];
        if (m[1] == "scheduler_next_wakeup_timestamp_seconds") {
          value = Daemon::Format(static_cast<time_t>(std::stoll(value)), "%F %H:%M");
        } else if (m[1] == "scheduler_module_last_run_timestamp_seconds") {
          value = Daemon::Format(static_cast<time_t>(std::stoll(value)), "%F %T");
        }
        got += std::string(m[1]) + std::string(m[2]) + " " + value + ";";
      }
    }
    EXPECT_EQ(got, want) << shown;
  }
  // The switch: --disable takes both files, which the last case left.
  ASSERT_EQ(ctl.Run({"log", "--disable"}).status, 0);
  EXPECT_FALSE(PathExists(ctl.Data("scheduler/runs.log")) ||
               PathExists(ctl.Data("scheduler/runs.log.1")));
  EXPECT_EQ(ctl.Run({"status"}).out.find("last runs"), std::string::npos);
}
