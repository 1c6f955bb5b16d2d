// Add(index, record) on an index of n = 1,000, 10,000 and 100,000 entries,
// against its floor: the same bytes read and written with plain read/write,
// without locks, backup copies or parsing. Each iteration starts from the same
// n-entry index (restored with the timer paused), so the size does not drift.
// Both grow with n (the index is rewritten whole); a ratio that grows with n
// is a step that grows faster than the index. The add runs with durability
// Full (durability:1, what every program runs with) and Off (durability:0:
// no unit log, no flushes), so the flushes' share of the time shows apart
// from the work that grows with the index. At 10,000 entries Full is also
// printed as a multiple of Off plus its flushes at the flush floor, Off as a
// multiple of the floor, and Full beside the peer's one-row insert
// (bench_durable.h).
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_durable.h"
#include "bench/bench_timing.h"
#include "common/S3ComPath.h"
#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "s3/cs3journal.h"

namespace {

class Rec : public CS3Object {
 public:
  explicit Rec(const char* file) : file_(file) {}
  int GetFileName(char* out) override {
    snprintf(out, kComPathMax, file_, GetID());
    return kResOk;
  }
  int SetFieldValue(CS3Data* data) override {
    return data->SetFieldValue("name", "a module added by the benchmark");
  }

 private:
  const char* file_;
};

int RemoveOne(const char* p, const struct stat*, int, struct FTW*) {
  return remove(p);
}

// A data home holding idx/index with `entries` entries; removed afterwards.
class Home {
 public:
  explicit Home(int entries) : entries_(entries) {
    char pattern[] = "/tmp/sched-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    home_ = pattern;
    S3ComPathHomeSave(home_.c_str());
    index_ = "object 1\n_lastid=" + std::to_string(entries_) + "\n";
    for (int i = 1; i <= entries_; ++i) index_ += "_item=" + std::to_string(i) + "\n";
    index_ += "end\n";
    mkdir((home_ + "/data").c_str(), 0755);
    mkdir((home_ + "/data/tmp").c_str(), 0755);
    mkdir((home_ + "/data/idx").c_str(), 0755);
    Reset();
  }
  ~Home() { nftw(home_.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS); }

  std::string Data(const std::string& rel) const { return home_ + "/data/" + rel; }
  const std::string& index() const { return index_; }
  // The index as at the start, and no record file.
  void Reset() {
    int fd = open(Data("idx/index").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || write(fd, index_.data(), index_.size()) != static_cast<ssize_t>(index_.size()))
      abort();
    close(fd);
    unlink(Data("idx/rec" + std::to_string(entries_ + 1)).c_str());
  }

 private:
  int entries_;
  std::string home_;
  std::string index_;
};

constexpr int kSizes[] = {1000, 10000, 100000};

void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("n")->Unit(benchmark::kMicrosecond);
  for (int n : kSizes) b->Arg(n);
}

// Arguments durability (0 Off, 1 Full) and n; n last, so that a filter on
// the smallest size ("n:1000$") picks both modes.
void DurabilityAndSizes(benchmark::internal::Benchmark* b) {
  b->ArgNames({"durability", "n"})->Unit(benchmark::kMicrosecond);
  for (int durability : {1, 0}) {
    for (int n : kSizes) b->Args({durability, n});
  }
}

void BM_AddToIndex(benchmark::State& state) {
  s3SetDurability(state.range(0) != 0 ? kS3DurabilityFull : kS3DurabilityOff);
  Home home(static_cast<int>(state.range(1)));
  for (auto _ : state) {
    Rec index("idx/index"), rec("idx/rec%d");
    {
      CS3DataIO io;
      if (io.Add(index, rec) != 0) state.SkipWithError("Add failed");
    }
    state.PauseTiming();
    home.Reset();
    state.ResumeTiming();
  }
  s3SetDurability(kS3DurabilityFull);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddToIndex)->Apply(DurabilityAndSizes);

// The floor: read the index whole, write it back with one more entry, and
// append the record to a new file, with plain system calls.
void BM_AddFloor(benchmark::State& state) {
  const int entries = static_cast<int>(state.range(0));
  const std::string next = std::to_string(entries + 1);
  Home home(entries);
  std::vector<char> buf(home.index().size() + 64);
  const std::string record = "object " + next + "\nname=a module added by the benchmark\nend\n";
  for (auto _ : state) {
    int fd = open(home.Data("idx/index").c_str(), O_RDWR);
    ssize_t n = read(fd, buf.data(), buf.size());
    std::string text(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
    text.insert(text.size() - 4, "_item=" + next + "\n");
    if (pwrite(fd, text.data(), text.size(), 0) < 0 || ftruncate(fd, text.size()) != 0) abort();
    close(fd);
    fd = open(home.Data("idx/rec" + next).c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (write(fd, record.data(), record.size()) < 0) abort();
    close(fd);
    state.PauseTiming();
    home.Reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddFloor)->Apply(Sizes);

// The home of the flush count, the flush floor and the peer.
Home& Scratch() {
  static Home home(10);
  return home;
}

// Prints the ratio of our operation to its floor after the usual table.
class RatioReporter : public TimingReporter {
 public:
  explicit RatioReporter(const durable::Flushes& flushes) : flushes_(flushes) {}
  void Finalize() override {
    ConsoleReporter::Finalize();
    for (int n : kSizes) {
      const std::string size = std::to_string(n);
      const double floor = real_["BM_AddFloor/n:" + size];
      for (const char* durability : {"1", "0"}) {
        const double add =
            real_["BM_AddToIndex/durability:" + std::string(durability) + "/n:" + size];
        if (add > 0 && floor > 0) {
          printf(
              "Add(index, record), %6s entries, durability %s: %8.0f adds/s; floor %8.0f/s; "
              "ratio %.2f\n",
              size.c_str(), durability[0] == '1' ? "Full" : "Off ", 1 / add, 1 / floor,
              add / floor);
        }
      }
    }
    const double flush = real_["BM_FlushFloor/created:0"];
    const double full = real_["BM_AddToIndex/durability:1/n:10000"];
    const double off = real_["BM_AddToIndex/durability:0/n:10000"];
    const double floor = real_["BM_AddFloor/n:10000"];
    if (flush > 0 && full > 0 && off > 0 && floor > 0) {
      const durable::Count& count = flushes_.addIndex;
      printf(
          "flush floor (pwrite and fdatasync of 64 bytes): %.1f us, %.1f us after a file was "
          "created and removed\n",
          flush * 1e6, real_["BM_FlushFloor/created:1"] * 1e6);
      printf(
          "Add(index, record), 10000 entries: Full %.0f us, %.2fx Off + %d rounds x one flush "
          "(%d flushes: %s); Off %.0f us, %.2fx the plain floor",
          full * 1e6, full / (off + count.rounds * flush), count.rounds, count.flushes,
          count.Rounds().c_str(), off * 1e6, off / floor);
      const double rounds = durable::MeasuredFloor(real_, count, true);
      const double measured = rounds > 0 ? off + rounds : 0;
      if (measured > 0) {
        printf("; %.2fx its measured floor (%.0f us)", full / measured, measured * 1e6);
      }
      printf("\n");
      durable::Verdict("Add(index, record) Full against the rollback-journal insert", full,
                       measured, real_["BM_PeerInsert/wal:0"], 1);
      durable::Verdict("Add(index, record) Full against the WAL insert (stretch)", full, measured,
                       real_["BM_PeerInsert/wal:1"], 2);
    }
  }

 private:
  durable::Flushes flushes_;
};

}  // namespace

const std::string& DurableBenchDir() {
  static const std::string dir = Scratch().Data("").substr(0, Scratch().Data("").size() - 1);
  return dir;
}

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  DurableBenchDir();
  RatioReporter reporter(durable::FlushesPerUnit());
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
