// The daemon end to end: the real executable under faketime, sped up so that
// a faked minute passes in three real seconds, with modules that are small
// shell scripts logging their arguments. Every wake-up a test waits for lies
// seconds ahead; a daemon held off the CPU past its target would still run
// it, late.
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stores/cvelschedulersts.h"
#include "stores/runjournal.h"
#include "tests/common/temp_dir.h"
#include "tests/scheduler/scheduler_testing.h"

namespace {

class DaemonTest : public ::testing::Test {
 protected:
  DaemonTest() : home_(dir_.home), work_(dir_.work), log_(dir_.root.Path("log")) {}
  void SetUp() override {
    if (!HaveFaketime()) GTEST_SKIP() << "faketime missing";
  }

  // Another program takes the data home over: the daemon ends at its next
  // wake-up (with interval 1, within three seconds).
  static void Stop(Daemon& daemon) {
    EXPECT_EQ(0, CvelSchedulerSts().Mod(1));
    EXPECT_EQ(0, daemon.Wait());
  }

  DaemonHome dir_;
  const std::string& home_;
  const std::string& work_;
  const std::string log_;
};

// A module that runs at 11:00 ends twenty faked seconds later, while the
// daemon sleeps towards 12:00: its end cuts that sleep short, so its exit line
// comes at once, not at 12:00 (three real minutes on). An alarm that cuts the
// sleep short is shown with the tools that file it.
TEST_F(DaemonTest, ChildEndCutsTheSleepShort) {
  WriteScript(work_ + "/mail", "echo \"$0|$1|$2|$3\" >> " + log_ + "\nsleep 20");
  AddModule(work_ + "/mail", {"1100"});
  const std::string journal = home_ + "/data/" + kRunJournalFile;
  WriteFile(journal, "");
  Daemon daemon(home_, "60", work_, "10:59:00");
  EXPECT_TRUE(Eventually([&] { return !ReadLines(log_).empty(); }));
  EXPECT_EQ(std::vector<std::string>{work_ + "/mail|" + home_ + "|11|00"}, ReadLines(log_));
  EXPECT_TRUE(Eventually([&] { return ReadFile(journal).find("\texit\t") != std::string::npos; }))
      << ReadFile(journal);
  // Asleep towards 12:00 again: stopped by the fixture rather than waited for.
}

// The run journal of a daemon that starts four modules at 10:15 and is then
// taken over: one line per event (times and pids matched by pattern, a run's
// child pid checked against its exit line). The journal starts at its
// rotation size, so it is rotated before the first line. A module whose
// program is found nowhere is skipped without a line, and the daemon prints
// nothing, whatever its modules do.
TEST_F(DaemonTest, RunJournalRecordsEachStartAndEnd) {
  struct Case {
    const char* name;
    const char* body;  // nullptr: the program does not exist
    const char* result;
  };
  const Case cases[] = {{"ok", "exit 0", "status 0"},
                        {"three", "exit 3", "status 3"},
                        {"missing", nullptr, "status 1"},
                        {"killed", "kill -9 $$", "signal 9"}};
  const std::string journal = home_ + "/data/scheduler/runs.log";
  const std::string full(kRunJournalRotateBytes, 'x');
  const std::string time = "2026-12-04 10:1\\d:\\d\\d\t";
  std::vector<std::string> runs;
  std::vector<std::string> exits;
  for (const Case& c : cases) {
    std::string program = work_ + "/" + c.name;
    if (c.body != nullptr) WriteScript(program, c.body);
    std::string id = std::to_string(AddModule(program, {"1015"}));
    runs.push_back(time + "run\t10:15\t" + id + "\t(\\d+)\t" + program);
    exits.push_back(time + "exit\t(\\d+)\t" + id + "\t" + c.result + "\t\\d+");
  }
  AddModule("nowhere", {"1015"});
  WriteFile(journal, full);

  Daemon daemon(home_, "1", work_);
  const std::string pid = std::to_string(daemon.Pid());
  Eventually([&] { return ReadLines(journal).size() >= 9; });
  Stop(daemon);
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
  EXPECT_EQ("", ReadFile(work_ + "/daemon.out"));
}

}  // namespace
