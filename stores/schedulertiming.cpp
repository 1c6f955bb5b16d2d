#include "stores/schedulertiming.h"

#include <climits>
#include <cstdio>

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;
constexpr int kMinutesPerDay = kMinutesPerHour * kHoursPerDay;

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
