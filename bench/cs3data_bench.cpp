// Parsing a record file in memory, beside its floor: the same bytes cut into
// lines with memchr and nothing else. Prints each parse's time as a multiple
// of the floor's.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_timing.h"
#include "s3/cs3data.h"

namespace {

// About 16 MB of records: fields of 5 to 100 bytes, some continued over
// several lines, some records with a group of IDs. Deterministic.
const std::string& RecordText() {
  static const std::string text = [] {
    static const char* const kNames[] = {"Name",     "execute", "memo",   "owner", "start",
                                         "end_time", "place",   "status", "note",  "kind"};
    uint64_t seed = 12345;
    auto next = [&seed](uint32_t bound) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return static_cast<uint32_t>(seed >> 33) % bound;
    };
    auto value = [&](std::string* out) {
      uint32_t n = 5 + next(96);
      for (uint32_t i = 0; i < n; ++i) out->push_back(static_cast<char>(' ' + 1 + next(94)));
    };
    std::string t;
    t.reserve(17u << 20);
    for (int id = 1; t.size() < (16u << 20); ++id) {
      t += "object " + std::to_string(id) + "\n";
      int fields = 10 + static_cast<int>(next(20));
      for (int f = 0; f < fields; ++f) {
        t += kNames[next(10)];
        t += std::to_string(f) + "=";
        value(&t);
        t += "\n";
        if (next(10) == 0) {
          for (uint32_t c = 1 + next(3); c > 0; --c) {
            t += "\t";
            value(&t);
            t += "\n";
          }
        }
      }
      if (id % 3 == 0) {
        t += "object members\n";
        for (uint32_t v = 5 + next(16); v > 0; --v)
          t += "_item=" + std::to_string(next(100000)) + "\n";
        t += "end\n";
      }
      t += "end\n";
    }
    return t;
  }();
  return text;
}

// The ID of the last record (the last "object" line that is not a group's).
std::string LastId() {
  const std::string& t = RecordText();
  size_t at = t.rfind("\nobject members");
  size_t last = t.rfind("\nobject ");
  if (last == at) last = t.rfind("\nobject ", at - 1);
  size_t start = last + 8;
  return t.substr(start, t.find('\n', start) - start);
}

void BM_Floor(benchmark::State& state) {
  const std::string& t = RecordText();
  for (auto _ : state) {
    size_t lines = 0;
    const char* p = t.data();
    const char* end = p + t.size();
    while (const void* lf = memchr(p, '\n', static_cast<size_t>(end - p))) {
      ++lines;
      p = static_cast<const char*>(lf) + 1;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_Floor)->Unit(benchmark::kMillisecond);

void BM_ParseWhole(benchmark::State& state) {
  const std::string& t = RecordText();
  for (auto _ : state) {
    CS3Data data;
    int r = s3DataParse(&data, t.data(), t.size(), nullptr, nullptr);
    if (r != 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(data.itemCount);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_ParseWhole)->Unit(benchmark::kMillisecond);

// The same with no kept blocks: every page of the parse's memory is new, as
// for the first large file a process parses.
void BM_ParseWholeCold(benchmark::State& state) {
  const std::string& t = RecordText();
  for (auto _ : state) {
    state.PauseTiming();
    CS3DataArena::TrimPool();
    state.ResumeTiming();
    CS3Data data;
    int r = s3DataParse(&data, t.data(), t.size(), nullptr, nullptr);
    if (r != 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(data.itemCount);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_ParseWholeCold)->Unit(benchmark::kMillisecond);

// As the record file accessor feeds it: chunks of 8192 bytes.
void BM_ParseWholeChunked(benchmark::State& state) {
  const std::string& t = RecordText();
  for (auto _ : state) {
    CS3Data data;
    CS3DataParser parser(&data, nullptr, nullptr);
    for (size_t at = 0; at < t.size(); at += 8192) {
      parser.Feed(t.data() + at, std::min<size_t>(8192, t.size() - at));
    }
    if (parser.Finish() != 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(data.itemCount);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_ParseWholeChunked)->Unit(benchmark::kMillisecond);

void BM_ParseWantedLast(benchmark::State& state) {
  const std::string& t = RecordText();
  const std::string id = LastId();
  for (auto _ : state) {
    CS3Data data;
    int r = s3DataParse(&data, t.data(), t.size(), id.c_str(), nullptr);
    if (r != 0 || data.GetCount() != 1) state.SkipWithError("record not found");
    benchmark::DoNotOptimize(data.itemCount);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_ParseWantedLast)->Unit(benchmark::kMillisecond);

// Console output plus, at the end, each benchmark's time per iteration as a
// multiple of the floor's.
class RatioReporter : public TimingReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    auto floor = real_.find("BM_Floor");
    auto floorCpu = cpu_.find("BM_Floor");
    if (floor == real_.end() || floor->second <= 0 || floorCpu->second <= 0) return;
    printf("\nRecord text: %zu bytes. Time as a multiple of the floor (memchr line cut):\n",
           RecordText().size());
    printf("  %-24s %8s %8s\n", "", "real", "cpu");
    for (const auto& entry : real_) {
      printf("  %-24s %7.2fx %7.2fx\n", entry.first.c_str(), entry.second / floor->second,
             cpu_[entry.first] / floorCpu->second);
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordText();  // generated once, outside the measurements
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
