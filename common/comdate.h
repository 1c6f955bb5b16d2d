// Date and clock helpers on decimal text (YYYYMMDDhhmmss time stamps,
// YYYYMMDD dates, hhmm clock times) and the clock seam through which the
// whole system reads the time and sleeps.
#ifndef COMMON_COMDATE_H_
#define COMMON_COMDATE_H_

#include <signal.h>

#include <cstddef>
#include <ctime>

// ---- Clock seam --------------------------------------------------------------
//
// Every read of the current time and every sleep goes through the installed
// ComClock. Production uses the system clock (time, localtime_r, pselect
// for a length of time, and a timer on the wall clock for a deadline); tests
// install a scripted clock that advances when the code sleeps, so wake-up
// logic runs deterministically in microseconds.

// How a sleep towards a wall-clock deadline ended (comSleepUntil).
enum ComWoke {
  // The wall clock reached the deadline, or stood past it already.
  kComWokeDeadline,
  // A caught signal ended the sleep early.
  kComWokeSignal,
  // The wall clock was set during the sleep; or the system cannot follow the
  // wall clock for long, and the sleep ended after a piece of it. Either
  // way the deadline may still lie ahead: read the clock and sleep on.
  kComWokeClockSet,
};

class ComClock {
 public:
  virtual ~ComClock();
  // Seconds since the epoch, as time() gives them.
  virtual time_t Now() = 0;
  // Breaks `t` down into local time (localtime semantics).
  virtual void LocalTime(time_t t, struct tm* out);
  // Sleeps `seconds` under the caller's signal mask; returns the seconds not
  // slept, rounded up, which is above 0 exactly when a caught signal cut the
  // sleep short. Callers that need the time after an interrupted sleep read
  // the clock again rather than trust the remainder (under a time-scaling
  // test tool it can be in real seconds). The seconds are the time that
  // passes for the process: a stop (SIGSTOP, a paused virtual machine) or a
  // suspended host can make the sleep end that much later by the wall clock.
  virtual unsigned Sleep(unsigned seconds) = 0;
  // Sleeps under the caller's signal mask until Now() reads `deadline` or
  // later, however the time in between passes: when the process was stopped
  // and continued, the host suspended or the virtual machine paused past the
  // deadline, the sleep ends as soon as the process runs again. A clock set
  // during the sleep ends it at once (kComWokeClockSet), so the caller can
  // look at the clock again; a caught signal ends it early (kComWokeSignal).
  virtual ComWoke SleepUntil(time_t deadline) = 0;
  // Seconds of a clock that only runs forward and that nobody sets
  // (CLOCK_MONOTONIC; the wall-clock seconds should that one ever fail).
  // Only differences mean anything: they tell the time that really passed
  // from what a wall clock shows after it was stepped or changed zones.
  virtual time_t Monotonic();
};

// The clock in use (the system clock unless a test installed another).
ComClock& comClock();
// Installs `clock` (nullptr restores the system clock); returns the previous
// one. The caller keeps ownership.
ComClock* comSetClock(ComClock* clock);

// Shorthands for the installed clock.
time_t comTime();
void comLocalTime(time_t t, struct tm* out);
unsigned comSleep(unsigned seconds);
time_t comMonotonic();
// Sleeps as ComClock::SleepUntil does, but with the signal mask `during` in
// place for the sleep alone (null: the caller's mask), and runs `prelude`
// (when not null) just before it. A caller that keeps the signals it waits
// for blocked lets them in here only: one that arrived while it prepared to
// sleep is pending and ends the sleep the moment it begins, and none is
// delivered anywhere else. The caller's mask is back in place when the call
// returns. The system clock sets the mask atomically with the sleep (ppoll,
// or pselect where it sleeps in pieces) and runs the prelude as its very
// last step before it blocks, so that no other code runs in between: a long
// sleep sheds there what it holds and should not keep while asleep. Another
// clock runs the prelude and then its SleepUntil with the mask set around
// it, so that a pending signal is delivered inside that sleep too. One
// thread only.
//
// The system clock arms a timer for the deadline on the wall clock itself
// (Linux, and FreeBSD from 14: timerfd, absolute, cancelled when the clock
// is set), so neither a stop nor a suspend makes the wake-up late. Where
// there is none, or it cannot be had, it sleeps at most a minute of elapsed
// time and answers kComWokeClockSet when the deadline still lies ahead: a
// caller that sleeps on wakes at most a minute late, and a minute apart.
ComWoke comSleepUntil(time_t deadline, const sigset_t* during, void (*prelude)());

// ---- Current time as text ----------------------------------------------------

// Writes the current local time stamp YYYYMMDDhhmmss into `out` (room for 15
// bytes); returns 14.
int comGetNowAll(char* out);
// The same for the time `t` (seconds since the epoch), broken down by the
// installed clock.
int comGetStampOf(time_t t, char* out);
// Writes the current local date YYYYMMDD into `out` (room for 9); returns 8.
int comGetToday(char* out);

// ---- Field extraction by position ---------------------------------------------
// Each reads its field's characters as atoi does. A text that ends before or
// inside a field reads only as far as it goes (an empty field gives 0).

int comGetYear(const char* text);    // characters 0-3 of a date or time stamp
int comGetMonth(const char* text);   // characters 4-5
int comGetDay(const char* text);     // characters 6-7
int comGetHour(const char* text);    // characters 0-1 of a clock time
int comGetMinute(const char* text);  // characters 2-3
int comGetSecond(const char* text);  // characters 4-5

// ---- Calendar ------------------------------------------------------------------

// 1 for a Gregorian leap year (every integer year, 0 included), else 0.
int leapyear(int year);
// Days in `month` of `year`; months outside 1-12 count 31.
int comDayMonth(int year, int month);

// ---- Checks: 0 valid, -1 invalid ---------------------------------------------------

int comChk_mmdd(const char* month, const char* day);
int comChk_yymmdd(const char* year, const char* month, const char* day);
// Checks the first eight characters as YYYYMMDD.
int comChk_date(const char* date);
// Checks hhmm...: a number (its end stripped in place), hour 0-24, minute 0-59.
int comChk_time(char* clock);
// The same check on a literal, which is judged as if stripped, never written.
namespace com_detail {
int ChkTimeConst(const char* clock);
}  // namespace com_detail
template <size_t N>
int comChk_time(const char (&clock)[N]) {
  return com_detail::ChkTimeConst(clock);
}

// Writes the date `days` days after (negative: before) the date at the start
// of `date` into `out` (room for 9 bytes; may be `date` itself); returns 8.
// Any int count is answered at once. The result is that of a walk month by
// month in which a month outside 1-12 counts 31 days. A year outside 0-9999
// prints wider than four characters and the text is cut to 8.
int comGetNextOrBeforeDay(const char* date, int days, char* out);

#endif  // COMMON_COMDATE_H_
