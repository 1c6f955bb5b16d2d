// The unit-of-work log seen from outside, where the power-cut test does not
// reach: a writer really killed inside its unit, with a reader that follows,
// and a log of the first format. Every unit cut at each of its changes, or
// failing at each of its calls, is in tests/tools/power_cut_test.cpp.
#include "s3/cs3journal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/s3/io_testing.h"

namespace {

const std::string kThree =
    Rec("1", "Name=first\n") + Rec("2", "Name=second\n") + Rec("3", "Name=third\n");
const std::string kChanged =
    Rec("1", "Name=changed\n") + kThree.substr(Rec("1", "Name=first\n").size());
const std::string kAppended = kThree + Rec("4", "Name=new\n");
const std::string kNew = Rec("1", "Name=new\n");

// Every file below data/ except the temporary directory, by path relative
// to data/; with `dirs` also every directory (kDir).
using Tree = std::map<std::string, std::string>;
Tree Snapshot(const TempHome& home, bool dirs) {
  return ::Snapshot(home.Data(""), dirs, "tmp");
}

// The files every unit starts from.
void Seed(const TempHome& home) {
  PutFile(home.Data("a"), kThree);
  PutFile(home.Data("b"), kThree);
  PutFile(home.Data("d"), kThree);
}

// The record objects a unit works on; they outlive its accessor.
struct Objects {
  TestRecord a{"a"}, b{"b"}, d{"d"}, created{"n/o/c"};
  Objects() {
    for (TestRecord* r : {&b, &d, &created}) r->name = "new";
    a.name = "changed";
  }
};

// A writer inside its unit: its log is live while it lives and dead once it is
// killed, and a reader that follows reads the state before the unit, the
// whole unit put back first.
TEST(CS3JournalTest, ReaderAfterAKilledWriterReadsTheStateBefore) {
  TempHome home;
  Seed(home);
  const Tree before = Snapshot(home, true);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t pid = fork();
  if (pid == 0) {
    Objects o;
    CS3DataIO* io = new CS3DataIO;  // never released
    if (io->Mod(o.a) < 0 || io->Add(o.b) < 0 || io->AddOnly(o.created) < 0 || io->Del(o.d) < 0 ||
        write(ready[1], "x", 1) != 1) {
      _exit(3);
    }
    pause();
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  for (bool live : {true, false}) {
    std::vector<S3JournalInfo> logs;
    ASSERT_EQ(s3JournalList(home.Data("tmp").c_str(), &logs), 0);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0].live, live);
    EXPECT_EQ(logs[0].pid, pid);
    EXPECT_EQ(logs[0].files, (std::vector<std::string>{"a", "b", "n/o/c", "d"}));
    if (live) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  TestRecord probe("b");
  ASSERT_EQ(CS3DataIO().Get(probe), 0);
  EXPECT_EQ(probe.name, "first");
  EXPECT_EQ(Snapshot(home, true), before);
  EXPECT_TRUE(home.TempFiles().empty());
}

// A pid that no process has: a child that ended at once.
pid_t DeadPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// One entry of a log in the first format: a text line ending in its
// checksum (FNV-1a over the line before it).
std::string V1Entry(char kind, int tag, unsigned long long a, unsigned long long b,
                    const std::string& p1, const std::string& p2) {
  std::string line = std::string(1, kind) + " " + std::to_string(tag) + " " + std::to_string(a) +
                     " " + std::to_string(b) + " " + std::to_string(p1.size()) + ":" + p1 + " " +
                     std::to_string(p2.size()) + ":" + p2;
  unsigned long long h = 1469598103934665603ull;
  for (unsigned char c : line) h = (h ^ c) * 1099511628211ull;
  char sum[24];
  snprintf(sum, sizeof sum, " %016llx\n", h);
  return line + sum;
}

// A log in the first format, as a unit of the earlier release leaves it when
// it is killed after each kind of change, is still recovered; its created
// file is known by its name (the device number it carries may be from before
// a reboot).
TEST(CS3JournalTest, LogOfTheFirstFormatIsRecovered) {
  TempHome home;
  Seed(home);
  const Tree before = Snapshot(home, true);
  const std::string dead = std::to_string(DeadPid());
  const std::string copyA = "tmp/temp" + dead + ".1", copyD = "tmp/temp" + dead + ".2";
  PutFile(home.Data(copyA), kThree);
  PutFile(home.Data(copyD), kThree);
  PutFile(home.Data("a"), kChanged);
  PutFile(home.Data("b"), kAppended);
  PutFile(home.Data("n/o/c"), kNew);
  unlink(home.Data("d").c_str());
  PutFile(home.Data("tmp/journal" + dead + ".1"),
          "s3journal 1\n" + V1Entry('B', 1, 0, 0, "a", copyA) +
              V1Entry('A', 2, kThree.size(), 0, "b", "") + V1Entry('C', 3, 0, 0, "n/o/c", "n") +
              V1Entry('N', 3, 987654321, 1, "n/o/c", "") + V1Entry('D', 4, 0, 0, "d", copyD));
  std::vector<S3JournalInfo> logs;
  ASSERT_EQ(s3JournalList(home.Data("tmp").c_str(), &logs), 0);
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_EQ(logs[0].files, (std::vector<std::string>{"a", "b", "n/o/c", "d"}));
  EXPECT_EQ(s3JournalRecover(logs[0].path.c_str(), nullptr), 0);
  EXPECT_EQ(Snapshot(home, true), before);
  EXPECT_TRUE(home.TempFiles().empty());
}

}  // namespace
