// Runs missed while no daemon ran on a data home: the play of the daemon's
// wake-ups that the forecast and the gap computation share, the home's
// schedule and alarms as the daemon sees them, the small record of the
// daemon's passes that tells where a gap began, and the home's catch-up
// choice.
//
// The record of passes is HOME/data/scheduler/lastpass, two lines of fixed
// width (so that each pass rewrites the first in place, with one write):
//   pass YYYYMMDDhhmm TTTTTTTTTTTT IIII
//   gap YYYYMMDDhhmm TTTTTTTTTTTT SSSSSSSSSSSS IIII     (or "gap -")
// The pass line is the daemon's last pass: the wall-clock minute it last
// ran (or, at its start, the minute it started in), the Unix time of that
// pass and its interval (as the tick arithmetic takes it, 1 to 1440). The
// gap line is written once, when a daemon starts: the pass line the daemon
// before it left, and the Unix time of this start; "gap -" when there was
// no record. The daemon creates the record at its start and keeps it open;
// it is not flushed to the disk, so a power cut may lose the last passes,
// which only makes a gap look longer.
//
// The catch-up choice is HOME/data/scheduler/catchup, one line
// "on|off LIMIT" (LIMIT the longest gap caught up, in whole hours). A home
// without it does not catch up.
#ifndef STORES_SCHEDULERMISSED_H_
#define STORES_SCHEDULERMISSED_H_

#include <ctime>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "stores/schedulertiming.h"

// The two files, relative to the data directory.
constexpr char kSchedLastPassFile[] = "scheduler/lastpass";
constexpr char kSchedCatchUpFile[] = "scheduler/catchup";
// The longest gap caught up when the home sets none, and the most it may set.
constexpr int kSchedCatchUpLimitHours = 24;
constexpr int kSchedCatchUpLimitMaxHours = 366 * 24;
// The span of a gap that is worked out at most: a longer gap is reported for
// its last this many seconds.
constexpr long long kSchedMissedSpanMax = 366LL * 24 * 3600;
// The word that ends the run line of a catch-up run in the run journal.
constexpr char kRunJournalCatchUp[] = "catch-up";

// ---- Playing the daemon's wake-ups ---------------------------------------------

// A daemon played from the wall time `start`:
struct SchedulerPlay {
  time_t start = 0;
  int interval = 1;  // as given to the daemon
  // The first target when it is known (the running daemon's published one).
  SchedulerMinute planned = kSchedulerNoMinute;
  // Whether `start` is a daemon's first pass (intervals of an hour or more
  // then count from the next full hour), or the end of an earlier pass.
  bool firstPass = true;
  // The minute last run and the time it ran, for the repeat guard.
  SchedulerMinute lastRun = kSchedulerNoMinute;
  time_t lastRunAt = 0;
  // The play ends at the first wake-up on a minute after `endMinute` or at
  // a time of `endTime` or later.
  SchedulerMinute endMinute = std::numeric_limits<SchedulerMinute>::max();
  time_t endTime = std::numeric_limits<time_t>::max();
};

// The minute of the day (0-1439) of the earliest alarm minute of the date of
// `now` after now's minute, or -1.
typedef std::function<int(SchedulerMinute now)> SchedulerAlarmAfter;
// Told each minute `due` whose modules the daemon runs when awake at `at`
// (later than `due` only after a late wake-up); false ends the play.
typedef std::function<bool(SchedulerMinute due, SchedulerMinute at)> SchedulerVisit;

// The wall clock at `t` as the daemon reads it (the clock seam's zone
// rules): its date-time, and the second into its minute when `second` is
// given.
SchedulerMinute schedulerWallAt(time_t t, int* second = nullptr);

// Plays the daemon's sleeps piece by piece in real seconds, each piece read
// on the wall clock through the clock seam's zone rules, deciding with the
// daemon's own rules (schedulertiming.h) what it runs at each wake-up: so a
// sleep towards a minute that the spring change skips ends after the gap and
// runs that target late, and each minute of the autumn change's repeated
// hour runs once.
void schedulerPlayWakeUps(const SchedulerPlay& play, const SchedulerAlarmAfter& alarmAfter,
                          const SchedulerVisit& visit);

// ---- The schedule and the alarms, as the daemon sees them -----------------------

// The alarm tree of one day: the minutes that wake the daemon (every minute
// folder, whatever it holds) and, per minute of the day, the modules of
// `table` whose alarm file there is not empty.
struct SchedulerDayAlarms {
  std::string date;  // YYYYMMDD
  std::set<int> wakeMinutes;
  std::map<int, std::set<int>> due;
};

// The alarm trees of the days a play meets, each read once.
// REQUIRES: the data home has been saved (S3ComPathHomeSave).
class SchedulerAlarmDays {
 public:
  explicit SchedulerAlarmDays(const std::set<int>& table) : table_(table) {}
  const SchedulerDayAlarms& Of(SchedulerMinute at);
  // The earliest alarm minute of at's date after at's minute, or -1.
  int After(SchedulerMinute at);

 private:
  std::set<int> table_;
  std::map<std::string, SchedulerDayAlarms> days_;
};

// The modules of the module table whose record is there, in table order.
// 0, or the store's code (a missing table is an empty one).
int schedulerRunnableModules(std::vector<int>* ids);

// The schedule entries of the modules `table`, by minute of the day: an
// entry counts when its file holds a record, as for the daemon.
std::map<int, std::set<int>> schedulerScheduled(const std::set<int>& table);

// ---- Missed runs ----------------------------------------------------------------

struct SchedulerMissedRun {
  SchedulerMinute due;  // the minute it was due at
  int module;
  bool alarm;           // due by an alarm, not by the schedule table
};

// The runs that a daemon with `interval`, having last passed at `from` (the
// minute `fromMinute`), would have made before the minute of `to`: in time
// order and, within a minute, in table order. A gap longer than
// kSchedMissedSpanMax is played for its last part only.
// 0, or the module table's read code.
int schedulerMissedRuns(time_t from, SchedulerMinute fromMinute, time_t to, int interval,
                        std::vector<SchedulerMissedRun>* out);

// What a catch-up runs of `missed`: each module that missed a schedule entry
// once, due at the last one it missed, and each missed alarm once; a module
// due at one minute by both runs once. In time order.
std::vector<SchedulerMissedRun> schedulerCatchUpRuns(const std::vector<SchedulerMissedRun>& missed);

// ---- The record of passes ------------------------------------------------------

struct SchedulerPasses {
  bool hasPass = false;
  SchedulerMinute passMinute = kSchedulerNoMinute;
  time_t passAt = 0;
  int passInterval = 1;
  bool hasGap = false;  // the last start found a pass before it
  SchedulerMinute gapMinute = kSchedulerNoMinute;
  time_t gapFrom = 0;
  time_t gapTo = 0;
  int gapInterval = 1;
};

// Reads the record. 0 with `out` filled (a line that does not parse leaves
// its part unset); -1 with errno when it cannot be read (ENOENT: none).
int schedulerReadPasses(SchedulerPasses* out);

// The pass line for `record` (its first line, line end included).
std::string schedulerPassLine(SchedulerMinute minute, time_t at, int interval);
// The whole record a daemon starting at `start` (the minute `minute`) with
// `interval` writes, after `before` (what schedulerReadPasses gave, or an
// empty one).
std::string schedulerStartRecord(SchedulerMinute minute, time_t start, int interval,
                                 const SchedulerPasses& before);

// ---- The catch-up choice -------------------------------------------------------

struct SchedulerCatchUp {
  bool on = false;
  int limitHours = kSchedCatchUpLimitHours;
};

// The home's choice, read afresh; off with the default limit when the file is
// missing or does not parse.
SchedulerCatchUp schedulerCatchUpRead();

// Records `choice`: written beside the file, flushed and renamed over it. 0,
// or -1 with errno (ELOOP when the file is a link, which is left as it is).
int schedulerCatchUpWrite(const SchedulerCatchUp& choice);

#endif  // STORES_SCHEDULERMISSED_H_
