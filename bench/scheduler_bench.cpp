// Module dispatch beside its floor (the same programs started with plain
// fork/exec), a dispatch pass that finds nothing due, and the daemon's
// resident memory while it sleeps.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// Starts the daemon on a home with one module, waits until it has published
// its next wake-up (it is asleep then) and reads its VmRSS.
void BM_DaemonResidentMemory(benchmark::State& state) {
  char name[] = "/tmp/sched-bench-XXXXXX";
  if (mkdtemp(name) == nullptr) abort();
  S3ComPathHomeSave(name);
  CvelSchedulerModule module;
  module.Set("execute", kProgram);
  module.Add();
  std::string nexttime = std::string(name) + "/data/scheduler/controle/status";
  long rssKb = 0;
  for (auto _ : state) {
    pid_t daemon = fork();
    if (daemon == 0) {
      execl(SCHEDULER_BIN, SCHEDULER_BIN, name, "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 1000 && access(nexttime.c_str(), F_OK) != 0; ++i) usleep(1000);
    usleep(200000);
    FILE* status = fopen(("/proc/" + std::to_string(daemon) + "/status").c_str(), "r");
    char line[256];
    while (status != nullptr && fgets(line, sizeof(line), status) != nullptr) {
      if (strncmp(line, "VmRSS:", 6) == 0) rssKb = atol(line + 6);
    }
    if (status != nullptr) fclose(status);
    kill(daemon, SIGTERM);
    waitpid(daemon, nullptr, 0);
  }
  state.counters["VmRSS_kB"] = static_cast<double>(rssKb);
  comDirDelete(name, nullptr);
}
BENCHMARK(BM_DaemonResidentMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
