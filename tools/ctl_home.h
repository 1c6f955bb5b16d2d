// What every schedulerctl command needs from the data home: the module
// table's IDs, the schedule table's entries found on disk, the liveness probe
// of a daemon, and the bookkeeping that lets a failed command leave no new
// directory behind.
//
// REQUIRES for every function: the data home has been saved
// (S3ComPathHomeSave) and the process is not itself a daemon holding a
// per-process status lock (the probe would drop it).
#ifndef TOOLS_CTL_HOME_H_
#define TOOLS_CTL_HOME_H_

#include <string>
#include <vector>

#include "stores/schedulerdefs.h"

// Data-relative file names the tool reports in its messages.
constexpr const char* kCtlModuleIndexFile = kSchedModuleIndexFile;
constexpr const char* kCtlStatusFile = kSchedStatusRecordFile;
constexpr char kCtlNextAlarmFile[] = "scheduler/controle/status";

// 0 when `home` names an existing directory; otherwise prints why on standard
// error and returns kCtlExitFailed.
int ctlRequireHomeDir(const char* home);

// Reads the module index into `ids`, in table order. 0; -110 when the index
// file is missing or holds no record; another store code.
int ctlReadModuleIds(std::vector<int>* ids);

// Reads the module table for command `what`. 0 with `ids` filled, or prints
// the failure (a missing table with the hint to run init) and returns
// kCtlExitFailed.
int ctlRequireTable(const char* what, std::vector<int>* ids);

// ctlRequireTable, and the table must list `id`; else prints that it does not
// and returns kCtlExitFailed.
int ctlRequireModule(const char* what, int id);

// One schedule entry found on disk: the file scheduler/HH/MM/<moduleId>.
struct CtlEntry {
  int moduleId;
  int hour;
  int minute;
};

// Lists the schedule entry files under scheduler/ whose hour directory is
// 00-23, whose minute directory is 00-59 and whose name is a module ID
// (`onlyId` > 0: only that module's). Whether a file holds a record is not
// looked at here. Sorted by module, hour, minute. 0 (also when there is no
// scheduler directory) or -1 with errno when a directory cannot be read or
// one of the names is a symbolic link (ELOOP: the listing would be wrong).
int ctlScanSchedule(int onlyId, std::vector<CtlEntry>* out);

// Writes "scheduler/HH/MM/ID" of `entry` into `out` (kComPathMax bytes).
void ctlEntryFile(const CtlEntry& entry, char* out);

// Removes the minute and hour directories of `entries` that are left empty.
// Best effort: a directory that is not empty or is gone is left as it is.
void ctlPruneScheduleDirs(const std::vector<CtlEntry>& entries);

// One alarm file found on disk: scheduler/alarm/YYYY/MMDD/HH/MM/<moduleId>.
struct CtlAlarm {
  int moduleId;
  char dateTime[15];  // YYYYMMDDhhmm00
  long long size;     // 0: an empty file, which the daemon takes for no alarm
};

// Lists the alarm files under scheduler/alarm whose year directory has four
// digits, whose day directory is a month 01-12 and a day 01-31, whose hour
// directory is 00-23, whose minute directory is 00-59 and whose name is a
// module ID (`onlyId` > 0: only that module's), empty ones included. Sorted
// by date-time, then module. 0 (also when there is no alarm directory) or -1
// with errno when a directory cannot be read or one of the names is a
// symbolic link (ELOOP).
int ctlScanAlarms(int onlyId, std::vector<CtlAlarm>* out);

// Writes "scheduler/alarm/YYYY/MMDD/HH/MM/ID" of `alarm` into `out`
// (kComPathMax bytes).
void ctlAlarmFile(const CtlAlarm& alarm, char* out);

// Removes the minute, hour, day and year directories of `alarms` that are
// left empty (scheduler/alarm itself stays). Best effort, as
// ctlPruneScheduleDirs.
void ctlPruneAlarmDirs(const std::vector<CtlAlarm>& alarms);

// True when process `pid` itself holds the lock of its per-process status
// file (CKorSchedulerSts::IsLockedByPid), that is, daemon `pid` is alive. A
// lock held by any other process does not count. False for pid <= 0.
bool ctlDaemonAlive(int pid);

// The interval that the daemon named in the status record was started with,
// read from its command line (Linux's /proc; elsewhere, or when no daemon is
// alive, there is none). False when it is not known.
bool ctlDaemonInterval(int* interval);

// The daemons alive on this data home found through their per-process status
// files (scheduler/status.<pid> locked by a live process), whatever the
// status record says: a daemon that was handed over runs on until its next
// wake-up. 0, or -1 with errno when the directory cannot be read.
int ctlLiveDaemons(std::vector<int>* pids);

// The directories a command's files are about to be created in. Watch
// records, for each data-relative file name, the directories on its way that
// do not exist yet; Undo removes them again, deepest first, when they are
// empty, so that a command that failed and was rolled back leaves the tree as
// it found it.
class CtlNewDirs {
 public:
  void Watch(const char* relFile);
  void Undo();

 private:
  std::vector<std::string> missing_;
};

#endif  // TOOLS_CTL_HOME_H_
