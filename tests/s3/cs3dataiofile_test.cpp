#include "s3/cs3dataiofile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/fake_clock.h"
#include "tests/s3/io_testing.h"

namespace {

const std::string kRest = Rec("2", "Name=second\n") + Rec("3", "Name=third\n");
const std::string kThree = Rec("1", "Name=first\n") + kRest;
constexpr bool kMissing = false;

// Each file is read as the case says, then rewritten and used as the index
// of a deletion by units that are abandoned: it stays as it was, whatever it
// holds, and no backup copy is left.
TEST(CS3DataIOFileTest, ReadsAndAbandonedUnitsLeaveTheFileAsItWas) {
  const std::string three79 = Rec("3", "Name=a\n") + Rec("7", "Name=b\n") + Rec("7", "Name=c\n");
  std::string random;
  for (unsigned i = 0, seed = 1; i < 200000; ++i) {
    random.push_back(static_cast<char>((seed = seed * 1103515245 + 12345) >> 16));
  }
  const std::string big(3 << 20, 'x');
  enum Kind { kAbsent, kFile, kDirectory, kFifo };
  struct Case {
    const char* what;
    Kind kind;
    std::string content;
    int id;  // 0: Get(obj), else Get(obj, id)
    int want, wantId;
    std::string wantName;
  };
  const Case cases[] = {
      {"missing file", kAbsent, "", 0, kResNoEntry, 0, ""},
      {"empty file", kFile, "", 0, kResNoEntry, 0, ""},
      {"random bytes", kFile, random, 0, kResNoEntry, 0, ""},
      {"first of several", kFile, Rec("5", "Name=a\n") + Rec("2", "Name=b\n"), 0, 0, 5, "a"},
      // The second record 7 would be collected too if reading went on.
      {"by id, stops after it", kFile, three79, 7, 0, 7, "b"},
      {"id absent", kFile, Rec("3", "Name=a\n"), 7, kResNoEntry, 7, ""},
      {"no end line, by id", kFile, "object 4\nName=open\n", 4, 0, 4, "open"},
      {"CR LF lines", kFile, "object 6\r\nName=crlf\r\nend\r\n", 0, 0, 6, "crlf"},
      {"line of several megabytes", kFile, Rec("1", "Name=" + big + "\n"), 1, 0, 1, big},
      {"a directory", kDirectory, "", 0, kResIoOpenFailed, 0, ""},
      {"a FIFO", kFifo, "", 1, kResIoOpenFailed, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    const std::string path = home.Data("rec");
    if (c.kind == kFile) PutFile(path, c.content);
    if (c.kind == kDirectory) PutFile(path + "/inside", "i");
    if (c.kind == kFifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    }
    {
      ProbeIO io;
      TestRecord rec;
      rec.name = "stale";
      EXPECT_EQ(c.id == 0 ? io.Get(rec) : io.Get(rec, c.id), c.want);
      EXPECT_EQ(rec.GetID(), c.wantId);
      EXPECT_EQ(rec.name, c.wantName);
      EXPECT_EQ(io.OpenSlots(), c.want == 0 ? 1 : 0);
      if (c.want == 0 && c.id != 0) {
        EXPECT_EQ(io.Slot(rec.GetFd())->GetCount(), 1);
      }
      EXPECT_EQ(io.GetError(), 0);
    }
    {
      CS3DataIO io;  // a rewrite that the unit then abandons
      TestRecord rec;
      const int r = io.Mod(rec);
      if (c.kind == kDirectory || c.kind == kFifo) {
        EXPECT_EQ(r, kResIoOpenFailed);
      }
      io.SetError();
    }
    {
      CS3DataIO io;  // the file as the index of a deletion, abandoned
      TestRecord index, other("other");
      EXPECT_LE(io.Del(index, other, 1, false), 0);
      io.SetError();
    }
    if (c.kind == kFile || c.kind == kAbsent) {
      EXPECT_EQ(ReadFile(path), c.kind == kFile ? c.content : "<missing>");
    }
    if (c.kind == kDirectory) {
      EXPECT_EQ(ReadFile(path + "/inside"), "i");
    }
    EXPECT_TRUE(home.TempFiles().empty());
  }
  TempHome home;
  ProbeIO io;
  TestRecord noOpen;
  noOpen.noOpen = true;
  EXPECT_EQ(io.Get(noOpen), 0);
  EXPECT_EQ(noOpen.GetID(), -1);
  EXPECT_EQ(noOpen.reads, 1);
  EXPECT_EQ(io.Slot(noOpen.GetFd())->fd, -1);
}

// One record rewritten in place: the other records keep their bytes, the file
// ends right after the last one, and a failed or abandoned unit leaves the
// file as it was.
TEST(CS3DataIOFileTest, RecordRewrites) {
  struct Case {
    const char* what;
    bool present;
    std::string before;
    int id;  // 0: Mod(obj), else OpenMod(obj, id) and ModData
    std::string name;
    bool abandon;  // SetError before the release
    int want;
    std::string after;
    bool twoSlots = false;  // a second object of the file rewritten too
  };
  const Case cases[] = {
      {"new file", kMissing, "", 0, "n", false, 0, Rec("1", "Name=n\n")},
      {"grows by 5", true, kThree, 0, "first12345", false, 0,
       Rec("1", "Name=first12345\n") + kRest},
      {"shrinks", true, kThree, 0, "f", false, 0, Rec("1", "Name=f\n") + kRest},
      {"middle record", true, kThree, 2, "SECOND!", false, 0,
       Rec("1", "Name=first\n") + Rec("2", "Name=SECOND!\n") + Rec("3", "Name=third\n")},
      {"text without records is kept", true, "junk\n", 0, "n", false, 0,
       Rec("1", "Name=n\n") + "junk\n"},
      {"first record has ID 2", true, kRest, 0, "n", false, kResIoIdMismatch, kRest},
      {"abandoned", true, kThree, 0, "longer name", true, 0, kThree},
      // The second backup copy holds the first change, so the slots are
      // undone newest first.
      {"two slots of one file abandoned", true, kThree, 0, "one", true, 0, kThree, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    if (c.present) PutFile(home.Data("sub/rec"), c.before);
    {
      CS3DataIO io;
      TestRecord rec("sub/rec");
      rec.name = c.name;
      TestRecord again("sub/rec");
      again.name = "two";
      int r = c.id == 0 ? io.Mod(rec) : io.OpenMod(rec, c.id);
      if (c.id != 0 && r == 0) r = io.ModData(rec, c.id, nullptr);
      if (c.twoSlots && r == 0) r = io.Mod(again);
      EXPECT_EQ(r, c.want);
      EXPECT_EQ(io.GetError(), c.want);
      // While the file is open: its backup copies, and the unit's log once it changed.
      std::vector<std::string> temp = home.TempFiles();
      EXPECT_EQ(std::count_if(temp.begin(), temp.end(),
                              [](const std::string& n) { return n.rfind("temp", 0) == 0; }),
                c.twoSlots ? 2 : 1);
      if (c.abandon) io.SetError();
    }
    EXPECT_EQ(ReadFile(home.Data("sub/rec")), c.after);
    EXPECT_TRUE(home.TempFiles().empty());
  }
}

// Mod parses the file only up to record 1 before writing; steps that follow
// on the same open file see the whole file as a full read would show it.
TEST(CS3DataIOFileTest, StepsAfterModSeeTheWholeFile) {
  TempHome home;
  PutFile(home.Data("rec"), kThree);
  {
    ProbeIO io;
    TestRecord rec, target;
    rec.name = "first, longer";
    ASSERT_EQ(io.Mod(rec), 0);
    ASSERT_EQ(io.GetData(rec, &target), 0);  // the cursor is still on record 1
    EXPECT_EQ(target.name, "first, longer");
    EXPECT_EQ(io.Slot(0)->GetCount(), 3);
    EXPECT_EQ(io.Slot(0)->GetLastID(), 3);
    ASSERT_EQ(rec.getCurrent(io, rec, target, 3), 0);
    rec.name = "3rd";
    EXPECT_EQ(io.ModData(rec, 3, nullptr), 0);  // in place, after the grown record 1
  }
  EXPECT_EQ(ReadFile(home.Data("rec")),
            Rec("1", "Name=first, longer\n") + Rec("2", "Name=second\n") + Rec("3", "Name=3rd\n"));
  // Without its backup copy the rest cannot be parsed: every later step on
  // the file fails, and it can still be closed.
  CS3DataIO io;
  TestRecord rec, target;
  ASSERT_EQ(io.Mod(rec), 0);
  for (const std::string& name : home.TempFiles()) unlink(home.Data("tmp/" + name).c_str());
  EXPECT_EQ(io.GetData(rec, &target), kResIoOpenFailed);
  EXPECT_EQ(io.ModData(rec, 1, nullptr), kResIoOpenFailed);
  EXPECT_EQ(io.GetError(), kResIoOpenFailed);
  EXPECT_EQ(io.Close(rec), 0);
}

// A write that fails half way (stopped by the file size limit) is recorded,
// and the release puts back the bytes the file had.
TEST(CS3DataIOFileTest, RefusalsAreRecordedByTheStatedRules) {
  struct Case {
    const char* what;
    bool secondFile;  // the refusing object is the unit's second file
    int pre, set, get;
    int wantError;
  };
  const Case cases[] = {
      {"PreSet on slot 0: not recorded", false, -7, 0, 0, 0},
      {"PreSet on slot 1: recorded", true, -7, 0, 0, -7},
      {"SetFieldValue on slot 0: recorded", false, 0, -8, 0, -8},
      {"GetFieldValue: recorded", false, 0, 0, -9, -9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    PutFile(home.Data("a"), kThree);
    PutFile(home.Data("b"), kThree);
    CS3DataIO io;
    TestRecord first("a"), rec("b");
    if (c.secondFile) {
      ASSERT_EQ(io.Get(first), 0);
    }
    rec.preSetResult = c.pre;
    rec.setResult = c.set;
    rec.getResult = c.get;
    if (c.get != 0) {
      EXPECT_EQ(io.Get(rec), c.get);
    } else {
      ASSERT_EQ(io.OpenAdd(rec), 0);
      EXPECT_EQ(io.ModData(rec, 1, nullptr), c.pre != 0 ? c.pre : c.set);
    }
    EXPECT_EQ(io.GetError(), c.wantError);
  }
}

// A writer that waits for the lock of a new file while the file's creator
// rolls it back (deletes it) must not write into the deleted file: it opens
// the path again.
TEST(CS3DataIOFileTest, WaiterOnARolledBackNewFileWritesToThePath) {
  TempHome home;
  CS3DataIO* creator = nullptr;  // lives in the child
  TestRecord abandoned;
  HoldingChild child([&] { return (creator = new CS3DataIO)->Mod(abandoned) == 0; },
                     [&] {
                       creator->SetError();  // the release deletes the file it created
                       delete creator;
                     });
  ASSERT_TRUE(child.held());
  FakeClock clock;
  bool released = false;
  // The first wait for the lock is where the creator lets go.
  clock.OnSleep([&](unsigned) {
    if (released) return;
    released = true;
    EXPECT_TRUE(child.End());  // the creator rolled back and exited
  });
  {
    ScopedClock installed(&clock);
    CS3DataIO io;
    TestRecord rec;
    rec.name = "kept";
    EXPECT_EQ(io.Mod(rec), 0);
  }
  EXPECT_TRUE(released);
  EXPECT_EQ(ReadFile(home.Data("rec")), Rec("1", "Name=kept\n"));
  EXPECT_TRUE(home.TempFiles().empty());
}

TEST(CS3DataIOFileTest, DeletionNeverTakesMoreThanTheRecord) {
  struct Case {
    const char* file;
    bool whole;
    int want;
  };
  const Case cases[] = {
      {"d", false, kResIoBackupFailed},      // a directory where the file should be
      {"top", true, kResIoDeleteFailed},     // its directory is the data directory
      {"d/../x", true, kResIoBackupFailed},  // a ".." below the home is refused
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    TempHome home;
    const char* names[] = {"d/keep", "top", "x"};
    for (const char* n : names) PutFile(home.Data(n), n);
    PutFile(home.Data("index"), kThree);
    {
      CS3DataIO io;
      TestRecord idx("index"), rec(c.file);
      EXPECT_EQ(c.whole ? io.Del(idx, rec, 1, true) : io.Del(rec), c.want);
      EXPECT_EQ(io.GetError(), c.want);
    }
    for (const char* n : names) {
      EXPECT_EQ(ReadFile(home.Data(n)), n);
    }
    EXPECT_EQ(ReadFile(home.Data("index")), kThree);
    EXPECT_TRUE(home.TempFiles().empty());
  }
}

TEST(CS3DataIOFileTest, SlotsAndBinding) {
  TempHome home;
  PutFile(home.Data("rec"), kThree);
  ProbeIO io;
  TestRecord rec, never, a, b, c;
  ASSERT_EQ(io.Get(rec), 0);
  EXPECT_EQ(io.Get(rec), kResObjAlreadyOpen);
  EXPECT_EQ(io.OpenSlots(), 1);
  EXPECT_EQ(io.Close(never), kResIoNeverOpened);
  io.DisConnect();
  EXPECT_FALSE(io.IsConnect());
  EXPECT_EQ(io.Close(rec), kResIoNotOpen);
  // Released slots in the middle stay empty; closing the last one shrinks.
  ASSERT_EQ(io.Get(a) + io.Get(b) + io.Get(c), 0);
  EXPECT_EQ(io.Close(b), 0);
  EXPECT_EQ(io.Count(), 3);
  EXPECT_EQ(io.Close(c), 0);
  EXPECT_EQ(io.Count(), 2);
  EXPECT_EQ(b.GetFd(), -1);
  EXPECT_TRUE(fcntl(io.Slot(0)->fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(io.Connect(), 0);
  EXPECT_EQ(io.Count(), 0);

  // A binding left by a destroyed accessor points nowhere in another one,
  // even on the same slot number.
  TestRecord stale, other;
  {
    CS3DataIO gone;
    ASSERT_EQ(gone.Get(stale), 0);
  }
  ASSERT_EQ(io.Get(other), 0);
  ASSERT_EQ(stale.GetFd(), other.GetFd());
  EXPECT_EQ(io.Close(stale), kResIoNotOpen);
  EXPECT_EQ(io.OpenSlots(), 1);
  EXPECT_EQ(io.Get(stale), 0);
  EXPECT_EQ(io.OpenSlots(), 2);
  std::set<int> keys;
  for (int i = 0; i < 5000; ++i) keys.insert(CS3DataIO().GetKey());
  EXPECT_EQ(keys.size(), 5000u);
}

TEST(CS3DataIOFileTest, LocksBetweenProcesses) {
  const std::vector<unsigned> nine(9, 1);
  struct Case {
    const char* what;
    bool childWrites, write;  // write: Mod instead of Get
    int attempts, wait;
    bool share;
    int want;
    std::vector<unsigned> wantSleeps;
  };
  const Case cases[] = {
      {"read, defaults", true, false, 0, 0, false, kResLocked, nine},
      {"write, 3 attempts 2 s", true, true, 3, 2, false, kResLocked, {2, 2}},
      {"read, 3 attempts 2 s", true, false, 3, 2, false, kResLocked, {2, 2}},
      {"write, 1 attempt", true, true, 1, 0, false, kResLocked, {}},
      {"read, share mode takes no lock", true, false, 10, 1, true, 0, {}},
      {"readers share", false, false, 10, 1, false, 0, {}},
      {"a reader excludes a writer", false, true, 2, 1, false, kResLocked, {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempHome home;
    PutFile(home.Data("rec"), kThree);
    const std::string path = home.Data("rec");
    HoldingChild holder([&] {
      return (c.childWrites ? comLockFileWrite(path.c_str(), 1, 0)
                            : comLockFileRead(path.c_str(), 1, 0, false)) >= 0;
    });
    ASSERT_TRUE(holder.held());
    FakeClock clock;
    {
      ScopedClock installed(&clock);
      CS3DataIO io;
      if (c.attempts != 0) {  // 0: the accessor's own defaults
        io.lockAttempts = c.attempts;
        io.lockWait = c.wait;
      }
      io.share = c.share;
      TestRecord rec;
      rec.name = "n";
      EXPECT_EQ(c.write ? io.Mod(rec) : io.Get(rec), c.want);
    }
    EXPECT_EQ(clock.sleeps(), c.wantSleeps);
    EXPECT_EQ(ReadFile(home.Data("rec")), kThree);
    EXPECT_TRUE(home.TempFiles().empty());
  }
}

}  // namespace
