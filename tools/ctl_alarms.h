// The schedulerctl commands that show and remove filed alarms (filing one is
// `alarm add`, tools/ctl_daemon.h, since it may have to wake the daemon).
//
// An alarm is a file scheduler/alarm/YYYY/MMDD/HH/MM/<module ID>; the daemon
// runs the module at that minute when the file is not empty. Removals go
// through the record file accessor as one unit of work: every file is backed
// up and deleted, and when any deletion fails the release puts every file
// back. Only after the unit has committed are the directories it left empty
// removed, so a rollback never has a directory to bring back; a crash between
// the two leaves empty directories, which the daemon passes over (an empty
// minute directory of today wakes it once, to find nothing due).
//
// Removing the alarm that is the daemon's next wake-up needs nothing else: the
// daemon wakes then, finds nothing due and plans its next sleep as usual.
//
// Every function returns the process exit status. Arguments have been checked
// by the caller (tools/ctl_args.h). REQUIRES: the data home has been saved
// (S3ComPathHomeSave).
#ifndef TOOLS_CTL_ALARMS_H_
#define TOOLS_CTL_ALARMS_H_

#include <vector>

#include "tools/ctl_home.h"

class CS3DataIOFile;

// Prints the pending alarms (from the current minute on), sorted by time, or
// with `all` the past ones too; only module `id`'s when `id` > 0. One line
// each: the minute, the module ID, its name (or that the table does not list
// it) and the texts of the alarm file's records. Empty files are no alarms
// and are not listed. With `json` one JSON document instead:
//   {"alarms":[{"time":"YYYY-MM-DD HH:MM","module":N,"name":TEXT|null,
//               "in_table":bool,"texts":[TEXT,...],"past":bool}]}
int ctlAlarmList(int id, bool all, bool json);

// Removes the alarm file of module `id` at `dateTime` (YYYYMMDDhhmm00), empty
// or not, whether or not the table lists the module. kCtlExitFailed with a
// message when there is no such file.
int ctlAlarmRemove(int id, const char* dateTime);

// Removes every alarm file of the days before `before` (YYYYMMDD) and prints
// how many. A date after today is refused (kCtlExitUsage): pruning is for what
// the daemon will never look at again.
int ctlAlarmPrune(const char* before);

// Waits, as every reader does, until no other process holds a write lock on
// the files of `alarms` (a program that is filing one of them right now), so
// that a deletion, which takes no lock of its own, does not go ahead under
// that writer. Call it before the unit of work: this process must hold no
// lock on these files. 0 (also for a file that is gone), kResLocked when a
// file stayed locked through the attempts, kResIoOpenFailed when one cannot
// be opened; the file (data-relative) in `failed` (kComPathMax bytes).
int ctlAwaitAlarms(const std::vector<CtlAlarm>& alarms, char* failed);

// Deletes the files of `alarms` through `io`, as part of the caller's unit of
// work. 0, or the first failure, with its file (data-relative) in `failed`
// (kComPathMax bytes).
int ctlDelAlarms(CS3DataIOFile* io, const std::vector<CtlAlarm>& alarms, char* failed);

#endif  // TOOLS_CTL_ALARMS_H_
