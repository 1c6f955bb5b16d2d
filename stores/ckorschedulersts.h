// The per-process status file of a scheduler daemon, scheduler/status.<pid>:
// an empty file that the daemon creates at start and keeps write-locked for
// its whole run (CKorStatus::Lock), so that other programs can tell with
// IsLockedByPid whether the daemon named in the status record is alive, and
// signal it (Signal) only then. No record is ever written into it.
#ifndef STORES_CKORSCHEDULERSTS_H_
#define STORES_CKORSCHEDULERSTS_H_

#include "stores/ckorstatus.h"

class CKorSchedulerSts : public CKorStatus {
 public:
  CKorSchedulerSts() = default;
  ~CKorSchedulerSts() override;

  // Writes "scheduler/status.<pid>" into `out` (kComPathMax bytes). When pid
  // is empty it is first set to the calling process's id, so the daemon's own
  // object names its own file without the caller setting it. 0, or the
  // failure of setting pid.
  int GetFileName(char* out) override;

  // Removes every entry of <data>/scheduler whose name begins with "status"
  // (directories with their contents), the files of running daemons included;
  // scheduler/schedulersts stays. 0, also when the directory does not exist;
  // -1 when an entry cannot be examined or removed.
  virtual int DelAll();

  // True exactly when the process that `pid` names holds the write lock on
  // this file itself (the holder that comLockHolder reports is that pid):
  // daemon `pid` is running. A lock held by any other process, no lock, a
  // pid <= 0 or empty, a missing file or a failure read as false. Unlike
  // CKorStatus::IsLock, a lock alone proves nothing: whoever can write the
  // data home can lock status.<pid> for any pid.
  // REQUIRES: not called by that process (see CKorStatus::IsLock).
  bool IsLockedByPid();

  // Sends `sig` to daemon `pid` only when it holds its own lock, as
  // IsLockedByPid, through a pidfd where there is one (comProcSignalHolder):
  // 1 sent; 0 when the daemon is not running or pid is <= 0 or empty
  // (nothing sent); -1 with errno when the signal failed (ESRCH: the daemon
  // ended meanwhile).
  int Signal(int sig);
};

#endif  // STORES_CKORSCHEDULERSTS_H_
