// The scheduler daemon: its entry and main loop, the computation of each
// wake-up time, and the start of the modules that are due.
//
// The daemon is started with a data home and a tick interval in minutes. It
// announces its pid in the status record, holds the write lock on its own
// per-process status file for its whole run, and then loops: sleep until the
// next tick (or an earlier pending alarm of the day), check that the status
// record still names it, start the due modules as child processes without
// waiting for them. It ends as soon as the status record names another
// process or is gone.
//
// One thread. Two signals reach it: SIGUSR1 (another program lowered the
// next-alarm record) and SIGCHLD (a module ended). Both handlers are
// installed with SA_RESTART, so an interrupted record read or write restarts
// instead of failing, while the sleep returns early; the handlers do nothing
// but reap children.
//
// When the run journal is on (stores/runjournal.h) the daemon writes a line
// when it starts, stops or is taken over, for every module it starts, and
// for every such module's end; when it is off the daemon writes nothing
// beyond its record files.
#ifndef SCHEDULER_MAINSCHEDULER_H_
#define SCHEDULER_MAINSCHEDULER_H_

#include "stores/schedulerdefs.h"

// ---- Entry and main loop ---------------------------------------------------------

// The daemon's whole life; main() only returns what this returns.
// argv[1] is the data home (used as given, at most kS3HomeMax characters),
// argv[2] the interval in minutes: 0, a divisor of 60 or a multiple of 60
// (trailing blanks and line ends are stripped from argv[2] in place).
// Returns the exit status:
//   99  fewer than two arguments; nothing is touched.
//   1   the data home is empty or too long for the path layout (nothing is
//       touched), or the run ended with a negative result (also written into
//       the status record's `status`), or that final write failed.
//   0   the status record stopped naming this process, or was removed.
// Before it returns, the per-process status file is unlocked and removed and
// no backup copy of it is left in the data home's temporary directory.
// Installs the SIGUSR1 handler first of all (and later the SIGCHLD handler),
// and leaves them installed.
// Journal: "started" once start-up succeeded (before the first sleep);
// "taken-over" when the status record names another process than this one
// and pid 0; "stopped" with the final result after the final write, at every
// end once the data home was saved (a refused interval too).
int schedulerMain(int argc, char** argv);

// ---- Wake-up timing ------------------------------------------------------------------

// Fills *hour (0-23) and *minute (0-59) from the clock seam.
void schedulerGetTime(int* hour, int* minute);

// Sleeps until the daemon is next due and returns with *hour and *minute set
// to the minute that was reached.
//
// On entry the pair holds the minute of the previous pass, or a negative
// value before the first pass. First pass: when the current minute is a tick
// (a multiple of the interval, of 60 for intervals above 59), returns at once
// with that minute and writes nothing. Otherwise the target is the next tick,
// counted from the current minute (minutes multiple of the interval below
// 60; the current hour plus interval / 60 for multiples of 60), or the
// earliest pending alarm minute of today when it comes earlier. The target is
// written into the next-alarm record (`nexttime`) before the first sleep; it
// is only used when that write succeeds. The sleep goes in pieces of at most
// the interval, each ending on a minute boundary a whole number of intervals
// before the target. A piece cut short by a signal re-reads the next-alarm
// record and adopts a lowered time that is earlier than the target, unless it
// lies on an earlier day or more than one minute before the current minute
// (a stale time, which read as tomorrow would skip every tick until then).
// A wake-up one minute after the target still counts as reaching it; a
// target the clock has passed by two minutes or more is that time on the
// next day, except that a target on the next day is never reached before the
// date changes.
//
// Intervals outside the meaningful set never divide by zero, never spin and
// never make the target unreachable: 0 is taken as 1; a negative interval as
// its absolute value; 1440 and above as 1440 (one tick a day, at the hour of
// the first run).
// REQUIRES: the data home has been saved (S3ComPathHomeSave); hour and minute
// non-null.
void schedulerSetTimeSleep(int interval, int* hour, int* minute);

// Callback of the alarm directory scan (comDirSaveFileName) over today's
// alarm directory <data>/scheduler/alarm/YYYY/MMDD. Finds the earliest minute
// directory HH/MM of today that is later than the current minute and keeps it
// in `best` as "HHMM" (best keeps the earlier of its own value and the find).
// `path` is an hour directory (its minute directories are scanned in turn) or
// a minute directory; plain files, names other than two digits within range
// (hours 00-23, minutes 00-59) and paths with fewer than two separators are
// ignored. Returns 1 when `path` is a minute directory of a past hour (the
// rest of that hour directory is past), else 0.
// REQUIRES: best holds a text of at most 4 characters and has room for 5
// bytes.
int schedulerSetTimeSleepNextTime(const char* path, char* best, bool isFile);

// SIGUSR1 handler: does nothing; its only effect is that the signal cuts the
// sleep short instead of ending the process.
void schedulerModuleExec_change(int sig);

// ---- Module dispatch ------------------------------------------------------------------

// Starts every module of the module table that is due at hour:minute, in
// table order, each at most once: due when its schedule entry
// scheduler/HH/MM/<id> exists, or else when a non-empty alarm file of today
// exists for it at that minute. An hour of 24 is taken as 0. Each program is
// started with the argument list {program, home, "HH", "MM"} (two digits
// each) and is not waited for; a program that cannot be executed ends its
// child with exit status 127. With the journal on, each start is a "run"
// line, and the exit lines of the children that ended are written once the
// walk is over and after every piece of sleep.
//
// The program comes from the module record's `execute`: a value holding '/'
// or '\\' is used as it is; a bare name is "./<name>" when that file exists
// in the working directory, else <home>/<name> when that exists, else the
// module is skipped silently. A module with an empty `execute`, or whose
// path would not fit the program path buffer (or the data home's path
// buffer), is skipped too: a cut path is never run.
// A module whose record is gone is removed from the table (index entry and
// directory) and the walk goes on.
//
// Returns 0 when every due module was started or skipped; otherwise the first
// failure, after which no further module is started in this call: -4405 (the
// SIGCHLD handler could not be installed), -4404 (fork failed), or a store's
// code other than -110. A missing module table is an empty one (0).
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
int schedulerModuleExec(int hour, int minute, const char* home);

// SIGCHLD handler: reaps every ended child without blocking (deliveries
// merge, so one may stand for several children) and leaves errno as it found
// it. Other signal numbers are ignored. It keeps each child's pid, wait
// status and end time in a fixed array (only async-signal-safe calls), from
// which the main loop writes the journal's exit lines; it reaps a child also
// when the array is full.
void schedulerModuleExec_childend(int sig);

#endif  // SCHEDULER_MAINSCHEDULER_H_
