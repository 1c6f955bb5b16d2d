#include "tools/ctl_home.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comguard.h"
#include "stores/ckorschedulersts.h"
#include "stores/cvelschedulermodules.h"
#include "stores/cvelschedulersts.h"
#include "tools/ctl_report.h"

namespace {

// A name of exactly two digits whose value is at most `max`; its value in
// *value.
bool TwoDigits(const char* name, int max, int* value) {
  if (strlen(name) != 2 || name[0] < '0' || name[0] > '9' || name[1] < '0' || name[1] > '9') {
    return false;
  }
  *value = (name[0] - '0') * 10 + (name[1] - '0');
  return *value <= max;
}

// A module ID as a file name: 1-9 digits without a leading zero.
bool IdName(const char* name, int* value) {
  size_t length = strlen(name);
  if (length == 0 || length > 9 || name[0] == '0') return false;
  int id = 0;
  for (size_t i = 0; i < length; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
    id = id * 10 + (name[i] - '0');
  }
  *value = id;
  return true;
}

// 1 for a directory at `path`, 0 for anything else or nothing, -1 for a
// link below the data home, which the file layer refuses (errno ELOOP): a
// listing that skipped it would pass over what it stands for in silence.
int DirKind(const std::string& path) {
  struct stat st;
  if (comIoStat(path.c_str(), &st) != 0) return errno == ELOOP ? -1 : 0;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

// Calls visit(name) for each entry of `dir` other than "." and "..". 0, or -1
// with errno when the directory cannot be opened or read; a missing
// directory is 0 when `missingOk`.
template <typename Visit>
int ForEachEntry(const std::string& dir, bool missingOk, Visit visit) {
  ComDir handle(comIoOpenDir(dir.c_str()));
  if (!handle.ok()) return (missingOk && errno == ENOENT) ? 0 : -1;
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(handle.get());
    if (entry == nullptr) return errno == 0 ? 0 : -1;
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    visit(entry->d_name);
  }
}

std::string DataPath(const char* relative) {
  char path[kComPathMax];
  S3ComPathEditData(relative, path);
  return path;
}

// The parent of `path` ("" when there is none).
std::string Parent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "";
  return path.substr(0, slash);
}

}  // namespace

int ctlRequireHomeDir(const char* home) {
  struct stat st;
  if (comIoStat(home, &st) != 0) {
    return ctlError("%s: %s (create it with: schedulerctl %s init)", home, ctlReason(errno), home);
  }
  if (!S_ISDIR(st.st_mode)) return ctlError("%s: not a directory", home);
  return kCtlExitOk;
}

int ctlReadModuleIds(std::vector<int>* ids) {
  ids->clear();
  CvelSchedulerModules table;
  int rc = table.Get();
  if (rc != 0) return rc;
  for (int i = 0; i < table.GetElementCount(); ++i) {
    CS3Object* element = table.GetElement(i);
    if (element != nullptr) ids->push_back(element->GetID());
  }
  return 0;
}

int ctlRequireTable(const char* what, std::vector<int>* ids) {
  int rc = ctlReadModuleIds(ids);
  if (rc == kResNoEntry) {
    char path[kComPathMax];
    S3ComPathEditData(kCtlModuleIndexFile, path);
    return ctlError("%s: %s: no module table (create it with: schedulerctl HOME init)", what, path);
  }
  if (rc != 0) return ctlFail(what, kCtlModuleIndexFile, rc);
  return kCtlExitOk;
}

int ctlRequireModule(const char* what, int id) {
  std::vector<int> ids;
  int status = ctlRequireTable(what, &ids);
  if (status != kCtlExitOk) return status;
  if (std::find(ids.begin(), ids.end(), id) == ids.end()) {
    char path[kComPathMax];
    S3ComPathEditData(kCtlModuleIndexFile, path);
    return ctlError(
        "%s: %s: the module table has no module %d (see: schedulerctl HOME module "
        "list)",
        what, path, id);
  }
  return kCtlExitOk;
}

int ctlScanSchedule(int onlyId, std::vector<CtlEntry>* out) {
  out->clear();
  std::string root = DataPath("scheduler");
  std::vector<std::pair<int, std::string>> hours;
  if (ForEachEntry(root, true, [&](const char* name) {
        int hour;
        if (TwoDigits(name, 23, &hour)) hours.emplace_back(hour, root + "/" + name);
      }) != 0) {
    return -1;
  }
  bool refused = false;
  for (const auto& hour : hours) {
    const int hourKind = DirKind(hour.second);
    refused = refused || hourKind < 0;
    if (hourKind != 1) continue;
    std::vector<std::pair<int, std::string>> minutes;
    if (ForEachEntry(hour.second, true, [&](const char* name) {
          int minute;
          if (TwoDigits(name, 59, &minute)) minutes.emplace_back(minute, hour.second + "/" + name);
        }) != 0) {
      return -1;
    }
    for (const auto& minute : minutes) {
      const int minuteKind = DirKind(minute.second);
      refused = refused || minuteKind < 0;
      if (minuteKind != 1) continue;
      if (ForEachEntry(minute.second, true, [&](const char* name) {
            int id;
            if (!IdName(name, &id) || (onlyId > 0 && id != onlyId)) return;
            const int kind = DirKind(minute.second + "/" + name);
            refused = refused || kind < 0;
            if (kind != 0) return;
            out->push_back(CtlEntry{id, hour.first, minute.first});
          }) != 0) {
        return -1;
      }
    }
  }
  if (refused) {
    errno = ELOOP;
    return -1;
  }
  std::sort(out->begin(), out->end(), [](const CtlEntry& a, const CtlEntry& b) {
    if (a.moduleId != b.moduleId) return a.moduleId < b.moduleId;
    return a.hour * 60 + a.minute < b.hour * 60 + b.minute;
  });
  return 0;
}

void ctlEntryFile(const CtlEntry& entry, char* out) {
  snprintf(out, kComPathMax, "scheduler/%02d/%02d/%d", entry.hour, entry.minute, entry.moduleId);
}

void ctlPruneScheduleDirs(const std::vector<CtlEntry>& entries) {
  for (const CtlEntry& entry : entries) {
    char minuteDir[64];
    char hourDir[64];
    snprintf(minuteDir, sizeof(minuteDir), "scheduler/%02d/%02d", entry.hour, entry.minute);
    snprintf(hourDir, sizeof(hourDir), "scheduler/%02d", entry.hour);
    // rmdir refuses a directory that is not empty: exactly the ones to keep.
    comIoRmdir(DataPath(minuteDir).c_str());
    comIoRmdir(DataPath(hourDir).c_str());
  }
}

int ctlScanAlarms(int onlyId, std::vector<CtlAlarm>* out) {
  out->clear();
  // Each level: the directories below the previous level's whose names pass.
  struct Level {
    std::string dir;
    std::string key;  // the date-time digits so far
  };
  std::vector<Level> levels = {{DataPath("scheduler/alarm"), ""}};
  auto valid = [](size_t depth, const char* name) {
    int value = 0;
    switch (depth) {
      case 0:
        return strlen(name) == 4 && strspn(name, "0123456789") == 4;
      case 1:
        return strlen(name) == 4 && TwoDigits(std::string(name, 2).c_str(), 12, &value) &&
               value >= 1 && TwoDigits(name + 2, 31, &value) && value >= 1;
      case 2:
        return TwoDigits(name, 23, &value);
      default:
        return TwoDigits(name, 59, &value);
    }
  };
  bool refused = false;
  for (size_t depth = 0; depth < 4; ++depth) {
    std::vector<Level> next;
    for (const Level& level : levels) {
      if (ForEachEntry(level.dir, true, [&](const char* name) {
            std::string path = level.dir + "/" + name;
            if (!valid(depth, name)) return;
            const int kind = DirKind(path);
            refused = refused || kind < 0;
            if (kind == 1) next.push_back({path, level.key + name});
          }) != 0) {
        return -1;
      }
    }
    levels.swap(next);
  }
  for (const Level& minute : levels) {
    if (ForEachEntry(minute.dir, true, [&](const char* name) {
          int id;
          struct stat st;
          if (!IdName(name, &id) || (onlyId > 0 && id != onlyId)) return;
          if (comIoStat((minute.dir + "/" + name).c_str(), &st) != 0) {
            refused = refused || errno == ELOOP;
            return;
          }
          if (!S_ISREG(st.st_mode)) return;
          CtlAlarm alarm{id, "", static_cast<long long>(st.st_size)};
          snprintf(alarm.dateTime, sizeof(alarm.dateTime), "%.12s00", minute.key.c_str());
          out->push_back(alarm);
        }) != 0) {
      return -1;
    }
  }
  if (refused) {
    errno = ELOOP;
    return -1;
  }
  std::sort(out->begin(), out->end(), [](const CtlAlarm& a, const CtlAlarm& b) {
    int order = strcmp(a.dateTime, b.dateTime);
    return order != 0 ? order < 0 : a.moduleId < b.moduleId;
  });
  return 0;
}

void ctlAlarmFile(const CtlAlarm& alarm, char* out) {
  const char* t = alarm.dateTime;
  snprintf(out, kComPathMax, "scheduler/alarm/%.4s/%.4s/%.2s/%.2s/%d", t, t + 4, t + 8, t + 10,
           alarm.moduleId);
}

void ctlPruneAlarmDirs(const std::vector<CtlAlarm>& alarms) {
  for (const CtlAlarm& alarm : alarms) {
    char file[kComPathMax];
    ctlAlarmFile(alarm, file);
    // Minute, hour, day, year: rmdir refuses a directory that is not empty,
    // and then its parents are not empty either; one that an earlier alarm
    // of the list took already is passed.
    std::string dir = Parent(DataPath(file));
    for (int level = 0; level < 4; ++level, dir = Parent(dir)) {
      if (comIoRmdir(dir.c_str()) != 0 && errno != ENOENT) break;
    }
  }
}

// Only the daemon itself holding the lock of its own file counts: the home's
// owner can lock status.<pid> for any pid, and the pid found alive here is
// the one stop and alarm add signal.
bool ctlDaemonAlive(int pid) {
  if (pid <= 0) return false;
  CKorSchedulerSts probe;
  if (probe.SetPid(pid) != 0) return false;
  return probe.IsLockedByPid();
}

bool ctlDaemonInterval(int* interval) {
  CvelSchedulerSts sts;
  if (sts.Get() != 0 || !ctlDaemonAlive(sts.GetPid())) return false;
  char path[64];
  snprintf(path, sizeof(path), "/proc/%d/cmdline", sts.GetPid());
  std::ifstream in(path, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The arguments are NUL-separated: program, data home, interval.
  size_t home = text.find('\0');
  size_t at = home == std::string::npos ? home : text.find('\0', home + 1);
  if (at == std::string::npos) return false;
  const char* value = text.c_str() + at + 1;
  char* end = nullptr;
  errno = 0;
  long parsed = strtol(value, &end, 10);
  if (end == value || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX) return false;
  *interval = static_cast<int>(parsed);
  return true;
}

int ctlLiveDaemons(std::vector<int>* pids) {
  pids->clear();
  std::vector<int> found;
  if (ForEachEntry(DataPath("scheduler"), true, [&](const char* name) {
        int pid;
        if (strncmp(name, "status.", 7) == 0 && IdName(name + 7, &pid)) found.push_back(pid);
      }) != 0) {
    return -1;
  }
  for (int pid : found) {
    if (ctlDaemonAlive(pid)) pids->push_back(pid);
  }
  return 0;
}

void CtlNewDirs::Watch(const char* relFile) {
  std::string dir = Parent(DataPath(relFile));
  struct stat st;
  while (!dir.empty() && comIoStat(dir.c_str(), &st) != 0 && errno == ENOENT) {
    if (std::find(missing_.begin(), missing_.end(), dir) == missing_.end()) {
      missing_.push_back(dir);
    }
    dir = Parent(dir);
  }
}

void CtlNewDirs::Undo() {
  // Deepest first: a longer path never contains a shorter one's child later.
  std::sort(missing_.begin(), missing_.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& dir : missing_) comIoRmdir(dir.c_str());
  missing_.clear();
}
