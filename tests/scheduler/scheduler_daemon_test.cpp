// The daemon end to end: the real executable under a faked clock, sped up so
// that a faked minute passes in a few real seconds, with modules that are
// small shell scripts. Every wake-up a test waits for lies seconds ahead; a daemon
// held off the CPU past its target would still run it, late.
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stores/cvelschedulersts.h"
#include "stores/runjournal.h"
#include "stores/runoutput.h"
#include "stores/schedulermissed.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

// The run journal of a daemon that starts four modules at 10:15 and is then
// taken over: one line per event (times and pids matched by pattern, a run's
// child pid checked against its exit line). The journal starts at its
// rotation size, so it is rotated before the first line. A module whose
// program is found nowhere is skipped without a line. The home has made no
// choice of output: the daemon prints nothing and keeps nothing, whatever its
// modules print.
TEST(DaemonTest, RunJournalRecordsEachStartAndEnd) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  DaemonHome dir;
  struct Case {
    const char* name;
    const char* body;  // nullptr: the program does not exist
    const char* result;
  };
  const Case cases[] = {{"ok", "echo out; echo err >&2", "status 0"},
                        {"three", "exit 3", "status 3"},
                        {"missing", nullptr, "status 1"},
                        {"killed", "kill -9 $$", "signal 9"}};
  const std::string journal = dir.Data("scheduler/runs.log");
  const std::string full(kRunJournalRotateBytes, 'x');
  const std::string time = "2026-12-04 10:1\\d:\\d\\d\t";
  std::vector<std::string> runs;
  std::vector<std::string> exits;
  for (const Case& c : cases) {
    std::string program = dir.work + "/" + c.name;
    if (c.body != nullptr) WriteScript(program, c.body);
    std::string id = std::to_string(AddModule(program, {"1015"}));
    runs.push_back(time + "run\t10:15\t" + id + "\t(\\d+)\t" + program);
    exits.push_back(time + "exit\t(\\d+)\t" + id + "\t" + c.result + "\t\\d+");
  }
  AddModule("nowhere", {"1015"});
  WriteFile(journal, full);

  Daemon daemon(dir.home, "1", dir.work);
  const std::string pid = std::to_string(daemon.Pid());
  Eventually([&] { return ReadLines(journal).size() >= 9; });
  // Another program takes the data home over: the daemon ends at its next
  // wake-up (with interval 1, within three seconds).
  EXPECT_EQ(0, CvelSchedulerSts().Mod(1));
  EXPECT_EQ(0, daemon.Wait());
  std::vector<std::string> lines = ReadLines(journal);
  ASSERT_EQ(11u, lines.size());
  EXPECT_EQ(full, ReadFile(journal + ".1"));
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(time + "started\t" + pid + "\t1"))) << lines[0];
  std::smatch m;
  for (size_t i = 0; i < runs.size(); ++i) {
    ASSERT_TRUE(std::regex_match(lines[1 + i], m, std::regex(runs[i]))) << lines[1 + i];
    std::string child = m[1];
    // Children end in any order; each exit line names the child its run line did.
    auto exit = std::find_if(lines.begin() + 5, lines.begin() + 9, [&](const std::string& line) {
      return std::regex_match(line, m, std::regex(exits[i])) && m[1] == child;
    });
    EXPECT_NE(lines.begin() + 9, exit) << exits[i];
  }
  EXPECT_TRUE(std::regex_match(lines[9], std::regex(time + "taken-over\t" + pid + "\t1")))
      << lines[9];
  EXPECT_TRUE(std::regex_match(lines[10], std::regex(time + "stopped\t" + pid + "\t0")))
      << lines[10];
  EXPECT_EQ("", ReadFile(dir.work + "/daemon.out"));
  EXPECT_FALSE(PathExists(dir.Data("scheduler/output")));
}

// Started by root on a home that belongs to nobody, the daemon runs as
// nobody, and so does every module it starts: nobody's uid, its group and
// only its supplementary groups.
TEST(DaemonTest, RootOnAnotherUsersHomeRunsModulesAsTheOwner) {
  if (!HaveFaketime() || geteuid() != 0 || getpwnam("nobody") == nullptr) {
    GTEST_SKIP() << "needs faketime, root and the user nobody";
  }
  DaemonHome dir;
  ASSERT_EQ(0, chmod(dir.root.c_str(), 0711));  // nobody must reach its home
  const std::string program = dir.work + "/ids", ids = dir.home + "/ids", want = dir.work + "/want";
  WriteScript(program, "echo $(id -u) $(id -g) $(id -G) >> \"$1/ids\"; echo $$ > \"$1/pid\"");
  AddModule(program, {"1015"});
  ASSERT_EQ(0, system(("chown -R nobody: " + dir.home).c_str()));
  ASSERT_EQ(0, system(("echo $(id -u nobody) $(id -g nobody) $(id -G nobody) > " + want).c_str()));
  // Started with a supplementary group of root's, which it must not keep.
  gid_t groups[256];
  const int count = getgroups(256, groups);
  const gid_t rootGroup = 0;
  ASSERT_TRUE(count >= 0 && setgroups(1, &rootGroup) == 0);
  Daemon daemon(dir.home, "1", dir.work);
  ASSERT_EQ(0, setgroups(static_cast<size_t>(count), groups));
  ASSERT_TRUE(Eventually([&] { return PathExists(dir.home + "/pid"); }));
  EXPECT_EQ(ReadFile(want), ReadFile(ids));
  // The module, nobody's, cannot open the faked clock's objects of its
  // parent, root's, and makes its own, which it leaves when it exits.
  RemoveFakedClockObjects(atoi(ReadFile(dir.home + "/pid").c_str()));
}

// The daemon stopped (SIGSTOP) in its sleep towards 10:16 and continued
// (SIGCONT) at 10:17:30, with interval 1 and a module due every minute: its
// piece ends at 10:16:00 on the wall clock, so it wakes the moment it is
// continued and runs the late 10:16 once and the 10:17 it was continued in.
// A sleep for a length of time would resume the minute it had left and wake
// at 10:18:29, never running 10:17. faketime carries the timer's deadline
// over to the real clock, sped up like the rest; the stop is real.
TEST(DaemonTest, StoppedAndContinuedRunsTheLateTargetAndTheMinuteItContinuesIn) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  DaemonHome dir;
  const std::string journal = dir.Data("scheduler/runs.log");
  std::string program = dir.work + "/module";
  WriteScript(program, "exit 0");
  AddModule(program, {"1015", "1016", "1017", "1018"});
  WriteFile(journal, "");
  // "HH:MM" of each run line, and after the first the time it was written.
  auto runs = [&] {
    std::vector<std::string> minutes;
    for (const std::string& text : ReadLines(journal)) {
      RunJournalLine line;
      if (!runJournalParse(text, &line) || line.event != "run") continue;
      minutes.push_back(line.fields[0] + (minutes.empty() ? "" : " at " + line.time));
    }
    return minutes;
  };

  Daemon daemon(dir.home, "1", dir.work, "10:14:58");
  pid_t pid = daemon.Pid();
  // Stopped once the 10:15 module has ended: its end would wake any sleep.
  ASSERT_TRUE(Eventually([&] { return ReadLines(journal).size() == 3; }, 1));
  ASSERT_EQ(0, kill(pid, SIGSTOP));
  ASSERT_EQ(std::vector<std::string>{"10:15"}, runs()) << "stopped after its sleep towards 10:16";
  time_t continueAt = daemon.Now() - daemon.Now() % 60 + 150;  // 10:17:30
  Eventually([&] { return daemon.Now() >= continueAt; }, 1);
  ASSERT_EQ(0, kill(pid, SIGCONT));
  Eventually([&] { return runs().size() >= 3; });
  std::vector<std::string> got = runs();
  ASSERT_EQ(3u, got.size());
  // Within 30 faked seconds (a second and a half) of the continue, which
  // the test knows to a second or two.
  const std::string soon = " at 2026-12-04 10:17:[2-5]\\d";
  EXPECT_TRUE(std::regex_match(got[1], std::regex("10:16" + soon))) << got[1];
  EXPECT_TRUE(std::regex_match(got[2], std::regex("10:17" + soon))) << got[2];
}

// A daemon that ends on a failure says so in one line on standard error, and
// only then: the step, the file below the home, the reason, the result code.
TEST(DaemonTest, AFailedEndIsOneLineNamingItsReason) {
  struct Case {
    const char* interval;
    bool table;      // the home has a module table
    bool indexDir;   // ... and a folder in its place
    const char* line;
  };
  const Case cases[] = {
      {"1", false, false,
       "scheduler: module table data/scheduler/module/index: no such file or record (result "
       "-110); ending\n"},
      {"1", true, true,
       "scheduler: module table data/scheduler/module/index: a directory where a record file "
       "should be (result -101); ending\n"},
      {"7", true, false,
       "scheduler: interval: the interval was refused (it must be a divisor of 60 or a multiple "
       "of 60) (result -99); ending\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    DaemonHome dir;
    if (c.table) AddModule("/bin/true");
    if (c.indexDir) {
      ASSERT_EQ(0, unlink(dir.Data("scheduler/module/index").c_str()));
      ASSERT_EQ(0, mkdir(dir.Data("scheduler/module/index").c_str(), 0755));
    }
    const std::string out = dir.work + "/daemon.out";
    EXPECT_EQ(1, Wait(Spawn({SCHEDULER_BIN, dir.home, c.interval}, out, out, dir.work)));
    EXPECT_EQ(c.line, ReadFile(out));
  }
}


// A home that keeps its modules' output, with the run journal on. Each run's
// output and error are one file of the run, which schedulerctl shows with
// log --output and, for a failed last run, status; a run of 3.4 MB keeps its
// last 256 kB at most, from a line start, behind the cut line; a module that
// closes its output leaves an empty file; one that runs past its next due
// minute gets a file per run; one whose folder cannot be made runs with its
// output lost, which the journal says. A home that sends it to the journal
// finds it in the daemon's standard error.
TEST(DaemonTest, EachRunsOutputIsKeptOrJournalled) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  DaemonHome journal;
  WriteScript(journal.work + "/talk", "echo to-journal; echo err >&2");
  AddModule(journal.work + "/talk", {"1015"});
  PutFile(journal.Data(kRunOutputModeFile), "journal\n");
  DaemonHome keep;
  std::string lines;
  for (int n = 1; n <= 500000; ++n) lines += std::to_string(n) + "\n";
  const char* const bodies[] = {"echo connecting; echo 'connection refused' >&2; exit 1",
                                "seq 1 500000", "exec >&- 2>&-; echo gone; true",
                                "echo begin $3; sleep 90; echo end $3", "touch \"$1/ran5\""};
  for (int id = 1; id <= 5; ++id) {
    WriteScript(keep.work + "/" + std::to_string(id), bodies[id - 1]);
    AddModule(keep.work + "/" + std::to_string(id),
              id == 4 ? std::vector<std::string>{"1015", "1016"} : std::vector<std::string>{"1015"});
  }
  PutFile(keep.Data(kRunOutputModeFile), "keep\n");
  PutFile(keep.Data("scheduler/output/5"), "");  // where module 5's folder should be
  PutFile(keep.Data("scheduler/runs.log"), "");
  Daemon journalled(journal.home, "1", journal.work, "10:14:58", "x30");
  Daemon daemon(keep.home, "1", keep.work, "10:14:58", "x30");
  std::vector<RunOutputRun> runs[6];
  auto kept = [&](int id) { return runOutputRuns(id, &runs[id]) == 0 ? runs[id].size() : 0u; };
  ASSERT_TRUE(Eventually([&] {
    return kept(4) == 2 && !runs[4][1].end.empty() && kept(1) && kept(2) && kept(3);
  }));
  EXPECT_EQ(ReadFile(journal.work + "/daemon.out"), "to-journal\nerr\n");
  EXPECT_FALSE(PathExists(journal.Data("scheduler/output")));

  const std::string out = keep.root.Path("ctl.out");
  auto ctl = [&](std::vector<std::string> argv) {
    argv.insert(argv.begin(), {SCHEDULERCTL_BIN, keep.home});
    EXPECT_EQ(Wait(Spawn(argv, out, out)), 0) << argv[2];
    return ReadFile(out);
  };
  const std::string at = "2026-12-04 10:1[5-7]:\\d\\d";
  EXPECT_TRUE(std::regex_match(
      ctl({"log", "--output", "1"}),
      std::regex("module 1, due 10:15, started " + at + ", ended " + at +
                 ": status 1\nconnecting\nconnection refused\n")))
      << ReadFile(out);
  EXPECT_NE(ctl({"status"}).find("\n    connecting\n    connection refused\n"), std::string::npos)
      << ReadFile(out);
  const std::string big = ReadFile(runs[2][0].path), cut = big.substr(0, big.find('\n') + 1);
  const std::string rest = big.substr(cut.size());
  EXPECT_LE(rest.size(), static_cast<size_t>(kRunOutputKeptBytes));
  EXPECT_EQ(cut, "[" + std::to_string(lines.size() - rest.size()) +
                     " bytes cut from the start of this output]\n");
  EXPECT_EQ(lines.substr(lines.size() - rest.size() - 1), "\n" + rest) << "from a line start";
  EXPECT_EQ(ReadFile(runs[3][0].path), "");
  EXPECT_EQ(runs[3][0].result, "status 0");
  EXPECT_EQ(ReadFile(runs[4][0].path), "begin 15\nend 15\n");
  EXPECT_EQ(ReadFile(runs[4][1].path), "begin 16\nend 16\n");
  EXPECT_NE(ctl({"log", "--output", "4", "--run", "2"}).find("\nbegin 15\nend 15\n"),
            std::string::npos);
  EXPECT_TRUE(Eventually([&] { return PathExists(keep.home + "/ran5"); }));
  EXPECT_TRUE(std::regex_search(ReadFile(keep.Data("scheduler/runs.log")),
                                std::regex("\toutput-lost\t\\d+\t5\t" + keep.Data("scheduler/output/5") +
                                           "/?: Not a directory\n")));
}

// A daemon under the faked clock killed with its module running, as the
// tests end their daemons, leaves nothing in /dev/shm for a later process
// with the same pid to trip over.
TEST(DaemonTest, TheFakedClockLeavesNothingInDevShm) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  DaemonHome dir;
  std::string program = dir.work + "/sleeper";
  WriteScript(program, "sleep 600");
  AddModule(program, {"1015"});
  pid_t pid = 0;
  pid_t module = 0;
  {
    Daemon daemon(dir.home, "1", dir.work, "10:14:58");
    pid = daemon.Pid();
    ASSERT_TRUE(Eventually([&] {
      auto children = ChildrenOf(pid);
      module = children.empty() ? 0 : children.front().first;
      return module != 0;
    }));
  }
  EXPECT_EQ(SharedMemoryOf(pid), std::vector<std::string>{});
  EXPECT_EQ(SharedMemoryOf(module), std::vector<std::string>{});
}

}  // namespace

// A daemon that ended on a failure (killed) after its 10:10 pass, and one
// started at 11:00 (or 11:30) on the same home: log --missed names the 10:15
// entry; with catch-up on the module runs once at the start, due 10:15 and
// journalled as a catch-up, then 11:00 by the tick; off, only 11:00 runs; a
// gap over the limit runs nothing and says so.
TEST(DaemonTest, ARestartAfterAGapReportsAndCatchesUpWhatItMissed) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  struct Case {
    const char* catchUp;  // the home's choice; null: none
    const char* start;
    const char* ran;      // the module's "HH:MM" arguments, in order
    const char* line;     // a journal line (pattern) the start leaves
  };
  const Case cases[] = {
      {"on 24\n", "11:00:00", "10:15\n11:00\n", "run\t10:15\t1\t\\d+\t\\S+\tcatch-up"},
      {nullptr, "11:00:00", "11:00\n", "run\t11:00\t1\t\\d+\t\\S+"},
      {"on 1\n", "11:30:00", "",
       "catch-up-skipped\t2026-12-04 10:10\t2026-12-04 11:30\t1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start + std::string(c.catchUp ? c.catchUp : "none"));
    DaemonHome dir;
    const std::string journal = dir.Data(kRunJournalFile), ran = dir.home + "/ran";
    WriteScript(dir.work + "/m", "echo \"$2:$3\" >> \"$1/ran\"");
    AddModule(dir.work + "/m", {"1015", "1100"});
    WriteFile(journal, "");
    {
      Daemon first(dir.home, "5", dir.work, "10:09:58");
      ASSERT_TRUE(Eventually([&] {
        return ReadFile(dir.Data(kSchedLastPassFile)).find("pass 202612041010") == 0;
      }));
      ASSERT_EQ(0, kill(first.Pid(), SIGKILL));
    }
    // A late wake-up of the day before, over a 10:15 the journal says it skipped.
    PutFile(journal, ReadFile(journal) +
                         "2026-12-03 10:20:00\tclock-jump\t2026-12-03 10:10\t2026-12-03 10:20\n");
    if (c.catchUp != nullptr) PutFile(dir.Data(kSchedCatchUpFile), c.catchUp);
    Daemon second(dir.home, "5", dir.work, c.start);
    const std::regex line(".*\t" + std::string(c.line));
    ASSERT_TRUE(Eventually([&] {
      for (const std::string& l : ReadLines(journal)) {
        if (std::regex_match(l, line)) return true;
      }
      return false;
    })) << ReadFile(journal);
    // The daemon journals its starts in the order it makes them; the two
    // children then append to "ran" in whatever order they get the CPU.
    auto runs = [&] { return PathExists(ran) ? ReadFile(ran) : ""; };
    Eventually([&] { return runs().size() >= strlen(c.ran); });
    auto lines = [](std::string text) {
      std::vector<std::string> out;
      for (size_t at = 0, end = 0; end != std::string::npos && at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        out.push_back(text.substr(at, end - at));
      }
      return out;
    };
    std::vector<std::string> want = lines(c.ran), got = lines(runs());
    auto started = [&] {
      const std::regex run(".*\trun\t(\\d\\d:\\d\\d)\t1\t.*");
      std::vector<std::string> hhmm;
      std::smatch m;
      for (const std::string& l : ReadLines(journal)) {
        if (std::regex_match(l, m, run)) hhmm.push_back(m[1]);
      }
      return hhmm;
    };
    Eventually([&] { return started().size() >= want.size(); });
    EXPECT_EQ(want, started()) << ReadFile(journal);
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(want, got);
    const std::string out = dir.work + "/missed.out";
    ASSERT_EQ(0, Wait(Spawn({SCHEDULERCTL_BIN, dir.home, "log", "--missed"}, out, out, dir.work)));
    EXPECT_NE(std::string::npos, ReadFile(out).find("\n2026-12-04 10:15  1  "))
        << ReadFile(out);
    EXPECT_NE(std::string::npos, ReadFile(out).find("\n2026-12-03 10:15  1  "));
  }
}
