// Parsing a record file in memory, beside its floor: the same bytes cut into
// lines with memchr and nothing else, on texts of 1, 10 and 100 MB (argument
// "mb"), so that a step growing faster than the text shows as a ratio that
// grows with the size. Prints each parse's time as a multiple of the floor's
// of the same size, and the peak memory of a whole parse of the largest text
// as a multiple of its size.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_timing.h"
#include "s3/cs3data.h"
#include "s3/cs3data_parse.h"
#include "s3/cs3dataiofile.h"

namespace {

// About `mb` MB of records: fields of 5 to 100 bytes, some continued over
// several lines, some records with a group of IDs. Deterministic; built once
// per size and kept for the whole run.
std::string MakeRecordText(size_t bytes) {
  {
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
    t.reserve(bytes + (1u << 16));
    for (int id = 1; t.size() < bytes; ++id) {
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
  }
}

const std::string& RecordText(int64_t mb) {
  static std::map<int64_t, std::string> texts;
  auto it = texts.find(mb);
  if (it == texts.end()) it = texts.emplace(mb, MakeRecordText(static_cast<size_t>(mb) << 20)).first;
  return it->second;
}

// The ID of the last record (the last "object" line that is not a group's).
std::string LastId(const std::string& t) {
  size_t at = t.rfind("\nobject members");
  size_t last = t.rfind("\nobject ");
  if (last == at) last = t.rfind("\nobject ", at - 1);
  size_t start = last + 8;
  return t.substr(start, t.find('\n', start) - start);
}

// 1, 10 and 100 MB.
void Sizes(benchmark::internal::Benchmark* b) {
  b->ArgName("mb")->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMillisecond);
}

void BM_Floor(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
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
BENCHMARK(BM_Floor)->Apply(Sizes);

void BM_ParseWhole(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
  for (auto _ : state) {
    CS3Data data;
    int r = s3DataParse(&data, t.data(), t.size(), nullptr, nullptr);
    if (r != 0) state.SkipWithError("parse failed");
    benchmark::DoNotOptimize(data.itemCount);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_ParseWhole)->Apply(Sizes);

// The same with no kept blocks: every page of the parse's memory is new, as
// for the first large file a process parses.
void BM_ParseWholeCold(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
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
BENCHMARK(BM_ParseWholeCold)->Apply(Sizes);

// As the record file accessor feeds it: chunks of 8192 bytes.
void BM_ParseWholeChunked(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
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
BENCHMARK(BM_ParseWholeChunked)->Apply(Sizes);

// The floor of a parse into memory that no parse used before: as many bytes
// as the warm parse of the same text holds, mapped with their pages populated
// (as the parser maps its large blocks), written once in 16-byte stores and
// unmapped. On virtual machines the first write to each such page costs far
// more than the parse itself; a parse whose memory exceeds the blocks kept
// for the next parse (the 100 MB text) pays it for the excess.
void BM_FreshMemory(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
  size_t bytes;
  {
    CS3Data data;
    if (s3DataParse(&data, t.data(), t.size(), nullptr, nullptr) != 0) {
      state.SkipWithError("parse failed");
      return;
    }
    bytes = data.MemoryHeld() & ~size_t{15};
  }
  for (auto _ : state) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (p == MAP_FAILED) {
      state.SkipWithError("mmap failed");
      return;
    }
    char* c = static_cast<char*>(p);
    for (size_t i = 0; i < bytes; i += 16) memset(c + i, 1, 16);
    benchmark::DoNotOptimize(c[bytes / 2]);
    munmap(p, bytes);
  }
  state.counters["arena_MB"] = static_cast<double>(bytes) / (1 << 20);
}
BENCHMARK(BM_FreshMemory)->Apply(Sizes);

void BM_ParseWantedLast(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
  const std::string id = LastId(t);
  for (auto _ : state) {
    CS3Data data;
    int r = s3DataParse(&data, t.data(), t.size(), id.c_str(), nullptr);
    if (r != 0 || data.GetCount() != 1) state.SkipWithError("record not found");
    benchmark::DoNotOptimize(data.itemCount);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
}
BENCHMARK(BM_ParseWantedLast)->Apply(Sizes);

// Peak memory of a whole parse of the 100 MB text, fed in the accessor's
// read chunks, as a multiple of the text's size ("peak_over_size"). The parse
// runs in a child so that its peak is its own: the child gives the kept arena
// blocks back, resets its high-water mark to what it holds (clear_refs 5) and
// sends that baseline up a pipe; wait4 reports its peak.
void BM_ParsePeakMemory(benchmark::State& state) {
  const std::string& t = RecordText(state.range(0));
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      CS3DataArena::TrimPool();
      FILE* f = fopen("/proc/self/clear_refs", "w");
      bool reset = f != nullptr && fputs("5", f) >= 0;
      if (f != nullptr && fclose(f) != 0) reset = false;
      struct rusage before;
      getrusage(RUSAGE_SELF, &before);
      long baseline = reset ? before.ru_maxrss : -1;
      if (write(fds[1], &baseline, sizeof(baseline)) != sizeof(baseline)) _exit(2);
      CS3Data data;
      CS3DataParser parser(&data, nullptr, nullptr);
      for (size_t at = 0; at < t.size(); at += kIoReadChunk) {
        parser.Feed(t.data() + at, std::min<size_t>(kIoReadChunk, t.size() - at));
      }
      _exit(parser.Finish() == 0 ? 0 : 1);
    }
    close(fds[1]);
    long baseline = -1;
    bool got = read(fds[0], &baseline, sizeof(baseline)) == sizeof(baseline);
    close(fds[0]);
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !got || baseline < 0 ||
        !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("child parse failed or its peak could not be reset");
      return;
    }
    // ru_maxrss is in KiB.
    double grown = static_cast<double>(usage.ru_maxrss - baseline) * 1024.0;
    state.counters["peak_over_size"] = grown / static_cast<double>(t.size());
    state.counters["peak_MB"] = grown / (1 << 20);
  }
}
BENCHMARK(BM_ParsePeakMemory)
    ->ArgName("mb")
    ->Arg(100)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Console output plus, at the end, each benchmark's time per iteration as a
// multiple of the floor's of the same size.
class RatioReporter : public TimingReporter {
 public:
  void Finalize() override {
    ConsoleReporter::Finalize();
    printf("\nTime as a multiple of the floor (memchr line cut) of the same size (goal: flat):\n");
    printf("  %-28s %8s %8s\n", "", "real", "cpu");
    for (const auto& entry : real_) {
      const std::string& name = entry.first;
      size_t slash = name.find('/');
      if (slash == std::string::npos || name.compare(0, 8, "BM_Floor") == 0) continue;
      const std::string floor = "BM_Floor" + name.substr(slash);
      auto f = real_.find(floor);
      if (f == real_.end() || f->second <= 0 || cpu_[floor] <= 0) continue;
      printf("  %-28s %7.2fx %7.2fx\n", name.c_str(), entry.second / f->second,
             cpu_[name] / cpu_[floor]);
    }
    printf("\nWhole parses as a multiple of the floor plus fresh memory (every arena page new):\n");
    for (const auto& entry : real_) {
      const std::string& name = entry.first;
      size_t slash = name.find('/');
      if (slash == std::string::npos || name.compare(0, 13, "BM_ParseWhole") != 0) continue;
      auto f = real_.find("BM_Floor" + name.substr(slash));
      auto m = real_.find("BM_FreshMemory" + name.substr(slash));
      if (f == real_.end() || m == real_.end() || f->second + m->second <= 0) continue;
      printf("  %-28s %7.2fx\n", name.c_str(), entry.second / (f->second + m->second));
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
