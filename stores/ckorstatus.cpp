#include "stores/ckorstatus.h"

#include "common/com.h"
#include "s3/cs3data.h"
#include "stores/storestext.h"

CKorStatus::~CKorStatus() {
  Clean();
  privateId.Clean();
}

int CKorStatus::Set(const char* name, const char* value) {
  if (_stricmp(name, "status") == 0) return storesSetText(status, value);
  if (_stricmp(name, "pid") == 0) return storesSetText(pid, value);
  return kResUnknownField;
}

void CKorStatus::Clean() {
  status.Clean();
  pid.Clean();
}

int CKorStatus::SetFieldValue(CS3Data* data) {
  int rc = data->SetFieldValue("status", status.Get(), true, nullptr, false);
  if (rc != kResOk) return rc;
  return data->SetFieldValueNum("pid", pid.GetInt());
}

int CKorStatus::GetFieldValue(CS3Data* data) {
  // A damaged field must not make the status unreadable: what cannot be read
  // stays empty.
  data->GetFieldValue("status", status);
  data->GetFieldValue("pid", pid);
  return kResOk;
}

int CKorStatus::Lock(CS3DataIO& io) {
  io.share = true;
  // The file of an earlier run may exist, empty: OpenMod then finds no record
  // (-110) just as for a missing file, and OpenAdd takes it as it is.
  int rc = io.OpenMod(*this, nullptr, true);
  if (rc == kResNoEntry) rc = io.OpenAdd(*this);
  return rc;
}

bool CKorStatus::IsLock() {
  CS3DataIO io;
  io.lockAttempts = 1;
  io.lockWait = 0;
  const int rc = io.OpenGet(*this);
  // Unbind at once so that no binding to this short-lived accessor remains.
  if (rc == kResOk) io.Close(*this);
  return rc == kResLocked;
}

int CKorStatus::SetPrivateID(const char* privateIdText) {
  return storesSetText(privateId, privateIdText);
}
