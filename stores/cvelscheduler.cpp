#include "stores/cvelscheduler.h"

#include <cstdio>

#include "common/com.h"
#include "s3/cs3dataiofile.h"
#include "stores/storestext.h"

namespace {
constexpr int kLastHour = 24;    // accepted, and stored as 0
constexpr int kLastMinute = 60;  // passes; names a directory no daemon asks for
}  // namespace

CvelScheduler::~CvelScheduler() {
  Clean();
  moduleId.Clean();
  hour.Clean();
  minute.Clean();
}

int CvelScheduler::GetFileName(char* out) {
  const int h = hour.GetInt();
  const int m = minute.GetInt();
  if (h < 0 || h > kLastHour || m < 0 || m > kLastMinute) return kResSchedTimeRange;
  if (h == kLastHour) {
    const int rc = hour.SetInt(0);
    if (rc != kResOk) return rc;
  }
  snprintf(out, kComPathMax, "%s/%02d/%02d/%d", "scheduler", hour.GetInt(), m, moduleId.GetInt());
  return kResOk;
}

int CvelScheduler::setKeys(int moduleIdValue, const char* hourText, const char* minuteText) {
  int rc = moduleId.SetInt(moduleIdValue);
  if (rc != kResOk) return rc;
  rc = storesSetText(hour, hourText);
  if (rc != kResOk) return rc;
  return storesSetText(minute, minuteText);
}

int CvelScheduler::Get(int moduleIdValue, const char* hourText, const char* minuteText) {
  const int rc = setKeys(moduleIdValue, hourText, minuteText);
  if (rc != kResOk) return rc;
  return CS3Object::Get();
}

int CvelScheduler::Add(int value, int moduleIdValue, const char* hourText, const char* minuteText) {
  int rc = setKeys(moduleIdValue, hourText, minuteText);
  if (rc != kResOk) return rc;
  CS3DataIO io;
  rc = io.OpenAdd(*this);
  if (rc != kResOk) return rc;
  rc = io.AddIndex(*this, value, nullptr);
  return rc < 0 ? rc : io.Commit();
}

int CvelScheduler::Del(int value, int moduleIdValue, const char* hourText, const char* minuteText) {
  int rc = setKeys(moduleIdValue, hourText, minuteText);
  if (rc != kResOk) return rc;
  CS3DataIO io;
  rc = io.OpenAdd(*this);
  if (rc != kResOk) return rc;
  rc = io.DelIndex(*this, value, false);
  return rc != kResOk ? rc : io.Commit();
}
