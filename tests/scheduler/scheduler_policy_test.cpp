// Run policies end to end: the real daemon under a faked clock (x20: a
// faked minute is three real seconds), modules that are shell scripts, and
// schedulerctl beside it.
#include <signal.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stores/runjournal.h"
#include "stores/runpolicy.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

// The journal's lines of `event`, split.
std::vector<RunJournalLine> Events(const std::string& journal, const std::string& event) {
  std::vector<RunJournalLine> found;
  for (const std::string& text : ReadLines(journal)) {
    RunJournalLine line;
    if (runJournalParse(text, &line) && line.event == event) found.push_back(line);
  }
  return found;
}

// schedulerctl on `home` (under `clock` when not empty): exit status, and
// its output and errors in *out.
int Ctl(const DaemonHome& dir, std::vector<std::string> argv, std::string* out,
        const std::string& clock = "") {
  argv.insert(argv.begin(), {SCHEDULERCTL_BIN, dir.home});
  if (!clock.empty()) argv = UnderFakedClock(clock, argv);
  const std::string file = dir.root.Path("ctl.out");
  int status = Wait(Spawn(argv, file, file, dir.work));
  *out = ReadFile(file);
  return status;
}

// A module that takes two and a half minutes, due 10:15, 10:16 and 10:17:
// with skip it runs once and the two later minutes are skipped lines naming
// the run; with allow it runs three times, as every module always did.
// While the skipped run goes on, status shows it, next marks its runs, and
// `run` refuses to start a second copy.
TEST(PolicyTest, OverlapSkipStartsOneCopyAndAllowThree) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  struct Case {
    const char* overlap;
    size_t runs;
    size_t skipped;
  };
  const Case cases[] = {{"skip", 1, 2}, {"allow", 3, 0}};
  std::vector<std::unique_ptr<DaemonHome>> homes;
  std::vector<std::unique_ptr<Daemon>> daemons;
  for (const Case& c : cases) {
    homes.emplace_back(new DaemonHome);
    DaemonHome& dir = *homes.back();
    WriteScript(dir.work + "/slow", "echo $3 >> \"$1/starts\"; exec sleep 150");
    const int id = AddModule(dir.work + "/slow", {"1015", "1016", "1017"});
    PutFile(dir.Data("scheduler/runs.log"), "");
    std::string out;
    ASSERT_EQ(0, Ctl(dir, {"module", "set", std::to_string(id), "--overlap", c.overlap}, &out))
        << out;
    daemons.emplace_back(new Daemon(dir.home, "1", dir.work, "10:14:58"));
  }
  for (size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(cases[i].overlap);
    DaemonHome& dir = *homes[i];
    const std::string journal = dir.Data("scheduler/runs.log");
    ASSERT_TRUE(Eventually(
        [&] { return Events(journal, "run").size() + Events(journal, "skipped").size() == 3; }));
    std::vector<RunJournalLine> runs = Events(journal, "run");
    std::vector<RunJournalLine> skipped = Events(journal, "skipped");
    EXPECT_EQ(cases[i].runs, runs.size());
    EXPECT_EQ(cases[i].skipped, skipped.size());
    // A run line is written once its child is started, before the child's own line.
    const std::string starts = dir.home + "/starts";
    Eventually([&] { return PathExists(starts) && ReadLines(starts).size() >= cases[i].runs; });
    EXPECT_EQ(cases[i].runs, ReadLines(starts).size());
    if (skipped.empty()) continue;
    const std::string pid = runs[0].fields[2];
    EXPECT_EQ("10:16", skipped[0].fields[0]);
    EXPECT_EQ(pid, skipped[0].fields[2]);
    EXPECT_TRUE(std::regex_match(skipped[1].fields[3],
                                 std::regex("still running since 2026-12-04 10:15:0\\d")))
        << skipped[1].fields[3];
    std::string out;
    EXPECT_EQ(1, Ctl(dir, {"run", "1"}, &out));
    EXPECT_NE(std::string::npos, out.find("module 1 is running (pid " + pid)) << out;
    EXPECT_EQ(0, Ctl(dir, {"status"}, &out));
    EXPECT_TRUE(std::regex_search(
        out, std::regex("running now:\n.*\n  1 +" + pid + " +2026-12-04 10:15:0\\d +daemon\n")))
        << out;
    EXPECT_EQ(0, Ctl(dir, {"next", "--interval", "1", "--count", "1"}, &out));
    EXPECT_NE(std::string::npos, out.find("(skipped if run " + pid + " goes on)")) << out;
    EXPECT_EQ(0, Ctl(dir, {"metrics"}, &out));
    EXPECT_NE(std::string::npos, out.find("scheduler_module_skipped_total{module=\"1\"} 2")) << out;
  }
}

// A run past its one-minute limit, with interval 15 (the daemon would sleep
// to 10:30 but for it): SIGTERM to its group at 10:16; one that ignores
// SIGTERM gets SIGKILL 30 seconds later. Each signal is a timeout line
// before the exit line.
TEST(PolicyTest, ARunPastItsLimitIsEnded) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  struct Case {
    const char* body;
    std::vector<std::string> signals;  // of the timeout lines
    const char* result;                // of the exit line
  };
  const std::vector<Case> cases = {
      {"sleep 600", {"signal 15"}, "signal 15"},
      {"trap '' TERM; while :; do sleep 1; done", {"signal 15", "signal 9"}, "signal 9"},
  };
  // The run starts at 10:15:0x: SIGTERM a minute later, SIGKILL 30 s after
  // (a real second is 20 faked ones: the test allows for a daemon held off
  // the CPU).
  const char* const at[] = {"2026-12-04 10:16:[0-2]\\d", "2026-12-04 10:16:[3-5]\\d"};
  std::vector<std::unique_ptr<DaemonHome>> homes;
  std::vector<std::unique_ptr<Daemon>> daemons;
  for (const Case& c : cases) {
    homes.emplace_back(new DaemonHome);
    DaemonHome& dir = *homes.back();
    WriteScript(dir.work + "/hung", c.body);
    const int id = AddModule(dir.work + "/hung", {"1015"});
    RunPolicy policy;
    policy.limitMinutes = 1;
    ASSERT_EQ(0, runPolicySet(id, policy));
    PutFile(dir.Data("scheduler/runs.log"), "");
    daemons.emplace_back(new Daemon(dir.home, "15", dir.work, "10:14:58"));
  }
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].body);
    const std::string journal = homes[i]->Data("scheduler/runs.log");
    ASSERT_TRUE(Eventually([&] { return Events(journal, "exit").size() == 1; }));
    std::vector<RunJournalLine> timeouts = Events(journal, "timeout");
    const RunJournalLine exit = Events(journal, "exit")[0];
    ASSERT_EQ(cases[i].signals.size(), timeouts.size());
    for (size_t s = 0; s < timeouts.size(); ++s) {
      EXPECT_EQ(exit.fields[0], timeouts[s].fields[0]);
      EXPECT_EQ(cases[i].signals[s], timeouts[s].fields[2]);
      EXPECT_EQ("1", timeouts[s].fields[3]);
      EXPECT_TRUE(std::regex_match(timeouts[s].time, std::regex(at[s]))) << timeouts[s].time;
    }
    EXPECT_EQ(cases[i].result, exit.fields[2]);
    EXPECT_TRUE(ChildrenOf(daemons[i]->Pid()).empty()) << "the group's sleep went too";
  }
}

// A run of a skip module that a daemon killed meanwhile left behind, or that
// `schedulerctl run` started, holds the module's lock: a daemon started
// while it goes on, at 10:15:30, skips the module at 10:15 and 10:16 and
// names the run, and starts no second copy.
TEST(PolicyTest, ARunStartedElsewhereHoldsTheLock) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  for (bool byHand : {false, true}) {
    SCOPED_TRACE(byHand ? "run by hand" : "daemon killed");
    DaemonHome dir;
    WriteScript(dir.work + "/slow", "echo $$ >> \"$1/starts\"; exec sleep 150");
    const int id = AddModule(dir.work + "/slow", {"1015", "1016"});
    RunPolicy policy;
    policy.overlap = RunOverlap::kSkip;
    ASSERT_EQ(0, runPolicySet(id, policy));
    const std::string journal = dir.Data("scheduler/runs.log");
    PutFile(journal, "");
    pid_t byHandCtl = 0;
    if (byHand) {
      const std::string out = dir.root.Path("run.out");
      byHandCtl = Spawn(UnderFakedClock("@2026-12-04 10:15:10 x20",
                                        {SCHEDULERCTL_BIN, dir.home, "run", std::to_string(id)}),
                        out, out, dir.work);
    } else {
      Daemon first(dir.home, "1", dir.work, "10:14:58");
      ASSERT_TRUE(Eventually([&] { return Events(journal, "run").size() == 1; }));
      kill(first.Pid(), SIGKILL);
      first.Wait();
    }
    ASSERT_TRUE(Eventually([&] {
      RunLockHolder holder;
      return runLockProbe(id, &holder) == 1 && holder.pid > 0;
    }));
    RunLockHolder holder;
    ASSERT_EQ(1, runLockProbe(id, &holder));
    EXPECT_EQ(byHand, holder.byHand);
    {
      Daemon second(dir.home, "1", dir.work, "10:15:30");
      ASSERT_TRUE(Eventually([&] { return Events(journal, "skipped").size() == 2; }));
    }
    std::vector<RunJournalLine> skipped = Events(journal, "skipped");
    EXPECT_EQ("10:15", skipped[0].fields[0]);
    EXPECT_EQ(std::to_string(holder.pid), skipped[0].fields[2]);
    EXPECT_EQ(byHand, skipped[0].fields[3].find("by hand") != std::string::npos)
        << skipped[0].fields[3];
    EXPECT_EQ(1u, ReadLines(dir.home + "/starts").size());
    kill(-holder.pid, SIGKILL);
    kill(holder.pid, SIGKILL);
    if (byHandCtl > 0) Wait(byHandCtl);
    EXPECT_TRUE(Eventually([&] { return runLockProbe(id, &holder) == 0; }));
  }
}

}  // namespace
