// The scheduler daemon: its entry and main loop, and, through the headers
// included below, the computation of each wake-up time, the alarm scan, the
// start of the modules that are due and the signals that wake it.
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
// next-alarm record) and SIGCHLD (a module ended); see schedulersignals.h.
//
// When the run journal is on (stores/runjournal.h) the daemon writes a line
// when it starts, stops or is taken over, for every module it starts, for
// every such module's end, and for every wake-up more than a minute late;
// when it is off the daemon writes nothing beyond its record files and, on a
// home that keeps them, its modules' output files (scheduleroutput.h).
//
// The units, one concern each:
//   schedulerwake.h       wake-up timing and the sleep
//   scheduleralarmscan.h  today's earliest pending alarm minute
//   schedulerdispatch.h   starting the due modules and reaping them
//   schedulersignals.h    the two signals and their handlers
//   schedulerjournal.h    the run journal's lines and child bookkeeping
//   scheduleroutput.h     where a module's output goes, and a kept run's end
//   schedulerpages.h      free heap pages handed back before a sleep
#ifndef SCHEDULER_MAINSCHEDULER_H_
#define SCHEDULER_MAINSCHEDULER_H_

#include "scheduler/scheduleralarmscan.h"
#include "scheduler/schedulerdispatch.h"
#include "scheduler/schedulersignals.h"
#include "scheduler/schedulerwake.h"
#include "stores/schedulerdefs.h"

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
// Holds SIGUSR1 and SIGCHLD blocked from its first step to its return (the
// sleep alone lets them in; the mask it found is put back at the end) and
// installs both handlers once, first of all, leaving them installed; when
// the SIGCHLD handler cannot be installed the run ends at start-up with
// -4405 (after the status record was written and the lock taken).
// Journal: "started" once start-up succeeded (before the first sleep);
// "taken-over" when the status record names another process than this one
// and pid 0; "stopped" with the final result after the final write, at every
// end once the data home was saved (a refused interval too).
int schedulerMain(int argc, char** argv);

#endif  // SCHEDULER_MAINSCHEDULER_H_
