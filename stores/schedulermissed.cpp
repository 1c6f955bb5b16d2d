#include "stores/schedulermissed.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "common/comproc.h"
#include "stores/ckoralarm.h"
#include "stores/cvelscheduler.h"
#include "stores/cvelschedulermodule.h"
#include "stores/cvelschedulermodules.h"
#include "stores/schedulerdefs.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;
constexpr int kSecondsPerMinute = 60;
constexpr int kDateLength = 8;  // YYYYMMDD
constexpr int kStampSize = 15;  // YYYYMMDDhhmm00 and the terminator
constexpr int kRecordMax = 256;
constexpr int kChoiceFileMode = 0644;

std::string DataPath(const char* relative) {
  char path[kComPathMax];
  S3ComPathEditData(relative, path);
  return path;
}

// The value of a name of exactly two digits below `limit`, or -1.
int TwoDigits(const char* name, int limit) {
  if (strlen(name) != 2 || name[0] < '0' || name[0] > '9' || name[1] < '0' || name[1] > '9') {
    return -1;
  }
  int value = (name[0] - '0') * 10 + (name[1] - '0');
  return value < limit ? value : -1;
}

// The names in directory `dir`; none when it cannot be read, as for the
// daemon, which wakes for nothing it cannot list.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  ComDir handle(comIoOpenDir(dir.c_str()));
  if (!handle.ok()) return names;
  while (struct dirent* entry = readdir(handle.get())) {
    if (entry->d_name[0] != '.') names.push_back(entry->d_name);
  }
  return names;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return comIoStat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A module ID as the daemon names its files: its decimal digits.
int IdOfName(const std::string& name) {
  int id = atoi(name.c_str());
  return id > 0 && std::to_string(id) == name ? id : 0;
}

void LoadDay(const std::string& date, const std::set<int>& table, SchedulerDayAlarms* day) {
  day->date = date;
  CKorAlarm alarm;
  char dir[kComPathMax];
  if (alarm.SetDateTime((date + "000000").c_str()) != 0 || alarm.GetFileDir(dir) != 0) return;
  for (const std::string& hourName : Names(dir)) {
    int hour = TwoDigits(hourName.c_str(), kHoursPerDay);
    if (hour < 0) continue;
    std::string hourDir = std::string(dir) + "/" + hourName;
    for (const std::string& minuteName : Names(hourDir)) {
      int minute = TwoDigits(minuteName.c_str(), kMinutesPerHour);
      std::string minuteDir = hourDir + "/" + minuteName;
      if (minute < 0 || !IsDir(minuteDir)) continue;
      int at = hour * kMinutesPerHour + minute;
      day->wakeMinutes.insert(at);
      for (const std::string& file : Names(minuteDir)) {
        int id = IdOfName(file);
        if (id == 0 || table.count(id) == 0) continue;
        struct stat st;
        if (comIoStat((minuteDir + "/" + file).c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size > 0) {
          day->due[at].insert(id);
        }
      }
    }
  }
}

// A number of exactly `width` digits at `text`, or -1.
long long Digits(const char* text, int width) {
  long long value = 0;
  for (int i = 0; i < width; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// "YYYYMMDDhhmm TTTTTTTTTTTT" at `text`: the minute and the time.
bool ParseMinuteAndTime(const char* text, SchedulerMinute* minute, time_t* at) {
  *minute = schedulerMinuteOfStamp(text);
  long long t = text[12] == ' ' ? Digits(text + 13, 12) : -1;
  if (*minute == kSchedulerNoMinute || t < 0) return false;
  *at = static_cast<time_t>(t);
  return true;
}

// " IIII" at `text`: an interval of 1 to 1440.
bool ParseInterval(const char* text, int* interval) {
  long long value = text[0] == ' ' ? Digits(text + 1, 4) : -1;
  if (value < 1 || value > kSchedulerMinutesPerDay) return false;
  *interval = static_cast<int>(value);
  return true;
}

std::string MinuteText(SchedulerMinute minute) {
  char stamp[kStampSize];
  schedulerMinuteStamp(minute, stamp, sizeof(stamp));
  return std::string(stamp, 12);
}

}  // namespace

SchedulerMinute schedulerWallAt(time_t t, int* second) {
  struct tm local = {};
  comLocalTime(t, &local);
  if (second != nullptr) *second = local.tm_sec;
  return schedulerMinuteOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                           local.tm_min);
}

void schedulerPlayWakeUps(const SchedulerPlay& play, const SchedulerAlarmAfter& alarmAfter,
                          const SchedulerVisit& visit) {
  time_t t = play.start;
  int second = 0;
  SchedulerMinute now = schedulerWallAt(t, &second);
  int w = schedulerEffectiveInterval(play.interval);
  SchedulerMinute lastRun = play.lastRun;
  time_t lastRunAt = play.lastRunAt;
  for (bool first = true;; first = false) {
    bool fresh = first && play.firstPass && play.planned == kSchedulerNoMinute;
    int step = fresh ? schedulerFirstPassInterval(w) : w;
    SchedulerMinute target = play.planned;
    if (!first || play.planned == kSchedulerNoMinute) {
      int minuteOfDay = schedulerMinuteOfDay(now);
      SchedulerTick tick =
          schedulerNextTick(minuteOfDay / kMinutesPerHour, minuteOfDay % kMinutesPerHour, step);
      target = schedulerChooseTarget(now, tick, alarmAfter(now));
    }
    while (!schedulerTargetReached(now, target)) {
      t += schedulerSleepPiece(now, target, step) * kSecondsPerMinute - second;
      now = schedulerWallAt(t, &second);
    }
    if (now > play.endMinute || t >= play.endTime) return;
    SchedulerWakeRuns wake = schedulerRunsAfterWake(now, target, w, lastRun, t - lastRunAt);
    for (SchedulerMinute run : {wake.due, wake.next}) {
      if (run == kSchedulerNoMinute) continue;
      if (!visit(run, now)) return;
      lastRun = run;
      lastRunAt = t;
    }
  }
}

const SchedulerDayAlarms& SchedulerAlarmDays::Of(SchedulerMinute at) {
  std::string date = MinuteText(at).substr(0, kDateLength);
  auto found = days_.find(date);
  if (found != days_.end()) return found->second;
  SchedulerDayAlarms& day = days_[date];
  LoadDay(date, table_, &day);
  return day;
}

int SchedulerAlarmDays::After(SchedulerMinute at) {
  const SchedulerDayAlarms& day = Of(at);
  auto next = day.wakeMinutes.upper_bound(schedulerMinuteOfDay(at));
  return next != day.wakeMinutes.end() ? *next : -1;
}

int schedulerRunnableModules(std::vector<int>* ids) {
  ids->clear();
  CvelSchedulerModules modules;
  int rc = modules.Get();
  if (rc == kResNoEntry) return 0;
  if (rc != 0) return rc;
  for (int i = 0; i < modules.GetElementCount(); ++i) {
    CS3Object* element = modules.GetElement(i);
    if (element == nullptr) continue;
    // A module whose record is gone never runs: the daemon drops it when due.
    CvelSchedulerModule record;
    if (record.Get(element->GetID()) == 0) ids->push_back(element->GetID());
  }
  return 0;
}

std::map<int, std::set<int>> schedulerScheduled(const std::set<int>& table) {
  std::map<int, std::set<int>> scheduled;
  const std::string root = DataPath("scheduler");
  for (const std::string& hourName : Names(root)) {
    int hour = TwoDigits(hourName.c_str(), kHoursPerDay);
    if (hour < 0) continue;
    for (const std::string& minuteName : Names(root + "/" + hourName)) {
      int minute = TwoDigits(minuteName.c_str(), kMinutesPerHour);
      if (minute < 0) continue;
      for (const std::string& file : Names(root + "/" + hourName + "/" + minuteName)) {
        int id = IdOfName(file);
        if (id == 0 || table.count(id) == 0) continue;
        CvelScheduler entry;
        if (entry.Get(id, hourName.c_str(), minuteName.c_str()) != 0) continue;
        scheduled[hour * kMinutesPerHour + minute].insert(id);
      }
    }
  }
  return scheduled;
}

int schedulerMissedRuns(time_t from, SchedulerMinute fromMinute, time_t to, int interval,
                        std::vector<SchedulerMissedRun>* out) {
  out->clear();
  std::vector<int> modules;
  int rc = schedulerRunnableModules(&modules);
  if (rc != 0) return rc;
  if (to <= from || modules.empty()) return 0;
  const std::set<int> table(modules.begin(), modules.end());
  const std::map<int, std::set<int>> scheduled = schedulerScheduled(table);
  SchedulerAlarmDays alarms(table);

  SchedulerPlay play;
  play.interval = interval;
  play.firstPass = false;
  play.start = from;
  play.lastRun = fromMinute;
  play.lastRunAt = from;
  if (to - from > kSchedMissedSpanMax) {
    play.start = to - kSchedMissedSpanMax;
    play.lastRun = kSchedulerNoMinute;
  }
  // A wake-up at the minute of `to` or later is the starting daemon's own.
  play.endTime = to - to % kSecondsPerMinute;
  schedulerPlayWakeUps(
      play, [&](SchedulerMinute now) { return alarms.After(now); },
      [&](SchedulerMinute due, SchedulerMinute) {
        int minuteOfDay = schedulerMinuteOfDay(due);
        auto entries = scheduled.find(minuteOfDay);
        const SchedulerDayAlarms& day = alarms.Of(due);
        auto filed = day.due.find(minuteOfDay);
        for (int id : modules) {
          if (entries != scheduled.end() && entries->second.count(id) != 0) {
            out->push_back(SchedulerMissedRun{due, id, false});
          } else if (filed != day.due.end() && filed->second.count(id) != 0) {
            out->push_back(SchedulerMissedRun{due, id, true});
          }
        }
        return true;
      });
  return 0;
}

std::vector<SchedulerMissedRun> schedulerCatchUpRuns(const std::vector<SchedulerMissedRun>& missed) {
  std::map<int, SchedulerMinute> lastScheduled;
  for (const SchedulerMissedRun& run : missed) {
    if (!run.alarm) lastScheduled[run.module] = run.due;
  }
  std::vector<SchedulerMissedRun> runs;
  std::set<std::pair<SchedulerMinute, int>> taken;
  for (const SchedulerMissedRun& run : missed) {
    bool wanted = run.alarm || lastScheduled[run.module] == run.due;
    if (wanted && taken.insert({run.due, run.module}).second) runs.push_back(run);
  }
  return runs;
}

int schedulerReadPasses(SchedulerPasses* out) {
  *out = SchedulerPasses();
  ComFd fd(comIoOpen(DataPath(kSchedLastPassFile).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  if (!fd.ok()) return -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return 0;
  char text[kRecordMax];
  ssize_t n;
  do {
    n = read(fd.get(), text, sizeof(text) - 1);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return -1;
  text[n] = '\0';
  const char* gap = strstr(text, "\ngap ");
  if (strncmp(text, "pass ", 5) == 0 && strlen(text) >= 5 + 25 + 5) {
    out->hasPass = ParseMinuteAndTime(text + 5, &out->passMinute, &out->passAt) &&
                   ParseInterval(text + 30, &out->passInterval);
  }
  if (gap != nullptr && strlen(gap + 5) >= 25 + 13 + 5) {
    long long to = gap[5 + 25] == ' ' ? Digits(gap + 5 + 26, 12) : -1;
    out->hasGap = ParseMinuteAndTime(gap + 5, &out->gapMinute, &out->gapFrom) && to >= 0 &&
                  ParseInterval(gap + 5 + 38, &out->gapInterval);
    out->gapTo = static_cast<time_t>(to);
  }
  return 0;
}

std::string schedulerPassLine(SchedulerMinute minute, time_t at, int interval) {
  char line[64];
  snprintf(line, sizeof(line), "pass %s %012lld %04d\n", MinuteText(minute).c_str(),
           static_cast<long long>(at), schedulerEffectiveInterval(interval));
  return line;
}

std::string schedulerStartRecord(SchedulerMinute minute, time_t start, int interval,
                                 const SchedulerPasses& before) {
  std::string record = schedulerPassLine(minute, start, interval);
  if (!before.hasPass) return record + "gap -\n";
  char line[96];
  snprintf(line, sizeof(line), "gap %s %012lld %012lld %04d\n",
           MinuteText(before.passMinute).c_str(), static_cast<long long>(before.passAt),
           static_cast<long long>(start), before.passInterval);
  return record + line;
}

SchedulerCatchUp schedulerCatchUpRead() {
  SchedulerCatchUp choice;
  ComFd fd(comIoOpen(DataPath(kSchedCatchUpFile).c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK, 0));
  struct stat st;
  if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return choice;
  char text[32];
  ssize_t n;
  do {
    n = read(fd.get(), text, sizeof(text) - 1);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return choice;
  text[n] = '\0';
  char word[8] = "";
  int hours = 0;
  if (sscanf(text, "%7s %d", word, &hours) != 2 || hours < 1 ||
      hours > kSchedCatchUpLimitMaxHours || (strcmp(word, "on") != 0 && strcmp(word, "off") != 0)) {
    return choice;
  }
  choice.on = strcmp(word, "on") == 0;
  choice.limitHours = hours;
  return choice;
}

int schedulerCatchUpWrite(const SchedulerCatchUp& choice) {
  const std::string path = DataPath(kSchedCatchUpFile);
  const std::string text =
      std::string(choice.on ? "on " : "off ") + std::to_string(choice.limitHours) + "\n";
  return comIoReplaceFile(path.c_str(), text.data(), text.size(), kChoiceFileMode);
}
