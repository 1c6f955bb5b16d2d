// The per-process status file of a scheduler daemon, scheduler/status.<pid>:
// an empty file that the daemon creates at start and keeps write-locked for
// its whole run (CKorStatus::Lock), so that other programs can tell with
// CKorStatus::IsLock whether the daemon named in the status record is alive.
// No record is ever written into it.
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
};

#endif  // STORES_CKORSCHEDULERSTS_H_
