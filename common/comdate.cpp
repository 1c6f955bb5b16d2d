// Date and clock helpers, and the clock seam.
#include "common/comdate.h"

#include <signal.h>
#include <sys/select.h>
#include <unistd.h>
#if __has_include(<sys/timerfd.h>)
#include <poll.h>
#include <sys/timerfd.h>
#define COM_HAVE_TIMERFD 1
#endif

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/com.h"
#include "common/comguard.h"

// ---- Clock seam --------------------------------------------------------------

ComClock::~ComClock() = default;

void ComClock::LocalTime(time_t t, struct tm* out) {
  // A time that cannot be broken down (far outside the calendar) leaves the
  // fields zeroed rather than undefined.
  if (localtime_r(&t, out) == nullptr) memset(out, 0, sizeof(*out));
}

time_t ComClock::Monotonic() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return Now();
  return now.tv_sec;
}

namespace {

// Where the system has no timer on the wall clock, a sleep towards a
// deadline lasts at most this long, so that a stop or a suspend makes its
// wake-up late by at most this much.
constexpr unsigned kComElapsedPieceSeconds = 60;

class SystemClock : public ComClock {
 public:
  // The wall clock as a timer on it sees it: time() may read the clock as
  // of the last tick, and just after a timer ended at its deadline it would
  // then show the second before.
  time_t Now() override {
    struct timespec now;
    if (clock_gettime(CLOCK_REALTIME, &now) != 0) return time(nullptr);
    return now.tv_sec;
  }

  unsigned Sleep(unsigned seconds) override { return SleepWith(seconds, nullptr, nullptr); }
  ComWoke SleepUntil(time_t deadline) override {
    return SleepUntilWith(deadline, nullptr, nullptr);
  }

  // pselect rather than sleep: sleep under a time-shifting preload library
  // can answer 0 although a signal ended it early. Callers rely on a non-zero
  // answer to notice the interruption, so any unslept remainder counts as at
  // least one second. pselect also puts `during` in place atomically with
  // the start of the sleep and the caller's mask back with its end, so a
  // signal the caller kept blocked until then ends the sleep at once instead
  // of being spent while nobody sleeps.
  unsigned SleepWith(unsigned seconds, const sigset_t* during, void (*prelude)()) {
    struct timespec start;
    bool timed = clock_gettime(CLOCK_MONOTONIC, &start) == 0;
    struct timespec request = {static_cast<time_t>(seconds), 0};
    if (prelude != nullptr) prelude();
    if (pselect(0, nullptr, nullptr, nullptr, &request, during) >= 0) return 0;
    if (errno != EINTR) return 0;
    struct timespec end;
    if (!timed || clock_gettime(CLOCK_MONOTONIC, &end) != 0) return seconds > 0 ? seconds : 1;
    int64_t elapsedNs = (static_cast<int64_t>(end.tv_sec) - start.tv_sec) * 1000000000 +
                        (end.tv_nsec - start.tv_nsec);
    int64_t leftNs = static_cast<int64_t>(seconds) * 1000000000 - elapsedNs;
    if (leftNs <= 0) return 1;
    return static_cast<unsigned>((leftNs + 999999999) / 1000000000);
  }

  // A timer armed for the deadline on the wall clock, not for the time until
  // it: a sleep for a length of time resumes what it had left after a stop,
  // and a timer for a length of time runs on the monotonic clock, which
  // stands still while the host is suspended; either ends late by the wall
  // clock. The timer is cancelled when the clock is set, so that the caller
  // looks at the clock at once. ppoll lets `during` in atomically with the
  // start of the wait, as pselect does for Sleep.
  ComWoke SleepUntilWith(time_t deadline, const sigset_t* during, void (*prelude)()) {
#if defined(COM_HAVE_TIMERFD)
    ComFd timer(timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC | TFD_NONBLOCK));
    struct itimerspec at;
    memset(&at, 0, sizeof(at));
    at.it_value.tv_sec = deadline;
    // An all-zero time would disarm the timer instead of arming it.
    if (deadline > 0 && timer.ok() &&
        timerfd_settime(timer.get(), TFD_TIMER_ABSTIME | kCancelOnSet, &at, nullptr) == 0) {
      if (prelude != nullptr) prelude();
      prelude = nullptr;
      struct pollfd ready = {timer.get(), POLLIN, 0};
      if (ppoll(&ready, 1, nullptr, during) >= 0) {
        // The read fails with ECANCELED when the clock was set.
        uint64_t expirations = 0;
        if (read(timer.get(), &expirations, sizeof(expirations)) < 0) return kComWokeClockSet;
        return kComWokeDeadline;
      }
      if (errno == EINTR) return kComWokeSignal;
      // The wait itself failed: the elapsed clock below still sleeps.
    }
#endif
    // No timer on the wall clock (FreeBSD before 14, or none to be had now:
    // no descriptor left): a piece of elapsed time, at most a minute.
    // clock_nanosleep on the wall clock would take no signal mask, and a
    // wake signal arriving between letting it in and sleeping would be
    // spent while nobody sleeps.
    time_t now = Now();
    if (now >= deadline) return kComWokeDeadline;
    time_t left = deadline - now;
    unsigned seconds =
        left < kComElapsedPieceSeconds ? static_cast<unsigned>(left) : kComElapsedPieceSeconds;
    if (SleepWith(seconds, during, prelude) > 0) return kComWokeSignal;
    return Now() >= deadline ? kComWokeDeadline : kComWokeClockSet;
  }

 private:
#if defined(COM_HAVE_TIMERFD) && defined(TFD_TIMER_CANCEL_ON_SET)
  static constexpr int kCancelOnSet = TFD_TIMER_CANCEL_ON_SET;
#elif defined(COM_HAVE_TIMERFD)
  // Without the cancel the timer still ends when a set clock passes the
  // deadline; a clock set back is only noticed at the deadline.
  static constexpr int kCancelOnSet = 0;
#endif
};

SystemClock& systemClock() {
  static SystemClock clock;
  return clock;
}

ComClock* g_clock = nullptr;  // null: the system clock

}  // namespace

ComClock& comClock() {
  return g_clock != nullptr ? *g_clock : systemClock();
}

ComClock* comSetClock(ComClock* clock) {
  ComClock* previous = &comClock();
  g_clock = clock;
  return previous;
}

time_t comTime() {
  return comClock().Now();
}
void comLocalTime(time_t t, struct tm* out) {
  comClock().LocalTime(t, out);
}
unsigned comSleep(unsigned seconds) {
  return comClock().Sleep(seconds);
}
time_t comMonotonic() {
  return comClock().Monotonic();
}
ComWoke comSleepUntil(time_t deadline, const sigset_t* during, void (*prelude)()) {
  ComClock& clock = comClock();
  if (&clock == &systemClock()) return systemClock().SleepUntilWith(deadline, during, prelude);
  if (prelude != nullptr) prelude();
  sigset_t caller;
  bool masked = during != nullptr && sigprocmask(SIG_SETMASK, during, &caller) == 0;
  ComWoke woke = clock.SleepUntil(deadline);
  if (masked) sigprocmask(SIG_SETMASK, &caller, nullptr);
  return woke;
}

// ---- Current time as text ----------------------------------------------------

namespace {

constexpr int kNowAllSize = 15;  // YYYYMMDDhhmmss and terminator
constexpr int kDateSize = 9;     // YYYYMMDD and terminator

// Characters that snprintf left in a buffer of `size` bytes, given what it
// returned (a longer text was cut).
int Written(int printed, int size) {
  if (printed < 0) return 0;
  return printed < size ? printed : size - 1;
}

struct tm NowLocal() {
  struct tm now;
  memset(&now, 0, sizeof(now));
  comLocalTime(comTime(), &now);
  return now;
}

}  // namespace

// Years beyond 9999 do not occur on a running system's clock; were one read,
// the stamp would be cut to the 15 bytes the caller provides.
int comGetNowAll(char* out) {
  return comGetStampOf(comTime(), out);
}

int comGetStampOf(time_t t, char* out) {
  struct tm now;
  memset(&now, 0, sizeof(now));
  comLocalTime(t, &now);
  int printed = snprintf(out, kNowAllSize, "%04d%02d%02d%02d%02d%02d", now.tm_year + 1900,
                         now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  return Written(printed, kNowAllSize);
}

int comGetToday(char* out) {
  struct tm now = NowLocal();
  int printed =
      snprintf(out, kDateSize, "%04d%02d%02d", now.tm_year + 1900, now.tm_mon + 1, now.tm_mday);
  return Written(printed, kDateSize);
}

// ---- Field extraction ----------------------------------------------------------

namespace {

// atoi without its undefined behaviour on overflow: the value is clamped to
// the int range. Leading blanks and a sign are accepted, conversion stops at
// the first non-digit, no digits give 0.
int ToInt(const char* text) {
  if (text == nullptr) return 0;
  long value = strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The characters [start, start + width) of `text` read as atoi reads them.
// A text that ends before or inside the field reads only what is there; the
// bytes past its terminator are never touched.
int Field(const char* text, size_t start, size_t width) {
  if (text == nullptr) return 0;
  size_t length = strnlen(text, start + width);
  if (length <= start) return 0;
  char field[8];
  size_t n = length - start;
  memcpy(field, text + start, n);
  field[n] = '\0';
  return ToInt(field);
}

}  // namespace

int comGetYear(const char* text) {
  return Field(text, 0, 4);
}
int comGetMonth(const char* text) {
  return Field(text, 4, 2);
}
int comGetDay(const char* text) {
  return Field(text, 6, 2);
}
int comGetHour(const char* text) {
  return Field(text, 0, 2);
}
int comGetMinute(const char* text) {
  return Field(text, 2, 2);
}
int comGetSecond(const char* text) {
  return Field(text, 4, 2);
}

// ---- Calendar ------------------------------------------------------------------

namespace {

// The calendar on wide years, so that stepping a date far away cannot
// overflow.
bool IsLeap(int64_t year) {
  return year % 400 == 0 || (year % 4 == 0 && year % 100 != 0);
}

int64_t DaysInMonth(int64_t year, int64_t month) {
  if (month == 2) return IsLeap(year) ? 29 : 28;
  if (month == 4 || month == 6 || month == 9 || month == 11) return 30;
  return 31;
}

}  // namespace

int leapyear(int year) {
  return IsLeap(year) ? 1 : 0;
}

int comDayMonth(int year, int month) {
  return static_cast<int>(DaysInMonth(year, month));
}

// ---- Checks ----------------------------------------------------------------------

int comChk_mmdd(const char* month, const char* day) {
  int m = ToInt(month);
  int d = ToInt(day);
  if (m < 1 || m > 12 || d < 1) return -1;
  // February allows 29 here whatever the year; comChk_yymmdd knows the year.
  int limit = (m == 2) ? 29 : (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
  return d > limit ? -1 : 0;
}

int comChk_yymmdd(const char* year, const char* month, const char* day) {
  if (comChk_mmdd(month, day) != 0) return -1;
  if (ToInt(month) == 2 && ToInt(day) >= 29 && !leapyear(ToInt(year))) return -1;
  return 0;
}

int comChk_date(const char* date) {
  // Printed again as text so that the check sees what the field parts hold,
  // whatever surrounds them.
  char year[16];
  char month[16];
  char day[16];
  snprintf(year, sizeof(year), "%d", comGetYear(date));
  snprintf(month, sizeof(month), "%02d", comGetMonth(date));
  snprintf(day, sizeof(day), "%02d", comGetDay(date));
  return comChk_yymmdd(year, month, day);
}

namespace com_detail {

// Stripping removes only trailing blanks, so the hour and minute read the
// same from the unstripped text (a blank ends atoi's digits either way).
int ChkTimeConst(const char* clock) {
  if (!IsNumberConst(clock)) return -1;
  // Compared unsigned so that a negative hour or minute fails. Hour 24 is
  // accepted: the suite writes 2400 for the end of a day.
  if (static_cast<unsigned>(comGetHour(clock)) > 24) return -1;
  if (static_cast<unsigned>(comGetMinute(clock)) > 59) return -1;
  return 0;
}

}  // namespace com_detail

int comChk_time(char* clock) {
  comRTrimMultiLine(clock);
  return com_detail::ChkTimeConst(clock);
}

// ---- Stepping a date -----------------------------------------------------------
//
// The result is defined as a walk month by month: while the day lies above the
// current month's length, subtract that length and go to the next month;
// while it lies below 1, go to the previous month and add its length. Months
// outside 1-12 count 31 days and wrap only through 12 -> 1 and 1 -> 12 (a
// month of 13 or more walked forward, or of 0 or less walked back, never
// comes back into range).
//
// Any int day count must be answered at once, so the walk takes two
// shortcuts that give exactly the walk's result:
// - Inside 1-12, 4800 consecutive months always hold 146097 days (the
//   Gregorian cycle of 400 years). A forward walk with a day above 146097
//   passes that many days without stopping, and a backward walk whose day
//   stays below 1 after adding 146097 does too; both skip whole cycles.
// - A month outside 1-12 that moves away from the range is a run of 31-day
//   months and is computed in one step.
// What remains is less than one cycle of single month steps (or at most ~110
// for a month field outside 1-12 that walks into the range).

namespace {

constexpr int64_t kCycleDays = 146097;  // days in 400 Gregorian years
constexpr int64_t kCycleYears = 400;
constexpr int64_t kOutOfRangeMonthDays = 31;

struct Date {
  int64_t year;
  int64_t month;
  int64_t day;
};

Date StepDays(Date d) {
  for (;;) {
    int64_t length = DaysInMonth(d.year, d.month);
    if (d.day >= 1 && d.day <= length) return d;
    bool inRange = d.month >= 1 && d.month <= 12;
    if (inRange && d.day > kCycleDays) {
      int64_t cycles = (d.day - 1) / kCycleDays;
      d.day -= cycles * kCycleDays;
      d.year += cycles * kCycleYears;
      continue;
    }
    if (inRange && d.day + kCycleDays <= 0) {
      int64_t cycles = -d.day / kCycleDays;
      d.day += cycles * kCycleDays;
      d.year -= cycles * kCycleYears;
      continue;
    }
    if (d.month > 12 && d.day > length) {
      int64_t months = (d.day - 1) / kOutOfRangeMonthDays;
      d.day -= months * kOutOfRangeMonthDays;
      d.month += months;
      return d;
    }
    if (d.month < 1 && d.day < 1) {
      int64_t months = (kOutOfRangeMonthDays - d.day) / kOutOfRangeMonthDays;
      d.day += months * kOutOfRangeMonthDays;
      d.month -= months;
      return d;
    }
    if (d.day > length) {
      d.day -= length;
      if (d.month == 12) {
        d.month = 1;
        ++d.year;
      } else {
        ++d.month;
      }
    } else {
      if (d.month == 1) {
        d.month = 12;
        --d.year;
      } else {
        --d.month;
      }
      d.day += DaysInMonth(d.year, d.month);
    }
  }
}

}  // namespace

int comGetNextOrBeforeDay(const char* date, int days, char* out) {
  // All fields are read before `out` is written: `out` may be `date`.
  Date d = {comGetYear(date), comGetMonth(date), static_cast<int64_t>(comGetDay(date)) + days};
  d = StepDays(d);
  // A year beyond 9999 (or a month outside 1-12) prints wider than eight
  // characters; the text is cut to the 9 bytes the caller provides.
  int printed = snprintf(out, kDateSize, "%04lld%02lld%02lld", static_cast<long long>(d.year),
                         static_cast<long long>(d.month), static_cast<long long>(d.day));
  return Written(printed, kDateSize);
}
