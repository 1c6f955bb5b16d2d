// The tick arithmetic of the scheduler daemon and the rules by which it
// decides, after each piece of its sleep, whether its target is reached,
// whether it woke late, and what it runs then; shared with the tools that
// forecast its runs so that a forecast can never drift from what the daemon
// does. Pure functions of minutes and wall-clock date-times; no clock, no
// files.
#ifndef STORES_SCHEDULERTIMING_H_
#define STORES_SCHEDULERTIMING_H_

#include <climits>

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

// ---- Wall-clock date-times ----------------------------------------------------
//
// A local date and minute as the wall clock shows them, as one number: the
// minutes of the civil (Gregorian) calendar counted from 1 March of year 0.
// It knows no time zone and no daylight saving. A minute of the repeated
// hour of the autumn change has the same number both times; a minute the
// spring change skips has a number no clock reading gives; and the
// difference of two numbers is what the wall clock moved, which differs from
// the time that passed exactly when the clock was changed or stepped. Every
// date of years 0000-9999 gives a number of 0 or more.
typedef long long SchedulerMinute;
constexpr SchedulerMinute kSchedulerNoMinute = LLONG_MIN;

constexpr int kSchedulerMinutesPerDay = 1440;

// The number of year-month-day hour:minute. The fields are taken as they
// are (a day beyond its month's end counts on into the next month).
SchedulerMinute schedulerMinuteOf(int year, int month, int day, int hour, int minute);

// The number of the time stamp at the start of `stamp` (YYYYMMDDhhmm, the
// seconds after it are ignored), or kSchedulerNoMinute when its first 12
// characters are not the digits of a real date with hour 0-23 and minute
// 0-59. Null reads as no minute.
SchedulerMinute schedulerMinuteOfStamp(const char* stamp);

// The minute of the day (0-1439) of `at`. REQUIRES: at >= 0.
int schedulerMinuteOfDay(SchedulerMinute at);

// Writes "YYYYMMDDhhmm00" of `at` into `out` (outSize bytes, 15 for the
// whole stamp; a shorter buffer gets the text cut). REQUIRES: at >= 0.
void schedulerMinuteStamp(SchedulerMinute at, char* out, int outSize);

// Writes "YYYY-MM-DD HH:MM" of `at` into `out` (outSize bytes, 17 for the
// whole text). REQUIRES: at >= 0.
void schedulerMinuteShown(SchedulerMinute at, char* out, int outSize);

// The target chosen at the clock reading `now`: `tick` (computed from now's
// minute, on now's date or, with its day flag, the next), or the alarm of
// now's date at the minute of the day `alarmMinute` (-1: none pending) when
// it wakes the daemon first (schedulerAlarmFirst). REQUIRES: now >= 0.
SchedulerMinute schedulerChooseTarget(SchedulerMinute now, const SchedulerTick& tick,
                                      int alarmMinute);

// ---- After a piece of the sleep ---------------------------------------------------
//
// The daemon keeps its target as a full date-time, chosen from the one clock
// reading it computed the tick from, and sleeps towards it in pieces. After
// every piece it reads the wall clock again (`now`, a date-time) and decides
// with these rules what to do. The rules never compare minutes of the day
// alone, so "passed" and "tomorrow" cannot be confused: a target chosen for
// the next day (23:50 towards 00:00) lies after every minute of today.

// A wake-up at most this many minutes after its target is on time.
constexpr int kSchedulerLateMinutes = 1;

// Whether the clock at `now` has reached `target`: it stands on it or has
// passed it, by however much. A sleep that ends late (a suspended host, a
// paused virtual machine, a clock stepped forward, a stalled machine, the
// spring change of daylight-saving time) reaches its target all the same,
// and the daemon runs what was due then, once, late; it never takes a
// target it passed for the same time on a later day.
bool schedulerTargetReached(SchedulerMinute now, SchedulerMinute target);

// Whether the clock at `now` passed `target` by more than the minute of
// tolerance: the wake-up was late, and the daemon says so in its run journal
// (event clock-jump, from the target to now). Entries of the minutes in
// between are not run.
bool schedulerWakeLate(SchedulerMinute now, SchedulerMinute target);

// The next sleep piece in minutes from `now` towards `target`, with the
// working interval `w`: what remains, and at most `w`, so that the piece ends
// a whole number of intervals before the target and a clock set back or
// forward meets the tick grid again at the next piece. Never below 1.
// REQUIRES: w >= 1.
int schedulerSleepPiece(SchedulerMinute now, SchedulerMinute target, int w);

// After a wake-up at `now` for `target`: the minute whose modules the
// daemon runs next, at once, because the clock stands on it. That is `now`
// when it is a minute that a daemon started then would run at once (its
// minute of the day a multiple of schedulerFirstPassInterval(w), as the
// first pass takes it) and not the target itself; otherwise
// kSchedulerNoMinute, and the daemon goes on with the next tick after `now`.
// So on the spring change the late 02:00 runs and then 03:00; and with
// interval 1 a wake-up within the minute after its target (on time by
// schedulerWakeLate, after a stop of a minute or two) runs the target and
// the minute it woke in, instead of passing that one by. REQUIRES: `w`
// comes from schedulerEffectiveInterval.
SchedulerMinute schedulerCatchUpMinute(SchedulerMinute now, SchedulerMinute target, int w);

// Whether a lowered next-alarm time `lowered` (read from the record after
// an interrupted piece) replaces `target` at the clock reading `now`: when
// it is a date-time, earlier than the target, and not stale (not more than
// the minute of tolerance before `now`; a stale one would otherwise be
// reached at once although nothing is due, or, as it used to be, taken for
// the next day).
bool schedulerLoweredAdopted(SchedulerMinute lowered, SchedulerMinute target, SchedulerMinute now);

// The span after a run within which the same wall-clock minute, or an
// earlier one, is not run again: an hour, and the minute of tolerance, since
// clock readings have whole seconds.
constexpr long long kSchedulerRepeatGuardSeconds = 3660;

// Whether running the modules due at `due` would repeat a minute: the daemon
// last ran the minute `lastRun` (kSchedulerNoMinute: none yet), and
// `secondsSince` seconds of monotonic time have passed since. A clock set
// back after a run (by time synchronisation, or by hand) would bring the
// minutes just run round again; the daemon sleeps on past them instead, so it
// never starts an entry twice for one wall-clock minute within an hour. A
// clock set back by more (a wrong clock corrected by a day) does not silence
// the daemon until the clock catches up: after an hour (and a minute) the
// guard lapses and it runs by the clock again.
bool schedulerRepeatsRun(SchedulerMinute due, SchedulerMinute lastRun, long long secondsSince);

// What the daemon runs once a sleep towards `target` has reached it at
// `now`, having last run the minute `lastRun` `secondsSince` seconds of
// monotonic time ago (with the working interval `w`, from
// schedulerEffectiveInterval):
struct SchedulerWakeRuns {
  // The wake-up came late (schedulerWakeLate): a clock-jump line.
  bool late;
  // The minute whose modules run now: the target, or, when that would
  // repeat a run, the catch-up minute; kSchedulerNoMinute when neither is
  // left, and the daemon sleeps on from the clock.
  SchedulerMinute due;
  // The catch-up minute (schedulerCatchUpMinute) whose modules run next, at
  // once, after those of `due`; kSchedulerNoMinute for none.
  SchedulerMinute next;
};
SchedulerWakeRuns schedulerRunsAfterWake(SchedulerMinute now, SchedulerMinute target, int w,
                                         SchedulerMinute lastRun, long long secondsSince);

#endif  // STORES_SCHEDULERTIMING_H_
