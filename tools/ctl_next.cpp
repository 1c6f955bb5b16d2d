#include "tools/ctl_next.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comdate.h"
#include "common/comguard.h"
#include "stores/ckoralarm.h"
#include "stores/ckoralarmtime.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/schedulermissed.h"
#include "stores/schedulertiming.h"
#include "tools/ctl_args.h"
#include "tools/ctl_home.h"
#include "tools/ctl_json.h"
#include "tools/ctl_policy.h"
#include "tools/ctl_report.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;
constexpr int kDateLength = 8;     // YYYYMMDD
constexpr int kMinuteLength = 12;  // YYYYMMDDhhmm

// A module of the table that can run: its record is there.
struct Module {
  int id;
  std::string name;
  // A run of it goes on now and its overlap is skip: that run's pid, and the
  // last minute its time limit lets it reach (kSchedulerNoMinute: none).
  int skippingPid = 0;
  SchedulerMinute skipUntil = kSchedulerNoMinute;

  // The run at `at` is skipped if the run going on now goes on.
  bool SkippedAt(SchedulerMinute at) const {
    return skippingPid != 0 && (skipUntil == kSchedulerNoMinute || at <= skipUntil);
  }
};

// One run: the modules due at `due` start when the daemon wakes at `at`,
// which is later than `due` only after a late wake-up.
struct Run {
  SchedulerMinute at;
  SchedulerMinute due;
  const Module* module;
  const char* why;
};

struct Never {
  const Module* module;
  int hour;
  int minute;
  std::string reason;
};

std::string NextDate(const std::string& date) {
  char out[kDateLength + 1];
  comGetNextOrBeforeDay(date.c_str(), 1, out);
  return out;
}

// "YYYY-MM-DD HH:MM" of a date-time.
std::string Shown(SchedulerMinute at) {
  char text[32];
  schedulerMinuteShown(at, text, sizeof(text));
  return text;
}

// "HH:MM" of a date-time.
std::string ClockOf(SchedulerMinute at) {
  int minuteOfDay = schedulerMinuteOfDay(at);
  char text[16];
  snprintf(text, sizeof(text), "%02d:%02d", minuteOfDay / kMinutesPerHour,
           minuteOfDay % kMinutesPerHour);
  return text;
}

// A positive count: digits only, 1 to kCtlNextCountMax.
bool ParseCount(const char* text, int* count, char* why, int whySize) {
  size_t length = strlen(text);
  bool digits = length > 0 && length <= 6 && strspn(text, "0123456789") == length;
  int value = digits ? atoi(text) : 0;
  if (value < 1 || value > kCtlNextCountMax) {
    snprintf(why, static_cast<size_t>(whySize), "next: '%s' is not a count from 1 to %d", text,
             kCtlNextCountMax);
    return false;
  }
  *count = value;
  return true;
}

// An interval as the daemon takes it: an optional minus sign and digits, a
// value the daemon admits.
bool ParseInterval(const char* text, int* interval, char* why, int whySize) {
  const char* digits = text[0] == '-' ? text + 1 : text;
  size_t length = strlen(digits);
  bool number = length > 0 && length <= 6 && strspn(digits, "0123456789") == length;
  int value = number ? atoi(text) : 0;
  if (!number || !schedulerIntervalAdmitted(value)) {
    snprintf(why, static_cast<size_t>(whySize),
             "next: '%s' is not an interval the daemon admits (0, a divisor of 60 or a "
             "multiple of 60 minutes)",
             text);
    return false;
  }
  *interval = value;
  return true;
}

// The running daemon's planned wake-up from the next-alarm record, as
// "YYYYMMDDhhmm", when it lies after the current minute `now` and no later
// than the next day (the daemon never plans further ahead); else "".
std::string PlannedWakeUp(const char* now) {
  CKorAlarmTime record;
  if (record.Get() != 0 || record.IsEmptyNextTime()) return "";
  const char* next = record.GetNextTime();
  if (strlen(next) < static_cast<size_t>(kMinuteLength) ||
      strspn(next, "0123456789") < static_cast<size_t>(kMinuteLength)) {
    return "";
  }
  std::string planned(next, kMinuteLength);
  std::string today(now, kDateLength);
  std::string date = planned.substr(0, kDateLength);
  if (planned <= std::string(now, kMinuteLength) || (date != today && date != NextDate(today)) ||
      comGetHour(next + kDateLength) >= kHoursPerDay ||
      comGetMinute(next + kDateLength) >= kMinutesPerHour) {
    return "";
  }
  return planned;
}

// The daemon's wake-ups from the time `start` to `end` (inclusive), with
// the modules due at each, until `count` runs are found. The first target is
// `planned` when it is a minute; otherwise the daemon's first pass.
//
// The daemon's sleep is played as schedulerPlayWakeUps plays it (the same
// play that tells the runs missed in a gap): so a sleep towards a minute
// that the spring change skips ends late, at the first minute after the
// gap, and runs that target late, and a sleep across the autumn change's
// repeated hour runs each of its minutes once.
std::vector<Run> Simulate(time_t start, SchedulerMinute planned, SchedulerMinute end, int interval,
                          int count, const std::vector<Module>& modules,
                          const std::map<int, std::set<int>>& scheduled) {
  std::set<int> table;
  for (const Module& m : modules) table.insert(m.id);
  SchedulerAlarmDays alarms(table);
  std::vector<Run> runs;
  SchedulerPlay play;
  play.start = start;
  play.interval = interval;
  play.planned = planned;
  play.endMinute = end;
  // The modules due at `due` when the daemon is awake at `at`. As in the
  // daemon's dispatch, an alarm counts on the date of the minute it is due.
  schedulerPlayWakeUps(
      play, [&](SchedulerMinute now) { return alarms.After(now); },
      [&](SchedulerMinute due, SchedulerMinute at) {
        int minuteOfDay = schedulerMinuteOfDay(due);
        auto entries = scheduled.find(minuteOfDay);
        const SchedulerDayAlarms& day = alarms.Of(due);
        auto filed = day.due.find(minuteOfDay);
        for (const Module& m : modules) {
          const char* why = nullptr;
          if (entries != scheduled.end() && entries->second.count(m.id) != 0) {
            why = "schedule";
          } else if (filed != day.due.end() && filed->second.count(m.id) != 0) {
            why = "alarm";
          }
          if (why == nullptr) continue;
          runs.push_back(Run{at, due, &m, why});
          if (static_cast<int>(runs.size()) >= count) return false;
        }
        return true;
      });
  return runs;
}

void PrintJson(const std::vector<Run>& runs, const std::vector<Never>& never) {
  CtlJson json;
  json.BeginObject().Key("runs").BeginArray();
  for (const Run& r : runs) {
    json.BeginObject()
        .Member("time", Shown(r.at).c_str())
        .Member("module", r.module->id)
        .Member("name", r.module->name.c_str())
        .Member("why", r.why);
    if (r.at != r.due) json.Member("due", ClockOf(r.due).c_str());
    if (r.module->SkippedAt(r.at)) json.Member("skipped_if_running", r.module->skippingPid);
    json.EndObject();
  }
  json.EndArray().Key("never").BeginArray();
  for (const Never& n : never) {
    char clock[32];
    snprintf(clock, sizeof(clock), "%02d:%02d", n.hour, n.minute);
    json.BeginObject()
        .Member("module", n.module->id)
        .Member("time", clock)
        .Member("reason", n.reason.c_str())
        .EndObject();
  }
  json.EndArray().EndObject();
  printf("%s\n", json.Text().c_str());
}

void PrintText(const std::vector<Run>& runs, const std::vector<Never>& never, SchedulerMinute end,
               int interval) {
  int idWidth = 1;
  int nameWidth = 1;
  auto widen = [&](const Module* m) {
    idWidth = std::max(idWidth, static_cast<int>(std::to_string(m->id).size()));
    nameWidth = std::max(nameWidth, static_cast<int>(m->name.size()));
  };
  for (const Run& r : runs) widen(r.module);
  for (const Never& n : never) widen(n.module);
  if (runs.empty()) printf("no runs up to %s\n", Shown(end).c_str());
  for (const Run& r : runs) {
    std::string late = r.at != r.due ? " (late, due " + ClockOf(r.due) + ")" : "";
    if (r.module->SkippedAt(r.at)) {
      late += " (skipped if run " + std::to_string(r.module->skippingPid) + " goes on)";
    }
    printf("%s  %-*d  %-*s  %s%s\n", Shown(r.at).c_str(), idWidth, r.module->id, nameWidth,
           r.module->name.c_str(), r.why, late.c_str());
  }
  if (never.empty()) return;
  printf("\nnever runs with the interval %d (unless an alarm wakes the daemon then):\n", interval);
  for (const Never& n : never) {
    printf("%02d:%02d  %-*d  %-*s  %s\n", n.hour, n.minute, idWidth, n.module->id, nameWidth,
           n.module->name.c_str(), n.reason.c_str());
  }
}

}  // namespace

bool ctlParseNextArgs(int argc, char** argv, CtlNextOptions* out, char* why, int whySize) {
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (strcmp(arg, "--json") == 0) {
      out->json = true;
    } else if (strcmp(arg, "--count") == 0 && hasValue) {
      if (!ParseCount(argv[++i], &out->count, why, whySize)) return false;
    } else if (strcmp(arg, "--interval") == 0 && hasValue) {
      if (!ParseInterval(argv[++i], &out->interval, why, whySize)) return false;
      out->hasInterval = true;
    } else if (strcmp(arg, "--until") == 0 && hasValue) {
      // The date and the minute as one argument, or as two when the quotes
      // were left out.
      const char* date = argv[++i];
      const char* clock = nullptr;
      if (strchr(date, ' ') == nullptr && i + 1 < argc && strchr(argv[i + 1], ':') != nullptr) {
        clock = argv[++i];
      }
      if (!ctlParseAlarmTime(date, clock, out->until, why, whySize)) return false;
    } else {
      snprintf(why, static_cast<size_t>(whySize), "next: unexpected argument '%s'", arg);
      return false;
    }
  }
  return true;
}

int ctlNext(const char* home, const CtlNextOptions& options) {
  int interval = options.interval;
  if (!options.hasInterval && !ctlDaemonInterval(&interval)) {
    return ctlUsageError(
        "next: no daemon is running on %s, so its interval is unknown; give the interval to "
        "forecast for with --interval MINUTES",
        home);
  }
  std::vector<int> ids;
  int status = ctlRequireTable("next", &ids);
  if (status != kCtlExitOk) return status;
  // A module whose record is gone never runs: the daemon drops it when due.
  std::vector<Module> modules;
  for (int id : ids) {
    CvelSchedulerModule record;
    if (record.Get(id) != 0) continue;
    Module module{id, record.GetDisplayName()};
    int pid = 0;
    time_t until = 0;
    if (ctlPolicySkipping(id, &pid, &until)) {
      module.skippingPid = pid > 0 ? pid : -1;
      int second = 0;
      if (until > 0) module.skipUntil = schedulerWallAt(until, &second);
    }
    modules.push_back(module);
  }
  std::vector<CtlEntry> entries;
  if (ctlScanSchedule(0, &entries) != 0) {
    char dir[kComPathMax];
    S3ComPathEditData("scheduler", dir);
    return ctlError("next: cannot read the schedule table under %s: %s", dir, ctlReason(errno));
  }
  std::map<int, std::set<int>> scheduled;  // minute of the day -> module IDs
  std::vector<Never> never;
  for (const CtlEntry& e : entries) {
    auto module = std::find_if(modules.begin(), modules.end(),
                               [&](const Module& m) { return m.id == e.moduleId; });
    if (module == modules.end()) continue;
    // An entry counts only when its file holds a record, as for the daemon.
    char hour[16];
    char minute[16];
    snprintf(hour, sizeof(hour), "%02d", e.hour);
    snprintf(minute, sizeof(minute), "%02d", e.minute);
    CvelScheduler entry;
    if (entry.Get(e.moduleId, hour, minute) != 0) continue;
    scheduled[e.hour * kMinutesPerHour + e.minute].insert(e.moduleId);
    char why[128];
    if (!schedulerTickReaches(e.hour, e.minute, interval, why, sizeof(why))) {
      never.push_back(Never{&*module, e.hour, e.minute, why});
    }
  }

  // One reading of the clock: the forecast starts from it, as the daemon's
  // first pass starts from its own.
  time_t start = comTime();
  struct tm local = {};
  comLocalTime(start, &local);
  char now[32];
  snprintf(now, sizeof(now), "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
           local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  // The current minute `days` days ahead, YYYYMMDDhhmm.
  auto daysAhead = [&now](int days) {
    char date[kDateLength + 1];
    comGetNextOrBeforeDay(now, days, date);
    return std::string(date) + std::string(now + kDateLength, kMinuteLength - kDateLength);
  };
  std::string until(options.until, options.until[0] != '\0' ? kMinuteLength : 0);
  if (until.empty()) until = daysAhead(kCtlNextDays);
  SchedulerMinute end = schedulerMinuteOfStamp(until.c_str());
  if (until > daysAhead(kCtlNextDaysMax)) {  // the text order is the time order
    return ctlUsageError("next: --until %s is more than %d days ahead", Shown(end).c_str(),
                         kCtlNextDaysMax);
  }
  // A running daemon has published where its sleep ends; a forecast for
  // another interval starts from the ticks alone.
  std::string planned = options.hasInterval ? "" : PlannedWakeUp(now);
  SchedulerMinute first =
      planned.empty() ? kSchedulerNoMinute : schedulerMinuteOfStamp(planned.c_str());
  std::vector<Run> runs = Simulate(start, first, end, interval, options.count, modules, scheduled);
  if (options.json) {
    PrintJson(runs, never);
  } else {
    PrintText(runs, never, end, interval);
  }
  return kCtlExitOk;
}
