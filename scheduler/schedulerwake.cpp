// Wake-up timing: the choice of the target and the sleep towards it.
#include "scheduler/schedulerwake.h"

#include <signal.h>

#include <cstdlib>

#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "s3/cs3dataiofile.h"
#include "scheduler/scheduleralarmscan.h"
#include "scheduler/schedulerdispatch.h"
#include "scheduler/schedulerlimits.h"
#include "scheduler/schedulerpages.h"
#include "scheduler/schedulersignals.h"
#include "stores/ckoralarm.h"
#include "stores/ckoralarmtime.h"
#include "stores/runjournal.h"
#include "stores/schedulertiming.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kSecondsPerMinute = 60;

constexpr int kStampSize = 15;  // YYYYMMDDhhmmss and the terminator
// Offset of the clock time hhmmss in a time stamp: the comGet helpers read
// hour, minute and second from there.
constexpr int kClockAt = 8;
constexpr int kShownSize = 17;  // "YYYY-MM-DD HH:MM" and the terminator

// ---- Clock ----------------------------------------------------------------------

// One clock reading: the wall clock's seconds, their time stamp and
// date-time, and the monotonic time.
struct Now {
  time_t wall;
  char stamp[kStampSize];
  int hour;
  int minute;
  int second;
  SchedulerMinute at;
  time_t elapsed;

  int MinuteOfDay() const { return hour * kMinutesPerHour + minute; }
};

Now readNow() {
  Now now;
  now.elapsed = comMonotonic();
  now.wall = comTime();
  comGetStampOf(now.wall, now.stamp);
  now.hour = comGetHour(now.stamp + kClockAt);
  now.minute = comGetMinute(now.stamp + kClockAt);
  now.second = comGetSecond(now.stamp + kClockAt);
  // Computed from the fields rather than parsed: a reading is a date-time
  // whatever it holds, so a target is always reachable from it.
  now.at = schedulerMinuteOf(comGetYear(now.stamp), comGetMonth(now.stamp), comGetDay(now.stamp),
                             now.hour, now.minute);
  return now;
}

// ---- Wake-up timing ----------------------------------------------------------------

// Scans today's alarm directory for the earliest pending minute, chooses
// between it and the tick, and publishes the choice in the next-alarm record.
// Returns the choice when the record was written; otherwise the tick, so an
// alarm that nobody can lower towards is not waited for.
//
// `now` is the reading the tick was computed from. Today, tomorrow and the
// alarm directory all come from that one reading: a second reading could
// fall on the next day when the call runs across midnight, and would then
// date the tick a day late and leave the daemon asleep for a day.
SchedulerMinute chooseTarget(const Now& now, const SchedulerTick& tick) {
  SchedulerMinute tickAt = schedulerChooseTarget(now.at, tick, -1);

  CKorAlarm alarm;
  if (alarm.SetDateTime(now.stamp) != 0) return tickAt;
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
  int pending = best[0] != '\0' ? comGetHour(best) * kMinutesPerHour + comGetMinute(best) : -1;
  if (pending <= now.MinuteOfDay()) pending = -1;

  SchedulerMinute choice = schedulerChooseTarget(now.at, tick, pending);
  char candidate[kStampSize];
  schedulerMinuteStamp(choice, candidate, sizeof(candidate));

  CKorAlarmTime record;
  if (record.Set("nexttime", candidate) != 0) return tickAt;
  {
    // Released right after the write: the record must not stay locked while
    // the daemon sleeps, or nobody could lower it.
    CS3DataIO io;
    if (io.Mod(record) != 0) return tickAt;
  }
  return choice;
}

// After an interrupted sleep: adopts a lowered next-alarm time that is
// earlier than the target and not stale.
void adoptLoweredTime(SchedulerMinute* target) {
  CKorAlarmTime record;
  if (record.Get() != 0) return;
  SchedulerMinute lowered = schedulerMinuteOfStamp(record.GetNextTime());
  if (schedulerLoweredAdopted(lowered, *target, readNow().at)) *target = lowered;
}

// Sleeps in pieces until the clock reaches `*target` (which a lowered
// next-alarm time may move earlier); `*now` is the reading the first piece
// starts from and, on return, the one that reached the target. True when a
// signal cut a piece short.
//
// A piece ends when the wall clock reaches the time it was computed to end
// at, not after so many seconds have passed: a stop and continue, a suspend
// or a paused virtual machine that outlasts the piece wakes the daemon as
// soon as it runs again. Whatever ended the piece (its end, a signal, the
// clock set), the clock is read afresh and the rules decide from there.
bool sleepUntil(SchedulerMinute* target, int w, Now* now) {
  bool signalled = false;
  while (!schedulerTargetReached(now->at, *target)) {
    // Seconds are not part of any target: the piece ends on the minute
    // boundary, so dispatch time never accumulates into a late wake-up that
    // would push the next pass past a minute it should have run.
    int seconds = schedulerSleepPiece(now->at, *target, w) * kSecondsPerMinute - now->second;
    if (seconds < 1) seconds = 1;
    sigset_t during;
    schedulerSleepMask(&during);
    // Cut at the next signal a run past its time limit is due; nothing
    // else shortens a piece, so without such a run the daemon wakes as it
    // always did.
    time_t end = now->wall + seconds;
    const time_t limit = schedulerLimitsNextWall(now->wall);
    if (limit > 0 && limit < end) end = limit;
    ComWoke woke = comSleepUntil(end, &during, schedulerReleaseFreeHeap);
    schedulerReapChildren();
    if (woke == kComWokeSignal) {
      signalled = true;
      adoptLoweredTime(target);
    }
    *now = readNow();
  }
  return signalled;
}

// The run journal's line for a late wake-up: due at `from`, awake at `to`.
void journalClockJump(SchedulerMinute from, SchedulerMinute to) {
  char fromText[kShownSize];
  char toText[kShownSize];
  schedulerMinuteShown(from, fromText, sizeof(fromText));
  schedulerMinuteShown(to, toText, sizeof(toText));
  const char* fields[] = {"clock-jump", fromText, toText};
  runJournalAppend(fields, 3);
}

// Returns with `due` as the minute reached, remembered for the next pass.
void reach(SchedulerMinute due, const Now& now, int* hour, int* minute,
           SchedulerWakeMemory* memory) {
  memory->reached = due;
  memory->reachedAt = now.elapsed;
  memory->dispatch = true;
  int minuteOfDay = schedulerMinuteOfDay(due);
  *hour = minuteOfDay / kMinutesPerHour;
  *minute = minuteOfDay % kMinutesPerHour;
}

}  // namespace

void schedulerGetTime(int* hour, int* minute) {
  Now now = readNow();
  *hour = now.hour;
  *minute = now.minute;
}

void schedulerSetTimeSleep(int interval, int* hour, int* minute, SchedulerWakeMemory* memory) {
  Now now = readNow();
  int effective = schedulerEffectiveInterval(interval);
  int w = effective;
  if (*hour < 0 || *minute < 0) {
    *memory = SchedulerWakeMemory();
    w = schedulerFirstPassInterval(w);
    if (now.MinuteOfDay() % w == 0) {
      reach(now.at, now, hour, minute, memory);
      return;
    }
  } else if (memory->catchUp != kSchedulerNoMinute) {
    // The last wake-up came past its target and found the clock on this
    // minute. A clock set back since then reaches it again by the ticks.
    SchedulerMinute due = memory->catchUp;
    memory->catchUp = kSchedulerNoMinute;
    if (schedulerTargetReached(now.at, due)) {
      reach(due, now, hour, minute, memory);
      return;
    }
  }

  // Each round chooses a target from one clock reading and sleeps to it,
  // and the decision after the sleep compares date-times only. So a clock
  // that jumped forward during the sleep (a suspend, a step, the spring
  // change) has reached the target, late, and never means the same time
  // tomorrow; one set back during the sleep only makes the pieces longer
  // (the autumn change's repeated hour is slept through). Only a clock set
  // back between the last run and this reading can bring a minute just run
  // round again: the round then runs nothing and goes on to the next tick.
  for (;;) {
    SchedulerMinute target = chooseTarget(now, schedulerNextTick(now.hour, now.minute, w));
    bool signalled = sleepUntil(&target, w, &now);
    SchedulerWakeRuns runs = schedulerRunsAfterWake(now.at, target, effective, memory->reached,
                                                    now.elapsed - memory->reachedAt);
    if (runs.late) journalClockJump(target, now.at);
    if (runs.due != kSchedulerNoMinute) {
      memory->catchUp = runs.next;
      reach(runs.due, now, hour, minute, memory);
      return;
    }
    if (signalled) {
      // Another program lowered the next-alarm time to a minute just run
      // and signalled: a stop does so to be looked at now. The caller checks
      // its status record and runs nothing.
      int minuteOfDay = schedulerMinuteOfDay(target);
      *hour = minuteOfDay / kMinutesPerHour;
      *minute = minuteOfDay % kMinutesPerHour;
      memory->dispatch = false;
      return;
    }
  }
}

void schedulerSetTimeSleep(int interval, int* hour, int* minute) {
  static SchedulerWakeMemory memory;
  do {
    schedulerSetTimeSleep(interval, hour, minute, &memory);
  } while (!memory.dispatch);
}
