#include "stores/schedulertiming.h"

#include <climits>
#include <cstdio>

#include "common/comdate.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;
constexpr int kMinutesPerDay = kMinutesPerHour * kHoursPerDay;
constexpr int kStampDigits = 12;  // YYYYMMDDhhmm

// Days from 1 March of year 0 to year-month-day of the civil calendar. The
// year is counted from March so that a leap day is the last day of its
// year; 400 years are 146097 days.
long long daysFromCivil(long long year, int month, int day) {
  if (month <= 2) --year;
  long long era = (year >= 0 ? year : year - 399) / 400;
  long long yearOfEra = year - era * 400;
  int shifted = month > 2 ? month - 3 : month + 9;  // March is 0
  long long dayOfYear = (153 * shifted + 2) / 5 + day - 1;
  long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra;
}

struct Civil {
  int year, month, day, hour, minute;
};

// The inverse of schedulerMinuteOf for numbers of 0 or more.
Civil civilOf(SchedulerMinute at) {
  long long days = at / kMinutesPerDay;
  int minuteOfDay = static_cast<int>(at % kMinutesPerDay);
  long long era = days / 146097;
  long long dayOfEra = days - era * 146097;
  long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int shifted = static_cast<int>((5 * dayOfYear + 2) / 153);
  Civil c;
  c.day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
  c.month = shifted < 10 ? shifted + 3 : shifted - 9;
  c.year = static_cast<int>(yearOfEra + era * 400 + (c.month <= 2 ? 1 : 0));
  c.hour = minuteOfDay / kMinutesPerHour;
  c.minute = minuteOfDay % kMinutesPerHour;
  return c;
}

// The value of `count` decimal digits at `text`, or -1 when one is not a digit.
int digitsAt(const char* text, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

bool schedulerIntervalAdmitted(int interval) {
  if (interval == 0) return true;
  return interval <= kMinutesPerHour ? kMinutesPerHour % interval == 0
                                     : interval % kMinutesPerHour == 0;
}

int schedulerEffectiveInterval(int interval) {
  if (interval == 0) return 1;
  if (interval < 0) interval = (interval == INT_MIN) ? kMinutesPerDay : -interval;
  return interval > kMinutesPerDay ? kMinutesPerDay : interval;
}

int schedulerFirstPassInterval(int effective) {
  return effective >= kMinutesPerHour ? kMinutesPerHour : effective;
}

SchedulerTick schedulerNextTick(int hour, int minute, int w) {
  SchedulerTick tick = {hour, 0, false};
  if (w >= kMinutesPerHour) {
    tick.hour = hour + w / kMinutesPerHour;
  } else {
    tick.minute = (minute == 0) ? w : minute - minute % w + w;
    if (tick.minute >= kMinutesPerHour) {
      tick.minute -= kMinutesPerHour;
      ++tick.hour;
    }
  }
  if (tick.hour >= kHoursPerDay) {
    tick.hour -= kHoursPerDay;
    tick.nextDay = true;
  }
  return tick;
}

bool schedulerAlarmFirst(const SchedulerTick& tick, int alarmHour, int alarmMinute) {
  if (tick.nextDay) return true;
  return alarmHour * kMinutesPerHour + alarmMinute < tick.hour * kMinutesPerHour + tick.minute;
}

bool schedulerTickReaches(int hour, int minute, int interval, char* why, int whySize) {
  (void)hour;  // every hour of the day has ticks (see the header)
  int w = schedulerEffectiveInterval(interval);
  if (minute % schedulerFirstPassInterval(w) == 0) return true;
  if (w >= kMinutesPerHour) {
    snprintf(why, static_cast<size_t>(whySize),
             "the daemon wakes only at full hours with the interval %d", w);
  } else {
    snprintf(why, static_cast<size_t>(whySize), "minute %02d is not a multiple of the interval %d",
             minute, w);
  }
  return false;
}

SchedulerMinute schedulerMinuteOf(int year, int month, int day, int hour, int minute) {
  // A month outside 1-12 is carried into the year, so every field counts on.
  long long y = year + (month - 1) / 12;
  int m = (month - 1) % 12;
  if (m < 0) {
    m += 12;
    --y;
  }
  return (daysFromCivil(y, m + 1, 1) + day - 1) * kMinutesPerDay +
         static_cast<long long>(hour) * kMinutesPerHour + minute;
}

SchedulerMinute schedulerMinuteOfStamp(const char* stamp) {
  if (stamp == nullptr) return kSchedulerNoMinute;
  for (int i = 0; i < kStampDigits; ++i) {
    if (stamp[i] < '0' || stamp[i] > '9') return kSchedulerNoMinute;
  }
  int year = digitsAt(stamp, 4);
  int month = digitsAt(stamp + 4, 2);
  int day = digitsAt(stamp + 6, 2);
  int hour = digitsAt(stamp + 8, 2);
  int minute = digitsAt(stamp + 10, 2);
  if (month < 1 || month > 12 || day < 1 || day > comDayMonth(year, month) ||
      hour >= kHoursPerDay || minute >= kMinutesPerHour) {
    return kSchedulerNoMinute;
  }
  return schedulerMinuteOf(year, month, day, hour, minute);
}

int schedulerMinuteOfDay(SchedulerMinute at) {
  return static_cast<int>(at % kMinutesPerDay);
}

void schedulerMinuteStamp(SchedulerMinute at, char* out, int outSize) {
  Civil c = civilOf(at);
  snprintf(out, static_cast<size_t>(outSize), "%04d%02d%02d%02d%02d00", c.year, c.month, c.day,
           c.hour, c.minute);
}

void schedulerMinuteShown(SchedulerMinute at, char* out, int outSize) {
  Civil c = civilOf(at);
  snprintf(out, static_cast<size_t>(outSize), "%04d-%02d-%02d %02d:%02d", c.year, c.month, c.day,
           c.hour, c.minute);
}

SchedulerMinute schedulerChooseTarget(SchedulerMinute now, const SchedulerTick& tick,
                                      int alarmMinute) {
  SchedulerMinute today = now - schedulerMinuteOfDay(now);
  if (alarmMinute >= 0 &&
      schedulerAlarmFirst(tick, alarmMinute / kMinutesPerHour, alarmMinute % kMinutesPerHour)) {
    return today + alarmMinute;
  }
  return today + (tick.nextDay ? kMinutesPerDay : 0) + tick.hour * kMinutesPerHour + tick.minute;
}

bool schedulerTargetReached(SchedulerMinute now, SchedulerMinute target) {
  return now >= target;
}

bool schedulerWakeLate(SchedulerMinute now, SchedulerMinute target) {
  return now - target > kSchedulerLateMinutes;
}

int schedulerSleepPiece(SchedulerMinute now, SchedulerMinute target, int w) {
  long long d = target - now;
  if (d > w) {
    d %= w;
    if (d == 0) d = w;
  }
  return d < 1 ? 1 : static_cast<int>(d);
}

SchedulerMinute schedulerCatchUpMinute(SchedulerMinute now, SchedulerMinute target, int w) {
  if (now == target || schedulerMinuteOfDay(now) % schedulerFirstPassInterval(w) != 0) {
    return kSchedulerNoMinute;
  }
  return now;
}

bool schedulerLoweredAdopted(SchedulerMinute lowered, SchedulerMinute target, SchedulerMinute now) {
  return lowered != kSchedulerNoMinute && lowered < target &&
         lowered >= now - kSchedulerLateMinutes;
}

bool schedulerRepeatsRun(SchedulerMinute due, SchedulerMinute lastRun, long long secondsSince) {
  return lastRun != kSchedulerNoMinute && due <= lastRun &&
         secondsSince < kSchedulerRepeatGuardSeconds;
}

SchedulerWakeRuns schedulerRunsAfterWake(SchedulerMinute now, SchedulerMinute target, int w,
                                         SchedulerMinute lastRun, long long secondsSince) {
  SchedulerWakeRuns runs = {schedulerWakeLate(now, target), target,
                            schedulerCatchUpMinute(now, target, w)};
  // A target that is a minute just run (the clock was set back after it) is
  // slept past; the minute the clock stands on after a wake-up past the
  // target is always later than the target.
  if (schedulerRepeatsRun(runs.due, lastRun, secondsSince)) {
    runs.due = runs.next;
    runs.next = kSchedulerNoMinute;
  }
  if (schedulerRepeatsRun(runs.due, lastRun, secondsSince)) runs.due = kSchedulerNoMinute;
  return runs;
}
