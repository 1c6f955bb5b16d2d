// Where each started module's output goes, by the data home's choice
// (stores/runoutput.h), and the end of a kept run.
//
// Guarantees: a home that keeps no output (console, the default) starts its
// modules exactly as comProcStart does, output to /dev/console, and nothing
// is written or remembered. With `journal` a module's output and error are
// the daemon's own standard error. With `keep` they are a file of the run,
// made before the child starts and bounded once the child ends; a run whose
// file cannot be made runs all the same with its output to /dev/null, and
// the run journal (when on) says so with an "output-lost" line. The daemon
// itself copies nothing and holds no pipe: the child writes straight into
// its file. Main loop only.
#ifndef SCHEDULER_SCHEDULEROUTPUT_H_
#define SCHEDULER_SCHEDULEROUTPUT_H_

#include <sys/types.h>

#include <string>

#include "common/comproc.h"
#include "stores/runoutput.h"

// The output of one run, from before its start to just after it.
class SchedulerRunOutput {
 public:
  // Opens what the run of module `id` due at `hh`:`mm` writes to under
  // `mode` (with keep: its file, see runOutputOpen).
  SchedulerRunOutput(RunOutputMode mode, int id, const char* hh, const char* mm);
  // Closes the daemon's descriptor of the run's file: the child has its own.
  ~SchedulerRunOutput();
  SchedulerRunOutput(const SchedulerRunOutput&) = delete;
  SchedulerRunOutput& operator=(const SchedulerRunOutput&) = delete;

  // Starts `argv` with this output, as comProcStart does. 0 with *child, or
  // -1 with errno (no child; a file made for it is removed again).
  // `extra` as comProcStart's (a run lock, a group of its own).
  int Start(char* const* argv, const ComProcExtra& extra, int* child);

  // After the run line was written for `child`: a kept run is remembered
  // until schedulerOutputEnded sees it end; a run whose file could not be
  // made gets the journal line "output-lost <child> <id> <path>: <reason>".
  void Started(pid_t child);

 private:
  RunOutputMode mode_;
  int id_;
  int fd_ = -1;
  char name_[kRunOutputNameSize] = "";
  // Why the run's file could not be made: "<path>: <reason>"; "" when it was.
  std::string lost_;
};

// Child `pid` ended with wait status `status`: when it is a kept run, its
// file is cut to its bound and renamed to its ended name, and it is
// forgotten; any other child is no concern here.
void schedulerOutputEnded(pid_t pid, int status);

#endif  // SCHEDULER_SCHEDULEROUTPUT_H_
