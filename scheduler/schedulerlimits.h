// The run policy at dispatch (stores/runpolicy.h): a module whose run is
// still going on is skipped when its policy says so, and a run past its
// time limit is ended.
//
// Guarantees: a module with the default policy is started exactly as one
// without a policy: no lock, no file, no process group of its own, and
// nothing here ever wakes the daemon for it. A module with a policy holds
// its run lock for the life of its program (the program's descriptor
// kRunLockChildFd); when the policy says skip and the lock is held (by a
// run of this daemon, of an earlier daemon, or of `schedulerctl run`), the
// module is not started and the journal (when on) gets the line
// "skipped HH:MM <id> <pid> <why>". A run with a time limit is started in a
// process group of its own; once it has run its limit the group gets
// SIGTERM, and SIGKILL kRunPolicyKillGraceSeconds later when the run is
// still there, each with the journal line "timeout <pid> <id> signal N
// <limit>". Only children of this daemon that have not been reaped are ever
// signalled, so a reused pid is never hit. Main loop only.
#ifndef SCHEDULER_SCHEDULERLIMITS_H_
#define SCHEDULER_SCHEDULERLIMITS_H_

#include <sys/types.h>

#include <ctime>

#include "common/comproc.h"
#include "stores/runpolicy.h"

// One start of module `id` under its policy, from just before the start to
// just after it.
class SchedulerPolicyRun {
 public:
  // Reads the module's policy and, when it has one, takes its run lock
  // (once more a second later when the holder it finds is gone).
  explicit SchedulerPolicyRun(int id);
  // Closes the daemon's copy of the lock: the program holds its own.
  ~SchedulerPolicyRun();
  SchedulerPolicyRun(const SchedulerPolicyRun&) = delete;
  SchedulerPolicyRun& operator=(const SchedulerPolicyRun&) = delete;

  // True when the run due at hh:mm is not to start (overlap skip, and a run
  // holds the lock); the skipped line is then written.
  bool Skipped(const char* hh, const char* mm);
  // What the start gives the program: the lock, its own group.
  const ComProcExtra& Extra() const { return extra_; }
  // The program started as `child`: the lock file names it, and a run with
  // a limit is watched until it is reaped.
  void Started(pid_t child);

 private:
  int id_;
  RunPolicy policy_;
  int lock_ = -1;
  bool held_ = false;  // another run holds the lock
  RunLockHolder holder_;
  ComProcExtra extra_;
};

// Child `pid` was reaped: it is no longer watched.
void schedulerLimitsEnded(pid_t pid);

// Signals every watched run whose limit (or grace after SIGTERM) is over.
// REQUIRES: the children that ended were reaped and handed to
// schedulerLimitsEnded first (schedulerReapChildren does both).
void schedulerLimitsEnforce();

// The wall-clock time (at least `wallNow` + 1) at which the next watched
// run is due a signal, or 0 when no run is watched: the sleep is cut there.
time_t schedulerLimitsNextWall(time_t wallNow);

#endif  // SCHEDULER_SCHEDULERLIMITS_H_
