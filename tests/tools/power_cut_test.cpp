// Every unit of work of the store cut by a power failure after each of its
// changes (and the repair cut inside its own recovery, and inside the repair
// of that): with everything kept (a kill of the process), with everything no
// flush covered lost, and with seeded mixtures in between; and run with each
// of its calls of the file helpers failing in turn. After each cut the
// next writer or reader of a file the unit touched, and `doctor --repair`,
// must bring the home to the state before the unit or after it, byte for
// byte and never a mix, with every record file parsing and nothing left in
// data/tmp; a unit whose commit returned before the cut must stand.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3/cs3journal.h"
#include "s3/cs3journal_internal.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "tests/common/power_cut.h"
#include "tests/s3/io_testing.h"
#include "tools/ctl_doctor.h"

namespace {

using powercut::Recorder;
using powercut::Tree;

const std::string kGone = "<missing>";  // what ReadFile gives for a missing file

// The recording of the unit under way, and where in it a part of the unit was
// committed on its own (a file closed alone).
Recorder* recording = nullptr;
size_t committedAt = SIZE_MAX;

// Module `id` named `name`: added (id 0) or rewritten through `io`, and with
// `closeAlone` committed on its own at once (a file that cannot be flushed is
// put back: the error state says so).
int Module(CS3DataIO& io, int id, const char* name, bool closeAlone = false) {
  CvelSchedulerModule m;
  m.Set("Name", name);
  m.Set("execute", "/bin/true");
  m.SetID(id);
  if (id == 0) return m.Add();
  const int rc = io.Mod(m, id);
  if (closeAlone && rc == 0 && io.Close(m) == 0 && io.GetError() == 0) {
    committedAt = recording->Size();
  }
  return rc;
}

// One entry of a log in the first format: a text line ending in its checksum
// (FNV-1a over the line before it).
std::string V1Entry(char kind, int tag, size_t a, size_t b, const std::string& p1,
                    const std::string& p2) {
  std::string line = std::string(1, kind) + " " + std::to_string(tag) + " " + std::to_string(a) +
                     " " + std::to_string(b) + " " + std::to_string(p1.size()) + ":" + p1 + " " +
                     std::to_string(p2.size()) + ":" + p2;
  unsigned long long h = 1469598103934665603ull;
  for (unsigned char c : line) h = (h ^ c) * 1099511628211ull;
  char sum[24];
  snprintf(sum, sizeof sum, " %016llx\n", h);
  return line + sum;
}

// The home as every unit finds it: modules 1 and 2, module 1 at 10:15, the
// status and next-alarm records, a file of three notes, one of notes too
// large for the unit log to hold its pre-image, and one record wider than a
// sector.
void Seed(const TempHome& home) {
  CS3DataIO none;
  ASSERT_EQ(Module(none, 0, "one") + Module(none, 0, "two"), 0);
  ASSERT_EQ(CvelScheduler().Add(1, 1, "10", "15"), 0);
  ASSERT_EQ(CvelSchedulerSts().Mod(4242), 0);
  ASSERT_EQ(CKorAlarmTime().Lower("20990101000000"), 1);
  std::string notes, big;
  for (int i = 1; big.size() <= kIoInlinePreImage; ++i) {
    big += Rec(std::to_string(i), "Name=note " + std::to_string(i) + "\n");
    if (i == 3) notes = big;
  }
  PutFile(home.Data("notes"), notes);
  PutFile(home.Data("wide"), Rec("1", "Name=" + std::string(700, 'a') + "\n"));
  PutFile(home.Data("big"), big);
}

// A note of `file` through `io`: record `id` renamed (Mod), a new one (id 0,
// Add) or the file deleted (id -1).
int Note(CS3DataIO& io, const char* file, int id) {
  TestRecord note(file);
  note.name = "changed";
  return id > 0 ? io.Mod(note, id) : id == 0 ? io.Add(note) : io.Del(note);
}

struct Unit {
  const char* what;
  const char* touched;  // a file the unit changes, for the next writer and reader
  // The unit's steps in one accessor, committed when their result is not
  // negative (a unit that fails must leave the state before it).
  std::function<int(CS3DataIO&)> run;
  bool repairToo = false;  // the repair of its interruption is cut as well
  bool first = false;      // the process's first unit (it makes the log); else its log exists
};

const Unit kUnits[] = {
    {"Mod of a multi-record file", "notes", [](CS3DataIO& io) { return Note(io, "notes", 2); }},
    {"Mod of a large file", "big", [](CS3DataIO& io) { return Note(io, "big", 1); }},
    {"Del of a large file", "big", [](CS3DataIO& io) { return Note(io, "big", -1); }, true},
    {"Add", "notes", [](CS3DataIO& io) { return Note(io, "notes", 0); }},
    {"Add(index, record)", "scheduler/module/index",
     [](CS3DataIO& io) { return Module(io, 0, "three"); }, true, true},
    {"Del(index, record, whole directory)", "scheduler/module/2/info",
     [](CS3DataIO& io) {
       CvelSchedulerModules index;
       CvelSchedulerModule m;
       return io.Del(index, m, 2, true);
     },
     true},
    {"schedule entry add", "scheduler/11/30/2",
     [](CS3DataIO&) { return CvelScheduler().Add(2, 2, "11", "30"); }},
    {"schedule entry removal", "scheduler/10/15/1",
     [](CS3DataIO&) { return CvelScheduler().Del(1, 1, "10", "15"); }},
    {"status Mod", "scheduler/schedulersts", [](CS3DataIO&) { return CvelSchedulerSts().Mod(77); }},
    {"a unit rolled back", "scheduler/module/1/info",
     [](CS3DataIO& io) {
       io.SetError();
       return Module(io, 1, "never");
     }},
    {"a file closed alone", "scheduler/module/1/info",
     [](CS3DataIO& io) { return Module(io, 1, "closed", true); }},
    // One write across a sector that keeps the file's length (a tear is
    // told only by the after-image's checksum), and a file made shorter (a
    // lost truncation only by its length).
    {"two files, one torn at its length, one shortened", "wide",
     [](CS3DataIO& io) {
       TestRecord wide("wide");
       wide.name.assign(700, 'b');
       const int rc = io.Mod(wide, 1);
       return rc < 0 ? rc : Module(io, 1, "1");
     }},
    // A one-file rewrite commits with the file's flush alone: the entry
    // before it also holds the after-image, checked at each cut.
    {"one file torn at its length", "wide",
     [](CS3DataIO& io) {
       TestRecord wide("wide");
       wide.name.assign(700, 'c');
       return io.Mod(wide, 1);
     },
     true},
    // A second change of the file after such an entry voids it first.
    {"two Mods of one file", "notes",
     [](CS3DataIO& io) {
       const int rc = Note(io, "notes", 2);
       return rc < 0 ? rc : Note(io, "notes", 3);
     }},
};

// The paths where `a` and `b` differ.
std::string Diff(const Tree& a, const Tree& b) {
  std::string out;
  for (const auto& [path, bytes] : a) out += b.count(path) && b.at(path) == bytes ? "" : " " + path;
  for (const auto& [path, bytes] : b) out += a.count(path) ? "" : " " + path;
  return out;
}

class PowerCut {
 public:
  PowerCut() : data_(home_.Data("")) { data_.pop_back(); }

  void Run() {
    Seed(home_);
    s3JournalRelease();
    seed_ = Snapshot(data_);
    before_ = Visible();
    for (const Unit& unit : kUnits) RunUnit(unit);
    FirstFormat();
    printf("power-cut: %zu units, %d crash states, %d failures\n", std::size(kUnits) + 1, states_,
           failures_);
    EXPECT_EQ(failures_, 0);
  }

 private:
  // The unit in a child that the cut leaves dead, with the n-th call of the
  // file helpers failing when `failAt` is n. Unless the unit is the child's
  // first (or fails a call), a unit that changes nothing comes first, so
  // that its log exists. Its recording comes back here; *code is 0 when the
  // failing call never came, 1 when the unit failed, 2 when it (or a part of
  // it) committed, 3 when `kill` killed it there, and *mark the changes made
  // by then (SIZE_MAX: never).
  std::unique_ptr<Recorder> InChild(const Unit& unit, int failAt, int* code, size_t* mark,
                                    bool kill = false) {
    Recorder::Materialize(data_, seed_);
    const std::string tracePath = home_.Home() + "/trace";
    HoldingChild child([&] {
      if (!unit.first && failAt == 0) {
        CS3DataIO io;
        TestRecord note("notes");
        note.name = "note 1";  // as it is
        if (io.Mod(note, 1) != 0) return false;
      }
      Recorder rec(data_);
      recording = &rec;
      if (failAt > 0) rec.FailCall(failAt, kill);
      rec.Start();
      int rc = 0;
      {
        CS3DataIO io;
        rc = unit.run(io);
        if (rc >= 0) rc = io.Commit();
      }
      const size_t at = committedAt != SIZE_MAX ? committedAt : rc >= 0 ? rec.Size() : SIZE_MAX;
      rec.Stop();
      const int result = failAt > 0 && !rec.Reached() ? 0 : at == SIZE_MAX ? 1 : 2;
      WriteFile(tracePath, std::to_string(result) + " " + std::to_string(at) + "\n" + rec.Save());
      return true;
    });
    child.End();
    auto rec = std::make_unique<Recorder>();
    if (!child.held()) {
      EXPECT_TRUE(kill) << unit.what << " failed";
      *code = kill ? 3 : 0;
      return rec;
    }
    std::istringstream trace(ReadFile(tracePath));
    trace >> *code >> *mark;
    rec->Load(trace);
    return rec;
  }

  void RunUnit(const Unit& unit) {
    int code = 0;
    size_t mark = 0;
    const std::unique_ptr<Recorder> rec = InChild(unit, 0, &code, &mark);
    after_ = Visible();
    if (mark != SIZE_MAX) {
      ASSERT_NE(before_, after_) << unit.what << " changed nothing";
    }
    unit_ = &unit;
    size_t rolledBack = 0;
    ForEachCut(*rec, [&](size_t cut, const Tree& state, const std::string& how) {
      if (Check(state, how, cut >= mark) && how == "kept" && cut < mark && Visible() == before_) {
        rolledBack = cut;
      }
    });
    if (unit.repairToo) CutRepair(rec->At(rolledBack, powercut::kKeepAll, 0), 2);
    // With each call failing in turn (a full disk, an I/O error), checked as
    // it is left and as a power cut right after it leaves it: a unit that
    // reports the failure must leave the state before it, one that reports
    // success the state after it.
    for (int n = 1;; ++n) {
      const std::unique_ptr<Recorder> faulted = InChild(unit, n, &code, &mark);
      if (code == 0) break;
      const std::string how = "call " + std::to_string(n) + " failing";
      const Tree cut = faulted->At(faulted->Size(), powercut::kLoseAll, 0);
      Check(Snapshot(data_), how, code == 2, code == 1);
      Check(cut, how + ", then a power cut", code == 2, code == 1);
    }
    // The writer really killed at every third call, and a reader following.
    for (int n = 1; InChild(unit, n, &code, &mark, true), code == 3; n += 3) {
      Check(Snapshot(data_), "killed at call " + std::to_string(n), false, false, 2);
    }
  }

  // A log of the first format, as the earlier release leaves it when a unit is
  // killed after each kind of change (its created file carries a device
  // number from before a reboot: it is known by its name), recovered and its
  // recovery cut.
  void FirstFormat() {
    static const Unit kOld = {"a log of the first format", "notes", nullptr, true};
    unit_ = &kOld;
    after_ = before_;
    const pid_t dead = fork();  // a pid that no process has once reaped
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    const std::string copy = "tmp/temp" + std::to_string(dead) + ".",
                      next = "scheduler/controle/status";
    Tree state = seed_;
    state[copy + "1"] = seed_.at("notes");
    state[copy + "2"] = seed_.at("scheduler/module/2/info");
    state["notes"] = "junk\n";
    state[next] += Rec("2", "Name=appended\n");
    state["n"] = state["n/o"] = powercut::kDir;
    state["n/o/c"] = Rec("1", "Name=new\n");
    state.erase("scheduler/module/2/info");
    state["tmp/journal" + std::to_string(dead) + ".1"] =
        "s3journal 1\n" + V1Entry('B', 1, 0, 0, "notes", copy + "1") +
        V1Entry('A', 2, seed_.at(next).size(), 0, next, "") + V1Entry('C', 3, 0, 0, "n/o/c", "n") +
        V1Entry('N', 3, 987654321, 1, "n/o/c", "") +
        V1Entry('D', 4, 0, 0, "scheduler/module/2/info", copy + "2");
    CutRepair(state, 2);
  }

  // The repair of `state` cut at each of its changes, and with `depth` above
  // 1 the repair of each such kill or cut cut again.
  void CutRepair(const Tree& state, int depth) {
    Recorder::Materialize(data_, state);
    Recorder rec(data_);
    rec.Start();
    Doctor();
    rec.Stop();
    ForEachCut(rec, [&](size_t cut, const Tree& cutState, const std::string& how) {
      Check(cutState, "repair cut at " + std::to_string(cut) + ", " + how, false);
      if (depth > 1 && how != "mixed") CutRepair(cutState, depth - 1);
    });
  }

  // Each tree a power cut after each of `rec`'s changes may leave: with the
  // unflushed changes kept, lost, and in two seeded mixtures.
  void ForEachCut(const Recorder& rec,
                  const std::function<void(size_t, const Tree&, const std::string&)>& each) {
    for (size_t cut = 0; cut <= rec.Size(); ++cut) {
      each(cut, rec.At(cut, powercut::kKeepAll, 0), "kept");
      each(cut, rec.At(cut, powercut::kLoseAll, 0), "lost");
      for (unsigned seed = 1; seed <= 2; ++seed) {
        each(cut, rec.At(cut, powercut::kMixed, seed * 7919u + static_cast<unsigned>(cut)),
             "mixed");
      }
      Tree torn;
      if (rec.Torn(cut, &torn)) each(cut, torn, "torn");
    }
  }

  // Recovers `state` (the next writer or reader of a touched file, then the
  // doctor, or the doctor alone) and checks the outcome. True when it holds.
  bool Check(const Tree& state, const std::string& how, bool committed, bool failed = false,
             int way = -1) {
    if (way < 0) way = states_ % 3;
    ++states_;
    Recorder::Materialize(data_, state);
    const Tree found = Snapshot(data_);
    Doctor(false);
    const bool inspected = Snapshot(data_) == found;
    if (way != 1) {
      CS3DataIO io;
      TestRecord file(unit_->touched);
      // The writer creates the file when it is missing (an empty file where a
      // deleted one is to come back), and rolls its own slot back.
      if (way == 0 && io.OpenAdd(file) == 0) io.SetError();
      if (way == 2) io.Get(file);
    }
    // What a reader sees is the file before the unit or after it.
    const auto was = [&](const Tree& t) {
      return t.count(unit_->touched) ? t.at(unit_->touched) : kGone;
    };
    const std::string seen = ReadFile(data_ + "/" + unit_->touched);
    const int doctor = Doctor();
    s3JournalRelease();  // this process's own, as it would at its end
    const Tree now = Visible(), left = Snapshot(data_ + "/tmp");
    std::string why = inspected ? "" : " the plain doctor changed the home;";
    if (way == 2 && seen != was(before_) && seen != was(after_)) why += " the reader saw a mix;";
    if (doctor != 0) why += " the repair left findings;";
    if (failed ? now != before_ : now != after_ && (committed || now != before_)) {
      why += committed ? " a committed unit was lost;"
             : failed  ? " a failed unit was not undone;"
                       : " neither before nor after;";
      why += " differs from before in" + Diff(now, before_) + ", from after in" +
             Diff(now, after_) + ";";
    }
    if (!left.empty()) why += " data/tmp not empty:" + Diff(left, {}) + ";";
    if (why.empty()) return true;
    if (++failures_ <= 10) {
      static const char* const kWays[] = {"the next writer", "the doctor", "a reader"};
      ADD_FAILURE() << unit_->what << ", " << how << ", recovered by " << kWays[way] << ":" << why
                    << "\n"
                    << report_;
    }
    return false;
  }

  // The data home without data/tmp.
  Tree Visible() const { return Snapshot(data_, true, "tmp"); }
  // `doctor --repair` (or the plain doctor) in this process, its report in report_.
  int Doctor(bool repair = true) {
    testing::internal::CaptureStdout();
    const int rc = ctlDoctor(home_.Home().c_str(), repair, false);
    report_ = testing::internal::GetCapturedStdout();
    return rc;
  }

  TempHome home_;
  std::string data_, report_;
  Tree seed_, before_, after_;
  const Unit* unit_ = nullptr;
  int states_ = 0;
  int failures_ = 0;
};

TEST(PowerCutTest, EveryCutLeavesTheStateBeforeOrAfterTheUnit) {
  PowerCut().Run();
}

// The log of a unit killed after all its changes, damaged as a disk or a hand
// damages it, on units of each kind of entry. The plain doctor changes
// nothing and names the log; a damaged log is never played back, and a
// reader of a file it names is refused; --repair puts back no byte that no
// checksum verified, and its exit status is the next check's.
TEST(PowerCutTest, DamagedLogsAreReportedAndKept) {
  namespace fs = std::filesystem;
  using s3journal::LogView;
  enum Expect { kUnit, kDamaged, kEither };
  struct Damage {
    const char* what;
    Expect expect;
    // Changes `log` (the bytes of `view`) or the files; false: not for this unit.
    std::function<bool(std::string& log, const LogView& view, const std::string& data)> apply;
  };
  const Damage kDamages[] = {
      {"header zeroed", kDamaged,
       [](std::string& log, const LogView&, const std::string&) {
         return log.replace(0, 32, 32, '\0'), true;
       }},
      {"a bit flipped in the first entry", kDamaged,
       [](std::string& log, const LogView& v, const std::string&) {
         return log[v.entries[0].end - 19] ^= 1, true;
       }},
      {"cut in its last entry", kEither,
       [](std::string& log, const LogView& v, const std::string&) {
         return log.resize((v.entries.back().at + v.entries.back().end) / 2), true;
       }},
      {"its first entry dropped", kUnit,
       [](std::string& log, const LogView& v, const std::string&) {
         return v.entries.size() > 1 &&
                (log.erase(v.entries[0].at, v.entries[0].end - v.entries[0].at), true);
       }},
      {"a length made huge", kDamaged,
       [](std::string& log, const LogView& v, const std::string&) {
         const size_t colon = log.find(':', v.entries[0].at);
         return log.replace(log.rfind(' ', colon) + 1, 0, "99999999999"), true;
       }},
      {"garbage appended", kUnit,
       [](std::string& log, const LogView&, const std::string&) {
         return log += "no entry at all\n", true;
       }},
      {"the log a folder", kDamaged,
       [](std::string& log, const LogView&, const std::string&) {
         return log = powercut::kDir, true;
       }},
      {"a backup copy a folder", kDamaged,
       [](std::string&, const LogView& v, const std::string& data) {
         for (const s3journal::Entry& e : v.entries) {
           if (e.kind != 'B' && e.kind != 'D') continue;
           fs::remove(data + "/" + e.p2);
           return fs::create_directory(data + "/" + e.p2);
         }
         return false;
       }},
  };
  TempHome home;
  std::string data = home.Data("");
  data.pop_back();
  Seed(home);
  s3JournalRelease();
  const Tree seed = Snapshot(data), before = Snapshot(data, true, "tmp");
  auto doctor = [&](bool repair, std::string* out = nullptr) {
    testing::internal::CaptureStdout();
    const int rc = ctlDoctor(home.Home().c_str(), repair, false);
    const std::string text = testing::internal::GetCapturedStdout();
    if (out != nullptr) *out = text;
    return rc;
  };
  int units = 0;
  for (const Unit& unit : kUnits) {
    Recorder::Materialize(data, seed);
    HoldingChild killed([&] {
      static Recorder none;  // nothing is recorded
      recording = &none;
      static CS3DataIO* io = new CS3DataIO();  // never released: the kill ends it
      return unit.run(*io), true;
    });
    ASSERT_TRUE(killed.held()) << unit.what;
    killed.End();
    const Tree crash = Snapshot(data);
    std::string name;
    for (const auto& [path, bytes] : crash) name = path.rfind("tmp/journal", 0) == 0 ? path : name;
    LogView view;
    if (!name.empty()) s3journal::ParseLog(crash.at(name), &view);
    if (view.state != LogView::kUnit) continue;  // a unit of an accessor of its own committed
    // A file changed through two slots: its later entry's pre-image holds
    // the first change, which no damage of the log may be asked to undo.
    std::set<std::string> named;
    bool twice = false;
    for (const s3journal::Entry& e : view.entries) {
      twice = twice || (e.kind != 'F' && e.kind != 'K' && !named.insert(e.p1).second);
    }
    if (twice) continue;
    ++units;
    for (const Damage& damage : kDamages) {
      SCOPED_TRACE(std::string(unit.what) + ", " + damage.what);
      Recorder::Materialize(data, crash);
      std::string log = crash.at(name);
      if (!damage.apply(log, view, data)) continue;
      fs::remove(data + "/" + name);
      if (log == powercut::kDir) fs::create_directory(data + "/" + name);
      if (log != powercut::kDir) WriteFile(data + "/" + name, log);
      const Tree state = Snapshot(data);

      std::string found;
      EXPECT_EQ(doctor(false, &found), 1);
      EXPECT_EQ(Snapshot(data), state) << "a plain check changes nothing";
      const bool damaged = found.rfind("damaged-log " + name, 0) == 0;
      EXPECT_TRUE(damaged || found.rfind("interrupted-unit " + name, 0) == 0) << found;
      EXPECT_TRUE(damage.expect == kEither || damaged == (damage.expect == kDamaged)) << found;
      const bool named =
          damaged && found.substr(0, found.find('\n')).find(unit.touched) != std::string::npos;
      if (named) {
        CS3DataIO io;
        TestRecord file(unit.touched);
        EXPECT_EQ(io.OpenAdd(file), kResDeadUnit) << "a writer of a file it names is refused";
        EXPECT_EQ(CS3DataIO().Get(file), kResDeadUnit) << "and so is a reader";
      }

      const Tree visible = Snapshot(data, true, "tmp");
      const int repaired = doctor(true, &found);
      s3JournalRelease();
      const Tree now = Snapshot(data, true, "tmp");
      // Each file as before the unit or as the crash left it: a byte put back
      // from an entry that did not verify makes it neither.
      Tree paths = before;
      paths.insert(visible.begin(), visible.end());
      paths.insert(now.begin(), now.end());
      for (const auto& entry : paths) {
        const auto at = [&](const Tree& t) {
          return t.count(entry.first) != 0 ? t.at(entry.first) : kGone;
        };
        EXPECT_TRUE(at(now) == at(before) || at(now) == at(visible)) << entry.first << found;
      }
      if (damaged) {
        EXPECT_EQ(now, visible) << "nothing of a damaged log is played back";
        EXPECT_TRUE(fs::exists(fs::symlink_status(data + "/" + name))) << "and it stays";
      }
      EXPECT_EQ(doctor(false), repaired) << "--repair says what the next check finds:\n" << found;
      if (damaged) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(ctlDoctorDiscard(home.Home().c_str(), name.c_str()), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_FALSE(fs::exists(fs::symlink_status(data + "/" + name)));
      }
    }
  }
  EXPECT_GE(units, 6);
}

}  // namespace
