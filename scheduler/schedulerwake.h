// Wake-up timing: when the daemon is next due, and the sleep until then.
//
// Guarantees: the sleep goes in pieces of at most the interval, each ending
// on a minute boundary a whole number of intervals before the target, so a
// clock set back or forward meets the tick grid again at the next piece; the
// target is published in the next-alarm record (`nexttime`) before the
// first piece and adopted only when that write succeeded; a time lowered by
// another program is adopted only when it is earlier than the target and
// not stale; the call never divides by zero, never spins and never makes
// the target unreachable, whatever the interval. The tick arithmetic itself
// is stores/schedulertiming.h, shared with the forecast.
#ifndef SCHEDULER_SCHEDULERWAKE_H_
#define SCHEDULER_SCHEDULERWAKE_H_

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
// date changes. After every piece the children that ended are reaped and
// journalled (schedulerReapChildren).
//
// Intervals outside the meaningful set never divide by zero, never spin and
// never make the target unreachable: 0 is taken as 1; a negative interval as
// its absolute value; 1440 and above as 1440 (one tick a day, at the hour of
// the first run).
// Meant to run with SIGUSR1 and SIGCHLD blocked and their handlers installed
// (schedulerMain holds them so, schedulersignals.h): only the sleep lets
// them in, so one that arrives while the target is chosen and published
// cuts the first piece short at once instead of being spent before it.
// REQUIRES: the data home has been saved (S3ComPathHomeSave); hour and minute
// non-null.
void schedulerSetTimeSleep(int interval, int* hour, int* minute);

#endif  // SCHEDULER_SCHEDULERWAKE_H_
