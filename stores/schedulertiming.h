// The tick arithmetic of the scheduler daemon, shared with the tools that
// forecast its runs so that a forecast can never drift from what the daemon
// does. Pure functions of minutes of the day; no clock, no files.
#ifndef STORES_SCHEDULERTIMING_H_
#define STORES_SCHEDULERTIMING_H_

// Whether the daemon admits `interval` (minutes, as given on its command
// line): 0, a divisor of 60 (negative ones too), or a positive multiple of 60.
bool schedulerIntervalAdmitted(int interval);

// The interval that the tick arithmetic works with (1 to 1440). Admitted
// intervals that it is not made for are mapped onto ones it handles, so that
// it never divides by zero, never sleeps zero seconds in a loop and never
// computes an hour it cannot reach:
//  - 0 is taken as 1: a tick every minute, the closest meaning of "no gap".
//  - A negative interval (the argument check admits negative divisors of 60)
//    is taken as its absolute value, which is what its writer meant.
//  - 1440 and above are taken as 1440: one tick a day, at the hour of the
//    first run. A larger multiple would move the tick's hour past the next
//    day, which minute-of-day arithmetic cannot express.
int schedulerEffectiveInterval(int interval);

// The working interval of the daemon's first pass: intervals of an hour or
// more start on the next full hour, and count their hours from there.
// REQUIRES: `effective` comes from schedulerEffectiveInterval.
int schedulerFirstPassInterval(int effective);

struct SchedulerTick {
  int hour;
  int minute;
  bool nextDay;  // the tick lies on the next calendar day
};

// The next tick after hour:minute with working interval w (1 to 1440).
SchedulerTick schedulerNextTick(int hour, int minute, int w);

// Whether the earliest pending alarm of the day, at alarmHour:alarmMinute
// (after the minute `tick` was computed from), wakes the daemon instead of
// `tick`: it does when it comes first or when the tick lies on the next day.
// Alarms of a later day are not weighed here: the daemon looks for them only
// once it wakes on their day.
bool schedulerAlarmFirst(const SchedulerTick& tick, int alarmHour, int alarmMinute);

// Whether a schedule entry at hour:minute can ever be reached by the ticks of
// `interval` (as given to the daemon) without an alarm waking the daemon
// then. Intervals below an hour reach the minutes that are multiples of the
// interval; an hour reaches every full hour; longer intervals reach full
// hours only, and which ones depends on the hour the daemon started in, so
// every full hour counts as reachable. When unreachable, writes the reason
// (one line, no newline) into `why` (whySize bytes) and returns false.
bool schedulerTickReaches(int hour, int minute, int interval, char* why, int whySize);

#endif  // STORES_SCHEDULERTIMING_H_
