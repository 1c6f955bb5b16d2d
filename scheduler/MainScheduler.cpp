// The scheduler daemon's entry: start-up, the main loop and shut-down.
#include "scheduler/MainScheduler.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comproc.h"
#include "s3/cs3dataiofile.h"
#include "scheduler/schedulerjournal.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
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

// Sleeps, checks ownership, dispatches; until the status record no longer
// names `pid` (0) or a step fails (its code).
int runLoop(int interval, int pid, const char* home, CvelSchedulerSts* sts) {
  int hour = -1;
  int minute = -1;
  SchedulerWakeMemory wake;
  for (;;) {
    schedulerSetTimeSleep(interval, &hour, &minute, &wake);
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
    rc = schedulerModuleExecOn(due, hour, minute, home);
    schedulerReapChildren();
    if (rc != 0) return rc;
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

  int result = sts.Mod(pid);
  if (result == 0) {
    own.DelAll();  // status files of earlier runs; its result does not matter
    result = own.Lock(lockIo);
  }
  if (result == 0) result = handlers;
  int interval = 0;
  if (result == 0) result = parseInterval(argv[2], &interval);
  if (result == 0) {
    CvelSchedulerModules modules;
    result = modules.Get();
  }
  if (result == 0) {
    schedulerJournalEvent("started", pid, interval);
    result = runLoop(interval, pid, home, &sts);
  }

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
  return (result >= 0 && written >= 0) ? kSchedExitOk : kSchedExitFailed;
}
