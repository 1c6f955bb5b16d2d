// The scheduler daemon's entry: start-up, the main loop and shut-down.
#include "scheduler/MainScheduler.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comproc.h"
#include "s3/cs3dataiofile.h"
#include "scheduler/schedulercatchup.h"
#include "scheduler/schedulerjournal.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "stores/schedulerdefs.h"
#include "stores/schedulertiming.h"

namespace {

// Parses and checks the interval argument (stripped in place). 0 or -99.
int parseInterval(char* text, int* interval) {
  if (text == nullptr || !comIsNumber(text)) return kResSchedBadInterval;
  errno = 0;
  long value = strtol(text, nullptr, 10);
  // Beyond int no value is a divisor or a meaningful multiple of 60.
  if (errno == ERANGE || value < INT_MIN || value > INT_MAX) return kResSchedBadInterval;
  int v = static_cast<int>(value);
  if (!schedulerIntervalAdmitted(v)) return kResSchedBadInterval;
  *interval = v;
  return 0;
}

// The step of the run that gave a failure, for the one line a failed end
// prints: what it was working on, and the file (below the data directory)
// when there is one.
struct Step {
  const char* what = "";
  const char* file = nullptr;
};

// The one line of a failed end on standard error, its only output ever:
// "scheduler: <what> <path>: <reason> (result <code>); ending". Path and
// reason are those of the failed call when one was noted (`failure`, the
// note taken when the step failed), else the step's file and the code's
// meaning.
void reportEnd(const Step& step, int code, const ComFailure* failure) {
  // -114 is a lock held through every attempt, or an open refused for want
  // of permission (EACCES), which the note tells.
  const bool noted =
      failure != nullptr && failure->path[0] != '\0' &&
      (code == kResLocked ? failure->err == EACCES && strcmp(failure->call, "open") == 0
                          : code != kResNoEntry && schedulerResultMeaning(code) == nullptr);
  char path[kComPathMax] = "";
  if (noted) {
    snprintf(path, sizeof(path), " %s", comHomeShown(failure->path));
  } else if (step.file != nullptr) {
    char full[kComPathMax];
    S3ComPathEditData(step.file, full);
    snprintf(path, sizeof(path), " %s", comHomeShown(full));
  }
  const char* own = schedulerResultMeaning(code);
  const char* reason = noted ? comFailureReason(*failure)
                             : (own != nullptr && code != kResNoEntry && code != kResLocked
                                    ? own
                                    : schedulerStoreMeaning(code));
  fprintf(stderr, "scheduler: %s%s: %s (result %d); ending\n", step.what, path, reason, code);
}

// Sleeps, checks ownership, dispatches; until the status record no longer
// names `pid` (0) or a step fails (its code, and *step says which).
int runLoop(int interval, int pid, const char* home, CvelSchedulerSts* sts, Step* step) {
  int hour = -1;
  int minute = -1;
  SchedulerWakeMemory wake;
  for (;;) {
    schedulerSetTimeSleep(interval, &hour, &minute, &wake);
    comClearFailure();  // a failure reported is one of this pass
    *step = Step{"status record", kSchedStatusRecordFile};
    int rc = sts->Get();
    if (rc == kResNoEntry) return 0;
    if (rc != 0) return rc;
    if (sts->GetPid() != pid) {
      // Handed to no process (a stop) is an ordinary end, not a take-over.
      if (sts->GetPid() != 0) schedulerJournalEvent("taken-over", pid, sts->GetPid());
      return 0;
    }
    if (!wake.dispatch) continue;  // woken to look at the status record only
    char due[15];  // YYYYMMDDhhmm00: only its date is read
    schedulerMinuteStamp(wake.reached, due, sizeof(due));
    *step = Step{"module dispatch", nullptr};
    rc = schedulerModuleExecOn(due, hour, minute, home);
    schedulerReapChildren();
    if (rc != 0) return rc;
    schedulerNotePass(wake.reached);
  }
}

}  // namespace

int schedulerMain(int argc, char** argv) {
  // From here to the return the two wake signals are held blocked, and
  // only the sleep lets them in: no handler ever runs while the daemon reads
  // or writes a record, starts a module or writes a journal line, and one
  // sent meanwhile waits for the sleep, which it then cuts short. Both
  // handlers are there from the start, so the alarm-change signal never
  // ends the daemon, not even one sent while it starts (by a program that
  // read a stale pid, or this daemon's pid just published).
  SchedulerWakeSignalsHeld held;
  int handlers = schedulerInstallHandlers();

  if (argc < 3) return kSchedExitUsage;
  const char* home = argv[1];
  // A home too long for the path layout would make every store name a cut
  // path, that is another file; an empty one would put the data under "/".
  // Either ends the run before anything is touched.
  size_t homeLength = strlen(home);
  if (homeLength == 0 || homeLength > static_cast<size_t>(kS3HomeMax)) return kSchedExitFailed;
  // Started by root on a home that belongs to another user, the daemon and
  // every module it starts run as that user, as under the service: modules
  // are named in the home, so whoever owns it chooses what runs, and must not
  // get root's rights by it. The daemon prints nothing; a switch that fails
  // ends the run before anything below the home is touched.
  if (comProcActAsOwner(home, nullptr, 0) < 0) return kSchedExitFailed;
  S3ComPathHomeSave(home);
  int pid = comProcGetID();

  CvelSchedulerSts sts;
  CKorSchedulerSts own;
  // Holds this process's status file open and write-locked for the whole
  // run: the lock is what tells other programs that the daemon is alive.
  CS3DataIO lockIo;

  Step step{"status record", kSchedStatusRecordFile};
  int result = sts.Mod(pid);
  char ownFile[kComPathMax] = "";
  if (result == 0) {
    own.DelAll();  // status files of earlier runs; its result does not matter
    own.GetFileName(ownFile);
    step = Step{"status file", ownFile};
    result = own.Lock(lockIo);
  }
  if (result == 0) {
    step = Step{"child-exit handler", nullptr};
    result = handlers;
  }
  int interval = 0;
  if (result == 0) {
    step = Step{"interval", nullptr};
    result = parseInterval(argv[2], &interval);
  }
  if (result == 0) {
    step = Step{"module table", kSchedModuleIndexFile};
    CvelSchedulerModules modules;
    result = modules.Get();
  }
  if (result == 0) {
    schedulerJournalEvent("started", pid, interval);
    step = Step{"catch-up", nullptr};
    result = schedulerCatchUpAtStart(interval, home);
    if (result == 0) result = runLoop(interval, pid, home, &sts, &step);
  }

  // What the failure was, before the shut-down's own calls note theirs.
  ComFailure cause{};
  const bool noted = result < 0 && comLastFailure() != nullptr;
  if (noted) cause = *comLastFailure();
  comClearFailure();

  // Shut-down. Both results are irrelevant: Close fails harmlessly when the
  // lock was never taken, and a file already removed by a successor is fine.
  lockIo.Close(own);
  lockIo.Del(own);
  // The accessor is released before the final write rather than left to the
  // process's end: the release deletes the backup copy that the deletion
  // took, so nothing is left in the data home's temporary directory. The
  // deletion is all this unit of work does, so it is committed whatever an
  // earlier step recorded.
  lockIo.CleanError();
  lockIo.DisConnect();

  int written = sts.ModSts(result);
  schedulerReapChildren();
  schedulerJournalEvent("stopped", pid, result);
  if (result < 0) {
    reportEnd(step, result, noted ? &cause : nullptr);
  } else if (written < 0) {
    reportEnd(Step{"final status record", kSchedStatusRecordFile}, written, comLastFailure());
  }
  return (result >= 0 && written >= 0) ? kSchedExitOk : kSchedExitFailed;
}
