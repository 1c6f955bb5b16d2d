// A console reporter that also keeps each benchmark's time per iteration, so
// a program can print its operations as multiples of their floors once all
// runs are done.
#ifndef BENCH_BENCH_TIMING_H_
#define BENCH_BENCH_TIMING_H_

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class TimingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.iterations > 0 && !run.error_occurred) {
        real_[run.benchmark_name()] = run.real_accumulated_time / run.iterations;
        cpu_[run.benchmark_name()] = run.cpu_accumulated_time / run.iterations;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

 protected:
  // Seconds per iteration by benchmark name; only runs that completed.
  std::map<std::string, double> real_;
  std::map<std::string, double> cpu_;
};

#endif  // BENCH_BENCH_TIMING_H_
