#include "stores/cvelschedulersts.h"

#include <cstdio>

#include "common/com.h"
#include "s3/cs3data.h"
#include "s3/cs3dataiofile.h"

namespace {
// The status record is always record 1 of its file.
constexpr int kStatusRecordId = 1;
}  // namespace

CvelSchedulerSts::~CvelSchedulerSts() {
  Clean();
}

int CvelSchedulerSts::Get() {
  // Read by ID: only record 1 is the status record, wherever it stands in
  // the file (another record is never taken for it), and reading stops at
  // its end line.
  SetID(kStatusRecordId);
  CS3DataIO io;
  return io.Get(*this, kStatusRecordId);
}

void CvelSchedulerSts::Clean() {
  pid.Clean();
  status.Clean();
}

int CvelSchedulerSts::GetFileName(char* out) {
  snprintf(out, kComPathMax, "%s/%s", "scheduler", "schedulersts");
  return kResOk;
}

int CvelSchedulerSts::SetFieldValue(CS3Data* data) {
  int rc = data->SetFieldValue("pid", pid.Get(), true, nullptr, false);
  if (rc != kResOk) return rc;
  return data->SetFieldValue("status", status.Get(), true, nullptr, false);
}

int CvelSchedulerSts::GetFieldValue(CS3Data* data) {
  int rc = data->GetFieldValue("pid", pid);
  if (rc != kResOk) return rc;
  return data->GetFieldValue("status", status);
}

int CvelSchedulerSts::Mod(int value) {
  CS3DataIO io;
  SetID(kStatusRecordId);
  int rc = pid.SetInt(value);
  if (rc != kResOk) return rc;
  rc = io.Mod(*this);
  return rc != kResOk ? rc : io.Commit();
}

int CvelSchedulerSts::ModSts(int value) {
  CS3DataIO io;
  SetID(kStatusRecordId);
  int rc = status.SetInt(value);
  if (rc != kResOk) return rc;
  rc = io.Mod(*this);
  return rc != kResOk ? rc : io.Commit();
}
