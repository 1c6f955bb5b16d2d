// The record file accessor against its floors, in one run:
//  - Get(obj, id) of the last record of a file of n = 1,000, 10,000 and
//    100,000 records, against reading the whole file and cutting it into
//    lines with memchr;
//  - Mod(obj) of the first record of a file of n records, against copying the
//    file twice with plain read and write;
//  - one write unit (Mod of a 1-record file, Add to a 100-record file) with
//    durability Off and Full, what Full costs as a multiple of Off and of Off
//    plus its flushes at the flush floor, and Mod beside the peer's one-row
//    update (bench_durable.h).
// At the end each operation's time is printed as a multiple of its floor.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/bench_durable.h"
#include "bench/bench_timing.h"
#include "common/S3ComPath.h"
#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"
#include "s3/cs3object.h"

namespace {

// A data home under /tmp for the whole run.
class BenchHome {
 public:
  BenchHome() {
    char pattern[] = "/tmp/sched-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    home_ = pattern;
    data_ = home_ + "/data";
    S3ComPathHomeSave(home_.c_str());
    mkdir((home_ + "/data").c_str(), 0755);
    mkdir((home_ + "/data/tmp").c_str(), 0755);
  }
  ~BenchHome() {
    std::string cmd = "rm -rf '" + home_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", home_.c_str());
  }
  std::string Data(const char* name) const { return home_ + "/data/" + name; }
  const std::string& DataDir() const { return data_; }

 private:
  std::string home_;
  std::string data_;
};

BenchHome& Home() {
  static BenchHome home;
  return home;
}

void Write(const std::string& path, const std::string& text) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) abort();
  close(fd);
}

// A file of `count` records of about 60 bytes each, IDs 1..count.
std::string Records(int count) {
  std::string text;
  for (int i = 1; i <= count; ++i) {
    text += "object " + std::to_string(i) + "\nName=record number " + std::to_string(i) +
            "\nmemo=some words of memo text\nend\n";
  }
  return text;
}

class BenchRecord : public CS3Object {
 public:
  explicit BenchRecord(const char* file) : file_(file) {}
  int GetFileName(char* out) override {
    snprintf(out, kComPathMax, "%s", file_);
    return 0;
  }
  int SetFieldValue(CS3Data* data) override {
    int r = data->SetFieldValue("Name", name.Get());
    return r != 0 ? r : data->SetFieldValue("memo", "some words of memo text");
  }
  int GetFieldValue(CS3Data* data) override { return data->GetFieldValue("Name", name); }
  void Clean() override { name.Clean(); }
  CS3String name;

 private:
  const char* file_;
};

// ---- Get of the last record, Mod of the first, at n records -------------------------
// Files of 1,000, 10,000 and 100,000 records (argument "n"), written once per
// size and kept for the run. Get reads up to the last record's "end", so it and
// its floor grow with n; Mod of the first record rewrites the whole file from
// that record on, as its floor (two plain copies) does. A ratio to the floor
// that grows with n is a step that grows faster than the file.

void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("n")->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
}

// "<stem><n>": records 1..n, written once per stem and size and kept for the
// run. "many" is for Get (never written), "big" for Mod of record 1 (its
// length alternates by two bytes, so the file stays about the same size).
const std::string& RecordsPath(const char* stem, int n) {
  static std::map<std::string, std::string> paths;
  const std::string name = stem + std::to_string(n);
  auto it = paths.find(name);
  if (it == paths.end()) {
    std::string p = Home().Data(name.c_str());
    Write(p, Records(n));
    it = paths.emplace(name, p).first;
  }
  return it->second;
}
const std::string& ManyPath(int n) {
  return RecordsPath("many", n);
}
const std::string& BigPath(int n) {
  return RecordsPath("big", n);
}

void BM_GetLastRecord(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string name = "many" + std::to_string(n);
  ManyPath(n);
  for (auto _ : state) {
    CS3DataIO io;
    BenchRecord rec(name.c_str());
    if (io.Get(rec, n) != 0) state.SkipWithError("Get failed");
    benchmark::DoNotOptimize(rec.name.Get());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetLastRecord)->Apply(Sizes);

void BM_GetLastRecordFloor(benchmark::State& state) {
  const std::string& path = ManyPath(static_cast<int>(state.range(0)));
  static char buf[64 * 1024];
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDONLY);
    size_t lines = 0;
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0) {
      const char* p = buf;
      const char* end = buf + n;
      while ((p = static_cast<const char*>(memchr(p, '\n', end - p))) != nullptr) {
        ++lines;
        ++p;
      }
    }
    close(fd);
    benchmark::DoNotOptimize(lines);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetLastRecordFloor)->Apply(Sizes);

void BM_ModFirstRecord(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::string name = "big" + std::to_string(n);
  BigPath(n);
  int round = 0;
  for (auto _ : state) {
    CS3DataIO io;
    BenchRecord rec(name.c_str());
    // Alternate between two lengths so the tail really moves.
    rec.name.Set(++round % 2 ? "record number 1" : "record number one");
    if (io.Mod(rec) != 0) state.SkipWithError("Mod failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ModFirstRecord)->Apply(Sizes);

void CopyOnce(const std::string& from, const std::string& to) {
  static char buf[64 * 1024];
  int in = open(from.c_str(), O_RDONLY);
  int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ssize_t n;
  while ((n = read(in, buf, sizeof(buf))) > 0) {
    if (write(out, buf, n) != n) abort();
  }
  close(in);
  close(out);
}

void BM_ModFirstRecordFloor(benchmark::State& state) {
  const std::string& path = BigPath(static_cast<int>(state.range(0)));
  const std::string copy1 = Home().Data("tmp/floor1");
  const std::string copy2 = Home().Data("tmp/floor2");
  for (auto _ : state) {
    CopyOnce(path, copy1);
    CopyOnce(copy1, copy2);
  }
  unlink(copy1.c_str());
  unlink(copy2.c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ModFirstRecordFloor)->Apply(Sizes);

// ---- One write unit with the crash protection off and on ---------------------------
// Arg 0 runs with kS3DurabilityOff, 1 with kS3DurabilityFull, so /durability:1
// over /durability:0 is what the unit log and the flushes cost per unit.

void SetDurability(benchmark::State& state) {
  s3SetDurability(state.range(0) != 0 ? kS3DurabilityFull : kS3DurabilityOff);
}

// Mod(obj) of a file that holds one record.
void BM_ModUnit(benchmark::State& state) {
  const std::string path = Home().Data("unit-one");
  Write(path, Records(1));
  SetDurability(state);
  int round = 0;
  for (auto _ : state) {
    CS3DataIO io;
    BenchRecord rec("unit-one");
    rec.name.Set(++round % 2 ? "record number 1" : "record number one");
    if (io.Mod(rec) != 0) state.SkipWithError("Mod failed");
  }
  s3SetDurability(kS3DurabilityFull);
  unlink(path.c_str());
}
BENCHMARK(BM_ModUnit)->ArgName("durability")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Add(obj) of record 101 to a file of 100 records; the file is put back to
// 100 records with the timer paused, so its size does not drift.
void BM_AddUnit(benchmark::State& state) {
  const std::string path = Home().Data("unit-hundred");
  const std::string hundred = Records(100);
  Write(path, hundred);
  SetDurability(state);
  for (auto _ : state) {
    {
      CS3DataIO io;
      BenchRecord rec("unit-hundred");
      rec.name.Set("record number 101");
      if (io.Add(rec) < 0) state.SkipWithError("Add failed");
    }
    state.PauseTiming();
    Write(path, hundred);
    state.ResumeTiming();
  }
  s3SetDurability(kS3DurabilityFull);
  unlink(path.c_str());
}
BENCHMARK(BM_AddUnit)->ArgName("durability")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// Console output, then each operation's time as a multiple of its floor.
class RatioReporter : public TimingReporter {
 public:
  explicit RatioReporter(const durable::Flushes& flushes) : flushes_(flushes) {}
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const char* n : {"/n:1000", "/n:10000", "/n:100000"}) {
      Ratio(std::string("BM_GetLastRecord") + n, std::string("BM_GetLastRecordFloor") + n, 2.5);
      Ratio(std::string("BM_ModFirstRecord") + n, std::string("BM_ModFirstRecordFloor") + n, 3.0);
    }
    if (real_.count("BM_FlushFloor/created:0") != 0) {
      printf(
          "flush floor (pwrite and fdatasync of 64 bytes): %.1f us, %.1f us after a file was "
          "created and removed\n",
          real_["BM_FlushFloor/created:0"] * 1e6, real_["BM_FlushFloor/created:1"] * 1e6);
    }
    Cost("BM_ModUnit", flushes_.mod, false, "BM_PeerUpdate/wal:1", 1.3);
    Cost("BM_ModUnit", flushes_.mod, false, "BM_PeerUpdate/wal:0", 0);
    Cost("BM_AddUnit", flushes_.add, true, nullptr, 0);
  }

 private:
  void Ratio(const std::string& ours, const std::string& floor, double target) {
    if (real_.count(ours) == 0 || real_.count(floor) == 0 || real_[floor] <= 0 ||
        cpu_[floor] <= 0) {
      return;
    }
    printf("%-26s %.2fx its floor in real time, %.2fx in CPU time (target within %.1fx)\n",
           ours.c_str(), real_[ours] / real_[floor], cpu_[ours] / cpu_[floor], target);
  }
  // A unit with durability Full as a multiple of the same unit with it Off,
  // of its floor (Off plus its rounds of flushes, each at one flush), and of
  // the peer's same work (with the goal, when `goal` is not 0).
  // The measured floor: Off plus what its rounds of flushes cost on this
  // disk (see durable::MeasuredFloor); `created` when the unit makes a file.
  void Cost(const std::string& name, const durable::Count& count, bool created, const char* peer,
            double goal) {
    const std::string off = name + "/durability:0", full = name + "/durability:1";
    if (real_.count(off) == 0 || real_.count(full) == 0 || real_[off] <= 0) return;
    printf("%-12s Full %.1f us, Off %.1f us: %.2fx Off", name.c_str(), real_[full] * 1e6,
           real_[off] * 1e6, real_[full] / real_[off]);
    if (real_.count("BM_FlushFloor/created:0") != 0) {
      printf(", %.2fx Off + %d rounds x one flush (%d flushes: %s)",
             real_[full] / (real_[off] + count.rounds * real_["BM_FlushFloor/created:0"]),
             count.rounds, count.flushes, count.Rounds().c_str());
    }
    const double rounds = durable::MeasuredFloor(real_, count, created);
    const double floor = rounds > 0 ? real_[off] + rounds : 0;
    if (floor > 0) printf(", %.2fx its measured floor (%.1f us)", real_[full] / floor, floor * 1e6);
    if (peer != nullptr && real_.count(peer) != 0) {
      printf(", %.2fx the peer's %s (%.1f us)", real_[full] / real_[peer], peer, real_[peer] * 1e6);
    }
    printf("\n");
    if (peer != nullptr && goal > 0 && real_.count(peer) != 0) {
      durable::Verdict((name + " Full against " + peer).c_str(), real_[full], floor, real_[peer],
                       goal);
    }
  }

  durable::Flushes flushes_;
};

}  // namespace

const std::string& DurableBenchDir() {
  return Home().DataDir();
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter(durable::FlushesPerUnit());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
