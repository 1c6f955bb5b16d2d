// What a durable unit of work costs at the least on this disk, beside the
// flushes our units make and a peer store doing the same work, for the two
// record store benchmarks:
//  - FlushesPerUnit: the flushes (file and directory) that Mod, Add,
//    Add(index, record) and Del(index, record) each make, counted through the
//    file helpers' seam once the process has its unit log, and the rounds
//    they come in (the flushes of one round are issued together, so a unit's
//    floor is Off + rounds x one flush);
//  - BM_FlushFloor: one small pwrite and fdatasync of a file, the floor of
//    one flush (created:0); with created:1 a file is created and removed in
//    the same directory before each, as every unit's backup copy is, and the
//    flush then also pays for the file system's journal commit;
//  - BM_PeerUpdate / BM_PeerInsert: SQLite with synchronous=FULL in
//    rollback-journal mode (wal:0, the same kind of undo log) and in
//    write-ahead-log mode (wal:1), one row updated or
//    inserted, each its own transaction, on a table of 10,000 rows in the
//    same temporary folder (skipped when the library was not found).
// The including program defines DurableBenchDir(), a data home's data
// directory that S3ComPathHomeSave has made current.
#ifndef BENCH_BENCH_DURABLE_H_
#define BENCH_BENCH_DURABLE_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "common/comfile_seam.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3object.h"

#ifdef SCHED_HAVE_SQLITE
#include <sqlite3.h>
#endif

const std::string& DurableBenchDir();

namespace durable {

// A record with one field, in the file `pattern` ("%d" for its ID).
class Rec : public CS3Object {
 public:
  explicit Rec(const char* pattern) : pattern_(pattern) {}
  int GetFileName(char* out) override {
    snprintf(out, kComPathMax, pattern_, GetID());
    return kResOk;
  }
  int SetFieldValue(CS3Data* data) override { return data->SetFieldValue("name", "a flush test"); }

 private:
  const char* pattern_;
};

// The flushes and rounds a unit makes, and how many flushes each round
// holds (a flush outside a round is a round of its own).
struct Count {
  int flushes = 0, rounds = 0;
  std::vector<int> perRound;
  // "1+2": the flushes of each round.
  std::string Rounds() const {
    std::string text;
    for (int n : perRound) text += (text.empty() ? "" : "+") + std::to_string(n);
    return text;
  }
};

inline Count counted;
inline bool inRound = false;
inline void CountFlush(const ComIoCall& call, int) {
  if (call.op == kComIoSync || call.op == kComIoSyncDir) {
    ++counted.flushes;
    if (!inRound) {
      ++counted.rounds;
      counted.perRound.push_back(0);
    }
    ++counted.perRound.back();
  }
  if (call.op == kComIoRound) {
    ++counted.rounds;
    counted.perRound.push_back(0);
  }
  if (call.op == kComIoRound || call.op == kComIoRoundEnd) inRound = call.op == kComIoRound;
}

inline Count FlushesOf(const std::function<void()>& unit) {
  static const ComIoHooks hooks = {nullptr, CountFlush};
  counted = Count();
  comSetIoHooks(&hooks);
  unit();
  comSetIoHooks(nullptr);
  return counted;
}

struct Flushes {
  Count mod, add, addIndex, delIndex;
};

// Each unit once on files of its own below the data directory.
inline Flushes FlushesPerUnit() {
  const std::string dir = DurableBenchDir() + "/flushes";
  mkdir(dir.c_str(), 0755);
  Rec one("flushes/one"), many("flushes/many"), index("flushes/index"), rec("flushes/rec%d");
  // Each file made once first; the process's unit log exists from then on.
  CS3DataIO().Mod(one);
  CS3DataIO().Add(many);
  CS3DataIO().Add(index, rec);
  Flushes f;
  f.mod = FlushesOf([&] { CS3DataIO().Mod(one); });
  f.add = FlushesOf([&] { CS3DataIO().Add(many); });
  f.addIndex = FlushesOf([&] { CS3DataIO().Add(index, rec); });
  f.delIndex = FlushesOf([&] { CS3DataIO().Del(index, rec, rec.GetID(), false); });
  printf("flushes per unit: Mod %d, Add %d, Add(index) %d, Del(index) %d\n", f.mod.flushes,
         f.add.flushes, f.addIndex.flushes, f.delIndex.flushes);
  printf(
      "flush rounds per unit: Mod %d (%s), Add %d (%s), Add(index) %d (%s), Del(index) %d (%s)\n",
      f.mod.rounds, f.mod.Rounds().c_str(), f.add.rounds, f.add.Rounds().c_str(),
      f.addIndex.rounds, f.addIndex.Rounds().c_str(), f.delIndex.rounds,
      f.delIndex.Rounds().c_str());
  return f;
}

// One small write and its flush: the least a durable unit costs.
inline void BM_FlushFloor(benchmark::State& state) {
  const std::string path = DurableBenchDir() + "/tmp/flush-floor";
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  char line[64] = "object 1\nName=a flush floor\nend\n";
  if (fd < 0 || pwrite(fd, line, sizeof line, 0) != sizeof line || fdatasync(fd) != 0) abort();
  const std::string other = path + ".other";
  for (auto _ : state) {
    if (state.range(0) != 0) {
      const int o = open(other.c_str(), O_WRONLY | O_CREAT, 0644);
      if (o < 0 || write(o, line, sizeof line) != sizeof line) abort();
      close(o);
      unlink(other.c_str());
    }
    line[20] ^= 1;
    if (pwrite(fd, line, sizeof line, 0) != sizeof line || fdatasync(fd) != 0) abort();
  }
  close(fd);
  unlink(path.c_str());
}
BENCHMARK(BM_FlushFloor)->ArgName("created")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// A round of `files` flushes as a unit's last round makes them: existing
// files each with 64 bytes rewritten, and with created:1 the last two a new
// file (which the timer does not see removed again) and its folder. With
// together:1 they go through the file layer's round (issued at once, as the
// units issue them), with together:0 one after another: on a disk that
// serves concurrent flushes one by one the two cost the same, and a round
// is no cheaper than its flushes in a row.
inline void BM_FlushRound(benchmark::State& state) {
  const int files = static_cast<int>(state.range(0));
  const bool created = state.range(1) != 0, together = state.range(2) != 0;
  const std::string dir = DurableBenchDir() + "/tmp/round";
  mkdir(dir.c_str(), 0755);
  char line[64] = "object 1\nName=a flush round\nend\n";
  std::vector<int> fds;
  for (int i = 0; i < files - (created ? 2 : 0); ++i) {
    const std::string path = dir + "/f" + std::to_string(i);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || pwrite(fd, line, sizeof line, 0) != sizeof line || fsync(fd) != 0) abort();
    fds.push_back(fd);
  }
  const std::string fresh = dir + "/new";
  for (auto _ : state) {
    line[20] ^= 1;
    std::vector<ComIoFlush> round;
    for (int fd : fds) {
      if (pwrite(fd, line, sizeof line, 0) != sizeof line) abort();
      round.push_back({fd, nullptr});
    }
    int made = -1;
    if (created) {
      made = open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
      if (made < 0 || pwrite(made, line, sizeof line, 0) != sizeof line) abort();
      round.push_back({made, nullptr});
      round.push_back({-1, dir.c_str()});
    }
    if (together) {
      if (comIoSyncRound(round.data(), static_cast<int>(round.size())) != 0) abort();
    } else {
      for (const ComIoFlush& f : round) {
        if ((f.fd >= 0 ? comIoSync(f.fd) : comIoSyncDir(f.dir)) != 0) abort();
      }
    }
    if (created) {
      state.PauseTiming();
      close(made);
      unlink(fresh.c_str());
      state.ResumeTiming();
    }
  }
  for (int i = 0; i < static_cast<int>(fds.size()); ++i) {
    close(fds[i]);
    unlink((dir + "/f" + std::to_string(i)).c_str());
  }
  rmdir(dir.c_str());
}
BENCHMARK(BM_FlushRound)
    ->ArgNames({"files", "created", "together"})
    ->Args({2, 0, 0})
    ->Args({2, 0, 1})
    ->Args({3, 1, 0})
    ->Args({3, 1, 1})
    ->Args({4, 1, 0})
    ->Args({4, 1, 1})
    ->Unit(benchmark::kMicrosecond);

// What a unit's flushes cost at the least on this disk, measured: its first
// round (one flush after a file was created and removed in its folder, as
// the unit's backup copy is) and its last round (`files` flushes issued
// together, the last two a new file and its folder when `created`). 0 when
// a figure is missing. `time` holds seconds per iteration by name.
inline double MeasuredFloor(std::map<std::string, double>& time, const Count& count,
                            bool created) {
  if (count.perRound.size() != 2) return 0;
  const double first = time["BM_FlushFloor/created:1"];
  const int last = count.perRound[1];
  const double second =
      last == 1 ? time["BM_FlushFloor/created:0"]
                : time["BM_FlushRound/files:" + std::to_string(last) + "/created:" +
                       (created ? "1" : "0") + "/together:1"];
  return first > 0 && second > 0 ? first + second : 0;
}

// "goal met" or "goal missed", and for a missed goal whether the floor alone
// (`floor`, with the unit's Off time) is above it.
inline void Verdict(const char* what, double full, double floor, double peer, double goal) {
  if (full <= 0 || peer <= 0) return;
  printf("%s: %.2fx the peer, goal <= %.2fx: %s", what, full / peer, goal,
         full <= goal * peer ? "met" : "missed");
  if (full > goal * peer && floor > 0) {
    printf("; the measured floor (Off + its rounds' flushes) is %.0f us, %.2fx the peer: %s",
           floor * 1e6, floor / peer,
           floor > goal * peer ? "the floor itself is above the goal"
                               : "below the goal, the rest is the unit's own work");
  }
  printf("\n");
}

#ifdef SCHED_HAVE_SQLITE
// A table of 10,000 rows in a database with full flushes, with a rollback
// journal or (`wal`) a write-ahead log.
class Peer {
 public:
  explicit Peer(bool wal) {
    path_ = DurableBenchDir() + "/tmp/peer.db";
    unlink(path_.c_str());
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) abort();
    Exec(std::string(wal ? "PRAGMA journal_mode=WAL;" : "PRAGMA journal_mode=DELETE;") +
         "PRAGMA synchronous=FULL;"
         "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT); BEGIN;");
    for (int i = 1; i <= 10000; ++i) {
      Exec("INSERT INTO t VALUES(" + std::to_string(i) + ", 'record number " + std::to_string(i) +
           "');");
    }
    Exec("COMMIT;");
  }
  ~Peer() {
    sqlite3_close(db_);
    for (const char* end : {"", "-wal", "-shm"}) unlink((path_ + end).c_str());
  }
  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) abort();
  }

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

inline void BM_PeerUpdate(benchmark::State& state) {
  Peer peer(state.range(0) != 0);
  int round = 0;
  for (auto _ : state) {
    peer.Exec(std::string("UPDATE t SET name='") + (++round % 2 ? "renamed" : "renamed again") +
              "' WHERE id=5000;");
  }
}
BENCHMARK(BM_PeerUpdate)->ArgName("wal")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The row is deleted again with the timer paused, so the table stays at
// 10,000 rows.
inline void BM_PeerInsert(benchmark::State& state) {
  Peer peer(state.range(0) != 0);
  for (auto _ : state) {
    peer.Exec("INSERT INTO t VALUES(10001, 'a module added by the benchmark');");
    state.PauseTiming();
    peer.Exec("DELETE FROM t WHERE id=10001;");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PeerInsert)->ArgName("wal")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace durable

#endif  // BENCH_BENCH_DURABLE_H_
