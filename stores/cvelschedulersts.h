// The scheduler status record, scheduler/schedulersts: record 1 names the
// process id of the daemon that owns the data home ("pid") and, once a daemon
// has stopped, its final result code ("status").
//
//   object 1          while daemon 4242 runs      object 1
//   pid=4242                                      pid=4242
//   end               after it stopped with -99   status=-99
//                                                 end
//
// The daemon writes its pid at start and stops as soon as the record names
// another process or is gone; other programs read the pid to signal it, and
// stop it by writing another pid. Each operation is one short unit of work on
// its own accessor: the file is locked only for the duration of the call.
#ifndef STORES_CVELSCHEDULERSTS_H_
#define STORES_CVELSCHEDULERSTS_H_

#include "s3/cs3object.h"
#include "s3/values/cs3number.h"

class CvelSchedulerSts : public CS3Object {
 public:
  CvelSchedulerSts() = default;
  ~CvelSchedulerSts() override;

  // ID := 1, then reads record 1 through a temporary accessor (both fields
  // emptied first; a field missing from the record stays empty). The file is
  // unlocked before this returns. 0; -110 when the file or record 1 does not
  // exist; another accessor code (-114 when it stayed locked).
  int Get() override;
  using CS3Object::Get;  // Get(int) stays available
  // Empties pid and status.
  void Clean() override;
  // Writes "scheduler/schedulersts" into `out` (kComPathMax bytes). 0.
  int GetFileName(char* out) override;
  // Writes "pid", then "status", into the current record of `data`; an empty
  // value removes its field from the record. 0 or the first failure.
  int SetFieldValue(CS3Data* data) override;
  // Reads "pid", then "status", as integers; a missing field leaves its value
  // empty. 0 or the first failure.
  int GetFieldValue(CS3Data* data) override;

  // pid := `pid` and writes the whole object as record 1 on a fresh accessor
  // (the file and its directories are created when missing). The status is
  // written as the object holds it: on a fresh object this removes an earlier
  // daemon's status. 0, the field conversion's code, or an accessor code
  // (-114 when the file stayed locked through every attempt).
  int Mod(int pid);
  // status := `status`, otherwise as Mod: the pid is written as the object
  // holds it (the one its last Get loaded).
  int ModSts(int status);

  // pid as a number; 0 when empty.
  int GetPid() const { return pid.GetInt(); }
  // status as a number; 0 when empty (see HasStatus).
  int GetStatus() const { return status.GetInt(); }
  // True when the record holds a status, i.e. the last daemon has stopped.
  bool HasStatus() const { return !status.IsEmpty(); }

 private:
  CS3Int pid;
  CS3Int status;
};

#endif  // STORES_CVELSCHEDULERSTS_H_
