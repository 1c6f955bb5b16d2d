// The unit-of-work log seen from outside: a unit whose write, truncation,
// creation or flush fails at any one call leaves every record file as it was,
// and a unit whose writer dies is undone by a recovery or by the next writer
// of one of its files.
#include "s3/cs3journal.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/comfile.h"
#include "tests/s3/io_testing.h"

namespace {

const std::string kThree =
    Rec("1", "Name=first\n") + Rec("2", "Name=second\n") + Rec("3", "Name=third\n");
const std::string kChanged =
    Rec("1", "Name=changed\n") + kThree.substr(Rec("1", "Name=first\n").size());
const std::string kAppended = kThree + Rec("4", "Name=new\n");
const std::string kNew = Rec("1", "Name=new\n");
const std::string kIndex = Rec("1", "_lastid=3\n_item=1\n_item=3\n");
const std::string kDir = "<dir>";
const std::string kGone = "<missing>";

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
  PutFile(home.Data("m/index"), kIndex);
  PutFile(home.Data("m/3/info"), Rec("3", "Name=three\n"));
}

// The record objects a unit works on; they outlive its accessor.
struct Objects {
  TestRecord a{"a"}, b{"b"}, d{"d"}, index{"m/index"}, info{"m/3/info"};
  TestRecord created{"n/o/c"}, missing{"c"};
  Objects() {
    for (TestRecord* r : {&a, &b, &d, &index, &info, &created, &missing}) r->name = "new";
    a.name = "changed";
  }
};
using Unit = std::function<int(CS3DataIO&, Objects&)>;

// Fails the n-th guarded call of one kind.
struct Fault {
  ComIoOp op;
  int n;
  int err;
  int seen;
  bool hit;
} g_fault;
int FailNth(const ComIoCall& call) {
  if (call.op != g_fault.op || ++g_fault.seen != g_fault.n) return 0;
  g_fault.hit = true;
  return g_fault.err;
}
const ComIoHooks kFailNth = {FailNth, nullptr};

TEST(CS3JournalTest, AnySingleFaultLeavesTheFilesAsTheyWere) {
  struct Case {
    const char* what;
    Unit unit;
    std::vector<std::pair<std::string, std::string>> after;  // changed files
  };
  const Case cases[] = {
      {"rewrite", [](CS3DataIO& io, Objects& o) { return io.Mod(o.a); }, {{"a", kChanged}}},
      {"append", [](CS3DataIO& io, Objects& o) { return io.Add(o.b); }, {{"b", kAppended}}},
      {"creation in new directories",
       [](CS3DataIO& io, Objects& o) { return io.AddOnly(o.created); },
       {{"n/o/c", kNew}}},
      {"rewrite of a missing file",
       [](CS3DataIO& io, Objects& o) { return io.Mod(o.missing); },
       {{"c", kNew}}},
      {"two files",
       [](CS3DataIO& io, Objects& o) {
         int r = io.Mod(o.a);
         return r < 0 ? r : io.Add(o.b);
       },
       {{"a", kChanged}, {"b", kAppended}}},
      {"deletion", [](CS3DataIO& io, Objects& o) { return io.Del(o.d); }, {{"d", kGone}}},
      {"index entry and whole directory",
       [](CS3DataIO& io, Objects& o) { return io.Del(o.index, o.info, 3, true); },
       {{"m/index", Rec("1", "_lastid=3\n_item=1\n")}, {"m/3/info", kGone}}},
  };
  const std::pair<ComIoOp, int> faults[] = {{kComIoWrite, ENOSPC},  {kComIoTruncate, EIO},
                                            {kComIoSync, EIO},      {kComIoSyncDir, EIO},
                                            {kComIoCreate, ENOSPC}, {kComIoMkdir, ENOSPC}};
  for (const Case& c : cases) {
    for (const auto& [op, err] : faults) {
      for (int n = 1;; ++n) {
        SCOPED_TRACE(std::string(c.what) + ", op " + std::to_string(op) + ", call " +
                     std::to_string(n));
        ASSERT_LT(n, 200) << "the unit never stops reaching the faulty call";
        TempHome home;
        Seed(home);
        const Tree before = Snapshot(home, false);
        const Tree beforeWithDirs = Snapshot(home, true);
        Tree after = before;
        for (const auto& [name, content] : c.after) {
          if (content == kGone) {
            after.erase(name);
          } else {
            after[name] = content;
          }
        }
        g_fault = {op, n, err, 0, false};
        comSetIoHooks(&kFailNth);
        bool failed = false;
        {
          Objects objects;
          CS3DataIO io;
          const int result = c.unit(io, objects);
          failed = result < 0 || io.GetError() != 0;
          io.DisConnect();
        }
        comSetIoHooks(nullptr);
        // All or nothing, and nothing left behind. A reported failure leaves
        // every file as it was; a fault in the release turns the commit into
        // a rollback that the release has no way to report; a fault that a
        // retry got past may end in the new state.
        EXPECT_TRUE(home.TempFiles().empty());
        const Tree now = Snapshot(home, false);
        if (failed) {
          EXPECT_EQ(Snapshot(home, true), beforeWithDirs) << "directories made are removed too";
        } else if (now != after) {
          EXPECT_EQ(now, before);
        }
        if (!g_fault.hit) {
          EXPECT_FALSE(failed);
          EXPECT_EQ(now, after);
          break;
        }
      }
    }
  }
}

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
