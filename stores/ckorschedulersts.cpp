#include "stores/ckorschedulersts.h"

#include <cstdio>

#include "common/S3ComPath.h"
#include "common/com.h"
#include "common/comfile.h"
#include "common/comproc.h"

CKorSchedulerSts::~CKorSchedulerSts() = default;

int CKorSchedulerSts::GetFileName(char* out) {
  if (pid.IsEmpty()) {
    const int rc = pid.SetInt(comProcGetID());
    if (rc != kResOk) return rc;
  }
  snprintf(out, kComPathMax, "%s/%s.%d", "scheduler", "status", pid.GetInt());
  return kResOk;
}

int CKorSchedulerSts::DelAll() {
  char dir[kComPathMax];
  S3ComPathEditData("scheduler", dir);
  return comFileDelete(dir, "status", nullptr) == 0 ? kResOk : -1;
}

namespace {

// The full path of `sts`'s file, or false when it names no process.
bool LockPath(CKorSchedulerSts* sts, char* path) {
  if (sts->GetPid() <= 0) return false;
  char relative[kComPathMax];
  if (sts->GetFileName(relative) != kResOk) return false;
  S3ComPathEditData(relative, path);
  return true;
}

}  // namespace

bool CKorSchedulerSts::IsLockedByPid() {
  char path[kComPathMax];
  return LockPath(this, path) && comLockHolder(path) == GetPid();
}

int CKorSchedulerSts::Signal(int sig) {
  char path[kComPathMax];
  if (!LockPath(this, path)) return 0;
  return comProcSignalHolder(GetPid(), path, sig);
}
