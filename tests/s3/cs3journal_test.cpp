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

// How a child writer ends its unit.
enum Death { kFinish, kExit, kKill };

TEST(CS3JournalTest, DeadWritersUnitIsUndone) {
  struct Case {
    const char* what;
    int steps;        // steps made before the end
    bool closeFirst;  // then Close(a): its change is kept on its own
    Death death;
    const char* probe;                // a file the log names, read afterwards
    std::vector<std::string> logged;  // what the dead unit's log would put back
  };
  const Case cases[] = {
      {"after the rewrite", 1, false, kKill, "a", {"a"}},
      {"after the append", 2, false, kExit, "b", {"a", "b"}},
      {"after the creation", 3, false, kKill, "a", {"a", "b", "n/o/c"}},
      {"after the deletion", 4, false, kExit, "b", {"a", "b", "n/o/c", "d"}},
      {"after closing the first file", 4, true, kKill, "b", {"b", "n/o/c", "d"}},
      {"finished", 4, false, kFinish, nullptr, {}},
  };
  for (const Case& c : cases) {
    for (bool byReader : {false, true}) {
      if (byReader && c.probe == nullptr) continue;
      SCOPED_TRACE(std::string(c.what) + (byReader ? ", undone by a reader" : ", recovered"));
      TempHome home;
      Seed(home);
      const Tree before = Snapshot(home, true);
      pid_t pid = fork();
      if (pid == 0) {
        Objects o;
        CS3DataIO* io = new CS3DataIO;  // never released by a dying child
        const std::function<int()> steps[] = {
            [&] { return io->Mod(o.a); }, [&] { return io->Add(o.b); },
            [&] { return io->AddOnly(o.created); }, [&] { return io->Del(o.d); }};
        for (int i = 0; i < c.steps; ++i) {
          if (steps[i]() < 0) _exit(3);
        }
        if (c.closeFirst && io->Close(o.a) != 0) _exit(3);
        if (c.death == kExit) _exit(0);
        if (c.death == kKill) raise(SIGKILL);
        delete io;
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      if (c.death == kKill) {
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
      } else {
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
      }
      Tree want = before;
      if (c.death == kFinish || c.closeFirst) want["a"] = kChanged;
      if (c.death == kFinish) {
        want["b"] = kAppended;
        want["n"] = want["n/o"] = kDir;
        want["n/o/c"] = kNew;
        want.erase("d");
      }
      std::vector<S3JournalInfo> logs;
      ASSERT_EQ(s3JournalList(home.Data("tmp").c_str(), &logs), 0);
      if (c.death == kFinish) {
        EXPECT_TRUE(logs.empty());
      } else {
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_FALSE(logs[0].live);
        EXPECT_EQ(logs[0].pid, pid);
        EXPECT_EQ(logs[0].files, c.logged);
        if (byReader) {
          // A reader that follows the killed writer reads the file as it was
          // before the unit: it puts the whole unit back first.
          TestRecord probe(c.probe);
          ASSERT_EQ(CS3DataIO().Get(probe), 0);
          EXPECT_EQ(probe.name, "first");
        } else {
          EXPECT_EQ(s3JournalRecover(logs[0].path.c_str(), nullptr), 0);
          EXPECT_EQ(s3JournalRecover(logs[0].path.c_str(), nullptr), 0);  // nothing left
        }
      }
      EXPECT_EQ(Snapshot(home, true), want);
      EXPECT_TRUE(home.TempFiles().empty());
    }
  }
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

// Recovery must finish what it cannot tell from done: a repair killed while it
// puts a deleted file back, and a log (in the first format) whose created
// file carries a device number from before a reboot.
TEST(CS3JournalTest, RecoveryFinishesWhatAnInterruptedOneLeft) {
  struct Case {
    const char* what;
    std::function<void(TempHome&)> crash;  // leaves a dead unit's log behind
  };
  const Case cases[] = {
      {"a repair killed at its first write",
       [](TempHome&) {
         for (int step = 0; step < 2; ++step) {
           const pid_t pid = fork();
           if (pid == 0) {
             if (step == 0) {
               Objects o;
               CS3DataIO* io = new CS3DataIO;  // never released
               if (io->Del(o.index, o.info, 3, true) != 0) _exit(3);
             } else {
               std::vector<S3JournalInfo> logs;
               s3JournalList(cPathTemp, &logs);
               static const ComIoHooks kill = {[](const ComIoCall& call) {
                                                 if (call.op == kComIoWrite) raise(SIGKILL);
                                                 return 0;
                                               },
                                               nullptr};
               comSetIoHooks(&kill);
               for (const S3JournalInfo& log : logs) s3JournalRecover(log.path.c_str(), nullptr);
             }
             raise(SIGKILL);
           }
           waitpid(pid, nullptr, 0);
         }
       }},
      {"a created file after a reboot",
       [](TempHome& home) {
         PutFile(home.Data("n/o/c"), kNew);
         PutFile(home.Data("tmp/journal" + std::to_string(DeadPid()) + ".1"),
                 "s3journal 1\n" + V1Entry('C', 1, 0, 0, "n/o/c", "n") +
                     V1Entry('N', 1, 987654321, 1, "n/o/c", ""));
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    Seed(home);
    const Tree before = Snapshot(home, true);
    c.crash(home);
    std::vector<S3JournalInfo> logs;
    ASSERT_EQ(s3JournalList(home.Data("tmp").c_str(), &logs), 0);
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(s3JournalRecover(logs[0].path.c_str(), nullptr), 0);
    EXPECT_EQ(Snapshot(home, true), before);
    EXPECT_TRUE(home.TempFiles().empty());
  }
}

}  // namespace
