// Wake-up timing: the choice of the target and the sleep towards it.
#include "scheduler/schedulerwake.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "s3/cs3dataiofile.h"
#include "scheduler/scheduleralarmscan.h"
#include "scheduler/schedulerdispatch.h"
#include "scheduler/schedulerpages.h"
#include "scheduler/schedulersignals.h"
#include "stores/ckoralarm.h"
#include "stores/ckoralarmtime.h"
#include "stores/schedulertiming.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;
constexpr int kMinutesPerDay = kMinutesPerHour * kHoursPerDay;
constexpr int kSecondsPerMinute = 60;

constexpr int kStampSize = 15;     // YYYYMMDDhhmmss and the terminator
constexpr int kDateLength = 8;     // YYYYMMDD
constexpr int kMinuteLength = 12;  // YYYYMMDDhhmm
// Offset of the clock time hhmmss in a time stamp: the comGet helpers read
// hour, minute and second from there.
constexpr int kClockAt = 8;
// Room for "%02d" of any int, so an out-of-range hour is never cut silently.
constexpr int kNumberTextSize = 12;

// ---- Clock ----------------------------------------------------------------------

// One clock reading, as a time stamp and its minute of the day.
struct Now {
  char stamp[kStampSize];
  int hour;
  int minute;
  int second;

  int MinuteOfDay() const { return hour * kMinutesPerHour + minute; }
  // True when the reading's date is `date` (YYYYMMDD).
  bool IsDate(const char* date) const { return strncmp(stamp, date, kDateLength) == 0; }
};

Now readNow() {
  Now now;
  comGetNowAll(now.stamp);
  now.hour = comGetHour(now.stamp + kClockAt);
  now.minute = comGetMinute(now.stamp + kClockAt);
  now.second = comGetSecond(now.stamp + kClockAt);
  return now;
}

// Writes the date `days` after the date at the start of `stamp` (room for 9).
void shiftDate(const char* stamp, int days, char* out) {
  comGetNextOrBeforeDay(stamp, days, out);
}

// Writes "YYYYMMDDhhmm00" of the date at the start of `date` and hour:minute.
void formatStamp(const char* date, int hour, int minute, char* out) {
  // The fields are in range by construction; a cut would only ever shorten
  // the text, which the callers' comparisons then treat as no time.
  if (snprintf(out, kStampSize, "%04d%02d%02d%02d%02d00", comGetYear(date), comGetMonth(date),
               comGetDay(date), hour, minute) >= kStampSize) {
    out[kStampSize - 1] = '\0';
  }
}

// ---- Wake-up timing ----------------------------------------------------------------

// Where the sleep runs to: a minute of the day, and, while the clock still
// shows the day the target was chosen on, whether the target lies on the
// next day.
struct Target {
  int hour;
  int minute;
  // Date (YYYYMMDD) on which the target was known to lie on the next day;
  // empty when it lies on the day of the clock reading.
  char nextDayOf[kDateLength + 1];

  int MinuteOfDay() const { return hour * kMinutesPerHour + minute; }
};

// Whether the target still lies ahead on a later day. The minute-of-day rule
// takes a target that the clock has passed by more than `tolerance` minutes
// as the same time tomorrow. A target chosen for the next day is never taken
// as reached before the date changes: with one tick a day the target has the
// same minute as the tick just run, and a signal in that minute (a module
// ending) would otherwise run every module again.
bool rollsOver(const Now& now, const Target& target, int tolerance) {
  if (target.nextDayOf[0] != '\0' && now.IsDate(target.nextDayOf)) return true;
  return now.MinuteOfDay() > target.MinuteOfDay() + tolerance;
}

// Scans today's alarm directory for the earliest pending minute, chooses
// between it and the tick, and publishes the choice in the next-alarm record.
// The pair becomes the choice only when the record was written; otherwise it
// stays the tick, so an alarm that nobody can lower towards is not waited for.
//
// `now` is the reading the tick was computed from. Today, tomorrow and the
// alarm directory all come from that one reading: a second reading could
// fall on the next day when the call runs across midnight, and would then
// date the tick a day late and leave the daemon asleep for a day.
Target chooseTarget(const Now& now, const SchedulerTick& tick) {
  Target target = {tick.hour, tick.minute, ""};
  if (tick.nextDay) snprintf(target.nextDayOf, sizeof(target.nextDayOf), "%.8s", now.stamp);

  CKorAlarm alarm;
  if (alarm.SetDateTime(now.stamp) != 0) return target;
  char dir[kComPathMax];
  char best[kSchedulerAlarmTextSize] = "";
  if (alarm.GetFileDir(dir) == 0) {
    // A missing directory yields nothing; a scan stopped by an entry that
    // cannot be examined keeps what it found, which is still a pending minute.
    comDirSaveFileName(dir, best, schedulerSetTimeSleepNextTime);
  }
  // The scan reads the clock afresh: past midnight it would take every
  // minute of the day just ended as pending. Only minutes after the tick's
  // reading are.
  if (best[0] != '\0' && atoi(best) <= now.hour * 100 + now.minute) best[0] = '\0';

  bool useAlarm =
      best[0] != '\0' && schedulerAlarmFirst(tick, comGetHour(best), comGetMinute(best));

  char candidate[kStampSize];
  if (useAlarm) {
    formatStamp(now.stamp, comGetHour(best), comGetMinute(best), candidate);
  } else {
    char date[kDateLength + 1];
    shiftDate(now.stamp, tick.nextDay ? 1 : 0, date);
    formatStamp(date, tick.hour, tick.minute, candidate);
  }

  CKorAlarmTime record;
  if (record.Set("nexttime", candidate) != 0) return target;
  {
    // Released right after the write: the record must not stay locked while
    // the daemon sleeps, or nobody could lower it.
    CS3DataIO io;
    if (io.Mod(record) != 0) return target;
  }
  target.hour = comGetHour(candidate + kClockAt);
  target.minute = comGetMinute(candidate + kClockAt);
  // An alarm lies later today; only the tick can lie on the next day.
  if (useAlarm) target.nextDayOf[0] = '\0';
  return target;
}

// After an interrupted sleep: adopts a lowered next-alarm time that is
// earlier than the target.
void adoptLoweredTime(Target* target) {
  CKorAlarmTime record;
  if (record.Get() != 0) return;
  const char* lowered = record.GetNextTime();
  if (lowered[0] == '\0' || strlen(lowered) < kMinuteLength) return;

  Now now = readNow();
  char targetDate[kDateLength + 1];
  bool tomorrow;
  if (target->nextDayOf[0] != '\0' && now.IsDate(target->nextDayOf)) {
    tomorrow = true;
  } else {
    char targetText[kNumberTextSize];
    snprintf(targetText, sizeof(targetText), "%02d%02d", target->hour, target->minute);
    tomorrow = strncmp(now.stamp + kClockAt, targetText, 4) > 0;
  }
  shiftDate(now.stamp, tomorrow ? 1 : 0, targetDate);
  char targetStamp[kStampSize];
  formatStamp(targetDate, target->hour, target->minute, targetStamp);
  if (strcmp(lowered, targetStamp) >= 0) return;

  // A time past by more than the minute of tolerance is stale (an alarm
  // filed for a minute gone by, or a writer with another clock): read as
  // that time tomorrow it would skip every tick until then. One minute past
  // is reached at once, as a wake-up one minute late is; a date before today
  // is stale whatever its minute, since the sleep counts minutes of a day.
  // The date-time check admits hour 24, which no minute of the day reaches;
  // it is refused for the same reason.
  int dateOrder = strncmp(lowered, now.stamp, kDateLength);
  if (dateOrder < 0) return;
  int hour = comGetHour(lowered + kClockAt);
  int minute = comGetMinute(lowered + kClockAt);
  if (hour >= kHoursPerDay || minute >= kMinutesPerHour) return;
  if (dateOrder == 0 && hour * kMinutesPerHour + minute < now.MinuteOfDay() - 1) return;

  target->hour = hour;
  target->minute = minute;
  if (dateOrder > 0) {
    snprintf(target->nextDayOf, sizeof(target->nextDayOf), "%.8s", now.stamp);
  } else {
    target->nextDayOf[0] = '\0';
  }
}

}  // namespace

void schedulerGetTime(int* hour, int* minute) {
  Now now = readNow();
  *hour = now.hour;
  *minute = now.minute;
}

void schedulerSetTimeSleep(int interval, int* hour, int* minute) {
  Now now = readNow();
  int w = schedulerEffectiveInterval(interval);
  if (*hour < 0 || *minute < 0) {
    *hour = now.hour;
    *minute = now.minute;
    w = schedulerFirstPassInterval(w);
    if (now.MinuteOfDay() % w == 0) return;
  }

  SchedulerTick tick = schedulerNextTick(now.hour, now.minute, w);
  Target target = chooseTarget(now, tick);
  *hour = target.hour;
  *minute = target.minute;

  bool rollOver = rollsOver(now, target, 0);
  for (;;) {
    if (target.MinuteOfDay() <= now.MinuteOfDay() && !rollOver) break;
    int d = target.MinuteOfDay() - now.MinuteOfDay();
    if (rollOver) d += kMinutesPerDay;
    // One piece never exceeds the interval and ends a whole number of
    // intervals before the target, so a clock set back or forward meets the
    // tick grid again at the next piece.
    if (d > w) {
      d %= w;
      if (d == 0) d = w;
    }
    if (d < 1) d = 1;  // defensive: never a zero-length sleep in a loop
    // Seconds are not part of any target: the piece ends on the minute
    // boundary, so dispatch time never accumulates into a late wake-up that
    // would push the next pass past a minute it should have run.
    int seconds = d * kSecondsPerMinute - now.second;
    if (seconds < 1) seconds = 1;
    sigset_t during;
    schedulerSleepMask(&during);
    bool interrupted =
        comSleepAfter(static_cast<unsigned>(seconds), &during, schedulerReleaseFreeHeap) > 0;
    schedulerReapChildren();
    if (interrupted) adoptLoweredTime(&target);
    now = readNow();
    rollOver = rollsOver(now, target, 1);
  }
  *hour = target.hour;
  *minute = target.minute;
}
