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
#include <string>

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

inline int flushes = 0, rounds = 0;
inline bool inRound = false;
inline void CountFlush(const ComIoCall& call, int) {
  if (call.op == kComIoSync || call.op == kComIoSyncDir) {
    ++flushes;
    if (!inRound) ++rounds;
  }
  if (call.op == kComIoRound) ++rounds;
  if (call.op == kComIoRound || call.op == kComIoRoundEnd) inRound = call.op == kComIoRound;
}

// The flushes and rounds `unit` makes.
struct Count {
  int flushes = 0, rounds = 0;
};
inline Count FlushesOf(const std::function<void()>& unit) {
  static const ComIoHooks hooks = {nullptr, CountFlush};
  flushes = rounds = 0;
  comSetIoHooks(&hooks);
  unit();
  comSetIoHooks(nullptr);
  return {flushes, rounds};
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
  printf("flush rounds per unit: Mod %d, Add %d, Add(index) %d, Del(index) %d\n", f.mod.rounds,
         f.add.rounds, f.addIndex.rounds, f.delIndex.rounds);
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
