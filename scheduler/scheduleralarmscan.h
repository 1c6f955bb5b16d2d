// The alarm scan: the earliest pending alarm minute of today, found in the
// alarm index's directory tree <data>/scheduler/alarm/YYYY/MMDD/HH/MM.
//
// Guarantees: only minute directories of today that lie after the current
// minute count; names that are not two digits within range are never taken
// for a minute, and a longer name is never cut into one; the result is
// written into the caller's buffer bounded by kSchedulerAlarmTextSize.
#ifndef SCHEDULER_SCHEDULERALARMSCAN_H_
#define SCHEDULER_SCHEDULERALARMSCAN_H_

// "HHMM" and its terminator: the room `best` needs.
constexpr int kSchedulerAlarmTextSize = 5;

// Callback of the alarm directory scan (comDirSaveFileName) over today's
// alarm directory <data>/scheduler/alarm/YYYY/MMDD. Finds the earliest minute
// directory HH/MM of today that is later than the current minute (read
// through schedulerGetTime) and keeps it in `best` as "HHMM" (best keeps the
// earlier of its own value and the find). `path` is an hour directory (its
// minute directories are scanned in turn) or a minute directory; plain
// files, names other than two digits within range (hours 00-23, minutes
// 00-59) and paths with fewer than two separators are ignored. Returns 1
// when `path` is a minute directory of a past hour (the rest of that hour
// directory is past), else 0.
// REQUIRES: best holds a text of at most 4 characters and has room for
// kSchedulerAlarmTextSize bytes.
int schedulerSetTimeSleepNextTime(const char* path, char* best, bool isFile);

#endif  // SCHEDULER_SCHEDULERALARMSCAN_H_
