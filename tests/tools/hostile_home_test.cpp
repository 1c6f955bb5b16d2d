// A data home whose owner planted symbolic links: every command of
// schedulerctl, the doctor's repair, and a daemon's pass and stop, run with a
// link at each kind of file and folder of the home that points out of it.
// Nothing outside the home changes, nothing crashes, and a command that needs
// the linked file fails and names the link.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"
#include "tests/tools/ctl_testing.h"

namespace {

namespace fs = std::filesystem;

// What a link below the data home may stand for: each kind of record file
// and folder, by path below HOME/data.
const char* const kTargets[] = {
    "scheduler/module/index",
    "scheduler/module/1/info",
    "scheduler/module/1",
    "scheduler/module",
    "scheduler/10/15/1",
    "scheduler/10/15",
    "scheduler/alarm/2030/0101/10/00/1",
    "scheduler/alarm/2030",
    "scheduler/alarm",
    "scheduler/controle/status",
    "scheduler/controle",
    "scheduler/schedulersts",
    "scheduler/status.1",
    "scheduler/output",
    "scheduler/output-mode",
    "scheduler",
    "tmp",
};

// The home as the tests start from: two modules, module 1 at 10:15 and with
// an alarm and a kept run, a run journal, a status record as a daemon leaves
// it, and the per-process status file of the daemon it names.
void Populate(Ctl& ctl) {
  ctl.Setup({{"one", "/bin/true", {"10:15"}}, {"two", "/bin/true"}});
  ASSERT_EQ(ctl.Run({"alarm", "add", "1", "2030-01-01 10:00", "due"}).status, 0);
  ASSERT_EQ(ctl.Run({"log", "--enable"}).status, 0);
  PutFile(ctl.Data("scheduler/schedulersts"), "object 1\npid=1\nstatus=0\nend\n");
  PutFile(ctl.Data("scheduler/status.1"), "");
  PutFile(ctl.Data("scheduler/output/1/20300101T090000Z.due-1000.end-20300101T090001Z.status-1"),
          "failed\n");
}

// Copies `target` (below HOME/data) out of the home to root/out/victim and
// puts a link to the copy in its place, as the home's owner could. (A copy,
// not a move: a file that a running daemon holds open while it is moved out
// would take that daemon's write with it, through no link.)
void Plant(const Ctl& ctl, const std::string& target) {
  const std::string victim = ctl.root.Path("out/victim");
  fs::create_directories(ctl.root.Path("out"));
  fs::copy(ctl.Data(target), victim, fs::copy_options::recursive);
  fs::remove_all(ctl.Data(target));
  fs::create_symlink(victim, ctl.Data(target));
}

constexpr char kRefused[] = " is a symbolic link; nothing under the data home may be one";

TEST(HostileHomeTest, NoCommandReachesOutThroughALink) {
  struct Command {
    Args args;
    // Targets the command cannot do without: with a link there it fails
    // (exit status 1) and its message names the link.
    std::vector<std::string> needs;
  };
  const std::string table = "scheduler/module/index", record = "scheduler/module/1/info",
                    entry = "scheduler/10/15/1", alarm = "scheduler/alarm/2030/0101/10/00/1",
                    next = "scheduler/controle/status", sts = "scheduler/schedulersts";
  const Command commands[] = {
      {{"module", "add", "three", "/bin/true"}, {table, "scheduler/module", "scheduler"}},
      {{"module", "remove", "1"}, {table, record, "scheduler/module/1", entry, alarm}},
      {{"module", "list", "--json"}, {table, record}},
      {{"schedule", "add", "1", "10:15", "11:30"}, {table, entry}},
      {{"schedule", "remove", "1", "10:15"}, {entry, "scheduler/10/15"}},
      {{"schedule", "list"}, {"scheduler/10/15"}},
      {{"alarm", "add", "1", "2030-01-01 10:00", "again"}, {alarm, next}},
      {{"alarm", "remove", "1", "2030-01-01 10:00"}, {alarm, "scheduler/alarm/2030"}},
      {{"alarm", "list", "--all"}, {"scheduler/alarm", "scheduler/alarm/2030"}},
      {{"alarm", "prune", "--before", "2026-01-01"}, {"scheduler/alarm", "scheduler/alarm/2030"}},
      {{"status", "--json"}, {sts}},
      {{"next", "--interval", "15", "--count", "3"}, {table}},
      {{"metrics"}, {table}},
      {{"stop"}, {sts}},
      {{"log", "--disable"}, {}},
      {{"log", "--output", "1"}, {"scheduler/output"}},
      {{"output", "console"}, {"scheduler/output-mode", "scheduler"}},
      {{"run", "1"}, {record}},
      {{"doctor", "--repair"}, {}},
  };
  for (const char* target : kTargets) {
    for (const Command& c : commands) {
      SCOPED_TRACE(std::string(target) + ": " + c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
      Ctl ctl;
      Populate(ctl);
      Plant(ctl, target);
      const auto outside = Snapshot(ctl.root.Path("out"));
      Result r = ctl.Run(c.args);
      EXPECT_EQ(Snapshot(ctl.root.Path("out")), outside) << "outside the home";
      EXPECT_LE(r.status, 2) << r.err;  // no crash
      EXPECT_TRUE(fs::is_symlink(ctl.Data(target))) << "the link is the operator's to judge";
      const bool needed =
          std::find(c.needs.begin(), c.needs.end(), target) != c.needs.end() ||
          (std::string(target) == "scheduler" && !c.needs.empty());
      if (!needed) continue;
      EXPECT_EQ(r.status, 1) << r.out << r.err;
      EXPECT_NE(r.err.find(ctl.Data(target) + kRefused), std::string::npos) << r.err;
    }
  }
}

// The daemon on a home with a link: at its start, or planted while it runs
// (then met at its next pass and at its stop). It never writes through the
// link and ends in order or with a failure, never by a crash.
TEST(HostileHomeTest, TheDaemonNeverWritesThroughALink) {
  if (!HaveFaketime()) GTEST_SKIP() << "faketime is not installed";
  struct Case {
    const char* target;
    bool whileRunning;
  };
  const Case cases[] = {
      {"scheduler/schedulersts", false},  {"scheduler/controle/status", false},
      {"scheduler/module/index", false},  {"scheduler/module/1/info", false},
      {"scheduler/alarm", false},         {"tmp", false},
      {"scheduler/schedulersts", true},   {"scheduler/controle/status", true},
      {"scheduler/module/1/info", true},  {"scheduler/output", false},
      {"scheduler/output", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.target) + (c.whileRunning ? " (while running)" : ""));
    Ctl ctl;
    Populate(ctl);
    if (!c.whileRunning) Plant(ctl, c.target);
    Daemon daemon(ctl.home, "1", ctl.work, "10:14:55", "x60");
    if (c.whileRunning) {
      ASSERT_TRUE(Eventually([&] {
        return ReadFile(ctl.Data("scheduler/runs.log")).find("\tstarted\t") != std::string::npos;
      }));
      Plant(ctl, c.target);
    }
    const auto outside = Snapshot(ctl.root.Path("out"));
    // Past 10:15 and 10:16 on the daemon's clock, then the orderly stop.
    usleep(3 * 1000 * 1000);
    Result stop = ctl.Run({"stop", "--wait", "--timeout", "10"}, daemon.FaketimeArg());
    const int status = daemon.Wait();
    EXPECT_TRUE(status == 0 || status == 1) << status << " " << stop.err;
    EXPECT_EQ(Snapshot(ctl.root.Path("out")), outside);
  }
}

}  // namespace
