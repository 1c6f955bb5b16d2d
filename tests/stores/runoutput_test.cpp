// The home's output choice and the kept runs: bound per run and per module.
#include "stores/runoutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/S3ComPath.h"
#include "tests/common/fake_clock.h"
#include "tests/common/temp_dir.h"

namespace {

class RunOutputTest : public ::testing::Test {
 protected:
  RunOutputTest() : clock_(1796375700), scoped_(&clock_) {  // 2026-12-04 09:15:00 UTC
    S3ComPathHomeSave(dir_.c_str());
    std::filesystem::create_directories(dir_.Path("data/scheduler"));
  }
  // One run of module `id` that writes `text` and ends with exit status
  // `code`, a minute after the one before; its file.
  std::string Run(int id, const std::string& text, int code = 0) {
    clock_.Advance(60);
    char name[kRunOutputNameSize];
    int fd = runOutputOpen(id, "10", "15", name);
    EXPECT_GE(fd, 0) << name << ": " << strerror(errno);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_EQ(runOutputEnd(name, code << 8), 0) << name;
    std::vector<RunOutputRun> runs;
    EXPECT_EQ(runOutputRuns(id, &runs), 0);
    return runs.empty() ? "" : ReadFile(runs.back().path);
  }

  TempDir dir_;
  FakeClock clock_;
  ScopedClock scoped_;
};

// One word, else console; a FIFO there never blocks; a new choice replaces
// the file whole.
TEST_F(RunOutputTest, TheChoiceIsOneWordAndConsoleOtherwise) {
  const std::string file = dir_.Path("data/scheduler/output-mode");
  EXPECT_EQ(runOutputMode(), RunOutputMode::kConsole);
  for (const auto& [text, mode] : {std::pair("keep\n", RunOutputMode::kKeep),
                                   {"journal", RunOutputMode::kJournal},
                                   {"kept\n", RunOutputMode::kConsole}}) {
    WriteFile(file, text);
    EXPECT_EQ(runOutputMode(), mode) << text;
  }
  unlink(file.c_str());
  ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
  EXPECT_EQ(runOutputMode(), RunOutputMode::kConsole);
  unlink(file.c_str());
  ASSERT_EQ(runOutputSetMode(RunOutputMode::kJournal), 0);
  EXPECT_EQ(Snapshot(dir_.Path("data/scheduler")), (std::map<std::string, std::string>{
                                                       {"output-mode", "journal\n"}}));
}

// 25 runs of one module keep the last 10, oldest first, each named after its
// start, due minute, end and result.
TEST_F(RunOutputTest, TheLastTenRunsOfAModuleAreKept) {
  for (int n = 1; n <= 25; ++n) Run(3, "run " + std::to_string(n) + "\n", n % 4 == 0 ? 1 : 0);
  Run(4, "another module\n");
  std::vector<RunOutputRun> runs;
  ASSERT_EQ(runOutputRuns(3, &runs), 0);
  ASSERT_EQ(runs.size(), 10u);
  for (size_t i = 0; i < runs.size(); ++i) {
    const int n = 16 + static_cast<int>(i);
    EXPECT_EQ(ReadFile(runs[i].path), "run " + std::to_string(n) + "\n");
    EXPECT_EQ(runs[i].due, "10:15");
    EXPECT_EQ(runs[i].result, n % 4 == 0 ? "status 1" : "status 0");
    EXPECT_EQ(runs[i].Failed(), n % 4 == 0);
  }
  EXPECT_NE(runs[0].path.find("/data/scheduler/output/3/20261204T093100Z.due-1015.end-"),
            std::string::npos) << runs[0].path;
  std::vector<int> ids;
  ASSERT_EQ(runOutputModules(&ids), 0);
  EXPECT_EQ(ids, (std::vector<int>{3, 4}));
  struct stat st;
  ASSERT_EQ(stat(runs[0].path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0007, 0u) << "not readable by others";
}

// A file over the bound keeps at most its last 256 kB behind the line that
// says how much was cut: from where they begin when no line starts in them
// (a line start is the daemon test's case); a cut that would save less than
// its line leaves the file whole.
TEST_F(RunOutputTest, ARunKeepsItsLast256kB) {
  const std::string oneLine(300 * 1024, 'x'), justOver(kRunOutputKeptBytes + 10, 'y');
  const std::string cut = std::to_string(oneLine.size() - kRunOutputKeptBytes);
  EXPECT_EQ(Run(1, oneLine), "[" + cut + " bytes cut from the start of this output]\n" +
                                 oneLine.substr(oneLine.size() - kRunOutputKeptBytes));
  EXPECT_EQ(Run(1, justOver), justOver);
  EXPECT_EQ(Run(1, "short\n"), "short\n");
}

}  // namespace
