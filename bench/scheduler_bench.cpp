// Module dispatch beside its floor (the same programs started with plain
// fork/exec), a dispatch pass that finds nothing due, and the sleeping
// daemon's private memory beside that of a program that only sleeps, before
// its first run and after one.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "common/S3ComPath.h"
#include "common/comfile.h"
#include "common/comproc.h"
#include "scheduler/MainScheduler.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"

namespace {

constexpr int kModules = 1000;
constexpr char kProgram[] = "/bin/true";

// A data home with kModules modules running kProgram, all scheduled at 10:15
// when `due`; removed at exit.
class BenchHome {
 public:
  explicit BenchHome(bool due) {
    char name[] = "/tmp/sched-bench-XXXXXX";
    if (mkdtemp(name) == nullptr) abort();
    path_ = name;
    S3ComPathHomeSave(path_.c_str());
    for (int i = 0; i < kModules; ++i) {
      CvelSchedulerModule module;
      if (module.Set("execute", kProgram) != 0 || module.Add() != 0) abort();
      CvelScheduler entry;
      if (due && entry.Add(1, module.GetID(), "10", "15") != 0) abort();
    }
  }
  ~BenchHome() { comDirDelete(path_.c_str(), nullptr); }
  const char* c_str() const { return path_.c_str(); }

 private:
  std::string path_;
};

void ReapAll() {
  while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Each iteration starts kModules children twice: as a plain fork/execv loop
// (the floor) and as one dispatch pass; both wait until every child ended.
// The floor's children get the same set-up as a started module: input from
// the null device, output to the console, signals at default, nothing
// blocked.
// The reported time is the dispatch's; the floor and the ratio are counters.
void BM_DispatchAllDue(benchmark::State& state) {
  static BenchHome home(true);
  S3ComPathHomeSave(home.c_str());
  // Both sides run under the daemon's child-exit handler, which the dispatch
  // installs anyway.
  struct sigaction reaper;
  memset(&reaper, 0, sizeof(reaper));
  reaper.sa_handler = schedulerModuleExec_childend;
  reaper.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &reaper, nullptr);
  double floor = 0;
  double ours = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kModules; ++i) {
      pid_t child = fork();
      if (child == 0) {
        signal(SIGCHLD, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        com_execchgio(nullptr);
        execl(kProgram, kProgram, home.c_str(), "10", "15", static_cast<char*>(nullptr));
        _exit(1);
      }
    }
    ReapAll();
    floor += Seconds(start);

    start = std::chrono::steady_clock::now();
    if (schedulerModuleExec(10, 15, home.c_str()) != 0) state.SkipWithError("dispatch failed");
    ReapAll();
    double pass = Seconds(start);
    ours += pass;
    state.SetIterationTime(pass);
  }
  signal(SIGCHLD, SIG_DFL);
  state.counters["floor_ms"] = floor * 1000 / state.iterations();
  state.counters["ratio"] = ours / floor;
}
BENCHMARK(BM_DispatchAllDue)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DispatchNoneDue(benchmark::State& state) {
  static BenchHome home(false);
  S3ComPathHomeSave(home.c_str());
  for (auto _ : state) {
    if (schedulerModuleExec(10, 15, home.c_str()) != 0) state.SkipWithError("dispatch failed");
  }
  state.counters["per_module"] = benchmark::Counter(
      kModules, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DispatchNoneDue)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Memory asleep, against its floor --------------------------------------
//
// What a sleeping process costs is its private memory: the pages it wrote
// (Private_Dirty; Anonymous, which is the same here) and its proportional
// share of everything it maps (Pss). VmRSS also counts the clean pages of
// the program and its libraries, which stay in the page cache, shared with
// every process that maps them, whether this one keeps them mapped or not;
// it is printed only beside the others.

// Figures of one process, in kB; -1 where not read.
struct MemoryFigures {
  double vmRss = -1;
  double pss = -1;
  double privateDirty = -1;
  double anonymous = -1;
};

// Sets *out to the number after `field` (a name with its colon) on the
// line that starts with it; false when no line does or the file is missing.
bool ReadKb(const std::string& path, const char* field, double* out) {
  FILE* file = fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  size_t length = strlen(field);
  char line[256];
  bool found = false;
  while (!found && fgets(line, sizeof(line), file) != nullptr) {
    if (strncmp(line, field, length) == 0) {
      *out = atof(line + length);
      found = true;
    }
  }
  fclose(file);
  return found;
}

bool ReadFigures(pid_t pid, MemoryFigures* out) {
  std::string proc = "/proc/" + std::to_string(pid);
  return ReadKb(proc + "/status", "VmRSS:", &out->vmRss) &&
         ReadKb(proc + "/smaps_rollup", "Pss:", &out->pss) &&
         ReadKb(proc + "/smaps_rollup", "Private_Dirty:", &out->privateDirty) &&
         ReadKb(proc + "/smaps_rollup", "Anonymous:", &out->anonymous);
}

// The state letter of /proc/PID/stat ('S': asleep), or 0 when it cannot be
// read (the process is gone).
char ProcessState(pid_t pid) {
  FILE* file = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return 0;
  char line[512];
  char state = 0;
  if (fgets(line, sizeof(line), file) != nullptr) {
    // "pid (name) S ...": the name may hold spaces and parentheses.
    const char* close = strrchr(line, ')');
    if (close != nullptr && close[1] == ' ') state = close[2];
  }
  fclose(file);
  return state;
}

// A freshly linked program's pages stay dirty in the page cache until they
// are written back (about half a minute later), and smaps counts them as
// Private_Dirty of the one process that maps them. Flushing the file first
// keeps the figure to what the process itself wrote.
bool FlushFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

// Starts `program` with the arguments given (none when `home` is null).
pid_t Start(const char* program, const char* home, const char* interval) {
  pid_t child = fork();
  if (child == 0) {
    if (home == nullptr) {
      execl(program, program, static_cast<char*>(nullptr));
    } else {
      execl(program, program, home, interval, static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  return child;
}

// Waits up to ten seconds until `ready` holds (when given) and the process
// is asleep, then a fifth of a second more so that it settles in its sleep.
bool WaitAsleep(pid_t pid, const std::string& ready) {
  for (int i = 0; i < 1000; ++i) {
    char state = ProcessState(pid);
    if (state == 0 || state == 'Z') return false;
    if (state == 'S' && (ready.empty() || access(ready.c_str(), F_OK) == 0)) {
      usleep(200000);
      return ProcessState(pid) == 'S';
    }
    usleep(10000);
  }
  return false;
}

void Stop(pid_t pid) {
  kill(pid, SIGTERM);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// What the daemon did before it was read asleep: nothing (its one module is
// never due), or it ran its module once at start-up, on a home that chose
// to send its modules' output to the console or to keep it
// (HOME/data/scheduler/output-mode, stores/runoutput.h).
enum BeforeSleep { kNothingDue = 0, kRanToConsole = 1, kRanKept = 2, kBeforeSleepKinds = 3 };
const char* const kBeforeSleepNames[kBeforeSleepKinds] = {
    "nothing due", "after a run, output to the console", "after a run, output kept"};

// Figures of the last completed resident-memory run of each kind, for the
// closing table.
struct MemoryRun {
  bool done = false;
  MemoryFigures daemon;
  MemoryFigures floor;
};
MemoryRun gMemoryRuns[kBeforeSleepKinds];

// The median of each figure over `runs` (at least one).
MemoryFigures Median(std::vector<MemoryFigures> runs) {
  MemoryFigures middle;
  double MemoryFigures::*fields[] = {&MemoryFigures::vmRss, &MemoryFigures::pss,
                                     &MemoryFigures::privateDirty, &MemoryFigures::anonymous};
  for (double MemoryFigures::*field : fields) {
    std::vector<double> values;
    for (const MemoryFigures& run : runs) values.push_back(run.*field);
    std::sort(values.begin(), values.end());
    middle.*field = values[values.size() / 2];
  }
  return middle;
}

// Starts of each program whose figures give the median: a figure moves by a
// page from start to start (where the stack begins within its page, the
// page cache).
constexpr int kMemoryStarts = 5;

// Sets up the saved data home `name` for `before`: one module, and `ready`,
// the file that tells the daemon is where it is to be read. Nothing due: the
// module runs kProgram and has no schedule entry; `ready` is the next-alarm
// record, which an hourly daemon publishes before its first sleep.
// A run: a script that prints a line and then leaves `ready`, due at the
// current minute and the next (a daemon with interval 1 runs the minute it
// starts in at once, and the start may fall in the next); the daemon is read
// once it has reaped the script and sleeps again.
bool SetUpHome(const char* name, int before, std::string* ready) {
  CvelSchedulerModule module;
  std::string program = kProgram;
  if (before != kNothingDue) {
    program = std::string(name) + "/ran.sh";
    FILE* script = fopen(program.c_str(), "w");
    if (script == nullptr) return false;
    fprintf(script, "#!/bin/sh\necho ran\n: > \"$1/ran\"\n");
    if (fclose(script) != 0 || chmod(program.c_str(), 0755) != 0) return false;
  }
  if (module.Set("execute", program.c_str()) != 0 || module.Add() != 0) return false;
  *ready = std::string(name) + (before == kNothingDue ? "/data/scheduler/controle/status" : "/ran");
  if (before == kNothingDue) return true;
  time_t now = time(nullptr);
  for (time_t at : {now, now + 60}) {
    struct tm local = {};
    char hh[3];
    char mm[3];
    localtime_r(&at, &local);
    snprintf(hh, sizeof(hh), "%02d", local.tm_hour);
    snprintf(mm, sizeof(mm), "%02d", local.tm_min);
    if (CvelScheduler().Add(1, module.GetID(), hh, mm) != 0) return false;
  }
  // Both homes that run get the choice file and the folder of kept runs, so
  // that their data/scheduler listings (which the daemon reads at start-up,
  // and whose length moves the heap by a page) are alike: the figures then
  // differ by where the output goes alone.
  if (mkdir((std::string(name) + "/data/scheduler/output").c_str(), 0750) != 0) return false;
  FILE* mode = fopen((std::string(name) + "/data/scheduler/output-mode").c_str(), "w");
  return mode != nullptr && fputs(before == kRanKept ? "keep\n" : "console\n", mode) >= 0 &&
         fclose(mode) == 0;
}

// Starts the daemon on a home set up for what it is to do first (the
// benchmark's argument, BeforeSleep) and waits until it has done it and
// sleeps; starts the floor (a C program that only sleeps, linked the same
// way) and waits until it sleeps; reads both, kMemoryStarts times, and keeps
// the median of each figure. Errors only when a process does not come up or
// cannot be read, never on a figure.
void BM_DaemonResidentMemory(benchmark::State& state) {
  const int before = static_cast<int>(state.range(0));
  char name[] = "/tmp/sched-bench-XXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  S3ComPathHomeSave(name);
  std::string ready;
  if (!SetUpHome(name, before, &ready)) abort();
  const char* interval = before == kNothingDue ? "60" : "1";
  if (!FlushFile(SCHEDULER_BIN) || !FlushFile(SLEEP_FLOOR_BIN)) {
    state.SkipWithError("could not flush the programs' files");
  }
  MemoryRun run;
  for (auto _ : state) {
    std::vector<MemoryFigures> daemonRuns;
    std::vector<MemoryFigures> floorRuns;
    const char* failed = nullptr;
    for (int i = 0; i < kMemoryStarts && failed == nullptr; ++i) {
      MemoryFigures figures;
      if (before != kNothingDue) unlink(ready.c_str());
      pid_t daemon = Start(SCHEDULER_BIN, name, interval);
      if (daemon > 0 && WaitAsleep(daemon, ready) && ReadFigures(daemon, &figures)) {
        daemonRuns.push_back(figures);
      } else {
        failed = "the daemon did not come up asleep";
      }
      if (daemon > 0) Stop(daemon);
      pid_t floor = Start(SLEEP_FLOOR_BIN, nullptr, nullptr);
      if (floor > 0 && WaitAsleep(floor, "") && ReadFigures(floor, &figures)) {
        floorRuns.push_back(figures);
      } else if (failed == nullptr) {
        failed = "the floor did not come up asleep";
      }
      if (floor > 0) Stop(floor);
    }
    if (failed != nullptr) {
      state.SkipWithError(failed);
    } else {
      run.daemon = Median(daemonRuns);
      run.floor = Median(floorRuns);
      run.done = true;
    }
  }
  comDirDelete(name, nullptr);
  if (!run.done) return;
  gMemoryRuns[before] = run;
  state.counters["dirty_kB"] = run.daemon.privateDirty;
  state.counters["floor_dirty_kB"] = run.floor.privateDirty;
  state.counters["dirty_ratio"] = run.daemon.privateDirty / run.floor.privateDirty;
  state.counters["anon_kB"] = run.daemon.anonymous;
  state.counters["floor_anon_kB"] = run.floor.anonymous;
  state.counters["pss_kB"] = run.daemon.pss;
  state.counters["floor_pss_kB"] = run.floor.pss;
  state.counters["VmRSS_kB"] = run.daemon.vmRss;
  state.counters["floor_VmRSS_kB"] = run.floor.vmRss;
}
BENCHMARK(BM_DaemonResidentMemory)
    ->ArgName("ran")
    ->DenseRange(kNothingDue, kRanKept)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// The console table, then the sleeping daemon's memory beside its floor's.
// Colours only on a terminal.
class MemoryReporter : public benchmark::ConsoleReporter {
 public:
  MemoryReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (int before = 0; before < kBeforeSleepKinds; ++before) {
      const MemoryRun& run = gMemoryRuns[before];
      if (!run.done) continue;
      const MemoryFigures& d = run.daemon;
      const MemoryFigures& f = run.floor;
      printf(
          "\nThe sleeping daemon (%s) beside its floor (a C program linked the same way that "
          "only sleeps), kB, median of %d starts each:\n",
          kBeforeSleepNames[before], kMemoryStarts);
      printf("  %-14s %8s %8s %8s\n", "", "daemon", "floor", "ratio");
      Line("Private_Dirty", d.privateDirty, f.privateDirty, "goal at most 1.5x");
      Line("Anonymous", d.anonymous, f.anonymous, "");
      Line("Pss", d.pss, f.pss, "");
      Line("VmRSS", d.vmRss, f.vmRss, "with clean file pages, which the page cache keeps anyway");
    }
  }

 private:
  static void Line(const char* name, double ours, double floor, const char* note) {
    printf("  %-14s %8.0f %8.0f %7.2fx%s%s\n", name, ours, floor, floor > 0 ? ours / floor : 0.0,
           note[0] != '\0' ? "  " : "", note);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  MemoryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
