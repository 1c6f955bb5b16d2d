// Adding records and index operations of the record file accessor, on real
// files in a fresh data home per case.
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "common/comdate.h"
#include "tests/common/fake_clock.h"
#include "tests/s3/io_testing.h"

namespace {

// A record object that writes Name=new; `file` may hold a "%d" for its ID.
struct NewRec : TestRecord {
  explicit NewRec(const char* file) : TestRecord(file) { name = "new"; }
};

std::string R(int id, const char* name) {  // written form of one record
  return Rec(std::to_string(id), std::string("Name=") + name + "\n");
}

using Op = std::function<int(CS3DataIO&, NewRec&)>;

// One operation on a file of records: its result, the error state it leaves
// and the file afterwards.
TEST(IndexOpsTest, RecordFileOperations) {
  const Op add = [](CS3DataIO& io, NewRec& x) { return io.Add(x) == 0 ? x.GetID() : -1; };
  const Op del5 = [](CS3DataIO& io, NewRec& x) { return io.Del(x, 5); };
  const Op mod5 = [](CS3DataIO& io, NewRec& x) { return io.Mod(x, 5); };
  const Op addOnly = [](CS3DataIO& io, NewRec& x) { return io.AddOnly(x); };
  const std::string three = R(4, "d") + R(5, "e") + R(6, "f"), cut = R(3, "a") + "object 5\nend";
  const std::string grouped =
      R(1, "a") + "object 2\nName=b\nobject members\n_item=3\n_item=7\nend\nend\n";
  const std::tuple<std::string, Op, int, std::string> cases[] = {
      {"", add, 1, R(1, "new")},
      {R(3, "a") + R(8, "b") + R(5, "c"), add, 9, R(3, "a") + R(8, "b") + R(5, "c") + R(9, "new")},
      {cut, add, 6, cut + "\n" + R(6, "new")},  // the last line had lost its LF
      {three, del5, 0, R(4, "d") + R(6, "f")},
      {R(4, "d") + R(6, "f"), del5, 0, R(4, "d") + R(6, "f")},  // no record 5: no failure
      {"", del5, 0, "<missing>"},
      {"", [](CS3DataIO& io, NewRec& x) { return io.DelIndex(x, "5", false); }, 0, "<missing>"},
      {three, mod5, 0, R(4, "d") + R(5, "new") + R(6, "f")},
      {three,
       [](CS3DataIO& io, NewRec& x) {  // every record of the open file, once
         int n = 0;
         for (int r = io.GetCount(x) == 3 ? io.firstElement(x) : -1; r == 0; r = io.nextElement(x))
           ++n;
         return n;
       },
       3, three},
      {"", addOnly, 0, R(1, "new")},
      {R(2, "a"), addOnly, kResIoExists, R(2, "a")},
      {grouped,
       [](CS3DataIO& io, NewRec& x) {  // group edits on record 2 keep the other records
         char name[] = "members";
         char* names[] = {nullptr, name};
         EXPECT_EQ(0, CS3DataIO().Add(x, 2, name, 5, false, "3"));
         EXPECT_EQ(0, CS3DataIO().Del(x, 2, names, 2, 7, false));
         return io.Up(x, 2, name, 5);
       },
       0, R(1, "a") + "object 2\nName=b\nobject members\n_item=5\n_item=3\nend\nend\n"}};
  for (const auto& [file, op, result, after] : cases) {
    TempHome home;
    if (!file.empty()) PutFile(home.Data("many/list"), file);
    NewRec obj("many/list");
    CS3DataIO io;
    EXPECT_EQ(result, op(io, obj)) << file;
    EXPECT_EQ(result < 0 ? result : 0, io.GetError());
    io.DisConnect();
    EXPECT_EQ(after, ReadFile(home.Data("many/list"))) << file;
    EXPECT_TRUE(home.TempFiles().empty());
  }
}

// Add(index, record) changes a well-formed index on its bytes and parses any
// other; either way the result, the files and the parsed record a later step
// sees are those of the parse-and-rewrite steps it stands for (OpenAdd,
// AddIndex, OpenAdd, AddData), run here on a copy of the same index.
TEST(IndexOpsTest, AddToIndexWritesWhatTheParseAndRewriteWrite) {
  const std::string many(70, 'n');
  const std::string cases[] = {
      "<missing>",
      "",
      "object 1\n_lastid=3\n_item=1\n_item=2\n_item=3\nend\n",
      "object 1\n_lastid=9\n_item=9\nend\n",           // the counter grows a digit
      "object 1\n_lastid=+0099\n_item=7\nend\n",       // ... or loses some
      "object 1\n_lastid=abc\n_item=7\nend\n",         // reads as 0
      "object 1\n_item=1\n_lastid=1\n_item=5\nend\n",  // counter between entries
      "object 1\n_item=3\nend\n",
      "object 1\n_item=1\nend\n",
      "object 1\nend\n",                      // no counter
      "object 1\n_lastid=3\n_item=4\nend\n",  // the new ID is listed already
      "object 1\n_item=04x\n_lastid=3\nend\n",
      "object 1\n_lastid=3\nmemo= +4\nend\n",
      "object 1\n_lastid=5\n_item=1\n_lastid=9\n_item=6\nend\n",  // the first counter counts
      "object 1\n_lastid=2\n_item=2=3\nend\nobject 2\nName=x\nend\nobject 1\n_item=3\nend\n",
      "object 7\n_lastid=2\nend\n",
      // What a rewrite changes or refuses: left to the parse.
      "object 1\n_lastid=2\n_item=2\nend",
      "object 1\r\n_lastid=2\r\nend\r\n",
      "object 1\n  _lastid=2\nend\n",
      "object 1\n_lastid=2\n\nend\n",
      "x\nobject 1\n_lastid=2\nend\n",
      "object 1\n_lastid=2\nend of it\n",
      "object\n_lastid=2\nend\n",
      "object 1 2\n_lastid=2\nend\n",
      "object  1\n_lastid=2\nend\n",
      "object 1\n_lastid=2\nobject g\n_item=1\nend\nend\n",
      "object 1\n_lastid=2\nmemo=a\n\tb\nend\n",
      "object 1\n_lastid=2\nnovalue\nend\n",
      "object 1\n=2\n_lastid=2\nend\n",
      "object 1\n_lastid=2\n_item=2\n",
      std::string("object 1\n_lastid=2\0\nend\n", 24),
      "object 1\n" + many + "=1\n_lastid=2\nend\n",
      "object " + many + "\n_lastid=2\nend\n",
      "object 1\n_lastid=-5\nend\n",
      "object 1\n_lastid=999999999\nend\n",
      "\n",
  };
  // Each way, the result, the error, the index and the record right after
  // the add, then after a later whole rewrite of the open index.
  const auto run = [](const std::string& index, bool asOne) {
    TempHome home;
    if (index != "<missing>") PutFile(home.Data("idx/index"), index);
    NewRec idx("idx/index"), rec("idx/%d/info");
    CS3DataIO io;
    int r = 0;
    if (asOne) {
      r = io.Add(idx, rec);
    } else if ((r = io.OpenAdd(idx)) == 0 && (r = io.AddIndex(idx, nullptr)) >= 0) {
      const int id = r;
      rec.SetID(id);
      r = io.OpenAdd(rec);
      if (r == 0) r = io.AddData(rec, id);
    }
    std::ostringstream out;
    out << r << " " << io.GetError() << " " << rec.GetID() << "|"
        << ReadFile(home.Data("idx/index")) << "|"
        << ReadFile(home.Data("idx/" + std::to_string(rec.GetID()) + "/info")) << "|";
    if (r == 0) out << io.GetDataCount(idx) << " " << io.AddIndex(idx, 77, "2") << " ";
    io.DisConnect();
    out << ReadFile(home.Data("idx/index")) << "|" << home.TempFiles().size();
    return out.str();
  };
  for (const std::string& index : cases) EXPECT_EQ(run(index, false), run(index, true)) << index;
}

// Entry edits on an open index "3 5 9", then a rewrite; where an anchored add
// lands is the parsed file's rule, tested with it.
TEST(IndexOpsTest, EntryAddsAndMovesOnOpenIndex) {
  const std::tuple<Op, int, const char*> cases[] = {
      {[](CS3DataIO& io, NewRec& x) { return io.AddIndex(x, 7, "5"); }, 0, "3 5 7 9"},
      {[](CS3DataIO& io, NewRec& x) {  // a deleted entry is revived in place
         return io.DelIndexData(x, "5", false) + io.AddIndex(x, 5, nullptr);
       },
       0, "3 5 9"},
      {[](CS3DataIO& io, NewRec& x) { return io.UpDataSet(x, 5, false, 3); }, 1, "5 3 9"},
      {[](CS3DataIO& io, NewRec& x) { return io.DownDataSet(x, 3, false, 5); }, 2, "5 9 3"},
      {[](CS3DataIO& io, NewRec& x) { return io.UpDataSet(x, 8, false, 2); }, 0, "3 5 9"}};
  TempHome home;
  for (const auto& [op, result, after] : cases) {
    PutFile(home.Data("idx/index"), IndexRec("_lastid=9\n", "3 5 9"));
    NewRec index("idx/index");
    CS3DataIO io;
    ASSERT_EQ(0, io.OpenMod(index, nullptr, true));
    EXPECT_EQ(result, op(io, index));
    ASSERT_EQ(0, io.ModIndexWrite(index));
    io.DisConnect();
    EXPECT_EQ(IndexRec("_lastid=9\n", after), ReadFile(home.Data("idx/index")));
  }
}

// Eight processes add to one index at once: every ID is handed out exactly
// once and every record lands in its own file. Ten attempts are not enough
// here: a writer that wins the lock adds again at once, so a loser can miss
// it ten times running. Hence many attempts, on a fast clock.
TEST(IndexOpsTest, ConcurrentAddsHandOutDistinctIds) {
  TempHome home;
  constexpr int kProcs = 8, kAdds = 100;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid > 0) continue;
    // Each sleep takes a thousandth of what is asked: the lock retries run as
    // in production, with waits of milliseconds instead of seconds.
    FakeClock clock;
    clock.OnSleep([](unsigned seconds) { usleep(seconds * 1000); });
    comSetClock(&clock);
    int failed = 0;
    for (int i = 0; i < kAdds && failed == 0; ++i) {
      NewRec index("idx/index"), rec("rec/%d");
      CS3DataIO io;
      io.lockAttempts = 100000;
      failed = io.Add(index, rec);
    }
    _exit(-failed & 0xff);  // the failure code, positive
  }
  for (int p = 0; p < kProcs; ++p) {
    int status = 0;
    ASSERT_GT(wait(&status), 0);
    EXPECT_EQ(0, WEXITSTATUS(status));
  }
  // Each add appends the next ID under the lock, so the index lists 1..800.
  std::string ids;
  for (int id = 1; id <= kProcs * kAdds; ++id) {
    ids += std::to_string(id) + " ";
    EXPECT_EQ(R(id, "new"), ReadFile(home.Data("rec/" + std::to_string(id))));
  }
  EXPECT_EQ(IndexRec("_lastid=800\n", ids), ReadFile(home.Data("idx/index")));
  EXPECT_TRUE(home.TempFiles().empty());
}

}  // namespace
