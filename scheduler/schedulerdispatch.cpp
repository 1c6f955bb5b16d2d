// Module dispatch: starting the due modules and reaping them.
#include "scheduler/schedulerdispatch.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdio>

#include "common/comproc.h"
#include "scheduler/schedulerjournal.h"
#include "scheduler/schedulerlimits.h"
#include "scheduler/scheduleroutput.h"
#include "stores/ckoralarm.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/schedulerdefs.h"
#include "stores/schedulerprogram.h"

namespace {

constexpr int kHoursPerDay = 24;
// Room for "%02d" of any int, so an out-of-range hour is never cut silently.
constexpr int kNumberTextSize = 12;

// Filled by the handler, which only runs inside the sleep; read and emptied
// by the loop, which runs with SIGCHLD blocked.
struct ChildEnd {
  pid_t pid;
  int status;
  struct timespec at;  // CLOCK_MONOTONIC
};

ChildEnd gEnds[kSchedulerKeptEnds];
volatile sig_atomic_t gEndCount = 0;

// Starts module `id` for hh:mm, its run line ending in `mark` (none: null).
// 0 when started or skipped; otherwise the failure that ends the dispatch.
int startModule(int id, char* hh, char* mm, const char* home, RunOutputMode mode,
                const char* mark) {
  CvelSchedulerModule module;
  int rc = module.Get(id);
  if (rc == kResNoEntry) {
    // The record is gone: heal the table so the module is not looked for
    // again; the other modules still run.
    rc = module.Del(id);
    return (rc == 0 || rc == kResNoEntry) ? 0 : rc;
  }
  if (rc != 0) return rc;

  char program[kSchedProgramPathSize];
  if (schedulerResolveProgram(module.GetExecute(), program) == SchedulerProgramFrom::kNone)
    return 0;
  // execvp takes char* const[] and changes none of the strings.
  char* argv[] = {program, const_cast<char*>(home), hh, mm, nullptr};

  SchedulerPolicyRun policy(id);
  if (policy.Skipped(hh, mm)) return 0;
  SchedulerRunOutput output(mode, id, hh, mm);
  int child = 0;
  if (output.Start(argv, policy.Extra(), &child) != 0) return kResSchedExecFailed;
  policy.Started(child);
  schedulerJournalRun(hh, mm, id, child, program, mark);
  output.Started(child);
  return 0;
}

// Starts module `id` when it is due at hh:mm. 0 when started or not due or
// skipped; otherwise the failure that ends the dispatch.
int startIfDue(int id, const char* date, char* hh, char* mm, const char* home,
               RunOutputMode mode) {
  int rc;
  {
    CvelScheduler entry;
    rc = entry.Get(id, hh, mm);
  }
  if (rc == kResNoEntry) {
    CKorAlarm alarm;
    rc = alarm.IsAccess(id, date, hh, mm);
    if (rc == kResNoEntry) return 0;
  }
  if (rc != 0) return rc;
  return startModule(id, hh, mm, home, mode, nullptr);
}

}  // namespace

int schedulerModuleStartFor(int id, int hour, int minute, const char* home, const char* mark) {
  char hh[kNumberTextSize];
  char mm[kNumberTextSize];
  snprintf(hh, sizeof(hh), "%02d", hour % kHoursPerDay);
  snprintf(mm, sizeof(mm), "%02d", minute);
  return startModule(id, hh, mm, home, runOutputMode(), mark);
}

int schedulerModuleExec(int hour, int minute, const char* home) {
  return schedulerModuleExecOn(nullptr, hour, minute, home);
}

int schedulerModuleExecOn(const char* date, int hour, int minute, const char* home) {
  CvelSchedulerModules modules;
  int rc = modules.Get();
  if (rc == kResNoEntry) return 0;
  if (rc != 0) return rc;

  if (hour == kHoursPerDay) hour = 0;
  char hh[kNumberTextSize];
  char mm[kNumberTextSize];
  snprintf(hh, sizeof(hh), "%02d", hour);
  snprintf(mm, sizeof(mm), "%02d", minute);

  // Read once per pass: a choice changed meanwhile holds from the next one.
  const RunOutputMode mode = runOutputMode();
  for (int i = 0; i < modules.GetElementCount(); ++i) {
    CS3Object* element = modules.GetElement(i);
    if (element == nullptr) continue;
    rc = startIfDue(element->GetID(), date, hh, mm, home, mode);
    if (rc != 0) return rc;
  }
  return 0;
}

void schedulerModuleExec_childend(int sig) {
  if (sig != SIGCHLD) return;
  int saved = errno;
  // A full buffer ends the reaping here: the children left stay waitable,
  // and the loop reaps them after the sleep.
  while (gEndCount < kSchedulerKeptEnds) {
    int status = 0;
    pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    ChildEnd& end = gEnds[gEndCount];
    end.pid = pid;
    end.status = status;
    clock_gettime(CLOCK_MONOTONIC, &end.at);
    gEndCount = gEndCount + 1;
  }
  errno = saved;
}

void schedulerReapChildren() {
  for (int i = 0; i < gEndCount; ++i) {
    schedulerJournalExit(gEnds[i].pid, gEnds[i].status, gEnds[i].at);
    schedulerOutputEnded(gEnds[i].pid, gEnds[i].status);
    schedulerLimitsEnded(gEnds[i].pid);
  }
  gEndCount = 0;

  // The signal stands for ends about to be reaped below. Taken before they
  // are, so an end after this point raises it again and wakes the next
  // sleep as it should.
  sigset_t pending;
  if (sigpending(&pending) == 0 && sigismember(&pending, SIGCHLD) == 1) {
    sigset_t childEnd;
    sigemptyset(&childEnd);
    sigaddset(&childEnd, SIGCHLD);
    // A wait that fails leaves the signal pending: one early wake-up, and
    // nothing lost.
    int taken = 0;
    (void)sigwait(&childEnd, &taken);
  }
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    struct timespec ended = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &ended);
    schedulerJournalExit(pid, status, ended);
    schedulerOutputEnded(pid, status);
    schedulerLimitsEnded(pid);
  }
  schedulerLimitsEnforce();
}
