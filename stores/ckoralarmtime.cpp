#include "stores/ckoralarmtime.h"

#include <cstdio>
#include <cstring>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"
#include "stores/storestext.h"

namespace {
// The next-alarm record is always record 1 of its file.
constexpr int kAlarmTimeRecordId = 1;
// Results of Lower.
constexpr int kLowered = 1;
constexpr int kNotLowered = 0;
}  // namespace

CKorAlarmTime::~CKorAlarmTime() {
  Clean();
}

int CKorAlarmTime::Set(const char* name, const char* value) {
  if (_stricmp(name, "nexttime") != 0) return kResUnknownField;
  return storesSetText(nexttime, value);
}

void CKorAlarmTime::Clean() {
  nexttime.Clean();
}

int CKorAlarmTime::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s/%s/%s", "scheduler", "controle", "status");
  return kResOk;
}

int CKorAlarmTime::GetFileDir(char* out) {
  char name[kComPathMax];
  snprintf(name, sizeof name, "%s/%s", "scheduler", "controle");
  S3ComPathEditData(name, out);
  return kResOk;
}

int CKorAlarmTime::SetFieldValue(CS3Data* data) {
  return data->SetFieldValue("nexttime", nexttime.Get(), true, nullptr, false);
}

int CKorAlarmTime::GetFieldValue(CS3Data* data) {
  // A damaged value reads as empty, which makes the next writer set it.
  data->GetFieldValue("nexttime", nexttime);
  return kResOk;
}

int CKorAlarmTime::Lower(const char* dateTime) {
  CS3DateTimeStr wanted;
  int rc = storesSetText(wanted, dateTime);
  if (rc != kResOk) return rc;
  if (wanted.IsEmpty()) return kResRequiredEmpty;

  // One accessor for read, compare and write: the write lock taken by the
  // open is held until the accessor is released, so another program lowering
  // at the same time waits and then compares against what was written here.
  CS3DataIO io;
  Clean();
  rc = io.OpenAdd(*this);
  if (rc != kResOk) return rc;
  // The first record, as the daemon's own read takes it; a file without
  // records leaves nexttime empty (GetFieldValue ignores the missing record).
  rc = io.GetData(*this, nullptr);
  if (rc != kResOk) return rc;
  if (!nexttime.IsEmpty() && strcmp(nexttime.Get(), wanted.Get()) <= 0) return kNotLowered;

  rc = nexttime.Set(wanted.Get());
  if (rc != kResOk) return rc;
  rc = io.ModData(*this, kAlarmTimeRecordId, nullptr);
  if (rc == kResOk) rc = io.Commit();
  if (rc != kResOk) return rc;
  return kLowered;
}
