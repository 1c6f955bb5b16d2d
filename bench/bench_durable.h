// What a durable unit of work costs at the least on this disk, beside the
// flushes our units make and a peer store doing the same work, for the two
// record store benchmarks:
//  - FlushesPerUnit: the flushes (file and directory) that Mod, Add,
//    Add(index, record) and Del(index, record) each make, counted through the
//    file helpers' seam once the process has its unit log;
//  - BM_FlushFloor: one small pwrite and fdatasync of a file, the floor of
//    one flush (created:0); with created:1 a file is created and removed in
//    the same directory before each, as every unit's backup copy is, and the
//    flush then also pays for the file system's journal commit;
//  - BM_PeerUpdate / BM_PeerInsert: SQLite in rollback-journal mode with
//    synchronous=FULL (the same kind of undo log), one row updated or
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

inline int flushes = 0;
inline int CountFlush(const ComIoCall& call) {
  if (call.op == kComIoSync || call.op == kComIoSyncDir) ++flushes;
  return 0;
}

// The flushes `unit` makes.
inline int FlushesOf(const std::function<void()>& unit) {
  static const ComIoHooks hooks = {CountFlush, nullptr};
  flushes = 0;
  comSetIoHooks(&hooks);
  unit();
  comSetIoHooks(nullptr);
  return flushes;
}

struct Flushes {
  int mod = 0, add = 0, addIndex = 0, delIndex = 0;
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
  printf("flushes per unit: Mod %d, Add %d, Add(index) %d, Del(index) %d\n", f.mod, f.add,
         f.addIndex, f.delIndex);
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
// A table of 10,000 rows in a rollback-journal database with full flushes.
class Peer {
 public:
  Peer() {
    path_ = DurableBenchDir() + "/tmp/peer.db";
    unlink(path_.c_str());
    if (sqlite3_open(path_.c_str(), &db_) != SQLITE_OK) abort();
    Exec(
        "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
        "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT); BEGIN;");
    for (int i = 1; i <= 10000; ++i) {
      Exec("INSERT INTO t VALUES(" + std::to_string(i) + ", 'record number " + std::to_string(i) +
           "');");
    }
    Exec("COMMIT;");
  }
  ~Peer() {
    sqlite3_close(db_);
    unlink(path_.c_str());
  }
  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) abort();
  }

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
};

inline void BM_PeerUpdate(benchmark::State& state) {
  Peer peer;
  int round = 0;
  for (auto _ : state) {
    peer.Exec(std::string("UPDATE t SET name='") + (++round % 2 ? "renamed" : "renamed again") +
              "' WHERE id=5000;");
  }
}
BENCHMARK(BM_PeerUpdate)->Unit(benchmark::kMicrosecond);

// The row is deleted again with the timer paused, so the table stays at
// 10,000 rows.
inline void BM_PeerInsert(benchmark::State& state) {
  Peer peer;
  for (auto _ : state) {
    peer.Exec("INSERT INTO t VALUES(10001, 'a module added by the benchmark');");
    state.PauseTiming();
    peer.Exec("DELETE FROM t WHERE id=10001;");
    state.ResumeTiming();
  }
}
BENCHMARK(BM_PeerInsert)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace durable

#endif  // BENCH_BENCH_DURABLE_H_
