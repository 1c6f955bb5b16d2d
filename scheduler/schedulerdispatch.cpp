// Module dispatch: starting the due modules and reaping them.
#include "scheduler/schedulerdispatch.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/comproc.h"
#include "scheduler/schedulerjournal.h"
#include "scheduler/schedulersignals.h"
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

// The SIGCHLD handler only reaps: it keeps each ended child's pid, wait
// status and time in a fixed array, and the main loop turns them into exit
// lines (after every dispatch and every piece of sleep, which a child's end
// cuts short). The handler reaps every child whether or not the array has
// room, so no module ever stays a zombie; an end that finds the array full is
// only counted, and the main loop then looks for its module among the
// children it no longer finds.

constexpr int kExitSlots = 256;

struct ChildEnd {
  pid_t pid;
  int status;
  struct timespec at;  // CLOCK_MONOTONIC
};

ChildEnd gEnds[kExitSlots];
volatile sig_atomic_t gEndCount = 0;
volatile sig_atomic_t gEndsLost = 0;

// Starts module `id` when it is due at hh:mm. 0 when started or not due or
// skipped; otherwise the failure that ends the dispatch.
int startIfDue(int id, char* hh, char* mm, const char* home) {
  int rc;
  {
    CvelScheduler entry;
    rc = entry.Get(id, hh, mm);
  }
  if (rc == kResNoEntry) {
    CKorAlarm alarm;
    rc = alarm.IsAccess(id, hh, mm);
    if (rc == kResNoEntry) return 0;
  }
  if (rc != 0) return rc;

  CvelSchedulerModule module;
  rc = module.Get(id);
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

  if (schedulerInstallHandler(SIGCHLD, schedulerModuleExec_childend) != 0) {
    return kResSchedHandlerFailed;
  }
  int child = 0;
  if (comProcStart(argv, nullptr, &child) != 0) return kResSchedExecFailed;
  schedulerJournalRun(hh, mm, id, child, program);
  return 0;
}

}  // namespace

int schedulerModuleExec(int hour, int minute, const char* home) {
  CvelSchedulerModules modules;
  int rc = modules.Get();
  if (rc == kResNoEntry) return 0;
  if (rc != 0) return rc;

  if (hour == kHoursPerDay) hour = 0;
  char hh[kNumberTextSize];
  char mm[kNumberTextSize];
  snprintf(hh, sizeof(hh), "%02d", hour);
  snprintf(mm, sizeof(mm), "%02d", minute);

  for (int i = 0; i < modules.GetElementCount(); ++i) {
    CS3Object* element = modules.GetElement(i);
    if (element == nullptr) continue;
    rc = startIfDue(element->GetID(), hh, mm, home);
    if (rc != 0) return rc;
  }
  return 0;
}

void schedulerModuleExec_childend(int sig) {
  if (sig != SIGCHLD) return;
  int saved = errno;
  int status = 0;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (gEndCount >= kExitSlots) {
      gEndsLost = 1;
      continue;
    }
    ChildEnd& end = gEnds[gEndCount];
    end.pid = pid;
    end.status = status;
    clock_gettime(CLOCK_MONOTONIC, &end.at);
    gEndCount = gEndCount + 1;
  }
  errno = saved;
}

void schedulerReapChildren() {
  ChildEnd ends[kExitSlots];
  int count;
  bool lost;
  {
    sigset_t block;
    sigset_t previous;
    sigemptyset(&block);
    sigaddset(&block, SIGCHLD);
    sigprocmask(SIG_BLOCK, &block, &previous);
    count = gEndCount;
    memcpy(ends, gEnds, sizeof(ChildEnd) * static_cast<size_t>(count));
    gEndCount = 0;
    lost = gEndsLost != 0;
    gEndsLost = 0;
    sigprocmask(SIG_SETMASK, &previous, nullptr);
  }
  for (int i = 0; i < count; ++i) schedulerJournalExit(ends[i].pid, ends[i].status, ends[i].at);
  if (lost) schedulerJournalLostEnds();
}
