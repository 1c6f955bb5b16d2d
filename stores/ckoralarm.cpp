#include "stores/ckoralarm.h"

#include <cerrno>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comdate.h"
#include "common/comfile.h"
#include "stores/storestext.h"

namespace {
// Characters of the hour and of the minute text.
constexpr size_t kClockPartLength = 2;
}  // namespace

CKorAlarm::~CKorAlarm() {
  if (stream != nullptr) {
    fclose(stream);
    stream = nullptr;
  }
}

void CKorAlarm::Clean() {
  refId2.Clean();
  text.Clean();
  note.Clean();
  number.Clean();
  extra1.Clean();
  extra2.Clean();
}

int CKorAlarm::SetDateTime(const char* value) {
  return storesSetText(dateTime, value);
}

int CKorAlarm::GetFileName(char* out) {
  if (dateTime.IsEmpty() || moduleId.IsEmpty()) return kResAlarmNoKey;
  snprintf(out, kComPathMax, "%s/%s/%04d/%02d%02d/%02d/%02d/%d", "scheduler", "alarm",
           dateTime.GetYear(), dateTime.GetMonth(), dateTime.GetDay(), dateTime.GetHour(),
           dateTime.GetMinute(), moduleId.GetInt());
  return kResOk;
}

int CKorAlarm::GetFileDir(char* out) {
  out[0] = '\0';
  if (dateTime.IsEmpty()) return kResAlarmNoKey;
  char name[kComPathMax];
  snprintf(name, sizeof name, "%s/%s/%04d/%02d%02d", "scheduler", "alarm", dateTime.GetYear(),
           dateTime.GetMonth(), dateTime.GetDay());
  S3ComPathEditData(name, out);
  return kResOk;
}

int CKorAlarm::IsAccess(int module, const char* hour, const char* minute) {
  return IsAccess(module, nullptr, hour, minute);
}

int CKorAlarm::IsAccess(int module, const char* date, const char* hour, const char* minute) {
  // Each text must be exactly two characters: "0930" with an empty minute
  // would otherwise shift into a valid but different date-time.
  if (hour == nullptr || minute == nullptr || strlen(hour) != kClockPartLength ||
      strlen(minute) != kClockPartLength) {
    return kResFixedBadWidth;
  }
  char today[16] = {};
  if (date == nullptr) {
    comGetToday(today);
  } else {
    snprintf(today, sizeof today, "%.8s", date);
  }
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%s%s%s%s", today, hour, minute, "00");
  int rc = dateTime.Set(stamp);
  if (rc != kResOk) return rc;
  rc = moduleId.SetInt(module);
  if (rc != kResOk) return rc;

  char name[kComPathMax];
  rc = GetFileName(name);
  if (rc != kResOk) return rc;
  char path[kComPathMax];
  S3ComPathEditData(name, path);
  const int size = comFileGetSize(path);
  if (size < 0) {
    // A path component that is a plain file means the alarm file cannot
    // exist either: that is absence, not an unreadable alarm.
    return (errno == ENOENT || errno == ENOTDIR) ? kResNoEntry : kResAlarmUnreadable;
  }
  return size == 0 ? kResNoEntry : kResOk;
}
