// The alarm scan over today's alarm directory.
#include "scheduler/scheduleralarmscan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/comfile.h"
#include "scheduler/schedulerwake.h"

namespace {

constexpr int kMinutesPerHour = 60;
constexpr int kHoursPerDay = 24;

// Working buffer of one path component: at most 29 characters behind room
// for two more, as the tree's names have two.
constexpr int kScanBufferSize = 32;
constexpr int kScanNameMax = kScanBufferSize - 3;

bool isSeparator(char c) {
  return c == '/' || c == '\\' || c == ':';
}

// Splits off the last two components of `path`. False when it has fewer than
// two separators or a component is longer than the scan keeps.
bool lastTwoComponents(const char* path, char* before, char* last) {
  const char* end = path + strlen(path);
  const char* lastSep = nullptr;
  const char* beforeSep = nullptr;
  for (const char* p = end; p > path; --p) {
    if (!isSeparator(p[-1])) continue;
    if (lastSep == nullptr) {
      lastSep = p - 1;
    } else {
      beforeSep = p - 1;
      break;
    }
  }
  if (beforeSep == nullptr) return false;
  size_t lastLength = static_cast<size_t>(end - lastSep - 1);
  size_t beforeLength = static_cast<size_t>(lastSep - beforeSep - 1);
  // Longer names are not part of the tree (its names have two characters)
  // and are ignored rather than cut into something that looks like one.
  if (lastLength > kScanNameMax || beforeLength > kScanNameMax) return false;
  memcpy(last, lastSep + 1, lastLength);
  last[lastLength] = '\0';
  memcpy(before, beforeSep + 1, beforeLength);
  before[beforeLength] = '\0';
  return true;
}

// The value of a name of exactly two digits below `limit`, or -1.
int twoDigitValue(const char* name, int limit) {
  if (strlen(name) != 2 || name[0] < '0' || name[0] > '9' || name[1] < '0' || name[1] > '9') {
    return -1;
  }
  int value = (name[0] - '0') * 10 + (name[1] - '0');
  return value < limit ? value : -1;
}

}  // namespace

int schedulerSetTimeSleepNextTime(const char* path, char* best, bool isFile) {
  if (isFile || path == nullptr || best == nullptr) return 0;
  char before[kScanBufferSize];
  char last[kScanBufferSize];
  if (!lastTwoComponents(path, before, last)) return 0;

  int nowHour;
  int nowMinute;
  schedulerGetTime(&nowHour, &nowMinute);
  if (strlen(before) == 2) {
    // A minute directory HH/MM.
    int hour = twoDigitValue(before, kHoursPerDay);
    int minute = twoDigitValue(last, kMinutesPerHour);
    if (hour < 0 || minute < 0) return 0;
    if (hour < nowHour) return 1;
    int candidate = hour * 100 + minute;
    if (candidate <= nowHour * 100 + nowMinute) return 0;
    if (best[0] != '\0' && candidate >= atoi(best)) return 0;
    // The two names are two digits each: "HHMM" fills the 5 bytes exactly.
    memcpy(best, before, 2);
    memcpy(best + 2, last, 2);
    best[4] = '\0';
    return 0;
  }

  // An hour directory: the earliest pending minute inside it. An hour already
  // past holds nothing pending and is not opened.
  int hour = twoDigitValue(last, kHoursPerDay);
  if (hour < 0 || hour < nowHour) return 0;
  char local[kSchedulerAlarmTextSize] = "";
  comDirSaveFileName(path, local, schedulerSetTimeSleepNextTime);
  if (local[0] != '\0' && (best[0] == '\0' || strcmp(local, best) < 0)) {
    snprintf(best, kSchedulerAlarmTextSize, "%.4s", local);
  }
  return 0;
}
