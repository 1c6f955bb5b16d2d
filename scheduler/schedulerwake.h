// Wake-up timing: when the daemon is next due, and the sleep until then.
//
// Guarantees: the sleep goes in pieces of at most the interval, each ending
// on a minute boundary a whole number of intervals before the target, so a
// clock set back or forward meets the tick grid again at the next piece; a
// piece ends when the wall clock reaches its end, so a stop, a suspend or a
// paused virtual machine past it wakes the daemon as soon as it runs again,
// and a clock set during it ends it at once; a late wake-up never costs a
// day (it reaches its target, late); the
// target is published in the next-alarm record (`nexttime`) before the
// first piece and adopted only when that write succeeded; a time lowered by
// another program is adopted only when it is earlier than the target and
// not stale; the call never divides by zero, never spins and never makes
// the target unreachable, whatever the interval. The tick arithmetic itself
// is stores/schedulertiming.h, shared with the forecast.
#ifndef SCHEDULER_SCHEDULERWAKE_H_
#define SCHEDULER_SCHEDULERWAKE_H_

#include <ctime>

#include "stores/schedulertiming.h"

// Fills *hour (0-23) and *minute (0-59) from the clock seam.
void schedulerGetTime(int* hour, int* minute);

// What one pass of the wake-up timing leaves for the next, besides the
// pair: the date-time of the minute it last returned with and the monotonic
// time then (for the repeat guard), and a minute that the next pass returns
// with at once. A first pass (the pair negative) starts it afresh.
struct SchedulerWakeMemory {
  SchedulerMinute reached = kSchedulerNoMinute;
  time_t reachedAt = 0;  // comMonotonic() seconds
  SchedulerMinute catchUp = kSchedulerNoMinute;
  // False when the call returned only because a signal cut the sleep short
  // at a minute already run (a stop lowers the next-alarm time to the
  // current minute and signals): the caller checks its status record and
  // runs nothing for the pair.
  bool dispatch = true;
};

// Sleeps until the daemon is next due and returns with *hour and *minute set
// to the minute that was reached, whose modules the caller then runs.
//
// On entry the pair holds the minute of the previous pass, or a negative
// value before the first pass. First pass: when the current minute is a tick
// (a multiple of the interval, of 60 for intervals above 59), returns at once
// with that minute and writes nothing. Otherwise the target is the next tick,
// counted from the current minute (minutes multiple of the interval below
// 60; the current hour plus interval / 60 for multiples of 60), or the
// earliest pending alarm minute of today when it comes earlier. The target is
// a full date-time, dated from the one clock reading the tick was computed
// from; it is written into the next-alarm record (`nexttime`) before the
// first sleep, and only used when that write succeeds. The sleep goes in
// pieces of at most the interval, each ending on a minute boundary a whole
// number of intervals before the target, at the wall-clock time it was
// computed to end at (comSleepUntil); after every piece, whatever ended it,
// the clock is read afresh. A piece cut short by a signal re-reads the
// next-alarm record and adopts a lowered time that is earlier than the
// target and not stale (schedulerLoweredAdopted).
//
// Late wake-ups and clock changes (the rules are stores/schedulertiming.h):
//  - The target is reached once the clock stands on it or past it, however
//    late: after a suspend, a paused virtual machine, a clock stepped
//    forward, a stall, or the spring change (a sleep towards 02:00 that ends
//    at 03:00), the call returns at once with the target, so its modules run,
//    late and once; the entries of the minutes skipped are not run. A target
//    chosen for the next day is never reached before the date changes.
//  - A wake-up more than a minute late is a "clock-jump" line in the run
//    journal (from the target to the clock's minute, "YYYY-MM-DD HH:MM"
//    each), when the journal is on; nothing else is written or printed.
//  - When a wake-up past the target (late, or within the minute after it)
//    finds the clock on a minute that a daemon started then would run at
//    once (03:00 in the example; any minute with interval 1), the next pass
//    returns with that minute at once, so its modules run too, each once.
//  - A clock set back during a sleep meets the target again, later: the
//    autumn change's repeated hour runs each entry once. A clock set back
//    after a run never brings the minutes just run round again within an
//    hour (schedulerRepeatsRun): the call sleeps on past them. After a longer
//    step back the guard lapses after an hour, so a corrected clock never
//    silences the daemon for a day either.
// After every piece the children that ended are reaped and journalled
// (schedulerReapChildren).
//
// Intervals outside the meaningful set never divide by zero, never spin and
// never make the target unreachable: 0 is taken as 1; a negative interval as
// its absolute value; 1440 and above as 1440 (one tick a day, at the hour of
// the first run).
// Meant to run with SIGUSR1 and SIGCHLD blocked and their handlers installed
// (schedulerMain holds them so, schedulersignals.h): only the sleep lets
// them in, so one that arrives while the target is chosen and published
// cuts the first piece short at once instead of being spent before it.
// REQUIRES: the data home has been saved (S3ComPathHomeSave); hour, minute
// and memory non-null; `memory` is the one the previous pass used.
void schedulerSetTimeSleep(int interval, int* hour, int* minute, SchedulerWakeMemory* memory);

// The same with a memory of the process's own, returning only with a minute
// whose modules are to run.
void schedulerSetTimeSleep(int interval, int* hour, int* minute);

#endif  // SCHEDULER_SCHEDULERWAKE_H_
